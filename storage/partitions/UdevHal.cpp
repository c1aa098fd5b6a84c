#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "baseutils/HostPort.h"
#include "baseutils/PortDescriptor.h"
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
constexpr off_t kLargestRulesFile = 1 << 20;
constexpr mode_t kRulesMode = 0644;

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

// The work directory may be writable by others than root: a rules file is
// read only when it is a regular file owned by root, opened without
// following a link (a planted link would have root copy any file).
bool readRootsFile(const std::string& file, std::string& content) {
    PortDescriptor fd(hostPort().open(file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || hostPort().fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != 0 || info.st_size > kLargestRulesFile) {
        return false;
    }
    std::vector<char> buffer(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < buffer.size()) {
        ssize_t read = hostPort().pread(fd.get(), buffer.data() + got, buffer.size() - got,
                                        static_cast<off_t>(got));
        if (read <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(read);
    }
    content.assign(buffer.begin(), buffer.end());
    return true;
}

// A new file of mode 0644, never written through a link.
bool writeRulesFile(const std::string& path, const std::string& content) {
    ::unlink(hostPort().resolveEntry(path).c_str());
    PortDescriptor fd(
        hostPort().open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kRulesMode));
    if (!fd.valid()) {
        return false;
    }
    for (std::size_t written = 0; written < content.size();) {
        ssize_t wrote =
            hostPort().write(fd.get(), content.data() + written, content.size() - written);
        if (wrote <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(wrote);
    }
    return hostPort().fchmod(fd.get(), kRulesMode) == 0;
}

}  // namespace

bool secureVesk::CopyFile(const std::string& file, const std::string& directory) {
    if (!systemPathExists(directory)) {
        logVeskMsg(__FILE__, __LINE__, directory + " Path does not exists");
        return false;
    }
    std::string content;
    if (!readRootsFile(file, content)) {
        logVeskMsg(__FILE__, __LINE__,
                   "Not installing " + file +
                       ": it is not a regular file owned by root (links are not followed)");
        return false;
    }
    std::string target = directory + file;
    logVeskMsg(__FILE__, __LINE__, "Installing " + file + " as " + target + " (mode 0644)");
    bool written = writeRulesFile(target, content);
    hostPort().system("sync");
    if (!written) {
        ::unlink(hostPort().resolveEntry(target).c_str());
        logVeskMsg(__FILE__, __LINE__, "CopyFile fdi file failed");
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
        ::unlink(hostPort().resolveEntry(directory + file).c_str());
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
