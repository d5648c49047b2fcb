// The product's numbered texts.
// Thread rule: constants only.
#include "outside/audit/LocalisedText.h"

namespace SYS {

OS::x_wstring LoadStringW(unsigned int id) {
    switch (id) {
        case 1064:
            return L"Settings were replicated from another server.";
        default:
            return OS::x_wstring();
    }
}

}  // namespace SYS
