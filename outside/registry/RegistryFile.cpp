// Parsing and writing the registry file, with the lock that serialises writers.
// Thread rule: the memory of the last content warned about, and the last content parsed of each
// file, are guarded by their mutexes.
#include "outside/registry/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "outside/common/x_wstring.h"
#include "outside/log/DebugLog.h"

namespace OS::regfile {
namespace {

const wchar_t kLogSource[] = L"RegistryFile";

std::wstring Trim(const std::wstring& s) {
    size_t b = s.find_first_not_of(L" \t\r\n");
    if (b == std::wstring::npos) return L"";
    size_t e = s.find_last_not_of(L" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Reads a quoted string starting at s[pos] == '"'; returns the position after the closing quote
// or npos when it does not parse.
size_t ReadQuoted(const std::wstring& s, size_t pos, std::wstring& out) {
    if (pos >= s.size() || s[pos] != L'"') return std::wstring::npos;
    out.clear();
    for (size_t i = pos + 1; i < s.size(); ++i) {
        if (s[i] == L'\\') {
            if (i + 1 >= s.size()) return std::wstring::npos;
            wchar_t n = s[++i];
            out += n == L'n' ? L'\n' : n;
        } else if (s[i] == L'"') {
            return i + 1;
        } else {
            out += s[i];
        }
    }
    return std::wstring::npos;
}

std::wstring Quote(const std::wstring& s) {
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c == L'\\' || c == L'"') out += L'\\';
        if (c == L'\n') {
            out += L"\\n";
            continue;
        }
        out += c;
    }
    return out + L"\"";
}

}  // namespace

std::wstring NormalisePath(const std::wstring& path) {
    std::wstring out;
    std::wstring part;
    auto flush = [&] {
        if (part.empty()) return;
        if (!out.empty()) out += L'\\';
        out += part;
        part.clear();
    };
    for (wchar_t c : path) {
        if (c == L'\\' || c == L'/') {
            flush();
        } else {
            part += c;
        }
    }
    flush();
    return out;
}

Key* Content::Find(const std::wstring& path) {
    for (Key& k : keys) {
        if (OS::wcsicmp(k.path, path) == 0) return &k;
    }
    return nullptr;
}

bool Content::Exists(const std::wstring& path) const {
    for (const Key& k : keys) {
        if (OS::wcsicmp(k.path, path) == 0) return true;
        if (k.path.size() > path.size() && k.path[path.size()] == L'\\' &&
            OS::wcsicmp(std::wstring_view(k.path).substr(0, path.size()), path) == 0)
            return true;
    }
    return false;
}

Content Parse(const std::string& utf8, std::vector<int>* badLines) {
    Content c;
    Key* current = nullptr;
    std::wstring text = OS::Utf8ToWide(utf8);
    std::wistringstream in(text);
    std::wstring line;
    int number = 0;
    bool parsed = true;
    auto skip = [&] {  // the line just read did not parse
        if (badLines) badLines->push_back(number);
    };
    while (std::getline(in, line)) {
        if (!parsed) skip();
        ++number;
        parsed = false;
        line = Trim(line);
        parsed = line.empty() || line[0] == L';' || line[0] == L'#';
        if (parsed) continue;
        if (line.front() == L'[' && line.back() == L']') {
            std::wstring path = NormalisePath(line.substr(1, line.size() - 2));
            if (path.empty()) {
                current = nullptr;
                continue;
            }
            parsed = true;
            current = c.Find(path);
            if (!current) {
                c.keys.push_back({path, {}});
                current = &c.keys.back();
            }
            continue;
        }
        if (!current) continue;  // a value outside any key
        Value v;
        size_t pos;
        if (line[0] == L'@') {
            pos = 1;
        } else {
            pos = ReadQuoted(line, 0, v.name);
            if (pos == std::wstring::npos) continue;
        }
        std::wstring rest = Trim(line.substr(pos));
        if (rest.empty() || rest[0] != L'=') continue;
        rest = Trim(rest.substr(1));
        if (rest.compare(0, 6, L"dword:") == 0) {
            std::wstring hex = Trim(rest.substr(6));
            if (hex.empty() || hex.size() > 8 ||
                hex.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
                continue;
            v.isNumber = true;
            v.number = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
        } else {
            size_t end = ReadQuoted(rest, 0, v.text);
            if (end == std::wstring::npos || !Trim(rest.substr(end)).empty()) continue;
        }
        parsed = true;
        bool replaced = false;
        for (Value& old : current->values) {
            if (OS::wcsicmp(old.name, v.name) == 0) {
                old = v;
                replaced = true;
            }
        }
        if (!replaced) current->values.push_back(v);
    }
    if (number > 0 && !parsed) skip();
    return c;
}

std::string Serialize(const Content& c) {
    std::wstring out =
        L"; registry of this machine: keys in [brackets], values as\n"
        L"; \"name\"=\"text\" or \"name\"=dword:0000002a\n";
    for (const Key& k : c.keys) {
        out += L"\n[" + k.path + L"]\n";
        for (const Value& v : k.values) {
            out += v.name.empty() ? L"@" : Quote(v.name);
            out += L"=";
            if (v.isNumber) {
                wchar_t buf[16];
                std::swprintf(buf, 16, L"dword:%08x", v.number);
                out += buf;
            } else {
                out += Quote(v.text);
            }
            out += L"\n";
        }
    }
    return OS::WideToUtf8(out);
}

namespace {

// What tells one content of a file from another: a write replaces the file (a new inode), and
// an edit in place changes its size or times.
struct CFileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};
    bool operator==(const CFileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

CFileStamp StampOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

std::atomic<long> g_settleMs{100};

// True when the file last changed long enough ago that a change now would carry another time:
// file times come from a coarse clock, and two writes within one of its ticks look the same.
bool Settled(const struct stat& st) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto ms = [](const timespec& t) {
        return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    return ms(now) - std::max(ms(st.st_mtim), ms(st.st_ctim)) >= g_settleMs.load();
}

// The last content parsed of each file, used again while the file's stamp is unchanged: the
// service reads the same few values for every request that replicates.
std::mutex g_parsedLock;
std::map<std::string, std::pair<CFileStamp, Content>> g_parsed;
constexpr size_t kParsedFiles = 16;

}  // namespace

void SetSettleTime(long milliseconds) {
    g_settleMs = milliseconds;
}

bool Load(const std::string& file, Content& out) {
    struct stat before {};
    if (::stat(file.c_str(), &before) != 0) {
        out = Content();
        return errno == ENOENT || errno == ENOTDIR;
    }
    {
        std::lock_guard<std::mutex> lock(g_parsedLock);
        const auto it = g_parsed.find(file);
        if (it != g_parsed.end() && it->second.first == StampOf(before)) {
            out = it->second.second;
            return true;
        }
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    std::vector<int> bad;
    out = Parse(text, &bad);
    struct stat after {};
    // Kept only when the file did not change while it was read.
    if (::stat(file.c_str(), &after) == 0 && StampOf(after) == StampOf(before) && Settled(after)) {
        std::lock_guard<std::mutex> lock(g_parsedLock);
        if (g_parsed.size() >= kParsedFiles && !g_parsed.count(file)) g_parsed.clear();
        g_parsed[file] = {StampOf(after), out};
    }
    if (!bad.empty()) {
        static std::mutex s_mutex;
        static std::map<std::string, size_t> s_warned;  // file -> hash of the content warned about
        const size_t hash = std::hash<std::string>()(text);
        std::lock_guard<std::mutex> lock(s_mutex);
        auto& last = s_warned[file];
        if (last != hash) {
            last = hash;
            for (int line : bad)
                CFG_LOG(DBG::LVL_WARNING,
                        L"registry file %s: line %d is not understood and is skipped (see "
                        L"docs/registry-file.md)",
                        file.c_str(), line);
        }
    }
    return true;
}

bool ModifyRaw(const std::string& file, void (*apply)(Content&, void*), void* ctx) {
    std::error_code ec;
    std::filesystem::path p(file);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
    int lockFd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) return false;
    bool ok = false;
    if (::flock(lockFd, LOCK_EX) == 0) {
        Content c;
        if (Load(file, c)) {
            apply(c, ctx);
            std::string tmp = file + ".tmp." + std::to_string(::getpid());
            int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                std::string data = Serialize(c);
                ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) &&
                     ::fsync(fd) == 0;
                ok = ::close(fd) == 0 && ok;
                ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0;
                if (!ok) ::unlink(tmp.c_str());
            }
        }
        ::flock(lockFd, LOCK_UN);
    }
    ::close(lockFd);
    return ok;
}

}  // namespace OS::regfile
