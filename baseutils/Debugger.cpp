#include "baseutils/Debugger.h"

#include "baseutils/Logger.h"

cDebugger* cDebugger::m_mydebug = nullptr;

cDebugger* cDebugger::getInstance() {
    if (!m_mydebug) {
        m_mydebug = new cDebugger();
    }
    return m_mydebug;
}

void cDebugger::Destroy() {
    delete m_mydebug;
    m_mydebug = nullptr;
}

void cDebugger::EnableDebug(std::string fileName) {
    if (m_enabled) {
        return;
    }
    m_enabled = true;
    OpenCloseOnExec(m_debugFile, fileName, std::ios::trunc);
    OpenCloseOnExec(m_markerFile, "zebdebuglog", std::ios::trunc);
    m_markerFile.close();
}

void cDebugger::Debug(const std::string& text) {
    if (!m_enabled || !m_debugFile.is_open()) {
        return;
    }
    m_debugFile.seekp(0, std::ios::end);
    m_debugFile << text;
    m_debugFile.flush();
}

void cDebugger::Debug(const std::ostringstream& text) {
    Debug(text.str());
}

std::ofstream& cDebugger::Debug() {
    return m_debugFile;
}

void cDebugger::DebugTime() {
    // A closed file makes the write fail quietly inside the stream.
    m_debugFile << FormatLocalTime("%D, %r", 29) << "\n";
    m_debugFile.flush();
}
