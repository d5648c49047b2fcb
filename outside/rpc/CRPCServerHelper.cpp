// CRPCServerHelper: accepts connections on a Unix domain socket or a TCP port (asio, on one
// thread) and serves the request frames of RpcFrame.cpp on each connection with a thread of its
// own doing blocking reads and writes. It serves at most MaxConnections() connections at once and
// closes what comes beyond; when accepting or starting a thread fails (no descriptor, no thread)
// it logs, waits (CBackoff) and accepts again. A frame must arrive whole within FrameDeadline().
// A local endpoint serves only the users CLocalAccess allows.
// A TCP endpoint speaks only mutual TLS (RpcTls.h): each connection's thread runs the handshake
// within HandshakeTimeout() first and closes, with a log line, a peer it refuses. Without TLS
// settings a TCP endpoint does not listen at all.
// Thread rule: the handler table is guarded by its own mutex, and a handler's running count lets
// UnRegisterHandler wait for its calls; the connection list by the connection mutex.
#include "outside/rpc/CRPCServerHelper.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "outside/log/DebugLog.h"
#include "outside/rpc/AsioInclude.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcAccess.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"
#include "outside/rpc/RpcLimits.h"
#include "outside/rpc/RpcTls.h"

static const wchar_t kLogSource[] = L"rpc_Server";

namespace {

using GenericSocket = asio::generic::stream_protocol::socket;
using GenericAcceptor = asio::basic_socket_acceptor<asio::generic::stream_protocol>;

struct HandlerEntry {
    CIPCServerRequestCallback* handler = nullptr;
    int running = 0;  // calls in progress, guarded by the table mutex
};

// The handler whose call this thread is running, so that UnRegisterHandler from inside it does
// not wait for itself.
thread_local const HandlerEntry* t_inCall = nullptr;

// The reply that refuses a client and says why; the client's helper throws it as NOT_ALLOWED.
std::vector<uint8_t> NotAllowedFrame(const std::string& why) {
    std::vector<uint8_t> frame(RPC::kFrameHeaderSize + 1 + why.size());
    frame[RPC::kFrameHeaderSize] = RPC::kReplyNotAllowed;
    std::memcpy(frame.data() + RPC::kFrameHeaderSize + 1, why.data(), why.size());
    RPC::PutFrameHeader(frame.data(), RPC::kReplyMagic, frame.size() - RPC::kFrameHeaderSize);
    return frame;
}

}  // namespace

struct CRPCServerHelper::Impl {
    CComponentID component;
    CRPCServerParameter::Kind kind;
    std::string socketPath;  // local endpoints only
    unsigned short port = 0;
    std::string address;                    // TCP endpoints only
    std::unique_ptr<RPC::CTlsContext> tls;  // TCP endpoints only
    std::unique_ptr<RPC::CEndpointLock> lock;
    std::optional<RPC::CLocalAccess> access;  // local endpoints only

    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<HandlerEntry>> handlers;
    std::unordered_map<int, std::shared_ptr<HandlerEntry>> byId;

    asio::io_context context;  // accepts, on acceptThread
    std::unique_ptr<GenericAcceptor> acceptor;
    std::thread acceptThread;
    asio::steady_timer pause{context};  // acceptThread only
    RPC::CBackoff backoff;              // acceptThread only
    size_t maxConnections = RPC::kDefaultMaxConnections;

    // The connections and their threads, guarded by connMutex.
    struct CConnection {
        int fd = -1;
        std::thread thread;
        bool done = false;
    };
    std::mutex connMutex;
    std::list<CConnection> connections;
    bool stopping = false;

    Impl(const CComponentID& c, CRPCServerParameter::Kind k) : component(c), kind(k) {}

    void Accept();
    // Accepts again after a back-off wait.
    void AcceptLater();
    // False when the connection could not be started for want of resources.
    bool Start(int fd);
    // False (and the connection told why and closed) when its user is not served.
    bool Admit(int fd);
    void ServeConnection(CConnection& c);
    void Serve(const uint8_t* payload, size_t size, std::vector<uint8_t>& out);
};

void CRPCServerHelper::Impl::Accept() {
    acceptor->async_accept([this](const asio::error_code& ec, GenericSocket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
        if (ec) {
            // Out of descriptors or buffers (EMFILE, ENFILE, ENOBUFS, ENOMEM): accepting again at
            // once would only fail again.
            CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: cannot accept a connection: %s",
                    component.GetID(), ec.message().c_str());
            AcceptLater();
            return;
        }
        if (kind == CRPCServerParameter::Kind::kNetwork) {
            asio::error_code ignored;
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        }
        const int fd = socket.release();
        if (Admit(fd) && !Start(fd)) {
            AcceptLater();
            return;
        }
        backoff.Reset();
        Accept();
    });
}

