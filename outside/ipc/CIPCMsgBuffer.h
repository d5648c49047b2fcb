// CAccBuffer and CIPCMsgBuffer: the message buffer that carries every request, reply,
// notification body and serialized setting, and whose item encoding is a stored format.
//
// Item encoding (little-endian, no padding, no type marks):
//   int, unsigned int         4 bytes
//   short, unsigned short     2 bytes
//   long long                 8 bytes
//   bool                      1 byte, 0 or 1 (a read takes any non-zero byte as true)
//   x_wstring                 uint32 byte count N, then N bytes of UTF-8
//   vector<x_wstring>         uint32 element count, then each element as an x_wstring
//   nested CIPCMsgBuffer      uint32 byte count N, then the N used bytes of the nested buffer
//   Put(bytes, n)             the n bytes as they are, no count
// Reading past the end, or a count larger than the bytes left, throws CIPCMsgBufferException
// before anything is allocated.
// Thread rule: one thread at a time per buffer; reading moves a mutable read position, so even
// const reads must not be shared between threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "cfg_Export.h"
#include "outside/common/CException.h"
#include "outside/common/x_wstring.h"

class ZOLTCFG_API CIPCMsgBufferException : public OS::CException {
  public:
    enum : int {
        READ_PAST_END = 1,  // fewer bytes left than the item needs
        BAD_LENGTH = 2,     // a length or count prefix larger than the bytes left
    };
    using OS::CException::CException;
    OS::x_wstring GetErrorMsg() const override;
};

// The bytes of a message buffer: a growable array whose appends are a bounds check and a copy,
// and whose growth leaves the new bytes uninitialised (each is written before it is read).
class CByteStore {
  public:
    CByteStore() = default;
    CByteStore(const CByteStore& other) { assign(other.data(), other.data() + other.size()); }
    CByteStore(CByteStore&& other) noexcept { swap(other); }
    CByteStore& operator=(const CByteStore& other) {
        if (this != &other) assign(other.data(), other.data() + other.size());
        return *this;
    }
    CByteStore& operator=(CByteStore&& other) noexcept {
        CByteStore gone(std::move(other));
        swap(gone);
        return *this;
    }
    ~CByteStore() { std::free(m_data); }

