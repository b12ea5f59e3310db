// Registry operations: handles, the key walk, value reads and writes, enumeration, deletion and result codes.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"

using namespace regtest;

namespace {

const char kDocument[] =
    "<KxRegistry>"
    " <Key Name=\"HKLM\">"
    "  <Key Name=\"Software\">"
    "   <Key Name=\"Velmor\">"
    "    <Value Name=\"Sz\" Type=\"SZ\">hello</Value>"
    "    <Value Name=\"Dw\" Type=\"DW\">305419896</Value>"
    "    <Value Name=\"Qw\" Type=\"QW\">1234605616436508552</Value>"
    "    <Value Name=\"Bin\" Type=\"BIN\">0a1B</Value>"
    "    <Value Name=\"Odd\" Type=\"BIN\">0A1</Value>"
    "    <Value Name=\"BadHex\" Type=\"BIN\">0Z12</Value>"
    "    <Value Name=\"Multi\" Type=\"M_SZ\"><MultiSz><Sz>a</Sz><Sz>bc</Sz></MultiSz></Value>"
    "    <Value Name=\"EmptyMulti\" Type=\"M_SZ\"/>"
    "    <Value Name=\"NoType\">x</Value>"
    "    <Value Name=\"Lower\" Type=\"dw\">5</Value>"
    "    <Value Type=\"SZ\">nameless value</Value>"
    "    <Value Name=\"Exp\" Type=\"E_SZ\">%PATH%</Value>"
    "    <Key Name=\"Child\"><Key Name=\"Grandchild\"/></Key>"
    "    <Key Name=\"Leaf\"/>"
    "   </Key>"
    "  </Key>"
    " </Key>"
    "</KxRegistry>";

constexpr BYTE kPoison = 0xCC;

class RegistryOpsTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        m_reg = OpenFromXml(kDocument);
        ASSERT_NE(nullptr, m_reg);
        ASSERT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Velmor", 0, KEY_READ, &m_key));
    }

    HKEY Open(const char* path)
    {
        HKEY h = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h)) << path;
        return h;
    }

    std::string EnumKeyName(HKEY h, DWORD index)
    {
        char name[64];
        DWORD cch = sizeof(name);
        LONG rc = OsRegEnumKeyExA(h, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : "<" + std::to_string(rc) + ">";
    }

    CKxXmlRegistry* m_reg = nullptr;
    HKEY m_key = nullptr;
};

struct QueryRow {
    const char* name;
    DWORD bufferSize; // ~0u: no data buffer
    LONG rc;
    DWORD size;
    DWORD type;
    std::string bytes; // exactly what lands in the buffer; the rest keeps the poison
};

} // namespace

TEST_F(RegistryOpsTest, QueryValueSizesTypesAndBytes)
{
    const QueryRow rows[] = {
        {"Sz", 6, ERROR_SUCCESS, 6, REG_SZ, std::string("hello\0", 6)},
        {"sZ", 64, ERROR_SUCCESS, 6, REG_SZ, std::string("hello\0", 6)},
        {"Sz", 5, ERROR_MORE_DATA, 6, REG_SZ, ""},
        {"Sz", ~0u, ERROR_SUCCESS, 6, REG_SZ, ""},
        {"Exp", 16, ERROR_SUCCESS, 7, REG_EXPAND_SZ, std::string("%PATH%\0", 7)},
        {"Dw", 3, ERROR_MORE_DATA, 4, REG_DWORD, ""},
        {"Dw", 4, ERROR_SUCCESS, 4, REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"Qw", 7, ERROR_MORE_DATA, 8, REG_QWORD, ""},
        {"Qw", 8, ERROR_SUCCESS, 8, REG_QWORD, std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8)},
        {"Bin", 2, ERROR_SUCCESS, 2, REG_BINARY, std::string("\x0A\x1B", 2)},
        {"Bin", 1, ERROR_MORE_DATA, 2, REG_BINARY, ""},
        {"Odd", 4, ERROR_SUCCESS, 1, REG_BINARY, std::string("\x0A", 1)},
        {"BadHex", 4, ERROR_SUCCESS, 2, REG_BINARY, ""},
        {"Multi", 6, ERROR_SUCCESS, 6, REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"Multi", 5, ERROR_MORE_DATA, 6, REG_MULTI_SZ, std::string("a\0", 2)},
        {"Multi", 2, ERROR_MORE_DATA, 6, REG_MULTI_SZ, ""},
        {"Multi", ~0u, ERROR_SUCCESS, 6, REG_MULTI_SZ, ""},
        {"EmptyMulti", 2, ERROR_SUCCESS, 2, REG_MULTI_SZ, std::string("\0\0", 2)},
        {"EmptyMulti", 1, ERROR_MORE_DATA, 2, REG_MULTI_SZ, ""},
        {"NoType", 8, ERROR_ACCESS_DENIED, 0, REG_NONE, ""},
        {"Lower", 8, ERROR_ACCESS_DENIED, 0, REG_NONE, ""},
    };
    // Each row also runs with one variable for both the type and the size: the size is checked first and
    // the type is stored last, so the answer and the bytes are the same and the variable ends up holding the type.
    for (const QueryRow& row : rows) {
        for (bool shared : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + " with " + std::to_string(static_cast<int>(row.bufferSize)) +
                         (shared ? ", type and size in one variable" : ""));
            std::vector<BYTE> buffer(64, kPoison);
            DWORD size = row.bufferSize == ~0u ? 0 : row.bufferSize;
            DWORD type = 0xFFFF;
            DWORD* pType = shared ? &size : &type;
            LONG rc = OsRegQueryValueExA(m_key, row.name, nullptr, pType,
                                         row.bufferSize == ~0u ? nullptr : buffer.data(), &size);
            EXPECT_EQ(row.rc, rc);
            if (!shared) {
                EXPECT_EQ(row.size, size);
            }
            EXPECT_EQ(row.type, *pType);
            EXPECT_EQ(row.bytes, std::string(reinterpret_cast<char*>(buffer.data()), row.bytes.size()));
            for (size_t i = row.bytes.size(); i < buffer.size(); ++i)
                ASSERT_EQ(kPoison, buffer[i]) << "byte " << i << " was written";
        }
    }
}

