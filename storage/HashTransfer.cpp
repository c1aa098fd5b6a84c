#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr unsigned char kHeaderPart = 0x00;
constexpr unsigned char kHashPart = 0x01;
constexpr unsigned char kHashHandOver = 0x10;
constexpr unsigned char kDigestTypeMarked = 3;
constexpr std::size_t kCharactersPerPart = 10;
constexpr int kRecordExchangeParts = 4;

void putHandle(const sessionHandle& session) {
    requestByte(IPMIReqBuf, 1) = static_cast<unsigned char>(session.veskHandle & 0xFF);
    requestByte(IPMIReqBuf, 2) = static_cast<unsigned char>(session.veskHandle >> 8);
}

// Characters [first, first + count) of hash into request bytes from k on;
// a shorter hash leaves the rest zero. Returns them for the log, each
// followed by a blank.
std::string putCharacters(const std::string& hash, std::size_t first, std::size_t count,
                          unsigned k) {
    std::string logged;
    for (std::size_t i = 0; i < count && first + i < hash.size(); ++i) {
        requestByte(IPMIReqBuf, k + static_cast<unsigned>(i)) =
            static_cast<unsigned char>(hash[first + i]);
        logged += hash[first + i];
        logged += ' ';
    }
    return logged;
}

std::string spaced(const std::string& text) {
    std::string result;
    for (char c : text) {
        result += c;
        result += ' ';
    }
    return result;
}

}  // namespace

bool secureVesk::SecureVeskCopy(sessionHandle session, std::string hash,
                                unsigned short fileArgument) {
    clearRecord(IPMIReqBuf);
    putHandle(session);
    requestByte(IPMIReqBuf, 3) = kHeaderPart;
    unsigned short mask = veskPartInfo[0].attachMask;
    requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>(mask & 0xFF);
    requestByte(IPMIReqBuf, 5) = static_cast<unsigned char>(mask >> 8);
    requestByte(IPMIReqBuf, 9) = static_cast<unsigned char>(fileArgument & 0xFF);
    requestByte(IPMIReqBuf, 10) = static_cast<unsigned char>(fileArgument >> 8);
    IPMIRequest(VESK_SECURE_UPDATE, &IPMIReqBuf, 13, 7);
    int status = 0;
    for (int part = 1; part <= kRecordExchangeParts; ++part) {
        clearRecord(IPMIReqBuf);
        putHandle(session);
        requestByte(IPMIReqBuf, 3) = kHashPart;
        std::string logged =
            putCharacters(hash, (part - 1) * kCharactersPerPart, kCharactersPerPart, 4);
        logVeskMsg(__FILE__, __LINE__, "Secure Vesk Copy");
        logVeskMsg(__FILE__, __LINE__, "Part " + std::to_string(part) + " Hash: " + logged);
        status = IPMIRequest(VESK_SECURE_UPDATE, &IPMIReqBuf, 17, 7);
    }
    return status == 0;
}

bool secureVesk::SecureVeskCopyMk13Plus(sessionHandle session, std::string hash, digestType type) {
    logVeskMsg(__FILE__, __LINE__, "input_secupd.xm HASH Value: " + spaced(hash));
    clearRecord(IPMIReqBuf);
    putHandle(session);
    requestByte(IPMIReqBuf, 3) = kHashHandOver;
    requestByte(IPMIReqBuf, 4) = kHeaderPart;
    requestByte(IPMIReqBuf, 5) = type == kDigestTypeMarked ? 0x01 : 0x00;
    if (OEMIPMIRequest(OEM_VESK_COMMAND, VESK_HASH_TRANSFER, &IPMIReqBuf, 8, 8) != 0) {
        logVeskMsg(__FILE__, __LINE__, "HASH header IPMI Command Failed");
        return false;
    }
    return SendHashPart(session, hash);
}

bool secureVesk::SendHashPart(sessionHandle session, std::string hash) {
    logVeskMsg(__FILE__, __LINE__, "Entering SendHashPart()");
    std::size_t parts = hash.size() / kCharactersPerPart + 1;
    int status = 0;
    for (std::size_t part = 0; part < parts; ++part) {
        clearRecord(IPMIReqBuf);
        putHandle(session);
        requestByte(IPMIReqBuf, 3) = kHashHandOver;
        requestByte(IPMIReqBuf, 4) = kHashPart;
        std::string logged = putCharacters(hash, part * kCharactersPerPart, kCharactersPerPart, 5);
        logVeskMsg(__FILE__, __LINE__, "Hash part " + std::to_string(part + 1) + ": " + logged);
        status = OEMIPMIRequest(OEM_VESK_COMMAND, VESK_HASH_TRANSFER, &IPMIReqBuf, 18, 8);
    }
    logVeskMsg(__FILE__, __LINE__, "Exiting SendHashPart()");
    return status == 0;
}
