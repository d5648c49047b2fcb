// Tests of the change-notification transport: frames, exact subject matching, kept last
// changes, sequence numbers and start ids across publisher restarts, and a stalled observer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "outside/notify/CObserverServerHelper.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/notify/NotifyFrame.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcEndpoint.h"
#include "outside/rpc/RpcFrame.h"
#include "outside/rpc/RpcFrameReader.h"
#include "outside/rpc/RpcLimits.h"
#include "tests/support/Caught.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

class NotifyTest : public ::testing::Test {
  protected:
    testsupport::CTempDir m_dir{"znot"};
    testsupport::CScopedEnv m_runtime{"ZOLTCFG_RUNTIME_DIR", m_dir.Str()};
};

class NotifyConcurrency : public NotifyTest {};

struct CGot {
    OS::x_wstring subject;
    int value;
    CNoticeInfo info;
    bool operator==(const CGot& o) const {
        return subject == o.subject && value == o.value && info.startId == o.info.startId &&
               info.sequence == o.info.sequence && info.flag == o.info.flag &&
               info.replay == o.info.replay && info.publisher == o.info.publisher;
    }
};

std::ostream& operator<<(std::ostream& os, const CGot& g) {
    return os << g.subject.ToUtf8() << "=" << g.value << " seq " << g.info.sequence << " flag "
              << g.info.flag << " replay " << g.info.replay;
}

// Records what it is given; waits are hand-offs through a condition variable.
class CRecorder : public CObserverNoticeCallback {
  public:
    explicit CRecorder(std::vector<const wchar_t*> subjects) {
        for (auto s : subjects) m_subjects.emplace_back(s);
    }
    std::vector<CSubjectID> GetSubjectIDVector() const override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_subjects;
    }
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override {
        if (gate) gate();
        int v = 0;
        body >> v;
        std::lock_guard<std::mutex> g(m_mutex);
        got.push_back({subject.ToString(), v, *CObserverServerHelper::CurrentNotice()});
        m_cv.notify_all();
    }
    void OnPublisherRestartOrGap(const CPublisherChange& change) override {
        std::lock_guard<std::mutex> g(m_mutex);
        changes.push_back(change);
        m_cv.notify_all();
    }
    // Waits (bounded, so a fault fails instead of hanging) until `pred` holds.
    template <class P>
    bool WaitFor(P pred) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cv.wait_for(g, 20s, [&] { return pred(); });
    }
    bool WaitNotices(size_t n) {
        return WaitFor([&] { return got.size() >= n; });
    }
    bool WaitChanges(size_t n) {
        return WaitFor([&] { return changes.size() >= n; });
    }
    std::vector<CGot> Got() {
        std::lock_guard<std::mutex> g(m_mutex);
        return got;
    }
    std::vector<CPublisherChange> Changes() {
        std::lock_guard<std::mutex> g(m_mutex);
        return changes;
    }

    std::function<void()> gate;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CSubjectID> m_subjects;
    std::vector<CGot> got;
    std::vector<CPublisherChange> changes;
};

CIPCMsgBuffer Body(int v) {
    CIPCMsgBuffer b(1024, false);
    b << v;
    return b;
}

const CComponentID kPub(L"ID_TEST_PUB");

CGot Notice(const wchar_t* s, int v, uint64_t start, uint64_t seq, bool flag = false,
            bool replay = false) {
    CNoticeInfo i;
    i.publisher = kPub;
    i.startId = start;
    i.sequence = seq;
    i.flag = flag;
    i.replay = replay;
    return {s, v, i};
}

}  // namespace

