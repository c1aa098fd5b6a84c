#include "storage/partitions/signalHandler.h"

#include <signal.h>

#include "baseutils/HostPort.h"
#include "storage/VeskLog.h"

bool CSignalHandler::setupSignalHandlers() {
    logVeskMsg(__FILE__, __LINE__, "Inside CSignalHandler::setupSignalHandlers()");
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (hostPort().sigaction(SIGINT, &action, nullptr) != 0) {
        logVeskMsg(__FILE__, __LINE__, "CSignalHandler::setupSignalHandlers() : signal is failed");
        return false;
    }
    return true;
}
