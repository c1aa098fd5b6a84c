#pragma once

#include <string>

class FatImage;

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
    bool accepted = false;  // the command file matched its digest and was carried out
    std::string reason;     // why not, for the tests' messages
};

// The controller's side of a record exchange: after the host has handed over
// the command file's digest, the command file "update.xml" in the drop box is
// checked against it and its entries are carried out; the answer goes into
// "output.xml" (unless writeAnswer is false, a fault of the controller).
ExchangeOutcome carryOutCommandFile(FatImage& dropBox, const std::string& digest,
                                    const RecordStore& records, bool writeAnswer = true);
