// CPgConnection: connecting to the server, classifying its failures, its statements (text
// parameters and results, bytes in binary) and the PostgreSQL spelling of the layer's SQL.
// Thread rule: the handle and the statements only under the connection's m_mutex.
#include "outside/db/PgConnection.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outside/db/PgLibrary.h"

namespace zoltdb {
namespace {

// libpq, loaded on first use.
const CPgLibrary& Pq() {
    return PgLibrary();
}

// Type ids of the server's built-in types.
enum : Oid {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kFloat4 = 700,
    kFloat8 = 701,
    kNumeric = 1700
};

// The domain date columns are made of: an automation date number, as SQLite stores it.
const char kDateDomain[] = "zolt_date";

// The key of a row as its unique index holds it: ASCII letters folded, nothing else.
std::string KeyFold(const std::string& expr) {
    return "lower(" + expr + " COLLATE \"C\")";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The first line of a libpq message.
std::string FirstLine(const char* text) {
    std::string s = text ? text : "";
    size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    return s;
}

class CPgStatement : public CDbStatement {
  public:
    CPgStatement(CPgConnection& conn, std::string sql, std::string context)
        : CDbStatement(std::move(sql)), m_conn(conn), m_context(std::move(context)) {}
    ~CPgStatement() override {
        Reset();
        // The server forgets the statements of a session that ended by itself.
        if (!m_name.empty() && m_generation == m_conn.Generation() && !m_conn.IsLost() &&
            !m_conn.IsClosed() && m_conn.Handle() != nullptr) {
            Pq().PQclear(Pq().PQexec(m_conn.Handle(), ("DEALLOCATE " + m_name).c_str()));
        }
    }

    // Prepares the statement on the server for the connection's current session.
    void Make() {
        m_name = m_conn.NextStatementName();
        m_generation = m_conn.Generation();
        PGresult* r = Pq().PQprepare(m_conn.Handle(), m_name.c_str(), m_sql.c_str(), 0, nullptr);
        if (Pq().PQresultStatus(r) != PGRES_COMMAND_OK) {
            m_name.clear();
            m_conn.Fail(r, m_context + ": " + m_sql, __LINE__);
        }
        Pq().PQclear(r);
    }

    void Bind(int pos, const CVar& v) override {
        Slot& s = At(pos);
        s.null = false;
        s.binary = false;
        char buf[64];
        switch (v.vt()) {
            case VT_EMPTY:
            case VT_NULL:
                s.null = true;
                s.value.clear();
                return;
            case VT_BSTR:
            case VT_LPSTR:
            case VT_LPWSTR:
                s.value = v.GetString().ToUtf8();
                return;
            case VT_ARRAY_UI1:
                s.binary = true;
                s.value.assign(reinterpret_cast<const char*>(v.GetBytes().data()),
                               v.GetBytes().size());
                return;
            case VT_BOOL:
                s.value = v.GetBoolRaw() != 0 ? "t" : "f";
                return;
            case VT_R4:
            case VT_R8:
            case VT_DATE:
                std::snprintf(buf, sizeof buf, "%.17g", v.GetReal());
                break;
            case VT_UI8:
                std::snprintf(buf, sizeof buf, "%llu",
                              static_cast<unsigned long long>(v.GetUInt64()));
                break;
            default:
                std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.GetInt64()));
                break;
        }
        s.value = buf;
    }
    void BindInt64(int pos, long long v) override {
        Slot& s = At(pos);
        s.null = false;
        s.binary = false;
        s.value = std::to_string(v);
    }

    bool Step() override {
        if (m_res == nullptr) Run();
        return ++m_row < Pq().PQntuples(m_res);
    }
    long long Int64(int col) const override {
        return std::strtoll(Pq().PQgetvalue(m_res, m_row, col), nullptr, 10);
    }

