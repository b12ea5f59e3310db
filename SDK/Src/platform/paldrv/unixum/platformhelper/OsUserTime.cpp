// Clock, time conversions, time zones and system information.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "OsUserInternal.h"

namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
const uint64_t kEpochOffset = 116444736000000000ull;
const int64_t kTicksPerSecond = 10000000;

const char kZoneInfoDir[] = "/usr/share/zoneinfo";
const char kZoneSourceFile[] = "/tmp/kx_custom_timezone.zone";
const char kLocalTimeFile[] = "/etc/localtime";
const char kZicCommand[] = "/usr/sbin/zic -d %s %s";
const LONG kZicTimeoutMs = 10000;

uint64_t FileTimeValue(const FILETIME* ft)
{
    return (static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
}

void SetFileTimeValue(uint64_t v, FILETIME* ft)
{
    ft->dwLowDateTime = static_cast<DWORD>(v);
    ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

bool FieldsInRange(const SYSTEMTIME* st)
{
    return st->wMonth >= 1 && st->wMonth <= 12 && st->wDay >= 1 && st->wDay <= 31 && st->wHour < 24 &&
           st->wMinute < 60 && st->wSecond < 60 && st->wMilliseconds < 1000 && st->wYear >= 1601;
}

// Seconds since 1970 of UTC fields; false for fields that name no real day (such as 31 February).
bool UtcSeconds(const SYSTEMTIME* st, time_t* t)
{
    if (!FieldsInRange(st))
        return false;
    struct tm tm;
    Systime2Tm(st, &tm);
    tm.tm_isdst = 0;
    *t = timegm(&tm);
    struct tm back;
    if (gmtime_r(t, &back) == nullptr)
        return false;
    return back.tm_mday == st->wDay && back.tm_mon + 1 == st->wMonth && back.tm_year + 1900 == st->wYear;
}

bool FromSeconds(time_t t, long nsec, LPSYSTEMTIME pst, bool local)
{
    struct tm tm;
    if ((local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm)) == nullptr)
        return false;
    Tm2Systime(&tm, pst);
    pst->wMilliseconds = static_cast<WORD>(nsec / 1000000);
    return true;
}

const char* MonthName(WORD month)
{
    static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return month >= 1 && month <= 12 ? names[month - 1] : "Invalid";
}

const char* DayName(WORD day)
{
    static const char* const names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri"};
    return day <= 5 ? names[day] : "Sat";
}

std::string DayField(const SYSTEMTIME& date)
{
    char buf[32];
    if (date.wDay == 5)
        snprintf(buf, sizeof(buf), "last%s", DayName(date.wDayOfWeek));
    else
        snprintf(buf, sizeof(buf), "%s>=%d", DayName(date.wDayOfWeek), date.wDay * 7 - 6);
    return buf;
}

// A bias in minutes (UTC minus local) as the zone offset h:mm. Offsets of less than an hour west of UTC
// keep their minus sign, which the hour alone cannot carry.
std::string OffsetText(LONG bias)
{
    int hours = -bias / 60;
    int minutes = (bias < 0 ? -bias : bias) % 60;
    char buf[32];
    snprintf(buf, sizeof(buf), "%s%d:%02d", (bias > 0 && hours == 0) ? "-" : "", hours, minutes);
    return buf;
}

std::string RuleLine(const SYSTEMTIME& date, LONG bias, char letter)
{
    char buf[160];
    snprintf(buf, sizeof(buf), "Rule\tCustom\t1970\tmax\t-\t%s %s\t%02d:%02d\t%s\t%c\n", MonthName(date.wMonth),
             DayField(date).c_str(), date.wHour, date.wMinute, OffsetText(bias).c_str(), letter);
    return buf;
}

int DaysInMonth(int year, int month1)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month1 == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0))
        return 29;
    return days[month1 - 1];
}

// The local time of the minute at which a change takes effect, counted in the old offset, in week-of-month form.
void TransitionDate(const struct tm& lastOld, SYSTEMTIME* date)
{
    memset(date, 0, sizeof(*date));
    int minute = lastOld.tm_min + 1;
    int hour = lastOld.tm_hour;
    if (minute == 60) {
        minute = 0;
        ++hour;
    }
    date->wMonth = static_cast<WORD>(lastOld.tm_mon + 1);
    date->wDayOfWeek = static_cast<WORD>(lastOld.tm_wday);
    int week = (lastOld.tm_mday - 1) / 7 + 1;
    if (lastOld.tm_mday + 7 > DaysInMonth(lastOld.tm_year + 1900, lastOld.tm_mon + 1))
        week = 5;
    date->wDay = static_cast<WORD>(week);
    date->wHour = static_cast<WORD>(hour);
    date->wMinute = static_cast<WORD>(minute);
}

