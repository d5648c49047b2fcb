// The folder mirroring that keeps a virtual server's folder the same on the other cluster nodes:
// CompareAndRemoveExtraFiles removes from the target tree what the source tree lacks, then
// CopyFolderByXcopy copies the source over the target: files that are missing or newer in the
// source, sub-folders (also empty ones), read-only targets overwritten. Both report nothing to
// the caller; every failure is logged and the walk goes on with the next entry.
// Thread rule: no shared state; two mirrors of the same folders may run at once (each sees the
// other's work as ordinary changes).
#pragma once

// REQUIRES: both paths non-null ('/' separated).
void CompareAndRemoveExtraFiles(const wchar_t* source, const wchar_t* target);
// REQUIRES: both paths non-null ('/' separated).
void CopyFolderByXcopy(const wchar_t* source, const wchar_t* target);

namespace NS_FolderMirror {

// The exit codes of a copy: kCopyOk, kCopyPermission when a permission was missing (on some
// entry), kCopyFailed for any other failure.
inline constexpr int kCopyOk = 0;
inline constexpr int kCopyFailed = 1;
inline constexpr int kCopyPermission = 4;

// The copy CopyFolderByXcopy runs, returning its exit code (a permission failure wins over
// other failures); each failed entry is logged.
int CopyTreeNewer(const char* source, const char* target);

}  // namespace NS_FolderMirror
