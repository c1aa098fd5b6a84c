#include "vserver/RecordExchange.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <vector>

#include "vserver/FatImage.h"
#include "vserver/Md5Digest.h"

namespace {

const char* const kCommandFile = "update.xml";
const char* const kAnswerFile = "output.xml";
const char* const kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

struct DocumentFree {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

struct Entry {
    std::string mode;
    std::string source;
    std::string hash;
};

std::string childText(const xmlNode* node, const char* name) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE &&
            xmlStrcmp(child->name, reinterpret_cast<const xmlChar*>(name)) == 0) {
            std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(child), xmlFree);
            return text ? reinterpret_cast<const char*>(text.get()) : "";
        }
    }
    return "";
}

std::optional<std::vector<Entry>> entriesOf(const std::string& commandFile) {
    std::unique_ptr<xmlDoc, DocumentFree> document(
        xmlReadMemory(commandFile.data(), static_cast<int>(commandFile.size()), kCommandFile,
                      nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    const xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (root == nullptr || xmlStrcmp(root->name, reinterpret_cast<const xmlChar*>("VESK_Update"))) {
        return std::nullopt;
    }
    std::vector<Entry> entries;
    for (const xmlNode* file = root->children; file; file = file->next) {
        if (file->type == XML_ELEMENT_NODE &&
            xmlStrcmp(file->name, reinterpret_cast<const xmlChar*>("File")) == 0) {
            entries.push_back(
                {childText(file, "Mode"), childText(file, "Source"), childText(file, "Hash")});
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

// The answer of one entry, or nothing when it cannot be carried out.
std::optional<std::string> answerOf(const Entry& entry, FatImage& dropBox,
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

}  // namespace

ExchangeOutcome carryOutCommandFile(FatImage& dropBox, const std::string& digest,
                                    const RecordStore& records, bool writeAnswer) {
    std::optional<std::string> commandFile = dropBox.readFile(kCommandFile);
    if (!commandFile) {
        return {false, "no update.xml in the drop box"};
    }
    if (md5Text(*commandFile) != digest) {
        return {false, "update.xml does not match the digest handed over"};
    }
    std::optional<std::vector<Entry>> entries = entriesOf(*commandFile);
    if (!entries || entries->empty()) {
        return {false, "update.xml holds no entries"};
    }
    std::string answer;
    for (const Entry& entry : *entries) {
        std::string reason;
        std::optional<std::string> part = answerOf(entry, dropBox, records, reason);
        if (!part) {
            return {false, reason};
        }
        answer += *part;
    }
    if (writeAnswer) {
        dropBox.writeFile(kAnswerFile, answer);
    }
    return {true, ""};
}
