#include "vserver/VolumeMirror.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "tests/support/TestSupport.h"
#include "vserver/Md5Digest.h"
#include "vserver/RecordExchange.h"
#include "vserver/TempDirectory.h"

namespace {

namespace fs = std::filesystem;
using Contents = std::map<std::string, std::string>;  // file name → content

constexpr std::uint64_t kMiB = 1 << 20;

// Bytes this process and the tools it ran have written.
std::uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") {
            return value;
        }
    }
    return 0;
}

std::string randomBytes(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// A file's content as a failed expectation can show it: a long one by its
// digest.
std::string shown(const std::string& content) {
    return content.size() <= 64 ? content : "md5 " + md5Text(content);
}

Contents shown(Contents contents) {
    for (auto& [name, content] : contents) {
        content = shown(content);
    }
    return contents;
}

// What the image holds, read with mtools.
Contents imageContents(const std::string& path) {
    FatImage image = FatImage::open(path);
    Contents contents;
    for (const std::string& name : image.listFiles()) {
        contents[name] = shown(image.readFile(name).value_or("(unreadable)"));
    }
    return contents;
}

Contents treeContents(const std::string& root) {
    Contents contents;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            contents[entry.path().lexically_relative(root).generic_string()] =
                shown(readTextFile(entry.path().string()));
        }
    }
    return contents;
}

class MirrorTest : public ::testing::Test {
protected:
    MirrorTest() {
        FatImage image = FatImage::create(imagePath, 16 * kMiB, "VSK021");
        for (const auto& [name, content] : initial) {
            image.writeFile(name, content);
        }
        mirror = std::make_unique<VolumeMirror>(image, scratch.path() + "/files");
    }

    TempDirectory scratch{"mirror-test"};
    std::string imagePath = scratch.path() + "/partition.img";
    Contents initial = {{"keep.bin", randomBytes(4 * kMiB)},
                        {"change.txt", "aaaa"},
                        {"gone.txt", "old"},
                        {"node", "a file that becomes a directory"},
                        {"tree/a.txt", "a"},
                        {"tree/deep/b.txt", "b"}};
    std::unique_ptr<VolumeMirror> mirror;
};

// Only what changed is written, and a rewrite of the same size right after
// a sync is seen as a change.
TEST_F(MirrorTest, TheImageTakesOnlyWhatChanged) {
    std::string files = mirror->files();
    EXPECT_EQ(shown(initial), treeContents(files));

    writeTextFile(files + "/change.txt", "bbbb");
    mirror->touched();
    mirror->syncImage();
    writeTextFile(files + "/change.txt", "cccc");
    fs::remove(files + "/gone.txt");
    fs::remove_all(files + "/tree");
    fs::remove(files + "/node");
    fs::create_directories(files + "/node");
    writeTextFile(files + "/node/x.txt", "x");
    fs::create_directories(files + "/new/deep");
    writeTextFile(files + "/new/deep/n.txt", "n");
    mirror->touched();
    std::uint64_t before = bytesWritten();
    mirror->syncImage();
    EXPECT_LT(bytesWritten() - before, kMiB);  // keep.bin stays as it is

    Contents expected = {{"keep.bin", initial["keep.bin"]},
                         {"change.txt", "cccc"},
                         {"node/x.txt", "x"},
                         {"new/deep/n.txt", "n"}};
    EXPECT_EQ(shown(expected), imageContents(imagePath));
    EXPECT_EQ(shown(expected), treeContents(mirror->files()));
}

TEST_F(MirrorTest, LentFilesComeBackWithTheirChangesOnlyWhenWrittenBack) {
    std::string mount = scratch.path() + "/mount";
    fs::create_directories(mount);
    ASSERT_TRUE(mirror->lendTo(mount));
    EXPECT_FALSE(mirror->lendTo(mount));  // a second mount gets a copy of its own
    EXPECT_EQ(shown(initial), treeContents(mount));

    writeTextFile(mount + "/change.txt", "lost");
    mirror->takeBack(mount, false);
    EXPECT_TRUE(fs::is_empty(mount));
    EXPECT_EQ(shown(initial), treeContents(mirror->files()));

    ASSERT_TRUE(mirror->lendTo(mount));
    writeTextFile(mount + "/change.txt", "kept");
    fs::remove(mount + "/gone.txt");
    mirror->takeBack(mount, true);
    Contents expected = initial;
    expected["change.txt"] = "kept";
    expected.erase("gone.txt");
    EXPECT_EQ("kept", mirror->readFile("change.txt").value_or(""));
    mirror->syncImage();
    EXPECT_EQ(shown(expected), imageContents(imagePath));
}

