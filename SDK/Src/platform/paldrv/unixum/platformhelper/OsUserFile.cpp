// File and directory functions with Win32 argument lists.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "OsUserInternal.h"

namespace {

const size_t kCopyBlockSize = 65536;
// Symbolic links followed before a save gives up with ELOOP, as many as the kernel follows in one lookup.
const int kMaxLinkHops = 32;
const size_t kMaxFindPath = 1023;
const unsigned long kDeviceIoctlRequest = 0xC0205401ul;

const char kCreateFileSignature[] =
    "OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR, DWORD, DWORD, PVOID, DWORD, DWORD, OS_USER_FILE_HANDLE)";

_OsUserFileHandle* AsFile(HANDLE h)
{
    return OsUserHandleAs<_OsUserFileHandle>(h, OS_USER_HANDLE_FILE);
}

DWORD AttributesOf(const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISREG(st.st_mode))
        return FILE_ATTRIBUTE_NORMAL;
    return INVALID_FILE_ATTRIBUTES;
}

struct timespec BirthTime(const struct stat& st)
{
#if defined(__FreeBSD__)
    return st.st_birthtim;
#else
    // Linux's stat has no birth time; the status change time is the nearest stand-in.
    return st.st_ctim;
#endif
}

void FillTimes(const struct stat& st, FILETIME* creation, FILETIME* access, FILETIME* write)
{
    struct timespec birth = BirthTime(st);
    Timespec2FileTime(&birth, creation);
    Timespec2FileTime(&st.st_atim, access);
    Timespec2FileTime(&st.st_mtim, write);
}

// A directory search in progress.
struct KxFindHandle {
    glob_t g;
    size_t next;
};

bool FillFindData(KxFindHandle* f, LPWIN32_FIND_DATAA data)
{
    while (f->next < f->g.gl_pathc) {
        const char* path = f->g.gl_pathv[f->next++];
        struct stat st;
        if (strlen(path) > kMaxFindPath || stat(path, &st) != 0)
            continue;
        memset(data, 0, sizeof(*data));
        data->dwFileAttributes = AttributesOf(st);
        FillTimes(st, &data->ftCreationTime, &data->ftLastAccessTime, &data->ftLastWriteTime);
        uint64_t size = static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
        const char* base = strrchr(path, '/');
        base = base ? base + 1 : path;
        snprintf(data->cFileName, sizeof(data->cFileName), "%s", base);
        return true;
    }
    errno = ENOENT;
    return false;
}

} // namespace

std::string KxNormalizePath(const char* path)
{
    std::string out;
    if (path == nullptr)
        return out;
    out.reserve(strlen(path));
    for (const char* p = path; *p; ++p) {
        char c = *p == '\\' ? '/' : *p;
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out.push_back(c);
    }
    return out;
}

void OsUserNormalizePath(char* path)
{
    if (path == nullptr)
        return;
    std::string n = KxNormalizePath(path);
    memcpy(path, n.c_str(), n.size() + 1);
}

std::string KxDevicePath(const char* name)
{
    if (name == nullptr || strlen(name) <= 5 || strncmp(name, "\\\\.\\", 4) != 0)
        return std::string();
    std::string dev = name + 4;
    size_t com = dev.find("COM");
    if (com != std::string::npos && com + 3 < dev.size() && dev[com + 3] >= '1' && dev[com + 3] <= '9')
        dev = std::string("cuau") + static_cast<char>(dev[com + 3] - 1);
    std::string path = "/dev/" + dev;
    for (char& c : path)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return path;
}

OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     PVOID lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, OS_USER_FILE_HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    if (hTemplateFile != nullptr && hTemplateFile != INVALID_HANDLE_VALUE) {
        fprintf(stderr, "%s: hTemplateFile not supported\n", kCreateFileSignature);
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes != 0 && (dwFlagsAndAttributes & FILE_ATTRIBUTE_NORMAL) == 0) {
        fprintf(stderr, "%s: only FILE_ATTRIBUTE_NORMAL supported\n", kCreateFileSignature);
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    int flags;
    if (dwDesiredAccess == GENERIC_READ)
        flags = O_RDONLY;
    else if (dwDesiredAccess == GENERIC_WRITE)
        flags = O_WRONLY;
    else if (dwDesiredAccess == 0) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    } else
        flags = O_RDWR;
    // Append-only access: the end is found by each write itself, so concurrent writers never overwrite each other.
    if ((dwDesiredAccess & FILE_APPEND_DATA) != 0 && (dwDesiredAccess & GENERIC_WRITE) == 0)
        flags |= O_APPEND;
    switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        // Kept as the existing callers expect: truncation needs read access in the request.
        if ((dwDesiredAccess & GENERIC_READ) == 0) {
            errno = EINVAL;
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_TRUNC;
        break;
    default: break;
    }
    std::string path = KxDevicePath(lpFileName);
    if (path.empty())
        path = KxNormalizePath(lpFileName);

    _OsUserFileHandle* h = new (std::nothrow) _OsUserFileHandle();
    if (h == nullptr) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    // Truncation waits for the lock: another holder's content must not be cut before the share check.
    int openFlags = flags & ~O_TRUNC;
    h->fd = open(path.c_str(), openFlags | O_CLOEXEC, 0700);
    if (h->fd < 0) {
        int err = errno;
        delete h;
        errno = err;
        return INVALID_HANDLE_VALUE;
    }
    int lockOp = ((dwShareMode & FILE_SHARE_READ) ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (flock(h->fd, lockOp) != 0) {
        if (errno != EOPNOTSUPP) {
            close(h->fd);
            delete h;
            errno = EACCES;
            return INVALID_HANDLE_VALUE;
        }
    }
    if ((flags & O_TRUNC) != 0) {
        struct stat st;
        if (fstat(h->fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(h->fd, 0) != 0) {
            int err = errno;
            close(h->fd);
            delete h;
            errno = err;
            return INVALID_HANDLE_VALUE;
        }
    }
    return h;
}

BOOL OsUserReadFile(OS_USER_FILE_HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                    LPDWORD lpNumberOfBytesRead, PVOID lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    if (lpOverlapped != nullptr) {
        fprintf(stderr, "%s: lpOverlapped not supported",
                "BOOL OsUserReadFile(OS_USER_FILE_HANDLE, LPVOID, DWORD, LPDWORD, PVOID)");
        errno = EINVAL;
        return FALSE;
    }
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    ssize_t n = read(h->fd, lpBuffer, nNumberOfBytesToRead);
    if (n < 0)
        return FALSE;
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL OsUserWriteFile(OS_USER_FILE_HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                     LPDWORD lpNumberOfBytesWritten, PVOID lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (lpOverlapped != nullptr) {
        fprintf(stderr, "%s: lpOverlapped not supported",
                "BOOL OsUserWriteFile(OS_USER_FILE_HANDLE, LPCVOID, DWORD, LPDWORD, PVOID)");
        errno = EINVAL;
        return FALSE;
    }
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    ssize_t n = write(h->fd, lpBuffer, nNumberOfBytesToWrite);
    if (n < 0)
        return FALSE;
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = static_cast<DWORD>(n);
    return TRUE;
}

BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    flock(h->fd, LOCK_UN);
    int rc = close(h->fd);
    int err = errno;
    delete h;
    if (rc != 0) {
        errno = err;
        return FALSE;
    }
    return TRUE;
}

DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(h->fd, &st) != 0)
        return INVALID_FILE_SIZE;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
}

DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                           DWORD dwMoveMethod)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return INVALID_SET_FILE_POINTER;
    int whence;
    switch (dwMoveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: errno = EINVAL; return INVALID_SET_FILE_POINTER;
    }
    int64_t distance;
    if (lpDistanceToMoveHigh != nullptr)
        distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                        static_cast<uint32_t>(lDistanceToMove));
    else
        distance = lDistanceToMove;
    off_t pos = lseek(h->fd, static_cast<off_t>(distance), whence);
    if (pos < 0)
        return INVALID_SET_FILE_POINTER;
    uint64_t upos = static_cast<uint64_t>(pos);
    if (lpDistanceToMoveHigh != nullptr)
        *lpDistanceToMoveHigh = static_cast<LONG>(upos >> 32);
    if (static_cast<DWORD>(upos) == INVALID_SET_FILE_POINTER)
        errno = 0;
    return static_cast<DWORD>(upos);
}

BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE hFile)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    off_t pos = lseek(h->fd, 0, SEEK_CUR);
    if (pos < 0)
        return FALSE;
    return ftruncate(h->fd, pos) == 0;
}

BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpInfo)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    if (lpInfo == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    struct stat st;
    if (fstat(h->fd, &st) != 0)
        return FALSE;
    memset(lpInfo, 0, sizeof(*lpInfo));
    lpInfo->dwFileAttributes = AttributesOf(st);
    FillTimes(st, &lpInfo->ftCreationTime, &lpInfo->ftLastAccessTime, &lpInfo->ftLastWriteTime);
    uint64_t size = static_cast<uint64_t>(st.st_size);
    lpInfo->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    lpInfo->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

BOOL OsUserDeleteFile(LPCSTR lpFileName)
{
    if (lpFileName == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    return unlink(KxNormalizePath(lpFileName).c_str()) == 0;
}

BOOL OsUserMoveFile(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    std::string from = KxNormalizePath(lpExistingFileName);
    std::string to = KxNormalizePath(lpNewFileName);
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
        struct stat st;
        if (lstat(to.c_str(), &st) == 0) {
            errno = EEXIST;
            return FALSE;
        }
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

namespace {

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a write through path lands on: links in the last component are followed, also to a target that does
// not exist yet. Links in the folders need no care, since the rename stays inside the folder they lead to.
bool FinalTarget(std::string path, std::string& target)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(path.c_str(), link, sizeof(link));
        if (n < 0)
            return false;
        if (n == 0 || static_cast<size_t>(n) >= sizeof(link)) {
            errno = n == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        std::string next(link, static_cast<size_t>(n));
        if (next[0] != '/' && path.find('/') != std::string::npos)
            next = FolderOf(path) + "/" + next;
        path = next;
    }
    errno = ELOOP;
    return false;
}

} // namespace

namespace {

struct BufferToFill {
    const char* data;
    size_t size;
};

BOOL FillFromBuffer(int fd, PVOID pContext)
{
    const BufferToFill* b = static_cast<const BufferToFill*>(pContext);
    return os_write_all(fd, b->data, b->size) == 0 ? TRUE : FALSE;
}

} // namespace

BOOL OsUserWriteFileAtomic(LPCSTR lpFileName, LPCVOID lpData, size_t cbData)
{
    if (lpData == nullptr && cbData != 0) {
        errno = EINVAL;
        return FALSE;
    }
    BufferToFill b{static_cast<const char*>(lpData), cbData};
    return OsUserWriteFileAtomicWith(lpFileName, FillFromBuffer, &b);
}

BOOL OsUserWriteFileAtomicWith(LPCSTR lpFileName, OS_USER_FILL_FILE pfnFill, PVOID pContext)
{
    if (lpFileName == nullptr || pfnFill == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    std::string target;
    std::string path = KxNormalizePath(lpFileName);
    if (path.empty()) {
        errno = ENOENT;
        return FALSE;
    }
    if (!FinalTarget(path, target))
        return FALSE;
    std::string tmp = target + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return FALSE;
    fcntl(fd, F_SETFD, FD_CLOEXEC);

    struct stat old;
    struct stat mine;
    bool ok = true;
    if (stat(target.c_str(), &old) == 0) {
        // Owner first: a change of owner clears the set-id bits that the mode then restores. A file that would
        // change hands is not replaced, since its users might no longer be able to read it.
        if (fstat(fd, &mine) != 0)
            ok = false;
        else if (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)
            ok = fchown(fd, old.st_uid, old.st_gid) == 0;
        ok = ok && fchmod(fd, old.st_mode & 07777) == 0;
    } else {
        ok = fchmod(fd, 0644) == 0;
    }
    ok = ok && pfnFill(fd, pContext) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        errno = err;
        return FALSE;
    }
    // The rename lives in the folder: flush that too, so a power loss cannot bring the old file back.
    int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return TRUE;
}

BOOL OsUserRotateFile(OS_USER_FILE_HANDLE hFile, LPCSTR lpFileName, LPCSTR lpMovedFileName, DWORD dwShareMode)
{
    _OsUserFileHandle* h = AsFile(hFile);
    if (h == nullptr)
        return FALSE;
    if (lpFileName == nullptr || lpMovedFileName == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    std::string name = KxNormalizePath(lpFileName);
    std::string moved = KxNormalizePath(lpMovedFileName);
    struct stat openSt, namedSt;
    if (fstat(h->fd, &openSt) != 0 || stat(name.c_str(), &namedSt) != 0)
        return FALSE;
    // Only the file behind the handle is moved; another file that carries the name now is left alone.
    if (openSt.st_dev != namedSt.st_dev || openSt.st_ino != namedSt.st_ino) {
        errno = EINVAL;
        return FALSE;
    }
    int status = fcntl(h->fd, F_GETFL);
    if (status < 0)
        return FALSE;
    if (rename(name.c_str(), moved.c_str()) != 0)
        return FALSE;
    int fd = open(name.c_str(), (status & (O_ACCMODE | O_APPEND)) | O_CREAT | O_CLOEXEC, 0600);
    int err = 0;
    if (fd < 0)
        err = errno;
    else if (fchmod(fd, openSt.st_mode & 07777) != 0)
        err = errno;
    else if (flock(fd, ((dwShareMode & FILE_SHARE_READ) ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 && errno != EOPNOTSUPP)
        err = EACCES;
    // dup2 swaps the file behind the descriptor in one step: a write under way ends in the moved file, every
    // later one goes to the new file, and no writer ever sees a closed descriptor.
    else if (dup2(fd, h->fd) < 0)
        err = errno;
    if (fd >= 0)
        close(fd);
    if (err != 0) {
        rename(moved.c_str(), name.c_str());
        errno = err;
        return FALSE;
    }
    fcntl(h->fd, F_SETFD, FD_CLOEXEC);
    return TRUE;
}

BOOL OsUserCopyFile(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
{
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    std::string from = KxNormalizePath(lpExistingFileName);
    std::string to = KxNormalizePath(lpNewFileName);
    int src = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0)
        return FALSE;
    struct stat srcSt;
    if (fstat(src, &srcSt) != 0) {
        int err = errno;
        close(src);
        errno = err;
        return FALSE;
    }
    // The target is truncated only after it is known not to be the source itself.
    int dst = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (bFailIfExists ? O_EXCL : 0), 0);
    if (dst < 0) {
        int err = errno;
        close(src);
        errno = err;
        return FALSE;
    }
    bool ok = true;
    int err = 0;
    struct stat dstSt;
    if (fstat(dst, &dstSt) != 0) {
        ok = false;
        err = errno;
    } else if (dstSt.st_dev == srcSt.st_dev && dstSt.st_ino == srcSt.st_ino) {
        ok = false;
        err = EINVAL;
    } else if (ftruncate(dst, 0) != 0 || fchmod(dst, srcSt.st_mode & 07777) != 0) {
        ok = false;
        err = errno;
    }
    if (ok) {
        char* buf = new (std::nothrow) char[kCopyBlockSize];
        if (buf == nullptr) {
            ok = false;
            err = ENOMEM;
        }
        while (ok) {
            ssize_t n = read(src, buf, kCopyBlockSize);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                err = errno;
            } else if (n == 0) {
                break;
            } else if (os_write_all(dst, buf, static_cast<size_t>(n)) != 0) {
                ok = false;
                err = errno;
            }
        }
        delete[] buf;
    }
    if (close(dst) != 0 && ok) {
        ok = false;
        err = errno;
    }
    close(src);
    if (!ok) {
        errno = err;
        return FALSE;
    }
    return TRUE;
}

int os_write_all(int fd, const void* buf, size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int os_mkdir(const char* path, mode_t mode)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return mkdir(KxNormalizePath(path).c_str(), mode);
}

BOOL OsUserCreateDirectory(LPCSTR lpPathName, PVOID lpSecurityAttributes)
{
    (void)lpSecurityAttributes;
    return os_mkdir(lpPathName, 0775) == 0;
}

int os_rmdir(const char* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return rmdir(KxNormalizePath(path).c_str());
}

BOOL OsUserRemoveDirectory(LPCSTR lpPathName) { return os_rmdir(lpPathName) == 0; }

DWORD OsUserGetFileAttributes(LPCSTR lpFileName)
{
    if (lpFileName == nullptr) {
        errno = EINVAL;
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(KxNormalizePath(lpFileName).c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(st);
}

BOOL OsUserPathFileExists(LPCSTR lpPath)
{
    if (lpPath == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    struct stat st;
    return stat(KxNormalizePath(lpPath).c_str(), &st) == 0;
}

DWORD OsUserGetCurrentDirectory(DWORD nBufferLength, LPSTR lpBuffer)
{
    if (lpBuffer == nullptr || nBufferLength == 0) {
        errno = EINVAL;
        return 0;
    }
    if (getcwd(lpBuffer, nBufferLength) == nullptr)
        return 0;
    return static_cast<DWORD>(strlen(lpBuffer));
}

HANDLE OsUserFindFirstFile(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    KxFindHandle* f = new (std::nothrow) KxFindHandle();
    if (f == nullptr) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    f->next = 0;
    int rc = glob(KxNormalizePath(lpFileName).c_str(), 0, nullptr, &f->g);
    if (rc != 0 || !FillFindData(f, lpFindFileData)) {
        if (rc == 0 || rc == GLOB_NOMATCH)
            globfree(&f->g);
        delete f;
        errno = rc == GLOB_NOSPACE ? ENOMEM : ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    return f;
}

BOOL OsUserFindNextFile(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE || lpFindFileData == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    return FillFindData(static_cast<KxFindHandle*>(hFindFile), lpFindFileData);
}

BOOL OsUserFindClose(HANDLE hFindFile)
{
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) {
        errno = EINVAL;
        return FALSE;
    }
    KxFindHandle* f = static_cast<KxFindHandle*>(hFindFile);
    globfree(&f->g);
    delete f;
    return TRUE;
}

namespace {

// The record handed to the driver; 32 bytes on 64-bit systems.
struct kx_ioctl {
    uint32_t ioctl;
    uint32_t in_size;
    uint32_t out_size;
    uint32_t out_sizemax;
    void* in_buf;
    void* out_buf;
};

} // namespace

BOOL OsUserDeviceIoControl(OS_USER_FILE_HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                           PVOID lpOverlapped)
{
    (void)lpOverlapped;
    _OsUserFileHandle* h = AsFile(hDevice);
    if (h == nullptr)
        return FALSE;
    kx_ioctl rec;
    rec.ioctl = dwIoControlCode;
    rec.in_size = nInBufferSize;
    rec.out_size = 0;
    rec.out_sizemax = nOutBufferSize;
    rec.in_buf = lpInBuffer;
    rec.out_buf = lpOutBuffer;
    if (ioctl(h->fd, kDeviceIoctlRequest, &rec) != 0)
        return FALSE;
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = rec.out_size;
    return TRUE;
}
