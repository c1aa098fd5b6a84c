#include "storage/SecureVesk.h"

#include <new>

#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"

int GenerationType = -1;

namespace {

constexpr int kLibraryDriverMissing = 274;
constexpr int kLibraryLoadFailed = 273;
constexpr unsigned kRebootSettleSeconds = 60;
constexpr unsigned kRebootRoundSleepSeconds = 10;
constexpr int kRebootRounds = 24;
constexpr unsigned short kRebootSessionTimeout = 60;

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
      veskType(4),
      osType(-1),
      restartFlag(0),
      maxDropBoxSize(0),
      updatePathFlag(0),
      halDaemonRunning(0),
      layerReady(0),
      lastFlag(1) {
    enableVeskLog();
    constructed = 1;
    if (!secureVeskInitIPMI()) {
        logVeskMsg(__FILE__, __LINE__, "QUIB Library initialization failed");
        return;
    }
    lastError = 0;
}

secureVesk::~secureVesk() {
    try {
        exchangeFiles.clear();
        if (session.veskHandle != 0) {
            if (!EndVeskSession()) {
                logVeskMsg(__FILE__, __LINE__, "EndVeskSession failed");
            }
            session = sessionHandle{};
        }
        if (restartFlag) {
            waitForRebootedController();
        }
        if (ReleaseKvoIPMILibrary() != 0) {
            logVeskMsg(__FILE__, __LINE__, "Release of KvoIPMI Library failed");
        }
        disableVeskLog();
    } catch (const std::bad_alloc&) {
        logVeskMsg(__FILE__, __LINE__,
                   "secureVesk::~secureVesk() caught bad allocation excepton occured ");
    } catch (...) {
        logVeskMsg(__FILE__, __LINE__, "secureVesk::~secureVesk() caught excepton occured ");
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

int secureVesk::GetSystemGeneration() {
    logVeskMsg(__FILE__, __LINE__, "Entering GetSystemGeneration");
    if (GenerationType != -1) {
        logVeskMsg(__FILE__, __LINE__, "GetSystemGeneration : Returning Cached Value:1");
        return GenerationType;
    }
    IPMIReqBuf.requestBuffer[0] = OEM_NETFN;
    IPMIReqBuf.requestBuffer[1] = 0xBD;
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

int secureVesk::GetVeskType() {
    return guard<int>(0, __FILE__, __LINE__, [&] {
        clearRecord(IPMIReqBuf);
        if (OEMIPMIRequest(OEM_VESK_TYPE, 0x00, &IPMIReqBuf, 4, 6) != 0) {
            logVeskMsg(__FILE__, __LINE__, "There is no vesk present on this system.");
            raiseQuibError(QUIB_NO_STORAGE);
        }
        unsigned char type = responseByte(IPMIReqBuf, 1);
        lastError = QUIB_NO_ERROR;
        return type <= 2 ? type + 1 : 0;
    });
}

int secureVesk::IsVeskPresent() {
    return veskType;
}

void secureVesk::setRestart() {
    restartFlag = 1;
}

void secureVesk::sendHandle(unsigned char* requestData) {
    // The handle's bytes go out exactly as the controller sent them.
    requestData[1] = static_cast<unsigned char>(session.veskHandle & 0xFF);
    requestData[2] = static_cast<unsigned char>(session.veskHandle >> 8);
}
