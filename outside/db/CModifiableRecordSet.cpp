// CModifiableRecordSet: the record set over one table. MoveFirst and seeks are one short query
// by row id or key; a walk steps one running "row id > current ORDER BY row id" statement, left
// as the connection's active walk between calls and parked (reset) by any other use of the
// connection, after which MoveNext resumes by row id. An engine that reads whole results at
// once walks in runs of a bounded number of rows, each run resuming after the last row read.
// Statements are prepared once per record set and kept. Each Update and Delete is one
// statement, hence one durable transaction.
// Thread rule: every operation holds the connection's mutex while it touches the database.
#include "outside/db/CModifiableRecordSet.h"

#include "outside/db/DbConnection.h"

using Op = CDBFaultInjector::Op;

using zoltdb::CDbStatement;

namespace {

// Resets a statement (and clears its bindings) when the scope ends.
struct StmtReset {
    CDbStatement* st;
    ~StmtReset() { st->Reset(); }
};

}  // namespace

CModifiableRecordSet::CModifiableRecordSet(std::shared_ptr<zoltdb::CDbConnection> conn,
                                           const OS::x_wstring& table,
                                           std::vector<OS::x_wstring> names,
                                           std::vector<VARTYPE> kinds, long keyColumn,
                                           bool keyUnique)
    : m_conn(std::move(conn)),
      m_strTable(table),
      m_quotedTable(m_conn->QuoteName(OS::WideToUtf8(table))),
      m_names(std::move(names)),
      m_kinds(std::move(kinds)),
      m_keyColumn(keyColumn),
      m_keyUnique(keyUnique) {
    const zoltdb::CDbConnection& c = *m_conn;
    const std::string rowid = c.RowId();
    m_selectList = rowid;
    for (const OS::x_wstring& n : m_names) {
        m_quotedNames.push_back(c.QuoteName(OS::WideToUtf8(n)));
        m_selectList += ", " + m_quotedNames.back();
    }
    const std::string select = "SELECT " + m_selectList + " FROM " + m_quotedTable;
    m_fixedSql[kFirst] = select + " ORDER BY " + rowid + " LIMIT 1";
    m_fixedSql[kWalk] = select + " WHERE " + rowid + " > " + c.Param(1) + " ORDER BY " + rowid;
    if (c.WalkBatch() > 0) m_fixedSql[kWalk] += " LIMIT " + std::to_string(c.WalkBatch());
    if (m_keyColumn >= 0) {
        m_fixedSql[kSeekKey] =
            select + " WHERE " + c.KeyEquals(m_quotedNames[m_keyColumn], c.Param(1));
        if (!m_keyUnique) m_fixedSql[kSeekKey] += " ORDER BY " + rowid + " LIMIT 1";
    }
    m_fixedSql[kCount] = "SELECT count(*) FROM " + m_quotedTable;
    m_fixedSql[kDelete] = "DELETE FROM " + m_quotedTable + " WHERE " + rowid + " = " + c.Param(1);
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
    m_conn->ForgetWalk(m_fixed[kWalk].get());
    m_writeStmts.clear();
    m_stmts.clear();
    for (auto& st : m_fixed) st.reset();
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

CDbStatement* CModifiableRecordSet::Stmt(Fixed which) {
    if (!m_fixed[which])
        m_fixed[which] = m_conn->Prepare(m_fixedSql[which], "table " + OS::WideToUtf8(m_strTable));
    return m_fixed[which].get();
}

CDbStatement* CModifiableRecordSet::Stmt(const std::string& sql) {
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) return it->second.get();
    auto st = m_conn->Prepare(sql, "table " + OS::WideToUtf8(m_strTable));
    return m_stmts.emplace(sql, std::move(st)).first->second.get();
}

bool CModifiableRecordSet::FetchRow(CDbStatement* st) {
    if (!st->Step()) return false;
    ReadRow(st);
    return true;
}

void CModifiableRecordSet::ReadRow(CDbStatement* st) {
    m_rowid = st->Int64(0);
    m_values.resize(m_names.size());
    for (size_t i = 0; i < m_names.size(); ++i) {
        st->Read(static_cast<int>(i + 1), m_kinds[i], m_values[i]);
    }
    m_pos = Pos::kRow;
}

void CModifiableRecordSet::StartWalk(CDbStatement* st) {
    st->Reset();
    st->BindInt64(1, m_rowid);
    m_walkRows = 0;
    m_walkCommits = zoltdb::CommitCount();
    m_conn->SetActiveWalk(st);
}

