// Cost of one request/reply round trip through CRPCClientHelper::SendRequest to an echo handler,
// against its floor in the same run: a raw Unix-socket round trip (blocking send and recv of a
// frame of the same size, echoed by a plain thread). And the agent's query of a ten-field setting
// over the TLS remote endpoint (the remote service relays it to the master, which reads its
// store) against the sum of two floors: a TLS round trip of the query's request and reply sizes
// on a kept loopback connection, and a raw prepared SQLite point read of the row (goal: within
// 1.5x). Prints the ratios at the end (wall time: the work is split between threads).
// Thread rule: each benchmark's client runs on the benchmark thread; servers on their own.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcFrame.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCerts.h"

namespace {

constexpr size_t kPayload = 1024;  // bytes of the request and of the reply

using benchsupport::ReadAll;
using benchsupport::WriteAll;

void BM_Floor_RawUnixSocketRoundTrip(benchmark::State& state) {
    testsupport::CTempDir dir("zbench");
    const std::string path = dir.Str() + "/echo.sock";
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 1);
    std::thread echo([lfd] {
        int fd = ::accept(lfd, nullptr, nullptr);
        std::vector<char> buf(8 + kPayload);
        while (ReadAll(fd, buf.data(), 8)) {
            uint32_t n;
            std::memcpy(&n, buf.data() + 4, 4);
            if (!ReadAll(fd, buf.data() + 8, n) || !WriteAll(fd, buf.data(), 8 + n)) break;
        }
        ::close(fd);
    });
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<char> out(8 + kPayload, 'x'), in(8 + kPayload);
    uint32_t n = kPayload;
    std::memcpy(out.data() + 4, &n, 4);
    for (auto _ : state) {
        WriteAll(fd, out.data(), out.size());
        ReadAll(fd, in.data(), 8);
        ReadAll(fd, in.data() + 8, kPayload);
        benchmark::DoNotOptimize(in.data());
    }
    ::close(fd);
    echo.join();
    ::close(lfd);
}

class CEcho : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{301};
        *count = 1;
        return true;
    }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        reply.Put(request.GetCurrentBuffer(), static_cast<unsigned int>(request.GetCurrentSize()));
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
};

void BM_SendRequest_EchoHandler(benchmark::State& state) {
    testsupport::CTempDir dir("zbench");
    ::setenv("ZOLTCFG_RUNTIME_DIR", dir.Str().c_str(), 1);
    CEcho handler;
    CRPCServerHelper server(CComponentID(L"ID_BENCH"), CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(handler);
    CRPCClientHelper client(CComponentID(L"ID_BENCH"), nullptr);
    CIPCMsgBuffer request(1024, false), reply(1024, false);
    request << 301;
    std::vector<unsigned char> bytes(kPayload - 4, 'x');
    request.Put(bytes.data(), static_cast<unsigned int>(bytes.size()));
    for (auto _ : state) {
        client.SendRequest(request, reply);
        benchmark::DoNotOptimize(reply.GetBuffer());
    }
    if (reply.BytesUsed() != kPayload - 4) state.SkipWithError("wrong echo");
    CRPCClientHelper::CloseThreadConnections();
    server.UnRegisterHandler(handler);
    ::unsetenv("ZOLTCFG_RUNTIME_DIR");
}

// ---- the TLS remote endpoint -------------------------------------------------------------------

namespace P = NS_CfgProtocol;
const OS::x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_NULL");

CCfgSettingCategoryFake Setting() {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    benchsupport::FillSample(s, benchsupport::TableFieldNames(), 1, true);
    return s;
}

// A home with the sample row, its master, the remote service on TLS, and the wire sizes of the
// query.
struct CRemoteEnv {
    CRemoteEnv() {
        benchsupport::CreateHome(home, benchsupport::SchemaOf(benchsupport::kTenFieldTable));
        benchsupport::UseRegistryFor(tmp / "registry", home);
        setenv("ZOLTCFG_RUNTIME_DIR", (tmp / "run").c_str(), 1);
        setenv("ZOLTCFG_RPC_PORT_ID_ZOLT_REMOTE_CFG", std::to_string(port).c_str(), 1);
        RPC::SetTlsSettings(true, testsupport::TlsNode("server"));
        RPC::SetTlsSettings(false, testsupport::TlsNode("client"));
        master = std::make_unique<CCfgControl>(
            L"ID_ZOLT_MASTER",
            new CCfgLocalServerDB(
                OS::x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), {kServer}),
            false);
        remote = std::make_unique<CCfgControl>(L"ID_ZOLT_REMOTE_CFG", nullptr, true);
        CCfgAgent(L"ID_ZOLT_MASTER")
            .ModifyConfigurationSettings(kServer, kPolicy, Setting(), nullptr,
                                         CCfgSettingDBBase::MA_NONE);
        raw = std::make_unique<benchsupport::CRawConnection>(home / "data" / "config.db");
        CIPCMsgBuffer b, reply;
        P::WriteKeyRequest(b, P::kMsgQuery, P::CKey{kServer, kPolicy, CSubjectID(L"S1"), L"T10"});
        requestSize = b.BytesUsed();
        reply << P::kMsgQueryReply << 0;
        Setting() >> reply;
        replySize = reply.BytesUsed();
    }
    ~CRemoteEnv() {
        CRPCClientHelper::CloseThreadConnections();
        remote.reset();
        master.reset();
    }
    testsupport::CTempDir tmp{"zbench-tls"};
    std::filesystem::path home = tmp / "home";
    unsigned short port = testsupport::FreeTcpPort();
    std::unique_ptr<CCfgControl> master, remote;
    std::unique_ptr<benchsupport::CRawConnection> raw;
    size_t requestSize = 0, replySize = 0;
};

