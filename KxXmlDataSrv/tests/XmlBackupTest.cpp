// Backup copies of configured base files, driven in process: the configuration is read from a registry text,
// data servers store a simulated PLC's symbol, and the files on disk are checked after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "FileTracer.h"
#include "KxPlcSim.h"
#include "SimFexSync.h"
#include "XmlBackupServiceSupport.h"
#include "XmlDataServer.h"
#include "XmlDataServerBackup.h"
#include "XmlDataServerFile.h"
#include "XmlDataServerSettings.h"
#include "platform/KxOS/KxOsRegistry.h"

using namespace kxsvc;

namespace {

const char kSymbol[] = "MAIN.stGen";
const char kPath[] = "/dataentry/MAIN.stGen";
const char kSettingsKey[] = "Software\\Velmor\\Korvex3 Functions\\QM4410 XML Server";

// What a file on disk holds: the generation stored in it, or why there is none.
enum : int64_t { kMissing = -1, kUnreadable = -2, kTorn = -3 };

class XmlBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        KxPlcLoadResult r = sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/backup/generation-device.xml");
        ASSERT_TRUE(r.ok) << r.description;
        ASSERT_TRUE(sim.Resolve(kSymbol, sym));
        ::setenv(KX_REGISTRY_ROOT_ENV, (dir / "reg").c_str(), 1);
        RegistrySetRootDir(nullptr);
        RegistryDestroy();
        CFileTracer::Open((dir / "trace.log").c_str(), 2, 0, false);
    }
    void TearDown() override
    {
        delete CXmlDataServerSettings::m_pBackupFileHandling;
        CXmlDataServerSettings::m_pBackupFileHandling = nullptr;
        RegistryDestroy();
        CFileTracer::Close();
    }

    // Loads the backup configuration the way the service does at start, from a registry holding entries.
    void Configure(const std::vector<BackupEntry>& entries)
    {
        RegistryDestroy();
        RegistryInit(RegistryXml(dir.Path(), 2, entries).c_str());
        HKEY h = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &h));
        EXPECT_TRUE(XmlBackupLoadSettings(h));
        OsRegCloseKey(h);
        ASSERT_NE(nullptr, CXmlDataServerSettings::m_pBackupFileHandling);
    }
    // The entry configured for file, or null.
    static CXmlDataServerBackupFile* EntryOf(const std::string& file)
    {
        uint32_t i = 0;
        const auto* s = CXmlDataServerSettings::m_pBackupFileHandling;
        return s && s->GetPosition(file.c_str(), &i) ? s->BackupFileAt(i) : nullptr;
    }
    // "LastUpdatedBackupFile" of a BACKUP_FILES subkey as the registry holds it now (0 when unreadable).
    static uint32_t StoredLast(const std::string& key, DWORD* pType = nullptr)
    {
        HKEY h = nullptr;
        const std::string path = std::string(KXXML_BACKUP_KEY) + "\\" + key;
        if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return 0;
        DWORD type = 0, value = 0, cb = sizeof(value);
        LONG rc = OsRegQueryValueExA(h, "LastUpdatedBackupFile", nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb);
        OsRegCloseKey(h);
        if (pType)
            *pType = type;
        return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0;
    }

    // Puts generation g into the PLC: the number and sixteen values derived from it.
    void SetGeneration(uint32_t g)
    {
        std::vector<uint8_t> v(sym.size, 0);
        std::memcpy(v.data(), &g, 4);
        KxPlcSymbolInfo arr;
        ASSERT_TRUE(sim.Resolve(std::string(kSymbol) + ".aValues", arr));
        for (int32_t i = 0; i < 16; ++i) {
            int32_t x = static_cast<int32_t>(g) * 1000 + i;
            std::memcpy(v.data() + (arr.offset - sym.offset) + 4 * i, &x, 4);
        }
        ASSERT_TRUE(sim.Poke(sym.group, sym.offset, v.data(), sym.size));
    }
    // Stores the PLC's symbol into file through a data server, as a client's store does; the close result.
    HRESULT Store(const std::string& file, const std::string& user = "", const std::string& pass = "")
    {
        CXmlDataServer srv(&sync);
        srv.SetCredentials(user.c_str(), pass.c_str());
        HRESULT hr = srv.OpenWrite(HopAddr(), 3, file.c_str(), kSymbol, kPath, nullptr);
        if (FAILED(hr))
            return hr;
        return srv.Close(false);
    }
    // Generation of a document, checking that every value belongs to it.
    static int64_t GenerationOf(const pugi::xml_document& doc)
    {
        pugi::xml_node gen = doc.select_node("/dataentry/MAIN.stGen/nGeneration").node();
        if (!gen)
            return kUnreadable;
        const int64_t g = gen.text().as_llong(-1);
        int n = 0;
        for (const pugi::xpath_node& v : doc.select_nodes("/dataentry/MAIN.stGen/aValues")) {
            if (v.node().attribute("index").as_int(-1) != n || v.node().text().as_llong(-1) != g * 1000 + n)
                return kTorn;
            ++n;
        }
        return n == 16 ? g : kTorn;
    }
    static int64_t GenerationOfFile(const std::string& file, const std::string& user = "", const std::string& pass = "")
    {
        if (!Exists(file))
            return kMissing;
        pugi::xml_document doc;
        if (FAILED(XmlLoadDocument(doc, file, user, pass)))
            return kUnreadable;
        return GenerationOf(doc);
    }
    // Opens file through a data server with mode; the open's result and the generation it found.
    std::pair<HRESULT, int64_t> OpenAndRead(const std::string& file, uint16_t mode, const std::string& user = "",
                                            const std::string& pass = "")
    {
        CXmlDataServer srv(&sync);
        srv.SetCredentials(user.c_str(), pass.c_str());
        HRESULT hr = srv.Open(HopAddr(), mode, file.c_str(), nullptr);
        int64_t g = srv.Document().document_element() ? GenerationOf(srv.Document()) : kMissing;
        srv.Close(true);
        return {hr, g};
    }
    std::string Log() const { return ReadFile(dir / "trace.log"); }

    TempDir dir;
    CKxPlcSim sim;
    fextest::SimFexSync sync{sim};
    KxPlcSymbolInfo sym;
};

