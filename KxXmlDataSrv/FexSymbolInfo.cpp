#include "FexSymbolInfo.h"

#include <cstring>

namespace {

const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }

uint16_t ReadU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Offsets of the three strings; all three NULs must sit where the lengths say, inside cbLen bytes.
bool StringsFit(const uint8_t* p, size_t cbHeader, size_t n, size_t t, size_t c, size_t cbLen)
{
    size_t end = cbHeader + n + 1 + t + 1 + c + 1;
    if (end > cbLen)
        return false;
    return p[cbHeader + n] == 0 && p[cbHeader + n + 1 + t] == 0 && p[cbHeader + n + 1 + t + 1 + c] == 0;
}

bool TextEquals(const uint8_t* p, size_t len, const char* text)
{
    return std::strlen(text) == len && std::memcmp(p, text, len) == 0;
}

// Attribute block at pos: a 2-byte count, then name length, value length, name + NUL, value + NUL each.
bool FindAttribute(const uint8_t* base, size_t pos, size_t end, const char* name, const char* value)
{
    if (!name || !value || !*name || !*value)
        return false;
    if (pos > end || end - pos < 2)
        return false;
    unsigned count = ReadU16(base + pos);
    pos += 2;
    for (unsigned i = 0; i < count; ++i) {
        if (end - pos < 2)
            return false;
        size_t a = base[pos];
        size_t v = base[pos + 1];
        size_t cb = a + v + 4;
        if (end - pos < cb)
            return false;
        const uint8_t* pName = base + pos + 2;
        const uint8_t* pValue = pName + a + 1;
        if (a && v && TextEquals(pName, a, name) && TextEquals(pValue, v, value))
            return true;
        pos += cb;
    }
    return false;
}

bool DatatypeValid(const uint8_t* p, size_t cbAvail, unsigned depth)
{
    if (depth > kFexMaxTypeNesting || cbAvail < sizeof(FexDatatypeEntry))
        return false;
    size_t len = ReadU32(p);
    if (len < sizeof(FexDatatypeEntry) || len > cbAvail)
        return false;
    const FexDatatypeEntry* e = reinterpret_cast<const FexDatatypeEntry*>(p);
    if (!StringsFit(p, sizeof(FexDatatypeEntry), e->nameLength, e->typeLength, e->commentLength, len))
        return false;
    size_t pos = sizeof(FexDatatypeEntry) + e->nameLength + e->typeLength + e->commentLength + 3;
    size_t cbArray = size_t(e->arrayDim) * sizeof(FexDatatypeArrayInfo);
    if (len - pos < cbArray)
        return false;
    pos += cbArray;
    for (unsigned i = 0; i < e->subItems; ++i) {
        if (!DatatypeValid(p + pos, len - pos, depth + 1))
            return false;
        pos += ReadU32(p + pos);
    }
    return true;
}

size_t DatatypeArrayStart(const FexDatatypeEntry* e)
{
    return sizeof(FexDatatypeEntry) + e->nameLength + e->typeLength + e->commentLength + 3;
}

size_t DatatypeSubItemStart(const FexDatatypeEntry* e)
{
    return DatatypeArrayStart(e) + size_t(e->arrayDim) * sizeof(FexDatatypeArrayInfo);
}

} // namespace

bool FexSymbolEntryValid(const void* pv, size_t cbAvail)
{
    if (!pv || cbAvail < sizeof(FexSymbolEntry))
        return false;
    const uint8_t* p = Bytes(pv);
    size_t len = ReadU32(p);
    if (len < sizeof(FexSymbolEntry) || len > cbAvail)
        return false;
    const FexSymbolEntry* e = static_cast<const FexSymbolEntry*>(pv);
    return StringsFit(p, sizeof(FexSymbolEntry), e->nameLength, e->typeLength, e->commentLength, len);
}

bool FexDatatypeEntryValid(const void* p, size_t cbAvail)
{
    return p && DatatypeValid(Bytes(p), cbAvail, 0);
}

const char* FexSymbolName(const FexSymbolEntry* p)
{
    return p ? reinterpret_cast<const char*>(p) + sizeof(FexSymbolEntry) : "";
}

const char* FexSymbolTypeName(const FexSymbolEntry* p)
{
    return p ? FexSymbolName(p) + p->nameLength + 1 : "";
}

const char* FexSymbolComment(const FexSymbolEntry* p)
{
    return p ? FexSymbolTypeName(p) + p->typeLength + 1 : "";
}

const FexDatatypeArrayInfo* FexDatatypeArrayDim(const FexDatatypeEntry* p, unsigned i)
{
    if (!p || i >= p->arrayDim)
        return nullptr;
    size_t pos = DatatypeArrayStart(p) + size_t(i) * sizeof(FexDatatypeArrayInfo);
    if (pos + sizeof(FexDatatypeArrayInfo) > p->entryLength)
        return nullptr;
    return reinterpret_cast<const FexDatatypeArrayInfo*>(Bytes(p) + pos);
}

