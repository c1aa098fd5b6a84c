#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/CfgEntry.h"

// The least drop box an ESXi host is given, whatever it holds.
constexpr std::uint64_t kEsxiDropBoxBytes = 0x2000000;

// One exchange of files with the controller through a drop box: a command
// file (and what else the caller places) in, the answer file out. The texts
// are the exchange's own log lines where the two exchanges differ.
struct DropBoxExchange {
    const char* name;  // logged as "<name> failed"
    std::uint64_t size;
    std::string commandFile;
    const char* hashLine;
    const char* contentLine;
    const char* answerMissingLine;
    const char* answerContentsLine;
    // Called after the command file was written into the mounted drop box
    // (directory ends in "/"); may raise a layer error.
    std::function<void(const std::string& directory)> placeFiles;
    // A BitLocker refusal leaves the exchange as the raised error itself.
    bool passBitLockerOn = false;
    // False: the controller answers nothing; the drop box is deleted right
    // after the hand-over.
    bool readsAnswer = true;
    // Logged when the drop box granted is smaller than asked for.
    const char* tooSmallLine = "PartitionSize obtained is < ONE MEG";
};

// The one entry of a record exchange: order 1, the mode, MD5.
cfgEntry recordEntry(exmlMode mode);

// Makes the one entry the command file of the exchange: it becomes the
// process-wide entry list, and the file's text is returned.
std::string singleEntryCommandFile(const cfgEntry& entry);

// The entries of the last exchange's command file.
extern std::vector<cfgEntry> PyxRequest;

// The command file and the answer file in the drop box.
extern const std::string updFileName;
extern const std::string curInvFileName;
// The records document of a record update.
extern const std::string updInvFileName;
