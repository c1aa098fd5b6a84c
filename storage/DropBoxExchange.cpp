#include "storage/DropBoxExchange.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"
#include "storage/Md5Wrapper.h"
#include "storage/PyxConfigFile.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/PlatformLayer.h"
#include "storage/partitions/VeskPartInfo.h"
#include "storage/partitions/psu.h"

const std::string updFileName = "update.xml";
const std::string curInvFileName = "output.xml";
const std::string updInvFileName = "input.xml";

namespace {

constexpr std::size_t kPathBufferSize = 1024;

// The digest object of the exchanges, kept for the life of the process.
md5wrapper& exchangeDigest() {
    static md5wrapper digest;
    return digest;
}

}  // namespace

cfgEntry recordEntry(exmlMode mode) {
    cfgEntry entry;
    entry.order = 1;
    entry.mode = mode;
    entry.digest = DIGEST_MD5;
    return entry;
}

std::string singleEntryCommandFile(const cfgEntry& entry) {
    PyxRequest.clear();
    PyxRequest.push_back(entry);
    std::ostringstream command;
    CreatePyxConfigFile(command, PyxRequest);
    return command.str();
}

// Checks run before an exchange starts: a raised error is stored, the
// operation's failure logged, and nothing created needs cleaning up.
bool secureVesk::exchangeAccepted(const char* name, const std::function<void()>& check) {
    return guardRaised(
        false, __FILE__, __LINE__,
        [&] {
            check();
            return true;
        },
        [name](unsigned char) {
            logVeskMsg(__FILE__, __LINE__, std::string(name) + " failed");
            return false;
        });
}

bool secureVesk::recordRequestAccepted(const char* name, exmlMode mode,
                                       std::initializer_list<exmlMode> modes,
                                       const char* noSessionLine) {
    return exchangeAccepted(name, [&] {
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, noSessionLine);
            raiseQuibError(QUIB_NO_SESSION);
        }
        for (exmlMode accepted : modes) {
            if (mode == accepted) {
                return;
            }
        }
        logVeskMsg(__FILE__, __LINE__, "Invalid update Pyx request.");
        raiseQuibError(QUIB_INVALID_RECORD_REQUEST);
    });
}

// The drop box's directory, or a raised 27 with the exchange's texts.
std::string secureVesk::dropBoxDirectory(const char* notFoundLine, const char* emptyLabelLine1,
                                         const char* emptyLabelLine2, const char* foundLine) {
    char buffer[kPathBufferSize] = {};
    if (!getDynPartDrive(dynDriveName, buffer, sizeof(buffer))) {
        logVeskMsg(__FILE__, __LINE__, notFoundLine);
        raiseQuibError(QUIB_MOUNT_NOT_FOUND);
    }
    logVeskMsg(__FILE__, __LINE__, foundLine);
    logVeskMsg(__FILE__, __LINE__, buffer);
    if (veskPartInfo[0].partLabel.empty()) {
        logVeskMsg(__FILE__, __LINE__, emptyLabelLine1);
        if (emptyLabelLine2 != nullptr) {
            logVeskMsg(__FILE__, __LINE__, emptyLabelLine2);
        }
        raiseQuibError(QUIB_MOUNT_NOT_FOUND);
    }
    return buffer;
}

void secureVesk::attachDropBox(unsigned short mask, const char* succeededLine) {
    if (!AttachPartition(0, mask, 0)) {
        logVeskMsg(__FILE__, __LINE__, "AttachPartition failed.");
        raiseQuibError(QUIB_DROPBOX_ATTACH_FAILED);
    }
    logVeskMsg(__FILE__, __LINE__, succeededLine);
}

void secureVesk::detachDropBox(unsigned short mask) {
    if (!DetachPartition(0, mask, 0, false)) {
        logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
        raiseQuibError(QUIB_DETACH_FAILED);
    }
    logVeskMsg(__FILE__, __LINE__, "DetachPartition succeeded");
}

std::string secureVesk::readAnswerFile(const DropBoxExchange& exchange,
                                       const std::string& directory) {
    std::string path = directory + curInvFileName;
    logVeskMsg(__FILE__, __LINE__, "output.xml path: " + path);
    if (!CPlatformLayer::IsFileExistsAbs(path)) {
        logVeskMsg(__FILE__, __LINE__, exchange.answerMissingLine);
        raiseQuibError(QUIB_ANSWER_FILE_MISSING);
    }
    std::ifstream answer(hostPort().resolve(path), std::ios::binary);
    if (!answer.is_open()) {
        logVeskMsg(__FILE__, __LINE__, "Open of output.xml failed.");
        raiseQuibError(QUIB_ANSWER_FILE_MISSING);
    }
    std::string text((std::istreambuf_iterator<char>(answer)), std::istreambuf_iterator<char>());
    text = text.substr(0, text.find('\0'));
    logVeskMsg(__FILE__, __LINE__, exchange.answerContentsLine);
    logVeskMsg(__FILE__, __LINE__, text);
    return text;
}

