#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vserver/StagingJournal.h"
#include "vserver/TempDirectory.h"
#include "vserver/VolumeMirror.h"

// One File element of a command file as the controller reads it.
struct CommandEntry {
    std::string mode;
    std::string source;
    std::string sourceVesk;
    std::string destination;
    std::string hash;
};

// The files of the static partition with number n (label VSK00n); nothing
// when the controller has no such partition.
using StaticMirrors = std::function<std::shared_ptr<VolumeMirror>(int number)>;

// What the controller's staging does wrong on purpose, for the tests.
struct StagingFaults {
    bool corruptPlacedFiles = false;  // every file placed gets one byte changed
};

// The controller placing update payloads: the files of a drop box go into the
// static partitions named by the first element of their destinations
// ("21/dir/file" is dir/file on partition 21). Each file is checked against
// its digest before it is used. The partitions' files are changed in place,
// every change journalled: finish() writes the images, a refused entry (or
// no finish()) takes every change back.
class PayloadStaging {
public:
    PayloadStaging(VolumeMirror& dropBox, StaticMirrors mirrors, StagingFaults faults);
    ~PayloadStaging();
    PayloadStaging(const PayloadStaging&) = delete;
    PayloadStaging& operator=(const PayloadStaging&) = delete;

    static bool handles(const std::string& mode);

    // False with reason when the entry cannot be carried out.
    bool carryOut(const CommandEntry& entry, std::string& reason);
    // Writes what changed into the partitions' images.
    bool finish(std::string& reason);

    // The SSIB files handed over, by name.
    const std::vector<std::string>& ssibFiles() const { return ssibFiles_; }

private:
    std::optional<std::string> checkedDropBoxFile(const std::string& name, const std::string& hash,
                                                  std::string& reason);
    std::optional<std::string> partitionPath(const std::string& destination, std::string& reason);
    bool placeFile(const CommandEntry& entry, std::string& reason);
    bool unzipInto(const CommandEntry& entry, std::string& reason);
    bool changeTree(const CommandEntry& entry, std::string& reason);
    bool corrupt(const std::string& path, std::error_code& error);

    VolumeMirror& dropBox_;
    StaticMirrors mirrors_;
    StagingFaults faults_;
    TempDirectory scratch_{"staging"};
    StagingJournal journal_;
    std::map<int, std::shared_ptr<VolumeMirror>> changed_;  // by partition number
    unsigned unpacked_ = 0;
    bool finished_ = false;
    std::vector<std::string> ssibFiles_;
};
