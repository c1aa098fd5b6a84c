#include "vserver/RecordExchange.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <vector>

#include "baseutils/XmlHandles.h"
#include "vserver/FatImage.h"
#include "vserver/Md5Digest.h"

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
std::optional<std::string> answerOf(const CommandEntry& entry, FatImage& dropBox,
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

// The Device record of inventory with the same component id and display as
// device, or null.
xmlNode* sameDevice(xmlNode* inventory, xmlNode* device) {
    for (xmlNode* kept = inventory->children; kept; kept = kept->next) {
        if (isXmlElement(kept, "Device") &&
            xmlAttributeText(kept, "componentID") == xmlAttributeText(device, "componentID") &&
            xmlAttributeText(kept, "display") == xmlAttributeText(device, "display")) {
            return kept;
        }
    }
    return nullptr;
}

// The records document's Device elements written into the current records:
// one that is there already is replaced, a new one added. With entire, the
// records document becomes the whole inventory.
bool updateRecords(const std::string& recordsText, bool entire, RecordStore& records,
                   std::string& reason) {
    auto update = parse(recordsText, "input.xml");
    xmlNode* root = update ? xmlDocGetRootElement(update.get()) : nullptr;
    if (root == nullptr || !isXmlElement(root, "Records")) {
        reason = "input.xml is not a records document";
        return false;
    }
    std::string base = entire || records.currentRecords.empty()
                           ? std::string(kDeclaration) + "<SVMInventory lang=\"en\"/>"
                           : records.currentRecords;
    auto current = parse(base, "current records");
    xmlNode* inventory = current ? xmlDocGetRootElement(current.get()) : nullptr;
    if (inventory == nullptr) {
        reason = "the current records cannot be read";
        return false;
    }
    for (xmlNode* device = root->children; device; device = device->next) {
        if (!isXmlElement(device, "Device")) {
            continue;
        }
        xmlNode* copy = xmlDocCopyNode(device, current.get(), 1);
        if (xmlNode* kept = sameDevice(inventory, device)) {
            xmlFreeNode(xmlReplaceNode(kept, copy));
        } else {
            xmlAddChild(inventory, copy);
        }
    }
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(current.get(), &text, &size, "UTF-8", 1);
    std::unique_ptr<xmlChar, decltype(xmlFree)> owned(text, xmlFree);
    records.currentRecords.assign(reinterpret_cast<const char*>(text), size);
    return true;
}

bool carryOutRecordUpdate(const CommandEntry& entry, FatImage& dropBox, RecordStore& records,
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

ExchangeOutcome carryOutCommandFile(FatImage& dropBox, const std::string& digest,
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
