#include "XmlDataServerFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "FileTracer.h"
#include "KxCrypto.h"
#include "KxXmlErrors.h"
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
            m_ok = os_write_all(m_fd, m_buffer, m_used) == 0;
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

// The encrypted form of what is written, passed on as it goes: every whole 16-byte block is encrypted on its
// own; the bytes behind the last whole block are masked by Finish.
class CEncryptingWriter : public pugi::xml_writer {
public:
    CEncryptingWriter(const uint8_t key[16], pugi::xml_writer& out) : m_aes(key), m_out(out) {}

    void write(const void* data, size_t size) override
    {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        while (size > 0) {
            const size_t n = std::min(size, sizeof m_block - m_used);
            std::memcpy(m_block + m_used, p, n);
            m_used += n;
            p += n;
            size -= n;
            if (m_used == sizeof m_block) {
                m_aes.Encrypt(m_block, m_block);
                m_out.write(m_block, sizeof m_block);
                m_used = 0;
            }
        }
    }
    void Finish()
    {
        for (size_t i = 0; i < m_used; ++i)
            m_block[i] ^= kXmlTailMask;
        m_out.write(m_block, m_used);
        m_used = 0;
    }

private:
    CKxAes128 m_aes;
    pugi::xml_writer& m_out;
    uint8_t m_block[16];
    size_t m_used = 0;
};

// Writes the encrypted form of the key digest followed by what text writes.
bool WriteEncrypted(int fd, const uint8_t key[16], const std::function<void(pugi::xml_writer&)>& text)
{
    CFileWriter file(fd);
    CEncryptingWriter w(key, file);
    w.write(key, 16);
    text(w);
    w.Finish();
    return file.Flush();
}

// An encrypted file read as a stream: the stored key digest from its first block, then the text behind it
// decrypted block by block into the caller's buffer, so that nothing but that buffer holds the file.
class CEncryptedFile {
public:
    explicit CEncryptedFile(const uint8_t key[16]) : m_aes(key) {}
    ~CEncryptedFile()
    {
        if (m_file)
            std::fclose(m_file);
    }
    CEncryptedFile(const CEncryptedFile&) = delete;
    CEncryptedFile& operator=(const CEncryptedFile&) = delete;

    // Opens the file (path normalised) and reads the stored digest into digest, which keeps its bytes when the
    // file holds 16 bytes or fewer (all of them are text then). False when it cannot be opened or read.
    bool Open(const std::string& sPath, uint8_t digest[16])
    {
        m_file = std::fopen(XmlNormalizePath(sPath.c_str()).c_str(), "rb");
        struct stat st;
        if (!m_file || fstat(fileno(m_file), &st) != 0 || st.st_size < 0)
            return false;
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size <= 16) {
            m_textSize = static_cast<size_t>(size);
            return true;
        }
        m_textSize = static_cast<size_t>(size - 16);
        m_offset = 16;
        uint8_t block[16];
        if (std::fread(block, 1, 16, m_file) != 16)
            return false;
        m_aes.Decrypt(block, digest);
        return true;
    }
    // Bytes of text behind the digest.
    size_t TextSize() const { return m_textSize; }
    // Reads the text into out (TextSize() bytes): whole blocks decrypted, the tail unmasked. False when the file
    // does not hold them.
    bool ReadText(char* out)
    {
        uint8_t* p = reinterpret_cast<uint8_t*>(out);
        if (std::fread(p, 1, m_textSize, m_file) != m_textSize)
            return false;
        // Blocks count from the file's first byte, the digest's block included.
        const size_t whole = (m_offset + m_textSize) / 16 * 16 - m_offset;
        for (size_t off = 0; off < whole; off += 16)
            m_aes.Decrypt(p + off, p + off);
        for (size_t i = whole; i < m_textSize; ++i)
            p[i] ^= kXmlTailMask;
        return true;
    }

private:
    CKxAes128 m_aes;
    std::FILE* m_file = nullptr;
    size_t m_textSize = 0;
    size_t m_offset = 0;  // file bytes before the text
};

