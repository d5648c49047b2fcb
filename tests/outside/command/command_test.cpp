// The command layer: command ids, the default channel (commands recorded in the debug log and
// accepted as pending, raw requests over RPC to the component), and a channel of the caller's.
#include <gtest/gtest.h>

#include <set>

#include "outside/command/CCmdAgent.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/CRPCServerParameter.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

// Answers 455 with 462 and the inverse of the flag it was sent.
class CMaster : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{455};
        *count = 1;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        bool enabled = false;
        x_wstring server;
        request >> enabled >> server;
        reply << 462u << (enabled ? 0u : 1u) << server;
    }
};

CCmdExecuteParam Command(const wchar_t* parameter) {
    CCmdExecuteParam p;
    p.m_CommandID = CGUID::NewGUID();
    p.m_strServer = L"TGT";
    p.m_nCommandCode = 20;
    p.m_Parameter << x_wstring(parameter);
    return p;
}

}  // namespace

TEST(CommandIds, AreRandomVersionFourIdsInTheirUsualTextForm) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 100; ++i) {
        const x_wstring text = CGUID::NewGUID().ToString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[8], L'-');
        EXPECT_EQ(text[14], L'4');
        EXPECT_NE(std::wstring(L"89ab").find(text[19]), std::wstring::npos) << text.ToUtf8();
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_TRUE(CGUID().IsNull());
}

TEST(MasterChannel, DefaultRecordsCommandsAndSendsRequestsOverRpc) {
    testsupport::CTempDir runtime;
    testsupport::CScopedEnv env("ZOLTCFG_RUNTIME_DIR", runtime.Str());
    {
        DBG::CCaptureLog log;
        const CCmdExecuteParam param = Command(L"RSMS");
        CCmdQueryResult result;
        EXPECT_EQ(CCmdAgent(CComponentID(L"ID_ZOLT_MASTER")).Execute(param, nullptr, result), 0);
        EXPECT_EQ(result.m_nState, CCmdQueryResult::STATE_PENDING);
        EXPECT_EQ(log.Messages(DBG::LVL_INFO),
                  std::vector<x_wstring>{L"Command 20 (" + param.m_CommandID.ToString() +
                                         L") for server TGT to ID_ZOLT_MASTER: RSMS"});
    }
    CIPCMsgBuffer request, reply;
    request << 455 << true << x_wstring(L"SRV");
    EXPECT_THROW(NS_Command::SendToMaster(CComponentID(L"ID_TEST_MASTER"), request, reply),
                 CRPCException);
    CMaster master;
    CRPCServerHelper server(CComponentID(L"ID_TEST_MASTER"), CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(master);
    NS_Command::SendToMaster(CComponentID(L"ID_TEST_MASTER"), request, reply);
    CIPCMsgBuffer expected;
    expected << 462u << 0u << x_wstring(L"SRV");
    EXPECT_EQ(std::vector<unsigned char>(reply.GetBuffer(), reply.GetBuffer() + reply.BytesUsed()),
              std::vector<unsigned char>(expected.GetBuffer(),
                                         expected.GetBuffer() + expected.BytesUsed()));
    server.UnRegisterHandler(master);
    CRPCClientHelper::CloseThreadConnections();
}

TEST(MasterChannel, AnInstalledChannelTakesEverythingUntilTheDefaultIsBack) {
    struct CCounting : CMasterChannel {
        int commands = 0, requests = 0;
        int Execute(const CComponentID&, const CCmdExecuteParam&, CCmdCallback*,
                    CCmdQueryResult& r) override {
            ++commands;
            r.m_nState = CCmdQueryResult::STATE_FAILED;
            return 5;
        }
        void SendRequest(const CComponentID&, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) override {
            ++requests;
            reply << 1;
        }
    } counting;
    EXPECT_EQ(NS_Command::SetMasterChannel(&counting), nullptr);
    CCmdQueryResult result;
    EXPECT_EQ(CCmdAgent(CComponentID(L"X")).Execute(Command(L"SS"), nullptr, result), 5);
    EXPECT_EQ(result.m_nState, CCmdQueryResult::STATE_FAILED);
    CIPCMsgBuffer reply;
    NS_Command::SendToMaster(CComponentID(L"X"), CIPCMsgBuffer(), reply);
    EXPECT_EQ(counting.commands, 1);
    EXPECT_EQ(counting.requests, 1);
    EXPECT_EQ(NS_Command::SetMasterChannel(nullptr), &counting);
    CCmdQueryResult pending;
    EXPECT_EQ(CCmdAgent(CComponentID(L"X")).Execute(Command(L"SS"), nullptr, pending), 0);
    EXPECT_EQ(pending.m_nState, CCmdQueryResult::STATE_PENDING);
    EXPECT_EQ(counting.commands, 1);
}
