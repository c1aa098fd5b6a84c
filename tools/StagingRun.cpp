#include "tools/StagingRun.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "baseutils/HostPort.h"
#include "inventory/XMLParserWriter.h"
#include "storage/Md5Wrapper.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tools/InventoryRun.h"

namespace fs = std::filesystem;

namespace {

const char* const kPackageFile = "package.xml";
constexpr unsigned char kNoObject = 17;

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Runs work with a storage layer whose session is open; a failure gets the
// layer's error number and its text.
template <typename Work>
StagingOutcome withStorageLayer(Work&& work) {
    PluginArguments arguments;
    cXMLParserWriter writer;
    StagingOutcome outcome;
    secureVesk* layer = writer.storageLayer();
    // As the inventory driver does: a layer whose start-up failed is not used.
    if (layer != nullptr && layer->layerReady && layer->secureVeskInit() == 1) {
        outcome.succeeded = work(writer, *layer, arguments.get(), outcome);
    }
    if (!outcome.succeeded) {
        outcome.errorCode = layer == nullptr ? kNoObject : layer->getQuibError();
        if (outcome.errorText.empty()) {
            outcome.errorText = writer.GetErrorMsg(arguments.get(), outcome.errorCode);
        }
    }
    return outcome;
}

cfgEntry placementEntry(const Placement& placement, md5wrapper& digest) {
    cfgEntry entry;
    entry.mode = EXML_FILECOPY;
    entry.digest = DIGEST_MD5;
    entry.source = placement.file;
    entry.destination = placement.destination;
    std::error_code error;
    entry.fileSize = fs::file_size(hostPort().resolve(placement.file), error);
    entry.hash = digest.getHashFromFile(placement.file);
    entry.targetPartition = static_cast<std::uint16_t>(GetPartNum(placement.destination));
    return entry;
}

// Writes text as the file; false when the write failed.
bool writeWhole(const char* path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

}  // namespace

StagingOutcome runPlacements(const std::vector<Placement>& placements) {
    // The copy verifies the files of one partition, so each gets a copy.
    std::map<int, std::vector<Placement>> byPartition;
    for (const Placement& placement : placements) {
        byPartition[GetPartNum(placement.destination)].push_back(placement);
    }
    return withStorageLayer([&](cXMLParserWriter&, secureVesk& layer, char**,
                                StagingOutcome& outcome) {
        md5wrapper digest;
        for (const auto& [partition, files] : byPartition) {
            if (!layer.StartCopyFile()) {
                return false;
            }
            for (const Placement& placement : files) {
                layer.exchangeFiles.push_back(placementEntry(placement, digest));
            }
            if (!layer.CompleteCopyFile()) {
                return false;
            }
            outcome.summary += "placed " + std::to_string(files.size()) + " file(s) on partition " +
                               std::to_string(partition) + ", digests verified\n";
        }
        return true;
    });
}

StagingOutcome runRecordUpdate(const std::string& packagePath) {
    StagingOutcome outcome;
    std::optional<std::string> package = readFile(packagePath);
    if (!package) {
        outcome.errorText = "cannot read the package description " + packagePath;
        return outcome;
    }
    // A package description already in the directory is put back afterwards.
    std::optional<std::string> kept = readFile(kPackageFile);
    if (!writeWhole(kPackageFile, *package)) {
        outcome.errorText =
            std::string("cannot write ") + kPackageFile + " into the work directory";
    } else {
        outcome = withStorageLayer(
            [&](cXMLParserWriter& writer, secureVesk&, char** arguments, StagingOutcome& result) {
                if (!writer.UpdatePyxRecord(arguments, result.errorText)) {
                    return false;
                }
                result.summary = "record of " + packagePath + " written into the record store\n";
                return true;
            });
    }
    if (kept) {
        if (!writeWhole(kPackageFile, *kept)) {
            outcome.errorText += std::string(outcome.errorText.empty() ? "" : "; ") +
                                 "cannot put the earlier " + kPackageFile + " back";
            outcome.succeeded = false;
        }
    } else {
        std::error_code ignored;
        fs::remove(kPackageFile, ignored);
    }
    return outcome;
}

std::string stagingFailureText(const char* what, const StagingOutcome& outcome) {
    return std::string(what) + " failed (storage error " + std::to_string(outcome.errorCode) +
           "): " + outcome.errorText;
}
