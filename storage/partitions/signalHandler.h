#pragma once

// Keeps an interrupt from cutting a storage exchange short, which would
// leave a drop box or a mount behind.
class CSignalHandler {
public:
    CSignalHandler() {}
    ~CSignalHandler() {}

    // Makes the process ignore SIGINT; false when that failed.
    bool setupSignalHandlers();
};
