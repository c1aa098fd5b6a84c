#include "storage/CompleteCopyFile.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "baseutils/HostPort.h"
#include "baseutils/PortDescriptor.h"
#include "baseutils/ScopeExit.h"
#include "baseutils/ShellArgument.h"
#include "storage/DoCopy.h"
#include "storage/DropBoxExchange.h"
#include "storage/DropBoxRoom.h"
#include "storage/IPMIRequest.h"
#include "storage/Md5Wrapper.h"
#include "storage/OsType.h"
#include "storage/PlacementDestination.h"
#include "storage/PyxConfigFile.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "storage/partitions/psu.h"

const std::uint64_t eps = 0x100000;
char DynMountPoint[1024] = {};
char targetFilePath[1024] = {};
unsigned int nFileChunkIndex = 0;

namespace {

constexpr std::uint64_t kSmallestDropBox = 0x10000;
constexpr std::uint64_t kDropBoxGranule = 0x8000;
constexpr std::uint64_t kSignedPackageMargins = 4;
constexpr std::size_t kCopyBlockBytes = 1 << 20;
constexpr unsigned kLastChunkNumber = 0xFFFF >> PLACE_CHUNK_SHIFT;
const char* const kChunkName = "FileChunk";
// Where the mounted drop box's device is reached.
const char* const kDropBoxLink = "/dev/secvskupd-SECUPD";

md5wrapper& placementDigest() {
    static md5wrapper digest;
    return digest;
}

// A secure-update step that failed: error 75 when the controller did not
// answer it at all, else the step's own number.
[[noreturn]] void raiseStepError(unsigned char stepError) {
    raiseQuibError(lastRequestUnanswered() ? static_cast<unsigned char>(QUIB_CONTROLLER_SILENT)
                                           : stepError);
}

bool placesFile(exmlMode mode) {
    return mode == EXML_FILECOPY || mode == EXML_FILEAPPEND;
}

// Entries whose destination becomes a path in the drop box or the partition.
bool destinationOnHost(exmlMode mode) {
    return placesFile(mode) || mode == EXML_DIRMAKE || mode == EXML_SIGNEDUNZIP;
}

// Where entry's destination lies in directory; a destination that would
// lead out of it is refused before anything is written there or removed.
std::string confinedTarget(const std::string& directory, const cfgEntry& entry) {
    std::string problem = placementEscapeProblem(entry.destination);
    if (!problem.empty()) {
        logVeskMsg(__FILE__, __LINE__,
                   "Placement destination refused: " + entry.destination + ": " + problem);
        raiseQuibError(QUIB_DESTINATION_OUTSIDE);
    }
    return directory + pathWithinPartition(entry.destination);
}

void requireConfinedDestinations(const std::vector<cfgEntry>& entries) {
    for (const cfgEntry& entry : entries) {
        if (destinationOnHost(entry.mode)) {
            confinedTarget("", entry);
        }
    }
}

std::uint16_t chunkNumber(const cfgEntry& entry) {
    return static_cast<std::uint16_t>(entry.placeState >> PLACE_CHUNK_SHIFT);
}

std::uint16_t stateOf(const cfgEntry& entry) {
    return entry.placeState & PLACE_STATE_BITS;
}

// Writes all of data, or false.
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t wrote = hostPort().write(fd, data, size);
        if (wrote <= 0) {
            return false;
        }
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

// Copies up to count bytes of source from offset on into target through
// the host port, adding every byte to the digests as it goes, so that it is
// read once; the number of bytes copied, 0 when the source cannot be read
// or the target written. Offsets and counts are 64-bit, so files of 2 GiB
// and more are read where they should be.
std::uint64_t copyRange(const std::string& source, std::uint64_t offset, std::uint64_t count,
                        const std::string& target, Md5Stream& chunkDigest, Md5Stream* fileDigest) {
    PortDescriptor in(hostPort().open(source, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        return 0;
    }
    PortDescriptor out(hostPort().open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) {
        return 0;
    }
    std::vector<char> block(kCopyBlockBytes);
    std::uint64_t copied = 0;
    while (copied < count) {
        std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, block.size()));
        ssize_t got =
            hostPort().pread(in.get(), block.data(), wanted, static_cast<off_t>(offset + copied));
        if (got < 0) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        if (!writeAll(out.get(), block.data(), static_cast<std::size_t>(got))) {
            return 0;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
        chunkDigest.add(bytes, static_cast<std::size_t>(got));
        if (fileDigest) {
            fileDigest->add(bytes, static_cast<std::size_t>(got));
        }
        copied += static_cast<std::uint64_t>(got);
    }
    return copied;
}

// doCopy's status: anything but 0 is a failed copy, not only a shell that
// could not be run.
void copyOrRaise(const std::string& mountPoint, const cfgEntry& entry, const char* failedLine) {
    if (entry.mode != EXML_SSIB) {
        confinedTarget(mountPoint, entry);
    }
    if (doCopy(mountPoint, entry.destination, entry.source, entry.mode) != 0) {
        logVeskMsg(__FILE__, __LINE__, failedLine);
        raiseQuibError(QUIB_INTERNAL_ERROR);
    }
}

// The entry's File element of the command file.
std::string elementOrRaise(const cfgEntry& entry, bool sourceFromEntry) {
    std::ostringstream element;
    AddCfgEntry(element, entry, sourceFromEntry);
    if (!element) {
        logVeskMsg(__FILE__, __LINE__, "AddCfgEntry failed");
        raiseQuibError(QUIB_INTERNAL_ERROR);
    }
    return element.str();
}

void addEntryOrRaise(std::ostream& commandFile, const cfgEntry& entry, bool sourceFromEntry) {
    commandFile << elementOrRaise(entry, sourceFromEntry);
}

// What a chunk's File element can take at most: its names, a digest and a
// size in twenty digits.
constexpr std::uint64_t kChunkElementBound = 1024;

// The command file without entries: its header and footer.
std::uint64_t emptyCommandFileBytes() {
    std::ostringstream text;
    AddCfgHdr(text);
    AddCfgFtr(text);
    return text.str().size();
}

const char* modeName(exmlMode mode) {
    switch (mode) {
        case EXML_FILEMOVE:
            return "filemove";
        case EXML_DIRMOVE:
            return "dirmove";
        case EXML_FILEDELETE:
            return "filedelete";
        case EXML_DIRDELETE:
            return "dirdelete";
        case EXML_DIRMAKE:
            return "dirmake";
        case EXML_SSIB:
            return "ssib";
        default:
            return "";
    }
}

// Closes the command file and writes it into the drop box (DynMountPoint),
// flushing the file systems; returns its digest.
std::string closeCommandFile(std::ostringstream& commandFile) {
    AddCfgFtr(commandFile);
    std::string text = commandFile.str();
    logVeskMsg(__FILE__, __LINE__, "update.xml Contents: " + text);
    std::string hash = placementDigest().getHashFromString(text);
    logVeskMsg(__FILE__, __LINE__, "update.xml Hash: " + hash);
    std::string directory = DynMountPoint;
    std::snprintf(targetFilePath, sizeof(targetFilePath), "%s%s", directory.c_str(),
                  updFileName.c_str());
    logVeskMsg(__FILE__, __LINE__, std::string("Dynamic Partition volumeLabel: ") + targetFilePath);
    {
        std::ofstream file(hostPort().resolve(targetFilePath), std::ios::binary | std::ios::trunc);
        file << text;
    }
    hostPort().system("sync");
    syncAll(directory);
    return hash;
}

}  // namespace

