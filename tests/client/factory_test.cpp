// Tests of the factory and its module loader: the setting file's lines (read by the setting-file
// reader: line ends, comments, runs of blanks, extra tokens), the type resolution
// with and without modules, loading and freeing through a real module (the test module built
// beside the tests), modules that cannot serve, and the process-wide instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "cfg_Client.h"
#include "client/cfg_FactoryDllMgr.h"
#include "client/cfg_Proxy.h"
#include "outside/log/DebugLog.h"
#include "tests/client/module/FactoryModuleProbe.h"
#include "tests/support/LogText.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using Texts = std::vector<OS::x_wstring>;

namespace {

const fs::path kModule = fs::path(ZOLT_TEST_BINARY_DIR) / "libzolt_test_factory_module.so";

OS::x_wstring Wide(const fs::path& p) {
    return OS::x_wstring::FromUtf8(p.string());
}

// The loader's mapping, one "key=type logical-id file" per entry, in key order.
Texts Mapping(const CCfgFactoryDllMgr& loader) {
    Texts out;
    for (const auto& [key, dll] : loader.GetMapping())
        out.push_back(std::to_wstring(key) + L"=" + std::to_wstring(dll.m_nType) + L" " +
                      dll.m_strLogicalID + L" " + dll.m_strFileName);
    return out;
}

class FactoryTest : public ::testing::Test {
  protected:
    // Writes the setting file and returns its path.
    OS::x_wstring SettingFile(const std::string& text, const std::string& name = "factory.txt") {
        testsupport::WriteFile(m_dir / name, text);
        return Wide(m_dir / name);
    }
    OS::x_wstring Missing() const { return Wide(m_dir / "missing.txt"); }

    testsupport::CTempDir m_dir{"zoltcfg-factory"};
};

TEST_F(FactoryTest, SettingFileLinesBecomeTheMapping) {
    const OS::x_wstring file = SettingFile(
        "# modules of this machine\n"
        "\n"
        "7 first /opt/a.so\n"
        "3\tsecond  /opt/b.so fourth fifth\r\n"
        "5 short\n"
        "abc zero /opt/z.so\n"
        "#9 hidden /opt/h.so\n"
        "12x twelve /opt/t.so\r\n"
        "7 again /opt/c.so");
    CCfgFactoryDllMgr loader(file.c_str());
    // Not a number: type id 0; the later line of a type id replaces the first.
    EXPECT_EQ(Mapping(loader), (Texts{L"0=0 zero /opt/z.so", L"3=3 second /opt/b.so",
                                      L"7=7 again /opt/c.so", L"12=12 twelve /opt/t.so"}));
    EXPECT_TRUE(loader.GetNewType());
    EXPECT_EQ(loader.GetNewTypeId(), 0);

    // A loader given its file in the constructor reads nothing more.
    EXPECT_FALSE(loader.Init(SettingFile("1 one /opt/1.so\n", "other.txt").c_str()));
    EXPECT_EQ(loader.GetMapping().size(), 4u);

    // One built without a file reads at each Init, into the same mapping; a missing file is
    // an empty mapping, still true.
    CCfgFactoryDllMgr later;
    EXPECT_EQ(later.GetNewTypeId(), -1);
    EXPECT_TRUE(later.Init(Missing().c_str()));
    EXPECT_FALSE(later.GetNewType());
    EXPECT_TRUE(later.Init(SettingFile("2 b /opt/b.so\n7 c /opt/c.so\n", "2.txt").c_str()));
    EXPECT_EQ(Mapping(later).size(), 2u);
    EXPECT_EQ(later.GetNewTypeId(), 2);
}

TEST_F(FactoryTest, WithoutModulesTheLibrarysOwnClassesServeTypeMinusOne) {
    CCfgFactory factory(Missing().c_str());
    EXPECT_FALSE(factory.UsesModuleType());
    EXPECT_EQ(factory.GetModuleType(), -1);
    int parameter = 0;

    EXPECT_EQ(factory.CreateCCfgAgent(5, &parameter), nullptr);  // type 5 names no module
    CCfgAgentBase* agent = factory.CreateCCfgAgent(-1, &parameter);
    auto* own = dynamic_cast<CCfgAgent*>(agent);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->GetComponentID().GetIDString(), L"ID_ZOLT_MASTER");
    EXPECT_TRUE(own->GetNotifyFlag());
    EXPECT_FALSE(factory.FreeCCfgAgent(agent, 5));  // no module: not freed
    EXPECT_TRUE(factory.FreeCCfgAgent(agent, -1));

    CCfgProxyBase* proxy = factory.CreateCCfgProxy(-1, nullptr);
    EXPECT_NE(dynamic_cast<CCfgProxy*>(proxy), nullptr);
    EXPECT_FALSE(factory.FreeCCfgProxy(proxy, 5));
    EXPECT_TRUE(factory.FreeCCfgProxy(proxy, -1));
}

