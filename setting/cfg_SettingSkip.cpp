// Walking over encoded values and settings without building them; the sizes are those that
// CCfgSettingCategoryBase::CVarToBuffer writes and CVarFromBuffer reads.
// Thread rule: none; the caller owns the buffer.
#include "setting/cfg_SettingSkip.h"

#include "outside/variant/CVar.h"

void CCfgSettingSkip::SkipValue(const CIPCMsgBuffer& buf) {
    unsigned short kind = 0;
    buf >> kind;
    switch (kind) {
        case VT_I2:
        case VT_UI2:
            buf.Skip(2);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            buf.Skip(4);
            break;
        case VT_I8:
        case VT_R8:
            buf.Skip(8);
            break;
        case VT_DATE:
            buf.Skip(kEncodedDateSize);
            break;
        case VT_BSTR:
        case VT_LPSTR:
        case VT_LPWSTR:
            buf.SkipString();
            break;
        case VT_BOOL:
            buf.Skip(1);
            break;
        case VT_ARRAY_UI1: {
            unsigned int count = 0;
            buf >> count;
            buf.Skip(count);
            break;
        }
        default:  // a kind without a payload
            break;
    }
}

void CCfgSettingSkip::SkipSetting(const CIPCMsgBuffer& buf) {
    bool dirty = false;
    int fields = 0;
    buf >> dirty >> fields;
    for (int f = 0; f < fields; ++f) {
        buf.SkipString();
        SkipValue(buf);
    }
}