    void Read(int col, VARTYPE kind, CVar& out) const override {
        if (Pq().PQgetisnull(m_res, m_row, col)) {
            out = CVar();
            return;
        }
        const char* t = Pq().PQgetvalue(m_res, m_row, col);
        const size_t n = static_cast<size_t>(Pq().PQgetlength(m_res, m_row, col));
        const Oid type = Pq().PQftype(m_res, col);
        if (type == kInt2 || type == kInt4 || type == kInt8) {
            long long v = std::strtoll(t, nullptr, 10);
            if (v >= INT_MIN && v <= INT_MAX)
                out.SetI4(static_cast<int>(v));
            else
                out = CVar::FromI8(v);
        } else if (type == kBool) {
            out.SetI4(t[0] == 't' ? 1 : 0);
        } else if (type == kFloat4 || type == kFloat8 || type == kNumeric ||
                   ((kind == VT_DATE || kind == VT_R8) && type != kBytea)) {
            char* end = nullptr;
            double d = std::strtod(t, &end);
            if (end != t && *end == '\0')
                out = CVar::FromR8(d);
            else
                out.SetString(WidenText(t, n));
        } else if (type == kBytea) {
            std::vector<unsigned char> bytes;
            if (n >= 2 && t[0] == '\\' && t[1] == 'x') {
                bytes.reserve((n - 2) / 2);
                for (size_t i = 2; i + 1 < n; i += 2)
                    bytes.push_back(
                        static_cast<unsigned char>(HexDigit(t[i]) * 16 + HexDigit(t[i + 1])));
            }
            out = CVar::FromBytes(bytes.data(), bytes.size());
        } else {
            out.SetString(WidenText(t, n));
        }
        if (kind == VT_EMPTY || out.vt() == kind) return;
        try {
            out = out.ChangeType(kind);
        } catch (const CVarConversionException&) {
            // a value of another kind than the column's: give it as read
        }
    }

    void Reset() override {
        if (m_res) Pq().PQclear(m_res);
        m_res = nullptr;
        m_row = -1;
        m_slots.clear();
    }

  private:
    struct Slot {
        std::string value;
        bool null = true;
        bool binary = false;
    };
    Slot& At(int pos) {
        if (static_cast<size_t>(pos) > m_slots.size()) m_slots.resize(static_cast<size_t>(pos));
        return m_slots[static_cast<size_t>(pos) - 1];
    }

    void Run() {
        if (m_name.empty() || m_generation != m_conn.Generation()) Make();
        std::vector<const char*> values(m_slots.size());
        std::vector<int> lengths(m_slots.size()), formats(m_slots.size());
        for (size_t i = 0; i < m_slots.size(); ++i) {
            values[i] = m_slots[i].null ? nullptr : m_slots[i].value.data();
            lengths[i] = static_cast<int>(m_slots[i].value.size());
            formats[i] = m_slots[i].binary ? 1 : 0;
        }
        PGresult* r =
            Pq().PQexecPrepared(m_conn.Handle(), m_name.c_str(), static_cast<int>(m_slots.size()),
                                values.data(), lengths.data(), formats.data(), 0);
        ExecStatusType st = Pq().PQresultStatus(r);
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK)
            m_conn.Fail(r, m_context + ": " + m_sql, __LINE__);
        m_res = r;
        m_row = -1;
    }

    CPgConnection& m_conn;
    std::string m_context;
    std::string m_name;
    unsigned long long m_generation = 0;
    std::vector<Slot> m_slots;
    PGresult* m_res = nullptr;
    int m_row = -1;
};

// A column's type and default as the server spells them.
std::string ColumnSql(const ColumnDef& c) {
    std::string type = c.sqlType, dflt = c.sqlDefault;
    if (type == "DATE") {
        type = kDateDomain;
    } else if (type == "DOUBLE") {
        type = "DOUBLE PRECISION";
    } else if (type == "BLOB") {
        type = "BYTEA";
        if (dflt.size() >= 3 && dflt[0] == 'X')  // X'hex'
            dflt = "'\\x" + dflt.substr(2, dflt.size() - 3) + "'::bytea";
    } else if (type == "BOOLEAN" && !dflt.empty()) {
        dflt = dflt == "0" ? "false" : "true";
    }
    std::string sql = QuoteIdent(c.name) + " " + type;
    if (!dflt.empty()) sql += " DEFAULT " + dflt;
    return sql;
}

