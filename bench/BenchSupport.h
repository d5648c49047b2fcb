// What the benchmark programs share: the ten-field sample setting and its values, the sample
// home with a schema of the benchmark's own, a raw SQLite connection to its database with the
// store's floors (point SELECT and UPDATE of the sample row), a walk of a whole record set,
// whole-buffer socket reads and writes, a raw Unix-socket echo peer (the floor of a round trip),
// percentiles of timed samples, and a console reporter that keeps the time per iteration of every
// run for the ratios printed after the run.
// Thread rule: nothing here is shared between threads; each object belongs to its user's thread
// (the echo peer's own thread only serves its end of the socket pair).
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cfg_Setting.h"
#include "outside/db/CModifiableRecordSet.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace benchsupport {

// ---- the ten-field sample setting ---------------------------------------------------------------

// The field names of the sample category as a component declares them.
inline const std::vector<OS::x_wstring>& VirusScanFieldNames() {
    static const std::vector<OS::x_wstring> names = {
        L"VS_QUARANTINE_FOLDER", L"VS_NOTIFY_SENDER", L"VS_NOTIFY_SUBJECT", L"VS_ACTION_TEXT",
        L"VS_SCAN_EXTENSIONS",   L"VS_LOG_PREFIX",    L"VS_MAX_SIZE_KB",    L"VS_TIMEOUT_SEC",
        L"VS_ENABLED",           L"VS_CLEAN_FIRST"};
    return names;
}

// The column names of the sample table T10 (kTenFieldTable).
inline const std::vector<OS::x_wstring>& TableFieldNames() {
    static const std::vector<OS::x_wstring> names = {L"F0", L"F1", L"F2", L"F3", L"F4",
                                                     L"F5", L"F6", L"F7", L"F8", L"F9"};
    return names;
}

// Ten declared fields: six strings, two integers, two booleans, as a typical category has.
class CBenchSetting : public CCfgSettingCategoryBase {
  public:
    OS::x_wstring GetCategroyName() override { return L"QV_VirusScan"; }
    CSubjectID GetSubjectID() override { return CSubjectID(L"ZOLT_SUB_CFG_VS_RS"); }
    CCfgSettingCategoryBase* New() const override { return new CBenchSetting(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        const auto& names = VirusScanFieldNames();
        for (size_t n = 0; n < names.size(); ++n)
            if (!cb(static_cast<unsigned int>((n + 1) << 16 | 0x1F), names[n], CVar())) return;
    }
};

// The sample values under `names` (ten of them): variant `n` changes the log prefix and the
// size; `lastFlag` is the second boolean.
// REQUIRES: names.size() == 10.
inline void FillSample(CCfgSettingCategoryBase& s, const std::vector<OS::x_wstring>& names, int n,
                       bool lastFlag) {
    s.AddFieldValue(names[0], CVar(L"/var/lib/zoltcfg/quarantine/virus-scan"));
    s.AddFieldValue(names[1], CVar(L"postmaster@example.com"));
    s.AddFieldValue(names[2], CVar(L"A virus was found in a message you sent"));
    s.AddFieldValue(names[3], CVar(L"The attachment was removed by the scanner."));
    s.AddFieldValue(names[4], CVar(L"exe;com;scr;pif;bat;vbs;js;zip;rar;7z"));
    s.AddFieldValue(names[5], CVar(L"virusscan-" + std::to_wstring(n)));
    s.AddFieldValue(names[6], CVar(10240 + n));
    s.AddFieldValue(names[7], CVar(300));
    s.AddFieldValue(names[8], CVar(true));
    s.AddFieldValue(names[9], CVar(lastFlag));
}

// ---- the sample home and its database -----------------------------------------------------------

// The sample table: the ten fields of FillSample under TableFieldNames.
inline constexpr const char kTenFieldTable[] = R"XML(    <table name="T10">
      <column name="F0" type="string" default=""/>
      <column name="F1" type="string" default=""/>
      <column name="F2" type="string" default=""/>
      <column name="F3" type="string" default=""/>
      <column name="F4" type="string" default=""/>
      <column name="F5" type="string" default=""/>
      <column name="F6" type="int32" default="0"/>
      <column name="F7" type="int32" default="0"/>
      <column name="F8" type="bool" default="0"/>
      <column name="F9" type="bool" default="0"/>
    </table>
)XML";

