#include "XmlDataServerBackup.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <strings.h>
#include <vector>

#include "FileTracer.h"
#include "KxXmlErrors.h"
#include "OsUserFile.h"
#include "XmlDataServerFile.h"
#include "XmlDataServerSettings.h"

namespace {

// The configuration is read while the service object is built, before its log is opened; verdicts written
// then are kept here until XmlBackupWritePendingLog. Beyond this many they are dropped, as a closed log drops.
const size_t kMaxPendingVerdicts = 256;

struct PendingLine {
    bool error;
    std::string text;
};
std::mutex g_pendingLock;
std::vector<PendingLine> g_pending;

void LogVerdict(bool error, const char* sKey)
{
    char line[KX_TRACE_LINE];
    std::snprintf(line, sizeof(line),
                  error ? "BACKUP_FILES data for registry key \"%s\" is not valid and will be ignored!"
                        : "BACKUP_FILES data for registry key \"%s\" is valid!",
                  sKey);
    if (!CFileTracer::IsOpen()) {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        if (g_pending.size() >= kMaxPendingVerdicts)
            return;
        try {
            g_pending.push_back({error, line});
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    if (error)
        CFileTracer::WriteLine0("%s", line);
    else
        CFileTracer::WriteLine2("%s", line);
}

// A string value counts only when it is a string type and properly terminated.
bool ReadStringValue(HKEY hKey, const char* name, std::string& out)
{
    DWORD type = 0, cb = 0;
    if (OsRegQueryValueExA(hKey, name, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS || cb == 0)
        return false;
    std::string buf(cb, '\0');
    if (OsRegQueryValueExA(hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&buf[0]), &cb) != ERROR_SUCCESS ||
        cb == 0 || cb > buf.size())
        return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        if (buf[cb - 1] != '\0')
            return false;
    } else if (type == REG_MULTI_SZ) {
        if (cb < 2 || buf[cb - 1] != '\0' || buf[cb - 2] != '\0')
            return false;
    } else {
        return false;
    }
    out.assign(buf.c_str());
    return true;
}

bool FileExists(const std::string& path)
{
    return OsUserPathFileExists(XmlNormalizePath(path.c_str()).c_str()) != FALSE;
}

} // namespace

void CXmlDataServerBackupFile::Set(char*& field, const char* s)
{
    delete[] field;
    field = nullptr;
    if (!s)
        return;
    size_t n = std::strlen(s);
    field = new (std::nothrow) char[n + 1];
    if (field)
        std::memcpy(field, s, n + 1);
}

bool CXmlDataServerBackupFile::Get(const char* field, char** ppOut)
{
    if (!field || !ppOut)
        return false;
    size_t n = std::strlen(field);
    *ppOut = new (std::nothrow) char[n + 1];
    if (!*ppOut)
        return false;
    std::memcpy(*ppOut, field, n + 1);
    return true;
}

bool CXmlDataServerBackupFile::IsValid() const
{
    return m_sBaseFile && m_sBackupFile1 && m_sBackupFile2 && (m_nLastUpdated == 1 || m_nLastUpdated == 2);
}

void CXmlDataServerBackupFile::Reset()
{
    Set(m_sKeyName, nullptr);
    Set(m_sBaseFile, nullptr);
    Set(m_sBackupFile1, nullptr);
    Set(m_sBackupFile2, nullptr);
    m_nLastUpdated = 0;
}

CXmlDataServerBackupFileHandlingSettings::CXmlDataServerBackupFileHandlingSettings(uint32_t nCount)
    : m_nCount(0), m_ppFiles(nullptr)
{
    if (nCount == 0)
        return;
    m_ppFiles = new (std::nothrow) CXmlDataServerBackupFile*[nCount];
    if (!m_ppFiles)
        return;
    for (uint32_t i = 0; i < nCount; ++i) {
        m_ppFiles[i] = new (std::nothrow) CXmlDataServerBackupFile();
        if (!m_ppFiles[i])
            break;
        m_nCount = i + 1;
    }
}

CXmlDataServerBackupFileHandlingSettings::~CXmlDataServerBackupFileHandlingSettings()
{
    for (uint32_t i = 0; i < m_nCount; ++i)
        delete m_ppFiles[i];
    delete[] m_ppFiles;
}

bool CXmlDataServerBackupFileHandlingSettings::GetPosition(const char* sPath, uint32_t* pnIndex) const
{
    if (!sPath)
        return false;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const CXmlDataServerBackupFile* f = m_ppFiles[i];
        // strcasecmp folds only ASCII letters in the C locale the service runs in.
        if (f->IsValid() && strcasecmp(f->BaseFile(), sPath) == 0) {
            if (pnIndex)
                *pnIndex = i;
            return true;
        }
    }
    return false;
}

