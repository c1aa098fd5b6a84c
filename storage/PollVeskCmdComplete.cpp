#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"

namespace {

constexpr unsigned kStatusByte = 3;
constexpr unsigned char kStillRunning = 2;

void logStatusDump() {
    if (!bVeskDebugLog) {
        return;
    }
    logVeskMsg(__FILE__, __LINE__,
               " PollVeskCmdComplete IPMIResponse[" + dumpBytes(PollReqBuf.responseBuffer, 7));
}

}  // namespace

bool secureVesk::PollVeskCmdComplete(int limit, unsigned char subCommand) {
    auto poll = [&] {
        // Without asking the controller nothing is known to have finished; a
        // status left by an earlier poll says nothing about this command.
        if (!IsSessionActive() || limit <= 0) {
            return false;
        }
        for (int count = 0;;) {
            logVeskMsg(__FILE__, __LINE__, "Polling Count " + std::to_string(count) + " \n ");
            hostPort().sleepSeconds(1);
            clearRecord(PollReqBuf);
            sendHandle(&requestByte(PollReqBuf, 0));
            requestByte(PollReqBuf, 3) = subCommand;
            unsigned char status =
                OEMIPMIRequest(OEM_VESK_COMMAND, VESK_GET_STATUS, &PollReqBuf, 8, 7);
            logStatusDump();
            unsigned char subStatus = responseByte(PollReqBuf, kStatusByte);
            logVeskMsg(__FILE__, __LINE__, "SubCmdStatus: " + hex2(subStatus));
            if (status == 1) {
                logVeskMsg(__FILE__, __LINE__,
                           "GetVESKStatus Command returned: FAILURE.  Breaking out of Poll Loop");
                break;
            }
            if (status == 0) {
                responseByte(IPMIReqBuf, 0) = subStatus;
                if (subStatus != kStillRunning) {
                    break;
                }
            } else {
                logVeskMsg(__FILE__, __LINE__,
                           " PollVeskCmdComplete Response = " + std::string(1, char(status)));
            }
            if (++count == limit) {
                break;
            }
        }
        return responseByte(PollReqBuf, kStatusByte) == 0;
    };
    return guardWith(false, poll, [](const std::exception* error) {
        if (error != nullptr) {
            logVeskMsg(__FILE__, __LINE__,
                       std::string("Bad Alloc Exception caught : ") + error->what());
        } else {
            logVeskMsg(__FILE__, __LINE__, "Generic Exception caught");
        }
    });
}
