// libFuzzer target: arbitrary bytes taken for a data file, checked both ways against the parser reading them as
// a fragment (text outside elements kept as nodes, comments, instructions and document types too). What the
// plain-text check accepts and the parser loads is one root element with nothing but markup beside it; and an
// 8-bit text the parser loads that way, without a forbidden character, is accepted when a declaration is read
// as the instruction the check takes it for (the parser reads its attributes as a start tag's, so that a quote
// or "/>" in it moves its end). Loading the bytes the short way gives what checking them first gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include <pugixml.hpp>

#include "XmlDataServerFile.h"
#include "XmlPlainText.h"

namespace {

bool Forbidden(const char* s)
{
    for (; *s; ++s)
        if (static_cast<unsigned char>(*s) < 0x20 && *s != '\t' && *s != '\n' && *s != '\r')
            return true;
    return false;
}

// True when some name or value below node holds a character XML forbids.
bool HoldsForbidden(const pugi::xml_node& node)
{
    if (Forbidden(node.name()) || Forbidden(node.value()))
        return true;
    for (const pugi::xml_attribute& a : node.attributes())
        if (Forbidden(a.name()) || Forbidden(a.value()))
            return true;
    for (const pugi::xml_node& child : node.children())
        if (HoldsForbidden(child))
            return true;
    return false;
}

// The document as text, empty for none.
std::string Saved(const pugi::xml_document& doc)
{
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out.str();
}

// Loads the bytes both ways with the options given; aborts when status or document differ.
void SameBothWays(const uint8_t* data, size_t size, unsigned options)
{
    pugi::xml_document checked, fast;
    const pugi::xml_parse_result a = XmlLoadPlainBuffer(checked, data, size, options, false);
    const pugi::xml_parse_result b = XmlLoadPlainBuffer(fast, data, size, options, true);
    if (a.status != b.status || a.offset != b.offset || (a && a.encoding != b.encoding) ||
        Saved(checked) != Saved(fast))
        std::abort();
}

// One root element with only markup beside it, a document type before it.
bool OneRoot(const pugi::xml_document& doc)
{
    size_t elements = 0;
    bool markupOnly = true;
    for (const pugi::xml_node& n : doc.children()) {
        switch (n.type()) {
        case pugi::node_element: ++elements; break;
        case pugi::node_declaration:
        case pugi::node_comment:
        case pugi::node_pi: break;
        case pugi::node_doctype: markupOnly = markupOnly && elements == 0; break;
        default: markupOnly = false;
        }
    }
    return elements == 1 && markupOnly;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SameBothWays(data, size, kXmlParseOptions);
    SameBothWays(data, size, kXmlParseOptions | pugi::parse_comments | pugi::parse_pi | pugi::parse_ws_pcdata);

    const bool plain = XmlCheckPlainText(data, size);
    pugi::xml_document doc;
    // Without escapes, so that a reference such as "&#1;" stays the reference it is in the text.
    const unsigned options = (kXmlParseOptions & ~pugi::parse_escapes) | pugi::parse_fragment | pugi::parse_comments |
                             pugi::parse_pi | pugi::parse_doctype;
    const pugi::xml_parse_result parsed = doc.load_buffer(data, size, options);
    if (!parsed)
        return 0;
    if (plain && !OneRoot(doc))
        std::abort();
    // The parser stops at a NUL; wide encodings are left to the tests.
    const bool eightBit = parsed.encoding == pugi::encoding_utf8 || parsed.encoding == pugi::encoding_latin1;
    if (plain || !eightBit || std::memchr(data, 0, size) || HoldsForbidden(doc))
        return 0;
    const pugi::xml_parse_result asInstruction = doc.load_buffer(data, size, options & ~pugi::parse_declaration);
    if (asInstruction && OneRoot(doc))
        std::abort();
    return 0;
}
