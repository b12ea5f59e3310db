// The XML-backed registry store behind the Os-prefixed registry functions (internal to the store and its tests).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include <pugixml.hpp>

#include "platform/KxOS/KxOsRegistry.h"

// Longest path the store builds, with its NUL.
constexpr size_t KX_REGISTRY_PATH_SIZE = 1024;
// Highest handle number issued for an opened key; numbers wrap to 1 after it.
constexpr uintptr_t KX_REGISTRY_MAX_HANDLE = 0x7FFFFFFF;

// The files and default directories of one store, fixed when it is constructed.
struct CKxRegistryPath {
    char s_szRegistryFile[KX_REGISTRY_PATH_SIZE];
    char s_szRegistryBakFile[KX_REGISTRY_PATH_SIZE];
    char s_szBootDir[KX_REGISTRY_PATH_SIZE];
    char s_szConfigDir[KX_REGISTRY_PATH_SIZE];
    char s_szInstallDir[KX_REGISTRY_PATH_SIZE];
    char s_szTargetDir[KX_REGISTRY_PATH_SIZE];
    char s_szAutoloadDir[KX_REGISTRY_PATH_SIZE];

    // Builds every path from root (no trailing slash) and the driver auto-load directory (empty: below root).
    CKxRegistryPath(const std::string& root, const std::string& autoLoadDir);
};

class CKxXmlRegistry {
public:
    // A store rooted at root; nothing is loaded until Init.
    CKxXmlRegistry(const std::string& root, const std::string& autoLoadDir);
    CKxXmlRegistry(const CKxXmlRegistry&) = delete;
    CKxXmlRegistry& operator=(const CKxXmlRegistry&) = delete;

    // Loads xml (non-empty) or the file, falls back to a fresh document and adds the missing defaults;
    // true when defaults were added (and saved when write-enabled).
    bool Init(const char* xml, bool overwriteDirs, bool writeEnable);
    // Loads the file under a shared (read-only) or exclusive lock; false when it is missing or malformed.
    // A write-enabled store that finds a file it cannot load (and cannot move aside) loses its write access.
    bool ReadFromFile();
    // Loads the document from a text; false when it is malformed.
    bool ReadFromXml(const char* xml);
    // Replaces the document by an empty root holding only the HKLM hive.
    void CreateDocument();
    // Finds the root and the hives; true when the HKLM hive exists.
    bool CheckDocument();
    // Forgets every handle and maps the predefined handles to their hives.
    void InitKeyMap();
    // Saves the document (write-enabled stores only), optionally under the file lock; false on failure.
    bool WriteToFile(bool lockFile);
    // Sets a string default below HKLM; true when something was written.
    bool RegistryCreateHklmString(const char* key, const char* valueName, const char* defaultData, bool overwrite,
                                  bool makeAbsolute);
    // Sets a DWORD default below HKLM; true when something was written.
    bool RegistryCreateHklmDword(const char* key, const char* valueName, uint32_t defaultData, bool overwrite);
    // True when the document differs from the file.
    bool IsDirty();
    // True when the store may write its file.
    bool IsWriteEnabled();
    // The root directory and the paths of this store.
    const std::string& RootDir() const { return m_root; }
    const CKxRegistryPath& Paths() const { return m_paths; }

    // Registry operations (Win32 error numbers).
    LONG OpenKeyInternal(HKEY hKey, const char* subKey, HKEY* result, bool create, bool& created);
    LONG OpenKey(HKEY hKey, const char* subKey, HKEY* result);
    LONG CreateKey(HKEY hKey, const char* subKey, HKEY* result, DWORD* disposition);
    LONG OpenXmlKeyInternal(HKEY hKey, const char* subKey, bool create, pugi::xml_node& result, bool& created);
    LONG QueryValue(HKEY hKey, const char* name, DWORD* type, BYTE* data, DWORD* cbData);
    LONG QueryValue(pugi::xml_node value, DWORD* type, BYTE* data, DWORD* cbData);
    LONG SetValue(HKEY hKey, const char* name, DWORD type, const BYTE* data, DWORD cbData);
    LONG DeleteValue(HKEY hKey, const char* name);
    LONG EnumKey(HKEY hKey, DWORD index, char* name, DWORD* cchName, char* cls, DWORD* cchClass,
                 FILETIME* lastWrite);
    LONG EnumValue(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* type, BYTE* data, DWORD* cbData);
    LONG QueryInfo(HKEY hKey, char* cls, DWORD* cchClass, DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* maxClassLen,
                   DWORD* values, DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* securityDescriptor,
                   FILETIME* lastWrite);
    LONG CloseKey(HKEY hKey);
    LONG DeleteKey(HKEY hKey, const char* subKey);
    LONG DeleteTree(HKEY hKey, const char* subKey);
    // Appends the hive element of a predefined handle when it is missing; 87 for any other handle.
    LONG AddHKeyNode(HKEY hKey);

    // Next free handle number after the last one issued (wrapping after 0x7FFFFFFF); false when none is free.
    bool FindUnusedKey(uintptr_t& number);
    // The last handle number issued; setting it decides where the next search starts.
    uintptr_t LastKeyNumber();
    void SetLastKeyNumber(uintptr_t number);

    // Type code of a type name, or of a Value element's Type attribute (0 when unknown).
    static DWORD GetValueType(const char* typeName);
    static DWORD GetValueType(pugi::xml_node value);
    // Type name of a code ("" for codes without a name).
    static const char* ValueTypeToString(DWORD type);
    // First child element named element whose Name matches value case-insensitively.
    static pugi::xml_node FindByChildAttribute(pugi::xml_node node, const char* element, const char* value);

private:
    // A predefined handle, the Name of its Key element under the root, and the member keeping that element.
    struct Hive {
        HKEY handle;
        const char* name;
        pugi::xml_node CKxXmlRegistry::*node;
    };
    // The seven predefined handles.
    static const std::array<Hive, 7>& Hives();

    // The element of an open handle; null when unknown or deleted.
    bool LookupKey(HKEY hKey, pugi::xml_node& key);
    void ForgetHandlesOf(pugi::xml_node key, bool includeKey);
    bool SaveDocument(const char* path);
    // Drops the write access of a store whose existing file could not be loaded (err: why), with a message.
    void KeepUnloadedFile(int err);

    pugi::xml_document m_doc;
    pugi::xml_node m_hklm, m_hkcu, m_hku, m_hkcr, m_hkpd, m_hkpt, m_hkpnlst;
    std::map<uintptr_t, pugi::xml_node> m_mapKey;
    uintptr_t m_nKey;
    std::recursive_mutex m_cs;
    bool m_bWriteEnabled;
    bool m_bDirty;
    std::string m_root;
    CKxRegistryPath m_paths;
};

// The process's store: created on first use (read-only unless writeEnable), destroyed (saved first when
// write-enabled and changed) with destroy true. Returns null after destruction or when creation fails.
CKxXmlRegistry* GetRegistry(bool destroy, bool writeEnable);
