// CSettingRefField: one reference field of a stored setting (a name ending in "_CFGSETTING" or
// "_CFGSETTING_MV") resolved into the settings it names. The store's read, write, delete
// cascade, bulk read and write and reset all follow a setting's references through it.
// Thread rule: one thread at a time per object; it owns the settings it resolved.
#pragma once

#include <optional>
#include <vector>

#include "cfg_Setting.h"
#include "outside/common/x_wstring.h"
#include "outside/variant/CVar.h"

class CSettingRefField {
  public:
    CSettingRefField() = default;
    CSettingRefField(const CSettingRefField&) = delete;
    CSettingRefField& operator=(const CSettingRefField&) = delete;

    // Resolves the value of field `name`. False when `name` is no reference field or `value`
    // does not resolve: a value that cannot be parsed (a damaged copy form included), or a
    // single reference without a setting.
    // REQUIRES: called at most once per object.
    bool Resolve(const OS::x_wstring& name, CVar& value);

    // The referenced settings, in list order: the one of a single reference, the items of a
    // multi-value list that carry a setting (others are left out). Each target's key names its
    // subject and its value holds the setting.
    // REQUIRES: Resolve returned true.
    const std::vector<CCfgSettingCategoryRef*>& Targets() const { return m_targets; }

    // The field's value as a row stores it (references only) and as a read hands it out (with
    // copies of the referenced settings as they are now).
    // REQUIRES: Resolve returned true.
    CVar ReferenceForm();
    CVar CopyForm();

  private:
    std::optional<CCfgSettingCategoryRef> m_single;
    std::optional<CCfgMVSettingCategoryRef> m_multi;
    std::vector<CCfgSettingCategoryRef*> m_targets;
};