// A schema file of version 1 holding `tables` (the <table> elements).
inline std::string SchemaOf(const std::string& tables) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<database>\n  <schema version=\"1\">\n" +
           tables + "  </schema>\n</database>\n";
}

// Creates the sample home in `home` with `schema` as its schema file.
inline void CreateHome(const std::filesystem::path& home, const std::string& schema) {
    testsupport::CreateSampleHome(home);
    testsupport::WriteFile(home / "config" / "dbSchema_Conf.xml", schema);
}

// Writes a registry file pointing at `home` into `registryFile` and makes this process use it.
inline void UseRegistryFor(const std::filesystem::path& registryFile,
                           const std::filesystem::path& home) {
    testsupport::WriteSampleRegistry(registryFile, home);
    setenv("ZOLTCFG_REGISTRY", registryFile.c_str(), 1);
}

// A raw connection to a database file with the database layer's journal mode and synchronous
// setting (WAL, FULL) and its busy timeout.
class CRawConnection {
  public:
    explicit CRawConnection(const std::filesystem::path& file) {
        sqlite3_open(file.c_str(), &m_db);
        sqlite3_busy_timeout(m_db, 30000);
        Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    }
    ~CRawConnection() { sqlite3_close(m_db); }
    CRawConnection(const CRawConnection&) = delete;
    CRawConnection& operator=(const CRawConnection&) = delete;

    sqlite3* Get() const { return m_db; }

    // Runs `sql`; a failure ends the program (the benchmark's data would be wrong).
    void Exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", sql.c_str(), err ? err : "");
            std::abort();
        }
    }

  private:
    sqlite3* m_db = nullptr;
};

// The floor of a point read: a prepared SELECT of the sample row (CFG_INDEX
// 'ZOLT_PLC_NULL:S1' of T10), every column read as the engine gives it.
class CRawPointSelect {
  public:
    explicit CRawPointSelect(sqlite3* db) {
        sqlite3_prepare_v2(db, "SELECT * FROM T10 WHERE CFG_INDEX = ?1", -1, &m_st, nullptr);
    }
    ~CRawPointSelect() { sqlite3_finalize(m_st); }
    CRawPointSelect(const CRawPointSelect&) = delete;
    CRawPointSelect& operator=(const CRawPointSelect&) = delete;

    // One read; false when the row is not there.
    bool Step() {
        sqlite3_bind_text(m_st, 1, "ZOLT_PLC_NULL:S1", -1, SQLITE_STATIC);
        const bool found = sqlite3_step(m_st) == SQLITE_ROW;
        long long sum = 0;
        if (found) {
            for (int c = 0; c < sqlite3_column_count(m_st); ++c) {
                if (sqlite3_column_type(m_st, c) == SQLITE_TEXT) {
                    sum += sqlite3_column_bytes(m_st, c);
                    benchmark::DoNotOptimize(sqlite3_column_text(m_st, c));
                } else {
                    sum += sqlite3_column_int64(m_st, c);
                }
            }
        }
        benchmark::DoNotOptimize(sum);
        sqlite3_reset(m_st);
        return found;
    }

  private:
    sqlite3_stmt* m_st = nullptr;
};

// The floor of a write: a prepared UPDATE of the sample row with the values FillSample(n,
// n % 2 == 0) gives.
class CRawUpdate {
  public:
    explicit CRawUpdate(sqlite3* db) {
        sqlite3_prepare_v2(db,
                           "UPDATE T10 SET F0=?1, F1=?2, F2=?3, F3=?4, F4=?5, F5=?6, F6=?7, F7=?8, "
                           "F8=?9, F9=?10 WHERE CFG_INDEX=?11",
                           -1, &m_st, nullptr);
    }
    ~CRawUpdate() { sqlite3_finalize(m_st); }
    CRawUpdate(const CRawUpdate&) = delete;
    CRawUpdate& operator=(const CRawUpdate&) = delete;

