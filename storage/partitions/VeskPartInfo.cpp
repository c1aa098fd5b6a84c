#include "storage/partitions/VeskPartInfo.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

#include "storage/SecureVesk.h"

spartInfo veskPartInfo[VESK_PART_COUNT];
const std::string dynDriveName = "SECUPD";

namespace {

// getPartIndex belongs to the attach source unit as far as its log is concerned.
constexpr const char* kAttachUnit = "AttachVeskPartition.cpp";

struct NamedRow {
    int index;
    const char* name;
    unsigned short sizeMB;
    unsigned int typeCode;
};

const NamedRow kNamedRows[] = {
    {1, "UEFI", 25, 1},
    {2, "Service_Diags", 15, 2},
    {3, "ELI", 100, 3},
    {4, "Online_Diags", 35, 1},
    {5, "WinPE", 200, 1},
    {21, "DriverStore", 150, 1},
    {22, "FirmwareImages", 160, 1},
    {23, "OrbeLog", 2, 1},
};

std::string labelOf(int index) {
    if (index == 0) {
        return "SECUPD";
    }
    char label[8];
    std::snprintf(label, sizeof(label), "VSK%03d", index);
    return label;
}

spartInfo reservedRow(int index) {
    spartInfo row{};
    row.partIndex = static_cast<unsigned short>(index);
    row.partName = "Reserved";
    row.tableWord = 1;
    row.partLabel = labelOf(index);
    row.flagByte = index <= 20 ? 1 : 0;
    row.generation = "N/A";
    return row;
}

// Fills the catalogue when the library is loaded.
struct CatalogueBuilder {
    CatalogueBuilder() {
        for (int index = 0; index < VESK_PART_COUNT; ++index) {
            veskPartInfo[index] = reservedRow(index);
        }
        for (const NamedRow& named : kNamedRows) {
            spartInfo& row = veskPartInfo[named.index];
            row.partName = named.name;
            row.sizeMB = named.sizeMB;
            row.typeCode = named.typeCode;
            row.generation = "Mk11";
            row.sizeBytes = static_cast<unsigned long long>(named.sizeMB) * 1048576ULL;
        }
    }
};
const CatalogueBuilder catalogueBuilder;

}  // namespace

int secureVesk::getPartIndex(const std::string& label) {
    logVeskMsg(kAttachUnit, __LINE__, "QUIB info : PartName = [" + label + "]");
    if (label.size() < 6) {
        logVeskMsg(kAttachUnit, __LINE__,
                   "QUIB error : PartName length is lesser than expected!!!");
        return 0;
    }
    int index = 0;
    for (std::size_t position = 3; position < 6; ++position) {
        unsigned char digit = static_cast<unsigned char>(label[position]);
        if (!std::isdigit(digit)) {
            return 0;
        }
        index = index * 10 + (digit - '0');
    }
    return index;
}

int GetPartNum(const std::string& text) {
    // Digits only: a blank or a sign in front is not a number, and nothing
    // negative may become a catalogue index.
    long value = 0;
    for (char c : text.substr(0, text.find('/'))) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        value = std::min<long>(value * 10 + (c - '0'), INT_MAX);
    }
    return static_cast<int>(value);
}
