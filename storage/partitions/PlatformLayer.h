#pragma once

#include <string>
#include <vector>

class IPlatformImpl;

// Static facade over the one platform object, created on first use.
class CPlatformLayer {
public:
    static IPlatformImpl* GetPlatform();

    static bool isZurlInstalled();
    static bool InstallZurl();
    static bool UninstallZurl();
    static void* Load_Library(const std::string& path);
    static void* Load_Library_without_Customization(const std::string& path);
    static bool FreeLibrary(void* handle);
    static void* GetProcAddress(void* handle, const std::string& name);
    static int ExecuteCmd(const std::string& command, bool flag = false, unsigned int timeout = 0);
    static int ExecuteCmdNoWait(const std::string& command, bool flag = false,
                                unsigned int timeout = 0);
    static void Sleep(unsigned int seconds);
    static std::string getCurrentDirectory();
    static std::string getCurrentProcessDirectory();
    static bool setCurrentDirectory(const std::string& path);
    static std::vector<std::string> GetFileList(const std::string& directory);
    static std::vector<std::string> GetFileListName(const std::string& directory);
    static bool IsFileExits(const std::string& name);
    static bool IsFileExistsAbs(const std::string& path);
    static void* LoadZurlLibrary(const std::string& name);
    static bool isUSBblocklisted();
    static void unloadUSB();
    static bool CreateEmptyZebDebuLogFile();

private:
    static IPlatformImpl* m_pPlatformImpl;
};
