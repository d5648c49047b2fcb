// The setting model: the setting base class with its fields and typed values, its serialized
// form, the library's own special categories, the references between settings and the
// library's exception. The virtual operations of every exported class keep their slot order.
// Thread rule: a setting is a value object; one thread at a time per object (reads included:
// reading a buffer moves its read position).
#pragma once

#include <ctime>
#include <map>
#include <vector>

#include "cfg_Export.h"
#include "outside/common/CAutoObjPtr.h"
#include "outside/common/CException.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CStreamable.h"
#include "outside/ipc/CSubjectID.h"
#include "outside/variant/CVar.h"

// The policy subject of a setting that belongs to no policy, and the subject that names none.
inline constexpr wchar_t kCfgNullPolicy[] = L"ZOLT_PLC_NULL";
inline constexpr wchar_t kCfgNullSubject[] = L"ZOLT_SUB_NULL";

// The library's own exception: a field that is missing or holds unusable data.
class ZOLTCFG_API CCfgException : public OS::CException {
  public:
    enum MSGBUF_VIOLATION {
        SUBJECT_ID_INVALID = 0,
        FIELD_TYPE_INCORRECT = 1,
        FIELD_NOT_EXIST = 2,
        FIELD_DATA_INVALID = 3,
    };

    CCfgException(unsigned int fieldId, MSGBUF_VIOLATION code, const wchar_t* file, int line);
    CCfgException(const CCfgException&) = default;
    CCfgException& operator=(const CCfgException&) = default;
    ~CCfgException() override;

    // The text of the code; codes without a text give an empty string.
    OS::x_wstring GetErrorMsg() const override;
    unsigned int GetFieldID() const { return m_nFieldID; }

  private:
    unsigned int m_nFieldID;
};

// A setting: an object of a category (a class derived from this one) holding field values by
// name. Field names compare without regard to ASCII letter case and keep the spelling of their
// first insertion.
class ZOLTCFG_API CCfgSettingCategoryBase : public CStreamable {
  public:
    using x_wstring = OS::x_wstring;
    using FieldMap = std::map<OS::x_wstring, CVar, OS::NoCaseLess>;

    // Called once per field by EnumerateFieldInfo (the declaration) and EnumerateFieldValue
    // (the stored values); returning false asks the caller to stop.
    class CFieldInfoCallback {
      public:
        CFieldInfoCallback() = default;
        CFieldInfoCallback(const CFieldInfoCallback&) = default;
        CFieldInfoCallback& operator=(const CFieldInfoCallback&) = default;
        virtual ~CFieldInfoCallback() = 0;
        virtual bool operator()(unsigned int id, const OS::x_wstring& name, const CVar& value) = 0;
    };

    CCfgSettingCategoryBase();
    CCfgSettingCategoryBase(const CCfgSettingCategoryBase& other);
    // Merges the source's fields into this object through the serialized form; the dirty flag
    // becomes the source's. Works between different categories.
    CCfgSettingCategoryBase& operator=(const CCfgSettingCategoryBase& other);

