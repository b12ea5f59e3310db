#include "KxStream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "OsUserFile.h"
#include "OsUserTools.h"

namespace {

// Chunk size of file-to-file moves and copies.
const DWORD kFileChunk = 1024;

bool IsStreamIid(REFIID riid)
{
    return riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream;
}

} // namespace

HRESULT KxHResultFromErrno(int nErr)
{
    if (nErr == 0)
        return E_FAIL;
    if (nErr < 0)
        return static_cast<HRESULT>(nErr);
    return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(nErr) & 0xFFFFu));
}

// =============================================================================================
// Memory stream

CKxMemoryStream::CKxMemoryStream()
    : m_pBuffer(nullptr), m_dwSize(0), m_dwPos(0), m_lRef(1), m_bOwnBuffer(false), m_bGrowable(false),
      m_dwIncrement(0)
{
}

CKxMemoryStream::~CKxMemoryStream() { FreeBuffer(); }

void CKxMemoryStream::FreeBuffer()
{
    if (m_bOwnBuffer)
        std::free(m_pBuffer);
    m_pBuffer = nullptr;
    m_bOwnBuffer = false;
}

HRESULT CKxMemoryStream::Init(DWORD dwSize, void* pBuffer, bool bOwn)
{
    BYTE* pNew = static_cast<BYTE*>(pBuffer);
    if (!pNew && dwSize) {
        pNew = static_cast<BYTE*>(std::calloc(dwSize, 1));
        if (!pNew)
            return E_OUTOFMEMORY;
        bOwn = true;
    }
    FreeBuffer();
    m_pBuffer = pNew;
    m_bOwnBuffer = bOwn && pNew;
    m_dwSize = dwSize;
    m_dwPos = 0;
    m_bGrowable = false;
    m_dwIncrement = 0;
    return S_OK;
}

HRESULT CKxMemoryStream::InitGrowable(DWORD dwInitial, DWORD dwIncrement)
{
    DWORD dwSize = dwInitial > dwIncrement ? dwInitial : dwIncrement;
    HRESULT hr = Init(dwSize, nullptr, true);
    if (FAILED(hr))
        return hr;
    m_bGrowable = true;
    m_dwIncrement = dwIncrement;
    return S_OK;
}

HRESULT CKxMemoryStream::GrowStream(DWORD dwNeeded)
{
    DWORD dwMissing = dwNeeded > m_dwSize ? dwNeeded - m_dwSize : 0;
    DWORD dwGrow = m_dwIncrement > dwMissing ? m_dwIncrement : dwMissing;
    if (dwGrow == 0)
        return S_OK;
    if (dwGrow > 0xFFFFFFFFu - m_dwSize)
        return E_OUTOFMEMORY;
    DWORD dwNewSize = m_dwSize + dwGrow;
    BYTE* pNew = static_cast<BYTE*>(std::calloc(dwNewSize, 1));
    if (!pNew)
        return E_OUTOFMEMORY;
    if (m_dwSize)
        std::memcpy(pNew, m_pBuffer, m_dwSize);
    FreeBuffer();
    m_pBuffer = pNew;
    m_bOwnBuffer = true;
    m_dwSize = dwNewSize;
    return S_OK;
}

HRESULT CKxMemoryStream::CreateMemoryStream(DWORD dwSize, IKxMemoryStream** ppStream)
{
    return CreateMemoryStream(nullptr, dwSize, ppStream, true);
}

HRESULT CKxMemoryStream::CreateMemoryStream(void* pBuffer, DWORD dwSize, IKxMemoryStream** ppStream, bool bOwn)
{
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    CKxMemoryStream* p = new (std::nothrow) CKxMemoryStream;
    if (!p)
        return E_OUTOFMEMORY;
    HRESULT hr = p->Init(dwSize, pBuffer, bOwn);
    if (FAILED(hr)) {
        p->Release();
        return hr;
    }
    *ppStream = p;
    return S_OK;
}

HRESULT CKxMemoryStream::CreateGrowableMemoryStream(DWORD dwInitial, IKxMemoryStream** ppStream, DWORD dwIncrement)
{
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    CKxMemoryStream* p = new (std::nothrow) CKxMemoryStream;
    if (!p)
        return E_OUTOFMEMORY;
    HRESULT hr = p->InitGrowable(dwInitial, dwIncrement);
    if (FAILED(hr)) {
        p->Release();
        return hr;
    }
    *ppStream = p;
    return S_OK;
}

