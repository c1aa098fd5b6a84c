#pragma once

// The records that cross into the IPMI transport library: one raw request
// with its response, and the retry and poll settings that go with it. Plain
// layouts owned by the caller.

#include <cstdint>

// Size of both buffers of a command record.
constexpr unsigned int KVO_IPMI_MAX_BUFFER_LENGTH = 255;

struct _KvoIPMIConfiguration {
    std::uint32_t pollInterval;   // carried for callers that poll on their own
    std::uint32_t pollCount;      // carried for callers that poll on their own
    std::uint32_t retryCount;     // receive attempts per send and sends per command
    std::uint32_t retryInterval;  // pause between retries, milliseconds
    std::uint32_t pollingByte;    // 0xFFFFFFFF: no polling required
    std::uint8_t pollingStatus;
};

struct _KvoIPMICommandData {
    // Settings for this command; null means the library's own.
    _KvoIPMIConfiguration* configuration;
    // Both lengths count the network function and command bytes.
    std::uint32_t requestLength;
    std::uint32_t responseLength;
    // [0] network function, [1] command, [2..] request data.
    unsigned char requestBuffer[KVO_IPMI_MAX_BUFFER_LENGTH];
    // [0] network function, [1] command, [2] completion code, [3..] data.
    unsigned char responseBuffer[KVO_IPMI_MAX_BUFFER_LENGTH];
};
