// CModifiableRecordSet: the record set over one table. MoveFirst and seeks are one short query
// by rowid or key; a walk steps one running "rowid > current ORDER BY rowid" statement, left as
// the connection's active walk between calls and parked (reset) by any other use of the
// connection, after which MoveNext resumes by rowid. Statements are prepared once per record
// set and kept. Each Update and Delete is one statement, hence one durable transaction.
// Thread rule: every operation holds the connection's mutex while it touches the database.
#include "outside/db/CModifiableRecordSet.h"

#include <climits>

#include "outside/db/DbConnection.h"

using zoltdb::QuoteIdent;
using Op = CDBFaultInjector::Op;

namespace {

// Resets a statement (and clears its bindings) when the scope ends.
struct StmtReset {
    sqlite3_stmt* st;
    ~StmtReset() {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }
};

// UTF-8 text of the engine as a wide string, in one pass and one allocation: ASCII text (the
// usual keys and names) is widened byte by byte, anything else goes through the full decoder.
OS::x_wstring WidenText(const char* t, int n) {
    const auto* b = reinterpret_cast<const unsigned char*>(t);
    const size_t size = n > 0 ? static_cast<size_t>(n) : 0;
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= b[i];
    if (any >= 0x80) return OS::Utf8ToWide(std::string_view(t, size));
    OS::x_wstring out;
    out.resize(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<wchar_t>(b[i]);
    return out;
}

// Sets `out` to a column of the current result row as a variant of kind `kind` (VT_EMPTY: as
// stored).
void ReadColumn(sqlite3_stmt* st, int col, VARTYPE kind, CVar& out) {
    switch (sqlite3_column_type(st, col)) {
        case SQLITE_NULL:
            out = CVar();
            return;
        case SQLITE_INTEGER: {
            long long v = sqlite3_column_int64(st, col);
            if (v >= INT_MIN && v <= INT_MAX)
                out.SetI4(static_cast<int>(v));
            else
                out = CVar::FromI8(v);
            break;
        }
        case SQLITE_FLOAT:
            out = CVar::FromR8(sqlite3_column_double(st, col));
            break;
        case SQLITE_TEXT: {
            const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
            out.SetString(WidenText(t, sqlite3_column_bytes(st, col)));
            break;
        }
        default: {  // SQLITE_BLOB
            const void* b = sqlite3_column_blob(st, col);
            out = CVar::FromBytes(b, b ? static_cast<size_t>(sqlite3_column_bytes(st, col)) : 0);
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

void BindValue(sqlite3_stmt* st, int pos, const CVar& v) {
    switch (v.vt()) {
        case VT_EMPTY:
        case VT_NULL:
            sqlite3_bind_null(st, pos);
            break;
        case VT_BSTR:
        case VT_LPSTR:
        case VT_LPWSTR:
            sqlite3_bind_text(st, pos, v.GetString().ToUtf8().c_str(), -1, SQLITE_TRANSIENT);
            break;
        case VT_ARRAY_UI1:
            if (v.GetBytes().empty())
                sqlite3_bind_zeroblob(st, pos, 0);
            else
                sqlite3_bind_blob(st, pos, v.GetBytes().data(),
                                  static_cast<int>(v.GetBytes().size()), SQLITE_TRANSIENT);
            break;
        case VT_BOOL:
            sqlite3_bind_int(st, pos, v.GetBoolRaw() != 0 ? 1 : 0);
            break;
        case VT_R4:
        case VT_R8:
        case VT_DATE:
            sqlite3_bind_double(st, pos, v.GetReal());
            break;
        case VT_UI8:
            sqlite3_bind_int64(st, pos, static_cast<long long>(v.GetUInt64()));
            break;
        default:
            sqlite3_bind_int64(st, pos, v.GetInt64());
            break;
    }
}

}  // namespace

CModifiableRecordSet::CModifiableRecordSet(std::shared_ptr<zoltdb::CDbConnection> conn,
                                           const OS::x_wstring& table,
                                           std::vector<OS::x_wstring> names,
                                           std::vector<VARTYPE> kinds, long keyColumn,
                                           bool keyUnique)
    : m_conn(std::move(conn)),
      m_strTable(table),
      m_quotedTable(QuoteIdent(OS::WideToUtf8(table))),
      m_names(std::move(names)),
      m_kinds(std::move(kinds)),
      m_keyColumn(keyColumn),
      m_keyUnique(keyUnique) {
    m_selectList = "rowid";
    for (const OS::x_wstring& n : m_names) {
        m_quotedNames.push_back(QuoteIdent(OS::WideToUtf8(n)));
        m_selectList += ", " + m_quotedNames.back();
    }
    const std::string select = "SELECT " + m_selectList + " FROM " + m_quotedTable;
    m_fixedSql[kFirst] = select + " ORDER BY rowid LIMIT 1";
    m_fixedSql[kWalk] = select + " WHERE rowid > ?1 ORDER BY rowid";
    if (m_keyColumn >= 0) {
        m_fixedSql[kSeekKey] = select + " WHERE " + m_quotedNames[m_keyColumn] + " = ?1";
        if (!m_keyUnique) m_fixedSql[kSeekKey] += " ORDER BY rowid LIMIT 1";
    }
    m_fixedSql[kCount] = "SELECT count(*) FROM " + m_quotedTable;
    m_fixedSql[kDelete] = "DELETE FROM " + m_quotedTable + " WHERE rowid = ?1";
}

CModifiableRecordSet::~CModifiableRecordSet() {
    Close();
}

void CModifiableRecordSet::Close() {
    if (!m_conn) return;
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    DropStatements();
    m_bOpen = false;
    m_pos = Pos::kNone;
    m_values.clear();
    m_staged.clear();
    m_mode = Mode::kNone;
}

void CModifiableRecordSet::DropStatements() {
    m_conn->ForgetWalk(m_fixed[kWalk]);
    for (auto& [sql, st] : m_stmts) sqlite3_finalize(st);
    m_stmts.clear();
    for (sqlite3_stmt*& st : m_fixed) {
        sqlite3_finalize(st);
        st = nullptr;
    }
}

void CModifiableRecordSet::Check(int op) {
    if (!m_bOpen) {
        OS::x_wstring msg;
        msg.Format(L"The record set of table %ls is closed", m_strTable.c_str());
        throw CDBException(CDBException::kNotConnected, OS_WFILE, __LINE__, msg);
    }
    m_conn->CheckFault(static_cast<Op>(op));
    m_conn->Usable();
    if (m_stmtGeneration != m_conn->Generation()) {  // reopened: statements are stale
        DropStatements();
        m_stmtGeneration = m_conn->Generation();
    }
}

sqlite3_stmt* CModifiableRecordSet::Stmt(Fixed which) {
    if (m_fixed[which]) return m_fixed[which];
    int rc = sqlite3_prepare_v3(m_conn->Usable(), m_fixedSql[which].c_str(), -1,
                                SQLITE_PREPARE_PERSISTENT, &m_fixed[which], nullptr);
    if (rc != SQLITE_OK) ThrowEngine(rc, m_fixedSql[which].c_str());
    return m_fixed[which];
}

sqlite3_stmt* CModifiableRecordSet::Stmt(const std::string& sql) {
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(m_conn->Usable(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st,
                                nullptr);
    if (rc != SQLITE_OK) ThrowEngine(rc, sql.c_str());
    m_stmts.emplace(sql, st);
    return st;
}

void CModifiableRecordSet::ThrowEngine(int rc, const char* what) {
    m_conn->Throw(rc, "table " + OS::WideToUtf8(m_strTable) + ": " + what, __LINE__);
}

bool CModifiableRecordSet::FetchRow(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) ThrowEngine(rc, sqlite3_sql(st));
    ReadRow(st);
    return true;
}

void CModifiableRecordSet::ReadRow(sqlite3_stmt* st) {
    m_rowid = sqlite3_column_int64(st, 0);
    m_values.resize(m_names.size());
    for (size_t i = 0; i < m_names.size(); ++i) {
        ReadColumn(st, static_cast<int>(i + 1), m_kinds[i], m_values[i]);
    }
    m_pos = Pos::kRow;
}

void CModifiableRecordSet::StepWalk(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) return ReadRow(st);
    if (rc == SQLITE_DONE) {
        m_conn->ParkWalk();  // the read ends with the table
        m_pos = Pos::kEOF;
        m_values.clear();
        return;
    }
    try {
        ThrowEngine(rc, sqlite3_sql(st));
    } catch (...) {
        m_conn->ParkWalk();  // the current row stays; the next MoveNext resumes after it
        throw;
    }
}

void CModifiableRecordSet::MoveFirst() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kMove));
    CancelUpdate();
    sqlite3_stmt* st = Stmt(kFirst);
    StmtReset reset{st};
    if (!FetchRow(st)) {
        m_pos = Pos::kEOF;
        m_values.clear();
    }
}

