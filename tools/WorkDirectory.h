#pragma once

#include <string>

// Makes directory (parents too), puts the plug-in's data files there unless
// they already are, and makes it the current directory: the plug-in reads its
// data files from, and writes its logs into, its current directory. Returns
// an empty text, or what went wrong.
std::string enterWorkDirectory(const std::string& directory, const std::string& dataDirectory);

// The default work directory and the shipped data files.
std::string defaultWorkDirectory();
std::string shippedDataDirectory();
