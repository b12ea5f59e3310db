// The registry file: place, format, loading, quarantine, defaults, saving and the store's lifecycle.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RegistryTestSupport.h"

using namespace regtest;

namespace {

constexpr const char kVersionKey[] = "Software\\Velmor\\Korvex3\\3.1";

std::string DataFile(const char* name)
{
    return std::string(KX_TEST_DATA_DIR) + "/registry/" + name;
}

ino_t InodeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string Cwd()
{
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof(buffer)) ? buffer : "";
}

class RegistryFileTest : public RegistryFixture {
protected:
    // A new start of the writable store leaves the file, which holds expected, as it is (not even rewritten).
    void ExpectRestartKeepsFile(const std::string& expected)
    {
        const ino_t before = InodeOf(FilePath());
        DestroyStore();
        RegistryEnableWriteAccess();
        EXPECT_EQ(before, InodeOf(FilePath()));
        EXPECT_EQ(expected, ReadFile(FilePath()));
    }
};

} // namespace

TEST_F(RegistryFileTest, WriteEnabledStoreWithoutFileWritesTheDefaultDocument)
{
    CKxXmlRegistry* reg = OpenWritable();
    ASSERT_NE(nullptr, reg);
    EXPECT_EQ(DefaultDocument(m_dir), ReadFile(FilePath()));
    EXPECT_FALSE(reg->IsDirty());
    // The save leaves no temporary file behind.
    EXPECT_EQ(std::vector<std::string>{"KxRegistry.xml"}, ListDir(m_dir));

    // A second start finds every default and leaves the file alone.
    ExpectRestartKeepsFile(DefaultDocument(m_dir));
}

TEST_F(RegistryFileTest, ReadOnlyStoreWithoutFileAnswersDefaultsAndCreatesNothing)
{
    CKxXmlRegistry* reg = OpenReadOnly();
    ASSERT_NE(nullptr, reg);
    struct {
        const char* key;
        const char* name;
        std::string expected;
    } rows[] = {
        {"Software\\Velmor\\Korvex3", "CurrentVersion", "3.1"},
        {"Ident", "DeviceType", "KX/BSD"},
        {kVersionKey, "BootDir", m_dir + "/Boot/"},
        {kVersionKey, "ConfigDir", m_dir + "/Config/"},
        {kVersionKey, "InstallDir", m_dir + "/"},
        {kVersionKey, "TargetDir", m_dir + "/Target/"},
        {kVersionKey, "DriverAutoLoadDir", m_dir + "/Driver/AutoLoad/"},
    };
    for (const auto& row : rows) {
        LONG rc = -1;
        EXPECT_EQ(row.expected, QueryString(row.key, row.name, &rc)) << row.name;
        EXPECT_EQ(ERROR_SUCCESS, rc) << row.name;
    }

    // Changes stay in memory: neither a flush, a save request nor the end of the store writes a file.
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &h, nullptr));
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
    OsRegCloseKey(h);
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(HKEY_LOCAL_MACHINE));
    OsWriteRegToFile();
    std::string xml = "untouched";
    EXPECT_FALSE(RegistryGetXml(xml));
    EXPECT_EQ("", xml);
    DestroyStore();
    EXPECT_TRUE(ListDir(m_dir).empty());
}

TEST_F(RegistryFileTest, MalformedFileIsQuarantinedOnlyByAWriteEnabledStore)
{
    const std::string garbage = ReadFile(DataFile("garbage.bin"));
    ASSERT_EQ(4096u, garbage.size());
    const struct {
        const char* what;
        std::string content;
    } files[] = {
        {"truncated", ReadFile(DataFile("truncated.xml"))},
        {"not xml", ReadFile(DataFile("not_xml.txt"))},
        {"binary garbage", garbage},
        {"empty file", ""},
    };
    for (const auto& file : files) {
        for (bool writeEnable : {false, true}) {
            SCOPED_TRACE(std::string(file.what) + (writeEnable ? ", write-enabled" : ", read-only"));
            DestroyStore();
            WriteFile(FilePath(), file.content);
            WriteFile(BakPath(), "older backup");
            CKxXmlRegistry* reg = writeEnable ? OpenWritable() : OpenReadOnly();
            ASSERT_NE(nullptr, reg);
            EXPECT_EQ("KX/BSD", QueryString("Ident", "DeviceType"));
            EXPECT_EQ(m_dir + "/Boot/", QueryString(kVersionKey, "BootDir"));
            if (writeEnable) {
                EXPECT_EQ(file.content, ReadFile(BakPath()));
                EXPECT_EQ(DefaultDocument(m_dir), ReadFile(FilePath()));
            } else {
                EXPECT_EQ(file.content, ReadFile(FilePath()));
                EXPECT_EQ("older backup", ReadFile(BakPath()));
            }
            DestroyStore();
            ::unlink(FilePath().c_str());
            ::unlink(BakPath().c_str());
        }
    }
}