// Creates the date domain unless the database has it.
const char kMakeDateDomain[] =
    "DO $$ BEGIN CREATE DOMAIN zolt_date AS DOUBLE PRECISION; "
    "EXCEPTION WHEN duplicate_object THEN NULL; END $$";

bool HasDate(const std::vector<ColumnDef>& cols) {
    for (const ColumnDef& c : cols)
        if (c.sqlType == "DATE") return true;
    return false;
}

}  // namespace

CPgConnection::CPgConnection(std::string conninfo, std::string passwordFile, int busyTimeoutMs)
    : CDbConnection(""),
      m_conninfo(std::move(conninfo)),
      m_passwordFile(std::move(passwordFile)),
      m_busyTimeoutMs(busyTimeoutMs) {
    Location(m_conninfo, m_where);
}

CPgConnection::~CPgConnection() {
    Shutdown();
}

bool CPgConnection::Location(const std::string& conninfo, std::string& where) {
    char* err = nullptr;
    PQconninfoOption* opts = Pq().PQconninfoParse(conninfo.c_str(), &err);
    if (opts == nullptr) {
        where = FirstLine(err ? err : "out of memory");
        Pq().PQfreemem(err);
        return false;
    }
    std::string host, port, db, user;
    for (PQconninfoOption* o = opts; o->keyword; ++o) {
        if (!o->val || !*o->val) continue;
        std::string k = o->keyword;
        if (k == "host" || (k == "hostaddr" && host.empty())) host = o->val;
        if (k == "port") port = o->val;
        if (k == "dbname") db = o->val;
        if (k == "user") user = o->val;
    }
    Pq().PQconninfoFree(opts);
    if (host.empty()) host = "localhost";
    if (db.empty()) db = user.empty() ? "(the user's database)" : user;
    where = host + ":" + (port.empty() ? "5432" : port) + "/" + db;
    return true;
}

