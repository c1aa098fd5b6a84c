#pragma once

#include <memory>

#include "baseutils/KvoString.h"
#include "kvoipmi/IIPMICommandProcessor.h"
#include "kvoipmi/KvoIPMICommandData.h"
#include "kvoipmi/KvoIPMIXMLConfiguration.h"

class CKvoIPMICommandData;

// One calling thread's link to the controller: an open device processor and
// the settings its commands use.
class KvoIPMISession {
public:
    KvoIPMISession();
    virtual ~KvoIPMISession();
    KvoIPMISession(const KvoIPMISession&) = delete;
    KvoIPMISession& operator=(const KvoIPMISession&) = delete;

    // Opens the device and fixes the settings; settings apply only when the
    // configuration file cannot be read. False when no device opens.
    bool Initialize(const _KvoIPMIConfiguration* settings);
    bool InitializeFromFile();
    // The processor's status; 320 without sending when the device is not open.
    unsigned int ProcessCommand(CKvoIPMICommandData& command);
    void SetConfigurationFileName(KvoString name);
    bool Release();

    // The one configuration reader of the process, shared by all sessions.
    static KvoIPMIXMLConfig mIPMIXMLConfig;

private:
    std::unique_ptr<IIPMICommandProcessor> mProcessor;
    bool mInitialized;
    bool mSettingsFromFile;
    std::unique_ptr<_KvoIPMIConfiguration> mSettings;
};
