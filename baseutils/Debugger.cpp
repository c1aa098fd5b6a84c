#include "baseutils/Debugger.h"

#include <mutex>

#include "baseutils/Logger.h"

cDebugger* cDebugger::m_mydebug = nullptr;

namespace {

// Two drivers on two threads would each make an instance and lose one.
std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

cDebugger* cDebugger::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (!m_mydebug) {
        m_mydebug = new cDebugger();
    }
    return m_mydebug;
}

void cDebugger::Destroy() {
    std::lock_guard<std::mutex> lock(instanceMutex());
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