void CModifiableRecordSet::MoveNext() {
    if (m_pos == Pos::kNone) return MoveFirst();
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    sqlite3_stmt* walk = m_fixed[kWalk];
    if (walk != nullptr && m_conn->ActiveWalk() == walk && !m_conn->IsLost() &&
        m_walkCommits == zoltdb::CommitCount()) {
        // Nothing touched the connection since the last row: the walk goes on where it is.
        m_conn->CheckFault(Op::kMove);
        CancelUpdate();
        return StepWalk(walk);
    }
    Check(static_cast<int>(Op::kMove));  // parks any running walk
    CancelUpdate();
    if (m_pos == Pos::kEOF) return;
    walk = Stmt(kWalk);
    sqlite3_bind_int64(walk, 1, m_rowid);
    m_walkCommits = zoltdb::CommitCount();
    m_conn->SetActiveWalk(walk);
    StepWalk(walk);
}

bool CModifiableRecordSet::Seek(const OS::x_wstring& column, const CVar& value) {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kSeek));
    CancelUpdate();
    long index = GetFieldIndex(column);
    if (index < 0) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls has no column %ls to seek", m_strTable.c_str(), column.c_str());
        throw CDBException(CDBException::kNoSuchColumn, OS_WFILE, __LINE__, msg);
    }
    if (value.vt() == VT_EMPTY || value.vt() == VT_NULL) return false;
    sqlite3_stmt* st = index == m_keyColumn
                           ? Stmt(kSeekKey)
                           : Stmt("SELECT " + m_selectList + " FROM " + m_quotedTable + " WHERE " +
                                  m_quotedNames[index] + " = ?1 ORDER BY rowid LIMIT 1");
    StmtReset reset{st};
    CVar v = value;
    if (m_kinds[index] != VT_EMPTY && v.vt() != m_kinds[index]) {
        try {
            v = value.ChangeType(m_kinds[index]);
        } catch (const CVarConversionException&) {
            return false;  // no row can hold a value that does not fit the column
        }
    }
    BindValue(st, 1, v);
    return FetchRow(st);
}

