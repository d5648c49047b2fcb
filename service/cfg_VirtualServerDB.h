// CCfgLocalServerDB is public: its declaration is in cfg_Service.h. The library's own sources
// include this header where they use it, to say so.
// Thread rule: see cfg_Service.h.
#pragma once

#include "cfg_Service.h"