void CRPCServerHelper::Impl::AcceptLater() {
    pause.expires_after(backoff.Next());
    pause.async_wait([this](const asio::error_code& ec) {
        if (!ec) Accept();
    });
}

bool CRPCServerHelper::Impl::Admit(int fd) {
    long uid, pid;
    if (!access || access->Allows(fd, uid, pid)) return true;
    CFG_LOG(DBG::LVL_WARNING,
            L"RPC server %ls: connection refused: user %ld (process %ld) is neither root, the "
            L"service's user nor a member of group %s",
            component.GetID(), uid, pid, access->AdminGroup().c_str());
    const std::string why = "user " + std::to_string(uid) +
                            " is not allowed to use the configuration service: ask to be added "
                            "to group " +
                            access->AdminGroup();
    const std::vector<uint8_t> frame = NotAllowedFrame(why);
    ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    return false;
}

bool CRPCServerHelper::Impl::Start(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{};
    tv.tv_sec = kIdleSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::lock_guard<std::mutex> g(connMutex);
    // Reap the threads of connections that ended.
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->done) {
            it->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
    if (stopping) {
        ::close(fd);
        return true;
    }
    if (connections.size() >= maxConnections) {
        CFG_LOG(DBG::LVL_WARNING,
                L"RPC server %ls: connection refused: %zu connections are open, the limit "
                L"(MaxConnections)",
                component.GetID(), connections.size());
        ::close(fd);
        return true;
    }
    CConnection& c = connections.emplace_back();
    c.fd = fd;
    try {
        c.thread = std::thread([this, &c] { ServeConnection(c); });
    } catch (const std::system_error& e) {
        CFG_LOG(DBG::LVL_WARNING,
                L"RPC server %ls: connection closed: cannot start a thread for it: %s",
                component.GetID(), e.what());
        connections.pop_back();
        ::close(fd);
        return false;
    }
    return true;
}

void CRPCServerHelper::Impl::ServeConnection(CConnection& c) {
    RPC::CFrameReader in(RPC::kRequestMagic);
    std::vector<uint8_t> out;
    const auto idle = std::chrono::milliseconds(kIdleSeconds * 1000);
    auto limit = idle;  // the receive time limit set on the socket
    auto setLimit = [&](std::chrono::milliseconds ms) {
        if (ms == limit) return;
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>(ms.count() % 1000 * 1000);
        ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        limit = ms;
    };
    std::optional<RPC::CTlsChannel> channel;
    auto receive = [&](void* data, size_t size) {
        return channel ? channel->Recv(data, size) : ::recv(c.fd, data, size, 0);
    };
    auto sendAll = [&](const std::vector<uint8_t>& bytes) {
        if (!channel) return RPC::WriteAll(c.fd, bytes.data(), bytes.size(), idle);
        for (size_t sent = 0; sent < bytes.size();) {
            ssize_t n = channel->Send(bytes.data() + sent, bytes.size() - sent);
            if (n <= 0) return false;  // the send time limit passed, or the peer went away
            sent += static_cast<size_t>(n);
        }
        return true;
    };
    if (tls) {
        const std::string peer = RPC::PeerAddress(c.fd);  // before a refused peer resets it
        channel.emplace(*tls, c.fd);
        try {
            channel->Handshake(RPC::HandshakeTimeout());
        } catch (const CRPCException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: connection from %s refused: %ls",
                    component.GetID(), peer.c_str(), e.GetErrorMsg().c_str());
            if (channel->NameRefused()) {
                // A peer whose certificate the CA signed is told why, as the answer to its first
                // request; what it sends meanwhile is read and dropped (at most 64 KiB, for at
                // most a second), so that closing does not reset the connection before the
                // answer is read.
                sendAll(NotAllowedFrame("this server does not admit the certificate name " +
                                        channel->PeerName() + " (its allowed names)"));
                timeval second{1, 0};
                ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                char sink[4096];
                for (size_t dropped = 0;
                     dropped < 64 * 1024 && std::chrono::steady_clock::now() < until;) {
                    const ssize_t n = channel->Recv(sink, sizeof sink);
                    if (n <= 0) break;
                    dropped += static_cast<size_t>(n);
                }
            }
            goto end;
        }
    }
    try {
        for (;;) {
            // One request frame: usually a single recv. Once its first bytes came, the rest must
            // follow before the frame deadline.
            const uint8_t* payload;
            size_t size;
            std::optional<std::chrono::steady_clock::time_point> deadline;
            while (!in.Next(payload, size)) {
                uint8_t* space = in.Space();
                if (in.InFrame()) {
                    auto now = std::chrono::steady_clock::now();
                    if (!deadline) deadline = now + RPC::FrameDeadline();
                    auto left =
                        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now);
                    if (left.count() <= 0) {
                        CFG_LOG(DBG::LVL_WARNING,
                                L"RPC server %ls: connection dropped: a frame did not arrive "
                                L"whole within %lld ms",
                                component.GetID(),
                                static_cast<long long>(RPC::FrameDeadline().count()));
                        goto end;
                    }
                    setLimit(std::min(left, idle));
                } else {
                    setLimit(idle);
                }
                ssize_t n = receive(space, in.SpaceSize());
                if (n > 0) {
                    in.Added(static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                // Mid-frame, the deadline check above decides.
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && in.InFrame()) continue;
                goto end;  // closed, idle too long, or shut down
            }
            Serve(payload, size, out);
            try {
                if (!sendAll(out)) goto end;
            } catch (const CRPCException&) {
                goto end;  // the client went away
            }
            if (out.capacity() > 1024 * 1024) std::vector<uint8_t>().swap(out);
        }
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: connection dropped: %ls", component.GetID(),
                e.GetErrorMsg().c_str());
    }