HRESULT CKxMemoryStream::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsStreamIid(riid) || riid == IID_IKxMemoryStream) {
        *ppv = static_cast<IKxMemoryStream*>(this);
        AddRef();
        return S_OK;
    }
    // An unknown interface is a failure: a caller testing only the result must not use a null pointer.
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CKxMemoryStream::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CKxMemoryStream::Release()
{
    LONG l = InterlockedDecrement(&m_lRef);
    if (l == 0)
        delete this;
    return static_cast<ULONG>(l);
}

HRESULT CKxMemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (!pv)
        return E_FAIL;
    if (m_dwSize > 0 && m_dwPos >= m_dwSize)
        return E_FAIL;
    DWORD n = cb < Available() ? cb : Available();
    if (n == 0)
        return S_FALSE;
    std::memcpy(pv, m_pBuffer + m_dwPos, n);
    if (pcbRead)
        *pcbRead = n;
    m_dwPos += n;
    return S_OK;
}

HRESULT CKxMemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    if (!pv)
        return E_FAIL;
    if (cb == 0)
        return S_FALSE;
    // The position may lie beyond the end after a seek; the room is then zero, never a wrapped difference.
    if (Available() < cb) {
        if (!m_bGrowable)
            return E_OUTOFMEMORY;
        if (cb > 0xFFFFFFFFu - m_dwPos)
            return E_OUTOFMEMORY;
        HRESULT hr = GrowStream(m_dwPos + cb);
        if (FAILED(hr))
            return hr;
    }
    std::memcpy(m_pBuffer + m_dwPos, pv, cb);
    m_dwPos += cb;
    if (pcbWritten)
        *pcbWritten = cb;
    return S_OK;
}

HRESULT CKxMemoryStream::Seek(DWORD dwPos)
{
    if (!m_pBuffer)
        return E_FAIL;
    m_dwPos = dwPos;
    return S_OK;
}

HRESULT CKxMemoryStream::Flush()
{
    if (!m_pBuffer)
        return E_FAIL;
    m_dwPos = 0;
    return S_OK;
}

HRESULT CKxMemoryStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition)
{
    if (dwOrigin == STREAM_SEEK_SET)
        m_dwPos = dlibMove.LowPart;
    else if (dwOrigin == STREAM_SEEK_CUR)
        m_dwPos += dlibMove.LowPart;
    else
        return E_UNEXPECTED;
    if (plibNewPosition)
        plibNewPosition->QuadPart = m_dwPos;
    return S_OK;
}

HRESULT CKxMemoryStream::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }

HRESULT CKxMemoryStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten)
{
    if (!pstm)
        return E_POINTER;
    DWORD n = cb.QuadPart < Available() ? static_cast<DWORD>(cb.QuadPart) : Available();
    ULONG written = 0;
    // With nothing to hand over the buffer may be null; give the target a valid pointer anyway.
    static const BYTE s_empty = 0;
    HRESULT hr = pstm->Write(n ? m_pBuffer + m_dwPos : &s_empty, n, &written);
    m_dwPos += n;
    if (pcbRead)
        pcbRead->QuadPart = n;
    if (pcbWritten)
        pcbWritten->QuadPart = written;
    return hr;
}

HRESULT CKxMemoryStream::CopyTo(IKxStream* pStream, DWORD dwCount, DWORD* pdwRead, DWORD* pdwWritten)
{
    if (!pStream)
        return E_POINTER;
    DWORD n = dwCount < Available() ? dwCount : Available();
    ULONG written = 0;
    static const BYTE s_empty = 0;
    HRESULT hr = pStream->Write(n ? m_pBuffer + m_dwPos : &s_empty, n, &written);
    m_dwPos += n;
    if (pdwRead)
        *pdwRead = n;
    if (pdwWritten)
        *pdwWritten = written;
    return hr;
}

HRESULT CKxMemoryStream::Commit(DWORD) { return E_NOTIMPL; }
HRESULT CKxMemoryStream::Revert() { return E_NOTIMPL; }
HRESULT CKxMemoryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CKxMemoryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }

HRESULT CKxMemoryStream::Stat(STATSTG* pstatstg, DWORD)
{
    if (!pstatstg)
        return E_POINTER;
    pstatstg->cbSize.QuadPart = m_dwSize;
    return S_OK;
}

HRESULT CKxMemoryStream::Clone(IStream** ppstm)
{
    if (!ppstm)
        return E_POINTER;
    *ppstm = nullptr;
    if (m_bGrowable)
        return E_NOTIMPL;
    IKxMemoryStream* pClone = nullptr;
    HRESULT hr = CreateMemoryStream(m_dwSize, &pClone);
    if (FAILED(hr))
        return hr;
    if (m_dwSize) {
        void* pDst = nullptr;
        pClone->GetBuffer(&pDst);
        std::memcpy(pDst, m_pBuffer, m_dwSize);
    }
    *ppstm = pClone;
    return S_OK;
}

