// Tests of the request/reply transport: frames on the wire, dispatch by message id, the server
// pool, unregistering, restarts, time limits, size limits and endpoint ownership.
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcAccess.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"
#include "outside/rpc/RpcLimits.h"
#include "tests/support/Caught.h"
#include "tests/support/FreePort.h"
#include "tests/support/LogText.h"
#include "tests/support/RuntimeDir.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCerts.h"

using namespace std::chrono_literals;
using OS::x_wstring;

namespace {

// Each test runs with a runtime folder of its own.
class RpcTest : public ::testing::Test {
  protected:
    testsupport::CRuntimeDir m_runtime;
    const testsupport::CTempDir& m_dir = m_runtime.Dir();
};

// Serves the ids it is given with a function.
class CFuncHandler : public CIPCServerRequestCallback {
  public:
    using Func = std::function<void(int, const CIPCMsgBuffer&, CIPCMsgBuffer&)>;
    CFuncHandler(std::vector<int> ids, Func f) : m_ids(std::move(ids)), m_f(std::move(f)) {}
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[m_ids.size()];
        std::copy(m_ids.begin(), m_ids.end(), *ids);
        *count = static_cast<int>(m_ids.size());
        return true;
    }
    void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        ++calls;
        m_f(msgID, request, reply);
    }
    void FreeMsgID(int* ids) override {
        ++freed;
        delete[] ids;
    }
    std::atomic<int> calls{0};
    std::atomic<int> freed{0};

  private:
    std::vector<int> m_ids;
    Func m_f;
};

// Answers id+1 and the request's int item.
void Echo(int id, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int v = 0;
    request >> v;
    reply << id + 1 << v;
}

CIPCMsgBuffer Request(int id, int v) {
    CIPCMsgBuffer b(1024, false);
    b << id << v;
    return b;
}

// Sends (id, v) and gives back the reply's two ints.
std::pair<int, int> Call(CRPCClientHelper& client, int id, int v) {
    CIPCMsgBuffer reply(1024, false);
    client.SendRequest(Request(id, v), reply);
    int a = 0, b = 0;
    reply >> a >> b;
    return {a, b};
}

const auto ThrownCode = [](auto&& f) { return testsupport::CaughtCode<CRPCException>(f); };
const auto Thrown = [](auto&& f) { return testsupport::Caught<CRPCException>(f); };

// A Unix socket at `path`: listening (a stand-in server written by hand), or connected to it.
int UnixSocket(const std::string& path, bool listen, int flags = 0) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | flags, 0);
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    auto* at = reinterpret_cast<sockaddr*>(&a);
    EXPECT_EQ(0, listen ? ::bind(fd, at, sizeof a) + ::listen(fd, 4) : ::connect(fd, at, sizeof a));
    return fd;
}

std::vector<uint8_t> RecvExactly(int fd, size_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_TRUE(RPC::ReadExact(fd, v.data(), n, 10s));
    return v;
}

const CComponentID kComp(L"ID_TEST_COMP");

}  // namespace