// Loads an encrypted file into doc, its text decrypted straight into the buffer the parser keeps.
HRESULT LoadEncryptedDocument(pugi::xml_document& doc, const std::string& path, const uint8_t key[16])
{
    CEncryptedFile file(key);
    uint8_t stored[16] = {};
    if (!file.Open(path, stored)) {
        CFileTracer::WriteLine0("Failed to open file \"%s\"!", path.c_str());
        return kXmlErrNotOpen;
    }
    if (std::memcmp(stored, key, 16) != 0) {
        CFileTracer::WriteLine0("Failed to open file \"%s\". Wrong Credentials!", path.c_str());
        return kXmlErrCredentials;
    }
    const size_t size = file.TextSize();
    char* text = static_cast<char*>(pugi::get_memory_allocation_function()(size ? size : 1));
    if (!text)
        return kXmlErrNoMemory;
    if (!file.ReadText(text)) {
        pugi::get_memory_deallocation_function()(text);
        CFileTracer::WriteLine0("Failed to open file \"%s\"!", path.c_str());
        return kXmlErrNotOpen;
    }
    // The document owns the text from here on, parsed where it is.
    const pugi::xml_parse_result res = doc.load_buffer_inplace_own(text, size, kXmlParseOptions, pugi::encoding_utf8);
    if (!res) {
        CFileTracer::WriteLine0("Failed to load xml file \"%s\" (%s)!", path.c_str(), res.description());
        doc.reset();
        return kXmlErrNoNode;
    }
    return S_OK;
}

} // namespace

std::string XmlNormalizePath(const char* sPath)
{
    return KxNormalizePath(sPath);
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
    return OsUserWriteFileAtomic(sPath.c_str(), sData.data(), sData.size()) != FALSE;
}

bool XmlWriteFileAtomic(const std::string& sPath, const std::function<bool(int fd)>& fill)
{
    auto call = [](int fd, PVOID pContext) -> BOOL {
        return (*static_cast<const std::function<bool(int)>*>(pContext))(fd) ? TRUE : FALSE;
    };
    return OsUserWriteFileAtomicWith(sPath.c_str(), call, const_cast<std::function<bool(int)>*>(&fill)) != FALSE;
}

bool AesEncryptString(const uint8_t key[16], const std::string& sText, const std::string& sPath)
{
    return XmlWriteFileAtomic(sPath, [&](int fd) {
        return WriteEncrypted(fd, key, [&sText](pugi::xml_writer& w) { w.write(sText.data(), sText.size()); });
    });
}

bool AesDecryptString(const uint8_t key[16], const std::string& sPath, std::string& sText, uint8_t digest[16])
{
    CEncryptedFile file(key);
    if (!file.Open(sPath, digest))
        return false;
    sText.assign(file.TextSize(), '\0');
    return file.ReadText(&sText[0]);
}

bool XmlSaveDocument(const pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                     const std::string& sPassword)
{
    const std::string key = sUser + sPassword;
    if (key.empty())
        return XmlWriteFileAtomic(sPath, [&doc](int fd) { return WriteDocument(fd, doc); });
    uint8_t digest[16];
    MD5(key.data(), key.size(), digest);
    const auto save = [&doc](pugi::xml_writer& w) {
        doc.save(w, CXmlDataServerSettings::m_sIndent.c_str(), SaveFlags(doc), pugi::encoding_utf8);
    };
    if (!XmlWriteFileAtomic(sPath, [&](int fd) { return WriteEncrypted(fd, digest, save); })) {
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
        return kXmlErrNoNode;
    }
    switch (res.status) {
    case pugi::status_file_not_found:
        doc.reset();
        return kXmlErrNotOpen;
    case pugi::status_io_error:
    case pugi::status_internal_error:
        doc.reset();
        return kXmlErrFailed;
    case pugi::status_out_of_memory:
        doc.reset();
        return kXmlErrNoMemory;
    default:
        break;
    }
    doc.reset();
    CFileTracer::WriteLine2("Failed to load xml file \"%s\" (%s). File content might be obfuscated. Trying again...",
                            path.c_str(), res.status > 16 ? "Unknown error" : res.description());
    uint8_t digest[16];
    MD5(key.data(), key.size(), digest);
    return LoadEncryptedDocument(doc, path, digest);
}
