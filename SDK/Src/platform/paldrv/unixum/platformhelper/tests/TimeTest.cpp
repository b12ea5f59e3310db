// FILETIME conversions, calendar fields, the clock, time-zone rules and system information.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "OsUserInternal.h"
#include "OsUserTools.h"
#include "TestTemp.h"

namespace {

uint64_t Value(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME FromValue(uint64_t v)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
}

SYSTEMTIME Fields(int y, int mo, int d, int h, int mi, int s, int ms, int dow = 0)
{
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDayOfWeek = static_cast<WORD>(dow);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return st;
}

// Sets TZ for the test's process only and restores it afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz)
    {
        const char* old = getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had;
    std::string m_old;
};

// Known instants: seconds since 1970, FILETIME value, UTC fields with day of week.
struct Instant {
    int64_t seconds;
    uint64_t filetime;
    SYSTEMTIME fields;
};

const Instant kInstants[] = {
    {0, 116444736000000000ull, Fields(1970, 1, 1, 0, 0, 0, 0, 4)},
    {946684800, 125911584000000000ull, Fields(2000, 1, 1, 0, 0, 0, 0, 6)},
    {2147483647, 137919572470000000ull, Fields(2038, 1, 19, 3, 14, 7, 0, 2)},
    {2147483648, 137919572480000000ull, Fields(2038, 1, 19, 3, 14, 8, 0, 2)},
    {2214131696, 138586052960000000ull, Fields(2040, 2, 29, 12, 34, 56, 0, 3)},
    {4294967296, 159394408960000000ull, Fields(2106, 2, 7, 6, 28, 16, 0, 0)},
    {-11644473600, 0ull, Fields(1601, 1, 1, 0, 0, 0, 0, 1)},
};

TEST(KxPlatformTime, FileTimeFromSecondsKeepsFullWidth)
{
    for (const Instant& c : kInstants) {
        FILETIME ft;
        Timet2FileTime(static_cast<time_t>(c.seconds), &ft);
        EXPECT_EQ(c.filetime, Value(ft)) << c.seconds;
        struct timespec ts = {static_cast<time_t>(c.seconds), 999999999};
        Timespec2FileTime(&ts, &ft);
        EXPECT_EQ(c.filetime + 9999999, Value(ft)) << c.seconds;
        struct timespec back;
        FileTime2Timespec(&ft, &back);
        EXPECT_EQ(c.seconds, static_cast<int64_t>(back.tv_sec));
        EXPECT_EQ(999999900L, back.tv_nsec);
    }
}

TEST(KxPlatformTime, FileTimeToTimespecAroundTheEpoch)
{
    const struct {
        uint64_t ft;
        int64_t sec;
        long nsec;
    } cases[] = {
        {116444736000000001ull, 0, 100},
        {116444735999999999ull, -1, 999999900},
        {116444736000000000ull - 10000000ull, -1, 0},
        {0ull, -11644473600LL, 0},
    };
    for (const auto& c : cases) {
        FILETIME ft = FromValue(c.ft);
        struct timespec ts;
        FileTime2Timespec(&ft, &ts);
        EXPECT_EQ(c.sec, static_cast<int64_t>(ts.tv_sec)) << c.ft;
        EXPECT_EQ(c.nsec, ts.tv_nsec) << c.ft;
    }
}

TEST(KxPlatformTime, SystemTimeAndFileTimeRoundTrip)
{
    for (const Instant& c : kInstants) {
        SYSTEMTIME in = c.fields;
        in.wMilliseconds = 789;
        in.wDayOfWeek = 0;   // ignored on input
        FILETIME ft;
        ASSERT_TRUE(OsUserSystemTimeToFileTime(&in, &ft)) << c.seconds;
        EXPECT_EQ(c.filetime + 7890000, Value(ft)) << c.seconds;
        SYSTEMTIME out;
        memset(&out, 0xAB, sizeof(out));
        ASSERT_TRUE(OsUserFileTimeToSystemTime(&ft, &out, FALSE)) << c.seconds;
        SYSTEMTIME expected = c.fields;
        expected.wMilliseconds = 789;
        EXPECT_EQ(0, memcmp(&expected, &out, sizeof(out)))
            << c.seconds << ": " << out.wYear << "-" << out.wMonth << "-" << out.wDay << " " << out.wHour << ":"
            << out.wMinute << ":" << out.wSecond << "." << out.wMilliseconds << " dow " << out.wDayOfWeek;
    }
}

TEST(KxPlatformTime, LocalConversionsFollowTheZone)
{
    ScopedTz tz("IST-5:30");
    SYSTEMTIME utc = Fields(2040, 2, 29, 20, 0, 0, 250), local;
    ASSERT_TRUE(Systime2LocalTime(&utc, &local));
    SYSTEMTIME expected = Fields(2040, 3, 1, 1, 30, 0, 250, 4);
    EXPECT_EQ(0, memcmp(&expected, &local, sizeof(local)));
    FILETIME ft;
    ASSERT_TRUE(OsUserSystemTimeToFileTime(&utc, &ft));
    ASSERT_TRUE(OsUserFileTimeToSystemTime2(&ft, &local));
    EXPECT_EQ(0, memcmp(&expected, &local, sizeof(local)));
}

TEST(KxPlatformTime, RefusesFieldsThatNameNoInstant)
{
    const SYSTEMTIME bad[] = {
        Fields(2023, 2, 29, 0, 0, 0, 0), Fields(2024, 13, 1, 0, 0, 0, 0), Fields(2024, 0, 1, 0, 0, 0, 0),
        Fields(2024, 4, 31, 0, 0, 0, 0), Fields(2024, 1, 1, 24, 0, 0, 0), Fields(2024, 1, 1, 0, 60, 0, 0),
        Fields(2024, 1, 1, 0, 0, 0, 1000), Fields(1600, 12, 31, 0, 0, 0, 0),
    };
    for (const SYSTEMTIME& st : bad) {
        FILETIME ft = FromValue(42);
        errno = 0;
        EXPECT_FALSE(OsUserSystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(EINVAL, errno);
        EXPECT_EQ(42u, Value(ft));
    }
    FILETIME huge = FromValue(0x8000000000000000ull);
    SYSTEMTIME st;
    EXPECT_FALSE(OsUserFileTimeToSystemTime(&huge, &st, FALSE));
    EXPECT_FALSE(OsUserSystemTimeToFileTime(nullptr, &huge));
}

TEST(KxPlatformTime, TmAndSystimeFields)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 7;
    tm.tm_hour = 21;
    tm.tm_min = 5;
    tm.tm_sec = 9;
    tm.tm_wday = 1;
    SYSTEMTIME st;
    Tm2Systime(&tm, &st);
    SYSTEMTIME expected = Fields(2026, 12, 7, 21, 5, 9, 0, 1);
    EXPECT_EQ(0, memcmp(&expected, &st, sizeof(st)));
    struct tm back;
    Systime2Tm(&st, &back);
    EXPECT_EQ(126, back.tm_year);
    EXPECT_EQ(11, back.tm_mon);
    EXPECT_EQ(7, back.tm_mday);
    EXPECT_EQ(21, back.tm_hour);
    EXPECT_EQ(5, back.tm_min);
    EXPECT_EQ(9, back.tm_sec);
    EXPECT_EQ(-1, back.tm_isdst);
}

TEST(KxPlatformTime, SystemClockLiesBetweenTwoReadings)
{
    // time() may read a coarser clock that lags behind; take the bounds from the precise one.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t before = ts.tv_sec;
    SYSTEMTIME st;
    ASSERT_TRUE(OsUserGetSystemTime(&st));
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t after = ts.tv_sec;
    FILETIME ft;
    ASSERT_TRUE(OsUserSystemTimeToFileTime(&st, &ft));
    FILETIME lo, hi;
    Timet2FileTime(before, &lo);
    Timet2FileTime(after + 1, &hi);
    EXPECT_GE(Value(ft), Value(lo));
    EXPECT_LT(Value(ft), Value(hi));
    EXPECT_FALSE(OsUserGetSystemTime(nullptr));
}

TEST(KxPlatformTimeZone, ReadsRulesOfTheZone)
{
    struct Case {
        const char* tz;
        DWORD id;   // standard or daylight depends on today; UNKNOWN only for zones without rules
        LONG bias, daylightBias;
        SYSTEMTIME daylight, standard;
        const char* stdName;
        const char* dstName;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1, -60, -60, Fields(0, 3, 5, 2, 0, 0, 0, 0), Fields(0, 10, 5, 3, 0, 0, 0, 0),
         "CET", "CEST"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1, -600, -60, Fields(0, 10, 1, 2, 0, 0, 0, 0), Fields(0, 4, 1, 3, 0, 0, 0, 0),
         "AEST", "AEDT"},
        {"EST5EDT,M3.2.0,M11.1.0", 1, 300, -60, Fields(0, 3, 2, 2, 0, 0, 0, 0), Fields(0, 11, 1, 2, 0, 0, 0, 0), "EST",
         "EDT"},
        {"IST-5:30", 0, -330, 0, Fields(0, 0, 0, 0, 0, 0, 0), Fields(0, 0, 0, 0, 0, 0, 0), "IST", ""},
        {"UTC0", 0, 0, 0, Fields(0, 0, 0, 0, 0, 0, 0), Fields(0, 0, 0, 0, 0, 0, 0), "UTC", ""},
    };
    for (const Case& c : cases) {
        ScopedTz tz(c.tz);
        OS_USER_TIME_ZONE_INFORMATIONA info;
        memset(&info, 0x5A, sizeof(info));
        DWORD id = OsUserGetTimeZoneInformation(&info);
        if (c.id == 0) {
            EXPECT_EQ(TIME_ZONE_ID_UNKNOWN, id) << c.tz;
        }
        else
            EXPECT_TRUE(id == TIME_ZONE_ID_STANDARD || id == TIME_ZONE_ID_DAYLIGHT) << c.tz;
        EXPECT_EQ(c.bias, info.Bias) << c.tz;
        EXPECT_EQ(0, info.StandardBias) << c.tz;
        EXPECT_EQ(c.daylightBias, info.DaylightBias) << c.tz;
        EXPECT_EQ(0, memcmp(&c.daylight, &info.DaylightDate, sizeof(SYSTEMTIME)))
            << c.tz << " daylight " << info.DaylightDate.wMonth << "/" << info.DaylightDate.wDay << "/"
            << info.DaylightDate.wDayOfWeek << " " << info.DaylightDate.wHour << ":" << info.DaylightDate.wMinute;
        EXPECT_EQ(0, memcmp(&c.standard, &info.StandardDate, sizeof(SYSTEMTIME)))
            << c.tz << " standard " << info.StandardDate.wMonth << "/" << info.StandardDate.wDay << "/"
            << info.StandardDate.wDayOfWeek << " " << info.StandardDate.wHour << ":" << info.StandardDate.wMinute;
        EXPECT_STREQ(c.stdName, info.StandardName) << c.tz;
        EXPECT_STREQ(c.dstName, info.DaylightName) << c.tz;
    }
}

