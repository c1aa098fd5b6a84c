#include "kvoipmi/KvoIPMISession.h"

#include "baseutils/KvoLogger.h"
#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMISessionHandler.h"
#include "kvoipmi/LKvoIPMIProcessor.h"

KvoIPMIXMLConfig KvoIPMISession::mIPMIXMLConfig(KvoString("KvoIPMIConfig.xml",
                                                          KvoString::KvoEncodingUTF8));

KvoIPMISession::KvoIPMISession()
    : mInitialized(false), mSettingsFromFile(false), mSettings(new _KvoIPMIConfiguration()) {}

KvoIPMISession::~KvoIPMISession() = default;

bool KvoIPMISession::Initialize(const _KvoIPMIConfiguration* settings) {
    if (mInitialized) {
        return true;
    }
    mProcessor.reset(IPMICommandProcessorCreator::Create());
    if (!mProcessor) {
        return false;
    }
    if (!mSettings) {
        mSettings.reset(new _KvoIPMIConfiguration());
    }
    KvoIPMISessionHandler* registry = KvoIPMISessionHandler::GetInstance();
    // The defaults and the reader are shared by the sessions of every thread:
    // under the registry's lock the file is read once, however many sessions
    // start together.
    KvoLock::Guard guard(KvoIPMISessionHandler::GetLockObject());
    const _KvoIPMIConfiguration* defaults = registry->GetApplicationDefaultConfiguration();
    mSettings->pollInterval = defaults->pollInterval;
    mSettings->pollCount = defaults->pollCount;
    mSettings->retryCount = defaults->retryCount;
    mSettings->retryInterval = defaults->retryInterval;
    if (mIPMIXMLConfig.Initialize()) {
        InitializeFromFile();
    } else {
        KVO_LOG(KvoLogInfo, "Config couldn't be initialized from configuration file");
        mSettingsFromFile = false;
        if (settings) {
            *mSettings = *settings;
        }
    }
    mInitialized = true;
    return true;
}

bool KvoIPMISession::InitializeFromFile() {
    struct Key {
        const char* name;
        std::uint32_t _KvoIPMIConfiguration::*field;
    };
    static const Key keys[] = {
        {"RetryCount", &_KvoIPMIConfiguration::retryCount},
        {"PollingInterval", &_KvoIPMIConfiguration::pollInterval},
        {"PollingCount", &_KvoIPMIConfiguration::pollCount},
        {"RetryInterval", &_KvoIPMIConfiguration::retryInterval},
    };
    for (const Key& key : keys) {
        int value = 0;
        if (mIPMIXMLConfig.GetConfigInt(KvoString(key.name, KvoString::KvoEncodingUTF8), &value)) {
            (*mSettings).*key.field = static_cast<std::uint32_t>(value);
        }
    }
    mSettingsFromFile = true;
    return true;
}

unsigned int KvoIPMISession::ProcessCommand(CKvoIPMICommandData& command) {
    if (!mInitialized) {
        Initialize(nullptr);
    }
    // Without an open device nothing may be sent.
    if (!mInitialized || !mProcessor) {
        return KVO_IPMI_PROCESSOR_FAILURE;
    }
    if (mSettingsFromFile || !command.GetConfigurationData()) {
        command.SetConfigurationData(mSettings.get());
    }
    return mProcessor->ExecuteCommand(command);
}

void KvoIPMISession::SetConfigurationFileName(KvoString name) {
    KvoLock::Guard guard(KvoIPMISessionHandler::GetLockObject());
    mIPMIXMLConfig.SetConfigurationFileName(name);
}

bool KvoIPMISession::Release() {
    mProcessor.reset();
    mSettings.reset();
    mInitialized = false;
    return true;
}
