#include "baseutils/KvoFileUtil.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "baseutils/HostPort.h"
#include "baseutils/ShellArgument.h"
#include "baseutils/UniqueDescriptor.h"

namespace {

const char kTempDirectory[] = "/tmp";
const char kSelfExecutable[] = "/proc/self/exe";
constexpr int kUniqueNameAttempts = 100;
constexpr std::size_t kCommandOutputLimit = 4096;

KvoString fromUTF8(const std::string& text) {
    return KvoString(text.c_str(), KvoString::KvoEncodingUTF8);
}

std::string hostPath(const KvoString& path) {
    return hostPort().resolve(path.GetUTF8String());
}

std::string randomIdentifier() {
    unsigned int a = static_cast<unsigned int>(std::rand());
    unsigned int b = (static_cast<unsigned int>(std::rand()) & 0xFFFu) + 0x4000u;
    unsigned int c = (static_cast<unsigned int>(std::rand()) & 0xFFFu) + 0x4000u;
    unsigned int d = static_cast<unsigned int>(std::rand()) % 16383u + 32768u;
    unsigned int e = static_cast<unsigned int>(std::rand());
    unsigned int f = (static_cast<unsigned int>(std::rand()) & 0xFFFu) + 0x4000u;
    char text[80];
    std::snprintf(text, sizeof(text), "%x-%x-%x-%x-%x%x", a, b, c, d, e, f);
    return text;
}

bool isDirectory(const std::string& path) {
    struct stat info;
    return hostPort().stat(path, &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR;
}

bool sameFile(const std::string& left, const std::string& right) {
    struct stat a;
    struct stat b;
    return hostPort().stat(left, &a) == 0 && hostPort().stat(right, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool isSystemTempDirectory(const std::string& path) {
    return path == kTempDirectory || path == std::string(kTempDirectory) + "/";
}

}  // namespace

KvoString KvoFileUtil::GetSeparator() {
    return fromUTF8("/");
}

std::vector<KvoString> KvoFileUtil::GetReservedNames() {
    return {};
}

std::vector<KvoString> KvoFileUtil::GetIllegalCharacters() {
    std::vector<KvoString> characters;
    for (const char* c : {"\\", "/", "?", "*", "<", "\"", ">", "|"}) {
        characters.push_back(fromUTF8(c));
    }
    return characters;
}

KvoString KvoFileUtil::GetCurrentExecutablePath(bool withFileName) {
    char buffer[256];
    ssize_t length =
        ::readlink(hostPort().resolveEntry(kSelfExecutable).c_str(), buffer, sizeof(buffer) - 1);
    if (length <= 0) {
        return KvoString();
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    if (!withFileName) {
        std::string::size_type slash = path.rfind('/');
        if (slash != std::string::npos) {
            path.erase(slash);
        }
    }
    return fromUTF8(path);
}

KvoFile KvoFileUtil::GetSystemTempDirectory() {
    return KvoFile(fromUTF8(kTempDirectory));
}

bool KvoFileUtil::IsDirectory(const KvoString& path) {
    std::string text = path.GetUTF8String();
    if (!text.empty() && text.back() == '\\') {
        text.pop_back();
    }
    return !text.empty() && isDirectory(text);
}

int KvoFileUtil::DeleteDirectory(KvoFile& directory, bool removeSelf) {
    std::string path = directory.GetPath().GetUTF8String();
    if (path.empty() || !IsDirectory(directory.GetPath())) {
        return 1;
    }
    if (removeSelf) {
        return std::remove(hostPort().resolveEntry(path).c_str()) == 0 ? 0 : 1;
    }
    std::vector<std::string> names;
    hostPort().listDirectory(path, names);
    for (const std::string& name : names) {
        std::remove(hostPort().resolveEntry(path + "/" + name).c_str());
    }
    return 0;
}

KvoFile KvoFileUtil::CreateUniqueDirectory(const KvoString& parent, const KvoString& prefix) {
    if (!IsDirectory(parent)) {
        return KvoFile();
    }
    std::srand(static_cast<unsigned int>(hostPort().now()));
    std::string base = parent.GetUTF8String() + "/" + prefix.GetUTF8String();
    // Calls within the same second start from the same seed; taken names are
    // skipped rather than failing.
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        std::string path = base + randomIdentifier();
        if (hostPort().mkdir(path, 0775) == 0) {
            return KvoFile(fromUTF8(path));
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return KvoFile();
}

KvoFile KvoFileUtil::CreateUniqueTemporaryDirectory() {
    return CreateUniqueDirectory(GetSystemTempDirectory().GetPath(), KvoString());
}

KvoFile KvoFileUtil::CreateUniqueFile(const KvoString& directory, const KvoString& prefix,
                                      const KvoString& extension) {
    if (directory.empty() || !IsDirectory(directory)) {
        return KvoFile();
    }
    std::string pattern = hostPort().resolve(std::string(kTempDirectory) + "/XXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    {
        UniqueDescriptor created(::mkstemp(buffer.data()));
        if (!created.valid()) {
            return KvoFile();
        }
    }
    std::string generated = buffer.data();
    std::string name = prefix.GetUTF8String() + generated.substr(generated.rfind('/') + 1);
    if (!extension.empty()) {
        name += "." + extension.GetUTF8String();
    }
    std::string inTemp = std::string(kTempDirectory) + "/" + name;
    if (::rename(generated.c_str(), hostPort().resolveEntry(inTemp).c_str()) != 0) {
        std::remove(generated.c_str());
        return KvoFile();
    }
    std::string target = directory.GetUTF8String();
    if (isSystemTempDirectory(target)) {
        return KvoFile(fromUTF8(inTemp));
    }
    std::string finalPath = target + "/" + name;
    if (::rename(hostPort().resolveEntry(inTemp).c_str(),
                 hostPort().resolveEntry(finalPath).c_str()) == 0) {
        return KvoFile(fromUTF8(finalPath));
    }
    // Another file system: copy and remove instead.
    if (errno == EXDEV && MoveFile(KvoFile(fromUTF8(inTemp)), KvoFile(fromUTF8(finalPath)), true)) {
        return KvoFile(fromUTF8(finalPath));
    }
    std::remove(hostPort().resolveEntry(inTemp).c_str());
    return KvoFile();
}

KvoFile KvoFileUtil::CreateUniqueTemporaryFile(const KvoString& prefix,
                                               const KvoString& extension) {
    return CreateUniqueFile(GetSystemTempDirectory().GetPath(), prefix, extension);
}

bool KvoFileUtil::RenameFile(KvoFile& file, const KvoString& newName) {
    if (!file.HasPath() || newName.empty() || IsDirectory(file.GetPath()) || !file.Exists()) {
        return false;
    }
    // The new name is one component: no separator, nothing illegal.
    if (!KvoFile(newName).IsValidName() ||
        newName.find(static_cast<unsigned short>('/')) != KvoString::npos) {
        return false;
    }
    KvoString newPath = file.GetParentPath(true);
    newPath.append(newName);
    if (::rename(hostPath(file.GetPath()).c_str(), hostPath(newPath).c_str()) != 0) {
        return false;
    }
    file.SetPath(newPath);
    return true;
}

bool KvoFileUtil::MakeCopyOfFile(const KvoFile& source, const KvoFile& destination,
                                 bool failIfExists) {
    if (!source.HasPath() || !destination.HasPath() || IsDirectory(source.GetPath()) ||
        IsDirectory(destination.GetPath()) || !source.Exists()) {
        return false;
    }
    if (failIfExists && destination.Exists()) {
        return false;
    }
    std::string from = source.GetPath().GetUTF8String();
    std::string to = destination.GetPath().GetUTF8String();
    // Truncating the destination would destroy a source that is the same file.
    if (sameFile(from, to)) {
        return false;
    }
    // Plain files, not devices: opened directly.
    UniqueDescriptor input(open(hostPort().resolve(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (!input.valid()) {
        return false;
    }
    struct stat info;
    if (::fstat(input.get(), &info) != 0) {
        return false;
    }
    UniqueDescriptor output(
        open(hostPort().resolve(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!output.valid()) {
        return false;
    }
    off_t offset = 0;
    while (offset < info.st_size) {
        ssize_t sent = ::sendfile(output.get(), input.get(), &offset,
                                  static_cast<std::size_t>(info.st_size - offset));
        if (sent <= 0) {
            return false;
        }
    }
    return true;
}

bool KvoFileUtil::MoveFile(const KvoFile& source, const KvoFile& destination, bool failIfExists) {
    if (!MakeCopyOfFile(source, destination, failIfExists)) {
        return false;
    }
    KvoFile original(source);
    return original.Delete();
}

bool KvoFileUtil::GetFileNamesInDirectory(const KvoFile& directory, const KvoString& prefix,
                                          const KvoString& pattern, const KvoString& extension,
                                          std::vector<KvoString>& names, bool includeDirectories) {
    std::string path = directory.GetPath().GetUTF8String();
    if (path.empty() || !isDirectory(path)) {
        return false;
    }
    std::string shellPattern =
        prefix.GetUTF8String() + (pattern.empty() ? std::string("*") : pattern.GetUTF8String());
    if (!extension.empty()) {
        shellPattern += "." + extension.GetUTF8String();
    }
    std::vector<std::string> entries;
    if (!hostPort().listDirectory(path, entries)) {
        return false;
    }
    for (const std::string& entry : entries) {
        if (!includeDirectories && isDirectory(path + "/" + entry)) {
            continue;
        }
        if (::fnmatch(shellPattern.c_str(), entry.c_str(), FNM_CASEFOLD) == 0) {
            names.push_back(fromUTF8(entry));
        }
    }
    return true;
}

bool KvoFileUtil::GetFile(const KvoString& source, const KvoFile& destination) {
    if (source.empty() || !destination.HasPath() || IsDirectory(destination.GetPath())) {
        return false;
    }
    KvoFile existing(destination);
    if (existing.Exists() && !existing.Delete()) {
        return false;
    }
    KvoString parent = destination.GetParentPath(false);
    std::string directory =
        parent == destination.GetPath() ? std::string(".") : parent.GetUTF8String();
    // wget ignores -P when -O is given, so -O names the whole destination path.
    std::string command = "wget " + shellArgument(source.GetUTF8String()) + " -P " +
                          shellArgument(directory) + " -O " +
                          shellArgument(destination.GetPath().GetUTF8String());
    std::string output;
    int status = 0;
    if (!hostPort().popen(command, kCommandOutputLimit, output, &status)) {
        return false;
    }
    return status == 0;
}

bool KvoFileUtil::CopyDirectory(const KvoFile& source, const KvoFile& destination, bool recursive,
                                bool useShell) {
    std::string from = source.GetPath().GetUTF8String();
    std::string to = destination.GetPath().GetUTF8String();
    if (from.empty() || to.empty() || !isDirectory(from)) {
        return false;
    }
    if (useShell) {
        return hostPort().system("cp -R " + shellArgument(from) + "/* " + shellArgument(to)) == 0;
    }
    if (!isDirectory(to) && hostPort().system("mkdir -p " + shellQuoted(to)) != 0) {
        return false;
    }
    std::vector<std::string> entries;
    if (!hostPort().listDirectory(from, entries)) {
        return false;
    }
    bool copied = true;
    for (const std::string& entry : entries) {
        KvoFile sourceEntry(fromUTF8(from + "/" + entry));
        KvoFile targetEntry(fromUTF8(to + "/" + entry));
        if (isDirectory(from + "/" + entry)) {
            if (recursive) {
                copied = CopyDirectory(sourceEntry, targetEntry, true, false) && copied;
            }
            continue;
        }
        copied = MakeCopyOfFile(sourceEntry, targetEntry, false) && copied;
    }
    return copied;
}
