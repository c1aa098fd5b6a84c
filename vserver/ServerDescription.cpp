#include "vserver/ServerDescription.h"

#include "baseutils/XmlHandles.h"
#include "vserver/HostSystem.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

namespace {

[[noreturn]] void refuse(const xmlNode* node, const std::string& reason) {
    throw ServerDescriptionError(reason, node ? static_cast<int>(xmlGetLineNo(node)) : 1);
}

// What each element of a description may carry; a name the reader does not
// know is a mistake (<Controler>, a misspelt attribute), not something to
// pass over. The record documents inside Current, History and Events are
// the controller's own and are not checked here.
struct ElementRule {
    const char* name;
    std::vector<const char*> attributes;
    std::vector<const char*> children;
    std::vector<const char*> required;
    bool freeContent = false;  // any child elements (a record document)
};

const std::vector<ElementRule>& elementRules() {
    static const std::vector<ElementRule> rules = {
        {"VirtualServer", {"name"}, {"Description", "Controller", "Host"}, {"Controller"}},
        {"Description", {}, {}, {}},
        {"Controller",
         {"generation", "storageType", "accessState", "monolithic", "stateFlag", "firstHandle"},
         {"Firmware", "Storage", "Records", "Staging"},
         {}},
        {"Firmware", {"major", "minor"}, {}, {}},
        {"Storage", {"dynamicSlots", "dynamicCapacityMB"}, {"StaticPartition"}, {}},
        {"StaticPartition", {"slot", "label", "name", "sizeMB"}, {}, {}},
        {"Records",
         {"answers", "processingPolls"},
         {"Current", "History", "Events", "Dependencies"},
         {}},
        {"Current", {}, {}, {}, true},
        {"History", {}, {}, {}, true},
        {"Events", {}, {}, {}, true},
        {"Dependencies", {"met"}, {}, {}},
        {"Staging",
         {"identityCheck", "digestMethods", "stageAnswer", "stageStatuses", "resetAnswer",
          "orbeStatus", "corruptsPlacedFiles"},
         {},
         {}},
        {"Host",
         {"scsiGenericSysfs", "sgLoaded", "fixedDisks", "settleSeconds", "partitionTable", "os",
          "udevadm", "halDaemon", "usbArbitrator", "systemId", "ipmi"},
         {"ProcScsi"},
         {}},
        {"ProcScsi", {}, {}, {}},
    };
    return rules;
}

const ElementRule& ruleFor(const xmlNode* node) {
    for (const ElementRule& rule : elementRules()) {
        if (isXmlElement(node, rule.name)) {
            return rule;
        }
    }
    refuse(node,
           std::string("unknown element <") + reinterpret_cast<const char*>(node->name) + ">");
}

bool listed(const std::vector<const char*>& names, const xmlChar* name) {
    for (const char* known : names) {
        if (xmlStrEqual(name, reinterpret_cast<const xmlChar*>(known))) {
            return true;
        }
    }
    return false;
}

// Every element and attribute below node is one the reader knows, and the
// required children are there.
void checkNames(const xmlNode* node) {
    const ElementRule& rule = ruleFor(node);
    for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next) {
        if (!listed(rule.attributes, attribute->name)) {
            refuse(node, std::string("unknown attribute ") +
                             reinterpret_cast<const char*>(attribute->name) + " of <" + rule.name +
                             ">");
        }
    }
    if (rule.freeContent) {
        return;
    }
    std::set<std::string> present;
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (!listed(rule.children, child->name)) {
            refuse(child, std::string("unknown element <") +
                              reinterpret_cast<const char*>(child->name) + "> in <" + rule.name +
                              ">");
        }
        present.insert(reinterpret_cast<const char*>(child->name));
        checkNames(child);
    }
    for (const char* required : rule.required) {
        if (present.count(required) == 0) {
            refuse(node, std::string("<") + rule.name + "> has no <" + required + ">");
        }
    }
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

