// Helpers of the replication filter tests: a filter whose protected steps are reachable and
// whose server queries answer from a table, settings built from a field list, embedded lists
// built from element settings, and a setting's fields as one comparable map of texts.
// Thread rule: test-only, one thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cfg_Replication.h"
#include "setting/cfg_SettingCategoryFake.h"

namespace repltest {

using OS::x_wstring;
using Fields = std::vector<std::pair<x_wstring, CVar>>;

// Roles as the callers pass them.
constexpr long kEveryRole = -1;
constexpr long kAllRoles = 0x10F;
constexpr long kEdge = 0x1;
constexpr long kHub = 0x2;
constexpr long kMailbox = 0x4;

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
    using CCfgReplicationFilter::EraseAdIntegratedDlpRule;
    using CCfgReplicationFilter::EraseAdIntegratedForVA;
    using CCfgReplicationFilter::ErasedADIntegrateReport;
    using CCfgReplicationFilter::GetRoleFeatures;
    using CCfgReplicationFilter::GetSkipFeature;

    // What a query asked: component, server, remote computer ("" for none) and subject.
    struct SQuery {
        x_wstring component, server, remote, category, subject;
        bool operator==(const SQuery&) const = default;
    };

    // The engine type each server reports; a server not listed fails the query.
    std::map<x_wstring, int> engineByServer;
    std::vector<SQuery> queries;
    std::vector<x_wstring> registered;  // category:subject of each registered setting

  protected:
    bool QueryServerSetting(const wchar_t* component, const x_wstring& server,
                            const wchar_t* remote, CCfgSettingCategoryBase& setting) override {
        queries.push_back({component, server, remote ? remote : L"", setting.GetCategroyName(),
                           setting.GetSubjectID().ToString()});
        const auto it = engineByServer.find(server);
        if (it == engineByServer.end()) return false;
        setting.AddFieldValue(x_wstring(L"VS_ENGINE_TYPE"), CVar(it->second));
        return true;
    }
    void RegisterSandboxSetting(CCfgSettingCategoryBase& setting) override {
        registered.push_back(setting.GetCategroyName() + L":" + setting.GetSubjectID().ToString());
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
inline CVar MakeList(const std::vector<CCfgSettingCategoryBase*>& elements) {
    std::vector<CCfgSettingCategoryBase*> raw(elements);
    CCfgMVSettingCategoryRef refs;
    refs.GetFieldRefBySetting(refs.GetRefSettingArray(), raw);
    CVar value;
    refs.GetValueByFieldRef(value, refs.GetRefSettingArray(), true);
    return value;
}

// A value as text: kind and value ("3:7", "8:on"); byte arrays by their size.
inline std::wstring Describe(const CVar& v) {
    if (v.IsByteArray()) return L"bytes:" + std::to_wstring(v.GetBytes().size());
    if (v.IsEmpty()) return L"empty";
    return std::to_wstring(v.vt()) + L":" + v.ToString();
}

class CFieldTexts : public CCfgSettingCategoryBase::CFieldInfoCallback {
  public:
    bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
        texts[name] = Describe(value);
        return true;
    }
    std::map<std::wstring, std::wstring> texts;
};

// Every field of a setting by name, its value described.
inline std::map<std::wstring, std::wstring> FieldTexts(const CCfgSettingCategoryBase& setting) {
    CFieldTexts cb;
    setting.EnumerateFieldValue(cb);
    return cb.texts;
}

// The fields of each element of a list field, in order (nullopt: the field is absent).
inline std::optional<std::vector<std::map<std::wstring, std::wstring>>> ListTexts(
    const CCfgSettingCategoryBase& setting, const x_wstring& field) {
    CVar value;
    if (!setting.GetFieldValue(field, value)) return std::nullopt;
    CCfgMVSettingCategoryRef refs;
    std::vector<std::map<std::wstring, std::wstring>> out;
    if (!refs.GetFieldRefByValue(refs.GetRefSettingArray(), value)) return out;
    for (CCfgSettingCategoryRef* ref : refs.GetRefSettingArray()) {
        out.push_back(ref->GetRefValue().m_pSetting ? FieldTexts(*ref->GetRefValue().m_pSetting)
                                                    : std::map<std::wstring, std::wstring>{});
    }
    return out;
}

}  // namespace repltest
