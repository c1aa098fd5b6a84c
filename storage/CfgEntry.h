#pragma once

#include <cstdint>
#include <string>

// What the controller is to do with one entry of the exchange command file.
enum exmlMode : std::int32_t {
    EXML_NONE = 0,
    EXML_FILECOPY = 1,
    EXML_DIRCOPY = 2,
    EXML_FILEMOVE = 3,
    EXML_DIRMOVE = 4,
    EXML_FILEDELETE = 5,
    EXML_DIRDELETE = 6,
    EXML_FILEAPPEND = 7,
    EXML_DIRMAKE = 8,
    EXML_SSIB = 9,
    EXML_PYX_UPDATE_RECORDS = 10,
    EXML_PYX_UPDATE_ENTIRE_INVENTORY = 11,
    EXML_PYX_QUERY_CURRENT_RECORDS = 12,
    EXML_PYX_QUERY_HISTORY_RECORDS = 13,
    EXML_PYX_QUERY_EVENT_RECORDS = 14,
    EXML_PYX_QUERY_DEPENDENCY = 15,
    EXML_SIGNEDUNZIP = 16,
};

enum digestType : std::int32_t {
    DIGEST_SHA1 = 0,
    DIGEST_MD5 = 1,
    DIGEST_SHA256 = 2,
    DIGEST_GPG = 3,  // a GPG signature, for update staging
};

// One entry of the exchange command file; the numeric members after digest
// travel with the entry for the update path and are never written.
struct cfgEntry {
    std::int32_t order = 0;
    exmlMode mode = EXML_NONE;
    digestType digest = DIGEST_SHA1;
    std::int32_t value1 = 0;
    std::int32_t value2 = 0;
    std::int32_t value3 = 0;
    std::uint64_t fileSize = 0;  // bytes of the source file
    std::int32_t value5 = 0;
    std::uint64_t placedBytes = 0;      // bytes already sent as chunks
    std::uint16_t targetPartition = 0;  // catalogue row of the receiving partition
    std::uint16_t placeState = 0;       // see CompleteCopyFile.h
    std::string source;
    std::string destination;
    std::string hash;
    bool noDestination = false;
    std::int32_t lastValue = 0;
};
