// OS::CDll and OS::CDllManager: loading implementation modules (shared libraries) by file name
// and finding their entry points, over dlopen and dlsym.
// Thread rule: a CDll is used by one thread at a time while it loads or unloads; GetFunctionPtr
// may be called from any thread. CDllManager guards its table of loaded modules with its own
// lock, so its operations may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "outside/common/x_wstring.h"

namespace OS {

// One loaded shared library. The library stays loaded until Unload or the destructor.
class CDll {
  public:
    CDll() = default;
    ~CDll();
    CDll(const CDll&) = delete;
    CDll& operator=(const CDll&) = delete;

    // Loads `fileName` (handed to dlopen unchanged: a name without "/" is looked up on the
    // library search path, anything else is a path, relative ones from the working folder),
    // resolving every symbol now and keeping them local to the module. False when it cannot
    // be loaded (missing, not a shared library, unresolved symbols); GetLoadError() says why.
    // REQUIRES: not loaded.
    bool Load(const x_wstring& fileName);
    void Unload();
    bool IsLoaded() const { return m_pHandle != nullptr; }

    // The address of the exported symbol `name`, or null when the module does not export it
    // (or is not loaded).
    void* GetFunctionPtr(const wchar_t* name) const;

    const x_wstring& GetFileName() const { return m_strFileName; }
    const x_wstring& GetLoadError() const { return m_strError; }

  private:
    void* m_pHandle = nullptr;
    x_wstring m_strFileName;
    x_wstring m_strError;
};

// The modules of a process, loaded once each and kept by file name (exact, case-sensitive).
class CDllManager {
  public:
    using DllModule = CDll;

    CDllManager() = default;
    // Unloads every module still loaded.
    ~CDllManager();
    CDllManager(const CDllManager&) = delete;
    CDllManager& operator=(const CDllManager&) = delete;

    // The loaded module of `fileName`, or null.
    DllModule* FindModule(const wchar_t* fileName) const;
    // The module of `fileName`, loading it when it is not loaded yet, or null when it cannot be
    // loaded (logged as a warning with the loader's reason). `entryNames` are looked up right
    // away; a missing one is logged as a warning and gives null from GetFunctionPtr later.
    DllModule* Hook(const wchar_t* fileName, const std::vector<x_wstring>& entryNames);
    // Unloads the module of `fileName`; nothing happens when it is not loaded.
    void Unhook(const wchar_t* fileName);

    size_t GetModuleCount() const;

  private:
    mutable std::mutex m_mutex;
    std::map<x_wstring, std::unique_ptr<CDll>> m_mapModules;
};

}  // namespace OS