TEST_F(RpcTest, FramesOnTheWireMatchTheirLayout) {
    // A hand-written server pins the request bytes and answers hand-made reply frames.
    int lfd = UnixSocket(RPC::LocalSocketPath(kComp, ".rpc"), true);
    std::thread server([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        std::vector<uint8_t> got = RecvExactly(fd, 8 + 13);
        const std::vector<uint8_t> want = {'Z',  'R',  'Q', '1', 13,  0,   0,   0,  // header
                                           0x2D, 0x01, 0,   0,                      // id 301
                                           5,    0,    0,   0,   'h', 'e', 'l', 'l', 'o'};
        EXPECT_EQ(want, got);
        const uint8_t reply[] = {'Z', 'R', 'P', '1', 5, 0, 0, 0, 0x00, 0x2E, 0x01, 0, 0};
        RPC::WriteAll(fd, reply, sizeof reply, 10s);
        // Second request: answered with a failure frame.
        RecvExactly(fd, 8 + 4);
        const uint8_t failed[] = {'Z', 'R', 'P', '1', 5, 0, 0, 0, 0x01, 'o', 'o', 'p', 's'};
        RPC::WriteAll(fd, failed, sizeof failed, 10s);
        // Third: a reply header announcing 1 GiB + 1, above the limit.
        RecvExactly(fd, 8 + 4);
        RPC::WriteAll(fd, "ZRP1\x01\x00\x00\x40", 8, 10s);
        ::close(fd);
    });
    CRPCClientHelper client(kComp, nullptr);
    EXPECT_EQ("unix:" + m_dir.Str() + "/ID_TEST_COMP.rpc", client.GetEndpoint());
    CIPCMsgBuffer request(1024, false);
    request << 301 << OS::x_wstring(L"hello");
    CIPCMsgBuffer reply(1024, false);
    reply << 7;  // whatever was in the reply goes
    client.SendRequest(request, reply);
    int id = 0;
    reply >> id;
    EXPECT_EQ(302, id);
    EXPECT_EQ(0u, reply.GetCurrentSize());
    CIPCMsgBuffer only(1024, false);
    only << 5;
    const auto failed = Thrown([&] { client.SendRequest(only, reply); });
    ASSERT_TRUE(failed) << "a failure frame must throw";
    EXPECT_EQ(CRPCException::HANDLER_FAILED, failed->GetErrorCode());
    EXPECT_EQ(OS::x_wstring(L"component ID_TEST_COMP: the request failed: oops"),
              failed->GetErrorMsg());
    const auto huge = Thrown([&] { client.SendRequest(only, reply); });
    EXPECT_TRUE(huge && huge->GetErrorCode() == CRPCException::FRAME_TOO_LARGE &&
                huge->GetErrorMsg() == L"component ID_TEST_COMP at " +
                                           x_wstring::FromUtf8(client.GetEndpoint()) +
                                           L": reply refused: frame of 1073741825 bytes "
                                           L"refused: the limit is 67108864 bytes");
    server.join();
    ::close(lfd);
}

