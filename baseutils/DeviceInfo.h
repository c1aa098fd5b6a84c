#pragma once

// The device record handed to the host. Host and plug-in share this layout:
// keep the members, their order and their types as they are, and add no
// virtual function or base class. Everything a host needs to read, copy and
// release a record is defined here; the formatting and comparing operations
// live in the plug-in.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum eDeviceType : std::int32_t {
    DEVICE_TYPE_NONE = 0,
    DEVICE_TYPE_PCI = 1,        // identified by its SPCIInfo
    DEVICE_TYPE_COMPONENT = 2,  // identified by its component id
};

enum eDependencyType : std::int32_t {
    DEPENDENCY_TYPE_DEFAULT = 1,
};

struct SPCIInfo {
    std::string componentID;
    std::string deviceID;
    std::string subDeviceID;
    std::string vendorID;
    std::string subVendorID;
    std::string spare;
};

struct _BDFInfo {
    std::uint16_t bdfWord = 0;
    std::uint8_t bus = 0;
    std::uint8_t device = 0;
    std::uint8_t function = 0;
};

struct SOSInfo {
    std::string osName;
    std::string osVendor;
    std::string osVersion;
    std::string osMajorVersion;
    std::string osMinorVersion;
    std::string osServicePack;
    std::string osArchitecture;
    std::string osEdition;
    std::string osLanguage;
};

struct WexCSystemInfo {
    std::string systemID;
    std::string systemName;
    std::string systemModel;
    std::string systemRevision;
};

class CDeviceApplicationInfo {
public:
    std::string componentType;
    std::string version;
    std::string display;
    std::string detail;
};

class CDeviceInfo {
public:
    CDeviceInfo() = default;
    // Copies get their own application objects, so no two records ever
    // release the same one.
    CDeviceInfo(const CDeviceInfo& other) {
        copyValues(other);
        copyApplications(other);
    }
    CDeviceInfo& operator=(const CDeviceInfo& other) {
        if (this != &other) {
            copyValues(other);
            releaseApplications();
            copyApplications(other);
        }
        return *this;
    }
    ~CDeviceInfo() { releaseApplications(); }

    std::string getReleaseID() const { return m_releaseID; }
    void setReleaseID(std::string value) { m_releaseID = std::move(value); }
    std::string getComponentID() const { return m_componentID; }
    void setComponentID(std::string value) { m_componentID = std::move(value); }
    std::string getParentComponentID() const { return m_parentComponentID; }
    void setParentComponentID(std::string value) { m_parentComponentID = std::move(value); }
    eDeviceType getParentDeviceType() const { return m_parentDeviceType; }
    void setParentDeviceType(eDeviceType value) { m_parentDeviceType = value; }
    std::string getComponentType() const { return m_componentType; }
    void setComponentType(std::string value) { m_componentType = std::move(value); }
    std::string getDeviceName() const { return m_deviceName; }
    void setDeviceName(std::string value) { m_deviceName = std::move(value); }
    std::string getVersion() const { return m_version; }
    void setVersion(std::string value) { m_version = std::move(value); }

    SPCIInfo getPCIInfo() const { return m_pciInfo; }
    void setPCIInfo(SPCIInfo value) { m_pciInfo = std::move(value); }
    // Stores the four ids as lower-case hexadecimal text and logs them.
    void setPCIInfo(unsigned deviceId, unsigned subDeviceId, unsigned vendorId,
                    unsigned subVendorId);

    eDeviceType getDeviceType() const { return m_deviceType; }
    void setDeviceType(eDeviceType value) { m_deviceType = value; }
    eDependencyType getDependencyType() const { return m_dependencyType; }
    void setDependencyType(eDependencyType value) { m_dependencyType = value; }
    std::string getDependencyContext() const { return m_dependencyContext; }
    void setDependencyContext(std::string value) { m_dependencyContext = std::move(value); }
    std::vector<std::string> getDepenendencyPlatforms() const { return m_dependencyPlatforms; }
    void setDependencyPlatforms(const std::vector<std::string>& value) {
        m_dependencyPlatforms = value;
    }
    std::vector<SPCIInfo> getParentPCIInfo() const { return m_parentPCIInfo; }
    void setParentPCIInfo(const std::vector<SPCIInfo>& value) { m_parentPCIInfo = value; }
    std::vector<SOSInfo> getDependencyOS() const { return m_dependencyOS; }
    void setDependencyOS(std::vector<SOSInfo> value) { m_dependencyOS = std::move(value); }

