// CDBException members: a sentence for codes raised without a message.
// Thread rule: a value type.
#include "outside/db/CDBException.h"

OS::x_wstring CDBException::GetErrorMsg() const {
    if (!m_strMessage.empty()) return m_strMessage;
    switch (m_nCode) {
        case kNoMemory:
            return L"Not enough memory for the database.";
        case kSchemaFile:
            return L"The database schema file cannot be read.";
        case kConnectionFile:
            return L"The database connection file cannot be read.";
        case kCannotOpen:
            return L"The database cannot be opened.";
        case kNotADatabase:
            return L"The file is not a database.";
        case kConnectionLost:
            return L"The database connection is lost.";
        case kBusy:
            return L"The database is busy.";
        case kNoCurrentRow:
            return L"There is no current row.";
        case kNoSuchColumn:
            return L"The table has no such column.";
        case kConversion:
            return L"The value cannot be converted to the column's type.";
        case kNotConnected:
            return L"The database is not connected.";
        case kInjected:
            return L"Injected database failure.";
        default:
            return L"Database error.";
    }
}