    // One write of variant `n`; false when it failed.
    bool Step(int n) {
        const std::string f5 = "virusscan-" + std::to_string(n);
        sqlite3_bind_text(m_st, 1, "/var/lib/zoltcfg/quarantine/virus-scan", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_st, 2, "postmaster@example.com", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_st, 3, "A virus was found in a message you sent", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_st, 4, "The attachment was removed by the scanner.", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_st, 5, "exe;com;scr;pif;bat;vbs;js;zip;rar;7z", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_st, 6, f5.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(m_st, 7, 10240 + n);
        sqlite3_bind_int(m_st, 8, 300);
        sqlite3_bind_int(m_st, 9, 1);
        sqlite3_bind_int(m_st, 10, n % 2 == 0);
        sqlite3_bind_text(m_st, 11, "ZOLT_PLC_NULL:S1", -1, SQLITE_STATIC);
        const bool done = sqlite3_step(m_st) == SQLITE_DONE;
        sqlite3_reset(m_st);
        return done;
    }

  private:
    sqlite3_stmt* m_st = nullptr;
};

// Walks `rs` from MoveFirst until IsEOF, reading every column of every row; gives the rows seen.
inline int WalkAllRows(CModifiableRecordSet& rs) {
    const long columns = rs.GetFieldCount();
    int n = 0;
    for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext()) {
        for (long c = 0; c < columns; ++c) benchmark::DoNotOptimize(rs.GetFieldValue(c));
        ++n;
    }
    return n;
}

// ---- socket floors ------------------------------------------------------------------------------

// Reads exactly `n` bytes from the socket; false on end of stream or error.
inline bool ReadAll(int fd, void* p, size_t n) {
    auto* b = static_cast<char*>(p);
    while (n) {
        const ssize_t r = ::recv(fd, b, n, 0);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Writes exactly `n` bytes to the socket; false when the peer is gone.
inline bool WriteAll(int fd, const void* p, size_t n) {
    const auto* b = static_cast<const char*>(p);
    while (n) {
        const ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        b += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A raw Unix-socket peer: reads a 4-byte length and that many bytes, answers a 4-byte length and
// `replySize` bytes.
class CEchoPeer {
  public:
    CEchoPeer() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CEchoPeer() {
        shutdown(m_fds[0], SHUT_RDWR);
        m_thread.join();
        close(m_fds[0]);
        close(m_fds[1]);
    }
    CEchoPeer(const CEchoPeer&) = delete;
    CEchoPeer& operator=(const CEchoPeer&) = delete;

    // One round trip: `request` out, a reply of `replySize` bytes back.
    void RoundTrip(const std::vector<unsigned char>& request, uint32_t replySize,
                   std::vector<unsigned char>& reply) {
        const uint32_t head[2] = {static_cast<uint32_t>(request.size()), replySize};
        std::vector<unsigned char> frame(reinterpret_cast<const unsigned char*>(head),
                                         reinterpret_cast<const unsigned char*>(head) + 8);
        frame.insert(frame.end(), request.begin(), request.end());
        WriteAll(m_fds[0], frame.data(), frame.size());
        uint32_t got = 0;
        ReadAll(m_fds[0], &got, 4);
        reply.resize(got);
        ReadAll(m_fds[0], reply.data(), got);
    }

  private:
    void Serve() {
        std::vector<unsigned char> in, out;
        for (;;) {
            uint32_t head[2];
            if (!ReadAll(m_fds[1], head, 8)) return;
            in.resize(head[0]);
            if (!ReadAll(m_fds[1], in.data(), head[0])) return;
            out.assign(4 + head[1], 0x5A);
            std::memcpy(out.data(), &head[1], 4);
            WriteAll(m_fds[1], out.data(), out.size());
        }
    }
    int m_fds[2];
    std::thread m_thread;
};

// ---- results ------------------------------------------------------------------------------------

// The `percent` percentile of `samples` (the sample at that rank, counted from the smallest);
// 0 when there are none.
inline double Percentile(std::vector<double> samples, unsigned percent) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, samples.size() * percent / 100)];
}

// A console reporter that also keeps the time per iteration of each run (the median when
// repetitions are asked for), CPU or wall time, for the ratios printed after the run.
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    enum class ETime { kCpu, kWall };
    explicit CRatioReporter(ETime time = ETime::kCpu) : m_time(time) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration && !m_median.count(name))
                m_times[name] = PerIteration(run);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_times[name] = PerIteration(run);
                m_median[name] = true;
            }
        }
    }

    // Seconds per iteration of each run, by run name ("BM_X", "BM_X/arg:1", "BM_X/real_time").
    const std::map<std::string, double>& Times() const { return m_times; }

    // Time of `a` over time of `b`; false when either did not run.
    bool Ratio(const std::string& a, const std::string& b, double& ratio) const {
        const auto ia = m_times.find(a), ib = m_times.find(b);
        if (ia == m_times.end() || ib == m_times.end() || ib->second <= 0) return false;
        ratio = ia->second / ib->second;
        return true;
    }

    // Prints "<what padded to width> <ratio>" when both ran.
    void PrintRatio(int width, const char* what, const std::string& a, const std::string& b) const {
        double r = 0;
        if (Ratio(a, b, r)) std::printf("%-*s %8.2f\n", width, what, r);
    }

    // Prints every other run against `floor`: "ratio <name> / floor = <ratio> (<time kind>)".
    void PrintAllAgainst(const std::string& floor, int nameWidth) const {
        const auto f = m_times.find(floor);
        if (f == m_times.end() || f->second <= 0) return;
        for (const auto& [name, time] : m_times)
            if (name != floor)
                std::printf("ratio %-*s / floor = %.2f (%s)\n", nameWidth, name.c_str(),
                            time / f->second, m_time == ETime::kCpu ? "CPU time" : "wall time");
    }

  private:
    double PerIteration(const Run& run) const {
        if (!run.iterations) return 0;
        const double total =
            m_time == ETime::kCpu ? run.cpu_accumulated_time : run.real_accumulated_time;
        return total / static_cast<double>(run.iterations);
    }

    ETime m_time;
    std::map<std::string, double> m_times;
    std::map<std::string, bool> m_median;
};

