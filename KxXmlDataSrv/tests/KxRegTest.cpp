// Readers of the runtime's directories and ids in both registry layouts.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KxReg.h"
#include "KxRegTestSupport.h"

using namespace regtest;

namespace {

// Takes a reader's array and releases it with the readers' own function.
struct PathDeleter {
    void operator()(char* p) const { KxRegPathFree(p); }
};
using Path = std::unique_ptr<char, PathDeleter>;

std::string Read(bool (*reader)(char**), bool* ok = nullptr)
{
    char* out = nullptr;
    const bool result = reader(&out);
    Path holder(out);
    if (ok)
        *ok = result;
    return result && out ? std::string(out) : "<failed>";
}

class KxRegTest : public KxRegFixture {};

} // namespace

TEST_F(KxRegTest, DefaultStoreGivesTheStoredDirectories)
{
    OpenReadOnly();
    EXPECT_EQ(m_dir + "/Boot/", Read(KxRegReadBootPrjPath));
    EXPECT_EQ(m_dir + "/", Read(KxRegReadInstallDir));
    bool ok = true;
    Read(KxRegReadCurrentPrjPath, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ("Software\\Velmor\\Korvex3\\3.1", Read(KxRegCurrentVersionKeyName));
}

TEST_F(KxRegTest, VersionKeySelection)
{
    const struct {
        const char* what;
        std::vector<Entry> entries;
        std::string key;    // "<failed>" when the version key cannot be named
        std::string boot;
    } rows[] = {
        {"version key present",
         {{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "3.1"},
          {"Software\\Velmor\\Korvex3", "BootDir", "SZ", "/base/boot"},
          {"Software\\Velmor\\Korvex3\\3.1", "BootDir", "SZ", "/v31/boot"}},
         "Software\\Velmor\\Korvex3\\3.1",
         "/v31/boot"},
        {"version key missing: base key",
         {{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "9.9"},
          {"Software\\Velmor\\Korvex3", "BootDir", "SZ", "/base/boot"},
          {"Software\\Velmor\\Korvex3\\3.1", "BootDir", "SZ", "/v31/boot"}},
         "Software\\Velmor\\Korvex3",
         "/base/boot"},
        {"version value missing", {{"Software\\Velmor\\Korvex3", "BootDir", "SZ", "/base/boot"}}, "<failed>",
         "<failed>"},
        {"base key missing", {{"Software\\Velmor\\Korvex", "BootPrjPath", "SZ", "/old"}}, "<failed>", "<failed>"},
        {"version cut to nine characters",
         {{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "123456789"},
          {"Software\\Velmor\\Korvex3\\123456789", "BootDir", "SZ", "/nine"}},
         "Software\\Velmor\\Korvex3\\123456789",
         "/nine"},
        {"version longer than the buffer",
         {{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "1234567890"},
          {"Software\\Velmor\\Korvex3\\1234567890", "BootDir", "SZ", "/ten"}},
         "<failed>",
         "<failed>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Load(row.entries);
        EXPECT_EQ(row.key, Read(KxRegCurrentVersionKeyName));
        EXPECT_EQ(row.boot, Read(KxRegReadBootPrjPath));
    }
}

TEST_F(KxRegTest, OlderLayout)
{
    Load({{"Software\\Velmor\\Korvex\\System", "InstallationPath", "SZ", "/old/install"},
          {"Software\\Velmor\\Korvex\\System", "BootPrjPath", "SZ", "/old/boot"},
          {"Software\\Velmor\\Korvex\\System", "InstallDir", "SZ", "/wrong"},
          {"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "3.1"},
          {"Software\\Velmor\\Korvex3\\3.1", "InstallDir", "SZ", "/new/install"},
          {"Software\\Velmor\\Korvex3\\3.1", "UserPath2", "SZ", "/new/user2"}});
    EXPECT_EQ("/new/install", Read(KxRegReadInstallDir));
    KxRegSetKorvex3Runtime(false);
    EXPECT_FALSE(KxRegIsKorvex3Runtime());
    EXPECT_EQ("/old/install", Read(KxRegReadInstallDir));
    EXPECT_EQ("/old/boot", Read(KxRegReadBootPrjPath));
    EXPECT_EQ("Software\\Velmor\\Korvex", Read(KxRegCurrentVersionKeyName));
    EXPECT_STREQ("Software\\Velmor\\Korvex", KxRegGetKorvexRegKey());
    EXPECT_STREQ("Software\\Velmor\\Korvex\\Remote", KxRegGetKorvexRegKeyRemote());
    EXPECT_STREQ("Software\\Velmor\\Korvex\\System", KxRegGetKorvexRegKeySystem());
    EXPECT_STREQ("BootPrjPath", _KxRegGetKorvexBootPrjPath());
    EXPECT_STREQ("InstallationPath", _KxRegGetKorvexInstallDir());
    // User paths always come from the version key name of the selected layout.
    char* out = nullptr;
    EXPECT_FALSE(KxRegReadUserPath(2, &out));
    EXPECT_EQ(nullptr, out);

    KxRegSetKorvex3Runtime(true);
    EXPECT_STREQ("Software\\Velmor\\Korvex3", KxRegKorvexRegKey());
    EXPECT_STREQ("Software\\Velmor\\Korvex3\\Remote", KxRegGetKorvexRegKeyRemote());
    EXPECT_STREQ("BootDir", _KxRegGetKorvexBootPrjPath());
    EXPECT_STREQ("InstallDir", _KxRegGetKorvexInstallDir());
    ASSERT_TRUE(KxRegReadUserPath(2, &out));
    Path holder(out);
    EXPECT_STREQ("/new/user2", out);
}

TEST_F(KxRegTest, UserPaths)
{
    Load({{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "3.1"},
          {"Software\\Velmor\\Korvex3\\3.1", "UserPath0", "SZ", "/u0"},
          {"Software\\Velmor\\Korvex3\\3.1", "UserPath2", "SZ", "/u2"},
          {"Software\\Velmor\\Korvex3\\3.1", "UserPath4294967295", "SZ", "/umax"}});
    const struct {
        uint32_t n;
        const char* expected; // null: fails
    } rows[] = {{0, "/u0"}, {1, nullptr}, {2, "/u2"}, {3, nullptr}, {4294967295u, "/umax"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.n);
        char marker = 'm';
        char* sentinel = &marker;
        char* out = sentinel;
        const bool ok = KxRegReadUserPath(row.n, &out);
        EXPECT_EQ(row.expected != nullptr, ok);
        if (ok) {
            Path holder(out);
            EXPECT_STREQ(row.expected, out);
        } else {
            EXPECT_EQ(sentinel, out) << "out is not touched on failure";
        }
    }
}

TEST_F(KxRegTest, ValueLengthLimit)
{
    const struct {
        size_t length;
        bool readable;
    } rows[] = {{0, true}, {1022, true}, {1023, true}, {1024, false}, {5000, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        const std::string text(row.length, 'p');
        Load({{"Software\\Velmor\\Korvex3", "CurrentVersion", "SZ", "3.1"},
              {"Software\\Velmor\\Korvex3\\3.1", "BootDir", "SZ", text}});
        bool ok = false;
        const std::string read = Read(KxRegReadBootPrjPath, &ok);
        EXPECT_EQ(row.readable, ok);
        if (row.readable) {
            EXPECT_EQ(text, read);
        }
    }
}

TEST_F(KxRegTest, LocalMachineId)
{
    const struct {
        const char* what;
        std::vector<Entry> entries;
        bool ok;
        const char* id;
    } rows[] = {
        {"six bytes", {{"Software\\Velmor\\Korvex3\\System", "HopNetId", "BIN", "C0A80A0B0101"}}, true,
         "192.168.10.11.1.1"},
        {"lower case", {{"Software\\Velmor\\Korvex3\\System", "HopNetId", "BIN", "0a0b0c0d0e0f"}}, true,
         "10.11.12.13.14.15"},
        {"too short", {{"Software\\Velmor\\Korvex3\\System", "HopNetId", "BIN", "01020304"}}, false, nullptr},
        {"too long", {{"Software\\Velmor\\Korvex3\\System", "HopNetId", "BIN", "01020304050607"}}, false, nullptr},
        {"missing", {{"Software\\Velmor\\Korvex3\\System", "Other", "BIN", "010203040506"}}, false, nullptr},
        {"no system key", {{"Software\\Velmor\\Korvex3", "HopNetId", "BIN", "010203040506"}}, false, nullptr},
        {"other layout only", {{"Software\\Velmor\\Korvex\\System", "HopNetId", "BIN", "010203040506"}}, false,
         nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Load(row.entries);
        HopNetId id;
        id.b[0] = 0xEE;
        EXPECT_EQ(row.ok, KxRegReadLocalMachineId(id));
        if (row.ok) {
            EXPECT_EQ(row.id, id.ToString());
        } else {
            EXPECT_EQ(0xEE, id.b[0]) << "the id is untouched on failure";
        }
    }

    // The older layout reads its own System key.
    Load({{"Software\\Velmor\\Korvex\\System", "HopNetId", "BIN", "050403020100"}});
    KxRegSetKorvex3Runtime(false);
    HopNetId id;
    ASSERT_TRUE(KxRegReadLocalMachineId(id));
    EXPECT_EQ("5.4.3.2.1.0", id.ToString());
}

TEST_F(KxRegTest, Win32RuntimeProbe)
{
    const struct {
        const char* what;
        std::vector<Entry> entries;
        bool startKorvex3;
        bool result;
        bool korvex3After;
    } rows[] = {
        {"current layout", {{"Software\\Velmor\\Korvex3\\System", "KxFexWin32", "DW", "1"}}, false, true, true},
        {"older layout", {{"Software\\Velmor\\Korvex\\System", "KxFexWin32", "DW", "1"}}, true, true, false},
        {"zero in both",
         {{"Software\\Velmor\\Korvex3\\System", "KxFexWin32", "DW", "0"},
          {"Software\\Velmor\\Korvex\\System", "KxFexWin32", "DW", "0"}},
         false, false, false},
        {"zero in current, set in older",
         {{"Software\\Velmor\\Korvex3\\System", "KxFexWin32", "DW", "0"},
          {"Software\\Velmor\\Korvex\\System", "KxFexWin32", "DW", "2"}},
         true, true, false},
        {"missing", {{"Software\\Velmor\\Korvex3\\System", "Other", "DW", "1"}}, true, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Load(row.entries);
        KxRegSetKorvex3Runtime(row.startKorvex3);
        EXPECT_EQ(row.result, KxRegIsWin32Runtime());
        EXPECT_EQ(row.korvex3After, KxRegIsKorvex3Runtime());
    }
}

TEST_F(KxRegTest, FormattedPrint)
{
    char buffer[8];
    EXPECT_EQ(6, _sntprintf(buffer, sizeof(buffer), "%s-%d", "ab", 123));
    EXPECT_STREQ("ab-123", buffer);
    EXPECT_EQ(7, _sntprintf(buffer, sizeof(buffer), "%07d", 5));
    EXPECT_EQ(-1, _sntprintf(buffer, sizeof(buffer), "%08d", 5));
    EXPECT_EQ('\0', buffer[7]) << "a cut text is still terminated";
    EXPECT_EQ(-1, _sntprintf(buffer, 0, "x"));
}