TEST_F(RegistryOpsTest, QueryValueArgumentAndLookupErrors)
{
    BYTE buffer[8];
    DWORD size = sizeof(buffer), type = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegQueryValueExA(m_key, nullptr, nullptr, &type, buffer, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegQueryValueExA(m_key, "Sz", nullptr, &type, buffer, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegQueryValueExA(m_key, "Missing", nullptr, &type, buffer, &size));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegQueryValueExA(reinterpret_cast<HKEY>(uintptr_t{999}), "Sz", nullptr, &type,
                                                  buffer, &size));
    // Without a size only the type is reported, even for an unreadable value.
    type = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(m_key, "Dw", nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(m_key, "NoType", nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(REG_NONE, type);
}

TEST_F(RegistryOpsTest, MultiStringLayouts)
{
    const struct {
        const char* what;
        std::string input;
        LONG rc;
        std::string readBack; // empty: the old value must be unchanged
    } rows[] = {
        {"two strings", std::string("a\0b\0\0", 5), ERROR_SUCCESS, std::string("a\0b\0\0", 5)},
        {"single NUL", std::string("\0", 1), ERROR_SUCCESS, std::string("\0\0", 2)},
        {"double NUL", std::string("\0\0", 2), ERROR_SUCCESS, std::string("\0\0", 2)},
        {"list ends at second-to-last byte", std::string("ab\0x", 4), ERROR_SUCCESS, std::string("ab\0\0", 4)},
        {"empty string ends the list", std::string("a\0\0b\0\0", 6), ERROR_SUCCESS, std::string("a\0\0\0", 4)},
        {"unterminated", std::string("ab", 2), ERROR_INVALID_PARAMETER, ""},
        {"NUL only in the last byte", std::string("a\0", 2), ERROR_INVALID_PARAMETER, ""},
        {"second string unterminated", std::string("a\0bc", 4), ERROR_INVALID_PARAMETER, ""},
        {"no bytes", std::string(), ERROR_INVALID_PARAMETER, ""},
        {"single non-NUL", std::string("x", 1), ERROR_INVALID_PARAMETER, ""},
    };
    const std::string old("a\0bc\0\0", 6);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_reg = OpenFromXml(kDocument);
        m_key = Open("Software\\Velmor");
        const std::string input = row.input.empty() ? std::string("?") : row.input;
        EXPECT_EQ(row.rc, OsRegSetValueExA(m_key, "Multi", 0, REG_MULTI_SZ,
                                           reinterpret_cast<const BYTE*>(input.data()),
                                           static_cast<DWORD>(row.input.size())));
        EXPECT_EQ(row.rc == ERROR_SUCCESS, m_reg->IsDirty());
        char buffer[32];
        DWORD size = sizeof(buffer), type = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  OsRegQueryValueExA(m_key, "Multi", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
        EXPECT_EQ(REG_MULTI_SZ, type);
        EXPECT_EQ(row.readBack.empty() ? old : row.readBack, std::string(buffer, size));
    }

    // Storing the same strings again is no change; a rejected list does not create a value either.
    m_reg = OpenFromXml(kDocument);
    m_key = Open("Software\\Velmor");
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(m_key, "Multi", 0, REG_MULTI_SZ,
                                              reinterpret_cast<const BYTE*>(old.data()), 6));
    EXPECT_FALSE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              OsRegSetValueExA(m_key, "NewMulti", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("ab"), 2));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegQueryValueExA(m_key, "NewMulti", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryOpsTest, SetValueResultCodesAndDirtyFlag)
{
    const char hello[] = "hello";
    const BYTE* data = reinterpret_cast<const BYTE*>(hello);
    const HKEY unknown = reinterpret_cast<HKEY>(uintptr_t{999});
    // Arguments first, then the handle, then a value without a type; the content is checked last.
    const struct {
        HKEY key;
        const char* name;
        DWORD type;
        const BYTE* data;
        DWORD cbData;
        LONG rc;
    } failures[] = {
        {m_key, nullptr, REG_SZ, data, 6, ERROR_INVALID_PARAMETER},
        {unknown, nullptr, REG_SZ, data, 6, ERROR_INVALID_PARAMETER},
        {m_key, "Sz", REG_SZ, nullptr, 0, ERROR_INVALID_PARAMETER},
        {m_key, "Dw", REG_DWORD, data, 3, ERROR_INVALID_PARAMETER}, // never read past the caller's bytes
        {m_key, "Qw", REG_QWORD, data, 7, ERROR_INVALID_PARAMETER},
        {m_key, "New", REG_MULTI_SZ, data, 2, ERROR_INVALID_PARAMETER}, // unterminated list
        {unknown, "Sz", REG_SZ, data, 6, ERROR_NOT_FOUND},
        {unknown, "Dw", REG_DWORD, data, 3, ERROR_NOT_FOUND},
        {unknown, "Qw", REG_QWORD, data, 7, ERROR_NOT_FOUND},
        {unknown, "New", REG_MULTI_SZ, data, 2, ERROR_NOT_FOUND},
        {m_key, "NoType", REG_SZ, data, 6, ERROR_FILE_NOT_FOUND},
        {m_key, "NoType", REG_DWORD, data, 3, ERROR_FILE_NOT_FOUND},
        {m_key, "NoType", REG_QWORD, data, 7, ERROR_FILE_NOT_FOUND},
        {m_key, "NoType", REG_MULTI_SZ, data, 2, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& f : failures) {
        EXPECT_EQ(f.rc, OsRegSetValueExA(f.key, f.name, 0, f.type, f.data, f.cbData))
            << (f.key == unknown ? "unknown handle, " : "") << (f.name ? f.name : "no name") << " as " << f.type
            << " with " << f.cbData << " bytes";
    }
    EXPECT_FALSE(m_reg->IsDirty()) << "failed writes change nothing";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegQueryValueExA(m_key, "New", nullptr, nullptr, nullptr, nullptr));

    // The same text with its NUL counted is no change; without the NUL it is rewritten.
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(m_key, "Sz", 0, REG_SZ, data, 6));
    EXPECT_FALSE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(m_key, "Sz", 0, REG_SZ, data, 5));
    EXPECT_TRUE(m_reg->IsDirty());
    EXPECT_EQ("hello", QueryString("Software\\Velmor", "Sz"));

    // Same number, same bytes, same type: no change. A new type name or a new text is a change.
    const struct {
        const char* name;
        DWORD type;
        std::string bytes;
        bool changes;
        DWORD typeAfter;
        const char* textAfter; // null: not a text value
    } rows[] = {
        {"Dw", REG_DWORD, std::string("\x78\x56\x34\x12", 4), false, REG_DWORD, nullptr},
        {"Qw", REG_QWORD, std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8), false, REG_QWORD, nullptr},
        {"Bin", REG_BINARY, std::string("\x0A\x1B", 2), true, REG_BINARY, nullptr}, // stored "0a1B", now "0A1B"
        {"Odd", REG_BINARY, std::string("\x0A", 1), true, REG_BINARY, nullptr},      // "0A1" becomes "0A"
        {"Dw", REG_QWORD, std::string("\x78\x56\x34\x12\0\0\0\0", 8), true, REG_QWORD, nullptr},
        {"Sz", REG_SZ, std::string("hel\0lo", 6), true, REG_SZ, "hel"},
        {"Sz", REG_EXPAND_SZ, std::string("hello\0", 6), true, REG_EXPAND_SZ, "hello"},
        {"Exp", REG_LINK, std::string("xx", 2), true, REG_NONE, nullptr},
        {"New", REG_SZ, std::string("", 0), true, REG_SZ, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " as " + std::to_string(row.type));
        m_reg = OpenFromXml(kDocument);
        m_key = Open("Software\\Velmor");
        EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(m_key, row.name, 0, row.type,
                                                  reinterpret_cast<const BYTE*>(row.bytes.c_str()),
                                                  static_cast<DWORD>(row.bytes.size())));
        EXPECT_EQ(row.changes, m_reg->IsDirty());
        DWORD type = 0;
        EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExA(m_key, row.name, nullptr, &type, nullptr, nullptr));
        EXPECT_EQ(row.typeAfter, type);
        if (row.textAfter) {
            EXPECT_EQ(row.textAfter, QueryString("Software\\Velmor", row.name));
        }
    }

    // A value whose type has no name keeps its text; setting that type again changes nothing.
    m_reg = OpenFromXml("<KxRegistry><Key Name=\"HKLM\"><Value Name=\"U\" Type=\"\">t</Value></Key></KxRegistry>");
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(HKEY_LOCAL_MACHINE, "U", 0, 9, reinterpret_cast<const BYTE*>("zz"), 2));
    EXPECT_FALSE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_SUCCESS, OsRegSetValueExA(HKEY_LOCAL_MACHINE, "U", 0, REG_SZ, reinterpret_cast<const BYTE*>("t"), 2));
    EXPECT_TRUE(m_reg->IsDirty());
    char text[4] = {};
    DWORD size = sizeof(text);
    EXPECT_EQ(ERROR_SUCCESS,
              OsRegQueryValueExA(HKEY_LOCAL_MACHINE, "U", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
    EXPECT_STREQ("t", text);
}

TEST_F(RegistryOpsTest, NewValuesGoBeforeTheFirstSubkey)
{
    m_reg = OpenFromXml("<KxRegistry><Key Name=\"HKLM\"><Value Name=\"A\" Type=\"SZ\">a</Value><Key Name=\"K\"/>"
                        "<Value Name=\"B\" Type=\"SZ\">b</Value></Key></KxRegistry>",
                        true);
    ASSERT_EQ(ERROR_SUCCESS, OsRegSetValueExA(HKEY_LOCAL_MACHINE, "C", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>("c"), 2));
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "Z", 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr));
    std::string xml;
    ASSERT_TRUE(RegistryGetXml(xml));
    const size_t a = xml.find("Name=\"A\""), c = xml.find("Name=\"C\""), k = xml.find("Name=\"K\""),
                 b = xml.find("Name=\"B\""), z = xml.find("Name=\"Z\"");
    ASSERT_NE(std::string::npos, z);
    EXPECT_LT(a, c);
    EXPECT_LT(c, k);
    EXPECT_LT(k, b);
    EXPECT_LT(b, z) << "a new key is appended as the last child";
}

