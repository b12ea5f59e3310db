#include "KxString.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The empty buffer is constant-initialised, so strings built during static initialisation can use it.
struct CStringNil {
    CStringData data;
    char nul;
};
CStringNil s_nil = {{-1, 0, 0}, '\0'};

int32_t AtomicIncrement(int32_t* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
int32_t AtomicDecrement(int32_t* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }

int SafeStrlen(const char* psz)
{
    if (!psz)
        return 0;
    size_t n = std::strlen(psz);
    return n > size_t(KX_STRING_MAX_LENGTH) ? -1 : int(n);
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

} // namespace

CStringData* const _atltmpDataNil = &s_nil.data;
const char* const _atltmpPchNil = &s_nil.nul;

// ---------------------------------------------------------------------------------------------
// Buffer management

void CString::Init() { m_pchData = const_cast<char*>(_atltmpPchNil); }

bool CString::AllocBuffer(int nLen)
{
    if (nLen == 0) {
        Init();
        return true;
    }
    if (nLen < 0 || nLen > KX_STRING_MAX_LENGTH)
        return false;
    // Exactly the requested characters: header, text and NUL, no spare room.
    void* block = std::malloc(sizeof(CStringData) + size_t(nLen) + 1);
    if (!block)
        return false;
    CStringData* pData = static_cast<CStringData*>(block);
    pData->nRefs = 1;
    pData->nDataLength = nLen;
    pData->nAllocLength = nLen;
    pData->data()[nLen] = '\0';
    m_pchData = pData->data();
    return true;
}

void CString::Release(CStringData* pData)
{
    if (pData == _atltmpDataNil || pData->nRefs < 0)
        return;
    if (AtomicDecrement(&pData->nRefs) <= 0)
        std::free(pData);
}

void CString::Release()
{
    Release(GetData());
    Init();
}

void CString::Empty()
{
    if (GetData() != _atltmpDataNil)
        Release();
}

bool CString::CopyBeforeWrite()
{
    CStringData* pData = GetData();
    if (pData->nRefs <= 1)
        return true;
    CString copy;
    if (!copy.AllocBuffer(pData->nDataLength))
        return false;
    std::memcpy(copy.m_pchData, m_pchData, size_t(pData->nDataLength) + 1);
    Release(pData);
    m_pchData = copy.m_pchData;
    copy.Init();
    return true;
}

bool CString::AllocBeforeWrite(int nLen)
{
    CStringData* pData = GetData();
    if (pData->nRefs <= 1 && pData != _atltmpDataNil && nLen <= pData->nAllocLength && nLen > 0)
        return true;
    CString fresh;
    if (!fresh.AllocBuffer(nLen))
        return false;
    Release(pData);
    m_pchData = fresh.m_pchData;
    fresh.Init();
    return true;
}

bool CString::AllocCopy(CString& dest, int nCopyLen, int nCopyIndex, int nExtraLen) const
{
    int nNewLen = nCopyLen + nExtraLen;
    if (nNewLen == 0) {
        dest.Empty();
        return true;
    }
    CString tmp;
    if (!tmp.AllocBuffer(nNewLen))
        return false;
    std::memcpy(tmp.m_pchData, m_pchData + nCopyIndex, size_t(nCopyLen));
    dest = tmp;
    return true;
}

void CString::AssignCopy(int nSrcLen, const char* pszSrcData)
{
    if (nSrcLen <= 0 || !pszSrcData) {
        Empty();
        return;
    }
    // The source may lie inside this very buffer, which AllocBeforeWrite may keep or free.
    if (Owns(pszSrcData)) {
        CString keep(*this);
        if (!AllocBeforeWrite(nSrcLen))
            return;
        std::memmove(m_pchData, pszSrcData, size_t(nSrcLen));
    } else {
        if (!AllocBeforeWrite(nSrcLen))
            return;
        std::memcpy(m_pchData, pszSrcData, size_t(nSrcLen));
    }
    GetData()->nDataLength = nSrcLen;
    m_pchData[nSrcLen] = '\0';
}

bool CString::ConcatCopy(int nSrc1Len, const char* pszSrc1Data, int nSrc2Len, const char* pszSrc2Data)
{
    if (nSrc1Len > KX_STRING_MAX_LENGTH - nSrc2Len)
        return false;
    int nNewLen = nSrc1Len + nSrc2Len;
    if (nNewLen == 0) {
        Init();
        return true;
    }
    if (!AllocBuffer(nNewLen))
        return false;
    std::memcpy(m_pchData, pszSrc1Data, size_t(nSrc1Len));
    std::memcpy(m_pchData + nSrc1Len, pszSrc2Data, size_t(nSrc2Len));
    return true;
}

void CString::ConcatInPlace(int nSrcLen, const char* pszSrcData)
{
    if (nSrcLen <= 0 || !pszSrcData)
        return;
    CStringData* pData = GetData();
    if (pData->nDataLength > KX_STRING_MAX_LENGTH - nSrcLen)
        return;
    if (pData->nRefs > 1 || pData == _atltmpDataNil || pData->nDataLength + nSrcLen > pData->nAllocLength) {
        // The old buffer stays alive until both parts are copied, so appending a piece of itself is safe.
        CString joined;
        if (!joined.ConcatCopy(pData->nDataLength, m_pchData, nSrcLen, pszSrcData))
            return;
        Release(pData);
        m_pchData = joined.m_pchData;
        joined.Init();
    } else {
        std::memmove(m_pchData + pData->nDataLength, pszSrcData, size_t(nSrcLen));
        pData->nDataLength += nSrcLen;
        m_pchData[pData->nDataLength] = '\0';
    }
}

bool CString::Owns(const char* p) const
{
    const char* begin = m_pchData;
    const char* end = m_pchData + GetData()->nAllocLength + 1;
    return GetData() != _atltmpDataNil && p >= begin && p < end;
}

// ---------------------------------------------------------------------------------------------
// Construction and assignment

CString::CString() { Init(); }

CString::CString(const CString& src)
{
    if (src.GetData()->nRefs >= 0) {
        m_pchData = src.m_pchData;
        AtomicIncrement(&GetData()->nRefs);
    } else {
        Init();
        *this = src.m_pchData;
    }
}

CString::CString(const char* psz)
{
    Init();
    int n = SafeStrlen(psz);
    if (n > 0 && AllocBuffer(n))
        std::memcpy(m_pchData, psz, size_t(n));
}

CString::CString(const char* pch, int n)
{
    Init();
    if (pch && n > 0 && AllocBuffer(n))
        std::memcpy(m_pchData, pch, size_t(n));
}

CString::CString(const wchar_t* pwsz)
{
    Init();
    *this = pwsz;
}

CString::~CString() { Release(GetData()); }

CString& CString::operator=(const CString& src)
{
    if (m_pchData == src.m_pchData)
        return *this;
    CStringData* pMine = GetData();
    CStringData* pSrc = src.GetData();
    if ((pMine->nRefs < 0 && pMine != _atltmpDataNil) || pSrc->nRefs < 0) {
        AssignCopy(pSrc->nDataLength, src.m_pchData);
    } else {
        AtomicIncrement(&pSrc->nRefs);
        Release(pMine);
        m_pchData = src.m_pchData;
    }
    return *this;
}

CString& CString::operator=(const char* psz)
{
    int n = SafeStrlen(psz);
    if (n >= 0)
        AssignCopy(n, psz);
    return *this;
}

CString& CString::operator=(char ch)
{
    // A lone NUL is no text: storing it would give a length that strlen contradicts.
    if (ch == '\0')
        Empty();
    else
        AssignCopy(1, &ch);
    return *this;
}

CString& CString::operator=(const unsigned char* psz) { return *this = reinterpret_cast<const char*>(psz); }

CString& CString::operator=(const wchar_t* pwsz)
{
    if (!pwsz || !*pwsz) {
        Empty();
        return *this;
    }
    size_t n = std::wcstombs(nullptr, pwsz, 0);
    if (n == size_t(-1) || n > size_t(KX_STRING_MAX_LENGTH)) {
        Empty();
        return *this;
    }
    if (!AllocBeforeWrite(int(n)))
        return *this;
    std::wcstombs(m_pchData, pwsz, n + 1);
    GetData()->nDataLength = int(n);
    m_pchData[n] = '\0';
    return *this;
}

CString& CString::operator+=(const char* psz)
{
    int n = SafeStrlen(psz);
    if (n > 0)
        ConcatInPlace(n, psz);
    return *this;
}

CString& CString::operator+=(char ch)
{
    if (ch != '\0')
        ConcatInPlace(1, &ch);
    return *this;
}

CString& CString::operator+=(const CString& src)
{
    ConcatInPlace(src.GetLength(), src.m_pchData);
    return *this;
}

const CString& CString::GetEmptyString()
{
    static const CString s_empty;
    return s_empty;
}

// ---------------------------------------------------------------------------------------------
// Comparison and searching

int CString::Compare(const char* psz) const { return std::strcmp(m_pchData, psz ? psz : ""); }

int CString::CompareNoCase(const char* psz) const
{
    // Same result as strcmp over upper-cased copies, without making the copies.
    const unsigned char* a = reinterpret_cast<const unsigned char*>(m_pchData);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(psz ? psz : "");
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(UpperAscii(char(*a)));
        unsigned char cb = static_cast<unsigned char>(UpperAscii(char(*b)));
        if (ca != cb || ca == 0)
            return int(ca) - int(cb);
    }
}

