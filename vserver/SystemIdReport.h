#pragma once

#include <string>

// What the server's "getSystemId" program prints: the plug-in takes the four
// characters that end its "System ID" line.
inline std::string systemIdReport(const std::string& systemId) {
    return "Server identification\nSystem ID: " + systemId + "\n";
}
