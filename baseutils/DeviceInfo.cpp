#include "baseutils/DeviceInfo.h"

#include <algorithm>
#include <sstream>

#include "baseutils/Logger.h"

namespace {

const char* const kDownloadBase = "https://downloads.example.com/firmware/";

std::string lowerHex(unsigned value) {
    std::ostringstream text;
    text << std::hex << std::nouppercase << value;
    return text.str();
}

bool samePCIIdentity(const SPCIInfo& a, const SPCIInfo& b) {
    return a.componentID == b.componentID && a.deviceID == b.deviceID &&
           a.subDeviceID == b.subDeviceID && a.vendorID == b.vendorID &&
           a.subVendorID == b.subVendorID;
}

}  // namespace

void CDeviceInfo::setPCIInfo(unsigned deviceId, unsigned subDeviceId, unsigned vendorId,
                             unsigned subVendorId) {
    SPCIInfo info;
    info.deviceID = lowerHex(deviceId);
    info.subDeviceID = lowerHex(subDeviceId);
    info.vendorID = lowerHex(vendorId);
    info.subVendorID = lowerHex(subVendorId);
    m_pciInfo = info;

    CLogger* logger = CLogger::GetInstance();
    logger->log(__FILE__, __LINE__, "CDeviceInfo::setPCIInfo() Device id  " + info.deviceID);
    logger->log(__FILE__, __LINE__, "CDeviceInfo::setPCIInfo() SubDevice id  " + info.subDeviceID);
    logger->log(__FILE__, __LINE__, "CDeviceInfo::setPCIInfo() Vendor id  " + info.vendorID);
    logger->log(__FILE__, __LINE__, "CDeviceInfo::setPCIInfo() SubVendor id  " + info.subVendorID);
}

void CDeviceInfo::setBDFInfo(unsigned char bus, unsigned char device, unsigned char function,
                             unsigned short word) {
    m_bdfInfo.bdfWord = word;
    m_bdfInfo.bus = bus;
    m_bdfInfo.device = device;
    m_bdfInfo.function = function;

    CLogger* logger = CLogger::GetInstance();
    logger->log(__FILE__, __LINE__,
                "CDeviceInfo::setBDFInfo() Bus Number is  " + std::to_string(bus));
    logger->log(__FILE__, __LINE__,
                "CDeviceInfo::setBDFInfo() Device Number is  " + std::to_string(device));
    logger->log(__FILE__, __LINE__,
                "CDeviceInfo::setBDFInfo() Function Number is  " + std::to_string(function));
}

std::string CDeviceInfo::getFilePath() {
    std::replace(m_filePath.begin(), m_filePath.end(), '\\', '/');
    return kDownloadBase + m_filePath;
}

bool CDeviceInfo::checkForEquality(const CDeviceInfo* other) const {
    if (!other) {
        return false;
    }
    return m_componentType == other->m_componentType && m_componentID == other->m_componentID &&
           m_version == other->m_version && m_enumId == other->m_enumId &&
           m_fqdd == other->m_fqdd && samePCIIdentity(m_pciInfo, other->m_pciInfo) &&
           m_bdfInfo.bus == other->m_bdfInfo.bus && m_bdfInfo.device == other->m_bdfInfo.device &&
           m_bdfInfo.function == other->m_bdfInfo.function;
}

bool CDeviceInfo::checkForEqualityMIC(const CDeviceInfo* other) const {
    if (!other) {
        return false;
    }
    return m_componentType == other->m_componentType && m_componentID == other->m_componentID &&
           m_version == other->m_version && samePCIIdentity(m_pciInfo, other->m_pciInfo);
}

bool CDeviceInfo::operator==(CDeviceInfo other) const {
    return m_componentType == other.m_componentType && m_componentID == other.m_componentID &&
           m_dependencyType == other.m_dependencyType && m_version == other.m_version &&
           m_display == other.m_display && m_detail == other.m_detail &&
           m_filePath == other.m_filePath && samePCIIdentity(m_pciInfo, other.m_pciInfo);
}
