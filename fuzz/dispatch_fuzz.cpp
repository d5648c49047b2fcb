// Feeds arbitrary bytes as a request to the configuration service's dispatcher: the first byte
// picks the message id, the rest is the request body. The service runs over a temporary SQLite
// home served under the names "" and "S" (short names the fuzzer finds quickly). Any crash,
// sanitizer report, escaped exception or hang is a finding; every reply must start with the
// reply id or be empty.
// Thread rule: libFuzzer calls the entry point from one thread.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "cfg_Service.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_VirtualServerDB.h"
#include "tests/support/SampleHome.h"

namespace {

// The served ids, then ids that are served by nobody.
const int kIds[] = {301, 303, 305, 313, 315, 309,  307,  311,  317,  319,  325,
                    327, 329, 331, 333, 335, 337,  2032, 2033, 2035, 2034, 339,
                    341, 343, 345, 347, 349, 2013, 4711, -1,   0,    321,  302};

std::filesystem::path g_root;
CCfgControl* g_service = nullptr;

// The run's home goes with the process.
void RemoveHome() {
    delete g_service;
    g_service = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

CCfgControl* Service() {
    static CCfgControl* service = [] {
        // A home on a memory file system when there is one: every commit is durable.
        std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/zoltcfg-fuzz-XXXXXX";
        const std::filesystem::path root = g_root = mkdtemp(tmpl.data());
        testsupport::CreateSampleHome(root / "home");
        setenv("ZOLTCFG_REGISTRY", (root / "registry").c_str(), 1);  // no registry file
        setenv("ZOLTCFG_RUNTIME_DIR", (root / "run").c_str(), 1);
        // A batch modify writes its audit entry into the home's log folder.
        setenv("ZOLTCFG_HOME", (root / "home").c_str(), 1);
        DBG::SetLogToNothing();
        const OS::x_wstring connection =
            OS::x_wstring::FromUtf8((root / "home" / "config" / "dbconf_Conf.xml").string());
        g_service = new CCfgControl(L"ID_FUZZ_DISPATCH",
                                    new CCfgLocalServerDB(connection, {L"", L"S"}), false);
        std::atexit(RemoveHome);
        return g_service;
    }();
    return service;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int id = kIds[data[0] % (sizeof kIds / sizeof kIds[0])];
    const CIPCMsgBuffer request = CIPCMsgBuffer::FromBytes(data + 1, size - 1);
    CIPCMsgBuffer reply;
    (*Service())(id, request, reply);
    if (reply.BytesUsed() > 0) {
        int replyId = 0;
        reply >> replyId;
        if (replyId != id + 1) abort();
    }
    return 0;
}
