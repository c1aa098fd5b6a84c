#pragma once

#include <ostream>
#include <vector>

#include "storage/CfgEntry.h"

// Writers of the exchange command file the controller reads from a drop box.
// It is checked against its digest, so every byte counts.

// A whole file for the record exchanges (modes 10 to 15; any other mode is
// written as 12). Always true.
bool CreatePyxConfigFile(std::ostream& out, std::vector<cfgEntry> entries);

// The same frame, piece by piece, for the file placements of the update path.
void AddCfgHdr(std::ostream& out);
// One File element; the source text is the entry's source when
// sourceFromEntry, else its destination without the first path element.
void AddCfgEntry(std::ostream& out, cfgEntry entry, bool sourceFromEntry);
void AddCfgFtr(std::ostream& out);
