// Length-prefixed strings: one heap block holding a 32-bit character count, the characters and a NUL.
// The pointer handed around designates the first character; the block starts four bytes before it.
#pragma once

#include <cstdlib>
#include <cstring>

#include "platform/FreeBSD/KxWinTypes.h"

// Builds a string of len characters copied from s (s may be null: the characters are zero). Null when out of memory.
inline BSTR KxSysAllocStringLen(const char* s, uint32_t len)
{
    if (len > 0x7FFFFFF0u)
        return nullptr;
    char* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + static_cast<size_t>(len) + 1));
    if (!block)
        return nullptr;
    std::memcpy(block, &len, sizeof(len));
    char* text = block + sizeof(uint32_t);
    if (s)
        std::memcpy(text, s, len);
    else
        std::memset(text, 0, len);
    text[len] = '\0';
    return text;
}

// Builds a string from a NUL-terminated text; a null text gives an empty string.
inline BSTR KxSysAllocString(const char* s)
{
    return KxSysAllocStringLen(s ? s : "", s ? static_cast<uint32_t>(std::strlen(s)) : 0u);
}

// Frees a string built by KxSysAllocString*; null is ignored.
inline void KxSysFreeString(BSTR s)
{
    if (s)
        std::free(s - sizeof(uint32_t));
}

// The character count stored in front of the string; 0 for null.
inline uint32_t KxSysStringLen(const BSTR s)
{
    if (!s)
        return 0;
    uint32_t len;
    std::memcpy(&len, s - sizeof(uint32_t), sizeof(len));
    return len;
}

// Owns one length-prefixed string for the lifetime of a scope.
class CKxBstr {
public:
    CKxBstr() = default;
    explicit CKxBstr(const char* s) : m_s(KxSysAllocString(s)) {}
    CKxBstr(const CKxBstr&) = delete;
    CKxBstr& operator=(const CKxBstr&) = delete;
    ~CKxBstr() { KxSysFreeString(m_s); }
    BSTR get() const { return m_s; }
    BSTR& ref() { return m_s; }
    operator BSTR() const { return m_s; }

private:
    BSTR m_s = nullptr;
};
