// CRuntimeDir: points ZOLTCFG_RUNTIME_DIR at a fresh folder for the object's life, so that every
// test has endpoints of its own, and closes the calling thread's cached RPC connections when it
// goes (they point into the folder that goes with it).
// Thread rule: changes the process environment: make and drop it on the test's main thread,
// while no other thread of the test runs.
#pragma once

#include "outside/rpc/CRPCClientHelper.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace testsupport {

class CRuntimeDir {
  public:
    CRuntimeDir() : m_dir("zoltcfg-rt"), m_env("ZOLTCFG_RUNTIME_DIR", m_dir.Str()) {}
    ~CRuntimeDir() { CRPCClientHelper::CloseThreadConnections(); }
    CRuntimeDir(const CRuntimeDir&) = delete;
    CRuntimeDir& operator=(const CRuntimeDir&) = delete;
    const CTempDir& Dir() const { return m_dir; }

  private:
    CTempDir m_dir;
    CScopedEnv m_env;
};

}  // namespace testsupport
