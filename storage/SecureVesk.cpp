#include "storage/SecureVesk.h"

#include <cstdio>
#include <new>

#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"
#include "storage/OsType.h"
#include "storage/partitions/PlatformLayer.h"
#include "storage/partitions/VeskPartInfo.h"
#include "storage/partitions/signalHandler.h"

int GenerationType = -1;

namespace {

constexpr int kLibraryDriverMissing = 274;
// Storage types: none, and not (yet) known.
constexpr int kNoStorageType = 0;
constexpr int kTypeNotQueried = 4;
constexpr int kLibraryLoadFailed = 273;
constexpr unsigned kRebootSettleSeconds = 60;
constexpr unsigned kRebootRoundSleepSeconds = 10;
constexpr int kRebootRounds = 24;
constexpr unsigned short kRebootSessionTimeout = 60;
constexpr unsigned short kWorkingSessionTimeout = 1200;
constexpr int kSessionRounds = 36;
constexpr unsigned kSessionRoundSleepSeconds = 2;
constexpr int kFirstUnservedGeneration = 6;
constexpr unsigned kDropBoxLimitUnknownGeneration = 0x1D00000;
constexpr unsigned kDropBoxLimit = 0x12400000;
constexpr unsigned char kRecovering = 2;
constexpr unsigned char kGenerationCommand = 0xBD;
constexpr unsigned char kFirmwareVersion = 0x01;
constexpr unsigned char kMk13Capability = 0x04;
const char* const kArbitratorCheckEsx =
    "ps aux | grep -v grep | grep -q vmware-usbarbitrator > /dev/null";
const char* const kArbitratorCheckEsxi = "ps | grep -i -q vmware-usbarbitrator  > /dev/null";

struct StateFlagName {
    unsigned char value;
    const char* name;
};

const StateFlagName kStateFlags[] = {
    {0x00, "STATE_FLAG_NORMAL_BOOT"},   {0x01, "STATE_FLAG_GUI"},
    {0x04, "STATE_FLAG_FIELD_SERVICE"}, {0x05, "STATE_FLAG_SSM"},
    {0x80, "STATE_FLAG_OVERRIDE"},
};

std::string stateFlagText(unsigned char flag) {
    for (const StateFlagName& entry : kStateFlags) {
        if (entry.value == flag) {
            return std::string("State flag set to ") + entry.name + ".";
        }
    }
    return "State flag set to unknown value: " + std::to_string(flag);
}

std::string hexWithoutZeros(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

struct GenerationRange {
    unsigned char first;
    unsigned char last;
    int generation;
    const char* logLine;  // null: none
};

// Tested in this order; anything else is Mk13.
const GenerationRange kGenerations[] = {
    {0x00, 0x0E, 0, "It is a pre Mk12 system"}, {0x60, 0x62, 6, "It is a Mk17 system"},
    {0x50, 0x52, 5, "It is a Mk16 system"},     {0x40, 0x42, 4, "It is a Mk15 system"},
    {0x30, 0x32, 3, "It is a Mk14 system"},     {0x0F, 0x15, 1, nullptr},
};

}  // namespace

secureVesk::secureVesk()
    : constructed(0),
      session{},
      lastError(0),
      accessState(0),
      veskType(kTypeNotQueried),
      osType(-1),
      restartFlag(0),
      maxDropBoxSize(0),
      updatePathFlag(0),
      halDaemonRunning(0),
      layerReady(0),
      lastFlag(1) {
    // Another run's start-up would delete this run's drop box: one storage
    // road at a time on the host, before any shared state is touched.
    if (unsigned char refused = roadLock.acquire()) {
        lastError = refused;
        return;
    }
    enableVeskLog();
    constructed = 1;
    halDaemonRunning = IsHalDaemonRunning() ? 1 : 0;
    CSignalHandler signals;
    signals.setupSignalHandlers();
    if (!secureVeskInitIPMI()) {
        logVeskMsg(__FILE__, __LINE__, "QUIB Library initialization failed");
        return;
    }
    // A type query the controller left unanswered keeps its error for the
    // driver, which fails the run.
    if (veskType != kTypeNotQueried) {
        lastError = 0;
    }
    getLinuxOSVer();
    if (osType == OS_UNDETECTED) {
        logVeskMsg(__FILE__, __LINE__, "Unsupported OS");
    }
    if (usbArbitratorRunning()) {
        logVeskMsg(__FILE__, __LINE__, "usbarbitrator serice is running.. please stop it");
        lastError = QUIB_USB_ARBITRATOR_RUNNING;
        layerReady = 0;
        return;
    }
    if (!udevhalInstall()) {
        logVeskMsg(__FILE__, __LINE__, "Udev and Hal Installation failed");
    }
}

// VMware's USB arbitrator takes USB disks away from the host.
bool secureVesk::usbArbitratorRunning() {
    if (isClassicEsx(osType)) {
        return hostPort().system(kArbitratorCheckEsx) == 0;
    }
    if (osType == ESXi) {
        return hostPort().system(kArbitratorCheckEsxi) == 0;
    }
    return false;
}

secureVesk::~secureVesk() {
    if (!roadLock.held()) {
        return;  // nothing was started; the other run's state is not ours
    }
    try {
        exchangeFiles.clear();
        if (session.veskHandle != 0) {
            endSessionOfThisRun();
            session = sessionHandle{};
        }
        if (restartFlag) {
            waitForRebootedController();
        }
        if (ReleaseKvoIPMILibrary() != 0) {
            logVeskMsg(__FILE__, __LINE__, "Release of KvoIPMI Library failed");
        }
        bool removed = udevhalUninstall();
        logVeskMsg(__FILE__, __LINE__, "Udev and Hal udevhalUninstall ");
        if (!removed) {
            logVeskMsg(__FILE__, __LINE__, "Udev and Hal Uninstallation failed");
        }
        CPlatformLayer::unloadUSB();
        logVeskMsg(__FILE__, __LINE__,
                   "secureVesk::~secureVesk() after delete m_pNotificationThread ");
        disableVeskLog();
    } catch (const std::bad_alloc&) {
        logVeskMsg(__FILE__, __LINE__,
                   "secureVesk::~secureVesk() caught bad allocation excepton occured ");
    } catch (...) {
        logVeskMsg(__FILE__, __LINE__, "secureVesk::~secureVesk() caught excepton occured ");
    }
}

// A session left open at the controller would hold its storage until the
// session times out: a refused or unanswered end is tried once more.
void secureVesk::endSessionOfThisRun() {
    constexpr int kEndAttempts = 2;
    for (int attempt = 0; attempt < kEndAttempts; ++attempt) {
        if (EndVeskSession()) {
            return;
        }
        logVeskMsg(__FILE__, __LINE__, "EndVeskSession failed");
    }
}

void secureVesk::waitForRebootedController() {
    if (veskType == 2 || veskType == 3) {
        hostPort().sleepSeconds(kRebootSettleSeconds);
        logVeskMsg(__FILE__, __LINE__, "VESK Lite/Liter NOT resetting Quenta");
        return;
    }
    rstQuenta();
    hostPort().sleepSeconds(kRebootSettleSeconds);
    for (int round = 0; round < kRebootRounds; ++round) {
        if (BeginVeskSessionExtended(kRebootSessionTimeout) ||
            BeginVeskSession(kRebootSessionTimeout)) {
            EndVeskSession();
            hostPort().sleepSeconds(kRebootSettleSeconds);
            return;
        }
        hostPort().sleepSeconds(kRebootRoundSleepSeconds);
    }
    logVeskMsg(__FILE__, __LINE__, "Reboot wait timeout reached");
}

int secureVesk::secureVeskInitIPMI() {
    layerReady = 0;
    int status = InitKvoIPMILibrary();
    if (status == kLibraryDriverMissing) {
        logVeskMsg(__FILE__, __LINE__, "IPMI Driver is not installed");
        storeErrorInfo(QUIB_IPMI_DRIVER_MISSING);
        return 0;
    }
    if (status != 0) {
        logVeskMsg(__FILE__, __LINE__, "Loading or Intialization of Kvo IPMI Library Failed");
        storeErrorInfo(status == kLibraryLoadFailed ? QUIB_IPMI_LIBRARY_FAILED
                                                    : QUIB_IPMI_INIT_FAILED);
        return 0;
    }
    layerReady = 1;
    veskType = GetVeskType();
    return 1;
}

int secureVesk::secureVeskInit() {
    // Without the storage lock another run owns the road: its session and
    // drop box are not this object's to touch.
    if (!roadLock.held()) {
        lastError = roadLock.refusal() != 0 ? roadLock.refusal()
                                            : static_cast<unsigned char>(QUIB_STORAGE_BUSY);
        return 0;
    }
    layerReady = 0;
    getLinuxOSVer();
    if (osType == OS_UNDETECTED) {
        logVeskMsg(__FILE__, __LINE__, "Unsupported OS");
        return 0;
    }
    GenerationType = GetSystemGeneration();
    if (GenerationType >= kFirstUnservedGeneration) {
        layerReady = 1;
        logVeskMsg(__FILE__, __LINE__,
                   "INFO - This is >Mk17 server. SecureVesk IPMI calls are not supported.");
        logVeskMsg(__FILE__, __LINE__, "Exiting secureVeskInit()");
        return 1;
    }
    int ready = guard<int>(0, __FILE__, __LINE__, [&] {
        veskType = GetVeskType();
        if (veskType == kNoStorageType || veskType == kTypeNotQueried) {
            // A type byte the layer does not know leaves no error of its own.
            raiseQuibError(lastError != QUIB_NO_ERROR
                               ? lastError
                               : static_cast<unsigned char>(QUIB_NO_STORAGE));
        }
        if (!IsVeskEnabled()) {
            logVeskMsg(__FILE__, __LINE__, "Vesk is disabled.");
            raiseQuibError(QUIB_ACCESS_DISABLED);
        }
        openWorkingSession();
        bringPartitionsToKnownState();
        layerReady = 1;
        return 1;
    });
    maxDropBoxSize = GenerationType < 1 ? kDropBoxLimitUnknownGeneration : kDropBoxLimit;
    return ready;
}

void secureVesk::openWorkingSession() {
    for (int round = 0; round < kSessionRounds; ++round) {
        if (BeginVeskSessionExtended(kWorkingSessionTimeout)) {
            break;
        }
        logVeskMsg(__FILE__, __LINE__,
                   "BeginVESKSessionExt Session failed trying with BeginVeskSession");
        if (BeginVeskSession(kWorkingSessionTimeout)) {
            break;
        }
        if (round + 1 == kSessionRounds) {
            logVeskMsg(__FILE__, __LINE__, "Begin Vesk Session Failed.");
            raiseQuibError(lastError);
        }
        hostPort().sleepSeconds(kSessionRoundSleepSeconds);
    }
    const auto* handle = reinterpret_cast<const unsigned char*>(&session.veskHandle);
    logVeskMsg(__FILE__, __LINE__,
               "Vesk Session Handle(" + hexWithoutZeros(handle[0]) + ", " +
                   hexWithoutZeros(handle[1]) + ")");
}

// Nothing of an earlier run stays attached, and its drop box goes.
void secureVesk::bringPartitionsToKnownState() {
    getPartInfo(getPartIndexInfo());
    DetachAll();
    unsigned short dynamic = getDynPartIndexInfo();
    if (dynamic == 0) {
        logVeskMsg(__FILE__, __LINE__, "secureVeskInit dynamic parition doesn't exists.");
        return;
    }
    logVeskMsg(__FILE__, __LINE__, "secureVeskInit some dynamic paritions exists.");
    deleteDynPartWithName(dynamic, dynDriveName);
}

int secureVesk::GetSystemGeneration() {
    logVeskMsg(__FILE__, __LINE__, "Entering GetSystemGeneration");
    if (GenerationType != -1) {
        logVeskMsg(__FILE__, __LINE__, "GetSystemGeneration : Returning Cached Value:1");
        return GenerationType;
    }
    IPMIReqBuf.requestBuffer[0] = OEM_NETFN;
    IPMIReqBuf.requestBuffer[1] = kGenerationCommand;
    IPMIReqBuf.requestLength = 2;
    IPMIReqBuf.responseLength = 9;
    // A transport failure leaves a cleared response, which must not pass
    // for a successful answer.
    if (!ProcessIPMIReuestResponseUsingKvoIPMI(&IPMIReqBuf) || responseByte(IPMIReqBuf, 0) != 0) {
        logVeskMsg(__FILE__, __LINE__, "Get System Generation Failed");
        return 0;
    }
    logVeskMsg(__FILE__, __LINE__, "Get System Generation Succesfull");
    unsigned char generationByte = responseByte(IPMIReqBuf, 6);
    for (const GenerationRange& range : kGenerations) {
        if (generationByte >= range.first && generationByte <= range.last) {
            if (range.logLine != nullptr) {
                logVeskMsg(__FILE__, __LINE__, range.logLine);
            }
            return range.generation;
        }
    }
    logVeskMsg(__FILE__, __LINE__, "Mk13 or Mk13 Plus System");
    return 2;
}

// A controller that answers the type query with a failure code has no
// storage; one that does not answer at all is not known to have none.
int secureVesk::GetVeskType() {
    auto query = [&] {
        clearRecord(IPMIReqBuf);
        if (OEMIPMIRequest(OEM_VESK_TYPE, 0x00, &IPMIReqBuf, 4, 6) != 0) {
            if (lastRequestUnanswered()) {
                logVeskMsg(__FILE__, __LINE__,
                           "The controller did not answer the storage type query.");
                raiseQuibError(QUIB_CONTROLLER_SILENT);
            }
            logVeskMsg(__FILE__, __LINE__, "There is no vesk present on this system.");
            raiseQuibError(QUIB_NO_STORAGE);
        }
        unsigned char type = responseByte(IPMIReqBuf, 1);
        lastError = QUIB_NO_ERROR;
        return type <= 2 ? type + 1 : 0;
    };
    return guardRaised<int>(0, __FILE__, __LINE__, query, [](unsigned char error) {
        return error == QUIB_CONTROLLER_SILENT ? kTypeNotQueried : kNoStorageType;
    });
}

int secureVesk::IsVeskPresent() {
    return veskType;
}

// The access state in response byte 1; a recovering service environment
// counts as enabled for the one package that may ignore it.
bool secureVesk::accessStateEnabled(unsigned char& state) {
    if (state == 0) {
        return true;
    }
    if (!byPassRecoveryState()) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "Orbe recovery state by pass is true.");
    if (state != kRecovering) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "Orbe is in recovery state.");
    state = 0;
    return true;
}

