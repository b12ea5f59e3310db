// Encrypted data files whose cipher text the XML parser alone would take for a document: exactly one '<', and
// it opens an empty element tag such as "<\xd2/>". About one small file in a hundred thousand is like that, so
// the tests search for credentials under which a text's cipher text is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include <pugixml.hpp>

#include "KxCrypto.h"
#include "XmlDataServerFile.h"

namespace crypttest {

// text followed by line feeds up to whole 16-byte blocks, so its encrypted form has no masked tail.
inline std::string PadToBlocks(std::string text)
{
    while ((16 + text.size()) % 16 != 0)
        text += '\n';
    return text;
}

// True when bytes hold exactly one '<', it opens an empty element tag, and the parser takes the bytes for a
// document made of that element.
inline bool LooksLikeOneEmptyTag(const std::string& bytes)
{
    const size_t lt = bytes.find('<');
    if (lt == std::string::npos || std::count(bytes.begin(), bytes.end(), '<') != 1 ||
        bytes.find("/>", lt) == std::string::npos)
        return false;
    pugi::xml_document doc;
    return doc.load_buffer(bytes.data(), bytes.size(), kXmlParseOptions) && doc.document_element() &&
           !doc.document_element().first_child() && !doc.document_element().next_sibling();
}

// A password of the form prefix + number under which text (whole blocks, see PadToBlocks) encrypts to bytes that
// LooksLikeOneEmptyTag. The blocks are encrypted one by one, so only a new key changes all of them: the search
// runs over the password, from the number `from` on (where an earlier search found one, to keep it short; it
// goes on from there should the file format change). password is empty when none is found within count numbers.
struct Disguised {
    std::string password, bytes;
};
inline Disguised FindDisguised(const std::string& user, const std::string& prefix, const std::string& text,
                               long long from, long long count = 3000000)
{
    Disguised d;
    for (long long n = from; n < from + count; ++n) {
        const std::string password = prefix + std::to_string(n);
        const std::string key = user + password;
        uint8_t digest[16];
        MD5(key.data(), key.size(), digest);
        const CKxAes128 aes(digest);
        d.bytes.assign(reinterpret_cast<const char*>(digest), 16);
        d.bytes += text;
        for (size_t off = 0; off + 16 <= d.bytes.size(); off += 16) {
            uint8_t* block = reinterpret_cast<uint8_t*>(&d.bytes[off]);
            aes.Encrypt(block, block);
        }
        if (LooksLikeOneEmptyTag(d.bytes)) {
            d.password = password;
            return d;
        }
    }
    return Disguised();
}

} // namespace crypttest