// The lowest type id's module serves every type, even when it is missing; a file that is no
// shared library, and a library without the entries, serve nothing either.
TEST_F(FactoryTest, TheLowestTypeIdsModuleServesEveryType) {
    ASSERT_TRUE(fs::exists(kModule)) << kModule;
    testsupport::WriteFile(m_dir / "text.so", "not a shared library");
    const std::string module = kModule.string();
    const struct {
        std::string lines;
        bool serves;
    } cases[] = {
        {"7 seven " + module + "\n3 three " + module + " extra", true},
        {"3 missing " + (m_dir / "missing.so").string() + "\n7 real " + module, false},
        {"3 bad " + (m_dir / "text.so").string(), false},
        {"3 bad libm.so.6", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        CCfgFactory factory(SettingFile(c.lines + "\n").c_str());
        EXPECT_EQ(factory.GetModuleType(), 3);
        CFactoryModuleProbe probe;
        CCfgAgentBase* agent = factory.CreateCCfgAgent(-1, &probe);
        CCfgProxyBase* proxy = factory.CreateCCfgProxy(7, &probe);
        if (!c.serves) {
            EXPECT_EQ(agent, nullptr);
            EXPECT_EQ(proxy, nullptr);
            CCfgAgent mine;
            EXPECT_FALSE(factory.FreeCCfgAgent(&mine, 7));
            EXPECT_EQ(probe.creates, 0);
            continue;
        }
        ASSERT_NE(agent, nullptr);
        ASSERT_NE(proxy, nullptr);
        EXPECT_EQ(dynamic_cast<CCfgAgent*>(agent), nullptr);  // the module's own class
        EXPECT_EQ(probe.liveObjects, 2);
        EXPECT_TRUE(factory.FreeCCfgAgent(agent, -1));
        EXPECT_TRUE(factory.FreeCCfgProxy(proxy, 7));
        EXPECT_EQ(probe.lastFreed, static_cast<void*>(proxy));
        EXPECT_EQ(probe.liveObjects, 0);
    }
}

// The process-wide factory reads the setting file of the home folder, once.
TEST_F(FactoryTest, InstanceReadsTheHomesSettingFileAndCloses) {
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (m_dir / "registry").string());
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (m_dir / "home").string());
    testsupport::WriteFile(m_dir / "home" / "config" / "cfg_FactorySetting.txt",
                           "4 module " + kModule.string() + "\n");
    CCfgFactory::CloseSingleton();
    CCfgFactory* factory = CCfgFactory::Instance();
    EXPECT_EQ(factory->GetModuleType(), 4);
    CCfgFactory::CloseSingleton();

    fs::remove(m_dir / "home" / "config" / "cfg_FactorySetting.txt");
    EXPECT_FALSE(CCfgFactory::Instance()->UsesModuleType());
    CCfgFactory::CloseSingleton();

    // A client process writes warnings and errors only until it chooses more.
    EXPECT_EQ(CCfgLog::GetVerbosity(), CCfgLog::Verbosity::kErrors);
    DBG::CCaptureLog log;
    CCfgLog::SetVerbosity(CCfgLog::Verbosity::kErrors);
    CCfgLog::Write(CCfgLog::Kind::kInfo, "app", "hidden");
    CCfgLog::Write(CCfgLog::Kind::kWarning, "app", "shown");
    CCfgLog::Write(CCfgLog::Kind::kStartup, "app", "early");
    // A daemon's default adds its start-up notes, not the lines of every operation.
    CCfgLog::SetVerbosity(CCfgLog::Verbosity::kNotices);
    CCfgLog::Write(CCfgLog::Kind::kInfo, "app", "per operation");
    CCfgLog::Write(CCfgLog::Kind::kStartup, "app", "started");
    CCfgLog::SetVerbosity(CCfgLog::Verbosity::kInfo);
    CCfgLog::Write(CCfgLog::Kind::kInfo, "app", "detail");
    EXPECT_FALSE(testsupport::HasLine(log, 0, L"hidden"));
    EXPECT_FALSE(testsupport::HasLine(log, 0, L"early"));
    EXPECT_FALSE(testsupport::HasLine(log, 0, L"per operation"));
    EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_WARNING, L"shown"));
    EXPECT_TRUE(testsupport::HasLine(log, 0x108, L"started"));
    EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_INFO, L"detail"));
}

TEST(FactoryConcurrency, InstanceCreatesOneFactoryForAllThreads) {
    testsupport::CTempDir dir("zoltcfg-factory");
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (dir / "registry").string());
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (dir / "home").string());
    CCfgFactory::CloseSingleton();
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    std::vector<CCfgFactory*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = CCfgFactory::Instance();
            seen[i]->FreeCCfgAgent(seen[i]->CreateCCfgAgent(-1, nullptr), -1);
        });
    }
    for (auto& t : threads) t.join();
    for (CCfgFactory* f : seen) EXPECT_EQ(f, seen[0]);
    CCfgFactory::CloseSingleton();
}

}  // namespace
