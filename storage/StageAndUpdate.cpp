#include <cstdio>
#include <cstdlib>

#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/PlatformLayer.h"

namespace {

// Request bytes of the secure-update sequence.
constexpr unsigned short kSecureUpdateArgument = 1200;
constexpr unsigned short kBeginRequestLength = 12;
constexpr unsigned short kBeginResponseLength = 8;
constexpr unsigned short kProcessRequestLength = 29;
constexpr unsigned short kProcessResponseLength = 6;
constexpr unsigned short kEndRequestLength = 9;
constexpr unsigned short kEndResponseLength = 6;
constexpr unsigned kDigestFirstByte = 5;
constexpr std::size_t kDigestBytes = 16;

// Functions of sub-command 0x26 (request byte 3) and their replies.
constexpr unsigned char kIdentityCheck = 0x01;
constexpr unsigned char kStageOnly = 0x02;
constexpr unsigned char kStageAndUpdate = 0x04;
constexpr unsigned char kStageStatus = 0x08;
constexpr unsigned char kSupportedMethods = 0x20;
constexpr unsigned char kStageReset = 0x40;
constexpr unsigned short kStageLength = 8;
constexpr unsigned char kSignatureMarked = 0x01;
constexpr unsigned char kGpgBit = 0x02;
constexpr unsigned char kSha256Bit = 0x01;
constexpr unsigned char kResetDone = 9;

// The service environment status command.
constexpr unsigned char kOrbeStatusCommand = 0xA9;
constexpr unsigned char kOrbeStatusFunction = 0x1E;
constexpr unsigned short kOrbeResponseLength = 30;

// The status poll waits 2 seconds between polls, at most 3000 times; an
// unknown answer to the stage request is resent as often.
constexpr unsigned kPollPauseSeconds = 2;
constexpr int kPollLimit = 2999;
constexpr int kStageResendLimit = 3000;

constexpr int kPollAgain = 2;

struct StageStatus {
    unsigned char value;
    const char* logged;
    int result;  // kPollAgain: wait and poll again
};

const StageStatus kStageStatuses[] = {
    {0, " Polling Success", 0},
    {1, " Polling Failed", -1},
    {2, "Pending Staging/Update in Progress", kPollAgain},
    {3, "Success Update Staged and Reboot Required", 1},
    {4, "Success Update Applied or Update Staged: Reboot not Required", 0},
    {5, "Not Supported: Device or Actaion not supported", -1},
    {6, "Quenta firmware Update Required", -1},
    {7, "Orbe is Disabled", -1},
    {38, "SHA256 Checksum match Failed", -1},
};
const StageStatus kUnknownStageStatus = {0, "Unknow return code and continue to poll again",
                                         kPollAgain};

const StageStatus& stageStatus(unsigned char value) {
    for (const StageStatus& status : kStageStatuses) {
        if (status.value == value) {
            return status;
        }
    }
    return kUnknownStageStatus;
}

const char* const kOrbeStatuses[] = {
    "Orbe is  Ready...",   "Orbe is not Ready...",  "Orbe is Reloading...",
    "Orbe is Disabled...", "Orbe is Recovering...", "Orbe is In use...",
};

// What the stage request's answer (response byte 3) leads to.
enum class StageReply { Refused, Poll, Done, NotSupported, QuentaUpdate, OrbeDisabled, Unknown };

StageReply stageReply(unsigned char answer) {
    switch (answer) {
        case 1:
            return StageReply::Refused;
        case 2:
            return StageReply::Poll;
        case 3:
        case 4:
            return StageReply::Done;
        case 5:
            return StageReply::NotSupported;
        case 6:
            return StageReply::QuentaUpdate;
        case 7:
            return StageReply::OrbeDisabled;
        default:
            return StageReply::Unknown;
    }
}

void putLittleEndian(_KvoIPMICommandData& record, unsigned k, unsigned short value) {
    requestByte(record, k) = static_cast<unsigned char>(value & 0xFF);
    requestByte(record, k + 1) = static_cast<unsigned char>(value >> 8);
}

// A stage function in IPMIReqBuf, cleared first.
void fillStageFunction(unsigned short handle, unsigned char function) {
    clearRecord(IPMIReqBuf);
    putLittleEndian(IPMIReqBuf, 1, handle);
    requestByte(IPMIReqBuf, 3) = function;
}

// "0x" then the code as four hexadecimal digits.
std::string returnCode(unsigned char code) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04x", code);
    return text;
}

