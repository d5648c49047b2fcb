// CCfgSettingCategoryFake: the placeholder category for a setting whose class is not at hand,
// known only by its category name; it declares exactly the fields it holds.
// Thread rule: a value object; one thread at a time per object.
#pragma once

#include "cfg_Setting.h"

class CCfgSettingCategoryFake : public CCfgSettingCategoryBase {
  public:
    // The subject id starts as "ZOLT_SUB_NULL".
    explicit CCfgSettingCategoryFake(const x_wstring& categoryName);
    CCfgSettingCategoryFake(const CCfgSettingCategoryFake& other);
    CCfgSettingCategoryFake& operator=(const CCfgSettingCategoryFake& other);
    ~CCfgSettingCategoryFake() override;

    x_wstring GetCategroyName() override;
    CSubjectID GetSubjectID() override;
    // Null: a placeholder is made with its category name, never from another placeholder.
    CCfgSettingCategoryBase* New() const override;
    void Delete(CCfgSettingCategoryBase* p) override;
    void SetSubjectID(const x_wstring& subjectId) override;
    // Reports every stored field (id 3) instead of a declaration table.
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override;

  private:
    x_wstring m_strCategoryName;
    x_wstring m_strSubjectID;
};
