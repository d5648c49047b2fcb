// CRPCClientHelper: request/reply over a kept, blocking connection of the calling thread.
// The connection is a plain socket with send and receive time limits, so a round trip costs one
// send and (usually) one receive; nothing is handed to another thread.
// Thread rule: the kept connections are thread-local; a helper's own fields are read only.
#include "outside/rpc/CRPCClientHelper.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "outside/rpc/RpcAccess.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcTls.h"

namespace {

std::atomic<long long> g_defaultTimeoutMs{30000};

// One kept connection of this thread to one endpoint.
struct CConnection {
    int fd = -1;
    long long timeoutMs = -1;  // the send/receive limits currently set on fd
    std::vector<uint8_t> out;
    std::vector<uint8_t> in;
    std::unique_ptr<RPC::CTlsContext> context;  // remote hosts: the TLS of the connection
    std::unique_ptr<RPC::CTlsChannel> tls;
    ~CConnection() {
        tls.reset();
        if (fd >= 0) ::close(fd);
    }
    ssize_t Send(const void* data, size_t size) {
        return tls ? tls->Send(data, size) : ::send(fd, data, size, MSG_NOSIGNAL);
    }
    ssize_t Recv(void* data, size_t size) {
        return tls ? tls->Recv(data, size) : ::recv(fd, data, size, 0);
    }
};

thread_local std::unordered_map<std::string, std::unique_ptr<CConnection>> t_connections;

void SetTimeouts(CConnection& c, std::chrono::milliseconds timeout) {
    long long ms = timeout.count();
    if (c.timeoutMs == ms) return;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (ms <= 0) tv.tv_usec = 1;  // 0 would mean "no limit"
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    c.timeoutMs = ms;
}

// True when nothing says the kept connection is closed (no end of stream, no error pending).
bool LooksAlive(int fd) {
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Sends what is left after `sent` bytes of a frame (header, then `size` bytes of request) on a
// plain socket, from where they are: no copy into one buffer.
ssize_t SendFrame(int fd, const uint8_t* header, const unsigned char* request, size_t size,
                  size_t sent) {
    iovec parts[2];
    int count = 0;
    if (sent < RPC::kFrameHeaderSize)
        parts[count++] = {const_cast<uint8_t*>(header) + sent, RPC::kFrameHeaderSize - sent};
    const size_t from = sent > RPC::kFrameHeaderSize ? sent - RPC::kFrameHeaderSize : 0;
    if (from < size) parts[count++] = {const_cast<unsigned char*>(request) + from, size - from};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &message, MSG_NOSIGNAL);
}

[[noreturn]] void Throw(int code, int line, const OS::x_wstring& msg) {
    throw CRPCException(code, OS_WFILE, line, msg);
}

}  // namespace

CRPCClientHelper::CRPCClientHelper(const CComponentID& component, const wchar_t* host)
    : m_component(component), m_timeout(g_defaultTimeoutMs.load(std::memory_order_relaxed)) {
    if (host && *host) {
        m_host = OS::x_wstring(host).ToUtf8();
        m_tls = std::make_shared<const RPC::CTlsSettings>(RPC::TlsSettings(false));
        m_endpoint = "tls:" + m_host + ":";
        try {
            m_endpoint += std::to_string(RPC::NetworkPort(component, *m_tls));
        } catch (const CRPCException&) {
            m_endpoint.clear();  // SendRequest reports the missing port
        }
    } else {
        m_socketPath = RPC::LocalSocketPath(component, ".rpc", false);
        m_endpoint = "unix:" + m_socketPath;
    }
}

CRPCClientHelper::~CRPCClientHelper() = default;

void CRPCClientHelper::SetDefaultTimeout(std::chrono::milliseconds timeout) {
    g_defaultTimeoutMs.store(timeout.count(), std::memory_order_relaxed);
}

std::chrono::milliseconds CRPCClientHelper::GetDefaultTimeout() {
    return std::chrono::milliseconds(g_defaultTimeoutMs.load(std::memory_order_relaxed));
}

void CRPCClientHelper::CloseThreadConnections() {
    t_connections.clear();
}

