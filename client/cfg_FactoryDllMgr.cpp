// CCfgFactoryDllMgr: the factory's module loader. It reads the factory setting file into a
// mapping from type id to module, loads the modules through the DLL manager and finds their
// create and free entries.
// Thread rule: the mapping is written by the constructor and Init only; module look-up and
// loading are guarded by m_csLoad, so creates and frees may run on several threads.
#include "client/cfg_FactoryDllMgr.h"

#include <cwchar>

#include "cfg_Client.h"
#include "outside/ini/CINIReader.h"
#include "outside/log/DebugLog.h"

static const wchar_t kLogSource[] = L"cfg_FactoryDllMgr";

namespace {

constexpr wchar_t kCreateEntry[] = L"CFG_FACTORY_CREATE";
constexpr wchar_t kFreeEntry[] = L"CFG_FACTORY_FREE";
constexpr wchar_t kDelimiters[] = L" \t\n";
constexpr int kFileNameLength = 260;

// The C runtime's _wtoi: optional blanks and sign, then decimal digits; anything else ends the
// number, no digits give 0, and values beyond int are clamped.
int WideToInt(const wchar_t* text) {
    long long value = 0;
    bool negative = false;
    while (*text == L' ' || *text == L'\t') ++text;
    if (*text == L'-' || *text == L'+') negative = *text++ == L'-';
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (value < 0x80000000LL) value = value * 10 + (*text - L'0');
    }
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) return 0x7FFFFFFF;
    if (value < -0x80000000LL) return static_cast<int>(-0x80000000LL);
    return static_cast<int>(value);
}

// Collects the tokens of one line: type id, logical id, file name and the fourth token.
class CLineReaderTokenCallback : public CINIReader::CIterateEachTokenCallback {
  public:
    explicit CLineReaderTokenCallback(const wchar_t* line) : m_strLine(line) {}

    const wchar_t* GetLineContent() const override { return m_strLine.c_str(); }
    const wchar_t* GetDelimiter() const override { return kDelimiters; }
    bool operator()(int position, const wchar_t* token) override {
        switch (position) {
            case 0:
                if (IsComment(token, L"#")) return false;
                m_nType = WideToInt(token);
                return true;
            case 1:
                m_strLogicalID = token;
                return true;
            case 2:
                m_strFileName = token;
                return true;
            case 3:
                m_strFourth = token;
                return true;
            default:
                return false;
        }
    }

    int m_nType = 0;
    OS::x_wstring m_strLogicalID;
    OS::x_wstring m_strFileName;
    OS::x_wstring m_strFourth;

  private:
    OS::x_wstring m_strLine;
};

// Registers each module line of the setting file with the loader.
class CLineReaderCallback : public CINIReader::CIterateEachLineCallback {
  public:
    explicit CLineReaderCallback(CCfgFactoryDllMgr* loader) : m_pLoader(loader) {}
    bool operator()(const wchar_t* line) override {
        CLineReaderTokenCallback tokens(line);
        Enumerate(tokens);
        if (!tokens.m_strLogicalID.empty() && !tokens.m_strFileName.empty()) {
            CFG_LOG(DBG::LVL_INFO, L"ID         = %d", tokens.m_nType);
            CFG_LOG(DBG::LVL_INFO, L"Logical ID = %ls", tokens.m_strLogicalID.c_str());
            CFG_LOG(DBG::LVL_INFO, L"Filename   = %ls", tokens.m_strFileName.c_str());
            m_pLoader->AddConfigurationDll(tokens.m_nType, tokens.m_strLogicalID.c_str(),
                                           tokens.m_strFileName.c_str());
        }
        return true;
    }

  private:
    CCfgFactoryDllMgr* m_pLoader;
};

}  // namespace

CCfgFactoryDllMgr::CCfgFactoryDllMgr(const wchar_t* settingFile) : m_bMapped(false) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgFactoryDllMgr::CCfgFactoryDllMgr()");
    m_vecEntryNames.push_back(kCreateEntry);
    m_vecEntryNames.push_back(kFreeEntry);
    if (settingFile) m_bMapped = InitConfigurationMapping(settingFile);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgFactoryDllMgr::CCfgFactoryDllMgr()");
}

CCfgFactoryDllMgr::~CCfgFactoryDllMgr() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgFactoryDllMgr::~CCfgFactoryDllMgr()");
    for (const auto& [type, dll] : m_mapConfigurationDll) {
        CFG_LOG(DBG::LVL_INFO, L"Unloading DLL %ls", dll.m_strFileName.c_str());
        m_DllManager.Unhook(dll.m_strFileName.c_str());
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgFactoryDllMgr::~CCfgFactoryDllMgr()");
}