TEST_F(RegistryOpsTest, KeyWalkAndCreation)
{
    // Empty components end the walk.
    HKEY h = Open("Software\\\\Velmor");
    EXPECT_EQ("Velmor", EnumKeyName(h, 0));
    h = Open("Software\\");
    EXPECT_EQ("Velmor", EnumKeyName(h, 0));
    h = Open("SOFTWARE\\velmor\\CHILD");
    EXPECT_EQ("Grandchild", EnumKeyName(h, 0));

    HKEY r = nullptr;
    const struct {
        const char* subKey;
        HKEY* result;
        LONG openRc;
    } rows[] = {
        {"", &r, ERROR_INVALID_PARAMETER},
        {nullptr, &r, ERROR_INVALID_PARAMETER},
        {"\\Software", &r, ERROR_INVALID_PARAMETER},
        {"Software", nullptr, ERROR_INVALID_PARAMETER},
        {"Software\\Missing", &r, ERROR_FILE_NOT_FOUND},
        {"Software\\Missing\\Deeper", &r, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.subKey ? row.subKey : "(null)");
        EXPECT_EQ(row.openRc, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, row.subKey, 0, KEY_READ, row.result));
        if (row.openRc == ERROR_INVALID_PARAMETER) {
            EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, row.subKey, 0, nullptr, 0,
                                                                 KEY_WRITE, nullptr, row.result, nullptr));
        }
    }
    EXPECT_FALSE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_NOT_FOUND,
              OsRegOpenKeyExA(reinterpret_cast<HKEY>(uintptr_t{12345}), "Software", 0, KEY_READ, &r));

    // Opening an existing path creates nothing.
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\VELMOR", 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &r, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_FALSE(m_reg->IsDirty());

    // Missing components are created with their letter case kept.
    ASSERT_EQ(ERROR_SUCCESS, OsRegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep", 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &r, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    EXPECT_TRUE(m_reg->IsDirty());
    h = Open("Software");
    EXPECT_EQ("Velmor", EnumKeyName(h, 0));
    EXPECT_EQ("New", EnumKeyName(h, 1));
    EXPECT_EQ("Deep", EnumKeyName(Open("software\\new"), 0));

    // Hives are not created by opens.
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 &r, &disposition));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegOpenKeyExA(HKEY_USERS, "Software", 0, KEY_READ, &r));
}

