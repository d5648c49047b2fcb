// The frames of the change-notification transport (layout in NotifyFrame.cpp and
// docs/rpc-frames.md): encoding, and decoding of one received payload.
// Thread rule: pure functions.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "outside/common/x_wstring.h"

namespace NOTIFY {

enum Kind : uint8_t { kHello = 1, kSubscribe = 2, kRequire = 3, kNotice = 4, kAck = 5 };
enum Flags : uint8_t { kFlag = 1, kReplay = 2 };

using Frame = std::vector<uint8_t>;  // header and payload, ready to send

Frame EncodeHello(uint64_t startId);
Frame EncodeSubscribe(uint32_t token, const OS::x_wstring& observer,
                      const std::vector<OS::x_wstring>& subjects);
Frame EncodeRequire(uint32_t token, const std::vector<OS::x_wstring>& subjects);
Frame EncodeNotice(uint64_t startId, uint64_t sequence, uint8_t flags, const OS::x_wstring& subject,
                   const uint8_t* body, size_t bodySize);
Frame EncodeAck(uint32_t token);

// One decoded payload; `body` points into the payload it was decoded from.
struct CDecoded {
    Kind kind{};
    uint32_t token = 0;
    uint64_t startId = 0;
    uint64_t sequence = 0;
    uint8_t flags = 0;
    OS::x_wstring observer;
    OS::x_wstring subject;
    std::vector<OS::x_wstring> subjects;
    const uint8_t* body = nullptr;
    size_t bodySize = 0;
};

// Throws CRPCException(PROTOCOL) for an unknown kind or a truncated payload.
CDecoded Decode(const uint8_t* payload, size_t size);

// The size (header included) of the frame at the front of `data`, or 0 while its header is
// incomplete. Throws CRPCException for a foreign header or one above the size limit.
size_t FrameSize(const uint8_t* data, size_t have);

}  // namespace NOTIFY