// Decimal or 0x-prefixed hexadecimal, within [0, maximum].
unsigned long number(const xmlNode* node, const char* name, unsigned long maximum,
                     unsigned long fallback) {
    std::optional<std::string> text = attribute(node, name);
    if (!text) {
        return fallback;
    }
    // Base 0 would read a leading zero as octal.
    bool hexadecimal = text->rfind("0x", 0) == 0 || text->rfind("0X", 0) == 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text->c_str(), &end, hexadecimal ? 16 : 10);
    if (text->empty() || *end != '\0' || value > maximum || text->front() == '-') {
        refuse(node, "attribute " + std::string(name) + " has a bad value: " + *text);
    }
    return value;
}

bool flag(const xmlNode* node, const char* name, bool fallback) {
    std::optional<std::string> text = attribute(node, name);
    if (!text) {
        return fallback;
    }
    if (*text == "true" || *text == "1") {
        return true;
    }
    if (*text == "false" || *text == "0") {
        return false;
    }
    refuse(node, "attribute " + std::string(name) + " is not a truth value");
}

std::uint8_t storageTypeByte(const xmlNode* node, std::uint8_t fallback) {
    std::optional<std::string> text = attribute(node, "storageType");
    if (!text) {
        return fallback;
    }
    if (*text == "Full") {
        return 0;
    }
    if (*text == "Lite") {
        return 1;
    }
    if (*text == "Liter") {
        return 2;
    }
    if (*text == "None") {
        return 0xFF;
    }
    return static_cast<std::uint8_t>(number(node, "storageType", 0xFF, fallback));
}

StaticPartitionConfig staticPartition(const xmlNode* node) {
    StaticPartitionConfig partition;
    partition.slot = static_cast<int>(number(node, "slot", PartitionStore::kMaxSlots - 1, 0));
    partition.label = attribute(node, "label").value_or("");
    if (partition.label.size() != 6) {
        refuse(node, "partition label must have six characters: " + partition.label);
    }
    partition.sizeMB = static_cast<std::uint32_t>(number(node, "sizeMB", 0xFFFF, 1));
    partition.name = attribute(node, "name").value_or("");
    return partition;
}

void readStorage(const xmlNode* storage, ControllerConfig& config) {
    config.dynamicSlots =
        static_cast<int>(number(storage, "dynamicSlots", PartitionStore::kMaxSlots, 8));
    config.dynamicCapacityBytes =
        static_cast<std::uint64_t>(number(storage, "dynamicCapacityMB", 0xFFFFFF, 0)) * 1048576;
    std::set<int> slots;
    for (const xmlNode* child = storage->children; child; child = child->next) {
        if (!isXmlElement(child, "StaticPartition")) {
            continue;
        }
        StaticPartitionConfig partition = staticPartition(child);
        if (!slots.insert(partition.slot).second) {
            refuse(child, "two static partitions in slot " + std::to_string(partition.slot));
        }
        config.staticPartitions.push_back(partition);
    }
}

// The elements inside node, as the document text the controller answers with.
std::string documentOf(const xmlNode* node) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        xmlBufferEmpty(buffer.get());
        xmlNodeDump(buffer.get(), child->doc, child, 0, 0);
        text += reinterpret_cast<const char*>(xmlBufferContent(buffer.get()));
        text += "\n";
    }
    return text;
}

void readRecords(const xmlNode* node, ControllerConfig& config) {
    config.writesAnswer = flag(node, "answers", config.writesAnswer);
    config.processingPolls =
        static_cast<unsigned>(number(node, "processingPolls", 3000, config.processingPolls));
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (isXmlElement(child, "Current")) {
            config.records.currentRecords = documentOf(child);
        } else if (isXmlElement(child, "History")) {
            config.records.historyRecords = documentOf(child);
        } else if (isXmlElement(child, "Events")) {
            config.records.eventRecords = documentOf(child);
        } else if (isXmlElement(child, "Dependencies")) {
            config.records.dependenciesMet = flag(child, "met", true);
            std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(child), xmlFree);
            config.records.unmetDependencies =
                text ? reinterpret_cast<const char*>(text.get()) : "";
        }
    }
}

