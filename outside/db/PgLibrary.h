// The PostgreSQL client library, loaded when the first server database is opened: a program
// that keeps its settings in SQLite never maps it, nor the dozen libraries it brings along
// (Kerberos, LDAP, GnuTLS), which would cost every process of the product their start-up time.
// Thread rule: PgLibrary() may be called from any thread; it loads the library once.
#pragma once

#include <libpq-fe.h>

namespace zoltdb {

// libpq's functions as this layer calls them, each named as in libpq-fe.h.
struct CPgLibrary {
    decltype(&::PQclear) PQclear;
    decltype(&::PQconnectdbParams) PQconnectdbParams;
    decltype(&::PQconninfoFree) PQconninfoFree;
    decltype(&::PQconninfoParse) PQconninfoParse;
    decltype(&::PQerrorMessage) PQerrorMessage;
    decltype(&::PQexec) PQexec;
    decltype(&::PQexecParams) PQexecParams;
    decltype(&::PQexecPrepared) PQexecPrepared;
    decltype(&::PQfinish) PQfinish;
    decltype(&::PQfreemem) PQfreemem;
    decltype(&::PQftype) PQftype;
    decltype(&::PQgetisnull) PQgetisnull;
    decltype(&::PQgetlength) PQgetlength;
    decltype(&::PQgetvalue) PQgetvalue;
    decltype(&::PQntuples) PQntuples;
    decltype(&::PQprepare) PQprepare;
    decltype(&::PQresultErrorField) PQresultErrorField;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage;
    decltype(&::PQresultStatus) PQresultStatus;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor;
    decltype(&::PQstatus) PQstatus;
};

// The loaded library. Throws CDBException kCannotOpen, "The PostgreSQL client library ... cannot
// be loaded: ...", when it is not installed or lacks a function; every call after a failure
// throws the same.
const CPgLibrary& PgLibrary();

}  // namespace zoltdb
