#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>

#include "storage/CompleteCopyFile.h"
#include "storage/PlacementDestination.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"
#include "vserver/ForwardingPort.h"
#include "vserver/Md5Digest.h"
#include "vserver/TempDirectory.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr int kDriverStoreRow = 21;  // VSK021, slot 4 of the default server
constexpr int kDriverStoreSlot = 4;
constexpr int kFirmwareSlot = 5;  // VSK022

class PayloadPlacementTest : public StorageTest {
protected:
    // A payload file of size bytes on the virtual host, written in blocks of
    // a pattern that differs from block to block.
    std::string payload(const std::string& path, std::uint64_t size) {
        fs::path real = server.resolve(path);
        fs::create_directories(real.parent_path());
        std::ofstream file(real, std::ios::binary | std::ios::trunc);
        std::string block(64 * 1024, '\0');
        for (std::uint64_t written = 0, n = 0; written < size; written += block.size(), ++n) {
            for (std::size_t i = 0; i < block.size(); i += 512) {
                block[i] = static_cast<char>(n * 7 + i / 512);
            }
            file.write(block.data(), static_cast<std::streamsize>(
                                         std::min<std::uint64_t>(block.size(), size - written)));
        }
        return path;
    }

    static cfgEntry fileCopy(const std::string& source, const std::string& destination,
                             std::uint64_t size, const std::string& hash) {
        cfgEntry entry;
        entry.mode = EXML_FILECOPY;
        entry.digest = DIGEST_MD5;
        entry.source = source;
        entry.destination = destination;
        entry.fileSize = size;
        entry.hash = hash;
        entry.targetPartition = kDriverStoreRow;
        return entry;
    }

    cfgEntry placedPayload(const std::string& name, const std::string& destination,
                           std::uint64_t size) {
        std::string path = payload("/payload/" + name, size);
        return fileCopy(path, destination, size, md5FileText(server.resolve(path)));
    }

    // The digest of a file of a static partition as the controller holds it.
    std::string placedDigest(int slot, const std::string& name) {
        TempDirectory copy("placed");
        controller.partitionImage(false, slot)->extractTo(copy.path());
        return md5FileText(copy.path() + "/" + name);
    }

    void expectNoDropBoxLeft() {
        EXPECT_EQ(0, controller.storage().dynamicBitmap());
        EXPECT_EQ(0, controller.storage().attachedMask(true));
        EXPECT_EQ(0, controller.storage().attachedMask(false));
    }

    std::size_t count(const std::string& text, const std::string& part) {
        std::size_t found = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1)) {
            ++found;
        }
        return found;
    }
};

}  // namespace

TEST_F(PayloadPlacementTest, PayloadSizes) {
    secureVesk& vesk = layer();
    struct Case {
        std::vector<std::pair<exmlMode, std::uint64_t>> entries;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {{{EXML_FILECOPY, 10 * 1024}, {EXML_FILECOPY, 10 * 1024}}, 0x10000 + eps},
        {{{EXML_FILECOPY, 0x10001}}, 0x18000 + eps},
        {{{EXML_FILECOPY, 0x18000}, {EXML_FILEAPPEND, kMiB}, {EXML_DIRMAKE, kMiB}}, 0x18000 + eps},
        {{{EXML_SIGNEDUNZIP, 3 * kMiB}}, 3 * kMiB + 5 * eps},
        // Sizes of 4 GiB and more count whole.
        {{{EXML_FILECOPY, 5ull << 30}}, (5ull << 30) + eps},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(vesk.StartCopyFile());
        for (const auto& [mode, size] : c.entries) {
            cfgEntry entry;
            entry.mode = mode;
            entry.fileSize = size;
            vesk.exchangeFiles.push_back(entry);
        }
        std::uint64_t size = 0;
        vesk.CalculateAndAdjustPayloadSize(size);
        EXPECT_EQ(c.expected, size);
        // A copy in progress cannot be started again.
        EXPECT_FALSE(vesk.StartCopyFile());
        EXPECT_EQ(QUIB_COPY_ALREADY_STARTED, vesk.lastError);
        EXPECT_EQ(c.entries.size(), vesk.exchangeFiles.size());
        vesk.copyStarted = false;
    }
}

