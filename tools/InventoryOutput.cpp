#include "tools/InventoryOutput.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

namespace {

const char* deviceTypeName(eDeviceType type) {
    switch (type) {
        case DEVICE_TYPE_PCI:
            return "pci";
        case DEVICE_TYPE_COMPONENT:
            return "component";
        default:
            return "unknown";
    }
}

std::string pciText(const CDeviceInfo& record) {
    if (record.getDeviceType() != DEVICE_TYPE_PCI) {
        return "";
    }
    SPCIInfo pci = record.getPCIInfo();
    return pci.vendorID + ":" + pci.deviceID + ":" + pci.subVendorID + ":" + pci.subDeviceID;
}

bool hasApplication(const CDeviceInfo& record) {
    return record.getStatus() == 0 || !record.getComponentType().empty() ||
           !record.getVersion().empty() || !record.getDisplay().empty();
}

const xmlChar* xml(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

struct XmlDocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};

}  // namespace

std::string formatTable(const std::vector<CDeviceInfo*>& records) {
    std::vector<std::vector<std::string>> rows = {
        {"COMPONENT ID", "TYPE", "NAME", "COMPONENT TYPE", "VERSION", "DISPLAY", "PCI"}};
    for (const CDeviceInfo* record : records) {
        rows.push_back({record->getComponentID(), deviceTypeName(record->getDeviceType()),
                        record->getDeviceName(), record->getComponentType(), record->getVersion(),
                        record->getDisplay(), pciText(*record)});
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            if (row[column].empty()) {
                row[column] = "-";
            }
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line += std::string(widths[column] - row[column].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    if (records.empty()) {
        out += "(no records)\n";
    }
    return out;
}

std::string formatXml(const std::vector<CDeviceInfo*>& records) {
    std::unique_ptr<xmlDoc, XmlDocFree> doc(xmlNewDoc(xml("1.0")));
    xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, xml("SVMInventory"), nullptr);
    xmlDocSetRootElement(doc.get(), root);
    xmlSetProp(root, xml("lang"), xml("en"));
    for (const CDeviceInfo* record : records) {
        xmlNodePtr device = xmlNewChild(root, nullptr, xml("Device"), nullptr);
        SPCIInfo pci = record->getPCIInfo();
        bool isPci = record->getDeviceType() == DEVICE_TYPE_PCI;
        xmlSetProp(device, xml("componentID"),
                   xml(isPci ? pci.componentID : record->getComponentID()));
        xmlSetProp(device, xml("display"), xml(record->getDeviceName()));
        if (isPci) {
            xmlSetProp(device, xml("vendorID"), xml(pci.vendorID));
            xmlSetProp(device, xml("deviceID"), xml(pci.deviceID));
            xmlSetProp(device, xml("subVendorID"), xml(pci.subVendorID));
            xmlSetProp(device, xml("subDeviceID"), xml(pci.subDeviceID));
        }
        if (hasApplication(*record)) {
            xmlNodePtr application = xmlNewChild(device, nullptr, xml("Application"), nullptr);
            xmlSetProp(application, xml("componentType"), xml(record->getComponentType()));
            xmlSetProp(application, xml("version"), xml(record->getVersion()));
            xmlSetProp(application, xml("display"), xml(record->getDisplay()));
        }
    }
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc.get(), &text, &size, "UTF-8", 1);
    std::string out(reinterpret_cast<const char*>(text), size > 0 ? size : 0);
    xmlFree(text);
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

namespace {

// One record; every record has the same members with the same types. A PCI
// device's component id is the one of its PCI identity, at the top too.
std::string jsonRecord(const CDeviceInfo& record) {
    bool isPci = record.getDeviceType() == DEVICE_TYPE_PCI;
    SPCIInfo pci = record.getPCIInfo();
    std::string out = "    {\n";
    out +=
        "      \"componentID\": " + jsonString(isPci ? pci.componentID : record.getComponentID()) +
        ",\n";
    out += "      \"deviceType\": " + jsonString(deviceTypeName(record.getDeviceType())) + ",\n";
    out += "      \"deviceName\": " + jsonString(record.getDeviceName()) + ",\n";
    out += "      \"componentType\": " + jsonString(record.getComponentType()) + ",\n";
    out += "      \"version\": " + jsonString(record.getVersion()) + ",\n";
    out += "      \"display\": " + jsonString(record.getDisplay()) + ",\n";
    out += "      \"status\": " + std::to_string(record.getStatus()) + ",\n";
    out += "      \"pci\": {\"componentID\": " + jsonString(pci.componentID) +
           ", \"vendorID\": " + jsonString(pci.vendorID) +
           ", \"deviceID\": " + jsonString(pci.deviceID) +
           ", \"subVendorID\": " + jsonString(pci.subVendorID) +
           ", \"subDeviceID\": " + jsonString(pci.subDeviceID) + "}\n";
    return out + "    }";
}

}  // namespace

std::string jsonDocument(const std::vector<CDeviceInfo*>& records, const std::string& members) {
    std::string out = "{\n  \"devices\": [";
    for (std::size_t index = 0; index < records.size(); ++index) {
        out += (index == 0 ? "\n" : ",\n") + jsonRecord(*records[index]);
    }
    out += records.empty() ? "]" : "\n  ]";
    return out + members + "\n}\n";
}

std::string formatJson(const std::vector<CDeviceInfo*>& records) {
    return jsonDocument(records, "");
}

std::string jsonError(unsigned code, const std::string& text, const std::string& logs) {
    return ",\n  \"error\": {\n    \"code\": " + std::to_string(code) +
           ",\n    \"text\": " + jsonString(text) + ",\n    \"logs\": " + jsonString(logs) +
           "\n  }";
}

std::string formatRecords(const std::vector<CDeviceInfo*>& records, OutputFormat format) {
    switch (format) {
        case OutputFormat::Xml:
            return formatXml(records);
        case OutputFormat::Json:
            return formatJson(records);
        case OutputFormat::Table:
        default:
            return formatTable(records);
    }
}

std::string formatOutcome(const InventoryOutcome& outcome, const std::vector<CDeviceInfo*>& records,
                          OutputFormat format, const std::string& workDirectory,
                          const std::string& moreJson) {
    bool failed = outcome.kind == InventoryOutcome::Kind::Failed;
    if (format == OutputFormat::Json) {
        if (outcome.kind == InventoryOutcome::Kind::NoStorage) {
            return jsonDocument({}, ",\n  \"storage\": false" + moreJson);
        }
        std::string error =
            failed ? jsonError(outcome.errorCode, outcome.errorText, workDirectory) : "";
        return jsonDocument(records, error + moreJson);
    }
    bool listed = outcome.kind == InventoryOutcome::Kind::Records || outcome.recordsRead;
    return listed ? formatRecords(records, format) : "";
}

ReceivedRecords::~ReceivedRecords() {
    std::set<CDeviceInfo*> distinct(devices.begin(), devices.end());
    for (CDeviceInfo* record : distinct) {
        delete record;
    }
}
