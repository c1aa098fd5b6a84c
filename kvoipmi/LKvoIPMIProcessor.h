#pragma once

#include <string>
#include <vector>

#include "kvoipmi/IIPMICommandProcessor.h"

// The OpenIPMI character device processor: opens the device, sends one
// request at a time through the system interface and waits for the response
// with the same message id, repeating while the completion code is worth it.
class IPMIProcessor : public IIPMICommandProcessor {
public:
    IPMIProcessor();
    ~IPMIProcessor() override;
    IPMIProcessor(const IPMIProcessor&) = delete;
    IPMIProcessor& operator=(const IPMIProcessor&) = delete;

    // Where distributions put the OpenIPMI device, in the order tried.
    static const std::vector<std::string>& DevicePaths();

    // Opens the device: 0, or 320 after five passes over the device paths.
    unsigned int Initialize() override;
    // One command with completion-code retries: 0 or 320.
    unsigned int ExecuteCommand(CKvoIPMICommandData& command) override;
    // One send and the wait for its response: 0 or 320.
    unsigned int Process(CKvoIPMICommandData& command);
    void Release();
    void LogIPMIResponse(CKvoIPMICommandData& command);

    int GetDescriptor() const { return mDescriptor; }

private:
    int mDescriptor;
};

class IPMICommandProcessorCreator {
public:
    // An opened processor owned by the caller, or null when no device opens.
    static IIPMICommandProcessor* Create();
};

// Sleeps once for the given number of milliseconds.
void sleep_in_ms(unsigned long long milliseconds);