bool secureVesk::StartCopyFile() {
    if (copyStarted) {
        storeErrorInfo(QUIB_COPY_ALREADY_STARTED);
        return false;
    }
    exchangeFiles.clear();
    copyStarted = true;
    return true;
}

void secureVesk::CalculateAndAdjustPayloadSize(std::uint64_t& size) {
    for (const cfgEntry& entry : exchangeFiles) {
        if (entry.mode == EXML_FILECOPY || entry.mode == EXML_SIGNEDUNZIP) {
            size += entry.fileSize;
        }
    }
    if (size < kSmallestDropBox) {
        size = kSmallestDropBox;
    } else {
        size = (size + kDropBoxGranule - 1) / kDropBoxGranule * kDropBoxGranule;
    }
    size += eps;
    if (!exchangeFiles.empty() && exchangeFiles.front().mode == EXML_SIGNEDUNZIP) {
        size += kSignedPackageMargins * eps;
    }
}

// Sends the next chunk of entry (number processed) into mountPoint.
void secureVesk::sendChunk(const std::string& mountPoint, std::ostream& commandFile,
                           std::size_t& processed, std::uint64_t room) {
    cfgEntry& entry = exchangeFiles[processed];
    logVeskMsg(__FILE__, __LINE__, "Split File: Creating Chunk");
    nFileChunkIndex = chunkNumber(entry);
    std::string name = kChunkName + std::to_string(nFileChunkIndex);
    std::uint64_t most = room - eps;
    if (dropBoxVolume) {
        most = std::min(most, dropBoxVolume->largestFile(name, kChunkElementBound));
    }
    // Without a digest from the caller, the file's own is built from the
    // chunks as they are copied.
    Md5Stream* fileDigest = nullptr;
    if (entry.hash.empty()) {
        fileDigest = &payloadDigests[processed];
    }
    Md5Stream chunkDigest;
    std::uint64_t read = most == 0 ? 0
                                   : copyRange(entry.source, entry.placedBytes, most,
                                               mountPoint + name, chunkDigest, fileDigest);
    if (read == 0) {
        logVeskMsg(__FILE__, __LINE__, "Could not read file");
        raiseQuibError(QUIB_INTERNAL_ERROR);
    }
    hostPort().system("sync");
    entry.placedBytes += read;
    cfgEntry chunk;
    chunk.order = static_cast<std::int32_t>(processed);
    chunk.mode = nFileChunkIndex == 0 ? EXML_FILECOPY : EXML_FILEAPPEND;
    chunk.digest = DIGEST_MD5;
    chunk.source = name;
    chunk.destination = entry.destination;
    chunk.hash = chunkDigest.text();
    chunk.fileSize = read;
    std::string element = elementOrRaise(chunk, true);
    if (dropBoxVolume) {
        dropBoxVolume->take(name, read, element.size());
    }
    commandFile << element;
    if (entry.placedBytes >= entry.fileSize) {
        entry.placeState = PLACE_PLACED;
        if (fileDigest) {
            entry.hash = fileDigest->text();
            payloadDigests.erase(processed);
        }
        logVeskMsg(__FILE__, __LINE__, "Last Split File Chunk");
        ++processed;
    } else if (nFileChunkIndex + 1 > kLastChunkNumber) {
        // The chunk number would wrap to 0 and the next chunk would replace
        // the file instead of extending it.
        logVeskMsg(__FILE__, __LINE__, "Split File: too many chunks");
        raiseQuibError(QUIB_INTERNAL_ERROR);
    } else {
        entry.placeState = static_cast<std::uint16_t>(((nFileChunkIndex + 1) << PLACE_CHUNK_SHIFT) |
                                                      PLACE_IN_CHUNKS);
    }
    logVeskMsg(__FILE__, __LINE__, "Split File: Chunk " + name);
}