int secureVesk::IsVeskEnabled() {
    return guard<int>(0, __FILE__, __LINE__, [&] {
        clearRecord(IPMIReqBuf);
        if (OEMIPMIRequest(OEM_VESK_ACCESS_STATE, 0x00, &IPMIReqBuf, 4, 6) != 0) {
            logVeskMsg(__FILE__, __LINE__, "The getVeskAccessState IPMI command failed.");
            raiseQuibError(QUIB_ACCESS_STATE_FAILED);
        }
        bool enabled = accessStateEnabled(responseByte(IPMIReqBuf, 1));
        accessState = responseByte(IPMIReqBuf, 1);
        lastError = QUIB_NO_ERROR;
        return enabled ? 1 : 0;
    });
}

int secureVesk::iSMk13Quenta() {
    logVeskMsg(__FILE__, __LINE__, "Function secureVesk::iSMk13Quenta started");
    return guard<int>(
        1, __FILE__, __LINE__,
        [&] {
            clearRecord(IPMIReqBuf);
            int status = OEMIPMIRequest(OEM_QUENTA_CAPABILITY, kMk13Capability, &IPMIReqBuf, 3, 23);
            logVeskMsg(__FILE__, __LINE__,
                       status == 0 ? "Function secureVesk::iSMk13Quenta closed"
                                   : "Function secureVesk::iSMk13Quenta failed closed");
            return status;
        },
        {"iSMk13Quenta func - QUIB internal error"});
}

