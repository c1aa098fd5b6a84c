#pragma once

class CKvoIPMICommandData;

// Status values of a command processor.
constexpr unsigned int KVO_IPMI_PROCESSOR_SUCCESS = 0;
constexpr unsigned int KVO_IPMI_PROCESSOR_FAILURE = 0x140;

// Carries one command to the controller and its response back.
class IIPMICommandProcessor {
public:
    virtual ~IIPMICommandProcessor() = default;
    virtual unsigned int ExecuteCommand(CKvoIPMICommandData& command) = 0;
    virtual unsigned int Initialize() = 0;
};
