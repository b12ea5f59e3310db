// Symbol and data type information records as a PLC returns them, and bounded accessors for them.
// The records arrive as raw bytes from the network: nothing here reads a byte beyond the record's entry
// length, and the validators check that the entry length itself lies inside the bytes received.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the record layouts below are read in place and assume a little-endian host"
#endif

// Data type ids of symbol and data type records.
#define FEX_TYPE_INT16 2u
#define FEX_TYPE_INT32 3u
#define FEX_TYPE_REAL32 4u
#define FEX_TYPE_REAL64 5u
#define FEX_TYPE_INT8 16u
#define FEX_TYPE_UINT8 17u
#define FEX_TYPE_UINT16 18u
#define FEX_TYPE_UINT32 19u
#define FEX_TYPE_INT64 20u
#define FEX_TYPE_UINT64 21u
#define FEX_TYPE_STRING 30u
#define FEX_TYPE_WSTRING 31u
#define FEX_TYPE_BIT 33u
#define FEX_TYPE_BIGTYPE 65u

// Flags of a symbol record (only the low 16 bits are examined).
#define FEX_SYMFLAG_TYPEGUID 0x0008u    // a 16-byte type GUID follows the comment
#define FEX_SYMFLAG_ATTRIBUTES 0x1000u  // an attribute block follows

// Flags of a data type record.
#define FEX_DTFLAG_BITVALUES 0x0020u   // size and offset are counted in bits
#define FEX_DTFLAG_PASSOVER 0x0040u    // member without element and without place in the image
#define FEX_DTFLAG_TYPEGUID 0x0080u    // 16-byte type GUID present
#define FEX_DTFLAG_COPYMASK 0x0200u    // copy mask of `size` bytes present
#define FEX_DTFLAG_METHODS 0x0800u     // method records present
#define FEX_DTFLAG_ATTRIBUTES 0x1000u  // attribute block present
#define FEX_DTFLAG_NOTALIAS 0x102C4Cu  // any of these keeps a record from being taken as an alias

// Records lie one after the other in type memory, so they may be unaligned: read their fields by value,
// never bind a reference to one or take its address.
#pragma pack(push, 1)
// Header of a symbol record; name, type name and comment (each NUL-terminated) follow.
struct FexSymbolEntry {
    uint32_t entryLength;    // size of the whole record in bytes
    uint32_t indexGroup;     // index group of the symbol's memory
    uint32_t indexOffset;    // index offset of the symbol's memory
    uint32_t size;           // size of the value in bytes
    uint32_t dataType;       // data type id
    uint32_t flags;          // FEX_SYMFLAG_*
    uint16_t nameLength;     // without the NUL
    uint16_t typeLength;     // without the NUL
    uint16_t commentLength;  // without the NUL
};

// One array dimension of a data type record.
struct FexDatatypeArrayInfo {
    int32_t lowerBound;
    uint32_t elements;
};

// Header of a data type record (42 bytes); name, type name, comment, array infos, sub-items and the
// optional sections follow.
struct FexDatatypeEntry {
    uint32_t entryLength;    // size of the whole record including sub-items and optional sections
    uint32_t reserved[3];    // not interpreted
    uint32_t size;           // bytes of a value (bits with FEX_DTFLAG_BITVALUES)
    uint32_t offset;         // member offset in its structure (bits with FEX_DTFLAG_BITVALUES)
    uint32_t dataType;       // data type id
    uint32_t flags;          // FEX_DTFLAG_*
    uint16_t nameLength;     // without the NUL
    uint16_t typeLength;     // base, element or member type name, without the NUL
    uint16_t commentLength;  // without the NUL
    uint16_t arrayDim;       // 0 = not an array
    uint16_t subItems;       // 0 = not a structure
};
#pragma pack(pop)

static_assert(sizeof(FexSymbolEntry) == 30, "symbol record header is 30 bytes");
static_assert(sizeof(FexDatatypeArrayInfo) == 8, "array info is 8 bytes");
static_assert(sizeof(FexDatatypeEntry) == 42, "data type record header is 42 bytes");

// Nesting of sub-items deeper than this makes a data type record invalid (guards the validator's stack).
constexpr unsigned kFexMaxTypeNesting = 64;

// True when p holds a well-formed symbol record within cbAvail bytes: header present, entry length between
// the header size and cbAvail, name, type name and comment with their NULs inside the entry length.
bool FexSymbolEntryValid(const void* p, size_t cbAvail);

// True when p holds a well-formed data type record within cbAvail bytes: header, strings with NULs, array
// infos and every sub-item (recursively, each inside its parent) lie inside the entry length.
bool FexDatatypeEntryValid(const void* p, size_t cbAvail);

// Name, type name and comment of a record that passed its validator; "" for a null record.
const char* FexSymbolName(const FexSymbolEntry* p);
const char* FexSymbolTypeName(const FexSymbolEntry* p);
const char* FexSymbolComment(const FexSymbolEntry* p);
// The same of a data type record, read once per structure element by the value walk.
inline const char* FexDatatypeName(const FexDatatypeEntry* p)
{
    return p ? reinterpret_cast<const char*>(p) + sizeof(FexDatatypeEntry) : "";
}
inline const char* FexDatatypeTypeName(const FexDatatypeEntry* p)
{
    return p ? FexDatatypeName(p) + p->nameLength + 1 : "";
}
inline const char* FexDatatypeComment(const FexDatatypeEntry* p)
{
    return p ? FexDatatypeTypeName(p) + p->typeLength + 1 : "";
}

// Array info of dimension i (0 = first) of a validated record; null when i >= arrayDim or for a null record.
// The result may be unaligned: read it through the packed struct only.
const FexDatatypeArrayInfo* FexDatatypeArrayDim(const FexDatatypeEntry* p, unsigned i);

// Sub-item i (0 = first) of a validated record; null when i >= subItems or the record is cut short.
const FexDatatypeEntry* FexDatatypeSubItem(const FexDatatypeEntry* p, unsigned i);

// Walks the sub-items of a validated record in declaration order, never past the record's entry length.
class CFexSubItems {
public:
    explicit CFexSubItems(const FexDatatypeEntry* p);
    // The next sub-item; null after the last one (by count or by the parent's length).
    const FexDatatypeEntry* Next();

private:
    const uint8_t* m_pPos;
    const uint8_t* m_pEnd;
    unsigned m_nLeft;
};

// True when the record's attribute block holds an attribute with exactly this name and value (both
// non-empty). False for a null record, without the attribute flag, or when the block is cut short.
bool FexSymbolHasAttribute(const FexSymbolEntry* p, const char* name, const char* value);
bool FexDatatypeHasAttribute(const FexDatatypeEntry* p, const char* name, const char* value);

// True when the symbol's strings are UTF-8 ("KxEncoding" = "UTF-8"); false for a null record.
bool IsUtf8(const FexSymbolEntry* p);
// True when a member's strings are UTF-8 ("KxEncoding" = "UTF-8"); false for a null record.
bool IsUtf8(const FexDatatypeEntry* p);
// True when the symbol is excluded ("KxXmlServer" = "exclude"); false for a null record.
bool Exclude(const FexSymbolEntry* p);
// True when the type or member is excluded ("KxXmlServer" = "exclude"); false for a null record.
bool Exclude(const FexDatatypeEntry* p);

// True when a value of this type name and id is converted as one XML text; false for a null name.
bool IsPrimitive(const char* name, uint32_t dataType);
// True when the type name begins with "POINTER", "REFERENCE" or "PVOID"; false for a null name.
bool IsPointer(const char* name);