// A command of network function 0x30 in a record of its own, sent without
// completion-code handling: -1 when it could not be sent, else the code.
int secureVesk::platformQuery(unsigned char command, std::initializer_list<unsigned char> data,
                              unsigned short responseLength, _KvoIPMICommandData& record) {
    record = _KvoIPMICommandData{};
    record.requestBuffer[0] = OEM_NETFN;
    record.requestBuffer[1] = command;
    unsigned k = 0;
    for (unsigned char byte : data) {
        requestByte(record, k++) = byte;
    }
    record.requestLength = static_cast<unsigned short>(REQUEST_DATA + data.size());
    record.responseLength = responseLength;
    if (!ProcessIPMICommand(&record)) {
        logVeskMsg(__FILE__, __LINE__, "IPMI Command ERROR");
        return -1;
    }
    return responseByte(record, 0);
}

int secureVesk::isMonolithic() {
    _KvoIPMICommandData record{};
    int code = platformQuery(kGenerationCommand, {}, 30, record);
    if (code < 0) {
        return -1;
    }
    if (code != 0) {
        logVeskMsg(__FILE__, __LINE__, "Monolithic Quenta System");
        return 1;
    }
    logVeskMsg(__FILE__, __LINE__, "Modular Quenta System");
    return 0;
}

