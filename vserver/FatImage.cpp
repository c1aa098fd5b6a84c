#include "vserver/FatImage.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint64_t kBlockBytes = 1024;  // mkfs.fat counts its size in these
// mkfs.fat refuses volumes this small; mformat (mtools) takes them.
constexpr std::uint64_t kSmallestMkfsVolume = 64 * 1024;
constexpr std::uint64_t kSmallestVolume = 8 * 1024;

// MBR layout.
constexpr std::size_t kSignatureAt = 510;
constexpr unsigned char kSignature[] = {0x55, 0xAA};
constexpr std::size_t kDiskIdAt = 440;
constexpr std::size_t kFirstEntryAt = 446;
constexpr std::size_t kEntryTypeAt = 4;
constexpr std::size_t kEntryStartAt = 8;
constexpr std::size_t kEntryLengthAt = 12;
constexpr unsigned char kLbaOnlyChs[] = {0xFE, 0xFF, 0xFF};
constexpr unsigned char kTypeFat12 = 0x01;
constexpr unsigned char kTypeFat16Lba = 0x0E;
constexpr unsigned char kTypeFat32Lba = 0x0C;
constexpr std::uint32_t kDiskId = 0x56534B31;

// Boot sector bytes that tell FAT apart from a partition table.
constexpr std::size_t kFat1216TypeAt = 54;
constexpr std::size_t kFat32TypeAt = 82;

std::string findTool(const std::string& name) {
    std::vector<std::string> directories;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream list(path);
        std::string entry;
        while (std::getline(list, entry, ':')) {
            directories.push_back(entry);
        }
    }
    // mkfs.fat lives in sbin, which a user's PATH may leave out.
    for (const char* extra : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        directories.push_back(extra);
    }
    for (const std::string& directory : directories) {
        fs::path candidate = fs::path(directory.empty() ? "." : directory) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw FatImageError(name + " is not installed (dosfstools and mtools are needed)");
}

std::vector<std::string> toolEnvironment() {
    std::vector<std::string> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "MTOOLS_SKIP_CHECK=", 18) != 0) {
            variables.push_back(*entry);
        }
    }
    variables.push_back("MTOOLS_SKIP_CHECK=1");
    return variables;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

