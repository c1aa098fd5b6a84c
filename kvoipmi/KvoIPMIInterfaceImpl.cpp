#include "kvoipmi/KvoIPMIInterfaceImpl.h"

#include "baseutils/KvoFile.h"
#include "baseutils/KvoLogger.h"
#include "baseutils/KvoLoggingOptions.h"
#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMISession.h"
#include "kvoipmi/KvoIPMISessionHandler.h"
#include "kvoipmi/LKvoIPMIDriverManager.h"

namespace {

KvoString Utf8(const char* text) {
    return KvoString(text, KvoString::KvoEncodingUTF8);
}

}  // namespace

KvoIPMIInterfaceImpl::KvoIPMIInterfaceImpl() = default;

KvoIPMIInterfaceImpl::~KvoIPMIInterfaceImpl() {
    KvoIPMISessionHandler::DestroyInstance();
    KvoLogger::Terminate();
}

void KvoIPMIInterfaceImpl::InitializeKvoLogger() {
    if (!KvoFile(Utf8("zebdebuglog")).Exists()) {
        return;
    }
    KvoLoggingOptions options;
    options.SetNumberOfSupportedLevels(5);
    options.SetNumberOfLevelsToShowInUserLog(5);
    options.SetApplicationName(Utf8("KvoIPMILibrary"));
    options.SetUserLogFile(KvoFile(Utf8("kvoipmi.log")));
    options.SetInternalLogFile(KvoFile(Utf8("kvoipmi_internal.log")));
    KvoLogger::Initialize(options);
}

unsigned int KvoIPMIInterfaceImpl::Initialize(const _KvoIPMIConfiguration* settings) {
    InitializeKvoLogger();
    KVO_LOG(KvoLogInfo, "Started Logging for KvoIPMI Library");
    // Unloads what it loaded when this call ends; the device is open by then.
    DriverManager driverManager;
    unsigned int status = driverManager.IsIPMIDriverAvailable();
    if (status != 0) {
        return status;
    }
    KvoIPMISessionHandler* registry = KvoIPMISessionHandler::GetInstance();
    if (settings) {
        registry->SetApplicationDefaultConfiguration(settings);
    }
    if (!registry->GetSession()->Initialize(nullptr)) {
        return KVO_IPMI_INVALID_PARAMETER;
    }
    return KVO_IPMI_SUCCESS;
}

unsigned int KvoIPMIInterfaceImpl::Initialize(KvoString configurationFileName) {
    KvoIPMISessionHandler::GetInstance()->GetSession()->SetConfigurationFileName(
        configurationFileName);
    return Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr));
}

unsigned int KvoIPMIInterfaceImpl::IPMIRequest(_KvoIPMICommandData* command) {
    if (!command) {
        KVO_LOG(KvoLogInfo, "Invalid parameter passed");
        return KVO_IPMI_INVALID_PARAMETER;
    }
    // The session may point the record at its own settings; give the caller
    // its pointer back so the record never refers to a released session.
    _KvoIPMIConfiguration* callerConfiguration = command->configuration;
    unsigned int status;
    {
        CKvoIPMICommandData data(command);
        status = KvoIPMISessionHandler::GetInstance()->GetSession()->ProcessCommand(data);
    }
    command->configuration = callerConfiguration;
    return status;
}

unsigned int KvoIPMIInterfaceImpl::Release() {
    KvoIPMISessionHandler::GetInstance()->ReleaseSession();
    return 1;
}
