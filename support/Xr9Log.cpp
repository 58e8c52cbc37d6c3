#include "support/Xr9Log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
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

constexpr long long kSizeUnknown = -1;

// The current file, open only while one line is written, under the log lock.
// A plain int, so nothing closes it when the process ends.
int streamFd = -1;

// Set once the process has begun to end; read and set under the log lock.
// The names above are destroyed after it is set, so no line may touch them.
std::atomic<bool> ending{false};

// Defined after the log's statics, so destroyed before them: a task that
// still logs while the process ends finds the log closed, not freed.
struct EndOfProcess {
    ~EndOfProcess() {
        const bool locked = osMutSemTake(Xr9Log::mutexID) == 0;
        ending.store(true, std::memory_order_relaxed);
        if (locked) osMutSemGive(Xr9Log::mutexID);
    }
} endOfProcess;

// Missing, unreadable (size 0) or below the limit. Writes no log.
bool hasRoom(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) != 0 || st.st_size < static_cast<off_t>(Xr9Log::kFileLimit);
}

// path == m_FileName + suffix, without building the name.
bool isLogFile(const std::string& path, const char* suffix) {
    const std::string& base = Xr9Log::m_FileName;
    return path.size() == base.size() + 2 && path.compare(0, base.size(), base) == 0 &&
           path.compare(base.size(), 2, suffix) == 0;
}

// m_Logfile = m_FileName + suffix, in the storage m_Logfile already has.
void pointAt(const char* suffix) {
    Xr9Log::m_Logfile.assign(Xr9Log::m_FileName).append(suffix);
}

// The rotation. Log lock held, or no lock yet. writtenSize: the size of the
// current file as its descriptor gave it just after a line, or kSizeUnknown.
// A file just written that still has room says so itself; every other
// answer comes by path, since another process may move or delete the files.
void chooseFile(long long writtenSize) {
    const bool writtenHasRoom = writtenSize != kSizeUnknown && writtenSize < Xr9Log::kFileLimit;
    const bool wasFirst = isLogFile(Xr9Log::m_Logfile, ".0");
    if (wasFirst && writtenHasRoom) return;
    const bool wasSecond = !wasFirst && isLogFile(Xr9Log::m_Logfile, ".1");
    pointAt(".0");
    if (hasRoom(Xr9Log::m_Logfile)) return;
    pointAt(".1");
    if ((wasSecond && writtenHasRoom) || hasRoom(Xr9Log::m_Logfile)) return;
    // Both full: start afresh on the older one, keeping the one just filled.
    pointAt(wasFirst ? ".1" : ".0");
    if (osFileRemove(Xr9Log::m_Logfile.c_str()) != 0)
        xr9::consoleLine("LogFile: ERROR Not able to delete Logfile: " + Xr9Log::m_Logfile);
}

// Writes all parts, going on after short writes; the bytes written.
size_t writeAll(int fd, iovec* parts, int count) {
    size_t done = 0;
    while (count > 0) {
        const ssize_t n = count == 1 ? write(fd, parts->iov_base, parts->iov_len) : writev(fd, parts, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
        size_t left = static_cast<size_t>(n);
        for (; count > 0 && left >= parts->iov_len; ++parts, --count) left -= parts->iov_len;
        if (count > 0) {  // the part cut short goes on where it stopped
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return done;
}

// Best effort: when it fails the next line is appended all the same.
bool cutBack(int fd, long long size) {
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

// Opens m_Logfile, appends one line and closes it again. Log lock held.
// The file's size afterwards, or kSizeUnknown when the line did not go in whole.
long long appendLine(int line, char* function, char* message) {
    char number[16];
    char* end = std::to_chars(number, number + 12, line).ptr;
    memcpy(end, "  ", 2);
    char blanks[] = "  ", newline[] = "\n";
    iovec parts[5] = {{number, static_cast<size_t>(end + 2 - number)}};
    int count = 1;
    if (function) {
        parts[count++] = {function, strlen(function)};
        parts[count++] = {blanks, 2};
        if (message) {
            parts[count++] = {message, strnlen(message, Xr9Log::kMaxMessage)};
            parts[count++] = {newline, 1};
        }
    }
    size_t length = 0;
    for (int i = 0; i < count; ++i) length += parts[i].iov_len;
    // One write costs the kernel less than a gathered one: join the line on
    // the stack unless the function text is huge.
    char joined[2048];
    if (length <= sizeof joined) {
        size_t at = 0;
        for (int i = 0; i < count; at += parts[i++].iov_len) memcpy(joined + at, parts[i].iov_base, parts[i].iov_len);
        parts[0] = {joined, length};
        count = 1;
    }

    if (streamFd < 0) streamFd = open(Xr9Log::m_Logfile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (streamFd < 0) return kSizeUnknown;  // missing directory, no permission: the line is lost
    const size_t written = writeAll(streamFd, parts, count);
    // The end offset is the size fstat reports, at about half fstat's cost.
    const off_t fileEnd = lseek(streamFd, 0, SEEK_END);
    long long size = fileEnd >= 0 ? static_cast<long long>(fileEnd) : kSizeUnknown;
    if (written != length) {
        // A disk that fills up mid-line must not leave a torn line for the
        // next one to be glued to: cut the file back to where it was. The
        // descriptor, not the path: by now the path may name another file.
        if (written > 0 && size >= static_cast<long long>(written))
            cutBack(streamFd, size - static_cast<long long>(written));
        size = kSizeUnknown;
    }
    close(streamFd);  // a failed close is not reported
    streamFd = -1;
    return size;
}

}  // namespace

Xr9Log::Xr9Log() = default;

Xr9Log::~Xr9Log() {
    if (osMutSemTake(mutexID) != 0) return;
    if (streamFd >= 0) {
        close(streamFd);
        streamFd = -1;
    }
    osMutSemGive(mutexID);
}

void Xr9Log::SetLogLevel(int level) {
    LOG_LEVEL = level;
}

KT::int32 Xr9Log::CreateLogFile(std::string name) {
    // The first call runs before there is a lock; a later one renames a live log.
    const bool locked = osMutSemTake(mutexID) == 0;
    m_FileName = std::move(name);
    chooseFile(kSizeUnknown);
    if (locked) osMutSemGive(mutexID);
    KT::int32 rc = osMutSemCreate(&mutexID, "XR9_LOG_MUTEX", 0);
    if (rc != 0) xr9::consoleLine("Log Mutex: FAILED");
    return rc;
}

KT::int32 Xr9Log::setLogFile() {
    // Without a lock nobody writes; a caller that holds it already cannot take it again.
    const bool locked = osMutSemTake(mutexID) == 0;
    if (!ending.load(std::memory_order_relaxed)) chooseFile(kSizeUnknown);
    if (locked) osMutSemGive(mutexID);
    return 0;
}

void Xr9Log::WriteLogMsg(int line, char* function, char* message) {
    if (osMutSemTake(mutexID) != 0) {
        xr9::consoleLine("WriteLogMsg: ERROR LOCK Mutex");
    } else if (!ending.load(std::memory_order_relaxed)) {
        chooseFile(appendLine(line, function, message));
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