    // ---- virtual operations, in slot order ----
    ~CCfgSettingCategoryBase() override = 0;
    void operator<<(const CIPCMsgBuffer& buf) override;
    void operator>>(CIPCMsgBuffer& buf) const override;
    virtual x_wstring GetCategroyName() = 0;
    virtual CSubjectID GetSubjectID() = 0;
    virtual CCfgSettingCategoryBase* New() const = 0;
    virtual void Delete(CCfgSettingCategoryBase* p) = 0;
    virtual void SetSubjectID(const x_wstring& subjectId);
    virtual void ResetToDefault(const CCfgSettingCategoryBase& defaults);
    virtual void ResetToDefault(const CSubjectID& subject);
    virtual x_wstring GetFieldNameByID(unsigned int id);
    virtual CVar ReadFieldValue(unsigned int id);
    virtual void WriteFieldValue(unsigned int id, const CVar& value);
    virtual void EnumerateFieldInfo(CFieldInfoCallback& cb) const = 0;
    virtual void EnumerateFieldValue(CFieldInfoCallback& cb) const;
    virtual bool AddFieldValue(unsigned int id, CCfgSettingCategoryBase& setting);
    virtual bool AddFieldValue(const x_wstring& name, CCfgSettingCategoryBase& setting);
    virtual bool AddFieldValue(unsigned int id, const x_wstring& value);
    virtual bool AddFieldValue(unsigned int id, const tm* value);
    virtual bool AddFieldValue(unsigned int id, const void* data, int size);
    virtual bool AddFieldValue(unsigned int id, const wchar_t* value);
    virtual bool AddFieldValue(unsigned int id, const char* utf8);
    virtual bool AddFieldValue(unsigned int id, bool value);
    virtual bool AddFieldValue(unsigned int id, int value);
    virtual bool AddFieldValue(unsigned int id, short value);
    virtual bool AddFieldValue(unsigned int id, const CVar& value);
    virtual bool AddFieldValue(const x_wstring& name, const CVar& value);
    virtual bool AddFieldValueEx(unsigned int id, const CVar& value);
    virtual bool AddStringField(unsigned int id, const x_wstring& value);
    virtual bool GetFieldValue(unsigned int id, CCfgSettingCategoryBase& target) const;
    virtual bool GetFieldValue(const x_wstring& name, CCfgSettingCategoryBase& target) const;
    virtual bool GetFieldValue(unsigned int id, x_wstring& out) const;
    virtual bool GetFieldValue(unsigned int id, tm* out) const;
    virtual bool GetFieldValue(unsigned int id, void* data, int* size) const;
    virtual bool GetFieldValue(unsigned int id, wchar_t* buffer, int* length) const;
    virtual bool GetFieldValue(unsigned int id, char* utf8Buffer, int* length) const;
    virtual bool GetFieldValue(unsigned int id, bool* out) const;
    virtual bool GetFieldValue(unsigned int id, int* out) const;
    virtual bool GetFieldValue(unsigned int id, short* out) const;
    virtual bool GetFieldValue(unsigned int id, CVar& out) const;
    virtual bool GetFieldValue(const x_wstring& name, CVar& out) const;
    virtual bool GetFieldValueEx(unsigned int id, CVar& out) const;
    virtual bool GetStringField(unsigned int id, x_wstring& out) const;
    virtual void EraseField(const x_wstring& name);

  protected:
    virtual void CreateEmbeddedSetting(const x_wstring& fieldName,
                                       OS::CAutoObjPtr<CCfgSettingCategoryBase>& product,
                                       const wchar_t* subjectId) const;
    virtual bool GetEmbeddedSettingArray(
        const x_wstring& name, std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>>& out) const;
    virtual bool SetEmbeddedSettingArray(
        const x_wstring& name, std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>>& settings);

  public:
    // ---- non-virtual members ----
    bool IsDirty() const { return m_bDirty; }
    // Sets the dirty flag to `b` (it can set it as well as clear it).
    void ResetDirtyFlag(bool b) { m_bDirty = b; }

    // True for a name longer than "_CFGSETTING" that ends in it (case-sensitive).
    static bool IsCfgSettingField(const x_wstring& name);
    // True for a name longer than "_CFGSETTING_MV" that ends in it (case-sensitive).
    static bool IsCfgSettingMVField(const x_wstring& name);

    // One value in its serialized form: the type tag, then a payload chosen by the tag.
    static void CVarToBuffer(const CVar& v, CIPCMsgBuffer& buf);
    // Reads one serialized value into `v` (pass a fresh CVar: an unknown tag leaves it as it was).
    static void CVarFromBuffer(CVar& v, const CIPCMsgBuffer& buf);

  private:
    // Finds a declared field's name (find mode) or applies each declared default to the target
    // through its by-name AddFieldValue (add mode).
    class CInternalFieldInfoCB : public CFieldInfoCallback {
      public:
        CInternalFieldInfoCB(bool addMode, unsigned int id, CCfgSettingCategoryBase* target)
            : m_bAddMode(addMode), m_nID(id), m_pTarget(target) {}
        bool operator()(unsigned int id, const OS::x_wstring& name, const CVar& value) override;
        const OS::x_wstring& GetFoundName() const { return m_strName; }

      private:
        bool m_bAddMode;
        unsigned int m_nID;
        OS::x_wstring m_strName;
        CCfgSettingCategoryBase* m_pTarget;
    };