TEST_F(PayloadPlacementTest, TwoSmallFilesGoInOneCycle) {
    secureVesk& vesk = initialised();
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("a.bin", "21/drivers/a.bin", 10 * 1024));
    vesk.exchangeFiles.push_back(placedPayload("b.bin", "21/drivers/net/b.bin", 10 * 1024));
    cfgEntry append = vesk.exchangeFiles[0];
    append.mode = EXML_FILEAPPEND;
    vesk.exchangeFiles.push_back(append);
    std::string hashA = vesk.exchangeFiles[0].hash;
    std::string hashB = vesk.exchangeFiles[1].hash;

    ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    ASSERT_EQ(1u, controller.exchangeOutcomes().size());
    EXPECT_TRUE(controller.exchangeOutcomes()[0].accepted);
    EXPECT_EQ(hashA, placedDigest(kDriverStoreSlot, "drivers/a.bin"));
    EXPECT_EQ(hashB, placedDigest(kDriverStoreSlot, "drivers/net/b.bin"));
    // The drop box asked for: 64 KiB and the margin, in units of 32 KiB.
    Bytes create = controller.requestsFor(storageCommand(0x07)).at(0);
    EXPECT_EQ((0x10000 + eps) / 0x8000, create[3] | (create[4] << 8));
    std::string text = log();
    EXPECT_NE(std::string::npos, text.find("fileappend ignored"));
    EXPECT_NE(std::string::npos, text.find("Copy verification Succeeded"));
    EXPECT_NE(std::string::npos,
              text.find("<Source>drivers/a.bin</Source><Destination>21/drivers/a.bin"
                        "</Destination><Mode>filecopy</Mode>"));
    expectNoDropBoxLeft();
    EXPECT_FALSE(vesk.copyStarted);
    EXPECT_EQ(1, vesk.lastFlag);
}

TEST_F(PayloadPlacementTest, FortyMiBFileGoesInTwoChunksJoinedByTheController) {
    secureVesk& vesk = initialised();
    vesk.maxDropBoxSize = 29 * kMiB;
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("big.img", "21/images/big.img", 40 * kMiB));
    std::string hash = vesk.exchangeFiles[0].hash;

    ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    ASSERT_EQ(2u, controller.exchangeOutcomes().size());
    EXPECT_EQ(hash, placedDigest(kDriverStoreSlot, "images/big.img"));
    std::string text = log();
    EXPECT_NE(std::string::npos, text.find("<Source>FileChunk0</Source><Destination>"
                                           "21/images/big.img</Destination><Mode>filecopy"));
    EXPECT_NE(std::string::npos, text.find("<Source>FileChunk1</Source><Destination>"
                                           "21/images/big.img</Destination><Mode>fileappend"));
    EXPECT_NE(std::string::npos, text.find("Last Split File Chunk"));
    // The second cycle empties the drop box of the first chunk first.
    EXPECT_EQ(2u, server.shell().commandsContaining("rm -f /tmp/SECUPD/FileChunk*").size());
    EXPECT_EQ(40 * kMiB, vesk.exchangeFiles[0].placedBytes);
    EXPECT_EQ(PLACE_PLACED, vesk.exchangeFiles[0].placeState);
    expectNoDropBoxLeft();
}

namespace {

// Counts the bytes the plug-in reads through the host port from the files
// whose paths start with one of the prefixes.
class ReadCounter : public ForwardingPort {
public:
    ReadCounter(HostPort& host, std::vector<std::string> prefixes)
        : ForwardingPort(host), prefixes_(std::move(prefixes)) {}
    int open(const std::string& path, int flags, mode_t mode) override {
        int fd = ForwardingPort::open(path, flags, mode);
        for (const std::string& prefix : prefixes_) {
            if (fd >= 0 && path.rfind(prefix, 0) == 0) {
                counted_.insert(fd);
            }
        }
        return fd;
    }
    int close(int fd) override {
        counted_.erase(fd);
        return ForwardingPort::close(fd);
    }
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override {
        ssize_t got = ForwardingPort::pread(fd, buffer, count, offset);
        if (got > 0 && counted_.count(fd) != 0) {
            bytes += static_cast<std::uint64_t>(got);
        }
        return got;
    }
    std::uint64_t bytes = 0;

private:
    std::vector<std::string> prefixes_;
    std::set<int> counted_;
};

}  // namespace

