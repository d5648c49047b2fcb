// CFrameReader: the receive buffer of a connection, grown in steps as bytes arrive (doubling,
// bounded by the announced frame), shrunk back after a large frame, and counted.
// Thread rule: one reader per thread at a time; the process-wide counter is atomic.
#include "outside/rpc/RpcFrameReader.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "outside/rpc/RpcFrame.h"

namespace RPC {

namespace {
std::atomic<size_t> g_reserved{0};
std::atomic<size_t> g_peak{0};
}  // namespace

size_t ReservedReceiveBytes() {
    return g_reserved.load(std::memory_order_relaxed);
}

size_t PeakReservedReceiveBytes(bool reset) {
    if (reset) g_peak.store(g_reserved.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return g_peak.load(std::memory_order_relaxed);
}

CFrameReader::CFrameReader(uint32_t magic) : m_magic(magic) {
    Resize(kInitialSize);
}

CFrameReader::~CFrameReader() {
    g_reserved.fetch_sub(m_size, std::memory_order_relaxed);
}

void CFrameReader::Resize(size_t size) {
    auto buf = std::make_unique_for_overwrite<uint8_t[]>(size);  // bytes are written before read
    if (m_end > m_begin) std::memcpy(buf.get(), m_buf.get() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
    const size_t now = g_reserved.fetch_add(size, std::memory_order_relaxed) + size;
    g_reserved.fetch_sub(m_size, std::memory_order_relaxed);
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    m_buf = std::move(buf);
    m_size = size;
}

uint8_t* CFrameReader::Space() {
    const size_t have = m_end - m_begin;
    size_t want = kInitialSize;
    if (have >= kFrameHeaderSize)
        want = kFrameHeaderSize + ParseFrameHeader(m_buf.get() + m_begin, m_magic);
    if (want > m_size && have == m_size - m_begin) {
        // Full: grow to twice what has arrived, never beyond the frame announced.
        Resize(std::min(want, std::max(kInitialSize, 2 * have)));
    } else if (m_size > 16 * kInitialSize && have >= kFrameHeaderSize && want <= kInitialSize &&
               have <= kInitialSize) {
        // A large frame went and a small one comes: its memory goes back. Kept while the next
        // frame is unknown, so that a sender of large frames one after another (a batch) does not
        // make it grow again from the start each time.
        Resize(kInitialSize);
    } else if (m_begin > 0 && m_end == m_size) {
        std::memmove(m_buf.get(), m_buf.get() + m_begin, have);
        m_begin = 0;
        m_end = have;
    }
    return m_buf.get() + m_end;
}

bool CFrameReader::Next(const uint8_t*& payload, size_t& size) {
    const size_t have = m_end - m_begin;
    if (have < kFrameHeaderSize) return false;
    const size_t total = kFrameHeaderSize + ParseFrameHeader(m_buf.get() + m_begin, m_magic);
    if (have < total) return false;
    payload = m_buf.get() + m_begin + kFrameHeaderSize;
    size = total - kFrameHeaderSize;
    m_begin += total;
    if (m_begin == m_end) m_begin = m_end = 0;
    return true;
}

}  // namespace RPC
