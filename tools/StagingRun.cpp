#include "tools/StagingRun.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "baseutils/HostPort.h"
#include "inventory/XMLParserWriter.h"
#include "storage/PlacementDestination.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tools/InventoryOutput.h"
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

// The operator's names in a refusal.
std::vector<cfgEntry> asGiven(std::vector<cfgEntry> entries,
                              const std::vector<Placement>& placements) {
    for (std::size_t i = 0; i < entries.size() && i < placements.size(); ++i) {
        entries[i].source = placements[i].given;
    }
    return entries;
}

std::string listed(const std::vector<Placement>& placements) {
    std::string text;
    for (const Placement& placement : placements) {
        text += (text.empty() ? "" : ", ") + placement.given + "=" + placement.destination;
    }
    return text;
}

// No digest: the placement builds it from the bytes it copies, so that the
// payload is read once for the copy and once for the verification.
cfgEntry placementEntry(const Placement& placement) {
    cfgEntry entry;
    entry.mode = EXML_FILECOPY;
    entry.digest = DIGEST_MD5;
    entry.source = placement.file;
    entry.destination = placement.destination;
    std::error_code error;
    entry.fileSize = fs::file_size(hostPort().resolve(placement.file), error);
    // A number beyond any catalogue row stays beyond it, never wraps into one.
    entry.targetPartition =
        static_cast<std::uint16_t>(std::min(GetPartNum(placement.destination), 0xFFFF));
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
    StagingOutcome outcome =
        withStorageLayer([&](cXMLParserWriter&, secureVesk& layer, char**, StagingOutcome& result) {
            std::map<int, std::vector<cfgEntry>> batches;
            for (const auto& [partition, files] : byPartition) {
                for (const Placement& placement : files) {
                    batches[partition].push_back(placementEntry(placement));
                }
                PlacementFit fit = placementFit(asGiven(batches[partition], files));
                if (fit.error != 0) {
                    layer.storeErrorInfo(fit.error);
                    result.errorText = fit.problem;
                    return false;
                }
            }
            for (const auto& [partition, files] : byPartition) {
                if (!layer.StartCopyFile()) {
                    return false;
                }
                layer.exchangeFiles = batches[partition];
                if (!layer.CompleteCopyFile()) {
                    return false;
                }
                result.placed.insert(result.placed.end(), files.begin(), files.end());
                result.summary += "placed " + std::to_string(files.size()) +
                                  " file(s) on partition " + std::to_string(partition) +
                                  ", digests verified\n";
            }
            return true;
        });
    for (const Placement& placement : placements) {
        bool done = false;
        for (const Placement& placed : outcome.placed) {
            done = done || placed.destination == placement.destination;
        }
        if (!done) {
            outcome.notPlaced.push_back(placement);
        }
    }
    return outcome;
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
    std::string text = std::string(what) + " failed (storage error " +
                       std::to_string(outcome.errorCode) + "): " + outcome.errorText;
    if (!outcome.placed.empty()) {
        text +=
            "\nipmi-inventory: placed and verified before the failure: " + listed(outcome.placed);
    }
    if (!outcome.notPlaced.empty()) {
        text += "\nipmi-inventory: not placed, or not verified: " + listed(outcome.notPlaced);
    }
    return text;
}

std::string jsonPlaced(const std::vector<Placement>& placed) {
    std::string text = ",\n  \"placed\": [";
    for (std::size_t i = 0; i < placed.size(); ++i) {
        text += std::string(i == 0 ? "" : ", ") + "{\"file\": " + jsonString(placed[i].given) +
                ", \"destination\": " + jsonString(placed[i].destination) + "}";
    }
    return text + "]";
}
