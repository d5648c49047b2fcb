// CModifiableRecordSet: an open, modifiable record set over one whole table of a
// CGenericDatabase: walk it, seek a row by a column's value, read columns as variants, add,
// change and delete rows.
//
// Positions: after opening, the first row is current (IsEOF() when the table is empty).
// MoveFirst/MoveNext walk in the table's order (the order rows were added). MoveNext past the
// last row leaves no current row (IsEOF()). A Seek that finds nothing keeps the current row as
// it was. Delete removes the current row at once; afterwards no row is current but IsEOF() is
// false, and MoveNext goes on with the row after the deleted one.
//
// Walks: MoveFirst reads the first row alone; the MoveNext calls that follow step one running
// statement, which keeps a read of the database open between calls. That read ends at the end
// of the table, at any other operation of any record set of the same database (a seek, a
// count, a write, another walk, opening a table), at Close, and when a commit is made through
// any database of this process; the next MoveNext then resumes after the current row, so
// every write is seen by the next read and every row is met once. Commits of other processes
// made during an uninterrupted run of MoveNext calls show from the next resume on.
//
// Writes: SetFieldValue stages a value on the current row (or on the new row after AddNew);
// Update() commits the staged values as one durable transaction and makes the written row
// current, read back as stored (columns not set hold their defaults). A move, seek, AddNew or
// CancelUpdate drops staged values that were not committed. The key column CFG_INDEX is unique
// and compared without regard to ASCII case: adding a row whose key exists updates the columns
// set on the new row in the existing row instead, and that row becomes current.
// UpdateWithoutReadBack commits a new row the same way but reads nothing back: afterwards there
// is no current row (a writer that moves on to another row saves reading it back, a third of the
// cost of an insert on SQLite). On an edited row it is Update.
//
// Values: each column's kind follows its declared type (16-bit int VT_I2, 32-bit int VT_I4,
// boolean VT_BOOL, date VT_DATE, string VT_BSTR, bytes VT_ARRAY_UI1, also VT_I8 and VT_R8);
// a NULL column reads as VT_EMPTY; writing VT_EMPTY or VT_NULL stores NULL. Reading a column
// name the table does not have gives VT_EMPTY; writing one throws kNoSuchColumn.
//
// Every operation that reaches the database can throw CDBException. Reads of the current row
// (GetField*) are served from memory; between AddNew and Update they give the values set on
// the new row so far (VT_EMPTY for the others). Update with nothing staged does nothing.
// Thread rule: one thread at a time per record set (the store's mutex); record sets of one
// database may be used from different threads one at a time.
#pragma once

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/db/CDBException.h"
#include "outside/variant/CVar.h"

namespace zoltdb {
class CDbConnection;
class CDbStatement;
}  // namespace zoltdb

class CModifiableRecordSet {
  public:
    ~CModifiableRecordSet();
    CModifiableRecordSet(const CModifiableRecordSet&) = delete;
    CModifiableRecordSet& operator=(const CModifiableRecordSet&) = delete;

    const OS::x_wstring& GetTableName() const { return m_strTable; }
    bool IsOpen() const { return m_bOpen; }

    // Walking.
    void MoveFirst();
    void MoveNext();
    bool IsEOF() const { return m_pos == Pos::kEOF; }
    // Makes the first row whose `column` equals `value` (converted to the column's kind) current;
    // false when there is none (the current row stays). Seeking CFG_INDEX is one index look-up.
    bool Seek(const OS::x_wstring& column, const CVar& value);

    // Reading the current row (column 0 is CFG_INDEX for tables made from the schema file).
    long GetFieldCount() const;
    OS::x_wstring GetFieldName(long index) const;
    // The kind the column reads as (VT_BSTR, VT_I4, ...; VT_EMPTY for an untyped column).
    VARTYPE GetFieldType(long index) const;
    // The position of a column (ASCII case ignored), -1 when the table has none of that name.
    long GetFieldIndex(const OS::x_wstring& name) const;
    CVar GetFieldValue(long index) const;
    CVar GetFieldValue(const OS::x_wstring& name) const;
    // The value of the current row's column without a copy, for walks that read many rows.
    // The reference stays valid until the next operation on this record set.
    // REQUIRES: a current row, not a new row after AddNew (throws kNoCurrentRow otherwise).
    const CVar& GetFieldValueRef(long index) const;
    // Every column name, by position (the names GetFieldName gives).
    const std::vector<OS::x_wstring>& GetFieldNames() const { return m_names; }
    // The number of rows in the table now.
    long GetRecordCount();
    // Gives `each` the value of column `index` of every row, in the table's order, from one read
    // of that column alone; drops staged values and leaves no row current. The reference is
    // valid for the call only. REQUIRES: 0 <= index < GetFieldCount().
    template <class Each>
    void ReadColumn(long index, Each&& each) {
        ReadColumnInto(index, &each, [](void* e, const CVar& v) { (*static_cast<Each*>(e))(v); });
    }