bool secureVesk::runDropBoxExchange(const DropBoxExchange& exchange, std::string& answer) {
    bool created = false;
    bool exposed = false;  // attached and not yet taken back
    unsigned short mask = 0;
    auto body = [&] {
        std::uint64_t granted = 0;
        if (!CreateDropBox(dynDriveName, exchange.size, &granted)) {
            logVeskMsg(__FILE__, __LINE__, "CreateDropBox failed");
            logVeskMsg(__FILE__, __LINE__, std::string(exchange.name) + " failed");
            return false;
        }
        created = true;
        if (granted < exchange.size) {
            logVeskMsg(__FILE__, __LINE__, exchange.tooSmallLine);
            raiseQuibError(QUIB_DROPBOX_TOO_SMALL);
        }
        mask = veskPartInfo[0].attachMask;
        std::string digest = exchangeDigest().getHashFromString(exchange.commandFile);
        logVeskMsg(__FILE__, __LINE__, digest);

        logVeskMsg(__FILE__, __LINE__, "Initiating the update.");
        attachDropBox(mask, "AttachPartition succeeded");
        exposed = true;
        logVeskMsg(__FILE__, __LINE__, "Finding where the dynamic partition was attached.");
        std::string directory = dropBoxDirectory(
            "Unable to find Mount Point of the Dynamic Partition",
            "Dynamic Partition volumeLabel is empty", "update.xml path could not be constructed",
            "Dynamic Partition Mount Point: ");
        std::string path = directory + updFileName;
        logVeskMsg(__FILE__, __LINE__, "update.xml path: " + path);
        {
            std::ofstream command(hostPort().resolve(path), std::ios::binary | std::ios::trunc);
            logVeskMsg(__FILE__, __LINE__, exchange.hashLine + digest);
            logVeskMsg(__FILE__, __LINE__, exchange.contentLine + exchange.commandFile);
            // A file that cannot be written fails the controller's digest check.
            command << exchange.commandFile;
        }
        exchange.placeFiles(directory);
        syncAll(directory);
        detachDropBox(mask);
        exposed = false;

        if (!SecureVeskCopy(session, digest, 0)) {
            logVeskMsg(__FILE__, __LINE__, "SecureVeskCopy failed");
            raiseQuibError(QUIB_HASH_TRANSFER_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "SecureVeskCopy succeeded");

        if (exchange.readsAnswer) {
            attachDropBox(mask, "AttachPartition succeeded.");
            exposed = true;
            directory = dropBoxDirectory("Dynamic Partition mount point NOT found",
                                         "DynamicPartition volumeLabel empty", nullptr,
                                         "Dynamic Partition mount point: ");
            answer = readAnswerFile(exchange, directory);
            detachDropBox(mask);
            exposed = false;
        }
        if (!DeleteDropBox(0)) {
            logVeskMsg(__FILE__, __LINE__, "Delete Drop Box Failed.");
            raiseQuibError(QUIB_DROPBOX_DELETE_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "Delete Drop Box succeeded.");
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, body, [&](unsigned char error) {
        logVeskMsg(__FILE__, __LINE__, std::string(exchange.name) + " failed");
        // Only the drop box this exchange created is taken back and deleted;
        // the catalogue's row 0 may still name an older one. Whatever the
        // error, an exposed drop box is taken back first (a failed detach is
        // tried once more): the controller will not delete an exposed one.
        if (created) {
            bool mayBeExposed = exposed || error == QUIB_MOUNT_NOT_FOUND ||
                                error == QUIB_ANSWER_FILE_MISSING ||
                                error == QUIB_DROPBOX_ATTACH_FAILED;
            if (mayBeExposed && !DetachPartition(0, mask, 0, false)) {
                logVeskMsg(__FILE__, __LINE__, "DetachPartition Failed.");
            }
            if (!DeleteDropBox(0)) {
                logVeskMsg(__FILE__, __LINE__, "DeleteDropBox Failed.");
            }
        }
        if (error == QUIB_BITLOCKER_POLICY) {
            logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
            if (exchange.passBitLockerOn) {
                raiseQuibError(error);
            }
        }
        return false;
    });
}
