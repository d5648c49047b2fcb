// CObserverServerHelper: one connection per (publisher, observer), read on the helper's asio
// thread, which delivers notices and acknowledgements in the order the publisher sent them.
// Callers connect and write themselves (under the subscription's connection mutex); only the
// helper's thread closes a connection, reads, retries and delivers.
// Thread rule: subscriptions' flags are guarded by the helper mutex; a subscription's
// connection and writes by its own connection mutex, never taken while an observer's
// GetSubjectIDVector runs. The helper mutex is never held across I/O, so what it guards
// (AnnouncingConnection) answers at once even while a connection is being made.
#include "outside/notify/CObserverServerHelper.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "outside/log/DebugLog.h"
#include "outside/notify/NotifyFrame.h"
#include "outside/rpc/AsioInclude.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"

static const wchar_t kLogSource[] = L"notify_Observer";

namespace {

using Socket = asio::local::stream_protocol::socket;
constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLastRetry{2000};
constexpr size_t kKeptUnacknowledged = 16;  // subject lists awaiting acknowledgement, per link

thread_local const CNoticeInfo* t_current = nullptr;

// One connection to a publisher.
struct CLink {
    explicit CLink(asio::io_context& c) : socket(c) {}
    Socket socket;
    int fd = -1;
    uint64_t id = 0;                          // unique among the helper's links
    RPC::CFrameReader in{RPC::kNotifyMagic};  // helper thread only
};

struct CSubscription {
    CSubscription(asio::io_context& c, const CComponentID& p, CObserverNoticeCallback* o)
        : publisher(p), observer(o), retry(c) {}
    const CComponentID publisher;
    CObserverNoticeCallback* const observer;

    std::mutex conn;              // connecting, writing, closing
    std::shared_ptr<CLink> link;  // guarded by conn
    uint32_t nextToken = 0;       // guarded by conn

    asio::steady_timer retry;  // helper thread only
    bool retryPending = false;
    std::chrono::milliseconds delay = kFirstRetry;

    // Guarded by the helper mutex.
    bool active = true;
    uint64_t generation = 0;  // changes on every connect and loss
    uint32_t acked = 0;
    uint64_t startId = 0;
    uint64_t lastSequence = 0;
    bool everConnected = false;
    bool missedFirst = false;
    // The id of the link while it is up (0 while there is none); the subjects the publisher
    // has acknowledged on it, and the subject lists sent on it and not yet acknowledged, by
    // token.
    uint64_t upLink = 0;
    std::set<OS::x_wstring> announced;
    std::vector<std::pair<uint32_t, std::vector<OS::x_wstring>>> unacknowledged;

    // REQUIRES: the helper mutex held. The link is gone (0) or replaced by the link `id`.
    void NewLink(uint64_t id) {
        upLink = id;
        announced.clear();
        unacknowledged.clear();
    }
};

using SubPtr = std::shared_ptr<CSubscription>;

std::vector<OS::x_wstring> Strings(const std::vector<CSubjectID>& subjects) {
    std::vector<OS::x_wstring> out;
    out.reserve(subjects.size());
    for (const auto& s : subjects) out.push_back(s.ToString());
    return out;
}

}  // namespace

struct CObserverServerHelper::Impl {
    asio::io_context context;
    CComponentID self;
    std::atomic<std::chrono::milliseconds> timeout{std::chrono::milliseconds(10000)};

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<std::pair<OS::x_wstring, CObserverNoticeCallback*>, SubPtr> subs;
    const CSubscription* delivering = nullptr;
    uint64_t lastLinkId = 0;

    std::thread thread;
    std::thread::id threadId;

    bool OnOwnThread() const { return std::this_thread::get_id() == threadId; }
    SubPtr Find(const CComponentID& p, const CObserverNoticeCallback* o) const {
        std::lock_guard<std::mutex> g(mutex);
        auto it = subs.find({p.GetIDString(), const_cast<CObserverNoticeCallback*>(o)});
        return it == subs.end() ? nullptr : it->second;
    }