// Runs a write-enabled store in a child process (as an unprivileged user when dropPrivileges and running as
// root), with its standard output in outPath: it changes a value, flushes, asks for the text and ends.
// The exit status has bit 0 set when the store kept its write access and bit 1 when the text was handed out;
// 100 means the privileges could not be dropped.
int RunWritableStoreInChild(bool dropPrivileges, const std::string& outPath)
{
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dropPrivileges && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(100);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0)
            ::_exit(101);
        RegistryEnableWriteAccess();
        CKxXmlRegistry* reg = GetRegistry(false, false);
        if (!reg || QueryString("Ident", "DeviceType") != "KX/BSD")
            ::_exit(102);
        int status = reg->IsWriteEnabled() ? 1 : 0;
        HKEY key = nullptr;
        OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Changed", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        OsRegSetValueExA(key, "X", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
        OsRegFlushKey(HKEY_LOCAL_MACHINE);
        std::string xml;
        if (RegistryGetXml(xml))
            status |= 2;
        RegistryDestroy();
        std::fflush(stdout);
        ::_exit(status);
    }
    int status = -1;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(RegistryFileTest, ExistingFileThatCannotBeLoadedIsNeverSavedOver)
{
    // The child may run as another user: it must be able to write its output into the folder.
    ASSERT_EQ(0, ::chmod(m_dir.c_str(), 0777));
    const std::string content = ReadFile(DataFile("missing_bootdir.xml"));
    const std::string out = m_dir + "/out.txt";
    const struct {
        const char* what;
        bool dropPrivileges;
        const char* reason;
    } rows[] = {
        {"no read permission", true, std::strerror(EACCES)},
        {"symbolic link to itself", false, std::strerror(ELOOP)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DestroyStore();
        if (row.dropPrivileges) {
            WriteFile(FilePath(), content);
            ASSERT_EQ(0, ::chmod(FilePath().c_str(), 0));
        } else {
            ASSERT_EQ(0, ::symlink("KxRegistry.xml", FilePath().c_str()));
        }
        const int status = RunWritableStoreInChild(row.dropPrivileges, out);
        if (status == 100) {
            ::unlink(FilePath().c_str());
            ::unlink(out.c_str());
            std::printf("[ SKIPPED  ] %s: privileges cannot be dropped here\n", row.what);
            continue;
        }
        EXPECT_EQ(0, status) << "bit 0: the store kept its write access, bit 1: the text was handed out";
        EXPECT_NE(std::string::npos,
                  ReadFile(out).find("Korvex registry file " + FilePath() + " exists but could not be loaded (" +
                                     row.reason + "): it is not saved over\n"))
            << ReadFile(out);
        if (row.dropPrivileges) {
            struct stat st {};
            ASSERT_EQ(0, ::stat(FilePath().c_str(), &st));
            EXPECT_EQ(0u, st.st_mode & 07777u) << "the file was replaced";
            ASSERT_EQ(0, ::chmod(FilePath().c_str(), 0600));
            EXPECT_EQ(content, ReadFile(FilePath()));
        } else {
            char target[64] = {};
            EXPECT_EQ(14, ::readlink(FilePath().c_str(), target, sizeof(target) - 1)) << "the link was replaced";
            EXPECT_STREQ("KxRegistry.xml", target);
        }
        EXPECT_EQ((std::vector<std::string>{"KxRegistry.xml", "out.txt"}), ListDir(m_dir));
        ::unlink(FilePath().c_str());
        ::unlink(out.c_str());
    }
}

TEST_F(RegistryFileTest, LargeAndDeeplyNestedFilesLoadWithoutHarm)
{
    // About 10 MB of values, the last one readable.
    std::string big = "<KxRegistry><Key Name=\"HKLM\"><Key Name=\"Big\">";
    int count = 0;
    while (big.size() < 10u * 1024 * 1024) {
        big += "<Value Name=\"v" + std::to_string(count) + "\" Type=\"SZ\">" + std::string(100, 'x') + "</Value>";
        ++count;
    }
    big += "<Value Name=\"last\" Type=\"DW\">0x2A</Value></Key></Key></KxRegistry>";
    WriteFile(FilePath(), big);
    OpenReadOnly();
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Big", 0, KEY_READ, &h));
    DWORD value = 0, size = 4, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(h, "last", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(42u, value);
    DWORD values = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                                nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(count + 1), values);

    // Keys nested far deeper than a recursive walk could go; deleting the tree must not exhaust the stack.
    std::string deep = "<KxRegistry><Key Name=\"HKLM\">";
    const int depth = 200000;
    for (int i = 0; i < depth; ++i)
        deep += "<Key Name=\"d\">";
    for (int i = 0; i < depth; ++i)
        deep += "</Key>";
    // Values whose content nests as deep: one is replaced, the other deleted below.
    for (const char* name : {"v", "w"}) {
        deep += std::string("<Value Name=\"") + name + "\" Type=\"SZ\">";
        for (int i = 0; i < depth; ++i)
            deep += "<a>";
        for (int i = 0; i < depth; ++i)
            deep += "</a>";
        deep += "</Value>";
    }
    deep += "</Key></KxRegistry>";
    WriteFile(FilePath(), deep);
    OpenReadOnly();
    HKEY below = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "d\\d\\d\\d", 0, KEY_READ, &below));
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteTreeA(HKEY_LOCAL_MACHINE, "d"));
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    char text[4] = {};
    DWORD textSize = sizeof(text);
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(HKEY_LOCAL_MACHINE, "v", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(text), &textSize));
    EXPECT_STREQ("x", text);
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteValueA(HKEY_LOCAL_MACHINE, "w"));
    char name[8];
    DWORD cch = sizeof(name);
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegEnumKeyExA(below, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryFileTest, MissingDefaultIsAddedBeforeTheFirstSubkeyAndSaved)
{
    const std::string original = ReadFile(DataFile("missing_bootdir.xml"));
    const std::string subKeyLine = "\t\t\t\t\t\t<Key Name=\"Sub\">\n";
    const size_t at = original.find(subKeyLine);
    ASSERT_NE(std::string::npos, at);
    WriteFile(FilePath(), original);

    CKxXmlRegistry* reg = OpenWritable();
    ASSERT_NE(nullptr, reg);
    std::string expected = original;
    expected.insert(at, "\t\t\t\t\t\t<Value Name=\"BootDir\" Type=\"SZ\">" + m_dir + "/Boot/</Value>\n");
    EXPECT_EQ(expected, ReadFile(FilePath()));
    EXPECT_FALSE(reg->IsDirty());
    EXPECT_EQ(std::vector<std::string>{"KxRegistry.xml"}, ListDir(m_dir));

    // A complete file is not rewritten at all.
    ExpectRestartKeepsFile(expected);
}

