// CGenericDatabase: the connection file, opening the database, bringing the schema in, and
// opening tables as record sets.
// Thread rule: the connection is used under its own mutex.
#include "outside/db/CGenericDatabase.h"

#include <filesystem>
#include <set>

#include "outside/db/DbConnection.h"
#include "outside/db/DbSchema.h"
#include "outside/log/DebugLog.h"
#include "outside/xml/CXMLParser.h"

namespace {

static const wchar_t kLogSource[] = L"GenericDatabase";

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// `path` taken from `home` unless it is absolute.
OS::x_wstring FromHome(const std::filesystem::path& home, const OS::x_wstring& path) {
    std::filesystem::path p(OS::WideToUtf8(path));
    if (p.is_relative()) p = home / p;
    return OS::Utf8ToWide(p.lexically_normal().string());
}

[[noreturn]] void BadConnectionFile(const OS::x_wstring& file, const OS::x_wstring& why) {
    OS::x_wstring msg;
    msg.Format(L"Connection file \"%ls\": %ls", file.c_str(), why.c_str());
    throw CDBException(CDBException::kConnectionFile, OS_WFILE, __LINE__, msg);
}

struct ColumnInfo {
    std::string name;
    std::string type;
};

// The columns of `table` in their order; empty when the table does not exist.
std::vector<ColumnInfo> TableColumns(zoltdb::CDbConnection& conn, const std::string& table) {
    sqlite3* db = conn.Usable();
    sqlite3_stmt* st = nullptr;
    int rc =
        sqlite3_prepare_v2(db, "SELECT name, type FROM pragma_table_info(?1)", -1, &st, nullptr);
    if (rc != SQLITE_OK) conn.Throw(rc, "reading the columns of " + table, __LINE__);
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<ColumnInfo> cols;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const char* n = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        cols.push_back({n ? n : "", t ? t : ""});
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) conn.Throw(rc, "reading the columns of " + table, __LINE__);
    return cols;
}

