// Built only into the test variant of the plug-in library, never installed:
// when the library is loaded, the server description named by
// IPMI_INVENTORY_TEST_SERVER becomes a virtual server that is the plug-in's
// host port for the life of the library.
#include <cstdlib>
#include <memory>

#include "vserver/SimulatedServer.h"

namespace {

struct TestServer {
    TestServer() {
        const char* description = std::getenv("IPMI_INVENTORY_TEST_SERVER");
        if (description != nullptr && *description != '\0') {
            server = std::make_unique<SimulatedServer>(loadServerDescription(description));
        }
    }
    std::unique_ptr<SimulatedServer> server;
};

TestServer testServer;

}  // namespace
