// CCfgHome: the home folder as the registry and the environment give it.
// Thread rule: no shared state.
#include "cfg_Storage.h"
#include "outside/registry/HomeDir.h"

OS::x_wstring CCfgHome::Folder() {
    return OS::GetHomeDir();
}

OS::x_wstring CCfgHome::Folder(std::string& why) {
    return OS::GetHomeDir(why);
}
