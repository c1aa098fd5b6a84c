#pragma once

#include <string>
#include <vector>

// The parts of text between separators: "a//b" split at '/' is "a", "", "b";
// an empty text is one empty part.
inline std::vector<std::string> splitText(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}