// The last line of the trace that contains text, or "" when there is none.
std::string LastLineWith(const std::string& log, const std::string& text)
{
    size_t at = log.rfind(text);
    if (at == std::string::npos)
        return "";
    size_t begin = log.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = log.find_first_of("\r\n", at);
    return log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

TEST_F(XmlBackup, SavesAlternateBetweenTheBackupsAndRecordTheNewest)
{
    struct Case {
        uint32_t last;
        const char* user;
        const char* pass;
    } cases[] = {{1, "", ""}, {2, "", ""}, {1, "op", "pw"}, {2, "", "secret"}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("last " + std::to_string(c.last) + " credentials " + c.user + c.pass);
        const std::string sub = dir / ("r" + std::to_string(round++));
        std::filesystem::create_directories(sub);
        const std::string base = sub + "/base.xml";
        const std::string backup[3] = {"", sub + "/b1.xml", sub + "/b2.xml"};
        SetGeneration(0);
        ASSERT_EQ(S_OK, Store(base, c.user, c.pass));
        ASSERT_NO_FATAL_FAILURE(Configure({Entry("Recipe", base, backup[1], backup[2], c.last)}));
        CXmlDataServerSettings::m_pBackupFileHandling->CreateBackupFiles();

        int64_t held[3] = {0, 0, 0};
        uint32_t last = c.last;
        for (uint32_t g = 1; g <= 4; ++g) {
            SCOPED_TRACE("save " + std::to_string(g));
            SetGeneration(g);
            ASSERT_EQ(S_OK, Store(base, c.user, c.pass));
            // Every save writes the older backup, which then is the newest.
            last = 3 - last;
            held[last] = g;
            EXPECT_EQ(int64_t(g), GenerationOfFile(base, c.user, c.pass));
            EXPECT_EQ(held[1], GenerationOfFile(backup[1], c.user, c.pass));
            EXPECT_EQ(held[2], GenerationOfFile(backup[2], c.user, c.pass));
            ASSERT_NE(nullptr, EntryOf(base));
            EXPECT_EQ(last, EntryOf(base)->GetLastUpdatedBackupFile());
            EXPECT_EQ(last, StoredLast("Recipe"));
            EXPECT_EQ("Registry Update! KeyName=\"" + std::string(KXXML_BACKUP_KEY) +
                          "\\Recipe\", ValueName=\"LastUpdatedBackupFile\", Value=\"" + std::to_string(last) +
                          "\", Result=\"0\"",
                      LastLineWith(Log(), "Registry Update!").substr(25));
        }
        if (*c.user || *c.pass) {
            // The backups are written in the same form as the base file.
            EXPECT_EQ(kUnreadable, GenerationOfFile(backup[1]));
            EXPECT_EQ(kUnreadable, GenerationOfFile(backup[2]));
        }
    }
}

TEST_F(XmlBackup, OpenFallsBackToTheNewerAndThenTheOlderBackup)
{
    enum : int64_t { kCorrupt = -10, kOtherKey = -11 };
    struct Case {
        const char* name;
        uint32_t last;
        int64_t base, b1, b2;  // generation stored, or kMissing, kCorrupt, kOtherKey
        uint16_t mode;
        bool encrypted;        // files and open use credentials
        bool upperInRegistry;  // the registry spells the base file's name in capitals
        HRESULT hr;
        int64_t gen;           // generation the open found, kMissing for an empty document
    } cases[] = {
        {"newest is 2", 2, kCorrupt, 1, 2, 0, false, false, S_OK, 2},
        {"newest is 1", 1, kCorrupt, 1, 2, 0, false, false, S_OK, 1},
        {"newest corrupt", 2, kCorrupt, 1, kCorrupt, 0, false, false, S_OK, 1},
        {"newest missing", 1, kCorrupt, kMissing, 2, 0, false, false, S_OK, 2},
        {"base missing", 2, kMissing, 1, 2, 0, false, false, S_OK, 2},
        {"base good", 2, 5, 1, 2, 0, false, false, S_OK, 5},
        {"all corrupt", 2, kCorrupt, kCorrupt, kCorrupt, 0, false, false, (HRESULT)0x98118002, kMissing},
        {"all missing", 1, kMissing, kMissing, kMissing, 0, false, false, (HRESULT)0x9811070C, kMissing},
        {"create keeps base error", 1, kCorrupt, kMissing, kMissing, 1, false, false, (HRESULT)0x98118002, kMissing},
        {"create of missing base", 2, kMissing, 1, 2, 1, false, false, S_OK, kMissing},
        {"encrypted", 1, kCorrupt, 1, 2, 0, true, false, S_OK, 1},
        {"newest under other key", 2, kCorrupt, 1, kOtherKey, 0, true, false, S_OK, 1},
        {"both under other key", 2, kCorrupt, kOtherKey, kOtherKey, 0, true, false, (HRESULT)0x9811800A, kMissing},
        {"case of letters", 2, kCorrupt, 1, 2, 0, false, true, S_OK, 2},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sub = dir / ("f" + std::to_string(round++));
        std::filesystem::create_directories(sub);
        const std::string base = sub + "/base.xml";
        const std::string b1 = sub + "/b1.xml", b2 = sub + "/b2.xml";
        const std::string user = c.encrypted ? "op" : "", pass = c.encrypted ? "pw" : "";
        auto make = [&](const std::string& file, int64_t state) {
            if (state == kCorrupt) {
                WriteFile(file, "<dataentry><MAIN.stGen><nGeneration>1</nGen");
            } else if (state == kOtherKey) {
                SetGeneration(9);
                ASSERT_EQ(S_OK, Store(file, "intruder", "x"));
            } else if (state >= 0) {
                SetGeneration(static_cast<uint32_t>(state));
                ASSERT_EQ(S_OK, Store(file, user, pass));
            }
        };
        make(base, c.base);
        make(b1, c.b1);
        make(b2, c.b2);
        std::string regBase = base;
        if (c.upperInRegistry)
            regBase = sub + "/BASE.XML";
        ASSERT_NO_FATAL_FAILURE(Configure({Entry("Recipe", regBase, b1, b2, c.last)}));

        std::pair<HRESULT, int64_t> r = OpenAndRead(base, c.mode, user, pass);
        EXPECT_EQ(c.hr, r.first);
        EXPECT_EQ(c.gen, r.second);
        // Every backup that was tried and did not load is named in the log with its error.
        const std::string newest = c.last == 1 ? b1 : b2;
        const int64_t newestState = c.last == 1 ? c.b1 : c.b2;
        const bool triedNewest = c.base < 0 && !(c.mode & 1 && c.base == kMissing);
        if (triedNewest && newestState < 0) {
            const char* code = newestState == kMissing ? (c.mode & 1 ? "0x98118002" : "0x9811070c")
                               : newestState == kCorrupt ? "0x98118002"
                                                         : "0x9811800a";
            EXPECT_NE(std::string::npos,
                      Log().find("Failed to open backup file! File=\"" + newest + "\" HRESULT=\"" + code + "\""));
        }
    }
}

TEST_F(XmlBackup, AnOpenFromABackupSavesToTheBaseFileAgain)
{
    const std::string base = dir / "base.xml", b1 = dir / "b1.xml", b2 = dir / "b2.xml";
    SetGeneration(1);
    ASSERT_EQ(S_OK, Store(b1));
    SetGeneration(2);
    ASSERT_EQ(S_OK, Store(b2));
    WriteFile(base, "not xml at all");
    ASSERT_NO_FATAL_FAILURE(Configure({Entry("Recipe", base, b1, b2, 2)}));

    SetGeneration(7);
    ASSERT_EQ(S_OK, Store(base));
    EXPECT_EQ(7, GenerationOfFile(base));
    EXPECT_EQ(7, GenerationOfFile(b1));
    EXPECT_EQ(2, GenerationOfFile(b2));
    EXPECT_EQ(1u, EntryOf(base)->GetLastUpdatedBackupFile());
}

TEST_F(XmlBackup, MissingBackupsAreCreatedFromTheBaseFile)
{
    auto file = [&](const std::string& key, const char* what) { return dir / (key + "-" + what + ".xml"); };
    const char* keys[] = {"Both", "One", "Invalid", "NoBase"};
    for (int i = 0; i < 3; ++i) {
        SetGeneration(static_cast<uint32_t>(i + 1));
        ASSERT_EQ(S_OK, Store(file(keys[i], "base")));
    }
    SetGeneration(9);
    ASSERT_EQ(S_OK, Store(file("One", "b1")));
    const std::string oneB1 = ReadFile(file("One", "b1"));

    BackupEntry invalid = Entry("Invalid", file("Invalid", "base"), file("Invalid", "b1"), file("Invalid", "b2"), 1);
    invalid.values.erase(invalid.values.begin() + 2);  // no BackupFile2
    ASSERT_NO_FATAL_FAILURE(Configure({Entry("Both", file("Both", "base"), file("Both", "b1"), file("Both", "b2"), 1),
                                       Entry("One", file("One", "base"), file("One", "b1"), file("One", "b2"), 2),
                                       invalid,
                                       Entry("NoBase", file("NoBase", "base"), file("NoBase", "b1"),
                                             file("NoBase", "b2"), 1)}));
    CXmlDataServerSettings::m_pBackupFileHandling->CreateBackupFiles();

    EXPECT_EQ(ReadFile(file("Both", "base")), ReadFile(file("Both", "b1")));
    EXPECT_EQ(ReadFile(file("Both", "base")), ReadFile(file("Both", "b2")));
    EXPECT_EQ(oneB1, ReadFile(file("One", "b1")));
    EXPECT_EQ(ReadFile(file("One", "base")), ReadFile(file("One", "b2")));
    EXPECT_FALSE(Exists(file("Invalid", "b1")));
    EXPECT_FALSE(Exists(file("NoBase", "b1")));
    EXPECT_FALSE(Exists(file("NoBase", "b2")));

    // A second start changes nothing that exists.
    SetGeneration(4);
    ASSERT_EQ(S_OK, Store(file("Both", "base")));
    CXmlDataServerSettings::m_pBackupFileHandling->CreateBackupFiles();
    EXPECT_EQ(1, GenerationOfFile(file("Both", "b1")));
    EXPECT_EQ(4, GenerationOfFile(file("Both", "b2")));
}

TEST_F(XmlBackup, EntriesAreCheckedAsTheyAreRead)
{
    struct Case {
        const char* key;
        std::vector<RegValue> values;
        bool valid;
        uint32_t last;        // in memory, when valid
        uint32_t storedLast;  // "LastUpdatedBackupFile" in the registry afterwards (0: not a DWORD)
    };
    auto paths = [&](const std::string& key) {
        return std::vector<RegValue>{{"BaseFile", "SZ", dir / (key + "/Base.xml")},
                                     {"BackupFile1", "SZ", dir / (key + "/b1.xml")},
                                     {"BackupFile2", "SZ", dir / (key + "/b2.xml")}};
    };
    auto with = [&](const std::string& key, std::vector<RegValue> extra, int drop = -1) {
        std::vector<RegValue> v = paths(key);
        if (drop >= 0)
            v.erase(v.begin() + drop);
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    };
    const std::vector<Case> cases = {
        {"Two", with("Two", {{"LastUpdatedBackupFile", "DW", "2"}}), true, 2, 2},
        {"Seven", with("Seven", {{"LastUpdatedBackupFile", "DW", "7"}}), true, 1, 7},
        {"NoLast", with("NoLast", {}), true, 1, 1},
        {"TextLast", with("TextLast", {{"LastUpdatedBackupFile", "SZ", "2"}}), true, 1, 1},
        {"NoBackup2", with("NoBackup2", {{"LastUpdatedBackupFile", "DW", "1"}}, 2), false, 0, 1},
        {"NoBase", with("NoBase", {{"LastUpdatedBackupFile", "DW", "1"}}, 0), false, 0, 1},
        {"NumberBase",
         {{"BaseFile", "DW", "5"}, paths("NumberBase")[1], paths("NumberBase")[2], {"LastUpdatedBackupFile", "DW", "1"}},
         false, 0, 1},
        {"BinaryBackup",
         {paths("BinaryBackup")[0], {"BackupFile1", "BIN", "2F746D70"}, paths("BinaryBackup")[2],
          {"LastUpdatedBackupFile", "DW", "1"}},
         false, 0, 1},
        {"MultiBackup",
         {paths("MultiBackup")[0], {"BackupFile1", "M_SZ", dir / "MultiBackup/b1.xml\nsecond"},
          paths("MultiBackup")[2], {"LastUpdatedBackupFile", "DW", "2"}},
         true, 2, 2},
    };
    std::vector<BackupEntry> entries;
    for (const Case& c : cases)
        entries.push_back({c.key, c.values});
    ASSERT_NO_FATAL_FAILURE(Configure(entries));
    const auto* settings = CXmlDataServerSettings::m_pBackupFileHandling;
    ASSERT_EQ(cases.size(), settings->BackupFileCount());
    EXPECT_EQ(nullptr, settings->BackupFileAt(static_cast<uint32_t>(cases.size())));

    const std::string log = Log();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.key);
        const CXmlDataServerBackupFile* f = settings->BackupFileAt(static_cast<uint32_t>(i));
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(c.valid, f->IsValid());
        EXPECT_EQ(c.last, f->GetLastUpdatedBackupFile());
        EXPECT_EQ(c.storedLast, StoredLast(c.key));
        char* s = nullptr;
        EXPECT_EQ(c.valid, f->GetKeyName(&s));
        if (s) {
            EXPECT_STREQ(c.key, s);
        }
        delete[] s;
        s = nullptr;
        EXPECT_EQ(c.valid, f->GetBackupFile1(&s));
        if (s) {
            EXPECT_EQ(dir / (std::string(c.key) + "/b1.xml"), s);
        }
        delete[] s;
        // The base file is found whatever the case of its letters, but only for a valid entry.
        std::string lower = dir / (std::string(c.key) + "/base.xml");
        uint32_t index = 99;
        EXPECT_EQ(c.valid, settings->GetPosition(lower.c_str(), &index));
        if (c.valid) {
            EXPECT_EQ(i, index);
        }
        const std::string verdict = std::string("BACKUP_FILES data for registry key \"") + c.key + "\" is " +
                                    (c.valid ? "valid!" : "not valid and will be ignored!");
        EXPECT_NE(std::string::npos, log.find(verdict)) << verdict;
    }
}