    // The record owns what it is given; null is ignored.
    std::vector<CDeviceApplicationInfo*>& getApplicationInfo() { return m_applications; }
    void setApplicationInfo(CDeviceApplicationInfo* application) {
        if (application) {
            m_applications.push_back(application);
        }
    }

    std::int32_t getMessageID() const { return m_messageID; }
    void setMessageID(std::int32_t value) { m_messageID = value; }
    std::int32_t getStatus() const { return m_status; }
    void setStatus(std::int32_t value) { m_status = value; }
    std::string getErrorMsg() const { return m_errorMsg; }
    void setErrorMsg(std::string value) { m_errorMsg = std::move(value); }
    std::int32_t getUpdateStatus() const { return m_updateStatus; }
    void setUpdateStatus(std::int32_t value) { m_updateStatus = value; }
    std::string getDisplay() const { return m_display; }
    void setDisplay(std::string value) { m_display = std::move(value); }
    std::string getDetail() const { return m_detail; }
    void setDetail(std::string value) { m_detail = std::move(value); }

    // The download location of the file: the stored path (its backslashes
    // turned into slashes, in place) behind the download base address.
    std::string getFilePath();
    void setFilePath(std::string value) { m_filePath = std::move(value); }

    std::string getCurrentVersion() const { return m_currentVersion; }
    void setCurrentVersion(std::string value) { m_currentVersion = std::move(value); }
    std::string getEnumId() const { return m_enumId; }
    void setEnumId(std::string value) { m_enumId = std::move(value); }
    bool getRebootRequired() const { return m_rebootRequired; }
    void setRebootRequired(bool value) { m_rebootRequired = value; }
    bool getColdPowerCycleRequired() const { return m_coldPowerCycleRequired; }
    void setColdPowerCycleRequired(bool value) { m_coldPowerCycleRequired = value; }

    _BDFInfo getBDFInfo() const { return m_bdfInfo; }
    void setBDFInfo(_BDFInfo value) { m_bdfInfo = value; }
    // Stores the four values and logs bus, device and function.
    void setBDFInfo(unsigned char bus, unsigned char device, unsigned char function,
                    unsigned short word);

    std::string getDeviceIdentifier() const { return m_deviceIdentifier; }
    void setDeviceIdentifier(std::string value) { m_deviceIdentifier = std::move(value); }
    std::uint32_t getDeviceUdpateID() const { return m_deviceUpdateID; }
    void setDeviceUdpateID(std::uint32_t value) { m_deviceUpdateID = value; }
    std::uint16_t getDeviceSpecificID() const { return m_deviceSpecificID; }
    void setDeviceSpecificID(std::uint16_t value) { m_deviceSpecificID = value; }
    std::int32_t getBus() const { return m_bus; }
    void setBus(std::int32_t value) { m_bus = value; }
    std::int32_t get_DeviceBus() const { return m_deviceBus; }
    void setDeviceBus(std::int32_t value) { m_deviceBus = value; }
    std::int32_t get_DeviceBusFunction() const { return m_deviceBusFunction; }
    void setDeviceBusFunction(std::int32_t value) { m_deviceBusFunction = value; }
    void* getDeviceHandle() const { return m_deviceHandle; }
    void setDeviceHandle(void* value) { m_deviceHandle = value; }
    std::string getFQDDInfo() const { return m_fqdd; }
    void setFQDDInfo(std::string value) { m_fqdd = std::move(value); }

    WexCSystemInfo& getSystemInfo() { return m_systemInfo; }
    void setSystemInfo(WexCSystemInfo* value) {
        if (value) {
            m_systemInfo = *value;
        }
    }

