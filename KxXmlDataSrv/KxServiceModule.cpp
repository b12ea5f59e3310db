#include "KxServiceModule.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

DWORD KxFormatMessage(DWORD, LPCVOID, DWORD nId, DWORD, LPSTR buf, DWORD size, va_list* pArgs)
{
    if (nId != 1 || !buf || size == 0)
        return 0;
    char text[4096];
    int n;
    if (pArgs) {
        va_list copy;
        va_copy(copy, *pArgs);
        n = std::vsnprintf(text, sizeof(text), "%s", copy);
        va_end(copy);
    } else {
        n = std::snprintf(text, sizeof(text), "%s", "");
    }
    if (n < 0)
        return 0;
    size_t len = std::strlen(text);
    if (len + 1 <= size) {
        std::memcpy(buf, text, len + 1);
        return static_cast<DWORD>(len + 1);
    }
    std::memcpy(buf, text, size - 1);
    buf[size - 1] = '\0';
    return size - 1;
}

CKxServiceModule::~CKxServiceModule()
{
    UnregisterReportLogInterface();
}

void CKxServiceModule::RegisterReportLogInterface(IKxReportLog* pLog)
{
    if (pLog == m_pReportLog)
        return;
    if (pLog)
        pLog->AddRef();
    IKxReportLog* pOld = m_pReportLog;
    m_pReportLog = pLog;
    if (pOld)
        pOld->Release();
}

void CKxServiceModule::UnregisterReportLogInterface()
{
    IKxReportLog* pOld = m_pReportLog;
    m_pReportLog = nullptr;
    if (pOld)
        pOld->Release();
}

HRESULT CKxServiceModule::ReportEvent(DWORD, DWORD, DWORD, va_list*)
{
    return S_OK;
}

void CKxServiceModule::LogEvent(DWORD nType, const char* fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof(text), fmt ? fmt : "", args);
    va_end(args);
    if (n < 0)
        return;
    LogEvent(nType, 1, 0, text);
}

void CKxServiceModule::LogEvent(DWORD nType, DWORD nId, DWORD nArg, ...)
{
    va_list args;
    va_start(args, nArg);
    LogEventArg(nType, nId, nArg, &args);
    va_end(args);
}

void CKxServiceModule::LogEventArg(DWORD nType, DWORD nId, DWORD, va_list* pArgs)
{
    char text[256];
    if (KxFormatMessage(0, nullptr, nId, 0, text, 255, pArgs) == 0)
        return;
    if ((nType & KX_EVENT_TO_REPORTLOG) && m_pReportLog) {
        ULONG severity = 17;
        if ((nType & 7u) == 2)
            severity = 18;
        else if ((nType & 7u) == 4)
            severity = 20;
        CKxBstr source(GetDisplayName());
        CKxBstr line(text);
        if (m_pReportLog->ReportLog(severity, source, line) >= 0)
            return;
    }
    syslog(LOG_ALERT, "%s\n", text);
}

void CKxServiceModule::LogMessage(const CString& sText)
{
    syslog(LOG_ALERT, "%s\n", static_cast<const char*>(sText));
}

CKxXmlDataSrvServiceModule _Module;
