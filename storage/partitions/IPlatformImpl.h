#pragma once

#include <string>
#include <vector>

// The host operating system as the plug-in sees it; one implementation per
// platform. The slot order is part of the interface.
class IPlatformImpl {
public:
    virtual bool isZurlInstalled() = 0;
    virtual bool InstallZurl() = 0;
    virtual bool UninstallZurl() = 0;
    virtual void* LoadLibrary(const std::string& path) = 0;
    virtual bool FreeLibrary(void* handle) = 0;
    virtual void* GetProcAddress(void* handle, const std::string& name) = 0;
    virtual int ExecuteCmd(const std::string& command, bool flag, unsigned int timeout) = 0;
    virtual int ExecuteCmdNoWait(const std::string& command, bool flag, unsigned int timeout) = 0;
    virtual void Sleep(unsigned int seconds) = 0;
    virtual std::string getCurrentDirectory() = 0;
    virtual std::string getCurrentProcessDirectory() = 0;
    virtual bool setCurrentDirectory(const std::string& path) = 0;
    virtual std::vector<std::string> GetFileList(const std::string& directory) = 0;
    virtual std::vector<std::string> GetFileListName(const std::string& directory) = 0;
    virtual bool IsFileExits(const std::string& name) = 0;
    virtual bool IsFileExistsAbs(const std::string& path) = 0;
    virtual void* LoadZurlLibrary(const std::string& name) = 0;
    virtual bool isUSBblocklisted() = 0;
    virtual void unloadUSB() = 0;
    virtual void* LoadLibrarywithoutCustomization(const std::string& path) = 0;

protected:
    ~IPlatformImpl() = default;
};
