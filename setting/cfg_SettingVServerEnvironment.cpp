// CCfgSettingVServerEnvironment: the category "QV_VirtualServerEnvironment" that records, per
// server, whether it runs as a cluster virtual server and where its files are, with its typed
// accessors.
// Thread rule: one thread at a time per object.
#include <string>

#include "cfg_Setting.h"
#include "outside/log/DebugLog.h"

namespace {

static const wchar_t kLogSource[] = L"cfg_SettingVServerEnvironment";

struct SFieldDecl {
    unsigned int id;
    OS::x_wstring name;
    CVar def;
};

using Env = CCfgSettingVServerEnvironment;

const std::vector<SFieldDecl>& Declaration() {
    static const std::vector<SFieldDecl> table = {
        {Env::VSE_LOG_FILENAME, L"VSE_LOG_FILENAME", CVar(L"")},
        {Env::VSE_CFG_FILENAME, L"VSE_CFG_FILENAME", CVar(L"")},
        {Env::VSE_REPORT_FILENAME, L"VSE_REPORT_FILENAME", CVar(L"")},
        {Env::VSE_ROOT_FOLDER, L"VSE_ROOT_FOLDER", CVar(L"")},
        {Env::VSE_SERVER_STATUS, L"VSE_SERVER_STATUS", CVar(true)},
    };
    return table;
}

// Logs the entry of an accessor on construction and its exit when it goes (also when it throws).
class CTrace {
  public:
    explicit CTrace(const wchar_t* operation) : m_operation(operation) {
        CFG_LOG(DBG::LVL_ENTRY, L"%ls", m_operation);
    }
    ~CTrace() { CFG_LOG(DBG::LVL_EXIT, L"%ls", m_operation); }
    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;

  private:
    const wchar_t* m_operation;
};

void LogNotFound(unsigned int id) {
    CFG_LOG(DBG::LVL_WARNING, L"field id(%d) is not found", static_cast<int>(id));
}

[[noreturn]] void ThrowNotFound(unsigned int id, int line) {
    LogNotFound(id);
    throw CCfgException(id, CCfgException::FIELD_NOT_EXIST, OS_WFILE, line);
}

}  // namespace

CCfgSettingVServerEnvironment::CCfgSettingVServerEnvironment(const x_wstring& subjectId)
    : m_strSubjectID(subjectId) {}

CCfgSettingVServerEnvironment::CCfgSettingVServerEnvironment(
    const CCfgSettingVServerEnvironment& other)
    : CCfgSettingCategoryBase(other), m_strSubjectID(other.m_strSubjectID) {}

CCfgSettingVServerEnvironment& CCfgSettingVServerEnvironment::operator=(
    const CCfgSettingVServerEnvironment& other) {
    CCfgSettingCategoryBase::operator=(other);
    m_strSubjectID = other.m_strSubjectID;
    return *this;
}

CCfgSettingVServerEnvironment::~CCfgSettingVServerEnvironment() = default;

CCfgSettingVServerEnvironment::x_wstring CCfgSettingVServerEnvironment::GetCategroyName() {
    return L"QV_VirtualServerEnvironment";
}

CSubjectID CCfgSettingVServerEnvironment::GetSubjectID() {
    return CSubjectID(m_strSubjectID);
}

CCfgSettingCategoryBase* CCfgSettingVServerEnvironment::New() const {
    return new CCfgSettingVServerEnvironment(L"ZOLT_SUB_CFG_VRS_ENV");
}

void CCfgSettingVServerEnvironment::Delete(CCfgSettingCategoryBase* p) {
    delete p;
}

void CCfgSettingVServerEnvironment::SetSubjectID(const x_wstring& subjectId) {
    m_strSubjectID = subjectId;
}

void CCfgSettingVServerEnvironment::EnumerateFieldInfo(CFieldInfoCallback& cb) const {
    for (const auto& f : Declaration()) {
        if (!cb(f.id, f.name, f.def)) break;
    }
}

