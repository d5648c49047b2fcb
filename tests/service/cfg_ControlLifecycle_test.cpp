// The service object's life (served ids, construction and destruction order, store ownership, a
// second instance on one endpoint, served through the RPC transport), and a remote service
// relaying to the master and answering its product values itself.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include <memory>

#include "outside/log/DebugLog.h"
#include "outside/registry/HomeDir.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/Caught.h"
#include "tests/support/FreePort.h"
#include "tests/support/SampleHome.h"

using namespace servicetest;

namespace {

// The master's stand-in: answers every request with its id and the bytes it received.
class CEchoMaster : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        static const int served[] = {2013, 2023, 801, 2035, 301, 305, 341, 999};
        *ids = new int[std::size(served)];
        std::copy(std::begin(served), std::end(served), *ids);
        *count = static_cast<int>(std::size(served));
        return true;
    }
    void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        reply << msgID;
        reply.Put(request.GetBuffer(), static_cast<unsigned int>(request.BytesUsed()));
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
};

}  // namespace

TEST(ServiceLifecycle, ServedIdsEndpointAndStoreOwnership) {
    CRuntimeDir runtime;
    DBG::CCaptureLog log;
    bool deleted = false;
    {
        CCfgControl service(L"ID_TEST_LIFE", new CScriptedStore(&deleted));
        int* ids = nullptr;
        int count = 0;
        ASSERT_TRUE(service.GetMsgID(&ids, &count));
        EXPECT_EQ(std::vector<int>(ids, ids + count),
                  (std::vector<int>{301, 303, 305, 313, 315, 309, 307,  311,  317,  319,  325,
                                    327, 329, 331, 333, 335, 337, 2032, 2033, 2035, 2034, 339,
                                    341, 343, 345, 347, 349, 901, 903,  905,  907,  909}));
        service.FreeMsgID(ids);
        EXPECT_TRUE(log.Contains(L"Local server", DBG::LVL_STARTUP));

        // A second service on the same endpoint is refused, and the store it was given freed.
        bool second = false;
        EXPECT_EQ(testsupport::CaughtCode<CRPCException>(
                      [&] { CCfgControl twice(L"ID_TEST_LIFE", new CScriptedStore(&second)); }),
                  CRPCException::ENDPOINT_IN_USE);
        EXPECT_TRUE(second);
    }
    EXPECT_TRUE(deleted);

    // A remote service neither uses nor frees a store it is given.
    deleted = false;
    CScriptedStore kept(&deleted);
    testsupport::CScopedEnv port("ZOLTCFG_RPC_PORT_ID_TEST_LIFE",
                                 std::to_string(testsupport::FreeTcpPort()));
    {
        CCfgControl remote(L"ID_TEST_LIFE", &kept, true);
        EXPECT_TRUE(log.Contains(L"Remote server", DBG::LVL_STARTUP));
    }
    EXPECT_FALSE(deleted);
}

TEST(ServiceLifecycle, RemoteServiceRelaysToTheMasterAndRunsFileIdsItself) {
    CRuntimeDir runtime;
    CEchoMaster echo;
    auto master = std::make_unique<CRPCServerHelper>(CComponentID(L"ID_ZOLT_MASTER"),
                                                     CRPCServerParameter(L"ncalrpc"));
    master->RegisterHandler(echo);

    testsupport::CScopedEnv port("ZOLTCFG_RPC_PORT_ID_TEST_REMOTE",
                                 std::to_string(testsupport::FreeTcpPort()));
    CCfgControl remote(L"ID_TEST_REMOTE", nullptr, true);

    CIPCMsgBuffer body = KeyBody(Key());
    const auto bodyBytes = Bytes(body);
    for (auto [id, relayed] : std::vector<std::pair<int, int>>{
             {2032, 2013}, {2033, 2023}, {2034, 801}, {2035, 2035}, {301, 301}, {341, 341}}) {
        SCOPED_TRACE(id);
        // The master saw the relayed id and every byte of the request behind it.
        CIPCMsgBuffer expected = CIPCMsgBuffer() << relayed;
        expected.Put(bodyBytes.data(), static_cast<unsigned int>(bodyBytes.size()));
        EXPECT_EQ(Bytes(CallService(remote, id, body)), Bytes(expected));
    }

    // File ids stay with the remote service (this body names no allowed path: the reply id, -1),
    // and so do the product values: this machine's own, a missing value empty.
    EXPECT_EQ(Bytes(CallService(remote, 325, body)), Bytes(ResultReply(326, -1)));
    testsupport::CTempDir tmp("zoltcfg-life");
    testsupport::WriteFile(tmp / "registry",
                           "[HKEY_LOCAL_MACHINE\\" + OS::x_wstring(OS::kProductRegKey).ToUtf8() +
                               "]\n\"Version\"=\"12.0\"\n\"PatchBuild\"=\"1500\"\n");
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    CIPCMsgBuffer values;
    P::WriteProductValuesReply(values, {L"12.0", L"", L"1500", L"", L""});
    EXPECT_EQ(Bytes(CallService(remote, 903, CIPCMsgBuffer())), Bytes(values));

    // With the master gone, relaying throws to the RPC library.
    master->UnRegisterHandler(echo);
    master.reset();
    CIPCMsgBuffer lost;
    EXPECT_THROW(remote(303, body, lost), OS::CException);
}
