// The registry file: its place, loading under a file lock, quarantine, defaults and saving; the store's lifecycle.
#include "KxXmlRegistry.h"

#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OsUserFile.h"

namespace {

// Status messages of the store go to standard output, as the runtime's other tools do.
void KxTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void KxTrace(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
}

constexpr const char kKorvex3Key[] = "Software\\Velmor\\Korvex3";
constexpr const char kKorvex3SystemKey[] = "Software\\Velmor\\Korvex3\\System";
constexpr const char kKorvex3VersionKey[] = "Software\\Velmor\\Korvex3\\3.1";

CKxXmlRegistry* s_instance = nullptr;
std::mutex s_instanceLock;
std::atomic<long> s_refCount{0};
std::string s_pendingXml;
std::string s_pendingAutoLoadDir;
std::string s_pendingRootDir;

std::string CurrentRootDir()
{
    std::string root;
    if (!s_pendingRootDir.empty()) {
        root = s_pendingRootDir;
    } else {
        const char* env = std::getenv(KX_REGISTRY_ROOT_ENV);
        root = (env && *env) ? env : KX_REGISTRY_DEFAULT_ROOT;
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// Collects the serialised document in memory so that the file is written in one checked pass.
struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

} // namespace

CKxRegistryPath::CKxRegistryPath(const std::string& root, const std::string& autoLoadDir)
{
    const char* r = root.c_str();
    std::snprintf(s_szRegistryFile, sizeof(s_szRegistryFile), "%s/KxRegistry.xml", r);
    std::snprintf(s_szRegistryBakFile, sizeof(s_szRegistryBakFile), "%s/KxRegistry.bak", r);
    std::snprintf(s_szBootDir, sizeof(s_szBootDir), "%s/Boot/", r);
    std::snprintf(s_szConfigDir, sizeof(s_szConfigDir), "%s/Config/", r);
    std::snprintf(s_szInstallDir, sizeof(s_szInstallDir), "%s/", r);
    std::snprintf(s_szTargetDir, sizeof(s_szTargetDir), "%s/Target/", r);
    if (!autoLoadDir.empty())
        std::snprintf(s_szAutoloadDir, sizeof(s_szAutoloadDir), "%s/", autoLoadDir.c_str());
    else
        std::snprintf(s_szAutoloadDir, sizeof(s_szAutoloadDir), "%s/Driver/AutoLoad/", r);
}

CKxXmlRegistry::CKxXmlRegistry(const std::string& root, const std::string& autoLoadDir)
    : m_nKey(0), m_bWriteEnabled(false), m_bDirty(false), m_root(root), m_paths(root, autoLoadDir)
{
}

bool CKxXmlRegistry::IsDirty()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_bDirty;
}

bool CKxXmlRegistry::IsWriteEnabled()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_bWriteEnabled;
}

bool CKxXmlRegistry::Init(const char* xml, bool overwriteDirs, bool writeEnable)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (writeEnable)
        m_bWriteEnabled = true;

    const bool loaded = (xml && *xml) ? ReadFromXml(xml) : ReadFromFile();
    if (!loaded)
        CreateDocument();
    else if (!m_bWriteEnabled)
        return false; // a read-only store adds nothing to a document it could load

    bool written = false;
    written |= RegistryCreateHklmString(kKorvex3Key, "CurrentVersion", "3.1", false, false);
    written |= RegistryCreateHklmDword(kKorvex3SystemKey, "RunAsDevice", 1, false);
    written |= RegistryCreateHklmString(kKorvex3VersionKey, "BootDir", m_paths.s_szBootDir, overwriteDirs,
                                        writeEnable);
    written |= RegistryCreateHklmString(kKorvex3VersionKey, "ConfigDir", m_paths.s_szConfigDir, overwriteDirs,
                                        writeEnable);
    written |= RegistryCreateHklmString(kKorvex3VersionKey, "InstallDir", m_paths.s_szInstallDir, overwriteDirs,
                                        writeEnable);
    written |= RegistryCreateHklmString(kKorvex3VersionKey, "TargetDir", m_paths.s_szTargetDir, overwriteDirs,
                                        writeEnable);
    written |= RegistryCreateHklmString(kKorvex3VersionKey, "DriverAutoLoadDir", m_paths.s_szAutoloadDir,
                                        overwriteDirs, writeEnable);
    written |= RegistryCreateHklmString("Ident", "DeviceType", "KX/BSD", false, false);
    if (!written)
        return false;
    WriteToFile(false);
    return true;
}

// A file that exists but could not be loaded must not be replaced by a fresh document: the store keeps
// working in memory but drops its write access, so no save ever goes over that file.
void CKxXmlRegistry::KeepUnloadedFile(int err)
{
    if (!m_bWriteEnabled)
        return;
    m_bWriteEnabled = false;
    KxTrace("Korvex registry file %s exists but could not be loaded (%s): it is not saved over\n",
            m_paths.s_szRegistryFile, std::strerror(err));
}