    // The stored value of `id` as a string (false when absent).
    bool ReadStringValue(unsigned int id, x_wstring& out) const;

    bool m_bDirty;
    FieldMap m_mapFields;
};

// Changes to apply to every subject of a category: fields are set and read by name only.
class ZOLTCFG_API CCfgSettingApplyAll : public CCfgSettingCategoryBase {
  public:
    explicit CCfgSettingApplyAll(const x_wstring& categoryName);
    CCfgSettingApplyAll(const CCfgSettingApplyAll& other);
    CCfgSettingApplyAll& operator=(const CCfgSettingApplyAll& other);
    ~CCfgSettingApplyAll() override;

    x_wstring GetCategroyName() override;

  protected:
    // Always "ZOLT_SUB_NULL".
    CSubjectID GetSubjectID() override;
    // Null: the category cannot be instantiated by itself.
    CCfgSettingCategoryBase* New() const override;
    void Delete(CCfgSettingCategoryBase* p) override;
    // Declares nothing.
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override;

  private:
    x_wstring m_strCategoryName;
};

// A small setting kept in memory: one string field.
class ZOLTCFG_API CCfgSettingInMemory : public CCfgSettingCategoryBase {
  public:
    static constexpr unsigned int INM_VAIRANT = 0x61A9001F;

    explicit CCfgSettingInMemory(const x_wstring& subjectId = L"ZOLT_SUB_CFG_INM_PR");
    CCfgSettingInMemory(const CCfgSettingInMemory& other);
    CCfgSettingInMemory& operator=(const CCfgSettingInMemory& other);
    ~CCfgSettingInMemory() override;

    x_wstring GetCategroyName() override;
    CSubjectID GetSubjectID() override;
    CCfgSettingCategoryBase* New() const override;
    void Delete(CCfgSettingCategoryBase* p) override;
    void SetSubjectID(const x_wstring& subjectId) override;
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override;

    // The field as a string; throws CCfgException code 2 when it is absent.
    x_wstring GetVariantFieldValue();
    void SetVariantFieldValue(const x_wstring& value);

  private:
    x_wstring m_strSubjectID;
};

// Per server: whether it runs as a cluster virtual server and where its files are.
class ZOLTCFG_API CCfgSettingVServerEnvironment : public CCfgSettingCategoryBase {
  public:
    static constexpr unsigned int VSE_LOG_FILENAME = 0x000B001F;
    static constexpr unsigned int VSE_CFG_FILENAME = 0x000C001F;
    static constexpr unsigned int VSE_REPORT_FILENAME = 0x000D001F;
    static constexpr unsigned int VSE_ROOT_FOLDER = 0x000F001F;
    static constexpr unsigned int VSE_SERVER_STATUS = 0x000E000B;

    explicit CCfgSettingVServerEnvironment(const x_wstring& subjectId = L"ZOLT_SUB_CFG_VRS_ENV");
    CCfgSettingVServerEnvironment(const CCfgSettingVServerEnvironment& other);
    CCfgSettingVServerEnvironment& operator=(const CCfgSettingVServerEnvironment& other);
    ~CCfgSettingVServerEnvironment() override;

    x_wstring GetCategroyName() override;
    CSubjectID GetSubjectID() override;
    CCfgSettingCategoryBase* New() const override;
    void Delete(CCfgSettingCategoryBase* p) override;
    void SetSubjectID(const x_wstring& subjectId) override;
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override;

    bool IsVirtualServerOn();
    void SetVirtualServerOn(bool on);
    void GetLogFileName(x_wstring& out);
    void SetLogFileName(const x_wstring& value);
    void GetConfigurationFileName(x_wstring& out);
    void SetConfigurationFileName(const x_wstring& value);
    void GetReportFileName(x_wstring& out);
    void SetReportFileName(const x_wstring& value);
    void GetRootFolder(x_wstring& out);
    void SetRootFolder(const x_wstring& value);

  private:
    x_wstring m_strSubjectID;
};