bool secureVesk::populateDynPart(const std::string& mountPoint, std::ostream& commandFile,
                                 std::size_t& processed, std::uint64_t dropBoxSize) {
    auto body = [&] {
        std::uint64_t room = dropBoxSize;
        for (; processed < exchangeFiles.size(); ++processed) {
            cfgEntry& entry = exchangeFiles[processed];
            logVeskMsg(__FILE__, __LINE__, "SrcName: " + entry.source);
            logVeskMsg(__FILE__, __LINE__, "DstName: " + entry.destination);
            std::uint64_t usable = room > eps ? room - eps : 0;
            switch (entry.mode) {
                case EXML_FILECOPY:
                    if (stateOf(entry) == PLACE_IN_CHUNKS || entry.fileSize + eps > dropBoxSize) {
                        // A chunk never takes more than the room left in
                        // this drop box.
                        if (usable > 0) {
                            sendChunk(mountPoint, commandFile, processed, room);
                        }
                        return true;
                    }
                    if (!fitsDropBox(entry, usable)) {
                        logVeskMsg(__FILE__, __LINE__, "FileSize > AvailableSpace");
                        return true;
                    }
                    logVeskMsg(__FILE__, __LINE__, "filecopy");
                    if (entry.hash.empty()) {
                        entry.hash = placementDigest().getHashFromFile(entry.source);
                    }
                    copyOrRaise(mountPoint, entry, "doCopy failed");
                    logVeskMsg(__FILE__, __LINE__, "doCopy succeeded");
                    takeDropBoxRoom(entry, elementOrRaise(entry, false), commandFile);
                    break;
                case EXML_FILEMOVE:
                case EXML_DIRMOVE:
                case EXML_FILEDELETE:
                case EXML_DIRDELETE:
                    logVeskMsg(__FILE__, __LINE__, modeName(entry.mode));
                    addEntryOrRaise(commandFile, entry, false);
                    break;
                case EXML_FILEAPPEND:
                    logVeskMsg(__FILE__, __LINE__, "fileappend ignored");
                    break;
                case EXML_DIRMAKE:
                case EXML_SSIB:
                    logVeskMsg(__FILE__, __LINE__, modeName(entry.mode));
                    copyOrRaise(mountPoint, entry, "doCopy failed");
                    logVeskMsg(__FILE__, __LINE__, "doCopy succeeded");
                    addEntryOrRaise(commandFile, entry, false);
                    break;
                default:
                    logVeskMsg(__FILE__, __LINE__, "Unhandled mode");
                    break;
            }
            entry.placeState = PLACE_PLACED;
            room = entry.fileSize < room ? room - entry.fileSize : 0;
        }
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, body, [](unsigned char) {
        logVeskMsg(__FILE__, __LINE__, "populateDynPart failed");
        return false;
    });
}