namespace {

// Opens a connection to the component's endpoint, bounded by the helper's timeout.
std::unique_ptr<CConnection> Connect(const CComponentID& component, const std::string& endpoint,
                                     const std::string& socketPath, const std::string& host,
                                     const RPC::CTlsSettings* tls,
                                     std::chrono::milliseconds timeout) {
    auto unreachable = [&](int err, int line) {
        Throw(CRPCException::UNREACHABLE, line,
              L"component " + component.GetIDString() + L" cannot be reached at " +
                  OS::x_wstring::FromUtf8(endpoint + ": " + RPC::ErrnoText(err)));
    };
    auto c = std::make_unique<CConnection>();
    if (!socketPath.empty()) {
        c->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c->fd < 0) unreachable(errno, __LINE__);
        SetTimeouts(*c, timeout);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
        while (::connect(c->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            if (errno == EINTR) continue;
            if (errno == EACCES || errno == EPERM)
                Throw(CRPCException::NOT_ALLOWED, __LINE__,
                      OS::x_wstring::FromUtf8(
                          "user " + std::to_string(::geteuid()) +
                          " is not allowed to use the configuration service: ask to be added to "
                          "group " +
                          RPC::CLocalAccess().AdminGroup()));
            unreachable(errno == EINPROGRESS ? ETIMEDOUT : errno, __LINE__);
        }
        return c;
    }
    auto refused = [&](const OS::x_wstring& why, int line) {
        Throw(CRPCException::TLS_REFUSED, line,
              L"component " + component.GetIDString() + L" at " +
                  OS::x_wstring::FromUtf8(endpoint) + L": " + why);
    };
    if (!tls || !tls->Configured())
        refused(
            L"a remote component is reached only over TLS, and no certificate, key and CA "
            L"file are configured",
            __LINE__);
    try {
        c->context = std::make_unique<RPC::CTlsContext>(*tls, false);
    } catch (const CRPCException& e) {
        refused(e.GetErrorMsg(), __LINE__);
    }
    std::string port = endpoint.substr(endpoint.rfind(':') + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0)
        Throw(CRPCException::UNREACHABLE, __LINE__,
              L"component " + component.GetIDString() + L" cannot be reached at " +
                  OS::x_wstring::FromUtf8(endpoint + ": " + ::gai_strerror(rc)));
    int lastErr = EHOSTUNREACH;
    for (addrinfo* a = list; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        c->fd = fd;
        c->timeoutMs = -1;
        SetTimeouts(*c, timeout);
        int r;
        while ((r = ::connect(fd, a->ai_addr, a->ai_addrlen)) != 0 && errno == EINTR) {
        }
        if (r == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::freeaddrinfo(list);
            c->tls = std::make_unique<RPC::CTlsChannel>(*c->context, fd);
            try {
                c->tls->Handshake(std::min(timeout, RPC::HandshakeTimeout()));
            } catch (const CRPCException& e) {
                if (e.GetErrorCode() == CRPCException::TIMEOUT) throw;
                refused(e.GetErrorMsg(), __LINE__);
            }
            return c;
        }
        lastErr = errno == EINPROGRESS ? ETIMEDOUT : errno;
        ::close(fd);
        c->fd = -1;
    }
    ::freeaddrinfo(list);
    unreachable(lastErr, __LINE__);
    return nullptr;
}

}  // namespace

