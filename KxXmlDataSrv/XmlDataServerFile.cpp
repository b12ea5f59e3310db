#include "XmlDataServerFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTracer.h"
#include "XmlDataServerSettings.h"

namespace {

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

bool XmlWriteFileAtomic(const std::string& sPath, const std::string& sData)
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
    bool ok = WriteAll(fd, sData.data(), sData.size()) && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(tmpl.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(tmpl.c_str());
    return ok;
}

bool XmlSaveDocument(const pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                     const std::string& sPassword)
{
    std::string text;
    XmlDocumentToString(doc, text);
    if (sUser.empty() && sPassword.empty())
        return XmlWriteFileAtomic(sPath, text);
    // Encrypted files arrive with the credentials support.
    return false;
}

HRESULT XmlLoadDocument(pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                        const std::string& sPassword)
{
    (void)sUser;
    (void)sPassword;
    const std::string path = XmlNormalizePath(sPath.c_str());
    pugi::xml_parse_result res = doc.load_file(path.c_str(), kXmlParseOptions);
    if (res)
        return S_OK;
    CFileTracer::WriteLine0("Failed to load xml file \"%s\" (%s)!", path.c_str(), res.description());
    doc.reset();
    return (HRESULT)0x98118002;
}
