// The process-wide diagnostic log: time-stamped lines appended to one file, filtered by level, with a size limit.
#pragma once

#include <cstdarg>
#include <cwchar>

#include "KxStream.h"

// Size of the line buffer: a line holds at most 511 characters before its CR LF.
static const int KX_TRACE_LINE = 512;

// Bytes per line of a hex dump.
static const int KX_TRACE_DUMP_WIDTH = 16;

// All members are static: one log per process. No lock is taken: each line is one write on an appending
// descriptor, so lines of concurrent writers never split or fuse.
class CFileTracer {
public:
    // Keeps level and limits and the names (path and path + ".buffer"); level 0 stops there, leaving a file still
    // open as it is. Otherwise (re)opens the file for appending, creating it with mode 0644; when that fails the
    // log stays closed and lines are dropped.
    static void Open(const char* pszPath, DWORD dwLevel, DWORD dwMaxFileSize, bool bWriteThrough);
    // Releases the file and frees both names.
    static void Close();

    // Writes a line at level 0 (always written while the log is open).
    static void WriteLine0(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
    // Writes a line at level 1.
    static void WriteLine1(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
    // Writes a line at level 2 (detail).
    static void WriteLine2(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
    // Writes a line at dwLevel; dropped when dwLevel exceeds the level given to Open or no file is open.
    static void WriteLine(DWORD dwLevel, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // Same with a va_list.
    static void VWriteLine(DWORD dwLevel, const char* pszFormat, va_list args);

    // Wide forms: formatted as wide text into 512 characters, then converted to at most 511 bytes.
    static void WriteLine0(const wchar_t* pszFormat, ...);
    static void WriteLine1(const wchar_t* pszFormat, ...);
    static void WriteLine2(const wchar_t* pszFormat, ...);
    static void WriteLine(DWORD dwLevel, const wchar_t* pszFormat, ...);
    static void VWriteLine(DWORD dwLevel, const wchar_t* pszFormat, va_list args);

    // Hex dump of nLength bytes, 16 per line, without time stamps; at least one line even for nLength 0.
    static void WriteMemDump(DWORD dwLevel, const void* pData, int nLength);
    // One dump line: "%08X " offset, " %02X" per byte, 3 blanks per missing byte, 2 blanks, then the characters
    // (bytes of value 30 or below as '.'). At most 16 bytes are shown.
    static void WriteHexLine(const unsigned char* pData, int nLength, int nOffset);

    // Three lines describing an outgoing routing header (target at 0, sender at 8, command at 16).
    static void WriteHopSendInfo(DWORD dwLevel, const void* pHeader);
    // Three lines describing an incoming routing header.
    static void WriteHopReceiveInfo(DWORD dwLevel, const void* pHeader);

    // Appends nLength bytes and CR LF with one write, first moving the file aside to the ".buffer" name (and
    // starting a new one) when the size limit would be exceeded; lines other threads write meanwhile land whole
    // in one of the two files. A line that cannot be made room for is dropped. pReserved is not used.
    static void RingBufferWriteLine(const void* pText, DWORD nLength, DWORD* pReserved);

    // True while a log file is open.
    static bool IsOpen() { return m_pLogFile != nullptr; }
    // Highest level written; 0 when no file was opened.
    static DWORD GetLevel() { return m_dwLevel; }
    // Size limit in bytes; 0 is unlimited.
    static DWORD GetMaxFileSize() { return m_dwMaxFileSize; }
    // Tick count taken at Open.
    static DWORD GetStartTime() { return m_dwStartTime; }
    // Log path given to Open; null while closed.
    static const char* GetFileName() { return m_sName; }
    // Path of the copy made at the size limit; null while closed.
    static const char* GetBufferFileName() { return m_sBufferName; }

private:
    // Applies the size limit before a line of nLength bytes; false when the line must be dropped.
    static bool MakeRoom(void* hFile, DWORD nLength);
    static void HopInfo(DWORD dwLevel, const void* pHeader, const char* pszDirection);

    static IKxFileStream* m_pLogFile;
    static DWORD m_dwLevel;
    static DWORD m_dwMaxFileSize;
    static DWORD m_dwStartTime;
    static char* m_sName;
    static char* m_sBufferName;
};

// Process-wide switch for a system-log copy; enabled at start. No output path consults it.
void KxTraceEnableSysLog();
void KxTraceDisableSysLog();
bool KxTraceIsSysLogEnabled();
