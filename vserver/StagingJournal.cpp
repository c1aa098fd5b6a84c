#include "vserver/StagingJournal.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlockBytes = 1 << 20;

struct timespec modificationTime(const fs::path& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status.st_mtim;
}

void setModificationTime(const fs::path& path, const struct timespec& time) {
    struct timespec times[2] = {{0, UTIME_OMIT}, time};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool present(const fs::path& path) {
    std::error_code ignored;
    return fs::symlink_status(path, ignored).type() != fs::file_type::not_found;
}

// Renamed where it can be, else copied (and the source removed).
void moveOrCopy(const fs::path& from, const fs::path& to, bool keepSource, std::error_code& error) {
    if (!keepSource) {
        fs::rename(from, to, error);
        if (!error) {
            return;
        }
        error.clear();
    }
    fs::copy(from, to, fs::copy_options::recursive, error);
    if (!error && !keepSource) {
        fs::remove_all(from, error);
    }
}

// Streamed block by block: an empty file appends nothing and is no failure.
bool appendBytes(const fs::path& from, const fs::path& to, std::error_code& error) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::app);
    std::vector<char> block(kBlockBytes);
    while (in && out) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        out.write(block.data(), in.gcount());
    }
    out.close();
    if (!in.is_open() || !out || in.bad()) {
        error = std::make_error_code(std::errc::io_error);
        return false;
    }
    return true;
}

}  // namespace

StagingJournal::StagingJournal(fs::path asideDirectory) : aside_(std::move(asideDirectory)) {}

StagingJournal::~StagingJournal() {
    std::error_code ignored;
    fs::remove_all(aside_, ignored);
}

bool StagingJournal::setAside(const fs::path& target, std::error_code& error) {
    if (!present(target)) {
        return true;
    }
    fs::create_directories(aside_, error);
    if (error) {
        return false;
    }
    fs::path kept = aside_ / std::to_string(++asideCount_);
    moveOrCopy(target, kept, false, error);
    if (error) {
        return false;
    }
    entries_.push_back(Entry{Undo::Restore, target, kept});
    return true;
}

bool StagingJournal::makeDirectories(const fs::path& directory, std::error_code& error) {
    std::vector<fs::path> missing;
    for (fs::path path = directory; !path.empty() && !present(path); path = path.parent_path()) {
        missing.push_back(path);
        if (path == path.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        fs::create_directory(*it, error);
        if (error) {
            return false;
        }
        entries_.push_back(Entry{Undo::RemoveDirectory, *it, {}});
    }
    std::error_code ignored;
    if (!fs::is_directory(fs::symlink_status(directory, ignored))) {
        error = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

bool StagingJournal::putFile(const fs::path& file, const fs::path& target, bool keepSource,
                             std::error_code& error) {
    if (!makeDirectories(target.parent_path(), error) || !setAside(target, error)) {
        return false;
    }
    moveOrCopy(file, target, keepSource, error);
    entries_.push_back(Entry{Undo::Unlink, target, {}});
    return !error;
}

bool StagingJournal::appendFile(const fs::path& file, const fs::path& target,
                                std::error_code& error) {
    std::uint64_t size = fs::file_size(target, error);
    if (error) {
        return false;
    }
    Entry entry{Undo::Truncate, target, {}, size};
    entry.modified = modificationTime(target);
    entries_.push_back(entry);
    return appendBytes(file, target, error);
}

bool StagingJournal::remove(const fs::path& target, std::error_code& error) {
    if (!present(target)) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    return setAside(target, error);
}

bool StagingJournal::move(const fs::path& from, const fs::path& to, std::error_code& error) {
    if (!makeDirectories(to.parent_path(), error) || !setAside(to, error)) {
        return false;
    }
    fs::rename(from, to, error);
    if (error) {
        return false;
    }
    entries_.push_back(Entry{Undo::MoveBack, to, from});
    return true;
}

bool StagingJournal::changeByte(const fs::path& file, std::uint64_t offset, char byte,
                                std::error_code& error) {
    std::fstream stream(file, std::ios::binary | std::ios::in | std::ios::out);
    Entry entry{Undo::RestoreByte, file, {}, offset};
    entry.modified = modificationTime(file);
    stream.seekg(static_cast<std::streamoff>(offset));
    if (!stream.get(entry.byte)) {
        error = std::make_error_code(std::errc::io_error);
        return false;
    }
    entries_.push_back(entry);
    stream.seekp(static_cast<std::streamoff>(offset));
    stream.put(byte);
    return true;
}

void StagingJournal::undo(const Entry& entry) {
    std::error_code ignored;
    switch (entry.undo) {
        case Undo::Unlink:
            fs::remove_all(entry.path, ignored);
            break;
        case Undo::RemoveDirectory:
            fs::remove(entry.path, ignored);
            break;
        case Undo::Restore:
            fs::remove_all(entry.path, ignored);
            moveOrCopy(entry.other, entry.path, false, ignored);
            break;
        case Undo::Truncate:
            fs::resize_file(entry.path, entry.size, ignored);
            setModificationTime(entry.path, entry.modified);
            break;
        case Undo::MoveBack:
            fs::rename(entry.path, entry.other, ignored);
            break;
        case Undo::RestoreByte: {
            std::fstream stream(entry.path, std::ios::binary | std::ios::in | std::ios::out);
            stream.seekp(static_cast<std::streamoff>(entry.size));
            stream.put(entry.byte);
            stream.close();
            setModificationTime(entry.path, entry.modified);
            break;
        }
    }
}

void StagingJournal::rollBack() {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        undo(*it);
    }
    entries_.clear();
    std::error_code ignored;
    fs::remove_all(aside_, ignored);
}

void StagingJournal::commit() {
    entries_.clear();
    std::error_code ignored;
    fs::remove_all(aside_, ignored);
}