int CString::Find(const char* psz) const
{
    if (!psz)
        return -1;
    const char* p = std::strstr(m_pchData, psz);
    return p ? int(p - m_pchData) : -1;
}

int CString::Find(char ch) const
{
    const char* p = std::strchr(m_pchData, ch);
    return p ? int(p - m_pchData) : -1;
}

int CString::ReverseFind(char ch) const
{
    const char* p = std::strrchr(m_pchData, ch);
    return p ? int(p - m_pchData) : -1;
}

// ---------------------------------------------------------------------------------------------
// Changing the text

void CString::MakeUpper()
{
    if (IsEmpty() || !CopyBeforeWrite())
        return;
    for (char* p = m_pchData; *p; ++p)
        *p = UpperAscii(*p);
}

void CString::MakeLower()
{
    if (IsEmpty() || !CopyBeforeWrite())
        return;
    for (char* p = m_pchData; *p; ++p)
        *p = char(std::tolower(static_cast<unsigned char>(*p)));
}

CString CString::Mid(int nFirst) const { return Mid(nFirst, GetLength()); }

CString CString::Mid(int nFirst, int nCount) const
{
    int nLen = GetLength();
    if (nFirst < 0)
        nFirst = 0;
    if (nCount < 0)
        nCount = 0;
    if (nFirst > nLen)
        nFirst = nLen;
    if (nCount > nLen - nFirst)
        nCount = nLen - nFirst;
    if (nFirst == 0 && nCount == nLen)
        return *this;
    CString dest;
    AllocCopy(dest, nCount, nFirst, 0);
    return dest;
}

