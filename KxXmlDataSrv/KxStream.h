// Reference-counted streams with a COM-style interface: over a memory buffer and over a file.
#pragma once

#include <cstdint>

#include "platform/FreeBSD/KxWinTypes.h"

#ifndef KX_ISTREAM_DEFINED
#define KX_ISTREAM_DEFINED

// 64-bit signed and unsigned numbers split in two halves, as the stream interface passes them.
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER;

// Description of a stream; only cbSize is filled here.
typedef struct tagSTATSTG {
    char* pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    GUID clsid;
    DWORD grfStateBits;
    DWORD reserved;
} STATSTG;

// Seek origins.
#define STREAM_SEEK_SET 0u
#define STREAM_SEEK_CUR 1u
#define STREAM_SEEK_END 2u

struct ISequentialStream : public IUnknown {
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : public ISequentialStream {
    virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT Clone(IStream** ppstm) = 0;
};

// {0000000C-0000-0000-C000-000000000046}
static const IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {0C733A30-2A1C-11CE-ADE5-00AA0044773D}
static const IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
#endif

// {124B63FE-3033-4BC8-8AA9-52CE36D299CB}: the memory stream's own interface.
static const IID IID_IKxMemoryStream = {0x124B63FE, 0x3033, 0x4BC8, {0x8A, 0xA9, 0x52, 0xCE, 0x36, 0xD2, 0x99, 0xCB}};
// {F659C6AF-76D1-437A-AA69-79F57273DED8}: the file stream's own interface.
static const IID IID_IKxFileStream = {0xF659C6AF, 0x76D1, 0x437A, {0xAA, 0x69, 0x79, 0xF5, 0x72, 0x73, 0xDE, 0xD8}};
// {D9E8F16B-5102-457E-AE06-FE82E8AAE787}: a second identifier the file stream answers with the same interface.
static const IID IID_IKxFileStream2 = {0xD9E8F16B, 0x5102, 0x457E, {0xAE, 0x06, 0xFE, 0x82, 0xE8, 0xAA, 0xE7, 0x87}};

// Stream extension: 32-bit positions, moving a region, copying into another IKxStream.
struct IKxStream : public IStream {
    using IStream::CopyTo;
    // Current position (low 32 bits); E_UNEXPECTED for a null out parameter.
    virtual HRESULT GetPosition(DWORD* pdwPos) = 0;
    // Sets the position from the start.
    virtual HRESULT SetPosition(DWORD dwPos) = 0;
    // Moves dwCount bytes from the current position to offset dwTo (overlap allowed); position becomes dwTo + dwCount.
    virtual HRESULT MoveRegion(DWORD dwCount, DWORD dwTo) = 0;
    // Copies up to dwCount bytes from the current position into pStream; counts go to the out parameters.
    virtual HRESULT CopyTo(IKxStream* pStream, DWORD dwCount, DWORD* pdwRead, DWORD* pdwWritten) = 0;
};

// Memory stream: direct access to the buffer.
struct IKxMemoryStream : public IKxStream {
    // The buffer (may be null for an empty stream).
    virtual HRESULT GetBuffer(void** ppBuffer) = 0;
};

// File stream: path and handle.
struct IKxFileStream : public IKxStream {
    // Copies the path with its NUL; E_FAIL when dwSize is below its length + 1.
    virtual HRESULT GetFilePath(DWORD dwSize, char* pszPath) = 0;
    // The file handle of the platform file layer.
    virtual HRESULT GetHandle(void** phFile) = 0;
};

// HRESULT for a failed file call: 0x80070000 | (errno & 0xFFFF); E_FAIL for errno 0; a negative errno as it is.
HRESULT KxHResultFromErrno(int nErr);

// Stream over a memory buffer, fixed or growing by an increment. Only the reference count is thread-safe.
class CKxMemoryStream final : public IKxMemoryStream {
public:
    using IKxStream::CopyTo;