std::unique_ptr<CRemoteEnv> g_remote;

CRemoteEnv& Remote() {
    if (!g_remote) g_remote = std::make_unique<CRemoteEnv>();
    return *g_remote;
}

// The floor: a kept TLS connection on loopback TCP; the peer reads the request (an 8-byte head
// giving both sizes, then the bytes) and answers with a reply of the asked size.
void BM_Floor_TlsRoundTrip_Query(benchmark::State& state) {
    const CRemoteEnv& env = Remote();
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(lfd, 1);
    RPC::CTlsContext serverContext(testsupport::TlsNode("server"), true);
    RPC::CTlsContext clientContext(testsupport::TlsNode("client"), false);
    auto readAll = [](RPC::CTlsChannel& c, char* p, size_t n) {
        for (ssize_t r; n > 0; p += r, n -= static_cast<size_t>(r))
            if ((r = c.Recv(p, n)) <= 0) return false;
        return true;
    };
    auto writeAll = [](RPC::CTlsChannel& c, const char* p, size_t n) {
        for (ssize_t r; n > 0; p += r, n -= static_cast<size_t>(r))
            if ((r = c.Send(p, n)) <= 0) return false;
        return true;
    };
    std::thread echo([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        RPC::CTlsChannel tls(serverContext, fd);
        tls.Handshake(std::chrono::seconds(10));
        std::vector<char> in, out;
        uint32_t head[2];
        while (readAll(tls, reinterpret_cast<char*>(head), 8)) {
            in.resize(head[0]);
            out.assign(8 + head[1], 'y');
            if (!readAll(tls, in.data(), head[0]) || !writeAll(tls, out.data(), out.size())) break;
        }
        ::close(fd);
    });
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        RPC::CTlsChannel tls(clientContext, fd);
        tls.Handshake(std::chrono::seconds(10));
        const uint32_t head[2] = {static_cast<uint32_t>(env.requestSize),
                                  static_cast<uint32_t>(env.replySize)};
        std::vector<char> out(8 + env.requestSize, 'x'), in(8 + env.replySize);
        std::memcpy(out.data(), head, 8);
        for (auto _ : state) {
            writeAll(tls, out.data(), out.size());
            readAll(tls, in.data(), in.size());
            benchmark::DoNotOptimize(in.data());
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    echo.join();
    ::close(fd);
    ::close(lfd);
}

void BM_Floor_SqlitePointSelect(benchmark::State& state) {
    benchsupport::CRawPointSelect select(Remote().raw->Get());
    for (auto _ : state)
        if (!select.Step()) state.SkipWithError("no row");
}

void BM_Agent_QueryOverTls(benchmark::State& state) {
    Remote();
    CCfgAgent agent(L"ID_ZOLT_REMOTE_CFG");
    for (auto _ : state) {
        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        if (!agent.QueryConfigurationSettings(kServer, kPolicy, s, L"127.0.0.1"))
            state.SkipWithError("query failed");
        benchmark::DoNotOptimize(s);
    }
}

BENCHMARK(BM_Floor_RawUnixSocketRoundTrip)->UseRealTime();
BENCHMARK(BM_SendRequest_EchoHandler)->UseRealTime();
BENCHMARK(BM_Floor_TlsRoundTrip_Query)->UseRealTime();
BENCHMARK(BM_Floor_SqlitePointSelect)->UseRealTime();
BENCHMARK(BM_Agent_QueryOverTls)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    // Wall time: the work is split between two threads.
    return benchsupport::RunWithRatios(
        argc, argv,
        [](const benchsupport::CRatioReporter& r) {
            double local = 0;
            if (r.Ratio("BM_SendRequest_EchoHandler/real_time",
                        "BM_Floor_RawUnixSocketRoundTrip/real_time", local))
                std::printf("local round trip / raw Unix-socket round trip = %.2f (wall time)\n",
                            local);
            const auto& t = r.Times();
            const auto at = [&](const char* n) {
                auto it = t.find(std::string(n) + "/real_time");
                return it == t.end() ? 0.0 : it->second;
            };
            const double tls = at("BM_Floor_TlsRoundTrip_Query");
            const double db = at("BM_Floor_SqlitePointSelect");
            const double query = at("BM_Agent_QueryOverTls");
            if (tls > 0 && db > 0 && query > 0)
                std::printf(
                    "query over TLS %.1f us / floor %.1f us (TLS round trip %.1f + SQLite "
                    "point read %.1f) = %.2f (goal <= 1.5, wall time)\n",
                    query * 1e6, (tls + db) * 1e6, tls * 1e6, db * 1e6, query / (tls + db));
            g_remote.reset();
        },
        benchsupport::CRatioReporter::ETime::kWall);
}