void CXmlDataServerBackupFileHandlingSettings::CreateBackupFiles() const
{
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const CXmlDataServerBackupFile* f = m_ppFiles[i];
        if (!f->IsValid())
            continue;
        const std::string base = XmlNormalizePath(f->BaseFile());
        std::string content;
        bool read = false;
        for (uint32_t n = 1; n <= 2; ++n) {
            const std::string backup = XmlNormalizePath(f->BackupFile(n));
            if (FileExists(backup))
                continue;
            // Written like every save, so a crash during the copy cannot leave a half backup behind.
            if (!read && !XmlReadFile(base, content))
                break;
            read = true;
            XmlWriteFileAtomic(backup, content);
        }
    }
}

CXmlDataServerBackupFileHandlingSettings* CXmlDataServerBackupFileHandlingSettings::Load(HKEY hKey)
{
    uint32_t count = 0;
    for (;; ++count) {
        char name[1025];
        DWORD cch = sizeof(name) - 1;
        if (OsRegEnumKeyExA(hKey, count, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
    }
    CXmlDataServerBackupFileHandlingSettings* pSettings = new (std::nothrow)
        CXmlDataServerBackupFileHandlingSettings(count);
    if (!pSettings)
        return nullptr;
    for (uint32_t i = 0; i < pSettings->BackupFileCount(); ++i) {
        CXmlDataServerBackupFile* f = pSettings->BackupFileAt(i);
        char name[1025];
        DWORD cch = sizeof(name) - 1;
        if (OsRegEnumKeyExA(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        name[sizeof(name) - 1] = '\0';
        HKEY hEntry = nullptr;
        if (OsRegOpenKeyExA(hKey, name, 0, KEY_READ | KEY_WRITE, &hEntry) != ERROR_SUCCESS)
            continue;
        f->SetKeyName(name);
        std::string value;
        if (ReadStringValue(hEntry, "BaseFile", value))
            f->SetBaseFile(value.c_str());
        if (ReadStringValue(hEntry, "BackupFile1", value))
            f->SetBackupFile1(value.c_str());
        if (ReadStringValue(hEntry, "BackupFile2", value))
            f->SetBackupFile2(value.c_str());
        DWORD type = 0, last = 0, cb = sizeof(last);
        if (OsRegQueryValueExA(hEntry, "LastUpdatedBackupFile", nullptr, &type, reinterpret_cast<BYTE*>(&last),
                               &cb) != ERROR_SUCCESS ||
            type != REG_DWORD || cb != sizeof(last)) {
            last = 1;
            OsRegSetValueExA(hEntry, "LastUpdatedBackupFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&last),
                             sizeof(last));
        } else if (last != 1 && last != 2) {
            last = 1;
        }
        f->SetLastUpdatedBackupFile(last);
        OsRegCloseKey(hEntry);
        if (f->IsValid()) {
            LogVerdict(false, name);
        } else {
            LogVerdict(true, name);
            f->Reset();
        }
    }
    return pSettings;
}

void XmlBackupWritePendingLog()
{
    std::vector<PendingLine> lines;
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        lines.swap(g_pending);
    }
    for (const PendingLine& l : lines) {
        if (l.error)
            CFileTracer::WriteLine0("%s", l.text.c_str());
        else
            CFileTracer::WriteLine2("%s", l.text.c_str());
    }
}

bool XmlBackupLoadSettings(HKEY hSettingsKey)
{
    for (DWORD i = 0;; ++i) {
        char name[1025];
        DWORD cch = sizeof(name) - 1;
        if (OsRegEnumKeyExA(hSettingsKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        name[sizeof(name) - 1] = '\0';
        if (std::strcmp(name, "BACKUP_FILES") != 0)
            continue;
        HKEY hBackup = nullptr;
        if (OsRegOpenKeyExA(hSettingsKey, name, 0, KEY_READ, &hBackup) != ERROR_SUCCESS)
            continue;
        CXmlDataServerBackupFileHandlingSettings* pSettings = CXmlDataServerBackupFileHandlingSettings::Load(hBackup);
        OsRegCloseKey(hBackup);
        delete CXmlDataServerSettings::m_pBackupFileHandling;
        CXmlDataServerSettings::m_pBackupFileHandling = pSettings;
        return true;
    }
}

HRESULT XmlBackupLoad(pugi::xml_document& doc, const std::string& sBaseFile, uint16_t nMode, HRESULT hrBase,
                      const std::string& sUser, const std::string& sPassword)
{
    const CXmlDataServerBackupFileHandlingSettings* pSettings = CXmlDataServerSettings::m_pBackupFileHandling;
    uint32_t index = 0;
    if (!pSettings || !pSettings->GetPosition(sBaseFile.c_str(), &index))
        return hrBase;
    const CXmlDataServerBackupFile* f = pSettings->BackupFileAt(index);
    const uint32_t last = f->GetLastUpdatedBackupFile();
    if (last != 1 && last != 2)
        return hrBase;
    HRESULT hr = hrBase;
    const uint32_t order[2] = {last, 3 - last};
    for (uint32_t n : order) {
        const std::string path = f->BackupFile(n);
        if (FileExists(path)) {
            doc.reset();
            hr = XmlLoadDocument(doc, path, sUser, sPassword);
            if (SUCCEEDED(hr))
                return hr;
        } else {
            hr = (nMode & 0x0001) ? hrBase : kXmlErrFileAccess;
        }
        CFileTracer::WriteLine0("Failed to open backup file! File=\"%s\" HRESULT=\"0x%x\"", path.c_str(),
                                static_cast<unsigned>(hr));
    }
    doc.reset();
    return hr;
}

void XmlBackupRotate(const pugi::xml_document& doc, const std::string& sBaseFile, const std::string& sUser,
                     const std::string& sPassword)
{
    CXmlDataServerBackupFileHandlingSettings* pSettings = CXmlDataServerSettings::m_pBackupFileHandling;
    uint32_t index = 0;
    if (!pSettings || !pSettings->GetPosition(sBaseFile.c_str(), &index))
        return;
    CXmlDataServerBackupFile* f = pSettings->BackupFileAt(index);
    const uint32_t last = f->GetLastUpdatedBackupFile();
    const uint32_t target = last == 1 ? 2 : 1;
    const char* path = f->BackupFile(target);
    if (!XmlSaveDocument(doc, path, sUser, sPassword)) {
        CFileTracer::WriteLine0("Update of backup file \"%s\" failed!", path);
        return;
    }
    f->SetLastUpdatedBackupFile(target);

    HKEY hBackup = nullptr;
    if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, KXXML_BACKUP_KEY, 0, KEY_READ | KEY_WRITE, &hBackup) != ERROR_SUCCESS)
        return;
    HKEY hEntry = nullptr;
    if (OsRegOpenKeyExA(hBackup, f->KeyName(), 0, KEY_READ | KEY_WRITE, &hEntry) == ERROR_SUCCESS) {
        DWORD value = target;
        LONG res = OsRegSetValueExA(hEntry, "LastUpdatedBackupFile", 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&value), sizeof(value));
        if (res == ERROR_SUCCESS)
            CFileTracer::WriteLine2(
                "Registry Update! KeyName=\"%s%s%s\", ValueName=\"%s\", Value=\"%i\", Result=\"%i\"",
                KXXML_BACKUP_KEY, "\\", f->KeyName(), "LastUpdatedBackupFile", static_cast<int>(target), 0);
        else
            CFileTracer::WriteLine0(
                "Registry Update failed! KeyName=\"%s%s%s\", ValueName=\"%s\", Value=\"%i\", Result=\"%i\"",
                KXXML_BACKUP_KEY, "\\", f->KeyName(), "LastUpdatedBackupFile", static_cast<int>(target),
                static_cast<int>(res));
        OsRegCloseKey(hEntry);
    }
    OsRegCloseKey(hBackup);
}
