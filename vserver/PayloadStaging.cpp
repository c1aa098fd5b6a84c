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

PayloadStaging::PayloadStaging(const FatImage& dropBox, StaticVolumes volumes, StagingFaults faults)
    : dropBox_(dropBox), volumes_(std::move(volumes)), faults_(faults) {}

PayloadStaging::~PayloadStaging() = default;

bool PayloadStaging::handles(const std::string& mode) {
    for (const char* known : kModes) {
        if (mode == known) {
            return true;
        }
    }
    return false;
}

// The drop box file name, extracted, when its digest is hash.
std::optional<std::string> PayloadStaging::checkedDropBoxFile(const std::string& name,
                                                              const std::string& hash,
                                                              std::string& reason) {
    if (!dropBoxExtracted_) {
        fs::create_directories(scratch_.path() + "/dropbox");
        dropBox_.extractTo(scratch_.path() + "/dropbox");
        dropBoxExtracted_ = true;
    }
    std::string path = scratch_.path() + "/dropbox/" + name;
    if (!staysInside(name) || !fs::is_regular_file(path)) {
        reason = name + " is not in the drop box";
        return std::nullopt;
    }
    if (!hash.empty() && md5FileText(path) != hash) {
        reason = name + " does not match its digest";
        return std::nullopt;
    }
    return path;
}

// Where a destination lies in the extracted copy of its partition.
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
    std::string root = scratch_.path() + "/partition" + std::to_string(partition);
    if (changed_.count(partition) == 0) {
        std::optional<FatImage> volume = volumes_(partition);
        if (!volume) {
            reason = "the controller has no partition " + number;
            return std::nullopt;
        }
        fs::create_directories(root);
        volume->extractTo(root);
        changed_.emplace(partition, *volume);
    }
    return inside.empty() || inside == "." ? root : root + "/" + inside;
}

bool PayloadStaging::copyInto(const std::string& from, const std::string& to, bool append,
                              std::string& reason) {
    if (append && !fs::is_regular_file(to)) {
        reason = "there is no file to append to";
        return false;
    }
    std::error_code error;
    fs::create_directories(fs::path(to).parent_path(), error);
    if (!append) {
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
        if (error) {
            reason = "cannot write " + to + ": " + error.message();
            return false;
        }
        return true;
    }
    // Streamed block by block: an empty chunk appends nothing and is no
    // failure (writing an empty stream buffer would set the fail bit).
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::app);
    std::vector<char> block(1 << 20);
    while (in && out) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        out.write(block.data(), in.gcount());
    }
    out.close();
    if (!out || in.bad()) {
        reason = "cannot write " + to;
        return false;
    }
    return true;
}

// The virtual controller's signature of an archive is the archive's digest in
// the signature file.
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
    ToolRun run = runTool({"unzip", "-o", "-qq", *archive, "-d", *target});
    if (run.status != 0) {
        reason = "unzip failed: " + run.errors;
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
        std::optional<std::string> file = checkedDropBoxFile(entry.source, entry.hash, reason);
        if (!file) {
            return false;
        }
        if (mode == "ssib") {
            ssibFiles_.push_back(entry.source);
            return true;
        }
        std::optional<std::string> target = partitionPath(entry.destination, reason);
        if (!target || !copyInto(*file, *target, mode == "fileappend", reason)) {
            return false;
        }
        if (faults_.corruptPlacedFiles) {
            corrupt(*target);
        }
        return true;
    }
    std::optional<std::string> target = partitionPath(entry.destination, reason);
    if (!target) {
        return false;
    }
    std::error_code error;
    if (mode == "filemove" || mode == "dirmove") {
        std::optional<std::string> from = partitionPath(entry.sourceVesk, reason);
        if (!from || !fs::exists(*from)) {
            reason = "nothing to move at " + entry.sourceVesk;
            return false;
        }
        fs::create_directories(fs::path(*target).parent_path());
        fs::rename(*from, *target, error);
    } else if (mode == "filedelete") {
        fs::remove(*target, error);
    } else if (mode == "dirdelete") {
        fs::remove_all(*target, error);
    } else if (mode == "dirmake") {
        fs::create_directories(*target, error);
    }
    if (error) {
        reason = mode + " " + entry.destination + ": " + error.message();
        return false;
    }
    return true;
}

bool PayloadStaging::finish(std::string& reason) {
    for (auto& [number, volume] : changed_) {
        try {
            volume.replaceFrom(scratch_.path() + "/partition" + std::to_string(number));
        } catch (const FatImageError& failure) {
            reason = failure.what();
            return false;
        }
    }
    return true;
}

// One byte changed in the middle of the file.
void PayloadStaging::corrupt(const std::string& path) const {
    std::uintmax_t size = fs::file_size(path);
    if (size == 0) {
        return;
    }
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(size / 2));
    char byte = 0;
    file.get(byte);
    file.seekp(static_cast<std::streamoff>(size / 2));
    file.put(static_cast<char>(byte ^ 0x5A));
}
