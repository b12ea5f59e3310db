// Encrypted data files seen from a client: the service program is started, credentials are written through
// index group 0x81, and symbols are stored and restored against its simulated PLC.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "DisguisedCipher.h"
#include "KxCrypto.h"
#include "KxPlcSim.h"
#include "XmlBackupServiceSupport.h"
#include "XmlDataServerFile.h"

using namespace kxsvc;

namespace {

const char kSymbol[] = "MAIN.stSecret";
const char kPath[] = "/dataentry/MAIN.stSecret";

class CryptEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        plcFile = std::string(KX_TEST_DATA_DIR) + "/crypt/secret-device.xml";
        CKxPlcSim sim;
        KxPlcLoadResult r = sim.LoadFile(plcFile);
        ASSERT_TRUE(r.ok) << r.description;
        ASSERT_TRUE(sim.Resolve(kSymbol, sym));
        for (const char* m : {".nCode", ".sOwner", ".aLimits"}) {
            KxPlcSymbolInfo info;
            ASSERT_TRUE(sim.Resolve(std::string(kSymbol) + m, info));
            members.push_back(info);
        }
        WriteRegistry(dir.Path(), 2, {});
        ASSERT_TRUE(StartAndJoin(svc, link, KX_XMLSRV_EXE, dir.Path(), plcFile)) << ReadFile(dir / "service.stderr");
        // The service found the registry written here: its log is where InstallDir puts it.
        ASSERT_TRUE(Exists(LogPath(dir.Path())));
        original = Plc();
        ASSERT_FALSE(original.empty());
    }
    void TearDown() override
    {
        link.Leave();
        svc.Kill();
    }

    // The bytes of the symbol's members as the PLC holds them (padding between them left out).
    std::vector<uint8_t> Plc()
    {
        std::vector<uint8_t> all, v;
        for (const KxPlcSymbolInfo& m : members) {
            EXPECT_TRUE(link.PlcRead(m.group, m.offset, m.size, v));
            all.insert(all.end(), v.begin(), v.end());
        }
        return all;
    }
    // Overwrites the symbol with a pattern that no stored file holds; returns its members' bytes.
    std::vector<uint8_t> Scribble(uint8_t seed)
    {
        std::vector<uint8_t> v(sym.size);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<uint8_t>(seed + 31 * i);
        EXPECT_TRUE(link.PlcWrite(sym.group, sym.offset, v));
        return Plc();
    }
    uint32_t Store(const std::string& file) { return link.Store(file, kSymbol, kPath); }
    uint32_t Restore(const std::string& file) { return link.Restore(file, kSymbol, kPath); }

    static bool ParsesAsPlainXml(const std::string& bytes)
    {
        pugi::xml_document doc;
        return doc.load_buffer(bytes.data(), bytes.size()) && doc.document_element();
    }
    // The first block of a file encrypted under user + password: the key digest encrypted with itself.
    static std::string FirstBlockFor(const std::string& key)
    {
        uint8_t d[16], out[16];
        MD5(key.data(), key.size(), d);
        CKxAes128(d).Encrypt(d, out);
        return std::string(reinterpret_cast<char*>(out), 16);
    }

    TempDir dir;
    std::string plcFile;
    KxPlcSymbolInfo sym;
    std::vector<KxPlcSymbolInfo> members;
    std::vector<uint8_t> original;
    Service svc;
    Link link;
};

TEST_F(CryptEndToEnd, StoredFileIsEncryptedAndRestoresWithTheSameCredentials)
{
    const std::string file = dir / "secret.xml";
    ASSERT_EQ(0u, link.SetCredentials("operator", "s3cret"));
    std::vector<uint8_t> flag;
    ULONG cb = 0;
    flag.resize(1);
    ASSERT_EQ(S_OK, link.ServiceClient()->SyncRead(0x81, 0, 1, flag.data(), &cb));
    EXPECT_EQ(1u, cb);
    EXPECT_EQ(1, flag[0]);

    ASSERT_EQ(0u, Store(file));
    const std::string bytes = ReadFile(file);
    ASSERT_GT(bytes.size(), 16u);
    EXPECT_FALSE(ParsesAsPlainXml(bytes));
    EXPECT_EQ(std::string::npos, bytes.find("dataentry"));
    EXPECT_EQ(FirstBlockFor("operators3cret"), bytes.substr(0, 16));

    // The same file read by this process's own loader holds the symbol's element.
    pugi::xml_document doc;
    ASSERT_EQ(S_OK, XmlLoadDocument(doc, file, "operator", "s3cret"));
    EXPECT_TRUE(doc.select_node(kPath));

    Scribble(0x11);
    ASSERT_EQ(0u, Restore(file));
    EXPECT_EQ(original, Plc());
    // Reading does not rewrite the file.
    EXPECT_EQ(bytes, ReadFile(file));
}