unsigned char completionCode() {
    return responseByte(IPMIReqBuf, 0);
}

}  // namespace

// Whether a secure-update step sent with status was carried out: the
// transport first (a silent controller leaves completion code 0 behind and
// records error 75), then the completion code, logged after failedLine.
bool secureVesk::secureUpdateAccepted(int status, const char* failedLine) {
    if (status != 0 && lastRequestUnanswered()) {
        logVeskMsg(__FILE__, __LINE__, std::string(failedLine) + "no answer from the controller");
        storeErrorInfo(QUIB_CONTROLLER_SILENT);
        return false;
    }
    if (status == 0 && completionCode() == 0) {
        return true;
    }
    logVeskMsg(__FILE__, __LINE__, failedLine + returnCode(completionCode()));
    return false;
}

bool secureVesk::beginSecureUpdate(sessionHandle session, unsigned int payload) {
    logVeskMsg(__FILE__, __LINE__, "Entering beginSecureUpdate");
    logVeskMsg(__FILE__, __LINE__, "beginSecureUpdate : Payload Size : " + std::to_string(payload));
    clearRecord(IPMIReqBuf);
    putLittleEndian(IPMIReqBuf, 1, session.veskHandle);
    putLittleEndian(IPMIReqBuf, 3, kSecureUpdateArgument);
    putLittleEndian(IPMIReqBuf, 6, static_cast<unsigned short>(payload & 0xFFFF));
    int status = IPMIRequest(VESK_BEGIN_SECURE_UPDATE, &IPMIReqBuf, kBeginRequestLength,
                             kBeginResponseLength);
    if (!secureUpdateAccepted(status,
                              "beginSecureUpdate : pfnBeginSecureUpdate failed : Return Code - ")) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "beginSecureUpdate Succeeded");
    return true;
}

bool secureVesk::processSecureUpdate(sessionHandle session, std::string digest) {
    logVeskMsg(__FILE__, __LINE__, "Entering processSecureUpdate");
    clearRecord(IPMIReqBuf);
    putLittleEndian(IPMIReqBuf, 1, session.veskHandle);
    for (std::size_t i = 0; i < kDigestBytes && 2 * i + 1 < digest.size(); ++i) {
        std::string pair = digest.substr(2 * i, 2);
        requestByte(IPMIReqBuf, kDigestFirstByte + static_cast<unsigned>(i)) =
            static_cast<unsigned char>(std::strtoul(pair.c_str(), nullptr, 16));
    }
    int status = IPMIRequest(VESK_PROCESS_SECURE_UPDATE, &IPMIReqBuf, kProcessRequestLength,
                             kProcessResponseLength);
    if (!secureUpdateAccepted(
            status, "processSecureUpdate : pfnProcessSecureUpdate failed : Return Code - ")) {
        return false;
    }
    return true;
}

bool secureVesk::endSecureUpdate(sessionHandle session) {
    logVeskMsg(__FILE__, __LINE__, "Entering endSecureUpdate");
    clearRecord(IPMIReqBuf);
    putLittleEndian(IPMIReqBuf, 1, session.veskHandle);
    int status =
        IPMIRequest(VESK_END_SECURE_UPDATE, &IPMIReqBuf, kEndRequestLength, kEndResponseLength);
    if (!secureUpdateAccepted(status,
                              "endSecureUpdate : pfnEndSecureUpdate failed : Return Code - ")) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "endSecureUpdate Succeeded");
    return true;
}

// Sends a capability function of sub-command 0x26 for the operation name;
// false when it could not be sent. Without a session error 2 is recorded and
// the function is sent all the same.
bool secureVesk::sendStageQuery(const std::string& name, unsigned char function) {
    logVeskMsg(__FILE__, __LINE__, "Entering " + name);
    if (!IsSessionActive()) {
        logVeskMsg(__FILE__, __LINE__, "No Active Session to check GUID Compatibility");
    }
    fillStageFunction(session.veskHandle, function);
    if (IPMIRequest(VESK_HASH_TRANSFER, &IPMIReqBuf, kStageLength, kStageLength) != 0) {
        logVeskMsg(__FILE__, __LINE__, name + " Command is failed");
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, name + " Command is successful");
    return true;
}

