#include "XmlDataServerSettings.h"

uint32_t CXmlDataServerSettings::m_nFexBlockSize = 262144;
uint32_t CXmlDataServerSettings::m_nIdentSize = 0;
bool CXmlDataServerSettings::m_bTrimStrings = false;
bool CXmlDataServerSettings::m_bUseSpaces = false;
std::string CXmlDataServerSettings::m_sIndent;
CXmlDataServerBackupFileHandlingSettings* CXmlDataServerSettings::m_pBackupFileHandling = nullptr;