// Each payload byte is read twice at most: once for the copy, its digest
// built on the way, and once for the verification.
TEST_F(PayloadPlacementTest, AChunkedPayloadIsReadTwiceAtMost) {
    secureVesk& vesk = initialised();
    vesk.maxDropBoxSize = 29 * kMiB;
    ASSERT_TRUE(vesk.StartCopyFile());
    cfgEntry entry = placedPayload("big.img", "21/images/big.img", 40 * kMiB);
    std::string hash = entry.hash;
    entry.hash.clear();  // as the command line hands it over: the placement builds it
    vesk.exchangeFiles.push_back(entry);
    ReadCounter counter(server, {"/payload/", "/tmp/SECUPD/", "/tmp/VSK021/"});
    {
        ScopedHostPort counting(counter);
        ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    }
    EXPECT_EQ(hash, vesk.exchangeFiles[0].hash);
    EXPECT_EQ(hash, placedDigest(kDriverStoreSlot, "images/big.img"));
    EXPECT_LE(counter.bytes, 2 * 40 * kMiB);
    EXPECT_GE(counter.bytes, 2 * 40 * kMiB);  // the copy and the verification
}

TEST_F(PayloadPlacementTest, AFileWithoutRoomLeftGoesIntoTheNextCycle) {
    secureVesk& vesk = initialised();
    vesk.maxDropBoxSize = 3 * kMiB;
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("a.bin", "21/a.bin", 3 * kMiB / 2));
    vesk.exchangeFiles.push_back(placedPayload("b.bin", "21/b.bin", 3 * kMiB / 2));

    ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    EXPECT_EQ(2u, controller.exchangeOutcomes().size());
    EXPECT_EQ(1u, count(log(), "FileSize > AvailableSpace"));
    EXPECT_EQ(vesk.exchangeFiles[0].hash, placedDigest(kDriverStoreSlot, "a.bin"));
    EXPECT_EQ(vesk.exchangeFiles[1].hash, placedDigest(kDriverStoreSlot, "b.bin"));
    expectNoDropBoxLeft();
}