    // Fixed stream over a new owned, zeroed buffer of dwSize bytes. S_OK, E_OUTOFMEMORY, or E_POINTER for a null out.
    static HRESULT CreateMemoryStream(DWORD dwSize, IKxMemoryStream** ppStream);
    // Fixed stream over pBuffer (malloc'd when bOwn; a new owned buffer when null). S_OK or E_OUTOFMEMORY.
    static HRESULT CreateMemoryStream(void* pBuffer, DWORD dwSize, IKxMemoryStream** ppStream, bool bOwn);
    // Growable stream with a new owned buffer of max(dwInitial, dwIncrement) bytes. S_OK or E_OUTOFMEMORY.
    static HRESULT CreateGrowableMemoryStream(DWORD dwInitial, IKxMemoryStream** ppStream, DWORD dwIncrement);

    CKxMemoryStream();

    // Replaces the buffer by pBuffer of dwSize bytes (a new zeroed one when null); S_OK or E_OUTOFMEMORY.
    HRESULT Init(DWORD dwSize, void* pBuffer, bool bOwn);
    // Makes the stream growable over a new buffer of max(dwInitial, dwIncrement) bytes; S_OK or E_OUTOFMEMORY.
    HRESULT InitGrowable(DWORD dwInitial, DWORD dwIncrement);
    // Enlarges the buffer by max(increment, dwNeeded - size), keeping its bytes; E_OUTOFMEMORY on failure.
    HRESULT GrowStream(DWORD dwNeeded);

    // Sets the position; E_FAIL without a buffer.
    HRESULT Seek(DWORD dwPos);
    // True when the position is 0.
    bool IsEmpty() const { return m_dwPos == 0; }
    // Sets the position to 0; E_FAIL without a buffer.
    HRESULT Flush();
    // Buffer length in bytes.
    DWORD GetSize() const { return m_dwSize; }

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // ISequentialStream
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // IStream
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override;
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
    HRESULT Commit(DWORD grfCommitFlags) override;
    HRESULT Revert() override;
    HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT Clone(IStream** ppstm) override;
    // IKxStream
    HRESULT GetPosition(DWORD* pdwPos) override;
    HRESULT SetPosition(DWORD dwPos) override;
    HRESULT MoveRegion(DWORD dwCount, DWORD dwTo) override;
    HRESULT CopyTo(IKxStream* pStream, DWORD dwCount, DWORD* pdwRead, DWORD* pdwWritten) override;
    // IKxMemoryStream
    HRESULT GetBuffer(void** ppBuffer) override;

private:
    ~CKxMemoryStream();
    void FreeBuffer();
    DWORD Available() const { return m_dwPos < m_dwSize ? m_dwSize - m_dwPos : 0; }

    BYTE* m_pBuffer;
    DWORD m_dwSize;
    DWORD m_dwPos;
    LONG m_lRef;
    bool m_bOwnBuffer;
    bool m_bGrowable;
    DWORD m_dwIncrement;
};

// Stream over a file of the platform file layer. Only the reference count is thread-safe.
class CKxFileStream final : public IKxFileStream {
public:
    using IKxStream::CopyTo;

    // Opens pszPath with OsUserCreateFile(access, share, disposition, flags); the errno-based HRESULT on failure.
    static HRESULT CreateFileStream(IKxFileStream** ppStream, const char* pszPath, DWORD dwAccess, DWORD dwShare,
                                    DWORD dwDisposition, DWORD dwFlags);

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // ISequentialStream
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // IStream
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override;
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
    HRESULT Commit(DWORD grfCommitFlags) override;
    HRESULT Revert() override;
    HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT Clone(IStream** ppstm) override;
    // IKxStream
    HRESULT GetPosition(DWORD* pdwPos) override;
    HRESULT SetPosition(DWORD dwPos) override;
    HRESULT MoveRegion(DWORD dwCount, DWORD dwTo) override;
    HRESULT CopyTo(IKxStream* pStream, DWORD dwCount, DWORD* pdwRead, DWORD* pdwWritten) override;
    // IKxFileStream
    HRESULT GetFilePath(DWORD dwSize, char* pszPath) override;
    HRESULT GetHandle(void** phFile) override;

private:
    CKxFileStream();
    ~CKxFileStream();
    HRESULT SeekTo(ULONGLONG pos);

    HANDLE m_hFile;
    char* m_pszPath;
    LONG m_lRef;
};
