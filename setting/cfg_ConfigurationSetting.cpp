// CCfgSettingCategoryBase: the field map with its by-name and by-id cores, the typed writers and
// readers, defaults, enumeration, copying, and the serialized form of a setting and of a single
// value; CCfgException's messages.
//
// Serialized setting (every item written and read by the message buffer itself):
//   setting := dirty:bool  count:int  { name:x_wstring  value }*count      (map order)
//   value   := tag:ushort  payload
//   payload (by tag)
//     2, 18           short        (the value coerced to a 16-bit signed integer)
//     3, 19, 22, 23   int          (the value coerced to a 32-bit signed integer)
//     20              long long    (the 64-bit signed integer: 8 bytes, little-endian)
//     5               long long    (the bits of the IEEE-754 double: 8 bytes, little-endian)
//     7               36 raw bytes: nine little-endian int32 of a struct tm, in this order:
//                     sec, min, hour, mday, mon (0-11), year-1900, wday (0 = Sunday), yday, isdst
//     8, 30, 31       x_wstring    (30 and 31 are read back as 8)
//     11              bool         (read back as -1 or 0)
//     0x2011          count:uint, then count raw bytes
//     anything else   nothing      (the reader leaves its value as it was)
// docs/setting-format.md describes the same layout; the golden-bytes test pins it.
//
// Thread rule: one thread at a time per object; the static value helpers share no state.
#include <bit>
#include <cstring>
#include <iterator>
#include <utility>

#include "cfg_Setting.h"
#include "outside/common/CTime.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingSkip.h"

namespace {

static const wchar_t kLogSource[] = L"cfg_ConfigurationSetting";

// The id that EnumerateFieldValue reports: stored values are kept by name only.
constexpr unsigned int kStoredFieldId = 3;
constexpr unsigned long kCopyBufferSize = 1024;

// A struct tm to an automation date: year + 1900, month + 1, the rest as they are, 0.0 when the
// moment cannot be expressed.
DATE TmToDate(const tm& t) {
    // A struct tm read from a buffer may hold anything: years and months outside the calendar
    // are refused before the offsets are added, so that the additions cannot overflow.
    if (t.tm_year < 100 - 1900 || t.tm_year > 9999 - 1900 || t.tm_mon < 0 || t.tm_mon > 11)
        return 0.0;
    CalendarTime ct;
    ct.year = t.tm_year + 1900;
    ct.month = t.tm_mon + 1;
    ct.day = t.tm_mday;
    ct.hour = t.tm_hour;
    ct.minute = t.tm_min;
    ct.second = t.tm_sec;
    ct.millisecond = 0;
    ct.dayOfWeek = t.tm_wday;
    DATE d = 0.0;
    if (!CalendarToVariantTime(ct, d)) d = 0.0;
    return d;
}

// An automation date to the struct tm the calendar class holds for it; false when the date is
// outside the calendar's years.
bool DateToTm(DATE d, tm& out) {
    CalendarTime ct;
    if (!VariantTimeToCalendar(d, ct)) return false;
    OS::CTime(ct.year, ct.month, ct.day, ct.hour, ct.minute, ct.second).GetTimeStruct(out);
    return true;
}

// Writes one serialized value (tag and payload); coercion failures throw after the tag.
void WriteValue(const CVar& v, CIPCMsgBuffer& buf) {
    const VARTYPE tag = v.vt();
    buf << static_cast<unsigned short>(tag);
    switch (tag) {
        case VT_I2:
        case VT_UI2:
            buf << (tag == VT_I2 ? v.GetI2() : v.ChangeType(VT_I2).GetI2());
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            buf << (tag == VT_I4 ? v.GetI4() : v.ChangeType(VT_I4).GetI4());
            break;
        case VT_I8:
            buf << static_cast<long long>(v.GetInt64());
            break;
        case VT_R8:
            buf << std::bit_cast<long long>(v.GetReal());
            break;
        case VT_DATE: {
            tm t{};
            if (!DateToTm(v.GetDate(), t)) {
                throw CVarConversionException(CVarConversionException::OVERFLOW_ERROR, VT_DATE,
                                              VT_DATE, OS_WFILE, __LINE__);
            }
            buf << t.tm_sec << t.tm_min << t.tm_hour << t.tm_mday << t.tm_mon << t.tm_year
                << t.tm_wday << t.tm_yday << t.tm_isdst;
            break;
        }
        case VT_BSTR:
            buf << v.GetString();
            break;
        case VT_LPSTR:
        case VT_LPWSTR:
            buf << v.ChangeType(VT_BSTR).GetString();
            break;
        case VT_BOOL:
            buf << (v.GetBoolRaw() != 0);
            break;
        case VT_ARRAY_UI1: {
            const auto& bytes = v.GetBytes();
            buf << static_cast<int>(bytes.size());
            buf.Put(bytes.data(), static_cast<unsigned int>(bytes.size()));
            break;
        }
        default:
            break;
    }
}

// While a setting reads a buffer, its fields arrive in map order: the by-name AddFieldValue
// looks first at the place after the field it stored last, which costs one name comparison
// instead of a search. The hint belongs to one map and one thread, lives only while that map's
// setting reads a buffer, and is dropped when the map has shrunk since it was taken.
// REQUIRES: a category's by-name AddFieldValue does not erase fields of the setting it stores
// into while that setting reads a buffer.
using FieldMap = CCfgSettingCategoryBase::FieldMap;

struct SReadHint {
    const FieldMap* map;
    FieldMap::iterator next;
    size_t size;
};

thread_local SReadHint* t_pReadHint = nullptr;

class CReadHintScope {
  public:
    explicit CReadHintScope(FieldMap& map)
        : m_hint{&map, map.begin(), map.size()}, m_previous(t_pReadHint) {
        t_pReadHint = &m_hint;
    }
    ~CReadHintScope() { t_pReadHint = m_previous; }
    CReadHintScope(const CReadHintScope&) = delete;
    CReadHintScope& operator=(const CReadHintScope&) = delete;

