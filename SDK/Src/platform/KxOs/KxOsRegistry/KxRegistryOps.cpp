// Handle table, key walk and value operations of the registry store, and the Win32-style functions over them.
#include "KxXmlRegistry.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <strings.h>
#include <unordered_set>
#include <vector>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

uintptr_t HandleValue(HKEY hKey)
{
    return reinterpret_cast<uintptr_t>(hKey);
}

bool IsBadSubKey(const char* subKey)
{
    return !subKey || !*subKey || *subKey == '\\';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

uint32_t ParseDword(const char* text)
{
    if ((text[0] == '0' || text[0] == '#') && text[1] == 'x')
        return static_cast<uint32_t>(std::strtoul(text + 2, nullptr, 16));
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}

// Removes node from parent leaf first: pugixml frees a subtree recursively, which a crafted file nested deeply
// enough would turn into a stack overflow.
void RemoveSubtree(pugi::xml_node parent, pugi::xml_node node)
{
    pugi::xml_node current = node;
    for (;;) {
        pugi::xml_node child = current.last_child();
        if (child) {
            current = child;
            continue;
        }
        if (current == node)
            break;
        pugi::xml_node up = current.parent();
        up.remove_child(current);
        current = up;
    }
    parent.remove_child(node);
}

// True when the element's content is plain text (or nothing), so that comparing its text is meaningful.
bool HoldsPlainText(pugi::xml_node value)
{
    pugi::xml_node first = value.first_child();
    return !first || first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata;
}

// Replaces the element's first child by a text child; false when the text could not be stored.
bool ReplaceWithText(pugi::xml_node value, const char* text)
{
    pugi::xml_node first = value.first_child();
    if (first)
        RemoveSubtree(value, first);
    pugi::xml_node node = value.prepend_child(pugi::node_pcdata);
    return node && node.set_value(text);
}

// Splits a double-NUL-terminated list; false when it is malformed. The last byte is never examined: a list ends
// with an empty string or with a string whose NUL is the second-to-last byte.
bool ParseMultiString(const BYTE* data, DWORD cbData, std::vector<std::string>& out)
{
    if (cbData == 0)
        return false;
    const char* text = reinterpret_cast<const char*>(data);
    if (cbData == 1) {
        if (text[0] != '\0')
            return false;
        out.emplace_back();
        return true;
    }
    size_t pos = 0;
    for (;;) {
        size_t end = pos;
        while (end < cbData - 1 && text[end] != '\0')
            ++end;
        if (end >= cbData - 1)
            return false;
        if (end == pos) {
            out.emplace_back();
            return true;
        }
        out.emplace_back(text + pos, end - pos);
        if (end == cbData - 2)
            return true;
        pos = end + 1;
    }
}

bool SameMultiString(pugi::xml_node value, const std::vector<std::string>& strings)
{
    pugi::xml_node multi = value.first_child();
    if (!multi || multi.type() != pugi::node_element || std::strcmp(multi.name(), "MultiSz") != 0)
        return false;
    size_t i = 0;
    for (pugi::xml_node sz = multi.child("Sz"); sz; sz = sz.next_sibling("Sz"), ++i) {
        if (i >= strings.size() || strings[i] != sz.child_value())
            return false;
    }
    return i == strings.size();
}

} // namespace

// ---- Type names ---------------------------------------------------------------------------------------------------

DWORD CKxXmlRegistry::GetValueType(const char* typeName)
{
    static const struct {
        const char* name;
        DWORD type;
    } kTypes[] = {{"SZ", REG_SZ},       {"E_SZ", REG_EXPAND_SZ}, {"BIN", REG_BINARY},
                  {"DW", REG_DWORD},    {"M_SZ", REG_MULTI_SZ},  {"QW", REG_QWORD}};
    if (!typeName)
        return REG_NONE;
    for (const auto& t : kTypes) {
        if (std::strcmp(typeName, t.name) == 0)
            return t.type;
    }
    return REG_NONE;
}

DWORD CKxXmlRegistry::GetValueType(pugi::xml_node value)
{
    return GetValueType(value.attribute("Type").value());
}

const char* CKxXmlRegistry::ValueTypeToString(DWORD type)
{
    switch (type) {
    case REG_SZ: return "SZ";
    case REG_EXPAND_SZ: return "E_SZ";
    case REG_BINARY: return "BIN";
    case REG_DWORD: return "DW";
    case REG_MULTI_SZ: return "M_SZ";
    case REG_QWORD: return "QW";
    default: return "";
    }
}