// The drop box directory into DynMountPoint, or a raised 27.
void secureVesk::findPlacementDirectory() {
    if (!getDynPartDrive(dynDriveName, DynMountPoint, sizeof(DynMountPoint))) {
        logVeskMsg(__FILE__, __LINE__, "Dynamic Partition Mount Point NOT found");
        raiseQuibError(QUIB_MOUNT_NOT_FOUND);
    }
    logVeskMsg(__FILE__, __LINE__, std::string("Dynamic Partition Mount Point: ") + DynMountPoint);
}

// Whether a whole file fits what is left of this cycle's drop box: in
// bytes, and in the clusters and directory entries of its volume.
bool secureVesk::fitsDropBox(const cfgEntry& entry, std::uint64_t usable) {
    if (entry.fileSize > usable) {
        return false;
    }
    return !dropBoxVolume ||
           dropBoxVolume->fits(pathWithinPartition(entry.destination), entry.fileSize,
                               elementOrRaise(entry, false).size());
}

void secureVesk::takeDropBoxRoom(const cfgEntry& entry, const std::string& element,
                                 std::ostream& commandFile) {
    if (dropBoxVolume) {
        dropBoxVolume->take(pathWithinPartition(entry.destination), entry.fileSize, element.size());
    }
    commandFile << element;
}

// The drop box's volume as its boot sector lays it out, read once per
// placement; without it the room is counted in bytes only.
void secureVesk::measureDropBoxVolume() {
    if (dropBoxVolume || osType == ESXi) {
        return;
    }
    FatGeometry geometry;
    if (!readFatGeometry(kDropBoxLink, geometry) || geometry.clusterBytes == 0) {
        logVeskMsg(__FILE__, __LINE__, "Drop box volume layout unknown; room counted in bytes");
        return;
    }
    logVeskMsg(__FILE__, __LINE__,
               "Drop box volume: " + std::to_string(geometry.clusters) + " clusters of " +
                   std::to_string(geometry.clusterBytes) + " bytes, " +
                   (geometry.rootEntries == 0
                        ? std::string("a growing root directory")
                        : std::to_string(geometry.rootEntries) + " root directory entries"));
    dropBoxVolume = std::make_unique<DropBoxRoom>(geometry);
}

// Removes what earlier cycles left in the drop box.
void secureVesk::emptyDropBox(const std::string& directory, std::size_t processed) {
    for (std::size_t i = 0; i < processed; ++i) {
        if (placesFile(exchangeFiles[i].mode)) {
            std::string target = confinedTarget(directory, exchangeFiles[i]);
            std::remove(hostPort().resolveEntry(target).c_str());
            if (dropBoxVolume) {
                dropBoxVolume->release(pathWithinPartition(exchangeFiles[i].destination));
            }
        }
    }
    hostPort().system("rm -f " + shellArgument(directory + kChunkName) + "*" + " > /dev/null 2>&1");
    if (dropBoxVolume) {
        dropBoxVolume->releaseRootFiles(kChunkName);
        dropBoxVolume->startCommandFile(emptyCommandFileBytes());
    }
}

