// Tests of the caching proxy against a stand-in master component in the same process: one
// query for repeated reads, failed reads, the change notification (drop, hooks, ignored
// bodies), the virtual-server environment flush, hook registration, subscriptions, a
// publisher restart, and readers racing with changes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/cfg_Proxy.h"
#include "outside/log/DebugLog.h"
#include "tests/client/ProxyTestSupport.h"

using namespace proxytest;
using Texts = std::vector<OS::x_wstring>;

namespace {

const CSubjectID kNullPolicy(L"ZOLT_PLC_NULL");
const OS::x_wstring kVs = L"ZOLT_SUB_CFG_VS_RS";
const OS::x_wstring kOther = L"ZOLT_SUB_OTHER";
const OS::x_wstring kNew = L"ZOLT_SUB_NEW";

// A proxy on a stand-in master, with a recording hook (declared before the proxy, so the proxy
// goes first and never calls a hook that is gone).
class Proxy : public ::testing::Test {
  protected:
    Proxy() { proxy.Hook(hook); }
    int Read(const OS::x_wstring& server, const OS::x_wstring& subject = kVs) {
        CVirusScan s(subject);
        return proxy.GetConfigurationSettings(server, kNullPolicy, s) ? s.MaxSize() : -100;
    }
    // Caches kVs = 1 and kOther = 50 of "SRV".
    void CacheTwo() {
        standIn.master.Set(kVs, 1);
        standIn.master.Set(kOther, 50);
        EXPECT_EQ(Read(L"SRV"), 1);
        EXPECT_EQ(Read(L"SRV", kOther), 50);
    }
    // Publishes a change and waits until the hook has had `calls` calls in all.
    void Change(const OS::x_wstring& subject, const OS::x_wstring& server, int kind, size_t calls) {
        hook.Expect(calls);
        standIn.Notify(subject, server, kind);
        ASSERT_TRUE(hook.Wait());
    }

