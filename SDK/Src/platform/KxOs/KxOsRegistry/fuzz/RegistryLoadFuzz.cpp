// Fuzz target: a registry text is loaded by a read-only store, then every key and value is walked, read and
// deleted. Nothing is written: the store never gets write access and its root is a private temporary folder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "../KxXmlRegistry.h"

static char s_root[] = "/tmp/kxregfuzz.XXXXXX";

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!::mkdtemp(s_root))
        std::abort();
    ::setenv(KX_REGISTRY_ROOT_ENV, s_root, 1);
    std::atexit([] { ::rmdir(s_root); });
    return 0;
}

static void Walk(HKEY key, int depth)
{
    char name[256];
    BYTE data[64];
    for (DWORD i = 0; i < 64; ++i) {
        DWORD cch = sizeof(name), size = sizeof(data), type = 0;
        LONG rc = OsRegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
    }
    for (DWORD i = 0; i < 64 && depth < 32; ++i) {
        DWORD cch = sizeof(name);
        LONG rc = OsRegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        HKEY sub = nullptr;
        if (rc == ERROR_SUCCESS && name[0] && OsRegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            Walk(sub, depth + 1);
            OsRegCloseKey(sub);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    std::string text(reinterpret_cast<const char*>(bytes), size);
    text.push_back('\0');
    RegistryInit(text.c_str());
    if (GetRegistry(false, false)) {
        Walk(HKEY_LOCAL_MACHINE, 0);
        Walk(HKEY_CURRENT_USER, 0);
        DWORD values = 0, maxLen = 0;
        OsRegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                           nullptr, &maxLen, nullptr, nullptr);
        OsRegDeleteTreeA(HKEY_LOCAL_MACHINE, nullptr);
    }
    RegistryDestroy();
    return 0;
}
