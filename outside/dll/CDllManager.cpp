// OS::CDll and OS::CDllManager over dlopen/dlsym/dlclose.
// Thread rule: see CDllManager.h; the manager's table is guarded by its mutex, and dlerror is
// read right after the failing call on the same thread (glibc keeps it per thread).
#include "outside/dll/CDllManager.h"

#include <dlfcn.h>

#include "outside/log/DebugLog.h"

static const wchar_t kLogSource[] = L"os_DllManager";

namespace OS {

CDll::~CDll() {
    Unload();
}

bool CDll::Load(const x_wstring& fileName) {
    m_strFileName = fileName;
    m_strError.clear();
    if (fileName.empty()) {
        m_strError = L"empty file name";
        return false;
    }
    m_pHandle = dlopen(fileName.ToUtf8().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_pHandle) {
        const char* why = dlerror();
        m_strError = x_wstring::FromUtf8(why ? why : "unknown loader error");
        return false;
    }
    return true;
}

void CDll::Unload() {
    if (m_pHandle) {
        dlclose(m_pHandle);
        m_pHandle = nullptr;
    }
}

void* CDll::GetFunctionPtr(const wchar_t* name) const {
    if (!m_pHandle || !name) return nullptr;
    return dlsym(m_pHandle, x_wstring(name).ToUtf8().c_str());
}

CDllManager::~CDllManager() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_mapModules.clear();
}

CDllManager::DllModule* CDllManager::FindModule(const wchar_t* fileName) const {
    if (!fileName) return nullptr;
    std::lock_guard<std::mutex> g(m_mutex);
    auto it = m_mapModules.find(fileName);
    return it == m_mapModules.end() ? nullptr : it->second.get();
}

CDllManager::DllModule* CDllManager::Hook(const wchar_t* fileName,
                                          const std::vector<x_wstring>& entryNames) {
    if (!fileName) return nullptr;
    std::lock_guard<std::mutex> g(m_mutex);
    auto it = m_mapModules.find(fileName);
    if (it != m_mapModules.end()) return it->second.get();
    auto dll = std::make_unique<CDll>();
    if (!dll->Load(fileName)) {
        CFG_LOG(DBG::LVL_WARNING, L"CDllManager: cannot load module %ls: %ls", fileName,
                dll->GetLoadError().c_str());
        return nullptr;
    }
    for (const auto& entry : entryNames) {
        if (!dll->GetFunctionPtr(entry.c_str()))
            CFG_LOG(DBG::LVL_WARNING, L"CDllManager: module %ls has no entry %ls", fileName,
                    entry.c_str());
    }
    DllModule* module = dll.get();
    m_mapModules.emplace(fileName, std::move(dll));
    return module;
}

void CDllManager::Unhook(const wchar_t* fileName) {
    if (!fileName) return;
    std::unique_ptr<CDll> gone;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_mapModules.find(fileName);
        if (it == m_mapModules.end()) return;
        gone = std::move(it->second);
        m_mapModules.erase(it);
    }
    // dlclose runs the module's own destructors: outside the lock.
    gone.reset();
}

size_t CDllManager::GetModuleCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_mapModules.size();
}

}  // namespace OS