end:
    channel.reset();  // its close notice goes out before the descriptor closes
    std::lock_guard<std::mutex> g(connMutex);
    ::close(c.fd);
    c.fd = -1;
    c.done = true;
}

void CRPCServerHelper::Impl::Serve(const uint8_t* payload, size_t size, std::vector<uint8_t>& out) {
    out.assign(RPC::kFrameHeaderSize, 0);
    out.push_back(RPC::kReplyOk);
    std::shared_ptr<HandlerEntry> entry;
    int msgID = 0;
    if (size >= 4) {
        msgID = static_cast<int>(RPC::CByteReader(payload, 4).U32());
        std::lock_guard<std::mutex> g(mutex);
        auto it = byId.find(msgID);
        if (it != byId.end()) {
            entry = it->second;
            ++entry->running;
        }
    }
    if (entry) {
        const HandlerEntry* outer = t_inCall;
        t_inCall = entry.get();
        // A failure's text is kept apart from the frame: the log line takes exactly that text
        // (the frame holds no terminating zero and may hold bytes of an earlier reply).
        std::optional<std::string> failure;
        try {
            CIPCMsgBuffer request = CIPCMsgBuffer::FromBytes(payload + 4, size - 4);
            CIPCMsgBuffer reply(1024, false);
            (*entry->handler)(msgID, request, reply);
            if (reply.BytesUsed() > RPC::MaxFrameSize() - 1) {
                OS::x_wstring msg;
                msg.Format(L"the reply of %lu bytes is above the frame limit", reply.BytesUsed());
                throw CRPCException(CRPCException::FRAME_TOO_LARGE, OS_WFILE, __LINE__, msg);
            }
            out.insert(out.end(), reply.GetBuffer(), reply.GetBuffer() + reply.BytesUsed());
        } catch (const OS::CException& e) {
            failure = e.GetErrorMsgEx().ToUtf8();
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown exception";
        }
        t_inCall = outer;
        if (failure) {
            out.resize(RPC::kFrameHeaderSize);
            out.push_back(RPC::kReplyHandlerFailed);
            out.insert(out.end(), failure->begin(), failure->end());
            CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: the handler of message %d threw: %s",
                    component.GetID(), msgID, failure->c_str());
        }
        std::lock_guard<std::mutex> g(mutex);
        if (--entry->running == 0) idle.notify_all();
    }
    RPC::PutFrameHeader(out.data(), RPC::kReplyMagic, out.size() - RPC::kFrameHeaderSize);
}

