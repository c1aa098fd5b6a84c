#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "baseutils/KvoLogger.h"
#include "kvoipmi/KvoIPMICommandData.h"
#include "kvoipmi/KvoIPMISession.h"
#include "kvoipmi/KvoIPMISessionHandler.h"
#include "tests/support/TestSupport.h"
#include "vserver/EmulatedKernel.h"
#include "vserver/ScriptedBmc.h"
#include "vserver/VirtualServer.h"

// Library state that outlives a test: sessions, the configuration reader
// and the logger are process-wide.
inline void ResetIpmiLibrary() {
    KvoIPMISessionHandler::DestroyInstance();
    KvoIPMISession::mIPMIXMLConfig.Release();
    KvoIPMISession::mIPMIXMLConfig.SetConfigurationFileName(
        KvoString("KvoIPMIConfig.xml", KvoString::KvoEncodingUTF8));
    KvoLogger::Terminate();
}

// A virtual server with the emulated kernel and a scripted controller,
// in a temporary working directory.
struct IpmiBench {
    IpmiBench() {
        ResetIpmiLibrary();
        kernel.attachController(&bmc);
    }
    ~IpmiBench() { ResetIpmiLibrary(); }

    std::string internalLog() const { return readTextFile("kvoipmi_internal.log"); }

    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port{server};
    EmulatedKernel kernel{server};
    ScriptedBmc bmc;
};

inline _KvoIPMICommandData MakeRecord(std::uint8_t netfn, std::uint8_t cmd,
                                      std::initializer_list<std::uint8_t> data = {}) {
    _KvoIPMICommandData record{};
    record.requestBuffer[0] = netfn;
    record.requestBuffer[1] = cmd;
    unsigned int length = 2;
    for (std::uint8_t byte : data) {
        record.requestBuffer[length++] = byte;
    }
    record.requestLength = length;
    return record;
}

inline _KvoIPMIConfiguration Settings(std::uint32_t retryCount, std::uint32_t retryInterval) {
    return _KvoIPMIConfiguration{60, 5, retryCount, retryInterval, 0, 0};
}
