#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

enum class FatType { Automatic, Fat12, Fat16, Fat32 };

struct FatImageOptions {
    FatType type = FatType::Automatic;
    // The image starts with an MBR partition table whose one partition holds
    // the volume.
    bool partitionTable = false;
};

// A tool could not be run or refused the image.
class FatImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ToolRun {
    int status = -1;
    std::string output;
    std::string errors;
};

// Runs a tool (found in PATH or the sbin directories) with argv, without a
// shell; throws FatImageError when it cannot be started.
ToolRun runTool(std::vector<std::string> argv);

// One FAT volume in an image file, at a byte offset (non-zero behind a
// partition table). Made with mkfs.fat and edited with mtools, run as child
// processes; file names are relative to the volume's root, "/" between
// directories.
class FatImage {
public:
    struct Span {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    explicit FatImage(std::string path, std::uint64_t offset = 0);

    // Creates the image file (replacing one that is there) as a sparse file
    // of sizeBytes holding one empty volume labelled label.
    static FatImage create(const std::string& path, std::uint64_t sizeBytes,
                           const std::string& label, const FatImageOptions& options = {});
    // The volume of an existing image: in its first partition when it has a
    // partition table, else at offset 0.
    static FatImage open(const std::string& path);
    // Where the first partition of the image's partition table lies; nothing
    // when the image has no partition table.
    static std::optional<Span> firstPartition(const std::string& path);

    const std::string& path() const { return path_; }
    std::uint64_t offset() const { return offset_; }

    // The volume starts with a FAT boot sector.
    bool isFat() const;
    // Every file (not directory), sorted; "dir/sub/name".
    std::vector<std::string> listFiles() const;
    std::optional<std::string> readFile(const std::string& name) const;
    // Replaces or creates the file, making its directories.
    void writeFile(const std::string& name, const std::string& content);
    bool removeFile(const std::string& name);
    // Copies every file and directory of the volume into directory.
    void extractTo(const std::string& directory) const;
    // Makes the volume hold exactly what directory holds.
    void replaceFrom(const std::string& directory);

    // Edits for a volume that takes only what changed: names as entries()
    // gives them ("dir/" for a directory). Removes files and whole trees;
    // makes directories (parents first); writes files (host paths) into the
    // volume's directory ("" is the root), replacing those of the same name.
    void removeEntries(const std::vector<std::string>& names);
    void makeDirectories(const std::vector<std::string>& names);
    void writeFiles(const std::vector<std::string>& files, const std::string& directory);

private:
    std::string drive() const;
    // Every file and directory ("dir/" with its slash), sorted.
    std::vector<std::string> entries() const;

    std::string path_;
    std::uint64_t offset_;
};
