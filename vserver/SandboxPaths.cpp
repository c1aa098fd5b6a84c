#include "vserver/SandboxPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "baseutils/SplitText.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows at most
const char* const kUnresolvable = "/.unresolvable/";

// Components of path pushed so that the first one is taken first.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> parts = splitText(path, '/');
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        pending.push_back(*part);
    }
}

std::string parentOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool readLink(const std::string& hostPath, std::string& target) {
    std::vector<char> buffer(4096);
    ssize_t length = ::readlink(hostPath.c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<std::size_t>(length) == buffer.size()) {
        return false;
    }
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

std::optional<std::string> failed(int code, int* error) {
    if (error) {
        *error = code;
    }
    return std::nullopt;
}

}  // namespace

// Most paths have no ".", "..", empty component or link: walked once,
// without building a list of components. nullopt: the full walk decides.
std::optional<std::string> SandboxPaths::plainPath(const std::string& path, bool followLast) const {
    std::string host = root_;
    host.reserve(root_.size() + path.size());
    bool missing = false;
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::size_t length = end - start;
        if (length == 0 || (length == 1 && path[start] == '.') ||
            (length == 2 && path[start] == '.' && path[start + 1] == '.')) {
            return std::nullopt;
        }
        bool last = end == path.size();
        host.append(path, start - 1, length + 1);
        struct stat info {};
        if (!missing && ::lstat(host.c_str(), &info) == 0) {
            if (S_ISLNK(info.st_mode) && (!last || followLast)) {
                return std::nullopt;
            }
            if (!last && !S_ISDIR(info.st_mode)) {
                return std::nullopt;
            }
        } else {
            missing = true;
        }
        start = end + 1;
    }
    return path;
}

std::optional<std::string> SandboxPaths::canonical(const std::string& path, bool followLast,
                                                   int* error) const {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    if (path.size() > 1) {
        if (std::optional<std::string> plain = plainPath(path, followLast)) {
            return plain;
        }
    }
    std::vector<std::string> pending;
    pushComponents(path, pending);
    std::string current;   // "" is "/"; never holds a link
    bool missing = false;  // a component that does not exist was passed
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.back());
        pending.pop_back();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (missing) {
                return failed(ENOENT, error);
            }
            current = parentOf(current);
            continue;
        }
        std::string next = current + "/" + name;
        bool last = pending.empty();
        struct stat info {};
        if (missing || ::lstat((root_ + next).c_str(), &info) != 0) {
            missing = true;
            current = next;
            continue;
        }
        if (S_ISLNK(info.st_mode) && (!last || followLast)) {
            std::string target;
            if (++links > kMaxLinks) {
                return failed(ELOOP, error);
            }
            if (!readLink(root_ + next, target)) {
                return failed(EIO, error);
            }
            // Links the test harness made with a path of this machine.
            if (target.compare(0, root_.size() + 1, root_ + "/") == 0 || target == root_) {
                target = target.substr(root_.size());
            }
            if (!target.empty() && target[0] == '/') {
                current.clear();
            }
            pushComponents(target, pending);
            continue;
        }
        if (!last && !S_ISDIR(info.st_mode)) {
            return failed(ENOTDIR, error);
        }
        current = next;
    }
    return current.empty() ? std::string("/") : current;
}

std::string SandboxPaths::hostPath(const std::string& path, bool followLast) const {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::optional<std::string> inside = canonical(path, followLast);
    if (!inside) {
        return root_ + kUnresolvable + "path";
    }
    return *inside == "/" ? root_ : root_ + *inside;
}
