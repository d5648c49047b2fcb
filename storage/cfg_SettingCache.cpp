// CCfgSettingCache: the in-memory store of a proxy. Each entry owns a setting object made by the
// New() of the first setting stored under its key; a store assigns into that object, a read
// assigns the object out into the caller's setting. Nothing here touches a database.
// Thread rule: any thread; one critical section per cache is held for every operation's whole
// duration, including the copy of a setting in or out, so a reader never sees a half-copied
// setting. Callers get copies, never references into the cache.
#include <utility>

#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/log/DebugLog.h"

namespace {
const wchar_t kLogSource[] = L"cfg_SettingCache";
}  // namespace

CCfgSettingCache::CCfgSettingCache() = default;

CCfgSettingCache::~CCfgSettingCache() {
    OS::CCriticalSectionSentry sentry(m_csCache);
    for (auto& item : m_mapSetting) {
        CCfgSettingCategoryBase* pSetting = std::exchange(item.second.m_pSetting, nullptr);
        pSetting->Delete(pSetting);
    }
    m_mapSetting.clear();
}

bool CCfgSettingCache::ResetToDefault(const CCfgIndex& /*index*/,
                                      CCfgSettingCategoryBase& /*setting*/,
                                      std::vector<OS::x_wstring>* /*changed*/) {
    return false;
}

bool CCfgSettingCache::GetConfiguration(const OS::x_wstring& /*server*/,
                                        const OS::x_wstring& /*category*/,
                                        const std::vector<OS::x_wstring>& /*fields*/,
                                        CIPCMsgBuffer& /*out*/) {
    return false;
}

bool CCfgSettingCache::GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) {
    OS::CCriticalSectionSentry sentry(m_csCache);
    auto it = m_mapSetting.find(index);
    return it != m_mapSetting.end() && CopyOut(it->second, setting);
}

bool CCfgSettingCache::GetMarkedConfiguration(const CCfgIndex& index, uint64_t mark,
                                              CCfgSettingCategoryBase& setting) {
    if (mark == 0) return false;
    OS::CCriticalSectionSentry sentry(m_csCache);
    auto it = m_mapSetting.find(index);
    return it != m_mapSetting.end() && it->second.m_uMark == mark && CopyOut(it->second, setting);
}

bool CCfgSettingCache::CopyOut(const CEntry& entry, CCfgSettingCategoryBase& setting) {
    // Assignment of the stored object to the caller's setting: the caller reads the stored
    // object's serialized form, which was taken when the object last changed.
    const CIPCMsgBuffer& buf = entry.m_bufSetting;
    buf.Rewind();
    setting << buf;
    return true;
}

bool CCfgSettingCache::SetConfiguration(const OS::x_wstring& /*server*/,
                                        const OS::x_wstring& /*category*/,
                                        const CCfgSettingApplyAll& /*setting*/,
                                        CCfgIndexCallback* /*callback*/) {
    return false;
}

bool CCfgSettingCache::SetConfiguration(const CCfgIndex& index,
                                        const CCfgSettingCategoryBase& setting,
                                        std::vector<OS::x_wstring>* /*changed*/,
                                        ModifyAction /*action*/) {
    return SetMarkedConfiguration(index, setting, 0);
}

bool CCfgSettingCache::SetMarkedConfiguration(const CCfgIndex& index,
                                              const CCfgSettingCategoryBase& setting,
                                              uint64_t mark) {
    OS::CCriticalSectionSentry sentry(m_csCache);
    auto it = m_mapSetting.find(index);
    bool created = false;
    if (it == m_mapSetting.end()) {
        CCfgSettingCategoryBase* pNew = setting.New();
        if (pNew == nullptr) return false;  // a category that cannot be instantiated by itself
        it = m_mapSetting.emplace(index, CEntry{pNew, CIPCMsgBuffer()}).first;
        created = true;
    }
    CEntry& entry = it->second;
    entry.m_uMark = 0;  // not served by mark while half stored
    try {
        *entry.m_pSetting = setting;
        CIPCMsgBuffer buf;
        *entry.m_pSetting >> buf;
        entry.m_bufSetting = std::move(buf);
        entry.m_uMark = mark;
    } catch (...) {
        // A setting that could not be copied in leaves no empty entry behind to answer reads.
        if (created) {
            CCfgSettingCategoryBase* pSetting = entry.m_pSetting;
            m_mapSetting.erase(it);
            pSetting->Delete(pSetting);
        } else {
            // The object may have taken part of the fields: keep its copy form in step.
            entry.m_bufSetting.ResetBuffer();
            *entry.m_pSetting >> entry.m_bufSetting;
        }
        throw;
    }
    return true;
}

void CCfgSettingCache::RemoveConfiguration(const CCfgIndex& index,
                                           const OS::x_wstring& /*category*/,
                                           std::vector<OS::x_wstring>* /*removed*/) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingCache::RemoveConfiguration(), server=%ls, subject id=%ls",
            index.GetServerName().c_str(), index.GetSubjectID().Str().c_str());
    {
        OS::CCriticalSectionSentry sentry(m_csCache);
        auto it = m_mapSetting.find(index);
        if (it != m_mapSetting.end()) {
            delete it->second.m_pSetting;
            m_mapSetting.erase(it);
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingCache::RemoveConfiguration()");
}

void CCfgSettingCache::GetPolicySubjectPairByVirtualServerName(const OS::x_wstring& server,
                                                               std::vector<SubjectPair>& pairs) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingCache::GetPolicySubjectPairByVirtualServerName(), server=%ls",
            server.c_str());
    {
        OS::CCriticalSectionSentry sentry(m_csCache);
        for (const auto& item : m_mapSetting) {
            if (OS::wcsicmp(item.first.GetServerName(), server) == 0) {
                pairs.push_back(item.first.GetSubjectPair());
            }
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingCache::GetPolicySubjectPairByVirtualServerName()");
}

size_t CCfgSettingCache::GetCount() {
    OS::CCriticalSectionSentry sentry(m_csCache);
    return m_mapSetting.size();
}
