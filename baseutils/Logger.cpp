#include "baseutils/Logger.h"

#include <fcntl.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <vector>

#include "baseutils/HostPort.h"

std::string FormatLocalTime(const char* pattern, std::size_t maxLength) {
    std::time_t now = hostPort().now();
    std::tm local{};
    localtime_r(&now, &local);
    // Room for the whole text first: strftime gives nothing at all when the
    // buffer is too small, and the text is to be cut, not lost.
    std::vector<char> buffer(maxLength + 256, '\0');
    std::size_t length = std::strftime(buffer.data(), buffer.size(), pattern, &local);
    return std::string(buffer.data(), std::min(length, maxLength));
}

bool OpenCloseOnExec(std::ofstream& stream, const std::string& path, std::ios::openmode mode) {
    stream.close();
    stream.clear();
    const bool append = (mode & std::ios::app) != 0;
    // std::ofstream cannot ask for O_CLOEXEC: the descriptor is opened here and
    // handed to the stream's own file buffer.
    int descriptor =
        open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0666);
    if (descriptor < 0) {
        return false;
    }
    __gnu_cxx::stdio_filebuf<char> buffer(
        descriptor, append ? std::ios::out | std::ios::app : std::ios::out | std::ios::trunc);
    if (!buffer.is_open()) {
        ::close(descriptor);
        return false;
    }
    *stream.rdbuf() = std::move(buffer);
    return stream.is_open();
}

std::string getFileName(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    return path.substr(slash + 1);
}

std::int32_t Ascii2Hex(const std::string& text) {
    unsigned long value = std::strtoul(text.c_str(), nullptr, 16);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

CLogger* CLogger::GetInstance() {
    // Never destroyed: code running from other static destructors may log.
    static CLogger* instance = new CLogger();
    return instance;
}

void CLogger::Initialize(const std::string& fileName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_open) {
        return;
    }
    m_fileName = fileName;
    m_open = OpenCloseOnExec(m_file, m_fileName, std::ios::trunc);
}

void CLogger::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file.is_open()) {
        m_file.close();
    }
    m_file.clear();
    m_open = false;
}

void CLogger::log(const char* sourceFile, unsigned line, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) {
        return;
    }
    m_file.seekp(0, std::ios::end);
    m_file << FormatLocalTime("[%Y-%m-%dT%H:%M:%S] ", 79) << ": " << std::setw(25)
           << getFileName(sourceFile ? sourceFile : "") << ":" << std::setw(5) << line << ": "
           << message << "\n";
    m_file.flush();
}

void CLogger::log(const char* sourceFile, unsigned line, std::ostringstream& message) {
    log(sourceFile, line, message.str());
    message.str("");
}

std::string CLogger::getFileName(const std::string& path) {
    return ::getFileName(path);
}
