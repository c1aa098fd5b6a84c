#include "vserver/MountPrograms.h"

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>

#include "vserver/DirectoryMoves.h"
#include "vserver/FatImage.h"
#include "vserver/TempDirectory.h"
#include "vserver/UsbDisks.h"
#include "vserver/VirtualServer.h"
#include "vserver/VolumeMirror.h"

namespace fs = std::filesystem;

namespace {

constexpr int kUsage = 1;

struct Mounted {
    ActiveMount mount;
    std::optional<FatImage> volume;  // none for a memory file system (tmpfs)
    std::uint64_t presentation = 0;
    std::string stash;                     // where the directory's own content waits
    std::shared_ptr<VolumeMirror> mirror;  // whose files the directory holds
};

struct MountRequest {
    std::string type;
    bool readOnly = false;
    std::vector<std::string> operands;
};

void readOptions(const std::string& list, MountRequest& request) {
    std::stringstream options(list);
    std::string option;
    while (std::getline(options, option, ',')) {
        if (option == "ro") {
            request.readOnly = true;
        } else if (option == "rw") {
            request.readOnly = false;
        }
    }
}

// mount [-n] [-r|-w] [-t TYPE] [-o OPTIONS|-oOPTIONS] [DEVICE DIRECTORY]
std::optional<MountRequest> parseMount(const std::vector<std::string>& argv) {
    MountRequest request;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if ((arg == "-t" || arg == "-o") && i + 1 >= argv.size()) {
            return std::nullopt;
        }
        if (arg == "-t") {
            request.type = argv[++i];
        } else if (arg == "-o") {
            readOptions(argv[++i], request);
        } else if (arg.compare(0, 2, "-o") == 0) {
            readOptions(arg.substr(2), request);
        } else if (arg == "-r") {
            request.readOnly = true;
        } else if (arg == "-w") {
            request.readOnly = false;
        } else if (arg.empty() || arg[0] != '-') {
            request.operands.push_back(arg);
        }
    }
    return request;
}

}  // namespace

struct MountPrograms::State {
    std::mutex mutex;
    VirtualServer* server = nullptr;
    UsbDisks* disks = nullptr;  // null once the programs are gone
    TempDirectory stashes{"vmounts"};
    unsigned stashCount = 0;
    std::vector<Mounted> mounted;  // in mount order
    std::vector<MountEvent> events;
    unsigned failures = 0;
    int failError = EBUSY;

    // mount(8) and umount(8) take their operands' links to where they lead;
    // a path the walk fails on stays as it was given.
    std::string followed(const std::string& path) const {
        return server->canonicalPath(path).value_or(path);
    }

    ShellResult refuse(MountEvent event) {
        event.status = kMountFailure;
        events.push_back(event);
        return ShellResult{kMountFailure, ""};
    }

    // Hides what the directory holds until the unmount.
    std::string stashContent(const fs::path& directory) {
        fs::path stash = fs::path(stashes.path()) / std::to_string(++stashCount);
        fs::create_directory(stash);
        moveEntries(directory, stash);
        return stash.string();
    }

    ShellResult mount(const MountRequest& request) {
        MountEvent event;
        event.device = request.operands[0];
        event.directory = followed(request.operands[1]);
        event.readOnly = request.readOnly;
        fs::path directory = server->resolve(event.directory);
        std::error_code error;
        if (!fs::is_directory(directory, error)) {
            return refuse(event);
        }
        if (request.type == "tmpfs") {
            event.disk = event.device;
            mounted.push_back(Mounted{
                ActiveMount{event.device, event.disk, event.directory, "", request.readOnly},
                std::nullopt, 0, stashContent(directory), nullptr});
            events.push_back(event);
            return ShellResult{0, ""};
        }
        event.disk = followed(event.device);
        bool fatType = request.type.empty() || request.type == "vfat" || request.type == "auto";
        std::optional<PresentedVolume> volume;
        if (disks && fatType) {
            volume = disks->volumeAt(event.disk);
        }
        if (!fatType || !volume || !volume->volume.isFat()) {
            return refuse(event);
        }
        std::string stash = stashContent(directory);
        std::shared_ptr<VolumeMirror> mirror = volume->mirror;
        try {
            // A volume mounted twice: the second mount gets a copy.
            if (!mirror || !mirror->lendTo(directory.string())) {
                mirror = nullptr;
                volume->volume.extractTo(directory.string());
            }
        } catch (const std::exception&) {
            clearDirectory(directory);
            moveEntries(stash, directory);
            fs::remove_all(stash);
            return refuse(event);
        }
        mounted.push_back(Mounted{
            ActiveMount{event.device, event.disk, event.directory, volume->label, request.readOnly},
            volume->volume, volume->presentation, stash, mirror});
        events.push_back(event);
        return ShellResult{0, ""};
    }

    std::string listing() const {
        std::string text;
        for (const Mounted& entry : mounted) {
            text += entry.mount.device + " on " + entry.mount.directory +
                    (entry.volume ? " type vfat (" : " type tmpfs (") +
                    (entry.mount.readOnly ? "ro" : "rw") +
                    (entry.volume ? ",shortname=mixed)\n" : ")\n");
        }
        return text;
    }

