/// \file
/// The library's log: two files, `<base>.0` and `<base>.1`, that take turns at
/// 1 MiB each. One line per message: `"<line>  <function>  <message>\n"`.
#ifndef XR9LOG_H
#define XR9LOG_H

#include <fstream>
#include <string>

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

/// Verbosity; a call site writes when LOG_LEVEL is above its threshold.
extern XR9AL_EXPORT int LOG_LEVEL;
/// The exported formatting buffer of the host's own call sites. The library's
/// call sites format into a per-thread buffer instead, so concurrent callers
/// never mix their texts.
extern XR9AL_EXPORT char logbuff[1000];

/// The log writer; all its state is static. Any thread may log.
class XR9AL_EXPORT Xr9Log {
public:
    static constexpr KT::uint32 kFileLimit = 1048576;  ///< a file is full at this size
    static constexpr int kMaxMessage = 999;            ///< longer messages are cut

    /// Does nothing; the log is static.
    Xr9Log();
    /// Closes the log's file if a line left it open, under the log lock; never
    /// touches it when the lock cannot be taken.
    ~Xr9Log();

    /// Stores level in LOG_LEVEL; any value is taken.
    static void SetLogLevel(int level);
    /// Names the log (name + ".0"/".1"), chooses the file and creates the
    /// lock "XR9_LOG_MUTEX" (kept when it exists already; a later call renames
    /// the log under it). 0, or the OS code of the failed lock creation, after
    /// printing "Log Mutex: FAILED".
    static KT::int32 CreateLogFile(std::string name);
    /// Chooses the file that takes the next line, deleting the older full file
    /// when both are full. Always 0. Any thread: takes the log lock when it
    /// exists and the caller does not hold it already.
    static KT::int32 setLogFile();
    /// Appends one line under the log lock: the file is opened, written and
    /// closed for every line, and a line the disk has no room for is cut off
    /// again. A null function or message ends the line early (no newline).
    /// Messages are cut at kMaxMessage bytes. Once the process has begun to
    /// end, lines are dropped.
    static void WriteLogMsg(int line, char* function, char* message);

    static std::string m_FileName;  ///< the base path given to CreateLogFile
    static std::string m_Logfile;   ///< the file that takes the next line: base + ".0" or ".1"
    static KT::uint32 mutexID;      ///< the lock "XR9_LOG_MUTEX"; 0 until CreateLogFile
    /// Kept for hosts built against it; always closed. Lines go through a
    /// descriptor of the writer's own, which the end of the process never
    /// closes behind a writer's back.
    static std::ofstream m_stream;
};

#endif