void CRPCClientHelper::SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    if (m_endpoint.empty())
        Throw(CRPCException::NO_PORT, __LINE__,
              L"no TCP port is configured for component " + m_component.GetIDString() + L"; set " +
                  OS::x_wstring::FromUtf8(RPC::TcpPortVariable(m_component)));
    const size_t size = request.BytesUsed();
    uint8_t header[RPC::kFrameHeaderSize];
    RPC::PutFrameHeader(header, RPC::kRequestMagic, size);  // refuses an oversized request

    std::unique_ptr<CConnection>& slot = t_connections[m_endpoint];
    auto lost = [&](const wchar_t* what, int err, int line) {
        slot.reset();
        Throw(err == EAGAIN || err == EWOULDBLOCK ? CRPCException::TIMEOUT
                                                  : CRPCException::CONNECTION_LOST,
              line,
              L"component " + m_component.GetIDString() + L" at " +
                  OS::x_wstring::FromUtf8(m_endpoint) + L": " + what +
                  OS::x_wstring::FromUtf8(err == EAGAIN || err == EWOULDBLOCK
                                              ? " timed out after " +
                                                    std::to_string(m_timeout.count()) + " ms"
                                              : ": " + RPC::ErrnoText(err)));
    };

    // Send; a kept connection that turns out broken is replaced once.
    bool refused = false;
    for (int attempt = 0;; ++attempt) {
        bool fresh = false;
        if (!slot || attempt > 0 || !LooksAlive(slot->fd)) {
            slot.reset();
            slot = Connect(m_component, m_endpoint, m_socketPath, m_host, m_tls.get(), m_timeout);
            fresh = true;
        }
        CConnection& c = *slot;
        SetTimeouts(c, m_timeout);
        const size_t frame = RPC::kFrameHeaderSize + size;
        if (c.tls) {  // one write, so that header and request share their TLS records
            c.out.resize(frame);
            std::memcpy(c.out.data(), header, RPC::kFrameHeaderSize);
            if (size) std::memcpy(c.out.data() + RPC::kFrameHeaderSize, request.GetBuffer(), size);
        }
        size_t sent = 0;
        while (sent < frame) {
            ssize_t n = c.tls ? c.Send(c.out.data() + sent, frame - sent)
                              : SendFrame(c.fd, header, request.GetBuffer(), size, sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            int err = n < 0 ? errno : EPIPE;
            if (err == EINTR) continue;
            if (sent == 0 && !fresh && (err == EPIPE || err == ECONNRESET || err == ENOTCONN))
                break;  // the server went away since the last call: reconnect and resend
            if (fresh && (err == EPIPE || err == ECONNRESET)) {
                refused = true;  // a server that refuses the user says why before closing
                break;
            }
            lost(L"sending the request", err, __LINE__);
        }
        if (sent == frame || refused) break;
    }

    // Receive the reply: header, then the payload, usually with a single recv.
    CConnection& c = *slot;
    const auto receive = [&](uint8_t* into, size_t room) -> size_t {  // throws, or > 0
        for (;;) {
            const ssize_t n = c.Recv(into, room);
            if (n > 0) return static_cast<size_t>(n);
            if (n == 0) lost(L"the connection closed before the reply", ECONNRESET, __LINE__);
            if (errno != EINTR) lost(L"waiting for the reply", errno, __LINE__);
        }
    };
    const auto malformed = [&](int line) {
        slot.reset();
        Throw(CRPCException::PROTOCOL, line,
              L"component " + m_component.GetIDString() + L" at " +
                  OS::x_wstring::FromUtf8(m_endpoint) + L": malformed reply frame");
    };
    if (c.in.size() < 16 * 1024) c.in.resize(16 * 1024);
    // First the header and the payload's first byte (its status), with what comes along.
    size_t have = 0;
    size_t total = 0;  // header and payload, once the header is in
    while (total == 0 || have < std::min(total, RPC::kFrameHeaderSize + 1)) {
        have += receive(c.in.data() + have, c.in.size() - have);
        if (total == 0 && have >= RPC::kFrameHeaderSize) {
            size_t payload;
            try {
                payload = RPC::ParseFrameHeader(c.in.data(), RPC::kReplyMagic);
            } catch (const CRPCException& e) {
                slot.reset();
                Throw(e.GetErrorCode(), __LINE__,
                      L"component " + m_component.GetIDString() + L" at " +
                          OS::x_wstring::FromUtf8(m_endpoint) + L": reply refused: " +
                          e.GetErrorMsg());
            }
            total = RPC::kFrameHeaderSize + payload;
        }
    }
    if (have > total || total == RPC::kFrameHeaderSize) malformed(__LINE__);
    if (c.in[RPC::kFrameHeaderSize] == RPC::kReplyOk) {
        // The rest of a reply goes straight into `reply`, which grows with what arrives, not
        // with what the header announces.
        reply.ResetBuffer();
        const size_t first = RPC::kFrameHeaderSize + 1;
        if (have > first) reply.Put(c.in.data() + first, static_cast<unsigned int>(have - first));
        while (have < total) {
            const size_t room =
                std::min(total - have, std::max<size_t>(reply.BytesUsed(), 64 * 1024));
            have += reply.AppendFrom(room, receive);
        }
        return;
    }
    // A refusal or a failure: its text, kept in the connection's buffer.
    while (have < total) {
        if (have == c.in.size()) c.in.resize(std::min(total, 2 * have));
        have += receive(c.in.data() + have, c.in.size() - have);
    }
    const uint8_t* payload = c.in.data() + RPC::kFrameHeaderSize;
    const size_t payloadSize = total - RPC::kFrameHeaderSize;
    if (payload[0] == RPC::kReplyNotAllowed) {
        std::string why(reinterpret_cast<const char*>(payload + 1), payloadSize - 1);
        slot.reset();
        Throw(CRPCException::NOT_ALLOWED, __LINE__, OS::x_wstring::FromUtf8(why));
    }
    OS::x_wstring why = OS::x_wstring::FromUtf8(
        std::string(reinterpret_cast<const char*>(payload + 1), payloadSize - 1));
    if (c.in.size() > 1024 * 1024) c.in.resize(16 * 1024);  // do not keep a huge buffer
    Throw(CRPCException::HANDLER_FAILED, __LINE__,
          L"component " + m_component.GetIDString() + L": the request failed: " + why);
}