// The raw floor of a walk: a prepared SELECT over `table` stepped row by row, every column but the
// row id read as the engine gives it (text pointer and length, integer), or turned into variants
// when `variants` is set. Reports an error when the table does not hold `rows` rows.
inline void RawWalk(benchmark::State& state, sqlite3* db, const char* table, int rows,
                    bool variants) {
    sqlite3_stmt* st = nullptr;
    std::string sql = std::string("SELECT rowid, * FROM ") + table + " ORDER BY rowid";
    sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    const int columns = sqlite3_column_count(st);
    for (auto _ : state) {
        int n = 0;
        long long sum = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 1; c < columns; ++c) {
                if (sqlite3_column_type(st, c) == SQLITE_TEXT) {
                    const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    int len = sqlite3_column_bytes(st, c);
                    if (variants) {
                        benchmark::DoNotOptimize(
                            CVar(OS::Utf8ToWide(std::string_view(t, static_cast<size_t>(len)))));
                    } else {
                        benchmark::DoNotOptimize(t);
                        sum += len;
                    }
                } else if (variants) {
                    benchmark::DoNotOptimize(CVar(sqlite3_column_int(st, c)));
                } else {
                    sum += sqlite3_column_int64(st, c);
                }
            }
            ++n;
        }
        sqlite3_reset(st);
        if (n != rows) state.SkipWithError("wrong row count");
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_finalize(st);
}

// The body of a benchmark program's main: runs the benchmarks the command line names through the
// ratio reporter, then hands the reporter to `print` for the program's ratio lines.
inline int RunWithRatios(int& argc, char** argv,
                         const std::function<void(const CRatioReporter&)>& print,
                         CRatioReporter::ETime time = CRatioReporter::ETime::kCpu) {
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter(time);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print(reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace benchsupport