TEST_F(CryptEndToEnd, WrongCredentialsAreRefusedAndChangeNothing)
{
    const std::string file = dir / "secret.xml";
    ASSERT_EQ(0u, link.SetCredentials("operator", "s3cret"));
    ASSERT_EQ(0u, Store(file));
    const std::string bytes = ReadFile(file);

    struct Wrong {
        const char* user;
        const char* password;
    } rows[] = {
        {"operator", "s3creT"}, {"Operator", "s3cret"}, {"operator", ""}, {"", "operators3cret!"}, {"x", "y"},
    };
    uint8_t seed = 0x20;
    for (const Wrong& w : rows) {
        SCOPED_TRACE(std::string(w.user) + "/" + w.password);
        ASSERT_EQ(0u, link.SetCredentials(w.user, w.password));
        const std::vector<uint8_t> scribbled = Scribble(seed++);
        EXPECT_EQ(0x800Au, Restore(file));
        EXPECT_EQ(scribbled, Plc());
        // A store on top of the file cannot read it either, and must not replace it.
        EXPECT_EQ(0x800Au, Store(file));
        EXPECT_EQ(0x8000u, link.Clarify(file, dir / "clear.xml"));
        EXPECT_FALSE(Exists(dir / "clear.xml"));
        EXPECT_EQ(bytes, ReadFile(file));
    }

    // Without credentials the file does not parse, and no decryption is tried.
    ASSERT_EQ(0u, link.ClearCredentials());
    EXPECT_EQ(0x8002u, Restore(file));
    EXPECT_EQ(bytes, ReadFile(file));

    // The right ones still work afterwards.
    ASSERT_EQ(0u, link.SetCredentials("operator", "s3cret"));
    Scribble(0x7F);
    EXPECT_EQ(0u, Restore(file));
    EXPECT_EQ(original, Plc());
}

TEST_F(CryptEndToEnd, OnlyTheJoinedTextOfUserAndPasswordCounts)
{
    const std::string file = dir / "split.xml";
    ASSERT_EQ(0u, link.SetCredentials("ab", "cdef"));
    ASSERT_EQ(0u, Store(file));
    const std::string bytes = ReadFile(file);
    EXPECT_EQ(FirstBlockFor("abcdef"), bytes.substr(0, 16));

    struct Split {
        const char* user;
        const char* password;
    } rows[] = {{"abc", "def"}, {"", "abcdef"}, {"abcdef", ""}, {"a", "bcdef"}};
    uint8_t seed = 0x40;
    for (const Split& s : rows) {
        SCOPED_TRACE(std::string(s.user) + "/" + s.password);
        ASSERT_EQ(0u, link.SetCredentials(s.user, s.password));
        Scribble(seed++);
        EXPECT_EQ(0u, Restore(file));
        EXPECT_EQ(original, Plc());
        // Stored again under the other split, the file comes out byte for byte the same.
        const std::string other = dir / (std::string("split-") + s.user + ".xml");
        ASSERT_EQ(0u, Store(other));
        EXPECT_EQ(bytes, ReadFile(other));
    }
}

TEST_F(CryptEndToEnd, PlainFilesStillLoadAndTurnEncryptedAtTheirNextSave)
{
    const std::string file = dir / "plain.xml";
    ASSERT_EQ(0u, Store(file));
    const std::string plain = ReadFile(file);
    ASSERT_TRUE(ParsesAsPlainXml(plain));

    ASSERT_EQ(0u, link.SetCredentials("operator", "s3cret"));
    Scribble(0x33);
    EXPECT_EQ(0u, Restore(file));
    EXPECT_EQ(original, Plc());
    EXPECT_EQ(plain, ReadFile(file));

    // A store of the plain file under credentials writes it encrypted; the text inside is the same.
    ASSERT_EQ(0u, Store(file));
    const std::string enc = ReadFile(file);
    EXPECT_FALSE(ParsesAsPlainXml(enc));
    EXPECT_EQ(plain.size() + 16, enc.size());
    pugi::xml_document doc;
    ASSERT_EQ(S_OK, XmlLoadDocument(doc, file, "operator", "s3cret"));
    std::string text;
    XmlDocumentToString(doc, text);
    EXPECT_EQ(plain, text);
}

