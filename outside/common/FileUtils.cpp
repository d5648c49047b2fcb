// NS_FileUtils over POSIX directory calls and std::filesystem.
// Thread rule: no shared state.
#include "outside/common/FileUtils.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace NS_FileUtils {

namespace {

bool MatchesAll(const x_wstring& pattern) {
    return pattern.empty() || pattern == L"*" || pattern == L"*.*";
}

bool Collect(std::vector<x_wstring>& out, const std::string& folder, const std::string& pattern,
             bool all, unsigned int flags, size_t limit, bool recurse, bool full,
             x_wstring* error) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        if (error) *error = OS::x_wstring::FromUtf8(std::strerror(errno));
        return false;
    }
    std::vector<std::string> subFolders;
    while (out.size() < limit) {
        const dirent* e = readdir(dir);
        if (!e) break;
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + (folder.ends_with('/') ? "" : "/") + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        const bool isDir = S_ISDIR(st.st_mode);
        if (isDir && recurse) subFolders.push_back(path);
        if (!all && fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
        if (isDir ? !(flags & kCollectFolders) : !(flags & kCollectFiles)) continue;
        out.push_back(OS::x_wstring::FromUtf8(full ? path : name));
    }
    closedir(dir);
    for (const auto& sub : subFolders) {
        if (out.size() >= limit) break;
        Collect(out, sub, pattern, all, flags, limit, recurse, true, nullptr);
    }
    return true;
}

// Canonical form of `p` when its existing part resolves; empty on failure.
fs::path Canonical(const fs::path& p) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    return ec ? fs::path() : c;
}

bool IsInside(const fs::path& p, const fs::path& root) {
    auto r = root.begin(), i = p.begin();
    for (; r != root.end(); ++r, ++i) {
        if (r->empty()) continue;  // a trailing separator of the root
        if (i == p.end() || *i != *r) return false;
    }
    return true;
}

}  // namespace

bool isFileExist(const wchar_t* path) {
    if (!path || !*path) return false;
    struct stat st {};
    return stat(x_wstring(path).ToUtf8().c_str(), &st) == 0;
}

bool collectFiles(std::vector<x_wstring>& out, const x_wstring& folder, const x_wstring& pattern,
                  unsigned int flags, unsigned int maxCount, bool recurse, x_wstring* error) {
    const size_t limit =
        out.size() + ((maxCount == 0 || maxCount > kMaxCollected) ? kMaxCollected : maxCount);
    const size_t first = out.size();
    const bool ok = Collect(out, folder.ToUtf8(), pattern.ToUtf8(), MatchesAll(pattern), flags,
                            limit, recurse, (flags & kCollectFullPath) != 0 || recurse, error);
    if (flags & kCollectSorted)
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    return ok;
}

x_wstring getFilename(const wchar_t* path) {
    if (!path) return {};
    const x_wstring p(path);
    const size_t cut = p.find_last_of(L"/\\");
    return cut == x_wstring::npos ? p : p.substr(cut + 1);
}

bool ConfinePath(const x_wstring& path, const std::vector<x_wstring>& roots, x_wstring& resolved) {
    const fs::path p(path.ToUtf8());
    if (!p.is_absolute()) return false;
    for (const auto& part : p)
        if (part == "..") return false;
    // weakly_canonical follows every symbolic link of the existing part, so a link that leads
    // out of the roots lands outside them here.
    const fs::path c = Canonical(p);
    if (c.empty()) return false;
    // What is left as a link after that is one whose target does not exist: writing through it
    // would create its target wherever it points, so it is refused as well.
    fs::path walk;
    for (const auto& part : c) {
        walk /= part;
        struct stat st {};
        if (lstat(walk.c_str(), &st) != 0) break;
        if (S_ISLNK(st.st_mode)) return false;
    }
    for (const auto& root : roots) {
        if (root.empty()) continue;
        std::error_code ec;
        const fs::path r = fs::canonical(fs::path(root.ToUtf8()), ec);
        if (ec || r.empty()) continue;
        if (IsInside(c, r)) {
            resolved = OS::x_wstring::FromUtf8(c.string());
            return true;
        }
    }
    return false;
}

}  // namespace NS_FileUtils
