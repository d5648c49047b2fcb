// The lowest product version and service pack of the other computer that take a replicated
// setting: the agent drops such a setting before a replication to an older computer. Two
// families, each logged by its own name when a setting matches: the Search & Destroy settings
// and the APT (advanced threat) settings.
// Thread rule: constant tables; no state.
#pragma once

#include "outside/common/x_wstring.h"

namespace NS_ReplicationMinimumVersions {

// A setting (category, subject) and the lowest product version and service pack that take it.
struct CMinimumVersion {
    const wchar_t* category;
    const wchar_t* subject;
    double version;
    int servicePack;
};

inline constexpr CMinimumVersion kSearchDestroyRows[] = {
    {L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SD", 10.2, 2},
    {L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SO", 10.2, 2},
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS", 10.2, 2},
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_AND_SD_DISK", 10.2, 2},
};
inline constexpr CMinimumVersion kAptRows[] = {
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_VOKA_SERVICE_STATUS", 10.2, 2},
    {L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA", 10.2, 2},
};

// The row of (category, subject), compared without regard to case; null when there is none.
template <size_t N>
const CMinimumVersion* FindRow(const CMinimumVersion (&rows)[N], const OS::x_wstring& category,
                               const OS::x_wstring& subject) {
    for (const auto& row : rows)
        if (category.CompareNoCase(row.category) == 0 && subject.CompareNoCase(row.subject) == 0)
            return &row;
    return nullptr;
}

// True when a computer of `version` and `servicePack` is too old for the row's setting.
inline bool TooOld(const CMinimumVersion& row, double version, int servicePack) {
    return row.version > version || (row.version == version && servicePack < row.servicePack);
}

}  // namespace NS_ReplicationMinimumVersions