// Creates the schema's missing tables and columns, in one transaction.
void BringSchemaIn(zoltdb::CDbConnection& conn, const std::vector<zoltdb::TableDef>& tables) {
    conn.Exec("BEGIN IMMEDIATE", __LINE__);
    try {
        for (const zoltdb::TableDef& t : tables) {
            std::vector<ColumnInfo> have = TableColumns(conn, t.name);
            if (have.empty()) {
                std::string sql =
                    "CREATE TABLE " + zoltdb::QuoteIdent(t.name) + " (" + zoltdb::kKeyColumnDef;
                for (const zoltdb::ColumnDef& c : t.columns) {
                    sql += ", " + zoltdb::QuoteIdent(c.name) + " " + c.sqlType;
                    if (!c.sqlDefault.empty()) sql += " DEFAULT " + c.sqlDefault;
                }
                conn.Exec(sql + ")", __LINE__);
                CFG_LOG(DBG::LVL_STARTUP, L"table %s created", t.name.c_str());
                continue;
            }
            std::set<std::string> names;
            for (const ColumnInfo& c : have) names.insert(Upper(c.name));
            for (const zoltdb::ColumnDef& c : t.columns) {
                if (names.count(Upper(c.name))) continue;
                std::string sql = "ALTER TABLE " + zoltdb::QuoteIdent(t.name) + " ADD COLUMN " +
                                  zoltdb::QuoteIdent(c.name) + " " + c.sqlType;
                if (!c.sqlDefault.empty()) sql += " DEFAULT " + c.sqlDefault;
                conn.Exec(sql, __LINE__);
                names.insert(Upper(c.name));
                CFG_LOG(DBG::LVL_STARTUP, L"column %s.%s added", t.name.c_str(), c.name.c_str());
            }
        }
        conn.Exec("COMMIT", __LINE__);
    } catch (...) {
        if (sqlite3* db = conn.Usable()) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

CGenericDatabase::CGenericDatabase(const OS::x_wstring& connectionFile, bool createMissing)
    : m_strConnectionFile(connectionFile), m_bCreateMissing(createMissing) {}

CGenericDatabase::~CGenericDatabase() {
    try {
        CGenericDatabase::Uninitialize();
    } catch (...) {
    }
}

void CGenericDatabase::ReadConnectionFile() {
    CXMLParser parser;
    try {
        parser.Load(m_strConnectionFile);
    } catch (const CXMLException& e) {
        BadConnectionFile(m_strConnectionFile, e.GetErrorMsg());
    }
    CXMLNode root = parser.GetDocumentElement();
    if (root.GetName() != L"connection")
        BadConnectionFile(m_strConnectionFile, L"the root element is not <connection>");
    OS::x_wstring provider = root.GetAttribute(L"provider");
    if (provider.CompareNoCase(L"sqlite") != 0) {
        BadConnectionFile(m_strConnectionFile, L"provider \"" + provider + L"\" is not supported");
    }
    m_strProvider = provider;
    std::filesystem::path conn = std::filesystem::absolute(OS::WideToUtf8(m_strConnectionFile));
    std::filesystem::path home = conn.parent_path().parent_path();

    OS::x_wstring file = root.SelectSingleNode(L"database").GetAttribute(L"file");
    if (file.empty())
        BadConnectionFile(m_strConnectionFile, L"<database file=\"...\"/> is missing");
    m_strDatabaseFile = FromHome(home, file);

    OS::x_wstring schema = root.SelectSingleNode(L"schema").GetAttribute(L"file");
    m_strSchemaFile =
        FromHome(home, schema.empty() ? OS::x_wstring(L"config/dbSchema_Conf.xml") : schema);

    OS::x_wstring busy = root.SelectSingleNode(L"busyTimeout").GetAttribute(L"ms");
    m_nBusyTimeoutMs = 30000;
    if (!busy.empty()) {
        try {
            m_nBusyTimeoutMs = CVar(busy).ToI4();
        } catch (const CVarConversionException&) {
            BadConnectionFile(m_strConnectionFile,
                              L"busyTimeout ms=\"" + busy + L"\" is not a number");
        }
    }
}

void CGenericDatabase::Initialize() {
    CGenericDatabase::Uninitialize();
    ReadConnectionFile();
    auto conn = std::make_shared<zoltdb::CDbConnection>(OS::WideToUtf8(m_strDatabaseFile),
                                                        m_nBusyTimeoutMs, m_bCreateMissing);
    std::lock_guard<std::recursive_mutex> lk(conn->m_mutex);
    conn->Open();
    if (m_bCreateMissing) {
        if (std::filesystem::exists(OS::WideToUtf8(m_strSchemaFile))) {
            BringSchemaIn(*conn, zoltdb::LoadSchema(m_strSchemaFile));
        } else {
            CFG_LOG(DBG::LVL_WARNING, L"schema file %ls not found, no tables created",
                    m_strSchemaFile.c_str());
        }
    }
    m_conn = conn;
}

void CGenericDatabase::Uninitialize() {
    if (!m_conn) return;
    {
        std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
        m_conn->Close();
    }
    m_conn.reset();
}

bool CGenericDatabase::IsInitialized() const {
    return m_conn != nullptr;
}

bool CGenericDatabase::OpenTable(const OS::x_wstring& table, CModifiableRecordSet*& rs) {
    rs = nullptr;
    if (!m_conn) {
        OS::x_wstring msg;
        msg.Format(L"Cannot open table %ls: the database is not initialised", table.c_str());
        throw CDBException(CDBException::kNotConnected, OS_WFILE, __LINE__, msg);
    }
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    m_conn->CheckFault(CDBFaultInjector::Op::kOpenTable);
    std::string name = OS::WideToUtf8(table);
    std::vector<ColumnInfo> cols = TableColumns(*m_conn, name);
    if (cols.empty()) {
        CFG_LOG(DBG::LVL_STARTUP, L"table %ls does not exist", table.c_str());
        return false;
    }
    std::vector<OS::x_wstring> names;
    std::vector<VARTYPE> kinds;
    long key = -1;
    for (const ColumnInfo& c : cols) {
        if (key < 0 && Upper(c.name) == zoltdb::kKeyColumn) key = static_cast<long>(names.size());
        names.push_back(OS::Utf8ToWide(c.name));
        kinds.push_back(zoltdb::KindOfDeclaredType(c.type));
    }
    bool unique = false;
    if (key >= 0) {
        sqlite3_stmt* st = nullptr;
        const char* sql =
            "SELECT count(*) FROM pragma_index_list(?1) AS il WHERE il.\"unique\" = 1 AND "
            "(SELECT count(*) FROM pragma_index_info(il.name)) = 1 AND "
            "(SELECT name FROM pragma_index_info(il.name)) = 'CFG_INDEX' COLLATE NOCASE";
        int rc = sqlite3_prepare_v2(m_conn->Usable(), sql, -1, &st, nullptr);
        if (rc != SQLITE_OK) m_conn->Throw(rc, "reading the indexes of " + name, __LINE__);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(st);
        unique = rc == SQLITE_ROW && sqlite3_column_int(st, 0) > 0;
        sqlite3_finalize(st);
        if (rc != SQLITE_ROW) m_conn->Throw(rc, "reading the indexes of " + name, __LINE__);
    }
    auto* set =
        new CModifiableRecordSet(m_conn, table, std::move(names), std::move(kinds), key, unique);
    try {
        set->MoveFirst();
    } catch (...) {
        delete set;
        throw;
    }
    rs = set;
    return true;
}

std::vector<std::string> CGenericDatabase::CheckDatabase(size_t limit) {
    std::vector<std::string> problems;
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(m_conn->Usable(), "PRAGMA integrity_check", -1, &st, nullptr);
    if (rc != SQLITE_OK) m_conn->Throw(rc, "checking the database", __LINE__);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW && problems.size() < limit) {
        const char* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (line && std::string(line) != "ok")
            problems.push_back("the database is damaged: " + std::string(line));
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) m_conn->Throw(rc, "checking the database", __LINE__);
    const std::string schemaFile = OS::WideToUtf8(m_strSchemaFile);
    if (!std::filesystem::exists(schemaFile)) {
        problems.push_back("the schema file " + schemaFile + " does not exist");
        return problems;
    }
    for (const zoltdb::TableDef& t : zoltdb::LoadSchema(m_strSchemaFile)) {
        if (problems.size() >= limit) break;
        std::vector<ColumnInfo> have = TableColumns(*m_conn, t.name);
        if (have.empty()) {
            problems.push_back("table " + t.name + " of the schema is missing");
            continue;
        }
        for (const zoltdb::ColumnDef& c : t.columns) {
            bool found = false;
            for (const ColumnInfo& h : have) found = found || Upper(h.name) == Upper(c.name);
            if (!found && problems.size() < limit)
                problems.push_back("column " + c.name + " of table " + t.name + " is missing");
        }
    }
    return problems;
}

bool CGenericDatabase::Reconnect() {
    if (!m_conn) return false;
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    return !m_conn->IsClosed() && m_conn->TryReopen();
}

bool CGenericDatabase::IsDBStatusOK() {
    return zoltdb::StatusOK();
}
bool CGenericDatabase::IsProbingDBStatus() {
    return zoltdb::Probing();
}
bool CGenericDatabase::ProbeLostConnections() {
    return zoltdb::ProbeAll();
}
void CGenericDatabase::SetProbeInterval(std::chrono::milliseconds interval) {
    zoltdb::SetProbeIntervalMs(interval.count());
}
