// zoltcfg-example, a first client: declares a category, writes a setting through an agent and
// reads it back, hears the change through a proxy hook, and keeps the library's log quiet.
// Thread rule: main thread; the hook runs on the change-notification thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cfg_Client.h"
#include "cfg_Setting.h"

// A category names its table and declares its fields. A field id is (number << 16) | the CVar
// type code of its value (VT_I2 2, VT_I4 3, VT_BOOL 11, VT_BSTR 31); its name is the column.
class CVirusScan : public CCfgSettingCategoryBase {
  public:
    static constexpr unsigned int VS_ACTION = 0x00010002;    // short
    static constexpr unsigned int VS_MAX_SIZE = 0x00020003;  // int
    x_wstring GetCategroyName() override { return L"QV_VirusScan"; }
    CSubjectID GetSubjectID() override { return CSubjectID(L"ZOLT_SUB_EXAMPLE"); }
    CCfgSettingCategoryBase* New() const override { return new CVirusScan(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring&) override {}
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        if (cb(VS_ACTION, L"VS_ACTION", CVar(short(1))))
            cb(VS_MAX_SIZE, L"VS_MAX_SIZE", CVar(10240));
    }
};

// A hook hears the changes of the subjects its proxy observes.
struct CCountingHook : CCfgProxyHook {
    std::atomic<int> changes{0};
    long NotifyCallBack(const OS::x_wstring&, const CSubjectID&, const CSubjectID&, int) override {
        return ++changes;
    }
};

int main() {
    CCfgLog::ToNothing();  // the log goes nowhere (default: warnings and errors to stderr)
    CCountingHook hook;
    CComponentID observer(L"ID_ZOLT_EXAMPLE");
    CCfgProxyBase* proxy = CCfgFactory::Instance()->CreateCCfgProxy(-1, &observer);
    proxy->Hook(hook);
    proxy->UpdateSubjectID(CSubjectID(L"ZOLT_SUB_EXAMPLE"), false);

    CCfgAgent agent;  // talks to "ID_ZOLT_MASTER": the daemon
    CVirusScan written, read;
    written.AddFieldValue(CVirusScan::VS_MAX_SIZE, 2048);
    int size = 0;
    try {
        if (agent.ModifyConfigurationSettings(L"localhost", CSubjectID(kCfgNullPolicy), written,
                                              nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS) &&
            agent.QueryConfigurationSettings(L"localhost", CSubjectID(kCfgNullPolicy), read,
                                             nullptr))
            read.GetFieldValue(CVirusScan::VS_MAX_SIZE, &size);
    } catch (const OS::CException& e) {  // the daemon cannot be reached
        std::printf("%s\n", e.GetErrorMsg().ToUtf8().c_str());
    }
    for (int i = 0; i < 50 && size == 2048 && hook.changes == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the change travels
    std::printf("VS_MAX_SIZE %d, changes heard %d\n", size, hook.changes.load());
    proxy->Unhook(hook);
    CCfgFactory::Instance()->FreeCCfgProxy(proxy, -1);
    return size == 2048 && hook.changes > 0 ? 0 : 1;
}
