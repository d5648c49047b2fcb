// CCfgSettingCategoryFake is public: its declaration is in cfg_Setting.h. The library's own
// sources include this header where they use it, to say so.
// Thread rule: see cfg_Setting.h.
#pragma once

#include "cfg_Setting.h"
