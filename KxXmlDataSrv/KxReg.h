// Readers of the runtime's directories and ids kept in the registry, for both runtime layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Hop.h"
#include "platform/KxOS/KxOsRegistry.h"

// Key and value names of the current (3) and the older (2) runtime layout.
constexpr const char KORVEX3REGISTRYKEY[] = "Software\\Velmor\\Korvex3";
constexpr const char KORVEX2REGISTRYKEY[] = "Software\\Velmor\\Korvex";
constexpr const char KORVEX3REGKEYREMOTE[] = "Software\\Velmor\\Korvex3\\Remote";
constexpr const char KORVEX2REGKEYREMOTE[] = "Software\\Velmor\\Korvex\\Remote";
constexpr const char KORVEX3REGKEYSYSTEM[] = "Software\\Velmor\\Korvex3\\System";
constexpr const char KORVEX2REGKEYSYSTEM[] = "Software\\Velmor\\Korvex\\System";
constexpr const char KORVEX3REGKEYPLC[] = "Software\\Velmor\\Korvex3\\Plc";
constexpr const char KORVEX3BOOTPRJPATH[] = "BootDir";
constexpr const char KORVEX2BOOTPRJPATH[] = "BootPrjPath";
constexpr const char KORVEX3INSTDIR[] = "InstallDir";
constexpr const char KORVEX2INSTDIR[] = "InstallationPath";
constexpr const char KORVEX3CURRENTVERSION[] = "CurrentVersion";
constexpr const char KORVEXCURPROJECT[] = "CurrentProject";
constexpr const char KORVEXUSERPATH[] = "UserPath%d";
constexpr const char KORVEXLOCALMACHINEID[] = "HopNetId";
constexpr const char STR_KORVEXREGISTRYROOT[] = "HKEY_LOCAL_MACHINE";

// Size of the buffers values are read into; a value needing more (with its NUL) cannot be read.
constexpr size_t KX_REG_PATH_BUFFER = 1024;
// Size of the buffer the version value is read into.
constexpr size_t KX_REG_VERSION_BUFFER = 10;

// ---- KxReg family: results are new char arrays released with KxRegPathFree --------------------------------------

// Selects the current layout and marks the readers initialised; returns true.
bool KxRegInit();
// Base key of the selected layout.
const char* KxRegGetKorvexRegKey();
// Same as KxRegGetKorvexRegKey.
const char* KxRegKorvexRegKey();
// Remote key of the selected layout.
const char* KxRegGetKorvexRegKeyRemote();
// System key of the selected layout.
const char* KxRegGetKorvexRegKeySystem();
// Value name of the boot project path in the selected layout.
const char* _KxRegGetKorvexBootPrjPath();
// Value name of the install directory in the selected layout.
const char* _KxRegGetKorvexInstallDir();
// True when the current layout is selected (the default).
bool KxRegIsKorvex3Runtime();
// Selects the current (true) or older (false) layout.
void KxRegSetKorvex3Runtime(bool korvex3);
// Probes "KxFexWin32" in both System keys and selects the layout where it is non-zero; false when neither.
bool KxRegIsWin32Runtime();
// Key of the current version ("<base>\<CurrentVersion>", or the base when that key is missing); false on failure.
bool KxRegCurrentVersionKeyName(char** out);
// Reads valueName from the version key (older layout: the System key); false (out untouched) on failure.
bool KxRegReadPath(const char* valueName, char** out);
// Boot project path of the selected layout; false on failure.
bool KxRegReadBootPrjPath(char** out);
// Install directory of the selected layout; false on failure.
bool KxRegReadInstallDir(char** out);
// "CurrentProject" of the version key; false on failure.
bool KxRegReadCurrentPrjPath(char** out);
// "UserPath<n>" of the version key; false (out untouched) on failure.
bool KxRegReadUserPath(uint32_t n, char** out);
// The text value valueName below HKLM\key (one that fits KX_REG_PATH_BUFFER with its NUL) into out; false (out
// untouched) when the key or the value cannot be read.
bool KxRegReadValue(const char* key, const char* valueName, std::string& out);
// The 6-byte "HopNetId" of the System key, read into id; false (id untouched) on failure.
bool KxRegReadLocalMachineId(HopNetId& id);
// Releases an array returned by the readers (null is fine).
void KxRegPathFree(char* path);
// Formatted print into buf; the number of characters when they fit (with the NUL), else -1.
int _sntprintf(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
