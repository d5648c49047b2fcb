// Loads libpq with dlopen on first use and resolves the functions of CPgLibrary.
// Thread rule: the load runs once (std::call_once); the table is read only afterwards.
#include "outside/db/PgLibrary.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "outside/db/CDBException.h"

namespace zoltdb {
namespace {

// The soname of the client library of every PostgreSQL release since 8.0.
constexpr char kLibrary[] = "libpq.so.5";

struct CLoaded {
    CPgLibrary functions{};
    std::string error;  // empty once loaded
};

template <class F>
void Resolve(void* handle, const char* name, F& slot, std::string& error) {
    slot = reinterpret_cast<F>(dlsym(handle, name));
    if (slot == nullptr && error.empty()) error = std::string("it has no function ") + name;
}

CLoaded Load() {
    CLoaded l;
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        l.error = why ? why : "dlopen failed";
        return l;
    }
    CPgLibrary& f = l.functions;
#define ZOLT_PQ(name) Resolve(handle, #name, f.name, l.error)
    ZOLT_PQ(PQclear);
    ZOLT_PQ(PQconnectdbParams);
    ZOLT_PQ(PQconninfoFree);
    ZOLT_PQ(PQconninfoParse);
    ZOLT_PQ(PQerrorMessage);
    ZOLT_PQ(PQexec);
    ZOLT_PQ(PQexecParams);
    ZOLT_PQ(PQexecPrepared);
    ZOLT_PQ(PQfinish);
    ZOLT_PQ(PQfreemem);
    ZOLT_PQ(PQftype);
    ZOLT_PQ(PQgetisnull);
    ZOLT_PQ(PQgetlength);
    ZOLT_PQ(PQgetvalue);
    ZOLT_PQ(PQntuples);
    ZOLT_PQ(PQprepare);
    ZOLT_PQ(PQresultErrorField);
    ZOLT_PQ(PQresultErrorMessage);
    ZOLT_PQ(PQresultStatus);
    ZOLT_PQ(PQsetNoticeProcessor);
    ZOLT_PQ(PQstatus);
#undef ZOLT_PQ
    // Kept loaded for the life of the process: connections may outlive any one user of it.
    return l;
}

}  // namespace

const CPgLibrary& PgLibrary() {
    static std::once_flag once;
    static CLoaded loaded;
    std::call_once(once, [] { loaded = Load(); });
    if (!loaded.error.empty()) {
        OS::x_wstring msg;
        msg.Format(
            L"The PostgreSQL client library %s cannot be loaded: %s (install the libpq5 "
            L"package)",
            kLibrary, loaded.error.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg);
    }
    return loaded.functions;
}

}  // namespace zoltdb
