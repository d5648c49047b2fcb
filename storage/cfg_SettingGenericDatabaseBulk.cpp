// CCfgSettingGenericDatabase, bulk settings: an owner whose multi-value field lists item settings
// of another category is read with one pass over the item table (items matched to rows by key in
// memory) and written as its own row plus one row per item. The owner's column values are kept
// in the bulk cache (m_mapBulkCfgSetting, keyed by subject id), which answers the next bulk read
// of the same subject without touching the database.
// Thread rule: runs under the store mutex (the guard in the main file); the bulk write waits for
// it again on the same thread.
#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "outside/log/DebugLog.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "storage/cfg_SettingRefField.h"

namespace {

const wchar_t kLogSource[] = L"cfg_SettingGenericDatabase";

// Drops the cache entry this read inserted unless the read completes, so that neither the
// guard's second attempt nor a later read is served a half-filled entry.
class CEntryRollback {
  public:
    CEntryRollback(std::map<OS::x_wstring, std::map<OS::x_wstring, CVar, OS::NoCaseLess>>& cache,
                   const OS::x_wstring& key)
        : m_cache(cache), m_key(key) {}
    ~CEntryRollback() {
        if (!m_bDone) m_cache.erase(m_key);
    }
    CEntryRollback(const CEntryRollback&) = delete;
    CEntryRollback& operator=(const CEntryRollback&) = delete;
    void Done() { m_bDone = true; }

  private:
    std::map<OS::x_wstring, std::map<OS::x_wstring, CVar, OS::NoCaseLess>>& m_cache;
    const OS::x_wstring& m_key;
    bool m_bDone = false;
};

// The row keys ("policy:subject") of the items of one multi-value field, and the look-up of the
// items a row key names. The keys sit end to end in one string, each followed by a NUL, and are
// found through a hash table of views into that string, so that matching a whole table of rows
// costs no allocation per row.
class CItemKeys {
  public:
    CItemKeys(const OS::x_wstring& policy, const std::vector<CCfgSettingCategoryRef*>& items) {
        size_t total = 0;
        for (CCfgSettingCategoryRef* item : items)
            total += policy.size() + 2 + item->GetRefKey().m_strSubjectID.size();
        m_text.reserve(total);  // exact: the views below stay valid
        std::vector<size_t> start;
        start.reserve(items.size());
        for (CCfgSettingCategoryRef* item : items) {
            start.push_back(m_text.size());
            m_text += policy;
            m_text += L':';
            m_text += item->GetRefKey().m_strSubjectID;
            m_text += L'\0';
        }
        m_keys.reserve(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            const size_t end = i + 1 < items.size() ? start[i + 1] : m_text.size();
            m_keys.emplace_back(m_text.data() + start[i], end - start[i] - 1);
        }

        m_first.reserve(items.size());
        m_next.assign(items.size(), kNone);
        for (size_t i = 0; i < items.size(); ++i) {
            auto [at, added] = m_first.try_emplace(m_keys[i], i);
            if (added) continue;
            // The same key again: chained after the earlier items of that key, in list order.
            size_t last = at->second;
            while (m_next[last] != kNone) last = m_next[last];
            m_next[last] = i;
        }
    }
    CItemKeys(const CItemKeys&) = delete;  // the views point into this object's own text
    CItemKeys& operator=(const CItemKeys&) = delete;

    // The key of item `i`, NUL-terminated.
    const wchar_t* Key(size_t i) const { return m_keys[i].data(); }

    // Calls `f(i)` for every item whose key equals `rowKey` (case-sensitively), in list order.
    template <class F>
    void ForEachMatch(std::wstring_view rowKey, F&& f) const {
        const auto at = m_first.find(rowKey);
        if (at == m_first.end()) return;
        for (size_t i = at->second; i != kNone; i = m_next[i]) f(i);
    }

  private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    std::wstring m_text;
    std::vector<std::wstring_view> m_keys;
    std::unordered_map<std::wstring_view, size_t> m_first;  // key -> its first item
    std::vector<size_t> m_next;  // the next item of the same key, kNone after the last
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Bulk read

bool CCfgSettingGenericDatabase::GetBulkConfigurationEx(const CCfgIndex& index,
                                                        CCfgSettingCategoryBase& setting) {
    const OS::x_wstring category = setting.GetCategroyName();
    const OS::x_wstring key = index.GetSubjectID().ToString();
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetBulkConfigurationEx(), category=%ls, subject id=%ls",
            category.c_str(), key.c_str());

    auto hit = m_mapBulkCfgSetting.find(key);
    if (hit != m_mapBulkCfgSetting.end()) {
        CFG_LOG(DBG::LVL_INFO, L"Load Bulk CFG Cache.");
        for (const auto& [name, value] : hit->second) {
            CFG_LOG(DBG::LVL_INFO, L"FieldName: %ls,FieldValue: %ls", name.c_str(),
                    ValueText(value).c_str());
            setting.AddFieldValue(name, value);
        }
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfigurationEx()");
        return true;
    }