CFexSubItems::CFexSubItems(const FexDatatypeEntry* p) : m_pPos(nullptr), m_pEnd(nullptr), m_nLeft(0)
{
    if (!p)
        return;
    size_t start = DatatypeSubItemStart(p);
    if (start > p->entryLength)
        return;
    m_pPos = Bytes(p) + start;
    m_pEnd = Bytes(p) + p->entryLength;
    m_nLeft = p->subItems;
}

const FexDatatypeEntry* CFexSubItems::Next()
{
    if (!m_nLeft || size_t(m_pEnd - m_pPos) < sizeof(FexDatatypeEntry))
        return nullptr;
    uint32_t len = ReadU32(m_pPos);
    if (len < sizeof(FexDatatypeEntry) || len > size_t(m_pEnd - m_pPos)) {
        m_nLeft = 0;
        return nullptr;
    }
    const FexDatatypeEntry* e = reinterpret_cast<const FexDatatypeEntry*>(m_pPos);
    m_pPos += len;
    --m_nLeft;
    return e;
}

const FexDatatypeEntry* FexDatatypeSubItem(const FexDatatypeEntry* p, unsigned i)
{
    CFexSubItems items(p);
    const FexDatatypeEntry* e = items.Next();
    for (unsigned k = 0; e && k < i; ++k)
        e = items.Next();
    return e;
}

bool FexSymbolHasAttribute(const FexSymbolEntry* p, const char* name, const char* value)
{
    if (!p || !(p->flags & FEX_SYMFLAG_ATTRIBUTES))
        return false;
    size_t pos = sizeof(FexSymbolEntry) + size_t(p->nameLength) + p->typeLength + p->commentLength + 3;
    if (p->flags & FEX_SYMFLAG_TYPEGUID)
        pos += 16;
    return FindAttribute(Bytes(p), pos, p->entryLength, name, value);
}

bool FexDatatypeHasAttribute(const FexDatatypeEntry* p, const char* name, const char* value)
{
    if (!p || !(p->flags & FEX_DTFLAG_ATTRIBUTES))
        return false;
    const uint8_t* base = Bytes(p);
    const size_t end = p->entryLength;
    size_t pos = DatatypeSubItemStart(p);
    for (unsigned i = 0; i < p->subItems; ++i) {
        if (pos > end || end - pos < sizeof(FexDatatypeEntry))
            return false;
        uint32_t len = ReadU32(base + pos);
        if (len < sizeof(FexDatatypeEntry) || len > end - pos)
            return false;
        pos += len;
    }
    if (p->flags & FEX_DTFLAG_TYPEGUID)
        pos += 16;
    if (p->flags & FEX_DTFLAG_COPYMASK)
        pos += p->size;
    if (p->flags & FEX_DTFLAG_METHODS) {
        if (pos > end || end - pos < 2)
            return false;
        unsigned count = ReadU16(base + pos);
        pos += 2;
        for (unsigned i = 0; i < count; ++i) {
            if (pos > end || end - pos < 4)
                return false;
            uint32_t len = ReadU32(base + pos);
            if (len < 4 || len > end - pos)
                return false; // a short length would never move on, a long one leaves the record
            pos += len;
        }
    }
    return FindAttribute(base, pos, end, name, value);
}

bool IsUtf8(const FexSymbolEntry* p) { return FexSymbolHasAttribute(p, "KxEncoding", "UTF-8"); }
bool IsUtf8(const FexDatatypeEntry* p) { return FexDatatypeHasAttribute(p, "KxEncoding", "UTF-8"); }
bool Exclude(const FexSymbolEntry* p) { return FexSymbolHasAttribute(p, "KxXmlServer", "exclude"); }
bool Exclude(const FexDatatypeEntry* p) { return FexDatatypeHasAttribute(p, "KxXmlServer", "exclude"); }