long GmtOffset(const struct tm& tm)
{
    return tm.tm_gmtoff;
}

} // namespace

// ---- Conversions ----

void Timet2FileTime(time_t t, LPFILETIME pft)
{
    SetFileTimeValue(static_cast<uint64_t>(static_cast<int64_t>(t) * kTicksPerSecond) + kEpochOffset, pft);
}

void Timespec2FileTime(const struct timespec* ts, LPFILETIME pft)
{
    uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(ts->tv_sec) * kTicksPerSecond + ts->tv_nsec / 100);
    SetFileTimeValue(v + kEpochOffset, pft);
}

void FileTime2Timespec(const FILETIME* pft, struct timespec* ts)
{
    int64_t ticks = static_cast<int64_t>(FileTimeValue(pft) - kEpochOffset);
    int64_t sec = ticks / kTicksPerSecond;
    int64_t rem = ticks % kTicksPerSecond;
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    ts->tv_sec = static_cast<time_t>(sec);
    ts->tv_nsec = static_cast<long>(rem * 100);
}

void Tm2Systime(const struct tm* ptm, LPSYSTEMTIME pst)
{
    pst->wYear = static_cast<WORD>(ptm->tm_year + 1900);
    pst->wMonth = static_cast<WORD>(ptm->tm_mon + 1);
    pst->wDayOfWeek = static_cast<WORD>(ptm->tm_wday);
    pst->wDay = static_cast<WORD>(ptm->tm_mday);
    pst->wHour = static_cast<WORD>(ptm->tm_hour);
    pst->wMinute = static_cast<WORD>(ptm->tm_min);
    pst->wSecond = static_cast<WORD>(ptm->tm_sec);
    pst->wMilliseconds = 0;
}

void Systime2Tm(const SYSTEMTIME* pst, struct tm* ptm)
{
    memset(ptm, 0, sizeof(*ptm));
    ptm->tm_year = pst->wYear - 1900;
    ptm->tm_mon = pst->wMonth - 1;
    ptm->tm_mday = pst->wDay;
    ptm->tm_hour = pst->wHour;
    ptm->tm_min = pst->wMinute;
    ptm->tm_sec = pst->wSecond;
    ptm->tm_wday = pst->wDayOfWeek;
    ptm->tm_isdst = -1;
}

BOOL OsUserSystemTimeToFileTime(const SYSTEMTIME* pst, LPFILETIME pft)
{
    time_t t;
    if (pst == nullptr || pft == nullptr || !UtcSeconds(pst, &t)) {
        errno = EINVAL;
        return FALSE;
    }
    struct timespec ts;
    ts.tv_sec = t;
    ts.tv_nsec = static_cast<long>(pst->wMilliseconds) * 1000000L;
    Timespec2FileTime(&ts, pft);
    return TRUE;
}

BOOL OsUserFileTimeToSystemTime(const FILETIME* pft, LPSYSTEMTIME pst, BOOL bLocal)
{
    if (pft == nullptr || pst == nullptr || (pft->dwHighDateTime & 0x80000000u) != 0) {
        errno = EINVAL;
        return FALSE;
    }
    struct timespec ts;
    FileTime2Timespec(pft, &ts);
    if (!FromSeconds(ts.tv_sec, ts.tv_nsec, pst, bLocal != FALSE)) {
        errno = EINVAL;
        return FALSE;
    }
    return TRUE;
}

BOOL OsUserFileTimeToSystemTime2(const FILETIME* pft, LPSYSTEMTIME pst) { return OsUserFileTimeToSystemTime(pft, pst, TRUE); }

BOOL Systime2LocalTime(const SYSTEMTIME* pUtc, LPSYSTEMTIME pLocal)
{
    FILETIME ft;
    if (pLocal == nullptr || !OsUserSystemTimeToFileTime(pUtc, &ft))
        return FALSE;
    return OsUserFileTimeToSystemTime(&ft, pLocal, TRUE);
}

// ---- Clock ----

