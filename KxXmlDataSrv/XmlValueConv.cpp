#include "XmlValueConv.h"

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <new>
#include <string_view>
#include <type_traits>
#ifdef __FreeBSD__
#include <xlocale.h>
#endif

#include "FexSymbolInfo.h"
#include "KxXmlErrors.h"
#include "XmlDataServerSettings.h"

namespace {

constexpr HRESULT kOk = 0;

constexpr uint32_t kReplacementChar = 0xFFFD;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;

// Code points of the bytes 0x80-0x9F; 0 marks the five bytes the code page leaves unassigned.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::string_view TrimBlanks(std::string_view text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsValueBlank(text[first]))
        ++first;
    while (last > first && IsValueBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The same for a NUL-terminated text; value texts are short, a loop beats a call of strlen.
std::string_view TrimBlanks(const char* text)
{
    while (IsValueBlank(*text))
        ++text;
    const char* end = text;
    while (*end)
        ++end;
    while (end > text && IsValueBlank(end[-1]))
        --end;
    return std::string_view(text, static_cast<size_t>(end - text));
}

bool IsContinuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

bool IsHighSurrogate(uint32_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Well-formed UTF-8 only (no overlong forms, no surrogates, nothing above U+10FFFF).
// Returns the length of the sequence at s, or 0 when s does not start a valid one.
size_t DecodeUtf8Strict(const unsigned char* s, size_t left, uint32_t& codePoint)
{
    const unsigned char b0 = s[0];
    if (b0 < 0x80) {
        codePoint = b0;
        return 1;
    }
    size_t length;
    uint32_t cp;
    uint32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(s[i]))
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < minimum || cp > kMaxCodePoint || IsHighSurrogate(cp) || IsLowSurrogate(cp))
        return 0;
    codePoint = cp;
    return length;
}

// Invalid sequences become U+FFFD, one per offending byte, so the document stays well-formed.
std::string SanitizeUtf8(const char* bytes, size_t count)
{
    std::string out;
    out.reserve(count);
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < count) {
        uint32_t cp;
        const size_t n = DecodeUtf8Strict(s + i, count - i, cp);
        if (n == 0) {
            CodePoint2Utf8(kReplacementChar, out);
            ++i;
        } else {
            out.append(bytes + i, n);
            i += n;
        }
    }
    return out;
}

// Cutting a UTF-8 text at n must not leave the lead byte of a character without its tail.
size_t Utf8CutPoint(std::string_view text, size_t n)
{
    if (n >= text.size())
        return text.size();
    size_t lead = n;
    for (int back = 0; back < 3 && lead > 0 && IsContinuation(static_cast<unsigned char>(text[lead])); ++back)
        --lead;
    if (lead < n && static_cast<unsigned char>(text[lead]) >= 0xC0)
        return lead;
    return n;
}

