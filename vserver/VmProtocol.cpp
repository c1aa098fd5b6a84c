#include "vserver/VmProtocol.h"

namespace vmprotocol {

namespace {

constexpr std::size_t kShortestRequest = 4;  // sequence, netfn, command, checksum
constexpr std::uint8_t kLunMask = 0x03;
constexpr unsigned kNetFnShift = 2;

bool special(std::uint8_t byte) {
    return byte == kMessageEnd || byte == kControlEnd || byte == kEscape;
}

}  // namespace

std::vector<Frame> FrameReader::feed(const std::uint8_t* data, std::size_t length) {
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t byte = data[i];
        if (escaped_) {
            pending_.push_back(static_cast<std::uint8_t>(byte & ~kEscapedBit));
            escaped_ = false;
        } else if (byte == kEscape) {
            escaped_ = true;
        } else if (byte == kMessageEnd || byte == kControlEnd) {
            frames.push_back(
                Frame{byte == kMessageEnd ? Frame::Kind::Message : Frame::Kind::Control,
                      std::move(pending_)});
            pending_.clear();
        } else {
            pending_.push_back(byte);
        }
    }
    return frames;
}

Bytes encodeFrame(const Bytes& content, std::uint8_t end) {
    Bytes frame;
    frame.reserve(content.size() + 1);
    for (std::uint8_t byte : content) {
        if (special(byte)) {
            frame.push_back(kEscape);
            frame.push_back(static_cast<std::uint8_t>(byte | kEscapedBit));
        } else {
            frame.push_back(byte);
        }
    }
    frame.push_back(end);
    return frame;
}

std::uint8_t checksum(const Bytes& bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) {
        sum = static_cast<std::uint8_t>(sum + byte);
    }
    return static_cast<std::uint8_t>(-sum);
}

std::optional<Request> parseRequest(const Bytes& message) {
    if (message.size() < kShortestRequest || checksum(message) != 0) {
        return std::nullopt;
    }
    Request parsed;
    parsed.sequence = message[0];
    parsed.lun = message[1] & kLunMask;
    parsed.request.netfn = static_cast<std::uint8_t>(message[1] >> kNetFnShift);
    parsed.request.cmd = message[2];
    parsed.request.data.assign(message.begin() + 3, message.end() - 1);
    return parsed;
}

Bytes responseFrame(std::uint8_t sequence, std::uint8_t lun, const IpmiResponse& response) {
    Bytes message{sequence, static_cast<std::uint8_t>(response.netfn << kNetFnShift | lun),
                  response.cmd};
    message.insert(message.end(), response.data.begin(), response.data.end());
    message.push_back(checksum(message));
    return encodeFrame(message, kMessageEnd);
}

}  // namespace vmprotocol
