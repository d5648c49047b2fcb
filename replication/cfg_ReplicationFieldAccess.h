// Field access shared by the replication rules: names compared without regard to case, fields
// read by name with an absent field as empty or 0, and the read-modify-write of a list field
// holding copies of embedded settings.
// Thread rule: functions on caller-owned settings; one thread at a time per setting.
#pragma once

#include <functional>

#include "cfg_Setting.h"
#include "outside/common/x_wstring.h"

namespace ReplicationRules {

// Case-insensitive equality of category, subject and server names (null matches nothing).
bool SameName(const OS::x_wstring& a, const wchar_t* b);

// The field as an integer; absent or empty: 0. Throws CVarConversionException for a value that
// is no number.
int ReadIntField(const CCfgSettingCategoryBase& setting, const wchar_t* field);
// The field as a string; absent: "".
OS::x_wstring ReadStringField(const CCfgSettingCategoryBase& setting, const wchar_t* field);

// Called with each element's copy; returns false to remove the element from the list.
using ElementVisitor = std::function<bool(CCfgSettingCategoryBase& element)>;

// Parses the list `field` of `setting`, lets `visit` change or remove each element and stores
// the list back in its copy form under the same name. An element without a copy (every element
// of a list in the reference form) is logged with `missingCopyText` (error level); a list with
// such an element, or one that cannot be parsed, stays as it stood. An absent field stays absent.
void RewriteSettingList(CCfgSettingCategoryBase& setting, const wchar_t* field,
                        const wchar_t* missingCopyText, const ElementVisitor& visit);

}  // namespace ReplicationRules