TEST_F(RegistryFileTest, ReadOnlyStoreAddsNothingToALoadedFile)
{
    WriteFile(FilePath(), ReadFile(DataFile("missing_bootdir.xml")));
    OpenReadOnly();
    LONG rc = 0;
    QueryString(kVersionKey, "BootDir", &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    EXPECT_EQ("Other", QueryString("Ident", "DeviceType"));
}

TEST_F(RegistryFileTest, RelativeDirectoryValuesBecomeAbsoluteInAWriteEnabledStore)
{
    const struct {
        const char* stored;
        bool madeAbsolute;
    } rows[] = {
        {".\\Boot", true},
        {".\\", true},
        {".", false},
        {"Boot", false},
        {"./Boot", false},
    };
    const std::string head = "<KxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\"><Key Name=\"Velmor\">"
                             "<Key Name=\"Korvex3\"><Key Name=\"3.1\"><Value Name=\"BootDir\" Type=\"SZ\">";
    const std::string tail = "</Value></Key></Key></Key></Key></Key></KxRegistry>";
    for (const auto& row : rows) {
        for (bool writeEnable : {false, true}) {
            SCOPED_TRACE(std::string(row.stored) + (writeEnable ? ", write-enabled" : ", read-only"));
            WriteFile(FilePath(), head + row.stored + tail);
            writeEnable ? OpenWritable() : OpenReadOnly();
            const std::string expected =
                (row.madeAbsolute && writeEnable) ? Cwd() + "/" + row.stored : std::string(row.stored);
            EXPECT_EQ(expected, QueryString(kVersionKey, "BootDir"));
            DestroyStore();
        }
    }
}

TEST_F(RegistryFileTest, DwordTextForms)
{
    const struct {
        const char* text;
        DWORD expected;
    } rows[] = {
        {"0x1F", 31},         {"#x1F", 31},        {"0X1F", 0},         {"#X1F", 0},        {"31", 31},
        {"0x1f", 31},         {"4294967295", 0xFFFFFFFFu}, {"0xFFFFFFFF", 0xFFFFFFFFu}, {"", 0},
        {"12abc", 12},
    };
    std::string xml = "<KxRegistry><Key Name=\"HKLM\">";
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
        xml += "<Value Name=\"d" + std::to_string(i) + "\" Type=\"DW\">" + rows[i].text + "</Value>";
    xml += "</Key></KxRegistry>";
    OpenFromXml(xml.c_str());
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
        DWORD value = 0xDEADBEEF, size = 4, type = 0;
        EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(HKEY_LOCAL_MACHINE, ("d" + std::to_string(i)).c_str(), nullptr,
                                                    &type, reinterpret_cast<BYTE*>(&value), &size));
        EXPECT_EQ(rows[i].expected, value) << rows[i].text;
        EXPECT_EQ(REG_DWORD, type);
    }
}