pugi::xml_node CKxXmlRegistry::FindByChildAttribute(pugi::xml_node node, const char* element, const char* value)
{
    const char* wanted = value ? value : "";
    for (pugi::xml_node child = node.child(element); child; child = child.next_sibling(element)) {
        if (strcasecmp(child.attribute("Name").value(), wanted) == 0)
            return child;
    }
    return pugi::xml_node();
}

// ---- Handle table -------------------------------------------------------------------------------------------------

const std::array<CKxXmlRegistry::Hive, 7>& CKxXmlRegistry::Hives()
{
    static const std::array<Hive, 7> kHives = {{
        {HKEY_CLASSES_ROOT, "HKCR", &CKxXmlRegistry::m_hkcr},
        {HKEY_CURRENT_USER, "HKCU", &CKxXmlRegistry::m_hkcu},
        {HKEY_LOCAL_MACHINE, "HKLM", &CKxXmlRegistry::m_hklm},
        {HKEY_USERS, "HKU", &CKxXmlRegistry::m_hku},
        {HKEY_PERFORMANCE_DATA, "HKPERFORMANCED", &CKxXmlRegistry::m_hkpd},
        {HKEY_PERFORMANCE_TEXT, "HKPERFORMANCET", &CKxXmlRegistry::m_hkpt},
        {HKEY_PERFORMANCE_NLSTEXT, "HKPERFORMANCENLST", &CKxXmlRegistry::m_hkpnlst},
    }};
    return kHives;
}