// One drop box cycle: fill, hand over, let the controller carry it out.
void secureVesk::runPlacementCycle(std::size_t& processed, std::uint64_t granted, bool& exposed) {
    unsigned short mask = veskPartInfo[0].attachMask;
    std::ostringstream commandFile;
    AddCfgHdr(commandFile);
    if (!AttachPartition(0, mask, 0)) {
        logVeskMsg(__FILE__, __LINE__, "AttachPartition failed");
        raiseQuibError(QUIB_MOUNT_NOT_FOUND);
    }
    exposed = true;
    logVeskMsg(__FILE__, __LINE__, "AttachPartition succeeded");
    findPlacementDirectory();
    measureDropBoxVolume();
    emptyDropBox(DynMountPoint, processed);
    std::size_t before = processed;
    std::uint64_t placedBefore = exchangeFiles[before].placedBytes;
    bool filled = populateDynPart(DynMountPoint, commandFile, processed, granted);
    if (!filled || (processed == before && exchangeFiles[before].placedBytes == placedBefore)) {
        // A cycle that moves nothing would be repeated for ever.
        logVeskMsg(__FILE__, __LINE__, "populateDynPart failed");
        raiseQuibError(QUIB_MOUNT_NOT_FOUND);
    }
    std::string hash = closeCommandFile(commandFile);
    if (!DetachPartition(0, mask, 0, false)) {
        logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
        raiseQuibError(QUIB_DETACH_FAILED);
    }
    exposed = false;
    logVeskMsg(__FILE__, __LINE__, "DetachPartition succeeded");
    if (!SecureVeskCopy(session, hash, 0)) {
        logVeskMsg(__FILE__, __LINE__, "SecureVeskCopy failed");
        raiseQuibError(QUIB_HASH_TRANSFER_FAILED);
    }
    logVeskMsg(__FILE__, __LINE__, "SecureVeskCopy succeeded");
}