namespace {

// Reads a string field through the wide-buffer reader: its length first, then the text.
bool ReadString(const CCfgSettingCategoryBase& setting, unsigned int id, OS::x_wstring& out) {
    int length = 0;
    if (!setting.GetFieldValue(id, static_cast<wchar_t*>(nullptr), &length) || length <= 0) {
        return false;
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (!setting.GetFieldValue(id, text.data(), &length) || length <= 0) return false;
    out.assign(text.data(), static_cast<size_t>(length - 1));
    return true;
}

}  // namespace

bool CCfgSettingVServerEnvironment::IsVirtualServerOn() {
    CTrace trace(L"CCfgSettingVServerEnvironment::IsVirtualServerOn");
    bool on = false;
    if (!GetFieldValue(VSE_SERVER_STATUS, &on)) {
        LogNotFound(VSE_SERVER_STATUS);
        return false;
    }
    return on;
}

void CCfgSettingVServerEnvironment::SetVirtualServerOn(bool on) {
    CTrace trace(L"CCfgSettingVServerEnvironment::SetVirtualServerOn");
    if (!AddFieldValue(VSE_SERVER_STATUS, on)) ThrowNotFound(VSE_SERVER_STATUS, __LINE__);
}

void CCfgSettingVServerEnvironment::GetLogFileName(x_wstring& out) {
    CTrace trace(L"CCfgSettingVServerEnvironment::GetLogFileName");
    if (!ReadString(*this, VSE_LOG_FILENAME, out)) LogNotFound(VSE_LOG_FILENAME);
}

void CCfgSettingVServerEnvironment::SetLogFileName(const x_wstring& value) {
    CTrace trace(L"CCfgSettingVServerEnvironment::SetLogFileName");
    if (!AddFieldValue(VSE_LOG_FILENAME, value.c_str())) ThrowNotFound(VSE_LOG_FILENAME, __LINE__);
}

void CCfgSettingVServerEnvironment::GetConfigurationFileName(x_wstring& out) {
    CTrace trace(L"CCfgSettingVServerEnvironment::GetConfigurationFileName");
    if (!ReadString(*this, VSE_CFG_FILENAME, out)) ThrowNotFound(VSE_CFG_FILENAME, __LINE__);
}

void CCfgSettingVServerEnvironment::SetConfigurationFileName(const x_wstring& value) {
    CTrace trace(L"CCfgSettingVServerEnvironment::SetConfigurationFileName");
    if (!AddFieldValue(VSE_CFG_FILENAME, value.c_str())) ThrowNotFound(VSE_CFG_FILENAME, __LINE__);
}

void CCfgSettingVServerEnvironment::GetReportFileName(x_wstring& out) {
    CTrace trace(L"CCfgSettingVServerEnvironment::GetReportFileName");
    if (!ReadString(*this, VSE_REPORT_FILENAME, out)) ThrowNotFound(VSE_REPORT_FILENAME, __LINE__);
}

void CCfgSettingVServerEnvironment::SetReportFileName(const x_wstring& value) {
    CTrace trace(L"CCfgSettingVServerEnvironment::SetReportFileName");
    if (!AddFieldValue(VSE_REPORT_FILENAME, value.c_str())) {
        ThrowNotFound(VSE_REPORT_FILENAME, __LINE__);
    }
}

void CCfgSettingVServerEnvironment::GetRootFolder(x_wstring& out) {
    CTrace trace(L"CCfgSettingVServerEnvironment::GetRootFolder");
    if (!ReadString(*this, VSE_ROOT_FOLDER, out)) ThrowNotFound(VSE_ROOT_FOLDER, __LINE__);
}

void CCfgSettingVServerEnvironment::SetRootFolder(const x_wstring& value) {
    CTrace trace(L"CCfgSettingVServerEnvironment::SetRootFolder");
    if (!AddFieldValue(VSE_ROOT_FOLDER, value.c_str())) ThrowNotFound(VSE_ROOT_FOLDER, __LINE__);
}
