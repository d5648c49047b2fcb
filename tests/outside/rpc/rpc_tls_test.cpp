// The remote endpoints' mutual TLS: a client of the CA is served on a kept connection; clients
// without a certificate, with one of another CA, an expired one, a name not allowed, plain TCP
// and a stalled handshake are each closed at the handshake with a log line, nothing served,
// while a good client goes on being served.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcFrame.h"
#include "tests/support/Caught.h"
#include "tests/support/FreePort.h"
#include "tests/support/LogText.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCerts.h"

using namespace std::chrono_literals;

namespace {

const CComponentID kComp(L"ID_TEST_TLS");

struct CEcho : CIPCServerRequestCallback {
    std::atomic<int> calls{0};
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{7};
        *count = 1;
        return true;
    }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        ++calls;
        int v = 0;
        request >> v;
        reply << v + 1;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
};

int Ask(int v) {
    CIPCMsgBuffer request(1024, false), reply(1024, false);
    request << 7 << v;
    CRPCClientHelper(kComp, L"127.0.0.1").SendRequest(request, reply);
    int r = 0;
    reply >> r;
    return r;
}

// A plain TCP connection to the endpoint.
int Connect(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
}

// True when the server closes `fd` (not a time-out here) and sent no reply frame.
bool ClosedWithoutReply(int fd) {
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char b[4096];
    ssize_t n;
    std::string seen;
    while ((n = ::recv(fd, b, sizeof b, 0)) > 0) seen.append(b, static_cast<size_t>(n));
    const bool closed = n == 0 || errno == ECONNRESET;  // a reset when our bytes were unread
    ::close(fd);
    return closed && seen.find("ZRP1") == std::string::npos;
}

// True when the server logged refusing a connection from this machine for `why`.
bool Refused(const DBG::CCaptureLog& log, const wchar_t* why) {
    for (const auto& l : log.Lines())
        if (l.level == DBG::LVL_WARNING &&
            l.message.find(L"RPC server ID_TEST_TLS: connection from 127.0.0.1:") == 0 &&
            l.message.find(why) != OS::x_wstring::npos)
            return true;
    return false;
}

}  // namespace

TEST(RpcTls, OnlyClientsOfTheCaWithAllowedNamesAreServed) {
    ::signal(SIGPIPE, SIG_IGN);  // the hand-made OpenSSL client below writes with write()
    testsupport::CTempDir dir("ztls");
    testsupport::CScopedEnv runtime("ZOLTCFG_RUNTIME_DIR", dir.Str());
    const unsigned short port = testsupport::FreeTcpPort();
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_TEST_TLS", std::to_string(port));
    RPC::CTlsSettings server = testsupport::TlsNode("server");
    server.allowedNames = {"client", "server"};
    testsupport::CScopedTls tls(server);
    DBG::CCaptureLog log;
    CEcho echo;
    CRPCServerHelper endpoint(kComp, CRPCServerParameter(L"ncacn_np"));
    endpoint.RegisterHandler(echo);
    EXPECT_EQ(endpoint.GetEndpoint(), "tls:0.0.0.0:" + std::to_string(port));
    EXPECT_EQ(Ask(1), 2);
    EXPECT_EQ(Ask(2), 3);  // the same connection: one handshake
    EXPECT_EQ(echo.calls, 2);

    const struct {
        const char* client;  // a node of the test certificates
        const wchar_t* logged;
    } refused[] = {
        {"stranger", L"unable to get local issuer certificate"},
        {"old", L"certificate has expired"},
        {"other", L"TLS peer certificate name other is not allowed"},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.client);
        CRPCClientHelper::CloseThreadConnections();
        RPC::SetTlsSettings(false, testsupport::TlsNode(row.client));
        EXPECT_THROW(Ask(3), CRPCException);
        EXPECT_TRUE(Refused(log, row.logged));
    }

    // No certificate at all: a client of its own, trusting the CA.
    SSL_CTX* bare = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(bare, server.caFile.c_str(), nullptr);
    SSL* ssl = SSL_new(bare);
    const int bareFd = Connect(port);
    SSL_set_fd(ssl, bareFd);
    char b = 0;
    if (SSL_connect(ssl) == 1) {
        EXPECT_LE(SSL_read(ssl, &b, 1), 0);
    }
    SSL_free(ssl);
    SSL_CTX_free(bare);
    EXPECT_TRUE(ClosedWithoutReply(bareFd));
    EXPECT_TRUE(Refused(log, L"peer did not return a certificate"));

    // Plain TCP: a request frame in the clear is never served.
    int plain = Connect(port);
    const uint8_t frame[] = {'Z', 'R', 'Q', '1', 8, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_TRUE(RPC::WriteAll(plain, frame, sizeof frame, 10s));
    EXPECT_TRUE(ClosedWithoutReply(plain));

    // A handshake that stalls is dropped at the deadline; a good client is served meanwhile.
    RPC::SetHandshakeTimeout(300ms);
    int stalled = Connect(port);
    CRPCClientHelper::CloseThreadConnections();
    RPC::SetTlsSettings(false, testsupport::TlsNode("client"));
    EXPECT_EQ(Ask(4), 5);
    EXPECT_TRUE(ClosedWithoutReply(stalled));
    RPC::SetHandshakeTimeout(10s);
    EXPECT_TRUE(Refused(log, L"TLS handshake not done within 300 ms"));
    EXPECT_EQ(echo.calls, 3);

    // Without TLS settings a TCP endpoint does not listen, and a client does not try.
    endpoint.UnRegisterHandler(echo);
    RPC::SetTlsSettings(true, RPC::CTlsSettings{});
    CRPCServerHelper silent(kComp, CRPCServerParameter(L"ncacn_np"));
    EXPECT_EQ(silent.GetEndpoint(), "");
    RPC::SetTlsSettings(false, RPC::CTlsSettings{});
    CRPCClientHelper::CloseThreadConnections();
    EXPECT_EQ(testsupport::CaughtCode<CRPCException>([] { Ask(5); }), CRPCException::TLS_REFUSED);
}
