// CSqliteConnection: opening an SQLite file, classifying its failures, its statements and the
// SQLite spelling of the layer's SQL.
// Thread rule: the handle and the statements only under the connection's m_mutex.
#include "outside/db/SqliteConnection.h"

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace zoltdb {
namespace {

// SQLite keeps no memory statistics (nothing here reads them): with them on, each of its
// allocations takes a process-wide lock. Set when the library loads, before SQLite starts; in a
// program that started SQLite already it changes nothing.
const bool g_noMemoryStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;

class CSqliteStatement : public CDbStatement {
  public:
    CSqliteStatement(CSqliteConnection& conn, sqlite3_stmt* st, std::string sql,
                     std::string context)
        : CDbStatement(std::move(sql)),
          m_conn(conn),
          m_st(st),
          m_context(std::move(context)),
          // Sized once: a text bound in place must not move (a short one lives in its string).
          m_texts(static_cast<size_t>(sqlite3_bind_parameter_count(st)) + 1) {}
    ~CSqliteStatement() override { sqlite3_finalize(m_st); }

    void Bind(int pos, const CVar& v) override {
        switch (v.vt()) {
            case VT_EMPTY:
            case VT_NULL:
                sqlite3_bind_null(m_st, pos);
                break;
            case VT_BSTR:
            case VT_LPSTR:
            case VT_LPWSTR: {
                // Bound in place: the text stays in m_texts until this parameter is bound again,
                // so SQLite need not copy it.
                if (pos < 1 || static_cast<size_t>(pos) >= m_texts.size())
                    break;  // no such parameter: SQLite would refuse it
                std::string& text = m_texts[pos];
                text = v.GetString().ToUtf8();
                sqlite3_bind_text(m_st, pos, text.c_str(), -1, SQLITE_STATIC);
                break;
            }
            case VT_ARRAY_UI1:
                if (v.GetBytes().empty())
                    sqlite3_bind_zeroblob(m_st, pos, 0);
                else
                    sqlite3_bind_blob(m_st, pos, v.GetBytes().data(),
                                      static_cast<int>(v.GetBytes().size()), SQLITE_TRANSIENT);
                break;
            case VT_BOOL:
                sqlite3_bind_int(m_st, pos, v.GetBoolRaw() != 0 ? 1 : 0);
                break;
            case VT_R4:
            case VT_R8:
            case VT_DATE:
                sqlite3_bind_double(m_st, pos, v.GetReal());
                break;
            case VT_UI8:
                sqlite3_bind_int64(m_st, pos, static_cast<long long>(v.GetUInt64()));
                break;
            default:
                sqlite3_bind_int64(m_st, pos, v.GetInt64());
                break;
        }
    }
    void BindInt64(int pos, long long v) override { sqlite3_bind_int64(m_st, pos, v); }

    bool Step() override {
        int rc = sqlite3_step(m_st);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        m_conn.Throw(rc, m_context + ": " + m_sql, __LINE__);
    }
    long long Int64(int col) const override { return sqlite3_column_int64(m_st, col); }

    void Read(int col, VARTYPE kind, CVar& out) const override {
        switch (sqlite3_column_type(m_st, col)) {
            case SQLITE_NULL:
                out = CVar();
                return;
            case SQLITE_INTEGER: {
                long long v = sqlite3_column_int64(m_st, col);
                if (v >= INT_MIN && v <= INT_MAX)
                    out.SetI4(static_cast<int>(v));
                else
                    out = CVar::FromI8(v);
                break;
            }
            case SQLITE_FLOAT:
                out = CVar::FromR8(sqlite3_column_double(m_st, col));
                break;
            case SQLITE_TEXT: {
                const char* t = reinterpret_cast<const char*>(sqlite3_column_text(m_st, col));
                out.SetString(WidenText(t, static_cast<size_t>(sqlite3_column_bytes(m_st, col))));
                break;
            }
            default: {  // SQLITE_BLOB
                const void* b = sqlite3_column_blob(m_st, col);
                out = CVar::FromBytes(b,
                                      b ? static_cast<size_t>(sqlite3_column_bytes(m_st, col)) : 0);
                break;
            }
        }
        if (kind == VT_EMPTY || out.vt() == kind) return;
        try {
            out = out.ChangeType(kind);
        } catch (const CVarConversionException&) {
            // written by someone else in another kind: give it as stored
        }
    }

    void Reset() override {
        sqlite3_reset(m_st);
        sqlite3_clear_bindings(m_st);
    }

  private:
    CSqliteConnection& m_conn;
    sqlite3_stmt* m_st;
    std::string m_context;
    std::vector<std::string> m_texts;  // by parameter position: the text bound there
};

std::string ColumnSql(const ColumnDef& c) {
    std::string sql = QuoteIdent(c.name) + " " + c.sqlType;
    if (!c.sqlDefault.empty()) sql += " DEFAULT " + c.sqlDefault;
    return sql;
}

}  // namespace

CSqliteConnection::CSqliteConnection(std::string path, int busyTimeoutMs, bool create)
    : CDbConnection(std::move(path)), m_busyTimeoutMs(busyTimeoutMs), m_create(create) {}

CSqliteConnection::~CSqliteConnection() {
    Shutdown();
}

void CSqliteConnection::OpenHandle() {
    CloseHandle();
    if (m_create) {
        std::error_code ec;
        std::filesystem::path parent = std::filesystem::path(m_where).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (m_create ? SQLITE_OPEN_CREATE : 0);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(m_where.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string err = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        OS::x_wstring msg;
        msg.Format(L"Cannot open the database file \"%s\": %s", m_where.c_str(), err.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg, rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, m_busyTimeoutMs);
    // WAL keeps readers of other processes going while one writes; FULL makes every commit
    // durable. The count checks that the file really is a database.
    const char* setup =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; SELECT count(*) FROM sqlite_master;";
    char* errmsg = nullptr;
    rc = sqlite3_exec(db, setup, nullptr, nullptr, &errmsg);
    if (rc != SQLITE_OK) {
        std::string err = errmsg ? errmsg : sqlite3_errstr(rc);
        sqlite3_free(errmsg);
        sqlite3_close_v2(db);
        int primary = rc & 0xff;
        OS::x_wstring msg;
        if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
            msg.Format(L"The file \"%s\" is not a database: %s", m_where.c_str(), err.c_str());
            throw CDBException(CDBException::kNotADatabase, OS_WFILE, __LINE__, msg, rc);
        }
        if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
            msg.Format(L"The database \"%s\" stayed busy: %s", m_where.c_str(), err.c_str());
            throw CDBException(CDBException::kBusy, OS_WFILE, __LINE__, msg, rc);
        }
        msg.Format(L"Cannot open the database file \"%s\": %s", m_where.c_str(), err.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg, rc);
    }
    m_db = db;
}

void CSqliteConnection::CloseHandle() {
    if (m_db) {
        sqlite3_close_v2(m_db);  // statements still held make it close when they are finalized
        m_db = nullptr;
    }
}

void CSqliteConnection::Throw(int rc, const std::string& context, int line) {
    std::string err = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    int primary = rc & 0xff;
    int code = CDBException::kEngine;
    switch (primary) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            code = CDBException::kBusy;
            break;
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            code = CDBException::kConnectionLost;
            MarkLost();
            break;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            code = CDBException::kNotADatabase;
            MarkLost();
            break;
        default:
            break;
    }
    OS::x_wstring msg;
    msg.Format(L"%s: %s (database \"%s\")", context.c_str(), err.c_str(), m_where.c_str());
    throw CDBException(code, OS_WFILE, line, msg, rc);
}