namespace {

// The time of day in UTC or local time; EINVAL without pst.
BOOL Now(LPSYSTEMTIME pst, bool local)
{
    if (pst == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return FromSeconds(tv.tv_sec, static_cast<long>(tv.tv_usec) * 1000L, pst, local);
}

} // namespace

BOOL OsUserGetSystemTime(LPSYSTEMTIME pst)
{
    return Now(pst, false);
}

BOOL OsUserGetLocalTime(LPSYSTEMTIME pst)
{
    return Now(pst, true);
}

namespace {

BOOL SetClock(time_t t, WORD ms)
{
    struct timeval tv;
    tv.tv_sec = t;
    tv.tv_usec = static_cast<suseconds_t>(ms) * 1000;
    return settimeofday(&tv, nullptr) == 0;
}

} // namespace

BOOL OsUserSetSystemTime(const SYSTEMTIME* pst)
{
    time_t t;
    if (pst == nullptr || !UtcSeconds(pst, &t)) {
        errno = EINVAL;
        return FALSE;
    }
    return SetClock(t, pst->wMilliseconds);
}

BOOL OsUserSetLocalTime(const SYSTEMTIME* pst)
{
    if (pst == nullptr || !FieldsInRange(pst)) {
        errno = EINVAL;
        return FALSE;
    }
    struct tm tm;
    Systime2Tm(pst, &tm);
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) {
        errno = EINVAL;
        return FALSE;
    }
    return SetClock(t, pst->wMilliseconds);
}

// ---- Time zones ----