CString CString::Left(int n) const { return Mid(0, n); }

CString CString::Right(int n) const
{
    int nLen = GetLength();
    if (n < 0)
        n = 0;
    if (n >= nLen)
        return *this;
    CString dest;
    AllocCopy(dest, n, nLen - n, 0);
    return dest;
}

int CString::Replace(char chOld, char chNew)
{
    int nCount = 0;
    if (chOld == chNew)
        return 0;
    int nLen = GetLength();
    for (int i = 0; i < nLen; ++i)
        if (m_pchData[i] == chOld)
            ++nCount;
    if (nCount == 0 || !CopyBeforeWrite())
        return 0;
    for (int i = 0; i < nLen; ++i)
        if (m_pchData[i] == chOld)
            m_pchData[i] = chNew;
    return nCount;
}

int CString::Replace(const char* pszOld, const char* pszNew)
{
    int nOldLen = SafeStrlen(pszOld);
    if (nOldLen <= 0)
        return 0;
    // Arguments that point into this buffer would move under us; work on private copies.
    CString oldCopy, newCopy;
    if (Owns(pszOld)) {
        oldCopy = CString(pszOld, nOldLen);
        pszOld = oldCopy.m_pchData;
    }
    if (pszNew && Owns(pszNew)) {
        newCopy = pszNew;
        pszNew = newCopy.m_pchData;
    }
    int nNewLen = SafeStrlen(pszNew);
    if (nNewLen < 0)
        return 0;
    if (!pszNew)
        pszNew = "";

    // Count over the whole length, also past embedded NULs.
    int nCount = 0;
    const char* pStart = m_pchData;
    const char* pEnd = m_pchData + GetLength();
    while (pStart < pEnd) {
        const char* pTarget;
        while ((pTarget = std::strstr(pStart, pszOld)) != nullptr) {
            ++nCount;
            pStart = pTarget + nOldLen;
        }
        pStart += std::strlen(pStart) + 1;
    }
    if (nCount == 0)
        return 0;

    int64_t nFinal = int64_t(GetLength()) + int64_t(nNewLen - nOldLen) * nCount;
    if (nFinal > KX_STRING_MAX_LENGTH)
        return 0;
    int nReplacementLen = int(nFinal);
    if (nReplacementLen == 0) {
        Empty();
        return nCount;
    }
    CStringData* pData = GetData();
    if (pData->nRefs > 1 || pData->nAllocLength < nReplacementLen) {
        // A shared text that shrinks is still copied whole before the in-place scan: room for both lengths.
        int nRoom = nReplacementLen > pData->nDataLength ? nReplacementLen : pData->nDataLength;
        CString bigger;
        if (!bigger.AllocBuffer(nRoom))
            return 0;
        std::memcpy(bigger.m_pchData, m_pchData, size_t(pData->nDataLength) + 1);
        bigger.GetData()->nDataLength = pData->nDataLength;
        Release(pData);
        m_pchData = bigger.m_pchData;
        bigger.Init();
    }

    int nCur = GetLength();
    char* pScan = m_pchData;
    while (pScan < m_pchData + nCur) {
        char* pTarget;
        while ((pTarget = std::strstr(pScan, pszOld)) != nullptr) {
            int nBalance = nCur - int(pTarget - m_pchData) - nOldLen;
            std::memmove(pTarget + nNewLen, pTarget + nOldLen, size_t(nBalance));
            std::memcpy(pTarget, pszNew, size_t(nNewLen));
            pScan = pTarget + nNewLen;
            pScan[nBalance] = '\0';
            nCur += nNewLen - nOldLen;
        }
        pScan += std::strlen(pScan) + 1;
    }
    GetData()->nDataLength = nCur;
    m_pchData[nCur] = '\0';
    return nCount;
}

