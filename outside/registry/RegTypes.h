// The handle, root, access and result names of the registry layer, as its callers spell them
// (HKEY_LOCAL_MACHINE, KEY_READ, ERROR_SUCCESS, ...).
// Thread rule: constants only.
#pragma once

#include <cstdint>

struct HKEY__;
using HKEY = HKEY__*;

// Roots: fixed handle values, never dereferenced.
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001u});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002u});

// Access rights.
inline constexpr unsigned long KEY_QUERY_VALUE = 0x0001;
inline constexpr unsigned long KEY_SET_VALUE = 0x0002;
inline constexpr unsigned long KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr unsigned long KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr unsigned long KEY_READ = 0x20019;
inline constexpr unsigned long KEY_WRITE = 0x20006;
inline constexpr unsigned long KEY_ALL_ACCESS = 0xF003F;

// Results (0 is success; anything else means the key or value could not be used).
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;  // key or value missing
inline constexpr long ERROR_ACCESS_DENIED = 5;   // not opened for that, or the file is not writable
inline constexpr long ERROR_INVALID_HANDLE = 6;  // the key is not open
inline constexpr long ERROR_INVALID_DATA = 13;   // the value is of the other kind
inline constexpr long ERROR_MORE_DATA = 234;     // the buffer is too small
