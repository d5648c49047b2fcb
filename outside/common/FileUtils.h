// NS_FileUtils: the common library's file helpers (existence, listing a folder, the name part of
// a path) and the confinement of a path to a set of allowed root folders.
//
// collectFiles flags (bits): kCollectFiles (1) lists plain files, kCollectFolders (2) lists
// sub-folders, kCollectFullPath (4) gives each entry as folder/name rather than the bare name,
// kCollectSorted (32) sorts the list by name (byte order). The file requests pass 39, all four:
// files and folders, full paths, sorted. "." and ".." are never listed.
// Thread rule: no shared state.
#pragma once

#include <string>
#include <vector>

#include "outside/common/x_wstring.h"

namespace NS_FileUtils {

using OS::x_wstring;

inline constexpr unsigned int kCollectFiles = 1;
inline constexpr unsigned int kCollectFolders = 2;
inline constexpr unsigned int kCollectFullPath = 4;
inline constexpr unsigned int kCollectSorted = 32;
// The most entries one listing returns, whatever the folder holds.
inline constexpr unsigned int kMaxCollected = 100000;

// True when `path` names something that exists (a symbolic link counts by its target).
bool isFileExist(const wchar_t* path);

// Appends to `out` the entries of `folder` whose name matches `pattern` ("*.*" and "*" match
// every name, otherwise shell wildcards), chosen and written as `flags` say; at most `maxCount`
// entries (0: kMaxCollected), never more than kMaxCollected. `recurse` also lists the
// sub-folders' entries (full paths then). `error`, when given, receives why the folder could not
// be read. Returns false when the folder cannot be read.
bool collectFiles(std::vector<x_wstring>& out, const x_wstring& folder, const x_wstring& pattern,
                  unsigned int flags, unsigned int maxCount = 0, bool recurse = false,
                  x_wstring* error = nullptr);

// The part of `path` after its last '/' or '\'.
x_wstring getFilename(const wchar_t* path);

// Resolves `path` (absolute, '/' separated) and, when it lies inside one of `roots`, sets
// `resolved` to its canonical form and returns true. A path with a ".." component, a relative
// path, or one whose existing part leads through a symbolic link out of every root is refused
// (false, `resolved` untouched). The roots are canonicalised the same way; a missing root allows
// nothing.
bool ConfinePath(const x_wstring& path, const std::vector<x_wstring>& roots, x_wstring& resolved);

}  // namespace NS_FileUtils