int CString::Insert(int nIndex, char ch)
{
    if (ch == '\0')
        return GetLength();
    return Insert(nIndex, CString(&ch, 1).GetString());
}

int CString::Insert(int nIndex, const char* psz)
{
    int nInsLen = SafeStrlen(psz);
    if (nInsLen < 0)
        return -1;
    if (nInsLen == 0)
        return GetLength();
    CString insCopy;
    if (Owns(psz)) {
        insCopy = CString(psz, nInsLen);
        psz = insCopy.m_pchData;
    }
    int nLen = GetLength();
    if (nIndex < 0)
        nIndex = 0;
    if (nIndex > nLen)
        nIndex = nLen;
    if (nLen > KX_STRING_MAX_LENGTH - nInsLen)
        return -1;
    int nNewLen = nLen + nInsLen;
    if (!CopyBeforeWrite())
        return -1;
    CStringData* pData = GetData();
    if (pData->nAllocLength < nNewLen) {
        CString bigger;
        if (!bigger.AllocBuffer(nNewLen))
            return -1;
        std::memcpy(bigger.m_pchData, m_pchData, size_t(nLen) + 1);
        Release(pData);
        m_pchData = bigger.m_pchData;
        bigger.Init();
    }
    std::memmove(m_pchData + nIndex + nInsLen, m_pchData + nIndex, size_t(nLen - nIndex) + 1);
    std::memcpy(m_pchData + nIndex, psz, size_t(nInsLen));
    GetData()->nDataLength = nNewLen;
    return nNewLen;
}

