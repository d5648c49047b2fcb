// The folder mirroring over POSIX file calls: the tree walk, the removal of extras and the copy
// of newer files, done by the library itself.
// Thread rule: no shared state.
#include "replication/cfg_FolderMirror.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "outside/common/StringUtils.h"
#include "outside/common/x_wstring.h"
#include "outside/log/DebugLog.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_aureplication";

using OS::x_wstring;

std::string Join(const std::string& a, const std::string& b) {
    return NS_StringUtils::concatPath(x_wstring::FromUtf8(a), x_wstring::FromUtf8(b)).ToUtf8();
}

// The names of `folder`'s entries other than "." and ".."; false when it cannot be read.
bool ListNames(const std::string& folder, std::vector<std::string>& names) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    while (const dirent* e = readdir(dir)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(dir);
    return true;
}

void RemoveExtras(const std::string& source, const std::string& target) {
    std::vector<std::string> names;
    if (!ListNames(target, names)) return;
    for (const auto& name : names) {
        const std::string src = Join(source, name), dst = Join(target, name);
        struct stat st {
        }, sst{};
        if (lstat(dst.c_str(), &st) != 0) continue;
        const bool inSource = lstat(src.c_str(), &sst) == 0;
        const std::wstring wdst = x_wstring::FromUtf8(dst);
        if (S_ISDIR(st.st_mode)) {
            RemoveExtras(src, dst);
            if (inSource) continue;
            CFG_LOG(DBG::LVL_INFO, L"Delete directory %ls because it doesn't exist in src",
                    wdst.c_str());
            if (rmdir(dst.c_str()) != 0)
                CFG_LOG(DBG::LVL_INFO, L"Delete directory %ls error, code %d", wdst.c_str(), errno);
        } else if (!inSource) {
            CFG_LOG(DBG::LVL_INFO, L"Delete file %ls because it doesn't exist in src",
                    wdst.c_str());
            if (unlink(dst.c_str()) != 0)
                CFG_LOG(DBG::LVL_INFO, L"Delete file %ls error, code %d", wdst.c_str(), errno);
        }
    }
}

bool IsPermission(int err) {
    return err == EACCES || err == EPERM || err == EROFS;
}

// Copies one file over `dst` (replacing a read-only one), keeping the source's mode and
// modification time so that the next copy finds it up to date. Returns 0 or the errno.
int CopyOneFile(const std::string& src, const std::string& dst, const struct stat& sst) {
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 && errno == EACCES) {
        // A read-only target: make it writable for us, then write over it.
        struct stat dstSt {};
        if (lstat(dst.c_str(), &dstSt) == 0 && S_ISREG(dstSt.st_mode) &&
            chmod(dst.c_str(), dstSt.st_mode | S_IWUSR) == 0)
            out = open(dst.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        else
            errno = EACCES;
    }
    if (out < 0) {
        const int err = errno;
        close(in);
        return err;
    }
    int err = 0;
    off_t left = sst.st_size;
    while (left > 0) {
        const ssize_t n = sendfile(out, in, nullptr, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;  // the source shrank meanwhile
        left -= n;
    }
    if (!err) {
        const struct timespec times[2] = {sst.st_atim, sst.st_mtim};
        if (futimens(out, times) != 0 || fchmod(out, sst.st_mode & 07777) != 0) err = errno;
    }
    if (close(out) != 0 && !err) err = errno;
    close(in);
    return err;
}

void Note(int err, int& code) {
    if (IsPermission(err))
        code = NS_FolderMirror::kCopyPermission;
    else if (code == NS_FolderMirror::kCopyOk)
        code = NS_FolderMirror::kCopyFailed;
}

void CopyTree(const std::string& source, const std::string& target, int& code) {
    std::vector<std::string> names;
    if (!ListNames(source, names)) {
        const int err = errno;
        CFG_LOG(DBG::LVL_INFO, L"Cannot read folder %ls, code %d",
                x_wstring::FromUtf8(source).c_str(), err);
        Note(err, code);
        return;
    }
    for (const auto& name : names) {
        const std::string src = Join(source, name), dst = Join(target, name);
        struct stat sst {
        }, dstSt{};
        if (stat(src.c_str(), &sst) != 0) continue;  // removed meanwhile or a dangling link
        const bool exists = lstat(dst.c_str(), &dstSt) == 0;
        if (S_ISDIR(sst.st_mode)) {
            if (!exists && mkdir(dst.c_str(), 0755) != 0) {
                const int err = errno;
                CFG_LOG(DBG::LVL_INFO, L"Create directory %ls error, code %d",
                        x_wstring::FromUtf8(dst).c_str(), err);
                Note(err, code);
                continue;
            }
            CopyTree(src, dst, code);
            continue;
        }
        if (!S_ISREG(sst.st_mode)) continue;
        if (exists && S_ISREG(dstSt.st_mode) &&
            (sst.st_mtim.tv_sec < dstSt.st_mtim.tv_sec ||
             (sst.st_mtim.tv_sec == dstSt.st_mtim.tv_sec &&
              sst.st_mtim.tv_nsec <= dstSt.st_mtim.tv_nsec)))
            continue;  // the target is as new or newer
        if (const int err = CopyOneFile(src, dst, sst)) {
            CFG_LOG(DBG::LVL_INFO, L"Copy file %ls error, code %d",
                    x_wstring::FromUtf8(dst).c_str(), err);
            Note(err, code);
        }
    }
}

}  // namespace

void CompareAndRemoveExtraFiles(const wchar_t* source, const wchar_t* target) {
    CFG_LOG(DBG::LVL_ENTRY, L"CompareAndRemoveExtraFiles src:%ls des:%ls", source, target);
    RemoveExtras(x_wstring(source).ToUtf8(), x_wstring(target).ToUtf8());
    CFG_LOG(DBG::LVL_EXIT, L"CompareAndRemoveExtraFiles");
}

int NS_FolderMirror::CopyTreeNewer(const char* source, const char* target) {
    int code = kCopyOk;
    struct stat st {};
    if (stat(target, &st) != 0 && mkdir(target, 0755) != 0) {
        const int err = errno;
        CFG_LOG(DBG::LVL_INFO, L"Create directory %ls error, code %d",
                x_wstring::FromUtf8(target).c_str(), err);
        Note(err, code);
        return code;
    }
    CopyTree(source, target, code);
    return code;
}

void CopyFolderByXcopy(const wchar_t* source, const wchar_t* target) {
    CFG_LOG(DBG::LVL_INFO, L"Copy newer files from %ls to %ls", source, target);
    const int code = NS_FolderMirror::CopyTreeNewer(x_wstring(source).ToUtf8().c_str(),
                                                    x_wstring(target).ToUtf8().c_str());
    if (code == NS_FolderMirror::kCopyPermission)
        CFG_LOG(DBG::LVL_INFO,
                L"Process exit code: %d, Unable to run because of share fodler permission", code);
    else
        CFG_LOG(DBG::LVL_INFO, L"Process exit code: %d", code);
}