bool secureVesk::checkIfMk13PlusIPMISupported() {
    if (!sendStageQuery("checkIfMk13PlusIPMISupported", kIdentityCheck)) {
        return false;
    }
    if (completionCode() == 0 && responseByte(IPMIReqBuf, 3) == 0) {
        logVeskMsg(__FILE__, __LINE__,
                   "checkIfMk13PlusIPMISupported IPMI is success and also GUID check is enabled");
        return true;
    }
    logVeskMsg(__FILE__, __LINE__,
               "checkIfMk13PlusIPMISupported IPMI Command is false and also GUID check is false");
    return false;
}

digestType secureVesk::QuerySupportedSecurtyMethod() {
    if (!sendStageQuery("QuerySupportedSecurtyMethod", kSupportedMethods)) {
        return DIGEST_MD5;
    }
    unsigned char methods = completionCode() == 0 ? responseByte(IPMIReqBuf, 4) : 0;
    if ((methods & kGpgBit) != 0) {
        logVeskMsg(__FILE__, __LINE__,
                   "QuerySupportedSecurtyMethod IPMI is success and also GPG is Supported");
        return DIGEST_GPG;
    }
    if ((methods & kSha256Bit) != 0) {
        logVeskMsg(__FILE__, __LINE__,
                   "QuerySupportedSecurtyMethod IPMI is success and also SHA256 is Supported");
    } else {
        logVeskMsg(__FILE__, __LINE__,
                   "QuerySupportedSecurtyMethod IPMI is success and setting default as SHA256");
    }
    return DIGEST_SHA256;
}

bool secureVesk::sendIPMICommandToStageAndUpdate(bool stageAndUpdate, digestType type) {
    auto body = [&] {
        logVeskMsg(__FILE__, __LINE__, "Entering sendIPMICommandToStageAndUpdate() Function");
        // An answer outside the known ones is asked again, a bounded number
        // of times with the status poll's pause.
        for (int attempt = 0; attempt < kStageResendLimit; ++attempt) {
            if (!IsSessionActive()) {
                logVeskMsg(__FILE__, __LINE__, "No Active Session to perform Stage/Update");
                raiseQuibError(QUIB_NO_SESSION);
            }
            fillStageFunction(session.veskHandle, stageAndUpdate ? kStageAndUpdate : kStageOnly);
            requestByte(IPMIReqBuf, 5) = type == DIGEST_GPG ? kSignatureMarked : 0x00;
            if (OEMIPMIRequest(OEM_VESK_COMMAND, VESK_HASH_TRANSFER, &IPMIReqBuf, kStageLength,
                               kStageLength) != 0) {
                logVeskMsg(__FILE__, __LINE__, "Stage and Update Command is failed");
                raiseQuibError(QUIB_STAGE_FAILED);
            }
            logVeskMsg(__FILE__, __LINE__, "Stage or Update VESK command Is successful ");
            switch (stageReply(responseByte(IPMIReqBuf, 3))) {
                case StageReply::Refused:
                    logVeskMsg(__FILE__, __LINE__,
                               "sendIPMICommandToStageAndUpdate request Not Accepted and Stage "
                               "Only Failed");
                    raiseQuibError(QUIB_STAGE_FAILED);
                case StageReply::Poll:
                    if (pollForStatus() < 0) {
                        raiseQuibError(QUIB_STAGE_FAILED);
                    }
                    return true;
                case StageReply::Done:
                    logVeskMsg(__FILE__, __LINE__,
                               "sendIPMICommandToStageAndUpdate: Stage or StageUpdate Successful "
                               "& reboot not required");
                    return true;
                case StageReply::NotSupported:
                    logVeskMsg(__FILE__, __LINE__,
                               "sendIPMICommandToStageAndUpdate: Stage or StageUpdate not "
                               "supported for this device");
                    raiseQuibError(QUIB_STAGE_NOT_SUPPORTED);
                case StageReply::QuentaUpdate:
                    logVeskMsg(__FILE__, __LINE__,
                               "sendIPMICommandToStageAndUpdate: Quenta update required");
                    raiseQuibError(QUIB_QUENTA_UPDATE_REQUIRED);
                case StageReply::OrbeDisabled:
                    logVeskMsg(__FILE__, __LINE__,
                               "sendIPMICommandToStageAndUpdate: Orbe is disabled ");
                    raiseQuibError(QUIB_ACCESS_DISABLED);
                case StageReply::Unknown:
                    break;
            }
            CPlatformLayer::Sleep(kPollPauseSeconds);
        }
        raiseQuibError(QUIB_STAGE_FAILED);
    };
    return guardRaised(false, __FILE__, __LINE__, body,
                       [](unsigned char) {
                           logVeskMsg(__FILE__, __LINE__, "Stage or Update Command is failed");
                           return false;
                       },
                       {"Stage or Update Command is failed", "QUIB internal error"});
}

