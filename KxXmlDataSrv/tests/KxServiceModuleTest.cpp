#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KxServiceModule.h"

namespace {

class FakeReportLog : public IKxReportLog {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT ReportLog(ULONG nSeverity, BSTR sSource, BSTR sText) override
    {
        calls.push_back({nSeverity, std::string(sSource, KxSysStringLen(sSource)),
                         std::string(sText, KxSysStringLen(sText))});
        return result;
    }

    struct Call {
        ULONG severity;
        std::string source;
        std::string text;
    };
    ULONG refs = 1;
    HRESULT result = S_OK;
    std::vector<Call> calls;
};

TEST(KxServiceModule, SeverityFollowsTheLowBitsOfTheType)
{
    struct Row {
        DWORD type;
        ULONG severity;
    } rows[] = {{0x12, 18}, {0x14, 20}, {0x11, 17}, {0x10, 17}, {0x17, 17}, {0x1A, 18}};
    for (const Row& r : rows) {
        FakeReportLog log;
        CKxXmlDataSrvServiceModule module;
        module.RegisterReportLogInterface(&log);
        module.LogEvent(r.type, "value %d", 42);
        ASSERT_EQ(1u, log.calls.size()) << r.type;
        EXPECT_EQ(r.severity, log.calls[0].severity) << r.type;
        EXPECT_EQ("Xml Data Server", log.calls[0].source);
        EXPECT_EQ("value 42", log.calls[0].text);
        module.UnregisterReportLogInterface();
        EXPECT_EQ(1u, log.refs);
    }
}

TEST(KxServiceModule, OnlyTypesWithTheReportBitReachTheReportLog)
{
    FakeReportLog log; // outlives the module, which releases it when destroyed
    CKxXmlDataSrvServiceModule module;
    module.RegisterReportLogInterface(&log);
    module.LogEvent(0x02, "to the system log");
    EXPECT_TRUE(log.calls.empty());
    // A failing report log is answered by the system log; the event is offered once.
    log.result = E_FAIL;
    module.LogEvent(0x12, "again");
    EXPECT_EQ(1u, log.calls.size());
}

TEST(KxServiceModule, UnknownMessageIdLogsNothing)
{
    FakeReportLog log; // outlives the module, which releases it when destroyed
    CKxXmlDataSrvServiceModule module;
    module.RegisterReportLogInterface(&log);
    module.LogEvent(0x12, 7, 0, "text");
    EXPECT_TRUE(log.calls.empty());
    module.LogEvent(0x12, 1, 0, "text");
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ("text", log.calls[0].text);
}

TEST(KxServiceModule, LongTextIsCutTo254Characters)
{
    FakeReportLog log; // outlives the module, which releases it when destroyed
    CKxXmlDataSrvServiceModule module;
    module.RegisterReportLogInterface(&log);
    std::string text(300, 'a');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    module.LogEvent(0x12, "%s", text.c_str());
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(text.substr(0, 254), log.calls[0].text);
}

TEST(KxServiceModule, RegistrationHoldsExactlyOneReference)
{
    FakeReportLog a, b;
    CKxXmlDataSrvServiceModule module;
    module.RegisterReportLogInterface(&a);
    module.RegisterReportLogInterface(&a);
    EXPECT_EQ(2u, a.refs);
    module.RegisterReportLogInterface(&b);
    EXPECT_EQ(1u, a.refs);
    EXPECT_EQ(2u, b.refs);
    module.UnregisterReportLogInterface();
    EXPECT_EQ(1u, b.refs);
    module.UnregisterReportLogInterface();
}

DWORD FormatId1(char* buf, DWORD size, ...)
{
    va_list args;
    va_start(args, size);
    DWORD res = KxFormatMessage(0, nullptr, 1, 0, buf, size, &args);
    va_end(args);
    return res;
}

TEST(KxFormatMessage, ReturnsCopiedBytesAndCuts)
{
    struct Row {
        const char* text;
        DWORD size;
        DWORD expected;
        const char* result;
    } rows[] = {
        {"hello", 16, 6, "hello"},
        {"hello", 6, 6, "hello"},
        {"hello", 5, 4, "hell"},
        {"", 4, 1, ""},
    };
    for (const Row& r : rows) {
        char buf[32];
        std::memset(buf, '#', sizeof(buf));
        EXPECT_EQ(r.expected, FormatId1(buf, r.size, r.text)) << r.text << " " << r.size;
        EXPECT_STREQ(r.result, buf);
        EXPECT_EQ('#', buf[std::strlen(buf) + 1]);
    }
    char untouched[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(0u, KxFormatMessage(0, nullptr, 2, 0, untouched, 4, nullptr));
    EXPECT_EQ('#', untouched[0]);
}

} // namespace
