#include <algorithm>
#include <cstdio>
#include <string>

#include "baseutils/KvoLogger.h"
#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMICommandData.h"
#include "kvoipmi/LKvoIPMIProcessor.h"

namespace {

// Completion codes that end the retrying: success, the controller's own
// verdicts and errors that a repeat cannot change.
bool IsFinalCompletionCode(unsigned char code) {
    switch (code) {
        case 0x00:
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x08:
        case 0x10:
        case 0xC1:
        case 0xC2:
        case 0xC7:
        case 0xC8:
        case 0xC9:
        case 0xCC:
        case 0xCE:
            return true;
        default:
            return false;
    }
}

void AppendBytes(std::string& text, const unsigned char* bytes, unsigned int count) {
    char hex[8];
    for (unsigned int i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof(hex), " 0x%02x", bytes[i]);
        text += hex;
    }
}

}  // namespace

unsigned int IPMIProcessor::ExecuteCommand(CKvoIPMICommandData& command) {
    unsigned int retryCount = command.GetRetryCount();
    unsigned int retriesLeft = retryCount;
    unsigned int retryInterval = command.GetRetryInterval();
    unsigned char code = 0;
    do {
        unsigned int status = Process(command);
        if (status != KVO_IPMI_PROCESSOR_SUCCESS) {
            return status;
        }
        code = *command.GetResponseBufferData(2);
        if (IsFinalCompletionCode(code)) {
            retriesLeft = 0;
        } else {
            --retriesLeft;
            sleep_in_ms(retryInterval);
        }
        KVO_LOG(KvoLogInfo,
                "IPMIProcessor::ExecuteCommand Got IPMI return code as %x and number of retries "
                "left are %d out of %d",
                code, retriesLeft, retryCount);
        LogIPMIResponse(command);
    } while (retriesLeft != 0 && code != 0);
    LogIPMIResponse(command);
    return KVO_IPMI_PROCESSOR_SUCCESS;
}

void IPMIProcessor::LogIPMIResponse(CKvoIPMICommandData& command) {
    if (!KvoLogger::IsEnabled()) {
        return;
    }
    // Lengths come from the caller's record; never read past its buffers.
    unsigned int requestLength =
        std::min(command.GetRequestBufferLength(), KVO_IPMI_MAX_BUFFER_LENGTH);
    unsigned int responseLength =
        std::min(command.GetResponseBufferLength(), KVO_IPMI_MAX_BUFFER_LENGTH);
    std::string text = "\nIPMI Request : ";
    AppendBytes(text, command.GetRequestBufferData(), requestLength);
    text += "     ";
    text += " IPMI Response : ";
    text += " ";
    AppendBytes(text, command.GetResponseBufferData(0), responseLength);
    text += "\n";
    KVO_LOG(KvoLogInfo, "%s", text.c_str());
}
