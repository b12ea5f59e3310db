// The process's event reporter: formats events into one line and hands them to a registered report log,
// or to the system log.
#pragma once

#include <cstdarg>

#include "KxBstr.h"
#include "KxString.h"
#include "platform/FreeBSD/KxWinTypes.h"

// Receiver of formatted events, registered with the service module.
struct IKxReportLog : IUnknown {
    // nSeverity 17, 18 or 20; both texts are length-prefixed strings.
    virtual HRESULT ReportLog(ULONG nSeverity, BSTR sSource, BSTR sText) = 0;
};

// 3d1a6e40-5b7c-4f2e-8a31-0c9d2e7f4b61
static const IID IID_IKxReportLog = {0x3d1a6e40, 0x5b7c, 0x4f2e, {0x8a, 0x31, 0x0c, 0x9d, 0x2e, 0x7f, 0x4b, 0x61}};

// Event type bit that asks for delivery to the registered report log.
#define KX_EVENT_TO_REPORTLOG 0x10u

// Formats message nId (1 = "%s"; every other id has no text) into buf, cut to size - 1 characters and
// NUL-terminated. Returns the text length + 1 when it fits, size - 1 when cut, 0 (buf untouched) otherwise.
DWORD KxFormatMessage(DWORD nFlags, LPCVOID pSource, DWORD nId, DWORD nLanguage, LPSTR buf, DWORD size,
                      va_list* pArgs);

class CKxServiceModule {
public:
    CKxServiceModule() = default;
    CKxServiceModule(const CKxServiceModule&) = delete;
    CKxServiceModule& operator=(const CKxServiceModule&) = delete;
    virtual ~CKxServiceModule();
    // The name given to the report log with every event.
    virtual const char* GetDisplayName() const { return ""; }

    // Registers pLog (one reference taken); the previous one is released. The same interface again: no-op.
    void RegisterReportLogInterface(IKxReportLog* pLog);
    // Releases and forgets the registered report log, if any.
    void UnregisterReportLogInterface();
    // Not used by this service: does nothing and returns 0.
    HRESULT ReportEvent(DWORD nType, DWORD nId, DWORD nArg, va_list* pArgs);
    // Formats fmt (at most 255 characters kept) and logs it as message 1.
    void LogEvent(DWORD nType, const char* fmt, ...);
    // Logs message nId with the arguments.
    void LogEvent(DWORD nType, DWORD nId, DWORD nArg, ...);
    void LogEventArg(DWORD nType, DWORD nId, DWORD nArg, va_list* pArgs);
    // Writes the text to the system log at LOG_ALERT.
    void LogMessage(const CString& sText);

private:
    IKxReportLog* m_pReportLog = nullptr;
};

class CKxXmlDataSrvServiceModule : public CKxServiceModule {
public:
    const char* GetDisplayName() const override { return "Xml Data Server"; }
};

// The process's service module.
extern CKxXmlDataSrvServiceModule _Module;