long CModifiableRecordSet::GetFieldCount() const {
    return static_cast<long>(m_names.size());
}

void CModifiableRecordSet::RequireColumn(long index) const {
    if (index < 0 || index >= GetFieldCount()) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls has no column at position %ld", m_strTable.c_str(), index);
        throw CDBException(CDBException::kNoSuchColumn, OS_WFILE, __LINE__, msg);
    }
}

OS::x_wstring CModifiableRecordSet::GetFieldName(long index) const {
    RequireColumn(index);
    return m_names[index];
}

VARTYPE CModifiableRecordSet::GetFieldType(long index) const {
    RequireColumn(index);
    return m_kinds[index];
}

long CModifiableRecordSet::GetFieldIndex(const OS::x_wstring& name) const {
    for (size_t i = 0; i < m_names.size(); ++i) {
        if (OS::wcsicmp(m_names[i], name) == 0) return static_cast<long>(i);
    }
    return -1;
}

CVar CModifiableRecordSet::GetFieldValue(long index) const {
    RequireColumn(index);
    if (m_mode == Mode::kAdd) {  // the new row: what was set on it so far
        auto it = m_staged.find(index);
        return it == m_staged.end() ? CVar() : it->second;
    }
    if (m_pos != Pos::kRow) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls: no current row to read column %ls", m_strTable.c_str(),
                   m_names[index].c_str());
        throw CDBException(CDBException::kNoCurrentRow, OS_WFILE, __LINE__, msg);
    }
    return m_values[index];
}

const CVar& CModifiableRecordSet::GetFieldValueRef(long index) const {
    RequireColumn(index);
    if (m_mode == Mode::kAdd || m_pos != Pos::kRow) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls: no current row to read column %ls", m_strTable.c_str(),
                   m_names[index].c_str());
        throw CDBException(CDBException::kNoCurrentRow, OS_WFILE, __LINE__, msg);
    }
    return m_values[index];
}

CVar CModifiableRecordSet::GetFieldValue(const OS::x_wstring& name) const {
    long index = GetFieldIndex(name);
    if (index < 0) return CVar();
    return GetFieldValue(index);
}

long CModifiableRecordSet::GetRecordCount() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kCount));
    sqlite3_stmt* st = Stmt(kCount);
    StmtReset reset{st};
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) ThrowEngine(rc, "counting rows");
    return static_cast<long>(sqlite3_column_int64(st, 0));
}

void CModifiableRecordSet::AddNew() {
    if (!m_bOpen) {
        OS::x_wstring msg;
        msg.Format(L"The record set of table %ls is closed", m_strTable.c_str());
        throw CDBException(CDBException::kNotConnected, OS_WFILE, __LINE__, msg);
    }
    CancelUpdate();
    m_mode = Mode::kAdd;
}

void CModifiableRecordSet::SetFieldValue(const OS::x_wstring& name, const CVar& value) {
    long index = GetFieldIndex(name);
    if (index < 0) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls has no column %ls", m_strTable.c_str(), name.c_str());
        throw CDBException(CDBException::kNoSuchColumn, OS_WFILE, __LINE__, msg);
    }
    SetFieldValue(index, value);
}

