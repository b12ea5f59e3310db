#pragma once

// Text forms of single PLC values inside XML documents, and the character set
// conversions of PLC strings (Windows-1252 or UTF-8 bytes, UTF-16 units) to and
// from the UTF-8 of the document.
//
// A position is a pugixml node/attribute pair: with the attribute set, the
// attribute's value is the text; otherwise the node's text (a PCDATA/CDATA node's
// own value, else the value of the element's first PCDATA/CDATA child).
//
// Results: 0 success, 0x98118003 the text is not convertible (the output is left
// unchanged), 0x98118000 bad arguments or a text that could not be stored.

#include <cstddef>
#include <cstdint>
#include <string>

#include <pugixml.hpp>

#include "platform/FreeBSD/KxWinTypes.h"

// The blanks that may surround a value text and are removed from it: space, TAB, LF and CR.
inline bool IsValueBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
// White space as the C library's number conversions skip it ("%d", "%x", strtol): the blanks, VT and FF.
inline bool IsCSpace(char c)
{
    return IsValueBlank(c) || c == '\v' || c == '\f';
}

// The text of a position; "" for an empty position or a node without text.
const char* XMLGetText(const pugi::xpath_node& position);
// Stores text as the attribute's value or the element's text; 0, or 0x98118000 when not stored.
HRESULT XMLSetText(const pugi::xpath_node& position, const char* text);

// Decimal ("-12", "+0042", surrounded by blanks) or "#x" hexadecimal text to a 32-bit integer;
// the empty text is 0; overflow or other text gives 0x98118003.
HRESULT XMLGetLong(const pugi::xpath_node& position, int32_t& value);
// As XMLGetLong for a signed 64-bit integer.
HRESULT XMLGetLongLong(const pugi::xpath_node& position, int64_t& value);
// As XMLGetLong for an unsigned 32-bit integer; a text beginning with "-" gives 0x98118003.
HRESULT XMLGetULong(const pugi::xpath_node& position, uint32_t& value);
// As XMLGetULong for an unsigned 64-bit integer.
HRESULT XMLGetULongLong(const pugi::xpath_node& position, uint64_t& value);
// Leading number of the text ('.' as decimal point) narrowed to float; never fails, no number gives 0.
HRESULT XMLGetFloat(const pugi::xpath_node& position, float& value);
// Leading number of the text ('.' as decimal point); never fails, no number gives 0.
HRESULT XMLGetDouble(const pugi::xpath_node& position, double& value);
// "true"/"1" give true, "false"/"0" false (blanks around allowed); anything else 0x98118003.
HRESULT XMLGetBoolean(const pugi::xpath_node& position, bool& value);

// Reads the text into an 8-bit string field of size bytes (Windows-1252, or UTF-8 bytes when
// utf8 is set). The field is zero-filled first and always keeps a terminating 0, so at most
// size - 1 bytes of text are stored. Element texts are trimmed when
// CXmlDataServerSettings::m_bTrimStrings is set. An element whose first child is not text gives
// 0x98118003 with the field unchanged; no field or size 0 gives 0x98118000.
HRESULT XMLGetStringImpl(const pugi::xpath_node& position, char* field, size_t size, bool utf8);
// As above for a 16-bit string field of size bytes holding little-endian UTF-16 units
// (at most size / 2 - 1 units of text, never half a surrogate pair).
HRESULT XMLGetStringImpl(const pugi::xpath_node& position, char16_t* field, size_t size);

// Decimal text of the value; 0x98118000 for an empty position or a text not stored.
HRESULT XMLSetLong(const pugi::xpath_node& position, int32_t value);
// Decimal text of the value; 0x98118000 for an empty position or a text not stored.
HRESULT XMLSetLongLong(const pugi::xpath_node& position, int64_t value);
// Decimal text of the value; 0x98118000 for an empty position or a text not stored.
HRESULT XMLSetULong(const pugi::xpath_node& position, uint32_t value);
// Decimal text of the value; 0x98118000 for an empty position or a text not stored.
HRESULT XMLSetULongLong(const pugi::xpath_node& position, uint64_t value);
// "%.9g" text of the value, always with '.' as decimal point; 0x98118000 when not stored.
HRESULT XMLSetFloat(const pugi::xpath_node& position, float value);
// "%.15g" text of the value, always with '.' as decimal point; 0x98118000 when not stored.
HRESULT XMLSetDouble(const pugi::xpath_node& position, double value);
// "true"/"false", or "1"/"0" when numeric is set; 0x98118000 when not stored.
HRESULT XMLSetBoolean(const pugi::xpath_node& position, bool value, bool numeric);
// Text of an 8-bit string field of size bytes up to its first 0 (Windows-1252 converted to
// UTF-8, or UTF-8 bytes with invalid sequences replaced by U+FFFD when utf8 is set);
// 0x98118000 for no field, an empty position or a text not stored.
HRESULT XMLSetString(const pugi::xpath_node& position, const char* field, size_t size, bool utf8);
// Text of a 16-bit string field of size bytes (little-endian UTF-16 up to the first 0 unit;
// unpaired surrogates are dropped); 0x98118000 for no field, an empty position or not stored.
HRESULT XMLSetString(const pugi::xpath_node& position, const char16_t* field, size_t size);

