// The folder mirror against rsync -a --delete between the same source and a target of its own:
// a tree of 10,000 files in 100 folders (every hundredth file 1 MiB, the others 1 to 32 KiB;
// about 200 MB in all) where 1% of the files changed since the last run, and where nothing
// changed. Each run first rewrites the changed files outside the timing, with a modification
// time later than any before.
// Thread rule: one thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "outside/common/x_wstring.h"
#include "outside/log/DebugLog.h"
#include "replication/cfg_FolderMirror.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 10000;

struct CTree {
    testsupport::CTempDir dir{"zoltcfg-syncbench"};
    fs::path src = dir.Path() / "src", mirror = dir.Path() / "mirror", rsync = dir.Path() / "rsync";
    long long stamp = 1700000000;  // seconds; every rewrite takes the next one
    int next = 0;                  // the next file to change

    static size_t SizeOf(int i) { return i % 100 == 0 ? (1u << 20) : (1024u << (i % 6)); }
    fs::path PathOf(int i) const {
        char rel[64];
        std::snprintf(rel, sizeof rel, "d%d/f%d.bin", i % 100, i);
        return src / rel;
    }
    void Write(int i, char fill) {
        const std::string bytes(SizeOf(i), fill);
        const int fd = open(PathOf(i).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
        const struct timespec t[2] = {{stamp, 0}, {stamp, 0}};
        futimens(fd, t);
        close(fd);
    }
    CTree() {
        for (int d = 0; d < 100; ++d) fs::create_directories(PathOf(d).parent_path());
        for (int i = 0; i < kFiles; ++i) Write(i, 'a');
        ++stamp;
        Mirror();
        Rsync();
    }
    // Rewrites `count` files with a newer time stamp.
    void Change(int count) {
        for (int k = 0; k < count; ++k, next = (next + 97) % kFiles) Write(next, 'b' + k % 20);
        ++stamp;
    }
    void Mirror() const {
        const auto s = OS::x_wstring::FromUtf8(src.string()),
                   t = OS::x_wstring::FromUtf8(mirror.string());
        CompareAndRemoveExtraFiles(s.c_str(), t.c_str());
        CopyFolderByXcopy(s.c_str(), t.c_str());
    }
    void Rsync() const {
        const std::string cmd =
            "rsync -a --delete '" + src.string() + "/' '" + rsync.string() + "/'";
        if (std::system(cmd.c_str()) != 0) std::abort();
    }
};

std::unique_ptr<CTree> g_tree;

CTree& Tree() {
    if (!g_tree) g_tree = std::make_unique<CTree>();
    return *g_tree;
}

template <bool kMirror>
void Sync(benchmark::State& state) {
    CTree& tree = Tree();
    const int changed = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        tree.Change(changed);
        state.ResumeTiming();
        if (kMirror)
            tree.Mirror();
        else
            tree.Rsync();
    }
}

void BM_Floor_Rsync(benchmark::State& state) {
    Sync<false>(state);
}
void BM_Mirror(benchmark::State& state) {
    Sync<true>(state);
}

}  // namespace

// 100 changed files (1%), then none.
BENCHMARK(BM_Floor_Rsync)
    ->Arg(100)
    ->Arg(0)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mirror)->Arg(100)->Arg(0)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    return benchsupport::RunWithRatios(
        argc, argv,
        [](const benchsupport::CRatioReporter& r) {
            for (const char* arg : {"100", "0"}) {
                const std::string suffix = std::string("/") + arg + "/iterations:5/real_time";
                double ratio = 0;
                if (r.Ratio("BM_Mirror" + suffix, "BM_Floor_Rsync" + suffix, ratio))
                    std::printf(
                        "mirror / rsync -a --delete, %s files changed = %.2f (goal <= 2, "
                        "wall time)\n",
                        arg, ratio);
            }
            g_tree.reset();
        },
        benchsupport::CRatioReporter::ETime::kWall);
}