// Blank-separated numbers of at most one byte each.
std::vector<std::uint8_t> byteList(const xmlNode* node, const char* name,
                                   std::vector<std::uint8_t> fallback) {
    std::optional<std::string> text = attribute(node, name);
    if (!text) {
        return fallback;
    }
    std::vector<std::uint8_t> values;
    std::istringstream words(*text);
    std::string word;
    while (words >> word) {
        char* end = nullptr;
        unsigned long value = std::strtoul(word.c_str(), &end, 10);
        if (*end != '\0' || value > 0xFF || word.front() == '-') {
            refuse(node, "attribute " + std::string(name) + " has a bad value: " + word);
        }
        values.push_back(static_cast<std::uint8_t>(value));
    }
    if (values.empty()) {
        refuse(node, "attribute " + std::string(name) + " names no value");
    }
    return values;
}

// How the controller answers update staging.
void readStaging(const xmlNode* node, ControllerConfig& config) {
    StagingConfig& staging = config.staging;
    auto byte = [node](const char* name, std::uint8_t fallback) {
        return static_cast<std::uint8_t>(number(node, name, 0xFF, fallback));
    };
    staging.identityCheckFlag = byte("identityCheck", staging.identityCheckFlag);
    staging.digestMethods = byte("digestMethods", staging.digestMethods);
    staging.stageAnswer = byte("stageAnswer", staging.stageAnswer);
    staging.stageStatuses = byteList(node, "stageStatuses", staging.stageStatuses);
    staging.resetAnswer = byte("resetAnswer", staging.resetAnswer);
    staging.orbeStatus = byte("orbeStatus", staging.orbeStatus);
    config.stagingFaults.corruptPlacedFiles =
        flag(node, "corruptsPlacedFiles", config.stagingFaults.corruptPlacedFiles);
}

// A controller with storage keeps records; without them it would answer an
// inventory with nothing.
void requireRecords(const xmlNode* node, const ControllerConfig& config) {
    constexpr std::uint8_t kLastStorageType = 2;  // Liter; above it: none
    if (config.storageTypeByte > kLastStorageType) {
        return;
    }
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (isXmlElement(child, "Records")) {
            return;
        }
    }
    refuse(node, "<Controller> with storage has no <Records>");
}

ControllerConfig readController(const xmlNode* node) {
    ControllerConfig config;
    config.generationByte =
        static_cast<std::uint8_t>(number(node, "generation", 0xFF, config.generationByte));
    config.storageTypeByte = storageTypeByte(node, config.storageTypeByte);
    config.accessState =
        static_cast<std::uint8_t>(number(node, "accessState", 0xFF, config.accessState));
    config.monolithic = flag(node, "monolithic", config.monolithic);
    config.stateFlag = static_cast<std::uint8_t>(number(node, "stateFlag", 0xFF, 0));
    config.firstHandle =
        static_cast<std::uint16_t>(number(node, "firstHandle", 0xFFFF, config.firstHandle));
    if (config.firstHandle == 0) {
        refuse(node, "a session handle is never 0");
    }
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (isXmlElement(child, "Firmware")) {
            config.firmwareMajor = static_cast<std::uint8_t>(number(child, "major", 0xFF, 0));
            config.firmwareMinor = static_cast<std::uint8_t>(number(child, "minor", 0xFF, 0));
        } else if (isXmlElement(child, "Storage")) {
            readStorage(child, config);
        } else if (isXmlElement(child, "Records")) {
            readRecords(child, config);
        } else if (isXmlElement(child, "Staging")) {
            readStaging(child, config);
        }
    }
    requireRecords(node, config);
    return config;
}

