#pragma once

#include <cstdint>
#include <string>

class CXmlDataServerBackupFileHandlingSettings;

// Largest indent width taken from "XmlIdentSize": wider settings are cut to it.
constexpr uint32_t kXmlMaxIdentSize = 64;

// Process-wide settings of the data servers. The service object sets them once
// at start-up; everything else only reads them afterwards.
class CXmlDataServerSettings {
public:
    // Largest block read from a PLC in one request, in bytes; default 262144.
    static uint32_t m_nFexBlockSize;
    // Indent width of written XML documents, at most kXmlMaxIdentSize; default 0 (no indentation).
    static uint32_t m_nIdentSize;
    // Element texts read into string fields lose their surrounding blanks; default false.
    static bool m_bTrimStrings;
    // The indent is made of spaces instead of tab characters; default false.
    static bool m_bUseSpaces;
    // The indent text, m_nIdentSize spaces or tabs; default empty.
    static std::string m_sIndent;
    // Backup rotation configuration; null (no backups) until one is configured.
    static CXmlDataServerBackupFileHandlingSettings* m_pBackupFileHandling;
};
