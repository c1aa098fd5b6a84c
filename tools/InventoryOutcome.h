#pragma once

#include <string>

// How one inventory run ended.
struct InventoryOutcome {
    enum class Kind {
        Records,    // the controller's records (possibly none) are in devices
        NoStorage,  // the controller answered that it has no embedded storage
        Failed,     // the run failed; errorText says why
    };
    Kind kind = Kind::Failed;
    std::string errorText;        // from ErrorCodes.xml
    unsigned char errorCode = 0;  // the storage layer's error number
    // Why the IPMI device cannot be used ("/dev/ipmi0: No such file or
    // directory"), when the IPMI library did not start; else empty.
    std::string deviceProblem;
    // Failed after the controller's answer was read: the records are there.
    bool recordsRead = false;
};
