// DBG::DebugLogEx over spdlog, with the capture sink for tests.
// Thread rule: the destination is swapped under a mutex; logging itself goes through spdlog's
// thread-safe logger, read through an atomic shared pointer. A log file is flushed once a second
// by spdlog's flushing thread, which blocks every signal.
#include "outside/log/DebugLog.h"

#include <pthread.h>
#include <signal.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "outside/common/CException.h"

namespace DBG {
namespace {

// A process that never chooses writes warnings and errors only.
std::atomic<int> g_verbosity{static_cast<int>(Verbosity::kErrors)};

std::mutex& DestMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<spdlog::logger>& DestSlot() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto l = std::make_shared<spdlog::logger>(
            "zoltcfg", std::make_shared<spdlog::sinks::stderr_sink_mt>());
        l->set_pattern("%Y-%m-%d %H:%M:%S.%e %t %v");
        l->set_level(spdlog::level::trace);
        return l;
    }();
    return logger;
}

std::shared_ptr<spdlog::logger> CurrentLogger() {
    std::lock_guard<std::mutex> lock(DestMutex());
    return DestSlot();
}

void SetLogger(std::shared_ptr<spdlog::logger> l, bool flushedEverySecond = false) {
    l->set_pattern("%Y-%m-%d %H:%M:%S.%e %t %v");
    l->set_level(spdlog::level::trace);
    std::lock_guard<std::mutex> lock(DestMutex());
    // spdlog's periodic flush serves the loggers of its registry: only the one in use is there.
    spdlog::drop("zoltcfg");
    if (flushedEverySecond) {
        static std::once_flag once;
        std::call_once(once, [] {
            // The flushing thread takes no signal of the process: they stay with the threads
            // that wait for them.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, &previous);
            spdlog::flush_every(std::chrono::seconds(1));
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        });
        spdlog::register_logger(l);
    }
    DestSlot() = std::move(l);
}

// Warnings, errors, the fatal message and start-up notes reach the destination at once.
bool FlushedAtOnce(int level) {
    return level >= 0x1000 || level == LVL_STARTUP;
}

struct Capture {
    std::mutex mutex;
    bool active = false;
    std::vector<LoggedLine> lines;
};

Capture& TheCapture() {
    static Capture c;
    return c;
}

const char* LevelName(int level) {
    switch (level) {
        case LVL_INFO:
            return "INFO";
        case LVL_STARTUP:
            return "START";
        case LVL_ENTRY:
            return "ENTER";
        case LVL_EXIT:
            return "EXIT";
        case LVL_WARNING:
            return "WARN";
        case LVL_FATAL:
            return "FATAL";
        case LVL_ERROR:
            return "ERROR";
        default:
            return "LOG";
    }
}

void Emit(int level, const OS::x_wstring& source, int line, const OS::x_wstring& message) {
    {
        Capture& c = TheCapture();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.active) c.lines.push_back(LoggedLine{level, source, line, message});
    }
    try {
        const auto logger = CurrentLogger();
        logger->info("{:5} {}:{} {}", LevelName(level), source.ToUtf8(), line, message.ToUtf8());
        if (FlushedAtOnce(level)) logger->flush();
    } catch (...) {
        // A failure to log is never seen by the caller.
    }
}

}  // namespace

void* ThisModule() {
    static int anchor;
    return &anchor;
}

bool IsLevelEnabled(int level) {
    const auto v = static_cast<Verbosity>(g_verbosity.load(std::memory_order_relaxed));
    if (level >= 0x1000) return true;
    if (level == LVL_ENTRY || level == LVL_EXIT) return v == Verbosity::kTrace;
    if (level == LVL_STARTUP) return v != Verbosity::kErrors;
    return v == Verbosity::kInfo || v == Verbosity::kTrace;
}

void SetVerbosity(Verbosity v) {
    g_verbosity.store(static_cast<int>(v));
}
Verbosity GetVerbosity() {
    return static_cast<Verbosity>(g_verbosity.load());
}

void DebugLogEx(void*, int level, const wchar_t* sourceFile, int line, const wchar_t* format, ...) {
    if (!IsLevelEnabled(level) || format == nullptr) return;
    OS::x_wstring msg;
    va_list args;
    va_start(args, format);
    msg.FormatV(format, args);
    va_end(args);
    Emit(level, sourceFile ? sourceFile : L"", line, msg);
}

void DebugLogEx(void*, int level, const char* sourceFile, int line, const char* format, ...) {
    if (!IsLevelEnabled(level) || format == nullptr) return;
    char stackBuf[512];
    std::string text;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, args);
    if (n >= 0 && static_cast<size_t>(n) >= sizeof stackBuf) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(static_cast<size_t>(n));
    } else if (n >= 0) {
        text.assign(stackBuf, static_cast<size_t>(n));
    }
    va_end(copy);
    va_end(args);
    Emit(level, OS::Utf8ToWide(sourceFile ? sourceFile : ""), line, OS::Utf8ToWide(text));
}

void SetLogFile(const std::string& path, size_t maxBytes, size_t maxFiles) {
    try {
        auto sink =
            std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, maxBytes, maxFiles);
        auto l = std::make_shared<spdlog::logger>("zoltcfg", sink);
        // The file gets its lines in blocks: a warning, an error or a start-up note at once (with
        // every line before it), information lines within a second. One write per line made the
        // many information lines of a busy request cost a system call each.
        SetLogger(std::move(l), true);
    } catch (const spdlog::spdlog_ex& e) {
        throw OS::CException(1, OS_WFILE, __LINE__, OS::Utf8ToWide(e.what()));
    }
}

void SetLogToStderr() {
    SetLogger(std::make_shared<spdlog::logger>("zoltcfg",
                                               std::make_shared<spdlog::sinks::stderr_sink_mt>()));
}

void SetLogToNothing() {
    SetLogger(std::make_shared<spdlog::logger>("zoltcfg",
                                               std::make_shared<spdlog::sinks::null_sink_mt>()));
}

void Flush() {
    CurrentLogger()->flush();
}

CCaptureLog::CCaptureLog() : m_previous(GetVerbosity()) {
    Capture& c = TheCapture();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.active = true;
    c.lines.clear();
    SetVerbosity(Verbosity::kTrace);
}

CCaptureLog::~CCaptureLog() {
    Capture& c = TheCapture();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.active = false;
    c.lines.clear();
    SetVerbosity(m_previous);
}

std::vector<LoggedLine> CCaptureLog::Lines() const {
    Capture& c = TheCapture();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.lines;
}

std::vector<OS::x_wstring> CCaptureLog::Messages(int level) const {
    std::vector<OS::x_wstring> out;
    for (const auto& l : Lines())
        if (l.level == level) out.push_back(l.message);
    return out;
}

bool CCaptureLog::Contains(const OS::x_wstring& message, int level) const {
    for (const auto& l : Lines())
        if (l.message == message && (level == 0 || l.level == level)) return true;
    return false;
}

void CCaptureLog::Clear() {
    Capture& c = TheCapture();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.lines.clear();
}

}  // namespace DBG
