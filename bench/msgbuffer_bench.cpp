// Cost of writing and reading a setting-shaped message through CIPCMsgBuffer against its floor in
// the same run: the same bytes appended with memcpy into a reserved std::vector and read back
// with memcpy (no bounds checks, no UTF-8 conversion). Prints each case's ratio to its floor.
// Thread rule: single-threaded.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "outside/ipc/CIPCMsgBuffer.h"

namespace {

// Ten fields as a typical setting has them: a name, a value tag and a value each.
struct Field {
    OS::x_wstring name;
    unsigned short tag;
    OS::x_wstring text;  // tag 8
    int number;          // tag 3
};

std::vector<Field> MakeFields() {
    std::vector<Field> f;
    for (int i = 0; i < 10; ++i) {
        Field x;
        x.name = L"VSE_FIELD_NAME_" + std::to_wstring(i);
        x.tag = i % 2 ? 3 : 8;
        x.text = L"C:/Program Files/Scan/quarantine/" + std::to_wstring(i);
        x.number = i * 1000;
        f.push_back(x);
    }
    return f;
}

const std::vector<Field> kFields = MakeFields();

void WriteSetting(CIPCMsgBuffer& buf) {
    buf << true << static_cast<int>(kFields.size());
    for (const Field& f : kFields) {
        buf << f.name << f.tag;
        if (f.tag == 8)
            buf << f.text;
        else
            buf << f.number;
    }
}

// The floor: the same layout, narrow ASCII copied byte for byte, reads trusted.
void FloorAppend(std::vector<unsigned char>& out, const void* p, size_t n) {
    const size_t old = out.size();
    out.resize(old + n);
    std::memcpy(out.data() + old, p, n);
}

std::vector<std::string> NarrowNames() {
    std::vector<std::string> v;
    for (const Field& f : kFields) v.push_back(f.name.ToUtf8());
    return v;
}
std::vector<std::string> NarrowTexts() {
    std::vector<std::string> v;
    for (const Field& f : kFields) v.push_back(f.text.ToUtf8());
    return v;
}
const std::vector<std::string> kNames = NarrowNames();
const std::vector<std::string> kTexts = NarrowTexts();

void FloorWrite(std::vector<unsigned char>& out) {
    const unsigned char dirty = 1;
    const int count = static_cast<int>(kFields.size());
    FloorAppend(out, &dirty, 1);
    FloorAppend(out, &count, 4);
    for (size_t i = 0; i < kFields.size(); ++i) {
        const uint32_t n = static_cast<uint32_t>(kNames[i].size());
        FloorAppend(out, &n, 4);
        FloorAppend(out, kNames[i].data(), n);
        FloorAppend(out, &kFields[i].tag, 2);
        if (kFields[i].tag == 8) {
            const uint32_t t = static_cast<uint32_t>(kTexts[i].size());
            FloorAppend(out, &t, 4);
            FloorAppend(out, kTexts[i].data(), t);
        } else {
            FloorAppend(out, &kFields[i].number, 4);
        }
    }
}

void BM_Floor_Write(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<unsigned char> out;
        out.reserve(1024);
        FloorWrite(out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Buffer_Write(benchmark::State& state) {
    for (auto _ : state) {
        CIPCMsgBuffer buf(1024, false);
        WriteSetting(buf);
        benchmark::DoNotOptimize(buf.GetBuffer());
    }
}

void BM_Floor_Read(benchmark::State& state) {
    std::vector<unsigned char> bytes;
    FloorWrite(bytes);
    for (auto _ : state) {
        size_t p = 1;
        int count = 0;
        std::memcpy(&count, bytes.data() + p, 4);
        p += 4;
        for (int i = 0; i < count; ++i) {
            uint32_t n = 0;
            std::memcpy(&n, bytes.data() + p, 4);
            std::string name(reinterpret_cast<const char*>(bytes.data() + p + 4), n);
            p += 4 + n;
            unsigned short tag = 0;
            std::memcpy(&tag, bytes.data() + p, 2);
            p += 2;
            if (tag == 8) {
                std::memcpy(&n, bytes.data() + p, 4);
                std::string text(reinterpret_cast<const char*>(bytes.data() + p + 4), n);
                p += 4 + n;
                benchmark::DoNotOptimize(text);
            } else {
                int v = 0;
                std::memcpy(&v, bytes.data() + p, 4);
                p += 4;
                benchmark::DoNotOptimize(v);
            }
            benchmark::DoNotOptimize(name);
        }
    }
}

void BM_Buffer_Read(benchmark::State& state) {
    CIPCMsgBuffer buf;
    WriteSetting(buf);
    for (auto _ : state) {
        buf.Rewind();
        bool dirty = false;
        int count = 0;
        buf >> dirty >> count;
        for (int i = 0; i < count; ++i) {
            OS::x_wstring name;
            unsigned short tag = 0;
            buf >> name >> tag;
            if (tag == 8) {
                OS::x_wstring text;
                buf >> text;
                benchmark::DoNotOptimize(text);
            } else {
                int v = 0;
                buf >> v;
                benchmark::DoNotOptimize(v);
            }
            benchmark::DoNotOptimize(name);
        }
    }
}

BENCHMARK(BM_Floor_Write);
BENCHMARK(BM_Buffer_Write);
BENCHMARK(BM_Floor_Read);
BENCHMARK(BM_Buffer_Read);

// Each buffer case against the floor of the same direction (CPU time).
void PrintRatios(const benchsupport::CRatioReporter& r) {
    for (const char* dir : {"Write", "Read"}) {
        double ratio = 0;
        if (r.Ratio(std::string("BM_Buffer_") + dir, std::string("BM_Floor_") + dir, ratio))
            std::printf("ratio BM_Buffer_%-6s / floor = %.2f (CPU time)\n", dir, ratio);
    }
}

}  // namespace

int main(int argc, char** argv) {
    return benchsupport::RunWithRatios(argc, argv, PrintRatios);
}
