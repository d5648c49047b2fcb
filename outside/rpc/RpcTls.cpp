// The TLS of the remote endpoints: settings (registry or set by the program), contexts over
// asio's SSL layer, and channels that speak TLS on a connected descriptor through a socket BIO of
// our own (send with MSG_NOSIGNAL, so a peer gone mid-write never raises SIGPIPE).
// Thread rule: the settings are guarded by g_settingsLock; OpenSSL's error queue is per thread
// and cleared before each call that reads it.
#include "outside/rpc/RpcTls.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>

#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"
#include "outside/rpc/AsioInclude.h"
// asio's SSL layer after AsioInclude.h, so that both see the same configuration.
#include <asio/ssl.hpp>

#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcEndpoint.h"

namespace RPC {

namespace {

std::mutex g_settingsLock;
std::optional<CTlsSettings> g_set[2];  // [0] reaching, [1] serving
std::atomic<long long> g_handshakeMs{10000};

[[noreturn]] void Refuse(int code, int line, const std::string& why) {
    throw CRPCException(code, OS_WFILE, line, OS::x_wstring::FromUtf8(why));
}

// The first error OpenSSL queued for this thread, as text ("" when none).
std::string SslErrorText() {
    unsigned long e = ERR_get_error();
    if (e == 0) return "";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return text;
}

// The socket BIO: the descriptor's own blocking mode and time limits apply.
int Fd(BIO* b) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
}

int BioWrite(BIO* b, const char* data, size_t size, size_t* written) {
    BIO_clear_retry_flags(b);
    ssize_t n;
    while ((n = ::send(Fd(b), data, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(b);
        return 0;
    }
    *written = static_cast<size_t>(n);
    return 1;
}

int BioRead(BIO* b, char* data, size_t size, size_t* read) {
    BIO_clear_retry_flags(b);
    ssize_t n;
    while ((n = ::recv(Fd(b), data, size, 0)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
        return 0;
    }
    *read = static_cast<size_t>(n);
    return 1;
}

long BioCtrl(BIO* b, int cmd, long, void* ptr) {
    switch (cmd) {
        case BIO_C_SET_FD:  // the descriptor is kept as the BIO's data; it is never closed here
            BIO_set_data(b,
                         reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(ptr))));
            BIO_set_init(b, 1);
            return 1;
        case BIO_C_GET_FD:
            return BIO_get_init(b) ? static_cast<long>(reinterpret_cast<intptr_t>(BIO_get_data(b)))
                                   : -1;
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "zoltcfg socket");
        BIO_meth_set_write_ex(m, BioWrite);
        BIO_meth_set_read_ex(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        return m;
    }();
    return method;
}

std::vector<std::string> SplitNames(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string n = text.substr(start, end - start);
        while (!n.empty() && n.front() == ' ') n.erase(0, 1);
        while (!n.empty() && n.back() == ' ') n.pop_back();
        if (!n.empty()) names.push_back(n);
        start = end + 1;
    }
    return names;
}

}  // namespace

CTlsSettings TlsSettingsFromRegistry() {
    CTlsSettings s;
    OS::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, OS::x_wstring(OS::kProductRegKey) + L"\\Remote") !=
        ERROR_SUCCESS)
        return s;
    auto text = [&](const wchar_t* name) {
        OS::x_wstring v;
        return key.QueryValue(name, v) == ERROR_SUCCESS ? v.ToUtf8() : std::string();
    };
    s.listenAddress = text(L"ListenAddress");
    unsigned long port = 0;
    if (key.QueryValue(port, L"Port") == ERROR_SUCCESS && port > 0 && port <= 65535)
        s.port = static_cast<unsigned short>(port);
    s.certFile = text(L"Certificate");
    s.keyFile = text(L"PrivateKey");
    s.caFile = text(L"CAFile");
    s.allowedNames = SplitNames(text(L"AllowedNames"));
    return s;
}

CTlsSettings TlsSettings(bool server) {
    {
        std::lock_guard<std::mutex> g(g_settingsLock);
        if (g_set[server ? 1 : 0]) return *g_set[server ? 1 : 0];
    }
    return TlsSettingsFromRegistry();
}

void SetTlsSettings(bool server, const std::optional<CTlsSettings>& settings) {
    std::lock_guard<std::mutex> g(g_settingsLock);
    g_set[server ? 1 : 0] = settings;
}

std::chrono::milliseconds HandshakeTimeout() {
    return std::chrono::milliseconds(g_handshakeMs.load(std::memory_order_relaxed));
}

void SetHandshakeTimeout(std::chrono::milliseconds timeout) {
    g_handshakeMs.store(timeout.count(), std::memory_order_relaxed);
}

unsigned short NetworkPort(const CComponentID& component, const CTlsSettings& settings) {
    if (settings.port != 0 && component.GetIDString() == L"ID_ZOLT_REMOTE_CFG" &&
        !std::getenv(TcpPortVariable(component).c_str()))
        return settings.port;
    return TcpPort(component);
}

std::string PeerAddress(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown peer";
    return std::string(host) + ":" + port;
}

struct CTlsContext::Impl {
    asio::ssl::context context;
    std::vector<std::string> allowed;
    bool server;
    explicit Impl(bool isServer)
        : context(isServer ? asio::ssl::context::tls_server : asio::ssl::context::tls_client),
          server(isServer) {}
};