    // REQUIRES: sub->conn held and no link. Connects and reads the publisher's hello; queues
    // the restart hook (when due) and the reading on the helper's thread.
    bool Connect(const SubPtr& sub, std::wstring& why);
    // REQUIRES: sub->conn held and a link. Writes a frame on the link; false when it failed.
    bool Send(const SubPtr& sub, const NOTIFY::Frame& frame);
    // REQUIRES: sub->conn held. Drops the link (its socket is closed on the helper's thread).
    void Detach(const SubPtr& sub);
    // REQUIRES: sub->conn held. Sends the frame `make(token)` on a live link, connecting (again)
    // first when there is none or it is found broken; gives the token, or 0 (and why) when no
    // link could be made.
    // When a new link is made and `resubscribe` is given, that subject list is sent first.
    uint32_t SendOnLink(const SubPtr& sub, const std::function<NOTIFY::Frame(uint32_t)>& make,
                        std::wstring& why, const std::vector<OS::x_wstring>* resubscribe = nullptr);
    // The subscribe frame of `subjects` with `token`, noted as sent on sub's current link.
    NOTIFY::Frame SubscribeFrame(const SubPtr& sub, uint32_t token,
                                 const std::vector<OS::x_wstring>& subjects);
    // The publisher acknowledged `token` on `link`: the last subject list sent up to it is
    // what it delivers on.
    void Acknowledged(const SubPtr& sub, const CLink& link, uint32_t token);
    void Read(const SubPtr& sub, const std::shared_ptr<CLink>& link);
    void Lost(const SubPtr& sub, const std::shared_ptr<CLink>& link);
    void ScheduleRetry(const SubPtr& sub);
    void Retry(const SubPtr& sub);
    void WaitAck(const SubPtr& sub, uint32_t token, uint64_t generation);
    uint64_t Generation(const SubPtr& sub) const {
        std::lock_guard<std::mutex> g(mutex);
        return sub->generation;
    }
    // Runs `call` as a delivery to sub's observer unless it was unsubscribed.
    template <class F>
    void Deliver(const SubPtr& sub, F&& call);
};

template <class F>
void CObserverServerHelper::Impl::Deliver(const SubPtr& sub, F&& call) {
    {
        std::lock_guard<std::mutex> g(mutex);
        if (!sub->active) return;
        delivering = sub.get();
    }
    try {
        call();
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"observer %ls: a delivery from %ls threw: %ls", self.GetID(),
                sub->publisher.GetID(), e.GetErrorMsgEx().c_str());
    } catch (const std::exception& e) {
        CFG_LOG(DBG::LVL_WARNING, L"observer %ls: a delivery from %ls threw: %s", self.GetID(),
                sub->publisher.GetID(), e.what());
    } catch (...) {
        CFG_LOG(DBG::LVL_WARNING, L"observer %ls: a delivery from %ls threw", self.GetID(),
                sub->publisher.GetID());
    }
    {
        std::lock_guard<std::mutex> g(mutex);
        delivering = nullptr;
    }
    changed.notify_all();
}

bool CObserverServerHelper::Impl::Connect(const SubPtr& sub, std::wstring& why) {
    auto link = std::make_shared<CLink>(context);
    uint64_t start = 0;
    try {
        std::string path = RPC::LocalSocketPath(sub->publisher, ".notify", false);
        asio::error_code ec;
        link->socket.connect(asio::local::stream_protocol::endpoint(path), ec);
        if (ec) {
            why = OS::x_wstring::FromUtf8(path + ": " + ec.message());
            return false;
        }
        link->socket.native_non_blocking(true);
        link->fd = link->socket.native_handle();
        uint8_t hello[RPC::kFrameHeaderSize + 9];
        if (!RPC::ReadExact(link->fd, hello, sizeof hello, timeout.load())) {
            why = L"no greeting from the publisher";
            return false;
        }
        NOTIFY::CDecoded d = NOTIFY::Decode(hello + RPC::kFrameHeaderSize, 9);
        if (NOTIFY::FrameSize(hello, sizeof hello) != sizeof hello || d.kind != NOTIFY::kHello)
            throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__,
                                L"the publisher did not greet first");
        start = d.startId;
    } catch (const OS::CException& e) {
        why = e.GetErrorMsg();
        return false;
    }
    bool hook = false;
    CPublisherChange change;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(mutex);
        change.publisher = sub->publisher;
        change.previousStartId = sub->startId;
        change.startId = start;
        change.lastSequence = sub->lastSequence;
        if (sub->everConnected) {
            hook = true;
            change.kind = sub->startId != start ? CPublisherChange::Kind::kRestarted
                                                : CPublisherChange::Kind::kReconnected;
        } else if (sub->missedFirst) {
            hook = true;
            change.kind = CPublisherChange::Kind::kLateConnect;
        }
        if (sub->startId != start) sub->lastSequence = 0;
        sub->startId = start;
        sub->everConnected = true;
        sub->missedFirst = false;
        gen = ++sub->generation;
        link->id = ++lastLinkId;
        sub->NewLink(link->id);
    }
    sub->link = link;
    asio::post(context, [this, sub, link, hook, change, gen] {
        if (hook) {
            CFG_LOG(DBG::LVL_INFO, L"observer %ls: connected again to publisher %ls", self.GetID(),
                    sub->publisher.GetID());
            Deliver(sub, [&] { sub->observer->OnPublisherRestartOrGap(change); });
        }
        (void)gen;
        sub->delay = kFirstRetry;
        Read(sub, link);
    });
    return true;
}

