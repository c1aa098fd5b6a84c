#include "vserver/FatImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TestSupport.h"
#include "vserver/TempDirectory.h"

namespace {

namespace fs = std::filesystem;
using Files = std::vector<std::string>;

struct Layout {
    const char* name;
    std::uint64_t sizeBytes;
    FatImageOptions options;
    const char* typeText;  // what the boot sector names
};

class FatImageLayouts : public ::testing::TestWithParam<Layout> {};

std::string bootSector(const FatImage& image) {
    std::ifstream file(image.path(), std::ios::binary);
    std::string sector(512, '\0');
    file.seekg(static_cast<std::streamoff>(image.offset()));
    file.read(sector.data(), 512);
    return sector;
}

TEST_P(FatImageLayouts, EditsAndCopiesTheVolume) {
    const Layout& layout = GetParam();
    TempDirectory scratch("fatimage-test");
    std::string path = scratch.path() + "/disk.img";
    FatImage image = FatImage::create(path, layout.sizeBytes, "SECUPD", layout.options);

    EXPECT_EQ(layout.sizeBytes, fs::file_size(path));
    EXPECT_EQ(layout.options.partitionTable, FatImage::firstPartition(path).has_value());
    EXPECT_EQ(image.offset(), FatImage::open(path).offset());
    EXPECT_TRUE(image.isFat());
    std::string sector = bootSector(image);
    EXPECT_NE(std::string::npos, sector.find(layout.typeText));
    EXPECT_NE(std::string::npos, sector.find("SECUPD     "));
    EXPECT_TRUE(image.listFiles().empty());

    image.writeFile("update.xml", "<update/>");
    image.writeFile("/logs/deep/run.txt", std::string(5000, 'x'));
    image.writeFile("update.xml", "<update second=\"1\"/>");
    EXPECT_EQ((Files{"logs/deep/run.txt", "update.xml"}), image.listFiles());
    EXPECT_EQ("<update second=\"1\"/>", image.readFile("update.xml").value_or(""));
    EXPECT_EQ(5000u, image.readFile("logs/deep/run.txt").value_or("").size());
    EXPECT_FALSE(image.readFile("logs/deep").has_value());
    EXPECT_FALSE(image.readFile("absent.txt").has_value());

    std::string out = scratch.path() + "/out";
    fs::create_directory(out);
    image.extractTo(out);
    EXPECT_EQ("<update second=\"1\"/>", readTextFile(out + "/update.xml"));
    EXPECT_EQ(std::string(5000, 'x'), readTextFile(out + "/logs/deep/run.txt"));

    fs::remove_all(out + "/logs");
    writeTextFile(out + "/output.xml", "<SVMInventory/>");
    image.replaceFrom(out);
    EXPECT_EQ((Files{"output.xml", "update.xml"}), image.listFiles());
    EXPECT_TRUE(image.removeFile("update.xml"));
    EXPECT_FALSE(image.removeFile("update.xml"));
    EXPECT_EQ((Files{"output.xml"}), image.listFiles());

    fs::remove_all(out);
    fs::create_directory(out);
    image.replaceFrom(out);
    EXPECT_TRUE(image.listFiles().empty());
    image.extractTo(out);
    EXPECT_TRUE(fs::is_empty(out));
}

INSTANTIATE_TEST_SUITE_P(
    FatImage, FatImageLayouts,
    ::testing::Values(Layout{"Tiny", 32768, {}, "FAT12   "},
                      Layout{"Fat12", 1 << 20, {FatType::Fat12, false}, "FAT12   "},
                      Layout{"Fat16Table", 16 << 20, {FatType::Fat16, true}, "FAT16   "},
                      Layout{"Fat32Table", 80 << 20, {FatType::Fat32, true}, "FAT32   "},
                      Layout{"AutomaticTable", 160 << 20, {FatType::Automatic, true}, "FAT"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatImage, RefusesWhatIsNoVolume) {
    TempDirectory scratch("fatimage-test");
    std::string path = scratch.path() + "/blank.img";
    writeTextFile(path, std::string(65536, '\0'));
    FatImage blank(path);
    EXPECT_FALSE(blank.isFat());
    EXPECT_FALSE(FatImage::firstPartition(path).has_value());
    EXPECT_THROW(blank.listFiles(), FatImageError);
    EXPECT_THROW(FatImage::create(scratch.path() + "/small.img", 4096, "SECUPD"), FatImageError);
    FatImage image = FatImage::create(scratch.path() + "/disk.img", 1 << 20, "SECUPD");
    EXPECT_THROW(image.writeFile("../escape.txt", "x"), FatImageError);
}

}  // namespace
