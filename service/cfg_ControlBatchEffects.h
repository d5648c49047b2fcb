// What a batch modify does beyond storing its settings: it switches single sign-on in the master
// when the administrator-group SSO setting comes in, asks the master once per batch to update
// its data-loss-prevention policies for the DLP and scan settings that came in, and writes one
// audit entry when anything was stored.
// Thread rule: no shared state; the batch handler calls these under its batch lock, and the
// calls to the master are made under it.
#pragma once

#include "cfg_Setting.h"
#include "outside/common/x_wstring.h"

namespace NS_BatchEffects {

// True for the setting that carries the single sign-on switch (category and subject compared
// without regard to case).
bool IsSingleSignOnSetting(const OS::x_wstring& category, const OS::x_wstring& subject);

// Asks the master to switch single sign-on for `itemServer` as the setting's "CFG_SSO_ENABLE"
// says. A failure of the exchange is logged and does not stop the batch.
void SwitchSingleSignOn(const CCfgSettingCategoryBase& setting, const OS::x_wstring& itemServer);

// The DLP scan types ("RS", "MS", "SS" or "RSMSSS") a stored setting of `category` asks the
// master to update; null for other categories.
const wchar_t* DlpScanTypes(const OS::x_wstring& category);

// Submits the DLP policy update command for `scanTypes` (the batch's collected types) to the
// master; a refusal is logged.
void RequestDlpUpdate(const OS::x_wstring& targetServer, const OS::x_wstring& scanTypes);

// The audit entry "settings replicated" of a batch that stored at least one setting.
void WriteReplicationAudit(const OS::x_wstring& targetServer, const OS::x_wstring& originator,
                           const OS::x_wstring& sourceServer, int sourceType);

}  // namespace NS_BatchEffects
