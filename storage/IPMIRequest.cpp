#include "storage/IPMIRequest.h"

#include <cstdio>
#include <cstring>

#include "baseutils/HostPort.h"
#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "storage/SecureVesk.h"
#include "storage/VeskLog.h"

_KvoIPMICommandData IPMIReqBuf{};
_KvoIPMICommandData PollReqBuf{};
KvoIPMIInterfaceImpl* pKvoIPMILibHandle = nullptr;

namespace {

constexpr int kMaxSends = 10;
constexpr unsigned kRepeatSleepSeconds = 2;
constexpr unsigned char kProcessing = 255;
constexpr unsigned char kPending = 2;

enum class CodeKind { Other, Fail, Pending, Repeat, Overrun };

struct EsmStatus {
    const char* name;
    CodeKind kind;
};

// Completion codes 1 to 22 as the controller's ESM status table names them;
// 20 is not in the table.
const EsmStatus* esmStatus(unsigned char code) {
    static const EsmStatus table[] = {
        {"ESM_STATUS_CMD_NOT_IMPLEMENTED", CodeKind::Fail},
        {"ESM_STATUS_CMD_PENDING", CodeKind::Pending},
        {"ESM_STATUS_CMD_TIMEOUT", CodeKind::Repeat},
        {"ESM_STATUS_CMD_CANCELLED", CodeKind::Fail},
        {"ESM_STATUS_CMD_ABORT", CodeKind::Fail},
        {"ESM_STATUS_CMD_PENDING", CodeKind::Repeat},
        {"ESM_STATUS_CMD_NO_SUCH_DEVICE", CodeKind::Fail},
        {"ESM_STATUS_DEVICE_BUSY", CodeKind::Repeat},
        {"ESM_STATUS_CMD_DEVICE_BAD", CodeKind::Fail},
        {"ESM_STATUS_CMD_DEVICE_SPURIOUS_INTR", CodeKind::Repeat},
        {"ESM_STATUS_CMD_RESOURCE_LOCKED", CodeKind::Fail},
        {"ESM_STATUS_CMD_INVALID_INDEX", CodeKind::Fail},
        {"ESM_STATUS_CMD_ERROR", CodeKind::Fail},
        {"ESM_STATUS_CMD_DATA_NOT_READY", CodeKind::Repeat},
        {"ESM_STATUS_CMD_DATA_UNDERRUN", CodeKind::Fail},
        {"ESM_STATUS_CMD_DATA_OVERRUN", CodeKind::Overrun},
        {"ESM_STATUS_DEVICE_NOT_READY", CodeKind::Repeat},
        {"ESM_STATUS_DEVICE_EMPTY", CodeKind::Fail},
        {"ESM_STATUS_DEVICE_FULL", CodeKind::Fail},
        {nullptr, CodeKind::Other},
        {"ESM_STATUS_PENDING_DOIO_QUEUE", CodeKind::Repeat},
        {"ESM_STATUS_PENDING_BUSY_QUEUE", CodeKind::Repeat},
    };
    if (code < 1 || code > sizeof(table) / sizeof(table[0]) || table[code - 1].name == nullptr) {
        return nullptr;
    }
    return &table[code - 1];
}

void logRequestDump(const std::string& name, const _KvoIPMICommandData& record) {
    if (!bVeskDebugLog) {
        return;
    }
    logVeskMsg(__FILE__, __LINE__,
               name + " IPMIRequest[" + dumpBytes(record.requestBuffer, record.requestLength));
}

// The response as long as the caller expects it, whatever length arrived.
void logResponseDump(const _KvoIPMICommandData& record, unsigned expectedLength) {
    if (!bVeskDebugLog) {
        return;
    }
    logVeskMsg(__FILE__, __LINE__,
               " IPMIResponse[" + dumpBytes(record.responseBuffer, expectedLength));
}

// The command's name in the request dump of a storage command.
std::string dumpName(const _KvoIPMICommandData& record) {
    if (record.requestBuffer[1] == OEM_VESK_COMMAND) {
        return getIPMICommandName(record.requestBuffer[REQUEST_DATA]);
    }
    return " ";
}

// The last exchange of ProcessVeskIPMICommand got no answer at all.
bool lastUnanswered = false;

unsigned int libraryRequest(_KvoIPMICommandData* record) {
    if (pKvoIPMILibHandle == nullptr) {
        return KVO_IPMI_INVALID_PARAMETER;
    }
    return pKvoIPMILibHandle->IPMIRequest(record);
}

}  // namespace

void clearRecord(_KvoIPMICommandData& record) {
    std::memset(&record, 0, sizeof(record));
}