TEST_F(CryptEndToEnd, ClarifyWritesAPlainCopyAndLeavesTheSourceAlone)
{
    const std::string enc = dir / "enc.xml";
    const std::string clear = dir / "clear.xml";
    ASSERT_EQ(0u, link.SetCredentials("operator", "s3cret"));
    ASSERT_EQ(0u, Store(enc));
    const std::string encBytes = ReadFile(enc);

    ASSERT_EQ(0u, link.Clarify(enc, clear));
    const std::string plain = ReadFile(clear);
    ASSERT_TRUE(ParsesAsPlainXml(plain));
    EXPECT_EQ(plain.size() + 16, encBytes.size());
    EXPECT_EQ(encBytes, ReadFile(enc));

    // The copy restores without any credentials; the encrypted original does not.
    ASSERT_EQ(0u, link.ClearCredentials());
    Scribble(0x55);
    EXPECT_EQ(0x8002u, Restore(enc));
    EXPECT_EQ(0u, Restore(clear));
    EXPECT_EQ(original, Plc());

    // Clarify of a plain file with credentials set is a plain copy as well.
    ASSERT_EQ(0u, link.SetCredentials("someone", "else"));
    ASSERT_EQ(0u, link.Clarify(clear, dir / "clear2.xml"));
    EXPECT_EQ(plain, ReadFile(dir / "clear2.xml"));
}

TEST_F(CryptEndToEnd, EncryptedFileThatLooksLikeADocumentIsStillDecrypted)
{
    // Cipher text with exactly one '<', opening an empty tag: taken alone, it parses as a document.
    const std::string text =
        crypttest::PadToBlocks("<dataentry><MAIN.stSecret><nCode>-4242</nCode></MAIN.stSecret></dataentry>");
    const crypttest::Disguised d = crypttest::FindDisguised("operator", "s3cret", text, 280157);
    ASSERT_FALSE(d.password.empty());
    const std::string file = dir / "disguised.xml", clear = dir / "clear.xml";
    ASSERT_TRUE(WriteFile(file, d.bytes));
    const std::string code = std::string(kSymbol) + ".nCode", codePath = std::string(kPath) + "/nCode";
    auto plcCode = [&] {
        std::vector<uint8_t> v;
        int32_t n = 0;
        if (link.PlcRead(members[0].group, members[0].offset, 4, v) && v.size() == 4)
            std::memcpy(&n, v.data(), 4);
        return n;
    };

    // Without credentials it is a file that does not parse: nothing restored, no copy, and a store keeps off it.
    EXPECT_EQ(0x8002u, link.Restore(file, code, codePath));
    EXPECT_EQ(original, Plc());
    EXPECT_EQ(0x8000u, link.Clarify(file, clear));
    EXPECT_FALSE(Exists(clear));
    EXPECT_EQ(0x8002u, Store(file));
    EXPECT_EQ(d.bytes, ReadFile(file));

    // With them it is decrypted.
    ASSERT_EQ(0u, link.SetCredentials("operator", d.password));
    EXPECT_EQ(0u, link.Restore(file, code, codePath));
    EXPECT_EQ(-4242, plcCode());
    EXPECT_EQ(0u, link.Clarify(file, clear));
    pugi::xml_document copy;
    ASSERT_TRUE(copy.load_file(clear.c_str()));
    EXPECT_STREQ("-4242", copy.select_node("/dataentry/MAIN.stSecret/nCode").node().text().get());
    EXPECT_EQ(d.bytes, ReadFile(file));

    // A store fills in the symbol and saves the one document encrypted again, readable as ever.
    const std::vector<uint8_t> stored = Plc();
    ASSERT_EQ(0u, Store(file));
    pugi::xml_document doc;
    ASSERT_EQ(S_OK, XmlLoadDocument(doc, file, "operator", d.password));
    EXPECT_STREQ("dataentry", doc.first_child().name());
    EXPECT_FALSE(doc.first_child().next_sibling());
    Scribble(0x62);
    EXPECT_EQ(0u, Restore(file));
    EXPECT_EQ(stored, Plc());
}

} // namespace
