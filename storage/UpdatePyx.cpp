#include "storage/UpdatePyx.h"

#include <libxml/entities.h>

#include <fstream>
#include <memory>

#include "baseutils/HostPort.h"
#include "baseutils/ShellArgument.h"
#include "baseutils/XmlHandles.h"
#include "storage/DropBoxExchange.h"
#include "storage/Md5Wrapper.h"
#include "storage/OsType.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/PlatformLayer.h"

namespace {

const char* const kPackageFile = "package.xml";
const char* const kSystemIdProgram = "/getSystemId";
const char* const kSystemIdMarker = "\nSystem ID";
constexpr std::size_t kSystemIdSkip = 11;  // the line feed, nine letters, one separator
constexpr std::size_t kSystemIdLength = 4;
constexpr std::size_t kOutputLimit = 1024;
constexpr std::size_t kDirectoryLimit = 1024;
constexpr std::uint64_t kRecordsMargin = 32768;
constexpr int kPackageParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;

const char* const kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";

md5wrapper& recordsDigest() {
    static md5wrapper digest;
    return digest;
}

std::string nodeText(xmlNodePtr node) {
    std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(node), xmlFree);
    return text ? reinterpret_cast<const char*>(text.get()) : "";
}

std::string elementName(xmlNodePtr node) {
    return reinterpret_cast<const char*>(node->name);
}

// A value as attribute text. The package's values come back from libxml2
// unescaped; written as they are, a quote or an angle bracket in a display
// name would break the records document or add elements to it.
std::string attributeText(const std::string& value) {
    std::unique_ptr<xmlChar, decltype(xmlFree)> escaped(
        xmlEncodeSpecialChars(nullptr, reinterpret_cast<const xmlChar*>(value.c_str())), xmlFree);
    return escaped ? reinterpret_cast<const char*>(escaped.get()) : "";
}

// Attributes of a compatibility entry, each written only when it has a value.
struct CompatibilityPiece {
    const char* attribute;
    const char* closing;
};
const CompatibilityPiece kCompatibilityPieces[] = {
    {"type", "\" "},
    {"componentType", "\" "},
    {"componentID", "\" "},
    {"min_version", "\""},
};

std::string compatibilityElement(xmlNodePtr entry) {
    std::string name = elementName(entry);
    std::string text = "<" + name + " ";
    for (const CompatibilityPiece& piece : kCompatibilityPieces) {
        const xmlChar* value =
            attributeValue(entry, reinterpret_cast<const xmlChar*>(piece.attribute));
        if (value != nullptr) {
            text += std::string(piece.attribute) + "=\"" +
                    attributeText(reinterpret_cast<const char*>(value)) + piece.closing;
        }
    }
    return text + "></" + name + ">";
}

// The children of node from the second one on that are elements named name.
template <typename Visit>
void fromSecondChild(xmlNodePtr node, const char* name, Visit&& visit) {
    if (node->children == nullptr) {
        return;
    }
    for (xmlNodePtr child = node->children->next; child; child = child->next) {
        if (isXmlElement(child, name)) {
            visit(child);
        }
    }
}

// The entry once for every system id element that names systemId; always
// when it has no children. The search skips the first child of the entry and
// of each systems list, so an entry whose one child is its systems list is
// never selected.
std::string selectedCompatibility(xmlNodePtr entry, const std::string& systemId) {
    if (entry->children == nullptr) {
        return compatibilityElement(entry);
    }
    std::string text;
    fromSecondChild(entry, "versionSupportedSystems", [&](xmlNodePtr systems) {
        fromSecondChild(systems, "versionSystemID", [&](xmlNodePtr id) {
            if (nodeText(id) == systemId) {
                text += compatibilityElement(entry);
            }
        });
    });
    return text;
}

std::string firstDisplay(xmlNodePtr name) {
    for (xmlNodePtr child = name->children; child; child = child->next) {
        if (isXmlElement(child, "Display")) {
            return nodeText(child);
        }
    }
    return "";
}

struct DevicePiece {
    const char* text;
    const std::string* value;
    bool attribute;
};