int secureVesk::pollForStatus() {
    auto body = [&] {
        logVeskMsg(__FILE__, __LINE__, "Entering pollForStatus() Function");
        for (int counter = 0;;) {
            clearRecord(IPMIReqBuf);
            if (!IsSessionActive()) {
                logVeskMsg(__FILE__, __LINE__, "No Active Session to perform Stage/Update");
                raiseQuibError(QUIB_NO_SESSION);
            }
            fillStageFunction(session.veskHandle, kStageStatus);
            if (OEMIPMIRequest(OEM_VESK_COMMAND, VESK_HASH_TRANSFER, &IPMIReqBuf, kStageLength,
                               kStageLength) != 0) {
                return -1;
            }
            logVeskMsg(__FILE__, __LINE__, "Stage or Update VESK command Is successful ");
            const StageStatus& status = stageStatus(responseByte(IPMIReqBuf, 3));
            logVeskMsg(__FILE__, __LINE__, status.logged);
            if (status.result != kPollAgain) {
                return status.result;
            }
            CPlatformLayer::Sleep(kPollPauseSeconds);
            if (++counter > kPollLimit) {
                logVeskMsg(__FILE__, __LINE__, "Leaving pollForStatus() Function");
                return -1;
            }
        }
    };
    return guardRaised(-1, __FILE__, __LINE__, body,
                       [](unsigned char) {
                           logVeskMsg(__FILE__, __LINE__, "Polling Command is failed");
                           return -1;
                       },
                       {"Polling Command is failed", "QUIB internal error"});
}

bool secureVesk::StagevACResetRequestSIPMI() {
    logVeskMsg(__FILE__, __LINE__, "Entering StagevACResetRequestSIPMI() Function");
    _KvoIPMICommandData reset{};
    reset.requestBuffer[0] = OEM_NETFN;
    reset.requestBuffer[1] = OEM_VESK_COMMAND;
    requestByte(reset, 0) = VESK_HASH_TRANSFER;
    putLittleEndian(reset, 1, session.veskHandle);
    requestByte(reset, 3) = kStageReset;
    reset.requestLength = kStageLength;
    reset.responseLength = kStageLength;
    bool result = false;
    if (ProcessIPMICommand(&reset)) {
        logVeskMsg(__FILE__, __LINE__, "Stage or Update VESK command Is successful ");
        unsigned char code = responseByte(reset, 0);
        if (code == 0) {
            result = responseByte(reset, 3) == kResetDone;
        } else if (code == 1) {
            logVeskMsg(__FILE__, __LINE__,
                       "sendIPMICommandToStageAndUpdate request Not Accepted and Stage Only "
                       "Failed");
            storeErrorInfo(QUIB_STAGE_FAILED);
            logVeskMsg(__FILE__, __LINE__, "Stage or Update Command is failed");
        }
    }
    logVeskMsg(__FILE__, __LINE__, "Entering StagevACResetRequestSIPMI() Function - End");
    return result;
}

int secureVesk::pollForOrbeStatus() {
    _KvoIPMICommandData query{};
    if (platformQuery(kOrbeStatusCommand, {kOrbeStatusFunction}, kOrbeResponseLength, query) < 0) {
        return -1;
    }
    unsigned char status = responseByte(query, 2);
    if (status >= sizeof(kOrbeStatuses) / sizeof(kOrbeStatuses[0])) {
        return 0;
    }
    logVeskMsg(__FILE__, __LINE__, kOrbeStatuses[status]);
    return status;
}
