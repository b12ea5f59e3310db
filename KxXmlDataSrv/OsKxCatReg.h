// Readers of the runtime's directories as CString paths with a trailing separator and fallbacks, and the
// expansion of the %KX_...PATH% placeholders built on them. The CString is left unchanged on failure.
#pragma once

#include <cstdint>

#include "KxReg.h"

class CString;

// "Software\Velmor\Korvex3" plus "\<CurrentVersion>" when readable, plus suffix.
CString OsKxCatRegCurrentVersionKeyNameA(CString suffix);
// Opens the System key of the current, else the older layout (the first three arguments are ignored).
LONG OsRegOpenKorvexSystemKey(HKEY hKey, uint32_t options, uint32_t access, HKEY* result);
// "InstallDir".
bool OsKxCatRegReadInstallPathA(CString& path);
// "BootDir", else "InstallDir" + "Boot\".
bool OsKxCatRegReadBootPrjPathA(CString& path);
// "ConfigDir", else "InstallDir" + "Config\".
bool OsKxCatRegReadConfigPathA(CString& path);
// "TargetDir", else "InstallDir" + "Target\".
bool OsKxCatRegReadTargetPathA(CString& path);
// "RepositoryDir", else "InstallDir" + "Repository\".
bool OsKxCatRegReadRepositoryPathA(CString& path);
// "DataDir".
bool OsKxCatRegReadDataPathA(CString& path);
// "DriverAutoLoadDir", else "AutoLoad" + "AutoLoad\".
bool OsKxCatRegReadDriverAutoLoadPathA(CString& path);
// "DriverAutoInstallDir", else "AutoInstall" + "AutoInstall\".
bool OsKxCatRegReadDriverAutoInstallPathA(CString& path);
// "CoreDumpDir" of the Plc key, else the boot project path.
bool OsKxCatRegGetPlc30CoreDumpPathA(CString& path);
// "UserPath<n>" as stored (no separator added).
bool OsKxCatRegReadUserPathA(uint32_t n, CString& path);
// "BootDataPath" of the System key as stored.
bool OsReadBootDataPathA(CString& path);
// Replaces the %KX_...PATH% placeholders whose reader succeeds; the others stay in the text.
void OsKxCatExpandEnvironmentStringsA(CString& text);
