#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "vserver/FatImage.h"

// The files of one FAT volume, extracted once into a directory beside its
// image and kept there, so that neither the controller nor the host's mounts
// copy the whole volume for every use. The files may get ahead of the image;
// syncImage() then writes only what changed since the two were last in step
// (files are told apart by inode, size and modification time).
class VolumeMirror {
public:
    VolumeMirror(FatImage volume, std::string directory);
    ~VolumeMirror();
    VolumeMirror(const VolumeMirror&) = delete;
    VolumeMirror& operator=(const VolumeMirror&) = delete;

    // The directory holding the volume's files, extracted on first use.
    // Whoever changes them says so with touched().
    std::string files();
    void touched();
    // The image gets what changed. When that fails the image is written
    // whole the next time.
    void syncImage();
    // The image was or will be changed without the mirror: its files go,
    // and are extracted again when next needed.
    void forget();
    // syncImage(), or forget() when the image cannot take the files: the
    // image is then the one to go by.
    void settleImage();

    // A file of the volume, from the mirror's files when they are there.
    std::optional<std::string> readFile(const std::string& name);
    // Writes a file of the volume: into the files when they are there (the
    // image follows at the next sync), else into the image.
    void writeFile(const std::string& name, const std::string& content);

    // Moves the files into directory, for a mount; the image is in step
    // first. False, with nothing done, while they are lent already.
    // takeBack() moves them out of directory again: with writeBack the image
    // gets what changed at the next sync (whoever reads the image syncs
    // first), without it keeps what it had.
    bool lendTo(const std::string& directory);
    void takeBack(const std::string& directory, bool writeBack);

private:
    struct Stamp {
        bool directory = false;
        ino_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t modified = 0;  // nanoseconds
        bool operator==(const Stamp& other) const;
    };
    using Tree = std::map<std::string, Stamp>;  // by name below the root, "dir/" for a directory

    static Tree scan(const std::string& root);
    void extract();
    void syncLocked();
    void writeChanges(const Tree& now);
    void dropFiles();

    std::mutex mutex_;
    FatImage volume_;
    std::string directory_;
    bool present_ = false;     // the files are in directory_
    bool ahead_ = false;       // they hold what the image does not
    bool wholeImage_ = false;  // the next sync writes the image whole
    Tree image_;               // what the image holds, as stamps of the files
    std::string lentTo_;
    Tree lent_;              // the image's stamps when the files were lent
    bool lentValid_ = true;  // and the image was not changed since
};