bool CObserverServerHelper::Impl::Send(const SubPtr& sub, const NOTIFY::Frame& frame) {
    std::shared_ptr<CLink> link = sub->link;
    bool ok = false;
    try {
        ok = RPC::WriteAll(link->fd, frame.data(), frame.size(), timeout.load());
    } catch (const OS::CException&) {
        ok = false;
    }
    return ok;
}

void CObserverServerHelper::Impl::Detach(const SubPtr& sub) {
    std::shared_ptr<CLink> link = std::move(sub->link);
    sub->link.reset();
    {
        std::lock_guard<std::mutex> g(mutex);
        ++sub->generation;
        sub->NewLink(0);
    }
    changed.notify_all();
    if (link)
        asio::post(context, [link] {
            asio::error_code ignored;
            link->socket.close(ignored);
        });
}

uint32_t CObserverServerHelper::Impl::SendOnLink(const SubPtr& sub,
                                                 const std::function<NOTIFY::Frame(uint32_t)>& make,
                                                 std::wstring& why,
                                                 const std::vector<OS::x_wstring>* resubscribe) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sub->link) {
            // A link whose publisher has gone (end of stream or error pending) is replaced.
            char c;
            ssize_t n = ::recv(sub->link->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) Detach(sub);
        }
        bool fresh = false;
        if (!sub->link) {
            if (!Connect(sub, why)) return 0;
            fresh = true;
        }
        if (fresh && resubscribe &&
            !Send(sub, SubscribeFrame(sub, ++sub->nextToken, *resubscribe))) {
            why = L"the connection broke while sending";
            Detach(sub);
            continue;
        }
        const uint32_t token = ++sub->nextToken;
        if (Send(sub, make(token))) return token;
        why = L"the connection broke while sending";
        Detach(sub);
    }
    return 0;
}

NOTIFY::Frame CObserverServerHelper::Impl::SubscribeFrame(
    const SubPtr& sub, uint32_t token, const std::vector<OS::x_wstring>& subjects) {
    {
        // A publisher that never acknowledges keeps only the latest lists here; an
        // acknowledgement of a forgotten list announces nothing until a later one's comes.
        std::lock_guard<std::mutex> g(mutex);
        auto& sent = sub->unacknowledged;
        if (sent.size() >= kKeptUnacknowledged) sent.erase(sent.begin());
        sent.emplace_back(token, subjects);
    }
    return NOTIFY::EncodeSubscribe(token, self.GetIDString(), subjects);
}

void CObserverServerHelper::Impl::Acknowledged(const SubPtr& sub, const CLink& link,
                                               uint32_t token) {
    {
        std::lock_guard<std::mutex> g(mutex);
        sub->acked = std::max(sub->acked, token);
        if (sub->upLink == link.id) {
            // Frames are taken over in the order sent: each subject list replaces the one before.
            auto& sent = sub->unacknowledged;
            auto it = sent.begin();
            for (; it != sent.end() && it->first <= token; ++it)
                sub->announced = std::set<OS::x_wstring>(it->second.begin(), it->second.end());
            sent.erase(sent.begin(), it);
        }
    }
    changed.notify_all();
}