LONG CKxXmlRegistry::AddHKeyNode(HKEY hKey)
{
    Lock lock(m_cs);
    for (const Hive& hive : Hives()) {
        if (hive.handle != hKey)
            continue;
        pugi::xml_node root = m_doc.child("KxRegistry");
        if (!root)
            return ERROR_NOT_FOUND;
        pugi::xml_node node = root.append_child("Key");
        if (!node || !node.append_attribute("Name").set_value(hive.name))
            return ERROR_OUTOFMEMORY;
        this->*hive.node = node;
        m_mapKey[HandleValue(hKey)] = node;
        m_bDirty = true;
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

bool CKxXmlRegistry::FindUnusedKey(uintptr_t& number)
{
    Lock lock(m_cs);
    for (uintptr_t tries = 0; tries < KX_REGISTRY_MAX_HANDLE; ++tries) {
        m_nKey = (m_nKey >= KX_REGISTRY_MAX_HANDLE) ? 1 : m_nKey + 1;
        if (m_mapKey.find(m_nKey) == m_mapKey.end()) {
            number = m_nKey;
            return true;
        }
    }
    return false;
}

uintptr_t CKxXmlRegistry::LastKeyNumber()
{
    Lock lock(m_cs);
    return m_nKey;
}

void CKxXmlRegistry::SetLastKeyNumber(uintptr_t number)
{
    Lock lock(m_cs);
    m_nKey = number > KX_REGISTRY_MAX_HANDLE ? KX_REGISTRY_MAX_HANDLE : number;
}

bool CKxXmlRegistry::LookupKey(HKEY hKey, pugi::xml_node& key)
{
    auto it = m_mapKey.find(HandleValue(hKey));
    if (it == m_mapKey.end() || !it->second)
        return false;
    key = it->second;
    return true;
}

void CKxXmlRegistry::ForgetHandlesOf(pugi::xml_node key, bool includeKey)
{
    std::unordered_set<pugi::xml_node_struct*> doomed;
    if (includeKey)
        doomed.insert(key.internal_object());
    // Iterative walk: a crafted file may nest keys deeper than the stack would allow for recursion.
    std::vector<pugi::xml_node> pending;
    for (pugi::xml_node child = key.child("Key"); child; child = child.next_sibling("Key"))
        pending.push_back(child);
    while (!pending.empty()) {
        pugi::xml_node node = pending.back();
        pending.pop_back();
        doomed.insert(node.internal_object());
        for (pugi::xml_node child = node.child("Key"); child; child = child.next_sibling("Key"))
            pending.push_back(child);
    }
    for (auto& entry : m_mapKey) {
        if (entry.second && doomed.count(entry.second.internal_object()))
            entry.second = pugi::xml_node();
    }
}

// ---- Keys ---------------------------------------------------------------------------------------------------------

LONG CKxXmlRegistry::OpenXmlKeyInternal(HKEY hKey, const char* subKey, bool create, pugi::xml_node& result,
                                        bool& created)
{
    created = false;
    if (IsBadSubKey(subKey))
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    pugi::xml_node node;
    if (!LookupKey(hKey, node))
        return ERROR_NOT_FOUND;

    const char* p = subKey;
    for (;;) {
        const char* end = std::strchr(p, '\\');
        size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (length == 0)
            break;
        std::string component(p, length);
        pugi::xml_node next;
        if (!created)
            next = FindByChildAttribute(node, "Key", component.c_str());
        if (!next) {
            if (!create)
                return ERROR_FILE_NOT_FOUND;
            next = node.append_child("Key");
            if (!next)
                return ERROR_OUTOFMEMORY;
            if (!next.append_attribute("Name").set_value(component.c_str())) {
                node.remove_child(next);
                return ERROR_OUTOFMEMORY;
            }
            created = true;
        }
        node = next;
        if (!end)
            break;
        p = end + 1;
    }
    result = node;
    return ERROR_SUCCESS;
}

LONG CKxXmlRegistry::OpenKeyInternal(HKEY hKey, const char* subKey, HKEY* result, bool create, bool& created)
{
    created = false;
    if (!result || IsBadSubKey(subKey))
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    uintptr_t number = 0;
    if (!FindUnusedKey(number))
        return ERROR_NOT_FOUND;
    pugi::xml_node node;
    LONG rc = OpenXmlKeyInternal(hKey, subKey, create, node, created);
    if (created)
        m_bDirty = true;
    if (rc != ERROR_SUCCESS)
        return rc;
    try {
        m_mapKey[number] = node;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    *result = reinterpret_cast<HKEY>(number);
    return ERROR_SUCCESS;
}

LONG CKxXmlRegistry::OpenKey(HKEY hKey, const char* subKey, HKEY* result)
{
    bool created = false;
    return OpenKeyInternal(hKey, subKey, result, false, created);
}

LONG CKxXmlRegistry::CreateKey(HKEY hKey, const char* subKey, HKEY* result, DWORD* disposition)
{
    bool created = false;
    LONG rc = OpenKeyInternal(hKey, subKey, result, true, created);
    if (rc == ERROR_SUCCESS && disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return rc;
}

LONG CKxXmlRegistry::CloseKey(HKEY hKey)
{
    Lock lock(m_cs);
    return m_mapKey.erase(HandleValue(hKey)) ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

LONG CKxXmlRegistry::DeleteKey(HKEY hKey, const char* subKey)
{
    Lock lock(m_cs);
    pugi::xml_node key;
    bool created = false;
    LONG rc = OpenXmlKeyInternal(hKey, subKey, false, key, created);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (key.type() != pugi::node_element)
        return ERROR_NOT_FOUND;
    if (key.parent() == m_doc.child("KxRegistry") || key.child("Key"))
        return ERROR_ACCESS_DENIED;
    ForgetHandlesOf(key, true);
    RemoveSubtree(key.parent(), key);
    m_bDirty = true;
    return ERROR_SUCCESS;
}

LONG CKxXmlRegistry::DeleteTree(HKEY hKey, const char* subKey)
{
    Lock lock(m_cs);
    pugi::xml_node key;
    if (subKey) {
        bool created = false;
        LONG rc = OpenXmlKeyInternal(hKey, subKey, false, key, created);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (key.type() != pugi::node_element)
            return ERROR_NOT_FOUND;
        if (key.parent() == m_doc.child("KxRegistry"))
            return ERROR_ACCESS_DENIED;
        ForgetHandlesOf(key, true);
        RemoveSubtree(key.parent(), key);
    } else {
        if (!LookupKey(hKey, key))
            return ERROR_NOT_FOUND;
        ForgetHandlesOf(key, false);
        pugi::xml_node child = key.first_child();
        while (child) {
            pugi::xml_node next = child.next_sibling();
            if (child.type() == pugi::node_element &&
                (std::strcmp(child.name(), "Key") == 0 || std::strcmp(child.name(), "Value") == 0))
                RemoveSubtree(key, child);
            child = next;
        }
    }
    m_bDirty = true;
    return ERROR_SUCCESS;
}

LONG CKxXmlRegistry::EnumKey(HKEY hKey, DWORD index, char* name, DWORD* cchName, char* cls, DWORD* cchClass,
                             FILETIME* lastWrite)
{
    if (!name || !cchName || *cchName == 0 || (cls && !cchClass))
        return ERROR_INVALID_PARAMETER;
    if (lastWrite)
        std::memset(lastWrite, 0, sizeof(*lastWrite));
    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    pugi::xml_node child = key.child("Key");
    for (DWORD i = 0; child && i < index; ++i)
        child = child.next_sibling("Key");
    if (!child)
        return ERROR_NO_MORE_ITEMS;

    const char* text = child.attribute("Name").value();
    const size_t length = std::strlen(text);
    LONG rc = ERROR_SUCCESS;
    if (*cchName < length + 1)
        rc = ERROR_MORE_DATA;
    else
        std::memcpy(name, text, length + 1);
    *cchName = static_cast<DWORD>(length);

    if (cchClass) {
        if (*cchClass == 0)
            rc = ERROR_MORE_DATA;
        else if (cls)
            cls[0] = '\0';
        *cchClass = 0;
    }
    return rc;
}

// ---- Values -------------------------------------------------------------------------------------------------------

LONG CKxXmlRegistry::QueryValue(pugi::xml_node value, DWORD* type, BYTE* data, DWORD* cbData)
{
    const DWORD code = GetValueType(value);
    // The type is stored last: a caller may pass one variable for both the type and the size.
    if (!cbData) {
        if (type)
            *type = code;
        return ERROR_SUCCESS;
    }

    LONG rc = ERROR_SUCCESS;
    size_t size = 0;
    const char* text = value.child_value();
    switch (code) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        size = std::strlen(text) + 1;
        if (data) {
            if (*cbData < size)
                rc = ERROR_MORE_DATA;
            else
                std::memcpy(data, text, size);
        }
        break;
    }
    case REG_BINARY: {
        size = std::strlen(text) / 2;
        if (data) {
            if (*cbData < size) {
                rc = ERROR_MORE_DATA;
            } else {
                for (size_t i = 0; i < size; ++i) {
                    int hi = HexValue(text[2 * i]);
                    int lo = HexValue(text[2 * i + 1]);
                    if (hi < 0 || lo < 0)
                        break;
                    data[i] = static_cast<BYTE>(hi << 4 | lo);
                }
            }
        }
        break;
    }
    case REG_DWORD: {
        size = 4;
        if (data) {
            if (*cbData < size) {
                rc = ERROR_MORE_DATA;
            } else {
                uint32_t v = ParseDword(text);
                std::memcpy(data, &v, sizeof(v));
            }
        }
        break;
    }
    case REG_QWORD: {
        size = 8;
        if (data) {
            if (*cbData < size) {
                rc = ERROR_MORE_DATA;
            } else {
                uint64_t v = std::strtoull(text, nullptr, 10);
                std::memcpy(data, &v, sizeof(v));
            }
        }
        break;
    }
    case REG_MULTI_SZ: {
        pugi::xml_node multi = value.child("MultiSz");
        pugi::xml_node sz = multi.child("Sz");
        if (!sz) {
            size = 2;
            if (data) {
                if (*cbData < 2) {
                    rc = ERROR_MORE_DATA;
                } else {
                    data[0] = 0;
                    data[1] = 0;
                }
            }
            break;
        }
        size_t pos = 0;
        for (; sz; sz = sz.next_sibling("Sz")) {
            const char* s = sz.child_value();
            const size_t need = std::strlen(s) + 1;
            size += need;
            if (data && rc == ERROR_SUCCESS) {
                // Keep room for the list's terminating NUL after every copied string.
                if (pos + need + 1 <= *cbData) {
                    std::memcpy(data + pos, s, need);
                    pos += need;
                } else {
                    rc = ERROR_MORE_DATA;
                }
            }
        }
        size += 1;
        if (data && rc == ERROR_SUCCESS)
            data[pos] = 0;
        break;
    }
    default:
        rc = ERROR_ACCESS_DENIED;
        break;
    }
    *cbData = static_cast<DWORD>(size);
    if (type)
        *type = code;
    return rc;
}

LONG CKxXmlRegistry::QueryValue(HKEY hKey, const char* name, DWORD* type, BYTE* data, DWORD* cbData)
{
    if (!name || (data && !cbData))
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    pugi::xml_node value = FindByChildAttribute(key, "Value", name);
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    return QueryValue(value, type, data, cbData);
}

LONG CKxXmlRegistry::SetValue(HKEY hKey, const char* name, DWORD type, const BYTE* data, DWORD cbData)
{
    if (!name || !data)
        return ERROR_INVALID_PARAMETER;
    const char* typeName = ValueTypeToString(type);

    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    pugi::xml_node value = FindByChildAttribute(key, "Value", name);
    if (value && !value.attribute("Type"))
        return ERROR_FILE_NOT_FOUND;

    // Build the new content before touching the document, so that a rejected or unstorable value changes nothing.
    std::string text;
    std::vector<std::string> strings;
    try {
        switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            const char* p = reinterpret_cast<const char*>(data);
            text.assign(p, strnlen(p, cbData));
            break;
        }
        case REG_BINARY: {
            static const char kHex[] = "0123456789ABCDEF";
            text.reserve(static_cast<size_t>(cbData) * 2);
            for (DWORD i = 0; i < cbData; ++i) {
                text += kHex[data[i] >> 4];
                text += kHex[data[i] & 0x0F];
            }
            break;
        }
        case REG_DWORD: {
            // Never read past the caller's bytes: a short buffer is refused instead.
            if (cbData < sizeof(uint32_t))
                return ERROR_INVALID_PARAMETER;
            uint32_t v;
            std::memcpy(&v, data, sizeof(v));
            text = std::to_string(v);
            break;
        }
        case REG_QWORD: {
            if (cbData < sizeof(uint64_t))
                return ERROR_INVALID_PARAMETER;
            uint64_t v;
            std::memcpy(&v, data, sizeof(v));
            text = std::to_string(v);
            break;
        }
        case REG_MULTI_SZ:
            if (!ParseMultiString(data, cbData, strings))
                return ERROR_INVALID_PARAMETER;
            break;
        default:
            break;
        }
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }

    bool changed = false;
    if (!value) {
        pugi::xml_node firstKey = key.child("Key");
        value = firstKey ? key.insert_child_before("Value", firstKey) : key.append_child("Value");
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        if (!value.append_attribute("Name").set_value(name) || !value.append_attribute("Type")) {
            key.remove_child(value);
            return ERROR_FILE_NOT_FOUND;
        }
        changed = true;
    }

    pugi::xml_attribute typeAttr = value.attribute("Type");
    if (std::strcmp(typeAttr.value(), typeName) != 0) {
        typeAttr.set_value(typeName);
        changed = true;
    }

    LONG rc = ERROR_SUCCESS;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        const char* stored = value.child_value();
        const bool same = HoldsPlainText(value) && std::strlen(stored) + 1 == cbData &&
                          std::memcmp(stored, data, cbData) == 0;
        if (!same) {
            if (!ReplaceWithText(value, text.c_str()))
                rc = ERROR_OUTOFMEMORY;
            changed = true;
        }
        break;
    }
    case REG_BINARY:
    case REG_DWORD:
    case REG_QWORD:
        if (!HoldsPlainText(value) || text != value.child_value()) {
            if (!ReplaceWithText(value, text.c_str()))
                rc = ERROR_OUTOFMEMORY;
            changed = true;
        }
        break;
    case REG_MULTI_SZ:
        if (!SameMultiString(value, strings)) {
            pugi::xml_node first = value.first_child();
            if (first)
                RemoveSubtree(value, first);
            pugi::xml_node multi = value.prepend_child("MultiSz");
            if (!multi)
                rc = ERROR_OUTOFMEMORY;
            for (const std::string& s : strings) {
                pugi::xml_node sz = multi.append_child("Sz");
                if (!s.empty())
                    sz.text().set(s.c_str());
            }
            changed = true;
        }
        break;
    default:
        break;
    }
    if (changed)
        m_bDirty = true;
    return rc;
}

