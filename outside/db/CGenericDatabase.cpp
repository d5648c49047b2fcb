// CGenericDatabase: the connection file, opening the database, bringing the schema in, and
// opening tables as record sets.
// Thread rule: the connection is used under its own mutex.
#include "outside/db/CGenericDatabase.h"

#include <filesystem>
#include <set>

#include "outside/db/DbConnection.h"
#include "outside/db/DbSchema.h"
#include "outside/db/PgConnection.h"
#include "outside/db/SqliteConnection.h"
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

// Creates the schema's missing tables and columns, in one transaction.
void BringSchemaIn(zoltdb::CDbConnection& conn, const std::vector<zoltdb::TableDef>& tables) {
    conn.Exec(conn.BeginWrite(), __LINE__);
    try {
        for (const zoltdb::TableDef& t : tables) {
            zoltdb::TableInfo have = conn.Describe(t.name);
            if (have.name.empty()) {
                for (const std::string& sql : conn.CreateTable(t)) conn.Exec(sql, __LINE__);
                CFG_LOG(DBG::LVL_STARTUP, L"table %s created", t.name.c_str());
                continue;
            }
            std::set<std::string> names;
            for (const auto& c : have.columns) names.insert(Upper(c.first));
            for (const zoltdb::ColumnDef& c : t.columns) {
                if (names.count(Upper(c.name))) continue;
                conn.Exec(conn.AddColumn(have.name, c), __LINE__);
                names.insert(Upper(c.name));
                CFG_LOG(DBG::LVL_STARTUP, L"column %s.%s added", t.name.c_str(), c.name.c_str());
            }
        }
        conn.Exec("COMMIT", __LINE__);
    } catch (...) {
        conn.ExecQuietly("ROLLBACK");
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
    if (provider.CompareNoCase(L"sqlite") == 0) {
        m_strProvider = L"sqlite";
    } else if (provider.CompareNoCase(L"postgresql") == 0) {
        m_strProvider = L"postgresql";
    } else {
        BadConnectionFile(m_strConnectionFile, L"provider \"" + provider + L"\" is not supported");
    }
    std::filesystem::path conn = std::filesystem::absolute(OS::WideToUtf8(m_strConnectionFile));
    std::filesystem::path home = conn.parent_path().parent_path();

    m_strServer.clear();
    m_strPasswordFile.clear();
    if (m_strProvider == L"sqlite") {
        OS::x_wstring file = root.SelectSingleNode(L"database").GetAttribute(L"file");
        if (file.empty())
            BadConnectionFile(m_strConnectionFile, L"<database file=\"...\"/> is missing");
        m_strDatabaseFile = FromHome(home, file);
    } else {
        m_strServer = root.SelectSingleNode(L"server").GetAttribute(L"connect");
        if (m_strServer.empty())
            BadConnectionFile(m_strConnectionFile, L"<server connect=\"...\"/> is missing");
        std::string where;
        if (!zoltdb::CPgConnection::Location(OS::WideToUtf8(m_strServer), where)) {
            BadConnectionFile(
                m_strConnectionFile,
                L"<server connect=\"...\"/> is not a connection string: " + OS::Utf8ToWide(where));
        }
        m_strDatabaseFile = OS::Utf8ToWide(where);
        OS::x_wstring pass = root.SelectSingleNode(L"passwordFile").GetAttribute(L"file");
        if (!pass.empty()) m_strPasswordFile = FromHome(home, pass);
    }

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
    std::shared_ptr<zoltdb::CDbConnection> conn;
    if (m_strProvider == L"sqlite") {
        conn = std::make_shared<zoltdb::CSqliteConnection>(OS::WideToUtf8(m_strDatabaseFile),
                                                           m_nBusyTimeoutMs, m_bCreateMissing);
    } else {
        conn = std::make_shared<zoltdb::CPgConnection>(
            OS::WideToUtf8(m_strServer), OS::WideToUtf8(m_strPasswordFile), m_nBusyTimeoutMs);
    }
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
    zoltdb::TableInfo info = m_conn->Describe(name);
    if (info.name.empty()) {
        CFG_LOG(DBG::LVL_STARTUP, L"table %ls does not exist", table.c_str());
        return false;
    }
    std::vector<OS::x_wstring> names;
    std::vector<VARTYPE> kinds;
    long key = -1;
    for (const auto& [col, type] : info.columns) {
        if (key < 0 && Upper(col) == zoltdb::kKeyColumn) key = static_cast<long>(names.size());
        names.push_back(OS::Utf8ToWide(col));
        kinds.push_back(zoltdb::KindOfDeclaredType(type));
    }
    bool unique = key >= 0 && info.keyUnique;
    auto* set = new CModifiableRecordSet(m_conn, OS::Utf8ToWide(info.name), std::move(names),
                                         std::move(kinds), key, unique);
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
    m_conn->Usable();
    if (std::string(m_conn->Provider()) == "sqlite") {
        // A database server keeps its own pages whole; an SQLite file is checked here.
        auto check = m_conn->Prepare("PRAGMA integrity_check", "checking the database");
        while (problems.size() < limit && check->Step()) {
            CVar line;
            check->Read(0, VT_BSTR, line);
            const std::string text = line.GetString().ToUtf8();
            if (text != "ok") problems.push_back("the database is damaged: " + text);
        }
    }
    const std::string schemaFile = OS::WideToUtf8(m_strSchemaFile);
    if (!std::filesystem::exists(schemaFile)) {
        problems.push_back("the schema file " + schemaFile + " does not exist");
        return problems;
    }
    for (const zoltdb::TableDef& t : zoltdb::LoadSchema(m_strSchemaFile)) {
        if (problems.size() >= limit) break;
        const zoltdb::TableInfo have = m_conn->Describe(t.name);
        if (have.name.empty()) {
            problems.push_back("table " + t.name + " of the schema is missing");
            continue;
        }
        std::set<std::string> names;
        for (const auto& c : have.columns) names.insert(Upper(c.first));
        for (const zoltdb::ColumnDef& c : t.columns)
            if (!names.count(Upper(c.name)) && problems.size() < limit)
                problems.push_back("column " + c.name + " of table " + t.name + " is missing");
    }
    return problems;
}

void CGenericDatabase::BeginWrite() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    m_conn->Usable();
    m_conn->Exec(m_conn->BeginWrite(), __LINE__);
    m_writeGeneration = m_conn->Generation();
}

