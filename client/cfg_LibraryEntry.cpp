// The library's load and unload work: the process-wide factory is created when the shared
// library is loaded and destroyed when it is unloaded; nothing else runs here.
// Thread rule: the loader runs these on the thread that loads or unloads the library.
#include "cfg_Client.h"
#include "outside/log/DebugLog.h"

namespace {

__attribute__((constructor)) void ZoltCfgProcessAttach() {
    CCfgFactory::Instance();
}

__attribute__((destructor)) void ZoltCfgProcessDetach() {
    // At process exit the log's own objects may be gone before this runs: from here on only
    // errors are written (the unload notes of the factory are information).
    DBG::SetVerbosity(DBG::Verbosity::kErrors);
    CCfgFactory::CloseSingleton();
}

}  // namespace