namespace {

struct PrimitiveNames {
    uint32_t id;
    const char* const* exact;
    const char* const* prefixes;
};

const char* const kInt16[] = {"INT", "INT16", nullptr};
const char* const kInt16P[] = {"INT (", "INT16 (", nullptr};
const char* const kInt32[] = {"DINT", "INT32", nullptr};
const char* const kInt32P[] = {"DINT (", "INT32 (", nullptr};
const char* const kReal32[] = {"REAL", "FLOAT", nullptr};
const char* const kReal64[] = {"LREAL", "DOUBLE", nullptr};
const char* const kInt8[] = {"SINT", "INT8", nullptr};
const char* const kInt8P[] = {"SINT (", "INT8 (", nullptr};
const char* const kUInt8[] = {"USINT", "BYTE", "UINT8", "BIT8", nullptr};
const char* const kUInt8P[] = {"BYTE (", "UINT8 (", "BIT8 (", "USINT (", nullptr};
const char* const kUInt16[] = {"UINT", "WORD", "UINT16", nullptr};
const char* const kUInt16P[] = {"UINT (", "WORD (", "UINT16 (", nullptr};
const char* const kUInt32[] = {"UDINT", "DWORD", "TIME", "DATE", "TOD", "TIME_OF_DAY", "DT", "OKXID", "UINT32",
                               "DATE_AND_TIME", nullptr};
const char* const kUInt32P[] = {"UDINT (", "UINT32 (", "DWORD (", nullptr};
const char* const kInt64[] = {"LINT", "INT64", "DCTIME", "FILETIME", nullptr};
const char* const kInt64P[] = {"LINT (", "INT64 (", nullptr};
const char* const kUInt64[] = {"ULINT", "LWORD", "UINT64", "LDATE", "LDATE_AND_TIME", "LDT", "LTIME",
                               "LTIME_OF_DAY", "LTOD", nullptr};
const char* const kUInt64P[] = {"ULINT (", "UINT64 (", "LWORD (", nullptr};
const char* const kBit[] = {"BOOL", "BIT", nullptr};
const char* const kBig[] = {"TIME", "DATE", "TOD", "TIME_OF_DAY", "DT", "DATE_AND_TIME", "LTIME", "LDATE",
                            "LDATE_AND_TIME", "LDT", "LTIME_OF_DAY", "LTOD", "SINT", "INT8", "USINT", "UINT8",
                            "BIT8", "INT", "INT16", "UINT", "UINT32", "DINT", "INT32", "UDINT", "BYTE", "WORD",
                            "DWORD", "LINT", "INT64", "ULINT", "UINT64", "LWORD", nullptr};
// Subrange forms of id 65 carry no blank before the parenthesis.
const char* const kBigP[] = {"SINT(", "INT8(", "USINT(", "UINT8(", "BIT8(", "INT(", "INT16(",
                             "UINT(", "UINT16(", "DINT(", "INT32(", "UDINT(", "UINT32(", "BYTE(",
                             "WORD(", "DWORD(", "LINT(", "INT64(", "ULINT(", "UINT64(", "LWORD(", nullptr};

const PrimitiveNames kPrimitives[] = {
    {FEX_TYPE_INT16, kInt16, kInt16P},     {FEX_TYPE_INT32, kInt32, kInt32P},
    {FEX_TYPE_REAL32, kReal32, nullptr},   {FEX_TYPE_REAL64, kReal64, nullptr},
    {FEX_TYPE_INT8, kInt8, kInt8P},        {FEX_TYPE_UINT8, kUInt8, kUInt8P},
    {FEX_TYPE_UINT16, kUInt16, kUInt16P},  {FEX_TYPE_UINT32, kUInt32, kUInt32P},
    {FEX_TYPE_INT64, kInt64, kInt64P},     {FEX_TYPE_UINT64, kUInt64, kUInt64P},
    {FEX_TYPE_BIT, kBit, nullptr},         {FEX_TYPE_BIGTYPE, kBig, kBigP},
};

bool MatchesAny(const char* name, const char* const* exact, const char* const* prefixes)
{
    for (; exact && *exact; ++exact)
        if (std::strcmp(name, *exact) == 0)
            return true;
    for (; prefixes && *prefixes; ++prefixes)
        if (std::strncmp(name, *prefixes, std::strlen(*prefixes)) == 0)
            return true;
    return false;
}

// White space as the C library's "%d" conversion skips it (this file builds on its own for the record fuzzer).
bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The name scanned as "<prefix>%d)%s" must give exactly one conversion: the prefix, a decimal number (blanks
// and a sign allowed before it) and then no further word. Scanned by hand so that a number too long for an
// int cannot misbehave.
bool IsStringName(const char* name, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (std::strncmp(name, prefix, n) != 0)
        return false;
    const char* p = name + n;
    while (IsCSpace(*p))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (*p != ')')
        return true; // the scan stops at the literal: one conversion
    ++p;
    while (IsCSpace(*p))
        ++p;
    return *p == 0;
}

} // namespace

bool IsPrimitive(const char* name, uint32_t dataType)
{
    if (!name)
        return false;
    if (dataType == FEX_TYPE_STRING)
        return IsStringName(name, "STRING(");
    if (dataType == FEX_TYPE_WSTRING)
        return IsStringName(name, "WSTRING(");
    for (const PrimitiveNames& row : kPrimitives)
        if (row.id == dataType)
            return MatchesAny(name, row.exact, row.prefixes);
    return false;
}

bool IsPointer(const char* name)
{
    if (!name)
        return false;
    return std::strncmp(name, "POINTER", 7) == 0 || std::strncmp(name, "REFERENCE", 9) == 0 ||
           std::strncmp(name, "PVOID", 5) == 0;
}