TEST_F(RegistryOpsTest, HiveNamesMatchInAnyCase)
{
    for (const char* hive : {"hklm", "HkLm", "HKLM"}) {
        SCOPED_TRACE(hive);
        const std::string xml = std::string("<KxRegistry><Key Name=\"") + hive +
                                "\"><Key Name=\"Software\"><Value Name=\"v\" Type=\"SZ\">found</Value></Key></Key>"
                                "<Key Name=\"hkcu\"><Value Name=\"u\" Type=\"DW\">9</Value></Key></KxRegistry>";
        OpenFromXml(xml.c_str());
        EXPECT_EQ("found", QueryString("sOFTWARE", "V"));
        DWORD v = 0, size = 4;
        EXPECT_EQ(ERROR_SUCCESS,
                  OsRegQueryValueExA(HKEY_CURRENT_USER, "U", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size));
        EXPECT_EQ(9u, v);
    }
}

TEST_F(RegistryOpsTest, HandleNumbersAreIssuedInSequenceAndReusedAfterTheWrap)
{
    // The fixture opened handle 1.
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{1}), m_key);
    HKEY h2 = Open("Software");
    HKEY h3 = Open("Software");
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{2}), h2);
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{3}), h3);
    ASSERT_EQ(ERROR_SUCCESS, OsRegCloseKey(h2));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegCloseKey(h2));
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{4}), Open("Software")) << "a closed number waits for the wrap";

    // A failed open still uses up its number.
    HKEY r = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_READ, &r));
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{6}), Open("Software"));

    m_reg->SetLastKeyNumber(0x7FFFFFFE);
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{0x7FFFFFFF}), Open("Software"));
    // After the wrap 1 is still open, 2 is free again.
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{2}), Open("Software"));
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{5}), Open("Software"));
    EXPECT_EQ(reinterpret_cast<HKEY>(uintptr_t{7}), Open("Software"));

    // Predefined handles sort above every issued number and are never handed out.
    uintptr_t number = 0;
    m_reg->SetLastKeyNumber(0x7FFFFFFF);
    ASSERT_TRUE(m_reg->FindUnusedKey(number));
    EXPECT_EQ(8u, number);
    EXPECT_GT(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT), uintptr_t{0x7FFFFFFF});
}