int secureVesk::isDepCheckSupported() {
    _KvoIPMICommandData record{};
    int code = platformQuery(OEM_QUENTA_CAPABILITY, {kFirmwareVersion}, 30, record);
    if (code != 0) {
        return code < 0 ? -1 : 0;
    }
    logVeskMsg(__FILE__, __LINE__, "Return Code 0");
    unsigned char major = responseByte(record, 1);
    unsigned char minor = responseByte(record, 2);
    if (isMonolithic() != 0) {
        return major >= 1 && minor > 0x1D ? 1 : 0;
    }
    return major >= 2 && minor > 0x13 ? 1 : 0;
}

int secureVesk::getStateFlag(unsigned char& flag) {
    return guard<int>(0, __FILE__, __LINE__, [&] {
        clearRecord(IPMIReqBuf);
        sendHandle(&requestByte(IPMIReqBuf, 0));
        if (IPMIRequest(VESK_GET_STATE_FLAG, &IPMIReqBuf, 8, 8) != 0) {
            logVeskMsg(__FILE__, __LINE__, "IPMI call for getStateFlag failed.");
            raiseQuibError(QUIB_GET_STATE_FLAG_FAILED);
        }
        flag = responseByte(IPMIReqBuf, 3);
        logVeskMsg(__FILE__, __LINE__, stateFlagText(flag));
        lastError = QUIB_NO_ERROR;
        return 1;
    });
}

int secureVesk::setStateFlag(unsigned char flag) {
    return guard<int>(0, __FILE__, __LINE__, [&] {
        clearRecord(IPMIReqBuf);
        sendHandle(&requestByte(IPMIReqBuf, 0));
        requestByte(IPMIReqBuf, 4) = flag;
        if (IPMIRequest(VESK_SET_STATE_FLAG, &IPMIReqBuf, 7, 7) != 0) {
            logVeskMsg(__FILE__, __LINE__, "IPMI call for setStateFlag failed.");
            raiseQuibError(QUIB_SET_STATE_FLAG_FAILED);
        }
        lastError = QUIB_NO_ERROR;
        return 1;
    });
}

void secureVesk::setRestart() {
    restartFlag = 1;
}

void secureVesk::sendHandle(unsigned char* requestData) {
    // The handle's bytes go out exactly as the controller sent them.
    requestData[1] = static_cast<unsigned char>(session.veskHandle & 0xFF);
    requestData[2] = static_cast<unsigned char>(session.veskHandle >> 8);
}
