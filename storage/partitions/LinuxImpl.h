#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/partitions/IPlatformImpl.h"

// The Linux platform: shell commands, files, directories, libraries, the
// USB storage gate and VMware host detection.
class CLinuxImpl : public IPlatformImpl {
public:
    bool isZurlInstalled() override;
    bool InstallZurl() override;
    bool UninstallZurl() override;
    void* LoadLibrary(const std::string& path) override;
    bool FreeLibrary(void* handle) override;
    void* GetProcAddress(void* handle, const std::string& name) override;
    int ExecuteCmd(const std::string& command, bool flag, unsigned int timeout) override;
    int ExecuteCmdNoWait(const std::string& command, bool flag, unsigned int timeout) override;
    void Sleep(unsigned int seconds) override;
    std::string getCurrentDirectory() override;
    std::string getCurrentProcessDirectory() override;
    bool setCurrentDirectory(const std::string& path) override;
    std::vector<std::string> GetFileList(const std::string& directory) override;
    std::vector<std::string> GetFileListName(const std::string& directory) override;
    bool IsFileExits(const std::string& name) override;
    bool IsFileExistsAbs(const std::string& path) override;
    void* LoadZurlLibrary(const std::string& name) override;
    // True when USB storage cannot be used; loads the driver when missing.
    bool isUSBblocklisted() override;
    // Unloads the driver when this process loaded it and forgets the check.
    void unloadUSB() override;
    void* LoadLibrarywithoutCustomization(const std::string& path) override;

    bool isESXiSystem();
    bool isESXSystem();
    bool isUSBStorageStaticallyLinked();

    static bool bUSBBlocklistCheckDone;
    static bool bUSBDriverNotLoaded;
    static bool bUSBDriverLoadedByZeb;
    static bool bZurlAlreadyInstalled;
    static std::int32_t nZurlInstallRefCount;

private:
    bool CanOpenForReading(const std::string& displayedPath, const std::string& actualPath);
};
