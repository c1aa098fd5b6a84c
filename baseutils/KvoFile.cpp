#include "baseutils/KvoFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "baseutils/HostPort.h"
#include "baseutils/KvoFileUtil.h"
#include "baseutils/ShellArgument.h"

namespace {

const unsigned short kSlash = '/';
const unsigned short kDot = '.';

// Where a path lies on the host; system paths map through the host port.
std::string hostPath(const KvoString& path) {
    return hostPort().resolve(path.GetUTF8String());
}

// The directory that holds path: "." for a bare name, "/" for a top-level
// entry. One trailing "/" is ignored.
KvoString containingDirectory(const KvoString& path) {
    KvoString text = path;
    if (text.size() > 1 && text.back() == kSlash) {
        text.pop_back();
    }
    KvoString::size_type slash = text.rfind(kSlash);
    if (slash == KvoString::npos) {
        return KvoString(".", KvoString::KvoEncodingUTF8);
    }
    if (slash == 0) {
        return KvoString("/", KvoString::KvoEncodingUTF8);
    }
    return text.SubString(0, slash);
}

void setError(KvoErrorCodeEnum* error, KvoErrorCodeEnum value) {
    if (error) {
        *error = value;
    }
}

}  // namespace

KvoFile::KvoFile() = default;

KvoFile::KvoFile(const KvoString& path) : mPath(path) {}

KvoFile::KvoFile(const KvoFile& other) : mPath(other.mPath) {}

KvoFile& KvoFile::operator=(const KvoFile& other) {
    mPath = other.mPath;
    return *this;
}

KvoFile::~KvoFile() = default;

bool KvoFile::operator==(const KvoFile& other) const {
    return static_cast<const KvoString::Units&>(mPath) ==
           static_cast<const KvoString::Units&>(other.mPath);
}

bool KvoFile::operator!=(const KvoFile& other) const {
    return !(*this == other);
}

bool KvoFile::HasPath() const {
    return !mPath.empty();
}

KvoString KvoFile::GetPath() const {
    return mPath;
}

int KvoFile::SetPath(const KvoString& path) {
    mPath = path;
    return 0;
}

bool KvoFile::Exists() const {
    if (mPath.empty()) {
        return false;
    }
    struct stat info;
    return hostPort().stat(mPath.GetUTF8String(), &info) == 0;
}

bool KvoFile::IsDirectory() const {
    return !mPath.empty() && KvoFileUtil::IsDirectory(mPath);
}

bool KvoFile::Touch() const {
    if (mPath.empty() || !Exists() || IsDirectory()) {
        return false;
    }
    hostPort().system("touch -c " + shellArgument(mPath.GetUTF8String()));
    return true;
}

unsigned long long KvoFile::GetSize() const {
    if (mPath.empty()) {
        return 0;
    }
    if (IsDirectory()) {
        std::vector<std::string> names;
        if (!hostPort().listDirectory(mPath.GetUTF8String(), names)) {
            return 0;
        }
        return names.size();
    }
    struct stat info;
    if (hostPort().stat(mPath.GetUTF8String(), &info) != 0) {
        return 0;
    }
    return static_cast<unsigned long long>(info.st_size);
}

bool KvoFile::IsEmpty() const {
    return !mPath.empty() && GetSize() == 0;
}

bool KvoFile::Delete() {
    if (mPath.empty()) {
        return false;
    }
    if (IsDirectory()) {
        KvoFileUtil::DeleteDirectory(*this, false);
        return false;
    }
    return std::remove(hostPath(mPath).c_str()) == 0;
}

bool KvoFile::MakeDirectory(bool recursive, KvoErrorCodeEnum* error) {
    if (mPath.empty()) {
        setError(error, KvoErrorInvalidPath);
        return false;
    }
    if (IsDirectory()) {
        setError(error, KvoErrorNone);
        return true;
    }
    if (Exists()) {
        setError(error, KvoErrorAlreadyExists);
        return false;
    }
    KvoFile parent(containingDirectory(mPath));
    if (!parent.IsDirectory()) {
        if (!recursive || parent.mPath == mPath || !parent.MakeDirectory(true, nullptr)) {
            setError(error, KvoErrorPathNotFound);
            return false;
        }
    }
    if (hostPort().mkdir(mPath.GetUTF8String(), 0775) != 0) {
        setError(error, KvoErrorCreateFailed);
        return false;
    }
    setError(error, KvoErrorNone);
    return true;
}

bool KvoFile::Create(bool createParents, KvoErrorCodeEnum* error) {
    if (mPath.empty()) {
        setError(error, KvoErrorInvalidPath);
        return false;
    }
    KvoFile parent(containingDirectory(mPath));
    if (createParents && !parent.IsDirectory() && !parent.MakeDirectory(true, error)) {
        return false;
    }
    if (!parent.IsDirectory()) {
        setError(error, KvoErrorPathNotFound);
        return false;
    }
    // An existing file is kept, not emptied.
    if (Exists()) {
        setError(error, KvoErrorAlreadyExists);
        return false;
    }
    std::FILE* file = std::fopen(hostPath(mPath).c_str(), "we");
    if (!file) {
        setError(error, KvoErrorCreateFailed);
        return false;
    }
    std::fclose(file);
    setError(error, KvoErrorNone);
    return true;
}

