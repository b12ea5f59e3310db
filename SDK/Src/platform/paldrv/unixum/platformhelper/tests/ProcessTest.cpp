// Launching commands and identifiers.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "OsUserTools.h"
#include "TestTemp.h"

namespace {

TEST(KxPlatformProcess, LaunchWaitsAndReturnsExitCode)
{
    const struct {
        const char* cmd;
        DWORD result;
        DWORD exitCode;   // checked when result is 0
    } cases[] = {
        {"/bin/sh -c 'exit 7'", 0, 7},
        {"/bin/sh -c 'exit 0'", 0, 0},
        {"/bin/sh -c '[ -z \"$HOME\" ] && [ -z \"$KX_TEST_MARKER\" ]'", 0, 0},   // empty environment
        {"/bin/sh -c 'exit 300'", 0, 44},
        {"/no/such/program -x", 2, 0},
        {"", 2, 0},
    };
    setenv("KX_TEST_MARKER", "1", 1);
    for (const auto& c : cases) {
        DWORD exitCode = 12345;
        EXPECT_EQ(c.result, OsUserLaunchProcess(c.cmd, nullptr, 20000, &exitCode)) << c.cmd;
        if (c.result == 0) {
            EXPECT_EQ(c.exitCode, exitCode) << c.cmd;
        }
    }
    unsetenv("KX_TEST_MARKER");

    // A child still running at the time-out is reported and left alone.
    DWORD exitCode = 12345;
    EXPECT_EQ(1u, OsUserLaunchProcess("/bin/sh -c 'sleep 1'", nullptr, 10, &exitCode));
    EXPECT_EQ(12345u, exitCode);
}

TEST(KxPlatformProcess, LaunchExRunsInWorkingDirectory)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    DWORD exitCode = 99;
    ASSERT_EQ(0u, OsUserLaunchProcessEx("\\bin\\\\sh", tmp.Path().c_str(), "-c 'pwd -P > where.txt; exit 3'", nullptr,
                                        20000, &exitCode));
    EXPECT_EQ(3u, exitCode);
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(tmp.Path().c_str(), real));
    EXPECT_EQ(std::string(real) + "\n", TestTemp::ReadAll(tmp.Path("where.txt")));
}

TEST(KxPlatformProcess, CreateAndTerminate)
{
    OS_USER_PROC_INFO info;
    memset(&info, 0xEE, sizeof(info));
    ASSERT_EQ(0u, OsUserCreateProcess("/bin/sh -c 'exec sleep 60'", nullptr, &info));
    EXPECT_GT(info.ProcessId, 0u);
    EXPECT_EQ(0u, info.ThreadId);
    EXPECT_EQ(nullptr, info.hProcess);
    EXPECT_EQ(0u, OsUserTerminateProcess(&info, 0));
    errno = 0;
    EXPECT_NE(0, kill(static_cast<pid_t>(info.ProcessId), 0)) << "the process is gone and reaped";
    EXPECT_EQ(ESRCH, errno);
    EXPECT_EQ(2u, OsUserCreateProcess("/bin/true", nullptr, nullptr));
    EXPECT_EQ(2u, OsUserTerminateProcess(nullptr, 0));
}

TEST(KxPlatformGuid, StringRoundTrip)
{
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        GUID g;
        ASSERT_EQ(S_OK, OsUserCoCreateGuid(&g));
        char* text = nullptr;
        ASSERT_EQ(S_OK, OsStringFromCLSIDA(g, &text));
        ASSERT_NE(nullptr, text);
        std::string s = text;
        free(text);
        ASSERT_EQ(38u, s.size()) << s;
        EXPECT_EQ('{', s.front());
        EXPECT_EQ('}', s.back());
        for (char ch : s.substr(1, 36))
            EXPECT_TRUE(ch == '-' || isdigit(static_cast<unsigned char>(ch)) || (ch >= 'a' && ch <= 'f')) << s;
        seen.insert(s);
        GUID back;
        ASSERT_EQ(S_OK, OsCLSIDFromStringA(s.c_str(), &back)) << s;
        EXPECT_TRUE(back == g) << s;
        ASSERT_EQ(S_OK, OsCLSIDFromStringA(s.substr(1, 36).c_str(), &back)) << s;
        EXPECT_TRUE(back == g) << s;
    }
    EXPECT_EQ(20u, seen.size()) << "identifiers repeat";
}

TEST(KxPlatformGuid, FieldOrderOfTheTextForm)
{
    const GUID known = {0x12345678, 0x9abc, 0xdef0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
    char* text = nullptr;
    ASSERT_EQ(S_OK, OsStringFromCLSIDA(known, &text));
    EXPECT_STREQ("{12345678-9abc-def0-0123-456789abcdef}", text);
    free(text);
    GUID g;
    ASSERT_EQ(S_OK, OsCLSIDFromStringA("{00000000-0000-0000-C000-000000000046}", &g));
    EXPECT_TRUE(g == IID_IUnknown);
}

TEST(KxPlatformGuid, RefusesMalformedText)
{
    const char* bad[] = {"", "{}", "not-a-guid", "{12345678-9abc-def0-0123-456789abcde}",
                         "12345678-9abc-def0-0123-456789abcdefg", "{12345678+9abc-def0-0123-456789abcdef}"};
    for (const char* s : bad) {
        GUID g = IID_IUnknown;
        EXPECT_EQ(E_FAIL, OsCLSIDFromStringA(s, &g)) << s;
    }
    EXPECT_EQ(E_FAIL, OsCLSIDFromStringA(nullptr, nullptr));
}

} // namespace
