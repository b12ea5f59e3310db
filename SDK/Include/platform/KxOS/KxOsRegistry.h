// Win32-style registry over one XML file: key handles, value types and the Os-prefixed functions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/FreeBSD/KxWinTypes.h"

// An open key: a pointer-sized number. Opened keys are 1..0x7FFFFFFF; the hives sort above them.
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

// The predefined hives: 32-bit numbers sign-extended to pointer width.
#define KX_PREDEFINED_HKEY(n) (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(n))))
#define HKEY_CLASSES_ROOT KX_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER KX_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE KX_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS KX_PREDEFINED_HKEY(0x80000003u)
#define HKEY_PERFORMANCE_DATA KX_PREDEFINED_HKEY(0x80000004u)
#define HKEY_PERFORMANCE_TEXT KX_PREDEFINED_HKEY(0x80000050u)
#define HKEY_PERFORMANCE_NLSTEXT KX_PREDEFINED_HKEY(0x80000060u)

// Value types; any other code is stored without a type name and cannot be read back.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u

// Dispositions reported by OsRegCreateKeyExA.
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Access masks and options; accepted and ignored.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0u

// Root of the store's files when KX_REGISTRY_ROOT is not set.
#define KX_REGISTRY_DEFAULT_ROOT "/usr/local/etc/Korvex/3.1"
// Environment variable that, when set as the store is created, replaces the default root.
#define KX_REGISTRY_ROOT_ENV "KX_REGISTRY_ROOT"

// ---- Store lifecycle --------------------------------------------------------------------------------------------

// Counts one more user; the first user may give an XML text that the next store loads instead of the file.
// Returns 1 when the text was taken, else 0.
long RegistryInit(const char* xml);
// Counts one more user without a text (the first user clears any pending text); returns 0.
long RegistryInit();
// Counts one user less; at 0 the store is saved when write-enabled and changed, then destroyed.
void RegistryDestroy();
// Creates the store with write access unless it exists already (an existing store keeps its mode).
void RegistryEnableWriteAccess();
// Saves (when write-enabled and changed) and destroys the store, then creates it again with write access;
// true when the new store exists.
bool RegistryReInit();
// Driver auto-load directory for stores created afterwards (null or empty: the root's Driver/AutoLoad);
// returns true.
bool RegistrySetDefaultDriverAutoLoadDir(const char* dir);
// Root directory for stores created afterwards (null or empty: KX_REGISTRY_ROOT or the default); returns true.
bool RegistrySetRootDir(const char* dir);
// Sets out to the root directory of the current (or next) store; returns true.
bool RegistryGetRootDir(std::string& out);
// Saves the store and returns the file's text in out; false when the save fails (also for a read-only store).
bool RegistryGetXml(std::string& out);
// Saves the store when it was changed and is write-enabled.
void OsWriteRegToFile();

// ---- Registry functions (Win32 error numbers: 0 success, 2, 5, 14, 50, 87, 234, 259, 1168) ---------------------

// Opens an existing key below hKey; options and access are ignored. 87 for a null/empty/absolute subKey,
// 1168 for an unknown handle, 2 when a key is missing.
LONG OsRegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Opens a key, creating missing keys; *lpdwDisposition (optional) gets 1 when a key was created, else 2.
LONG OsRegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                       REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                       LPDWORD lpdwDisposition);
// Reads a value: type, data and size (234 and the needed size when the buffer is short; 2 when missing,
// 5 when its type is unknown).
LONG OsRegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                        LPDWORD lpcbData);
// Writes a value, creating it before the key's first subkey; 87 for null name/data or a malformed
// multi-string (the old value then stays), 2 when the existing value has no type.
LONG OsRegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                      DWORD cbData);
// Deletes a value; 2 when it is missing.
LONG OsRegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Forgets a handle (hive handles included); 1168 when unknown.
LONG OsRegCloseKey(HKEY hKey);
// Name of the index-th subkey; 259 past the end, 234 (and the length) when the buffer is short.
LONG OsRegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                     LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Name and data of the index-th named value; 259 past the end, 234 when a buffer is short.
LONG OsRegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                     LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Counts and longest lengths of subkeys and values; class is always empty, times are zero.
LONG OsRegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                        LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                        LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                        PFILETIME lpftLastWriteTime);
// Deletes a key without subkeys; 5 for a hive or a key with subkeys; handles to it then answer 1168.
LONG OsRegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved);
// Deletes a key and everything below it, or (null subKey) everything below hKey; 5 for a hive.
LONG OsRegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
// Saves the store when changed; 5 when the store is unavailable, else 0.
LONG OsRegFlushKey(HKEY hKey);

// Wide-character read: strings come back as wchar_t (4 bytes each), *lpcbData keeps the narrow size.
LONG OsRegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                        LPDWORD lpcbData);
// Not supported: always 50.
LONG OsRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Not supported: always 50.
LONG OsRegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                       REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                       LPDWORD lpdwDisposition);
// Not supported: 50 (5 when the store is unavailable).
LONG OsRegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                      DWORD cbData);
// Not supported: 50 (5 when the store is unavailable).
LONG OsRegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                     LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Not supported: 50 (5 when the store is unavailable).
LONG OsRegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                     LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Not supported: 50 (5 when the store is unavailable).
LONG OsRegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                        LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                        LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                        PFILETIME lpftLastWriteTime);

// Holds one open key and closes it when replaced or destroyed.
class CKxOsRegKey {
public:
    // Empty holder.
    CKxOsRegKey() : m_hKey(nullptr) {}
    // Closes the held key, if any.
    ~CKxOsRegKey();
    CKxOsRegKey(const CKxOsRegKey&) = delete;
    CKxOsRegKey& operator=(const CKxOsRegKey&) = delete;

    // Opens subKey below parent; on failure returns that error and keeps the held key, on success closes the
    // old key and returns the close result (0 when none was held).
    LONG Open(HKEY parent, LPCSTR subKey, REGSAM samDesired = KEY_READ);
    // Closes the held key; 0 when nothing was held.
    LONG Close();
    // The held key (null when empty).
    HKEY Get() const { return m_hKey; }
    operator HKEY() const { return m_hKey; }

private:
    HKEY m_hKey;
};
