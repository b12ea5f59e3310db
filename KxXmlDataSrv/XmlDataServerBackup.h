// Backup copies of configured base files: the open fallback and the save rotation.
#pragma once

#include <string>

#include <pugixml.hpp>

#include "platform/FreeBSD/KxWinTypes.h"
#include "platform/KxOS/KxOsRegistry.h"

// After the base file sBaseFile failed to load with hrBase: loads its newer backup, then its older one, into
// doc. Returns hrBase unchanged when the file has no valid backup entry, else the last load's result.
HRESULT XmlBackupLoad(pugi::xml_document& doc, const std::string& sBaseFile, uint16_t nMode, HRESULT hrBase,
                      const std::string& sUser, const std::string& sPassword);

// After a save of sBaseFile: writes the older backup and records it as the newest. Failures are only logged.
void XmlBackupRotate(const pugi::xml_document& doc, const std::string& sBaseFile, const std::string& sUser,
                     const std::string& sPassword);

// Registry key (under HKEY_LOCAL_MACHINE) of the backup configuration.
#define KXXML_BACKUP_KEY "Software\\Velmor\\Korvex3 Functions\\QM4410 XML Server\\BACKUP_FILES"

// One base file with its two backups.
class CXmlDataServerBackupFile {
public:
    CXmlDataServerBackupFile() = default;
    ~CXmlDataServerBackupFile() { Reset(); }
    CXmlDataServerBackupFile(const CXmlDataServerBackupFile&) = delete;
    CXmlDataServerBackupFile& operator=(const CXmlDataServerBackupFile&) = delete;

    void SetKeyName(const char* s) { Set(m_sKeyName, s); }
    void SetBaseFile(const char* s) { Set(m_sBaseFile, s); }
    void SetBackupFile1(const char* s) { Set(m_sBackupFile1, s); }
    void SetBackupFile2(const char* s) { Set(m_sBackupFile2, s); }
    void SetLastUpdatedBackupFile(uint32_t n) { m_nLastUpdated = n; }
    // Each returns true with a fresh copy (delete[] by the caller), or false when the field is not set.
    bool GetKeyName(char** ppOut) const { return Get(m_sKeyName, ppOut); }
    bool GetBaseFile(char** ppOut) const { return Get(m_sBaseFile, ppOut); }
    bool GetBackupFile1(char** ppOut) const { return Get(m_sBackupFile1, ppOut); }
    bool GetBackupFile2(char** ppOut) const { return Get(m_sBackupFile2, ppOut); }
    uint32_t GetLastUpdatedBackupFile() const { return m_nLastUpdated; }
    // True when all three paths are set and the last updated backup is 1 or 2.
    bool IsValid() const;
    // Frees every string and sets the last updated backup to 0.
    void Reset();

    // Direct views for the service's own use; null when not set.
    const char* KeyName() const { return m_sKeyName; }
    const char* BaseFile() const { return m_sBaseFile; }
    const char* BackupFile(uint32_t n) const { return n == 1 ? m_sBackupFile1 : (n == 2 ? m_sBackupFile2 : nullptr); }

private:
    static void Set(char*& field, const char* s);
    static bool Get(const char* field, char** ppOut);

    char* m_sKeyName = nullptr;
    char* m_sBaseFile = nullptr;
    char* m_sBackupFile1 = nullptr;
    char* m_sBackupFile2 = nullptr;
    uint32_t m_nLastUpdated = 0;
};

// The backup configuration: one entry per subkey of BACKUP_FILES.
class CXmlDataServerBackupFileHandlingSettings {
public:
    explicit CXmlDataServerBackupFileHandlingSettings(uint32_t nCount);
    ~CXmlDataServerBackupFileHandlingSettings();
    CXmlDataServerBackupFileHandlingSettings(const CXmlDataServerBackupFileHandlingSettings&) = delete;
    CXmlDataServerBackupFileHandlingSettings& operator=(const CXmlDataServerBackupFileHandlingSettings&) = delete;

    // Entry i, or null outside 0..count-1.
    CXmlDataServerBackupFile* BackupFileAt(uint32_t i) const { return i < m_nCount ? m_ppFiles[i] : nullptr; }
    uint32_t BackupFileCount() const { return m_nCount; }
    // True with the index of the first valid entry whose base file equals sPath (ASCII case ignored).
    bool GetPosition(const char* sPath, uint32_t* pnIndex) const;
    // Copies each valid entry's base file to a backup that does not exist yet.
    void CreateBackupFiles() const;

    // Reads the entries below the opened BACKUP_FILES key hKey; null when out of memory.
    static CXmlDataServerBackupFileHandlingSettings* Load(HKEY hKey);

private:
    uint32_t m_nCount;
    CXmlDataServerBackupFile** m_ppFiles;
};

// Writes the verdicts on the entries that were read while no log was open (the first 256 of them), then
// forgets them; with the log still closed they are dropped. Call it when the log is opened, or not opened at all.
void XmlBackupWritePendingLog();

// Looks for the BACKUP_FILES subkey of the opened settings key (an HKEY) and loads it into
// CXmlDataServerSettings::m_pBackupFileHandling. True when such a subkey was processed.
bool XmlBackupLoadSettings(HKEY hSettingsKey);
