// The frame and byte helpers shared by the request/reply transport and the change-notification
// transport: little-endian writing and reading, the frame size limit, and blocking socket I/O with
// a time bound. The frame layouts themselves are described in RpcFrame.cpp and
// docs/rpc-frames.md.
// Thread rule: the functions keep no state except the size limit, which is atomic.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "outside/common/x_wstring.h"

namespace RPC {

// Frame magics (the first four bytes of every frame, as they appear on the wire).
constexpr uint32_t kRequestMagic = 0x3151525A;  // "ZRQ1"
constexpr uint32_t kReplyMagic = 0x3150525A;    // "ZRP1"
constexpr uint32_t kNotifyMagic = 0x31544E5A;   // "ZNT1"
constexpr size_t kFrameHeaderSize = 8;          // magic:u32le length:u32le

// Reply payload status bytes.
constexpr uint8_t kReplyOk = 0;
constexpr uint8_t kReplyHandlerFailed = 1;
constexpr uint8_t kReplyNotAllowed = 2;

// The largest payload a frame may carry; larger frames are refused before anything is
// allocated. 64 MiB unless changed (tests lower it).
size_t MaxFrameSize();
void SetMaxFrameSize(size_t bytes);

// Appends little-endian values to a byte vector.
class CByteWriter {
  public:
    explicit CByteWriter(std::vector<uint8_t>& out) : m_out(out) {}
    void U8(uint8_t v) { m_out.push_back(v); }
    void U32(uint32_t v);
    void U64(uint64_t v);
    void Bytes(const void* data, size_t size);
    // byte-count:u32le then the UTF-8 bytes.
    void String(const OS::x_wstring& s);

  private:
    std::vector<uint8_t>& m_out;
};

// Reads little-endian values from a byte range; throws CRPCException(PROTOCOL) past the end.
class CByteReader {
  public:
    CByteReader(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}
    uint8_t U8();
    uint32_t U32();
    uint64_t U64();
    const uint8_t* Bytes(size_t size);
    OS::x_wstring String();
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }

  private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

// Writes the 8-byte frame header for `payloadSize` bytes into `out` (replacing its content).
void PutFrameHeader(uint8_t out[kFrameHeaderSize], uint32_t magic, size_t payloadSize);
// Checks a received header against `magic` and the size limit and gives the payload size.
// Throws CRPCException(PROTOCOL) for a foreign magic, (FRAME_TOO_LARGE) above the limit.
size_t ParseFrameHeader(const uint8_t header[kFrameHeaderSize], uint32_t magic);

// Blocking I/O on a socket descriptor, bounded by `timeout` (the descriptor may be blocking or
// not). Return false on timeout; throw CRPCException(CONNECTION_LOST) when the peer closed or
// the socket failed.
bool WriteAll(int fd, const void* data, size_t size, std::chrono::milliseconds timeout);
bool ReadExact(int fd, void* data, size_t size, std::chrono::milliseconds timeout);

// The UTF-8 text of errno value `err`.
std::string ErrnoText(int err);

}  // namespace RPC