void CModifiableRecordSet::SetFieldValue(long index, const CVar& value) {
    RequireColumn(index);
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kSetField));
    if (m_mode == Mode::kNone) {
        if (m_pos != Pos::kRow) {
            OS::x_wstring msg;
            msg.Format(L"Table %ls: no current row to set column %ls", m_strTable.c_str(),
                       m_names[index].c_str());
            throw CDBException(CDBException::kNoCurrentRow, OS_WFILE, __LINE__, msg);
        }
        m_mode = Mode::kEdit;
        m_savedValues = m_values;
    }
    CVar v = value;
    VARTYPE kind = m_kinds[index];
    if (v.vt() == VT_NULL) v = CVar();
    if (!v.IsEmpty() && kind != VT_EMPTY && v.vt() != kind) {
        try {
            v = value.ChangeType(kind);
        } catch (const CVarConversionException& e) {
            OS::x_wstring msg;
            msg.Format(L"Table %ls: column %ls takes kind %d, not a value of kind %d (%ls)",
                       m_strTable.c_str(), m_names[index].c_str(), kind, value.vt(),
                       e.GetErrorMsg().c_str());
            throw CDBException(CDBException::kConversion, OS_WFILE, __LINE__, msg);
        }
    }
    m_staged[index] = v;
    if (m_mode == Mode::kEdit) m_values[index] = v;
}

void CModifiableRecordSet::Update() {
    if (m_mode == Mode::kNone) return;  // nothing staged: nothing to commit
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kUpdate));
    std::string sql;
    if (m_mode == Mode::kAdd) {
        if (m_staged.empty()) {
            sql = "INSERT INTO " + m_quotedTable + " DEFAULT VALUES";
        } else {
            std::string cols, params, updates;
            int n = 0;
            for (const auto& [index, v] : m_staged) {
                (void)v;
                if (n++) {
                    cols += ", ";
                    params += ", ";
                }
                cols += m_quotedNames[index];
                params += '?';
                params += std::to_string(n);
                if (index != m_keyColumn) {
                    if (!updates.empty()) updates += ", ";
                    updates += m_quotedNames[index] + " = excluded." + m_quotedNames[index];
                }
            }
            sql = "INSERT INTO " + m_quotedTable + " (" + cols + ") VALUES (" + params + ")";
            // The key is unique: adding an existing key writes the new row's columns into it.
            if (m_keyUnique && m_staged.count(m_keyColumn)) {
                if (updates.empty())
                    updates = m_quotedNames[m_keyColumn] + " = " + m_quotedNames[m_keyColumn];
                sql += " ON CONFLICT(" + m_quotedNames[m_keyColumn] + ") DO UPDATE SET " + updates;
            }
        }
    } else {
        if (m_staged.empty()) {
            m_mode = Mode::kNone;
            return;
        }
        sql = "UPDATE " + m_quotedTable + " SET ";
        int n = 0;
        for (const auto& [index, v] : m_staged) {
            (void)v;
            if (n++) sql += ", ";
            sql += m_quotedNames[index] + " = ?" + std::to_string(n);
        }
        sql += " WHERE rowid = ?" + std::to_string(n + 1);
    }
    sql += " RETURNING " + m_selectList;
    sqlite3_stmt* st = Stmt(sql);
    StmtReset reset{st};
    int n = 0;
    for (const auto& [index, v] : m_staged) {
        (void)index;
        BindValue(st, ++n, v);
    }
    if (m_mode == Mode::kEdit) sqlite3_bind_int64(st, n + 1, m_rowid);
    bool wasEdit = m_mode == Mode::kEdit;
    if (!FetchRow(st)) {
        m_staged.clear();
        m_mode = Mode::kNone;
        if (wasEdit) {
            m_pos = Pos::kDeleted;
            m_values.clear();
            OS::x_wstring msg;
            msg.Format(L"Table %ls: the current row no longer exists", m_strTable.c_str());
            throw CDBException(CDBException::kNoCurrentRow, OS_WFILE, __LINE__, msg);
        }
        ThrowEngine(SQLITE_ERROR, "the added row was not returned");
    }
    m_staged.clear();
    m_mode = Mode::kNone;
    // Run the statement to its end: the transaction commits here.
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) ThrowEngine(rc, "commit");
    zoltdb::NoteCommit();
}

void CModifiableRecordSet::CancelUpdate() {
    if (m_mode == Mode::kEdit) m_values = m_savedValues;  // the row as read
    m_staged.clear();
    m_mode = Mode::kNone;
}

void CModifiableRecordSet::Delete() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kDelete));
    CancelUpdate();
    if (m_pos != Pos::kRow) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls: no current row to delete", m_strTable.c_str());
        throw CDBException(CDBException::kNoCurrentRow, OS_WFILE, __LINE__, msg);
    }
    sqlite3_stmt* st = Stmt(kDelete);
    StmtReset reset{st};
    sqlite3_bind_int64(st, 1, m_rowid);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) ThrowEngine(rc, "delete");
    zoltdb::NoteCommit();
    m_pos = Pos::kDeleted;
    m_values.clear();
}