    // Text comparisons are exact; spare and bdfWord never take part.
    bool checkForEquality(const CDeviceInfo* other) const;
    bool checkForEqualityMIC(const CDeviceInfo* other) const;
    bool operator==(CDeviceInfo other) const;

private:
    void copyValues(const CDeviceInfo& other) {
        m_releaseID = other.m_releaseID;
        m_componentID = other.m_componentID;
        m_parentComponentID = other.m_parentComponentID;
        m_parentDeviceType = other.m_parentDeviceType;
        m_componentType = other.m_componentType;
        m_deviceName = other.m_deviceName;
        m_version = other.m_version;
        m_pciInfo = other.m_pciInfo;
        m_deviceType = other.m_deviceType;
        m_dependencyType = other.m_dependencyType;
        m_dependencyContext = other.m_dependencyContext;
        m_dependencyPlatforms = other.m_dependencyPlatforms;
        m_parentPCIInfo = other.m_parentPCIInfo;
        m_dependencyOS = other.m_dependencyOS;
        m_messageID = other.m_messageID;
        m_status = other.m_status;
        m_errorMsg = other.m_errorMsg;
        m_updateStatus = other.m_updateStatus;
        m_display = other.m_display;
        m_detail = other.m_detail;
        m_filePath = other.m_filePath;
        m_currentVersion = other.m_currentVersion;
        m_enumId = other.m_enumId;
        m_rebootRequired = other.m_rebootRequired;
        m_coldPowerCycleRequired = other.m_coldPowerCycleRequired;
        m_bdfInfo = other.m_bdfInfo;
        m_deviceIdentifier = other.m_deviceIdentifier;
        m_deviceUpdateID = other.m_deviceUpdateID;
        m_deviceSpecificID = other.m_deviceSpecificID;
        m_bus = other.m_bus;
        m_deviceBus = other.m_deviceBus;
        m_deviceBusFunction = other.m_deviceBusFunction;
        m_deviceHandle = other.m_deviceHandle;
        m_fqdd = other.m_fqdd;
        m_systemInfo = other.m_systemInfo;
    }
    void copyApplications(const CDeviceInfo& other) {
        m_applications.reserve(other.m_applications.size());
        for (const CDeviceApplicationInfo* application : other.m_applications) {
            m_applications.push_back(new CDeviceApplicationInfo(*application));
        }
    }
    void releaseApplications() {
        for (CDeviceApplicationInfo* application : m_applications) {
            delete application;
        }
        m_applications.clear();
    }

    std::string m_releaseID;
    std::string m_componentID;
    std::string m_parentComponentID;
    eDeviceType m_parentDeviceType = DEVICE_TYPE_NONE;
    std::string m_componentType;
    std::string m_deviceName;
    std::string m_version;
    SPCIInfo m_pciInfo;
    eDeviceType m_deviceType = DEVICE_TYPE_NONE;
    eDependencyType m_dependencyType = DEPENDENCY_TYPE_DEFAULT;
    std::string m_dependencyContext;
    std::vector<std::string> m_dependencyPlatforms;
    std::vector<SPCIInfo> m_parentPCIInfo;
    std::vector<SOSInfo> m_dependencyOS;
    std::vector<CDeviceApplicationInfo*> m_applications;
    std::int32_t m_messageID = 0;
    std::int32_t m_status = -1;
    std::string m_errorMsg;
    std::int32_t m_updateStatus = 0;
    std::string m_display;
    std::string m_detail;
    std::string m_filePath;
    std::string m_currentVersion;
    std::string m_enumId;
    bool m_rebootRequired = false;
    bool m_coldPowerCycleRequired = false;
    _BDFInfo m_bdfInfo;
    std::string m_deviceIdentifier;
    std::uint32_t m_deviceUpdateID = 0;
    std::uint16_t m_deviceSpecificID = 0;
    std::int32_t m_bus = 0;
    std::int32_t m_deviceBus = 0;
    std::int32_t m_deviceBusFunction = 0;
    void* m_deviceHandle = nullptr;
    std::string m_fqdd;
    WexCSystemInfo m_systemInfo;
};