class Pipe {
public:
    Pipe() {
        if (::pipe2(ends_.data(), O_CLOEXEC) != 0) {
            throw FatImageError(std::string("pipe: ") + std::strerror(errno));
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read() const { return ends_[0]; }
    int write() const { return ends_[1]; }
    void closeRead() { closeEnd(0); }
    void closeWrite() { closeEnd(1); }

private:
    void closeEnd(int end) {
        if (ends_[end] >= 0) {
            ::close(ends_[end]);
            ends_[end] = -1;
        }
    }
    std::array<int, 2> ends_{-1, -1};
};

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Reads both pipes to their ends.
void drain(Pipe& out, Pipe& err, ToolRun& run) {
    std::array<pollfd, 2> fds{pollfd{out.read(), POLLIN, 0}, pollfd{err.read(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&run.output, &run.errors};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t got = ::read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

// Standard input is empty, so a question the tool asks fails instead of
// waiting.
ToolRun runTool(std::vector<std::string> argv) {
    std::string program = findTool(argv[0]);
    std::vector<std::string> environment = toolEnvironment();
    Pipe in, out, err;
    in.closeWrite();
    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), in.read(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), out.write(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), err.write(), STDERR_FILENO);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> env = pointers(environment);
    pid_t child = 0;
    int error =
        posix_spawn(&child, program.c_str(), actions.get(), nullptr, args.data(), env.data());
    if (error != 0) {
        throw FatImageError("cannot run " + program + ": " + std::strerror(error));
    }
    out.closeWrite();
    err.closeWrite();
    ToolRun run;
    drain(out, err, run);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

namespace {

std::string describe(const std::vector<std::string>& argv, const ToolRun& run) {
    std::string line;
    for (const std::string& arg : argv) {
        line += (line.empty() ? "" : " ") + arg;
    }
    return line + " failed (" + std::to_string(run.status) + "): " + run.errors;
}

ToolRun runOrThrow(const std::vector<std::string>& argv) {
    ToolRun run = runTool(argv);
    if (run.status != 0) {
        throw FatImageError(describe(argv, run));
    }
    return run;
}

// "dir/name" (leading slashes dropped) as an mtools name on the volume.
std::string volumeName(const std::string& name) {
    std::string relative = name.substr(std::min(name.find_first_not_of('/'), name.size()));
    if (relative.empty() || relative.find("..") != std::string::npos) {
        throw FatImageError("not a file name on the volume: " + name);
    }
    return "::/" + relative;
}

std::string readBytes(const std::string& path, std::uint64_t offset, std::size_t count) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes(count, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

void putLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

bool hasSignature(const std::string& sector) {
    return sector.size() == kSectorBytes &&
           static_cast<unsigned char>(sector[kSignatureAt]) == kSignature[0] &&
           static_cast<unsigned char>(sector[kSignatureAt + 1]) == kSignature[1];
}

bool namesFat(const std::string& sector) {
    return sector.compare(kFat1216TypeAt, 3, "FAT") == 0 ||
           sector.compare(kFat32TypeAt, 3, "FAT") == 0;
}

// Where the volume starts: small images keep the table close to it.
std::uint64_t partitionStartSector(std::uint64_t sizeBytes) {
    if (sizeBytes >= 64 * 1024 * 1024) {
        return 2048;
    }
    return sizeBytes >= 1024 * 1024 ? 63 : 1;
}

void writeMbr(const std::string& path, std::uint64_t startSector, std::uint64_t sectors,
              unsigned char type) {
    std::string sector(kSectorBytes, '\0');
    putLe32(sector, kDiskIdAt, kDiskId);
    std::size_t entry = kFirstEntryAt;
    std::copy(std::begin(kLbaOnlyChs), std::end(kLbaOnlyChs), sector.begin() + entry + 1);
    sector[entry + kEntryTypeAt] = static_cast<char>(type);
    std::copy(std::begin(kLbaOnlyChs), std::end(kLbaOnlyChs),
              sector.begin() + entry + kEntryTypeAt + 1);
    putLe32(sector, entry + kEntryStartAt, static_cast<std::uint32_t>(startSector));
    putLe32(sector, entry + kEntryLengthAt, static_cast<std::uint32_t>(sectors));
    sector[kSignatureAt] = static_cast<char>(kSignature[0]);
    sector[kSignatureAt + 1] = static_cast<char>(kSignature[1]);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.write(sector.data(), static_cast<std::streamsize>(sector.size()));
    if (!file) {
        throw FatImageError("cannot write the partition table of " + path);
    }
}

unsigned char partitionType(const std::string& bootSector) {
    if (bootSector.compare(kFat32TypeAt, 5, "FAT32") == 0) {
        return kTypeFat32Lba;
    }
    if (bootSector.compare(kFat1216TypeAt, 5, "FAT16") == 0) {
        return kTypeFat16Lba;
    }
    return kTypeFat12;
}

void makeSparseFile(const std::string& path, std::uint64_t sizeBytes) {
    std::error_code ignored;
    fs::remove(path, ignored);
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    std::error_code error;
    fs::resize_file(path, sizeBytes, error);
    if (error) {
        throw FatImageError("cannot make image " + path + ": " + error.message());
    }
}

void format(const std::string& path, std::uint64_t offset, std::uint64_t volumeBytes,
            const std::string& label, FatType type) {
    if (volumeBytes < kSmallestMkfsVolume) {
        std::uint64_t sectors = volumeBytes / kSectorBytes;
        std::string drive = path + "@@" + std::to_string(offset);
        runOrThrow({"mformat", "-i", drive, "-T", std::to_string(sectors), "-h", "1", "-s",
                    std::to_string(sectors), "-v", label, "::"});
        return;
    }
    std::vector<std::string> argv = {"mkfs.fat", "-n", label};
    if (type != FatType::Automatic) {
        argv.insert(argv.end(), {"-F", type == FatType::Fat12   ? "12"
                                       : type == FatType::Fat16 ? "16"
                                                                : "32"});
    }
    if (offset > 0) {
        std::string sectors = std::to_string(offset / kSectorBytes);
        argv.insert(argv.end(), {"--offset", sectors, "-h", sectors});
    }
    argv.insert(argv.end(), {path, std::to_string(volumeBytes / kBlockBytes)});
    runOrThrow(argv);
}

}  // namespace

FatImage::FatImage(std::string path, std::uint64_t offset)
    : path_(std::move(path)), offset_(offset) {}

FatImage FatImage::create(const std::string& path, std::uint64_t sizeBytes,
                          const std::string& label, const FatImageOptions& options) {
    std::uint64_t start = options.partitionTable ? partitionStartSector(sizeBytes) : 0;
    std::uint64_t offset = start * kSectorBytes;
    if (sizeBytes < offset + kSmallestVolume) {
        throw FatImageError("image of " + std::to_string(sizeBytes) + " bytes is too small");
    }
    std::uint64_t volumeBytes = (sizeBytes - offset) / kSectorBytes * kSectorBytes;
    makeSparseFile(path, sizeBytes);
    format(path, offset, volumeBytes, label, options.type);
    if (options.partitionTable) {
        writeMbr(path, start, volumeBytes / kSectorBytes,
                 partitionType(readBytes(path, offset, kSectorBytes)));
    }
    return FatImage(path, offset);
}

std::optional<FatImage::Span> FatImage::firstPartition(const std::string& path) {
    std::string sector = readBytes(path, 0, kSectorBytes);
    if (!hasSignature(sector) || namesFat(sector)) {
        return std::nullopt;
    }
    std::size_t entry = kFirstEntryAt;
    std::uint64_t start = le32(sector, entry + kEntryStartAt);
    std::uint64_t sectors = le32(sector, entry + kEntryLengthAt);
    std::error_code error;
    std::uint64_t size = fs::file_size(path, error);
    if (sector[entry + kEntryTypeAt] == 0 || start == 0 || sectors == 0 || error ||
        (start + sectors) * kSectorBytes > size) {
        return std::nullopt;
    }
    return Span{start * kSectorBytes, sectors * kSectorBytes};
}

FatImage FatImage::open(const std::string& path) {
    std::optional<Span> partition = firstPartition(path);
    return FatImage(path, partition ? partition->offset : 0);
}

std::string FatImage::drive() const {
    return offset_ == 0 ? path_ : path_ + "@@" + std::to_string(offset_);
}

bool FatImage::isFat() const {
    std::string sector = readBytes(path_, offset_, kSectorBytes);
    return hasSignature(sector) && namesFat(sector);
}

std::vector<std::string> FatImage::entries() const {
    // The plain listing fails only on a volume that cannot be read; the bare
    // one fails on an empty volume too.
    runOrThrow({"mdir", "-a", "-i", drive(), "::/"});
    ToolRun run = runTool({"mdir", "-/", "-b", "-a", "-i", drive(), "::/"});
    std::vector<std::string> names;
    std::istringstream lines(run.output);
    std::string line;
    const std::string root = "::/";
    while (std::getline(lines, line)) {
        if (line.size() > root.size() && line.compare(0, root.size(), root) == 0) {
            names.push_back(line.substr(root.size()));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> FatImage::listFiles() const {
    std::vector<std::string> files;
    for (const std::string& name : entries()) {
        if (name.back() != '/') {
            files.push_back(name);
        }
    }
    return files;
}

std::optional<std::string> FatImage::readFile(const std::string& name) const {
    std::string wanted = volumeName(name).substr(3);
    std::vector<std::string> files = listFiles();
    if (std::find(files.begin(), files.end(), wanted) == files.end()) {
        return std::nullopt;
    }
    return runOrThrow({"mcopy", "-n", "-i", drive(), volumeName(name), "-"}).output;
}

void FatImage::writeFile(const std::string& name, const std::string& content) {
    std::string target = volumeName(name);
    for (std::size_t slash = target.find('/', 3); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        runTool({"mmd", "-i", drive(), target.substr(0, slash)});  // fails when it is there
    }
    std::string scratch = (fs::temp_directory_path() / "fatimage-XXXXXX").string();
    int fd = ::mkstemp(scratch.data());
    if (fd < 0) {
        throw FatImageError("cannot make a scratch file for " + name);
    }
    ::close(fd);
    { std::ofstream(scratch, std::ios::binary | std::ios::trunc) << content; }
    ToolRun run = runTool({"mcopy", "-o", "-i", drive(), scratch, target});
    std::error_code ignored;
    fs::remove(scratch, ignored);
    if (run.status != 0) {
        throw FatImageError("cannot write " + name + " into " + path_ + ": " + run.errors);
    }
}

bool FatImage::removeFile(const std::string& name) {
    return runTool({"mdel", "-i", drive(), volumeName(name)}).status == 0;
}

void FatImage::extractTo(const std::string& directory) const {
    if (entries().empty()) {
        return;
    }
    runOrThrow({"mcopy", "-s", "-n", "-m", "-i", drive(), "::/*", directory + "/"});
}

void FatImage::removeEntries(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        bool directory = !name.empty() && name.back() == '/';
        std::string target = volumeName(directory ? name.substr(0, name.size() - 1) : name);
        runOrThrow({directory ? "mdeltree" : "mdel", "-i", drive(), target});
    }
}

void FatImage::makeDirectories(const std::vector<std::string>& names) {
    if (names.empty()) {
        return;
    }
    std::vector<std::string> argv = {"mmd", "-i", drive()};
    for (const std::string& name : names) {
        argv.push_back(volumeName(name.back() == '/' ? name.substr(0, name.size() - 1) : name));
    }
    runOrThrow(argv);
}

void FatImage::writeFiles(const std::vector<std::string>& files, const std::string& directory) {
    if (files.empty()) {
        return;
    }
    std::vector<std::string> argv = {"mcopy", "-o", "-m", "-i", drive()};
    argv.insert(argv.end(), files.begin(), files.end());
    argv.push_back(directory.empty() ? "::/" : volumeName(directory) + "/");
    runOrThrow(argv);
}

void FatImage::replaceFrom(const std::string& directory) {
    if (!entries().empty()) {
        runOrThrow({"mdeltree", "-i", drive(), "::/*"});
    }
    std::vector<std::string> argv = {"mcopy", "-s", "-o", "-m", "-i", drive()};
    std::size_t sources = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        argv.push_back(entry.path().string());
        ++sources;
    }
    if (sources == 0) {
        return;
    }
    argv.push_back("::/");
    runOrThrow(argv);
}