    m_mapBulkCfgSetting.emplace(key, BulkEntry());
    auto it = m_mapBulkCfgSetting.find(key);
    if (it == m_mapBulkCfgSetting.end()) {
        CFG_LOG(DBG::LVL_WARNING, L"m_mapBulkCfgSetting insert false!");
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfigurationEx()");
        return false;
    }
    CEntryRollback rollback(m_mapBulkCfgSetting, key);
    BulkEntry& entry = it->second;
    CFG_LOG(DBG::LVL_INFO, L"Load Bulk CFG Firstly.");

    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_WARNING, L"can't open database");
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfigurationEx()");
        return false;
    }
    FindOrAddRow(*rs, index.GetIndexValue());
    // The owner's row is copied first: reading an item table may move this record set.
    const long count = rs->GetFieldCount();
    std::vector<std::pair<OS::x_wstring, CVar>> row;
    row.reserve(count > 1 ? static_cast<size_t>(count - 1) : 0);
    for (long p = 1; p < count; ++p) row.emplace_back(rs->GetFieldName(p), rs->GetFieldValue(p));

    for (auto& [name, value] : row) {
        if (!CCfgSettingCategoryBase::IsCfgSettingMVField(name)) {
            setting.AddFieldValue(name, value);
            CFG_LOG(DBG::LVL_INFO, L"FieldName: %ls,FieldValue: %ls", name.c_str(),
                    ValueText(value).c_str());
            entry.insert_or_assign(std::move(name), std::move(value));
            continue;
        }
        CSettingRefField refs;
        if (!refs.Resolve(name, value)) {
            CVar nothing;
            setting.AddFieldValue(name, nothing);
            entry.insert_or_assign(std::move(name), std::move(nothing));
            continue;
        }
        const std::vector<CCfgSettingCategoryRef*>& items = refs.Targets();
        if (!items.empty()) {
            const OS::x_wstring itemCategory =
                items.front()->GetRefValue().m_pSetting->GetCategroyName();
            CModifiableRecordSet* irs = LookupTable(itemCategory);
            if (irs == nullptr) {
                CFG_LOG(DBG::LVL_WARNING, L"can't open database %ls", itemCategory.c_str());
                CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfigurationEx()");
                return false;
            }
            // The whole item table in one pass. Each row is matched to the items it names as it
            // is read and copied straight into their settings; the first row of a key wins.
            const CItemKeys keys(index.GetPolicySubject().Str(), items);
            std::vector<char> found(items.size(), 0);
            const std::vector<OS::x_wstring>& columns = irs->GetFieldNames();
            long keyColumn = -1;
            std::vector<long> valueColumns;  // by name, as a row's map of columns holds them
            valueColumns.reserve(columns.size());
            for (size_t c = 0; c < columns.size(); ++c) {
                if (OS::wcsicmp(columns[c], kIndexColumn) == 0)
                    keyColumn = static_cast<long>(c);
                else
                    valueColumns.push_back(static_cast<long>(c));
            }
            std::stable_sort(valueColumns.begin(), valueColumns.end(), [&](long a, long b) {
                return OS::NoCaseLess()(columns[a], columns[b]);
            });
            valueColumns.erase(std::unique(valueColumns.begin(), valueColumns.end(),
                                           [&](long a, long b) {
                                               return OS::wcsicmp(columns[a], columns[b]) == 0;
                                           }),
                               valueColumns.end());
            int rowCount = 0;
            OS::x_wstring keyText;
            for (irs->MoveFirst(); !irs->IsEOF(); irs->MoveNext()) {
                ++rowCount;
                std::wstring_view rowKey;
                if (keyColumn >= 0) {
                    const CVar& k = irs->GetFieldValueRef(keyColumn);
                    if (k.IsString()) {
                        rowKey = k.GetString();
                    } else {
                        keyText = ValueText(k);
                        rowKey = keyText;
                    }
                }
                keys.ForEachMatch(rowKey, [&](size_t i) {
                    if (found[i]) return;  // an earlier row of the same key filled it
                    found[i] = 1;
                    CCfgSettingCategoryBase& itemSetting = *items[i]->GetRefValue().m_pSetting;
                    for (long c : valueColumns)
                        itemSetting.AddFieldValue(columns[c], irs->GetFieldValueRef(c));
                    itemSetting.ResetDirtyFlag(false);
                });
            }
            irs->MoveFirst();
            CFG_LOG(DBG::LVL_INFO, L"Record Number of Bulk Data: %d", rowCount);

            for (size_t i = 0; i < items.size(); ++i) {
                if (found[i]) {
                    CFG_LOG(DBG::LVL_INFO, L"CfgSetting subject: %ls", keys.Key(i));
                } else {
                    CFG_LOG(DBG::LVL_INFO, L"can not find %ls in  cacheCfg", keys.Key(i));
                }
            }
        }
        CVar v = refs.CopyForm();
        setting.AddFieldValue(name, v);
        entry.insert_or_assign(std::move(name), std::move(v));
    }
    rollback.Done();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfigurationEx()");
    return true;
}

