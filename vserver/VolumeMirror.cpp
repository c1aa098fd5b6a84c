#include "vserver/VolumeMirror.h"

#include <sys/stat.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "vserver/DirectoryMoves.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNanoseconds = 1000000000;
// FAT keeps modification times to two seconds.
constexpr std::int64_t kFatTimeStep = 2;

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanoseconds + time.tv_nsec;
}

// A name inside the volume, as a path below root; nothing for one that would
// leave it.
std::optional<fs::path> inside(const std::string& root, const std::string& name) {
    fs::path relative = fs::path(name).relative_path();
    if (relative.empty()) {
        return std::nullopt;
    }
    for (const fs::path& part : relative) {
        if (part == "..") {
            return std::nullopt;
        }
    }
    return fs::path(root) / relative;
}

// The file's time as the volume keeps it. A write after the sync then shows
// as a change even within the same clock tick.
void roundModificationTime(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return;
    }
    struct timespec times[2] = {{0, UTIME_OMIT},
                                {status.st_mtim.tv_sec / kFatTimeStep * kFatTimeStep, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

bool VolumeMirror::Stamp::operator==(const Stamp& other) const {
    return directory == other.directory &&
           (directory ||
            (inode == other.inode && size == other.size && modified == other.modified));
}

VolumeMirror::VolumeMirror(FatImage volume, std::string directory)
    : volume_(std::move(volume)), directory_(std::move(directory)) {}

VolumeMirror::~VolumeMirror() {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

// Regular files and directories only: a FAT volume holds nothing else, and a
// link is never followed into it.
VolumeMirror::Tree VolumeMirror::scan(const std::string& root) {
    Tree tree;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        struct stat status {};
        if (::lstat(it->path().c_str(), &status) != 0) {
            continue;
        }
        std::string name = it->path().lexically_relative(root).generic_string();
        if (S_ISDIR(status.st_mode)) {
            tree[name + "/"] = Stamp{true, 0, 0, 0};
        } else if (S_ISREG(status.st_mode)) {
            tree[name] = Stamp{false, status.st_ino, static_cast<std::uint64_t>(status.st_size),
                               nanoseconds(status.st_mtim)};
        }
    }
    return tree;
}

void VolumeMirror::extract() {
    fs::create_directories(directory_);
    clearDirectory(directory_);
    volume_.extractTo(directory_);
    image_ = scan(directory_);
    present_ = true;
    ahead_ = false;
}

void VolumeMirror::dropFiles() {
    clearDirectory(directory_);
    image_.clear();
    present_ = false;
    ahead_ = false;
}

std::string VolumeMirror::files() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) {
        extract();
    }
    return directory_;
}

void VolumeMirror::touched() {
    std::lock_guard<std::mutex> lock(mutex_);
    ahead_ = present_;
}

void VolumeMirror::syncImage() {
    std::lock_guard<std::mutex> lock(mutex_);
    syncLocked();
}

void VolumeMirror::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropFiles();
    wholeImage_ = false;
    lentValid_ = false;
}

void VolumeMirror::settleImage() {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        syncLocked();
    } catch (const FatImageError&) {
        dropFiles();
        wholeImage_ = false;
    }
}

void VolumeMirror::syncLocked() {
    if (!present_ || !ahead_) {
        return;
    }
    Tree now = scan(directory_);
    try {
        if (wholeImage_) {
            volume_.replaceFrom(directory_);
        } else {
            writeChanges(now);
        }
    } catch (...) {
        wholeImage_ = true;
        throw;
    }
    for (const auto& [name, stamp] : now) {
        auto before = image_.find(name);
        if (!stamp.directory &&
            (wholeImage_ || before == image_.end() || !(before->second == stamp))) {
            roundModificationTime(fs::path(directory_) / name);
        }
    }
    image_ = scan(directory_);
    ahead_ = false;
    wholeImage_ = false;
}

// What the image holds and the files do not goes (a removed directory with
// all below it), then new directories are made and new or changed files
// written, those of one directory in one go.
void VolumeMirror::writeChanges(const Tree& now) {
    std::vector<std::string> removed;
    std::string removedTree;
    for (const auto& [name, stamp] : image_) {
        if (!removedTree.empty() && name.compare(0, removedTree.size(), removedTree) == 0) {
            continue;
        }
        auto kept = now.find(name);
        if (kept == now.end() || kept->second.directory != stamp.directory) {
            removed.push_back(name);
            removedTree = stamp.directory ? name : "";
        }
    }
    std::vector<std::string> directories;
    std::map<std::string, std::vector<std::string>> written;  // by directory in the volume
    for (const auto& [name, stamp] : now) {
        auto before = image_.find(name);
        bool same = before != image_.end() && before->second == stamp;
        if (same) {
            continue;
        }
        if (stamp.directory) {
            directories.push_back(name);
        } else {
            std::string parent = fs::path(name).parent_path().generic_string();
            written[parent].push_back((fs::path(directory_) / name).string());
        }
    }
    volume_.removeEntries(removed);
    volume_.makeDirectories(directories);
    for (const auto& [parent, paths] : written) {
        volume_.writeFiles(paths, parent);
    }
}

std::optional<std::string> VolumeMirror::readFile(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) {
        return volume_.readFile(name);
    }
    std::optional<fs::path> path = inside(directory_, name);
    std::error_code error;
    if (!path || !fs::is_regular_file(fs::symlink_status(*path, error))) {
        return std::nullopt;
    }
    std::ifstream file(*path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void VolumeMirror::writeFile(const std::string& name, const std::string& content) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) {
        volume_.writeFile(name, content);
        return;
    }
    std::optional<fs::path> path = inside(directory_, name);
    if (!path) {
        throw FatImageError("not a file name on the volume: " + name);
    }
    fs::create_directories(path->parent_path());
    std::ofstream(*path, std::ios::binary | std::ios::trunc) << content;
    ahead_ = true;
}

// Files the image cannot take give way to what it holds.
bool VolumeMirror::lendTo(const std::string& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lentTo_.empty()) {
        return false;
    }
    if (present_) {
        try {
            syncLocked();
        } catch (const FatImageError&) {
            dropFiles();
        }
    }
    if (!present_) {
        extract();
    }
    moveEntries(directory_, directory);
    lent_ = image_;
    lentValid_ = true;
    lentTo_ = directory;
    image_.clear();
    present_ = false;
    return true;
}

// The files come back as they were lent, or as the mount left them: with
// writeBack that is what the image gets at the next sync (whatever the
// mirror got meanwhile gives way); without, changed files are dropped.
void VolumeMirror::takeBack(const std::string& directory, bool writeBack) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tree returned = scan(directory);
    bool known = lentValid_;
    bool unchanged = known && returned == lent_;
    Tree lent = std::move(lent_);
    lent_.clear();
    lentTo_.clear();
    if (!present_ && unchanged) {
        moveEntries(directory, directory_);
        image_ = std::move(lent);
        present_ = true;
        ahead_ = false;
        return;
    }
    if (!writeBack) {
        clearDirectory(directory);
        return;
    }
    if (!present_) {
        image_ = std::move(lent);
        wholeImage_ = wholeImage_ || !known;
    }
    clearDirectory(directory_);
    moveEntries(directory, directory_);
    present_ = true;
    ahead_ = true;
}