unsigned char OEMIPMIRequest(eOEMIPMIRequestType command, unsigned char subCommand,
                             _KvoIPMICommandData* record, unsigned short requestLength,
                             unsigned short responseLength) {
    record->requestBuffer[0] = OEM_NETFN;
    record->requestBuffer[1] = command;
    requestByte(*record, 0) = subCommand;
    record->requestLength = requestLength;
    record->responseLength = responseLength;
    return ProcessVeskIPMICommand(record);
}

bool lastRequestUnanswered() {
    return lastUnanswered;
}

unsigned char ProcessVeskIPMICommand(_KvoIPMICommandData* record) {
    logRequestDump(dumpName(*record), *record);
    const _KvoIPMICommandData snapshot = *record;
    int sendsLeft = kMaxSends;
    unsigned char repeatMarker = 0;
    lastUnanswered = false;
    for (;;) {
        *record = snapshot;
        if (libraryRequest(record) != KVO_IPMI_SUCCESS) {
            logVeskMsg(__FILE__, __LINE__, "ProcessVeskIPMICommand: PLIMXCommand ERROR \n");
            lastUnanswered = true;
            return 1;
        }
        logResponseDump(*record, snapshot.responseLength);
        unsigned char code = responseByte(*record, 0);
        const EsmStatus* status = esmStatus(code);
        if (status == nullptr) {
            return GetErrorCode(record);
        }
        logVeskMsg(__FILE__, __LINE__, status->name);
        switch (status->kind) {
            case CodeKind::Fail:
            case CodeKind::Other:
                return 1;
            case CodeKind::Pending:
                return kPending;
            case CodeKind::Repeat:
                repeatMarker = kPending;
                if (--sendsLeft == 0) {
                    return kPending;
                }
                hostPort().sleepSeconds(kRepeatSleepSeconds);
                break;
            case CodeKind::Overrun:
                // Ten overruns in a row never delivered an answer: that is a
                // failure, not a success.
                if (--sendsLeft == 0) {
                    return repeatMarker == 0 ? 1 : repeatMarker;
                }
                if (repeatMarker == kPending) {
                    hostPort().sleepSeconds(kRepeatSleepSeconds);
                }
                break;
        }
    }
}

unsigned char GetErrorCode(_KvoIPMICommandData* record) {
    unsigned char code = responseByte(*record, 0);
    if (code == 0) {
        logVeskMsg(__FILE__, __LINE__, "QUENTA returned SUCCESS\n");
        return 0;
    }
    if (code == kProcessing) {
        logVeskMsg(__FILE__, __LINE__, "QUENTA is processing\n");
        responseByte(*record, 0) = kPending;
        hostPort().sleepSeconds(kRepeatSleepSeconds);
        return kPending;
    }
    if (bVeskDebugLog) {
        logVeskMsg(__FILE__, __LINE__, "Unrecognized QUENTA return code [0x" + hex2(code) + "]");
    }
    return 1;
}

bool ProcessIPMICommand(_KvoIPMICommandData* record) {
    logVeskMsg(__FILE__, __LINE__, "ProcessIPMICommand Start\n");
    logRequestDump("", *record);
    // The library overwrites the length with the one it received.
    const unsigned expectedLength = record->responseLength;
    bool accepted = false;
    for (int attempt = 0; attempt < kMaxSends; ++attempt) {
        unsigned int result = libraryRequest(record);
        logResponseDump(*record, expectedLength);
        if (result == KVO_IPMI_SUCCESS) {
            logVeskMsg(__FILE__, __LINE__, "ProcessIPMICommand Passed\n");
            accepted = true;
            break;
        }
        hostPort().sleepSeconds(kRepeatSleepSeconds);
    }
    logVeskMsg(__FILE__, __LINE__, "ProcessIPMICommand END\n");
    return accepted;
}

bool ProcessIPMIReuestResponseUsingKvoIPMI(_KvoIPMICommandData* record) {
    return libraryRequest(record) == KVO_IPMI_SUCCESS;
}

