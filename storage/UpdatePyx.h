#pragma once

#include <string>

// The server's system id: four characters from the output of the program
// "getSystemId" in the current directory; empty when it cannot be had.
std::string getSysID();

// Reads "package.xml" of the current directory: fills the display name, the
// component type and the vendor version (each left as it is when absent) and
// returns the version compatibilities fragment for systemId.
std::string getPkgInfo(const std::string& systemId, std::string& display,
                       std::string& componentType, std::string& vendorVersion);
