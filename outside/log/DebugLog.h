// DBG::DebugLogEx: the product's debug log, written through spdlog.
//
// Callers pass a module handle, a numeric level (the constants below), the source name and line,
// and a printf-style format. A level that is not enabled costs one atomic load: nothing is
// formatted. Tests install a capture sink and read back exactly what was logged.
// Thread rule: every function may be called from any thread at any time.
#pragma once

#include <string>
#include <vector>

#include "outside/common/x_wstring.h"

namespace DBG {

// Levels of the debug log.
enum Level : int {
    LVL_INFO = 0x102,      // information
    LVL_STARTUP = 0x108,   // start-up notes
    LVL_ENTRY = 0x110,     // entry of an operation
    LVL_EXIT = 0x111,      // exit of an operation
    LVL_WARNING = 0x1001,  // warnings and caught exceptions
    LVL_FATAL = 0x1002,    // the one fatal message
    LVL_ERROR = 0x1003,    // errors
};

// How much is written: errors only (0x100x levels), also start-up notes, also information lines,
// or also the entry and exit traces.
enum class Verbosity { kErrors, kNotices, kInfo, kTrace };

// The handle of this library, passed as the module argument.
void* ThisModule();

// Writes one line. `sourceFile` is the source name; `format` is a wide printf format (%ls for a
// wide string argument). Never throws; a failure to log is not seen.
void DebugLogEx(void* module, int level, const wchar_t* sourceFile, int line, const wchar_t* format,
                ...);
void DebugLogEx(void* module, int level, const char* sourceFile, int line, const char* format, ...);

bool IsLevelEnabled(int level);
void SetVerbosity(Verbosity v);
Verbosity GetVerbosity();

// Sends the log to a file (rotating at `maxBytes`, keeping `maxFiles` old files) instead of
// standard error. Warnings, errors and start-up notes are written at once, other lines within a
// second (and by Flush). Throws OS::CException when the file cannot be opened.
void SetLogFile(const std::string& path, size_t maxBytes = 10 * 1024 * 1024, size_t maxFiles = 3);
// Back to standard error.
void SetLogToStderr();
// Drops every line (the default for a process that never chose a destination is standard error).
void SetLogToNothing();
void Flush();

// One logged line as a capture sink holds it.
struct LoggedLine {
    int level;
    OS::x_wstring source;
    int line;
    OS::x_wstring message;
};

// While a CCaptureLog lives, every line is also kept in memory and verbosity is kTrace.
// REQUIRES: at most one CCaptureLog at a time.
class CCaptureLog {
  public:
    CCaptureLog();
    ~CCaptureLog();
    CCaptureLog(const CCaptureLog&) = delete;
    CCaptureLog& operator=(const CCaptureLog&) = delete;

    std::vector<LoggedLine> Lines() const;
    // The messages of the lines at `level`, in order.
    std::vector<OS::x_wstring> Messages(int level) const;
    // True when some line's message equals `message` (at `level`, when level != 0).
    bool Contains(const OS::x_wstring& message, int level = 0) const;
    void Clear();

  private:
    Verbosity m_previous;
};

}  // namespace DBG

// The usual call: the file-local kLogSource names the source.
#define CFG_LOG(level, ...)                                                                   \
    do {                                                                                      \
        if (::DBG::IsLevelEnabled(level))                                                     \
            ::DBG::DebugLogEx(::DBG::ThisModule(), level, kLogSource, __LINE__, __VA_ARGS__); \
    } while (0)