std::string packageDevice(const std::string& componentId, const std::string& display,
                          const std::string& componentType, const std::string& vendorVersion,
                          const std::string& compatibilities) {
    const DevicePiece pieces[] = {
        {"<Device AgentID=\"3\" ", nullptr, false},
        {"componentID=\"", &componentId, true},
        {"\" display=\"", &display, true},
        {"\" >", nullptr, false},
        {"<Application componentType=\"", &componentType, true},
        {"\" version=\"", &vendorVersion, true},
        {"\" display=\"", &display, true},
        {"\" />", &compatibilities, false},
        {"</Device>", nullptr, false},
    };
    std::string text;
    for (const DevicePiece& piece : pieces) {
        text += piece.text;
        if (piece.value != nullptr) {
            text += piece.attribute ? attributeText(*piece.value) : *piece.value;
        }
    }
    return text;
}

// Every Device element of the device input, serialised with an AgentID.
std::string inputDevices(const std::string& deviceInputXml) {
    XmlDocument document(xmlReadMemory(
        deviceInputXml.data(), static_cast<int>(deviceInputXml.size()), "device input", nullptr,
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    xmlNodePtr root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (root == nullptr) {
        return "";
    }
    xmlNodePtr node = isXmlElement(root, "Device") ? root : root->children;
    std::string text;
    for (; node; node = node->next) {
        if (!isXmlElement(node, "Device")) {
            continue;
        }
        if (!xmlHasProp(node, reinterpret_cast<const xmlChar*>("AgentID"))) {
            xmlNewProp(node, reinterpret_cast<const xmlChar*>("AgentID"),
                       reinterpret_cast<const xmlChar*>("3"));
        }
        std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(),
                                                                    xmlBufferFree);
        xmlNodeDump(buffer.get(), document.get(), node, 0, 1);
        text += reinterpret_cast<const char*>(xmlBufferContent(buffer.get()));
    }
    return text;
}

}  // namespace

std::string getSysID() {
    std::string directory = CPlatformLayer::getCurrentDirectory();
    // "./" stands for a current directory that could not be had.
    if (directory.empty() || directory == "./" || directory.size() > kDirectoryLimit) {
        return "";
    }
    if (directory.back() == '/') {
        directory.pop_back();
    }
    std::string output;
    // The directory is the host's choice: quoted where the shell would read
    // more into it than a path.
    if (!hostPort().popen(shellArgument(directory + kSystemIdProgram), kOutputLimit, output) ||
        output.empty()) {
        return "";
    }
    std::string::size_type marker = output.find(kSystemIdMarker);
    if (marker == std::string::npos || marker + kSystemIdSkip > output.size()) {
        return "";
    }
    std::string value = output.substr(marker + kSystemIdSkip);
    std::string::size_type end = value.find('\n');
    // A value shorter than four characters is no system id.
    if (end == std::string::npos || end < kSystemIdLength) {
        return "";
    }
    return value.substr(end - kSystemIdLength, kSystemIdLength);
}

std::string getPkgInfo(const std::string& systemId, std::string& display,
                       std::string& componentType, std::string& vendorVersion) {
    XmlDocument document(
        xmlReadFile(hostPort().resolve(kPackageFile).c_str(), nullptr, kPackageParseOptions));
    xmlNodePtr root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (root == nullptr || !isXmlElement(root, "SoftwareComponent")) {
        return "";
    }
    if (const xmlChar* version =
            attributeValue(root, reinterpret_cast<const xmlChar*>("vendorVersion"))) {
        vendorVersion = reinterpret_cast<const char*>(version);
    }
    xmlNodePtr compatibilities = nullptr;
    for (xmlNodePtr child = root->children; child && !compatibilities; child = child->next) {
        if (isXmlElement(child, "versionCompatibilities")) {
            compatibilities = child;
        } else if (isXmlElement(child, "Name") && display.empty() && componentType.empty()) {
            display = firstDisplay(child);
        } else if (isXmlElement(child, "ComponentType")) {
            if (const xmlChar* value =
                    attributeValue(child, reinterpret_cast<const xmlChar*>("value"))) {
                componentType = reinterpret_cast<const char*>(value);
            }
        }
    }
    if (compatibilities == nullptr) {
        return "";
    }
    std::string name = elementName(compatibilities);
    std::string fragment = "<" + name + ">";
    for (xmlNodePtr entry = compatibilities->children; entry; entry = entry->next) {
        if (isXmlElement(entry, "verCompat")) {
            fragment += selectedCompatibility(entry, systemId);
        }
    }
    return fragment + "</" + name + ">";
}

