#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

// The plug-in log: one process-wide file, named by the first Initialize.
// Every line carries the local time, the source file and the line number.
class CLogger {
public:
    static CLogger* GetInstance();

    // Opens fileName (emptied) unless the log is already open.
    void Initialize(const std::string& fileName);

    // Writes one line when the log is open; otherwise nothing.
    void log(const char* sourceFile, unsigned line, const std::string& message);
    // Same with the stream's text; the stream is emptied afterwards.
    void log(const char* sourceFile, unsigned line, std::ostringstream& message);

    static std::string getFileName(const std::string& path);

    // Closes the log so that the next Initialize opens a fresh one; lets a
    // test (or a host that moves its working directory) start over.
    void Close();

private:
    CLogger() = default;

    // A host may run the storage road on two threads; one waits for the
    // other's storage lock while both log.
    std::mutex m_mutex;
    std::string m_fileName = "debug.log";
    std::ofstream m_file;
    bool m_open = false;
};

// The part of path after its last "/", or the whole path.
std::string getFileName(const std::string& path);

// Reads text as a hexadecimal number (leading white space allowed).
std::int32_t Ascii2Hex(const std::string& text);

// Local time of the host port's clock formatted with pattern, cut to
// maxLength characters.
std::string FormatLocalTime(const char* pattern, std::size_t maxLength);

// Opens stream on path for writing, emptied (std::ios::trunc) or appended to
// (std::ios::app), on a close-on-exec descriptor: the shell commands the
// plug-in runs must not inherit its logs. False when the file cannot be
// opened; the stream is then left closed.
bool OpenCloseOnExec(std::ofstream& stream, const std::string& path, std::ios::openmode mode);
