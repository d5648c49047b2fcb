// CSubjectServerHelper: the publisher's endpoint, its observers' subject sets and queues, and
// the kept last change of every subject. One asio thread accepts, reads the observers'
// requests and writes their queues; Notify only queues. The kept changes are bounded in total
// size (oldest dropped first), and so are the connections (MaxConnections); when accepting fails
// the thread waits (CBackoff) before accepting again.
// Thread rule: the observers' sets, queues and the kept changes are guarded by one mutex, held
// briefly; sockets are touched on the publisher's thread only.
#include "outside/notify/CSubjectServerHelper.h"

#include <unistd.h>

#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "outside/log/DebugLog.h"
#include "outside/notify/NotifyFrame.h"
#include "outside/rpc/AsioInclude.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcAccess.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"
#include "outside/rpc/RpcLimits.h"

static const wchar_t kLogSource[] = L"notify_Publisher";

namespace {

using Socket = asio::local::stream_protocol::socket;
using SharedFrame = std::shared_ptr<const NOTIFY::Frame>;

using SharedBody = std::shared_ptr<const std::vector<uint8_t>>;

// The kept last change of a subject, kept under the subject's name in UTF-8 (a short name lives
// inside its string: one allocation per subject). Changes of many subjects often carry the same
// body (one policy, server and kind for a whole batch): equal bodies in a row share one copy.
struct CKept {
    uint64_t sequence = 0;
    bool flag = false;
    SharedBody body;
};

// What a kept change counts against the limit: its subject's name (as wide characters, one per
// byte of its UTF-8) and its body (counted for each change, shared or not).
size_t KeptSize(const std::string& subject, const CKept& k) {
    return subject.size() * sizeof(wchar_t) + (k.body ? k.body->size() : 0);
}

}  // namespace

struct CSubjectServerHelper::Impl {
    CComponentID component;
    std::string socketPath;
    std::unique_ptr<RPC::CEndpointLock> lock;
    RPC::CLocalAccess access;
    uint64_t startId = 0;

    // One connected observer.
    struct CObserver : std::enable_shared_from_this<CObserver> {
        CObserver(Impl& p, Socket s) : pub(p), socket(std::move(s)), frameTimer(p.context) {}
        Impl& pub;
        Socket socket;
        // Publisher thread only: the bytes received, and the deadline of a frame begun.
        RPC::CFrameReader in{RPC::kNotifyMagic};
        asio::steady_timer frameTimer;
        uint64_t framesDone = 0;
        bool frameTimed = false;
        // Guarded by pub.mutex:
        std::set<OS::x_wstring> subjects;
        OS::x_wstring name;
        std::deque<SharedFrame> queue;
        size_t queued = 0;
        bool writing = false;
        bool dropped = false;
    };

    mutable std::mutex mutex;
    uint64_t sequence = 0;
    uint64_t droppedCount = 0;
    size_t queueLimit = kDefaultQueueLimit;
    std::unordered_map<std::string, CKept> kept;
    // Oldest first: each change kept, by sequence, with its subject's entry in `kept` (an element
    // of an unordered map stays where it is as the map grows; valid until that subject is
    // forgotten, when no entry of it is left here). An entry whose subject has a later change
    // since is stale and skipped; stale entries are dropped from the front, and all at once when
    // they outnumber the rest.
    using KeptAt = std::pair<const std::string, CKept>*;
    std::deque<std::pair<uint64_t, KeptAt>> keptBySequence;
    size_t keptBytes = 0;
    SharedBody lastBody;  // the body kept last, shared by an equal one that follows
    size_t keptLimit = kDefaultKeptLimit;
    std::set<std::shared_ptr<CObserver>> observers;
    size_t maxConnections = RPC::kDefaultMaxConnections;

    asio::io_context context;
    std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
    std::thread thread;
    asio::steady_timer pause{context};  // publisher thread only
    RPC::CBackoff backoff;              // publisher thread only

    void Accept();
    // REQUIRES: mutex held. Keeps `body` as the last change of `name`, dropping the oldest kept
    // changes while the total is above the limit.
    void KeepLocked(const OS::x_wstring& name, uint64_t seq, bool flag, const CIPCMsgBuffer& body);
    void Read(const std::shared_ptr<CObserver>& o);
    void Handle(const std::shared_ptr<CObserver>& o, const uint8_t* payload, size_t size);
    // REQUIRES: mutex held. Queues a frame; drops the observer when its queue is full.
    void QueueLocked(const std::shared_ptr<CObserver>& o, const SharedFrame& f);
    void DropLocked(const std::shared_ptr<CObserver>& o, const wchar_t* why);
    void Write(const std::shared_ptr<CObserver>& o);
    void Close(const std::shared_ptr<CObserver>& o);
};