TEST_F(XmlBackup, VerdictsReadBeforeTheLogOpensAreKeptBoundedForIt)
{
    const std::string verdict = "BACKUP_FILES data for registry key \"";
    auto verdicts = [&] {
        std::vector<std::string> keys;
        const std::string log = Log();
        for (size_t at = log.find(verdict); at != std::string::npos; at = log.find(verdict, at + 1))
            keys.push_back(log.substr(at + verdict.size(), 4));
        return keys;
    };
    std::vector<BackupEntry> entries;
    std::vector<std::string> first;
    for (int i = 0; i < 300; ++i) {
        char key[8];
        std::snprintf(key, sizeof(key), "K%03d", i);
        entries.push_back({key, {{"BaseFile", "SZ", dir / key}}});
        if (i < 256)
            first.push_back(key);
    }
    // Read while no log is open: the first 256 verdicts wait for the log, the others are dropped.
    CFileTracer::Close();
    ASSERT_NO_FATAL_FAILURE(Configure(entries));
    CFileTracer::Open((dir / "trace.log").c_str(), 1, 0, false);
    XmlBackupWritePendingLog();
    EXPECT_EQ(first, verdicts());
    XmlBackupWritePendingLog();
    EXPECT_EQ(first, verdicts());

    // Without a log they are dropped: a log opened later does not get them.
    CFileTracer::Close();
    std::remove((dir / "trace.log").c_str());
    ASSERT_NO_FATAL_FAILURE(Configure(entries));
    XmlBackupWritePendingLog();
    CFileTracer::Open((dir / "trace.log").c_str(), 1, 0, false);
    XmlBackupWritePendingLog();
    EXPECT_TRUE(verdicts().empty());
}

