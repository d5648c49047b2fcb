// Tests of the caching proxy against a stand-in master component in the same process: one
// query for repeated reads, failed reads, the change notification (drop, hooks, ignored
// bodies), the virtual-server environment flush, hook registration, subscriptions, a
// publisher restart, and readers racing with changes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "outside/log/DebugLog.h"
#include "tests/client/ProxyTestSupport.h"

using namespace proxytest;

namespace {

const CSubjectID kNullPolicy(L"ZOLT_PLC_NULL");
const OS::x_wstring kVs = L"ZOLT_SUB_CFG_VS_RS";

std::vector<OS::x_wstring> Prefixed(const DBG::CCaptureLog& log, int level,
                                    const OS::x_wstring& prefix) {
    std::vector<OS::x_wstring> out;
    for (const auto& m : log.Messages(level))
        if (m.rfind(prefix, 0) == 0) out.push_back(m);
    return out;
}

int Read(CCfgProxy& proxy, const OS::x_wstring& server, const OS::x_wstring& subject = kVs) {
    CVirusScan s(subject);
    return proxy.GetConfigurationSettings(server, kNullPolicy, s) ? s.MaxSize() : -100;
}

TEST(Proxy, ReadsOnceFromTheServiceAndThenFromTheCache) {
    CMasterStandIn standIn;
    standIn.master.Set(kVs, 111);
    CTestableProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    DBG::CCaptureLog log;

    CVirusScan first;
    ASSERT_TRUE(proxy.GetConfigurationSettings(L"SRV", kNullPolicy, first));
    EXPECT_EQ(first.MaxSize(), 111);
    CVirusScan second;
    ASSERT_TRUE(proxy.GetConfigurationSettings(L"srv", kNullPolicy, second));  // any letter case
    EXPECT_EQ(second.MaxSize(), 111);
    CVar folder;
    EXPECT_TRUE(second.GetFieldValue(L"VS_QUARANTINE_FOLDER", folder));
    EXPECT_EQ(folder.GetString(), L"/q");

    EXPECT_EQ(standIn.master.Queries(),
              std::vector<OS::x_wstring>{L"SRV:ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS"});
    EXPECT_EQ(
        Prefixed(log, DBG::LVL_INFO, L"CCfgProxy::GetConfigurationSettings()"),
        (std::vector<OS::x_wstring>{
            L"CCfgProxy::GetConfigurationSettings() from database, subject id=ZOLT_SUB_CFG_VS_RS",
            L"CCfgProxy::GetConfigurationSettings() from cache, subject id=ZOLT_SUB_CFG_VS_RS"}));
    EXPECT_EQ(proxy.GetSubjectIDVector(), std::vector<CSubjectID>{CSubjectID(kVs)});
    EXPECT_EQ(proxy.GetCachedCount(), 1u);

    // Another policy subject is another key.
    CVirusScan other;
    ASSERT_TRUE(proxy.GetConfigurationSettings(L"SRV", CSubjectID(L"ZOLT_PLC_X"), other));
    EXPECT_EQ(standIn.master.QueryCount(), 2u);
    EXPECT_EQ(proxy.GetSubjectIDVector().size(), 1u);
}

TEST(Proxy, AFailedReadCachesNothingButObservesTheSubject) {
    CMasterStandIn standIn;
    CTestableProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    CRecordingHook hook;
    proxy.Hook(hook);

    CVirusScan s(L"ZOLT_SUB_UNKNOWN");
    s.AddFieldValue(L"VS_MAX_SIZE", CVar(7));
    EXPECT_FALSE(proxy.GetConfigurationSettings(L"SRV", kNullPolicy, s));
    EXPECT_EQ(s.MaxSize(), 7);  // a refused query leaves the setting alone
    EXPECT_EQ(proxy.GetCachedCount(), 0u);
    EXPECT_EQ(proxy.GetSubjectIDVector(), std::vector<CSubjectID>{CSubjectID(L"ZOLT_SUB_UNKNOWN")});

    // The subscription is live: a change of that subject reaches the hook.
    hook.Expect(1);
    standIn.Notify(L"ZOLT_SUB_UNKNOWN", L"SRV", 3);
    ASSERT_TRUE(hook.Wait());
    EXPECT_EQ(hook.Calls(),
              (std::vector<CCall>{CCall{L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_UNKNOWN", 3}}));

    // Nothing was cached: the next read asks again, and now finds it.
    standIn.master.Set(L"ZOLT_SUB_UNKNOWN", 8);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_UNKNOWN"), 8);
    EXPECT_EQ(standIn.master.QueryCount(), 2u);
    proxy.Unhook(hook);
}

TEST(Proxy, AChangeDropsTheEntryThenCallsTheHooks) {
    CMasterStandIn standIn;
    standIn.master.Set(kVs, 1);
    standIn.master.Set(L"ZOLT_SUB_OTHER", 50);
    CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    CRecordingHook hook;
    proxy.Hook(hook);
    EXPECT_EQ(Read(proxy, L"SRV"), 1);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_OTHER"), 50);

    // The hook sees the entry already gone: a read from inside it goes to the service.
    std::atomic<int> readInHook{-1};
    hook.OnCall([&] { readInHook = Read(proxy, L"SRV"); });
    standIn.master.Set(kVs, 2);
    hook.Expect(1);
    standIn.Notify(kVs, L"SRV", 3);
    ASSERT_TRUE(hook.Wait());
    hook.OnCall(nullptr);
    EXPECT_EQ(readInHook, 2);
    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{CCall{L"SRV", L"ZOLT_PLC_NULL", kVs, 3}}));
    EXPECT_EQ(Read(proxy, L"SRV"), 2);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_OTHER"), 50);
    EXPECT_EQ(standIn.master.QueryCount(), 3u);  // the other setting stayed cached

    // A deletion of a setting of another server drops nothing of this one.
    hook.Expect(2);
    standIn.Notify(kVs, L"SRV2", 4);
    ASSERT_TRUE(hook.Wait());
    EXPECT_EQ(hook.Calls()[1], (CCall{L"SRV2", L"ZOLT_PLC_NULL", kVs, 4}));
    EXPECT_EQ(Read(proxy, L"SRV"), 2);
    EXPECT_EQ(standIn.master.QueryCount(), 3u);
    proxy.Unhook(hook);
}

TEST(Proxy, ForeignAndTruncatedNotificationsAreIgnored) {
    CMasterStandIn standIn;
    standIn.master.Set(kVs, 1);
    standIn.master.Set(L"ZOLT_SUB_OTHER", 50);
    CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    CRecordingHook hook;
    proxy.Hook(hook);
    EXPECT_EQ(Read(proxy, L"SRV"), 1);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_OTHER"), 50);
    DBG::CCaptureLog log;

    CIPCMsgBuffer foreign;  // not the service's mark
    foreign << 5u;
    P::WriteSubject(foreign, kNullPolicy);
    foreign << OS::x_wstring(L"SRV") << 3;
    CIPCMsgBuffer truncated;  // the mark and the policy subject, no server
    truncated << P::kNotificationMark;
    P::WriteSubject(truncated, kNullPolicy);
    CIPCMsgBuffer empty;
    standIn.NotifyRaw(kVs, foreign);
    standIn.NotifyRaw(kVs, truncated);
    standIn.NotifyRaw(kVs, empty);
    // Notifications of one publisher arrive in order: once this one is in, the others were
    // handled.
    hook.Expect(1);
    standIn.Notify(L"ZOLT_SUB_OTHER", L"SRV", 3);
    ASSERT_TRUE(hook.Wait());

    EXPECT_EQ(hook.Calls(),
              (std::vector<CCall>{CCall{L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_OTHER", 3}}));
    EXPECT_EQ(Prefixed(log, DBG::LVL_INFO, L"CCfgProxy::operator()"),
              (std::vector<OS::x_wstring>{L"CCfgProxy::operator(), subject id=ZOLT_SUB_CFG_VS_RS)",
                                          L"CCfgProxy::operator(), subject id=ZOLT_SUB_CFG_VS_RS)",
                                          L"CCfgProxy::operator(), subject id=ZOLT_SUB_CFG_VS_RS)",
                                          L"CCfgProxy::operator(), subject id=ZOLT_SUB_OTHER)"}));
    EXPECT_EQ(Prefixed(log, DBG::LVL_WARNING, L"CCfgProxy::"),
              std::vector<OS::x_wstring>{L"CCfgProxy::operator(), incomplete notification ignored, "
                                         L"subject id=ZOLT_SUB_CFG_VS_RS"});
    const size_t queries = standIn.master.QueryCount();
    EXPECT_EQ(Read(proxy, L"SRV"), 1);  // still cached
    EXPECT_EQ(standIn.master.QueryCount(), queries);
    proxy.Unhook(hook);
}

TEST(Proxy, AVirtualServerEnvironmentChangeDropsEverySettingOfThatServer) {
    CMasterStandIn standIn;
    const OS::x_wstring env = L"ZOLT_SUB_CFG_VRS_ENV";
    for (const wchar_t* s : {L"ZOLT_SUB_A", L"ZOLT_SUB_B", L"ZOLT_SUB_C", env.c_str()})
        standIn.master.Set(s, 1);
    CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    EXPECT_EQ(Read(proxy, L"Srv1", L"ZOLT_SUB_C"), 1);
    EXPECT_EQ(Read(proxy, L"SRV1", L"ZOLT_SUB_A"), 1);
    EXPECT_EQ(Read(proxy, L"srv1", L"ZOLT_SUB_B"), 1);
    EXPECT_EQ(Read(proxy, L"SRV1", env), 1);
    EXPECT_EQ(Read(proxy, L"OTHER", L"ZOLT_SUB_A"), 1);
    ASSERT_EQ(proxy.GetCachedCount(), 5u);

    CRecordingHook plain, ccr(L"CCR_CONF_HOOK_ID");
    proxy.Hook(plain);
    proxy.Hook(ccr);
    plain.Expect(4);
    ccr.Expect(1);
    standIn.Notify(env, L"sRv1", 3);
    ASSERT_TRUE(plain.Wait());
    ASSERT_TRUE(ccr.Wait());

    // The other settings of the server, in the cache's key order (with the server as cached),
    // as deletions; then the change itself, with the server as received.
    EXPECT_EQ(plain.Calls(), (std::vector<CCall>{{L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_A", 4},
                                                 {L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_B", 4},
                                                 {L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_C", 4},
                                                 {L"sRv1", L"ZOLT_PLC_NULL", env, 3}}));
    EXPECT_EQ(ccr.Calls(), (std::vector<CCall>{{L"sRv1", L"ZOLT_PLC_NULL", env, 3}}));
    EXPECT_EQ(proxy.GetCachedCount(), 1u);  // OTHER's setting stays
    const size_t queries = standIn.master.QueryCount();
    EXPECT_EQ(Read(proxy, L"OTHER", L"ZOLT_SUB_A"), 1);
    EXPECT_EQ(standIn.master.QueryCount(), queries);
    EXPECT_EQ(Read(proxy, L"SRV1", L"ZOLT_SUB_B"), 1);
    EXPECT_EQ(standIn.master.QueryCount(), queries + 1);
    proxy.Unhook(plain);
    proxy.Unhook(ccr);
}

TEST(Proxy, HooksRegisterOnceAndAreCalledFromACopyOfTheList) {
    CMasterStandIn standIn;
    CTestableProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    proxy.UpdateSubjectID(CSubjectID(kVs), false);
    CRecordingHook first, second, neverRegistered;
    DBG::CCaptureLog log;
    proxy.Hook(first);
    proxy.Hook(first);
    proxy.Unhook(neverRegistered);
    EXPECT_EQ(log.Messages(DBG::LVL_ENTRY),
              (std::vector<OS::x_wstring>{L"CCfgProxy::Hook()", L"CCfgProxy::Hook()",
                                          L"CCfgProxy::Unhook()"}));
    EXPECT_EQ(log.Messages(DBG::LVL_EXIT), log.Messages(DBG::LVL_ENTRY));

    // The first call registers the second hook and unhooks itself: the running notification
    // goes on with the hooks it started with.
    first.OnCall([&] {
        proxy.Hook(second);
        proxy.Unhook(first);
    });
    first.Expect(1);
    standIn.Notify(kVs, L"SRV", 3);
    ASSERT_TRUE(first.Wait());
    second.Expect(1);
    standIn.Notify(kVs, L"SRV", 4);
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ(first.Calls().size(), 1u);
    EXPECT_EQ(second.Calls(), (std::vector<CCall>{CCall{L"SRV", L"ZOLT_PLC_NULL", kVs, 4}}));
    EXPECT_TRUE(neverRegistered.Calls().empty());
    proxy.Unhook(second);
}

TEST(Proxy, ASubjectIsObservedOnceAndItsLastChangeAskedForOnce) {
    CMasterStandIn standIn;
    standIn.Notify(L"ZOLT_SUB_KEPT", L"SRV", 5);  // published before anyone observed it
    CTestableProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    CRecordingHook hook;
    proxy.Hook(hook);
    EXPECT_TRUE(proxy.GetSubjectIDVector().empty());

    // The kept change is delivered before UpdateSubjectID returns.
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_KEPT"), true);
    EXPECT_EQ(hook.Calls(),
              (std::vector<CCall>{CCall{L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_KEPT", 5}}));
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_KEPT"), true);
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_NEW"), false);
    EXPECT_EQ(hook.Calls().size(), 1u);
    EXPECT_EQ(proxy.GetSubjectIDVector(),
              (std::vector<CSubjectID>{CSubjectID(L"ZOLT_SUB_KEPT"), CSubjectID(L"ZOLT_SUB_NEW")}));
    proxy.Unhook(hook);
}

TEST(Proxy, APublisherRestartDropsTheWholeCache) {
    CMasterStandIn standIn;
    standIn.master.Set(kVs, 1);
    standIn.master.Set(L"ZOLT_SUB_OTHER", 50);
    CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    EXPECT_EQ(Read(proxy, L"SRV"), 1);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_OTHER"), 50);
    CRecordingHook hook;
    proxy.Hook(hook);
    DBG::CCaptureLog log;

    // Changes made while the publisher is away are never announced.
    standIn.StopPublisher();
    standIn.master.Set(kVs, 2);
    standIn.master.Set(L"ZOLT_SUB_OTHER", 51);
    hook.Expect(2);
    standIn.StartPublisher();
    ASSERT_TRUE(hook.Wait());  // the proxy reconnected by itself and told its hooks

    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", kVs, 3},
                                                {L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_OTHER", 3}}));
    EXPECT_EQ(Prefixed(log, DBG::LVL_WARNING, L"CCfgProxy:"),
              std::vector<OS::x_wstring>{L"CCfgProxy: notifications of ID_ZOLT_MASTER may have "
                                         L"been missed (publisher restarted); dropping the cache"});
    EXPECT_EQ(proxy.GetCachedCount(), 0u);
    EXPECT_EQ(Read(proxy, L"SRV"), 2);
    EXPECT_EQ(Read(proxy, L"SRV", L"ZOLT_SUB_OTHER"), 51);
    proxy.Unhook(hook);
}

// Readers on several threads keep filling the cache while the value changes; after each
// change's hook call, a read must give the new value (a fill that raced with the change must
// not have cached the old one).
TEST(ProxyConcurrency, ReadersRacingWithChangesNeverCacheAnOldValue) {
    CMasterStandIn standIn;
    standIn.master.Set(kVs, 0);
    CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
    EXPECT_EQ(Read(proxy, L"SRV"), 0);
    CRecordingHook hook;
    proxy.Hook(hook);

    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                CVirusScan s;
                proxy.GetConfigurationSettings(L"SRV", kNullPolicy, s);
            }
            CRPCClientHelper::CloseThreadConnections();
        });
    }
    constexpr int kChanges = 40;
    for (int i = 1; i <= kChanges; ++i) {
        standIn.master.Set(kVs, i);
        hook.Expect(static_cast<size_t>(i));
        standIn.Notify(kVs, L"SRV", 3);
        ASSERT_TRUE(hook.Wait());
        ASSERT_EQ(Read(proxy, L"SRV"), i) << "after change " << i;
    }
    stop = true;
    for (auto& t : readers) t.join();
    proxy.Unhook(hook);
}

}  // namespace
