#pragma once

#include <string>
#include <vector>

#include "storage/CfgEntry.h"

// A placement destination is "NN/PATH": PATH on the static partition NN.
// PATH becomes a path below the drop box's mount directory and below the
// partition's, so it must not lead out of them.

// What makes destination lead out of its partition (an absolute PATH or a
// ".." component), or empty text.
std::string placementEscapeProblem(const std::string& destination);

// The same, and what else keeps PATH from naming one file plainly: a "."
// or empty component, a trailing "/", a control character. For operators'
// arguments.
std::string placementDestinationProblem(const std::string& destination);

// The destination without its first path element (the partition number).
std::string pathWithinPartition(const std::string& destination);

// Whether the files of a placement can fit where they go.
struct PlacementFit {
    unsigned char error = 0;  // 0, 3 (no such partition) or 77 (too large)
    std::string problem;      // naming the file, its size, the partition and its size
};

// Judges the file copies of entries against their target partitions: one
// the controller does not have (the catalogue after the layer's start-up),
// a file larger than its partition's nominal size, or files that together
// are. A partition of unknown size is not judged by size.
PlacementFit placementFit(const std::vector<cfgEntry>& entries);
