// CAccBuffer and CIPCMsgBuffer: appending items in their stored encoding (see the grammar at the
// top of CIPCMsgBuffer.h and docs/buffer-encoding.md) and reading them back, checking every
// length against the bytes left before anything is allocated or the read position moves.
// Thread rule: one thread at a time per buffer.
#include "outside/ipc/CIPCMsgBuffer.h"

#include <algorithm>
#include <cstring>

namespace {

// The bytes of an integer in little-endian order, whatever the host order.
template <typename T>
void StoreLE(unsigned char* out, T v) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    for (size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<unsigned char>(u & 0xFFu);
        u = static_cast<U>(u >> 8);
    }
}

template <typename T>
T LoadLE(const unsigned char* in) {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = sizeof(T); i-- > 0;) u = static_cast<U>((u << 8) | in[i]);
    return static_cast<T>(u);
}

[[noreturn]] void ThrowShort(int code, size_t needed, size_t left) {
    OS::x_wstring detail;
    detail.Format(L"%zu bytes needed, %zu left", needed, left);
    throw CIPCMsgBufferException(code, OS_WFILE, __LINE__, detail);
}

}  // namespace

OS::x_wstring CIPCMsgBufferException::GetErrorMsg() const {
    OS::x_wstring text;
    switch (m_nCode) {
        case READ_PAST_END:
            text = L"Read past the end of the message buffer";
            break;
        case BAD_LENGTH:
            text = L"Length prefix larger than the bytes left in the message buffer";
            break;
        default:
            text.Format(L"Message buffer error %d", m_nCode);
            break;
    }
    if (!m_strMessage.empty()) text += L": " + m_strMessage;
    return text;
}

CAccBuffer::CAccBuffer(unsigned long initialSize) {
    m_bytes.reserve(initialSize);
}

CAccBuffer::~CAccBuffer() = default;

CIPCMsgBuffer::CIPCMsgBuffer(unsigned long initialSize, bool /*flag*/) : CAccBuffer(initialSize) {}

CIPCMsgBuffer::~CIPCMsgBuffer() = default;

CIPCMsgBuffer CIPCMsgBuffer::FromBytes(const void* data, size_t size) {
    CIPCMsgBuffer buf(static_cast<unsigned long>(size));
    buf.Append(data, size);
    return buf;
}

void CIPCMsgBuffer::ThrowShortRead(size_t size, int code) const {
    ThrowShort(code, size, m_bytes.size() - m_readPos);
}

namespace {}  // namespace

