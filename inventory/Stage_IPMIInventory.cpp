#include "inventory/Stage_IPMIInventory.h"

#include <libxml/parser.h>

#include <climits>
#include <memory>

#include "baseutils/Logger.h"
#include "baseutils/XmlHandles.h"
#include "inventory/IPMIInventory.h"
#include "inventory/InventoryRecords.h"

namespace {

void logLine(unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(__FILE__, line, message);
}

const xmlChar* xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// An absent attribute reads as empty text.
std::string attributeText(xmlNodePtr node, const char* name) {
    const xmlChar* value = IPMIInventory::GetAttribute(node, xml(name));
    return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
}

void readIdentity(xmlNodePtr device, CDeviceInfo& record) {
    if (IPMIInventory::GetAttribute(device, xml("vendorID"))) {
        logLine(__LINE__, "Vendor id not empty");
        SPCIInfo pci;
        pci.componentID = attributeText(device, "componentID");
        pci.deviceID = attributeText(device, "deviceID");
        pci.subDeviceID = attributeText(device, "subDeviceID");
        pci.vendorID = attributeText(device, "vendorID");
        pci.subVendorID = attributeText(device, "subVendorID");
        record.setPCIInfo(pci);
        record.setDeviceName(attributeText(device, "display"));
        record.setDeviceType(DEVICE_TYPE_PCI);
        return;
    }
    logLine(__LINE__, "Vendor id is empty");
    logLine(__LINE__, "Component ID");
    logLine(__LINE__, attributeText(device, "componentID"));
    record.setComponentID(attributeText(device, "componentID"));
    record.setDeviceName(attributeText(device, "display"));
    record.setDeviceType(DEVICE_TYPE_COMPONENT);
}

// Every Application child overwrites the same fields: the last one wins.
void readApplications(xmlNodePtr device, CDeviceInfo& record) {
    for (xmlNodePtr child = device->children; child; child = child->next) {
        if (!isXmlElement(child, "Application")) {
            continue;
        }
        logLine(__LINE__, "Found Application node");
        record.setComponentType(attributeText(child, "componentType"));
        record.setVersion(attributeText(child, "version"));
        record.setDisplay(attributeText(child, "display"));
        record.setStatus(0);
    }
}

}  // namespace

void appendInventoryRecords(const std::string& document, std::vector<CDeviceInfo*>& devices) {
    XmlDocument doc;
    if (document.size() <= static_cast<std::size_t>(INT_MAX)) {
        doc.reset(xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr,
                                nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    }
    XmlXPathObject devicesFound;
    if (doc) {
        devicesFound.reset(IPMIInventory::getnodeset(doc.get(), xml("//SVMInventory/Device")));
    }
    if (!devicesFound) {
        logLine(__LINE__,
                "Invalid XML, Unable to find root or device nodes (SVMInventory/device) ");
        return;
    }
    xmlNodeSetPtr nodes = devicesFound->nodesetval;
    for (int index = 0; index < nodes->nodeNr; ++index) {
        xmlNodePtr node = nodes->nodeTab[index];
        logLine(__LINE__, reinterpret_cast<const char*>(node->name));
        if (!isXmlElement(node, "Device")) {
            continue;
        }
        logLine(__LINE__, "Found Device node");
        auto record = std::make_unique<CDeviceInfo>();
        readIdentity(node, *record);
        readApplications(node, *record);
        devices.push_back(record.get());
        record.release();
    }
}

namespace {

bool samePCIIdentity(const SPCIInfo& record, const SPCIInfo& filter) {
    return record.deviceID == filter.deviceID && record.subDeviceID == filter.subDeviceID &&
           record.subVendorID == filter.subVendorID && record.vendorID == filter.vendorID;
}

// Appends record once per matching filter entry; returns how often.
std::size_t appendMatches(CDeviceInfo* record, const std::vector<std::string>& componentFilter,
                          const std::vector<SPCIInfo>& pciFilter,
                          std::vector<CDeviceInfo*>& devices) {
    std::size_t appended = 0;
    std::string componentId = record->getComponentID();
    for (const std::string& wanted : componentFilter) {
        if (wanted == componentId) {
            devices.push_back(record);
            ++appended;
        }
    }
    SPCIInfo pci = record->getPCIInfo();
    for (const SPCIInfo& wanted : pciFilter) {
        if (samePCIIdentity(pci, wanted)) {
            devices.push_back(record);
            ++appended;
        }
    }
    return appended;
}

}  // namespace

void selectInventoryRecords(const std::vector<CDeviceInfo*>& inventory,
                            const std::vector<std::string>& componentFilter,
                            const std::vector<SPCIInfo>& pciFilter,
                            std::vector<CDeviceInfo*>& devices) {
    // Records no filter selects never reach the host: release them here.
    for (CDeviceInfo* record : inventory) {
        if (appendMatches(record, componentFilter, pciFilter, devices) == 0) {
            delete record;
        }
    }
}

extern "C" KVO_EXPORT void GetInventory(std::vector<CDeviceInfo*>& devices) {
    CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
    logLine(__LINE__, "IPMIInventory::GetInventory start");
    IPMIInventory::GetInvXMLString();
    if (IPMIInventory::strOutputXMLString.empty()) {
        logLine(__LINE__, "Empty inventory from GetInvXMLString");
    } else {
        appendInventoryRecords(IPMIInventory::strOutputXMLString, devices);
    }
    logLine(__LINE__,
            "vector<CDeviceInfo*> size after population: " + std::to_string(devices.size()));
    xmlCleanupParser();
    logLine(__LINE__, "IPMIInventory::GetInventory end");
}

extern "C" KVO_EXPORT void GetSelectiveInventory(std::vector<CDeviceInfo*>& devices,
                                                 const std::vector<std::string>& componentFilter,
                                                 const std::vector<SPCIInfo>& pciFilter) {
    logLine(__LINE__, "IPMIInventory::GetSelectiveInventory start");
    std::vector<CDeviceInfo*> inventory;
    GetInventory(inventory);
    if (componentFilter.empty() && pciFilter.empty()) {
        devices = inventory;
    } else {
        selectInventoryRecords(inventory, componentFilter, pciFilter, devices);
    }
    logLine(__LINE__, "Size of vector before returning:" + std::to_string(devices.size()));
    logLine(__LINE__, "IPMIInventory::GetSelectiveInventory end");
}
