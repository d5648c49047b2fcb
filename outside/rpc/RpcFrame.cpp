// Frames of the request/reply transport, and the byte helpers both transports share.
//
// Every frame is a fixed header and a payload (all integers little-endian):
//
//   frame           = magic:u32le length:u32le payload      ; length = byte count of payload
//   length          <= the frame size limit (64 MiB): a larger length is refused before any
//                      byte of the payload is read or allocated
//
// Request/reply (one request, then one reply, on a connection at a time):
//
//   request-frame   = "ZRQ1" length:u32le request-payload
//   request-payload = msg-id:i32le items                     ; the request buffer's used bytes:
//                                                            ; its first item is the message id
//                   / 0*3OCTET                               ; too short for an id: empty reply
//   items           = *OCTET                                 ; message-buffer items, as written
//   reply-frame     = "ZRP1" length:u32le reply-payload
//   reply-payload   = %x00 items                             ; the reply buffer's used bytes
//                                                            ; (none for an empty reply)
//                   / %x01 message:utf8                      ; the handler threw; why
//                   / %x02 message:utf8                      ; the user of the connection is not
//                                                            ; served; sent unasked right after
//                                                            ; accepting, then the server closes
//
// The server reads msg-id, hands the handler a buffer holding only the items behind it, and
// answers with what the handler left in its reply buffer. The change-notification frames
// ("ZNT1") are described beside their encoder in outside/notify/NotifyFrame.cpp.
// Thread rule: the functions keep no state except the size limit, which is atomic.
#include "outside/rpc/RpcFrame.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>

#include "outside/rpc/CRPCException.h"

namespace RPC {

namespace {
std::atomic<size_t> g_maxFrame{64u * 1024u * 1024u};

// Milliseconds left until `deadline` (0 when passed), for poll().
int MsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    if (left.count() > 1000 * 1000 * 1000) return 1000 * 1000 * 1000;
    return static_cast<int>(left.count());
}

// Waits until `fd` is ready for `events`; false when the deadline passed first.
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int ms = MsLeft(deadline);
        int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) {
            int err = errno;
            throw CRPCException(CRPCException::CONNECTION_LOST, OS_WFILE, __LINE__,
                                OS::x_wstring::FromUtf8("poll failed: " + ErrnoText(err)));
        }
    }
}
}  // namespace

size_t MaxFrameSize() {
    return g_maxFrame.load(std::memory_order_relaxed);
}
void SetMaxFrameSize(size_t bytes) {
    g_maxFrame.store(bytes, std::memory_order_relaxed);
}

void CByteWriter::U32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    m_out.insert(m_out.end(), b, b + 4);
}

void CByteWriter::U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
}

void CByteWriter::Bytes(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_out.insert(m_out.end(), p, p + size);
}

void CByteWriter::String(const OS::x_wstring& s) {
    std::string u = s.ToUtf8();
    U32(static_cast<uint32_t>(u.size()));
    Bytes(u.data(), u.size());
}

const uint8_t* CByteReader::Bytes(size_t size) {
    if (Left() < size)
        throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__,
                            L"truncated frame: an item runs past the end of its frame");
    const uint8_t* p = m_p;
    m_p += size;
    return p;
}

uint8_t CByteReader::U8() {
    return *Bytes(1);
}

uint32_t CByteReader::U32() {
    const uint8_t* b = Bytes(4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint64_t CByteReader::U64() {
    uint64_t lo = U32();
    uint64_t hi = U32();
    return lo | hi << 32;
}

OS::x_wstring CByteReader::String() {
    uint32_t n = U32();
    const uint8_t* p = Bytes(n);
    return OS::x_wstring::FromUtf8(std::string(reinterpret_cast<const char*>(p), n));
}

void PutFrameHeader(uint8_t out[kFrameHeaderSize], uint32_t magic, size_t payloadSize) {
    if (payloadSize > MaxFrameSize()) {
        OS::x_wstring msg;
        msg.Format(L"frame of %zu bytes refused: the limit is %zu bytes", payloadSize,
                   MaxFrameSize());
        throw CRPCException(CRPCException::FRAME_TOO_LARGE, OS_WFILE, __LINE__, msg);
    }
    uint32_t n = static_cast<uint32_t>(payloadSize);
    for (int i = 0; i < 4; ++i) out[i] = uint8_t(magic >> (8 * i));
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(n >> (8 * i));
}

size_t ParseFrameHeader(const uint8_t header[kFrameHeaderSize], uint32_t magic) {
    CByteReader r(header, kFrameHeaderSize);
    uint32_t m = r.U32();
    uint32_t n = r.U32();
    if (m != magic) {
        OS::x_wstring msg;
        msg.Format(L"not a frame of ours: magic 0x%08x where 0x%08x was expected", m, magic);
        throw CRPCException(CRPCException::PROTOCOL, OS_WFILE, __LINE__, msg);
    }
    if (n > MaxFrameSize()) {
        OS::x_wstring msg;
        msg.Format(L"frame of %u bytes refused: the limit is %zu bytes", n, MaxFrameSize());
        throw CRPCException(CRPCException::FRAME_TOO_LARGE, OS_WFILE, __LINE__, msg);
    }
    return n;
}

bool WriteAll(int fd, const void* data, size_t size, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLOUT, deadline)) return false;
            continue;
        }
        int err = n < 0 ? errno : EPIPE;
        throw CRPCException(CRPCException::CONNECTION_LOST, OS_WFILE, __LINE__,
                            OS::x_wstring::FromUtf8("send failed: " + ErrnoText(err)));
    }
    return true;
}

bool ReadExact(int fd, void* data, size_t size, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            throw CRPCException(CRPCException::CONNECTION_LOST, OS_WFILE, __LINE__,
                                L"the peer closed the connection");
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitReady(fd, POLLIN, deadline)) return false;
            continue;
        }
        int err = errno;
        throw CRPCException(CRPCException::CONNECTION_LOST, OS_WFILE, __LINE__,
                            OS::x_wstring::FromUtf8("recv failed: " + ErrnoText(err)));
    }
    return true;
}

std::string ErrnoText(int err) {
    char buf[256];
    // GNU strerror_r returns the text (maybe not in buf).
    const char* s = strerror_r(err, buf, sizeof buf);
    return s;
}

}  // namespace RPC