TEST_F(RegistryOpsTest, ClosingAHiveHandleCutsOffTheHive)
{
    EXPECT_EQ(ERROR_SUCCESS, OsRegCloseKey(HKEY_LOCAL_MACHINE));
    HKEY r = nullptr;
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &r));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegCloseKey(HKEY_LOCAL_MACHINE));
    // Handles opened before keep working.
    EXPECT_EQ("Child", EnumKeyName(m_key, 0));
    // Setting the document up again brings the hive back and forgets the old handles.
    m_reg->InitKeyMap();
    EXPECT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &r));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegCloseKey(m_key));
}

TEST_F(RegistryOpsTest, EnumKeyResultCodes)
{
    char name[16];
    char cls[4];
    FILETIME ft{0xFFFFFFFF, 0xFFFFFFFF};
    DWORD cch = sizeof(name), cchClass = sizeof(cls);
    EXPECT_EQ(ERROR_SUCCESS, OsRegEnumKeyExA(m_key, 1, name, &cch, nullptr, cls, &cchClass, &ft));
    EXPECT_STREQ("Leaf", name);
    EXPECT_EQ(4u, cch);
    EXPECT_STREQ("", cls);
    EXPECT_EQ(0u, cchClass);
    EXPECT_EQ(0u, ft.dwLowDateTime | ft.dwHighDateTime);

    const struct {
        const char* what;
        DWORD index;
        bool nameBuffer;
        DWORD cchName;
        bool classBuffer;
        DWORD cchClass; // ~0u: no class size
        LONG rc;
        DWORD cchAfter;
        const char* nameAfter; // null: buffer untouched
    } rows[] = {
        {"exact fit", 0, true, 6, false, ~0u, ERROR_SUCCESS, 5, "Child"},
        {"one short", 0, true, 5, false, ~0u, ERROR_MORE_DATA, 5, nullptr},
        {"past the end", 2, true, 16, false, ~0u, ERROR_NO_MORE_ITEMS, 16, nullptr},
        {"no name buffer", 0, false, 16, false, ~0u, ERROR_INVALID_PARAMETER, 16, nullptr},
        {"zero size", 0, true, 0, false, ~0u, ERROR_INVALID_PARAMETER, 0, nullptr},
        {"class without size", 0, true, 16, true, ~0u, ERROR_INVALID_PARAMETER, 16, nullptr},
        {"class size zero", 0, true, 16, true, 0, ERROR_MORE_DATA, 5, "Child"},
        {"class size without buffer", 0, true, 16, false, 8, ERROR_SUCCESS, 5, "Child"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        char nameBuffer[16];
        std::memset(nameBuffer, '#', sizeof(nameBuffer));
        char classBuffer[4] = {'#', '#', '#', '#'};
        DWORD cchName = row.cchName;
        DWORD cchClassValue = row.cchClass;
        LONG rc = OsRegEnumKeyExA(m_key, row.index, row.nameBuffer ? nameBuffer : nullptr, &cchName, nullptr,
                                  row.classBuffer ? classBuffer : nullptr,
                                  row.cchClass == ~0u ? nullptr : &cchClassValue, nullptr);
        EXPECT_EQ(row.rc, rc);
        EXPECT_EQ(row.cchAfter, cchName);
        if (row.nameAfter) {
            EXPECT_STREQ(row.nameAfter, nameBuffer);
        } else {
            EXPECT_EQ('#', nameBuffer[0]);
        }
        if (row.cchClass != ~0u && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) {
            EXPECT_EQ(0u, cchClassValue);
        }
    }
    cch = sizeof(name);
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegEnumKeyExA(reinterpret_cast<HKEY>(uintptr_t{999}), 0, name, &cch, nullptr,
                                               nullptr, nullptr, nullptr));
}