bool CKxXmlRegistry::ReadFromFile()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    int fd = ::open(m_paths.s_szRegistryFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        KxTrace("Failed to open file for lock file\n");
        KxTrace("Failed to lock Korvex registry file\n");
        if (err != ENOENT)
            KeepUnloadedFile(err);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, m_bWriteEnabled ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        KxTrace("Failed to lock file\n");
        ::close(fd);
        KxTrace("Failed to lock Korvex registry file\n");
        KeepUnloadedFile(err);
        return false;
    }

    pugi::xml_parse_result result = m_doc.load_file(m_paths.s_szRegistryFile, pugi::parse_default);
    const int loadErr = errno;
    if (!result) {
        KxTrace("Failed to load Korvex registry(%d).\n", static_cast<int>(result.status));
        // The loader reports any failure to open the file as "not found", also when it is still there.
        struct stat st;
        if (result.status == pugi::status_file_not_found && ::stat(m_paths.s_szRegistryFile, &st) == 0)
            KeepUnloadedFile(loadErr);
        if (result.status != pugi::status_file_not_found && m_bWriteEnabled) {
            ::unlink(m_paths.s_szRegistryBakFile);
            // Only a file moved out of the way to its backup name may be replaced.
            if (::rename(m_paths.s_szRegistryFile, m_paths.s_szRegistryBakFile) != 0 && errno != ENOENT)
                KeepUnloadedFile(errno);
        }
        // Whatever was parsed before the fault is not trusted.
        m_doc.reset();
    } else if (CheckDocument()) {
        InitKeyMap();
    }

    ::flock(fd, LOCK_UN);
    ::close(fd);
    return static_cast<bool>(result);
}

bool CKxXmlRegistry::ReadFromXml(const char* xml)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    pugi::xml_parse_result result =
        m_doc.load_buffer(xml, std::strlen(xml), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        m_doc.reset();
        return false;
    }
    if (CheckDocument())
        InitKeyMap();
    return true;
}

void CKxXmlRegistry::CreateDocument()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_doc.reset();
    for (const Hive& hive : Hives())
        this->*hive.node = pugi::xml_node();
    m_doc.append_child("KxRegistry");
    AddHKeyNode(HKEY_LOCAL_MACHINE);
    InitKeyMap();
}

bool CKxXmlRegistry::CheckDocument()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    pugi::xml_node root = m_doc.child("KxRegistry");
    for (const Hive& hive : Hives())
        this->*hive.node = FindByChildAttribute(root, "Key", hive.name);
    return root && m_hklm;
}

void CKxXmlRegistry::InitKeyMap()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_mapKey.clear();
    for (const Hive& hive : Hives())
        m_mapKey[reinterpret_cast<uintptr_t>(hive.handle)] = this->*hive.node;
}

// Writes the document next to the file and renames it over, so that a reader or a crash never sees half a file;
// a link to the file stays a link, and the file keeps its owner, group and mode.
bool CKxXmlRegistry::SaveDocument(const char* path)
{
    StringWriter writer;
    try {
        m_doc.save(writer, "\t", pugi::format_indent | pugi::format_skip_control_chars, pugi::encoding_auto);
    } catch (const std::bad_alloc&) {
        return false;
    }

    return OsUserWriteFileAtomic(path, writer.text.data(), writer.text.size()) != FALSE;
}

bool CKxXmlRegistry::WriteToFile(bool lockFile)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (!m_bWriteEnabled)
        return false;
    m_bDirty = false;

    int fd = -1;
    if (lockFile) {
        fd = ::open(m_paths.s_szRegistryFile, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            KxTrace("Failed to open file for lock file\n");
        } else {
            int rc;
            do {
                rc = ::flock(fd, LOCK_EX);
            } while (rc != 0 && errno == EINTR);
            if (rc != 0) {
                KxTrace("Failed to lock file\n");
                ::close(fd);
                fd = -1;
            }
        }
    }

    bool ok = SaveDocument(m_paths.s_szRegistryFile);
    // A failed save keeps the changes pending so that the next flush tries again.
    if (!ok)
        m_bDirty = true;

    if (fd >= 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
    return ok;
}

bool CKxXmlRegistry::RegistryCreateHklmString(const char* key, const char* valueName, const char* defaultData,
                                              bool overwrite, bool makeAbsolute)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    HKEY hKey = nullptr;
    DWORD disposition = 0;
    if (CreateKey(HKEY_LOCAL_MACHINE, key, &hKey, &disposition) != ERROR_SUCCESS)
        return false;

    const DWORD defaultSize = static_cast<DWORD>(std::strlen(defaultData));
    const BYTE* defaultBytes = reinterpret_cast<const BYTE*>(defaultData);
    bool written = false;
    DWORD type = 0;
    DWORD size = 0;
    if (QueryValue(hKey, valueName, &type, nullptr, &size) != ERROR_SUCCESS) {
        written = SetValue(hKey, valueName, REG_SZ, defaultBytes, defaultSize) == ERROR_SUCCESS;
    } else if (makeAbsolute && !overwrite) {
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::string stored(size, '\0');
            if (size > 0 && QueryValue(hKey, valueName, &type, reinterpret_cast<BYTE*>(&stored[0]), &size) ==
                                ERROR_SUCCESS) {
                stored.resize(std::strlen(stored.c_str()));
                if (stored.size() > 1 && stored[0] == '.' && stored[1] == '\\') {
                    std::error_code ec;
                    std::filesystem::path abs = std::filesystem::absolute(std::filesystem::path(stored), ec);
                    if (!ec) {
                        const std::string text = abs.string();
                        DeleteValue(hKey, valueName);
                        written = SetValue(hKey, valueName, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                           static_cast<DWORD>(text.size())) == ERROR_SUCCESS;
                    }
                }
            }
        }
    } else if (overwrite) {
        DeleteValue(hKey, valueName);
        written = SetValue(hKey, valueName, REG_SZ, defaultBytes, defaultSize) == ERROR_SUCCESS;
    }
    CloseKey(hKey);
    return written;
}

