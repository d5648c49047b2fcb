// The command layer's default channel: commands recorded in the debug log and accepted as
// pending, raw requests over RPC to the component. (The service's batch tests put a channel of
// their own in its place.)
#include <gtest/gtest.h>

#include "outside/command/CCmdAgent.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/CRPCServerParameter.h"
#include "tests/support/Bytes.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

// Echoes what it is sent behind 462.
class CMaster : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{455};
        *count = 1;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        reply << 462u;
        reply.Put(request.GetCurrentBuffer(), static_cast<unsigned int>(request.GetCurrentSize()));
    }
};

}  // namespace

TEST(MasterChannel, DefaultRecordsCommandsAndSendsRequestsOverRpc) {
    testsupport::CTempDir runtime;
    testsupport::CScopedEnv env("ZOLTCFG_RUNTIME_DIR", runtime.Str());
    CCmdExecuteParam param;
    param.m_CommandID = CGUID::NewGUID();
    param.m_strServer = L"TGT";
    param.m_nCommandCode = 20;
    param.m_Parameter << x_wstring(L"RSMS");
    CCmdAgent agent(CComponentID(L"ID_ZOLT_MASTER"));
    {
        DBG::CCaptureLog log;
        CCmdQueryResult result;
        EXPECT_EQ(agent.Execute(param, nullptr, result), 0);
        EXPECT_EQ(result.m_nState, CCmdQueryResult::STATE_PENDING);
        EXPECT_TRUE(log.Contains(L"Command 20 (" + param.m_CommandID.ToString() +
                                     L") for server TGT to ID_ZOLT_MASTER: RSMS",
                                 DBG::LVL_INFO));
    }
    CIPCMsgBuffer request, reply, expected;
    request << 455 << true << x_wstring(L"SRV");
    EXPECT_THROW(NS_Command::SendToMaster(CComponentID(L"ID_TEST_MASTER"), request, reply),
                 CRPCException);
    {
        CMaster master;
        CRPCServerHelper server(CComponentID(L"ID_TEST_MASTER"), CRPCServerParameter(L"ncalrpc"));
        server.RegisterHandler(master);
        NS_Command::SendToMaster(CComponentID(L"ID_TEST_MASTER"), request, reply);
        server.UnRegisterHandler(master);
        CRPCClientHelper::CloseThreadConnections();
    }
    expected << 462u << true << x_wstring(L"SRV");
    EXPECT_EQ(testsupport::Bytes(reply), testsupport::Bytes(expected));
}