    // Writing.
    void AddNew();
    void SetFieldValue(const OS::x_wstring& name, const CVar& value);
    void SetFieldValue(long index, const CVar& value);
    // The same, taking the value over when it is stored as it is (not converted).
    void SetFieldValue(const OS::x_wstring& name, CVar&& value);
    void SetFieldValue(long index, CVar&& value);
    void Update();
    void UpdateWithoutReadBack();
    // True when CFG_INDEX is unique: adding a row of an existing key then updates that row.
    bool IsKeyUnique() const { return m_keyUnique; }
    void CancelUpdate();
    void Delete();

    // Releases the statements; any later operation throws kNotConnected. The destructor closes.
    void Close();

  private:
    friend class CGenericDatabase;
    enum class Pos { kRow, kEOF, kDeleted, kNone };
    enum class Mode { kNone, kEdit, kAdd };

    CModifiableRecordSet(std::shared_ptr<zoltdb::CDbConnection> conn, const OS::x_wstring& table,
                         std::vector<OS::x_wstring> names, std::vector<VARTYPE> kinds,
                         long keyColumn, bool keyUnique);
    void Check(int op);  // op: a CDBFaultInjector::Op
    // The statements of the hot paths, prepared once and kept in fixed slots.
    enum Fixed { kFirst, kWalk, kSeekKey, kCount, kDelete, kFixedCount };
    zoltdb::CDbStatement* Stmt(Fixed which);
    zoltdb::CDbStatement* Stmt(const std::string& sql);  // any other statement, kept by its text
    // The insert or update that writes the staged columns, kept by the shape of the write (mode,
    // read back or not, the staged positions): a row after row of the same columns builds its
    // text once.
    zoltdb::CDbStatement* WriteStmt(bool readBack);
    std::string WriteSql(bool readBack) const;
    void DropStatements();
    void ReadColumnInto(long index, void* context, void (*each)(void*, const CVar&));
    bool FetchRow(zoltdb::CDbStatement* st);
    void Commit(bool readBack);  // Update and UpdateWithoutReadBack   // steps once; fills the
                                 // current row when one comes
    void ReadRow(zoltdb::CDbStatement* st);    // the current row from the statement's result row
    void StepWalk(zoltdb::CDbStatement* st);   // the next row of the running walk, or the end
    void StartWalk(zoltdb::CDbStatement* st);  // a run of the walk after the current row
    void RequireColumn(long index) const;

    std::shared_ptr<zoltdb::CDbConnection> m_conn;
    OS::x_wstring m_strTable;
    std::string m_quotedTable;
    std::vector<OS::x_wstring> m_names;
    std::vector<std::string> m_quotedNames;
    std::vector<VARTYPE> m_kinds;
    long m_keyColumn;  // position of CFG_INDEX, -1 when the table has none
    bool m_keyUnique;  // CFG_INDEX has a unique index (tables made from the schema file)
    bool m_bOpen = true;

    Pos m_pos = Pos::kNone;
    long long m_rowid = 0;
    std::vector<CVar> m_values;
    std::vector<CVar> m_savedValues;  // the current row as read, while an edit is staged
    Mode m_mode = Mode::kNone;
    // Values to write by column position, in position order: a handful per row, kept in a
    // vector that keeps its room from one row to the next.
    class CStaged {
      public:
        using Entry = std::pair<long, CVar>;
        CVar& operator[](long index) {
            auto it = Find(index);
            if (it == m_entries.end() || it->first != index)
                it = m_entries.emplace(it, index, CVar());
            return it->second;
        }
        const CVar* Get(long index) const {
            auto it = std::lower_bound(m_entries.begin(), m_entries.end(), index,
                                       [](const Entry& e, long i) { return e.first < i; });
            return it != m_entries.end() && it->first == index ? &it->second : nullptr;
        }
        size_t count(long index) const { return Get(index) ? 1 : 0; }
        bool empty() const { return m_entries.empty(); }
        size_t size() const { return m_entries.size(); }
        void clear() { m_entries.clear(); }
        std::vector<Entry>::const_iterator begin() const { return m_entries.begin(); }
        std::vector<Entry>::const_iterator end() const { return m_entries.end(); }

      private:
        std::vector<Entry>::iterator Find(long index) {
            return std::lower_bound(m_entries.begin(), m_entries.end(), index,
                                    [](const Entry& e, long i) { return e.first < i; });
        }
        std::vector<Entry> m_entries;
    };
    CStaged m_staged;
    // Where GetFieldIndex starts looking: a hint only, which readers sharing the record set may
    // set at the same time.
    mutable std::atomic<size_t> m_nextName{0};

    unsigned long long m_stmtGeneration = 0;
    unsigned long long m_walkCommits = 0;  // CommitCount() when the running walk began
    int m_walkRows = 0;                    // rows the running walk gave in this run
    std::map<std::string, std::unique_ptr<zoltdb::CDbStatement>> m_stmts;
    std::map<std::string, zoltdb::CDbStatement*> m_writeStmts;  // shape -> one of m_stmts
    std::unique_ptr<zoltdb::CDbStatement> m_fixed[kFixedCount];
    std::string m_fixedSql[kFixedCount];
    std::string m_selectList;
};
