// Byte helpers of the tests: the bytes a message buffer holds, a byte list written as numbers,
// and the bytes of hex text, so that golden bytes read as one string.
// Thread rule: pure functions, any thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "outside/ipc/CIPCMsgBuffer.h"

namespace testsupport {

// The bytes a buffer holds so far.
inline std::vector<uint8_t> Bytes(const CIPCMsgBuffer& b) {
    return std::vector<uint8_t>(b.GetBuffer(), b.GetBuffer() + b.BytesUsed());
}

// The bytes of a list of numbers 0..255.
inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

// The bytes of hex text; spaces are skipped so that a golden string can be grouped by item.
// Throws std::invalid_argument on any other non-hex character or an odd digit count.
inline std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ') continue;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) throw std::invalid_argument("not a hex digit in " + hex);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex digit count in " + hex);
    return out;
}

}  // namespace testsupport
