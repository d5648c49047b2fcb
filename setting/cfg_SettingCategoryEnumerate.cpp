// CCfgSettingCategoryEnumerate: the enumerator interface offered to other modules; only its
// trivial constructors, assignment and destructor live here.
// Thread rule: as the implementing class decides.
#include "cfg_Setting.h"

CCfgSettingCategoryEnumerate::CCfgSettingCategoryEnumerate() = default;

CCfgSettingCategoryEnumerate::CCfgSettingCategoryEnumerate(const CCfgSettingCategoryEnumerate&) =
    default;

CCfgSettingCategoryEnumerate& CCfgSettingCategoryEnumerate::operator=(
    const CCfgSettingCategoryEnumerate&) = default;

CCfgSettingCategoryEnumerate::~CCfgSettingCategoryEnumerate() = default;