void CSubjectServerHelper::Impl::Accept() {
    acceptor->async_accept([this](const asio::error_code& ec, Socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
        if (ec) {
            CFG_LOG(DBG::LVL_WARNING, L"publisher %ls: cannot accept a connection: %s",
                    component.GetID(), ec.message().c_str());
            pause.expires_after(backoff.Next());
            pause.async_wait([this](const asio::error_code& e) {
                if (!e) Accept();
            });
            return;
        }
        backoff.Reset();
        auto o = std::make_shared<CObserver>(*this, std::move(socket));
        long uid, pid;
        if (!access.Allows(o->socket.native_handle(), uid, pid)) {
            CFG_LOG(DBG::LVL_WARNING,
                    L"publisher %ls: connection refused: user %ld (process %ld) is neither root, "
                    L"the service's user nor a member of group %s",
                    component.GetID(), uid, pid, access.AdminGroup().c_str());
            asio::error_code ignored;
            o->socket.close(ignored);
            Accept();
            return;
        }
        bool refused;
        {
            std::lock_guard<std::mutex> g(mutex);
            refused = observers.size() >= maxConnections;
            if (!refused) {
                observers.insert(o);
                QueueLocked(o, std::make_shared<NOTIFY::Frame>(NOTIFY::EncodeHello(startId)));
            }
        }
        if (refused) {
            CFG_LOG(DBG::LVL_WARNING,
                    L"publisher %ls: connection refused: %zu connections are open, the limit "
                    L"(MaxConnections)",
                    component.GetID(), maxConnections);
            asio::error_code ignored;
            o->socket.close(ignored);
        } else {
            Read(o);
        }
        Accept();
    });
}

void CSubjectServerHelper::Impl::KeepLocked(const OS::x_wstring& name, uint64_t seq, bool flag,
                                            const CIPCMsgBuffer& body) {
    KeptAt at = &*kept.try_emplace(OS::WideToUtf8(name)).first;
    CKept& k = at->second;
    if (k.sequence != 0) keptBytes -= KeptSize(at->first, k);  // its entry below becomes stale
    k.sequence = seq;
    k.flag = flag;
    const size_t size = body.BytesUsed();
    if (!lastBody || lastBody->size() != size ||
        std::memcmp(lastBody->data(), body.GetBuffer(), size) != 0)
        lastBody =
            std::make_shared<const std::vector<uint8_t>>(body.GetBuffer(), body.GetBuffer() + size);
    k.body = lastBody;
    keptBytes += KeptSize(at->first, k);
    keptBySequence.emplace_back(seq, at);
    const auto stale = [](const std::pair<uint64_t, KeptAt>& e) {
        return e.second->second.sequence != e.first;
    };
    while (keptBytes > keptLimit && !keptBySequence.empty()) {
        const auto [oldest, it] = keptBySequence.front();
        keptBySequence.pop_front();
        if (it->second.sequence != oldest) continue;  // stale
        keptBytes -= KeptSize(it->first, it->second);
        CFG_LOG(DBG::LVL_INFO,
                L"publisher %ls: the kept change of subject %ls forgotten: the kept changes "
                L"exceed %zu bytes",
                component.GetID(), OS::x_wstring::FromUtf8(it->first).c_str(), keptLimit);
        kept.erase(kept.find(it->first));
    }
    while (!keptBySequence.empty() && stale(keptBySequence.front())) keptBySequence.pop_front();
    if (keptBySequence.size() > 2 * kept.size() + 64) std::erase_if(keptBySequence, stale);
}

