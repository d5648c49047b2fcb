// The batch handlers against a scripted store: exact replies and store calls of the batch query
// and modify (plain and bulk), the replication filter dropping a setting, the notifications, the
// single sign-on message, the DLP update command and the audit entry as the command channel,
// the observer and the audit file see them, and the answers to truncated and lying requests.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "outside/audit/AuditLog.h"
#include "outside/command/CCmdAgent.h"
#include "outside/log/DebugLog.h"
#include "outside/mailserver/CExchangeServer.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/LogText.h"

using namespace servicetest;
using OS::x_wstring;
using Lines = std::vector<x_wstring>;

namespace {

const wchar_t kComponent[] = L"ID_TEST_BATCH";
const wchar_t kProductKey[] = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";
const wchar_t kMailKey[] = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\MailServer";
constexpr unsigned long kEveryRole = 0x10F;

// The master as the command channel shows it: the commands and raw requests it was given.
class CRecordingChannel : public CMasterChannel {
  public:
    struct CCommand {
        int code;
        x_wstring server;
        x_wstring parameter;
    };
    std::vector<CCommand> commands;
    int commandState = CCmdQueryResult::STATE_PENDING;
    std::vector<std::vector<unsigned char>> requests;
    std::function<void(CIPCMsgBuffer&)> answer = [](CIPCMsgBuffer& r) { r << 462u << 0u; };

