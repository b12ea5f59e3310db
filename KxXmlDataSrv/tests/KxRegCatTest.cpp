// CString path readers with separators and fallbacks, and the expansion of %KX_...% placeholders.
#include <string>
#include <vector>

#include "KxRegTestSupport.h"
#include "KxString.h"
#include "OsKxCatReg.h"

using namespace regtest;

namespace {

constexpr const char kBase[] = "Software\\Velmor\\Korvex3";
constexpr const char kVersion[] = "Software\\Velmor\\Korvex3\\3.1";

class KxRegCatTest : public KxRegFixture {};

std::string ReadPath(bool (*reader)(CString&), bool* ok = nullptr)
{
    CString path("untouched");
    const bool result = reader(path);
    if (ok)
        *ok = result;
    return result ? std::string(path.GetString()) : "<failed:" + std::string(path.GetString()) + ">";
}

} // namespace

TEST_F(KxRegCatTest, VersionKeyName)
{
    const struct {
        const char* what;
        std::vector<Entry> entries;
        std::string expected;
    } rows[] = {
        {"version read", {{kBase, "CurrentVersion", "SZ", "3.1"}}, "Software\\Velmor\\Korvex3\\3.1\\Sfx"},
        // Unlike the plain readers the key is not checked for existence.
        {"version key absent", {{kBase, "CurrentVersion", "SZ", "7.7"}}, "Software\\Velmor\\Korvex3\\7.7\\Sfx"},
        {"version value missing", {{kBase, "Other", "SZ", "3.1"}}, "Software\\Velmor\\Korvex3\\Sfx"},
        {"base key missing", {{"Software", "X", "SZ", "y"}}, "Software\\Velmor\\Korvex3\\Sfx"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Load(row.entries);
        EXPECT_EQ(row.expected, std::string(OsKxCatRegCurrentVersionKeyNameA(CString("\\Sfx")).GetString()));
    }
}

TEST_F(KxRegCatTest, ReadersSeparatorsAndFallbacks)
{
    using Reader = bool (*)(CString&);
    const struct {
        const char* what;
        Reader reader;
        std::vector<Entry> entries;
        std::string expected;
    } rows[] = {
        {"target from its own value", OsKxCatRegReadTargetPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "TargetDir", "SZ", "/opt/t"}}, "/opt/t\\"},
        {"target from the install dir", OsKxCatRegReadTargetPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/opt/x/"}}, "/opt/x/Target\\"},
        {"target: nothing to read", OsKxCatRegReadTargetPathA, {{kBase, "CurrentVersion", "SZ", "3.1"}},
         "<failed:untouched>"},
        {"install ends with slash", OsKxCatRegReadInstallPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/i/"}}, "/i/"},
        {"install ends with backslash", OsKxCatRegReadInstallPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "C:\\i\\"}}, "C:\\i\\"},
        {"install has no fallback", OsKxCatRegReadInstallPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "BootDir", "SZ", "/b"}}, "<failed:untouched>"},
        {"boot fallback", OsKxCatRegReadBootPrjPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/i/"}}, "/i/Boot\\"},
        {"config fallback", OsKxCatRegReadConfigPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/i/"}}, "/i/Config\\"},
        {"repository fallback", OsKxCatRegReadRepositoryPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/i/"}}, "/i/Repository\\"},
        {"data has no fallback", OsKxCatRegReadDataPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "InstallDir", "SZ", "/i/"}}, "<failed:untouched>"},
        {"data", OsKxCatRegReadDataPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "DataDir", "SZ", "/d"}}, "/d\\"},
        {"auto-load fallback reads AutoLoad", OsKxCatRegReadDriverAutoLoadPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "AutoLoad", "SZ", "/a/"}}, "/a/AutoLoad\\"},
        {"auto-install keeps a slash and adds a backslash", OsKxCatRegReadDriverAutoInstallPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "DriverAutoInstallDir", "SZ", "/ai/"}}, "/ai/\\"},
        {"auto-install fallback", OsKxCatRegReadDriverAutoInstallPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "AutoInstall", "SZ", "/x/"}}, "/x/AutoInstall\\"},
        {"version value missing: base key", OsKxCatRegReadBootPrjPathA, {{kBase, "BootDir", "SZ", "/base"}},
         "/base\\"},
        {"core dump", OsKxCatRegGetPlc30CoreDumpPathA,
         {{"Software\\Velmor\\Korvex3\\Plc", "CoreDumpDir", "SZ", "/core"}}, "/core\\"},
        {"core dump falls back to the boot path", OsKxCatRegGetPlc30CoreDumpPathA,
         {{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "BootDir", "SZ", "/b\\"}}, "/b\\"},
        {"boot data path from the current system key", OsReadBootDataPathA,
         {{"Software\\Velmor\\Korvex3\\System", "BootDataPath", "SZ", "/bd"},
          {"Software\\Velmor\\Korvex\\System", "BootDataPath", "SZ", "/old"}},
         "/bd"},
        {"boot data path from the older system key", OsReadBootDataPathA,
         {{"Software\\Velmor\\Korvex\\System", "BootDataPath", "SZ", "/old"}}, "/old"},
        {"boot data path missing", OsReadBootDataPathA,
         {{"Software\\Velmor\\Korvex3\\System", "Other", "SZ", "/bd"},
          {"Software\\Velmor\\Korvex\\System", "BootDataPath", "SZ", "/old"}},
         "<failed:untouched>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Load(row.entries);
        EXPECT_EQ(row.expected, ReadPath(row.reader));
    }
}

