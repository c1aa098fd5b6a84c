#pragma once

#include <sstream>
#include <string>

// Fragments of the inventory document, written byte for byte.
extern const std::string GENERIC_XML_TAG;
extern const std::string INV_HEAD_TAG;
extern const std::string INV_SUCCESS_MSG;
extern const std::string INV_FAIL_MSG;
extern const std::string INV_FAIL_MSG_1;
extern const std::string INV_TAIL_TAG;
extern const std::string SP_STAT_PASS;
extern const std::string SP_STAT_FAIL;
extern const std::string SP_STAT_TAIL;
extern const std::string DEV_COMP_HEAD;
extern const std::string DISPLAY_1;
extern const std::string DISPLAY_2;
extern const std::string AGENT_ID;
extern const std::string APP_HEAD;
extern const std::string VER_PRESENT;
extern const std::string APP_DEV_TAIL;
extern const std::string NULL_STRING;

// One Device entry with one Application; values go in unescaped.
std::string WriteDeviceEntry(const std::string& componentId, const std::string& displayName,
                             const std::string& componentType, const std::string& version);

// The complete document around the entries collected in entries. The
// status block depends on the storage layer's last error, the presence
// indicator (veskType) and mode (0 success, 1 failure).
std::string GetInventoryXmlToString(const std::stringstream& entries, int mode,
                                    const std::string& errorText, int veskType,
                                    unsigned char lastStorageError);
