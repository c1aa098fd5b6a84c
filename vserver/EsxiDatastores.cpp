#include "vserver/EsxiDatastores.h"

#include <filesystem>

#include "vserver/FatImage.h"
#include "vserver/VirtualServer.h"
#include "vserver/VolumeMirror.h"

namespace fs = std::filesystem;

namespace {

std::string datastore(const PartitionImage& image) {
    return "/vmfs/volumes/" + image.label;
}

}  // namespace

void EsxiDatastores::present(const PartitionImage& image) {
    disks_.present(image);
    if (image.imagePath.empty()) {
        return;
    }
    server_.makeDirectory(datastore(image));
    std::string directory = server_.resolve(datastore(image));
    if (!image.mirror || !image.mirror->lendTo(directory)) {
        FatImage::open(image.imagePath).extractTo(directory);
    }
}

void EsxiDatastores::withdraw(const PartitionImage& image) {
    std::string directory = server_.resolve(datastore(image));
    if (!image.imagePath.empty() && fs::is_directory(directory)) {
        if (image.mirror) {
            image.mirror->takeBack(directory, true);
        } else {
            FatImage::open(image.imagePath).replaceFrom(directory);
        }
    }
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    disks_.withdraw(image);
}
