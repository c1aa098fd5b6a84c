#include "vserver/PayloadStaging.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "vserver/Md5Digest.h"

namespace fs = std::filesystem;

namespace {

const char* const kModes[] = {"filecopy",  "fileappend", "filemove", "dirmove",    "filedelete",
                              "dirdelete", "dirmake",    "ssib",     "signedunzip"};
const char* const kPackageDescription = "package.xml";
const char* const kSignatureSuffix = ".sig";

// A relative name that stays inside the directory it is taken in.
bool staysInside(const std::string& name) {
    if (name.empty() || name[0] == '/') {
        return false;
    }
    for (const fs::path& part : fs::path(name)) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

std::string firstLine(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

PayloadStaging::PayloadStaging(VolumeMirror& dropBox, StaticMirrors mirrors, StagingFaults faults)
    : dropBox_(dropBox),
      mirrors_(std::move(mirrors)),
      faults_(faults),
      journal_(fs::path(scratch_.path()) / "aside") {}

// Without finish() nothing stays.
PayloadStaging::~PayloadStaging() {
    if (!finished_) {
        journal_.rollBack();
    }
}

bool PayloadStaging::handles(const std::string& mode) {
    for (const char* known : kModes) {
        if (mode == known) {
            return true;
        }
    }
    return false;
}

// The drop box file name when its digest is hash.
std::optional<std::string> PayloadStaging::checkedDropBoxFile(const std::string& name,
                                                              const std::string& hash,
                                                              std::string& reason) {
    std::string path = dropBox_.files() + "/" + name;
    std::error_code error;
    if (!staysInside(name) || !fs::is_regular_file(fs::symlink_status(path, error))) {
        reason = name + " is not in the drop box";
        return std::nullopt;
    }
    if (!hash.empty() && md5FileText(path) != hash) {
        reason = name + " does not match its digest";
        return std::nullopt;
    }
    return path;
}

// Where a destination lies in its partition's files.
std::optional<std::string> PayloadStaging::partitionPath(const std::string& destination,
                                                         std::string& reason) {
    std::string::size_type slash = destination.find('/');
    std::string number = destination.substr(0, slash);
    std::string inside = slash == std::string::npos ? "" : destination.substr(slash + 1);
    // At most three digits: a partition number is 1 to 256, and a longer
    // one must be refused, not overflow.
    if (number.empty() || number.size() > 3 ||
        number.find_first_not_of("0123456789") != std::string::npos ||
        (!inside.empty() && inside != "." && !staysInside(inside))) {
        reason = "destination " + destination + " names no partition";
        return std::nullopt;
    }
    int partition = std::atoi(number.c_str());
    auto known = changed_.find(partition);
    if (known == changed_.end()) {
        std::shared_ptr<VolumeMirror> mirror = mirrors_(partition);
        if (!mirror) {
            reason = "the controller has no partition " + number;
            return std::nullopt;
        }
        known = changed_.emplace(partition, mirror).first;
    }
    std::string root = known->second->files();
    return inside.empty() || inside == "." ? root : root + "/" + inside;
}

// filecopy copies the checked file from the drop box's files (which stay as
// the host left them), fileappend appends it.
bool PayloadStaging::placeFile(const CommandEntry& entry, std::string& reason) {
    std::optional<std::string> file = checkedDropBoxFile(entry.source, entry.hash, reason);
    if (!file) {
        return false;
    }
    if (entry.mode == "ssib") {
        ssibFiles_.push_back(entry.source);
        return true;
    }
    std::optional<std::string> target = partitionPath(entry.destination, reason);
    if (!target) {
        return false;
    }
    std::error_code error;
    bool append = entry.mode == "fileappend";
    fs::file_status status = fs::symlink_status(*target, error);
    if (append && !fs::is_regular_file(status)) {
        reason = "there is no file to append to";
        return false;
    }
    if (fs::is_directory(status)) {
        reason = "cannot write " + *target + ": it is a directory";
        return false;
    }
    bool done = append ? journal_.appendFile(*file, *target, error)
                       : journal_.putFile(*file, *target, true, error);
    if (done && faults_.corruptPlacedFiles) {
        done = corrupt(*target, error);
    }
    if (!done) {
        reason = "cannot write " + *target + ": " + error.message();
    }
    return done;
}

// The virtual controller's signature of an archive is the archive's digest in
// the signature file. The archive is unpacked aside, then its files and
// directories are put in place (nothing but those: a FAT volume holds no
// links).
bool PayloadStaging::unzipInto(const CommandEntry& entry, std::string& reason) {
    std::optional<std::string> archive = checkedDropBoxFile(entry.source, "", reason);
    std::optional<std::string> signature =
        archive ? checkedDropBoxFile(entry.source + kSignatureSuffix, "", reason) : std::nullopt;
    if (!signature || !checkedDropBoxFile(kPackageDescription, "", reason)) {
        return false;
    }
    if (firstLine(*signature) != md5FileText(*archive)) {
        reason = entry.source + " does not match its signature";
        return false;
    }
    std::optional<std::string> target = partitionPath(entry.destination, reason);
    if (!target) {
        return false;
    }
    fs::path unpacked = fs::path(scratch_.path()) / ("unzip" + std::to_string(++unpacked_));
    ToolRun run = runTool({"unzip", "-o", "-qq", *archive, "-d", unpacked.string()});
    if (run.status != 0) {
        reason = "unzip failed: " + run.errors;
        return false;
    }
    std::error_code error;
    bool done = journal_.makeDirectories(*target, error);
    for (fs::recursive_directory_iterator it(unpacked, error), end; done && !error && it != end;
         it.increment(error)) {
        fs::path placed = fs::path(*target) / it->path().lexically_relative(unpacked);
        fs::file_type type = it->symlink_status().type();
        if (type == fs::file_type::directory) {
            done = journal_.makeDirectories(placed, error);
        } else if (type == fs::file_type::regular) {
            done = journal_.putFile(it->path(), placed, false, error);
        }
    }
    if (!done || error) {
        reason = "cannot unpack " + entry.source + ": " + error.message();
        return false;
    }
    return true;
}

bool PayloadStaging::changeTree(const CommandEntry& entry, std::string& reason) {
    const std::string& mode = entry.mode;
    std::optional<std::string> target = partitionPath(entry.destination, reason);
    if (!target) {
        return false;
    }
    std::error_code error;
    fs::file_status status = fs::symlink_status(*target, error);
    error.clear();
    if (mode == "filemove" || mode == "dirmove") {
        std::optional<std::string> from = partitionPath(entry.sourceVesk, reason);
        if (!from || !fs::exists(fs::symlink_status(*from, error))) {
            reason = "nothing to move at " + entry.sourceVesk;
            return false;
        }
        journal_.move(*from, *target, error);
    } else if (mode == "filedelete") {
        // As remove(3): nothing there is no failure, a directory with
        // something in it is.
        if (fs::is_directory(status) && !fs::is_empty(*target, error)) {
            error = std::make_error_code(std::errc::directory_not_empty);
        } else if (fs::exists(status)) {
            journal_.remove(*target, error);
        }
    } else if (mode == "dirdelete") {
        if (fs::exists(status)) {
            journal_.remove(*target, error);
        }
    } else if (mode == "dirmake") {
        journal_.makeDirectories(*target, error);
    }
    if (error) {
        reason = mode + " " + entry.destination + ": " + error.message();
        return false;
    }
    return true;
}

bool PayloadStaging::carryOut(const CommandEntry& entry, std::string& reason) {
    const std::string& mode = entry.mode;
    if (mode == "signedunzip") {
        return unzipInto(entry, reason);
    }
    if (mode == "filecopy" || mode == "fileappend" || mode == "ssib") {
        return placeFile(entry, reason);
    }
    return changeTree(entry, reason);
}

// An image that cannot take the changes gets the partition's files as they
// were before them.
bool PayloadStaging::finish(std::string& reason) {
    for (auto& [number, mirror] : changed_) {
        mirror->touched();
    }
    try {
        for (auto& [number, mirror] : changed_) {
            mirror->syncImage();
        }
    } catch (const FatImageError& failure) {
        reason = failure.what();
        journal_.rollBack();
        for (auto& [number, mirror] : changed_) {
            mirror->touched();
            mirror->settleImage();
        }
        finished_ = true;
        return false;
    }
    journal_.commit();
    finished_ = true;
    return true;
}

// One byte changed in the middle of the file.
bool PayloadStaging::corrupt(const std::string& path, std::error_code& error) {
    std::uintmax_t size = fs::file_size(path, error);
    if (error || size == 0) {
        return !error;
    }
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(size / 2));
    char byte = 0;
    file.get(byte);
    return journal_.changeByte(path, size / 2, static_cast<char>(byte ^ 0x5A), error);
}