bool CKxXmlRegistry::RegistryCreateHklmDword(const char* key, const char* valueName, uint32_t defaultData,
                                             bool overwrite)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    HKEY hKey = nullptr;
    DWORD disposition = 0;
    if (CreateKey(HKEY_LOCAL_MACHINE, key, &hKey, &disposition) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    BYTE buffer[4] = {};
    DWORD size = sizeof(buffer);
    bool written = false;
    if (QueryValue(hKey, valueName, &type, buffer, &size) != ERROR_SUCCESS || overwrite || type != REG_DWORD)
        written = SetValue(hKey, valueName, REG_DWORD, reinterpret_cast<const BYTE*>(&defaultData),
                           sizeof(defaultData)) == ERROR_SUCCESS;
    CloseKey(hKey);
    return written;
}

// ---- Lifecycle ------------------------------------------------------------------------------------------------

CKxXmlRegistry* GetRegistry(bool destroy, bool writeEnable)
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    if (destroy) {
        if (s_instance) {
            if (s_instance->IsWriteEnabled() && s_instance->IsDirty())
                s_instance->WriteToFile(true);
            delete s_instance;
            s_instance = nullptr;
        }
        return nullptr;
    }
    if (!s_instance) {
        try {
            std::unique_ptr<CKxXmlRegistry> reg(new CKxXmlRegistry(CurrentRootDir(), s_pendingAutoLoadDir));
            const std::string xml = s_pendingXml;
            s_pendingXml.clear();
            reg->Init(xml.c_str(), false, writeEnable);
            s_instance = reg.release();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return s_instance;
}

long RegistryInit(const char* xml)
{
    if (++s_refCount != 1)
        return 0;
    std::lock_guard<std::mutex> guard(s_instanceLock);
    if (xml && *xml) {
        try {
            s_pendingXml = xml;
            return 1;
        } catch (const std::bad_alloc&) {
        }
    }
    s_pendingXml.clear();
    return 0;
}

long RegistryInit()
{
    return RegistryInit(nullptr);
}

void RegistryDestroy()
{
    // An unbalanced destroy does not drive the count below zero, so the next init is again the first.
    long count = s_refCount.load();
    long next;
    do {
        next = count > 0 ? count - 1 : 0;
    } while (!s_refCount.compare_exchange_weak(count, next));
    if (next == 0)
        GetRegistry(true, false);
}

void RegistryEnableWriteAccess()
{
    GetRegistry(false, true);
}

bool RegistryReInit()
{
    GetRegistry(true, false);
    return GetRegistry(false, true) != nullptr;
}

bool RegistrySetDefaultDriverAutoLoadDir(const char* dir)
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    try {
        s_pendingAutoLoadDir = dir ? dir : "";
    } catch (const std::bad_alloc&) {
        s_pendingAutoLoadDir.clear();
    }
    return true;
}

bool RegistrySetRootDir(const char* dir)
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    try {
        s_pendingRootDir = dir ? dir : "";
    } catch (const std::bad_alloc&) {
        s_pendingRootDir.clear();
    }
    return true;
}

bool RegistryGetRootDir(std::string& out)
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    try {
        out = s_instance ? s_instance->RootDir() : CurrentRootDir();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool RegistryGetXml(std::string& out)
{
    out.clear();
    CKxXmlRegistry* reg = GetRegistry(false, false);
    if (!reg || !reg->WriteToFile(true))
        return false;
    FILE* file = std::fopen(reg->Paths().s_szRegistryFile, "rb");
    if (!file)
        return true;
    char chunk[1024];
    size_t n;
    try {
        while ((n = std::fread(chunk, 1, sizeof(chunk) - 1, file)) > 0)
            out.append(chunk, n);
    } catch (const std::bad_alloc&) {
        std::fclose(file);
        out.clear();
        return false;
    }
    std::fclose(file);
    return true;
}

void OsWriteRegToFile()
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    if (reg && reg->IsDirty())
        reg->WriteToFile(true);
}

LONG OsRegFlushKey(HKEY)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    if (!reg)
        return ERROR_ACCESS_DENIED;
    if (reg->IsDirty())
        reg->WriteToFile(true);
    return ERROR_SUCCESS;
}