TEST_F(KxRegCatTest, UserPathsAreReturnedAsStored)
{
    Load({{kBase, "CurrentVersion", "SZ", "3.1"}, {kVersion, "UserPath2", "SZ", "/u2"}});
    CString path("untouched");
    EXPECT_TRUE(OsKxCatRegReadUserPathA(2, path));
    EXPECT_STREQ("/u2", path.GetString());
    CString other("untouched");
    EXPECT_FALSE(OsKxCatRegReadUserPathA(1, other));
    EXPECT_STREQ("untouched", other.GetString());
}

TEST_F(KxRegCatTest, PathsNeverOutgrowThePathBuffer)
{
    const struct {
        const char* what;
        std::vector<Entry> entries;
        bool ok;
    } rows[] = {
        {"1022 characters and the separator", {{kVersion, "TargetDir", "SZ", std::string(1022, 't')}}, true},
        {"1023 characters and the separator", {{kVersion, "TargetDir", "SZ", std::string(1023, 't')}}, false},
        {"1023 characters ending in a slash", {{kVersion, "TargetDir", "SZ", std::string(1022, 't') + "/"}}, true},
        {"fallback suffix past the buffer", {{kVersion, "InstallDir", "SZ", std::string(1020, 'i')}}, false},
        {"fallback suffix that fits", {{kVersion, "InstallDir", "SZ", std::string(1015, 'i')}}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Entry> entries = row.entries;
        entries.push_back({kBase, "CurrentVersion", "SZ", "3.1"});
        Load(entries);
        CString path("untouched");
        EXPECT_EQ(row.ok, OsKxCatRegReadTargetPathA(path));
        if (row.ok) {
            EXPECT_LT(path.GetLength(), 1024);
            EXPECT_EQ('\\' == path[path.GetLength() - 1] || '/' == path[path.GetLength() - 1], true);
        } else {
            EXPECT_STREQ("untouched", path.GetString());
        }
    }
}

TEST_F(KxRegCatTest, PlaceholderExpansion)
{
    Load({{kBase, "CurrentVersion", "SZ", "3.1"},
          {kVersion, "InstallDir", "SZ", "/inst/"},
          {kVersion, "ConfigDir", "SZ", "/cfg"},
          {kVersion, "BootDir", "SZ", "/boot/"},
          {kVersion, "DriverAutoLoadDir", "SZ", "/load"}});
    const struct {
        const char* text;
        const char* expected;
    } rows[] = {
        {"%KX_INSTALLPATH%cfg", "/inst/cfg"},
        {"%KX_CONFIGPATH%a;%KX_CONFIGPATH%b", "/cfg\\a;/cfg\\b"},
        {"%KX_TARGETPATH%x", "/inst/Target\\x"},
        {"%KX_BOOTPRJPATH%", "/boot/"},
        {"%KX_DRIVERAUTOLOADPATH%", "/load\\"},
        {"%KX_DRIVERAUTOINSTALLPATH%", "%KX_DRIVERAUTOINSTALLPATH%"}, // no value: stays
        {"%KX_SYSTEMPATH%", "%KX_SYSTEMPATH%"},
        {"%KX_RESOURCEPATH%|%KX_DRIVERPATH%|%KX_SYSSRVEXEPATH%", "%KX_RESOURCEPATH%|%KX_DRIVERPATH%|%KX_SYSSRVEXEPATH%"},
        {"%kx_installpath%", "%kx_installpath%"},
        {"no placeholder", "no placeholder"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        CString text(row.text);
        OsKxCatExpandEnvironmentStringsA(text);
        EXPECT_STREQ(row.expected, text.GetString());
    }
}

TEST_F(KxRegCatTest, DefaultStoreDirectories)
{
    OpenReadOnly();
    EXPECT_EQ(m_dir + "/", ReadPath(OsKxCatRegReadInstallPathA));
    EXPECT_EQ(m_dir + "/Boot/", ReadPath(OsKxCatRegReadBootPrjPathA));
    EXPECT_EQ(m_dir + "/Config/", ReadPath(OsKxCatRegReadConfigPathA));
    EXPECT_EQ(m_dir + "/Target/", ReadPath(OsKxCatRegReadTargetPathA));
    EXPECT_EQ(m_dir + "/Driver/AutoLoad/", ReadPath(OsKxCatRegReadDriverAutoLoadPathA));
    CString text("%KX_BOOTPRJPATH%Port_851");
    OsKxCatExpandEnvironmentStringsA(text);
    EXPECT_EQ(m_dir + "/Boot/Port_851", std::string(text.GetString()));
}
