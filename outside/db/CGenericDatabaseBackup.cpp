// CGenericDatabase::BackupTo: a consistent copy of a database that stays in use. The copy goes
// to "<target>.partial" first and is flushed and renamed over the target only when whole, so a
// failed backup never leaves a target that looks complete.
// Thread rule: uses a connection of its own (SQLite) or a child process (PostgreSQL); the
// database object's own connection is not touched, so it may serve other threads meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "outside/db/CGenericDatabase.h"

extern char** environ;

namespace {

[[noreturn]] void Fail(const std::string& sentence) {
    throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__,
                       OS::x_wstring::FromUtf8(sentence));
}

// Flushes `path` (a file or a folder) to disk; false when it cannot be opened or flushed.
bool SyncPath(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Pages copied per step: the source snapshot is held by an open read, so the step size only
// bounds how long the copy holds the engine's locks at once.
constexpr int kPagesPerStep = 4096;
// The longest a dump of the server's database may run.
constexpr std::chrono::hours kDumpDeadline{6};

void CopySqlite(const std::string& source, const std::string& partial, int busyTimeoutMs) {
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    auto closeBoth = [&] {
        sqlite3_close_v2(src);
        sqlite3_close_v2(dst);
    };
    auto engineFail = [&](sqlite3* db, const std::string& what) {
        const std::string msg = what + ": " + (db ? sqlite3_errmsg(db) : "out of memory") + ".";
        closeBoth();
        ::unlink(partial.c_str());
        Fail(msg);
    };
    if (sqlite3_open_v2(source.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        engineFail(src, "Cannot open the database \"" + source + "\" for the backup");
    sqlite3_busy_timeout(src, busyTimeoutMs);
    if (sqlite3_open_v2(partial.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK)
        engineFail(dst, "Cannot write the backup file \"" + partial + "\"");
    // The copy is flushed once at the end; no journal is needed for a file nobody reads yet.
    sqlite3_exec(dst, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    // One read of the source for the whole copy: every step sees the same moment, and in WAL
    // mode writers go on meanwhile.
    if (sqlite3_exec(src, "BEGIN; SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
        SQLITE_OK)
        engineFail(src, "Cannot read the database \"" + source + "\"");
    sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
    if (!b) engineFail(dst, "Cannot write the backup file \"" + partial + "\"");
    int rc = SQLITE_OK;
    while ((rc = sqlite3_backup_step(b, kPagesPerStep)) == SQLITE_OK || rc == SQLITE_BUSY ||
           rc == SQLITE_LOCKED) {
        if (rc != SQLITE_OK) sqlite3_sleep(10);
    }
    sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE) engineFail(dst, "Cannot write the backup file \"" + partial + "\"");
    sqlite3_exec(src, "COMMIT", nullptr, nullptr, nullptr);
    closeBoth();
}

void DumpPostgres(const std::string& conninfo, const std::string& passwordFile,
                  const std::string& partial) {
    // The connection string goes on the command line without a password (passwords live in
    // the password file, handed over through the environment).
    std::vector<std::string> args = {"pg_dump", "--format=custom", "--no-password",
                                     "--file=" + partial, "--dbname=" + conninfo};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("PGPASSFILE=", 0) != 0) env.emplace_back(*e);
    if (!passwordFile.empty()) env.push_back("PGPASSFILE=" + passwordFile);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "pg_dump", nullptr, nullptr, argv.data(), envp.data()) != 0)
        Fail("Cannot run pg_dump for the backup; install the PostgreSQL client programs.");
    const auto deadline = std::chrono::steady_clock::now() + kDumpDeadline;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::unlink(partial.c_str());
            Fail("pg_dump did not finish in time; the backup was abandoned.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ::unlink(partial.c_str());
        Fail("pg_dump failed (its messages are in the daemon's standard error).");
    }
}

}  // namespace

unsigned long long CGenericDatabase::BackupTo(const std::string& target) {
    namespace fs = std::filesystem;
    const std::string partial = target + ".partial";
    const std::string folder = fs::path(target).parent_path().string();
    if (m_strProvider == L"sqlite") {
        // Fail early with the target's name rather than the engine's words.
        const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (fd < 0)
            Fail("Cannot write the backup file \"" + target + "\": " + std::strerror(errno) + ".");
        ::close(fd);
        CopySqlite(OS::WideToUtf8(m_strDatabaseFile), partial, m_nBusyTimeoutMs);
    } else {
        DumpPostgres(OS::WideToUtf8(m_strServer), OS::WideToUtf8(m_strPasswordFile), partial);
    }
    std::error_code ec;
    const auto size = fs::file_size(partial, ec);
    if (ec || !SyncPath(partial, false) || ::rename(partial.c_str(), target.c_str()) != 0) {
        const std::string why = ec ? ec.message() : std::strerror(errno);
        ::unlink(partial.c_str());
        Fail("Cannot write the backup file \"" + target + "\": " + why + ".");
    }
    SyncPath(folder, true);
    return size;
}