// An enumerator of settings offered to other modules; this library never calls it.
class ZOLTCFG_API CCfgSettingCategoryEnumerate {
  public:
    CCfgSettingCategoryEnumerate();
    CCfgSettingCategoryEnumerate(const CCfgSettingCategoryEnumerate& other);
    CCfgSettingCategoryEnumerate& operator=(const CCfgSettingCategoryEnumerate& other);
    virtual ~CCfgSettingCategoryEnumerate();

    // Starts again from the first setting; false when there is none.
    virtual bool GetFirst(CCfgSettingCategoryBase*& setting) = 0;
    // The next setting; false after the last one.
    virtual bool GetNext(CCfgSettingCategoryBase*& setting) = 0;
};

// Converts between one setting and the value forms of a field that holds it: a reference
// string "category:subject" or a byte-array copy (category, subject, serialized setting).
class ZOLTCFG_API CCfgSettingCategoryRef {
  public:
    using x_wstring = OS::x_wstring;

    // Names the referenced setting.
    struct SRef_Key {
        x_wstring m_strCategoryName;
        x_wstring m_strSubjectID;  // CSubjectID::ToString() form
    };
    // A copy of the referenced setting's fields (a by-name placeholder object), or null.
    struct SRef_Value {
        CCfgSettingCategoryBase* m_pSetting = nullptr;
    };

    CCfgSettingCategoryRef();
    CCfgSettingCategoryRef(const CCfgSettingCategoryRef& other);
    CCfgSettingCategoryRef& operator=(const CCfgSettingCategoryRef& other);
    virtual ~CCfgSettingCategoryRef();

    SRef_Key& GetRefKey() { return m_key; }
    SRef_Value& GetRefValue() { return m_value; }

    bool GetFieldRefBySetting(SRef_Key& key, SRef_Value& value, CCfgSettingCategoryBase& setting);
    bool GetValueByFieldRef(CVar& out, SRef_Key& key);
    bool GetValueByFieldRef(CVar& out, SRef_Key& key, SRef_Value& value);
    bool GetFieldRefByValue(SRef_Key& key, SRef_Value& value, CVar& v);
    bool GetSettingByFieldRef(CCfgSettingCategoryBase& setting, SRef_Key& key, SRef_Value& value);

  private:
    void ResetRefValue(SRef_Key& key, SRef_Value& value);

    SRef_Key m_key;
    SRef_Value m_value;
};

// The same conversions for an array of settings.
class ZOLTCFG_API CCfgMVSettingCategoryRef {
  public:
    CCfgMVSettingCategoryRef();
    CCfgMVSettingCategoryRef(const CCfgMVSettingCategoryRef& other);
    CCfgMVSettingCategoryRef& operator=(const CCfgMVSettingCategoryRef& other);
    virtual ~CCfgMVSettingCategoryRef();

    // Owned: the destructor destroys every non-null element.
    std::vector<CCfgSettingCategoryRef*>& GetRefSettingArray() { return m_vecRefSetting; }
    // Not owned.
    std::vector<CCfgSettingCategoryRef*>& GetNewSettingArray() { return m_vecNewSetting; }
    // Not owned.
    std::vector<CCfgSettingCategoryRef*>& GetCurSettingArray() { return m_vecCurSetting; }

    bool GetFieldRefBySetting(std::vector<CCfgSettingCategoryRef*>& refs,
                              std::vector<CCfgSettingCategoryBase*>& settings);
    bool GetValueByFieldRef(CVar& out, std::vector<CCfgSettingCategoryRef*>& refs, bool copy);
    bool GetFieldRefByValue(std::vector<CCfgSettingCategoryRef*>& refs, CVar& v);
    bool GetSettingByFieldRef(std::vector<CCfgSettingCategoryBase*>& settings,
                              std::vector<CCfgSettingCategoryRef*>& refs);

  private:
    std::vector<CCfgSettingCategoryRef*> m_vecRefSetting;
    std::vector<CCfgSettingCategoryRef*> m_vecNewSetting;
    std::vector<CCfgSettingCategoryRef*> m_vecCurSetting;
};

// The placeholder category for a setting whose class is not at hand, known only by its category
// name; it declares exactly the fields it holds (a program that reads or writes categories it
// has no class for, such as an administration tool, uses it).
class ZOLTCFG_API CCfgSettingCategoryFake : public CCfgSettingCategoryBase {
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