void CObserverServerHelper::Impl::Read(const SubPtr& sub, const std::shared_ptr<CLink>& link) {
    uint8_t* space;
    size_t room;
    {
        std::lock_guard<std::mutex> g(sub->conn);
        if (sub->link != link) return;  // closed meanwhile
        space = link->in.Space();
        room = link->in.SpaceSize();
    }
    link->socket.async_read_some(
        asio::buffer(space, room), [this, sub, link](const asio::error_code& ec, size_t n) {
            if (ec) {
                Lost(sub, link);
                return;
            }
            link->in.Added(n);
            try {
                const uint8_t* p;
                size_t size;
                while (link->in.Next(p, size)) {
                    NOTIFY::CDecoded d = NOTIFY::Decode(p, size);
                    if (d.kind == NOTIFY::kAck) {
                        Acknowledged(sub, *link, d.token);
                    } else if (d.kind == NOTIFY::kNotice) {
                        CNoticeInfo info;
                        info.publisher = sub->publisher;
                        info.startId = d.startId;
                        info.sequence = d.sequence;
                        info.flag = (d.flags & NOTIFY::kFlag) != 0;
                        info.replay = (d.flags & NOTIFY::kReplay) != 0;
                        {
                            std::lock_guard<std::mutex> g(mutex);
                            sub->lastSequence = std::max(sub->lastSequence, d.sequence);
                        }
                        Deliver(sub, [&] {
                            CIPCMsgBuffer body = CIPCMsgBuffer::FromBytes(d.body, d.bodySize);
                            t_current = &info;
                            struct Reset {
                                ~Reset() { t_current = nullptr; }
                            } reset;
                            (*sub->observer)(CSubjectID(d.subject), body);
                        });
                    }
                }
            } catch (const OS::CException& e) {
                CFG_LOG(DBG::LVL_WARNING, L"observer %ls: bad frame from publisher %ls: %ls",
                        self.GetID(), sub->publisher.GetID(), e.GetErrorMsg().c_str());
                Lost(sub, link);
                return;
            }
            Read(sub, link);
        });
}

void CObserverServerHelper::Impl::Lost(const SubPtr& sub, const std::shared_ptr<CLink>& link) {
    {
        std::lock_guard<std::mutex> g(sub->conn);
        if (sub->link != link) return;
        asio::error_code ignored;
        link->socket.close(ignored);
        sub->link.reset();
    }
    bool active;
    {
        std::lock_guard<std::mutex> g(mutex);
        ++sub->generation;
        sub->NewLink(0);
        active = sub->active;
    }
    changed.notify_all();
    if (!active) return;
    CFG_LOG(DBG::LVL_WARNING, L"observer %ls: connection to publisher %ls lost; retrying",
            self.GetID(), sub->publisher.GetID());
    ScheduleRetry(sub);
}

void CObserverServerHelper::Impl::ScheduleRetry(const SubPtr& sub) {
    if (sub->retryPending) return;
    sub->retryPending = true;
    sub->retry.expires_after(sub->delay);
    sub->retry.async_wait([this, sub](const asio::error_code& ec) {
        sub->retryPending = false;
        if (!ec) Retry(sub);
    });
}

void CObserverServerHelper::Impl::Retry(const SubPtr& sub) {
    {
        std::lock_guard<std::mutex> g(mutex);
        if (!sub->active) return;
    }
    std::vector<OS::x_wstring> subjects = Strings(sub->observer->GetSubjectIDVector());
    std::lock_guard<std::mutex> g(sub->conn);
    if (sub->link) return;
    std::wstring why;
    if (SendOnLink(
            sub, [&](uint32_t token) { return SubscribeFrame(sub, token, subjects); }, why))
        return;
    sub->delay = std::min(kLastRetry, sub->delay * 2);
    ScheduleRetry(sub);
}

void CObserverServerHelper::Impl::WaitAck(const SubPtr& sub, uint32_t token, uint64_t gen) {
    if (OnOwnThread()) return;
    std::unique_lock<std::mutex> g(mutex);
    bool ok = changed.wait_for(g, timeout.load(), [&] {
        return sub->acked >= token || sub->generation != gen || !sub->active;
    });
    if (!ok)
        CFG_LOG(DBG::LVL_WARNING, L"observer %ls: publisher %ls did not acknowledge in time",
                self.GetID(), sub->publisher.GetID());
}

CObserverServerHelper::CObserverServerHelper(const CComponentID& component)
    : m_impl(std::make_shared<Impl>()) {
    Impl& s = *m_impl;
    s.self = component;
    auto guard = std::make_shared<asio::executor_work_guard<asio::io_context::executor_type>>(
        s.context.get_executor());
    s.thread = std::thread([&s, guard] { s.context.run(); });
    s.threadId = s.thread.get_id();
}

CObserverServerHelper::~CObserverServerHelper() {
    Impl& s = *m_impl;
    {
        std::lock_guard<std::mutex> g(s.mutex);
        for (auto& [key, sub] : s.subs) sub->active = false;
    }
    s.context.stop();
    s.thread.join();
    std::lock_guard<std::mutex> g(s.mutex);
    s.subs.clear();
}

