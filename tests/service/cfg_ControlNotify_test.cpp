// What an observer subscribed to the service's publisher receives for each handler: exactly the
// listed notifications, in order, with the flag set only for the virtual-server environment.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include "outside/log/DebugLog.h"
#include "tests/service/ServiceTestSupport.h"

using namespace servicetest;

namespace {

const wchar_t kComponent[] = L"ID_TEST_NOTIFY";
const wchar_t kEnv[] = L"ZOLT_SUB_CFG_VRS_ENV";
using Seen = std::vector<OS::x_wstring>;

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
    // What the observer received for the calls since the last Notified().
    Seen Notified() {
        Call(317, KeyBody(Key(L"SRV", L"P", kSentinel)));
        return m_observer.TakeUntilSentinel(++m_sentinels);
    }

    CRuntimeDir m_runtime;
    CScriptedStore* m_store;
    CCfgControl m_service;
    CRecordingObserver m_observer{{L"A", L"B", L"C", L"S1", L"X", kEnv}};
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
    EXPECT_EQ(Notified(), Seen{});

    for (int id : {303, 345}) {
        SCOPED_TRACE(id);
        Call(id, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
        EXPECT_EQ(Notified(),
                  (Seen{L"A/POL/SRV/3/0", L"ZOLT_SUB_CFG_VRS_ENV/POL/SRV/3/1", L"A/POL/SRV/3/0"}));
    }

    // A refused write announces nothing.
    m_store->result = false;
    Call(303, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
    EXPECT_EQ(Notified(), Seen{});
}

TEST_F(ServiceNotify, DeleteAndResetAlwaysNotifyWhatTheStoreReports) {
    m_store->reported = {L"B", kEnv};
    Call(305, KeyBody(Key(L"SRV2", L"P7", L"whatever")));
    EXPECT_EQ(Notified(), (Seen{L"B/P7/SRV2/4/0", L"ZOLT_SUB_CFG_VRS_ENV/P7/SRV2/4/1"}));

    m_store->reported = {L"C"};
    Call(311, KeyBody(Key(L"SRV", L"P8", L"C")));
    EXPECT_EQ(Notified(), (Seen{L"C/P8/SRV/3/0"}));

    m_store->reported = {};
    Call(305, KeyBody(Key()));
    EXPECT_EQ(Notified(), Seen{});
}

TEST_F(ServiceNotify, ApplyAllNotifiesTheCollectedRowsEvenWhenTheWriteFails) {
    m_store->applyAllRows = {
        CCfgIndex(L"SRV", {CSubjectID(L"P1"), CSubjectID(L"S1")}),
        CCfgIndex(L"SRV", {CSubjectID(L"P2"), CSubjectID(kEnv)}),
    };
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(313, ApplyAllBody(true))), Bytes(ResultReply(314, -1)));
    // Each row with its own policy; the flag stays false, even for the environment subject.
    EXPECT_EQ(Notified(), (Seen{L"S1/P1/SRV/3/0", L"ZOLT_SUB_CFG_VRS_ENV/P2/SRV/3/0"}));

    m_store->result = true;
    Call(313, ApplyAllBody(false));
    EXPECT_EQ(Notified(), Seen{});
}

TEST_F(ServiceNotify, LoadAndUnloadAnnounceTheRequestSubject) {
    Call(317, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(319, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(317, KeyBody(Key(L"SRV", L"P", kEnv)));
    EXPECT_EQ(Notified(),
              (Seen{L"X/P/SRV/5/0", L"X/P/SRV/6/0", L"ZOLT_SUB_CFG_VRS_ENV/P/SRV/5/0"}));
    // Reads publish nothing.
    Call(301, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(343, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(339, KeyBody(Key(L"SRV", L"P", L"X")));
    EXPECT_EQ(Notified(), Seen{});
}