std::unique_ptr<CDbStatement> CSqliteConnection::Prepare(const std::string& sql,
                                                         const std::string& context) {
    Usable();
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) Throw(rc, context + ": " + sql, __LINE__);
    return std::make_unique<CSqliteStatement>(*this, st, sql, context);
}

void CSqliteConnection::Exec(const std::string& sql, int line) {
    Usable();
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(rc, sql, line);
    NoteCommit();
}

void CSqliteConnection::ExecQuietly(const std::string& sql) {
    if (m_db) sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
}

TableInfo CSqliteConnection::Describe(const std::string& table) {
    TableInfo info;
    auto cols = Prepare("SELECT name, type FROM pragma_table_info(?1)", "reading table " + table);
    cols->Bind(1, CVar(OS::Utf8ToWide(table)));
    CVar n, t;
    while (cols->Step()) {
        cols->Read(0, VT_BSTR, n);
        cols->Read(1, VT_BSTR, t);
        info.columns.emplace_back(n.IsEmpty() ? "" : n.GetString().ToUtf8(),
                                  t.IsEmpty() ? "" : t.GetString().ToUtf8());
    }
    if (info.columns.empty()) return info;
    info.name = table;  // SQLite matches table names without regard to ASCII case itself
    auto idx = Prepare(
        "SELECT count(*) FROM pragma_index_list(?1) AS il WHERE il.\"unique\" = 1 AND "
        "(SELECT count(*) FROM pragma_index_info(il.name)) = 1 AND "
        "(SELECT name FROM pragma_index_info(il.name)) = 'CFG_INDEX' COLLATE NOCASE",
        "reading the indexes of " + table);
    idx->Bind(1, CVar(OS::Utf8ToWide(table)));
    info.keyUnique = idx->Step() && idx->Int64(0) > 0;
    return info;
}

std::vector<std::string> CSqliteConnection::CreateTable(const TableDef& t) const {
    std::string sql = "CREATE TABLE " + QuoteIdent(t.name) + " (" +
                      "\"CFG_INDEX\" TEXT NOT NULL COLLATE NOCASE PRIMARY KEY";
    for (const ColumnDef& c : t.columns) sql += ", " + ColumnSql(c);
    return {sql + ")"};
}

std::string CSqliteConnection::AddColumn(const std::string& table, const ColumnDef& c) const {
    return "ALTER TABLE " + QuoteIdent(table) + " ADD COLUMN " + ColumnSql(c);
}

}  // namespace zoltdb