// The same functions for a node taken as a position without attribute (an element, as the value walk finds
// them): the results of the functions above for pugi::xpath_node(node), without building one.
inline const char* XMLGetText(pugi::xml_node node)
{
    // The walk passes elements: their first text child is found in one call.
    return node.type() == pugi::node_element ? node.child_value() : node.text().get();
}
HRESULT XMLSetText(pugi::xml_node node, const char* text);
HRESULT XMLGetLong(pugi::xml_node node, int32_t& value);
HRESULT XMLGetLongLong(pugi::xml_node node, int64_t& value);
HRESULT XMLGetULong(pugi::xml_node node, uint32_t& value);
HRESULT XMLGetULongLong(pugi::xml_node node, uint64_t& value);
HRESULT XMLGetFloat(pugi::xml_node node, float& value);
HRESULT XMLGetDouble(pugi::xml_node node, double& value);
HRESULT XMLGetBoolean(pugi::xml_node node, bool& value);
HRESULT XMLGetStringImpl(pugi::xml_node node, char* field, size_t size, bool utf8);
HRESULT XMLGetStringImpl(pugi::xml_node node, char16_t* field, size_t size);
HRESULT XMLSetLong(pugi::xml_node node, int32_t value);
HRESULT XMLSetLongLong(pugi::xml_node node, int64_t value);
HRESULT XMLSetULong(pugi::xml_node node, uint32_t value);
HRESULT XMLSetULongLong(pugi::xml_node node, uint64_t value);
HRESULT XMLSetFloat(pugi::xml_node node, float value);
HRESULT XMLSetDouble(pugi::xml_node node, double value);
HRESULT XMLSetBoolean(pugi::xml_node node, bool value, bool numeric);
HRESULT XMLSetString(pugi::xml_node node, const char* field, size_t size, bool utf8);
HRESULT XMLSetString(pugi::xml_node node, const char16_t* field, size_t size);

// The conversions of XMLGetLong ... XMLGetDouble from the text of a position (XMLGetText), for a caller that
// has it: the value stored at field as the little-endian bytes of the data type id nConv (integers of 1, 2, 4
// or 8 bytes, REAL32, REAL64). False when the text does not convert (as XMLGetDouble, also without memory for
// reading a long one), the value does not fit the type or nConv is no number id; the field is then unchanged.
bool XMLTextToNumber(const char* text, uint32_t nConv, void* field);
// XMLGetBoolean of the text of a position.
HRESULT XMLTextToBoolean(const char* text, bool& value);

// Copies (utf8 set) or converts to Windows-1252 a UTF-8 text into a zero-filled 8-bit field of
// size bytes, keeping a terminating 0; does nothing for no field or size 0.
void convert(char* field, size_t size, const char* text, bool utf8);
// Converts a UTF-8 text into a zero-filled field of size bytes of little-endian UTF-16 units,
// keeping a terminating 0 unit; invalid UTF-8 bytes are skipped.
void convert(char16_t* field, size_t size, const char* text);

// Windows-1252 bytes (count of them, 0 bytes included) to UTF-8; unassigned bytes give U+FFFD.
std::string Windows1252ToUtf8(const char* bytes, size_t count);
// Appends the UTF-8 form of a code point to out; code points above U+10FFFF append nothing.
void CodePoint2Utf8(uint32_t codePoint, std::string& out);
// UTF-8 text (decoded leniently, undecodable bytes skipped) to Windows-1252; characters that
// the code page lacks are dropped.
std::string Utf8ToWindows1252(const char* text, size_t length);
// The same into out, stopping when capacity bytes are written; returns the bytes written.
size_t Utf8ToWindows1252(const char* text, size_t length, char* out, size_t capacity);
// Windows-1252 byte of a code point; false (byte unchanged) when the code page lacks it.
bool CodePoint2Windows1252(uint32_t codePoint, unsigned char& byte);
// UTF-8 text to UTF-16 units; surrogate pairs above U+FFFF, invalid UTF-8 bytes skipped.
std::u16string Utf8ToUtf16(const char* text, size_t length);
// UTF-16 units to UTF-8; a high surrogate followed by a low one is one character, an unpaired
// surrogate is dropped.
std::string Utf16ToUtf8(const char16_t* units, size_t count);