bool CCfgFactoryDllMgr::Init(const wchar_t* settingFile) {
    if (m_bMapped) return false;
    return InitConfigurationMapping(settingFile);
}

bool CCfgFactoryDllMgr::InitConfigurationMapping(const wchar_t* settingFile) {
    CINIReader reader;
    reader.Parse(settingFile, L"r");
    CLineReaderCallback lines(this);
    reader.Enumerate(lines);
    return true;
}

void CCfgFactoryDllMgr::AddConfigurationDll(int type, const wchar_t* logicalId,
                                            const wchar_t* fileName) {
    CFG_LOG(DBG::LVL_ENTRY, L"CIPCServerDllManager::AddServerDll()");
    CConfigurationDll& dll = m_mapConfigurationDll[type];
    dll.m_nType = type;
    dll.m_strLogicalID = logicalId;
    dll.m_strFileName = fileName;
    CFG_LOG(DBG::LVL_EXIT, L"CIPCServerDllManager::AddServerDll()");
}

bool CCfgFactoryDllMgr::GetNewType() {
    return !m_mapConfigurationDll.empty();
}

int CCfgFactoryDllMgr::GetNewTypeId() {
    return m_mapConfigurationDll.empty() ? -1 : m_mapConfigurationDll.begin()->first;
}

bool CCfgFactoryDllMgr::FindModuleleFilename(int type, wchar_t* fileName, int length) {
    auto it = m_mapConfigurationDll.find(type);
    if (it == m_mapConfigurationDll.end()) return false;
    std::wcsncpy(fileName, it->second.m_strFileName.c_str(), static_cast<size_t>(length));
    return true;
}

OS::CDllManager::DllModule* CCfgFactoryDllMgr::FindModule(const wchar_t* fileName) const {
    OS::CCriticalSectionSentry guard(m_csLoad);
    return m_DllManager.FindModule(fileName);
}

OS::CDllManager::DllModule* CCfgFactoryDllMgr::LoadHandler(const wchar_t* fileName,
                                                           CConfigurationDllHandler& handler) {
    OS::CCriticalSectionSentry guard(m_csLoad);
    OS::CDllManager::DllModule* module = m_DllManager.FindModule(fileName);
    if (!module) module = m_DllManager.Hook(fileName, m_vecEntryNames);
    if (!module) return nullptr;
    handler.m_pfnCreate =
        reinterpret_cast<void* (*)(int, void*)>(module->GetFunctionPtr(kCreateEntry));
    handler.m_pfnFree = reinterpret_cast<void (*)(void*, int)>(module->GetFunctionPtr(kFreeEntry));
    return module;
}

void CCfgFactoryDllMgr::LoadHandler(const wchar_t* fileName) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgFactoryDllMgr::LoadHandler(%ls)", fileName);
    CConfigurationDllHandler handler;
    LoadHandler(fileName, handler);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgFactoryDllMgr::LoadHandler(%ls)", fileName);
}

void CCfgFactoryDllMgr::LoadAllModule() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgFactoryDllMgr::LoadAllModule()");
    for (const auto& [type, dll] : m_mapConfigurationDll) {
        try {
            LoadHandler(dll.m_strFileName.c_str());
        } catch (const OS::CException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"LoadAllModule: 0x%x, %ls", e.GetErrorCode(),
                    e.GetErrorMsg().c_str());
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgFactoryDllMgr::LoadAllModule()");
}

void* (*CCfgFactoryDllMgr::GetFactoryCreatePF(int type))(int, void*) {
    wchar_t fileName[kFileNameLength + 1] = {};
    if (!FindModuleleFilename(type, fileName, kFileNameLength)) return nullptr;
    CConfigurationDllHandler handler;
    if (!LoadHandler(fileName, handler)) return nullptr;
    return handler.m_pfnCreate;
}

void (*CCfgFactoryDllMgr::GetFactoryFreePF(int type))(void*, int) {
    wchar_t fileName[kFileNameLength + 1] = {};
    if (!FindModuleleFilename(type, fileName, kFileNameLength)) return nullptr;
    CConfigurationDllHandler handler;
    if (!LoadHandler(fileName, handler)) return nullptr;
    return handler.m_pfnFree;
}