TEST_F(XmlBackup, AFailedBackupWriteIsLoggedAndTheSaveStillSucceeds)
{
    const std::string base = dir / "base.xml", b1 = dir / "b1.xml", b2 = dir / "gone/b2.xml";
    SetGeneration(1);
    ASSERT_EQ(S_OK, Store(b1));
    ASSERT_NO_FATAL_FAILURE(Configure({Entry("Recipe", base, b1, b2, 1)}));
    for (uint32_t g = 2; g <= 3; ++g) {
        SetGeneration(g);
        EXPECT_EQ(S_OK, Store(base));
        EXPECT_EQ(int64_t(g), GenerationOfFile(base));
        EXPECT_EQ(1, GenerationOfFile(b1));
        EXPECT_FALSE(Exists(b2));
        EXPECT_EQ(1u, EntryOf(base)->GetLastUpdatedBackupFile());
        EXPECT_EQ(1u, StoredLast("Recipe"));
    }
    EXPECT_NE(std::string::npos, Log().find("Update of backup file \"" + b2 + "\" failed!"));
}

TEST_F(XmlBackup, WithoutTheBackupKeyNothingIsCopied)
{
    RegistryDestroy();
    RegistryInit(RegistryXml(dir.Path(), 2, {}, false).c_str());
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &h));
    EXPECT_FALSE(XmlBackupLoadSettings(h));
    OsRegCloseKey(h);
    EXPECT_EQ(nullptr, CXmlDataServerSettings::m_pBackupFileHandling);
    SetGeneration(1);
    ASSERT_EQ(S_OK, Store(dir / "base.xml"));
    EXPECT_EQ((std::vector<std::string>{"base.xml", "trace.log"}), [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }());
}

} // namespace