void CSubjectServerHelper::Impl::Read(const std::shared_ptr<CObserver>& o) {
    uint8_t* space = o->in.Space();  // the header was checked by Next already
    o->socket.async_read_some(
        asio::buffer(space, o->in.SpaceSize()), [this, o](const asio::error_code& ec, size_t n) {
            if (ec) {
                Close(o);
                return;
            }
            o->in.Added(n);
            const uint64_t before = o->framesDone;
            try {
                const uint8_t* p;
                size_t size;
                while (o->in.Next(p, size)) {
                    ++o->framesDone;
                    Handle(o, p, size);
                }
            } catch (const OS::CException& e) {
                std::lock_guard<std::mutex> g(mutex);
                DropLocked(o, e.GetErrorMsg().c_str());
                return;
            }
            if (o->framesDone != before && o->frameTimed) {
                o->frameTimed = false;
                o->frameTimer.cancel();
            }
            if (o->in.InFrame() && !o->frameTimed) {
                // The frame begun must arrive whole before the deadline.
                o->frameTimed = true;
                o->frameTimer.expires_after(RPC::FrameDeadline());
                o->frameTimer.async_wait(
                    [this, o, frame = o->framesDone](const asio::error_code& e) {
                        if (e || o->framesDone != frame) return;
                        OS::x_wstring why;
                        why.Format(L"a frame did not arrive whole within %lld ms",
                                   static_cast<long long>(RPC::FrameDeadline().count()));
                        std::lock_guard<std::mutex> g(mutex);
                        DropLocked(o, why.c_str());
                    });
            }
            Read(o);
        });
}

void CSubjectServerHelper::Impl::Handle(const std::shared_ptr<CObserver>& o, const uint8_t* payload,
                                        size_t size) {
    NOTIFY::CDecoded d = NOTIFY::Decode(payload, size);
    std::lock_guard<std::mutex> g(mutex);
    if (o->dropped) return;
    if (d.kind == NOTIFY::kSubscribe) {
        o->name = d.observer;
        o->subjects = std::set<OS::x_wstring>(d.subjects.begin(), d.subjects.end());
    } else if (d.kind == NOTIFY::kRequire) {
        for (const auto& s : d.subjects) {
            auto it = kept.find(OS::WideToUtf8(s));
            if (it == kept.end()) continue;
            uint8_t flags = NOTIFY::kReplay | (it->second.flag ? NOTIFY::kFlag : 0);
            QueueLocked(o, std::make_shared<NOTIFY::Frame>(NOTIFY::EncodeNotice(
                               startId, it->second.sequence, flags, s, it->second.body->data(),
                               it->second.body->size())));
        }
    } else {
        throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__,
                            L"an observer sent a frame only a publisher sends");
    }
    QueueLocked(o, std::make_shared<NOTIFY::Frame>(NOTIFY::EncodeAck(d.token)));
}

void CSubjectServerHelper::Impl::QueueLocked(const std::shared_ptr<CObserver>& o,
                                             const SharedFrame& f) {
    if (o->dropped) return;
    if (o->queued + f->size() > queueLimit && !o->queue.empty()) {
        DropLocked(o, L"its queue is full");
        return;
    }
    o->queue.push_back(f);
    o->queued += f->size();
    if (!o->writing) {
        o->writing = true;
        asio::post(context, [this, o] { Write(o); });
    }
}

void CSubjectServerHelper::Impl::DropLocked(const std::shared_ptr<CObserver>& o,
                                            const wchar_t* why) {
    if (o->dropped) return;
    o->dropped = true;
    o->queue.clear();
    o->queued = 0;
    ++droppedCount;
    CFG_LOG(DBG::LVL_WARNING, L"publisher %ls: observer %ls dropped: %ls", component.GetID(),
            o->name.c_str(), why);
    asio::post(context, [this, o] { Close(o); });
}

void CSubjectServerHelper::Impl::Write(const std::shared_ptr<CObserver>& o) {
    SharedFrame f;
    {
        std::lock_guard<std::mutex> g(mutex);
        if (o->dropped || o->queue.empty()) {
            o->writing = false;
            return;
        }
        f = o->queue.front();
    }
    asio::async_write(o->socket, asio::buffer(*f),
                      [this, o, f](const asio::error_code& ec, size_t) {
                          {
                              std::lock_guard<std::mutex> g(mutex);
                              if (!o->dropped && !o->queue.empty() && o->queue.front() == f) {
                                  o->queue.pop_front();
                                  o->queued -= f->size();
                              }
                          }
                          if (ec) {
                              Close(o);
                              return;
                          }
                          Write(o);
                      });
}

void CSubjectServerHelper::Impl::Close(const std::shared_ptr<CObserver>& o) {
    asio::error_code ignored;
    o->socket.close(ignored);
    std::lock_guard<std::mutex> g(mutex);
    o->dropped = true;
    o->queue.clear();
    observers.erase(o);
}

