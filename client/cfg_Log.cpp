// CCfgLog: the public control of the library's log, over the debug log every module writes to.
// Thread rule: as the debug log's (any function from any thread).
#include "cfg_Client.h"
#include "outside/log/DebugLog.h"

namespace {

DBG::Verbosity ToDebug(CCfgLog::Verbosity v) {
    switch (v) {
        case CCfgLog::Verbosity::kTrace:
            return DBG::Verbosity::kTrace;
        case CCfgLog::Verbosity::kInfo:
            return DBG::Verbosity::kInfo;
        case CCfgLog::Verbosity::kNotices:
            return DBG::Verbosity::kNotices;
        case CCfgLog::Verbosity::kErrors:
            break;
    }
    return DBG::Verbosity::kErrors;
}

int LevelOf(CCfgLog::Kind kind) {
    switch (kind) {
        case CCfgLog::Kind::kStartup:
            return DBG::LVL_STARTUP;
        case CCfgLog::Kind::kWarning:
            return DBG::LVL_WARNING;
        case CCfgLog::Kind::kError:
            return DBG::LVL_ERROR;
        case CCfgLog::Kind::kInfo:
            break;
    }
    return DBG::LVL_INFO;
}

}  // namespace

void CCfgLog::SetVerbosity(Verbosity v) {
    DBG::SetVerbosity(ToDebug(v));
}

CCfgLog::Verbosity CCfgLog::GetVerbosity() {
    switch (DBG::GetVerbosity()) {
        case DBG::Verbosity::kTrace:
            return Verbosity::kTrace;
        case DBG::Verbosity::kInfo:
            return Verbosity::kInfo;
        case DBG::Verbosity::kNotices:
            return Verbosity::kNotices;
        case DBG::Verbosity::kErrors:
            break;
    }
    return Verbosity::kErrors;
}

void CCfgLog::ToStandardError() {
    DBG::SetLogToStderr();
}

void CCfgLog::ToFile(const std::string& path, size_t maxBytes, size_t maxFiles) {
    DBG::SetLogFile(path, maxBytes, maxFiles);
}

void CCfgLog::ToNothing() {
    DBG::SetLogToNothing();
}

void CCfgLog::Write(Kind kind, const char* source, const std::string& text) {
    const int level = LevelOf(kind);
    if (DBG::IsLevelEnabled(level))
        DBG::DebugLogEx(DBG::ThisModule(), level, source ? source : "", 0, "%s", text.c_str());
}

void CCfgLog::Flush() {
    DBG::Flush();
}
