#include "vserver/SimulatedServer.h"

SimulatedServer::SimulatedServer(const ServerDescription& description)
    : kernel_(host_), controller_(description.controller), installed_(host_) {
    kernel_.attachController(&controller_);
}
