#include "vserver/RecordExchange.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <vector>

#include "baseutils/XmlHandles.h"
#include "vserver/Md5Digest.h"
#include "vserver/VolumeMirror.h"

namespace {

const char* const kCommandFile = "update.xml";
const char* const kAnswerFile = "output.xml";
const char* const kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string childText(const xmlNode* node, const char* name) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (isXmlElement(child, name)) {
            std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(child), xmlFree);
            return text ? reinterpret_cast<const char*>(text.get()) : "";
        }
    }
    return "";
}

std::optional<std::vector<CommandEntry>> entriesOf(const std::string& commandFile) {
    XmlDocument document(xmlReadMemory(commandFile.data(), static_cast<int>(commandFile.size()),
                                       kCommandFile, nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    const xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (root == nullptr || !isXmlElement(root, "VESK_Update")) {
        return std::nullopt;
    }
    std::vector<CommandEntry> entries;
    for (const xmlNode* file = root->children; file; file = file->next) {
        if (isXmlElement(file, "File")) {
            entries.push_back({childText(file, "Mode"), childText(file, "Source"),
                               childText(file, "SourceVESK"), childText(file, "Destination"),
                               childText(file, "Hash")});
        }
    }
    return entries;
}

std::string dependencyAnswer(const RecordStore& records) {
    if (records.dependenciesMet) {
        return std::string(kDeclaration) +
               "<DependencyCheck><status>0</status></DependencyCheck>\n";
    }
    return std::string(kDeclaration) + "<DependencyCheck><status>1</status>" +
           records.unmetDependencies + "</DependencyCheck>\n";
}

// The answer of a record query entry, or nothing when it cannot be carried out.
std::optional<std::string> answerOf(const CommandEntry& entry, VolumeMirror& dropBox,
                                    const RecordStore& records, std::string& reason) {
    if (entry.mode == "pyx_query_current_records") {
        return records.currentRecords;
    }
    if (entry.mode == "pyx_query_history_records") {
        return records.historyRecords;
    }
    if (entry.mode == "pyx_query_event_records") {
        return records.eventRecords;
    }
    if (entry.mode == "pyx_query_dependency") {
        std::optional<std::string> package = dropBox.readFile(entry.source);
        if (!package) {
            reason = "the package description " + entry.source + " is not in the drop box";
            return std::nullopt;
        }
        if (md5Text(*package) != entry.hash) {
            reason = "the package description does not match its digest";
            return std::nullopt;
        }
        return dependencyAnswer(records);
    }
    reason = "mode " + entry.mode + " is not carried out";
    return std::nullopt;
}

bool isRecordUpdate(const std::string& mode) {
    return mode == "pyx_update_records" || mode == "pyx_update_entire_inventory";
}

XmlDocument parse(const std::string& text, const char* name) {
    return XmlDocument(xmlReadMemory(
        text.data(), static_cast<int>(text.size()), name, nullptr,
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS));
}

// A record's identity: its PCI identity when it has one, else its component
// id.
bool sameComponent(xmlNode* kept, xmlNode* update) {
    if (xmlHasProp(update, reinterpret_cast<const xmlChar*>("vendorID"))) {
        for (const char* field : {"vendorID", "deviceID", "subVendorID", "subDeviceID"}) {
            if (xmlAttributeText(kept, field) != xmlAttributeText(update, field)) {
                return false;
            }
        }
        return true;
    }
    return !xmlHasProp(kept, reinterpret_cast<const xmlChar*>("vendorID")) &&
           xmlAttributeText(kept, "componentID") == xmlAttributeText(update, "componentID");
}

// The record of an updated device: its own name and identity, the update's
// application and compatibilities.
void takeApplication(xmlNode* kept, xmlNode* update, xmlDoc* into) {
    for (xmlNode* child = kept->children; child;) {
        xmlNode* next = child->next;
        xmlUnlinkNode(child);
        xmlFreeNode(child);
        child = next;
    }
    for (xmlNode* child = update->children; child; child = child->next) {
        xmlAddChild(kept, xmlDocCopyNode(child, into, 1));
    }
}

XmlDocument documentOr(const std::string& text, const char* name) {
    return parse(text.empty() ? std::string(kDeclaration) + "<SVMInventory lang=\"en\"/>" : text,
                 name);
}

std::string serialized(xmlDoc* document) {
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(document, &text, &size, "UTF-8", 1);
    std::unique_ptr<xmlChar, decltype(xmlFree)> owned(text, xmlFree);
    return std::string(reinterpret_cast<const char*>(text), size > 0 ? size : 0);
}

// The records document's Device elements written into the current records.
// The store keeps one current record per device: an entry for a component
// it holds already replaces that component's records (each keeps its own
// name and takes the entry's application; the earlier ones go to the
// history), an entry for a new component is added. With entire, the
// records document becomes the whole inventory.
bool updateRecords(const std::string& recordsText, bool entire, RecordStore& records,
                   std::string& reason) {
    auto update = parse(recordsText, "input.xml");
    xmlNode* root = update ? xmlDocGetRootElement(update.get()) : nullptr;
    if (root == nullptr || !isXmlElement(root, "Records")) {
        reason = "input.xml is not a records document";
        return false;
    }
    auto current = documentOr(entire ? "" : records.currentRecords, "current records");
    auto history = documentOr(records.historyRecords, "history records");
    xmlNode* inventory = current ? xmlDocGetRootElement(current.get()) : nullptr;
    xmlNode* earlier = history ? xmlDocGetRootElement(history.get()) : nullptr;
    if (inventory == nullptr || earlier == nullptr) {
        reason = "the record store cannot be read";
        return false;
    }
    for (xmlNode* device = root->children; device; device = device->next) {
        if (!isXmlElement(device, "Device")) {
            continue;
        }
        bool replaced = false;
        for (xmlNode* kept = inventory->children; kept; kept = kept->next) {
            if (isXmlElement(kept, "Device") && sameComponent(kept, device)) {
                xmlAddChild(earlier, xmlDocCopyNode(kept, history.get(), 1));
                takeApplication(kept, device, current.get());
                replaced = true;
            }
        }
        if (!replaced) {
            xmlAddChild(inventory, xmlDocCopyNode(device, current.get(), 1));
        }
    }
    records.currentRecords = serialized(current.get());
    records.historyRecords = serialized(history.get());
    return true;
}

bool carryOutRecordUpdate(const CommandEntry& entry, VolumeMirror& dropBox, RecordStore& records,
                          std::string& reason) {
    std::optional<std::string> recordsText = dropBox.readFile(entry.source);
    if (!recordsText) {
        reason = "the records document " + entry.source + " is not in the drop box";
        return false;
    }
    bool entire = entry.mode == "pyx_update_entire_inventory";
    if (entire && md5Text(*recordsText) != entry.hash) {
        reason = "the records document does not match its digest";
        return false;
    }
    return updateRecords(*recordsText, entire, records, reason);
}

}  // namespace

ExchangeOutcome carryOutCommandFile(VolumeMirror& dropBox, const std::string& digest,
                                    ExchangeScene scene) {
    std::optional<std::string> commandFile = dropBox.readFile(kCommandFile);
    if (!commandFile) {
        return {false, "no update.xml in the drop box", {}};
    }
    if (md5Text(*commandFile) != digest) {
        return {false, "update.xml does not match the digest handed over", {}};
    }
    std::optional<std::vector<CommandEntry>> entries = entriesOf(*commandFile);
    if (!entries || entries->empty()) {
        return {false, "update.xml holds no entries", {}};
    }
    // Nothing is kept unless every entry can be carried out.
    RecordStore records = scene.records;
    PayloadStaging staging(dropBox, scene.volumes, scene.faults);
    std::string answer;
    bool answers = false;
    for (const CommandEntry& entry : *entries) {
        std::string reason;
        bool done = true;
        if (PayloadStaging::handles(entry.mode)) {
            done = staging.carryOut(entry, reason);
        } else if (isRecordUpdate(entry.mode)) {
            done = carryOutRecordUpdate(entry, dropBox, records, reason);
        } else {
            std::optional<std::string> part = answerOf(entry, dropBox, records, reason);
            done = part.has_value();
            answer += part.value_or("");
            answers = true;
        }
        if (!done) {
            return {false, reason, {}};
        }
    }
    std::string reason;
    if (!staging.finish(reason)) {
        return {false, reason, {}};
    }
    scene.records = records;
    if (answers && scene.writeAnswer) {
        dropBox.writeFile(kAnswerFile, answer);
    }
    return {true, "", staging.ssibFiles()};
}