// ---------------------------------------------------------------------------------------------
// Bulk write

bool CCfgSettingGenericDatabase::SetBulkConfigurationEx(const CCfgIndex& index,
                                                        const CCfgSettingCategoryBase& setting,
                                                        std::vector<OS::x_wstring>* changed,
                                                        ModifyAction action, bool isSubTable) {
    CCfgSettingCategoryBase& s = const_cast<CCfgSettingCategoryBase&>(setting);
    const OS::x_wstring category = s.GetCategroyName();
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::SetBulkConfigurationEx(), category=%ls, subject id=%ls, "
            L"modify action=%d, dirty=%d, isSubTable=%d",
            category.c_str(), index.GetSubjectID().Str().c_str(), static_cast<int>(action),
            setting.IsDirty() ? 1 : 0, isSubTable ? 1 : 0);
    const StoreLock lock = LockStore(true);
    if (!lock) return false;

    bool result = true;
    if (!setting.IsDirty() && !(action & MA_WRITE_CLEAN)) {
        CFG_LOG(DBG::LVL_INFO, L"Setting is not dirty");
    } else if (CModifiableRecordSet* rs = LookupTable(category); rs == nullptr) {
        CFG_LOG(DBG::LVL_ERROR, L"can't open database");
        result = false;
    } else {
        const OS::x_wstring key = index.GetIndexValue();
        if (!isSubTable) {
            FindOrAddRow(*rs, key);
        } else {
            rs->AddNew();
            rs->SetFieldValue(kIndexColumn, CVar(key));
        }
        if (changed != nullptr) changed->push_back(index.GetSubjectID().ToString());
        const std::vector<OS::x_wstring> noIgnore;
        DbFieldInfoCBForBulk cb(*this, index, *rs, setting, noIgnore, action, changed, isSubTable);
        setting.EnumerateFieldValue(cb);
        rs->Update();
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetBulkConfigurationEx()");
    return result;
}

CCfgSettingGenericDatabase::DbFieldInfoCBForBulk::DbFieldInfoCBForBulk(
    CCfgSettingGenericDatabase& db, const CCfgIndex& index, CModifiableRecordSet& rs,
    const CCfgSettingCategoryBase& setting, const std::vector<OS::x_wstring>& ignore,
    ModifyAction action, std::vector<OS::x_wstring>* changed, bool isSubTable)
    : m_db(db),
      m_index(index),
      m_rs(rs),
      m_setting(setting),
      m_ignore(ignore),
      m_action(action),
      m_pChanged(changed),
      m_bSubTable(isSubTable) {}

bool CCfgSettingGenericDatabase::DbFieldInfoCBForBulk::operator()(unsigned int /*id*/,
                                                                  const OS::x_wstring& name,
                                                                  const CVar& /*value*/) {
    if (!m_bSubTable) m_db.m_mapBulkCfgSetting.try_emplace(m_index.GetSubjectID().ToString());
    CVar value;
    if (!m_setting.GetFieldValue(name, value)) return true;
    if (CCfgSettingCategoryBase::IsCfgSettingMVField(name)) {
        WriteMultiValueField(name, value);
        return true;
    }
    SetFieldLogged(m_rs, name, CVar(value));
    CFG_LOG(DBG::LVL_INFO, L"field name: %ls, fieldvalue: %ls", name.c_str(),
            ValueText(value).c_str());
    if (!m_bSubTable) m_db.m_mapBulkCfgSetting[m_index.GetSubjectID().ToString()][name] = value;
    return true;
}

