#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The narrow boundary between the management controller model and whatever
// carries its messages (the emulated OpenIPMI device in-process, later a
// socket to a VM): request bytes in, response bytes out.
struct IpmiRequest {
    std::uint8_t netfn = 0;
    std::uint8_t cmd = 0;
    std::vector<std::uint8_t> data;
};

struct IpmiResponse {
    std::uint8_t netfn = 0;  // the request's network function + 1
    std::uint8_t cmd = 0;
    std::vector<std::uint8_t> data;  // data[0] is the completion code
};

class BmcTransport {
public:
    virtual ~BmcTransport() = default;
    // The controller's answer, or nothing when it does not answer at all.
    virtual std::optional<IpmiResponse> exchange(const IpmiRequest& request) = 0;
};