// The controller's exchange on a drop box and one static partition (21).
class StagingTest : public MirrorTest {
protected:
    StagingTest() {
        FatImage dropBox = FatImage::create(dropBoxPath, 8 * kMiB, "SECUPD");
        dropBox.writeFile("payload.bin", payload);
        dropBox.writeFile("chunk.bin", "+tail");
        dropBoxMirror = std::make_unique<VolumeMirror>(dropBox, scratch.path() + "/dropbox");
    }

    ExchangeOutcome exchange(const std::string& entries) {
        std::string command = "<?xml version=\"1.0\"?><VESK_Update>" + entries + "</VESK_Update>";
        dropBoxMirror->writeFile("update.xml", command);
        StaticMirrors mirrors = [this](int number) {
            return number == 21 ? partition : std::shared_ptr<VolumeMirror>();
        };
        return carryOutCommandFile(*dropBoxMirror, md5Text(command),
                                   ExchangeScene{records, mirrors, faults, true});
    }

    static std::string entry(const std::string& mode, const std::string& source,
                             const std::string& destination, const std::string& hash = "") {
        return "<File><Mode>" + mode + "</Mode><Source>" + source + "</Source><SourceVESK>" +
               source + "</SourceVESK><Destination>" + destination + "</Destination><Hash>" + hash +
               "</Hash></File>";
    }

    std::string dropBoxPath = scratch.path() + "/dropbox.img";
    std::string payload = randomBytes(64 * 1024);
    std::unique_ptr<VolumeMirror> dropBoxMirror;
    std::shared_ptr<VolumeMirror> partition{std::move(mirror)};
    RecordStore records;
    StagingFaults faults;
};

TEST_F(StagingTest, EveryEntryIsCarriedOutIntoThePartitionAndItsImage) {
    std::string entries = entry("filecopy", "payload.bin", "21/fw/payload.bin", md5Text(payload)) +
                          entry("fileappend", "chunk.bin", "21/change.txt") +
                          entry("filedelete", "", "21/gone.txt") +
                          entry("dirmove", "21/tree", "21/moved") +
                          entry("dirmake", "", "21/made/empty") + entry("dirdelete", "", "21/node");
    ExchangeOutcome outcome = exchange(entries);
    ASSERT_TRUE(outcome.accepted) << outcome.reason;

    Contents expected = {{"keep.bin", initial["keep.bin"]},
                         {"change.txt", "aaaa+tail"},
                         {"fw/payload.bin", payload},
                         {"moved/a.txt", "a"},
                         {"moved/deep/b.txt", "b"}};
    EXPECT_EQ(shown(expected), imageContents(imagePath));
    EXPECT_EQ(shown(expected), treeContents(partition->files()));
    EXPECT_TRUE(fs::is_directory(partition->files() + "/made/empty"));
    // The drop box keeps what the host put there.
    EXPECT_TRUE(dropBoxMirror->readFile("payload.bin") == payload);
}

// A refused entry, or an image without room for the changes, leaves the
// partition as it was: its image and its files.
TEST_F(StagingTest, WhatIsNotCarriedOutWholeLeavesThePartitionAsItWas) {
    const std::string changes =
        entry("filecopy", "payload.bin", "21/tree/a.txt") +
        entry("fileappend", "chunk.bin", "21/change.txt") + entry("filedelete", "", "21/gone.txt") +
        entry("dirmove", "21/tree/deep", "21/deep") + entry("dirmake", "", "21/made/empty");
    struct Case {
        const char* name;
        std::string entries;
        bool corrupt;
    };
    const Case cases[] = {
        {"a digest that does not match",
         changes + entry("filecopy", "payload.bin", "21/x.bin", std::string(32, '0')), false},
        {"a partition the controller does not have",
         changes + entry("filecopy", "payload.bin", "22/x.bin"), false},
        {"a file too large for the partition", changes + entry("filecopy", "big.bin", "21/big.bin"),
         false},
        {"a corrupting controller refused by a later entry",
         changes + entry("fileappend", "chunk.bin", "21/absent.txt"), true},
    };
    FatImage(dropBoxPath).writeFile("big.bin", randomBytes(6 * kMiB));
    FatImage partitionImage(imagePath);
    partitionImage.writeFile("filler.bin", randomBytes(11 * kMiB));
    Contents before = imageContents(imagePath);
    partition->forget();
    dropBoxMirror->forget();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faults.corruptPlacedFiles = c.corrupt;
        ExchangeOutcome outcome = exchange(c.entries);
        EXPECT_FALSE(outcome.accepted);
        EXPECT_EQ(before, imageContents(imagePath));
        EXPECT_EQ(before, treeContents(partition->files()));
        EXPECT_FALSE(fs::exists(partition->files() + "/made"));
    }
}

}  // namespace