// The item rows of a multi-value field. The new value is the owner's whole list: items that left
// the list are deleted one by one under the owner's server and policy (an emptied list deletes
// every item of this owner and no other), dirty items and items new to the list are written (as
// rows of their own, isSubTable), clean items that were already listed keep their rows. Only
// flag 1 empties the item table, every owner's items with it, and writes every item again.
void CCfgSettingGenericDatabase::DbFieldInfoCBForBulk::WriteMultiValueField(
    const OS::x_wstring& name, const CVar& value) {
    // The previous list: the cached value, else the one stored in the owner's row.
    CVar previousValue;
    bool havePrevious = false;
    if (!m_bSubTable) {
        const BulkEntry& entry = m_db.m_mapBulkCfgSetting[m_index.GetSubjectID().ToString()];
        auto cached = entry.find(name);
        if (cached != entry.end()) {
            previousValue = cached->second;
            havePrevious = true;
        }
    }
    if (!havePrevious) previousValue = m_rs.GetFieldValue(name);
    CSettingRefField previousRefs;
    std::vector<CCfgSettingCategoryRef*> previous;
    if (previousRefs.Resolve(name, previousValue)) previous = previousRefs.Targets();
    for (CCfgSettingCategoryRef* item : previous) {
        CFG_LOG(
            DBG::LVL_INFO, L"get GetRefKey().m_strCategory=%ls AND GetRefKey().m_strSubjectID=%ls",
            item->GetRefKey().m_strCategoryName.c_str(), item->GetRefKey().m_strSubjectID.c_str());
        CFG_LOG(DBG::LVL_INFO, L"get GetRefValue().m_pcfgSetting->GetCategroyName()=%ls",
                item->GetRefValue().m_pSetting->GetCategroyName().c_str());
    }
    CFG_LOG(DBG::LVL_INFO, L"Previous Setting Items Num: %d", static_cast<int>(previous.size()));

    CVar newValue = value;
    CSettingRefField currentRefs;
    if (!currentRefs.Resolve(name, newValue)) {
        CFG_LOG(DBG::LVL_INFO, L"MV Setting Field GetFieldRefByValue Failed!");
        return;
    }
    const std::vector<CCfgSettingCategoryRef*>& current = currentRefs.Targets();
    const int dirtyCount = static_cast<int>(std::count_if(
        current.begin(), current.end(),
        [](CCfgSettingCategoryRef* item) { return item->GetRefValue().m_pSetting->IsDirty(); }));
    CFG_LOG(DBG::LVL_INFO, L"New Changed Setting Items Num: %d", dirtyCount);
    CFG_LOG(DBG::LVL_INFO, L"Current Setting Items Num: %d", static_cast<int>(current.size()));

    auto listed = [](const std::vector<CCfgSettingCategoryRef*>& list,
                     CCfgSettingCategoryRef* item) {
        return std::any_of(list.begin(), list.end(), [&](CCfgSettingCategoryRef* other) {
            return other->GetRefKey().m_strSubjectID == item->GetRefKey().m_strSubjectID;
        });
    };

    std::vector<CCfgSettingCategoryRef*> toWrite;
    ModifyAction itemAction = m_action;
    if (!previous.empty() && (m_action & MA_WRITE_CLEAN)) {
        CFG_LOG(DBG::LVL_INFO, L"delete all domains");
        m_db.RemoveAllConfigurationEx(*previous.front()->GetRefValue().m_pSetting);
        toWrite = current;
    } else if (previous.empty()) {
        toWrite = current;
    } else {
        for (CCfgSettingCategoryRef* item : previous) {
            if (listed(current, item)) continue;
            m_db.RemoveConfigurationEx(RefIndex(m_index, item->GetRefKey().m_strSubjectID),
                                       item->GetRefValue().m_pSetting->GetCategroyName(),
                                       m_pChanged);
        }
        for (CCfgSettingCategoryRef* item : current) {
            if (item->GetRefValue().m_pSetting->IsDirty() || !listed(previous, item)) {
                toWrite.push_back(item);
            }
        }
    }
    for (CCfgSettingCategoryRef* item : toWrite) {
        CCfgSettingCategoryBase& itemSetting = *item->GetRefValue().m_pSetting;
        CFG_LOG(DBG::LVL_INFO,
                L"get new setting GetRefKey().m_strCategory=%ls AND GetRefKey().m_strSubjectID=%ls",
                item->GetRefKey().m_strCategoryName.c_str(),
                item->GetRefKey().m_strSubjectID.c_str());
        CFG_LOG(DBG::LVL_INFO,
                L"get new setting GetRefValue().m_pcfgSetting->GetCategroyName()=%ls",
                itemSetting.GetCategroyName().c_str());
        // An item new to the list is written even when clean (it has no row of its own yet).
        const ModifyAction action = listed(previous, item)
                                        ? itemAction
                                        : static_cast<ModifyAction>(itemAction | MA_WRITE_CLEAN);
        m_db.SetBulkConfigurationEx(RefIndex(m_index, item->GetRefKey().m_strSubjectID),
                                    itemSetting, m_pChanged, action, true);
        itemSetting.ResetDirtyFlag(false);
    }

    m_rs.SetFieldValue(name, currentRefs.ReferenceForm());
    if (!m_bSubTable) {
        m_db.m_mapBulkCfgSetting[m_index.GetSubjectID().ToString()][name] = currentRefs.CopyForm();
    }
}
