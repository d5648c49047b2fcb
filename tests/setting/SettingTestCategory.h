// A small category used by the setting tests: one field of every value kind the base class
// creates, a subject member, and a variant that records (and may refuse) every by-name write.
// Thread rule: test-only, one thread.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "cfg_Setting.h"

namespace settingtest {

constexpr unsigned int kName = 0x0001001F;     // NAME, string, "default"
constexpr unsigned int kCount = 0x00020003;    // COUNT, 32-bit integer, 5
constexpr unsigned int kSmall = 0x00030002;    // SMALL, 16-bit integer, 1
constexpr unsigned int kEnabled = 0x0004000B;  // ENABLED, boolean, true
constexpr unsigned int kWhen = 0x00050007;     // WHEN, date, 2000-01-01 00:00:00
constexpr unsigned int kBlob = 0x00062011;     // BLOB, bytes, empty
constexpr unsigned int kUndeclared = 0x00630003;

class CTestCategory : public CCfgSettingCategoryBase {
  public:
    explicit CTestCategory(const x_wstring& subject = L"ZOLT_SUB_TEST") : m_strSubjectID(subject) {}
    CTestCategory(const CTestCategory&) = default;
    CTestCategory& operator=(const CTestCategory& other) {
        CCfgSettingCategoryBase::operator=(other);
        m_strSubjectID = other.m_strSubjectID;
        return *this;
    }

    x_wstring GetCategroyName() override { return L"QV_Test"; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_strSubjectID); }
    CCfgSettingCategoryBase* New() const override { return new CTestCategory(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring& s) override { m_strSubjectID = s; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        static const struct {
            unsigned int id;
            const wchar_t* name;
            CVar def;
        } kTable[] = {
            {kName, L"NAME", CVar(L"default")},
            {kCount, L"COUNT", CVar(5)},
            {kSmall, L"SMALL", CVar(static_cast<short>(1))},
            {kEnabled, L"ENABLED", CVar(true)},
            {kWhen, L"WHEN", CVar::FromDate(36526.0)},
            {kBlob, L"BLOB", CVar::FromBytes(std::vector<uint8_t>{})},
        };
        for (const auto& f : kTable) {
            if (!cb(f.id, f.name, f.def)) return;
        }
    }

  private:
    x_wstring m_strSubjectID;
};

// Records every by-name write; refuses writes while `refuse` is set.
class CRecordingCategory : public CTestCategory {
  public:
    using CCfgSettingCategoryBase::AddFieldValue;

    bool AddFieldValue(const x_wstring& name, const CVar& value) override {
        writes.push_back(name);
        if (refuse) return false;
        return CTestCategory::AddFieldValue(name, value);
    }

    bool refuse = false;
    std::vector<OS::x_wstring> writes;
};

using FieldList = std::vector<std::pair<OS::x_wstring, CVar>>;

// What an enumeration reports, in its order: the stored fields, or the declared ones.
inline FieldList Fields(const CCfgSettingCategoryBase& s, bool declared = false) {
    struct Collect : CCfgSettingCategoryBase::CFieldInfoCallback {
        FieldList seen;
        bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
            seen.emplace_back(name, value);
            return true;
        }
    } c;
    if (declared) {
        s.EnumerateFieldInfo(c);
    } else {
        s.EnumerateFieldValue(c);
    }
    return c.seen;
}

// The buffer-length protocol of the typed readers, for a field holding `expected` (text readers:
// with the terminator). `read(buffer, &length)` calls the reader. With no buffer it answers the
// length needed; a buffer one too small is refused with nothing written and the length kept;
// a larger one gets `expected`, the length becomes its size, and nothing is written past it.
template <class T, class Read>
void ExpectBufferProtocol(Read read, const std::vector<T>& expected) {
    const int need = static_cast<int>(expected.size());
    const std::vector<T> untouched(expected.size() + 2, static_cast<T>(0x5A));
    std::vector<T> buf = untouched;
    int len = -1;
    EXPECT_TRUE(read(nullptr, &len));
    EXPECT_EQ(len, need);
    len = need - 1;
    EXPECT_FALSE(read(buf.data(), &len));
    EXPECT_EQ(len, need - 1);
    EXPECT_EQ(buf, untouched);
    len = need + 2;
    EXPECT_TRUE(read(buf.data(), &len));
    EXPECT_EQ(len, need);
    EXPECT_EQ(std::vector<T>(buf.begin(), buf.begin() + need), expected);
    EXPECT_EQ(buf[expected.size()], static_cast<T>(0x5A));
}

}  // namespace settingtest
