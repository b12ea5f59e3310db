#include "FileTracer.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

#include "OsUserFile.h"
#include "OsUserTools.h"

IKxFileStream* CFileTracer::m_pLogFile = nullptr;
DWORD CFileTracer::m_dwLevel = 0;
DWORD CFileTracer::m_dwMaxFileSize = 0;
DWORD CFileTracer::m_dwStartTime = 0;
char* CFileTracer::m_sName = nullptr;
char* CFileTracer::m_sBufferName = nullptr;

namespace {

std::atomic<bool> g_bSysLog(true);

const char kBufferSuffix[] = ".buffer";

// Longest text RingBufferWriteLine takes: the line with its CR LF must be countable in a DWORD.
const DWORD kMaxLineLength = 0xFFFFFFFFu - 2;

// Set while one thread moves a full log aside.
std::atomic_flag g_rotating = ATOMIC_FLAG_INIT;

// The file layer creates new files executable (mode 0700); the log is a data file like the others.
void CreateLogFile(const char* pszPath)
{
    std::string path(pszPath);
    OsUserNormalizePath(&path[0]);
    path.resize(std::strlen(path.c_str()));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

bool FileSize(void* hFile, ULONGLONG& size)
{
    DWORD dwHigh = 0;
    errno = 0;
    DWORD dwLow = OsUserGetFileSize(hFile, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE && errno != 0)
        return false;
    size = (ULONGLONG(dwHigh) << 32) | dwLow;
    return true;
}

// Prints the time-stamp prefix; returns its length, or -1 when it could not be made.
int FormatPrefix(char* pszLine, size_t nSize)
{
    SYSTEMTIME st;
    std::memset(&st, 0, sizeof(st));
    OsUserGetSystemTime(&st);
    return std::snprintf(pszLine, nSize, "%02d-%02d-%d:%02d:%02d:%02d.%03d: ", st.wDay, st.wMonth, st.wYear, st.wHour,
                         st.wMinute, st.wSecond, st.wMilliseconds);
}

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

} // namespace

void KxTraceEnableSysLog() { g_bSysLog = true; }
void KxTraceDisableSysLog() { g_bSysLog = false; }
bool KxTraceIsSysLogEnabled() { return g_bSysLog; }

void CFileTracer::Open(const char* pszPath, DWORD dwLevel, DWORD dwMaxFileSize, bool bWriteThrough)
{
    m_dwStartTime = OsUserGetTickCount();
    m_dwLevel = dwLevel;
    m_dwMaxFileSize = dwMaxFileSize;
    std::free(m_sName);
    std::free(m_sBufferName);
    m_sName = nullptr;
    m_sBufferName = nullptr;
    if (pszPath) {
        size_t n = std::strlen(pszPath);
        m_sName = strdup(pszPath);
        m_sBufferName = static_cast<char*>(std::malloc(n + sizeof(kBufferSuffix)));
        if (m_sBufferName) {
            std::memcpy(m_sBufferName, pszPath, n);
            std::memcpy(m_sBufferName + n, kBufferSuffix, sizeof(kBufferSuffix));
        }
    }
    if (dwLevel == 0)
        return;

    if (m_pLogFile) {
        m_pLogFile->Release();
        m_pLogFile = nullptr;
    }
    if (!m_sName || !m_sBufferName)
        return;
    CreateLogFile(m_sName);
    // Append-only: each line finds the end of the file itself, whoever else writes.
    DWORD dwFlags = FILE_ATTRIBUTE_NORMAL | (bWriteThrough ? FILE_FLAG_WRITE_THROUGH : 0u);
    IKxFileStream* pStream = nullptr;
    if (SUCCEEDED(CKxFileStream::CreateFileStream(&pStream, m_sName, GENERIC_READ | FILE_APPEND_DATA,
                                                  FILE_SHARE_READ, OPEN_ALWAYS, dwFlags)))
        m_pLogFile = pStream;
}

void CFileTracer::Close()
{
    if (m_pLogFile) {
        m_pLogFile->Release();
        m_pLogFile = nullptr;
    }
    std::free(m_sName);
    std::free(m_sBufferName);
    m_sName = nullptr;
    m_sBufferName = nullptr;
}

void CFileTracer::VWriteLine(DWORD dwLevel, const char* pszFormat, va_list args)
{
    // Nothing would be written: spare the formatting.
    if (dwLevel > m_dwLevel || !m_pLogFile || !pszFormat)
        return;
    char szLine[KX_TRACE_LINE];
    int nPrefix = FormatPrefix(szLine, sizeof(szLine));
    if (nPrefix < 0)
        return;
    if (nPrefix < KX_TRACE_LINE - 1)
        std::vsnprintf(szLine + nPrefix, sizeof(szLine) - size_t(nPrefix), pszFormat, args);
    RingBufferWriteLine(szLine, DWORD(std::strlen(szLine)), nullptr);
}

void CFileTracer::WriteLine0(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(0, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine1(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(1, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine2(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(2, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine(DWORD dwLevel, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(dwLevel, pszFormat, args);
    va_end(args);
}

void CFileTracer::VWriteLine(DWORD dwLevel, const wchar_t* pszFormat, va_list args)
{
    if (dwLevel > m_dwLevel || !m_pLogFile || !pszFormat)
        return;
    wchar_t wszLine[KX_TRACE_LINE];
    char szPrefix[KX_TRACE_LINE];
    int nPrefix = FormatPrefix(szPrefix, sizeof(szPrefix));
    if (nPrefix < 0)
        return;
    int i = 0;
    for (; i < nPrefix && i < KX_TRACE_LINE - 1; ++i)
        wszLine[i] = wchar_t(static_cast<unsigned char>(szPrefix[i]));
    wszLine[i] = L'\0';
    if (i < KX_TRACE_LINE - 1) {
        // vswprintf reports an overflow as failure but leaves what fitted: terminate it to keep the cut line.
        if (std::vswprintf(wszLine + i, size_t(KX_TRACE_LINE - i), pszFormat, args) < 0)
            wszLine[KX_TRACE_LINE - 1] = L'\0';
    }

    // Character by character, so one unconvertible character does not lose the whole line.
    char szLine[KX_TRACE_LINE];
    size_t nOut = 0;
    std::mbstate_t state;
    std::memset(&state, 0, sizeof(state));
    for (const wchar_t* p = wszLine; *p; ++p) {
        char mb[MB_LEN_MAX];
        size_t n = std::wcrtomb(mb, *p, &state);
        if (n == size_t(-1)) {
            mb[0] = '?';
            n = 1;
            std::memset(&state, 0, sizeof(state));
        }
        if (nOut + n > sizeof(szLine) - 1)
            break;
        std::memcpy(szLine + nOut, mb, n);
        nOut += n;
    }
    szLine[nOut] = '\0';
    RingBufferWriteLine(szLine, DWORD(nOut), nullptr);
}

void CFileTracer::WriteLine0(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(0, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine1(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(1, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine2(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(2, pszFormat, args);
    va_end(args);
}

void CFileTracer::WriteLine(DWORD dwLevel, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    VWriteLine(dwLevel, pszFormat, args);
    va_end(args);
}

bool CFileTracer::MakeRoom(void* hFile, DWORD nLength)
{
    ULONGLONG size = 0;
    if (!FileSize(hFile, size))
        return false;
    // An empty log has nothing to keep; moving it aside would only wipe the previous generation.
    if (size == 0 || size + nLength <= m_dwMaxFileSize)
        return true;
    // One thread moves the file aside; the others write on meanwhile, into the old file or the new one.
    if (g_rotating.test_and_set())
        return true;
    bool bOk = true;
    // Another thread may have moved the file aside since its size was read.
    if (FileSize(hFile, size) && size > 0 && size + nLength > m_dwMaxFileSize) {
        // Keep the previous generation; if it cannot be kept, drop this line rather than the old ones.
        bOk = m_sName && m_sBufferName && OsUserRotateFile(hFile, m_sName, m_sBufferName, FILE_SHARE_READ);
    }
    g_rotating.clear();
    return bOk;
}

void CFileTracer::RingBufferWriteLine(const void* pText, DWORD nLength, DWORD*)
{
    IKxFileStream* pLog = m_pLogFile;
    if (!pLog || (!pText && nLength) || nLength > kMaxLineLength)
        return;
    void* hFile = nullptr;
    if (FAILED(pLog->GetHandle(&hFile)) || hFile == INVALID_HANDLE_VALUE || !hFile)
        return;

    // Text and CR LF go out in one write on an appending descriptor, so lines of concurrent writers stay whole.
    char szLine[KX_TRACE_LINE + 2];
    std::unique_ptr<char[]> pLong;
    char* pLine = szLine;
    if (nLength > KX_TRACE_LINE) {
        pLong.reset(new (std::nothrow) char[size_t(nLength) + 2]);
        if (!pLong)
            return;
        pLine = pLong.get();
    }
    if (nLength)
        std::memcpy(pLine, pText, nLength);
    pLine[nLength] = '\r';
    pLine[nLength + 1] = '\n';

    if (m_dwMaxFileSize && !MakeRoom(hFile, nLength))
        return;
    DWORD nDone = 0;
    OsUserWriteFile(hFile, pLine, nLength + 2, &nDone, nullptr);
}

void CFileTracer::WriteHexLine(const unsigned char* pData, int nLength, int nOffset)
{
    if (nLength < 0 || !pData)
        nLength = 0;
    if (nLength > KX_TRACE_DUMP_WIDTH)
        nLength = KX_TRACE_DUMP_WIDTH;
    // 9 + 16 * 3 + 2 + 16 characters at most.
    char szLine[96];
    int n = std::snprintf(szLine, sizeof(szLine), "%08X ", static_cast<unsigned>(nOffset));
    for (int i = 0; i < KX_TRACE_DUMP_WIDTH; ++i) {
        if (i < nLength)
            n += std::snprintf(szLine + n, sizeof(szLine) - size_t(n), " %02X", pData[i]);
        else
            n += std::snprintf(szLine + n, sizeof(szLine) - size_t(n), "   ");
    }
    szLine[n++] = ' ';
    szLine[n++] = ' ';
    for (int i = 0; i < nLength; ++i)
        szLine[n++] = pData[i] <= 30 ? '.' : static_cast<char>(pData[i]);
    szLine[n] = '\0';
    RingBufferWriteLine(szLine, DWORD(n), nullptr);
}

void CFileTracer::WriteMemDump(DWORD dwLevel, const void* pData, int nLength)
{
    if (!m_pLogFile || dwLevel > m_dwLevel)
        return;
    if (!pData || nLength < 0)
        nLength = 0;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    int nOffset = 0;
    do {
        int nLine = nLength - nOffset < KX_TRACE_DUMP_WIDTH ? nLength - nOffset : KX_TRACE_DUMP_WIDTH;
        WriteHexLine(p ? p + nOffset : nullptr, nLine, nOffset);
        nOffset += KX_TRACE_DUMP_WIDTH;
    } while (nOffset < nLength);
}

void CFileTracer::HopInfo(DWORD dwLevel, const void* pHeader, const char* pszDirection)
{
    if (!m_pLogFile || dwLevel > m_dwLevel || !pHeader)
        return;
    const unsigned char* h = static_cast<const unsigned char*>(pHeader);
    const unsigned char* target = h;
    const unsigned char* sender = h + 8;
    if (Le16(h + 16) == 0x902)
        WriteLine(dwLevel, "%s Hop Command: packetNo:%d fragmentNo:%d", pszDirection, Le16(h + 30), Le16(h + 28));
    else
        WriteLine(dwLevel, "%s Hop Command", pszDirection);
    WriteLine(dwLevel, "     Sender: NetId = %d.%d.%d.%d.%d.%d Port = %d", sender[0], sender[1], sender[2], sender[3],
              sender[4], sender[5], Le16(sender + 6));
    WriteLine(dwLevel, "     Target: NetId = %d.%d.%d.%d.%d.%d Port = %d", target[0], target[1], target[2], target[3],
              target[4], target[5], Le16(target + 6));
}

void CFileTracer::WriteHopSendInfo(DWORD dwLevel, const void* pHeader) { HopInfo(dwLevel, pHeader, "Send"); }

void CFileTracer::WriteHopReceiveInfo(DWORD dwLevel, const void* pHeader) { HopInfo(dwLevel, pHeader, "Receive"); }