TEST_F(RegistryFileTest, ValuesSurviveASaveInTheirStoredForms)
{
    OpenWritable();
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Round", 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &h, nullptr));
    const DWORD dw = 0x1F;
    const uint64_t qw = 18446744073709551615ull;
    const BYTE bin[] = {0x00, 0xAB, 0x7F, 0xff};
    const char multi[] = "one\0two\0";
    const char text[] = "a<b&c\"d\x01" "e";
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "dw", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), 4));
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "qw", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&qw), 8));
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "bin", 0, REG_BINARY, bin, sizeof(bin)));
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                                              sizeof(multi)));
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                              sizeof(text)));
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(h, "odd", 0, REG_DWORD_BIG_ENDIAN,
                                              reinterpret_cast<const BYTE*>(&dw), 4));
    OsRegCloseKey(h);

    std::string xml;
    ASSERT_TRUE(RegistryGetXml(xml));
    EXPECT_EQ(ReadFile(FilePath()), xml);
    const char* expectedLines[] = {
        "<Value Name=\"dw\" Type=\"DW\">31</Value>",
        "<Value Name=\"qw\" Type=\"QW\">18446744073709551615</Value>",
        "<Value Name=\"bin\" Type=\"BIN\">00AB7FFF</Value>",
        "<Value Name=\"multi\" Type=\"M_SZ\">\n\t\t\t\t\t<MultiSz>\n\t\t\t\t\t\t<Sz>one</Sz>\n"
        "\t\t\t\t\t\t<Sz>two</Sz>\n\t\t\t\t\t</MultiSz>\n\t\t\t\t</Value>",
        // The control character is left out when saving.
        "<Value Name=\"text\" Type=\"SZ\">a&lt;b&amp;c\"de</Value>",
        "<Value Name=\"odd\" Type=\"\" />",
    };
    for (const char* line : expectedLines)
        EXPECT_NE(std::string::npos, xml.find(line)) << line << "\n" << xml;

    // Read back by a fresh read-only store.
    OpenReadOnly();
    ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Round", 0, KEY_READ, &h));
    uint64_t q = 0;
    DWORD size = 8, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(h, "qw", nullptr, &type, reinterpret_cast<BYTE*>(&q), &size));
    EXPECT_EQ(qw, q);
    BYTE b[8] = {};
    size = sizeof(b);
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(h, "bin", nullptr, &type, b, &size));
    EXPECT_EQ(sizeof(bin), size);
    EXPECT_EQ(0, std::memcmp(bin, b, sizeof(bin)));
    char m[32];
    size = sizeof(m);
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(h, "multi", nullptr, &type, reinterpret_cast<BYTE*>(m), &size));
    EXPECT_EQ(std::string(multi, sizeof(multi)), std::string(m, size));
    EXPECT_EQ("a<b&c\"de", QueryString("Software\\Round", "text"));
    OsRegCloseKey(h);
}

