// CFrameReader: collects the bytes received on one connection and hands out its complete
// frames' payloads in order. Its buffer grows with the bytes actually received, never with what
// a header announces: a header alone keeps the first 4 KiB, and a frame's buffer is at most about
// twice what has arrived of it. Every buffer's size is counted in ReservedReceiveBytes(), so
// tests and operators see what the transports hold for receiving.
// Thread rule: one reader is used by one thread at a time; the counter is atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace RPC {

// The bytes all frame readers of the process hold now, and the most they held at once since
// the start or the last reset (which starts it again from what they hold now).
size_t ReservedReceiveBytes();
size_t PeakReservedReceiveBytes(bool reset = false);

class CFrameReader {
  public:
    static constexpr size_t kInitialSize = 4 * 1024;

    explicit CFrameReader(uint32_t magic);
    ~CFrameReader();
    CFrameReader(const CFrameReader&) = delete;
    CFrameReader& operator=(const CFrameReader&) = delete;

    // Where the next bytes may be received, and how many fit (never 0). Throws
    // CRPCException(PROTOCOL / FRAME_TOO_LARGE) for a foreign or oversized header.
    uint8_t* Space();
    size_t SpaceSize() const { return m_size - m_end; }
    // REQUIRES: n <= SpaceSize() after the last Space().
    void Added(size_t n) { m_end += n; }
    // The payload of the next complete frame (valid until the next call of any member), or
    // false when more bytes are needed. Throws like Space().
    bool Next(const uint8_t*& payload, size_t& size);
    // True while part of a frame has arrived and not all of it.
    bool InFrame() const { return m_end > m_begin; }

  private:
    void Resize(size_t size);

    const uint32_t m_magic;
    std::unique_ptr<uint8_t[]> m_buf;
    size_t m_size = 0;
    size_t m_begin = 0;  // first unconsumed byte
    size_t m_end = 0;    // end of the received bytes
};

}  // namespace RPC
