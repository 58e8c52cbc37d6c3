#include "support/Xr9Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "osal.h"
#include "support/Console.h"
#include "support/Xr9LogCall.h"

int LOG_LEVEL = 6;
char logbuff[1000];

std::string Xr9Log::m_FileName;
std::string Xr9Log::m_Logfile;
KT::uint32 Xr9Log::mutexID = 0;
std::ofstream Xr9Log::m_stream;

namespace {

// Size as the file system reports it; 0 when it cannot be read. Writes no log.
unsigned long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

// Best effort: when it fails the next line is appended all the same.
bool cutBack(const std::string& path, unsigned long long size) {
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool hasRoom(const std::string& path) {
    return osIsFileExists(path.c_str()) != 0 || fileSize(path) < Xr9Log::kFileLimit;
}

}  // namespace

Xr9Log::Xr9Log() = default;

Xr9Log::~Xr9Log() {
    if (m_stream.is_open()) m_stream.close();
}

void Xr9Log::SetLogLevel(int level) {
    LOG_LEVEL = level;
}

KT::int32 Xr9Log::CreateLogFile(std::string name) {
    m_FileName = name;
    setLogFile();
    KT::int32 rc = osMutSemCreate(&mutexID, "XR9_LOG_MUTEX", 0);
    if (rc != 0) xr9::consoleLine("Log Mutex: FAILED");
    return rc;
}

KT::int32 Xr9Log::setLogFile() {
    const std::string previous = m_Logfile;
    const std::string first = m_FileName + ".0";
    const std::string second = m_FileName + ".1";
    m_Logfile = first;
    if (hasRoom(first)) return 0;
    m_Logfile = second;
    if (hasRoom(second)) return 0;
    // Both full: start afresh on the older one, keeping the one just filled.
    m_Logfile = previous == first ? second : first;
    if (osFileRemove(m_Logfile.c_str()) != 0)
        xr9::consoleLine("LogFile: ERROR Not able to delete Logfile: " + m_Logfile);
    return 0;
}

void Xr9Log::WriteLogMsg(int line, char* function, char* message) {
    if (osMutSemTake(mutexID) != 0) {
        xr9::consoleLine("WriteLogMsg: ERROR LOCK Mutex");
    } else {
        std::string text = std::to_string(line) + "  ";
        if (function) {
            text += function;
            text += "  ";
            if (message) {
                text.append(message, strnlen(message, kMaxMessage));
                text += '\n';
            }
        }
        const unsigned long long before = fileSize(m_Logfile);
        if (!m_stream.is_open()) m_stream.open(m_Logfile, std::ios::out | std::ios::app);
        m_stream.write(text.data(), static_cast<std::streamsize>(text.size()));
        m_stream.close();
        // A disk that fills up mid-line must not leave a torn line for the
        // next one to be glued to: cut the file back to where it was.
        if (m_stream.fail() && osIsFileExists(m_Logfile.c_str()) == 0 && fileSize(m_Logfile) != before)
            cutBack(m_Logfile, before);
        m_stream.clear();  // a failed open or write must not poison the next line
        setLogFile();
    }
    if (osMutSemGive(mutexID) != 0) xr9::consoleLine("WriteLogMsg: ERROR UNLOCK Mutex");
}

namespace xr9 {

void logFormatted(int line, const char* function, const char* format, ...) {
    thread_local char buffer[sizeof logbuff];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Xr9Log::WriteLogMsg(line, const_cast<char*>(function), buffer);
}

}  // namespace xr9