HRESULT CKxMemoryStream::GetPosition(DWORD* pdwPos)
{
    if (!pdwPos)
        return E_UNEXPECTED;
    *pdwPos = m_dwPos;
    return S_OK;
}

HRESULT CKxMemoryStream::SetPosition(DWORD dwPos)
{
    m_dwPos = dwPos;
    return S_OK;
}

HRESULT CKxMemoryStream::MoveRegion(DWORD dwCount, DWORD dwTo)
{
    if (m_bGrowable)
        return E_NOTIMPL;
    if (m_dwPos > m_dwSize || dwTo > m_dwSize || dwCount > m_dwSize - m_dwPos || dwCount > m_dwSize - dwTo)
        return E_FAIL;
    if (dwCount)
        std::memmove(m_pBuffer + dwTo, m_pBuffer + m_dwPos, dwCount);
    m_dwPos = dwTo + dwCount;
    return S_OK;
}

HRESULT CKxMemoryStream::GetBuffer(void** ppBuffer)
{
    if (!ppBuffer)
        return E_POINTER;
    *ppBuffer = m_pBuffer;
    return S_OK;
}

// =============================================================================================
// File stream

CKxFileStream::CKxFileStream() : m_hFile(INVALID_HANDLE_VALUE), m_pszPath(nullptr), m_lRef(1) {}

CKxFileStream::~CKxFileStream()
{
    if (m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr)
        OsUserCloseFile(m_hFile);
    std::free(m_pszPath);
}

HRESULT CKxFileStream::CreateFileStream(IKxFileStream** ppStream, const char* pszPath, DWORD dwAccess, DWORD dwShare,
                                        DWORD dwDisposition, DWORD dwFlags)
{
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    if (!pszPath)
        return KxHResultFromErrno(EINVAL);
    CKxFileStream* p = new (std::nothrow) CKxFileStream;
    if (!p)
        return E_OUTOFMEMORY;
    p->m_pszPath = strdup(pszPath);
    if (!p->m_pszPath) {
        p->Release();
        return E_OUTOFMEMORY;
    }
    errno = 0;
    p->m_hFile = OsUserCreateFile(pszPath, dwAccess, dwShare, nullptr, dwDisposition, dwFlags, nullptr);
    if (p->m_hFile == INVALID_HANDLE_VALUE || p->m_hFile == nullptr) {
        HRESULT hr = KxHResultFromErrno(errno);
        p->m_hFile = INVALID_HANDLE_VALUE;
        p->Release();
        return hr;
    }
    *ppStream = p;
    return S_OK;
}

HRESULT CKxFileStream::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsStreamIid(riid) || riid == IID_IKxFileStream || riid == IID_IKxFileStream2) {
        *ppv = static_cast<IKxFileStream*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CKxFileStream::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CKxFileStream::Release()
{
    LONG l = InterlockedDecrement(&m_lRef);
    if (l == 0)
        delete this;
    return static_cast<ULONG>(l);
}

HRESULT CKxFileStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    DWORD n = 0;
    errno = 0;
    if (!OsUserReadFile(m_hFile, pv, cb, &n, nullptr))
        return KxHResultFromErrno(errno);
    if (pcbRead)
        *pcbRead = n;
    return S_OK;
}

HRESULT CKxFileStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    DWORD n = 0;
    errno = 0;
    if (!OsUserWriteFile(m_hFile, pv, cb, &n, nullptr))
        return KxHResultFromErrno(errno);
    if (pcbWritten)
        *pcbWritten = n;
    return S_OK;
}

HRESULT CKxFileStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition)
{
    if (dwOrigin > STREAM_SEEK_END)
        return E_UNEXPECTED;
    LONG lHigh = dlibMove.HighPart;
    errno = 0;
    DWORD dwLow = OsUserSetFilePointer(m_hFile, static_cast<LONG>(dlibMove.LowPart), &lHigh, dwOrigin);
    if (dwLow == INVALID_SET_FILE_POINTER && errno != 0)
        return KxHResultFromErrno(errno);
    if (plibNewPosition)
        plibNewPosition->QuadPart = (static_cast<ULONGLONG>(static_cast<DWORD>(lHigh)) << 32) | dwLow;
    return S_OK;
}

HRESULT CKxFileStream::SeekTo(ULONGLONG pos)
{
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(pos);
    return Seek(li, STREAM_SEEK_SET, nullptr);
}

