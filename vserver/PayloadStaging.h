#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vserver/FatImage.h"
#include "vserver/TempDirectory.h"

// One File element of a command file as the controller reads it.
struct CommandEntry {
    std::string mode;
    std::string source;
    std::string sourceVesk;
    std::string destination;
    std::string hash;
};

// The volume of the static partition with number n (label VSK00n); nothing
// when the controller has no such partition.
using StaticVolumes = std::function<std::optional<FatImage>(int number)>;

// What the controller's staging does wrong on purpose, for the tests.
struct StagingFaults {
    bool corruptPlacedFiles = false;  // every file placed gets one byte changed
};

// The controller placing update payloads: the files of a drop box go into the
// static partitions named by the first element of their destinations
// ("21/dir/file" is dir/file on partition 21). Each file is checked against
// its digest before it is used. The partitions are changed only by finish(),
// so a refused entry leaves them as they were.
class PayloadStaging {
public:
    PayloadStaging(const FatImage& dropBox, StaticVolumes volumes, StagingFaults faults);
    ~PayloadStaging();
    PayloadStaging(const PayloadStaging&) = delete;
    PayloadStaging& operator=(const PayloadStaging&) = delete;

    static bool handles(const std::string& mode);

    // False with reason when the entry cannot be carried out.
    bool carryOut(const CommandEntry& entry, std::string& reason);
    // Writes every changed partition back.
    bool finish(std::string& reason);

    // The SSIB files handed over, by name.
    const std::vector<std::string>& ssibFiles() const { return ssibFiles_; }

private:
    std::optional<std::string> checkedDropBoxFile(const std::string& name, const std::string& hash,
                                                  std::string& reason);
    std::optional<std::string> partitionPath(const std::string& destination, std::string& reason);
    bool copyInto(const std::string& from, const std::string& to, bool append, std::string& reason);
    bool unzipInto(const CommandEntry& entry, std::string& reason);
    void corrupt(const std::string& path) const;

    const FatImage& dropBox_;
    StaticVolumes volumes_;
    StagingFaults faults_;
    TempDirectory scratch_{"staging"};
    bool dropBoxExtracted_ = false;
    std::map<int, FatImage> changed_;
    std::vector<std::string> ssibFiles_;
};
