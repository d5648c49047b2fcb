// Walking over one encoded setting (as CCfgSettingCategoryBase::operator>> writes it) without
// building it: for readers that decide on a setting's key and only need to know where its bytes
// end. Each length and value kind is checked as the decoding checks it, so a setting the
// decoding would throw on throws here too, with the same exception; the text of names and
// strings is only stepped over, never converted.
// Thread rule: none; the caller owns the buffer.
#pragma once

#include <cstddef>

#include "cfg_Export.h"
#include "outside/ipc/CIPCMsgBuffer.h"

// The bytes of an encoded date after its kind: nine int32 of a struct tm.
constexpr size_t kEncodedDateSize = 36;

// The two walks, as static members so that the library exports them with the setting model.
struct ZOLTCFG_API CCfgSettingSkip {
    // Moves `buf` past one encoded value (its kind, then its payload).
    static void SkipValue(const CIPCMsgBuffer& buf);
    // Moves `buf` past one encoded setting: its dirty flag, its field count, then each field's
    // name and value.
    static void SkipSetting(const CIPCMsgBuffer& buf);
};
