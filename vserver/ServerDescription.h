#pragma once

#include <stdexcept>
#include <string>

#include "vserver/ManagementController.h"

// A server described by an XML file under vserver/servers/.
struct ServerDescription {
    std::string name;
    std::string description;
    ControllerConfig controller;
};

class ServerDescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a server description; throws ServerDescriptionError with the reason
// when the file cannot be read or says something the model cannot take.
ServerDescription loadServerDescription(const std::string& path);
ServerDescription parseServerDescription(const std::string& xmlText);

// The bundled descriptions' folder in the source tree.
std::string bundledServersDirectory();