void CModifiableRecordSet::StepWalk(CDbStatement* st) {
    try {
        bool row = st->Step();
        if (!row && m_conn->WalkBatch() > 0 && m_walkRows == m_conn->WalkBatch()) {
            StartWalk(st);  // a full run ended: the next one begins after its last row
            row = st->Step();
        }
        if (row) {
            ++m_walkRows;
            return ReadRow(st);
        }
    } catch (...) {
        m_conn->ParkWalk();  // the current row stays; the next MoveNext resumes after it
        throw;
    }
    m_conn->ParkWalk();  // the read ends with the table
    m_pos = Pos::kEOF;
    m_values.clear();
}

void CModifiableRecordSet::MoveFirst() {
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kMove));
    CancelUpdate();
    CDbStatement* st = Stmt(kFirst);
    StmtReset reset{st};
    if (!FetchRow(st)) {
        m_pos = Pos::kEOF;
        m_values.clear();
    }
}

void CModifiableRecordSet::MoveNext() {
    if (m_pos == Pos::kNone) return MoveFirst();
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    CDbStatement* walk = m_fixed[kWalk].get();
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
    StartWalk(walk);
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
    CDbStatement* st = index == m_keyColumn
                           ? Stmt(kSeekKey)
                           : Stmt("SELECT " + m_selectList + " FROM " + m_quotedTable + " WHERE " +
                                  m_quotedNames[index] + " = " + m_conn->Param(1) + " ORDER BY " +
                                  m_conn->RowId() + " LIMIT 1");
    StmtReset reset{st};
    CVar v = value;
    if (m_kinds[index] != VT_EMPTY && v.vt() != m_kinds[index]) {
        try {
            v = value.ChangeType(m_kinds[index]);
        } catch (const CVarConversionException&) {
            return false;  // no row can hold a value that does not fit the column
        }
    }
    st->Bind(1, v);
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
    // Columns are mostly asked for in the table's order: the search starts after the last found.
    const size_t count = m_names.size();
    const size_t first = m_nextName.load(std::memory_order_relaxed);
    for (size_t k = 0; k < count; ++k) {
        const size_t i = (first + k) % count;
        if (OS::wcsicmp(m_names[i], name) == 0) {
            m_nextName.store(i + 1 < count ? i + 1 : 0, std::memory_order_relaxed);
            return static_cast<long>(i);
        }
    }
    return -1;
}

CVar CModifiableRecordSet::GetFieldValue(long index) const {
    RequireColumn(index);
    if (m_mode == Mode::kAdd) {  // the new row: what was set on it so far
        const CVar* staged = m_staged.Get(index);
        return staged ? *staged : CVar();
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
    CDbStatement* st = Stmt(kCount);
    StmtReset reset{st};
    if (!st->Step()) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls: counting rows gave no count", m_strTable.c_str());
        throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__, msg);
    }
    return static_cast<long>(st->Int64(0));
}

void CModifiableRecordSet::ReadColumnInto(long index, void* context,
                                          void (*each)(void*, const CVar&)) {
    RequireColumn(index);
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kMove));  // parks any running walk
    CancelUpdate();
    m_pos = Pos::kNone;
    m_values.clear();
    CDbStatement* st = Stmt("SELECT " + m_quotedNames[index] + " FROM " + m_quotedTable +
                            " ORDER BY " + m_conn->RowId());
    StmtReset reset{st};
    CVar value;
    while (st->Step()) {
        st->Read(0, m_kinds[index], value);
        each(context, value);
    }
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
    SetFieldValue(name, CVar(value));
}

void CModifiableRecordSet::SetFieldValue(const OS::x_wstring& name, CVar&& value) {
    long index = GetFieldIndex(name);
    if (index < 0) {
        OS::x_wstring msg;
        msg.Format(L"Table %ls has no column %ls", m_strTable.c_str(), name.c_str());
        throw CDBException(CDBException::kNoSuchColumn, OS_WFILE, __LINE__, msg);
    }
    SetFieldValue(index, std::move(value));
}

void CModifiableRecordSet::SetFieldValue(long index, const CVar& value) {
    SetFieldValue(index, CVar(value));
}