DWORD OsUserGetTimeZoneInformation(POS_USER_TIME_ZONE_INFORMATIONA pInfo)
{
    if (pInfo == nullptr) {
        errno = EINVAL;
        return TIME_ZONE_ID_INVALID;
    }
    memset(pInfo, 0, sizeof(*pInfo));
    tzset();
    time_t now = time(nullptr);
    struct tm nowTm;
    if (localtime_r(&now, &nowTm) == nullptr)
        return TIME_ZONE_ID_INVALID;

    struct tm startTm;
    memset(&startTm, 0, sizeof(startTm));
    startTm.tm_year = nowTm.tm_year;
    startTm.tm_mday = 1;
    startTm.tm_hour = 12;
    startTm.tm_isdst = -1;
    time_t t = mktime(&startTm);
    if (t == static_cast<time_t>(-1))
        return TIME_ZONE_ID_INVALID;

    struct tm prev;
    localtime_r(&t, &prev);
    bool haveStandard = false, haveDaylight = false;
    long standardOffset = prev.tm_isdst > 0 ? 0 : GmtOffset(prev);
    bool standardKnown = prev.tm_isdst <= 0;
    if (prev.tm_isdst <= 0)
        snprintf(pInfo->StandardName, sizeof(pInfo->StandardName), "%s", prev.tm_zone ? prev.tm_zone : "");
    int found = 0;
    // Walk this year and next day by day; each change of the daylight flag is narrowed to its minute.
    for (int day = 1; day <= 731 && found < 4; ++day) {
        time_t cur = t + static_cast<time_t>(day) * 86400;
        struct tm curTm;
        localtime_r(&cur, &curTm);
        if ((curTm.tm_isdst > 0) == (prev.tm_isdst > 0)) {
            prev = curTm;
            continue;
        }
        time_t back = cur;
        struct tm lastOld = curTm, firstNew = curTm;
        while (back > cur - 86400) {
            back -= 60;
            struct tm probe;
            localtime_r(&back, &probe);
            if ((probe.tm_isdst > 0) == (prev.tm_isdst > 0)) {
                lastOld = probe;
                break;
            }
            firstNew = probe;
        }
        ++found;
        if (curTm.tm_isdst > 0) {
            if (!haveDaylight) {
                haveDaylight = true;
                TransitionDate(lastOld, &pInfo->DaylightDate);
                snprintf(pInfo->DaylightName, sizeof(pInfo->DaylightName), "%s", firstNew.tm_zone ? firstNew.tm_zone : "");
                pInfo->DaylightBias = static_cast<LONG>(-(GmtOffset(firstNew) - GmtOffset(lastOld)) / 60);
                if (!standardKnown) {
                    standardOffset = GmtOffset(lastOld);
                    standardKnown = true;
                }
            }
        } else if (!haveStandard) {
            haveStandard = true;
            TransitionDate(lastOld, &pInfo->StandardDate);
            snprintf(pInfo->StandardName, sizeof(pInfo->StandardName), "%s", firstNew.tm_zone ? firstNew.tm_zone : "");
            standardOffset = GmtOffset(firstNew);
            standardKnown = true;
        }
        prev = curTm;
    }
    if (!standardKnown)
        standardOffset = GmtOffset(nowTm);
    pInfo->Bias = static_cast<LONG>(-standardOffset / 60);
    if (!haveDaylight && !haveStandard)
        return TIME_ZONE_ID_UNKNOWN;
    return nowTm.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

std::string KxFormatTimeZoneSource(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo, const char* zoneName)
{
    std::string text;
    char zone[160];
    // A zone without a daylight date has no rules; rules with an invalid month would not compile.
    if (pInfo->DaylightDate.wMonth == 0) {
        snprintf(zone, sizeof(zone), "Zone\t%s\t%s\t-\tKXTIME\n", zoneName, OffsetText(pInfo->Bias).c_str());
        return zone;
    }
    text += RuleLine(pInfo->DaylightDate, pInfo->DaylightBias, 'D');
    text += RuleLine(pInfo->StandardDate, pInfo->StandardBias, 'S');
    snprintf(zone, sizeof(zone), "Zone\t%s\t%s\tCustom\tKXTIME\n", zoneName, OffsetText(pInfo->Bias).c_str());
    text += zone;
    return text;
}

bool KxWriteTimeZoneSource(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo, const char* zoneName, const char* path)
{
    std::string text = KxFormatTimeZoneSource(pInfo, zoneName);
    FILE* f = fopen(path, "w");
    if (f == nullptr)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0 && fsync(fileno(f)) == 0;
    if (fclose(f) != 0)
        ok = false;
    return ok;
}

BOOL OsUserSetTimeZoneInformation(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo)
{
    if (pInfo == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    // Alternating names make zic write a new file rather than replace the one /etc/localtime points at.
    static volatile LONG toggle = 0;
    LONG n = InterlockedIncrement(&toggle);
    const char* zoneName = (n & 1) ? "KxCustom0/Timezone" : "KxCustom1/Timezone";
    if (!KxWriteTimeZoneSource(pInfo, zoneName, kZoneSourceFile))
        return FALSE;
    char cmd[256];
    snprintf(cmd, sizeof(cmd), kZicCommand, kZoneInfoDir, kZoneSourceFile);
    DWORD exitCode = 1;
    if (OsUserLaunchProcess(cmd, nullptr, kZicTimeoutMs, &exitCode) != 0 || exitCode != 0)
        return FALSE;
    char zonePath[256];
    snprintf(zonePath, sizeof(zonePath), "%s/%s", kZoneInfoDir, zoneName);
    if (unlink(kLocalTimeFile) != 0 && errno != ENOENT)
        return FALSE;
    if (symlink(zonePath, kLocalTimeFile) != 0)
        return FALSE;
    std::string tz = std::string(":") + zonePath;
    setenv("TZ", tz.c_str(), 1);
    tzset();
    return TRUE;
}

// ---- System information ----

BOOL OsUserGetVersionInfo(LPOSVERSIONINFOA pInfo)
{
    if (pInfo == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    memset(pInfo, 0, sizeof(*pInfo));
    pInfo->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    struct utsname u;
    if (uname(&u) == 0) {
        std::string release = u.release;
        release = release.substr(0, release.find('-'));
        unsigned major = 0, minor = 0;
        sscanf(release.c_str(), "%u.%u", &major, &minor);
        pInfo->dwMajorVersion = major;
        pInfo->dwMinorVersion = minor;
    }
    snprintf(pInfo->szCSDVersion, sizeof(pInfo->szCSDVersion), "%s", "Korvex/BSD");
    return TRUE;
}

void OsUserGetSystemInfo(LPSYSTEM_INFO pInfo)
{
    if (pInfo == nullptr)
        return;
    memset(pInfo, 0, sizeof(*pInfo));
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    long page = sysconf(_SC_PAGESIZE);
    pInfo->dwNumberOfProcessors = configured > 0 ? static_cast<DWORD>(configured) : 1;
    if (online < 1)
        online = 1;
    pInfo->dwActiveProcessorMask = online >= 64 ? ~0ull : ((1ull << online) - 1);
    pInfo->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    pInfo->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
}

bool SearchCoresInDmesgBoot(long& cores)
{
    // Systems without the boot message file (Linux among them) take the count from sysconf instead.
    if (access("/var/run/dmesg.boot", R_OK) != 0)
        return false;
    FILE* p = popen("grep -i FreeBSD/SMP:.*core /var/run/dmesg.boot", "r");
    if (p == nullptr)
        return false;
    bool found = false;
    char line[512];
    while (fgets(line, sizeof(line), p) != nullptr) {
        unsigned packages = 0, perPackage = 0;
        if (sscanf(line, "FreeBSD/SMP: %u package(s) x %u core(s)", &packages, &perPackage) == 2) {
            cores = static_cast<long>(packages) * static_cast<long>(perPackage);
            found = true;
        }
    }
    pclose(p);
    return found;
}