TEST(NotifyFrames, LayoutIsPinned) {
    const uint8_t body[] = {7, 0, 0, 0};
    const NOTIFY::Frame notice =
        NOTIFY::EncodeNotice(0x0102030405060708ull, 9, NOTIFY::kFlag, L"S\u00E9", body, 4);
    const NOTIFY::Frame want = {'Z', 'N', 'T', '1', 33,  0,    0,    0,   // header
                                4,                                        // notice
                                8,   7,   6,   5,   4,   3,    2,    1,   // start id
                                9,   0,   0,   0,   0,   0,    0,    0,   // sequence
                                1,                                        // flags
                                3,   0,   0,   0,   'S', 0xC3, 0xA9,      // subject
                                4,   0,   0,   0,   7,   0,    0,    0};  // body
    EXPECT_EQ(want, notice);
    const NOTIFY::Frame sub = NOTIFY::EncodeSubscribe(5, L"ID", {L"A", L"BC"});
    const NOTIFY::Frame wantSub = {'Z', 'N', 'T', '1', 26, 0,   0,   0, 2,   5,  0, 0,
                                   0,   2,   0,   0,   0,  'I', 'D', 2, 0,   0,  0, 1,
                                   0,   0,   0,   'A', 2,  0,   0,   0, 'B', 'C'};
    EXPECT_EQ(wantSub, sub);
    // A subject count that cannot fit its frame is refused before anything is reserved.
    const uint8_t lying[] = {3, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(CRPCException::PROTOCOL,
              testsupport::CaughtCode<CRPCException>([&] { NOTIFY::Decode(lying, sizeof lying); }));
}

TEST_F(NotifyTest, DeliversExactlyToMatchingSubjects) {
    CSubjectServerHelper pub(kPub);
    const uint64_t start = pub.GetStartId();
    EXPECT_NE(0u, start);
    CObserverServerHelper helper(CComponentID(L"ID_TEST_OBS"));
    CRecorder a({L"S1", L"S2", L"END"}), b({L"S2", L"END"}), c({L"s1", L"END"});
    helper.Subscribe(kPub, a);
    helper.Subscribe(kPub, b);
    helper.Subscribe(kPub, c);
    EXPECT_TRUE(helper.IsConnected(kPub, a));
    EXPECT_EQ(3u, pub.GetObserverCount());

    pub.Notify(CSubjectID(L"S1"), Body(1), false);
    pub.Notify(CSubjectID(L"S2"), Body(2), true);
    pub.Notify(CSubjectID(L"S3"), Body(3), false);
    pub.Notify(CSubjectID(L"END"), Body(4), false);
    ASSERT_TRUE(a.WaitNotices(3));
    ASSERT_TRUE(b.WaitNotices(2));
    ASSERT_TRUE(c.WaitNotices(1));
    EXPECT_EQ((std::vector<CGot>{Notice(L"S1", 1, start, 1), Notice(L"S2", 2, start, 2, true),
                                 Notice(L"END", 4, start, 4)}),
              a.Got());
    EXPECT_EQ((std::vector<CGot>{Notice(L"S2", 2, start, 2, true), Notice(L"END", 4, start, 4)}),
              b.Got());
    EXPECT_EQ((std::vector<CGot>{Notice(L"END", 4, start, 4)}), c.Got());
    EXPECT_EQ(nullptr, CObserverServerHelper::CurrentNotice());
    EXPECT_EQ(4u, pub.GetLastSequence());
    EXPECT_TRUE(a.Changes().empty());

    // An unsubscribed observer gets nothing more.
    helper.Unsubscribe(kPub, b);
    EXPECT_FALSE(helper.IsConnected(kPub, b));
    pub.Notify(CSubjectID(L"S2"), Body(5), false);
    ASSERT_TRUE(a.WaitNotices(4));
    EXPECT_EQ(2u, b.Got().size());
}

TEST_F(NotifyTest, RequirePreviousChangeDeliversTheKeptBody) {
    CSubjectServerHelper pub(kPub);
    const uint64_t start = pub.GetStartId();
    pub.Notify(CSubjectID(L"S1"), Body(10), false);
    pub.Notify(CSubjectID(L"S1"), Body(11), true);
    pub.Notify(CSubjectID(L"S2"), Body(20), false);
    CObserverServerHelper helper(CComponentID(L"ID_TEST_OBS"));
    CRecorder a({L"S1"});
    helper.Subscribe(kPub, a);
    EXPECT_TRUE(a.Got().empty());
    // Delivered before RequirePreviousChange returns; a subject never published adds nothing.
    helper.RequirePreviousChange(kPub, a, {CSubjectID(L"S1"), CSubjectID(L"S9")});
    EXPECT_EQ((std::vector<CGot>{Notice(L"S1", 11, start, 2, true, true)}), a.Got());

    // The kept changes (subject characters and bodies) are bounded: the oldest goes first.
    EXPECT_EQ(24u, pub.GetKeptBytes());
    pub.SetKeptLimit(30);
    pub.Notify(CSubjectID(L"S3"), Body(30), false);
    EXPECT_EQ(24u, pub.GetKeptBytes());
    helper.RequirePreviousChange(kPub, a, {CSubjectID(L"S1")});
    EXPECT_EQ(1u, a.Got().size());

    // A peer announcing 48 MiB and sending one byte holds a small buffer until the deadline.
    RPC::SetFrameDeadline(200ms);
    const size_t before = RPC::PeakReservedReceiveBytes(true);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{AF_UNIX, {}};
    RPC::LocalSocketPath(kPub, ".notify").copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    const uint8_t slow[] = {'Z', 'N', 'T', '1', 0, 0, 0, 3, 2};
    uint8_t hello[17 + 1];  // the greeting, then the end of the connection
    RPC::WriteAll(fd, slow, sizeof slow, 10s);
    EXPECT_EQ(CRPCException::CONNECTION_LOST, testsupport::CaughtCode<CRPCException>([&] {
                  RPC::ReadExact(fd, hello, sizeof hello, 10s);
              }));
    EXPECT_LT(RPC::PeakReservedReceiveBytes(), before + 64 * 1024);
    RPC::SetFrameDeadline(30s);
    ::close(fd);
}

TEST_F(NotifyTest, ObserversFollowPublisherRestarts) {
    CObserverServerHelper helper(CComponentID(L"ID_TEST_OBS"));
    CRecorder a({L"S1"});
    // No publisher yet: the subscription waits and is made when the publisher comes.
    helper.Subscribe(kPub, a);
    EXPECT_FALSE(helper.IsConnected(kPub, a));
    EXPECT_EQ(0u, helper.AnnouncingConnection(kPub, a, CSubjectID(L"S1")));
    std::optional<CSubjectServerHelper> pub;
    pub.emplace(kPub);
    const uint64_t first = pub->GetStartId();
    ASSERT_TRUE(a.WaitChanges(1));
    EXPECT_EQ(CPublisherChange::Kind::kLateConnect, a.Changes()[0].kind);
    EXPECT_EQ(first, a.Changes()[0].startId);
    helper.Subscribe(kPub, a);  // acknowledged: the next Notify reaches the observer
    const uint64_t link = helper.AnnouncingConnection(kPub, a, CSubjectID(L"S1"));
    EXPECT_NE(0u, link);
    EXPECT_EQ(0u, helper.AnnouncingConnection(kPub, a, CSubjectID(L"S2")));  // not subscribed
    pub->Notify(CSubjectID(L"S1"), Body(1), false);
    pub->Notify(CSubjectID(L"S1"), Body(2), false);
    ASSERT_TRUE(a.WaitNotices(2));

    // Restart: a new start id, sequence numbers from 1 again, and the observer is told before
    // anything of the new run.
    pub.reset();
    pub.emplace(kPub);
    const uint64_t second = pub->GetStartId();
    EXPECT_NE(first, second);
    ASSERT_TRUE(a.WaitChanges(2));
    const CPublisherChange restart = a.Changes()[1];
    EXPECT_EQ(CPublisherChange::Kind::kRestarted, restart.kind);
    EXPECT_EQ(first, restart.previousStartId);
    EXPECT_EQ(second, restart.startId);
    EXPECT_EQ(2u, restart.lastSequence);
    helper.Subscribe(kPub, a);
    EXPECT_NE(link, helper.AnnouncingConnection(kPub, a, CSubjectID(L"S1")));  // a new link
    pub->Notify(CSubjectID(L"S1"), Body(3), true);
    ASSERT_TRUE(a.WaitNotices(3));
    EXPECT_EQ(Notice(L"S1", 3, second, 1, true), a.Got()[2]);

    // The next Subscribe reconnects at once, whether or not the retry came first.
    pub.reset();
    pub.emplace(kPub);
    helper.Subscribe(kPub, a);
    EXPECT_TRUE(helper.IsConnected(kPub, a));
    ASSERT_TRUE(a.WaitChanges(3));
    EXPECT_EQ(CPublisherChange::Kind::kRestarted, a.Changes()[2].kind);
    pub->Notify(CSubjectID(L"S1"), Body(4), false);
    ASSERT_TRUE(a.WaitNotices(4));
    EXPECT_EQ(Notice(L"S1", 4, pub->GetStartId(), 1), a.Got()[3]);
}

TEST_F(NotifyConcurrency, StalledObserverDoesNotBlockNotify) {
    CSubjectServerHelper pub(kPub);
    pub.SetQueueLimit(64 * 1024);
    CObserverServerHelper helper(CComponentID(L"ID_TEST_OBS"));
    CRecorder a({L"S1"});
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::once_flag once;
    a.gate = [&] {
        std::call_once(once, [&] {
            entered.set_value();
            released.wait();
        });
    };
    helper.Subscribe(kPub, a);
    CIPCMsgBuffer body;
    body << 0 << OS::x_wstring(std::wstring(16 * 1024, L'x'));
    pub.Notify(CSubjectID(L"S1"), body, false);
    entered.get_future().wait();  // the observer's thread is now stuck in its first delivery
    // Each Notify returns although the observer reads nothing: it is dropped once its socket
    // and its queue are full.
    constexpr int kNotices = 200;
    for (int i = 1; i < kNotices; ++i) pub.Notify(CSubjectID(L"S1"), body, false);
    EXPECT_EQ(1u, pub.GetDroppedObserverCount());
    EXPECT_EQ(uint64_t(kNotices), pub.GetLastSequence());
    release.set_value();

    // The observer drains what reached it, finds the connection closed, reconnects and is
    // told it may have missed notices of the same run.
    ASSERT_TRUE(a.WaitChanges(1));
    const CPublisherChange gap = a.Changes()[0];
    EXPECT_EQ(CPublisherChange::Kind::kReconnected, gap.kind);
    EXPECT_EQ(pub.GetStartId(), gap.startId);
    EXPECT_EQ(pub.GetStartId(), gap.previousStartId);
    const std::vector<CGot> got = a.Got();
    ASSERT_FALSE(got.empty());
    EXPECT_LT(got.size(), size_t(kNotices));
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(i + 1, got[i].info.sequence);
    EXPECT_EQ(got.back().info.sequence, gap.lastSequence);
}