bool secureVesk::CompleteCopyFile() {
    bool created = false;
    bool exposed = false;
    bool done = false;
    // On every way out but success, whatever failed (a raised number or any
    // other exception): a drop box this copy made is taken back and deleted
    // (the controller will not delete an exposed one), and the copy is over.
    ScopeExit cleanUp([&] {
        if (done) {
            return;
        }
        unsigned char error = lastError;  // the failure reported is the first one
        if (created) {
            removePlacementDropBox(exposed || error == QUIB_MOUNT_NOT_FOUND ||
                                   error == QUIB_DETACH_FAILED || error == QUIB_INTERNAL_ERROR);
        }
        lastError = error;
        copyStarted = false;
    });
    auto body = [&] {
        requireConfinedDestinations(exchangeFiles);
        PlacementFit fit = placementFit(exchangeFiles);
        if (fit.error != 0) {
            logVeskMsg(__FILE__, __LINE__, "Placement refused: " + fit.problem);
            raiseQuibError(fit.error);
        }
        std::uint64_t size = 0;
        CalculateAndAdjustPayloadSize(size);
        if (size > maxDropBoxSize) {
            size = maxDropBoxSize;
        }
        std::uint64_t granted = 0;
        dropBoxVolume.reset();
        payloadDigests.clear();
        if (!CreateDropBox(dynDriveName, size, &granted)) {
            raiseQuibError(QUIB_UPDATE_DROPBOX_FAILED);
        }
        created = true;
        logVeskMsg(__FILE__, __LINE__, "CreateDropBox succeeded");
        for (std::size_t processed = 0; processed < exchangeFiles.size();) {
            runPlacementCycle(processed, granted, exposed);
        }
        if (!DeleteDropBox(0)) {
            logVeskMsg(__FILE__, __LINE__, "DeleteDropBox Failed");
            raiseQuibError(QUIB_DROPBOX_DELETE_FAILED);
        }
        created = false;
        if (!VerifyCopyFiles()) {
            logVeskMsg(__FILE__, __LINE__, "Copy verification Failed");
            raiseQuibError(QUIB_COPY_VERIFY_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "Copy verification Succeeded");
        copyStarted = false;
        done = true;
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, body,
                       [&](unsigned char error) {
                           logVeskMsg(__FILE__, __LINE__, "copyPayload failed");
                           if (error == QUIB_BITLOCKER_POLICY) {
                               logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
                           }
                           if (error == QUIB_UPDATE_DROPBOX_FAILED) {
                               logVeskMsg(__FILE__, __LINE__, "Creat Drop Box Failed");
                           }
                           return false;
                       },
                       {"copyPayload failed", "QUIB internal error"});
}

void secureVesk::removePlacementDropBox(bool mayBeExposed) {
    if (mayBeExposed) {
        bool detached = DetachPartition(0, veskPartInfo[0].attachMask, 0, false);
        logVeskMsg(__FILE__, __LINE__,
                   detached ? "DetachPartition succeeded" : "DetachPartition Failed");
    }
    bool deleted = DeleteDropBox(0);
    logVeskMsg(__FILE__, __LINE__, deleted ? "DeleteDropBox succeeded" : "DeleteDropBox Failed");
}

bool secureVesk::VerifyCopyFiles() {
    std::string label;  // the partition asked for, until it was taken back
    bool done = false;
    // On every way out but success, a partition that was asked for is taken
    // back: an attach that seemed to fail may have been carried out late,
    // and a refused detach is tried once more.
    ScopeExit cleanUp([&] {
        if (done || label.empty()) {
            return;
        }
        unsigned char error = lastError;
        if (!DetachVeskPartition(label) && !DetachVeskPartition(label)) {
            logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
        }
        lastError = error;
    });
    auto body = [&] {
        if (exchangeFiles.empty()) {
            done = true;
            return true;
        }
        std::uint16_t row = exchangeFiles.front().targetPartition;
        // A row the catalogue does not have names no partition.
        label = row < VESK_PART_COUNT ? veskPartInfo[row].partLabel : "";
        if (label.empty() || !AttachVeskPartition(label)) {
            logVeskMsg(__FILE__, __LINE__, "Attach partition failed");
            raiseQuibError(QUIB_ATTACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "AttachPartition succeeded");
        std::string directory;
        if (!getPartDrive(label, directory)) {
            logVeskMsg(__FILE__, __LINE__, "Dynamic Partition Mount Point NOT found");
            raiseQuibError(QUIB_MOUNT_NOT_FOUND);
        }
        logVeskMsg(__FILE__, __LINE__, "Dynamic Partition Mount Point found");
        for (const cfgEntry& entry : exchangeFiles) {
            if (placesFile(entry.mode)) {
                verifyPlacedFile(directory, entry);
            }
        }
        lastFlag = 1;
        if (!DetachVeskPartition(label)) {
            logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
            raiseQuibError(QUIB_DETACH_FAILED);
        }
        done = true;
        logVeskMsg(__FILE__, __LINE__, "DetachPartition succeeded");
        logVeskMsg(__FILE__, __LINE__, "VerifyCopyFiles Succeeded");
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, body,
                       [&](unsigned char error) {
                           logVeskMsg(__FILE__, __LINE__, "Verification failed.");
                           if (error == QUIB_BITLOCKER_POLICY) {
                               logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
                               raiseQuibError(error);
                           }
                           return false;
                       },
                       {"Verification failed.", "QUIB internal error"});
}

void secureVesk::verifyPlacedFile(const std::string& directory, const cfgEntry& entry) {
    logVeskMsg(__FILE__, __LINE__, "Constructing the target file name");
    std::string target = confinedTarget(directory, entry);
    std::string digest = placementDigest().getHashFromFile(target);
    logVeskMsg(__FILE__, __LINE__, "Verifying: " + target);
    if (digest == entry.hash) {
        logVeskMsg(__FILE__, __LINE__, "Verify Successful");
        return;
    }
    logVeskMsg(__FILE__, __LINE__,
               "File: " + entry.destination + "Target File Hash: " + digest +
                   ", Payload File Hash: " + entry.hash);
    logVeskMsg(__FILE__, __LINE__, "The file copied to the vesk did not match the original file.");
    raiseQuibError(QUIB_COPY_VERIFY_FAILED);
}

bool secureVesk::populateDynPart(std::ostream& commandFile) {
    auto body = [&] {
        logVeskMsg(__FILE__, __LINE__, "Entering populateDynPart");
        cfgEntry package = exchangeFiles.front();
        copyOrRaise(DynMountPoint, package, "doCopy of Payload zip failed");
        logVeskMsg(__FILE__, __LINE__, "doCopy of Payload zip succeeded");
        cfgEntry signature = package;
        signature.source += ".sig";
        signature.destination += ".sig";
        copyOrRaise(DynMountPoint, signature, "doCopy of Signature file failed");
        logVeskMsg(__FILE__, __LINE__, "doCopy of Signature file succeeded");
        cfgEntry description = package;
        description.source = "package.xml";
        std::string::size_type separator = package.destination.find_first_of("/\\");
        description.destination =
            (separator == std::string::npos ? std::string()
                                            : package.destination.substr(0, separator + 1)) +
            "package.xml";
        copyOrRaise(DynMountPoint, description, "doCopy of Package XML file failed");
        logVeskMsg(__FILE__, __LINE__, "doCopy of Package XML file succeeded");
        addEntryOrRaise(commandFile, package, false);
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, body, [](unsigned char) {
        logVeskMsg(__FILE__, __LINE__, "populateDynPart failed");
        return false;
    });
}

bool secureVesk::CompleteSignedUnzip() {
    bool begun = false;
    // A secure update that was begun is ended, so that the controller
    // deletes its drop box; the copy is over on every way out.
    ScopeExit cleanUp([&] {
        if (begun) {
            unsigned char error = lastError;
            unmountDynPartition();
            endSecureUpdate(session);
            lastError = error;
        }
        copyStarted = false;
    });
    auto body = [&] {
        logVeskMsg(__FILE__, __LINE__, "CompleteSighnedUnzip Started");
        requireConfinedDestinations(exchangeFiles);
        std::uint64_t size = 0;
        CalculateAndAdjustPayloadSize(size);
        if (osType == ESXi && size < kEsxiDropBoxBytes) {
            size = kEsxiDropBoxBytes;
            logVeskMsg(__FILE__, __LINE__, "Resetting PayloadSize for ESXi");
        }
        if (size > maxDropBoxSize) {
            logVeskMsg(__FILE__, __LINE__, "Payload size exceeds Maximum Dynamic partition size.");
            raiseQuibError(QUIB_PAYLOAD_TOO_LARGE);
        }
        if (!beginSecureUpdate(session, static_cast<unsigned int>(size))) {
            logVeskMsg(__FILE__, __LINE__, "Begin Secure Update failed.");
            raiseStepError(QUIB_SECURE_UPDATE_BEGIN_FAILED);
        }
        begun = true;
        std::ostringstream commandFile;
        AddCfgHdr(commandFile);
        if (!mountDynPartition()) {
            logVeskMsg(__FILE__, __LINE__, "mountDynPartition did not succeed.");
            raiseQuibError(QUIB_MOUNT_NOT_FOUND);
        }
        findPlacementDirectory();
        if (!populateDynPart(commandFile)) {
            raiseQuibError(QUIB_MOUNT_NOT_FOUND);
        }
        std::string hash = closeCommandFile(commandFile);
        if (!unmountDynPartition()) {
            logVeskMsg(__FILE__, __LINE__, "umountDynPartition failed.");
        }
        ESX_RemoveEntries(0, veskPartInfo[0].attachMask, 0);
        if (!processSecureUpdate(session, hash)) {
            logVeskMsg(__FILE__, __LINE__, "processSecureUpdate failed");
            raiseStepError(QUIB_SECURE_UPDATE_PROCESS_FAILED);
        }
        begun = false;
        if (!endSecureUpdate(session)) {
            logVeskMsg(__FILE__, __LINE__, "EndSecureUpdate Failed");
            raiseStepError(QUIB_SECURE_UPDATE_END_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "EndSecureUpdate succeeded");
        return true;
    };
    return guard(false, __FILE__, __LINE__, body);
}
