// The localisation layer: the product's texts by number, in the one language this build has.
// Thread rule: constants only.
#pragma once

#include "outside/common/x_wstring.h"

namespace SYS {

// The text numbered `id`; empty for a number this build does not know.
//   1064  the audit text of settings replicated from another server
OS::x_wstring LoadStringW(unsigned int id);

}  // namespace SYS
