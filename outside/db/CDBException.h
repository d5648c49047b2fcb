// CDBException: every failure of the generic database layer (connection, schema, table and
// record-set operations) arrives as one of these.
//
// The code says what failed (the constants below); codes 1 and 2 are also raised by the
// setting store itself. GetEngineCode() gives the database engine's own result code, if any.
// Programs that link the library catch it by type, so it leaves the library with its type.
// Thread rule: a value type.
#pragma once

#include "cfg_Export.h"
#include "outside/common/CException.h"

class ZOLTCFG_API CDBException : public OS::CException {
  public:
    enum Code : int {
        kNoMemory = 1,        // no memory for a database (raised by the store)
        kSchemaFile = 2,      // the schema file cannot be read or is not well-formed XML
        kConnectionFile = 3,  // the connection file is missing, not XML or names no known provider
        kCannotOpen = 4,      // the database file cannot be opened or created, or the server
                              // refuses the connection (host, user, password, database)
        kNotADatabase = 5,    // the file is not a database, or it is damaged
        kConnectionLost = 6,  // the connection was lost; IsDBStatusOK() is false until reopened
        kBusy = 7,            // another connection held the database past the busy timeout
        kEngine = 8,          // any other engine error (statement, constraint, disk full)
        kNoCurrentRow = 9,    // a row operation with no current row
        kNoSuchColumn = 10,   // a column name or position the table does not have
        kConversion = 11,     // a value cannot be converted to the column's kind
        kNotConnected = 12,   // the database is not initialised (or was uninitialised)
        kInjected = 13,       // raised by CDBFaultInjector
    };

    CDBException(int code, const wchar_t* file, int line, OS::x_wstring message = {},
                 int engineCode = 0)
        : OS::CException(code, file, line, std::move(message)), m_nEngineCode(engineCode) {}

    // The message given when raised, else a sentence describing the code.
    OS::x_wstring GetErrorMsg() const override;
    // The engine's result code (SQLite's extended result code), 0 when none (PostgreSQL: its
    // SQLSTATE and text are in the message).
    int GetEngineCode() const { return m_nEngineCode; }

  private:
    int m_nEngineCode;
};
