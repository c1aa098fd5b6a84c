#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vserver/BmcTransport.h"

// The OpenIPMI "VM protocol" that qemu's external BMC device speaks over its
// character device: messages and control commands, each closed by its own
// end byte, with the three special bytes escaped inside.
namespace vmprotocol {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMessageEnd = 0xA0;
constexpr std::uint8_t kControlEnd = 0xA1;
constexpr std::uint8_t kEscape = 0xAA;
constexpr std::uint8_t kEscapedBit = 0x10;

// Control commands (first byte of a control frame).
constexpr std::uint8_t kVersion = 0xFF;
constexpr std::uint8_t kEnableIrq = 0x05;
constexpr std::uint8_t kDisableIrq = 0x06;
constexpr std::uint8_t kCapabilities = 0x08;

struct Frame {
    enum class Kind { Message, Control };
    Kind kind = Kind::Message;
    Bytes bytes;  // unescaped, without the end byte
};

// Splits a received byte stream into frames; bytes of an unfinished frame
// wait for the next chunk.
class FrameReader {
public:
    std::vector<Frame> feed(const std::uint8_t* data, std::size_t length);

private:
    Bytes pending_;
    bool escaped_ = false;
};

// content escaped and closed by end.
Bytes encodeFrame(const Bytes& content, std::uint8_t end);

// The byte that makes all bytes of a message sum to zero modulo 256.
std::uint8_t checksum(const Bytes& bytes);

struct Request {
    std::uint8_t sequence = 0;
    std::uint8_t lun = 0;
    IpmiRequest request;
};

// A request message: sequence, netfn << 2 | lun, command, data, checksum.
// Nothing when it is too short or its checksum does not add up.
std::optional<Request> parseRequest(const Bytes& message);
// The framed response: sequence, response netfn << 2 | lun, command,
// completion code, data, checksum.
Bytes responseFrame(std::uint8_t sequence, std::uint8_t lun, const IpmiResponse& response);

}  // namespace vmprotocol