LONG CKxXmlRegistry::DeleteValue(HKEY hKey, const char* name)
{
    if (!name)
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    pugi::xml_node value = FindByChildAttribute(key, "Value", name);
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    RemoveSubtree(key, value);
    m_bDirty = true;
    return ERROR_SUCCESS;
}

LONG CKxXmlRegistry::EnumValue(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* type, BYTE* data,
                               DWORD* cbData)
{
    if (!name || !cchName || *cchName == 0 || (data && !cbData))
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    pugi::xml_node value;
    DWORD seen = 0;
    for (pugi::xml_node v = key.child("Value"); v; v = v.next_sibling("Value")) {
        if (!v.attribute("Name"))
            continue;
        if (seen++ == index) {
            value = v;
            break;
        }
    }
    if (!value)
        return ERROR_NO_MORE_ITEMS;
    const char* text = value.attribute("Name").value();
    const size_t length = std::strlen(text);
    if (*cchName < length + 1) {
        *cchName = static_cast<DWORD>(length);
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, text, length + 1);
    *cchName = static_cast<DWORD>(length);
    return QueryValue(value, type, data, cbData);
}

LONG CKxXmlRegistry::QueryInfo(HKEY hKey, char* cls, DWORD* cchClass, DWORD* subKeys, DWORD* maxSubKeyLen,
                               DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen, DWORD* maxValueLen,
                               DWORD* securityDescriptor, FILETIME* lastWrite)
{
    if (cls && !cchClass)
        return ERROR_INVALID_PARAMETER;
    Lock lock(m_cs);
    pugi::xml_node key;
    if (!LookupKey(hKey, key))
        return ERROR_NOT_FOUND;
    if (maxClassLen)
        *maxClassLen = 0;
    if (subKeys || maxSubKeyLen) {
        DWORD count = 0;
        size_t longest = 0;
        for (pugi::xml_node k = key.child("Key"); k; k = k.next_sibling("Key")) {
            ++count;
            longest = std::max(longest, std::strlen(k.attribute("Name").value()));
        }
        if (subKeys)
            *subKeys = count;
        if (maxSubKeyLen)
            *maxSubKeyLen = static_cast<DWORD>(longest);
    }
    if (values || maxValueNameLen || maxValueLen) {
        DWORD count = 0;
        size_t longestName = 0;
        DWORD largest = 0;
        for (pugi::xml_node v = key.child("Value"); v; v = v.next_sibling("Value")) {
            ++count;
            longestName = std::max(longestName, std::strlen(v.attribute("Name").value()));
            DWORD size = 0;
            if (QueryValue(v, nullptr, nullptr, &size) == ERROR_SUCCESS)
                largest = std::max(largest, size);
        }
        if (values)
            *values = count;
        if (maxValueNameLen)
            *maxValueNameLen = static_cast<DWORD>(longestName);
        if (maxValueLen)
            *maxValueLen = largest;
    }
    if (lastWrite)
        std::memset(lastWrite, 0, sizeof(*lastWrite));
    if (securityDescriptor)
        *securityDescriptor = 0;

    LONG rc = ERROR_SUCCESS;
    if (cchClass) {
        if (!cls || *cchClass == 0) {
            if (*cchClass == 0)
                rc = ERROR_MORE_DATA;
        } else {
            cls[0] = '\0';
        }
        *cchClass = 0;
    }
    return rc;
}