KvoString KvoFile::GetParentPath(bool withSeparator) const {
    if (mPath.empty()) {
        return KvoString();
    }
    KvoString::size_type slash = mPath.rfind(kSlash);
    if (slash == KvoString::npos) {
        return withSeparator ? KvoString() : mPath;
    }
    return mPath.SubString(0, withSeparator ? slash + 1 : slash);
}

KvoString KvoFile::GetName() const {
    if (mPath.empty()) {
        return KvoString();
    }
    KvoString text = mPath;
    if (text.back() == kSlash) {
        text.pop_back();
    }
    KvoString::size_type slash = text.rfind(kSlash);
    if (slash == KvoString::npos) {
        return text;
    }
    return KvoString(text.substr(slash + 1));
}

KvoString KvoFile::GetBaseName() const {
    KvoString name = GetName();
    KvoString::size_type dot = name.rfind(kDot);
    if (dot == KvoString::npos) {
        return name;
    }
    return KvoString(name.substr(0, dot));
}

KvoString KvoFile::GetExtension() const {
    KvoString name = GetName();
    KvoString::size_type dot = name.rfind(kDot);
    if (dot == KvoString::npos) {
        return KvoString();
    }
    return KvoString(name.substr(dot + 1));
}

bool KvoFile::AppendName(const KvoString& name) {
    if (mPath.empty() || name.empty() || !name.IsPermissableFileName()) {
        return false;
    }
    if (mPath.back() != kSlash) {
        mPath.push_back(kSlash);
    }
    mPath.append(name);
    return true;
}

bool KvoFile::IsValidName() const {
    if (mPath.empty()) {
        return false;
    }
    KvoString name = GetName();
    if (name.empty()) {
        return false;
    }
    for (const KvoString& illegal : KvoFileUtil::GetIllegalCharacters()) {
        if (name.find(illegal) != KvoString::npos) {
            return false;
        }
    }
    return true;
}

bool KvoFile::ParentExists() const {
    if (mPath.empty()) {
        return false;
    }
    struct stat info;
    return hostPort().stat(containingDirectory(mPath).GetUTF8String(), &info) == 0;
}

bool KvoFile::HasValidPath() const {
    if (mPath.empty()) {
        return false;
    }
    std::vector<KvoString> components;
    mPath.SubStrings(KvoFileUtil::GetSeparator(), components);
    std::vector<KvoString> reserved = KvoFileUtil::GetReservedNames();
    for (const KvoString& component : components) {
        if (!KvoFile(component).IsValidName()) {
            return false;
        }
        for (const KvoString& name : reserved) {
            if (static_cast<const KvoString::Units&>(component) ==
                static_cast<const KvoString::Units&>(name)) {
                return false;
            }
        }
    }
    return true;
}

bool KvoFile::SetName(const KvoString& name) {
    if (!name.IsPermissableFileName()) {
        return false;
    }
    KvoString parent = GetParentPath(true);
    if (!mPath.empty() && mPath.back() == kSlash) {
        // A directory path: its last component is the name.
        KvoString trimmed(mPath.substr(0, mPath.size() - 1));
        parent = KvoFile(trimmed).GetParentPath(true);
    }
    mPath = parent;
    mPath.append(name);
    return true;
}

bool KvoFile::RemoveName() {
    if (mPath.empty()) {
        return false;
    }
    KvoString::size_type slash = mPath.rfind(kSlash);
    if (slash == KvoString::npos) {
        mPath.clear();
    } else if (slash == 0) {
        mPath = KvoString("/", KvoString::KvoEncodingUTF8);
    } else {
        mPath = mPath.SubString(0, slash);
    }
    return true;
}

bool KvoFile::SetExtension(const KvoString& extension) {
    KvoString name = GetName();
    if (name.empty() || (!extension.empty() && !extension.IsPermissableFileName())) {
        return false;
    }
    KvoString base = GetBaseName();
    if (!extension.empty()) {
        base.push_back(kDot);
        base.append(extension);
    }
    return SetName(base);
}

bool KvoFile::IsOpen() const {
    return false;
}

bool KvoFile::CanOpen(KvoFileAccessModeEnum, KvoFileShareModeEnum) const {
    return false;
}

bool KvoFile::ResolveAlias() {
    return false;
}

bool KvoFile::GetBool(KvoFileBoolEnum) const {
    return false;
}

bool KvoFile::SetBool(KvoFileBoolEnum which, bool) {
    return Exists() && which == KvoFileArchive;
}

KvoTime KvoFile::GetTime(KvoFileTimeEnum) const {
    return KvoTime();
}

bool KvoFile::SetTime(KvoFileTimeEnum, const KvoTime&) {
    return false;
}

void KvoFile::ResolvePathAliases() {}
