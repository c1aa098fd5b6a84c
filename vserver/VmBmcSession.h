#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vserver/BmcTransport.h"
#include "vserver/VmProtocol.h"

// One connection of qemu's external BMC device to the controller: request
// messages go to the controller, its answers come back as response
// messages. Bytes in, bytes out; the socket is the caller's.
class VmBmcSession {
public:
    using Log = std::function<void(const std::string&)>;

    VmBmcSession(BmcTransport& controller, Log log);

    // Bytes received from qemu; returns what to send back.
    vmprotocol::Bytes receive(const std::uint8_t* data, std::size_t length);

private:
    vmprotocol::Bytes answer(const vmprotocol::Bytes& message);
    void control(const vmprotocol::Bytes& command);

    BmcTransport& controller_;
    Log log_;
    vmprotocol::FrameReader reader_;
};

// A request or response as the command log shows it: "06 01 [..]".
std::string describeExchange(const IpmiRequest& request, const IpmiResponse* response);