int CString::Delete(int nIndex, int nCount)
{
    int nLen = GetLength();
    if (nIndex < 0)
        nIndex = 0;
    if (nCount <= 0 || nIndex >= nLen)
        return nLen;
    if (nCount > nLen - nIndex)
        nCount = nLen - nIndex;
    if (!CopyBeforeWrite())
        return nLen;
    std::memmove(m_pchData + nIndex, m_pchData + nIndex + nCount, size_t(nLen - nIndex - nCount) + 1);
    GetData()->nDataLength = nLen - nCount;
    return nLen;
}

void CString::Format(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CString::FormatV(const char* pszFormat, va_list args)
{
    if (!pszFormat)
        return;
    char* pszResult = nullptr;
    int n = vasprintf(&pszResult, pszFormat, args);
    if (n > 0 && pszResult)
        AssignCopy(n, pszResult);
    std::free(pszResult);
}

char* CString::GetBuffer(int nMinBufLength)
{
    if (nMinBufLength < 0)
        return nullptr;
    CStringData* pData = GetData();
    if (pData->nRefs > 1 || nMinBufLength > pData->nAllocLength) {
        int nOldLen = pData->nDataLength;
        int nNewAlloc = nMinBufLength > nOldLen ? nMinBufLength : nOldLen;
        CString fresh;
        if (!fresh.AllocBuffer(nNewAlloc))
            return nullptr;
        std::memcpy(fresh.m_pchData, m_pchData, size_t(nOldLen) + 1);
        fresh.GetData()->nDataLength = nOldLen;
        Release(pData);
        m_pchData = fresh.m_pchData;
        fresh.Init();
    }
    return m_pchData;
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (GetData() == _atltmpDataNil || !CopyBeforeWrite())
        return;
    CStringData* pData = GetData();
    // Never trust a length beyond what the buffer holds.
    if (nNewLength < 0)
        nNewLength = int(strnlen(m_pchData, size_t(pData->nAllocLength)));
    if (nNewLength > pData->nAllocLength)
        nNewLength = pData->nAllocLength;
    pData->nDataLength = nNewLength;
    m_pchData[nNewLength] = '\0';
}

char* CString::GetBufferSetLength(int nNewLength)
{
    char* p = GetBuffer(nNewLength);
    if (p && GetData() != _atltmpDataNil) {
        GetData()->nDataLength = nNewLength;
        m_pchData[nNewLength] = '\0';
    }
    return p;
}

// ---------------------------------------------------------------------------------------------
// Concatenation

CString operator+(const CString& a, const CString& b)
{
    CString r(a);
    r += b;
    return r;
}

CString operator+(const CString& a, const char* b)
{
    CString r(a);
    r += b;
    return r;
}

CString operator+(const char* a, const CString& b)
{
    CString r(a);
    r += b;
    return r;
}

CString operator+(const CString& a, char b)
{
    CString r(a);
    r += b;
    return r;
}