TEST_F(RpcTest, DispatchesByIdWithTheIdStrippedAndAnswersUnknownIdsEmpty) {
    std::vector<std::pair<int, unsigned long>> seen;  // id and request size
    CFuncHandler handler({301, 303}, [&](int id, const CIPCMsgBuffer& req, CIPCMsgBuffer& rep) {
        seen.emplace_back(id, req.BytesUsed());
        OS::x_wstring s;
        req >> s;  // the first item behind the id
        rep << id + 1 << s;
    });
    CRPCServerHelper server(kComp, CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(handler);
    EXPECT_EQ(1, handler.freed.load());  // the id array went back

    CRPCClientHelper client(kComp, nullptr);
    CIPCMsgBuffer req(1024, false), reply(1024, false);
    req << 303 << OS::x_wstring(L"ab");
    client.SendRequest(req, reply);
    int id = 0;
    OS::x_wstring s;
    reply >> id >> s;
    EXPECT_EQ(std::pair(304, x_wstring(L"ab")), std::pair(id, s));
    EXPECT_EQ((std::vector<std::pair<int, unsigned long>>{{303, 6}}), seen);  // count + "ab"

    // An id the handler did not report, and a request too short to hold an id.
    CIPCMsgBuffer unknown(1024, false), empty(1024, false);
    unknown << 305 << OS::x_wstring(L"x");
    for (const CIPCMsgBuffer* request : {&unknown, &empty}) {
        reply << 1;
        client.SendRequest(*request, reply);
        EXPECT_EQ(0u, reply.BytesUsed());
    }
    EXPECT_EQ(1, handler.calls.load());

    // A handler that throws makes the client throw with its message.
    CFuncHandler thrower({7}, [](int, const CIPCMsgBuffer& req, CIPCMsgBuffer&) {
        int a = 0, b = 0;
        req >> a >> b;  // the request holds one int: reading past its end throws
    });
    server.RegisterHandler(thrower);
    EXPECT_EQ(CRPCException::HANDLER_FAILED, ThrownCode([&] { Call(client, 7, 0); }));
    EXPECT_EQ(304, Call(client, 303, 0).first) << "the connection still works";

    // One that throws after writing part of its reply is logged with its text alone: first on
    // a fresh connection, then behind a longer reply on the same one.
    const std::string zs(64, 'Z');
    CFuncHandler partial({8, 9}, [&](int id, const CIPCMsgBuffer&, CIPCMsgBuffer& rep) {
        rep << id + 1;
        rep.Put(reinterpret_cast<const unsigned char*>(zs.data()), zs.size());
        if (id == 8) throw std::runtime_error("failed behind a partial reply");
    });
    server.RegisterHandler(partial);
    CRPCClientHelper::CloseThreadConnections();
    for (int round = 0; round < 2; ++round) {
        DBG::CCaptureLog log;
        if (round == 1) {
            EXPECT_EQ(10, Call(client, 9, 0).first);
        }
        EXPECT_EQ(CRPCException::HANDLER_FAILED, ThrownCode([&] { Call(client, 8, 0); }));
        EXPECT_TRUE(
            log.Contains(L"RPC server ID_TEST_COMP: the handler of message 8 threw: "
                         L"failed behind a partial reply",
                         DBG::LVL_WARNING))
            << round;
    }
}

TEST_F(RpcTest, ProtocolSequencesAndRuntimeFolder) {
    EXPECT_EQ(CRPCException::BAD_PARAMETER, ThrownCode([] { CRPCServerParameter p(L"tcp"); }));

    const std::string nested = m_dir.Str() + "/a/b";
    ::setenv("ZOLTCFG_RUNTIME_DIR", (nested + "/").c_str(), 1);
    EXPECT_EQ(nested + "/ID_A_B.notify", RPC::LocalSocketPath(CComponentID(L"ID_A/B"), ".notify"));
    struct stat st {};
    EXPECT_TRUE(::lstat(nested.c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);

    // Folders another user could stand in, and a lock file that is a link: refused.
    const std::string d = m_dir.Str() + "/rt", lock = nested + "/ID_TEST_COMP.rpc.lock";
    const bool root = ::geteuid() == 0;
    for (const auto& [mode, why] :
         std::vector<std::pair<int, std::string>>{{0700, "belongs to user"},
                                                  {0770, "is writable by other users"},
                                                  {0703, "is writable by other users"},
                                                  {0, "is a symbolic link"},
                                                  {1, "cannot open the endpoint lock"}}) {
        std::string dir = mode == 1 ? nested : d;
        if (mode == 0) ::symlink(nested.c_str(), d.c_str());
        if (mode == 1) ::symlink((d + ".x").c_str(), lock.c_str());
        if (mode > 1 && ::mkdir(d.c_str(), 0700) == 0 && ::chmod(d.c_str(), mode) == 0 &&
            mode == 0700 && (!root || ::chown(d.c_str(), 65534, 65534) != 0))
            dir = "/usr";  // as another user, a folder of root's
        ::setenv("ZOLTCFG_RUNTIME_DIR", dir.c_str(), 1);
        const auto e =
            Thrown([] { CRPCServerHelper refused(kComp, CRPCServerParameter(L"ncalrpc")); });
        EXPECT_TRUE(e && e->GetErrorCode() == CRPCException::ENDPOINT_FAILED &&
                    e->GetErrorMsg().find(x_wstring::FromUtf8(why)) != x_wstring::npos)
            << why;
        std::filesystem::remove(d);
    }
    std::filesystem::remove(lock);
    EXPECT_FALSE(std::filesystem::exists(d + ".x"));

    // A user outside the admin group is refused with the reason, even when the folder and
    // the socket let it in (as root only: the peer runs as nobody).
    if (root) {
        ::setenv("ZOLTCFG_RUNTIME_DIR", nested.c_str(), 1);
        CRPCServerHelper server(kComp, CRPCServerParameter(L"ncalrpc"));
        const std::string path = nested + "/ID_TEST_COMP.rpc";
        EXPECT_TRUE(::lstat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0660);
        for (const std::string& f : {m_dir.Str(), m_dir.Str() + "/a", nested, path})
            ::chmod(f.c_str(), 0777);
        DBG::CCaptureLog log;
        const pid_t child = ::fork();
        if (child == 0) {
            uint8_t reply[9] = {};
            if (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534)) ::_exit(90);
            ::_exit(::recv(UnixSocket(path, false), reply, 9, MSG_WAITALL) == 9 ? reply[8] : 91);
        }
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        EXPECT_EQ(RPC::kReplyNotAllowed, WEXITSTATUS(status));
        EXPECT_TRUE(testsupport::HasLine(
            log, DBG::LVL_WARNING,
            L"connection refused: user 65534 (process " + std::to_wstring(child)));
    }
    EXPECT_EQ(CRPCException::BAD_PARAMETER,
              ThrownCode([] { RPC::LocalSocketPath(CComponentID(L""), ".rpc"); }));

    EXPECT_EQ(47301, RPC::TcpPort(CComponentID(L"ID_ZOLT_MASTER")));
    ::setenv("ZOLTCFG_RPC_PORT_ID_ZOLT_MASTER", "70000", 1);
    EXPECT_EQ(CRPCException::NO_PORT,
              ThrownCode([] { RPC::TcpPort(CComponentID(L"id_zolt_master")); }));
    ::unsetenv("ZOLTCFG_RPC_PORT_ID_ZOLT_MASTER");
    EXPECT_EQ(CRPCException::NO_PORT, ThrownCode([] { RPC::TcpPort(CComponentID(L"ID_X")); }));
}

TEST_F(RpcTest, SilentComponentTimesOutAndItsLateReplyIsNeverRead) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    CFuncHandler slow({1}, [&](int id, const CIPCMsgBuffer& req, CIPCMsgBuffer& rep) {
        int v = 0;
        req >> v;
        if (v == 1) {
            entered.set_value();
            released.wait();
        }
        rep << id + 1 << v;
    });
    CRPCServerHelper server(kComp, CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(slow);
    CRPCClientHelper client(kComp, nullptr);
    EXPECT_EQ(30000, client.GetTimeout().count());
    client.SetTimeout(50ms);
    EXPECT_EQ(CRPCException::TIMEOUT, ThrownCode([&] { Call(client, 1, 1); }));
    entered.get_future().wait();
    release.set_value();
    // The late answer to 1 went to the dropped connection; this call gets its own answer.
    client.SetTimeout(30s);
    EXPECT_EQ(std::make_pair(2, 2), Call(client, 1, 2));
}

// The refusals, in order: no server yet, a second server on a live endpoint (the first one
// replaced a stale socket file), and a request above the limit, which never leaves the client.
// Hostile peers are dropped; the server goes on serving and is reached again after a restart,
// locally and over its network endpoint.
TEST_F(RpcTest, RefusalsLeaveTheServerServingThroughRestarts) {
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", m_dir.Str() + "/registry");
    OS::CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, OS::kProductRegKey));
    key.SetValue(4, L"MaxConnections");
    const std::string path = RPC::LocalSocketPath(kComp, ".rpc");
    const x_wstring dir = x_wstring::FromUtf8(m_dir.Str());
    CFuncHandler handler({1}, Echo);
    CRPCClientHelper client(kComp, nullptr);
    std::optional<CRPCServerHelper> server;
    const size_t saved = RPC::MaxFrameSize();
    const struct {
        std::function<void()> call;
        int code;
        x_wstring message;  // empty: not compared
    } cases[] = {
        {[&] { Call(client, 1, 1); }, CRPCException::UNREACHABLE,
         L"component ID_TEST_COMP cannot be reached at unix:" + dir +
             L"/ID_TEST_COMP.rpc: No such file or directory"},
        {[&] {
             ::close(UnixSocket(path, true));  // left by a server that is gone
             server.emplace(kComp, CRPCServerParameter(L"ncalrpc"));
             server->RegisterHandler(handler);
             CRPCServerHelper second(kComp, CRPCServerParameter(L"ncalrpc"));
         },
         CRPCException::ENDPOINT_IN_USE,
         L"component ID_TEST_COMP is already served by a live server at " +
             x_wstring::FromUtf8(path)},
        {[&] {
             RPC::SetMaxFrameSize(64);
             CIPCMsgBuffer big, reply;
             big << 1 << x_wstring(std::wstring(100, L'x'));
             client.SendRequest(big, reply);
         },
         CRPCException::FRAME_TOO_LARGE, L""},
    };
    for (const auto& c : cases) {
        const auto e = Thrown(c.call);
        ASSERT_TRUE(e) << c.code;
        EXPECT_EQ(c.code, e->GetErrorCode());
        EXPECT_EQ(c.message.empty() ? c.message : e->GetErrorMsg(), c.message);
    }
    RPC::SetMaxFrameSize(saved);
    EXPECT_EQ(0, handler.calls.load());

    // Hostile peers: a header above the limit, and one announcing 48 MiB with one byte behind
    // it, which holds a small buffer until the frame deadline; beyond MaxConnections (4 here,
    // the client's connection among them) a connection is closed at once. Each read below
    // waits 10 s at most.
    EXPECT_EQ(std::make_pair(2, 3), Call(client, 1, 3));
    RPC::SetFrameDeadline(200ms);
    DBG::CCaptureLog log;
    const size_t before = RPC::PeakReservedReceiveBytes(true);
    std::vector<int> fds;
    uint8_t c;
    for (const auto& [bytes, why] : std::vector<std::pair<std::vector<uint8_t>, x_wstring>>{
             {{'Z', 'R', 'Q', '1', 0xFF, 0xFF, 0xFF, 0xFF}, L"frame of 4294967295 bytes refused"},
             {{'Z', 'R', 'Q', '1', 0, 0, 0, 3, 1}, L"a frame did not arrive whole within 200 ms"},
             {{}, L"connection refused: 4 connections are open"}}) {
        for (int i = bytes.empty() ? 0 : 3; i < 4; ++i)
            fds.push_back(UnixSocket(path, false, SOCK_NONBLOCK));
        RPC::WriteAll(fds.back(), bytes.data(), bytes.size(), 10s);
        EXPECT_EQ(CRPCException::CONNECTION_LOST,
                  ThrownCode([&] { RPC::ReadExact(fds.back(), &c, 1, 10s); }));
        EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_WARNING, why)) << why.ToUtf8();
    }
    EXPECT_LT(RPC::PeakReservedReceiveBytes(), before + 64 * 1024);
    RPC::SetFrameDeadline(30s);
    EXPECT_EQ(std::make_pair(2, 4), Call(client, 1, 4));
    for (int f : fds) ::close(f);
    server.reset();  // the connection is kept; the next call goes through on a new one
    server.emplace(kComp, CRPCServerParameter(L"ncalrpc"));
    server->RegisterHandler(handler);
    EXPECT_EQ(std::make_pair(2, 13), Call(client, 1, 13));

    const std::string port = std::to_string(testsupport::FreeTcpPort());
    ::setenv("ZOLTCFG_RPC_PORT_ID_TEST_COMP", port.c_str(), 1);
    testsupport::CScopedTls tls;
    CRPCServerHelper remote(kComp, CRPCServerParameter(L"ncacn_np"));
    EXPECT_EQ("tls:0.0.0.0:" + port, remote.GetEndpoint());
    remote.RegisterHandler(handler);
    CRPCClientHelper tcp(kComp, L"127.0.0.1");
    EXPECT_EQ("tls:127.0.0.1:" + port, tcp.GetEndpoint());
    EXPECT_EQ(std::make_pair(2, 5), Call(tcp, 1, 5));
    remote.UnRegisterHandler(handler);
    ::unsetenv("ZOLTCFG_RPC_PORT_ID_TEST_COMP");
}

