#include "XmlDataServerFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTracer.h"
#include "KxCrypto.h"
#include "XmlDataServerSettings.h"

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

bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Save flags of a document: the global indent, never empty element tags, and no declaration unless the
// document has one before its element.
unsigned SaveFlags(const pugi::xml_document& doc)
{
    unsigned flags = pugi::format_no_empty_element_tags;
    flags |= CXmlDataServerSettings::m_sIndent.empty() ? pugi::format_raw : pugi::format_indent;
    if (!HasDeclarationBeforeElement(doc))
        flags |= pugi::format_no_declaration;
    return flags;
}

// Passes the saved text on to a file through one buffer, so that a save holds the document and a buffer,
// never the whole text; remembers the first failure.
class CFileWriter : public pugi::xml_writer {
public:
    explicit CFileWriter(int fd) : m_fd(fd), m_buffer(new (std::nothrow) char[kBufferSize]), m_ok(m_buffer != nullptr)
    {
    }
    ~CFileWriter() override { delete[] m_buffer; }
    CFileWriter(const CFileWriter&) = delete;
    CFileWriter& operator=(const CFileWriter&) = delete;

    void write(const void* data, size_t size) override
    {
        const char* p = static_cast<const char*>(data);
        while (m_ok && size > 0) {
            const size_t n = std::min(size, kBufferSize - m_used);
            std::memcpy(m_buffer + m_used, p, n);
            m_used += n;
            p += n;
            size -= n;
            if (m_used == kBufferSize)
                Flush();
        }
    }
    // Writes what is buffered; false when any write failed.
    bool Flush()
    {
        if (m_ok && m_used > 0)
            m_ok = WriteAll(m_fd, m_buffer, m_used);
        m_used = 0;
        return m_ok;
    }

private:
    static constexpr size_t kBufferSize = 64 * 1024;
    int m_fd;
    char* m_buffer;
    size_t m_used = 0;
    bool m_ok;
};

// Writes the document in the save format to the file.
bool WriteDocument(int fd, const pugi::xml_document& doc)
{
    CFileWriter w(fd);
    doc.save(w, CXmlDataServerSettings::m_sIndent.c_str(), SaveFlags(doc), pugi::encoding_utf8);
    return w.Flush();
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
    StringWriter w;
    w.out = &sOut;
    doc.save(w, CXmlDataServerSettings::m_sIndent.c_str(), SaveFlags(doc), pugi::encoding_utf8);
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
    return XmlWriteFileAtomic(sPath, [&sData](int fd) { return WriteAll(fd, sData.data(), sData.size()); });
}

bool XmlWriteFileAtomic(const std::string& sPath, const std::function<bool(int fd)>& fill)
{
    const std::string path = XmlNormalizePath(sPath.c_str());
    if (path.empty())
        return false;
    std::string tmpl = path + ".tmpXXXXXX";
    int fd = mkstemp(&tmpl[0]);
    if (fd < 0)
        return false;
    // Keep the permissions of the file being replaced; a new file gets the usual ones.
    struct stat st;
    mode_t mode = 0644;
    if (stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    (void)fchmod(fd, mode);
    bool ok = fill(fd) && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(tmpl.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        unlink(tmpl.c_str());
        return false;
    }
    // The rename itself lives in the folder: flush it too, so a power loss cannot bring the old file back.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        (void)fsync(dfd);
        close(dfd);
    }
    return true;
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
    const std::string key = sUser + sPassword;
    if (key.empty())
        return XmlWriteFileAtomic(sPath, [&doc](int fd) { return WriteDocument(fd, doc); });
    std::string text;
    XmlDocumentToString(doc, text);
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
    pugi::xml_parse_result res = doc.load_file(path.c_str(), kXmlParseOptions);
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
