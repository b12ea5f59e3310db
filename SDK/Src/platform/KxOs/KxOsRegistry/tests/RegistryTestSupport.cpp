#include "RegistryTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace regtest {

std::string MakeTempDir()
{
    char pattern[] = "/tmp/kxregtest.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir)
        throw std::runtime_error("mkdtemp failed");
    return dir;
}

void RemoveTree(const std::string& dir)
{
    // Only ever our own mkdtemp folders.
    if (dir.rfind("/tmp/kxregtest.", 0) != 0)
        return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

bool FileExists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string DefaultDocument(const std::string& root)
{
    return "<?xml version=\"1.0\"?>\n"
           "<KxRegistry>\n"
           "\t<Key Name=\"HKLM\">\n"
           "\t\t<Key Name=\"Software\">\n"
           "\t\t\t<Key Name=\"Velmor\">\n"
           "\t\t\t\t<Key Name=\"Korvex3\">\n"
           "\t\t\t\t\t<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>\n"
           "\t\t\t\t\t<Key Name=\"System\">\n"
           "\t\t\t\t\t\t<Value Name=\"RunAsDevice\" Type=\"DW\">1</Value>\n"
           "\t\t\t\t\t</Key>\n"
           "\t\t\t\t\t<Key Name=\"3.1\">\n"
           "\t\t\t\t\t\t<Value Name=\"BootDir\" Type=\"SZ\">" +
           root + "/Boot/</Value>\n"
                  "\t\t\t\t\t\t<Value Name=\"ConfigDir\" Type=\"SZ\">" +
           root + "/Config/</Value>\n"
                  "\t\t\t\t\t\t<Value Name=\"InstallDir\" Type=\"SZ\">" +
           root + "/</Value>\n"
                  "\t\t\t\t\t\t<Value Name=\"TargetDir\" Type=\"SZ\">" +
           root + "/Target/</Value>\n"
                  "\t\t\t\t\t\t<Value Name=\"DriverAutoLoadDir\" Type=\"SZ\">" +
           root + "/Driver/AutoLoad/</Value>\n"
                  "\t\t\t\t\t</Key>\n"
                  "\t\t\t\t</Key>\n"
                  "\t\t\t</Key>\n"
                  "\t\t</Key>\n"
                  "\t\t<Key Name=\"Ident\">\n"
                  "\t\t\t<Value Name=\"DeviceType\" Type=\"SZ\">KX/BSD</Value>\n"
                  "\t\t</Key>\n"
                  "\t</Key>\n"
                  "</KxRegistry>\n";
}

std::string QueryString(const char* key, const char* name, LONG* rc)
{
    HKEY h = nullptr;
    LONG r = OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
    std::string result;
    if (r == ERROR_SUCCESS) {
        char buffer[2048] = {};
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        r = OsRegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        if (r == ERROR_SUCCESS)
            result = buffer;
        OsRegCloseKey(h);
    }
    if (rc)
        *rc = r;
    return result;
}

void RegistryFixture::SetUp()
{
    DestroyStore();
    m_dir = MakeTempDir();
    ::setenv(KX_REGISTRY_ROOT_ENV, m_dir.c_str(), 1);
    RegistrySetRootDir(nullptr);
    RegistrySetDefaultDriverAutoLoadDir(nullptr);
}

void RegistryFixture::TearDown()
{
    DestroyStore();
    RegistrySetRootDir(nullptr);
    RegistrySetDefaultDriverAutoLoadDir(nullptr);
    RemoveTree(m_dir);
}

void RegistryFixture::DestroyStore()
{
    // The count never drops below zero, so one call ends whatever store a test left behind.
    RegistryDestroy();
}

CKxXmlRegistry* RegistryFixture::OpenReadOnly()
{
    DestroyStore();
    return GetRegistry(false, false);
}

CKxXmlRegistry* RegistryFixture::OpenWritable()
{
    DestroyStore();
    RegistryEnableWriteAccess();
    return GetRegistry(false, false);
}

CKxXmlRegistry* RegistryFixture::OpenFromXml(const char* xml, bool writeEnable)
{
    DestroyStore();
    EXPECT_EQ(1, RegistryInit(xml));
    return GetRegistry(false, writeEnable);
}

} // namespace regtest