TEST_F(PayloadPlacementTest, FailuresLeaveNoDropBoxBehind) {
    struct Case {
        const char* name;
        std::function<void(ManagementController&, cfgEntry&)> fault;
        unsigned char error;
        const char* logged;
    };
    const Case cases[] = {
        {"the controller corrupts the file",
         [](ManagementController& c, cfgEntry&) {
             c.settings().stagingFaults.corruptPlacedFiles = true;
         },
         QUIB_COPY_VERIFY_FAILED, "The file copied to the vesk did not match the original file."},
        {"the payload's digest is wrong",
         [](ManagementController&, cfgEntry& entry) { entry.hash = std::string(32, '0'); },
         QUIB_HASH_TRANSFER_FAILED, "SecureVeskCopy failed"},
        {"the drop box is not presented",
         [](ManagementController& c, cfgEntry&) {
             c.script().always(storageCommand(0x05), Behaviour::code(0xC1));
         },
         QUIB_MOUNT_NOT_FOUND, "AttachPartition failed"},
        {"the source cannot be read",
         [](ManagementController&, cfgEntry& entry) { entry.source = "/payload/missing"; },
         QUIB_MOUNT_NOT_FOUND, "doCopy failed"},
        // The controller refuses a partition number it cannot read; nothing
        // of it may cross the IPMI device as an exception.
        {"a partition number beyond any",
         [](ManagementController&, cfgEntry& entry) { entry.destination = "99999999999/a.bin"; },
         QUIB_HASH_TRANSFER_FAILED, "SecureVeskCopy failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        secureVesk& vesk = initialised();
        ASSERT_TRUE(vesk.StartCopyFile());
        cfgEntry entry = placedPayload("a.bin", "21/a.bin", 4096);
        c.fault(controller, entry);
        vesk.exchangeFiles.push_back(entry);
        EXPECT_FALSE(vesk.CompleteCopyFile());
        EXPECT_EQ(c.error, vesk.lastError);
        EXPECT_NE(std::string::npos, log().find(c.logged));
        EXPECT_NE(std::string::npos, log().find("copyPayload failed"));
        EXPECT_FALSE(vesk.copyStarted);
        controller.script().clear();
        controller.settings().stagingFaults = {};
        expectNoDropBoxLeft();
    }
}

// The placement is a library function: a destination that would lead out of
// the drop box is refused there too, before anything is sent or copied.
TEST_F(PayloadPlacementTest, ADestinationLeadingOutOfThePartitionIsRefusedBeforeAnythingMoves) {
    for (const char* destination : {"21/../escaped", "21/../../../../../../../escaped",
                                    "21/sub/../../escaped", "21//escaped"}) {
        for (exmlMode mode : {EXML_FILECOPY, EXML_SIGNEDUNZIP}) {
            SCOPED_TRACE(std::string(destination) + (mode == EXML_FILECOPY ? " copy" : " signed"));
            secureVesk& vesk = initialised();
            ASSERT_TRUE(vesk.StartCopyFile());
            cfgEntry entry = placedPayload("a.bin", destination, 4096);
            entry.mode = mode;
            vesk.exchangeFiles.push_back(placedPayload("ok.bin", "21/ok.bin", 4096));
            vesk.exchangeFiles.push_back(entry);
            EXPECT_FALSE(mode == EXML_FILECOPY ? vesk.CompleteCopyFile()
                                               : vesk.CompleteSignedUnzip());
            EXPECT_EQ(QUIB_DESTINATION_OUTSIDE, vesk.lastError);
            EXPECT_TRUE(controller.exchanges().empty());
            EXPECT_NE(std::string::npos,
                      log().find(std::string("Placement destination refused: ") + destination));
            for (const char* escaped : {"/escaped", "/tmp/escaped", "/tmp/SECUPD/escaped"}) {
                EXPECT_FALSE(server.fileExists(escaped)) << escaped;
            }
            EXPECT_FALSE(fs::exists(fs::path(server.root()).parent_path() / "escaped"));
            vesk.copyStarted = false;
        }
    }
}

// The room a file takes on the drop box's FAT volume is whole clusters and
// directory entries, not its bytes: many small files go in as many cycles
// as the volume needs, in the root (a fixed number of entries) and in
// directories (growing by clusters).
TEST_F(PayloadPlacementTest, ManySmallFilesGoInAsManyCyclesAsTheVolumeNeeds) {
    struct Case {
        const char* name;
        unsigned files;
        const char* directory;  // where in the partition
    };
    const Case cases[] = {
        {"500 in the root", 500, ""},
        {"600 in one directory", 600, "many/"},
        {"2500 in a subdirectory", 2500, "drivers/net/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        secureVesk& vesk = initialised();
        std::size_t logged = log().size();
        ASSERT_TRUE(vesk.StartCopyFile());
        // Names of eight characters at most: mtools, which edits the
        // controller's images, takes cubic time to make short names.
        for (unsigned i = 0; i < c.files; ++i) {
            std::string name = "f" + std::to_string(i) + ".bin";
            std::string path = "/payload/" + std::string(c.name).substr(0, 3) + "/" + name;
            server.writeFile(path, "0123456789");
            vesk.exchangeFiles.push_back(fileCopy(path, "21/" + std::string(c.directory) + name, 10,
                                                  md5FileText(server.resolve(path))));
        }
        ASSERT_TRUE(vesk.CompleteCopyFile()) << log().substr(log().size() - 2000);
        std::size_t cycles = controller.exchangeOutcomes().size();
        EXPECT_GT(cycles, 1u);
        for (const auto& outcome : controller.exchangeOutcomes()) {
            EXPECT_TRUE(outcome.accepted) << outcome.reason;
        }
        EXPECT_EQ(c.files, count(log().substr(logged), "Verify Successful"));
        std::cout << c.name << ": " << cycles << " cycles, "
                  << server.clock().elapsedMilliseconds() / 1000 << " s of virtual time\n";
        expectNoDropBoxLeft();
        controller.clearRecord();
    }
}

TEST_F(PayloadPlacementTest, AnEmptyFileIsPlacedAndVerifiedLikeOthers) {
    secureVesk& vesk = initialised();
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("empty.bin", "21/empty.bin", 0));
    vesk.exchangeFiles.push_back(placedPayload("one.bin", "21/one.bin", 1));
    ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    EXPECT_EQ("", controller.readPartitionFile(false, kDriverStoreSlot, "empty.bin"));
    EXPECT_EQ(2u, count(log(), "Verify Successful"));
    expectNoDropBoxLeft();
}

// Whatever fails, by a raised number or any other exception, the drop box
// the placement made is taken back and deleted, and the copy is over.
TEST_F(PayloadPlacementTest, AnInternalErrorStillTakesTheDropBoxAway) {
    secureVesk& vesk = initialised();
    server.shell().addProgram(
        "sync", [](const std::vector<std::string>&, const std::string&) -> ShellResult {
            throw std::runtime_error("the virtual host's sync broke");
        });
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("a.bin", "21/a.bin", 4096));
    EXPECT_FALSE(vesk.CompleteCopyFile());
    EXPECT_EQ(QUIB_INTERNAL_ERROR, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("QUIB internal error"));
    EXPECT_FALSE(vesk.copyStarted);
    expectNoDropBoxLeft();
}

