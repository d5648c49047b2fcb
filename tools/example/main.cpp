// zoltcfg-example: a small category, one setting of it written into a message buffer and read
// back into a second object, whose fields are then printed (name, kind, value).
// Thread rule: single-threaded program.
#include <cstdio>

#include "cfg_Setting.h"

namespace {

// A category declares its fields: id (number << 16 | type code), name and default.
class CMailPolicy : public CCfgSettingCategoryBase {
  public:
    static constexpr unsigned int SUBJECT_TAG = 0x0001001F;  // string
    static constexpr unsigned int MAX_SIZE_KB = 0x00020003;  // 32-bit integer
    static constexpr unsigned int ENABLED = 0x0003000B;      // boolean

    explicit CMailPolicy(const x_wstring& subject = L"ZOLT_SUB_EXAMPLE") : m_strSubject(subject) {}

    x_wstring GetCategroyName() override { return L"QV_MailPolicy"; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_strSubject); }
    CCfgSettingCategoryBase* New() const override { return new CMailPolicy(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring& s) override { m_strSubject = s; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        if (!cb(SUBJECT_TAG, L"SUBJECT_TAG", CVar(L"[checked]"))) return;
        if (!cb(MAX_SIZE_KB, L"MAX_SIZE_KB", CVar(10240))) return;
        cb(ENABLED, L"ENABLED", CVar(true));
    }

  private:
    x_wstring m_strSubject;
};

const char* KindName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return "empty";
        case VT_I2:
            return "short";
        case VT_I4:
            return "int";
        case VT_DATE:
            return "date";
        case VT_BSTR:
            return "string";
        case VT_BOOL:
            return "bool";
        case VT_ARRAY_UI1:
            return "bytes";
        default:
            return "other";
    }
}

// Prints every stored field of a setting.
class CPrinter : public CCfgSettingCategoryBase::CFieldInfoCallback {
  public:
    bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
        const std::string text = value.IsByteArray()
                                     ? "(" + std::to_string(value.GetBytes().size()) + " bytes)"
                                     : value.ToString().ToUtf8();
        std::printf("  %-12s %-7s %s\n", name.ToUtf8().c_str(), KindName(value.vt()), text.c_str());
        return true;
    }
};

}  // namespace

int main() {
    try {
        CMailPolicy policy;
        policy.ResetToDefault(policy.GetSubjectID());  // every declared field at its default
        policy.AddFieldValue(CMailPolicy::SUBJECT_TAG, "[vérifié]");  // narrow text is UTF-8
        policy.AddFieldValue(CMailPolicy::MAX_SIZE_KB, 2048);
        // Any name can be stored, declared or not.
        policy.AddFieldValue(OS::x_wstring(L"LAST_CHECK"), CVar::FromDate(45429.375));

        CIPCMsgBuffer buf(1024, false);
        policy >> buf;
        std::printf("serialized %lu bytes\n", buf.BytesUsed());

        CMailPolicy copy(L"ZOLT_SUB_COPY");
        copy << buf;
        std::printf("%s / %s (dirty: %s)\n", copy.GetCategroyName().ToUtf8().c_str(),
                    copy.GetSubjectID().ToString().ToUtf8().c_str(), copy.IsDirty() ? "yes" : "no");
        CPrinter printer;
        copy.EnumerateFieldValue(printer);

        int maxSize = 0;
        copy.GetFieldValue(CMailPolicy::MAX_SIZE_KB, &maxSize);
        std::printf("MAX_SIZE_KB read as int: %d\n", maxSize);
        copy.ReadFieldValue(0x00630003);  // not declared: throws
    } catch (const CCfgException& e) {
        std::printf("CCfgException %d: %s\n", e.GetErrorCode(), e.GetErrorMsg().ToUtf8().c_str());
    }
    return 0;
}