void CModifiableRecordSet::SetFieldValue(long index, CVar&& value) {
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
    // `value` stays as given until it is stored: a failed conversion names its kind.
    const VARTYPE kind = m_kinds[index];
    CVar v;
    if (value.vt() == VT_NULL || value.IsEmpty()) {
        // stored as NULL
    } else if (kind != VT_EMPTY && value.vt() != kind) {
        try {
            v = value.ChangeType(kind);
        } catch (const CVarConversionException& e) {
            OS::x_wstring msg;
            msg.Format(L"Table %ls: column %ls takes kind %d, not a value of kind %d (%ls)",
                       m_strTable.c_str(), m_names[index].c_str(), kind, value.vt(),
                       e.GetErrorMsg().c_str());
            throw CDBException(CDBException::kConversion, OS_WFILE, __LINE__, msg);
        }
    } else {
        v = std::move(value);
    }
    if (m_mode == Mode::kEdit) m_values[index] = v;
    m_staged[index] = std::move(v);
}

void CModifiableRecordSet::Update() {
    Commit(true);
}

void CModifiableRecordSet::UpdateWithoutReadBack() {
    Commit(false);
}

CDbStatement* CModifiableRecordSet::WriteStmt(bool readBack) {
    std::string shape;
    shape.reserve(2 + 2 * m_staged.size());
    shape += m_mode == Mode::kAdd ? 'a' : 'e';
    shape += readBack ? 'r' : '-';
    for (const auto& [index, v] : m_staged) {
        (void)v;
        shape += static_cast<char>(index & 0xff);
        shape += static_cast<char>((index >> 8) & 0xff);
    }
    auto it = m_writeStmts.find(shape);
    if (it != m_writeStmts.end()) return it->second;
    CDbStatement* st = Stmt(WriteSql(readBack));
    m_writeStmts.emplace(std::move(shape), st);
    return st;
}

std::string CModifiableRecordSet::WriteSql(bool readBack) const {
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
                params += m_conn->Param(n);
                if (index != m_keyColumn) {
                    if (!updates.empty()) updates += ", ";
                    updates += m_quotedNames[index] + " = excluded." + m_quotedNames[index];
                }
            }
            sql = "INSERT INTO " + m_quotedTable + " (" + cols + ") VALUES (" + params + ")";
            // The key is unique: adding an existing key writes the new row's columns into it.
            if (m_keyUnique && m_staged.count(m_keyColumn)) {
                if (updates.empty())
                    updates = m_quotedNames[m_keyColumn] + " = " + m_quotedTable + "." +
                              m_quotedNames[m_keyColumn];
                sql += m_conn->OnKeyConflict(m_quotedNames[m_keyColumn], updates);
            }
        }
    } else {
        sql = "UPDATE " + m_quotedTable + " SET ";
        int n = 0;
        for (const auto& [index, v] : m_staged) {
            (void)v;
            if (n++) sql += ", ";
            sql += m_quotedNames[index] + " = " + m_conn->Param(n);
        }
        sql += " WHERE " + m_conn->RowId() + " = " + m_conn->Param(n + 1);
    }
    if (readBack) sql += " RETURNING " + m_selectList;
    return sql;
}

void CModifiableRecordSet::Commit(bool readBack) {
    if (m_mode == Mode::kNone) return;  // nothing staged: nothing to commit
    // An edited row is read back: that is how a row deleted meanwhile is noticed.
    readBack = readBack || m_mode == Mode::kEdit;
    std::lock_guard<std::recursive_mutex> lk(m_conn->m_mutex);
    Check(static_cast<int>(Op::kUpdate));
    if (m_mode == Mode::kEdit && m_staged.empty()) {
        m_mode = Mode::kNone;
        return;
    }
    CDbStatement* st = WriteStmt(readBack);
    StmtReset reset{st};
    int n = 0;
    for (const auto& [index, v] : m_staged) {
        (void)index;
        st->Bind(++n, v);
    }
    if (m_mode == Mode::kEdit) st->BindInt64(n + 1, m_rowid);
    bool wasEdit = m_mode == Mode::kEdit;
    if (!readBack) {
        m_staged.clear();
        m_mode = Mode::kNone;
        m_pos = Pos::kNone;
        m_values.clear();
        st->Step();  // runs to its end: the transaction commits here
        zoltdb::NoteCommit();
        return;
    }
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
        OS::x_wstring msg;
        msg.Format(L"Table %ls: the added row was not returned", m_strTable.c_str());
        throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__, msg);
    }
    m_staged.clear();
    m_mode = Mode::kNone;
    // Run the statement to its end: the transaction commits here.
    st->Step();
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
    CDbStatement* st = Stmt(kDelete);
    StmtReset reset{st};
    st->BindInt64(1, m_rowid);
    st->Step();
    zoltdb::NoteCommit();
    m_pos = Pos::kDeleted;
    m_values.clear();
}
