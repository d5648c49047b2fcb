// What an observer subscribed to the service's publisher receives for each handler: exactly the
// listed notifications, in order, with the flag set only for the virtual-server environment.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "outside/log/DebugLog.h"
#include "outside/notify/CObserverServerHelper.h"
#include "tests/service/ServiceTestSupport.h"

using namespace servicetest;

namespace {

const wchar_t kComponent[] = L"ID_TEST_NOTIFY";
const wchar_t kEnv[] = L"ZOLT_SUB_CFG_VRS_ENV";
const wchar_t kSentinel[] = L"ZOLT_SUB_TEST_SENTINEL";

// One received notification, decoded.
struct CSeen {
    OS::x_wstring subject;
    OS::x_wstring policy;
    OS::x_wstring server;
    int kind;
    bool flag;
    bool operator==(const CSeen& o) const {
        return subject == o.subject && policy == o.policy && server == o.server && kind == o.kind &&
               flag == o.flag;
    }
};

std::ostream& operator<<(std::ostream& os, const CSeen& s) {
    return os << s.subject.ToUtf8() << "/" << s.policy.ToUtf8() << "/" << s.server.ToUtf8() << "/"
              << s.kind << "/" << s.flag;
}

class CRecordingObserver : public CObserverNoticeCallback {
  public:
    std::vector<CSubjectID> GetSubjectIDVector() const override {
        std::vector<CSubjectID> v;
        for (const wchar_t* s : {L"A", L"B", L"C", L"S1", L"X", kEnv, kSentinel}) v.emplace_back(s);
        return v;
    }
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override {
        P::CNotification n;
        const bool ours = P::ReadNotificationBody(body, n);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (subject.ToString() == kSentinel) {
            ++m_sentinels;
        } else {
            m_seen.push_back(CSeen{subject.ToString(), ours ? n.policy.ToString() : L"?", n.server,
                                   ours ? n.changeKind : -1,
                                   CObserverServerHelper::CurrentNotice()->flag});
        }
        m_cv.notify_all();
    }
    // Waits for the sentinel number `n` and hands out what arrived before it. The publisher
    // delivers in order, so nothing published before the sentinel can still be on its way.
    std::vector<CSeen> TakeUntilSentinel(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_sentinels >= n; });
        return std::exchange(m_seen, {});
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CSeen> m_seen;
    int m_sentinels = 0;
};

class ServiceNotify : public ::testing::Test {
  protected:
    ServiceNotify()
        : m_store(new CScriptedStore),
          m_service(kComponent, m_store),
          m_observers(CComponentID(L"ID_TEST_OBSERVER")) {
        m_observers.Subscribe(CComponentID(kComponent), m_observer);
    }
    ~ServiceNotify() override { m_observers.Unsubscribe(CComponentID(kComponent), m_observer); }

    CIPCMsgBuffer Call(int id, const CIPCMsgBuffer& body) {
        return CallService(m_service, id, body);
    }
    // What the observer received for the calls since the last Seen().
    std::vector<CSeen> Seen() {
        Call(317, KeyBody(Key(L"SRV", L"P", kSentinel)));
        return m_observer.TakeUntilSentinel(++m_sentinels);
    }

    CRuntimeDir m_runtime;
    CScriptedStore* m_store;
    CCfgControl m_service;
    CRecordingObserver m_observer;
    CObserverServerHelper m_observers;
    int m_sentinels = 0;
};

CIPCMsgBuffer ApplyAllBody(bool notify) {
    CCfgSettingApplyAll all(L"QV_VirusScan");
    all.AddFieldValue(L"VS_LEVEL", CVar(1));
    return servicetest::ApplyAllBody(all, notify);
}

}  // namespace

TEST_F(ServiceNotify, WritesNotifyEachReportedSubjectOnlyWithTheNotifyFlag) {
    const auto setting = Setting(L"QV_VirusScan", {{L"VS_LEVEL", CVar(2)}});
    m_store->reported = {L"A", kEnv, L"A"};  // duplicates are announced as reported

    Call(303, ModifyBody(Key(L"SRV", L"POL"), setting, 0, false));
    Call(345, ModifyBody(Key(L"SRV", L"POL"), setting, 0, false));
    EXPECT_EQ(Seen(), std::vector<CSeen>{});

    for (int id : {303, 345}) {
        SCOPED_TRACE(id);
        Call(id, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
        EXPECT_EQ(Seen(), (std::vector<CSeen>{{L"A", L"POL", L"SRV", 3, false},
                                              {kEnv, L"POL", L"SRV", 3, true},
                                              {L"A", L"POL", L"SRV", 3, false}}));
    }

    // A refused write announces nothing.
    m_store->result = false;
    Call(303, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
    EXPECT_EQ(Seen(), std::vector<CSeen>{});
}

TEST_F(ServiceNotify, DeleteAndResetAlwaysNotifyWhatTheStoreReports) {
    m_store->reported = {L"B", kEnv};
    Call(305, KeyBody(Key(L"SRV2", L"P7", L"whatever")));
    EXPECT_EQ(Seen(), (std::vector<CSeen>{{L"B", L"P7", L"SRV2", 4, false},
                                          {kEnv, L"P7", L"SRV2", 4, true}}));

    m_store->reported = {L"C"};
    Call(311, KeyBody(Key(L"SRV", L"P8", L"C")));
    EXPECT_EQ(Seen(), (std::vector<CSeen>{{L"C", L"P8", L"SRV", 3, false}}));

    m_store->reported = {};
    Call(305, KeyBody(Key()));
    EXPECT_EQ(Seen(), std::vector<CSeen>{});
}

TEST_F(ServiceNotify, ApplyAllNotifiesTheCollectedRowsEvenWhenTheWriteFails) {
    m_store->applyAllRows = {
        CCfgIndex(L"SRV", {CSubjectID(L"P1"), CSubjectID(L"S1")}),
        CCfgIndex(L"SRV", {CSubjectID(L"P2"), CSubjectID(kEnv)}),
    };
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(313, ApplyAllBody(true))), Bytes(ResultReply(314, -1)));
    // Each row with its own policy; the flag stays false, even for the environment subject.
    EXPECT_EQ(Seen(), (std::vector<CSeen>{{L"S1", L"P1", L"SRV", 3, false},
                                          {kEnv, L"P2", L"SRV", 3, false}}));

    m_store->result = true;
    Call(313, ApplyAllBody(false));
    EXPECT_EQ(Seen(), std::vector<CSeen>{});
}

TEST_F(ServiceNotify, LoadAndUnloadAnnounceTheRequestSubject) {
    Call(317, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(319, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(317, KeyBody(Key(L"SRV", L"P", kEnv)));
    EXPECT_EQ(Seen(), (std::vector<CSeen>{{L"X", L"P", L"SRV", 5, false},
                                          {L"X", L"P", L"SRV", 6, false},
                                          {kEnv, L"P", L"SRV", 5, false}}));
    // Reads publish nothing.
    Call(301, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(343, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(339, KeyBody(Key(L"SRV", L"P", L"X")));
    EXPECT_EQ(Seen(), std::vector<CSeen>{});
}