CRPCServerHelper::CRPCServerHelper(const CComponentID& component,
                                   const CRPCServerParameter& parameter)
    : m_impl(std::make_unique<Impl>(component, parameter.GetKind())) {
    Impl& s = *m_impl;
    s.maxConnections = RPC::MaxConnections();
    try {
        if (s.kind == CRPCServerParameter::Kind::kLocal) {
            s.access.emplace();
            s.socketPath = RPC::LocalSocketPath(component, ".rpc");
            s.lock = std::make_unique<RPC::CEndpointLock>(s.socketPath,
                                                          L"component " + component.GetIDString());
            ::unlink(s.socketPath.c_str());  // a stale file of a dead server
            asio::generic::stream_protocol::endpoint ep{
                asio::local::stream_protocol::endpoint(s.socketPath)};
            s.acceptor = std::make_unique<GenericAcceptor>(s.context);
            s.acceptor->open(ep.protocol());
            s.acceptor->bind(ep);
            s.access->SecureSocket(s.socketPath);
            s.acceptor->listen(asio::socket_base::max_listen_connections);
        } else {
            const RPC::CTlsSettings settings = RPC::TlsSettings(true);
            s.port = RPC::NetworkPort(component, settings);
            if (!settings.Configured()) {
                CFG_LOG(DBG::LVL_WARNING,
                        L"RPC server %ls: not listening on TCP port %u: a remote endpoint is "
                        L"served only over TLS, and no certificate, key and CA file are "
                        L"configured",
                        component.GetID(), static_cast<unsigned>(s.port));
                return;
            }
            s.tls = std::make_unique<RPC::CTlsContext>(settings, true);
            asio::ip::address address = asio::ip::address_v4::any();
            if (!settings.listenAddress.empty()) {
                asio::error_code bad;
                address = asio::ip::make_address(settings.listenAddress, bad);
                if (bad)
                    throw CRPCException(
                        CRPCException::BAD_PARAMETER, OS_WFILE, __LINE__,
                        OS::x_wstring::FromUtf8("listen address " + settings.listenAddress +
                                                " is not an IP address"));
            }
            s.address = address.to_string();
            asio::generic::stream_protocol::endpoint ep{asio::ip::tcp::endpoint(address, s.port)};
            s.acceptor = std::make_unique<GenericAcceptor>(s.context);
            s.acceptor->open(ep.protocol());
            s.acceptor->set_option(asio::socket_base::reuse_address(true));
            asio::error_code ec;
            s.acceptor->bind(ep, ec);
            if (ec == asio::error::address_in_use)
                throw CRPCException(CRPCException::ENDPOINT_IN_USE, OS_WFILE, __LINE__,
                                    L"component " + component.GetIDString() + L": TCP port " +
                                        std::to_wstring(s.port) + L" is already in use");
            if (ec) throw asio::system_error(ec);
            s.acceptor->listen(asio::socket_base::max_listen_connections);
        }
    } catch (const asio::system_error& e) {
        throw CRPCException(CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
                            L"component " + component.GetIDString() +
                                L": cannot create the endpoint " +
                                OS::x_wstring::FromUtf8(GetEndpoint() + ": " + e.what()));
    }
    s.Accept();
    s.acceptThread = std::thread([&s] { s.context.run(); });
    CFG_LOG(DBG::LVL_INFO, L"RPC server %ls listening at %s", component.GetID(),
            GetEndpoint().c_str());
}

CRPCServerHelper::~CRPCServerHelper() {
    Impl& s = *m_impl;
    // No more connections; then every connection's socket is shut down, which ends its thread
    // after the call it may be running.
    s.context.stop();
    if (s.acceptThread.joinable()) s.acceptThread.join();  // a TCP endpoint without TLS has none
    s.acceptor.reset();
    {
        std::lock_guard<std::mutex> g(s.connMutex);
        s.stopping = true;
        for (auto& c : s.connections)
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
    }
    for (auto& c : s.connections) c.thread.join();
    if (!s.socketPath.empty()) ::unlink(s.socketPath.c_str());
    m_impl.reset();  // the context and the sessions, then the lock
}

void CRPCServerHelper::RegisterHandler(CIPCServerRequestCallback& handler) {
    int* ids = nullptr;
    int count = 0;
    std::vector<int> served;
    if (handler.GetMsgID(&ids, &count) && ids) served.assign(ids, ids + std::max(count, 0));
    if (ids) handler.FreeMsgID(ids);

    Impl& s = *m_impl;
    std::lock_guard<std::mutex> g(s.mutex);
    std::shared_ptr<HandlerEntry> entry;
    for (auto& e : s.handlers)
        if (e->handler == &handler) entry = e;
    if (!entry) {
        entry = std::make_shared<HandlerEntry>();
        entry->handler = &handler;
        s.handlers.push_back(entry);
    }
    for (auto it = s.byId.begin(); it != s.byId.end();)
        it = it->second == entry ? s.byId.erase(it) : std::next(it);
    for (int id : served) s.byId.emplace(id, entry);  // an id keeps its first handler
}

void CRPCServerHelper::UnRegisterHandler(CIPCServerRequestCallback& handler) {
    Impl& s = *m_impl;
    std::unique_lock<std::mutex> g(s.mutex);
    std::shared_ptr<HandlerEntry> entry;
    for (auto it = s.handlers.begin(); it != s.handlers.end(); ++it) {
        if ((*it)->handler == &handler) {
            entry = *it;
            s.handlers.erase(it);
            break;
        }
    }
    if (!entry) return;
    for (auto it = s.byId.begin(); it != s.byId.end();)
        it = it->second == entry ? s.byId.erase(it) : std::next(it);
    const int own = t_inCall == entry.get() ? 1 : 0;
    s.idle.wait(g, [&] { return entry->running <= own; });
}

std::string CRPCServerHelper::GetEndpoint() const {
    if (m_impl->kind == CRPCServerParameter::Kind::kLocal) return "unix:" + m_impl->socketPath;
    if (!m_impl->tls) return "";
    return "tls:" + m_impl->address + ":" + std::to_string(m_impl->port);
}
