#include "vserver/VmBmcSession.h"

#include <cstdio>

namespace {

constexpr std::uint8_t kAppNetFn = 0x06;
constexpr std::uint8_t kSetGlobalEnables = 0x2E;
constexpr std::uint8_t kMessageInterrupt = 0x01;

std::string hexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        if (!text.empty()) {
            text += ' ';
        }
        text += digits;
    }
    return text;
}

// The host's driver turned the message interrupt on or off: qemu raises the
// interrupt only when the BMC says so.
bool setsInterrupt(const IpmiRequest& request, const IpmiResponse& response) {
    return request.netfn == kAppNetFn && request.cmd == kSetGlobalEnables &&
           !request.data.empty() && !response.data.empty() && response.data[0] == 0;
}

}  // namespace

std::string describeExchange(const IpmiRequest& request, const IpmiResponse* response) {
    std::vector<std::uint8_t> sent{request.netfn, request.cmd};
    sent.insert(sent.end(), request.data.begin(), request.data.end());
    std::string line = "request " + hexBytes(sent);
    if (response == nullptr) {
        return line + " -> no answer";
    }
    std::vector<std::uint8_t> received{response->netfn, response->cmd};
    received.insert(received.end(), response->data.begin(), response->data.end());
    return line + " -> " + hexBytes(received);
}

VmBmcSession::VmBmcSession(BmcTransport& controller, Log log)
    : controller_(controller), log_(std::move(log)) {}

vmprotocol::Bytes VmBmcSession::receive(const std::uint8_t* data, std::size_t length) {
    vmprotocol::Bytes out;
    for (const vmprotocol::Frame& frame : reader_.feed(data, length)) {
        if (frame.kind == vmprotocol::Frame::Kind::Control) {
            control(frame.bytes);
            continue;
        }
        vmprotocol::Bytes reply = answer(frame.bytes);
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
}

vmprotocol::Bytes VmBmcSession::answer(const vmprotocol::Bytes& message) {
    std::optional<vmprotocol::Request> parsed = vmprotocol::parseRequest(message);
    if (!parsed) {
        log_("dropped a malformed message: " + hexBytes(message));
        return {};
    }
    std::optional<IpmiResponse> response = controller_.exchange(parsed->request);
    log_(describeExchange(parsed->request, response ? &*response : nullptr));
    if (!response) {
        return {};
    }
    vmprotocol::Bytes reply = vmprotocol::responseFrame(parsed->sequence, parsed->lun, *response);
    if (setsInterrupt(parsed->request, *response)) {
        bool on = (parsed->request.data[0] & kMessageInterrupt) != 0;
        vmprotocol::Bytes irq = vmprotocol::encodeFrame(
            {on ? vmprotocol::kEnableIrq : vmprotocol::kDisableIrq}, vmprotocol::kControlEnd);
        reply.insert(reply.end(), irq.begin(), irq.end());
        log_(on ? "interrupt enabled" : "interrupt disabled");
    }
    return reply;
}

void VmBmcSession::control(const vmprotocol::Bytes& command) {
    if (command.size() == 2 && command[0] == vmprotocol::kVersion) {
        log_("qemu speaks protocol version " + std::to_string(command[1]));
    } else if (command.size() == 2 && command[0] == vmprotocol::kCapabilities) {
        log_("qemu capabilities " + hexBytes({command[1]}));
    } else {
        log_("control command " + hexBytes(command));
    }
}
