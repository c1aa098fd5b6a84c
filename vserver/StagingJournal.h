#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// The changes a staging makes to partition files in place, each with how to
// take it back: a refused command file leaves the partitions as they were.
// What a change replaces or removes is set aside in a directory of the
// journal's own until commit() or rollBack().
class StagingJournal {
public:
    explicit StagingJournal(std::filesystem::path asideDirectory);
    ~StagingJournal();
    StagingJournal(const StagingJournal&) = delete;
    StagingJournal& operator=(const StagingJournal&) = delete;

    // Each returns false with error set when the change could not be made;
    // what it made of it until then is in the journal.

    // Makes directory and its missing parents.
    bool makeDirectories(const std::filesystem::path& directory, std::error_code& error);
    // Moves file to target (or copies it when keepSource); what was at target
    // is set aside.
    bool putFile(const std::filesystem::path& file, const std::filesystem::path& target,
                 bool keepSource, std::error_code& error);
    bool appendFile(const std::filesystem::path& file, const std::filesystem::path& target,
                    std::error_code& error);
    // Sets the file or tree aside.
    bool remove(const std::filesystem::path& target, std::error_code& error);
    bool move(const std::filesystem::path& from, const std::filesystem::path& to,
              std::error_code& error);
    // Changes one byte of the file in place.
    bool changeByte(const std::filesystem::path& file, std::uint64_t offset, char byte,
                    std::error_code& error);

    // Takes every change back, newest first.
    void rollBack();
    // Keeps the changes and drops what was set aside.
    void commit();

private:
    enum class Undo { Unlink, RemoveDirectory, Restore, Truncate, MoveBack, RestoreByte };
    struct Entry {
        Undo undo;
        std::filesystem::path path;
        std::filesystem::path other;  // where it was set aside, or moved from
        std::uint64_t size = 0;       // length before an append, offset of a byte
        struct timespec modified {};  // before an append or a byte change
        char byte = 0;
    };

    bool setAside(const std::filesystem::path& target, std::error_code& error);
    void undo(const Entry& entry);

    std::filesystem::path aside_;
    unsigned asideCount_ = 0;
    std::vector<Entry> entries_;
};