void CGenericDatabase::CommitWrite() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    m_conn->Usable();
    if (m_conn->Generation() != m_writeGeneration) {
        throw CDBException(CDBException::kConnectionLost, OS_WFILE, __LINE__,
                           L"the connection was reopened during the transaction: its writes "
                           L"are lost");
    }
    try {
        m_conn->Exec("COMMIT", __LINE__);
    } catch (...) {
        m_conn->ExecQuietly("ROLLBACK");
        throw;
    }
    zoltdb::NoteCommit();
}

void CGenericDatabase::RollbackWrite() {
    try {
        std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
        if (!m_conn->IsClosed() && !m_conn->IsLost() && m_conn->Generation() == m_writeGeneration) {
            m_conn->ParkWalk();
            m_conn->ExecQuietly("ROLLBACK");
        }
    } catch (...) {
    }
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
CGenericDatabase::CStatusChanges CGenericDatabase::StatusChanges() {
    return {zoltdb::StatusLostCount(), zoltdb::StatusRecoveredCount()};
}

bool CGenericDatabase::ProbeLostConnections() {
    return zoltdb::ProbeAll();
}
void CGenericDatabase::SetProbeInterval(std::chrono::milliseconds interval) {
    zoltdb::SetProbeIntervalMs(interval.count());
}