CSubjectServerHelper::CSubjectServerHelper(const CComponentID& component)
    : m_impl(std::make_unique<Impl>()) {
    Impl& s = *m_impl;
    s.component = component;
    std::random_device rd;
    while (s.startId == 0) s.startId = (uint64_t(rd()) << 32) ^ rd();
    s.maxConnections = RPC::MaxConnections();
    s.socketPath = RPC::LocalSocketPath(component, ".notify");
    s.lock = std::make_unique<RPC::CEndpointLock>(
        s.socketPath, L"the publisher of component " + component.GetIDString());
    ::unlink(s.socketPath.c_str());
    try {
        asio::local::stream_protocol::endpoint ep(s.socketPath);
        s.acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(s.context);
        s.acceptor->open(ep.protocol());
        s.acceptor->bind(ep);
        s.access.SecureSocket(s.socketPath);
        s.acceptor->listen(asio::socket_base::max_listen_connections);
    } catch (const asio::system_error& e) {
        throw CRPCException(CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
                            L"the publisher of component " + component.GetIDString() +
                                L" cannot listen at " +
                                OS::x_wstring::FromUtf8(s.socketPath + ": " + e.what()));
    }
    s.Accept();
    s.thread = std::thread([&s] { s.context.run(); });
}

CSubjectServerHelper::~CSubjectServerHelper() {
    Impl& s = *m_impl;
    s.context.stop();
    s.thread.join();
    s.acceptor.reset();
    {
        std::lock_guard<std::mutex> g(s.mutex);
        s.observers.clear();
    }
    ::unlink(s.socketPath.c_str());
    m_impl.reset();
}

void CSubjectServerHelper::Notify(const CSubjectID& subject, const CIPCMsgBuffer& body, bool flag) {
    Impl& s = *m_impl;
    const OS::x_wstring& name = subject.Str();
    std::lock_guard<std::mutex> g(s.mutex);
    const uint64_t seq = s.sequence + 1;
    // The frame is made only when an observer takes the subject; it throws before anything
    // changes.
    SharedFrame frame;
    for (const auto& o : s.observers)
        if (o->subjects.count(name)) {
            frame = std::make_shared<NOTIFY::Frame>(
                NOTIFY::EncodeNotice(s.startId, seq, flag ? NOTIFY::kFlag : 0, name,
                                     body.GetBuffer(), body.BytesUsed()));
            break;
        }
    s.sequence = seq;
    s.KeepLocked(name, seq, flag, body);
    if (!frame) return;
    for (auto it = s.observers.begin(); it != s.observers.end();) {
        auto o = *it++;  // DropLocked may not erase; Close (later) does
        if (o->subjects.count(name)) s.QueueLocked(o, frame);
    }
}

uint64_t CSubjectServerHelper::GetStartId() const {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return m_impl->startId;
}

void CSubjectServerHelper::Restart() {
    Impl& s = *m_impl;
    std::random_device rd;
    std::lock_guard<std::mutex> g(s.mutex);
    uint64_t id = 0;
    while (id == 0 || id == s.startId) id = (uint64_t(rd()) << 32) ^ rd();
    s.startId = id;
    s.sequence = 0;
    s.kept.clear();
    s.keptBySequence.clear();
    s.keptBytes = 0;
    s.lastBody.reset();
    // Every observer reconnects and meets the new run; not counted as dropped for being slow.
    for (const auto& o : s.observers) {
        if (o->dropped) continue;
        o->dropped = true;
        o->queue.clear();
        o->queued = 0;
        asio::post(s.context, [&s, o] { s.Close(o); });
    }
    CFG_LOG(DBG::LVL_INFO, L"publisher %ls: new run, every observer reconnects",
            s.component.GetID());
}

uint64_t CSubjectServerHelper::GetLastSequence() const {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return m_impl->sequence;
}

size_t CSubjectServerHelper::GetObserverCount() const {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    size_t n = 0;
    for (const auto& o : m_impl->observers) n += o->dropped ? 0 : 1;
    return n;
}

uint64_t CSubjectServerHelper::GetDroppedObserverCount() const {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return m_impl->droppedCount;
}

size_t CSubjectServerHelper::GetKeptBytes() const {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return m_impl->keptBytes;
}

void CSubjectServerHelper::SetKeptLimit(size_t bytes) {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    m_impl->keptLimit = bytes;
}

void CSubjectServerHelper::SetQueueLimit(size_t bytes) {
    std::lock_guard<std::mutex> g(m_impl->mutex);
    m_impl->queueLimit = bytes;
}
