// Helpers of the replication filter tests: a filter whose protected steps are reachable and
// whose server queries answer from a table, settings built from a field list, embedded lists,
// and a setting's fields as one comparable map of texts.
// Thread rule: test-only, one thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cfg_Replication.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"

namespace repltest {

using OS::x_wstring;
using Fields = std::vector<std::pair<x_wstring, CVar>>;
using Texts = std::map<std::wstring, std::wstring>;
using V = std::vector<x_wstring>;

// Roles as callers pass them.
constexpr long kEveryRole = -1, kAllRoles = 0x10F, kEdge = 0x1, kHub = 0x2, kMailbox = 0x4;

class CTestFilter : public CCfgReplicationFilter {
  public:
    using CCfgReplicationFilter::DoExchange2013Filter;
    using CCfgReplicationFilter::DoFieldFilter;
    using CCfgReplicationFilter::DoPolicyFilter;
    using CCfgReplicationFilter::DoPolicyFilterForCF;
    using CCfgReplicationFilter::DoSearchDestroyFilter;
    using CCfgReplicationFilter::DoSubjectFilter;
    using CCfgReplicationFilter::DoVOKAFilter;
    using CCfgReplicationFilter::DoZOLTVersionFilter;
    using CCfgReplicationFilter::EraseAdIntegratedForVA;
    using CCfgReplicationFilter::GetRoleFeatures;
    using CCfgReplicationFilter::GetSkipFeature;

    std::map<x_wstring, int> engineByServer;  // a server not listed fails the query
    V queries;                      // "component server remote category:subject" of each query
    V registered;                   // "category:subject" of each registered setting
    bool sendRegistration = false;  // also send it to this computer's service, as the filter does

    // The sandbox rule between servers "S" and "T" at source mail-server version 2010.1.
    bool Sandbox(long source, long target, double targetEx, CCfgSettingCategoryBase& s, int type) {
        return DoVOKAFilter(L"S", L"T", source, target, 2010.1, targetEx, s, type);
    }
    bool Run(long role, double targetEx, CCfgSettingCategoryBase& s, int type) {
        return Filter(L"S", L"T", role, role, 11.0, 0, 2010.1, targetEx, s, type);
    }

  protected:
    bool QueryServerSetting(const wchar_t* component, const x_wstring& server,
                            const wchar_t* remote, CCfgSettingCategoryBase& setting) override {
        queries.push_back(x_wstring(component) + L" " + server + L" " + (remote ? remote : L"-") +
                          L" " + setting.GetCategroyName() + L":" +
                          setting.GetSubjectID().ToString());
        const auto it = engineByServer.find(server);
        if (it == engineByServer.end()) return false;
        setting.AddFieldValue(x_wstring(L"VS_ENGINE_TYPE"), CVar(it->second));
        return true;
    }
    void RegisterSandboxSetting(CCfgSettingCategoryBase& setting) override {
        registered.push_back(setting.GetCategroyName() + L":" + setting.GetSubjectID().ToString());
        if (sendRegistration) CCfgReplicationFilter::RegisterSandboxSetting(setting);
    }
};

inline std::unique_ptr<CCfgSettingCategoryFake> MakeSetting(const x_wstring& category,
                                                            const x_wstring& subject,
                                                            const Fields& fields = {}) {
    auto setting = std::make_unique<CCfgSettingCategoryFake>(category);
    setting->SetSubjectID(subject);
    for (const auto& [name, value] : fields) setting->AddFieldValue(name, value);
    return setting;
}

// The copy form of a list of settings, as a list field holds it.
inline CVar MakeList(std::vector<CCfgSettingCategoryBase*> elements) {
    CCfgMVSettingCategoryRef refs;
    refs.GetFieldRefBySetting(refs.GetRefSettingArray(), elements);
    CVar value;
    refs.GetValueByFieldRef(value, refs.GetRefSettingArray(), true);
    return value;
}

// Every field by name, its value as "kind:text" ("3:7", "8:on"), "empty" or "bytes:<size>".
inline Texts FieldTexts(const CCfgSettingCategoryBase& setting) {
    struct CCollect : CCfgSettingCategoryBase::CFieldInfoCallback {
        bool operator()(unsigned int, const x_wstring& name, const CVar& v) override {
            texts[name] = v.IsByteArray() ? L"bytes:" + std::to_wstring(v.GetBytes().size())
                          : v.IsEmpty()   ? std::wstring(L"empty")
                                          : std::to_wstring(v.vt()) + L":" + v.ToString();
            return true;
        }
        Texts texts;
    } cb;
    setting.EnumerateFieldValue(cb);
    return cb.texts;
}

// The fields of each element of a list field, in order.
inline std::vector<Texts> ListTexts(const CCfgSettingCategoryBase& setting,
                                    const x_wstring& field) {
    CVar value;
    setting.GetFieldValue(field, value);
    CCfgMVSettingCategoryRef refs;
    std::vector<Texts> out;
    refs.GetFieldRefByValue(refs.GetRefSettingArray(), value);
    for (CCfgSettingCategoryRef* ref : refs.GetRefSettingArray()) {
        out.push_back(FieldTexts(*ref->GetRefValue().m_pSetting));
    }
    return out;
}

}  // namespace repltest