template <typename T>
void CIPCMsgBuffer::PutInt(T v) {
    const size_t old = m_bytes.size();
    m_bytes.resize(old + sizeof(T));
    StoreLE(m_bytes.data() + old, v);
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(int v) {
    PutInt(v);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(unsigned int v) {
    PutInt(v);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(short v) {
    PutInt(v);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(unsigned short v) {
    PutInt(v);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(long long v) {
    PutInt(v);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(bool v) {
    const unsigned char b = v ? 1 : 0;
    Append(&b, 1);
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const OS::x_wstring& v) {
    // Common case: ASCII text, each character its own UTF-8 byte, copied straight in one pass;
    // other text is taken back out and written through the UTF-8 conversion.
    const size_t n = v.size();
    const size_t old = m_bytes.size();
    m_bytes.resize(old + 4 + n);
    unsigned char* out = m_bytes.data() + old;
    const wchar_t* from = v.data();
    size_t i = 0;
    for (; i < n && static_cast<uint32_t>(from[i]) < 0x80u; ++i) {
        out[4 + i] = static_cast<unsigned char>(from[i]);
    }
    if (i == n) {
        StoreLE(out, static_cast<uint32_t>(n));
        return *this;
    }
    m_bytes.resize(old);
    const std::string utf8 = OS::WideToUtf8(v);
    *this << static_cast<unsigned int>(utf8.size());
    Append(utf8.data(), utf8.size());
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const std::vector<OS::x_wstring>& v) {
    *this << static_cast<unsigned int>(v.size());
    for (const auto& s : v) *this << s;
    return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const CIPCMsgBuffer& nested) {
    const size_t n = nested.m_bytes.size();
    if (&nested == this) {
        // Appending a buffer to itself: take its bytes before the count changes them.
        const CByteStore copy(m_bytes);
        *this << static_cast<unsigned int>(n);
        Append(copy.data(), n);
        return *this;
    }
    *this << static_cast<unsigned int>(n);
    Append(nested.m_bytes.data(), n);
    return *this;
}

namespace {

template <typename T>
T ReadInt(const unsigned char* at) {
    return LoadLE<T>(at);
}

}  // namespace

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(int& v) const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    v = ReadInt<int>(m_bytes.data() + m_readPos);
    m_readPos += 4;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(unsigned int& v) const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    v = ReadInt<unsigned int>(m_bytes.data() + m_readPos);
    m_readPos += 4;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(short& v) const {
    Need(2, CIPCMsgBufferException::READ_PAST_END);
    v = ReadInt<short>(m_bytes.data() + m_readPos);
    m_readPos += 2;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(unsigned short& v) const {
    Need(2, CIPCMsgBufferException::READ_PAST_END);
    v = ReadInt<unsigned short>(m_bytes.data() + m_readPos);
    m_readPos += 2;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(long long& v) const {
    Need(8, CIPCMsgBufferException::READ_PAST_END);
    v = ReadInt<long long>(m_bytes.data() + m_readPos);
    m_readPos += 8;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(bool& v) const {
    Need(1, CIPCMsgBufferException::READ_PAST_END);
    v = m_bytes[m_readPos] != 0;
    m_readPos += 1;
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(OS::x_wstring& v) const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    const uint32_t n = ReadInt<uint32_t>(m_bytes.data() + m_readPos);
    Need(size_t{4} + n, CIPCMsgBufferException::BAD_LENGTH);
    const unsigned char* text = m_bytes.data() + m_readPos + 4;
    // Common case: ASCII, each byte its own character, copied in one pass; at the first other
    // byte the whole text goes through the UTF-8 conversion instead.
    v.resize(n);
    wchar_t* to = v.data();
    for (uint32_t i = 0; i < n; ++i) {
        if (text[i] >= 0x80) {
            v = OS::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(text), n));
            break;
        }
        to[i] = static_cast<wchar_t>(text[i]);
    }
    m_readPos += 4 + size_t{n};
    return *this;
}

void CIPCMsgBuffer::SkipString() const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    const uint32_t n = ReadInt<uint32_t>(m_bytes.data() + m_readPos);
    Need(size_t{4} + n, CIPCMsgBufferException::BAD_LENGTH);
    m_readPos += 4 + size_t{n};
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(std::vector<OS::x_wstring>& v) const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    const size_t start = m_readPos;
    const uint32_t count = ReadInt<uint32_t>(m_bytes.data() + m_readPos);
    // Each element takes at least its own 4-byte count, which bounds a believable count.
    Need(size_t{4} + size_t{count} * 4, CIPCMsgBufferException::BAD_LENGTH);
    m_readPos += 4;
    std::vector<OS::x_wstring> items;
    // A string item is 32 bytes or more for 4 bytes read: reserve no more than a small start.
    items.reserve(std::min<uint32_t>(count, 256));
    try {
        for (uint32_t i = 0; i < count; ++i) {
            items.emplace_back();
            *this >> items.back();
        }
    } catch (...) {
        m_readPos = start;
        throw;
    }
    v = std::move(items);
    return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(CIPCMsgBuffer& nested) const {
    Need(4, CIPCMsgBufferException::READ_PAST_END);
    const uint32_t n = ReadInt<uint32_t>(m_bytes.data() + m_readPos);
    Need(size_t{4} + n, CIPCMsgBufferException::BAD_LENGTH);
    const unsigned char* from = m_bytes.data() + m_readPos + 4;
    if (&nested == this) {
        CByteStore bytes;
        bytes.assign(from, from + n);
        nested.m_bytes.swap(bytes);
    } else {
        nested.m_bytes.assign(from, from + n);
        m_readPos += 4 + size_t{n};
    }
    nested.m_readPos = 0;
    return *this;
}

void CIPCMsgBuffer::Put(const unsigned char* data, unsigned int size) {
    if (size == 0) return;
    const unsigned char* own = m_bytes.data();
    if (data >= own && data < own + m_bytes.size()) {
        // The source lies inside this buffer and may move when it grows.
        const std::vector<unsigned char> copy(data, data + size);
        Append(copy.data(), size);
        return;
    }
    Append(data, size);
}

void CIPCMsgBuffer::Get(unsigned char*& data, unsigned int size) const {
    Need(size, CIPCMsgBufferException::READ_PAST_END);
    auto* block = new unsigned char[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(block, m_bytes.data() + m_readPos, size);
    m_readPos += size;
    data = block;
}

void CIPCMsgBuffer::Free(void* block) const {
    delete[] static_cast<unsigned char*>(block);
}

void CIPCMsgBuffer::GetInto(void* out, size_t size) const {
    Need(size, CIPCMsgBufferException::READ_PAST_END);
    if (size != 0) std::memcpy(out, m_bytes.data() + m_readPos, size);
    m_readPos += size;
}

void CIPCMsgBuffer::ResetBuffer() {
    m_bytes.clear();
    m_readPos = 0;
}
