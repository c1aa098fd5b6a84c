#pragma once

#include <string>

// Texts placed into shell command lines.

// Always in single quotes, with embedded quotes escaped.
inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Unchanged when every character is harmless to the shell, quoted otherwise,
// so that ordinary paths keep their plain form in the command line.
inline std::string shellArgument(const std::string& text) {
    if (text.empty()) {
        return shellQuoted(text);
    }
    for (char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' ||
                     c == ':' || c == '@' || c == '%' || c == '=';
        if (!plain) {
            return shellQuoted(text);
        }
    }
    return text;
}
