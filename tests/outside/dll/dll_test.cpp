// Tests of the DLL manager: loading by file name once, entry look-up and unloading. (The
// factory's tests load files that are missing or not shared libraries through it.)
#include <gtest/gtest.h>

#include "outside/dll/CDllManager.h"
#include "outside/log/DebugLog.h"

namespace {

const wchar_t kMath[] = L"libm.so.6";  // a system library with a known export

TEST(DllManager, LoadsOnceFindsEntriesAndUnloads) {
    DBG::CCaptureLog log;
    OS::CDllManager manager;
    EXPECT_EQ(manager.FindModule(kMath), nullptr);

    OS::CDllManager::DllModule* module = manager.Hook(kMath, {L"cos", L"CFG_FACTORY_CREATE"});
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(module->IsLoaded());
    EXPECT_NE(module->GetFunctionPtr(L"cos"), nullptr);
    EXPECT_EQ(module->GetFunctionPtr(L"CFG_FACTORY_CREATE"), nullptr);
    EXPECT_TRUE(log.Contains(L"CDllManager: module libm.so.6 has no entry CFG_FACTORY_CREATE",
                             DBG::LVL_WARNING));

    // The same name gives the same module; another spelling is another file name.
    EXPECT_EQ(manager.Hook(kMath, {}), module);
    EXPECT_EQ(manager.FindModule(kMath), module);
    EXPECT_EQ(manager.FindModule(L"LIBM.so.6"), nullptr);
    EXPECT_EQ(manager.GetModuleCount(), 1u);

    manager.Unhook(kMath);
    EXPECT_EQ(manager.FindModule(kMath), nullptr);
    EXPECT_EQ(manager.GetModuleCount(), 0u);
}

}  // namespace
