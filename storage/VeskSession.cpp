#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"

namespace {

void putTimeout(unsigned short timeout) {
    requestByte(IPMIReqBuf, 2) = static_cast<unsigned char>(timeout & 0xFF);
    requestByte(IPMIReqBuf, 3) = static_cast<unsigned char>(timeout >> 8);
}

}  // namespace

int secureVesk::IsSessionActive() {
    if (session.sessionActive == 0) {
        storeErrorInfo(QUIB_NO_SESSION);
    }
    return session.sessionActive;
}

void secureVesk::sessionRefused(const char* errorLine, const char* failedLine) {
    logVeskMsg(__FILE__, __LINE__, errorLine);
    unsigned char error =
        GetSystemGeneration() > 0 ? QUIB_SESSION_START_ERROR : QUIB_SESSION_BEGIN_FAILED;
    logVeskMsg(__FILE__, __LINE__, failedLine);
    raiseQuibError(error);
}

int secureVesk::beginSession(unsigned char subCommand, unsigned char mode, unsigned short timeout) {
    lastError = QUIB_NO_ERROR;
    clearRecord(IPMIReqBuf);
    requestByte(IPMIReqBuf, 1) = mode;
    putTimeout(timeout);
    return IPMIRequest(subCommand, &IPMIReqBuf, 8, 9);
}

int secureVesk::BeginVeskSession(unsigned short timeout) {
    return guard<int>(0, __FILE__, __LINE__,
                      [&] {
                          if (IsSessionActive()) {
                              logVeskMsg(__FILE__, __LINE__, "Session is already active");
                              logVeskMsg(__FILE__, __LINE__, "BeginVeskSession failed");
                              raiseQuibError(QUIB_SESSION_ALREADY_ACTIVE);
                          }
                          if (beginSession(VESK_BEGIN_SESSION, 0x00, timeout) != 0) {
                              sessionRefused("Error starting session", "BeginVeskSession failed");
                          }
                          logVeskMsg(__FILE__, __LINE__, "Session started successfully");
                          session.sessionActive = 1;
                          return 1;
                      },
                      {"BeginVeskSession failed", "QUIB internal error"});
}

int secureVesk::BeginVeskSessionExtended(unsigned short timeout) {
    return guard<int>(
        0, __FILE__, __LINE__,
        [&] {
            if (IsSessionActive()) {
                logVeskMsg(__FILE__, __LINE__,
                           "BeginVESKSessionExtended Session is already active");
                return 1;
            }
            if (beginSession(VESK_BEGIN_SESSION_EXTENDED, 0x02, timeout) != 0) {
                sessionRefused("BeginVESKSessionExtended Error starting session",
                               "BeginVESKSessionExtended failed");
            }
            logVeskMsg(__FILE__, __LINE__,
                       "Session started successfully using BeginVESKSessionExtended command");
            session.sessionActive = 1;
            return 1;
        },
        {"BeginVESKSessionExtended failed", "BeginVESKSessionExtended QUIB internal error"});
}

int secureVesk::EndVeskSession() {
    return guard<int>(0, __FILE__, __LINE__,
                      [&] {
                          clearRecord(IPMIReqBuf);
                          if (!IsSessionActive()) {
                              logVeskMsg(__FILE__, __LINE__, "No Active Session Found");
                              logVeskMsg(__FILE__, __LINE__, "EndVeskSession failed");
                              raiseQuibError(QUIB_NO_SESSION);
                          }
                          sendHandle(&requestByte(IPMIReqBuf, 0));
                          if (IPMIRequest(VESK_END_SESSION, &IPMIReqBuf, 7, 5) != 0) {
                              logVeskMsg(__FILE__, __LINE__, "EndVeskSession failed");
                              logVeskMsg(__FILE__, __LINE__, "EndVeskSession failed");
                              raiseQuibError(QUIB_SESSION_END_FAILED);
                          }
                          session.veskHandle = 0;
                          session.sessionActive = 0;
                          session.staticPartBitmap = 0;
                          logVeskMsg(__FILE__, __LINE__, "EndVeskSession succeeded");
                          return 1;
                      },
                      {"EndVeskSession failed", "QUIB internal error"});
}
