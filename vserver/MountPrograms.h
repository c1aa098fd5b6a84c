#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

class UsbDisks;
class VirtualServer;

// One mount or unmount the virtual host carried out or refused.
struct MountEvent {
    bool mount = true;      // false: an unmount
    std::string device;     // as given to mount
    std::string disk;       // the disk node it led to
    std::string directory;  // system path
    bool readOnly = false;
    bool wroteBack = false;  // the unmount wrote the directory back into the volume
    int status = 0;          // 0; else mount's exit status, or errno of umount2
};

struct ActiveMount {
    std::string device;
    std::string disk;
    std::string directory;
    std::string label;
    bool readOnly = false;
};

// The shell's mount and umount and the host port's umount2, for the FAT
// volumes of shown USB disks and for memory file systems (mount -t tmpfs).
// Mounting copies the volume's files into the directory (its own content
// hidden until the unmount); unmounting a read-write mount writes the
// directory back into the volume, unless the disk was withdrawn meanwhile.
// Mounts stack on one directory. As on Linux, mount, umount and umount2
// follow links in their operands, umount2 not with UMOUNT_NOFOLLOW.
class MountPrograms {
public:
    // mount(8)'s status for a failed mount or unmount.
    static constexpr int kMountFailure = 32;

    MountPrograms(VirtualServer& server, UsbDisks& disks);
    ~MountPrograms();
    MountPrograms(const MountPrograms&) = delete;
    MountPrograms& operator=(const MountPrograms&) = delete;

    // The next count umount2 calls fail with error.
    void failUnmounts(unsigned count, int error = EBUSY);
    // Nothing mounted (what mounts hid comes back, nothing is written back),
    // no fault, no event.
    void reset();

    std::vector<ActiveMount> mounts() const;  // oldest first
    std::vector<ActiveMount> mountsOn(const std::string& directory) const;
    std::vector<MountEvent> events() const;
    void clearEvents();

    struct State;

private:
    VirtualServer& server_;
    std::shared_ptr<State> state_;
};