// ---- Free functions -----------------------------------------------------------------------------------------------

LONG OsRegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->OpenKey(hKey, lpSubKey, phkResult) : ERROR_ACCESS_DENIED;
}

LONG OsRegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                       PHKEY phkResult, LPDWORD lpdwDisposition)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->CreateKey(hKey, lpSubKey, phkResult, lpdwDisposition) : ERROR_ACCESS_DENIED;
}

LONG OsRegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->QueryValue(hKey, lpValueName, lpType, lpData, lpcbData) : ERROR_ACCESS_DENIED;
}

LONG OsRegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->SetValue(hKey, lpValueName, dwType, lpData, cbData) : ERROR_ACCESS_DENIED;
}

LONG OsRegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->DeleteValue(hKey, lpValueName) : ERROR_ACCESS_DENIED;
}

LONG OsRegCloseKey(HKEY hKey)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->CloseKey(hKey) : ERROR_ACCESS_DENIED;
}

LONG OsRegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                     LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime)
               : ERROR_ACCESS_DENIED;
}

LONG OsRegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                     LPBYTE lpData, LPDWORD lpcbData)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData)
               : ERROR_ACCESS_DENIED;
}

LONG OsRegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                        LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                        LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                        PFILETIME lpftLastWriteTime)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->QueryInfo(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime)
               : ERROR_ACCESS_DENIED;
}