TEST_F(RegistryOpsTest, EnumValueSkipsNamelessValues)
{
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[32];
        DWORD cch = sizeof(name);
        LONG rc = OsRegEnumValueA(m_key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(ERROR_SUCCESS, rc);
        EXPECT_EQ(std::strlen(name), cch);
        names.push_back(name);
    }
    const std::vector<std::string> expected = {"Sz",    "Dw",         "Qw",     "Bin",   "Odd", "BadHex",
                                               "Multi", "EmptyMulti", "NoType", "Lower", "Exp"};
    EXPECT_EQ(expected, names);

    // The data comes from the value read; the name is still copied when the data cannot be read.
    char name[32];
    BYTE data[8];
    DWORD cch = sizeof(name), size = sizeof(data), type = 0;
    EXPECT_EQ(ERROR_SUCCESS, OsRegEnumValueA(m_key, 1, name, &cch, nullptr, &type, data, &size));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0x12345678u, data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
    cch = sizeof(name);
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, OsRegEnumValueA(m_key, 0, name, &cch, nullptr, &type, data, &size));
    EXPECT_STREQ("Sz", name);
    EXPECT_EQ(6u, size);
    cch = sizeof(name);
    size = sizeof(data);
    EXPECT_EQ(ERROR_ACCESS_DENIED, OsRegEnumValueA(m_key, 8, name, &cch, nullptr, &type, data, &size));
    EXPECT_STREQ("NoType", name);

    // Name too long: its length and 234, the data is not read.
    cch = 6;
    size = sizeof(data);
    type = 77;
    std::memset(name, '#', sizeof(name));
    EXPECT_EQ(ERROR_MORE_DATA, OsRegEnumValueA(m_key, 5, name, &cch, nullptr, &type, data, &size));
    EXPECT_EQ(6u, cch);
    EXPECT_EQ(77u, type);
    EXPECT_EQ('#', name[0]);

    cch = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegEnumValueA(m_key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    cch = sizeof(name);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegEnumValueA(m_key, 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegEnumValueA(m_key, 0, name, &cch, nullptr, nullptr, data, nullptr));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegEnumValueA(reinterpret_cast<HKEY>(uintptr_t{999}), 0, name, &cch, nullptr,
                                               nullptr, nullptr, nullptr));
}

