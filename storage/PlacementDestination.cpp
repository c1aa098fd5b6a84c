#include "storage/PlacementDestination.h"

#include <algorithm>
#include <map>
#include <vector>

#include "baseutils/SplitText.h"
#include "storage/VeskErrors.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

bool isControl(char c) {
    auto code = static_cast<unsigned char>(c);
    return code < 0x20 || code == 0x7F;
}

bool hasComponent(const std::vector<std::string>& parts, const std::string& name) {
    return std::find(parts.begin(), parts.end(), name) != parts.end();
}

}  // namespace

std::string pathWithinPartition(const std::string& destination) {
    std::string::size_type slash = destination.find('/');
    return slash == std::string::npos ? destination : destination.substr(slash + 1);
}

std::string placementEscapeProblem(const std::string& destination) {
    std::string path = pathWithinPartition(destination);
    if (!path.empty() && path.front() == '/') {
        return "the path after the partition number is absolute";
    }
    if (hasComponent(splitText(path, '/'), "..")) {
        return "it has a '..' component, which leads out of the partition";
    }
    return "";
}

std::string placementDestinationProblem(const std::string& destination) {
    if (std::any_of(destination.begin(), destination.end(), isControl)) {
        return "it holds a control character";
    }
    std::string problem = placementEscapeProblem(destination);
    if (!problem.empty()) {
        return problem;
    }
    std::string path = pathWithinPartition(destination);
    if (path.empty()) {
        return "it names no file after the partition number";
    }
    if (path.back() == '/') {
        return "it ends with '/', which names a directory, not a file";
    }
    std::vector<std::string> parts = splitText(path, '/');
    if (hasComponent(parts, "")) {
        return "it has an empty path component ('//')";
    }
    if (hasComponent(parts, ".")) {
        return "it has a '.' component";
    }
    return "";
}

namespace {

std::string partitionName(std::uint16_t row) {
    return "partition " + std::to_string(row) +
           (row < VESK_PART_COUNT ? " (" + veskPartInfo[row].partLabel + ")" : std::string());
}

std::string bytes(std::uint64_t count) {
    return std::to_string(count) + " bytes";
}

}  // namespace

PlacementFit placementFit(const std::vector<cfgEntry>& entries) {
    std::map<std::uint16_t, std::uint64_t> perPartition;
    for (const cfgEntry& entry : entries) {
        if (entry.mode != EXML_FILECOPY) {
            continue;
        }
        std::uint16_t row = entry.targetPartition;
        if (row == 0 || row >= VESK_PART_COUNT || !veskPartInfo[row].present) {
            return {QUIB_INVALID_PARTITION, entry.source + " goes to " + partitionName(row) +
                                                ", which this controller does not have"};
        }
        std::uint64_t size = veskPartInfo[row].sizeBytes;
        std::uint64_t& total = perPartition[row];
        total += entry.fileSize;
        if (size == 0) {
            continue;
        }
        if (entry.fileSize > size) {
            return {QUIB_PAYLOAD_EXCEEDS_PARTITION, entry.source + " (" + bytes(entry.fileSize) +
                                                        ") is larger than " + partitionName(row) +
                                                        " (" + bytes(size) + ")"};
        }
        if (total > size) {
            return {QUIB_PAYLOAD_EXCEEDS_PARTITION,
                    "the files for " + partitionName(row) + " take " + bytes(total) +
                        " together, more than its " + bytes(size) + " (the last one is " +
                        entry.source + ", " + bytes(entry.fileSize) + ")"};
        }
    }
    return {};
}