  private:
    SReadHint m_hint;
    SReadHint* m_previous;
};

// The first entry whose name is not less than `name` (case-insensitive), trying the hint first;
// `found` tells whether that entry has the name.
FieldMap::iterator LowerBound(FieldMap& map, SReadHint* hint, const OS::x_wstring& name,
                              bool& found) {
    if (hint != nullptr && hint->size == map.size()) {
        const auto at = hint->next;
        const int c = at == map.end() ? 1 : OS::wcsicmp(at->first, name);
        if (c == 0 ||
            (c > 0 && (at == map.begin() || OS::wcsicmp(std::prev(at)->first, name) < 0))) {
            found = c == 0;
            return at;
        }
    }
    const auto at = map.lower_bound(name);
    found = at != map.end() && OS::wcsicmp(at->first, name) == 0;
    return at;
}

// The value as a wide string: strings as they are, other kinds through the variant's string
// coercion (which throws the variant conversion error for kinds without a string form).
OS::x_wstring ValueAsString(const CVar& v) {
    if (v.IsString()) return v.GetString();
    return v.ChangeType(VT_BSTR).GetString();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CCfgException

CCfgException::CCfgException(unsigned int fieldId, MSGBUF_VIOLATION code, const wchar_t* file,
                             int line)
    : OS::CException(static_cast<int>(code), file, line), m_nFieldID(fieldId) {}

CCfgException::~CCfgException() = default;

OS::x_wstring CCfgException::GetErrorMsg() const {
    OS::x_wstring msg;
    switch (m_nCode) {
        case SUBJECT_ID_INVALID:
            msg = L"Subject id configuration is invalid formula.";
            break;
        case FIELD_TYPE_INCORRECT:
            msg = L"Field type is incorrect.";
            break;
        case FIELD_NOT_EXIST:
            msg.Format(L"Field ID 0x%08x is not exist.", m_nFieldID);
            break;
        case FIELD_DATA_INVALID:
            msg.Format(L"Data of Field ID 0x%08x is not valid format.", m_nFieldID);
            break;
        default:
            break;
    }
    return msg;
}

// ---------------------------------------------------------------------------------------------
// Callbacks

CCfgSettingCategoryBase::CFieldInfoCallback::~CFieldInfoCallback() = default;

bool CCfgSettingCategoryBase::CInternalFieldInfoCB::operator()(unsigned int id,
                                                               const OS::x_wstring& name,
                                                               const CVar& value) {
    if (m_bAddMode) return m_pTarget->AddFieldValue(name, value);
    if (id == m_nID) {
        m_strName = name;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Construction and copying

CCfgSettingCategoryBase::CCfgSettingCategoryBase() : m_bDirty(false) {}

CCfgSettingCategoryBase::CCfgSettingCategoryBase(const CCfgSettingCategoryBase& other)
    : CStreamable(), m_bDirty(other.m_bDirty), m_mapFields(other.m_mapFields) {}

CCfgSettingCategoryBase::~CCfgSettingCategoryBase() = default;

CCfgSettingCategoryBase& CCfgSettingCategoryBase::operator=(const CCfgSettingCategoryBase& other) {
    if (this == &other) return *this;
    // Through the serialized form, so that a category's own stream operators and its by-name
    // AddFieldValue see the copy; the whole source is written before anything is stored here.
    CIPCMsgBuffer buf(kCopyBufferSize, false);
    other >> buf;
    *this << buf;
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Serialized form

void CCfgSettingCategoryBase::operator>>(CIPCMsgBuffer& buf) const {
    // What was put before a coercion failure stays in the buffer.
    buf << m_bDirty << static_cast<int>(m_mapFields.size());
    for (const auto& [name, value] : m_mapFields) {
        buf << name;
        WriteValue(value, buf);
    }
}

void CCfgSettingCategoryBase::operator<<(const CIPCMsgBuffer& buf) {
    bool dirty = false;
    int count = 0;
    buf >> dirty >> count;
    CReadHintScope hintScope(m_mapFields);
    x_wstring name;  // reused: every field name is decoded into the same string
    for (int i = 0; i < count; ++i) {
        buf >> name;
        CVar value;
        CVarFromBuffer(value, buf);
        AddFieldValue(name, value);
    }
    m_bDirty = dirty;
}

void CCfgSettingCategoryBase::CVarToBuffer(const CVar& v, CIPCMsgBuffer& buf) {
    WriteValue(v, buf);
}

void CCfgSettingCategoryBase::CVarFromBuffer(CVar& v, const CIPCMsgBuffer& buf) {
    unsigned short tag = 0;
    buf >> tag;
    switch (tag) {
        case VT_I2:
        case VT_UI2: {
            short s = 0;
            buf >> s;
            v.SetI2(s);
            break;
        }
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT: {
            int i = 0;
            buf >> i;
            v.SetI4(i);
            break;
        }
        case VT_I8:
        case VT_R8: {
            long long bits = 0;
            buf >> bits;
            v = tag == VT_I8 ? CVar::FromI8(bits) : CVar::FromR8(std::bit_cast<double>(bits));
            break;
        }
        case VT_DATE: {
            // The payload is taken whole, so that a short one throws before any of it is read.
            unsigned char raw[kEncodedDateSize];
            buf.GetInto(raw, kEncodedDateSize);
            const CIPCMsgBuffer payload = CIPCMsgBuffer::FromBytes(raw, kEncodedDateSize);
            tm t{};
            payload >> t.tm_sec >> t.tm_min >> t.tm_hour >> t.tm_mday >> t.tm_mon >> t.tm_year >>
                t.tm_wday;
            // Day of year and the daylight flag are not needed to rebuild the moment.
            v.SetDate(TmToDate(t));
            break;
        }
        case VT_BSTR:
        case VT_LPSTR:
        case VT_LPWSTR: {
            OS::x_wstring s;
            buf >> s;
            v.SetString(std::move(s));
            break;
        }
        case VT_BOOL: {
            bool b = false;
            buf >> b;
            v.SetBool(b);
            break;
        }
        case VT_ARRAY_UI1: {
            unsigned int count = 0;
            buf >> count;
            if (count > buf.GetCurrentSize()) {
                unsigned char* block = nullptr;
                buf.Get(block, count);  // throws: fewer bytes left than announced
                buf.Free(block);
            }
            std::vector<uint8_t> bytes(count);
            buf.GetInto(bytes.data(), count);
            v.SetBytes(std::move(bytes));
            break;
        }
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// By-name and by-id cores

bool CCfgSettingCategoryBase::AddFieldValue(const x_wstring& name, const CVar& value) {
    SReadHint* hint = t_pReadHint;
    if (hint != nullptr && hint->map != &m_mapFields) hint = nullptr;
    bool found = false;
    auto it = LowerBound(m_mapFields, hint, name, found);
    if (found) {
        it->second = value;  // the key keeps the spelling of its first insertion
    } else {
        it = m_mapFields.emplace_hint(it, name, value);
    }
    if (hint != nullptr) {
        hint->next = std::next(it);
        hint->size = m_mapFields.size();
    }
    m_bDirty = true;
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(const x_wstring& name, CVar& out) const {
    const auto it = m_mapFields.find(name);
    if (it == m_mapFields.end()) return false;
    out = it->second;
    return true;
}

CCfgSettingCategoryBase::x_wstring CCfgSettingCategoryBase::GetFieldNameByID(unsigned int id) {
    CInternalFieldInfoCB cb(false, id, this);
    EnumerateFieldInfo(cb);
    return cb.GetFoundName();
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const CVar& value) {
    const x_wstring name = GetFieldNameByID(id);
    if (name.empty()) return false;
    const bool stored = AddFieldValue(name, value);
    m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, CVar& out) const {
    // Resolving a name only walks the declaration; it changes nothing.
    const x_wstring name = const_cast<CCfgSettingCategoryBase*>(this)->GetFieldNameByID(id);
    if (name.empty()) return false;
    return GetFieldValue(name, out);
}

bool CCfgSettingCategoryBase::AddFieldValueEx(unsigned int id, const CVar& value) {
    return AddFieldValue(id, value);
}

bool CCfgSettingCategoryBase::GetFieldValueEx(unsigned int id, CVar& out) const {
    return GetFieldValue(id, out);
}

bool CCfgSettingCategoryBase::AddStringField(unsigned int id, const x_wstring& value) {
    return AddFieldValue(id, value);
}

bool CCfgSettingCategoryBase::GetStringField(unsigned int id, x_wstring& out) const {
    return GetFieldValue(id, out);
}

void CCfgSettingCategoryBase::SetSubjectID(const x_wstring& /*subjectId*/) {}

// ---------------------------------------------------------------------------------------------
// Typed writers: each value is fully built before the by-id AddFieldValue stores it.

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const x_wstring& value) {
    const bool stored = AddFieldValue(id, CVar(value));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const tm* value) {
    if (value == nullptr) return false;
    const bool stored = AddFieldValue(id, CVar::FromDate(TmToDate(*value)));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const void* data, int size) {
    if (size < 0 || (data == nullptr && size > 0)) return false;
    const bool stored = AddFieldValue(id, CVar::FromBytes(data, static_cast<size_t>(size)));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const wchar_t* value) {
    const bool stored = AddFieldValue(id, CVar(value));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, const char* utf8) {
    const bool stored = AddFieldValue(id, CVar(utf8));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, bool value) {
    const bool stored = AddFieldValue(id, CVar(value));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, int value) {
    const bool stored = AddFieldValue(id, CVar(value));
    if (stored) m_bDirty = true;
    return stored;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, short value) {
    const bool stored = AddFieldValue(id, CVar(value));
    if (stored) m_bDirty = true;
    return stored;
}

// ---------------------------------------------------------------------------------------------
// Typed readers

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, short* out) const {
    if (out == nullptr) return false;
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    *out = v.vt() == VT_I2 ? v.GetI2() : v.ChangeType(VT_I2).GetI2();
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, int* out) const {
    if (out == nullptr) return false;
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    *out = v.vt() == VT_I4 ? v.GetI4() : v.ChangeType(VT_I4).GetI4();
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, bool* out) const {
    if (out == nullptr) return false;
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    const short raw = v.vt() == VT_BOOL ? v.GetBoolRaw() : v.ChangeType(VT_BOOL).GetBoolRaw();
    *out = raw != 0;
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, tm* out) const {
    if (out == nullptr) return false;
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    const DATE d = v.vt() == VT_DATE ? v.GetDate() : v.ChangeType(VT_DATE).GetDate();
    tm t{};
    if (!DateToTm(d, t)) return false;
    *out = t;
    return true;
}

bool CCfgSettingCategoryBase::ReadStringValue(unsigned int id, x_wstring& out) const {
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    out = ValueAsString(v);
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, wchar_t* buffer, int* length) const {
    if (length == nullptr) return false;
    x_wstring s;
    if (!ReadStringValue(id, s)) return false;
    const size_t needed = s.size() + 1;
    if (buffer == nullptr) {
        *length = static_cast<int>(needed);
        return true;
    }
    if (*length < 0 || static_cast<size_t>(*length) < needed) return false;
    std::memcpy(buffer, s.c_str(), needed * sizeof(wchar_t));
    *length = static_cast<int>(needed);
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, char* utf8Buffer, int* length) const {
    if (length == nullptr) return false;
    x_wstring s;
    if (!ReadStringValue(id, s)) return false;
    const std::string utf8 = s.ToUtf8();
    const size_t needed = utf8.size() + 1;
    if (utf8Buffer == nullptr) {
        *length = static_cast<int>(needed);
        return true;
    }
    if (*length < 0 || static_cast<size_t>(*length) < needed) return false;
    std::memcpy(utf8Buffer, utf8.c_str(), needed);
    *length = static_cast<int>(needed);
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, x_wstring& out) const {
    // Length first, then the text, through the wide-buffer reader (a category may override it).
    int length = 0;
    if (!GetFieldValue(id, static_cast<wchar_t*>(nullptr), &length) || length <= 0) return false;
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (!GetFieldValue(id, text.data(), &length) || length <= 0) return false;
    out.assign(text.data(), static_cast<size_t>(length - 1));
    return true;
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id, void* data, int* size) const {
    if (size == nullptr) return false;
    CVar v;
    if (!GetFieldValue(id, v)) return false;
    static const std::vector<uint8_t> kNoBytes;
    const std::vector<uint8_t>& bytes = v.IsByteArray() ? v.GetBytes() : kNoBytes;
    if (data == nullptr) {
        *size = static_cast<int>(bytes.size());
        return true;
    }
    if (*size < 0 || static_cast<size_t>(*size) < bytes.size()) return false;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<int>(bytes.size());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Throwing accessors, enumeration and defaults

CVar CCfgSettingCategoryBase::ReadFieldValue(unsigned int id) {
    CVar v;
    if (!GetFieldValue(id, v)) {
        CFG_LOG(DBG::LVL_WARNING, L"field id(%d) is not found", static_cast<int>(id));
        throw CCfgException(id, CCfgException::FIELD_NOT_EXIST, OS_WFILE, __LINE__);
    }
    return v;
}

void CCfgSettingCategoryBase::WriteFieldValue(unsigned int id, const CVar& value) {
    if (!AddFieldValue(id, value)) {
        CFG_LOG(DBG::LVL_WARNING, L"field id(%d) is not found", static_cast<int>(id));
        throw CCfgException(id, CCfgException::FIELD_NOT_EXIST, OS_WFILE, __LINE__);
    }
}

void CCfgSettingCategoryBase::EnumerateFieldValue(CFieldInfoCallback& cb) const {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingCategoryBase::EnumerateFieldValue");
    for (const auto& [name, value] : m_mapFields) cb(kStoredFieldId, name, value);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingCategoryBase::EnumerateFieldValue");
}

void CCfgSettingCategoryBase::ResetToDefault(const CSubjectID& /*subject*/) {
    CInternalFieldInfoCB cb(true, 0, this);
    EnumerateFieldInfo(cb);
    m_bDirty = true;
}

// ---------------------------------------------------------------------------------------------
// Field-name tests

bool CCfgSettingCategoryBase::IsCfgSettingField(const x_wstring& name) {
    static constexpr std::wstring_view kSuffix = L"_CFGSETTING";
    return name.size() > kSuffix.size() &&
           std::wstring_view(name).substr(name.size() - kSuffix.size()) == kSuffix;
}

bool CCfgSettingCategoryBase::IsCfgSettingMVField(const x_wstring& name) {
    static constexpr std::wstring_view kSuffix = L"_CFGSETTING_MV";
    return name.size() > kSuffix.size() &&
           std::wstring_view(name).substr(name.size() - kSuffix.size()) == kSuffix;
}