    CMasterStandIn standIn;
    CRecordingHook hook;
    CTestableProxy proxy{CComponentID(L"ID_ZOLT_TEST_CLIENT")};
};

TEST_F(Proxy, ReadsOnceFromTheServiceAndThenFromTheCache) {
    standIn.master.Set(kVs, 111);
    EXPECT_EQ(Read(L"SRV"), 111);
    CVirusScan second;
    ASSERT_TRUE(proxy.GetConfigurationSettings(L"srv", kNullPolicy, second));  // any letter case
    EXPECT_EQ(second.MaxSize(), 111);

    EXPECT_EQ(standIn.master.Queries(), Texts{L"SRV:ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS"});
    EXPECT_EQ(proxy.GetSubjectIDVector(), std::vector<CSubjectID>{CSubjectID(kVs)});
    EXPECT_EQ(proxy.GetCachedCount(), 1u);

    // Another policy subject is another key.
    CVirusScan other;
    ASSERT_TRUE(proxy.GetConfigurationSettings(L"SRV", CSubjectID(L"ZOLT_PLC_X"), other));
    EXPECT_EQ(standIn.master.QueryCount(), 2u);
}

TEST_F(Proxy, AFailedReadCachesNothingButObservesTheSubject) {
    // With no publisher to announce changes the answer is not kept for later reads, but the
    // read still fails when the cache refuses the setting.
    standIn.StopPublisher();
    standIn.master.Set(kOther, 5);
    CUnstorable unstorable(kOther);
    EXPECT_FALSE(proxy.GetConfigurationSettings(L"SRV", kNullPolicy, unstorable));
    standIn.StartPublisher();

    CVirusScan s(L"ZOLT_SUB_UNKNOWN");
    s.AddFieldValue(L"VS_MAX_SIZE", CVar(7));
    EXPECT_FALSE(proxy.GetConfigurationSettings(L"SRV", kNullPolicy, s));
    EXPECT_EQ(s.MaxSize(), 7);  // a refused query leaves the setting alone
    EXPECT_EQ(proxy.GetCachedCount(), 0u);
    EXPECT_EQ(proxy.GetSubjectIDVector(),
              (std::vector<CSubjectID>{CSubjectID(kOther), CSubjectID(L"ZOLT_SUB_UNKNOWN")}));

    // The subscription is live: a change of that subject reaches the hook.
    Change(L"ZOLT_SUB_UNKNOWN", L"SRV", 3, 1);
    EXPECT_EQ(hook.Calls(),
              (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_UNKNOWN", 3}}));

    // Nothing was cached: the next read asks again, and now finds it.
    standIn.master.Set(L"ZOLT_SUB_UNKNOWN", 8);
    EXPECT_EQ(Read(L"SRV", L"ZOLT_SUB_UNKNOWN"), 8);
    EXPECT_EQ(standIn.master.QueryCount(), 3u);
}

TEST_F(Proxy, AChangeDropsTheEntryThenCallsTheHooksAndOtherBodiesAreIgnored) {
    CacheTwo();
    DBG::CCaptureLog log;

    // Bodies not of the service (no mark), cut short, or empty drop nothing and call no hook;
    // notifications of one publisher arrive in order, so once the change below is in, these
    // were handled.
    CIPCMsgBuffer foreign, truncated, empty;
    foreign << 5u;
    P::WriteSubject(foreign, kNullPolicy);
    foreign << OS::x_wstring(L"SRV") << 3;
    truncated << P::kNotificationMark;  // the mark and the policy subject, no server
    P::WriteSubject(truncated, kNullPolicy);
    for (const CIPCMsgBuffer* body : {&foreign, &truncated, &empty})
        standIn.NotifyRaw(kOther, *body);

    // The hook sees the entry already gone: a read from inside it goes to the service. A new
    // subject read there (twice, as a second reader would) is answered but not kept: the
    // publisher cannot acknowledge its subscription before the hook returns.
    std::atomic<int> readInHook{-1}, newInHook{-1};
    hook.OnCall([&] {
        readInHook = Read(L"SRV");
        newInHook = Read(L"SRV", kNew) * Read(L"SRV2", kNew);
    });
    standIn.master.Set(kVs, 2);
    standIn.master.Set(kNew, 3);
    Change(kVs, L"SRV", 3, 1);
    hook.OnCall(nullptr);
    EXPECT_EQ(readInHook, 2);
    EXPECT_EQ(newInHook, 9);
    standIn.master.Set(kNew, 4);  // changed before its subscription took effect: not announced
    EXPECT_EQ(Read(L"SRV", kNew), 4);
    EXPECT_EQ(Read(L"SRV2", kNew), 4);
    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", kVs, 3}}));
    EXPECT_TRUE(
        log.Contains(L"CCfgProxy::operator(), incomplete notification ignored, "
                     L"subject id=ZOLT_SUB_OTHER",
                     DBG::LVL_WARNING));
    EXPECT_EQ(Read(L"SRV"), 2);
    EXPECT_EQ(Read(L"SRV", kOther), 50);
    EXPECT_EQ(standIn.master.QueryCount(), 7u);  // the other setting stayed cached throughout

    // A deletion of a setting of another server drops nothing of this one.
    Change(kVs, L"SRV2", 4, 2);
    EXPECT_EQ(hook.Calls()[1], (CCall{L"SRV2", L"ZOLT_PLC_NULL", kVs, 4}));
    EXPECT_EQ(Read(L"SRV"), 2);
    EXPECT_EQ(standIn.master.QueryCount(), 7u);
}

TEST_F(Proxy, AVirtualServerEnvironmentChangeDropsEverySettingOfThatServer) {
    const OS::x_wstring env = L"ZOLT_SUB_CFG_VRS_ENV";
    for (const wchar_t* s : {L"ZOLT_SUB_A", L"ZOLT_SUB_B", L"ZOLT_SUB_C", env.c_str()})
        standIn.master.Set(s, 1);
    EXPECT_EQ(Read(L"Srv1", L"ZOLT_SUB_C"), 1);
    EXPECT_EQ(Read(L"SRV1", L"ZOLT_SUB_A"), 1);
    EXPECT_EQ(Read(L"srv1", L"ZOLT_SUB_B"), 1);
    EXPECT_EQ(Read(L"SRV1", env), 1);
    EXPECT_EQ(Read(L"OTHER", L"ZOLT_SUB_A"), 1);
    ASSERT_EQ(proxy.GetCachedCount(), 5u);

    CRecordingHook ccr(L"CCR_CONF_HOOK_ID");
    proxy.Hook(ccr);
    ccr.Expect(1);
    Change(env, L"sRv1", 3, 4);
    ASSERT_TRUE(ccr.Wait());
    proxy.Unhook(ccr);

    // The other settings of the server, in the cache's key order (with the server as cached),
    // as deletions; then the change itself, with the server as received.
    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{{L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_A", 4},
                                                {L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_B", 4},
                                                {L"sRv1", L"ZOLT_PLC_NULL", L"ZOLT_SUB_C", 4},
                                                {L"sRv1", L"ZOLT_PLC_NULL", env, 3}}));
    EXPECT_EQ(ccr.Calls(), (std::vector<CCall>{{L"sRv1", L"ZOLT_PLC_NULL", env, 3}}));
    EXPECT_EQ(proxy.GetCachedCount(), 1u);  // OTHER's setting stays
    const size_t queries = standIn.master.QueryCount();
    EXPECT_EQ(Read(L"OTHER", L"ZOLT_SUB_A"), 1);
    EXPECT_EQ(standIn.master.QueryCount(), queries);
    EXPECT_EQ(Read(L"SRV1", L"ZOLT_SUB_B"), 1);
    EXPECT_EQ(standIn.master.QueryCount(), queries + 1);
}

TEST_F(Proxy, HooksRegisterOnceAndAreCalledFromACopyOfTheList) {
    proxy.UpdateSubjectID(CSubjectID(kVs), false);
    CRecordingHook second;
    proxy.Hook(hook);  // already registered in the fixture

    // The first call registers the second hook and unhooks the first: the running notification
    // goes on with the hooks it started with.
    hook.OnCall([&] {
        proxy.Hook(second);
        proxy.Unhook(hook);
    });
    Change(kVs, L"SRV", 3, 1);
    second.Expect(1);
    standIn.Notify(kVs, L"SRV", 4);
    ASSERT_TRUE(second.Wait());
    proxy.Unhook(second);
    EXPECT_EQ(hook.Calls().size(), 1u);
    EXPECT_EQ(second.Calls(), (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", kVs, 4}}));
}

TEST_F(Proxy, ASubjectIsObservedOnceAndItsLastChangeAskedForOnce) {
    standIn.Notify(L"ZOLT_SUB_KEPT", L"SRV", 5);  // published before anyone observed it
    EXPECT_TRUE(proxy.GetSubjectIDVector().empty());

    // The kept change is delivered before UpdateSubjectID returns.
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_KEPT"), true);
    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", L"ZOLT_SUB_KEPT", 5}}));
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_KEPT"), true);
    proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_NEW"), false);
    EXPECT_EQ(hook.Calls().size(), 1u);
    EXPECT_EQ(proxy.GetSubjectIDVector(),
              (std::vector<CSubjectID>{CSubjectID(L"ZOLT_SUB_KEPT"), CSubjectID(L"ZOLT_SUB_NEW")}));
}

TEST_F(Proxy, APublisherRestartDropsTheWholeCache) {
    CacheTwo();
    DBG::CCaptureLog log;

    // Changes made while the publisher is away are never announced. What was cached before is
    // not served even before the reconnection's drop has run.
    standIn.StopPublisher();
    standIn.master.Set(kVs, 2);
    standIn.master.Set(kOther, 51);
    std::atomic<int> readBeforeDrop{-1};
    proxy.BeforeReconnectDrop([&] { readBeforeDrop = Read(L"SRV"); });
    hook.Expect(2);
    standIn.StartPublisher();
    ASSERT_TRUE(hook.Wait());  // the proxy reconnected by itself and told its hooks
    proxy.BeforeReconnectDrop(nullptr);
    EXPECT_EQ(readBeforeDrop, 2);

    EXPECT_EQ(hook.Calls(), (std::vector<CCall>{{L"SRV", L"ZOLT_PLC_NULL", kVs, 3},
                                                {L"SRV", L"ZOLT_PLC_NULL", kOther, 3}}));
    EXPECT_TRUE(
        log.Contains(L"CCfgProxy: notifications of ID_ZOLT_MASTER may have "
                     L"been missed (publisher restarted); dropping the cache",
                     DBG::LVL_WARNING));
    EXPECT_EQ(proxy.GetCachedCount(), 0u);
    EXPECT_EQ(Read(L"SRV"), 2);
    EXPECT_EQ(Read(L"SRV", kOther), 51);
}

// Readers on several threads keep filling the cache while the value changes; after each
// change's hook call, a read must give the new value (a fill that raced with the change must
// not have cached the old one).
class ProxyConcurrency : public Proxy {};

TEST_F(ProxyConcurrency, ReadersRacingWithChangesNeverCacheAnOldValue) {
    standIn.master.Set(kVs, 0);
    EXPECT_EQ(Read(L"SRV"), 0);
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
    for (int i = 1; i <= 40; ++i) {
        standIn.master.Set(kVs, i);
        Change(kVs, L"SRV", 3, static_cast<size_t>(i));
        ASSERT_EQ(Read(L"SRV"), i) << "after change " << i;
    }
    stop = true;
    for (auto& t : readers) t.join();
}

}  // namespace
