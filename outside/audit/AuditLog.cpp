// InsertAuditLog: formats the entry's line and appends it with one write to the audit file.
// Thread rule: no shared state; O_APPEND keeps concurrent lines whole.
#include "outside/audit/AuditLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>

#include "outside/log/DebugLog.h"
#include "outside/registry/HomeDir.h"

namespace {
static const wchar_t kLogSource[] = L"AuditLog";

std::string Column(const OS::x_wstring& value) {
    std::string s = value.ToUtf8();
    for (char& c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}
}  // namespace

namespace NS_Audit {

OS::x_wstring AuditLogFile() {
    return OS::GetHomeDir() + L"log/audit.log";
}

}  // namespace NS_Audit

int InsertAuditLog(const OS::x_wstring& server, const OS::x_wstring& originator,
                   const OS::x_wstring& sourceServer, int eventType, int sourceType,
                   const OS::x_wstring& text, const OS::x_wstring& logPath) {
    const std::string file = NS_Audit::AuditLogFile().ToUtf8();
    std::string line = UtcNow() + '\t' + std::to_string(eventType) + '\t' +
                       std::to_string(sourceType) + '\t' + Column(server) + '\t' +
                       Column(originator) + '\t' + Column(sourceServer) + '\t' + Column(logPath) +
                       '\t' + Column(text) + '\n';
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    bool written = false;
    if (fd >= 0) {
        written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
    }
    if (!written) {
        const int error = errno;
        CFG_LOG(DBG::LVL_WARNING, L"InsertAuditLog: cannot append to %s, errno %d", file.c_str(),
                error);
        return -1;
    }
    CFG_LOG(DBG::LVL_INFO, L"InsertAuditLog: server %ls, event %d, source type %d", server.c_str(),
            eventType, sourceType);
    return 0;
}