HRESULT CKxFileStream::SetSize(ULARGE_INTEGER libNewSize)
{
    errno = 0;
    if (OsUserGetFileSize(m_hFile, nullptr) == INVALID_FILE_SIZE && errno != 0)
        return E_FAIL;
    HRESULT hr = SeekTo(libNewSize.QuadPart);
    if (FAILED(hr))
        return hr;
    // A failed truncation must not be reported as success: the file would keep its old length.
    errno = 0;
    if (!OsUserSetEndOfFile(m_hFile))
        return KxHResultFromErrno(errno);
    return hr;
}

HRESULT CKxFileStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) { return E_NOTIMPL; }
HRESULT CKxFileStream::Commit(DWORD) { return E_NOTIMPL; }
HRESULT CKxFileStream::Revert() { return E_NOTIMPL; }
HRESULT CKxFileStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CKxFileStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CKxFileStream::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }
HRESULT CKxFileStream::Clone(IStream**) { return E_NOTIMPL; }

HRESULT CKxFileStream::GetPosition(DWORD* pdwPos)
{
    if (!pdwPos)
        return E_UNEXPECTED;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ULARGE_INTEGER pos;
    HRESULT hr = Seek(zero, STREAM_SEEK_CUR, &pos);
    if (FAILED(hr))
        return hr;
    *pdwPos = pos.LowPart;
    return S_OK;
}

HRESULT CKxFileStream::SetPosition(DWORD dwPos) { return SeekTo(dwPos); }

HRESULT CKxFileStream::MoveRegion(DWORD dwCount, DWORD dwTo)
{
    DWORD dwFrom = 0;
    HRESULT hr = GetPosition(&dwFrom);
    if (FAILED(hr))
        return hr;
    BYTE buf[kFileChunk];
    ULONGLONG from = dwFrom, to = dwTo;
    // A destination inside the source after its start would overwrite bytes not yet moved: go backwards then.
    bool bBackwards = from < to && to < from + dwCount;
    DWORD dwDone = 0;
    while (dwDone < dwCount) {
        DWORD dwChunk = dwCount - dwDone < kFileChunk ? dwCount - dwDone : kFileChunk;
        ULONGLONG off = bBackwards ? ULONGLONG(dwCount - dwDone - dwChunk) : ULONGLONG(dwDone);
        ULONG nRead = 0, nWritten = 0;
        if (FAILED(hr = SeekTo(from + off)) || FAILED(hr = Read(buf, dwChunk, &nRead)))
            return hr;
        // Bytes beyond the end of the file cannot be moved; writing the stale chunk would corrupt the file.
        if (nRead != dwChunk)
            return E_FAIL;
        if (FAILED(hr = SeekTo(to + off)) || FAILED(hr = Write(buf, dwChunk, &nWritten)))
            return hr;
        if (nWritten != dwChunk)
            return E_FAIL;
        dwDone += dwChunk;
    }
    return SeekTo(to + dwCount);
}

HRESULT CKxFileStream::CopyTo(IKxStream* pStream, DWORD dwCount, DWORD* pdwRead, DWORD* pdwWritten)
{
    if (!pStream)
        return E_POINTER;
    BYTE buf[kFileChunk];
    DWORD dwRead = 0, dwWritten = 0;
    HRESULT hr = S_OK;
    while (dwRead < dwCount) {
        DWORD dwChunk = dwCount - dwRead < kFileChunk ? dwCount - dwRead : kFileChunk;
        ULONG nRead = 0, nWritten = 0;
        hr = Read(buf, dwChunk, &nRead);
        if (FAILED(hr) || nRead == 0)
            break;
        dwRead += nRead;
        hr = pStream->Write(buf, nRead, &nWritten);
        dwWritten += nWritten;
        if (FAILED(hr) || nRead < dwChunk)
            break;
    }
    if (pdwRead)
        *pdwRead = dwRead;
    if (pdwWritten)
        *pdwWritten = dwWritten;
    // Reporting success after a failed read or write would hide lost data from the caller.
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CKxFileStream::GetFilePath(DWORD dwSize, char* pszPath)
{
    size_t n = m_pszPath ? std::strlen(m_pszPath) : 0;
    if (!pszPath || dwSize < n + 1)
        return E_FAIL;
    std::memcpy(pszPath, m_pszPath ? m_pszPath : "", n + 1);
    return S_OK;
}

HRESULT CKxFileStream::GetHandle(void** phFile)
{
    if (!phFile)
        return E_POINTER;
    *phFile = m_hFile;
    return S_OK;
}
