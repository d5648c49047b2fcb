// CRPCServerHelper: accepts connections on a Unix domain socket or a TCP port and serves the
// request frames of RpcFrame.cpp with the registered handlers, on a pool of asio threads.
// Thread rule: one connection is served by one thread at a time; the handler table is guarded
// by its own mutex, and a handler's running count lets UnRegisterHandler wait for its calls.
#include "outside/rpc/CRPCServerHelper.h"

#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "outside/log/DebugLog.h"
#include "outside/rpc/AsioInclude.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"

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

}  // namespace

struct CRPCServerHelper::Impl {
    CComponentID component;
    CRPCServerParameter::Kind kind;
    std::string socketPath;  // local endpoints only
    unsigned short port = 0;
    std::unique_ptr<RPC::CEndpointLock> lock;

    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<HandlerEntry>> handlers;
    std::unordered_map<int, std::shared_ptr<HandlerEntry>> byId;

    asio::io_context context;
    std::unique_ptr<GenericAcceptor> acceptor;
    std::vector<std::thread> threads;

    Impl(const CComponentID& c, CRPCServerParameter::Kind k) : component(c), kind(k) {}

    void Accept();
    void Serve(const uint8_t* payload, size_t size, std::vector<uint8_t>& out);
};

namespace {

// One accepted connection: reads request frames, serves each, writes the reply.
class CSession : public std::enable_shared_from_this<CSession> {
  public:
    CSession(CRPCServerHelper::Impl& server, GenericSocket socket)
        : m_server(server), m_socket(std::move(socket)) {
        m_in.resize(16 * 1024);
    }

    void Start() { Read(); }

  private:
    void Read() {
        auto self = shared_from_this();
        m_socket.async_read_some(asio::buffer(m_in.data() + m_have, m_in.size() - m_have),
                                 [self](const asio::error_code& ec, size_t n) {
                                     if (ec) return;  // closed or failed: the session ends
                                     self->m_have += n;
                                     self->Process();
                                 });
    }

    // Serves the complete frame at the front of m_in, if any; otherwise reads on.
    void Process() {
        size_t need = 0;
        if (m_have >= RPC::kFrameHeaderSize) {
            try {
                need =
                    RPC::kFrameHeaderSize + RPC::ParseFrameHeader(m_in.data(), RPC::kRequestMagic);
            } catch (const OS::CException& e) {
                CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: connection dropped: %ls",
                        m_server.component.GetID(), e.GetErrorMsg().c_str());
                return;  // the session ends; the client sees the connection close
            }
            if (m_in.size() < need) m_in.resize(need);
        }
        if (need == 0 || m_have < need) {
            Read();
            return;
        }
        m_server.Serve(m_in.data() + RPC::kFrameHeaderSize, need - RPC::kFrameHeaderSize, m_out);
        m_have -= need;
        if (m_have > 0) std::memmove(m_in.data(), m_in.data() + need, m_have);
        if (m_in.size() > 1024 * 1024) m_in.resize(std::max<size_t>(m_have, 16 * 1024));
        auto self = shared_from_this();
        asio::async_write(m_socket, asio::buffer(m_out),
                          [self](const asio::error_code& ec, size_t) {
                              if (ec) return;
                              self->Process();
                          });
    }

    CRPCServerHelper::Impl& m_server;
    GenericSocket m_socket;
    std::vector<uint8_t> m_in;
    size_t m_have = 0;
    std::vector<uint8_t> m_out;
};

}  // namespace

void CRPCServerHelper::Impl::Accept() {
    acceptor->async_accept([this](const asio::error_code& ec, GenericSocket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
        if (!ec) {
            if (kind == CRPCServerParameter::Kind::kNetwork) {
                asio::error_code ignored;
                socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            }
            std::make_shared<CSession>(*this, std::move(socket))->Start();
        }
        Accept();
    });
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
            out.resize(RPC::kFrameHeaderSize);
            out.push_back(RPC::kReplyHandlerFailed);
            std::string text = e.GetErrorMsgEx().ToUtf8();
            out.insert(out.end(), text.begin(), text.end());
        } catch (const std::exception& e) {
            out.resize(RPC::kFrameHeaderSize);
            out.push_back(RPC::kReplyHandlerFailed);
            std::string text = e.what();
            out.insert(out.end(), text.begin(), text.end());
        } catch (...) {
            out.resize(RPC::kFrameHeaderSize);
            out.push_back(RPC::kReplyHandlerFailed);
            std::string text = "unknown exception";
            out.insert(out.end(), text.begin(), text.end());
        }
        t_inCall = outer;
        if (out[RPC::kFrameHeaderSize] == RPC::kReplyHandlerFailed)
            CFG_LOG(DBG::LVL_WARNING, L"RPC server %ls: the handler of message %d threw: %s",
                    component.GetID(), msgID,
                    reinterpret_cast<const char*>(out.data() + RPC::kFrameHeaderSize + 1));
        std::lock_guard<std::mutex> g(mutex);
        if (--entry->running == 0) idle.notify_all();
    }
    RPC::PutFrameHeader(out.data(), RPC::kReplyMagic, out.size() - RPC::kFrameHeaderSize);
}

CRPCServerHelper::CRPCServerHelper(const CComponentID& component,
                                   const CRPCServerParameter& parameter)
    : m_impl(std::make_unique<Impl>(component, parameter.GetKind())) {
    Impl& s = *m_impl;
    try {
        if (s.kind == CRPCServerParameter::Kind::kLocal) {
            s.socketPath = RPC::LocalSocketPath(component, ".rpc");
            s.lock = std::make_unique<RPC::CEndpointLock>(s.socketPath,
                                                          L"component " + component.GetIDString());
            ::unlink(s.socketPath.c_str());  // a stale file of a dead server
            asio::generic::stream_protocol::endpoint ep{
                asio::local::stream_protocol::endpoint(s.socketPath)};
            s.acceptor = std::make_unique<GenericAcceptor>(s.context);
            s.acceptor->open(ep.protocol());
            s.acceptor->bind(ep);
            s.acceptor->listen(asio::socket_base::max_listen_connections);
        } else {
            s.port = RPC::TcpPort(component);
            asio::generic::stream_protocol::endpoint ep{
                asio::ip::tcp::endpoint(asio::ip::address_v4::any(), s.port)};
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
    for (int i = 0; i < kServerThreads; ++i) s.threads.emplace_back([&s] { s.context.run(); });
    CFG_LOG(DBG::LVL_INFO, L"RPC server %ls listening at %s", component.GetID(),
            GetEndpoint().c_str());
}

CRPCServerHelper::~CRPCServerHelper() {
    Impl& s = *m_impl;
    // Stopping the context ends every thread after its current call; destroying it then
    // destroys the sessions, which closes their sockets.
    s.context.stop();
    for (auto& t : s.threads) t.join();
    s.acceptor.reset();
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
    return "tcp:" + std::to_string(m_impl->port);
}
