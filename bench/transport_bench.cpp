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

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcFrame.h"
#include "tests/support/TempDir.h"

namespace {

constexpr size_t kPayload = 1024;  // bytes of the request and of the reply

bool RecvAll(int fd, void* p, size_t n) {
    auto* b = static_cast<char*>(p);
    while (n) {
        ssize_t r = ::recv(fd, b, n, 0);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool SendAll(int fd, const void* p, size_t n) {
    auto* b = static_cast<const char*>(p);
    while (n) {
        ssize_t r = ::send(fd, b, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

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
        while (RecvAll(fd, buf.data(), 8)) {
            uint32_t n;
            std::memcpy(&n, buf.data() + 4, 4);
            if (!RecvAll(fd, buf.data() + 8, n) || !SendAll(fd, buf.data(), 8 + n)) break;
        }
        ::close(fd);
    });
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<char> out(8 + kPayload, 'x'), in(8 + kPayload);
    uint32_t n = kPayload;
    std::memcpy(out.data() + 4, &n, 4);
    for (auto _ : state) {
        SendAll(fd, out.data(), out.size());
        RecvAll(fd, in.data(), 8);
        RecvAll(fd, in.data() + 8, kPayload);
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

// Keeps the wall time per iteration (the median when repetitions are asked for) and prints the
// ratio of SendRequest to the floor at the end.
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration && !m_median.count(name))
                m_times[name] = run.GetAdjustedRealTime();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_times[name] = run.GetAdjustedRealTime();
                m_median[name] = true;
            }
        }
    }
    void PrintRatios() const {
        const auto floor = m_times.find("BM_Floor_RawUnixSocketRoundTrip/real_time");
        if (floor == m_times.end() || floor->second <= 0) return;
        for (const auto& [name, time] : m_times)
            if (name != floor->first)
                std::printf("ratio %-40s / floor = %.2f (wall time)\n", name.c_str(),
                            time / floor->second);
    }

  private:
    std::map<std::string, double> m_times;
    std::map<std::string, bool> m_median;
};

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
