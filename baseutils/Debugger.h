#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The inventory driver's debug log. Off until EnableDebug; then every text
// is written exactly as given (callers end their lines themselves).
class cDebugger {
public:
    static cDebugger* getInstance();
    static void Destroy();

    // Opens fileName (emptied) and creates the marker file "zebdebuglog",
    // which also switches on the storage layer log for layers built later.
    void EnableDebug(std::string fileName);

    void Debug(const std::string& text);
    void Debug(const std::ostringstream& text);
    std::ofstream& Debug();

    // The local time ("%D, %r") on a line of its own.
    void DebugTime();

private:
    cDebugger() = default;

    bool m_enabled = false;
    std::ofstream m_debugFile;
    std::ofstream m_markerFile;

    static cDebugger* m_mydebug;
};