TEST_F(RegistryFileTest, DirtyFlagDecidesWhetherAFlushWrites)
{
    CKxXmlRegistry* reg = OpenWritable();
    const ino_t first = InodeOf(FilePath());
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(HKEY_LOCAL_MACHINE));
    OsWriteRegToFile();
    EXPECT_EQ(first, InodeOf(FilePath())) << "a clean store does not rewrite its file";

    const DWORD v = 7;
    ASSERT_EQ(ERROR_SUCCESS,
              OsRegSetValueExA(HKEY_LOCAL_MACHINE, "Seven", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
    EXPECT_TRUE(reg->IsDirty());
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(nullptr));
    EXPECT_FALSE(reg->IsDirty());
    EXPECT_NE(std::string::npos, ReadFile(FilePath()).find("<Value Name=\"Seven\" Type=\"DW\">7</Value>"));

    // Destroying a changed store saves it.
    const DWORD w = 8;
    ASSERT_EQ(ERROR_SUCCESS,
              OsRegSetValueExA(HKEY_LOCAL_MACHINE, "Eight", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&w), 4));
    DestroyStore();
    EXPECT_NE(std::string::npos, ReadFile(FilePath()).find("<Value Name=\"Eight\" Type=\"DW\">8</Value>"));
}

TEST_F(RegistryFileTest, SaveWritesThroughALinkAndKeepsOwnerGroupAndMode)
{
    // The file lives in another folder and the root holds a link to it.
    const std::string real = m_dir + "/real";
    ASSERT_EQ(0, ::mkdir(real.c_str(), 0755));
    WriteFile(real + "/KxRegistry.xml", DefaultDocument(m_dir));
    const bool root = ::geteuid() == 0;
    const uid_t uid = root ? 1234 : ::geteuid();
    const gid_t gid = root ? 5678 : ::getegid();
    ASSERT_EQ(0, ::chown((real + "/KxRegistry.xml").c_str(), uid, gid));
    ASSERT_EQ(0, ::chmod((real + "/KxRegistry.xml").c_str(), 0640));
    ASSERT_EQ(0, ::symlink("real/KxRegistry.xml", FilePath().c_str()));

    OpenWritable();
    const DWORD v = 9;
    ASSERT_EQ(ERROR_SUCCESS,
              OsRegSetValueExA(HKEY_LOCAL_MACHINE, "Nine", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(HKEY_LOCAL_MACHINE));

    struct stat st {};
    ASSERT_EQ(0, ::lstat(FilePath().c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_NE(std::string::npos, ReadFile(real + "/KxRegistry.xml").find("<Value Name=\"Nine\" Type=\"DW\">9</Value>"));
    ASSERT_EQ(0, ::stat(FilePath().c_str(), &st));
    EXPECT_EQ(mode_t(0640), st.st_mode & 07777);
    EXPECT_EQ(uid, st.st_uid);
    EXPECT_EQ(gid, st.st_gid);
    EXPECT_EQ(std::vector<std::string>{"KxRegistry.xml"}, ListDir(real));
}

TEST_F(RegistryFileTest, FailedSaveKeepsTheChangesPending)
{
    ::setenv(KX_REGISTRY_ROOT_ENV, (m_dir + "/missing").c_str(), 1);
    CKxXmlRegistry* reg = OpenWritable();
    ASSERT_NE(nullptr, reg);
    EXPECT_TRUE(reg->IsDirty()) << "the defaults could not be saved";
    std::string xml;
    EXPECT_FALSE(RegistryGetXml(xml));
    EXPECT_TRUE(reg->IsDirty());
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(reg->IsDirty());

    // Once the folder exists the next flush writes everything.
    ASSERT_EQ(0, ::mkdir((m_dir + "/missing").c_str(), 0700));
    EXPECT_EQ(ERROR_SUCCESS, OsRegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(reg->IsDirty());
    EXPECT_EQ(DefaultDocument(m_dir + "/missing"), ReadFile(m_dir + "/missing/KxRegistry.xml"));
    DestroyStore();
    EXPECT_EQ(std::vector<std::string>{"KxRegistry.xml"}, ListDir(m_dir + "/missing"));
}

TEST_F(RegistryFileTest, DocumentWithoutHklmIsKeptButUnusable)
{
    const std::string original = ReadFile(DataFile("no_hklm.xml"));
    for (bool writeEnable : {false, true}) {
        SCOPED_TRACE(writeEnable ? "write-enabled" : "read-only");
        WriteFile(FilePath(), original);
        writeEnable ? OpenWritable() : OpenReadOnly();
        HKEY h = nullptr;
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Ident", 0, KEY_READ, &h));
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &h));
        EXPECT_EQ(original, ReadFile(FilePath()));
        EXPECT_FALSE(FileExists(BakPath()));
        DestroyStore();
    }
}

TEST_F(RegistryFileTest, RootDirectoryAndDriverDirectoryAreFixedAtConstruction)
{
    std::string root;
    ASSERT_TRUE(RegistryGetRootDir(root));
    EXPECT_EQ(m_dir, root);

    const std::string other = m_dir + "/other";
    ASSERT_EQ(0, ::mkdir(other.c_str(), 0700));
    RegistrySetRootDir((other + "//").c_str());
    RegistrySetDefaultDriverAutoLoadDir("/opt/drivers");
    CKxXmlRegistry* reg = OpenWritable();
    ASSERT_TRUE(RegistryGetRootDir(root));
    EXPECT_EQ(other, root);
    EXPECT_EQ(other + "/KxRegistry.xml", reg->Paths().s_szRegistryFile);
    EXPECT_EQ(other + "/KxRegistry.bak", reg->Paths().s_szRegistryBakFile);
    EXPECT_EQ("/opt/drivers/", QueryString(kVersionKey, "DriverAutoLoadDir"));
    EXPECT_TRUE(FileExists(other + "/KxRegistry.xml"));
    EXPECT_FALSE(FileExists(FilePath()));

    // Later settings do not move an existing store.
    RegistrySetRootDir(nullptr);
    ASSERT_TRUE(RegistryGetRootDir(root));
    EXPECT_EQ(other, root);
    DestroyStore();
    ASSERT_TRUE(RegistryGetRootDir(root));
    EXPECT_EQ(m_dir, root);

    // Paths longer than the buffers are cut, never overrun.
    RegistrySetRootDir(("/" + std::string(1100, 'r')).c_str());
    CKxXmlRegistry* longReg = OpenReadOnly();
    EXPECT_EQ(KX_REGISTRY_PATH_SIZE - 1, std::strlen(longReg->Paths().s_szBootDir));
}

TEST_F(RegistryFileTest, PendingTextIsLoadedByOneConstructionOnly)
{
    const char* xml = "<KxRegistry><Key Name=\"HKLM\"><Value Name=\"From\" Type=\"SZ\">text</Value></Key>"
                      "</KxRegistry>";
    DestroyStore();
    EXPECT_EQ(1, RegistryInit(xml));
    EXPECT_EQ(0, RegistryInit("<ignored/>")) << "only the first user hands over a text";
    EXPECT_EQ(0, RegistryInit());
    GetRegistry(false, false);
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(HKEY_LOCAL_MACHINE, "From", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(5u, size);
    RegistryDestroy();
    RegistryDestroy();
    EXPECT_NE(nullptr, GetRegistry(false, false)) << "two users are still counted";
    RegistryDestroy();
    GetRegistry(false, false);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              OsRegQueryValueExA(HKEY_LOCAL_MACHINE, "From", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ("KX/BSD", QueryString("Ident", "DeviceType"));
}

TEST_F(RegistryFileTest, ReInitGivesAWriteEnabledStoreOnTheSavedFile)
{
    OpenReadOnly();
    const DWORD v = 3;
    ASSERT_EQ(ERROR_SUCCESS,
              OsRegSetValueExA(HKEY_LOCAL_MACHINE, "Lost", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
    ASSERT_TRUE(RegistryReInit());
    CKxXmlRegistry* reg = GetRegistry(false, false);
    EXPECT_TRUE(reg->IsWriteEnabled());
    EXPECT_EQ(DefaultDocument(m_dir), ReadFile(FilePath())) << "a read-only store's changes are never saved";
    RegistryEnableWriteAccess();
    EXPECT_EQ(reg, GetRegistry(false, false));
}

TEST_F(RegistryFileTest, ConcurrentCallersAreSerialised)
{
    OpenReadOnly();
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const std::string key = "Software\\T" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                HKEY h = nullptr;
                if (OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                                      nullptr) != ERROR_SUCCESS) {
                    ++failures[t];
                    continue;
                }
                DWORD v = static_cast<DWORD>(i), r = 0, size = 4, type = 0;
                if (OsRegSetValueExA(h, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != ERROR_SUCCESS ||
                    OsRegQueryValueExA(h, "n", nullptr, &type, reinterpret_cast<BYTE*>(&r), &size) !=
                        ERROR_SUCCESS ||
                    r != v)
                    ++failures[t];
                if (OsRegCloseKey(h) != ERROR_SUCCESS)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    DWORD subKeys = 0;
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &h));
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryInfoKeyA(h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(kThreads + 1), subKeys);
}
