#include "storage/PyxConfigFile.h"

#include <string>

#include "storage/Md5Wrapper.h"
#include "storage/VeskLog.h"

namespace {

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VESK_Update>\n";
const char kFooter[] = "</VESK_Update>\n\n";
const char kFileEnd[] = "</File>\n";
const char kIndent[] = "\t";
const char kDeepIndent[] = "\t\t";
const char kQueryIndent[] = "\t\t\t\t";
const char kLineFeed[] = "\n";
const char kNoLineFeed[] = "";
const char kPackageFile[] = "package.xml";
const char kRecordsFile[] = "input.xml";

// Algorithm names by digest type; only the update path writes SHA256.
const char* const kAlgorithms[] = {"SHA1", "MD5", "SHA256"};

void writeElement(std::ostream& out, const char* indent, const char* tag, const std::string& value,
                  const char* end) {
    out << indent << '<' << tag << '>' << value << "</" << tag << '>' << end;
}

void writeFileStart(std::ostream& out, const cfgEntry& entry) {
    out << kIndent << "<File order=\"" << entry.order << "\">";
}

// The package's digest comes from one digest object, made when first needed.
std::string packageDigest() {
    static md5wrapper digest;
    return digest.getHashFromFile(kPackageFile);
}

// The lines of one record exchange entry between its File tags.
void writeExchangeLines(std::ostream& out, const cfgEntry& entry) {
    switch (entry.mode) {
        case EXML_PYX_UPDATE_RECORDS:
            writeElement(out, kQueryIndent, "Mode", "pyx_update_records", kLineFeed);
            writeElement(out, kQueryIndent, "Source", kRecordsFile, kLineFeed);
            return;
        case EXML_PYX_UPDATE_ENTIRE_INVENTORY:
            writeElement(out, kDeepIndent, "Hash", entry.hash, kLineFeed);
            writeElement(out, kDeepIndent, "Source", entry.source, kLineFeed);
            writeElement(out, kDeepIndent, "Mode", "pyx_update_entire_inventory", kLineFeed);
            return;
        case EXML_PYX_QUERY_HISTORY_RECORDS:
            writeElement(out, kQueryIndent, "Mode", "pyx_query_history_records", kLineFeed);
            return;
        case EXML_PYX_QUERY_EVENT_RECORDS:
            writeElement(out, kQueryIndent, "Mode", "pyx_query_event_records", kLineFeed);
            return;
        case EXML_PYX_QUERY_DEPENDENCY:
            writeElement(out, kDeepIndent, "Source", kPackageFile, kLineFeed);
            writeElement(out, kDeepIndent, "Hash", packageDigest(), kLineFeed);
            writeElement(out, kDeepIndent, "Mode", "pyx_query_dependency", kLineFeed);
            return;
        default:
            writeElement(out, kQueryIndent, "Mode", "pyx_query_current_records", kLineFeed);
            return;
    }
}

// What an element of a file placement entry holds.
enum class Text { Source, Target, TargetUnlessNoDestination, EntrySource, UnzipTarget, Mode };

struct Element {
    const char* tag;
    Text text;
    const char* end;
};

struct PlacementLayout {
    exmlMode mode;
    const char* modeName;
    Element elements[3];
};

// Element order, content and line feeds of each file placement mode.
const PlacementLayout kPlacements[] = {
    {EXML_FILECOPY,
     "filecopy",
     {{"Source", Text::Source, kNoLineFeed},
      {"Destination", Text::TargetUnlessNoDestination, kNoLineFeed},
      {"Mode", Text::Mode, kNoLineFeed}}},
    {EXML_DIRCOPY,
     "dircopy",
     {{"SourceVESK", Text::Target, kLineFeed},
      {"Destination", Text::Target, kLineFeed},
      {"Mode", Text::Mode, kLineFeed}}},
    {EXML_FILEMOVE,
     "filemove",
     {{"SourceVESK", Text::EntrySource, kLineFeed},
      {"Destination", Text::Target, kLineFeed},
      {"Mode", Text::Mode, kLineFeed}}},
    {EXML_DIRMOVE,
     "dirmove",
     {{"SourceVESK", Text::EntrySource, kLineFeed},
      {"Destination", Text::Target, kNoLineFeed},
      {"Mode", Text::Mode, kLineFeed}}},
    {EXML_FILEDELETE,
     "filedelete",
     {{"Destination", Text::Target, kLineFeed}, {"Mode", Text::Mode, kLineFeed}}},
    {EXML_DIRDELETE,
     "dirdelete",
     {{"Destination", Text::Target, kLineFeed}, {"Mode", Text::Mode, kLineFeed}}},
    {EXML_FILEAPPEND,
     "fileappend",
     {{"Source", Text::Source, kNoLineFeed},
      {"Destination", Text::Target, kNoLineFeed},
      {"Mode", Text::Mode, kNoLineFeed}}},
    {EXML_DIRMAKE,
     "dirmake",
     {{"Destination", Text::Target, kNoLineFeed}, {"Mode", Text::Mode, kLineFeed}}},
    {EXML_SSIB, "ssib", {{"Source", Text::Target, kLineFeed}, {"Mode", Text::Mode, kLineFeed}}},
    {EXML_SIGNEDUNZIP,
     "signedunzip",
     {{"Source", Text::Source, kNoLineFeed},
      {"Destination", Text::UnzipTarget, kNoLineFeed},
      {"Mode", Text::Mode, kNoLineFeed}}},
};

const PlacementLayout* placementLayout(exmlMode mode) {
    for (const PlacementLayout& layout : kPlacements) {
        if (layout.mode == mode) {
            return &layout;
        }
    }
    return nullptr;
}

// Everything after the first "/" (all of path when it has none).
std::string afterFirstSlash(const std::string& path) {
    std::string::size_type slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything after the last "/" (all of path when it has none).
std::string afterLastSlash(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string targetText(const cfgEntry& entry) {
    if (entry.mode == EXML_SSIB) {
        return afterLastSlash(entry.source);
    }
    if (entry.mode == EXML_DIRDELETE) {
        return entry.source;
    }
    return entry.destination;
}

struct PlacementTexts {
    std::string source;
    std::string target;
};

bool textOf(const Element& element, const cfgEntry& entry, const PlacementTexts& texts,
            const char* modeName, std::string& value) {
    switch (element.text) {
        case Text::Source:
            value = texts.source;
            return true;
        case Text::Target:
            value = texts.target;
            return true;
        case Text::TargetUnlessNoDestination:
            value = texts.target;
            return !entry.noDestination;
        case Text::EntrySource:
            value = entry.source;
            return true;
        case Text::UnzipTarget:
            value = texts.target.substr(0, texts.target.find('/')) + "/.";
            return true;
        case Text::Mode:
            value = modeName;
            return true;
    }
    return false;
}

void writePlacementElements(std::ostream& out, const cfgEntry& entry, const PlacementTexts& texts) {
    const PlacementLayout* layout = placementLayout(entry.mode);
    if (layout == nullptr) {
        return;
    }
    for (const Element& element : layout->elements) {
        std::string value;
        if (element.tag != nullptr && textOf(element, entry, texts, layout->modeName, value)) {
            writeElement(out, kNoLineFeed, element.tag, value, element.end);
        }
    }
}

}  // namespace

bool CreatePyxConfigFile(std::ostream& out, std::vector<cfgEntry> entries) {
    out << kHeader;
    for (const cfgEntry& entry : entries) {
        writeFileStart(out, entry);
        out << kLineFeed;
        writeExchangeLines(out, entry);
        if (entry.digest == DIGEST_SHA1 || entry.digest == DIGEST_MD5) {
            writeElement(out, kDeepIndent, "Algorithm", kAlgorithms[entry.digest], kLineFeed);
        }
        out << kIndent << kFileEnd;
    }
    out << kFooter;
    return true;
}

void AddCfgHdr(std::ostream& out) {
    logVeskMsg(__FILE__, __LINE__, "Adding the config file header");
    out << kHeader;
}

void AddCfgEntry(std::ostream& out, cfgEntry entry, bool sourceFromEntry) {
    PlacementTexts texts{sourceFromEntry ? entry.source : afterFirstSlash(entry.destination),
                         targetText(entry)};
    writeFileStart(out, entry);
    bool unzip = entry.mode == EXML_SIGNEDUNZIP;
    if (!unzip) {
        writeElement(out, kNoLineFeed, "Hash", entry.hash, kNoLineFeed);
    }
    writePlacementElements(out, entry, texts);
    bool knownDigest = entry.digest >= DIGEST_SHA1 && entry.digest <= DIGEST_SHA256;
    if (!texts.target.empty() && !unzip && knownDigest) {
        writeElement(out, kNoLineFeed, "Algorithm", kAlgorithms[entry.digest], kLineFeed);
    }
    out << kFileEnd;
}

void AddCfgFtr(std::ostream& out) {
    logVeskMsg(__FILE__, __LINE__, "Adding the config file footer");
    out << kFooter;
}
