// The second process of the client tests: writes one integer field of a QV_VirusScan setting
// through an agent from the process-wide factory, as another program of the product would.
// Usage: zolt_proxy_writer <server> <policy subject> <subject> <field> <integer value>
// Exit code 0 when the service accepted the write, 2 when it refused it, 3 on an exception,
// 1 on bad arguments. The runtime folder comes from the environment (ZOLTCFG_RUNTIME_DIR).
// Thread rule: single-threaded.
#include <cstdio>
#include <string>

#include "cfg_Client.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s server policy subject field value\n", argv[0]);
        return 1;
    }
    DBG::SetLogToNothing();
    auto wide = [](const char* s) { return OS::x_wstring::FromUtf8(s); };
    int code = 0;
    CCfgAgentBase* agent = CCfgFactory::Instance()->CreateCCfgAgent(-1, nullptr);
    try {
        CCfgSettingCategoryFake setting(L"QV_VirusScan");
        setting.SetSubjectID(wide(argv[3]));
        setting.AddFieldValue(wide(argv[4]), CVar(std::stoi(argv[5])));
        setting.ResetDirtyFlag(true);
        code = agent->ModifyConfigurationSettings(wide(argv[1]), CSubjectID(wide(argv[2])), setting,
                                                  nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS)
                   ? 0
                   : 2;
    } catch (const OS::CException& e) {
        std::fprintf(stderr, "zolt_proxy_writer: %s\n", e.GetErrorMsgEx().ToUtf8().c_str());
        code = 3;
    }
    CCfgFactory::Instance()->FreeCCfgAgent(agent, -1);
    CCfgFactory::CloseSingleton();
    return code;
}
