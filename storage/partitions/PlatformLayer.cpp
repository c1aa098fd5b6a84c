#include "storage/partitions/PlatformLayer.h"

#include <fstream>

#include "storage/partitions/IPlatformImpl.h"
#include "storage/partitions/LinuxImpl.h"

IPlatformImpl* CPlatformLayer::m_pPlatformImpl = nullptr;

IPlatformImpl* CPlatformLayer::GetPlatform() {
    if (!m_pPlatformImpl) {
        m_pPlatformImpl = new CLinuxImpl();  // lives until the process ends
    }
    return m_pPlatformImpl;
}

bool CPlatformLayer::isZurlInstalled() {
    return GetPlatform()->isZurlInstalled();
}

bool CPlatformLayer::InstallZurl() {
    return GetPlatform()->InstallZurl();
}

bool CPlatformLayer::UninstallZurl() {
    return GetPlatform()->UninstallZurl();
}

void* CPlatformLayer::Load_Library(const std::string& path) {
    return GetPlatform()->LoadLibrary(path);
}

void* CPlatformLayer::Load_Library_without_Customization(const std::string& path) {
    return GetPlatform()->LoadLibrarywithoutCustomization(path);
}

bool CPlatformLayer::FreeLibrary(void* handle) {
    return GetPlatform()->FreeLibrary(handle);
}

void* CPlatformLayer::GetProcAddress(void* handle, const std::string& name) {
    return GetPlatform()->GetProcAddress(handle, name);
}

int CPlatformLayer::ExecuteCmd(const std::string& command, bool flag, unsigned int timeout) {
    return GetPlatform()->ExecuteCmd(command, flag, timeout);
}

int CPlatformLayer::ExecuteCmdNoWait(const std::string& command, bool flag, unsigned int timeout) {
    return GetPlatform()->ExecuteCmdNoWait(command, flag, timeout);
}

void CPlatformLayer::Sleep(unsigned int seconds) {
    GetPlatform()->Sleep(seconds);
}

std::string CPlatformLayer::getCurrentDirectory() {
    return GetPlatform()->getCurrentDirectory();
}

std::string CPlatformLayer::getCurrentProcessDirectory() {
    return GetPlatform()->getCurrentProcessDirectory();
}

bool CPlatformLayer::setCurrentDirectory(const std::string& path) {
    return GetPlatform()->setCurrentDirectory(path);
}

std::vector<std::string> CPlatformLayer::GetFileList(const std::string& directory) {
    return GetPlatform()->GetFileList(directory);
}

std::vector<std::string> CPlatformLayer::GetFileListName(const std::string& directory) {
    return GetPlatform()->GetFileListName(directory);
}

bool CPlatformLayer::IsFileExits(const std::string& name) {
    return GetPlatform()->IsFileExits(name);
}

bool CPlatformLayer::IsFileExistsAbs(const std::string& path) {
    return GetPlatform()->IsFileExistsAbs(path);
}

void* CPlatformLayer::LoadZurlLibrary(const std::string& name) {
    return GetPlatform()->LoadZurlLibrary(name);
}

bool CPlatformLayer::isUSBblocklisted() {
    return GetPlatform()->isUSBblocklisted();
}

void CPlatformLayer::unloadUSB() {
    GetPlatform()->unloadUSB();
}

bool CPlatformLayer::CreateEmptyZebDebuLogFile() {
    std::ofstream marker(GetPlatform()->getCurrentDirectory() + "zebdebuglog", std::ios::trunc);
    return marker.is_open();
}
