// Win32-style file and directory functions over POSIX.
//
// Paths may use backslashes: every path is normalised (backslash to slash, runs of slashes collapsed) first.
// Functions return TRUE/FALSE (or the documented failure value) and leave the reason in errno.
#pragma once

#include <sys/types.h>

#include <string>

#include "OsUserTools.h"

typedef HANDLE OS_USER_FILE_HANDLE;

// The path with backslashes turned into slashes and runs of slashes collapsed (empty for null), as every
// function here takes it.
std::string KxNormalizePath(const char* path);

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// Normalises a path in place: backslashes become slashes, runs of slashes collapse into one. Null is ignored.
void OsUserNormalizePath(char* path);

// Opens or creates a file and locks it (shared with FILE_SHARE_READ, else exclusive; a held lock gives errno 13).
// FILE_APPEND_DATA without GENERIC_WRITE opens for appending: every write lands whole at the end of the file.
// Returns the handle, or INVALID_HANDLE_VALUE with errno set.
OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     PVOID lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, OS_USER_FILE_HANDLE hTemplateFile);
// One read call; TRUE with the count read (0 at the end), FALSE on error (overlapped I/O: errno 22).
BOOL OsUserReadFile(OS_USER_FILE_HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                    LPDWORD lpNumberOfBytesRead, PVOID lpOverlapped);
// One write call; TRUE with the count written, FALSE on error (overlapped I/O: errno 22).
BOOL OsUserWriteFile(OS_USER_FILE_HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                     LPDWORD lpNumberOfBytesWritten, PVOID lpOverlapped);
// Unlocks, closes and frees the handle; TRUE when the close succeeded, FALSE with errno 22 for a bad handle.
BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile);
// Low 32 bits of the size (high bits to lpFileSizeHigh when given); INVALID_FILE_SIZE on failure.
DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE hFile, LPDWORD lpFileSizeHigh);
// Moves by high:low (sign-extended low without a high pointer) from FILE_BEGIN/CURRENT/END; returns the low
// 32 bits of the new position and stores the high ones; INVALID_SET_FILE_POINTER with errno set on failure
// (errno 0 when a valid position's low part is 0xFFFFFFFF).
DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                           DWORD dwMoveMethod);
// Cuts the file at the current position; TRUE on success.
BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE hFile);
// Attributes, times and size of the open file; other fields 0. FALSE on failure.
BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpInfo);
// Removes the file; TRUE on success.
BOOL OsUserDeleteFile(LPCSTR lpFileName);
// Renames; without MOVEFILE_REPLACE_EXISTING an existing target fails with errno 17. TRUE on success.
BOOL OsUserMoveFile(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
// Moves the file open as hFile, which must be the one named lpFileName, to lpMovedFileName (replacing that file)
// and puts a new empty file with the same permission bits at lpFileName behind the same handle, locked as
// OsUserCreateFile locks for dwShareMode. A write under way on hFile ends in the moved file and every later one
// goes to the new file, so writers on other threads lose nothing. TRUE on success; FALSE with errno, the file then
// back under lpFileName.
BOOL OsUserRotateFile(OS_USER_FILE_HANDLE hFile, LPCSTR lpFileName, LPCSTR lpMovedFileName, DWORD dwShareMode);
// Copies content and permission bits; bFailIfExists refuses an existing target (errno 17). TRUE on success.
BOOL OsUserCopyFile(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
// Replaces the file with cbData bytes so that a reader, or the file after a crash, holds either the old content or
// all of the new one: a temporary file in the same folder is written, flushed and renamed over it, then the folder
// is flushed. A symbolic link is followed to its final target, which is replaced while the link stays. The
// replaced file's owner, group and permission bits are kept; a new file gets 0644. TRUE on success; FALSE with
// errno set (EPERM when the owner or group cannot be kept), the old file then untouched and no temporary file left.
BOOL OsUserWriteFileAtomic(LPCSTR lpFileName, LPCVOID lpData, size_t cbData);
// Writes the new content through pfnFill(fd, pContext) instead of from a buffer, so that a large file never has
// to be held whole in memory; pfnFill returns FALSE (errno set) when it cannot write, and the old file stays.
typedef BOOL (*OS_USER_FILL_FILE)(int fd, PVOID pContext);
BOOL OsUserWriteFileAtomicWith(LPCSTR lpFileName, OS_USER_FILL_FILE pfnFill, PVOID pContext);
// write of all len bytes of buf to fd, going on after short writes and EINTR; 0 or -1 with errno.
int os_write_all(int fd, const void* buf, size_t len);
// Creates a directory with mode 0775; TRUE on success.
BOOL OsUserCreateDirectory(LPCSTR lpPathName, PVOID lpSecurityAttributes);
// mkdir of the normalised path with the given mode; 0 or -1 with errno.
int os_mkdir(const char* path, mode_t mode);
// Removes an empty directory; TRUE on success.
BOOL OsUserRemoveDirectory(LPCSTR lpPathName);
// rmdir of the normalised path; 0 or -1 with errno.
int os_rmdir(const char* path);
// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_NORMAL for a regular file, else INVALID_FILE_ATTRIBUTES.
DWORD OsUserGetFileAttributes(LPCSTR lpFileName);
// TRUE when the path exists.
BOOL OsUserPathFileExists(LPCSTR lpPath);
// Current directory into the buffer; its length, or 0 on failure (buffer too small: errno 34).
DWORD OsUserGetCurrentDirectory(DWORD nBufferLength, LPSTR lpBuffer);
// Starts a glob(3) search and gives the first match; INVALID_HANDLE_VALUE (errno 2) when nothing matches.
HANDLE OsUserFindFirstFile(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
// Gives the next match; FALSE (errno 2) when there are no more.
BOOL OsUserFindNextFile(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
// Ends a search; FALSE with errno 22 for a bad handle.
BOOL OsUserFindClose(HANDLE hFindFile);
// Passes a control request to the driver behind a device file; TRUE with the returned size on success.
BOOL OsUserDeviceIoControl(OS_USER_FILE_HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                           PVOID lpOverlapped);
