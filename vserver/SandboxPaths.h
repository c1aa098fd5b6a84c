#pragma once

#include <optional>
#include <string>

// The one path resolver of the virtual host. System paths are walked as
// Linux walks them inside a chroot: "." and ".." per component (".." of "/"
// is "/"), symbolic links in the sandbox followed with absolute targets taken
// from the sandbox root, at most 40 links per walk. No path ever leads
// outside the root.
class SandboxPaths {
public:
    explicit SandboxPaths(std::string root) : root_(std::move(root)) {}

    const std::string& root() const { return root_; }

    // The system path that path names once its links are followed; with
    // followLast false a link in the last component stays itself. nullopt
    // when the walk meets too many links (ELOOP) or a component that is not
    // a directory where one is needed (ENOTDIR). Relative paths are the
    // process's own and come back unchanged.
    std::optional<std::string> canonical(const std::string& path, bool followLast = true,
                                         int* error = nullptr) const;

    // Where path lies on the machine running the virtual host: the root
    // followed by the canonical path. A path whose walk fails lies below a
    // directory that never exists, so every use of it fails with ENOENT.
    std::string hostPath(const std::string& path, bool followLast = true) const;

private:
    std::optional<std::string> plainPath(const std::string& path, bool followLast) const;

    std::string root_;
};
