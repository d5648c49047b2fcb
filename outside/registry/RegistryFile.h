// The file behind the registry layer: one text file per machine holding keys and their string
// and 32-bit number values (format in docs/registry-file.md). Reads parse the whole file; writes
// rewrite it whole (temporary file + rename) under an exclusive lock on "<file>.lock", so
// readers of any process see either the old or the new content. Internal to the registry layer.
// Thread rule: processes and threads are serialised by the lock file; the memory of the last
// content warned about is guarded by its own mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace OS::regfile {

struct Value {
    std::wstring name;
    bool isNumber = false;
    std::wstring text;
    uint32_t number = 0;
};

struct Key {
    std::wstring path;  // full path with its root: HKEY_LOCAL_MACHINE\SOFTWARE\...
    std::vector<Value> values;
};

struct Content {
    std::vector<Key> keys;
    // Key whose path equals `path` (ASCII case ignored), or null.
    Key* Find(const std::wstring& path);
    // True when `path` or a key under it exists.
    bool Exists(const std::wstring& path) const;
};

// Parses registry text; lines that do not parse are skipped, their numbers (from 1) added to
// `badLines` when given.
Content Parse(const std::string& utf8, std::vector<int>* badLines = nullptr);
std::string Serialize(const Content& c);

// Reads the file; a missing file is an empty registry. False when it exists but cannot be read.
// Each line that does not parse is logged as a warning with the file and its line number, once
// per content of the file (reads are frequent; a file that changes is checked again).
bool Load(const std::string& file, Content& out);
// Applies `change` to the file's content under the lock and writes it back. False when the
// file cannot be written.
template <class F>
bool Modify(const std::string& file, F change);
bool ModifyRaw(const std::string& file, void (*apply)(Content&, void*), void* ctx);

template <class F>
bool Modify(const std::string& file, F change) {
    return ModifyRaw(
        file, [](Content& c, void* ctx) { (*static_cast<F*>(ctx))(c); }, &change);
}

// How long after its last change a file's parsed content is kept for the next read (100 ms by
// default: file times come from a coarse clock). For tests.
void SetSettleTime(long milliseconds);

// Normalises a key path: '\' separators, no empty parts, no leading or trailing separator.
std::wstring NormalisePath(const std::wstring& path);

}  // namespace OS::regfile
