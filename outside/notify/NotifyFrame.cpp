// Frames of the change-notification transport. All integers little-endian.
//
//   frame      = "ZNT1" length:u32le payload          ; length = byte count of payload,
//                                                     ; at most the frame size limit (64 MiB)
//   payload    = hello / subscribe / require / notice / ack
//   hello      = %x01 start-id:u64le                 ; publisher -> observer, first frame
//   subscribe  = %x02 token:u32le observer:string subject-list
//                                                     ; observer -> publisher: replaces the
//                                                     ; connection's subjects, then an ack
//   require    = %x03 token:u32le subject-list        ; observer -> publisher: the kept last
//                                                     ; notice of each listed subject (as
//                                                     ; replays), then an ack
//   notice     = %x04 start-id:u64le sequence:u64le flags:u8 subject:string
//                body-size:u32le body                 ; body = the used bytes of the buffer
//                                                     ; given to Notify
//   ack        = %x05 token:u32le                     ; publisher -> observer
//   subject-list = count:u32le count*string
//   string     = byte-count:u32le utf8
//   flags      = bit 0: the flag given to Notify; bit 1: a replay of a kept notice
//
// On one connection the publisher's frames go out in the order they were queued, so an ack
// follows every notice queued before its request was read.
// Thread rule: pure functions.
#include "outside/notify/NotifyFrame.h"

#include <cstring>

#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcFrame.h"

namespace NOTIFY {

namespace {

// A frame with room for its header; Finish fills the header in.
Frame Start(uint8_t kind) {
    Frame f(RPC::kFrameHeaderSize, 0);
    f.push_back(kind);
    return f;
}

Frame Finish(Frame f) {
    RPC::PutFrameHeader(f.data(), RPC::kNotifyMagic, f.size() - RPC::kFrameHeaderSize);
    return f;
}

void PutList(RPC::CByteWriter& w, const std::vector<OS::x_wstring>& subjects) {
    w.U32(static_cast<uint32_t>(subjects.size()));
    for (const auto& s : subjects) w.String(s);
}

}  // namespace

Frame EncodeHello(uint64_t startId) {
    Frame f = Start(kHello);
    RPC::CByteWriter(f).U64(startId);
    return Finish(std::move(f));
}

Frame EncodeSubscribe(uint32_t token, const OS::x_wstring& observer,
                      const std::vector<OS::x_wstring>& subjects) {
    Frame f = Start(kSubscribe);
    RPC::CByteWriter w(f);
    w.U32(token);
    w.String(observer);
    PutList(w, subjects);
    return Finish(std::move(f));
}

Frame EncodeRequire(uint32_t token, const std::vector<OS::x_wstring>& subjects) {
    Frame f = Start(kRequire);
    RPC::CByteWriter w(f);
    w.U32(token);
    PutList(w, subjects);
    return Finish(std::move(f));
}

Frame EncodeNotice(uint64_t startId, uint64_t sequence, uint8_t flags, const OS::x_wstring& subject,
                   const uint8_t* body, size_t bodySize) {
    Frame f = Start(kNotice);
    f.reserve(RPC::kFrameHeaderSize + 32 + subject.size() * 4 + bodySize);
    RPC::CByteWriter w(f);
    w.U64(startId);
    w.U64(sequence);
    w.U8(flags);
    w.String(subject);
    w.U32(static_cast<uint32_t>(bodySize));
    w.Bytes(body, bodySize);
    return Finish(std::move(f));
}

Frame EncodeAck(uint32_t token) {
    Frame f = Start(kAck);
    RPC::CByteWriter(f).U32(token);
    return Finish(std::move(f));
}

CDecoded Decode(const uint8_t* payload, size_t size) {
    RPC::CByteReader r(payload, size);
    CDecoded d;
    d.kind = static_cast<Kind>(r.U8());
    auto list = [&] {
        uint32_t n = r.U32();
        if (n > r.Left() / 4)
            throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__,
                                L"subject count larger than its frame");
        for (uint32_t i = 0; i < n; ++i) d.subjects.push_back(r.String());
    };
    switch (d.kind) {
        case kHello:
            d.startId = r.U64();
            break;
        case kSubscribe:
            d.token = r.U32();
            d.observer = r.String();
            list();
            break;
        case kRequire:
            d.token = r.U32();
            list();
            break;
        case kNotice:
            d.startId = r.U64();
            d.sequence = r.U64();
            d.flags = r.U8();
            d.subject = r.String();
            d.bodySize = r.U32();
            d.body = r.Bytes(d.bodySize);
            break;
        case kAck:
            d.token = r.U32();
            break;
        default: {
            OS::x_wstring msg;
            msg.Format(L"unknown notification frame kind %u", unsigned(d.kind));
            throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__, msg);
        }
    }
    return d;
}

size_t FrameSize(const uint8_t* data, size_t have) {
    if (have < RPC::kFrameHeaderSize) return 0;
    return RPC::kFrameHeaderSize + RPC::ParseFrameHeader(data, RPC::kNotifyMagic);
}

}  // namespace NOTIFY