void StoreUtf16(unsigned char* field, size_t size, std::string_view text)
{
    std::memset(field, 0, size);
    if (size < 2)
        return;
    const std::u16string units = Utf8ToUtf16(text.data(), text.size());
    size_t n = std::min(units.size(), size / 2 - 1);
    if (n > 0 && n < units.size() && IsHighSurrogate(units[n - 1]))
        --n;
    for (size_t i = 0; i < n; ++i) {
        field[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        field[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
}

void Store8Bit(char* field, size_t size, std::string_view text, bool utf8)
{
    std::memset(field, 0, size);
    // The last byte stays 0: a PLC string of size bytes holds at most size - 1 characters.
    if (!utf8) {
        Utf8ToWindows1252(text.data(), text.size(), field, size - 1);
        return;
    }
    const size_t n = Utf8CutPoint(text, std::min(text.size(), size - 1));
    std::memcpy(field, text.data(), n);
}

// The text a string field is read from, untrimmed. False when the element does not hold a text value (its
// first child is a comment, an element, ...).
bool StringSourceText(pugi::xml_node node, const char*& text)
{
    text = "";
    if (!node)
        return true;
    const pugi::xml_node_type type = node.type();
    if (type == pugi::node_pcdata || type == pugi::node_cdata) {
        text = node.value();
    } else {
        // Only an element that starts with its text (or has no child) holds a string: that text is the value.
        const pugi::xml_node first = node.first_child();
        const pugi::xml_node_type firstType = first.type();
        if (firstType != pugi::node_null && firstType != pugi::node_pcdata && firstType != pugi::node_cdata)
            return false;
        text = first.value();
    }
    return true;
}

// A source text as the string field takes it: trimmed when CXmlDataServerSettings::m_bTrimStrings says so.
std::string_view StringValue(const char* raw)
{
    const std::string_view text = raw;
    return CXmlDataServerSettings::m_bTrimStrings ? TrimBlanks(text) : text;
}

bool StringSourceText(pugi::xml_node node, std::string_view& text)
{
    const char* raw;
    if (!StringSourceText(node, raw))
        return false;
    text = StringValue(raw);
    return true;
}

// Store8Bit of an ASCII text, the usual one, straight from its 0-terminated bytes; false (the field partly
// written) when a byte beyond ASCII comes before the field is full.
bool StoreAscii(char* field, size_t size, const char* text)
{
    size_t i = 0;
    for (; i + 1 < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0)
            break;
        if (c >= 0x80)
            return false;
        field[i] = static_cast<char>(c);
    }
    std::memset(field + i, 0, size - i);
    return true;
}

bool StringSourceText(const pugi::xpath_node& position, std::string_view& text)
{
    if (pugi::xml_attribute attribute = position.attribute()) {
        text = attribute.value();
        return true;
    }
    return StringSourceText(position.node(), text);
}

// Number formatting and parsing must use '.' whatever locale the process runs with. The locale
// is switched for the calling thread only, so formatting on one worker never disturbs another.
class CThreadCLocale {
public:
    CThreadCLocale()
    {
        static const locale_t s_cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (s_cLocale != static_cast<locale_t>(0))
            m_previous = uselocale(s_cLocale);
    }
    ~CThreadCLocale()
    {
        if (m_previous != static_cast<locale_t>(0))
            uselocale(m_previous);
    }
    CThreadCLocale(const CThreadCLocale&) = delete;
    CThreadCLocale& operator=(const CThreadCLocale&) = delete;

private:
    locale_t m_previous = static_cast<locale_t>(0);
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The "%x" conversion: optional white space, sign and "0x" prefix, then hexadecimal digits;
// anything after the number is ignored. A magnitude wider than the target is refused rather
// than silently cut to its low bits.
bool ScanHex(const char* text, unsigned bits, uint64_t& pattern)
{
    const char* p = text;
    while (IsCSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0)
        p += 2;
    if (HexDigit(*p) < 0)
        return false;
    const uint64_t mask = bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    uint64_t magnitude = 0;
    for (int digit; (digit = HexDigit(*p)) >= 0; ++p) {
        if (magnitude > (mask >> 4))
            return false;
        magnitude = (magnitude << 4) | static_cast<uint64_t>(digit);
    }
    pattern = (negative ? (~magnitude + 1) : magnitude) & mask;
    return true;
}

// Decimal digits [p, end) as a magnitude of at most limit; false for anything else (no digit, a character
// that is no digit, or a larger magnitude).
bool DecimalMagnitude(const char* p, const char* end, uint64_t limit, uint64_t& magnitude)
{
    if (p == end)
        return false;
    uint64_t m = 0;
    for (; p < end; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (digit > 9 || m > (limit - digit) / 10)
            return false;
        m = m * 10 + digit;
    }
    magnitude = m;
    return true;
}

// Decimal texts are what strtoll/strtoull read to the text's end, in canonical form except for leading zeros
// and one leading '+' ("+0042" is 42; "-07", "-0" and "1 2" are refused); values outside T are refused rather
// than cut or saturated. "#x" hexadecimal texts are read by ScanHex. The empty text is 0.
template <typename T>
HRESULT ParseInteger(const char* raw, T& value)
{
    static_assert(std::is_integral_v<T>, "integers only");
    // Plain decimal texts, nearly all of them, in one pass: the blanks around, the number between.
    const char* q = raw;
    while (IsValueBlank(*q))
        ++q;
    if (*q != '#') {
        bool negative = false;
        if (*q == '-') {
            if constexpr (std::is_unsigned_v<T>)
                return kXmlErrNoValue;
            negative = true;
            if (*++q == '0')
                return kXmlErrNoValue;
        } else if (*q == '+') {
            ++q;
        } else if (*q == '\0') {
            value = 0;
            return kOk;
        }
        const uint64_t limit = uint64_t(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
        const uint64_t cutoff = limit / 10;
        const unsigned cutDigit = static_cast<unsigned>(limit % 10);
        const char* const digits = q;
        uint64_t m = 0;
        for (unsigned digit; (digit = static_cast<unsigned>(*q - '0')) <= 9; ++q) {
            if (m >= cutoff && (m > cutoff || digit > cutDigit))
                return kXmlErrNoValue;
            m = m * 10 + digit;
        }
        if (q == digits)
            return kXmlErrNoValue;
        while (IsValueBlank(*q))
            ++q;
        if (*q != '\0')
            return kXmlErrNoValue;
        value = static_cast<T>(negative ? 0 - m : m);
        return kOk;
    }
    const std::string_view text = TrimBlanks(raw);
    if (text.empty()) {
        value = 0;
        return kOk;
    }
    if (text.size() > 2 && text[0] == '#' && text[1] == 'x') {
        // Only blanks or the end of the text follow the view, and ScanHex stops at either.
        uint64_t pattern;
        if (!ScanHex(text.data() + 2, sizeof(T) * 8, pattern))
            return kXmlErrNoValue;
        value = static_cast<T>(pattern);
        return kOk;
    }
    const char* p = text.data();
    const char* const end = p + text.size();
    uint64_t magnitude = 0;
    if (*p == '-') {
        if constexpr (std::is_unsigned_v<T>) {
            return kXmlErrNoValue;
        } else {
            ++p;
            const uint64_t limit = uint64_t(std::numeric_limits<T>::max()) + 1;
            if (p == end || *p == '0' || !DecimalMagnitude(p, end, limit, magnitude))
                return kXmlErrNoValue;
            value = static_cast<T>(0 - magnitude);
            return kOk;
        }
    }
    if (*p == '+')
        ++p;
    if (!DecimalMagnitude(p, end, uint64_t(std::numeric_limits<T>::max()), magnitude))
        return kXmlErrNoValue;
    value = static_cast<T>(magnitude);
    return kOk;
}

// Short decimal texts, the ones this service writes: "[-]digits[.digits]" with at most 15 significant digits
// and at most 22 behind the point, not starting with "0x", ended by the text's 0 or by anything but a digit,
// '.', 'e' or 'E'. Its value is m / 10^k with m and 10^k both exact doubles, so one division rounds it as
// from_chars and strtod do. False for anything else, which takes the long way.
bool ParseShortDecimal(const char* p, double& value)
{
#if FLT_EVAL_METHOD == 0
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = *p == '-';
    if (negative)
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        return false;  // a hexadecimal float, not the 0 in front of it
    uint64_t m = 0;
    int significant = 0;
    int fraction = 0;
    bool digits = false;
    bool point = false;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            digits = true;
            if (point && ++fraction > 22)
                return false;
            if (m == 0 && c == '0')
                continue;  // a leading zero adds no significant digit
            if (++significant > 15)
                return false;
            m = m * 10 + static_cast<uint64_t>(c - '0');
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!digits || *p == 'e' || *p == 'E')
        return false;
    const double magnitude = static_cast<double>(m) / kPow10[fraction];
    value = negative ? -magnitude : magnitude;
    return true;
#else
    (void)p;
    (void)value;
    return false;
#endif
}

// The leading number of the text as strtod reads it in the C locale. Short decimals are read at once; other
// plain decimal texts by from_chars, which needs no locale and rounds the same way; the rest (a '+', hex
// floats, inf and nan, values out of range) goes through strtod on the text itself: it stops at the first
// blank, so the trailing blanks need not be cut off, and nothing is allocated that could fail.
double ParseDouble(const char* raw)
{
    // The short form stops at the first blank: only the leading ones are skipped for it.
    const char* first = raw;
    while (IsValueBlank(*first))
        ++first;
    double shortValue;
    if (ParseShortDecimal(first, shortValue))
        return shortValue;
#if defined(__cpp_lib_to_chars)
    const std::string_view text = TrimBlanks(first);
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* digits = p < end && *p == '-' ? p + 1 : p;
    const bool decimal = digits < end && ((*digits >= '0' && *digits <= '9') || *digits == '.') &&
                         !(digits + 1 < end && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'));
    double value = 0;
    if (decimal && std::from_chars(p, end, value).ec == std::errc())
        return value;
#endif
    CThreadCLocale cLocale;
    return std::strtod(first, nullptr);
}

// printf's "%.<precision>g" in the C locale into buffer (at least 32 bytes).
void FormatGeneral(double value, int precision, char* buffer, size_t size)
{
#if defined(__cpp_lib_to_chars)
    *std::to_chars(buffer, buffer + size - 1, value, std::chars_format::general, precision).ptr = '\0';
#else
    CThreadCLocale cLocale;
    std::snprintf(buffer, size, "%.*g", precision, value);
#endif
}

// The value of a text FormatGeneral wrote.
double ReadGeneral(const char* text)
{
#if defined(__cpp_lib_to_chars)
    double value = 0;
    if (std::from_chars(text, text + std::strlen(text), value).ec == std::errc())
        return value;
#endif
    CThreadCLocale cLocale;
    return std::strtod(text, nullptr);
}

}  // namespace

namespace {

template <class T>
void StoreLE(unsigned char* p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

template <typename T>
HRESULT TextToReal(const char* text, T& value)
{
    value = static_cast<T>(ParseDouble(text));
    return kOk;
}

// The value of text read as T by parse, stored at p as Stored; false when it does not read.
template <class Stored, class T>
bool ParseAndStore(HRESULT (*parse)(const char*, T&), const char* text, unsigned char* p)
{
    T v = 0;
    if (FAILED(parse(text, v)))
        return false;
    StoreLE(p, static_cast<Stored>(v));
    return true;
}

// The conversions of both kinds of position (pugi::xpath_node, pugi::xml_node); XMLGetText and
// XMLSetText tell them apart.
template <typename T, class Position>
HRESULT GetInteger(const Position& position, T& value)
{
    return ParseInteger(XMLGetText(position), value);
}

template <typename T, class Position>
HRESULT GetReal(const Position& position, T& value)
{
    return TextToReal(XMLGetText(position), value);
}

template <class Position>
HRESULT GetBoolean(const Position& position, bool& value)
{
    return XMLTextToBoolean(XMLGetText(position), value);
}

template <class Position>
HRESULT GetString8(const Position& position, char* field, size_t size, bool utf8)
{
    if (!field || size == 0)
        return kXmlErrFailed;
    std::string_view text;
    if constexpr (std::is_same_v<Position, pugi::xml_node>) {
        const char* raw;
        if (!StringSourceText(position, raw))
            return kXmlErrNoValue;
        if (!CXmlDataServerSettings::m_bTrimStrings && StoreAscii(field, size, raw))
            return kOk;
        text = StringValue(raw);
    } else if (!StringSourceText(position, text)) {
        return kXmlErrNoValue;
    }
    try {
        Store8Bit(field, size, text, utf8);
    } catch (const std::bad_alloc&) {
        std::memset(field, 0, size);
        return kXmlErrFailed;
    }
    return kOk;
}

template <class Position>
HRESULT GetString16(const Position& position, char16_t* field, size_t size)
{
    if (!field || size == 0)
        return kXmlErrFailed;
    std::string_view text;
    if (!StringSourceText(position, text))
        return kXmlErrNoValue;
    // The field may lie at any byte offset of a PLC image, so it is written byte by byte.
    auto* bytes = reinterpret_cast<unsigned char*>(field);
    try {
        StoreUtf16(bytes, size, text);
    } catch (const std::bad_alloc&) {
        std::memset(bytes, 0, size);
        return kXmlErrFailed;
    }
    return kOk;
}

// Decimal text of an integer.
template <typename T, class Position>
HRESULT SetInteger(const Position& position, T value)
{
    char buffer[24];
    *std::to_chars(buffer, buffer + sizeof buffer - 1, value).ptr = '\0';
    return XMLSetText(position, buffer);
}

template <class Position>
HRESULT SetFloat(const Position& position, float value)
{
    char buffer[64];
    FormatGeneral(static_cast<double>(value), 9, buffer, sizeof buffer);
    return XMLSetText(position, buffer);
}

template <class Position>
HRESULT SetDouble(const Position& position, double value)
{
    // Fifteen digits keep the usual texts short ("0.1"); a value they do not reproduce is written with
    // seventeen, so that a store followed by a restore never changes the PLC's value.
    char buffer[64];
    FormatGeneral(value, 15, buffer, sizeof buffer);
    if (std::isfinite(value) && ReadGeneral(buffer) != value)
        FormatGeneral(value, 17, buffer, sizeof buffer);
    return XMLSetText(position, buffer);
}

template <class Position>
HRESULT SetBoolean(const Position& position, bool value, bool numeric)
{
    if (numeric)
        return XMLSetText(position, value ? "1" : "0");
    return XMLSetText(position, value ? "true" : "false");
}

template <class Position>
HRESULT SetString8(const Position& position, const char* field, size_t size, bool utf8)
{
    if (!field)
        return kXmlErrFailed;
    const void* zero = std::memchr(field, 0, size);
    const size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - field) : size;
    try {
        const std::string text = utf8 ? SanitizeUtf8(field, length) : Windows1252ToUtf8(field, length);
        return XMLSetText(position, text.c_str());
    } catch (const std::bad_alloc&) {
        return kXmlErrFailed;
    }
}

template <class Position>
HRESULT SetString16(const Position& position, const char16_t* field, size_t size)
{
    if (!field)
        return kXmlErrFailed;
    const auto* bytes = reinterpret_cast<const unsigned char*>(field);
    try {
        std::u16string units;
        for (size_t i = 0; i + 1 < size; i += 2) {
            const char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
            if (unit == 0)
                break;
            units.push_back(unit);
        }
        const std::string text = Utf16ToUtf8(units.data(), units.size());
        return XMLSetText(position, text.c_str());
    } catch (const std::bad_alloc&) {
        return kXmlErrFailed;
    }
}

}  // namespace

const char* XMLGetText(const pugi::xpath_node& position)
{
    if (pugi::xml_attribute attribute = position.attribute())
        return attribute.value();
    return XMLGetText(position.node());
}

bool XMLTextToNumber(const char* text, uint32_t nConv, void* field)
{
    unsigned char* p = static_cast<unsigned char*>(field);
    switch (nConv) {
    case FEX_TYPE_INT8:
    case FEX_TYPE_INT16:
    case FEX_TYPE_INT32: {
        int32_t v = 0;
        if (FAILED(ParseInteger(text, v)))
            return false;
        if (nConv == FEX_TYPE_INT8)
            StoreLE(p, static_cast<int8_t>(v));
        else if (nConv == FEX_TYPE_INT16)
            StoreLE(p, static_cast<int16_t>(v));
        else
            StoreLE(p, v);
        return true;
    }
    case FEX_TYPE_UINT8:
    case FEX_TYPE_UINT16:
    case FEX_TYPE_UINT32: {
        uint32_t v = 0;
        if (FAILED(ParseInteger(text, v)))
            return false;
        if (nConv == FEX_TYPE_UINT8 && v < 0x100)
            StoreLE(p, static_cast<uint8_t>(v));
        else if (nConv == FEX_TYPE_UINT16 && v < 0x10000)
            StoreLE(p, static_cast<uint16_t>(v));
        else if (nConv == FEX_TYPE_UINT32)
            StoreLE(p, v);
        else
            return false;
        return true;
    }
    case FEX_TYPE_INT64:
        return ParseAndStore<int64_t>(ParseInteger<int64_t>, text, p);
    case FEX_TYPE_UINT64:
        return ParseAndStore<uint64_t>(ParseInteger<uint64_t>, text, p);
    case FEX_TYPE_REAL32:
        return ParseAndStore<float>(TextToReal<double>, text, p);
    case FEX_TYPE_REAL64:
        return ParseAndStore<double>(TextToReal<double>, text, p);
    default:
        return false;
    }
}

HRESULT XMLTextToBoolean(const char* raw, bool& value)
{
    const char* p = raw;
    while (IsValueBlank(*p))
        ++p;
    bool v;
    if (p[0] == '1' || p[0] == '0') {
        v = p[0] == '1';
        p += 1;
    } else if (p[0] == 't' && p[1] == 'r' && p[2] == 'u' && p[3] == 'e') {
        v = true;
        p += 4;
    } else if (p[0] == 'f' && p[1] == 'a' && p[2] == 'l' && p[3] == 's' && p[4] == 'e') {
        v = false;
        p += 5;
    } else {
        return kXmlErrNoValue;
    }
    while (IsValueBlank(*p))
        ++p;
    if (*p != '\0')
        return kXmlErrNoValue;
    value = v;
    return kOk;
}

HRESULT XMLSetText(const pugi::xpath_node& position, const char* text)
{
    if (!text)
        return kXmlErrFailed;
    if (pugi::xml_attribute attribute = position.attribute())
        return attribute.set_value(text) ? kOk : kXmlErrFailed;
    return XMLSetText(position.node(), text);
}

HRESULT XMLSetText(pugi::xml_node node, const char* text)
{
    // A null node has a null text, which takes nothing.
    if (!text)
        return kXmlErrFailed;
    return node.text().set(text) ? kOk : kXmlErrFailed;
}

HRESULT XMLGetLong(const pugi::xpath_node& position, int32_t& value) { return GetInteger(position, value); }
HRESULT XMLGetLong(pugi::xml_node node, int32_t& value) { return GetInteger(node, value); }
HRESULT XMLGetLongLong(const pugi::xpath_node& position, int64_t& value) { return GetInteger(position, value); }
HRESULT XMLGetLongLong(pugi::xml_node node, int64_t& value) { return GetInteger(node, value); }
HRESULT XMLGetULong(const pugi::xpath_node& position, uint32_t& value) { return GetInteger(position, value); }
HRESULT XMLGetULong(pugi::xml_node node, uint32_t& value) { return GetInteger(node, value); }
HRESULT XMLGetULongLong(const pugi::xpath_node& position, uint64_t& value) { return GetInteger(position, value); }
HRESULT XMLGetULongLong(pugi::xml_node node, uint64_t& value) { return GetInteger(node, value); }
HRESULT XMLGetFloat(const pugi::xpath_node& position, float& value) { return GetReal(position, value); }
HRESULT XMLGetFloat(pugi::xml_node node, float& value) { return GetReal(node, value); }
HRESULT XMLGetDouble(const pugi::xpath_node& position, double& value) { return GetReal(position, value); }
HRESULT XMLGetDouble(pugi::xml_node node, double& value) { return GetReal(node, value); }
HRESULT XMLGetBoolean(const pugi::xpath_node& position, bool& value) { return GetBoolean(position, value); }
HRESULT XMLGetBoolean(pugi::xml_node node, bool& value) { return GetBoolean(node, value); }

HRESULT XMLGetStringImpl(const pugi::xpath_node& position, char* field, size_t size, bool utf8)
{
    return GetString8(position, field, size, utf8);
}

HRESULT XMLGetStringImpl(pugi::xml_node node, char* field, size_t size, bool utf8)
{
    return GetString8(node, field, size, utf8);
}

HRESULT XMLGetStringImpl(const pugi::xpath_node& position, char16_t* field, size_t size)
{
    return GetString16(position, field, size);
}

HRESULT XMLGetStringImpl(pugi::xml_node node, char16_t* field, size_t size)
{
    return GetString16(node, field, size);
}

HRESULT XMLSetLong(const pugi::xpath_node& position, int32_t value) { return SetInteger(position, value); }
HRESULT XMLSetLong(pugi::xml_node node, int32_t value) { return SetInteger(node, value); }
HRESULT XMLSetLongLong(const pugi::xpath_node& position, int64_t value) { return SetInteger(position, value); }
HRESULT XMLSetLongLong(pugi::xml_node node, int64_t value) { return SetInteger(node, value); }
HRESULT XMLSetULong(const pugi::xpath_node& position, uint32_t value) { return SetInteger(position, value); }
HRESULT XMLSetULong(pugi::xml_node node, uint32_t value) { return SetInteger(node, value); }
HRESULT XMLSetULongLong(const pugi::xpath_node& position, uint64_t value) { return SetInteger(position, value); }
HRESULT XMLSetULongLong(pugi::xml_node node, uint64_t value) { return SetInteger(node, value); }
HRESULT XMLSetFloat(const pugi::xpath_node& position, float value) { return SetFloat(position, value); }
HRESULT XMLSetFloat(pugi::xml_node node, float value) { return SetFloat(node, value); }
HRESULT XMLSetDouble(const pugi::xpath_node& position, double value) { return SetDouble(position, value); }
HRESULT XMLSetDouble(pugi::xml_node node, double value) { return SetDouble(node, value); }

HRESULT XMLSetBoolean(const pugi::xpath_node& position, bool value, bool numeric)
{
    return SetBoolean(position, value, numeric);
}

HRESULT XMLSetBoolean(pugi::xml_node node, bool value, bool numeric)
{
    return SetBoolean(node, value, numeric);
}

HRESULT XMLSetString(const pugi::xpath_node& position, const char* field, size_t size, bool utf8)
{
    return SetString8(position, field, size, utf8);
}

HRESULT XMLSetString(pugi::xml_node node, const char* field, size_t size, bool utf8)
{
    return SetString8(node, field, size, utf8);
}

HRESULT XMLSetString(const pugi::xpath_node& position, const char16_t* field, size_t size)
{
    return SetString16(position, field, size);
}

HRESULT XMLSetString(pugi::xml_node node, const char16_t* field, size_t size)
{
    return SetString16(node, field, size);
}

void convert(char* field, size_t size, const char* text, bool utf8)
{
    if (!field || size == 0)
        return;
    try {
        Store8Bit(field, size, text ? text : "", utf8);
    } catch (const std::bad_alloc&) {
        std::memset(field, 0, size);
    }
}

void convert(char16_t* field, size_t size, const char* text)
{
    if (!field || size == 0)
        return;
    auto* bytes = reinterpret_cast<unsigned char*>(field);
    try {
        StoreUtf16(bytes, size, text ? text : "");
    } catch (const std::bad_alloc&) {
        std::memset(bytes, 0, size);
    }
}

std::string Windows1252ToUtf8(const char* bytes, size_t count)
{
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        uint32_t cp = b;
        if (b >= 0x80 && b <= 0x9F)
            cp = kWindows1252High[b - 0x80] != 0 ? kWindows1252High[b - 0x80] : kReplacementChar;
        CodePoint2Utf8(cp, out);
    }
    return out;
}

void CodePoint2Utf8(uint32_t codePoint, std::string& out)
{
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint <= 0xFFFF) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint <= kMaxCodePoint) {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string Utf8ToWindows1252(const char* text, size_t length)
{
    // Every character takes at least one byte of the text and gives at most one byte.
    std::string out(length, '\0');
    out.resize(Utf8ToWindows1252(text, length, &out[0], length));
    return out;
}

size_t Utf8ToWindows1252(const char* text, size_t length, char* out, size_t capacity)
{
    size_t written = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length && written < capacity) {
        // Runs of ASCII, the usual text, are copied as they are.
        const size_t run = std::min(length - i, capacity - written);
        size_t ascii = 0;
        for (; ascii < run && s[i + ascii] < 0x80; ++ascii)
            out[written + ascii] = static_cast<char>(s[i + ascii]);
        i += ascii;
        written += ascii;
        if (ascii == run)
            continue;
        const unsigned char b0 = s[i];
        const size_t left = length - i;
        uint32_t cp = 0;
        size_t n = 0;
        // Lenient on purpose: overlong forms decode to their value, and the code page filter
        // below drops whatever it cannot represent.
        if (b0 >= 0xC0 && b0 <= 0xDF && left >= 2 && IsContinuation(s[i + 1])) {
            cp = (uint32_t(b0 & 0x1F) << 6) | (s[i + 1] & 0x3F);
            n = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF && left >= 3 && IsContinuation(s[i + 1]) &&
                   IsContinuation(s[i + 2])) {
            cp = (uint32_t(b0 & 0x0F) << 12) | (uint32_t(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            n = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF7 && left >= 4 && IsContinuation(s[i + 1]) &&
                   IsContinuation(s[i + 2]) && IsContinuation(s[i + 3])) {
            cp = (uint32_t(b0 & 0x07) << 18) | (uint32_t(s[i + 1] & 0x3F) << 12) |
                 (uint32_t(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            n = 4;
        }
        if (n == 0) {
            ++i;
            continue;
        }
        unsigned char byte;
        if (CodePoint2Windows1252(cp, byte))
            out[written++] = static_cast<char>(byte);
        i += n;
    }
    return written;
}

bool CodePoint2Windows1252(uint32_t codePoint, unsigned char& byte)
{
    if (codePoint <= 0xFF) {
        byte = static_cast<unsigned char>(codePoint);
        return true;
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kWindows1252High[i] != 0 && kWindows1252High[i] == codePoint) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

std::u16string Utf8ToUtf16(const char* text, size_t length)
{
    std::u16string out;
    out.reserve(length);
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        uint32_t cp;
        const size_t n = DecodeUtf8Strict(s + i, length - i, cp);
        if (n == 0) {
            ++i;
            continue;
        }
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* units, size_t count)
{
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = units[i];
        if (IsHighSurrogate(u)) {
            if (i + 1 < count && IsLowSurrogate(units[i + 1])) {
                CodePoint2Utf8(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u), out);
                ++i;
            }
            continue;
        }
        if (IsLowSurrogate(u))
            continue;
        CodePoint2Utf8(u, out);
    }
    return out;
}
