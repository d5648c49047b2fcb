// CCfgSettingCategoryRef and CCfgMVSettingCategoryRef: convert one embedded setting, or an array
// of them, to and from the value a field stores for it: a reference string naming the setting or
// a byte-array copy of it. The copy forms are kept in the database (docs/setting-copy-forms.md):
//
//   single reference  := category ":" subject                       (a string value)
//   array reference   := { category ":" subject ":" }               (a string value, may be empty)
//   single copy       := x_wstring category, x_wstring subject, serialized setting
//                        (bool dirty, int count, count x (x_wstring name, value))
//   array copy        := uint32 N, then per non-null element: uint32 L, L bytes of its single copy
//
// with the items in the message buffer's encoding (integers little-endian, x_wstring a uint32
// byte count then UTF-8). Reading checks every length against the bytes left.
// Thread rule: a reference is a value object; one thread at a time per object.
#include <algorithm>
#include <memory>
#include <utility>

#include "cfg_Setting.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"

namespace {

const wchar_t kLogSource[] = L"cfg_SettingCategoryRef";

// The initial size of the buffers that hold a copy form.
constexpr unsigned long kCopyBufferSize = 1024;

using SettingPtr = std::unique_ptr<CCfgSettingCategoryBase>;

// A fresh placeholder for the setting that `category`/`subject` names, holding no fields.
SettingPtr MakePlaceholder(const OS::x_wstring& category, const OS::x_wstring& subject) {
    SettingPtr p(new CCfgSettingCategoryFake(category));
    p->SetSubjectID(subject);
    return p;
}

// A placeholder holding a copy of `source`'s fields and dirty flag, under `source`'s name.
// REQUIRES: source != nullptr.
SettingPtr ClonePlaceholder(CCfgSettingCategoryBase* source) {
    SettingPtr copy = MakePlaceholder(source->GetCategroyName(), source->GetSubjectID().ToString());
    CIPCMsgBuffer buf(kCopyBufferSize);
    *source >> buf;
    *copy << buf;
    return copy;
}

CVar BytesOf(const CIPCMsgBuffer& buf) {
    return CVar::FromBytes(buf.GetBuffer(), buf.BytesUsed());
}

// Returns a block handed out by CIPCMsgBuffer::Get.
struct BlockFree {
    const CIPCMsgBuffer* buf;
    void operator()(unsigned char* p) const { buf->Free(p); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// CCfgSettingCategoryRef

CCfgSettingCategoryRef::CCfgSettingCategoryRef() = default;

// Copies own their value: the copy gets a placeholder of its own with the same fields.
CCfgSettingCategoryRef::CCfgSettingCategoryRef(const CCfgSettingCategoryRef& other)
    : m_key(other.m_key) {
    if (other.m_value.m_pSetting != nullptr) {
        m_value.m_pSetting = ClonePlaceholder(other.m_value.m_pSetting).release();
    }
}

CCfgSettingCategoryRef& CCfgSettingCategoryRef::operator=(const CCfgSettingCategoryRef& other) {
    if (this == &other) return *this;
    SettingPtr copy;
    if (other.m_value.m_pSetting != nullptr) copy = ClonePlaceholder(other.m_value.m_pSetting);
    m_key = other.m_key;
    delete m_value.m_pSetting;
    m_value.m_pSetting = copy.release();
    return *this;
}

CCfgSettingCategoryRef::~CCfgSettingCategoryRef() {
    delete m_value.m_pSetting;
}

void CCfgSettingCategoryRef::ResetRefValue(SRef_Key& key, SRef_Value& value) {
    SettingPtr fresh = MakePlaceholder(key.m_strCategoryName, key.m_strSubjectID);
    delete value.m_pSetting;
    value.m_pSetting = fresh.release();
}

bool CCfgSettingCategoryRef::GetFieldRefBySetting(SRef_Key& key, SRef_Value& value,
                                                  CCfgSettingCategoryBase& setting) {
    // Serialize first, so that a value that cannot be written leaves key and value as they were.
    CIPCMsgBuffer buf(kCopyBufferSize);
    setting >> buf;
    key.m_strCategoryName = setting.GetCategroyName();
    key.m_strSubjectID = setting.GetSubjectID().ToString();
    ResetRefValue(key, value);
    if (value.m_pSetting == nullptr) return false;
    *value.m_pSetting << buf;
    return true;
}

bool CCfgSettingCategoryRef::GetValueByFieldRef(CVar& out, SRef_Key& key) {
    out = CVar(key.m_strCategoryName + L":" + key.m_strSubjectID);
    return true;
}

bool CCfgSettingCategoryRef::GetValueByFieldRef(CVar& out, SRef_Key& key, SRef_Value& value) {
    if (value.m_pSetting == nullptr) return false;
    CIPCMsgBuffer buf(kCopyBufferSize);
    buf << key.m_strCategoryName << key.m_strSubjectID;
    *value.m_pSetting >> buf;
    out = BytesOf(buf);
    return true;
}

// A malformed copy throws CIPCMsgBufferException out of here; key and value are then unchanged.
bool CCfgSettingCategoryRef::GetFieldRefByValue(SRef_Key& key, SRef_Value& value, CVar& v) {
    if (v.IsString()) {
        std::vector<OS::x_wstring> words;
        NS_StringUtils::splitWords(v.GetString(), L':', words);
        if (words.size() != 2) return false;
        key.m_strCategoryName = words[0];
        key.m_strSubjectID = words[1];
        ResetRefValue(key, value);
        return true;
    }
    if (v.IsByteArray() && v.GetBytes().size() > 4) {
        const std::vector<uint8_t>& bytes = v.GetBytes();
        const CIPCMsgBuffer buf = CIPCMsgBuffer::FromBytes(bytes.data(), bytes.size());
        SRef_Key parsed;
        buf >> parsed.m_strCategoryName >> parsed.m_strSubjectID;
        SettingPtr copy = MakePlaceholder(parsed.m_strCategoryName, parsed.m_strSubjectID);
        *copy << buf;
        key = std::move(parsed);
        delete value.m_pSetting;
        value.m_pSetting = copy.release();
        return true;
    }
    return false;
}

bool CCfgSettingCategoryRef::GetSettingByFieldRef(CCfgSettingCategoryBase& setting,
                                                  SRef_Key& /*key*/, SRef_Value& value) {
    if (value.m_pSetting == nullptr) return false;
    CIPCMsgBuffer buf(kCopyBufferSize);
    *value.m_pSetting >> buf;
    setting << buf;
    return true;
}

// ---------------------------------------------------------------------------------------------
// CCfgMVSettingCategoryRef

CCfgMVSettingCategoryRef::CCfgMVSettingCategoryRef() = default;

// The owned reference array is copied element by element; the two arrays that only point at
// references owned elsewhere are shared.
CCfgMVSettingCategoryRef::CCfgMVSettingCategoryRef(const CCfgMVSettingCategoryRef& other)
    : m_vecNewSetting(other.m_vecNewSetting), m_vecCurSetting(other.m_vecCurSetting) {
    m_vecRefSetting.reserve(other.m_vecRefSetting.size());
    try {
        for (CCfgSettingCategoryRef* p : other.m_vecRefSetting) {
            m_vecRefSetting.push_back(p ? new CCfgSettingCategoryRef(*p) : nullptr);
        }
    } catch (...) {
        for (CCfgSettingCategoryRef* p : m_vecRefSetting) delete p;
        throw;
    }
}

CCfgMVSettingCategoryRef& CCfgMVSettingCategoryRef::operator=(
    const CCfgMVSettingCategoryRef& other) {
    if (this == &other) return *this;
    CCfgMVSettingCategoryRef copy(other);
    std::swap(m_vecRefSetting, copy.m_vecRefSetting);
    std::swap(m_vecNewSetting, copy.m_vecNewSetting);
    std::swap(m_vecCurSetting, copy.m_vecCurSetting);
    return *this;  // `copy` now destroys what this object owned before
}

CCfgMVSettingCategoryRef::~CCfgMVSettingCategoryRef() {
    for (CCfgSettingCategoryRef* p : m_vecRefSetting) delete p;
}

bool CCfgMVSettingCategoryRef::GetFieldRefBySetting(
    std::vector<CCfgSettingCategoryRef*>& refs, std::vector<CCfgSettingCategoryBase*>& settings) {
    for (CCfgSettingCategoryBase* setting : settings) {
        std::unique_ptr<CCfgSettingCategoryRef> ref(new CCfgSettingCategoryRef);
        if (setting == nullptr ||
            !ref->GetFieldRefBySetting(ref->GetRefKey(), ref->GetRefValue(), *setting)) {
            CFG_LOG(DBG::LVL_WARNING,
                    L"CCfgMVSettingCategoryRef::GetFieldRefBySetting, "
                    L"pcfgSettingRef->GetFieldRefBySetting() failed.");
            return false;
        }
        refs.push_back(ref.release());
    }
    return true;
}

bool CCfgMVSettingCategoryRef::GetValueByFieldRef(CVar& out,
                                                  std::vector<CCfgSettingCategoryRef*>& refs,
                                                  bool copy) {
    static const wchar_t kFailed[] =
        L"CCfgMVSettingCategoryRef::GetValueByFieldRef, pcfgSettingRef->GetValueByFieldRef() "
        L"failed.";
    if (copy) {
        CIPCMsgBuffer buf(kCopyBufferSize);
        buf << static_cast<unsigned int>(refs.size());
        for (CCfgSettingCategoryRef* ref : refs) {
            if (ref == nullptr) continue;
            CVar element;
            if (!ref->GetValueByFieldRef(element, ref->GetRefKey(), ref->GetRefValue())) {
                CFG_LOG(DBG::LVL_WARNING, kFailed);
                return false;
            }
            const std::vector<uint8_t>& bytes = element.GetBytes();
            buf << static_cast<unsigned int>(bytes.size());
            buf.Put(bytes.data(), static_cast<unsigned int>(bytes.size()));
        }
        out = BytesOf(buf);
        return true;
    }
    OS::x_wstring text;
    for (CCfgSettingCategoryRef* ref : refs) {
        if (ref == nullptr) continue;
        CVar element;
        if (!ref->GetValueByFieldRef(element, ref->GetRefKey())) {
            CFG_LOG(DBG::LVL_WARNING, kFailed);
            return false;
        }
        text += element.GetString();
        text += L':';
    }
    out = CVar(text);
    return true;
}

bool CCfgMVSettingCategoryRef::GetFieldRefByValue(std::vector<CCfgSettingCategoryRef*>& refs,
                                                  CVar& v) {
    if (v.IsString()) {
        std::vector<OS::x_wstring> words;
        NS_StringUtils::splitWords(v.GetString(), L':', words);
        if (words.empty()) return true;
        if (words.size() % 2 != 0) return false;
        for (size_t i = 0; i < words.size(); i += 2) {
            std::unique_ptr<CCfgSettingCategoryRef> ref(new CCfgSettingCategoryRef);
            CVar pair(words[i] + L":" + words[i + 1]);
            ref->GetFieldRefByValue(ref->GetRefKey(), ref->GetRefValue(), pair);
            refs.push_back(ref.release());
        }
        return true;
    }
    if (!v.IsByteArray()) return false;
    const std::vector<uint8_t>& bytes = v.GetBytes();
    if (bytes.size() <= 4) return true;
    try {
        const CIPCMsgBuffer buf = CIPCMsgBuffer::FromBytes(bytes.data(), bytes.size());
        unsigned int count = 0;
        buf >> count;
        // Every element consumes at least its 4-byte length, so a lying count runs out of bytes.
        for (unsigned int i = 0; i < count; ++i) {
            unsigned int length = 0;
            buf >> length;
            unsigned char* raw = nullptr;
            buf.Get(raw, length);
            const std::unique_ptr<unsigned char, BlockFree> block(raw, BlockFree{&buf});
            CVar element = CVar::FromBytes(block.get(), length);
            std::unique_ptr<CCfgSettingCategoryRef> ref(new CCfgSettingCategoryRef);
            if (!ref->GetFieldRefByValue(ref->GetRefKey(), ref->GetRefValue(), element)) {
                CFG_LOG(DBG::LVL_WARNING,
                        L"CCfgMVSettingCategoryRef::GetFieldRefByValue, "
                        L"pcfgSettingRef->GetFieldRefByValue() failed.");
                return false;
            }
            refs.push_back(ref.release());
        }
    } catch (const CIPCMsgBufferException&) {
        return false;
    }
    return true;
}

bool CCfgMVSettingCategoryRef::GetSettingByFieldRef(std::vector<CCfgSettingCategoryBase*>& settings,
                                                    std::vector<CCfgSettingCategoryRef*>& refs) {
    const size_t n = std::min(settings.size(), refs.size());
    for (size_t i = 0; i < n; ++i) {
        CCfgSettingCategoryRef* ref = refs[i];
        if (settings[i] == nullptr || ref == nullptr ||
            !ref->GetSettingByFieldRef(*settings[i], ref->GetRefKey(), ref->GetRefValue())) {
            CFG_LOG(DBG::LVL_WARNING,
                    L"CCfgMVSettingCategoryRef::GetSettingByFieldRef, "
                    L"pcfgSettingRef->GetSettingByFieldRef() failed.");
            return false;
        }
    }
    return true;
}