    int Execute(const CComponentID& component, const CCmdExecuteParam& param, CCmdCallback*,
                CCmdQueryResult& result) override {
        EXPECT_EQ(component.GetIDString(), L"ID_ZOLT_MASTER");
        EXPECT_FALSE(param.m_CommandID.IsNull());
        x_wstring text;
        CIPCMsgBuffer p = param.m_Parameter;
        p >> text;
        EXPECT_EQ(p.GetCurrentSize(), 0u);
        commands.push_back({param.m_nCommandCode, param.m_strServer, text});
        result.m_nState = commandState;
        return 0;
    }
    void SendRequest(const CComponentID& component, const CIPCMsgBuffer& request,
                     CIPCMsgBuffer& reply) override {
        EXPECT_EQ(component.GetIDString(), L"ID_ZOLT_MASTER");
        requests.push_back(Bytes(request));
        answer(reply);
    }
};

void SetText(const std::filesystem::path& file, const wchar_t* key, const wchar_t* name,
             const wchar_t* value) {
    OS::CRegKey k;
    ASSERT_EQ(k.OpenInFile(file.string(), HKEY_LOCAL_MACHINE, key, KEY_ALL_ACCESS, true), 0);
    ASSERT_EQ(k.SetValue(name, value), 0);
}

// One item of a batch query reply (and of a batch modify request).
struct CItem {
    int result;
    P::CKey key;
    std::vector<std::pair<x_wstring, CVar>> fields;
};

CItem Item(const wchar_t* category, const wchar_t* subject,
           std::vector<std::pair<x_wstring, CVar>> fields = {{L"F", CVar(1)}}) {
    return CItem{0, Key(L"SRC", L"POL", subject, category), std::move(fields)};
}
CItem Failed(int result) {
    return CItem{result, {}, {}};
}

// A batch modify body (action 4): the header of the request, then the items, whose count it
// gives as `count` when that is not -1.
CIPCMsgBuffer ModifyBatchBody(const std::vector<CItem>& items, bool notify = true,
                              int sourceType = 0, int count = -1) {
    CIPCMsgBuffer b;
    b << 4 << x_wstring(L"TGT") << x_wstring(L"SRC") << x_wstring(L"admin") << sourceType << -1
      << notify << (count == -1 ? static_cast<int>(items.size()) : count);
    for (const auto& item : items) {
        b << item.result;
        if (item.result != 0) continue;
        P::WriteKey(b, item.key);
        P::WriteSetting(b, Setting(item.key.category, item.fields));
    }
    return b;
}

CIPCMsgBuffer QueryBatchBody(const std::vector<P::CKey>& keys) {
    CIPCMsgBuffer b;
    b << static_cast<int>(keys.size());
    for (const auto& k : keys) P::WriteKey(b, k);
    return b;
}

class ServiceBatch : public ::testing::Test {
  protected:
    ServiceBatch()
        : m_tmp("zoltcfg-batch"),
          m_registry("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()),
          m_home("ZOLTCFG_HOME", (m_tmp / "home").string()),
          m_store(new CScriptedStore),
          m_service(kComponent, m_store),
          m_observers(CComponentID(L"ID_TEST_BATCH_OBSERVER")) {
        // The source: product 10.5 service pack 3; the target runs every mail-server role.
        SetText(m_tmp / "src", kProductKey, L"Version", L"10.5");
        SetText(m_tmp / "src", kProductKey, L"ServicePack", L"3");
        SetText(m_tmp / "src", kMailKey, L"FullVersion", L"2010.2");
        OS::CRegKey role;
        role.OpenInFile((m_tmp / "tgt").string(), HKEY_LOCAL_MACHINE, kMailKey, KEY_ALL_ACCESS,
                        true);
        role.SetValue(kEveryRole, L"ServerRole");
        SetText(m_tmp / "registry", kMailKey, L"FullVersion", L"2010.1");
        CRegUtil::MapRemoteHost(L"SRC", x_wstring::FromUtf8((m_tmp / "src").string()));
        CRegUtil::MapRemoteHost(L"TGT", x_wstring::FromUtf8((m_tmp / "tgt").string()));
        m_store->reportOwnSubject = true;
        m_previous = NS_Command::SetMasterChannel(&m_master);
        m_observers.Subscribe(CComponentID(kComponent), m_observer);
    }
    ~ServiceBatch() override {
        m_observers.Unsubscribe(CComponentID(kComponent), m_observer);
        NS_Command::SetMasterChannel(m_previous);
        CRegUtil::ClearRemoteHosts();
    }
    CIPCMsgBuffer Call(int id, const CIPCMsgBuffer& body) {
        return CallService(m_service, id, body);
    }
    Lines Notified() {
        Call(317, KeyBody(Key(L"TGT", L"POL", kSentinel)));
        return m_observer.TakeUntilSentinel(++m_sentinels);
    }
    // The audit file's entries, each without its time column.
    Lines AuditEntries() {
        Lines out;
        const auto file = std::filesystem::path(NS_Audit::AuditLogFile().ToUtf8());
        if (!std::filesystem::exists(file)) return out;
        std::istringstream text(testsupport::ReadFile(file));
        for (std::string line; std::getline(text, line);)
            out.push_back(x_wstring::FromUtf8(line.substr(line.find('\t') + 1)));
        return out;
    }

    CRuntimeDir m_runtime;
    testsupport::CTempDir m_tmp;
    testsupport::CScopedEnv m_registry;
    testsupport::CScopedEnv m_home;
    CScriptedStore* m_store;  // owned by the service
    CCfgControl m_service;
    CRecordingChannel m_master;
    CMasterChannel* m_previous = nullptr;
    CRecordingObserver m_observer{{L"ZOLT_SUB_CFG_VS_RS", L"ZOLT_SUB_CFG_MS"}};
    CObserverServerHelper m_observers;
    int m_sentinels = 0;
};

}  // namespace

// A batch query answers the count, then per key either the key and the setting as the store
// filled it, or -1 for a setting the store does not have; count 0 answers the count only.
TEST_F(ServiceBatch, BatchQueryAnswersEachKeyInOrderAndMinusOneForMissingSettings) {
    m_store->fill = {{L"VS_LEVEL", CVar(7)}};
    const P::CKey a = Key(L"SRC", L"POL", L"ZOLT_SUB_A"), b = Key(L"SRC", L"POL", L"ZOLT_SUB_B"),
                  c = Key(L"SRC", L"POL", L"ZOLT_SUB_C", L"QV_Alert");
    for (auto [id, warning] : {std::pair{309, L"m_pDB->GetConfiguration()"},
                               std::pair{347, L"m_pDB->GetBulkConfiguration()"}}) {
        SCOPED_TRACE(id);
        m_store->reads = {true, false, true};
        DBG::CCaptureLog log;
        CIPCMsgBuffer expected = Reply(id + 1) << 3 << 0;
        P::WriteKey(expected, a);
        P::WriteSetting(expected, Setting(L"QV_VirusScan", m_store->fill));
        expected << -1 << 0;
        P::WriteKey(expected, c);
        P::WriteSetting(expected, Setting(L"QV_Alert", m_store->fill));
        EXPECT_EQ(Bytes(Call(id, QueryBatchBody({a, b, c}))), Bytes(expected));
        EXPECT_TRUE(log.Contains(L"Number of setting to query = 3", DBG::LVL_INFO));
        EXPECT_TRUE(log.Contains(warning, DBG::LVL_WARNING));
        EXPECT_EQ(Bytes(Call(id, QueryBatchBody({}))), Bytes(ResultReply(id + 1, 0)));
    }
}

// The filter drops the never-replicated quarantine-disk alert; a failed source item and the
// dropped one add nothing to the reply, a store refusal answers -1 and the batch goes on. Every
// write goes to the target server under the item's policy and subject with the request's
// action, and only what was written is announced, under the target server.
TEST_F(ServiceBatch, BatchModifyStoresWhatTheFilterKeepsUnderTheTargetServer) {
    for (auto [id, op] : {std::pair{307, "Set"}, std::pair{349, "SetBulk"}}) {
        SCOPED_TRACE(id);
        m_store->calls.clear();
        m_store->writes = {true, false};
        DBG::CCaptureLog log;
        const auto body = ModifyBatchBody({Failed(-1), Item(L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS"),
                                           Item(L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_DISK"),
                                           Item(L"QV_VirusScan", L"ZOLT_SUB_CFG_MS")});
        EXPECT_EQ(Bytes(Call(id, body)), Bytes(Reply(id + 1) << 4 << 0 << -1));

        ASSERT_EQ(m_store->calls.size(), 2u);
        const CStoreCall& call = m_store->calls[0];
        EXPECT_EQ(std::tuple(call.op, call.server, call.index, call.action),
                  std::tuple(op, L"TGT", L"POL:ZOLT_SUB_CFG_VS_RS", 4));
        EXPECT_EQ(Notified(), Lines{L"ZOLT_SUB_CFG_VS_RS/POL/TGT/3/0"});

        EXPECT_TRUE(log.Contains(L"source server = SRC, dwVersion = 10.500000 nServicePack = 3",
                                 DBG::LVL_INFO));
        EXPECT_TRUE(log.Contains(L"Filter out setting, subject id: ZOLT_SUB_CFG_AL_QUARANTINE_DISK",
                                 DBG::LVL_INFO));
        EXPECT_TRUE(log.Contains(L"One specific item setting is failed to be retrieved (-1)",
                                 DBG::LVL_WARNING));
        // The target's role was asked for once and its set-up undone.
        EXPECT_EQ(CExchangeServerBase::CmdletInitCount(), 0);
    }
    // One audit entry per batch that wrote something; no DLP setting, no command.
    const x_wstring entry =
        L"2\t0\tTGT\tadmin\tSRC\t\tSettings were replicated from another server.";
    EXPECT_EQ(AuditEntries(), (Lines{entry, entry}));
    EXPECT_TRUE(m_master.commands.empty());
    EXPECT_TRUE(m_master.requests.empty());
}

// DLP settings collect their scan types in item order into one update command for the target;
// the administrator-group single sign-on setting sends 455 with its flag and the item's server,
// whatever the store then answers; a failing or unreachable master is
// logged and the batch goes on.
TEST_F(ServiceBatch, BatchModifyAsksTheMasterForSingleSignOnAndOneDlpUpdate) {
    const auto sso = Item(L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_SSO",
                          {{L"CFG_SSO_ENABLE", CVar(true)}, {L"CFG_OTHER", CVar(2)}});
    const auto body = ModifyBatchBody({Item(L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS"),
                                       Item(L"qv_dlpfilter", L"ZOLT_SUB_CFG_DLP_RS2"), sso,
                                       Item(L"QV_ManualScan", L"ZOLT_SUB_CFG_MS")},
                                      false, 3);
    m_store->writes = {true, true, false, true};
    DBG::CCaptureLog log;
    EXPECT_EQ(Bytes(Call(307, body)), Bytes(Reply(308) << 4 << 0 << 0 << -1 << 0));

    CIPCMsgBuffer ssoRequest;
    ssoRequest << 455 << true << x_wstring(L"SRC");
    ASSERT_EQ(m_master.requests, std::vector<std::vector<unsigned char>>{Bytes(ssoRequest)});
    ASSERT_EQ(m_master.commands.size(), 1u);
    const auto& command = m_master.commands[0];
    EXPECT_EQ(std::tuple(command.code, command.server, command.parameter),
              std::tuple(20, L"TGT", L"RSRSMS"));
    // Without the notify flag nothing is announced, but the audit entry is written.
    EXPECT_EQ(Notified(), Lines{});
    EXPECT_EQ(AuditEntries(),
              Lines{L"2\t3\tTGT\tadmin\tSRC\t\tSettings were replicated from another server."});

    // A refused switch, an unreachable master and a refused command: logged, nothing stops.
    const auto templates = Item(L"QV_DLPFilterTemplateMgr", L"ZOLT_SUB_CFG_DLP_TPL");
    m_master.commandState = CCmdQueryResult::STATE_FAILED;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        m_master.commands.clear();
        m_master.answer = [round](CIPCMsgBuffer& r) {
            if (round == 0) r << 462u << 1u;  // else nothing comes back
        };
        DBG::CCaptureLog again;
        EXPECT_EQ(Bytes(Call(307, ModifyBatchBody({sso, templates}))),
                  Bytes(Reply(308) << 2 << 0 << 0));
        EXPECT_EQ(m_master.commands.size(), 1u);
        EXPECT_TRUE(
            again.Contains(L"DLP policy update command cannot be submitted!", DBG::LVL_WARNING));
        EXPECT_TRUE(round == 0 ? again.Contains(L"ZOLT Set sso failed!", DBG::LVL_WARNING)
                               : again.Contains(L"Notify Other observer via IPC exception, code:1",
                                                DBG::LVL_ERROR));
    }
}

// Batches whose every item is skipped answer the count only and leave no trace: no write, no
// audit entry, no command.
TEST_F(ServiceBatch, BatchModifyOfNothingWrittenAnswersTheCountOnly) {
    const auto body = ModifyBatchBody(
        {Failed(-1), Failed(5), Item(L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_DISK")});
    EXPECT_EQ(Bytes(Call(307, body)), Bytes(ResultReply(308, 3)));
    // An empty batch, its layout byte for byte as docs/request-protocol.md shows it.
    const auto golden = testsupport::FromHex(
        "04000000 03000000 544754 03000000 535243 05000000 61646d696e 00000000 ffffffff 01 "
        "00000000");
    EXPECT_EQ(Bytes(ModifyBatchBody({})), golden);
    EXPECT_EQ(Bytes(Call(349, CIPCMsgBuffer::FromBytes(golden.data(), golden.size()))),
              testsupport::FromHex("5e010000 00000000"));

    EXPECT_TRUE(m_store->calls.empty());
    EXPECT_EQ(AuditEntries(), Lines{});
    EXPECT_TRUE(m_master.commands.empty());
}

// A request that ends early or lies about its count answers its reply id, what was answered so
// far, and -1, with the handler's error text; nothing is read beyond the request.
TEST_F(ServiceBatch, TruncatedAndLyingBatchRequestsAnswerTheReplyIdAndMinusOne) {
    const auto item = Item(L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS");
    CIPCMsgBuffer header;  // a batch-modify header cut after the source server
    header << 0 << x_wstring(L"TGT") << x_wstring(L"SRC");
    // A stored DLP setting, then the end: neither the DLP command nor the audit entry follow.
    const auto lyingModify =
        ModifyBatchBody({Item(L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS")}, true, 0, 3);  // 1 of 3
    CIPCMsgBuffer cutSetting = ModifyBatchBody({item});
    cutSetting = CIPCMsgBuffer::FromBytes(cutSetting.GetBuffer(), cutSetting.BytesUsed() - 3);
    CIPCMsgBuffer lyingQuery;
    lyingQuery << 2;
    P::WriteKey(lyingQuery, Key(L"SRC"));

    struct CCase {
        int id;
        CIPCMsgBuffer body;
        std::vector<int> answered;  // the items behind the reply id before the -1
        bool setting;               // a query's first entry (key and setting) comes first
    };
    const std::vector<CCase> cases = {
        {309, CIPCMsgBuffer(), {}, false}, {347, CIPCMsgBuffer() << -2, {-2}, false},
        {309, lyingQuery, {2, 0}, true},   {307, CIPCMsgBuffer(), {}, false},
        {349, header, {}, false},          {307, lyingModify, {3, 0}, false},
        {349, cutSetting, {1}, false},
    };
    const std::map<int, const wchar_t*> errorTexts = {
        {307, L"DoBatchModifySettings error coce("},
        {349, L"DoBatchModifyBulkSettings error coce("},
        {309, L"CCfgControl::DoBatchQuerySettings: error coce("},
        {347, L"CCfgControl::DoBatchQueryBulkSettings: error coce("}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.id << " after " << c.answered.size());
        DBG::CCaptureLog log;
        CIPCMsgBuffer expected = Reply(c.id + 1);
        for (size_t i = 0; i < c.answered.size(); ++i) {
            expected << c.answered[i];
            if (c.setting && i == 1) {
                P::WriteKey(expected, Key(L"SRC"));
                P::WriteSetting(expected, Setting(L"QV_VirusScan", {}, false));
            }
        }
        expected << -1;
        EXPECT_EQ(Bytes(Call(c.id, c.body)), Bytes(expected));
        EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_ERROR, errorTexts.at(c.id)));
    }
    EXPECT_TRUE(m_master.commands.empty());
    EXPECT_EQ(AuditEntries(), Lines{});
}

// The log path of a virtual server comes from its environment setting as the master keeps it;
// the audit entry of a batch records it. A master that is absent or reports the virtual server
// off gives no path.
TEST_F(ServiceBatch, GetLogPathnameReadsTheEnvironmentSettingFromTheMaster) {
    x_wstring path = L"unchanged";
    DBG::CCaptureLog log;
    EXPECT_FALSE(GetLogPathname(L"TGT", path));
    EXPECT_TRUE(log.Contains(L"Fail to retrieve virtual server setting", DBG::LVL_ERROR));
    auto* masterStore = new CScriptedStore;
    masterStore->fill = {{L"VSE_SERVER_STATUS", CVar(false)},
                         {L"VSE_LOG_FILENAME", CVar(L"/srv/tgt/dbconf_Log.xml")}};
    CCfgControl master(L"ID_ZOLT_MASTER", masterStore);
    EXPECT_FALSE(GetLogPathname(L"TGT", path));
    EXPECT_TRUE(log.Contains(L"The virtual server(TGT) is off", DBG::LVL_ERROR));
    EXPECT_EQ(path, L"unchanged");

    masterStore->fill[0].second = CVar(true);
    EXPECT_TRUE(GetLogPathname(L"TGT", path));
    EXPECT_EQ(path, L"/srv/tgt/dbconf_Log.xml");
    Call(307, ModifyBatchBody({Item(L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS")}));
    EXPECT_EQ(AuditEntries(),
              Lines{L"2\t0\tTGT\tadmin\tSRC\t/srv/tgt/dbconf_Log.xml\tSettings were "
                    L"replicated from another server."});
}
