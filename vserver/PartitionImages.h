#pragma once

#include <map>
#include <memory>
#include <string>

#include "vserver/FatImage.h"
#include "vserver/PartitionPresenter.h"
#include "vserver/TempDirectory.h"
#include "vserver/VolumeMirror.h"

// The FAT image files behind the controller's partitions. They live in a
// directory of their own under TMPDIR, made on first use and removed with
// this object.
class PartitionImages {
public:
    PartitionImages() = default;
    PartitionImages(const PartitionImages&) = delete;
    PartitionImages& operator=(const PartitionImages&) = delete;

    // Images made from now on start with a partition table.
    void setPartitionTable(bool partitionTable) { options_.partitionTable = partitionTable; }
    void setFatType(FatType type) { options_.type = type; }

    // Makes an empty volume of the partition's size labelled with its label;
    // returns the image's path.
    std::string create(const PartitionImage& partition);
    // The image's files, kept beside it until the image is removed.
    std::shared_ptr<VolumeMirror> mirrorOf(const std::string& path);
    void remove(const std::string& path);

private:
    std::unique_ptr<TempDirectory> directory_;
    std::map<std::string, std::shared_ptr<VolumeMirror>> mirrors_;  // by image path
    FatImageOptions options_;
    unsigned made_ = 0;
};