CTlsContext::CTlsContext(const CTlsSettings& settings, bool server)
    : m_impl(std::make_unique<Impl>(server)) {
    if (!settings.Configured())
        Refuse(CRPCException::BAD_PARAMETER, __LINE__,
               "TLS needs a certificate, its private key and a CA file");
    asio::ssl::context& c = m_impl->context;
    const char* step = "";
    try {
        c.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1);
        SSL_CTX_set_options(c.native_handle(), SSL_OP_IGNORE_UNEXPECTED_EOF);
        // No session tickets: sessions are not resumed, and a ticket arriving after the
        // handshake would make a kept, idle connection look closed to its client.
        if (server) SSL_CTX_set_num_tickets(c.native_handle(), 0);
        SSL_CTX_set_min_proto_version(c.native_handle(), TLS1_2_VERSION);
        step = "certificate ";
        c.use_certificate_chain_file(settings.certFile);
        step = "private key ";
        c.use_private_key_file(settings.keyFile, asio::ssl::context::pem);
        step = "CA file ";
        c.load_verify_file(settings.caFile);
        c.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
    } catch (const asio::system_error& e) {
        ERR_clear_error();
        std::string file = std::string(step) == "certificate "   ? settings.certFile
                           : std::string(step) == "private key " ? settings.keyFile
                                                                 : settings.caFile;
        Refuse(CRPCException::BAD_PARAMETER, __LINE__,
               "TLS " + std::string(step) + file + " cannot be loaded: " + e.what());
    }
    if (SSL_CTX_check_private_key(c.native_handle()) != 1) {
        ERR_clear_error();
        Refuse(CRPCException::BAD_PARAMETER, __LINE__,
               "TLS private key " + settings.keyFile + " does not belong to certificate " +
                   settings.certFile);
    }
    m_impl->allowed = settings.allowedNames;
}

CTlsContext::~CTlsContext() = default;

CTlsChannel::CTlsChannel(const CTlsContext& context, int fd)
    : m_fd(fd), m_allowed(context.GetImpl().allowed) {
    m_ssl = SSL_new(context.GetImpl().context.native_handle());
    BIO* bio = m_ssl ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        if (m_ssl) SSL_free(m_ssl);
        Refuse(CRPCException::ENDPOINT_FAILED, __LINE__, "cannot create a TLS session");
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(m_ssl, bio, bio);
    if (context.GetImpl().server)
        SSL_set_accept_state(m_ssl);
    else
        SSL_set_connect_state(m_ssl);
}

CTlsChannel::~CTlsChannel() {
    if (m_ssl) {
        if (!m_peerName.empty() || SSL_is_init_finished(m_ssl)) {
            // A close notice, without waiting for the peer's.
            int flags = ::fcntl(m_fd, F_GETFL);
            ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
            SSL_shutdown(m_ssl);
            ::fcntl(m_fd, F_SETFL, flags);
        }
        SSL_free(m_ssl);
        ERR_clear_error();
    }
}

void CTlsChannel::Handshake(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int flags = ::fcntl(m_fd, F_GETFL);
    ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    struct Restore {
        int fd, flags;
        ~Restore() { ::fcntl(fd, F_SETFL, flags); }
    } restore{m_fd, flags};
    ERR_clear_error();
    for (;;) {
        int r = SSL_do_handshake(m_ssl);
        if (r == 1) break;
        int err = SSL_get_error(m_ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            std::string why = SslErrorText();
            long verify = SSL_get_verify_result(m_ssl);
            if (verify != X509_V_OK)
                why = X509_verify_cert_error_string(verify) + (why.empty() ? "" : " (" + why + ")");
            if (why.empty()) why = "the peer closed the connection during the handshake";
            Refuse(CRPCException::TLS_REFUSED, __LINE__, "TLS handshake failed: " + why);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            Refuse(CRPCException::TIMEOUT, __LINE__,
                   "TLS handshake not done within " + std::to_string(timeout.count()) + " ms");
        pollfd p{m_fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    }

    X509* peer = SSL_get1_peer_certificate(m_ssl);
    if (!peer) Refuse(CRPCException::TLS_REFUSED, __LINE__, "TLS peer presented no certificate");
    std::vector<std::string> names;
    char cn[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn) > 0)
        names.emplace_back(cn);
    if (auto* alt = static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(peer, NID_subject_alt_name, nullptr, nullptr))) {
        for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
            const GENERAL_NAME* n = sk_GENERAL_NAME_value(alt, i);
            if (n->type == GEN_DNS)
                names.emplace_back(
                    reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)),
                    static_cast<size_t>(ASN1_STRING_length(n->d.dNSName)));
        }
        GENERAL_NAMES_free(alt);
    }
    X509_free(peer);
    m_peerName = names.empty() ? std::string("(no name)") : names.front();
    if (m_allowed.empty()) return;
    for (const auto& n : names)
        for (const auto& a : m_allowed)
            if (::strcasecmp(n.c_str(), a.c_str()) == 0) return;
    m_nameRefused = true;
    Refuse(CRPCException::TLS_REFUSED, __LINE__,
           "TLS peer certificate name " + m_peerName + " is not allowed");
}

ssize_t CTlsChannel::Recv(void* data, size_t size) {
    ERR_clear_error();
    size_t n = 0;
    if (SSL_read_ex(m_ssl, data, size, &n) == 1) return static_cast<ssize_t>(n);
    int err = SSL_get_error(m_ssl, 0);
    ERR_clear_error();
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err == SSL_ERROR_SYSCALL && errno == 0) return 0;  // closed without a close notice
    errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
    return -1;
}

ssize_t CTlsChannel::Send(const void* data, size_t size) {
    ERR_clear_error();
    size_t n = 0;
    if (SSL_write_ex(m_ssl, data, size, &n) == 1) return static_cast<ssize_t>(n);
    int err = SSL_get_error(m_ssl, 0);
    ERR_clear_error();
    errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
    return -1;
}

bool CTlsChannel::Pending() const {
    return SSL_pending(m_ssl) > 0;
}

}  // namespace RPC