    // Pops the newest mount on directory (a system path whose links were
    // followed as the caller's call follows them): 0, or EINVAL when there is
    // none.
    int unmount(const std::string& directory) {
        auto top = std::find_if(mounted.rbegin(), mounted.rend(), [&](const Mounted& entry) {
            return entry.mount.directory == directory;
        });
        if (top == mounted.rend()) {
            // As Linux: a path that is not there is ENOENT; a directory
            // without a mount, or a link not followed, EINVAL.
            std::error_code missing;
            return fs::symlink_status(server->resolveEntry(directory), missing).type() ==
                           fs::file_type::not_found
                       ? ENOENT
                       : EINVAL;
        }
        Mounted entry = *top;
        mounted.erase(std::next(top).base());
        fs::path host = server->resolve(directory);
        std::error_code ignored;
        // The mount point cannot go while mounted: what removed it emptied the volume.
        fs::create_directories(host, ignored);
        MountEvent event{
            false, entry.mount.device, entry.mount.disk, directory, entry.mount.readOnly, false, 0};
        bool writeBack = entry.volume && !entry.mount.readOnly && disks &&
                         disks->stillPresented(entry.presentation);
        try {
            if (entry.mirror) {
                entry.mirror->takeBack(host.string(), writeBack);
            } else if (writeBack) {
                entry.volume->replaceFrom(host.string());
            }
            event.wroteBack = writeBack;
        } catch (const std::exception&) {
            // The volume keeps what it had.
        }
        clearDirectory(host);
        moveEntries(entry.stash, host);
        fs::remove_all(entry.stash, ignored);
        events.push_back(event);
        return 0;
    }

    // umount DIRECTORY, or umount DEVICE for the newest mount of the device.
    ShellResult umount(const std::vector<std::string>& argv) {
        std::string target;
        for (std::size_t i = 1; i < argv.size() && target.empty(); ++i) {
            if (!argv[i].empty() && argv[i][0] != '-') {
                target = argv[i];
            }
        }
        if (target.empty()) {
            return ShellResult{kUsage, ""};
        }
        std::string directory = followed(target);
        std::string disk = directory;
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) {
            if (it->mount.directory != directory &&
                (it->mount.device == target || it->mount.disk == disk)) {
                directory = it->mount.directory;
                break;
            }
        }
        if (unmount(directory) != 0) {
            events.push_back(MountEvent{false, "", "", directory, false, false, kMountFailure});
            return ShellResult{kMountFailure, ""};
        }
        return ShellResult{0, ""};
    }

    // umount2(2) follows a link in the last component unless told not to.
    int umount2(const std::string& target, int flags) {
        std::optional<std::string> walked =
            server->canonicalPath(target, (flags & UMOUNT_NOFOLLOW) == 0);
        std::string directory = walked.value_or(target);
        int error = 0;
        if (!walked) {
            error = errno;
        } else if (failures > 0) {
            --failures;
            error = failError;
        } else {
            error = unmount(directory);
        }
        if (error != 0) {
            events.push_back(MountEvent{false, "", "", directory, false, false, error});
            errno = error;
            return -1;
        }
        return 0;
    }
};

MountPrograms::MountPrograms(VirtualServer& server, UsbDisks& disks)
    : server_(server), state_(std::make_shared<State>()) {
    state_->server = &server;
    state_->disks = &disks;
    std::shared_ptr<State> state = state_;
    server.shell().addProgram("mount",
                              [state](const std::vector<std::string>& argv, const std::string&) {
                                  std::lock_guard<std::mutex> lock(state->mutex);
                                  std::optional<MountRequest> request = parseMount(argv);
                                  if (request && request->operands.empty()) {
                                      return ShellResult{0, state->listing()};
                                  }
                                  if (!request || request->operands.size() != 2) {
                                      return ShellResult{kUsage, ""};
                                  }
                                  return state->mount(*request);
                              });
    server.shell().addProgram("umount",
                              [state](const std::vector<std::string>& argv, const std::string&) {
                                  std::lock_guard<std::mutex> lock(state->mutex);
                                  return state->umount(argv);
                              });
    server.setUmountHandler([state](const std::string& target, int flags) {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->umount2(target, flags);
    });
}

MountPrograms::~MountPrograms() {
    server_.setUmountHandler(nullptr);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->disks = nullptr;
}

void MountPrograms::reset() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::error_code ignored;
    for (auto entry = state_->mounted.rbegin(); entry != state_->mounted.rend(); ++entry) {
        fs::path host = server_.resolve(entry->mount.directory);
        fs::create_directories(host, ignored);
        if (entry->mirror) {
            entry->mirror->takeBack(host.string(), false);
        }
        clearDirectory(host);
        moveEntries(entry->stash, host);
        fs::remove_all(entry->stash, ignored);
    }
    state_->mounted.clear();
    state_->events.clear();
    state_->failures = 0;
}

void MountPrograms::failUnmounts(unsigned count, int error) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->failures = count;
    state_->failError = error;
}

std::vector<ActiveMount> MountPrograms::mounts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<ActiveMount> result;
    for (const Mounted& entry : state_->mounted) {
        result.push_back(entry.mount);
    }
    return result;
}

std::vector<ActiveMount> MountPrograms::mountsOn(const std::string& directory) const {
    std::vector<ActiveMount> result;
    std::string normal = server_.canonicalPath(directory).value_or(directory);
    for (const ActiveMount& mount : mounts()) {
        if (mount.directory == normal) {
            result.push_back(mount);
        }
    }
    return result;
}

void MountPrograms::clearEvents() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->events.clear();
}

std::vector<MountEvent> MountPrograms::events() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->events;
}