void CObserverServerHelper::Subscribe(const CComponentID& publisher,
                                      CObserverNoticeCallback& observer) {
    Impl& s = *m_impl;
    std::vector<OS::x_wstring> subjects = Strings(observer.GetSubjectIDVector());
    SubPtr sub;
    {
        std::lock_guard<std::mutex> g(s.mutex);
        SubPtr& slot = s.subs[{publisher.GetIDString(), &observer}];
        if (!slot) slot = std::make_shared<CSubscription>(s.context, publisher, &observer);
        sub = slot;
    }
    uint32_t token;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(sub->conn);
        std::wstring why;
        token = s.SendOnLink(
            sub, [&](uint32_t t) { return s.SubscribeFrame(sub, t, subjects); }, why);
        if (token == 0) {
            {
                std::lock_guard<std::mutex> g2(s.mutex);
                if (!sub->everConnected) sub->missedFirst = true;
            }
            CFG_LOG(DBG::LVL_WARNING,
                    L"observer %ls: publisher %ls cannot be reached (%ls); retrying",
                    s.self.GetID(), publisher.GetID(), why.c_str());
            asio::post(s.context, [&s, sub] { s.ScheduleRetry(sub); });
            return;
        }
        gen = s.Generation(sub);
    }
    s.WaitAck(sub, token, gen);
}

void CObserverServerHelper::Unsubscribe(const CComponentID& publisher,
                                        CObserverNoticeCallback& observer) {
    Impl& s = *m_impl;
    SubPtr sub;
    {
        std::lock_guard<std::mutex> g(s.mutex);
        auto it = s.subs.find({publisher.GetIDString(), &observer});
        if (it == s.subs.end()) return;
        sub = it->second;
        s.subs.erase(it);
        sub->active = false;
        sub->NewLink(0);
    }
    asio::post(s.context, [sub] {
        std::lock_guard<std::mutex> g(sub->conn);
        if (sub->link) {
            asio::error_code ignored;
            sub->link->socket.close(ignored);
            sub->link.reset();
        }
        sub->retry.cancel();
    });
    if (s.OnOwnThread()) return;
    std::unique_lock<std::mutex> g(s.mutex);
    s.changed.wait(g, [&] { return s.delivering != sub.get(); });
}

void CObserverServerHelper::RequirePreviousChange(const CComponentID& publisher,
                                                  CObserverNoticeCallback& observer,
                                                  const std::vector<CSubjectID>& subjects) {
    Impl& s = *m_impl;
    SubPtr sub = s.Find(publisher, &observer);
    if (!sub) {
        Subscribe(publisher, observer);
        sub = s.Find(publisher, &observer);
        if (!sub) return;
    }
    const std::vector<OS::x_wstring> names = Strings(subjects);
    const std::vector<OS::x_wstring> current = Strings(observer.GetSubjectIDVector());
    uint32_t token;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(sub->conn);
        std::wstring why;
        token = s.SendOnLink(
            sub, [&](uint32_t t) { return NOTIFY::EncodeRequire(t, names); }, why, &current);
        if (token == 0) {
            CFG_LOG(DBG::LVL_WARNING,
                    L"observer %ls: publisher %ls cannot be reached (%ls); retrying",
                    s.self.GetID(), publisher.GetID(), why.c_str());
            asio::post(s.context, [&s, sub] { s.ScheduleRetry(sub); });
            return;
        }
        gen = s.Generation(sub);
    }
    s.WaitAck(sub, token, gen);
}

const CNoticeInfo* CObserverServerHelper::CurrentNotice() {
    return t_current;
}

bool CObserverServerHelper::IsConnected(const CComponentID& publisher,
                                        const CObserverNoticeCallback& observer) const {
    SubPtr sub = m_impl->Find(publisher, &observer);
    if (!sub) return false;
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return sub->upLink != 0;
}

uint64_t CObserverServerHelper::AnnouncingConnection(const CComponentID& publisher,
                                                     const CObserverNoticeCallback& observer,
                                                     const CSubjectID& subject) const {
    SubPtr sub = m_impl->Find(publisher, &observer);
    if (!sub) return 0;
    std::lock_guard<std::mutex> g(m_impl->mutex);
    return sub->announced.count(subject.Str()) ? sub->upLink : 0;
}

void CObserverServerHelper::SetTimeout(std::chrono::milliseconds timeout) {
    m_impl->timeout = timeout;
}
