// Counted, copy-on-write narrow-character string.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Header in front of the characters of every string buffer; the characters follow it directly.
struct CStringData {
    int32_t nRefs;        // sharing strings; below 0: never shared (the empty string's buffer is -1)
    int32_t nDataLength;  // characters in use, not counting the NUL
    int32_t nAllocLength; // characters the buffer holds, not counting the NUL
    // The characters that follow the header.
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

static_assert(sizeof(CStringData) == 12, "the buffer header is three 32-bit numbers");

// The shared empty buffer (reference count -1, length 0, capacity 0) and its characters (one NUL).
extern CStringData* const _atltmpDataNil;
extern const char* const _atltmpPchNil;

// Largest number of characters a string can hold.
static const int32_t KX_STRING_MAX_LENGTH = 0x7FFFFFFD;

// A string is one pointer to its characters; copies share the buffer until one of them changes.
// Allocation failures leave a string unchanged; nothing throws.
class CString {
public:
    // Empty string.
    CString();
    // Shared copy of src.
    CString(const CString& src);
    // Copy of a NUL-terminated text; null or "" gives the empty string.
    CString(const char* psz);
    // The first n characters at pch (n bytes are read); n <= 0 or null gives the empty string.
    CString(const char* pch, int n);
    // Wide text converted with wcstombs; null or an unconvertible text gives the empty string.
    CString(const wchar_t* pwsz);
    ~CString();

    // Shares src's buffer.
    CString& operator=(const CString& src);
    // Copies a NUL-terminated text; null or "" empties.
    CString& operator=(const char* psz);
    // One character; '\0' empties.
    CString& operator=(char ch);
    // Copies a NUL-terminated text of unsigned characters.
    CString& operator=(const unsigned char* psz);
    // Converts a wide text with wcstombs; null or an unconvertible text empties.
    CString& operator=(const wchar_t* pwsz);

    // Appends a NUL-terminated text (null: nothing); unchanged when memory runs out.
    CString& operator+=(const char* psz);
    // Appends one character ('\0': nothing).
    CString& operator+=(char ch);
    // Appends another string.
    CString& operator+=(const CString& src);

    // Number of characters.
    int GetLength() const { return GetData()->nDataLength; }
    // Characters the current buffer holds.
    int GetAllocLength() const { return GetData()->nAllocLength; }
    // True when the length is 0.
    bool IsEmpty() const { return GetData()->nDataLength == 0; }
    // The characters, NUL-terminated; never null.
    const char* GetString() const { return m_pchData; }
    operator const char*() const { return m_pchData; }
    // Character at nIndex (unchecked).
    char operator[](int nIndex) const { return m_pchData[nIndex]; }
    char GetAt(int nIndex) const { return m_pchData[nIndex]; }

    // Makes the string empty, releasing its buffer.
    void Empty();
    // Releases the buffer and points to the shared empty string.
    void Release();

    // strcmp with psz (null compares as "").
    int Compare(const char* psz) const;
    // strcmp after turning ASCII a..z into A..Z on both sides (null compares as "").
    int CompareNoCase(const char* psz) const;

    // ASCII a..z to A..Z.
    void MakeUpper();
    // tolower on every character.
    void MakeLower();

    // Index of the first occurrence of psz; -1 when absent or psz is null.
    int Find(const char* psz) const;
    // Index of the first occurrence of ch (strchr); -1 when absent.
    int Find(char ch) const;
    // Index of the last occurrence of ch (strrchr); -1 when absent.
    int ReverseFind(char ch) const;

    // The first n characters (n < 0: empty; limited to the length).
    CString Left(int n) const;
    // The last n characters (n < 0: empty; limited to the length).
    CString Right(int n) const;
    // count characters from nFirst (negative values count as 0; limited to the characters present).
    CString Mid(int nFirst, int nCount) const;
    // Everything from nFirst (negative counts as 0).
    CString Mid(int nFirst) const;

    // Replaces every occurrence of pszOld by pszNew (null: ""), left to right without overlap; returns the count.
    // 0 when pszOld is null or empty, or when memory for the new length runs out (string unchanged).
    int Replace(const char* pszOld, const char* pszNew);
    // Replaces every chOld by chNew; returns the count.
    int Replace(char chOld, char chNew);

    // Inserts ch before nIndex (limited to 0..length); returns the new length, -1 when memory runs out.
    int Insert(int nIndex, char ch);
    // Inserts psz before nIndex (limited to 0..length); returns the new length (null: unchanged), -1 when out of memory.
    int Insert(int nIndex, const char* psz);
    // Removes up to nCount characters from nIndex (negative index: 0); returns the length before the deletion.
    int Delete(int nIndex, int nCount = 1);

    // Formats with printf rules and assigns the result; a null format, a failure or an empty result leaves the string.
    void Format(const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // Same with a va_list.
    void FormatV(const char* pszFormat, va_list args);

    // Writable private buffer of at least nMinBufLength characters holding the text; null when negative or out of memory.
    char* GetBuffer(int nMinBufLength);
    // Ends direct writing: length nNewLength (-1: strlen of the buffer), limited to the buffer's capacity.
    void ReleaseBuffer(int nNewLength = -1);
    // GetBuffer(nNewLength) and sets the length to nNewLength; null on failure.
    char* GetBufferSetLength(int nNewLength);

    // The shared empty string.
    static const CString& GetEmptyString();

protected:
    CStringData* GetData() const { return reinterpret_cast<CStringData*>(m_pchData) - 1; }
    void Init();
    bool AllocBuffer(int nLen);
    bool AllocBeforeWrite(int nLen);
    bool AllocCopy(CString& dest, int nCopyLen, int nCopyIndex, int nExtraLen) const;
    void AssignCopy(int nSrcLen, const char* pszSrcData);
    bool ConcatCopy(int nSrc1Len, const char* pszSrc1Data, int nSrc2Len, const char* pszSrc2Data);
    void ConcatInPlace(int nSrcLen, const char* pszSrcData);
    bool CopyBeforeWrite();
    static void Release(CStringData* pData);

private:
    bool Owns(const char* p) const;

    char* m_pchData;
};

static_assert(sizeof(CString) == sizeof(char*), "a string is one pointer");

// Concatenations; an allocation failure yields the parts that could be kept.
CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const char* b);
CString operator+(const char* a, const CString& b);
CString operator+(const CString& a, char b);

inline bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
inline bool operator==(const CString& a, const CString& b) { return a.Compare(b) == 0; }
inline bool operator!=(const CString& a, const char* b) { return a.Compare(b) != 0; }
inline bool operator!=(const CString& a, const CString& b) { return a.Compare(b) != 0; }
inline bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
