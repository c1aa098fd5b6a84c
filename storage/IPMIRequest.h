#pragma once

#include <string>

#include "kvoipmi/KvoIPMICommandData.h"

class KvoIPMIInterfaceImpl;

// Command bytes of network function 0x30 that the layer sends.
enum eOEMIPMIRequestType : unsigned char {
    OEM_VESK_COMMAND = 0xA2,
    OEM_VESK_TYPE = 0xAD,
    OEM_VESK_ACCESS_STATE = 0xAE,
    OEM_QUENTA_CAPABILITY = 0xBF,
};

// Storage sub-commands of command 0xA2.
enum VeskSubCommand : unsigned char {
    VESK_BEGIN_SESSION = 0x00,
    VESK_END_SESSION = 0x01,
    VESK_RESET_SESSION_WD = 0x02,
    VESK_GET_PARTITION_INDEX_INFO = 0x03,
    VESK_GET_PARTITION_INFO = 0x04,
    VESK_ATTACH_PARTITIONS = 0x05,
    VESK_DETACH_PARTITIONS = 0x06,
    VESK_CREATE_DYNAMIC_PARTITION = 0x07,
    VESK_DELETE_DYNAMIC_PARTITION = 0x08,
    VESK_SECURE_UPDATE = 0x09,
    VESK_GET_STATUS = 0x0A,
    VESK_CHANGE_ACCESS_TYPE = 0x0B,
    VESK_REGISTER_SSIB_TASK = 0x0C,
    VESK_GET_STATE_FLAG = 0x10,
    VESK_SET_STATE_FLAG = 0x11,
    VESK_BEGIN_SESSION_EXTENDED = 0x12,
    VESK_BEGIN_SECURE_UPDATE = 0x20,
    VESK_PROCESS_SECURE_UPDATE = 0x22,
    VESK_END_SECURE_UPDATE = 0x23,
    VESK_HASH_TRANSFER = 0x26,
    VESK_GET_BRENN_SYSTEM_INFO = 0x30,
};

constexpr unsigned char OEM_NETFN = 0x30;

// Byte offsets inside a command record: request byte k and response byte k
// as the command tables number them.
constexpr unsigned REQUEST_DATA = 2;
constexpr unsigned RESPONSE_CODE = 2;

// The one record of every storage command except completion polling, and
// the record of completion polling.
extern _KvoIPMICommandData IPMIReqBuf;
extern _KvoIPMICommandData PollReqBuf;
// The IPMI library facade; null before InitKvoIPMILibrary and after release.
extern KvoIPMIInterfaceImpl* pKvoIPMILibHandle;

unsigned char OEMIPMIRequest(eOEMIPMIRequestType command, unsigned char subCommand,
                             _KvoIPMICommandData* record, unsigned short requestLength,
                             unsigned short responseLength);
unsigned char ProcessVeskIPMICommand(_KvoIPMICommandData* record);
// The last command sent with ProcessVeskIPMICommand (or polled for) got no
// answer: the library's exchange itself failed, so its completion code says
// nothing.
bool lastRequestUnanswered();
bool ProcessIPMICommand(_KvoIPMICommandData* record);
bool ProcessIPMIReuestResponseUsingKvoIPMI(_KvoIPMICommandData* record);
unsigned char GetErrorCode(_KvoIPMICommandData* record);
std::string getIPMICommandName(unsigned char subCommand);
int rstQuenta();
int InitKvoIPMILibrary();
int ReleaseKvoIPMILibrary();

// Request byte k and response byte k of a record.
inline unsigned char& requestByte(_KvoIPMICommandData& record, unsigned k) {
    return record.requestBuffer[REQUEST_DATA + k];
}
inline unsigned char& responseByte(_KvoIPMICommandData& record, unsigned k) {
    return record.responseBuffer[RESPONSE_CODE + k];
}
void clearRecord(_KvoIPMICommandData& record);

// Log texts: a byte as two lower-case hex digits, and the " 0xNN" dump of the
// first count bytes closed by "]" and a line end.
std::string hex2(unsigned char value);
std::string dumpBytes(const unsigned char* bytes, unsigned count);