OS_USER_TIME_ZONE_INFORMATIONA ZoneInfo(LONG bias, SYSTEMTIME daylight, LONG daylightBias, SYSTEMTIME standard,
                                        LONG standardBias)
{
    OS_USER_TIME_ZONE_INFORMATIONA info;
    memset(&info, 0, sizeof(info));
    info.Bias = bias;
    info.DaylightDate = daylight;
    info.DaylightBias = daylightBias;
    info.StandardDate = standard;
    info.StandardBias = standardBias;
    return info;
}

TEST(KxPlatformTimeZone, ZoneSourceText)
{
    const struct {
        OS_USER_TIME_ZONE_INFORMATIONA info;
        const char* expected;
    } cases[] = {
        {ZoneInfo(-60, Fields(0, 3, 5, 2, 0, 0, 0, 0), -60, Fields(0, 10, 5, 3, 0, 0, 0, 0), 0),
         "Rule\tCustom\t1970\tmax\t-\tMar lastSun\t02:00\t1:00\tD\n"
         "Rule\tCustom\t1970\tmax\t-\tOct lastSun\t03:00\t0:00\tS\n"
         "Zone\tKxCustom0/Timezone\t1:00\tCustom\tKXTIME\n"},
        {ZoneInfo(-330, Fields(0, 9, 2, 1, 30, 0, 0, 5), -30, Fields(0, 4, 1, 23, 5, 0, 0, 6), 0),
         "Rule\tCustom\t1970\tmax\t-\tSep Fri>=8\t01:30\t0:30\tD\n"
         "Rule\tCustom\t1970\tmax\t-\tApr Sat>=1\t23:05\t0:00\tS\n"
         "Zone\tKxCustom0/Timezone\t5:30\tCustom\tKXTIME\n"},
        {ZoneInfo(300, Fields(0, 3, 2, 2, 0, 0, 0, 0), -60, Fields(0, 11, 1, 2, 0, 0, 0, 0), 0),
         "Rule\tCustom\t1970\tmax\t-\tMar Sun>=8\t02:00\t1:00\tD\n"
         "Rule\tCustom\t1970\tmax\t-\tNov Sun>=1\t02:00\t0:00\tS\n"
         "Zone\tKxCustom0/Timezone\t-5:00\tCustom\tKXTIME\n"},
        {ZoneInfo(30, Fields(0, 12, 4, 0, 0, 0, 0, 9), -120, Fields(0, 6, 3, 0, 0, 0, 0, 4), 0),
         "Rule\tCustom\t1970\tmax\t-\tDec Sat>=22\t00:00\t2:00\tD\n"
         "Rule\tCustom\t1970\tmax\t-\tJun Thu>=15\t00:00\t0:00\tS\n"
         "Zone\tKxCustom0/Timezone\t-0:30\tCustom\tKXTIME\n"},
        {ZoneInfo(210, Fields(0, 0, 0, 0, 0, 0, 0, 0), 0, Fields(0, 0, 0, 0, 0, 0, 0, 0), 0),
         "Zone\tKxCustom0/Timezone\t-3:30\t-\tKXTIME\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, KxFormatTimeZoneSource(&c.info, "KxCustom0/Timezone")) << c.info.Bias;

    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string file = tmp.Path("zone.src");
    ASSERT_TRUE(KxWriteTimeZoneSource(&cases[0].info, "KxCustom1/Timezone", file.c_str()));
    EXPECT_EQ("Rule\tCustom\t1970\tmax\t-\tMar lastSun\t02:00\t1:00\tD\n"
              "Rule\tCustom\t1970\tmax\t-\tOct lastSun\t03:00\t0:00\tS\n"
              "Zone\tKxCustom1/Timezone\t1:00\tCustom\tKXTIME\n",
              TestTemp::ReadAll(file));
    EXPECT_FALSE(KxWriteTimeZoneSource(&cases[0].info, "x", tmp.Path("no/such/dir").c_str()));
}

TEST(KxPlatformTimeZone, ZoneSourceCompilesAndMatchesTheRecord)
{
    if (access("/usr/sbin/zic", X_OK) != 0)
        GTEST_SKIP() << "zic is not installed";
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    const OS_USER_TIME_ZONE_INFORMATIONA cases[] = {
        ZoneInfo(-60, Fields(0, 3, 5, 2, 0, 0, 0, 0), -60, Fields(0, 10, 5, 3, 0, 0, 0, 0), 0),
        ZoneInfo(300, Fields(0, 3, 2, 2, 0, 0, 0, 0), -60, Fields(0, 11, 1, 2, 0, 0, 0, 0), 0),
        ZoneInfo(30, Fields(0, 0, 0, 0, 0, 0, 0, 0), 0, Fields(0, 0, 0, 0, 0, 0, 0, 0), 0),
    };
    int n = 0;
    for (const OS_USER_TIME_ZONE_INFORMATIONA& in : cases) {
        std::string src = tmp.Path("zone" + std::to_string(n) + ".src");
        std::string name = "Test" + std::to_string(n++) + "/Zone";
        ASSERT_TRUE(KxWriteTimeZoneSource(&in, name.c_str(), src.c_str()));
        std::string cmd = "/usr/sbin/zic -d " + tmp.Path("zi") + " " + src;
        DWORD exitCode = 99;
        ASSERT_EQ(0u, OsUserLaunchProcess(cmd.c_str(), nullptr, 10000, &exitCode));
        ASSERT_EQ(0u, exitCode) << TestTemp::ReadAll(src);
        // Reading the compiled zone back gives the record that produced it.
        ScopedTz tz((":" + tmp.Path("zi/" + name)).c_str());
        OS_USER_TIME_ZONE_INFORMATIONA out;
        OsUserGetTimeZoneInformation(&out);
        EXPECT_EQ(in.Bias, out.Bias) << name;
        EXPECT_EQ(in.DaylightBias, out.DaylightBias) << name;
        EXPECT_EQ(0, memcmp(&in.DaylightDate, &out.DaylightDate, sizeof(SYSTEMTIME))) << name;
        EXPECT_EQ(0, memcmp(&in.StandardDate, &out.StandardDate, sizeof(SYSTEMTIME))) << name;
    }
}

TEST(KxPlatformSystem, VersionAndSystemInfo)
{
    OSVERSIONINFOA v;
    memset(&v, 0xCC, sizeof(v));
    ASSERT_TRUE(OsUserGetVersionInfo(&v));
    EXPECT_EQ(148u, v.dwOSVersionInfoSize);
    EXPECT_EQ(148u, sizeof(v));
    EXPECT_STREQ("Korvex/BSD", v.szCSDVersion);
    EXPECT_GT(v.dwMajorVersion, 0u);
    EXPECT_EQ(0u, v.dwBuildNumber);
    EXPECT_EQ(0u, v.dwPlatformId);

    SYSTEM_INFO si;
    memset(&si, 0xCC, sizeof(si));
    OsUserGetSystemInfo(&si);
    EXPECT_EQ(9, si.wProcessorArchitecture);
    EXPECT_EQ(static_cast<DWORD>(getpagesize()), si.dwPageSize);
    EXPECT_GE(si.dwNumberOfProcessors, 1u);
    EXPECT_EQ(static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)), __builtin_popcountll(si.dwActiveProcessorMask));
    EXPECT_EQ(0u, si.dwProcessorType);
}

} // namespace
