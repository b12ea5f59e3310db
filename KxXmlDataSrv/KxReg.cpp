// Readers of the runtime's directories and ids for the current and the older registry layout.
#include "KxReg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

bool s_initialised = false;
bool s_korvex3 = false;

void EnsureInit()
{
    if (!s_initialised) {
        s_initialised = true;
        s_korvex3 = true;
    }
}

char* CopyText(const char* text)
{
    const size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy)
        std::memcpy(copy, text, length + 1);
    return copy;
}

// Reads a value below HKLM\keyName into a new text at *out, then frees keyName; false when the value cannot be
// read or copied.
bool ReadCopy(char* keyName, const char* valueName, char** out)
{
    std::string text;
    bool ok = KxRegReadValue(keyName, valueName, text);
    KxRegPathFree(keyName);
    if (!ok)
        return false;
    char* copy = CopyText(text.c_str());
    if (!copy)
        return false;
    *out = copy;
    return true;
}

bool ReadDword(const char* key, const char* valueName, DWORD& value)
{
    CKxOsRegKey holder;
    if (holder.Open(HKEY_LOCAL_MACHINE, key, KEY_READ) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(value);
    DWORD type = 0;
    return OsRegQueryValueExA(holder, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
           ERROR_SUCCESS;
}

} // namespace

bool KxRegInit()
{
    s_initialised = true;
    s_korvex3 = true;
    return true;
}

const char* KxRegGetKorvexRegKey()
{
    EnsureInit();
    return s_korvex3 ? KORVEX3REGISTRYKEY : KORVEX2REGISTRYKEY;
}

const char* KxRegKorvexRegKey()
{
    return KxRegGetKorvexRegKey();
}

const char* KxRegGetKorvexRegKeyRemote()
{
    EnsureInit();
    return s_korvex3 ? KORVEX3REGKEYREMOTE : KORVEX2REGKEYREMOTE;
}

const char* KxRegGetKorvexRegKeySystem()
{
    EnsureInit();
    return s_korvex3 ? KORVEX3REGKEYSYSTEM : KORVEX2REGKEYSYSTEM;
}

const char* _KxRegGetKorvexBootPrjPath()
{
    EnsureInit();
    return s_korvex3 ? KORVEX3BOOTPRJPATH : KORVEX2BOOTPRJPATH;
}

const char* _KxRegGetKorvexInstallDir()
{
    EnsureInit();
    return s_korvex3 ? KORVEX3INSTDIR : KORVEX2INSTDIR;
}

bool KxRegIsKorvex3Runtime()
{
    EnsureInit();
    return s_korvex3;
}

void KxRegSetKorvex3Runtime(bool korvex3)
{
    // Initialise first: otherwise the next reader's implicit initialisation would undo this choice.
    EnsureInit();
    s_korvex3 = korvex3;
}

bool KxRegIsWin32Runtime()
{
    EnsureInit();
    DWORD value = 0;
    if (ReadDword(KORVEX3REGKEYSYSTEM, "KxFexWin32", value) && value != 0) {
        s_korvex3 = true;
        return true;
    }
    value = 0;
    if (ReadDword(KORVEX2REGKEYSYSTEM, "KxFexWin32", value) && value != 0) {
        s_korvex3 = false;
        return true;
    }
    return false;
}

bool KxRegCurrentVersionKeyName(char** out)
{
    if (!out)
        return false;
    EnsureInit();
    if (!s_korvex3) {
        char* copy = CopyText(KORVEX2REGISTRYKEY);
        if (!copy)
            return false;
        *out = copy;
        return true;
    }

    char version[KX_REG_VERSION_BUFFER] = {};
    {
        CKxOsRegKey base;
        if (base.Open(HKEY_LOCAL_MACHINE, KORVEX3REGISTRYKEY, KEY_READ) != ERROR_SUCCESS)
            return false;
        DWORD size = sizeof(version);
        DWORD type = 0;
        if (OsRegQueryValueExA(base, KORVEX3CURRENTVERSION, nullptr, &type, reinterpret_cast<BYTE*>(version),
                               &size) != ERROR_SUCCESS)
            return false;
    }
    version[sizeof(version) - 1] = '\0';

    const size_t length = std::strlen(KORVEX3REGISTRYKEY) + std::strlen(version) + 2;
    char* name = new (std::nothrow) char[length];
    if (!name)
        return false;
    std::snprintf(name, length, "%s\\%s", KORVEX3REGISTRYKEY, version);

    CKxOsRegKey versionKey;
    if (versionKey.Open(HKEY_LOCAL_MACHINE, name, KEY_READ) != ERROR_SUCCESS) {
        // No key for that version: the values live directly under the base key.
        delete[] name;
        name = CopyText(KxRegGetKorvexRegKey());
        if (!name)
            return false;
    }
    *out = name;
    return true;
}

bool KxRegReadPath(const char* valueName, char** out)
{
    if (!valueName || !out)
        return false;
    EnsureInit();
    char* keyName = nullptr;
    if (s_korvex3) {
        if (!KxRegCurrentVersionKeyName(&keyName))
            return false;
    } else {
        keyName = CopyText(KORVEX2REGKEYSYSTEM);
        if (!keyName)
            return false;
    }
    return ReadCopy(keyName, valueName, out);
}

bool KxRegReadBootPrjPath(char** out)
{
    return KxRegReadPath(_KxRegGetKorvexBootPrjPath(), out);
}

bool KxRegReadInstallDir(char** out)
{
    return KxRegReadPath(_KxRegGetKorvexInstallDir(), out);
}

bool KxRegReadCurrentPrjPath(char** out)
{
    return KxRegReadPath(KORVEXCURPROJECT, out);
}

bool KxRegReadUserPath(uint32_t n, char** out)
{
    if (!out)
        return false;
    EnsureInit();
    char valueName[32];
    std::snprintf(valueName, sizeof(valueName), "UserPath%u", n);
    char* keyName = nullptr;
    if (!KxRegCurrentVersionKeyName(&keyName))
        return false;
    return ReadCopy(keyName, valueName, out);
}

bool KxRegReadValue(const char* key, const char* valueName, std::string& out)
{
    CKxOsRegKey holder;
    if (holder.Open(HKEY_LOCAL_MACHINE, key, KEY_READ) != ERROR_SUCCESS)
        return false;
    char buffer[KX_REG_PATH_BUFFER] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (OsRegQueryValueExA(holder, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    buffer[sizeof(buffer) - 1] = '\0';
    try {
        out = buffer;
    } catch (...) {
        return false;
    }
    return true;
}

bool KxRegReadLocalMachineId(HopNetId& id)
{
    CKxOsRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, KxRegGetKorvexRegKeySystem(), KEY_READ) != ERROR_SUCCESS)
        return false;
    // Read into a scratch id so that a shorter or malformed value leaves the caller's id alone.
    HopNetId read;
    DWORD size = sizeof(read.b);
    DWORD type = 0;
    if (OsRegQueryValueExA(key, KORVEXLOCALMACHINEID, nullptr, &type, read.b, &size) != ERROR_SUCCESS ||
        size != sizeof(read.b))
        return false;
    id = read;
    return true;
}

void KxRegPathFree(char* path)
{
    delete[] path;
}

int _sntprintf(char* buf, size_t size, const char* fmt, ...)
{
    if (!buf || size == 0 || !fmt)
        return -1;
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, size, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return -1;
    return n;
}
