#pragma once

// Makes sure the kernel drivers behind the IPMI device are loaded.
class IKvoIPMIDriverManager {
public:
    virtual unsigned int IsIPMIDriverAvailable() = 0;
    virtual unsigned int ReleaseIPMIDriver() = 0;
    virtual ~IKvoIPMIDriverManager() = default;
};