    unsigned char* data() { return m_data; }
    const unsigned char* data() const { return m_data; }
    size_t size() const { return m_size; }
    unsigned char operator[](size_t i) const { return m_data[i]; }
    void reserve(size_t n) {
        if (n > m_capacity) Reallocate(n);
    }
    // Grows or shrinks to `n` bytes; grown bytes are left as they are.
    void resize(size_t n) {
        if (n > m_capacity) Reallocate(std::max(n, 2 * m_capacity));
        m_size = n;
    }
    void clear() { m_size = 0; }
    // REQUIRES: [from, to) does not lie inside this store.
    void assign(const unsigned char* from, const unsigned char* to) {
        m_size = 0;
        append(from, static_cast<size_t>(to - from));
    }
    // REQUIRES: `from` does not point into this store.
    void append(const void* from, size_t n) {
        if (n == 0) return;
        const size_t old = m_size;
        resize(old + n);
        std::memcpy(m_data + old, from, n);
    }
    void swap(CByteStore& other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

  private:
    void Reallocate(size_t n) {
        void* grown = std::realloc(m_data, n);
        if (grown == nullptr) throw std::bad_alloc();
        m_data = static_cast<unsigned char*>(grown);
        m_capacity = n;
    }
    unsigned char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// The growable byte store under the message buffer: all bytes written so far.
class ZOLTCFG_API CAccBuffer {
  public:
    explicit CAccBuffer(unsigned long initialSize = 1024);
    virtual ~CAccBuffer();
    CAccBuffer(const CAccBuffer&) = default;
    CAccBuffer& operator=(const CAccBuffer&) = default;

    // All bytes written so far, whatever has been read.
    const unsigned char* GetBuffer() const { return m_bytes.data(); }
    unsigned long BytesUsed() const { return static_cast<unsigned long>(m_bytes.size()); }

    // Appends what `fill(place, most)` writes at the end, without copying it from elsewhere (a
    // socket read straight into the buffer): `fill` returns how many of the `most` bytes it
    // wrote. Returns that count; a count below 0 or an exception appends nothing.
    template <class Fill>
    auto AppendFrom(size_t most, Fill&& fill) {
        const size_t old = m_bytes.size();
        m_bytes.resize(old + most);
        try {
            const auto n = fill(m_bytes.data() + old, most);
            m_bytes.resize(old + (n > 0 ? std::min(static_cast<size_t>(n), most) : 0));
            return n;
        } catch (...) {
            m_bytes.resize(old);
            throw;
        }
    }

  protected:
    // Appends raw bytes at the end. REQUIRES: `data` does not point into this buffer.
    void Append(const void* data, size_t size) { m_bytes.append(data, size); }
    CByteStore m_bytes;
};

class ZOLTCFG_API CIPCMsgBuffer : public CAccBuffer {
  public:
    // `initialSize` is a capacity hint; the flag is accepted for compatibility and unused.
    explicit CIPCMsgBuffer(unsigned long initialSize = 1024, bool flag = false);
    CIPCMsgBuffer(const CIPCMsgBuffer&) = default;
    CIPCMsgBuffer& operator=(const CIPCMsgBuffer&) = default;
    ~CIPCMsgBuffer() override;

    // Builds a buffer holding `size` bytes (as if Put), read position at the start.
    static CIPCMsgBuffer FromBytes(const void* data, size_t size);

    CIPCMsgBuffer& operator<<(int v);
    CIPCMsgBuffer& operator<<(unsigned int v);
    CIPCMsgBuffer& operator<<(short v);
    CIPCMsgBuffer& operator<<(unsigned short v);
    CIPCMsgBuffer& operator<<(long long v);
    CIPCMsgBuffer& operator<<(bool v);
    CIPCMsgBuffer& operator<<(const OS::x_wstring& v);
    CIPCMsgBuffer& operator<<(const std::vector<OS::x_wstring>& v);
    CIPCMsgBuffer& operator<<(const CIPCMsgBuffer& nested);  // the nested buffer's used bytes

    const CIPCMsgBuffer& operator>>(int& v) const;
    const CIPCMsgBuffer& operator>>(unsigned int& v) const;
    const CIPCMsgBuffer& operator>>(short& v) const;
    const CIPCMsgBuffer& operator>>(unsigned short& v) const;
    const CIPCMsgBuffer& operator>>(long long& v) const;
    const CIPCMsgBuffer& operator>>(bool& v) const;
    const CIPCMsgBuffer& operator>>(OS::x_wstring& v) const;
    const CIPCMsgBuffer& operator>>(std::vector<OS::x_wstring>& v) const;
    const CIPCMsgBuffer& operator>>(CIPCMsgBuffer& nested) const;  // replaces `nested`'s content

    // Appends raw bytes with no length of their own.
    void Put(const unsigned char* data, unsigned int size);
    // Hands out a block (allocated with new[]) holding the next `size` bytes; return it with Free.
    void Get(unsigned char*& data, unsigned int size) const;
    void Free(void* block) const;
    // Copies the next `size` bytes into `out` (no allocation of its own).
    void GetInto(void* out, size_t size) const;
    // Moves past the next `size` bytes, throwing as GetInto would.
    void Skip(size_t size) const {
        Need(size, CIPCMsgBufferException::READ_PAST_END);
        m_readPos += size;
    }
    // Moves past one x_wstring, throwing as reading it would (without converting its text).
    void SkipString() const;

    // The unread rest of the buffer, from the read position to the end.
    const unsigned char* GetCurrentBuffer() const { return m_bytes.data() + m_readPos; }
    unsigned long GetCurrentSize() const {
        return static_cast<unsigned long>(m_bytes.size() - m_readPos);
    }
    // An empty buffer again (read position at the start).
    void ResetBuffer();
    // Back to reading from the first byte.
    void Rewind() const { m_readPos = 0; }

  private:
    // Throws the buffer exception `code` unless `size` more bytes are there to read.
    void Need(size_t size, int code) const {
        if (size > m_bytes.size() - m_readPos) ThrowShortRead(size, code);
    }
    [[noreturn]] void ThrowShortRead(size_t size, int code) const;
    // Appends an integer little-endian at its own width.
    template <typename T>
    void PutInt(T v);
    mutable size_t m_readPos = 0;
};
