#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "storage/CompleteCopyFile.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"
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

    // An entry whose partition the catalogue does not have fails the check.
    ASSERT_TRUE(vesk.StartCopyFile());
    vesk.exchangeFiles.push_back(placedPayload("a.bin", "21/a.bin", 100));
    vesk.exchangeFiles.back().targetPartition = 999;
    EXPECT_FALSE(vesk.CompleteCopyFile());
    EXPECT_EQ(QUIB_COPY_VERIFY_FAILED, vesk.lastError);
    expectNoDropBoxLeft();
}