// Concurrency tests (their suite name puts them under the thread sanitizer).
class RpcConcurrency : public RpcTest {};

TEST_F(RpcConcurrency, UnregisterWaitsForRunningCalls) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> unregistered{false};
    std::atomic<bool> sawUnregistered{true};
    CFuncHandler handler({1}, [&](int id, const CIPCMsgBuffer& req, CIPCMsgBuffer& rep) {
        int v = 0;
        req >> v;
        if (v == 7) {
            entered.set_value();
            released.wait();
            sawUnregistered = unregistered.load();
        }
        rep << id + 1 << v;
    });
    CRPCServerHelper server(kComp, CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(handler);
    std::pair<int, int> slowReply;
    std::thread caller([&] {
        CRPCClientHelper client(kComp, nullptr);
        slowReply = Call(client, 1, 7);
        CRPCClientHelper::CloseThreadConnections();
    });
    entered.get_future().wait();
    std::thread unregistering([&] {
        server.UnRegisterHandler(handler);
        unregistered = true;
    });
    // Calls go on until the id is no longer routed; from then on requests get an empty reply
    // although the first call is still running, and UnRegisterHandler has not returned.
    CRPCClientHelper client(kComp, nullptr);
    for (;;) {
        CIPCMsgBuffer reply;
        client.SendRequest(Request(1, 8), reply);
        if (reply.BytesUsed() == 0) break;
    }
    EXPECT_FALSE(unregistered.load());
    release.set_value();
    unregistering.join();
    caller.join();
    EXPECT_FALSE(sawUnregistered.load());
    EXPECT_EQ(std::make_pair(2, 7), slowReply);

    // A handler may unregister itself from inside its own call.
    CFuncHandler* self = nullptr;
    CFuncHandler quitter({3}, [&](int id, const CIPCMsgBuffer& req, CIPCMsgBuffer& rep) {
        server.UnRegisterHandler(*self);
        Echo(id, req, rep);
    });
    self = &quitter;
    server.RegisterHandler(quitter);
    EXPECT_EQ(std::make_pair(4, 9), Call(client, 3, 9));
    CIPCMsgBuffer reply;
    client.SendRequest(Request(3, 10), reply);
    EXPECT_EQ(0u, reply.BytesUsed());
}

