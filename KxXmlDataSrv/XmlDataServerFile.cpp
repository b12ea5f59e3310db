#include "XmlDataServerFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTracer.h"
#include "KxCrypto.h"
#include "OsUserFile.h"
#include "XmlDataServerSettings.h"
#include "XmlPlainText.h"

namespace {

// Mask of the bytes behind the last whole block of an encrypted file.
const uint8_t kXmlTailMask = 0xA5;

struct StringWriter : pugi::xml_writer {
    std::string* out;
    void write(const void* data, size_t size) override { out->append(static_cast<const char*>(data), size); }
};

bool HasDeclarationBeforeElement(const pugi::xml_document& doc)
{
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
        if (n.type() == pugi::node_declaration)
            return true;
        if (n.type() == pugi::node_element)
            return false;
    }
    return false;
}

} // namespace

std::string XmlNormalizePath(const char* sPath)
{
    std::string out;
    if (!sPath)
        return out;
    for (const char* p = sPath; *p; ++p) {
        char c = *p == '\\' ? '/' : *p;
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out.push_back(c);
    }
    return out;
}

void XmlDocumentToString(const pugi::xml_document& doc, std::string& sOut)
{
    sOut.clear();
    const std::string& indent = CXmlDataServerSettings::m_sIndent;
    unsigned flags = pugi::format_no_empty_element_tags;
    flags |= indent.empty() ? pugi::format_raw : pugi::format_indent;
    if (!HasDeclarationBeforeElement(doc))
        flags |= pugi::format_no_declaration;
    StringWriter w;
    w.out = &sOut;
    doc.save(w, indent.c_str(), flags, pugi::encoding_utf8);
}

bool XmlReadFile(const std::string& sPath, std::string& sOut)
{
    const std::string path = XmlNormalizePath(sPath.c_str());
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    sOut.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        sOut.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool XmlWriteFileAtomic(const std::string& sPath, const std::string& sData)
{
    return OsUserWriteFileAtomic(sPath.c_str(), sData.data(), sData.size()) != FALSE;
}

bool AesEncryptString(const uint8_t key[16], const std::string& sText, const std::string& sPath)
{
    // P = key digest followed by the text; whole blocks encrypted one by one, the tail only masked.
    std::string out;
    out.reserve(16 + sText.size());
    out.append(reinterpret_cast<const char*>(key), 16);
    out.append(sText);
    CKxAes128 aes(key);
    const size_t whole = out.size() / 16 * 16;
    for (size_t off = 0; off < whole; off += 16) {
        uint8_t* block = reinterpret_cast<uint8_t*>(&out[off]);
        aes.Encrypt(block, block);
    }
    for (size_t i = whole; i < out.size(); ++i)
        out[i] = static_cast<char>(out[i] ^ kXmlTailMask);
    return XmlWriteFileAtomic(sPath, out);
}

bool AesDecryptString(const uint8_t key[16], const std::string& sPath, std::string& sText, uint8_t digest[16])
{
    std::string data;
    if (!XmlReadFile(sPath, data))
        return false;
    CKxAes128 aes(key);
    const size_t whole = data.size() / 16 * 16;
    for (size_t off = 0; off < whole; off += 16) {
        uint8_t* block = reinterpret_cast<uint8_t*>(&data[off]);
        aes.Decrypt(block, block);
    }
    for (size_t i = whole; i < data.size(); ++i)
        data[i] = static_cast<char>(data[i] ^ kXmlTailMask);
    if (data.size() > 16) {
        std::memcpy(digest, data.data(), 16);
        sText.assign(data, 16, std::string::npos);
    } else {
        sText = data;
    }
    return true;
}

bool XmlSaveDocument(const pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                     const std::string& sPassword)
{
    std::string text;
    XmlDocumentToString(doc, text);
    const std::string key = sUser + sPassword;
    if (key.empty())
        return XmlWriteFileAtomic(sPath, text);
    uint8_t digest[16];
    MD5(key.data(), key.size(), digest);
    if (!AesEncryptString(digest, text, sPath)) {
        CFileTracer::WriteLine0("Failed to open file \"%s\"!", sPath.c_str());
        return false;
    }
    return true;
}

HRESULT XmlLoadDocument(pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                        const std::string& sPassword)
{
    const std::string path = XmlNormalizePath(sPath.c_str());
    const std::string key = sUser + sPassword;
    // Only a text a writer could have produced counts as plain: cipher text can look like a lenient document.
    pugi::xml_parse_result res = XmlLoadPlainFile(doc, path.c_str(), kXmlParseOptions);
    if (res)
        return S_OK;
    if (key.empty()) {
        CFileTracer::WriteLine0("Failed to load xml file \"%s\" (%s)!", path.c_str(), res.description());
        doc.reset();
        return (HRESULT)0x98118002;
    }
    switch (res.status) {
    case pugi::status_file_not_found:
        doc.reset();
        return (HRESULT)0x98118001;
    case pugi::status_io_error:
    case pugi::status_internal_error:
        doc.reset();
        return (HRESULT)0x98118000;
    case pugi::status_out_of_memory:
        doc.reset();
        return (HRESULT)0x98118004;
    default:
        break;
    }
    doc.reset();
    CFileTracer::WriteLine2("Failed to load xml file \"%s\" (%s). File content might be obfuscated. Trying again...",
                            path.c_str(), res.status > 16 ? "Unknown error" : res.description());
    uint8_t digest[16];
    MD5(key.data(), key.size(), digest);
    uint8_t stored[16];
    std::memset(stored, 0, sizeof(stored));
    std::string text;
    if (!AesDecryptString(digest, path, text, stored)) {
        CFileTracer::WriteLine0("Failed to open file \"%s\"!", path.c_str());
        return (HRESULT)0x98118001;
    }
    if (std::memcmp(stored, digest, 16) != 0) {
        CFileTracer::WriteLine0("Failed to open file \"%s\". Wrong Credentials!", path.c_str());
        return (HRESULT)0x9811800A;
    }
    res = doc.load_buffer(text.data(), text.size(), kXmlParseOptions, pugi::encoding_utf8);
    if (!res) {
        CFileTracer::WriteLine0("Failed to load xml file \"%s\" (%s)!", path.c_str(), res.description());
        doc.reset();
        return (HRESULT)0x98118002;
    }
    return S_OK;
}