TEST_F(PayloadPlacementTest, SignedPackageIsUnpackedIntoItsPartition) {
    secureVesk& vesk = initialised();
    payload("/payload/src/fw/image.bin", 2048);
    server.writeFile("/payload/src/readme.txt", "firmware\n");
    std::string archive = server.resolve("/payload/fw.zip");
    // zip names the members as given, relative to its current directory.
    std::string sourceDirectory = server.resolve("/payload/src");
    fs::path previous = fs::current_path();
    fs::current_path(sourceDirectory);
    ToolRun zip = runTool({"zip", "-q", "-r", archive, "fw", "readme.txt"});
    fs::current_path(previous);
    ASSERT_EQ(0, zip.status) << zip.errors;
    server.writeFile("/payload/fw.zip.sig", md5FileText(archive) + "\n");
    writeTextFile("package.xml", "<SoftwareComponent/>\n");

    // The signed package path mounts without attaching first: the update
    // driver has had the USB storage driver loaded before.
    ASSERT_EQ(0, server.shell().run("modprobe usb_storage").exitCode);
    ASSERT_TRUE(vesk.StartCopyFile());
    cfgEntry entry;
    entry.mode = EXML_SIGNEDUNZIP;
    entry.source = "/payload/fw.zip";
    entry.destination = "22/fw.zip";
    entry.fileSize = fs::file_size(archive);
    vesk.exchangeFiles.push_back(entry);
    ASSERT_TRUE(vesk.CompleteSignedUnzip()) << log();
    EXPECT_FALSE(vesk.copyStarted);  // the next copy can start
    EXPECT_EQ(md5FileText(server.resolve("/payload/src/fw/image.bin")),
              placedDigest(kFirmwareSlot, "fw/image.bin"));
    EXPECT_EQ("firmware\n", controller.readPartitionFile(false, kFirmwareSlot, "readme.txt"));
    EXPECT_NE(std::string::npos, log().find("EndSecureUpdate succeeded"));
    expectNoDropBoxLeft();

    // A controller that does not answer the processing request: its own
    // error, and the secure update is ended all the same.
    controller.script().always(kSecureProcess, Behaviour::silent());
    EXPECT_FALSE(vesk.CompleteSignedUnzip());
    EXPECT_EQ(QUIB_CONTROLLER_SILENT, vesk.lastError);
    EXPECT_FALSE(controller.secureUpdateSlot().has_value());
    expectNoDropBoxLeft();
    controller.script().clear();

    // A signature that does not match: the controller refuses, the secure
    // update is ended and its drop box goes.
    server.writeFile("/payload/fw.zip.sig", std::string(32, '0') + "\n");
    EXPECT_FALSE(vesk.CompleteSignedUnzip());
    EXPECT_EQ(QUIB_SECURE_UPDATE_PROCESS_FAILED, vesk.lastError);
    EXPECT_FALSE(controller.secureUpdateSlot().has_value());
    expectNoDropBoxLeft();
}

