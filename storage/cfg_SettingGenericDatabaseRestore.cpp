// CCfgSettingGenericDatabase::RestoreFrom: putting a backup in the place of the store's database
// file while the service runs. Everything that can be refused is refused before the database is
// touched; the swap itself happens under the store mutex, so no operation sees half of it.
// Thread rule: any thread; the swap waits for the store mutex like every other operation.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "outside/log/DebugLog.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace {
namespace fs = std::filesystem;

const wchar_t kLogSource[] = L"cfg_SettingGenericDatabase";

[[noreturn]] void Refuse(const std::string& sentence) {
    throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__,
                       OS::x_wstring::FromUtf8(sentence));
}

std::string XmlAttr(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

// The problems of the database file `file` against `schemaFile`, checked through a connection
// file of its own in `folder` (created and removed here); nothing is created in the database.
std::vector<std::string> CheckCandidate(const fs::path& folder, const std::string& file,
                                        const std::string& schemaFile) {
    const fs::path config = folder / "config";
    fs::create_directories(config);
    const fs::path conn = config / "dbconf_Conf.xml";
    {
        std::ofstream out(conn);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<connection provider=\"sqlite\">\n"
            << "  <database file=\"" << XmlAttr(file) << "\"/>\n  <schema file=\""
            << XmlAttr(schemaFile) << "\"/>\n</connection>\n";
    }
    std::vector<std::string> problems;
    {
        CGenericDatabase candidate(OS::x_wstring::FromUtf8(conn.string()), false);
        try {
            candidate.Initialize();
            problems = candidate.CheckDatabase(5);
        } catch (const CDBException& e) {
            problems.push_back(e.GetErrorMsg().ToUtf8());
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return problems;
}

void Flush(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void CCfgSettingGenericDatabase::RestoreFrom(const std::string& file) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::RestoreFrom(%s)", file.c_str());
    if (GetProvider() != L"sqlite")
        Refuse("Restore is not supported on this provider (" + GetProvider().ToUtf8() +
               "); restore the dump with pg_restore while the daemon is stopped.");
    const std::string db = GetDatabaseFile().ToUtf8();
    const std::string staged = db + ".restore";
    const std::string before = db + ".before-restore";
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        Refuse("The restore file \"" + file + "\" does not exist or is not a regular file.");
    fs::copy_file(file, staged, fs::copy_options::overwrite_existing, ec);
    if (ec) Refuse("Cannot copy the restore file \"" + file + "\": " + ec.message() + ".");
    Flush(staged);
    const std::vector<std::string> problems =
        CheckCandidate(fs::path(db + ".restore-check"), staged, GetSchemaFile().ToUtf8());
    if (!problems.empty()) {
        fs::remove(staged, ec);
        fs::remove(staged + "-wal", ec);
        fs::remove(staged + "-shm", ec);
        Refuse("The restore file \"" + file + "\" cannot replace the database: " + problems[0] +
               (problems[0].empty() || problems[0].back() == '.' ? "" : "."));
    }
    const StoreLock lock = LockStore(true);
    if (!lock) {
        fs::remove(staged, ec);
        Refuse("The store stayed busy; nothing was restored.");
    }
    CloseAllTables();
    m_mapBulkCfgSetting.clear();
    Uninitialize();  // the last connection leaves no write-ahead log behind
    if (::rename(db.c_str(), before.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        Initialize();
        fs::remove(staged, ec);
        Refuse("Cannot keep the database as \"" + before + "\": " + why + "; nothing changed.");
    }
    fs::remove(db + "-wal", ec);
    fs::remove(db + "-shm", ec);
    try {
        if (::rename(staged.c_str(), db.c_str()) != 0)
            Refuse("Cannot move the restore file into place: " + std::string(std::strerror(errno)));
        Initialize();
    } catch (const CDBException& e) {
        // The old file goes back; the copy is kept beside it for a look.
        Uninitialize();
        ::rename(db.c_str(), staged.c_str());
        ::rename(before.c_str(), db.c_str());
        Initialize();
        Refuse(e.GetErrorMsg().ToUtf8() + "; the previous database was put back.");
    }
    Flush(fs::path(db).parent_path().string());
    CFG_LOG(DBG::LVL_WARNING, L"database restored from %s; the previous one is kept as %s",
            file.c_str(), before.c_str());
}