void CPgConnection::OpenHandle() {
    CloseHandle();
    // A reconnect runs inside IsDBStatusOK()'s probe: it must not hang on an unreachable host.
    const std::string timeout = std::to_string(std::clamp(m_busyTimeoutMs / 1000, 2, 10));
    // Later entries win: our defaults first, then the administrator's string, then the
    // password file the connection file names.
    std::vector<const char*> keys = {"connect_timeout", "application_name",    "keepalives",
                                     "keepalives_idle", "keepalives_interval", "keepalives_count",
                                     "dbname"};
    std::vector<const char*> values = {timeout.c_str(),   "zoltcfg", "1", "10", "5", "3",
                                       m_conninfo.c_str()};
    if (!m_passwordFile.empty()) {
        keys.push_back("passfile");
        values.push_back(m_passwordFile.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* pg = Pq().PQconnectdbParams(keys.data(), values.data(), 1);
    if (pg == nullptr || Pq().PQstatus(pg) != CONNECTION_OK) {
        std::string err = FirstLine(pg ? Pq().PQerrorMessage(pg) : "out of memory");
        Pq().PQfinish(pg);
        const char* why = "the server refused the connection";
        if (err.find("password") != std::string::npos ||
            err.find("authentication") != std::string::npos ||
            (err.find("role") != std::string::npos &&
             err.find("does not exist") != std::string::npos))
            why = "the server refused the user name or password";
        else if (err.find("database") != std::string::npos &&
                 err.find("does not exist") != std::string::npos)
            why = "the database does not exist on the server";
        else if (err.find("translate host name") != std::string::npos ||
                 err.find("Connection refused") != std::string::npos ||
                 err.find("No such file or directory") != std::string::npos ||
                 err.find("timeout") != std::string::npos ||
                 err.find("No route to host") != std::string::npos)
            why = "the server cannot be reached (check host and port, and that it runs)";
        OS::x_wstring msg;
        msg.Format(L"Cannot connect to the PostgreSQL database %s: %s (%s)", m_where.c_str(), why,
                   err.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg);
    }
    Pq().PQsetNoticeProcessor(
        pg, [](void*, const char*) {}, nullptr);
    m_pg = pg;
    const std::string ms = std::to_string(m_busyTimeoutMs);
    // Every commit waits for its write-ahead log on disk; a statement or lock wait past the busy
    // timeout ends with a busy failure.
    const std::string setup =
        "SET client_encoding = 'UTF8'; SET synchronous_commit = on; "
        "SET standard_conforming_strings = on; SET client_min_messages = warning; "
        "SET statement_timeout = " +
        ms + "; SET lock_timeout = " + ms;
    PGresult* r = Pq().PQexec(m_pg, setup.c_str());
    if (Pq().PQresultStatus(r) != PGRES_COMMAND_OK) Fail(r, "setting the session up", __LINE__);
    Pq().PQclear(r);
}

void CPgConnection::CloseHandle() {
    if (m_pg) {
        Pq().PQfinish(m_pg);
        m_pg = nullptr;
    }
}

void CPgConnection::Fail(PGresult* res, const std::string& context, int line) {
    const char* state = res ? Pq().PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    std::string code = state ? state : "";
    std::string err = FirstLine(res ? Pq().PQresultErrorMessage(res) : Pq().PQerrorMessage(m_pg));
    if (err.empty() && m_pg) err = FirstLine(Pq().PQerrorMessage(m_pg));
    Pq().PQclear(res);
    int kind = CDBException::kEngine;
    if (m_pg == nullptr || Pq().PQstatus(m_pg) == CONNECTION_BAD || code.rfind("08", 0) == 0 ||
        code.rfind("57P0", 0) == 0) {
        kind = CDBException::kConnectionLost;
        MarkLost();
    } else if (code == "57014" || code == "55P03" || code == "40001" || code == "40P01") {
        kind = CDBException::kBusy;  // past the busy timeout, or a lock conflict
    }
    OS::x_wstring msg;
    msg.Format(L"%s: %s (database \"%s\")", context.c_str(), err.c_str(), m_where.c_str());
    throw CDBException(kind, OS_WFILE, line, msg);
}

std::unique_ptr<CDbStatement> CPgConnection::Prepare(const std::string& sql,
                                                     const std::string& context) {
    Usable();
    auto st = std::make_unique<CPgStatement>(*this, sql, context);
    st->Make();
    return st;
}

void CPgConnection::Exec(const std::string& sql, int line) {
    Usable();
    PGresult* r = Pq().PQexec(m_pg, sql.c_str());
    ExecStatusType st = Pq().PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) Fail(r, sql, line);
    Pq().PQclear(r);
    NoteCommit();
}

void CPgConnection::ExecQuietly(const std::string& sql) {
    if (m_pg) Pq().PQclear(Pq().PQexec(m_pg, sql.c_str()));
}

TableInfo CPgConnection::Describe(const std::string& table) {
    Usable();
    // The table of that name (an exact match before one that differs in case), its columns
    // and whether a unique index folds its key. The candidates are taken from the schemas of
    // the search path first, behind a fence, and the index definitions are read as an aggregate's
    // argument, never in a condition the planner could apply to every index of the database: the
    // catalog functions fail on a table another session drops meanwhile ("could not open
    // relation with OID").
    static const char kSql[] =
        "WITH t AS MATERIALIZED (SELECT c.oid, c.relname FROM pg_class c "
        "WHERE c.relkind IN ('r', 'p') AND lower(c.relname) = lower($1) AND c.relnamespace IN "
        "(SELECT n.oid FROM pg_namespace n WHERE n.nspname = ANY (current_schemas(false)))) "
        "SELECT t.relname, a.attname, format_type(a.atttypid, a.atttypmod), "
        "COALESCE((SELECT bool_or(pg_get_indexdef(i.indexrelid) LIKE '%lower((\"CFG_INDEX\" "
        "COLLATE \"C\"))%') FROM pg_index i WHERE i.indrelid = t.oid AND i.indisunique AND "
        "i.indnatts = 1), false) FROM t JOIN pg_attribute a ON a.attrelid = t.oid "
        "WHERE pg_table_is_visible(t.oid) AND a.attnum > 0 AND NOT a.attisdropped "
        "ORDER BY t.relname = $1 DESC, t.relname, a.attnum";
    const char* params[] = {table.c_str()};
    PGresult* r = Pq().PQexecParams(m_pg, kSql, 1, nullptr, params, nullptr, nullptr, 0);
    if (Pq().PQresultStatus(r) != PGRES_TUPLES_OK) Fail(r, "reading table " + table, __LINE__);
    TableInfo info;
    bool rowid = false;
    for (int i = 0; i < Pq().PQntuples(r); ++i) {
        std::string rel = Pq().PQgetvalue(r, i, 0);
        if (info.name.empty()) info.name = rel;
        if (rel != info.name) break;
        std::string col = Pq().PQgetvalue(r, i, 1);
        std::string type = Pq().PQgetvalue(r, i, 2);
        info.keyUnique = Pq().PQgetvalue(r, i, 3)[0] == 't';
        if (col == "CFG_ROWID") {
            rowid = true;
            continue;
        }
        // The declared types in the schema's words.
        const size_t d = type.rfind(kDateDomain);  // also schema-qualified: "s.zolt_date"
        if (d != std::string::npos && d + sizeof kDateDomain - 1 == type.size() &&
            (d == 0 || type[d - 1] == '.'))
            type = "DATE";
        else if (type == "double precision" || type == "real" || type == "numeric")
            type = "DOUBLE";
        else if (type == "bytea")
            type = "BLOB";
        info.columns.emplace_back(col, type);
    }
    Pq().PQclear(r);
    if (!info.name.empty() && !rowid) {
        OS::x_wstring msg;
        msg.Format(
            L"Table %s has no CFG_ROWID column: it was not made from a schema file "
            L"(database \"%s\")",
            info.name.c_str(), m_where.c_str());
        throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__, msg);
    }
    return info;
}

