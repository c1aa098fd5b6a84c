#pragma once

#include <string>

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