TEST_F(RegistryOpsTest, QueryInfoCountsAndLengths)
{
    DWORD subKeys = 99, maxSubKeyLen = 99, maxClassLen = 99, values = 99, maxNameLen = 99, maxValueLen = 99,
          security = 99;
    FILETIME ft{1, 1};
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &subKeys, &maxSubKeyLen,
                                                &maxClassLen, &values, &maxNameLen, &maxValueLen, &security, &ft));
    EXPECT_EQ(2u, subKeys);
    EXPECT_EQ(5u, maxSubKeyLen);          // "Child"
    EXPECT_EQ(0u, maxClassLen);
    EXPECT_EQ(12u, values);               // the nameless value counts here
    EXPECT_EQ(10u, maxNameLen);           // "EmptyMulti"
    EXPECT_EQ(15u, maxValueLen);          // "nameless value" and its NUL
    EXPECT_EQ(0u, security);
    EXPECT_EQ(0u, ft.dwLowDateTime | ft.dwHighDateTime);

    const struct {
        const char* what;
        bool classBuffer;
        DWORD cchClass; // ~0u: no size
        LONG rc;
    } rows[] = {
        {"class buffer", true, 4, ERROR_SUCCESS},
        {"class size zero", true, 0, ERROR_MORE_DATA},
        {"size without buffer", false, 4, ERROR_SUCCESS},
        {"zero size without buffer", false, 0, ERROR_MORE_DATA},
        {"buffer without size", true, ~0u, ERROR_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        char cls[4] = {'#', '#', '#', '#'};
        DWORD cch = row.cchClass;
        EXPECT_EQ(row.rc, OsRegQueryInfoKeyA(m_key, row.classBuffer ? cls : nullptr,
                                             row.cchClass == ~0u ? nullptr : &cch, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
        if (row.cchClass != ~0u) {
            EXPECT_EQ(0u, cch);
        }
        EXPECT_EQ(row.classBuffer && row.cchClass != 0 && row.cchClass != ~0u ? '\0' : '#', cls[0]);
    }
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegQueryInfoKeyA(reinterpret_cast<HKEY>(uintptr_t{999}), nullptr, nullptr, nullptr,
                                                  &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr));
}

TEST_F(RegistryOpsTest, DeleteValueAndDeleteKey)
{
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegDeleteValueA(m_key, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegDeleteValueA(m_key, "Missing"));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegDeleteValueA(reinterpret_cast<HKEY>(uintptr_t{999}), "Sz"));
    EXPECT_FALSE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteValueA(m_key, "sz"));
    EXPECT_TRUE(m_reg->IsDirty());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegQueryValueExA(m_key, "Sz", nullptr, nullptr, nullptr, nullptr));

    const struct {
        const char* subKey;
        LONG rc;
    } rows[] = {
        {"", ERROR_INVALID_PARAMETER},
        {nullptr, ERROR_INVALID_PARAMETER},
        {"\\Software", ERROR_INVALID_PARAMETER},
        {"Software\\Missing", ERROR_FILE_NOT_FOUND},
        {"Software", ERROR_ACCESS_DENIED},
        {"Software\\Velmor\\Child", ERROR_ACCESS_DENIED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.subKey ? row.subKey : "(null)");
        EXPECT_EQ(row.rc, OsRegDeleteKeyExA(HKEY_LOCAL_MACHINE, row.subKey, KEY_WRITE, 0));
    }

    HKEY leaf = Open("Software\\Velmor\\Leaf");
    HKEY leafAgain = Open("software\\velmor\\leaf");
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteKeyExA(m_key, "Leaf", KEY_WRITE, 0));
    for (HKEY h : {leaf, leafAgain}) {
        DWORD values = 0;
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      &values, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegSetValueExA(h, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
        EXPECT_EQ(ERROR_SUCCESS, OsRegCloseKey(h)) << "a handle to a deleted key can still be closed";
    }
    EXPECT_EQ("Child", EnumKeyName(m_key, 0));
    EXPECT_EQ("<259>", EnumKeyName(m_key, 1));
}

TEST_F(RegistryOpsTest, DeleteTreeForgetsHandlesBelow)
{
    HKEY child = Open("Software\\Velmor\\Child");
    HKEY grandchild = Open("Software\\Velmor\\Child\\Grandchild");
    HKEY software = Open("Software");

    // Everything below the handle's key goes; the key and its handle stay.
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteTreeA(m_key, nullptr));
    EXPECT_TRUE(m_reg->IsDirty());
    DWORD subKeys = 9, values = 9;
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                                &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, subKeys);
    EXPECT_EQ(0u, values);
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegQueryInfoKeyA(child, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegQueryInfoKeyA(grandchild, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));

    // A named subtree goes with the key itself; handles to it and below answer 1168.
    m_reg = OpenFromXml(kDocument);
    m_key = Open("Software\\Velmor");
    child = Open("Software\\Velmor\\Child");
    grandchild = Open("Software\\Velmor\\Child\\Grandchild");
    software = Open("Software");
    EXPECT_EQ(ERROR_ACCESS_DENIED, OsRegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software", KEY_WRITE, 0));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OsRegDeleteTreeA(HKEY_LOCAL_MACHINE, "Nope"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegDeleteTreeA(HKEY_LOCAL_MACHINE, ""));
    EXPECT_EQ(ERROR_SUCCESS, OsRegDeleteTreeA(HKEY_LOCAL_MACHINE, "software"));
    for (HKEY h : {software, m_key, child, grandchild}) {
        char name[8];
        DWORD cch = sizeof(name);
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegEnumKeyExA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, subKeys);
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegDeleteTreeA(reinterpret_cast<HKEY>(uintptr_t{999}), nullptr));
}

TEST_F(RegistryOpsTest, AddHiveNode)
{
    HKEY r = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, m_reg->AddHKeyNode(m_key));
    ASSERT_EQ(ERROR_SUCCESS, m_reg->AddHKeyNode(HKEY_CURRENT_USER));
    EXPECT_EQ(ERROR_SUCCESS, OsRegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_WRITE, nullptr, &r,
                                               nullptr));
    // The new hive is found again when the document is checked.
    EXPECT_TRUE(m_reg->CheckDocument());
    m_reg->InitKeyMap();
    EXPECT_EQ(ERROR_SUCCESS, OsRegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &r));
}