// A TCP endpoint speaks only mutual TLS. Clients of another CA, with an expired certificate or
// no certificate, plain TCP and a stalled handshake are each closed at the handshake and logged,
// nothing served; a name not allowed is logged and told so in the answer to its first request;
// a good client is served meanwhile. Without TLS settings nothing listens and nothing is reached.
TEST_F(RpcTest, TlsEndpointRefusesBadPeersAtTheHandshake) {
    ::signal(SIGPIPE, SIG_IGN);  // the hand-made OpenSSL client writes with write()
    const unsigned short port = testsupport::FreeTcpPort();
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_TEST_COMP", std::to_string(port));
    RPC::CTlsSettings server = testsupport::TlsNode("server");
    server.allowedNames = {"client"};
    testsupport::CScopedTls tls(server);
    DBG::CCaptureLog log;
    CFuncHandler handler({1}, Echo);
    std::optional<CRPCServerHelper> served;
    auto serve = [&] {
        served.reset();  // waits for its connections: what they log is in
        served.emplace(kComp, CRPCServerParameter(L"ncacn_np"));
        served->RegisterHandler(handler);
    };
    auto ask = [](int v) {
        CRPCClientHelper client(kComp, L"127.0.0.1");
        return Call(client, 1, v).second;
    };
    auto tcp = [port] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        return fd;
    };
    // True when the server closed `fd` (a reset when our bytes were unread) sending no reply.
    auto closedUnserved = [](int fd) {
        char b[4096];
        ssize_t n;
        std::string seen;
        while ((n = ::recv(fd, b, sizeof b, 0)) > 0) seen.append(b, static_cast<size_t>(n));
        const bool closed = n == 0 || errno == ECONNRESET;
        ::close(fd);
        return closed && seen.find("ZRP1") == std::string::npos;
    };
    auto refusedFor = [&](const wchar_t* why) {
        return testsupport::HasLine(log, DBG::LVL_WARNING, why);
    };
    const struct {
        const char* client;  // a test node, or "": no certificate, or "plain": no TLS at all
        const wchar_t* logged;
        int code = 0;  // what the client throws, where it is pinned
    } refused[] = {
        {"stranger", L"unable to get local issuer certificate"},
        {"old", L"certificate has expired"},
        {"other", L"TLS peer certificate name other is not allowed", CRPCException::NOT_ALLOWED},
        {"", L"peer did not return a certificate"},
        {"plain", L"TLS handshake failed"}};
    for (const auto& row : refused) {
        SCOPED_TRACE(row.client);
        CRPCClientHelper::CloseThreadConnections();
        serve();
        if (row.client == std::string("plain")) {
            const int fd = tcp();
            RPC::WriteAll(fd, "ZRQ1\x08\0\0\0\x01\0\0\0\x05\0\0\0", 16, 10s);
            EXPECT_TRUE(closedUnserved(fd));
        } else if (*row.client == '\0') {
            char b[1];
            SSL_CTX* bare = SSL_CTX_new(TLS_client_method());
            SSL_CTX_load_verify_locations(bare, server.caFile.c_str(), nullptr);
            SSL* ssl = SSL_new(bare);
            const int fd = tcp();
            SSL_set_fd(ssl, fd);
            EXPECT_TRUE(SSL_connect(ssl) != 1 || SSL_write(ssl, "ZRQ1", 4) <= 0 ||
                        SSL_read(ssl, b, 1) <= 0);
            SSL_free(ssl);
            SSL_CTX_free(bare);
            EXPECT_TRUE(closedUnserved(fd));
        } else {
            RPC::SetTlsSettings(false, testsupport::TlsNode(row.client));
            const auto e = Thrown([&] { ask(3); });
            ASSERT_TRUE(e);
            // A name not admitted is told why, in the answer to the first request.
            if (row.code != 0) {
                EXPECT_EQ(row.code, e->GetErrorCode());
                EXPECT_NE(std::wstring::npos,
                          e->GetErrorMsg().find(L"this server does not admit the certificate "
                                                L"name other (its allowed names)"));
            }
        }
        served.reset();
        EXPECT_TRUE(refusedFor(row.logged));
    }
    serve();
    // A stalled handshake is dropped at the deadline; a good client is served meanwhile.
    RPC::SetHandshakeTimeout(300ms);
    const int stalled = tcp();
    RPC::SetTlsSettings(false, testsupport::TlsNode("client"));
    EXPECT_EQ(ask(4), 4);
    EXPECT_TRUE(closedUnserved(stalled));
    RPC::SetHandshakeTimeout(10s);
    EXPECT_TRUE(refusedFor(L"TLS handshake not done within 300 ms"));
    EXPECT_GE(testsupport::CountLines(log, DBG::LVL_WARNING,
                                      L"RPC server ID_TEST_COMP: connection from 127.0.0.1:"),
              6u);  // each refusal names its peer
    EXPECT_EQ(handler.calls, 1);

    served.reset();
    RPC::SetTlsSettings(true, RPC::CTlsSettings{});
    RPC::SetTlsSettings(false, RPC::CTlsSettings{});
    EXPECT_EQ(CRPCServerHelper(kComp, CRPCServerParameter(L"ncacn_np")).GetEndpoint(), "");
    CRPCClientHelper::CloseThreadConnections();
    EXPECT_EQ(ThrownCode([&] { ask(5); }), CRPCException::TLS_REFUSED);
}