HostConfig readHost(const xmlNode* node) {
    HostConfig host;
    host.scsiGenericSysfs = flag(node, "scsiGenericSysfs", host.scsiGenericSysfs);
    host.sgLoaded = flag(node, "sgLoaded", host.sgLoaded);
    host.fixedDisks = static_cast<unsigned>(number(node, "fixedDisks", 26, host.fixedDisks));
    host.settleSeconds =
        static_cast<unsigned>(number(node, "settleSeconds", 3600, host.settleSeconds));
    host.partitionTable = flag(node, "partitionTable", host.partitionTable);
    host.os = attribute(node, "os").value_or(host.os);
    if (!knownHostSystem(host.os)) {
        refuse(node, "unknown host operating system: " + host.os);
    }
    host.udevadm = flag(node, "udevadm", host.udevadm);
    host.halDaemon = attribute(node, "halDaemon").value_or(host.halDaemon);
    if (host.halDaemon != "none" && host.halDaemon != "stopped" && host.halDaemon != "running") {
        refuse(node, "halDaemon is none, stopped or running: " + host.halDaemon);
    }
    host.usbArbitrator = flag(node, "usbArbitrator", host.usbArbitrator);
    host.systemId = attribute(node, "systemId").value_or(host.systemId);
    host.ipmi = attribute(node, "ipmi").value_or(host.ipmi);
    if (host.ipmi != "loaded" && host.ipmi != "unloaded" && host.ipmi != "absent") {
        refuse(node, "ipmi is loaded, unloaded or absent: " + host.ipmi);
    }
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (isXmlElement(child, "ProcScsi")) {
            xmlChar* text = xmlNodeGetContent(child);
            host.procScsi = text ? reinterpret_cast<const char*>(text) : "";
            xmlFree(text);
        }
    }
    return host;
}

ServerDescription readDocument(xmlDoc* document) {
    const xmlNode* root = xmlDocGetRootElement(document);
    if (root == nullptr || !isXmlElement(root, "VirtualServer")) {
        refuse(root, "the root element is not VirtualServer");
    }
    checkNames(root);
    ServerDescription server;
    server.name = attribute(root, "name").value_or("");
    for (const xmlNode* child = root->children; child; child = child->next) {
        if (isXmlElement(child, "Description")) {
            xmlChar* text = xmlNodeGetContent(child);
            server.description = text ? reinterpret_cast<const char*>(text) : "";
            xmlFree(text);
        } else if (isXmlElement(child, "Controller")) {
            server.controller = readController(child);
        } else if (isXmlElement(child, "Host")) {
            server.host = readHost(child);
        }
    }
    return server;
}

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The document, or the parser's own reason with its line.
XmlDocument parsed(const std::string& text, const std::string& name) {
    xmlResetLastError();
    XmlDocument document(xmlReadMemory(text.data(), static_cast<int>(text.size()), name.c_str(),
                                       nullptr, kParseOptions));
    if (!document) {
        const xmlError* error = xmlGetLastError();
        std::string reason = error && error->message ? error->message : "unreadable XML";
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) {
            reason.pop_back();
        }
        throw ServerDescriptionError("not well-formed XML: " + reason, error ? error->line : 0);
    }
    return document;
}

ServerDescription fromText(const std::string& text, const std::string& name) {
    XmlDocument document = parsed(text, name);
    return readDocument(document.get());
}

}  // namespace

ServerDescriptionError::ServerDescriptionError(const std::string& reason, int line)
    : std::runtime_error(reason), line_(line) {}

ServerDescription loadServerDescription(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ServerDescriptionError(path + ": cannot read it: " + std::strerror(errno), 0);
    }
    std::ostringstream text;
    text << file.rdbuf();
    try {
        return fromText(text.str(), path);
    } catch (const ServerDescriptionError& error) {
        throw ServerDescriptionError(
            path + ":" + std::to_string(error.line()) + ": " + error.what(), error.line());
    }
}

ServerDescription parseServerDescription(const std::string& xmlText) {
    return fromText(xmlText, "server.xml");
}

std::string bundledServersDirectory() {
    return (std::filesystem::path(__FILE__).parent_path() / "servers").string();
}