LONG OsRegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM, DWORD)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->DeleteKey(hKey, lpSubKey) : ERROR_ACCESS_DENIED;
}

LONG OsRegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey)
{
    CKxXmlRegistry* reg = GetRegistry(false, false);
    return reg ? reg->DeleteTree(hKey, lpSubKey) : ERROR_ACCESS_DENIED;
}

LONG OsRegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpType || !lpcbData)
        return ERROR_INVALID_PARAMETER;
    std::string name;
    try {
        std::mbstate_t state{};
        const wchar_t* src = lpValueName;
        size_t length = std::wcsrtombs(nullptr, &src, 0, &state);
        if (length == static_cast<size_t>(-1))
            return ERROR_INVALID_PARAMETER;
        name.resize(length + 1);
        src = lpValueName;
        state = std::mbstate_t{};
        std::wcsrtombs(&name[0], &src, length + 1, &state);
        name.resize(length);
    } catch (const std::bad_alloc&) {
        return ERROR_INVALID_PARAMETER;
    }

    CKxXmlRegistry* reg = GetRegistry(false, false);
    if (!reg)
        return ERROR_ACCESS_DENIED;
    if (*lpcbData == 0) {
        if (lpData)
            return ERROR_INVALID_PARAMETER;
        return reg->QueryValue(hKey, name.c_str(), lpType, nullptr, lpcbData);
    }
    if (!lpData)
        return reg->QueryValue(hKey, name.c_str(), lpType, nullptr, lpcbData);

    const DWORD callerSize = *lpcbData;
    std::vector<BYTE> narrow;
    try {
        narrow.assign(callerSize, 0);
    } catch (const std::bad_alloc&) {
        return ERROR_INVALID_PARAMETER;
    }
    std::memset(lpData, 0, callerSize);
    LONG rc = reg->QueryValue(hKey, name.c_str(), lpType, narrow.data(), lpcbData);
    const DWORD type = *lpType;
    if (type == REG_SZ) {
        // Room for a terminating wide NUL is always kept, so the caller never gets an open-ended string.
        const size_t capacity = callerSize / sizeof(wchar_t);
        if (capacity > 0) {
            wchar_t* out = reinterpret_cast<wchar_t*>(lpData);
            const char* text = reinterpret_cast<const char*>(narrow.data());
            const size_t textLength = strnlen(text, callerSize);
            std::mbstate_t state{};
            const char* src = text;
            size_t n = std::mbsrtowcs(out, &src, capacity - 1, &state);
            if (n == static_cast<size_t>(-1)) {
                // Not a valid multibyte text in this locale: widen byte by byte rather than lose it.
                n = std::min(textLength, capacity - 1);
                for (size_t i = 0; i < n; ++i)
                    out[i] = static_cast<unsigned char>(text[i]);
            }
            out[std::min(n, capacity - 1)] = L'\0';
        }
    } else if (type == REG_EXPAND_SZ || (type >= REG_LINK && type <= REG_RESOURCE_REQUIREMENTS_LIST)) {
        // Expandable and list types have no wide form here.
    } else {
        std::memcpy(lpData, narrow.data(), std::min(*lpcbData, callerSize));
    }
    return rc;
}

