#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

#include "storage/CfgEntry.h"
#include "storage/VeskErrors.h"
#include "storage/VeskLog.h"

// The storage session; all 0 while no session is open.
struct sessionHandle {
    unsigned short veskHandle;
    unsigned char sessionActive;
    unsigned short staticPartBitmap;
    unsigned short dynPartBitmap;
};

// Server generation cache: -1 until the layer's initialisation has read it.
extern int GenerationType;

// The storage layer object: one per inventory call.
class secureVesk {
public:
    secureVesk();
    virtual ~secureVesk();
    secureVesk(const secureVesk&) = delete;
    secureVesk& operator=(const secureVesk&) = delete;

    // Command protocol.
    int IPMIRequest(unsigned char subCommand, void* record, unsigned short requestLength,
                    unsigned short responseLength);
    void storeErrorInfo(unsigned char error);
    unsigned char getQuibError();
    // The same for an object that may not exist (17 when it does not).
    static unsigned char getQuibError(const secureVesk* object);
    static unsigned short swapBytes(unsigned short value);

    // Start-up and identification.
    int secureVeskInitIPMI();
    int GetSystemGeneration();
    int GetVeskType();
    int IsVeskPresent();
    void setRestart();

    // Sessions.
    int BeginVeskSession(unsigned short timeout);
    int BeginVeskSessionExtended(unsigned short timeout);
    int EndVeskSession();
    int IsSessionActive();

    // Completion polling.
    bool PollVeskCmdComplete(int limit, unsigned char subCommand);

    // Partition catalogue.
    int getPartIndex(const std::string& label);
    unsigned short getPartIndexInfo();
    unsigned short getDynPartIndexInfo();
    bool getPartInfo(unsigned short bitmap);
    bool getDynPartInfo(unsigned short bitmap);

    // Fields, in this order.
    int constructed;
    sessionHandle session;
    std::vector<cfgEntry> exchangeFiles;
    unsigned char lastError;
    unsigned char accessState;
    int veskType;
    std::string updateText;
    std::string workText;
    int osType;
    int restartFlag;
    unsigned int maxDropBoxSize;
    unsigned char updatePathFlag;
    unsigned char halDaemonRunning;
    unsigned char layerReady;
    unsigned char lastFlag;

protected:
    // Runs an operation body that fails by raising a layer error number: the
    // number is stored and failure returned. Any other exception goes to
    // onInternalError (the std::exception, or null) and gives failure too.
    template <typename Result, typename Body, typename Internal>
    Result guardWith(Result failure, Body&& body, Internal&& onInternalError);

    // The usual guard: other exceptions log internalLog and store 31.
    template <typename Result, typename Body>
    Result guard(Result failure, const char* file, unsigned line, Body&& body,
                 std::initializer_list<const char*> internalLog = {"QUIB internal error"});

private:
    int beginSession(unsigned char subCommand, unsigned char mode, unsigned short timeout);
    void sessionRefused(const char* errorLine, const char* failedLine);
    bool readPartitionBitmaps();
    void sendHandle(unsigned char* requestData);
    void waitForRebootedController();
};

template <typename Result, typename Body, typename Internal>
Result secureVesk::guardWith(Result failure, Body&& body, Internal&& onInternalError) {
    try {
        return body();
    } catch (unsigned char error) {
        storeErrorInfo(error);
    } catch (const std::exception& error) {
        onInternalError(&error);
    } catch (...) {
        onInternalError(nullptr);
    }
    return failure;
}

template <typename Result, typename Body>
Result secureVesk::guard(Result failure, const char* file, unsigned line, Body&& body,
                         std::initializer_list<const char*> internalLog) {
    return guardWith(failure, std::forward<Body>(body), [&](const std::exception*) {
        for (const char* text : internalLog) {
            logVeskMsg(file, line, text);
        }
        storeErrorInfo(QUIB_INTERNAL_ERROR);
    });
}