std::string getIPMICommandName(unsigned char subCommand) {
    switch (subCommand) {
        case VESK_BEGIN_SESSION:
            return "BeginVESKSession";
        case VESK_END_SESSION:
            return "EndVESKSession";
        case VESK_RESET_SESSION_WD:
            return "ResetVESKSessionWD";
        case VESK_GET_PARTITION_INDEX_INFO:
            return "Getpartitionindexinfo";
        case VESK_GET_PARTITION_INFO:
            return "GetPartitionInfo";
        case VESK_ATTACH_PARTITIONS:
            return "AttachPartitions";
        case VESK_DETACH_PARTITIONS:
            return "DetachPartitions";
        case VESK_CREATE_DYNAMIC_PARTITION:
            return "CreateDynamicPartition";
        case VESK_DELETE_DYNAMIC_PARTITION:
            return "DeleteDynamicPartition";
        case VESK_SECURE_UPDATE:
            return "SecureVESKUpdate";
        case VESK_GET_STATUS:
            return "GetVESKStatus";
        case VESK_CHANGE_ACCESS_TYPE:
            return "ChangePartitionAccessType";
        case VESK_REGISTER_SSIB_TASK:
            return "RegisterSSIBTask";
        case VESK_GET_STATE_FLAG:
            return "getStateFlagCmd";
        case VESK_SET_STATE_FLAG:
            return "setStateFlagCmd";
        case VESK_BEGIN_SESSION_EXTENDED:
            return "BeginVESKSessionExtended";
        case VESK_BEGIN_SECURE_UPDATE:
            return "BeginSecureUpdate";
        case VESK_PROCESS_SECURE_UPDATE:
            return "ProcessSecureUpdate";
        case VESK_END_SECURE_UPDATE:
            return "EndSecureUpdate";
        case VESK_GET_BRENN_SYSTEM_INFO:
            return "GetBrennSystemInfo";
        default:
            return "";
    }
}

int rstQuenta() {
    _KvoIPMICommandData reset{};
    reset.requestBuffer[0] = 0x06;  // application network function
    reset.requestBuffer[1] = 0x02;  // cold reset
    reset.requestLength = 2;
    reset.responseLength = 3;
    if (ProcessIPMICommand(&reset)) {
        return 0;
    }
    logVeskMsg(__FILE__, __LINE__, "PLIMXCommand ERROR from Quenta reset\n");
    return 1;
}

int InitKvoIPMILibrary() {
    _KvoIPMIConfiguration settings{};
    settings.pollInterval = 60;
    settings.pollCount = 5;
    settings.retryCount = 5;
    settings.retryInterval = 50;
    settings.pollingByte = 0;
    settings.pollingStatus = 0;
    // A facade left by an earlier storage layer object is replaced, not leaked.
    delete pKvoIPMILibHandle;
    pKvoIPMILibHandle = new KvoIPMIInterfaceImpl();
    unsigned int status = pKvoIPMILibHandle->Initialize(&settings);
    logVeskMsg(__FILE__, __LINE__,
               status == 0 ? "Intialization of Kvo IPMI Library successful"
                           : "Intialization of Kvo IPMI Library failed");
    return static_cast<int>(status);
}

int ReleaseKvoIPMILibrary() {
    logVeskMsg(__FILE__, __LINE__, "InstallIPMI CPlatformLayer:UninstallZurl success");
    if (pKvoIPMILibHandle != nullptr) {
        pKvoIPMILibHandle->Release();
        delete pKvoIPMILibHandle;
        pKvoIPMILibHandle = nullptr;
    }
    return 0;
}

int secureVesk::IPMIRequest(unsigned char subCommand, void* record, unsigned short requestLength,
                            unsigned short responseLength) {
    auto* command = static_cast<_KvoIPMICommandData*>(record);
    unsigned char status =
        OEMIPMIRequest(OEM_VESK_COMMAND, subCommand, command, requestLength, responseLength);
    if (status == 0) {
        unsigned short handle = static_cast<unsigned short>(responseByte(*command, 1) |
                                                            (responseByte(*command, 2) << 8));
        if (handle != 0) {
            session.veskHandle = handle;
            logVeskMsg(__FILE__, __LINE__, "New Vesk Handle = " + std::to_string(handle));
        }
        return 0;
    }
    logVeskMsg(__FILE__, __LINE__,
               " IPMIRequest completion code =" + hex2(responseByte(*command, 0)));
    if (responseByte(*command, 0) != kPending) {
        return status;
    }
    if (PollVeskCmdComplete(3000, subCommand)) {
        return responseByte(*command, 0);
    }
    return status;
}

void secureVesk::storeErrorInfo(unsigned char error) {
    lastError = error;
}

unsigned char secureVesk::getQuibError() {
    return lastError;
}

// Calling a member through a null pointer is undefined, so the missing object
// is asked about through this overload.
unsigned char secureVesk::getQuibError(const secureVesk* object) {
    if (object == nullptr) {
        logVeskMsg(__FILE__, __LINE__, "secureVesk object does not exist");
        return QUIB_NO_OBJECT;
    }
    return object->lastError;
}

unsigned short secureVesk::swapBytes(unsigned short value) {
    return static_cast<unsigned short>((value << 8) | (value >> 8));
}

std::string hex2(unsigned char value) {
    char text[3];
    std::snprintf(text, sizeof(text), "%02x", value);
    return text;
}

std::string dumpBytes(const unsigned char* bytes, unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count && i < KVO_IPMI_MAX_BUFFER_LENGTH; ++i) {
        text += " 0x" + hex2(bytes[i]);
    }
    return text + "]\n";
}