LONG OsRegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_NOT_SUPPORTED;
}

LONG OsRegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
{
    return ERROR_NOT_SUPPORTED;
}

LONG OsRegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return GetRegistry(false, false) ? ERROR_NOT_SUPPORTED : ERROR_ACCESS_DENIED;
}

LONG OsRegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME)
{
    return GetRegistry(false, false) ? ERROR_NOT_SUPPORTED : ERROR_ACCESS_DENIED;
}

LONG OsRegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD)
{
    return GetRegistry(false, false) ? ERROR_NOT_SUPPORTED : ERROR_ACCESS_DENIED;
}

LONG OsRegQueryInfoKeyW(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                        LPDWORD, PFILETIME)
{
    return GetRegistry(false, false) ? ERROR_NOT_SUPPORTED : ERROR_ACCESS_DENIED;
}

// ---- Key holder ---------------------------------------------------------------------------------------------------

CKxOsRegKey::~CKxOsRegKey()
{
    Close();
}

LONG CKxOsRegKey::Open(HKEY parent, LPCSTR subKey, REGSAM samDesired)
{
    HKEY opened = nullptr;
    LONG rc = OsRegOpenKeyExA(parent, subKey, 0, samDesired, &opened);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = Close();
    m_hKey = opened;
    return rc;
}

LONG CKxOsRegKey::Close()
{
    if (!m_hKey)
        return ERROR_SUCCESS;
    LONG rc = OsRegCloseKey(m_hKey);
    m_hKey = nullptr;
    return rc;
}
