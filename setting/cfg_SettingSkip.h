// Walking over one encoded setting (as CCfgSettingCategoryBase::operator>> writes it) without
// building it: for readers that decide on a setting's key and only need to know where its bytes
// end. Each field is read as the decoding reads it, so a malformed setting throws the same way.
// Thread rule: none; the caller owns the buffer and the scratch values.
#pragma once

#include "cfg_Setting.h"

// Moves `buf` past one encoded setting. `name` and `value` are scratch space, reused from one
// call to the next.
inline void SkipEncodedSetting(const CIPCMsgBuffer& buf, OS::x_wstring& name, CVar& value) {
    bool dirty = false;
    int fields = 0;
    buf >> dirty >> fields;
    for (int f = 0; f < fields; ++f) {
        buf >> name;
        CCfgSettingCategoryBase::CVarFromBuffer(value, buf);
    }
}