std::string CPgConnection::KeyEquals(const std::string& key, const std::string& param) const {
    return KeyFold(key) + " = " + KeyFold(param + "::text");
}

std::string CPgConnection::OnKeyConflict(const std::string& key, const std::string& set) const {
    return " ON CONFLICT ((" + KeyFold(key) + ")) DO UPDATE SET " + set;
}

std::vector<std::string> CPgConnection::CreateTable(const TableDef& t) const {
    std::vector<std::string> out;
    if (HasDate(t.columns)) out.push_back(kMakeDateDomain);
    std::string sql = "CREATE TABLE " + QuoteIdent(t.name) +
                      " (\"CFG_ROWID\" BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                      "\"CFG_INDEX\" TEXT NOT NULL";
    for (const ColumnDef& c : t.columns) sql += ", " + ColumnSql(c);
    out.push_back(sql + ")");
    out.push_back("CREATE UNIQUE INDEX " + QuoteIdent(t.name + "_cfg_key") + " ON " +
                  QuoteIdent(t.name) + " (" + KeyFold("\"CFG_INDEX\"") + ")");
    return out;
}

std::string CPgConnection::AddColumn(const std::string& table, const ColumnDef& c) const {
    std::string sql = "ALTER TABLE " + QuoteIdent(table) + " ADD COLUMN " + ColumnSql(c);
    return HasDate({c}) ? std::string(kMakeDateDomain) + "; " + sql : sql;
}

}  // namespace zoltdb