TEST_F(RegistryOpsTest, WideQuery)
{
    struct Row {
        const wchar_t* name;
        DWORD bufferSize;
        LONG rc;
        DWORD size;
        DWORD type;
        std::vector<BYTE> bytes; // whole caller buffer afterwards
    };
    auto wide = [](const wchar_t* text, size_t bytes) {
        std::vector<BYTE> out(bytes, 0);
        std::memcpy(out.data(), text, std::min(bytes, (std::wcslen(text) + 1) * sizeof(wchar_t)));
        return out;
    };
    const Row rows[] = {
        {L"Sz", 32, ERROR_SUCCESS, 6, REG_SZ, wide(L"hello", 32)},
        // Four wide characters fit: three letters and the NUL that is always kept.
        {L"Sz", 16, ERROR_SUCCESS, 6, REG_SZ, wide(L"hel", 16)},
        {L"Sz", 5, ERROR_MORE_DATA, 6, REG_SZ, std::vector<BYTE>(5, 0)},
        {L"Dw", 8, ERROR_SUCCESS, 4, REG_DWORD, {0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}},
        {L"Bin", 2, ERROR_SUCCESS, 2, REG_BINARY, {0x0A, 0x1B}},
        {L"Multi", 8, ERROR_SUCCESS, 6, REG_MULTI_SZ, std::vector<BYTE>(8, 0)},
        {L"Exp", 40, ERROR_SUCCESS, 7, REG_EXPAND_SZ, std::vector<BYTE>(40, 0)},
        {L"Missing", 8, ERROR_FILE_NOT_FOUND, 8, 0xFFFF, std::vector<BYTE>(8, 0)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.bufferSize));
        std::vector<BYTE> buffer(row.bufferSize, kPoison);
        DWORD size = row.bufferSize, type = 0xFFFF;
        EXPECT_EQ(row.rc, OsRegQueryValueExW(m_key, row.name, nullptr, &type, buffer.data(), &size));
        EXPECT_EQ(row.size, size);
        EXPECT_EQ(row.type, type);
        EXPECT_EQ(row.bytes, buffer);
    }
    DWORD size = 0, type = 0;
    BYTE b[4];
    EXPECT_EQ(ERROR_SUCCESS, OsRegQueryValueExW(m_key, L"Sz", nullptr, &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    size = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegQueryValueExW(m_key, L"Sz", nullptr, &type, b, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegQueryValueExW(m_key, L"Sz", nullptr, nullptr, b, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OsRegQueryValueExW(m_key, L"Sz", nullptr, &type, b, nullptr));

    // The other wide functions are not available.
    HKEY r = nullptr;
    EXPECT_EQ(ERROR_NOT_SUPPORTED, OsRegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &r));
    EXPECT_EQ(ERROR_NOT_SUPPORTED,
              OsRegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, nullptr, 0, KEY_WRITE, nullptr, &r, nullptr));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, OsRegSetValueExW(m_key, L"Sz", 0, REG_SZ, b, 4));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, OsRegEnumKeyExW(m_key, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, OsRegEnumValueW(m_key, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, OsRegQueryInfoKeyW(m_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryOpsTest, KeyHolderClosesWhatItHeld)
{
    HKEY first = nullptr;
    {
        CKxOsRegKey holder;
        EXPECT_EQ(nullptr, holder.Get());
        EXPECT_EQ(ERROR_SUCCESS, holder.Open(HKEY_LOCAL_MACHINE, "Software"));
        first = holder;
        ASSERT_NE(nullptr, first);
        // A failed open keeps the key held.
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, holder.Open(HKEY_LOCAL_MACHINE, "Nope"));
        EXPECT_EQ(first, holder.Get());
        // A successful open closes the old key first.
        EXPECT_EQ(ERROR_SUCCESS, holder.Open(first, "Velmor"));
        EXPECT_NE(first, holder.Get());
        EXPECT_EQ(ERROR_NOT_FOUND, OsRegCloseKey(first));
        first = holder;
        EXPECT_EQ("Child", EnumKeyName(first, 0));
        // A held handle that was closed behind the holder's back reports that on the next open.
        ASSERT_EQ(ERROR_SUCCESS, OsRegCloseKey(first));
        EXPECT_EQ(ERROR_NOT_FOUND, holder.Open(HKEY_LOCAL_MACHINE, "Software"));
        first = holder;
    }
    EXPECT_EQ(ERROR_NOT_FOUND, OsRegCloseKey(first)) << "the destructor closed the key";
}
