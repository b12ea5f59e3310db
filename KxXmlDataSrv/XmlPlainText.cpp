#include "XmlPlainText.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sixteen bytes at a time (the compiler's vector extension: SSE2 or NEON, plain words elsewhere). A comparison
// gives 0xFF in every byte where it holds.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef int8_t Mask16 __attribute__((vector_size(16)));

inline Bytes16 Load16(const uint8_t* p)
{
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Index of the first byte of m that is set; 16 when none is.
inline size_t FirstSet(Mask16 m)
{
    uint64_t w[2];
    std::memcpy(w, &m, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w[0] = __builtin_bswap64(w[0]);
    w[1] = __builtin_bswap64(w[1]);
#endif
    if (w[0])
        return static_cast<size_t>(__builtin_ctzll(w[0])) / 8;
    if (w[1])
        return 8 + static_cast<size_t>(__builtin_ctzll(w[1])) / 8;
    return 16;
}

// The first of the n bytes at p that is a, b, c or d (repeat one to look for fewer); n when there is none.
inline size_t FindByte(const uint8_t* p, size_t n, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const Bytes16 x = Load16(p + i);
        const size_t k = FirstSet((x == a) | (x == b) | (x == c) | (x == d));
        if (k < 16)
            return i + k;
    }
    for (; i < n; ++i)
        if (p[i] == a || p[i] == b || p[i] == c || p[i] == d)
            return i;
    return n;
}

// The text as code units of one width; only their values below 0x80 matter to the check, so bytes of 8-bit
// encodings and of UTF-8 (valid or not) are units themselves.
template <size_t Width, bool BigEndian>
class Units {
public:
    Units(const uint8_t* p, size_t cb) : m_p(p), m_n(cb / Width) {}
    size_t size() const { return m_n; }
    uint32_t operator[](size_t i) const
    {
        const uint8_t* u = m_p + i * Width;
        uint32_t v = 0;
        for (size_t k = 0; k < Width; ++k)
            v |= uint32_t(u[BigEndian ? k : Width - 1 - k]) << (8 * (Width - 1 - k));
        return v;
    }
    // The first unit at or after i that is a, b, c or d; size() when there is none.
    size_t FindAny(size_t i, uint32_t a, uint32_t b, uint32_t c, uint32_t d) const
    {
        if (Width == 1)
            return i >= m_n ? m_n
                            : i + FindByte(m_p + i, m_n - i, static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                                           static_cast<uint8_t>(c), static_cast<uint8_t>(d));
        for (; i < m_n; ++i) {
            const uint32_t u = (*this)[i];
            if (u == a || u == b || u == c || u == d)
                break;
        }
        return i;
    }
    // The first unit c at or after i; size() when there is none.
    size_t Find(uint32_t c, size_t i) const { return FindAny(i, c, c, c, c); }
    // The first forbidden unit (IsForbidden); size() when there is none.
    size_t FirstForbidden() const;

private:
    const uint8_t* m_p;
    size_t m_n;
};

bool IsSpace(uint32_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsForbidden(uint32_t c)
{
    return c < 0x20 && !IsSpace(c);
}

template <size_t Width, bool BigEndian>
size_t Units<Width, BigEndian>::FirstForbidden() const
{
    size_t i = 0;
    if (Width == 1) {
        // Blocks of 64 bytes without a branch per byte. Bytes below 0x20 are rare (a document written without
        // indentation has none): a block is looked at closer only when it holds one.
        for (; i + 64 <= m_n; i += 64) {
            Mask16 low = {};
            for (size_t k = 0; k < 64; k += 16)
                low |= (Load16(m_p + i + k) & 0xE0) == 0;
            if (FirstSet(low) == 16)
                continue;
            Mask16 bad = {};
            for (size_t k = 0; k < 64; k += 16) {
                const Bytes16 x = Load16(m_p + i + k);
                bad |= ((x & 0xE0) == 0) & (x != '\t') & (x != '\n') & (x != '\r');
            }
            if (FirstSet(bad) < 16)
                break;
        }
    }
    while (i < m_n && !IsForbidden((*this)[i]))
        ++i;
    return i;
}

// A name start as the parser takes it: ASCII letters, '_', ':' and every character beyond ASCII.
bool IsNameStart(uint32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

template <class U>
class PlainScan {
public:
    explicit PlainScan(const U& u) : m_u(u), m_n(u.size()) {}

    // The status of the whole text; m_i is where it stopped. With bPrologOnly the scan ends with status_ok at
    // the start of the root element, and refuses a document type or a declaration that is not plain.
    pugi::xml_parse_status Run(bool bPrologOnly = false)
    {
        m_i = m_u.FirstForbidden();
        if (m_i < m_n)
            return pugi::status_bad_pcdata;
        m_i = m_n > 0 && m_u[0] == 0xFEFF ? 1 : 0;
        bool bRoot = false;
        for (;;) {
            while (m_i < m_n && IsSpace(m_u[m_i]))
                ++m_i;
            if (m_i == m_n)
                return bRoot ? pugi::status_ok : pugi::status_no_document_element;
            if (m_u[m_i] != '<')
                return pugi::status_no_document_element;
            pugi::xml_parse_status s;
            if (Starts("<?") || Starts("<!--")) {
                if (bPrologOnly && !PlainDeclaration())
                    return pugi::status_bad_pi;
                s = SkipMarkup();
            } else if (!bRoot && Starts("<!DOCTYPE")) {
                if (bPrologOnly)
                    return pugi::status_bad_doctype;
                s = SkipDoctype();
            } else if (!bRoot && IsNameStart(At(m_i + 1))) {
                if (bPrologOnly)
                    return pugi::status_ok;
                s = SkipElement();
                bRoot = true;
            } else {
                return pugi::status_no_document_element;
            }
            if (s != pugi::status_ok)
                return s;
        }
    }
    size_t Stop() const { return m_i; }

private:
    uint32_t At(size_t i) const { return i < m_n ? m_u[i] : 0; }

    bool Starts(const char* s) const
    {
        for (size_t k = 0; s[k]; ++k)
            if (At(m_i + k) != static_cast<unsigned char>(s[k]))
                return false;
        return true;
    }

    // From m_i, moves past the next occurrence of s; false (at the end) when there is none.
    bool SkipPast(const char* s)
    {
        for (; (m_i = m_u.Find(static_cast<unsigned char>(s[0]), m_i)) < m_n; ++m_i)
            if (Starts(s)) {
                while (*s++)
                    ++m_i;
                return true;
            }
        return false;
    }

    // False for an instruction at m_i named "xml" in any case whose end the parser may see elsewhere: it reads
    // a declaration's attributes as those of a start tag, up to the first "?>" taken for "/>". So no '/', '>'
    // or '<' outside quoted values before that "?>", and no value open there.
    bool PlainDeclaration() const
    {
        if (!Starts("<?") || (At(m_i + 2) | 0x20) != 'x' || (At(m_i + 3) | 0x20) != 'm' || (At(m_i + 4) | 0x20) != 'l')
            return true;
        uint32_t quote = 0;
        for (size_t i = m_i + 2; i + 1 < m_n; ++i) {
            const uint32_t c = m_u[i];
            if (c == '?' && m_u[i + 1] == '>')
                return quote == 0;
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '/' || c == '>' || c == '<') {
                return false;
            }
        }
        return false;
    }

    // A comment, CDATA section or processing instruction (the declaration too) at m_i.
    pugi::xml_parse_status SkipMarkup()
    {
        if (Starts("<!--")) {
            m_i += 4;
            return SkipPast("-->") ? pugi::status_ok : pugi::status_bad_comment;
        }
        if (Starts("<![CDATA[")) {
            m_i += 9;
            return SkipPast("]]>") ? pugi::status_ok : pugi::status_bad_cdata;
        }
        m_i += 2;
        return SkipPast("?>") ? pugi::status_ok : pugi::status_bad_pi;
    }

    // A document type at m_i, read as the parser reads it: "<!" groups nest up to their '>', quoted strings,
    // comments and instructions are passed over whole, "<![" sections up to their "]]>".
    pugi::xml_parse_status SkipDoctype()
    {
        size_t depth = 0;
        for (m_i += 2; m_i < m_n;) {
            const uint32_t c = m_u[m_i];
            if (c == '<' && At(m_i + 1) == '!' && At(m_i + 2) != '-') {
                if (At(m_i + 2) == '[') {
                    if (!SkipIgnoreSection())
                        break;
                } else {
                    m_i += 2;
                    ++depth;
                }
            } else if (c == '"' || c == '\'') {
                m_i = m_u.Find(c, m_i + 1);
                if (m_i++ == m_n)
                    break;
            } else if (Starts("<?") || Starts("<!--")) {
                if (SkipMarkup() != pugi::status_ok)
                    break;
            } else if (c == '<') {
                break;
            } else {
                ++m_i;
                if (c == '>' && depth-- == 0)
                    return pugi::status_ok;
            }
        }
        return pugi::status_bad_doctype;
    }

    // A "<![" section of a document type at m_i, nested ones included, up to its "]]>".
    bool SkipIgnoreSection()
    {
        size_t depth = 0;
        for (m_i += 3; m_i < m_n;) {
            if (Starts("<![")) {
                m_i += 3;
                ++depth;
            } else if (Starts("]]>")) {
                m_i += 3;
                if (depth-- == 0)
                    return true;
            } else {
                ++m_i;
            }
        }
        return false;
    }

    // A start tag at m_i, up to its '>' (quoted values may hold '>' and '/'); bEmpty for "/>".
    bool SkipStartTag(bool& bEmpty)
    {
        size_t i = m_i + 1;
        while ((i = m_u.FindAny(i, '"', '\'', '>', '<')) < m_n) {
            const uint32_t c = m_u[i];
            if (c == '>') {
                bEmpty = m_u[i - 1] == '/';
                m_i = i + 1;
                return true;
            }
            if (c == '<')
                break;
            i = m_u.Find(c, i + 1);
            if (i == m_n)
                break;
            ++i;
        }
        m_i = i;
        return false;
    }

    // The root element at m_i with everything in it, up to the end of its end tag.
    pugi::xml_parse_status SkipElement()
    {
        size_t depth = 0;
        for (;;) {
            const uint32_t c = At(m_i + 1);
            if (c == '/') {
                m_i = m_u.Find('>', m_i + 2);
                if (m_i++ == m_n)
                    return pugi::status_bad_end_element;
                if (--depth == 0)
                    return pugi::status_ok;
            } else if (IsNameStart(c)) {
                bool bEmpty = false;
                if (!SkipStartTag(bEmpty))
                    return pugi::status_bad_start_element;
                if (!bEmpty)
                    ++depth;
                else if (depth == 0)
                    return pugi::status_ok;
            } else if (c == '?' || Starts("<!--") || Starts("<![CDATA[")) {
                const pugi::xml_parse_status s = SkipMarkup();
                if (s != pugi::status_ok)
                    return s;
            } else {
                return pugi::status_unrecognized_tag;
            }
            m_i = m_u.Find('<', m_i);
            if (m_i == m_n)
                return pugi::status_end_element_mismatch;
        }
    }

    const U& m_u;
    const size_t m_n;
    size_t m_i = 0;
};

template <size_t Width, bool BigEndian>
pugi::xml_parse_result Check(const uint8_t* p, size_t cb, size_t skip)
{
    Units<Width, BigEndian> units(p + skip, cb - skip);
    PlainScan<Units<Width, BigEndian>> scan(units);
    pugi::xml_parse_result res;
    res.status = scan.Run();
    res.offset = static_cast<ptrdiff_t>(skip + scan.Stop() * Width);
    return res;
}

// The width of the text's code units as the parser guesses its encoding: a byte order mark, else the first
// characters "<" or "<?" in a wide encoding; 1 for bytes. bBigEndian for wide units.
size_t UnitWidth(const uint8_t* p, size_t cb, bool& bBigEndian)
{
    bBigEndian = false;
    if (cb >= 4) {
        const uint8_t d0 = p[0], d1 = p[1], d2 = p[2], d3 = p[3];
        if ((d0 == 0 && d1 == 0 && d2 == 0xFE && d3 == 0xFF) || (d0 == 0 && d1 == 0 && d2 == 0 && d3 == 0x3C)) {
            bBigEndian = true;
            return 4;
        }
        if ((d0 == 0xFF && d1 == 0xFE && d2 == 0 && d3 == 0) || (d0 == 0x3C && d1 == 0 && d2 == 0 && d3 == 0))
            return 4;
        if ((d0 == 0xFE && d1 == 0xFF) || (d0 == 0 && d1 == 0x3C)) {
            bBigEndian = true;
            return 2;
        }
        if ((d0 == 0xFF && d1 == 0xFE) || (d0 == 0x3C && d1 == 0))
            return 2;
    }
    return 1;
}

size_t Utf8BomSize(const uint8_t* p, size_t cb)
{
    return cb >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}

// True when the bytes may take the short way: 8-bit, no forbidden byte, no document type anywhere (the parser
// would pass one over where the check refuses it, or keep it as a node a save writes back), and before the
// root only markup that the parser and the check delimit alike.
bool FastCandidate(const uint8_t* p, size_t cb)
{
    bool bBigEndian;
    if (UnitWidth(p, cb, bBigEndian) != 1)
        return false;
    // Forbidden bytes first: cipher text nearly always holds one.
    const size_t skip = Utf8BomSize(p, cb);
    Units<1, false> units(p + skip, cb - skip);
    PlainScan<Units<1, false>> scan(units);
    if (scan.Run(true) != pugi::status_ok)
        return false;
    for (const void* q = p; (q = std::memchr(q, '!', cb - (static_cast<const uint8_t*>(q) - p))) != nullptr;) {
        const size_t i = static_cast<const uint8_t*>(q) - p;
        if (i > 0 && p[i - 1] == '<' && cb - i >= 8 && std::memcmp(p + i + 1, "DOCTYPE", 7) == 0)
            return false;
        q = p + i + 1;
    }
    return true;
}

// True when the top level of a document parsed as a fragment is what a plain text has: one element, beside it
// only declarations, comments and instructions, and no declaration behind the element (its end is not checked).
bool OneRoot(const pugi::xml_document& doc)
{
    size_t elements = 0;
    for (const pugi::xml_node& n : doc.children()) {
        switch (n.type()) {
        case pugi::node_element: ++elements; break;
        case pugi::node_declaration:
            if (elements > 0)
                return false;
            break;
        case pugi::node_comment:
        case pugi::node_pi: break;
        default: return false;
        }
    }
    return elements == 1;
}

// Reads the cb bytes of a text into the given buffer of cb + 2 bytes; false with the status when it cannot.
typedef bool (*ReadFn)(void* ctx, char* data, size_t cb, pugi::xml_parse_status& status);

// The cb bytes of a text, read by read into a buffer of cb + 2 bytes from the parser's allocator (so that the
// document takes the bytes over instead of copying them; one byte more for the short way); null with the status
// when it cannot be had.
char* ReadText(size_t cb, ReadFn read, void* ctx, pugi::xml_parse_status& status)
{
    char* data = static_cast<char*>(pugi::get_memory_allocation_function()(cb + 2));
    if (!data) {
        status = pugi::status_out_of_memory;
        return nullptr;
    }
    status = pugi::status_ok;
    if (!read(ctx, data, cb, status)) {
        pugi::get_memory_deallocation_function()(data);
        return nullptr;
    }
    return data;
}

// Loads a text of cb bytes, read by read, as a plain document. The short way parses a FastCandidate at once and
// accepts a single element with only markup beside it: with text and CDATA sections at the top level kept as
// nodes, the top level then shows all the check would refuse, and the parser delimits elements, comments and
// instructions as the check does. The tree is the one a parse without parse_fragment gives, as that option
// only keeps top-level text. Whatever else, a failure too, is read again (the parse changed the bytes) and
// checked before it is parsed.
pugi::xml_parse_result LoadText(pugi::xml_document& doc, size_t cb, unsigned options, bool bTryFast, bool* pbFast,
                                ReadFn read, void* ctx)
{
    doc.reset();
    if (pbFast)
        *pbFast = false;
    pugi::xml_parse_result res;
    char* data = ReadText(cb, read, ctx, res.status);
    if (!data)
        return res;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    if (bTryFast && (options & pugi::parse_cdata) && FastCandidate(p, cb)) {
        // A space behind the text: the parser takes the last byte for its terminator, and text there would
        // leave no node.
        data[cb] = ' ';
        res = doc.load_buffer_inplace_own(data, cb + 1, options | pugi::parse_fragment, pugi::encoding_auto);
        if (res && (res.encoding == pugi::encoding_utf8 || res.encoding == pugi::encoding_latin1) && OneRoot(doc)) {
            if (pbFast)
                *pbFast = true;
            return res;
        }
        doc.reset();
        data = ReadText(cb, read, ctx, res.status);
        if (!data)
            return res;
    }
    // Checked first, as the parser works on the bytes in place; its own failure is the one reported.
    const pugi::xml_parse_result plain = XmlCheckPlainText(data, cb);
    res = doc.load_buffer_inplace_own(data, cb, options, pugi::encoding_auto);
    if (res && !plain) {
        doc.reset();
        return plain;
    }
    return res;
}

struct Memory {
    const void* p;
};

bool ReadMemory(void* ctx, char* data, size_t cb, pugi::xml_parse_status&)
{
    if (cb > 0)
        std::memcpy(data, static_cast<Memory*>(ctx)->p, cb);
    return true;
}

struct OpenFile {
    FILE* f;
    bool bRead;
};

// The first time through the stream, again from the start of the file after that.
bool ReadFile(void* ctx, char* data, size_t cb, pugi::xml_parse_status& status)
{
    OpenFile& file = *static_cast<OpenFile*>(ctx);
    if (!file.bRead) {
        file.bRead = true;
        if (std::fread(data, 1, cb, file.f) == cb)
            return true;
        status = pugi::status_io_error;
        return false;
    }
    const int fd = fileno(file.f);
    for (size_t done = 0; done < cb;) {
        const ssize_t n = pread(fd, data + done, cb - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            status = pugi::status_io_error;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

pugi::xml_parse_result XmlCheckPlainText(const void* pData, size_t cbSize)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    if (!p)
        cbSize = 0;
    bool bBigEndian;
    switch (UnitWidth(p, cbSize, bBigEndian)) {
    case 4: return bBigEndian ? Check<4, true>(p, cbSize, 0) : Check<4, false>(p, cbSize, 0);
    case 2: return bBigEndian ? Check<2, true>(p, cbSize, 0) : Check<2, false>(p, cbSize, 0);
    default: return Check<1, false>(p, cbSize, Utf8BomSize(p, cbSize));
    }
}

pugi::xml_parse_result XmlLoadPlainBuffer(pugi::xml_document& doc, const void* pData, size_t cbSize, unsigned options,
                                          bool bTryFast, bool* pbFast)
{
    Memory memory = {pData};
    return LoadText(doc, pData ? cbSize : 0, options, bTryFast, pbFast, ReadMemory, &memory);
}

pugi::xml_parse_result XmlLoadPlainFile(pugi::xml_document& doc, const char* sPath, unsigned options)
{
    doc.reset();
    pugi::xml_parse_result res;
    FILE* f = sPath ? std::fopen(sPath, "rb") : nullptr;
    if (!f) {
        res.status = pugi::status_file_not_found;
        return res;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || st.st_size < 0) {
        std::fclose(f);
        res.status = pugi::status_io_error;
        return res;
    }
    OpenFile file = {f, false};
    res = LoadText(doc, static_cast<size_t>(st.st_size), options, true, nullptr, ReadFile, &file);
    std::fclose(f);
    return res;
}
