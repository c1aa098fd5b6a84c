#include <sys/stat.h>
#include <unistd.h>

#include "baseutils/HostPort.h"
#include "storage/OsType.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/psu.h"

namespace {

const char* const kRulesFiles[] = {"98-secupdusb.rules", "00-secupd-brenn.rules"};
const char* const kEtcRules = "/etc/udev/rules.d/";
const char* const kLibRules = "/lib/udev/rules.d/";
const char* const kRunRules = "/run/udev/rules.d/";
const char* const kUdevadm = "/sbin/udevadm";
const char* const kUdevcontrol = "/sbin/udevcontrol";
const char* const kHalDaemon = "/etc/init.d/haldaemon";
constexpr std::size_t kHalStatusBytes = 1024;

bool isExecutable(const std::string& path) {
    struct stat info {};
    return hostPort().stat(path, &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// system() gives -1 only when no shell could be started.
bool shellStarted(int status) {
    return status != -1;
}

bool halDaemonAction(const char* action, const char* doneLine, const char* failedLine) {
    std::string command = std::string(kHalDaemon) + " " + action + " > /dev/null 2>&1";
    if (!shellStarted(hostPort().system(command))) {
        logVeskMsg(__FILE__, __LINE__, failedLine);
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, doneLine);
    return true;
}

}  // namespace

bool secureVesk::CopyFile(const std::string& file, const std::string& directory) {
    if (!systemPathExists(directory)) {
        logVeskMsg(__FILE__, __LINE__, directory + " Path does not exists");
        return false;
    }
    std::string copy = "cp -fH " + file + " " + directory + " > /dev/null 2>&1";
    logVeskMsg(__FILE__, __LINE__, copy);
    if (!shellStarted(hostPort().system(copy))) {
        logVeskMsg(__FILE__, __LINE__, "CopyFile fdi file failed");
        return false;
    }
    std::string permissions = "chmod 755 " + directory + "/" + file + " > /dev/null 2>&1";
    logVeskMsg(__FILE__, __LINE__, permissions);
    int status = hostPort().system(permissions);
    hostPort().system("sync");
    if (!shellStarted(status)) {
        logVeskMsg(__FILE__, __LINE__, "Change file permission to 755");
        return false;
    }
    return true;
}

bool secureVesk::RestartUdevRules() {
    logVeskMsg(__FILE__, __LINE__, "secureVesk::RestartUdevRules()");
    std::string command;
    if (systemPathExists(kUdevadm)) {
        command = std::string(kUdevadm) + " control --reload-rules > /dev/null 2>&1";
    } else if (systemPathExists(kUdevcontrol)) {
        command = std::string(kUdevcontrol) + " reload_rules > /dev/null 2>&1";
    }
    logVeskMsg(__FILE__, __LINE__, command);
    if (command.empty()) {
        return true;
    }
    if (!shellStarted(hostPort().system(command))) {
        logVeskMsg(__FILE__, __LINE__, "failed RestartUdevRules");
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "RestartUdevRules restarted ");
    return true;
}

bool secureVesk::StartHalDaemon() {
    return halDaemonAction("start", "started haldaemon", "failed to start the haldaemon");
}

bool secureVesk::StopHalDaemon() {
    return halDaemonAction("stop", "stopped haldaemon", "failed to stop the haldaemon");
}

bool secureVesk::IsHalDaemonRunning() {
    logVeskMsg(__FILE__, __LINE__, "Inside secureVesk::IsHalDaemonRunning");
    if (!isExecutable(kHalDaemon)) {
        return false;
    }
    std::string status;
    if (!hostPort().popen(std::string(kHalDaemon) + " status", kHalStatusBytes, status) ||
        status.find("running") == std::string::npos) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "haldaemon is running");
    return true;
}

bool secureVesk::copyRulesFiles(const std::string& directory) {
    bool copied = true;
    for (const char* file : kRulesFiles) {
        copied = CopyFile(file, directory) && copied;
    }
    return copied;
}

void secureVesk::removeRulesFiles(const std::string& directory) {
    for (const char* file : kRulesFiles) {
        ::unlink(hostPort().resolve(directory + file).c_str());
    }
}

bool secureVesk::udevhalInstall() {
    copyRulesFiles(kEtcRules);
    RestartUdevRules();
    bool installed = false;
    if (osType == REDHAT) {
        installed = RestartUdevRules();
    } else if (osType == SUSE) {
        installed = halDaemonRunning && StopHalDaemon();
    } else {
        copyRulesFiles(kLibRules);
        copyRulesFiles(kRunRules);
        RestartUdevRules();
    }
    logVeskMsg(__FILE__, __LINE__,
               installed ? "Udev rule successfully Installed" : "Udev rule is not Installed");
    return installed;
}

bool secureVesk::udevhalUninstall() {
    removeRulesFiles(kEtcRules);
    RestartUdevRules();
    if (osType == SUSE) {
        if (halDaemonRunning) {
            StartHalDaemon();
        }
    } else {
        removeRulesFiles(kLibRules);
        removeRulesFiles(kRunRules);
        RestartUdevRules();
    }
    logVeskMsg(__FILE__, __LINE__, "Udev  successfully Uninstalled");
    return true;
}