std::string secureVesk::getPyxXml(const std::string& componentId,
                                  const std::string& deviceInputXml) {
    std::string records = std::string(kDeclaration) + "<Records>";
    if (!deviceInputXml.empty()) {
        logVeskMsg(__FILE__, __LINE__, "Device Input XML: " + deviceInputXml);
        records += inputDevices(deviceInputXml);
    } else {
        std::string systemId = getSysID();
        std::string display;
        std::string componentType;
        std::string vendorVersion;
        std::string compatibilities = getPkgInfo(systemId, display, componentType, vendorVersion);
        records +=
            packageDevice(componentId, display, componentType, vendorVersion, compatibilities);
    }
    return records + "</Records>";
}

// A record built from the package description needs the component's id and
// its version; without them nothing is sent.
bool secureVesk::packageRecordComplete(const std::string& componentId) {
    std::string display;
    std::string componentType;
    std::string vendorVersion;
    getPkgInfo("", display, componentType, vendorVersion);
    if (componentId.empty()) {
        logVeskMsg(__FILE__, __LINE__, "UpdatePyx: no component id for the record");
        storeErrorInfo(QUIB_NO_COMPONENT_ID);
        return false;
    }
    if (vendorVersion.empty()) {
        logVeskMsg(__FILE__, __LINE__, "UpdatePyx: package.xml names no vendorVersion");
        storeErrorInfo(QUIB_NO_PACKAGE_VERSION);
        return false;
    }
    return true;
}

bool secureVesk::UpdatePyx(std::string componentId, exmlMode mode, std::string deviceInputXml) {
    if (deviceInputXml.empty() && !packageRecordComplete(componentId)) {
        return false;
    }
    std::string records = getPyxXml(componentId, deviceInputXml);
    logVeskMsg(__FILE__, __LINE__, "Pyx entry: " + records);
    if (!recordRequestAccepted("UpdatePyx", mode,
                               {EXML_PYX_UPDATE_RECORDS, EXML_PYX_UPDATE_ENTIRE_INVENTORY},
                               "UpdatePyx called with NO Active Session")) {
        return false;
    }
    cfgEntry entry = recordEntry(mode);
    entry.source = updInvFileName;
    entry.hash = recordsDigest().getHashFromString(records);
    std::uint64_t size = records.size() + kRecordsMargin;
    if (osType == ESXi && size < kEsxiDropBoxBytes) {
        size = kEsxiDropBoxBytes;
    }
    DropBoxExchange exchange{"UpdatePyx",
                             size,
                             singleEntryCommandFile(entry),
                             "update.xml File Hash: ",
                             "update.xml Contents: ",
                             "",
                             "",
                             [&records](const std::string& directory) {
                                 std::ofstream input(hostPort().resolve(directory + updInvFileName),
                                                     std::ios::binary | std::ios::trunc);
                                 input << records;
                                 input.close();
                                 // Mode 10 carries no digest of this file: a
                                 // short write would go unnoticed.
                                 if (!input) {
                                     logVeskMsg(__FILE__, __LINE__,
                                                "input.xml could not be written");
                                     raiseQuibError(QUIB_INTERNAL_ERROR);
                                 }
                                 hostPort().system("sync");
                                 hostPort().system("sync");
                             }};
    exchange.readsAnswer = false;
    exchange.tooSmallLine = "PartitionSize obtained is small";
    std::string unused;
    return runDropBoxExchange(exchange, unused);
}
