#pragma once

#include <string>
#include <vector>

#include "vserver/PayloadStaging.h"

// What the controller's record store holds: the documents it answers record
// queries with, and its verdict on an update package's dependencies.
struct RecordStore {
    std::string currentRecords;  // an SVMInventory document
    std::string historyRecords;
    std::string eventRecords;
    bool dependenciesMet = true;
    std::string unmetDependencies;  // the answer's body when they are not met
};

// How an exchange ended.
struct ExchangeOutcome {
    bool accepted = false;               // the command file matched its digest and was carried out
    std::string reason;                  // why not, for the tests' messages
    std::vector<std::string> ssibFiles;  // SSIB files handed over
};

// Where the controller carries an exchange out.
struct ExchangeScene {
    RecordStore& records;
    StaticMirrors volumes;  // the static partitions that receive payloads
    StagingFaults faults;
    bool writeAnswer = true;  // false: a controller that leaves no output.xml
};

// The controller's side of an exchange: after the host has handed over the
// command file's digest, the command file "update.xml" in the drop box is
// checked against it and its entries are carried out. Record queries answer
// into "output.xml"; record updates change the record store; file entries
// place payloads into static partitions. A refused entry changes nothing.
ExchangeOutcome carryOutCommandFile(VolumeMirror& dropBox, const std::string& digest,
                                    ExchangeScene scene);