TEST_F(PayloadPlacementTest, TheControllerMovesDeletesAndMakesWhatTheEntriesSay) {
    secureVesk& vesk = initialised();
    for (const char* name : {"old/a.txt", "olddir/b.txt", "gone.txt", "trash/c.txt", "kept.txt"}) {
        controller.writePartitionFile(false, kDriverStoreSlot, name, name);
    }
    std::string ssib = payload("/payload/task.ssib", 512);
    struct Operation {
        exmlMode mode;
        std::string source;
        std::string destination;
    };
    const Operation operations[] = {
        {EXML_DIRMAKE, "", "21/newdir/sub"},
        {EXML_FILEMOVE, "21/old/a.txt", "21/moved/a.txt"},
        {EXML_DIRMOVE, "21/olddir", "21/newplace"},
        {EXML_FILEDELETE, "", "21/gone.txt"},
        {EXML_DIRDELETE, "21/trash", ""},
        {EXML_SSIB, ssib, ""},
    };
    ASSERT_TRUE(vesk.StartCopyFile());
    for (const Operation& operation : operations) {
        cfgEntry entry = fileCopy(operation.source, operation.destination, 0, "");
        entry.mode = operation.mode;
        vesk.exchangeFiles.push_back(entry);
    }
    vesk.exchangeFiles.back().hash = md5FileText(server.resolve(ssib));
    ASSERT_TRUE(vesk.CompleteCopyFile()) << log();
    ASSERT_EQ(1u, controller.exchangeOutcomes().size());
    EXPECT_EQ((std::vector<std::string>{"task.ssib"}), controller.exchangeOutcomes()[0].ssibFiles);
    EXPECT_EQ((std::vector<std::string>{"kept.txt", "moved/a.txt", "newplace/b.txt"}),
              controller.partitionImage(false, kDriverStoreSlot)->listFiles());
    TempDirectory copy("placed");
    controller.partitionImage(false, kDriverStoreSlot)->extractTo(copy.path());
    EXPECT_TRUE(fs::is_directory(copy.path() + "/newdir/sub"));
    expectNoDropBoxLeft();

    // An entry whose partition the catalogue does not have is refused before
    // anything is sent.
    controller.clearRecord();
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("a.bin", "21/a.bin", 100));
    vesk.exchangeFiles.back().targetPartition = 999;
    EXPECT_FALSE(vesk.CompleteCopyFile());
    EXPECT_EQ(QUIB_INVALID_PARTITION, vesk.lastError);
    EXPECT_TRUE(controller.exchanges().empty());
    expectNoDropBoxLeft();
}

// A payload larger than its partition, alone or with the others for it, is
// refused before the first drop box, naming the file, its size, the
// partition and its size.
TEST_F(PayloadPlacementTest, PayloadsLargerThanTheirPartitionAreRefusedUpFront) {
    struct Case {
        std::vector<std::uint64_t> sizes;
        unsigned target;
        unsigned char error;
        const char* problem;
    };
    const Case cases[] = {
        {{256ull << 20},
         21,
         QUIB_PAYLOAD_EXCEEDS_PARTITION,
         "/payload/f0.bin (268435456 bytes) is larger than partition 21 (VSK021) (157286400 "
         "bytes)"},
        {{100ull << 20, 60ull << 20},
         21,
         QUIB_PAYLOAD_EXCEEDS_PARTITION,
         "the files for partition 21 (VSK021) take 167772160 bytes together, more than its "
         "157286400 bytes (the last one is /payload/f1.bin, 62914560 bytes)"},
        {{10},
         5,
         QUIB_INVALID_PARTITION,
         "/payload/f0.bin goes to partition 5 (VSK005), which this controller does not have"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        secureVesk& vesk = initialised();
        ASSERT_TRUE(vesk.StartCopyFile());
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            // Sizes as the entry list gives them; the files need not exist.
            cfgEntry entry = fileCopy("/payload/f" + std::to_string(i) + ".bin",
                                      std::to_string(c.target) + "/f.bin", c.sizes[i], "");
            entry.targetPartition = static_cast<std::uint16_t>(c.target);
            vesk.exchangeFiles.push_back(entry);
        }
        EXPECT_FALSE(vesk.CompleteCopyFile());
        EXPECT_EQ(c.error, vesk.lastError);
        EXPECT_EQ(c.problem, placementFit(vesk.exchangeFiles).problem);
        EXPECT_NE(std::string::npos, log().find(std::string("Placement refused: ") + c.problem));
        EXPECT_TRUE(controller.exchanges().empty());
        EXPECT_FALSE(vesk.copyStarted);
    }
}
