// Cost of one request/reply round trip through CRPCClientHelper::SendRequest to an echo handler,
// against its floor in the same run: a raw Unix-socket round trip (blocking send and recv of a
// frame of the same size, echoed by a plain thread). Prints the ratio at the end (wall time:
// the work is split between two threads).
// Thread rule: each benchmark's client runs on the benchmark thread; servers on their own.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcFrame.h"
#include "tests/support/TempDir.h"

namespace {

constexpr size_t kPayload = 1024;  // bytes of the request and of the reply

using benchsupport::ReadAll;
using benchsupport::WriteAll;

void BM_Floor_RawUnixSocketRoundTrip(benchmark::State& state) {
    testsupport::CTempDir dir("zbench");
    const std::string path = dir.Str() + "/echo.sock";
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 1);
    std::thread echo([lfd] {
        int fd = ::accept(lfd, nullptr, nullptr);
        std::vector<char> buf(8 + kPayload);
        while (ReadAll(fd, buf.data(), 8)) {
            uint32_t n;
            std::memcpy(&n, buf.data() + 4, 4);
            if (!ReadAll(fd, buf.data() + 8, n) || !WriteAll(fd, buf.data(), 8 + n)) break;
        }
        ::close(fd);
    });
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<char> out(8 + kPayload, 'x'), in(8 + kPayload);
    uint32_t n = kPayload;
    std::memcpy(out.data() + 4, &n, 4);
    for (auto _ : state) {
        WriteAll(fd, out.data(), out.size());
        ReadAll(fd, in.data(), 8);
        ReadAll(fd, in.data() + 8, kPayload);
        benchmark::DoNotOptimize(in.data());
    }
    ::close(fd);
    echo.join();
    ::close(lfd);
}

class CEcho : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{301};
        *count = 1;
        return true;
    }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        reply.Put(request.GetCurrentBuffer(), static_cast<unsigned int>(request.GetCurrentSize()));
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
};

void BM_SendRequest_EchoHandler(benchmark::State& state) {
    testsupport::CTempDir dir("zbench");
    ::setenv("ZOLTCFG_RUNTIME_DIR", dir.Str().c_str(), 1);
    CEcho handler;
    CRPCServerHelper server(CComponentID(L"ID_BENCH"), CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(handler);
    CRPCClientHelper client(CComponentID(L"ID_BENCH"), nullptr);
    CIPCMsgBuffer request(1024, false), reply(1024, false);
    request << 301;
    std::vector<unsigned char> bytes(kPayload - 4, 'x');
    request.Put(bytes.data(), static_cast<unsigned int>(bytes.size()));
    for (auto _ : state) {
        client.SendRequest(request, reply);
        benchmark::DoNotOptimize(reply.GetBuffer());
    }
    if (reply.BytesUsed() != kPayload - 4) state.SkipWithError("wrong echo");
    CRPCClientHelper::CloseThreadConnections();
    server.UnRegisterHandler(handler);
    ::unsetenv("ZOLTCFG_RUNTIME_DIR");
}

BENCHMARK(BM_Floor_RawUnixSocketRoundTrip)->UseRealTime();
BENCHMARK(BM_SendRequest_EchoHandler)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    // Wall time: the work is split between two threads.
    return benchsupport::RunWithRatios(
        argc, argv,
        [](const benchsupport::CRatioReporter& r) {
            r.PrintAllAgainst("BM_Floor_RawUnixSocketRoundTrip/real_time", 40);
        },
        benchsupport::CRatioReporter::ETime::kWall);
}
