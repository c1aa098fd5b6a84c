#include "vserver/PartitionImages.h"

#include <filesystem>

namespace fs = std::filesystem;

std::string PartitionImages::create(const PartitionImage& partition) {
    if (!directory_) {
        directory_ = std::make_unique<TempDirectory>("vimages");
    }
    // A slot is used again after a delete: each image gets a name of its own.
    std::string name = std::string(partition.dynamic ? "dynamic" : "static") + "-" +
                       std::to_string(partition.slot) + "-" + std::to_string(++made_) + ".img";
    std::string path = (fs::path(directory_->path()) / name).string();
    FatImage::create(path, partition.sizeBytes, partition.label, options_);
    return path;
}

std::shared_ptr<VolumeMirror> PartitionImages::mirrorOf(const std::string& path) {
    std::shared_ptr<VolumeMirror>& mirror = mirrors_[path];
    if (!mirror) {
        mirror = std::make_shared<VolumeMirror>(FatImage::open(path), path + ".files");
    }
    return mirror;
}

void PartitionImages::remove(const std::string& path) {
    if (path.empty()) {
        return;
    }
    mirrors_.erase(path);
    std::error_code ignored;
    fs::remove(path, ignored);
}
