// Runtime directories as CString paths with a trailing separator and fallbacks, and the %KX_...% placeholders.
#include "OsKxCatReg.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "KxString.h"

namespace {

enum class Separator { None, SlashOrBackslash, Backslash };

// Finishes a path; false when it would not fit the path buffer with its NUL, so nothing is silently cut.
bool Finish(std::string text, Separator separator, CString& path)
{
    const char last = text.empty() ? '\0' : text.back();
    if ((separator == Separator::SlashOrBackslash && last != '\\' && last != '/') ||
        (separator == Separator::Backslash && last != '\\'))
        text += '\\';
    if (text.size() >= KX_REG_PATH_BUFFER)
        return false;
    CString result(text.c_str());
    if (result.GetLength() != static_cast<int>(text.size()))
        return false;
    path = result;
    return true;
}

// Reads valueName from the version key; when missing, fallbackValue with fallbackSuffix appended.
bool ReadVersionPath(const char* valueName, const char* fallbackValue, const char* fallbackSuffix,
                     Separator separator, CString& path)
{
    try {
        CString key = OsKxCatRegCurrentVersionKeyNameA(CString());
        std::string text;
        if (!KxRegReadValue(key, valueName, text)) {
            if (!fallbackValue || !KxRegReadValue(key, fallbackValue, text))
                return false;
            text += fallbackSuffix;
        }
        return Finish(text, separator, path);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

CString OsKxCatRegCurrentVersionKeyNameA(CString suffix)
{
    CString name(KORVEX3REGISTRYKEY);
    CKxOsRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, KORVEX3REGISTRYKEY, KEY_READ) == ERROR_SUCCESS) {
        char version[KX_REG_VERSION_BUFFER] = {};
        DWORD size = sizeof(version);
        DWORD type = 0;
        if (OsRegQueryValueExA(key, KORVEX3CURRENTVERSION, nullptr, &type, reinterpret_cast<BYTE*>(version),
                               &size) == ERROR_SUCCESS) {
            version[sizeof(version) - 1] = '\0';
            name += '\\';
            name += version;
        }
    }
    name += suffix;
    return name;
}

LONG OsRegOpenKorvexSystemKey(HKEY, uint32_t, uint32_t, HKEY* result)
{
    LONG rc = OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, KORVEX3REGKEYSYSTEM, 0, KEY_READ, result);
    if (rc != ERROR_SUCCESS)
        rc = OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, KORVEX2REGKEYSYSTEM, 0, KEY_READ, result);
    return rc;
}

bool OsKxCatRegReadInstallPathA(CString& path)
{
    return ReadVersionPath("InstallDir", nullptr, nullptr, Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadBootPrjPathA(CString& path)
{
    return ReadVersionPath("BootDir", "InstallDir", "Boot\\", Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadConfigPathA(CString& path)
{
    return ReadVersionPath("ConfigDir", "InstallDir", "Config\\", Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadTargetPathA(CString& path)
{
    return ReadVersionPath("TargetDir", "InstallDir", "Target\\", Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadRepositoryPathA(CString& path)
{
    return ReadVersionPath("RepositoryDir", "InstallDir", "Repository\\", Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadDataPathA(CString& path)
{
    return ReadVersionPath("DataDir", nullptr, nullptr, Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadDriverAutoLoadPathA(CString& path)
{
    return ReadVersionPath("DriverAutoLoadDir", "AutoLoad", "AutoLoad\\", Separator::SlashOrBackslash, path);
}

bool OsKxCatRegReadDriverAutoInstallPathA(CString& path)
{
    return ReadVersionPath("DriverAutoInstallDir", "AutoInstall", "AutoInstall\\", Separator::Backslash, path);
}

bool OsKxCatRegGetPlc30CoreDumpPathA(CString& path)
{
    try {
        std::string text;
        if (!KxRegReadValue(KORVEX3REGKEYPLC, "CoreDumpDir", text)) {
            CString boot;
            if (!OsKxCatRegReadBootPrjPathA(boot))
                return false;
            text = boot.GetString();
        }
        return Finish(text, Separator::Backslash, path);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool OsKxCatRegReadUserPathA(uint32_t n, CString& path)
{
    char valueName[32];
    std::snprintf(valueName, sizeof(valueName), "UserPath%u", n);
    return ReadVersionPath(valueName, nullptr, nullptr, Separator::None, path);
}

bool OsReadBootDataPathA(CString& path)
{
    HKEY key = nullptr;
    if (OsRegOpenKorvexSystemKey(HKEY_LOCAL_MACHINE, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char buffer[KX_REG_PATH_BUFFER] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    LONG rc = OsRegQueryValueExA(key, "BootDataPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    OsRegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return false;
    buffer[sizeof(buffer) - 1] = '\0';
    CString result(buffer);
    if (result.GetLength() != static_cast<int>(std::strlen(buffer)))
        return false;
    path = result;
    return true;
}

void OsKxCatExpandEnvironmentStringsA(CString& text)
{
    static const struct {
        const char* placeholder;
        bool (*reader)(CString&);
    } kPlaceholders[] = {
        {"%KX_INSTALLPATH%", OsKxCatRegReadInstallPathA},
        {"%KX_CONFIGPATH%", OsKxCatRegReadConfigPathA},
        {"%KX_TARGETPATH%", OsKxCatRegReadTargetPathA},
        {"%KX_BOOTPRJPATH%", OsKxCatRegReadBootPrjPathA},
        {"%KX_DRIVERAUTOINSTALLPATH%", OsKxCatRegReadDriverAutoInstallPathA},
        {"%KX_DRIVERAUTOLOADPATH%", OsKxCatRegReadDriverAutoLoadPathA},
    };
    // "%KX_SYSTEMPATH%", "%KX_RESOURCEPATH%", "%KX_DRIVERPATH%" and "%KX_SYSSRVEXEPATH%" have no reader on this
    // platform and stay in the text.
    for (const auto& entry : kPlaceholders) {
        if (text.Find(entry.placeholder) < 0)
            continue;
        CString path;
        if (entry.reader(path))
            text.Replace(entry.placeholder, path);
    }
}
