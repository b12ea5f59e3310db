#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "DisguisedCipher.h"
#include "FileTracer.h"
#include "KxCrypto.h"
#include "TestTemp.h"
#include "XmlDataServerFile.h"
#include "XmlPlainText.h"

namespace {

std::string Hex(const uint8_t* p, size_t n)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string Unhex(const std::string& h)
{
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

using TempDir = TestTemp;

// ASCII text as UTF-16 or UTF-32 code units of the given byte order, behind a byte order mark when asked.
std::string Wide(const std::string& ascii, size_t width, bool bigEndian, bool bom)
{
    std::string out;
    auto put = [&](uint32_t c) {
        for (size_t k = 0; k < width; ++k)
            out += static_cast<char>(c >> (8 * (bigEndian ? width - 1 - k : k)));
    };
    if (bom)
        put(0xFEFF);
    for (char c : ascii)
        put(static_cast<unsigned char>(c));
    return out;
}

TEST(Aes128, Fips197Vectors)
{
    struct Row {
        const char* key;
        const char* plain;
        const char* cipher;
    } rows[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const Row& r : rows) {
        const std::string key = Unhex(r.key), plain = Unhex(r.plain);
        CKxAes128 aes(reinterpret_cast<const uint8_t*>(key.data()));
        uint8_t out[16], back[16];
        aes.Encrypt(reinterpret_cast<const uint8_t*>(plain.data()), out);
        EXPECT_EQ(r.cipher, Hex(out, 16));
        aes.Decrypt(out, back);
        EXPECT_EQ(r.plain, Hex(back, 16));
    }
}

TEST(Md5, Rfc1321Suite)
{
    struct Row {
        const char* text;
        const char* digest;
    } rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Row& r : rows) {
        uint8_t d[16];
        MD5(r.text, std::strlen(r.text), d);
        EXPECT_EQ(r.digest, Hex(d, 16)) << r.text;
    }
}

// The encrypted file checked by an independent decryption (the openssl command) for several text lengths.
TEST(EncryptedFile, LayoutAgreesWithAnIndependentDecryption)
{
    if (std::system("openssl version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl command not available";
    TempDir dir;
    uint8_t key[16];
    MD5("userpassword", 12, key);
    for (size_t t : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        std::string text;
        for (size_t i = 0; i < t; ++i)
            text += static_cast<char>('A' + i % 26);
        const std::string path = dir / ("f" + std::to_string(t));
        ASSERT_TRUE(AesEncryptString(key, text, path));
        const std::string file = ReadFile(path);
        ASSERT_EQ(16 + t, file.size()) << t;

        const size_t whole = file.size() / 16 * 16;
        {
            std::ofstream blocks(path + ".blocks", std::ios::binary);
            blocks.write(file.data(), static_cast<std::streamsize>(whole));
        }
        const std::string cmd = "openssl enc -d -aes-128-ecb -nopad -K " + Hex(key, 16) + " -in '" + path +
                                ".blocks' -out '" + path + ".plain'";
        ASSERT_EQ(0, std::system(cmd.c_str())) << cmd;
        const std::string plain = std::string(reinterpret_cast<const char*>(key), 16) + text;
        EXPECT_EQ(plain.substr(0, whole), ReadFile(path + ".plain")) << t;

        // The tail is the plaintext under one fixed mask byte.
        if (file.size() > whole) {
            const uint8_t mask = static_cast<uint8_t>(file[whole] ^ plain[whole]);
            for (size_t i = whole; i < file.size(); ++i)
                EXPECT_EQ(mask, static_cast<uint8_t>(file[i] ^ plain[i])) << t << " byte " << i;
        }

        std::string back;
        uint8_t stored[16] = {0};
        ASSERT_TRUE(AesDecryptString(key, path, back, stored));
        if (t > 0) {
            EXPECT_EQ(text, back);
            EXPECT_EQ(0, std::memcmp(stored, key, 16));
        } else {
            // Exactly 16 bytes: nothing beyond the digest, so the stored digest stays as the caller set it.
            EXPECT_EQ(16u, back.size());
            EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<char*>(stored), 16));
        }
    }
}

TEST(EncryptedFile, LoadRules)
{
    TempDir dir;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<dataentry><MAIN.x>5</MAIN.x></dataentry>"));
    const std::string enc = dir / "enc.xml";
    const std::string plain = dir / "plain.xml";
    ASSERT_TRUE(XmlSaveDocument(doc, enc, "user", "pw"));
    ASSERT_TRUE(XmlSaveDocument(doc, plain, "", ""));
    EXPECT_EQ("<dataentry><MAIN.x>5</MAIN.x></dataentry>", ReadFile(plain));
    EXPECT_EQ(std::string::npos, ReadFile(enc).find("dataentry"));
    // Edited by hand: a declaration, comments, 8-bit bytes that are not UTF-8; saved as UTF-16.
    const std::string hand = dir / "hand.xml", wide = dir / "wide.xml";
    ASSERT_TRUE(XmlWriteFileAtomic(hand, "<?xml version=\"1.0\"?>\r\n<!-- M\xFCller -->\r\n<dataentry>\r\n\t"
                                         "<MAIN.x>5</MAIN.x><!-- \xE4 -->\r\n</dataentry>\r\n"));
    ASSERT_TRUE(XmlWriteFileAtomic(wide, Wide("<dataentry><MAIN.x>5</MAIN.x></dataentry>", 2, false, true)));

    struct Row {
        std::string path, user, pass;
        HRESULT expected;
        const char* what;
    } rows[] = {
        {enc, "user", "pw", S_OK, "same credentials"},
        {enc, "us", "erpw", S_OK, "only the concatenation matters"},
        {enc, "", "userpw", S_OK, "all in the password"},
        {enc, "user", "px", (HRESULT)0x9811800A, "wrong password"},
        {enc, "", "", (HRESULT)0x98118002, "no credentials: no decryption"},
        {plain, "user", "pw", S_OK, "plain file while credentials are set"},
        {hand, "", "", S_OK, "edited by hand"},
        {hand, "user", "pw", S_OK, "edited by hand, credentials set"},
        {wide, "user", "pw", S_OK, "UTF-16"},
        {dir / "missing.xml", "user", "pw", (HRESULT)0x98118001, "missing file"},
    };
    for (const Row& r : rows) {
        pugi::xml_document loaded;
        EXPECT_EQ(r.expected, XmlLoadDocument(loaded, r.path, r.user, r.pass)) << r.what;
        if (r.expected == S_OK)
            EXPECT_STREQ("5", loaded.child("dataentry").child("MAIN.x").text().get()) << r.what;
        else
            EXPECT_FALSE(loaded.first_child()) << r.what;
    }

    // An empty text gives a 16-byte file that never matches any credentials.
    uint8_t key[16];
    MD5("userpw", 6, key);
    ASSERT_TRUE(AesEncryptString(key, "", dir / "empty.xml"));
    pugi::xml_document loaded;
    EXPECT_EQ((HRESULT)0x9811800A, XmlLoadDocument(loaded, dir / "empty.xml", "user", "pw"));
}

TEST(PlainText, OnlyWhatAWriterProducesCountsAsPlain)
{
    const std::string doc = "<dataentry><MAIN.x>5</MAIN.x></dataentry>";
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    struct Row {
        std::string text;
        pugi::xml_parse_status status;
        const char* what;
    } rows[] = {
        {doc, pugi::status_ok, "as saved"},
        {decl + "\r\n" + doc + "\r\n", pugi::status_ok, "declaration, line ends"},
        {"<dataentry/>", pugi::status_ok, "empty root"},
        {"\xEF\xBB\xBF" + decl + doc, pugi::status_ok, "byte order mark"},
        {"<!-- saved by hand -->\n<?pi x?>\n<!DOCTYPE dataentry [ <!ENTITY e \"]>\"> <!-- ] --> ]>\n" + doc +
             "\n<!-- end -->\n\t",
         pugi::status_ok, "comments, instructions and a document type outside the root"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dataentry><s>Gr\xFC\xDF" "e</s></dataentry>",
         pugi::status_ok, "8-bit text"},
        {"<dataentry><s>\xE4\xFF\x80</s></dataentry>", pugi::status_ok, "bytes that are not UTF-8"},
        {"<a b='x/>y' c=\"<\"><![CDATA[</a><b>]]><!-- </a> --><?p </a>?><c/>&#1;</a>", pugi::status_ok,
         "markup characters inside values, sections, comments and instructions; a control as a reference"},
        {Wide(decl + doc, 2, false, true), pugi::status_ok, "UTF-16 LE with byte order mark"},
        {Wide(doc, 2, true, false), pugi::status_ok, "UTF-16 BE without"},
        {Wide(doc, 4, false, false), pugi::status_ok, "UTF-32 LE without"},
        {"", pugi::status_no_document_element, "empty"},
        {"\r\n <!-- -->", pugi::status_no_document_element, "no root"},
        {"x" + doc, pugi::status_no_document_element, "text before the root"},
        {doc + "x", pugi::status_no_document_element, "text after the root"},
        {doc + "<b/>", pugi::status_no_document_element, "a second root"},
        {doc + "<![CDATA[x]]>", pugi::status_no_document_element, "a section after the root"},
        {"<a>\x01</a>", pugi::status_bad_pcdata, "a control inside"},
        {doc + "\x1F", pugi::status_bad_pcdata, "a control outside"},
        {std::string("<a/>\0", 5), pugi::status_bad_pcdata, "a NUL"},
        {Wide("<a>\x02</a>", 2, false, true), pugi::status_bad_pcdata, "a control in UTF-16"},
        {"<a><b></a>", pugi::status_end_element_mismatch, "root not closed"},
        {"<!-- " + doc, pugi::status_bad_comment, "comment not closed"},
        {"<dataentry/>x", pugi::status_no_document_element, "one character after the root"},
        {"<dataentry/>>", pugi::status_no_document_element, "a '>' after the root"},
        {"<?xml a=\"?><r/>\" b=\"x\"/>" + doc, pugi::status_no_document_element, "\"?>\" in a declaration's value"},
        {"<?xml v=\"1\"/><!-- ?><r/> -->" + doc, pugi::status_no_document_element, "a declaration ending at \"/>\""},
        {doc + "<?xml v=\"1\"/><!-- ?> -->", pugi::status_no_document_element, "the same after the root"},
        {doc + "<!DOCTYPE dataentry>", pugi::status_no_document_element, "a document type after the root"},
    };
    // Loaded from memory the short way or checked first, and from a file: the same status and document.
    TempDir dir;
    const std::string file = dir / "row.xml";
    for (const Row& r : rows) {
        const pugi::xml_parse_result res = XmlCheckPlainText(r.text.data(), r.text.size());
        EXPECT_EQ(r.status, res.status) << r.what;
        pugi::xml_document checked, fast, loaded;
        const pugi::xml_parse_result a =
            XmlLoadPlainBuffer(checked, r.text.data(), r.text.size(), kXmlParseOptions, false);
        const pugi::xml_parse_result b = XmlLoadPlainBuffer(fast, r.text.data(), r.text.size(), kXmlParseOptions, true);
        ASSERT_TRUE(XmlWriteFileAtomic(file, r.text));
        const pugi::xml_parse_result c = XmlLoadPlainFile(loaded, file.c_str(), kXmlParseOptions);
        EXPECT_EQ(a.status, b.status) << r.what;
        EXPECT_EQ(a.status, c.status) << r.what;
        std::string sChecked, sFast, sLoaded;
        XmlDocumentToString(checked, sChecked);
        XmlDocumentToString(fast, sFast);
        XmlDocumentToString(loaded, sLoaded);
        EXPECT_EQ(sChecked, sFast) << r.what;
        EXPECT_EQ(sChecked, sLoaded) << r.what;
    }
    // The comparisons above include the short way.
    bool bFast = false;
    pugi::xml_document saved;
    EXPECT_TRUE(XmlLoadPlainBuffer(saved, doc.data(), doc.size(), kXmlParseOptions, true, &bFast));
    EXPECT_TRUE(bFast);
}

TEST(EncryptedFile, DisguisedAsADocumentIsStillDecrypted)
{
    TempDir dir;
    const std::string text = crypttest::PadToBlocks("<dataentry><MAIN.n>4711</MAIN.n></dataentry>");
    const crypttest::Disguised d = crypttest::FindDisguised("user", "pw", text, 650);
    ASSERT_FALSE(d.password.empty());
    const std::string file = dir / "disguised.xml";
    const std::string key = "user" + d.password;
    uint8_t digest[16];
    MD5(key.data(), key.size(), digest);
    ASSERT_TRUE(AesEncryptString(digest, text, file));
    ASSERT_EQ(d.bytes, ReadFile(file));
    // The file and its twin that does not parse at all give the same answers.
    const std::string broken = dir / "broken.xml";
    ASSERT_TRUE(XmlWriteFileAtomic(broken, "<dataentry><"));

    // A log line that holds begin and ends with end.
    const std::string trace = dir / "trace.log";
    auto logged = [&](const std::string& begin, const std::string& end) {
        const std::string log = ReadFile(trace);
        for (size_t at = log.find(begin); at != std::string::npos; at = log.find(begin, at + 1)) {
            const size_t eol = log.find("\r\n", at);
            if (eol != std::string::npos && eol >= at + end.size() && log.compare(eol - end.size(), end.size(), end) == 0)
                return true;
        }
        return false;
    };
    CFileTracer::Open(trace.c_str(), 2, 0, false);
    struct Row {
        std::string path;
        HRESULT withCredentials;
    } rows[] = {{file, S_OK}, {broken, (HRESULT)0x9811800A}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        const std::string failed = "Failed to load xml file \"" + r.path + "\" (";
        pugi::xml_document doc;
        EXPECT_EQ((HRESULT)0x98118002, XmlLoadDocument(doc, r.path, "", ""));
        EXPECT_FALSE(doc.first_child());
        EXPECT_TRUE(logged(failed, ")!"));
        EXPECT_EQ(r.withCredentials, XmlLoadDocument(doc, r.path, "user", d.password));
        EXPECT_TRUE(logged(failed, "). File content might be obfuscated. Trying again..."));
        if (r.withCredentials == S_OK) {
            EXPECT_STREQ("4711", doc.child("dataentry").child("MAIN.n").text().get());
        }
    }
    CFileTracer::Close();
}

// A document is encrypted as it is written out in pieces and decrypted as it is read: the file must be what
// the whole text gives at once, blocks straddling the pieces included, and load back to the same text.
TEST(EncryptedFile, StreamedSaveAndLoadOfALargeDocument)
{
    TempDir dir;
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("dataentry");
    for (int i = 0; i < 9999; ++i)
        root.append_child("v").text().set(i * 7);
    std::string text;
    XmlDocumentToString(doc, text);
    ASSERT_GT(text.size(), 65536u);  // more than one buffer of the file writer
    ASSERT_NE(0u, (16 + text.size()) % 16);

    const std::string streamed = dir / "streamed.xml";
    const std::string whole = dir / "whole.xml";
    ASSERT_TRUE(XmlSaveDocument(doc, streamed, "user", "pw"));
    uint8_t key[16];
    MD5("userpw", 6, key);
    ASSERT_TRUE(AesEncryptString(key, text, whole));
    EXPECT_EQ(ReadFile(whole), ReadFile(streamed));

    pugi::xml_document loaded;
    ASSERT_EQ(S_OK, XmlLoadDocument(loaded, streamed, "user", "pw"));
    std::string back;
    XmlDocumentToString(loaded, back);
    EXPECT_EQ(text, back);
}

TEST(XmlFiles, SavesReplaceAtomicallyAndKeepTheOldFileOnFailure)
{
    TempDir dir;
    const std::string path = dir / "data.xml";
    ASSERT_TRUE(XmlWriteFileAtomic(path, "old"));
    // Backslashes and doubled separators name the same file.
    ASSERT_TRUE(XmlWriteFileAtomic(dir / "/\\data.xml", "new"));
    EXPECT_EQ("new", ReadFile(path));
    // A folder that does not exist: nothing is written and nothing is left behind.
    EXPECT_FALSE(XmlWriteFileAtomic(dir / "nofolder/data.xml", "x"));
    EXPECT_EQ("new", ReadFile(path));
    EXPECT_EQ(0, std::system(("test $(ls '" + (dir / "") + "' | wc -l) -eq 1").c_str()));
}

TEST(XmlFiles, SavesGoThroughALinkAndKeepOwnerGroupAndMode)
{
    TempDir dir;
    ASSERT_EQ(0, mkdir((dir / "real").c_str(), 0755));
    const std::string target = dir / "real/data.xml";
    const std::string link = dir / "data.xml";
    ASSERT_TRUE(XmlWriteFileAtomic(target, "old"));
    // Other ids can only be given by root; elsewhere the test's own must survive.
    const bool root = geteuid() == 0;
    const uid_t uid = root ? 1234 : geteuid();
    const gid_t gid = root ? 5678 : getegid();
    ASSERT_EQ(0, chown(target.c_str(), uid, gid));
    ASSERT_EQ(0, chmod(target.c_str(), 0640));
    ASSERT_EQ(0, symlink("real/data.xml", link.c_str()));

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<dataentry><MAIN.x>7</MAIN.x></dataentry>"));
    for (const char* password : {"", "pw"}) {
        SCOPED_TRACE(*password ? "encrypted" : "plain");
        ASSERT_TRUE(XmlSaveDocument(doc, link, "", password));
        char text[64] = {};
        ASSERT_GT(readlink(link.c_str(), text, sizeof(text) - 1), 0) << "the link was replaced by a file";
        EXPECT_STREQ("real/data.xml", text);
        pugi::xml_document back;
        ASSERT_EQ(S_OK, XmlLoadDocument(back, target, "", password));
        EXPECT_STREQ("7", back.child("dataentry").child("MAIN.x").text().get());
        struct stat st;
        ASSERT_EQ(0, stat(target.c_str(), &st));
        EXPECT_EQ(mode_t(0640), st.st_mode & 07777);
        EXPECT_EQ(uid, st.st_uid);
        EXPECT_EQ(gid, st.st_gid);
        EXPECT_EQ(0, std::system(("test $(ls '" + (dir / "real") + "' | wc -l) -eq 1").c_str()));
    }
}

TEST(XmlFiles, PathNormalisation)
{
    EXPECT_EQ("a/b/c", XmlNormalizePath("a\\b\\\\c"));
    EXPECT_EQ("/x/y/", XmlNormalizePath("//x///y\\\\"));
    EXPECT_EQ("", XmlNormalizePath(nullptr));
}

} // namespace
