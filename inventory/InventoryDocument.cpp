#include "inventory/InventoryDocument.h"

const std::string GENERIC_XML_TAG = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";
const std::string INV_HEAD_TAG = "<SVMInventory lang=\"en\">";
const std::string INV_SUCCESS_MSG = "<Message id=\"0\"> Inventory Success </Message>";
const std::string INV_FAIL_MSG = "<Message id=\"1\"> Inventory Failure: ";
const std::string INV_FAIL_MSG_1 = "</Message>";
const std::string INV_TAIL_TAG = "</SVMInventory>";
const std::string SP_STAT_PASS = "<SPStatus result = \"true\">";
const std::string SP_STAT_FAIL = "<SPStatus result = \"false\">";
const std::string SP_STAT_TAIL = "</SPStatus>";
const std::string DEV_COMP_HEAD = "<Device componentID=\"";
const std::string DISPLAY_1 = "\" display=\"";
const std::string DISPLAY_2 = "\" display=\"";
const std::string AGENT_ID = "\" AgentID=\"3\">\n";
const std::string APP_HEAD = "<Application componentType=\"";
const std::string VER_PRESENT = "\" version=\"";
const std::string APP_DEV_TAIL = "\"/>\n</Device>";
const std::string NULL_STRING = "";

namespace {

// Error numbers of the storage layer for a missing IPMI driver and an IPMI
// library that did not start.
const unsigned char kIpmiDriverNotInstalled = 15;
const unsigned char kIpmiLibraryNotStarted = 16;

std::string failureBlock(const std::string& errorText) {
    return SP_STAT_FAIL + INV_FAIL_MSG + errorText + INV_FAIL_MSG_1 + SP_STAT_TAIL;
}

std::string statusBlock(int mode, const std::string& errorText, int veskType,
                        unsigned char lastStorageError) {
    if (lastStorageError == kIpmiDriverNotInstalled || lastStorageError == kIpmiLibraryNotStarted) {
        return failureBlock(errorText);
    }
    if (veskType == 0) {
        return NULL_STRING;
    }
    if (mode == 1) {
        return failureBlock(errorText);
    }
    if (mode == 0) {
        return SP_STAT_PASS + INV_SUCCESS_MSG + SP_STAT_TAIL;
    }
    return NULL_STRING;
}

}  // namespace

std::string WriteDeviceEntry(const std::string& componentId, const std::string& displayName,
                             const std::string& componentType, const std::string& version) {
    return DEV_COMP_HEAD + componentId + DISPLAY_1 + displayName + AGENT_ID + APP_HEAD +
           componentType + VER_PRESENT + version + DISPLAY_2 + displayName + APP_DEV_TAIL;
}

std::string GetInventoryXmlToString(const std::stringstream& entries, int mode,
                                    const std::string& errorText, int veskType,
                                    unsigned char lastStorageError) {
    std::string status = statusBlock(mode, errorText, veskType, lastStorageError);
    return GENERIC_XML_TAG + INV_HEAD_TAG + entries.str() + status + INV_TAIL_TAG;
}
