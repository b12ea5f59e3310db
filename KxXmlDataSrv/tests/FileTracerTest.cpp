#include "FileTracer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class FileTracerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kxtracertest.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
        m_log = m_dir + "/trace.log";
        m_buffer = m_log + ".buffer";
    }
    void TearDown() override
    {
        CFileTracer::Close();
        std::remove(m_log.c_str());
        std::remove(m_buffer.c_str());
        rmdir(m_buffer.c_str());
        rmdir(m_dir.c_str());
    }
    static std::string Get(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void Put(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }
    static bool Exists(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    static mode_t Mode(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    // Lines of the log without their CR LF; fails the test when a line lacks it.
    std::vector<std::string> Lines()
    {
        std::string all = Get(m_log);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find("\r\n", start);
            EXPECT_NE(std::string::npos, end) << "unterminated line";
            if (end == std::string::npos)
                break;
            lines.push_back(all.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
    // The text after the 25-character time stamp.
    static std::string Text(const std::string& line) { return line.size() >= 25 ? line.substr(25) : "<short>"; }

    std::string m_dir, m_log, m_buffer;
};

// Time stamp length: "DD-MM-YYYY:HH:MM:SS.mmm: ".
const size_t kPrefix = 25;

TEST_F(FileTracerTest, LineFormatIsUtcTimeStampThenText)
{
    CFileTracer::Open(m_log.c_str(), 2, 0, false);
    ASSERT_TRUE(CFileTracer::IsOpen());
    std::time_t before = std::time(nullptr);
    CFileTracer::WriteLine0("value %d of %s", 7, "x");
    std::time_t after = std::time(nullptr);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(1u, lines.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m,
                                 std::regex(R"((\d\d)-(\d\d)-(\d{4}):(\d\d):(\d\d):(\d\d)\.(\d{3}): value 7 of x)")))
        << lines[0];
    // Day-month-year of the UTC clock around the call.
    bool matched = false;
    for (std::time_t t : {before, after}) {
        std::tm tm;
        gmtime_r(&t, &tm);
        matched |= std::stoi(m[1]) == tm.tm_mday && std::stoi(m[2]) == tm.tm_mon + 1 &&
                   std::stoi(m[3]) == tm.tm_year + 1900 && std::stoi(m[4]) == tm.tm_hour;
    }
    EXPECT_TRUE(matched) << lines[0];
}

TEST_F(FileTracerTest, LevelsFilterLines)
{
    struct Row {
        DWORD openLevel;
        bool w0, w1, w2, w5;
    } rows[] = {
        {1, true, true, false, false},
        {2, true, true, true, false},
        {5, true, true, true, true},
    };
    for (const Row& r : rows) {
        std::remove(m_log.c_str());
        CFileTracer::Open(m_log.c_str(), r.openLevel, 0, false);
        CFileTracer::WriteLine0("zero");
        CFileTracer::WriteLine1("one");
        CFileTracer::WriteLine2("two");
        CFileTracer::WriteLine(5, "five");
        CFileTracer::Close();
        std::vector<std::string> expect;
        if (r.w0)
            expect.push_back("zero");
        if (r.w1)
            expect.push_back("one");
        if (r.w2)
            expect.push_back("two");
        if (r.w5)
            expect.push_back("five");
        std::vector<std::string> got;
        for (const std::string& l : Lines())
            got.push_back(Text(l));
        EXPECT_EQ(expect, got) << "level " << r.openLevel;
    }
}

TEST_F(FileTracerTest, LevelZeroOpensNoFileAndLeavesAnOpenOneAsItIs)
{
    CFileTracer::Open(m_log.c_str(), 0, 0, false);
    EXPECT_FALSE(CFileTracer::IsOpen());
    CFileTracer::WriteLine0("never");
    CFileTracer::WriteMemDump(0, "abc", 3);
    EXPECT_FALSE(Exists(m_log));
    EXPECT_STREQ(m_buffer.c_str(), CFileTracer::GetBufferFileName());

    // The file is created readable by all and executable by none.
    CFileTracer::Open(m_log.c_str(), 1, 0, false);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(0644u & ~mask, Mode(m_log));

    // Reopening at level 0 leaves a file that was open as it is: its level-0 lines still arrive.
    CFileTracer::WriteLine0("first");
    CFileTracer::Open(m_log.c_str(), 0, 0, false);
    EXPECT_TRUE(CFileTracer::IsOpen());
    CFileTracer::WriteLine0("second");
    CFileTracer::WriteLine1("dropped");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("first", Text(lines[0]));
    EXPECT_EQ("second", Text(lines[1]));
}

TEST_F(FileTracerTest, AppendsToExistingContentAndSurvivesReopen)
{
    Put(m_log, "old line\r\n");
    CFileTracer::Open(m_log.c_str(), 1, 0, true);
    CFileTracer::WriteLine0("a");
    CFileTracer::Open(m_log.c_str(), 1, 0, false);
    CFileTracer::WriteLine0("b");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("old line", lines[0]);
    EXPECT_EQ("a", Text(lines[1]));
    EXPECT_EQ("b", Text(lines[2]));
    CFileTracer::Close();
    EXPECT_EQ(nullptr, CFileTracer::GetFileName());
    CFileTracer::WriteLine0("after close");
    EXPECT_EQ(3u, Lines().size());
}

TEST_F(FileTracerTest, LongMessagesAreCutAt511Characters)
{
    CFileTracer::Open(m_log.c_str(), 2, 0, false);
    struct Row {
        size_t msgLen;
        size_t lineLen;
    } rows[] = {{10, kPrefix + 10}, {486, 511}, {487, 511}, {600, 511}, {5000, 511}};
    for (const Row& r : rows) {
        std::string msg(r.msgLen, 'm');
        CFileTracer::WriteLine2("%s", msg.c_str());
        std::wstring wmsg(r.msgLen, L'w');
        CFileTracer::WriteLine2(L"%ls", wmsg.c_str());
    }
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(2 * (sizeof(rows) / sizeof(rows[0])), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const Row& r = rows[i / 2];
        EXPECT_EQ(r.lineLen, lines[i].size()) << "message of " << r.msgLen << (i % 2 ? " (wide)" : "");
        EXPECT_EQ(std::string(r.lineLen - kPrefix, i % 2 ? 'w' : 'm'), Text(lines[i]));
    }
}

TEST_F(FileTracerTest, SizeLimitMovesTheFileAsideToBuffer)
{
    struct Row {
        size_t existing;  // bytes already in the log
        size_t lineLen;   // time stamp + message, without CR LF
        bool rotated;
    } rows[] = {
        {60, 50, true},
        {50, 50, false}, // exactly at the limit is still allowed
        {51, 50, true},
        {0, 150, false}, // an empty file takes even an over-long line and keeps the older copy
        {10, 150, true},
    };
    for (const Row& r : rows) {
        CFileTracer::Close();
        std::string existing(r.existing, 'e');
        Put(m_log, existing);
        ASSERT_EQ(0, chmod(m_log.c_str(), 0640));
        Put(m_buffer, "older generation");
        CFileTracer::Open(m_log.c_str(), 1, 100, false);
        std::string msg(r.lineLen - kPrefix, 'n');
        CFileTracer::WriteLine0("%s", msg.c_str());
        std::string log = Get(m_log);
        if (r.rotated) {
            EXPECT_EQ(existing, Get(m_buffer)) << r.existing << "+" << r.lineLen;
            EXPECT_EQ(r.lineLen + 2, log.size());
            EXPECT_EQ(msg + "\r\n", log.substr(kPrefix));
            // The new file keeps the permissions the log had.
            EXPECT_EQ(0640u, Mode(m_log));
        } else {
            EXPECT_EQ("older generation", Get(m_buffer)) << r.existing << "+" << r.lineLen;
            EXPECT_EQ(r.existing + r.lineLen + 2, log.size());
            EXPECT_EQ(existing, log.substr(0, r.existing));
        }
    }
}

TEST_F(FileTracerTest, RotationKeepsOnlyTheNewestGenerations)
{
    CFileTracer::Open(m_log.c_str(), 1, 100, false);
    for (int i = 0; i < 5; ++i)
        CFileTracer::WriteLine0("line %d %s", i, std::string(30, 'x').c_str()); // 62-byte lines
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, Text(lines[0]).find("line 4 "));
    std::string buffer = Get(m_buffer);
    EXPECT_NE(std::string::npos, buffer.find("line 3 "));
    EXPECT_EQ(std::string::npos, buffer.find("line 2 "));
}

// "DD-MM-YYYY:HH:MM:SS.mmm: " followed by "thread <t> line <nnnnn>"; t and n are returned.
bool ParseThreadLine(const std::string& line, int& t, int& n)
{
    static const char kStamp[] = "99-99-9999:99:99:99.999: ";
    if (line.size() < kPrefix)
        return false;
    for (size_t i = 0; i < kPrefix; ++i)
        if (kStamp[i] == '9' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != kStamp[i])
            return false;
    char again[64];
    return std::sscanf(line.c_str() + kPrefix, "thread %d line %d", &t, &n) == 2 &&
           std::snprintf(again, sizeof(again), "thread %d line %05d", t, n) > 0 && line.substr(kPrefix) == again;
}

TEST_F(FileTracerTest, ConcurrentWritersKeepEveryLineWholeAndInOrder)
{
    const int kThreads = 8, kLines = 20000;
    const size_t kLine = kPrefix + 19 + 2; // "thread t line nnnnn" and CR LF
    struct Row {
        DWORD limit;
        bool complete; // the two files hold every line
        const char* what;
    } rows[] = {
        {0, true, "no limit: one file"},
        {DWORD(kThreads * kLines * kLine * 6 / 10), true, "moved aside once, while all threads write"},
        // The two files left hold for each thread an unbroken run up to its last line (or none, for a thread
        // that finished early).
        {200000, false, "moved aside some thirty times"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        CFileTracer::Close();
        std::remove(m_log.c_str());
        std::remove(m_buffer.c_str());
        CFileTracer::Open(m_log.c_str(), 1, r.limit, false);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    CFileTracer::WriteLine0("thread %d line %05d", t, i);
            });
        for (std::thread& th : threads)
            th.join();
        CFileTracer::Close();

        const std::string older = Get(m_buffer), newer = Get(m_log);
        std::vector<int> first(kThreads, -1), next(kThreads, -1);
        size_t bad = 0;
        for (const std::string* all : {&older, &newer}) {
            size_t start = 0;
            while (start < all->size()) {
                const size_t end = all->find("\r\n", start);
                const std::string line = all->substr(start, end == std::string::npos ? end : end - start);
                start = end == std::string::npos ? all->size() : end + 2;
                int t = -1, n = -1;
                const bool ok = end != std::string::npos && ParseThreadLine(line, t, n) && t >= 0 && t < kThreads &&
                                (next[t] < 0 || n == next[t]);
                if (!ok) {
                    if (++bad <= 5)
                        ADD_FAILURE() << "\"" << line << "\" after line " << (t >= 0 && t < kThreads ? next[t] : -1)
                                      << " of its thread";
                    continue;
                }
                if (first[t] < 0)
                    first[t] = n;
                next[t] = n + 1;
            }
        }
        EXPECT_EQ(0u, bad);
        for (int t = 0; t < kThreads; ++t) {
            if (r.complete || first[t] >= 0) {
                EXPECT_EQ(kLines, next[t]) << "thread " << t;
            }
            if (r.complete) {
                EXPECT_EQ(0, first[t]) << "thread " << t;
            }
        }
        if (r.limit == 0) {
            EXPECT_FALSE(Exists(m_buffer));
        } else {
            EXPECT_GE(older.size() + kLine, size_t(r.limit)); // a whole generation, not a sliver of one
        }
    }
}

TEST_F(FileTracerTest, FailedCopyAtLimitDropsTheLine)
{
    ASSERT_EQ(0, mkdir(m_buffer.c_str(), 0700)); // the copy target cannot be written
    Put(m_log, std::string(90, 'e'));
    CFileTracer::Open(m_log.c_str(), 1, 100, false);
    CFileTracer::WriteLine0("dropped");
    EXPECT_EQ(std::string(90, 'e'), Get(m_log));
    CFileTracer::WriteLine0("%s", ""); // 25 bytes: still over the limit
    EXPECT_EQ(std::string(90, 'e'), Get(m_log));
}

TEST_F(FileTracerTest, HexDumpLayout)
{
    CFileTracer::Open(m_log.c_str(), 1, 0, false);
    const unsigned char data[20] = {0x1E, 0x1F, 0x20, 0x41, 0x7F, 0x80, 0xFF, 0x00, 'h', 'e',
                                    'l',  'l',  'o',  0x0A, 0x0D, 0x09, 'x',  'y',  'z', 0x1E};
    CFileTracer::WriteMemDump(1, data, 20);
    CFileTracer::WriteMemDump(2, data, 20); // above the level: nothing
    CFileTracer::WriteMemDump(0, data, 0);  // one line even for nothing
    CFileTracer::WriteMemDump(0, data, 16); // exactly one full line
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(std::string("00000000  1E 1F 20 41 7F 80 FF 00 68 65 6C 6C 6F 0A 0D 09  .\x1F A\x7F\x80\xFF.hello..."),
              lines[0]);
    EXPECT_EQ("00000010  78 79 7A 1E" + std::string(12 * 3, ' ') + "  xyz.", lines[1]);
    EXPECT_EQ("00000000 " + std::string(16 * 3, ' ') + "  ", lines[2]);
    EXPECT_EQ(lines[0].substr(0, 58), lines[3].substr(0, 58));
    EXPECT_EQ(75u, lines[3].size());
}

TEST_F(FileTracerTest, HopHeaderDumps)
{
    unsigned char header[32] = {0};
    const unsigned char target[8] = {5, 1, 2, 3, 1, 1, 0x53, 0x03}; // port 851
    const unsigned char sender[8] = {192, 168, 0, 10, 1, 1, 0x68, 0x29}; // port 10600
    std::memcpy(header, target, 8);
    std::memcpy(header + 8, sender, 8);
    header[16] = 0x02;
    header[17] = 0x09; // command 0x902
    header[28] = 3;    // fragment 3
    header[30] = 0x01;
    header[31] = 0x01; // packet 257
    CFileTracer::Open(m_log.c_str(), 2, 0, false);
    CFileTracer::WriteHopSendInfo(2, header);
    header[16] = 0x01;
    CFileTracer::WriteHopReceiveInfo(1, header);
    CFileTracer::WriteHopReceiveInfo(3, header); // above the level
    CFileTracer::WriteHopReceiveInfo(1, nullptr);
    std::vector<std::string> lines = Lines();
    std::vector<std::string> texts;
    for (const std::string& l : lines)
        texts.push_back(Text(l));
    std::vector<std::string> expect = {
        "Send Hop Command: packetNo:257 fragmentNo:3",
        "     Sender: NetId = 192.168.0.10.1.1 Port = 10600",
        "     Target: NetId = 5.1.2.3.1.1 Port = 851",
        "Receive Hop Command",
        "     Sender: NetId = 192.168.0.10.1.1 Port = 10600",
        "     Target: NetId = 5.1.2.3.1.1 Port = 851",
    };
    EXPECT_EQ(expect, texts);
}

TEST_F(FileTracerTest, UncreatableFileLeavesTheLogClosed)
{
    std::string bad = m_dir + "/no/such/dir/x.log";
    CFileTracer::Open(bad.c_str(), 2, 0, false);
    EXPECT_FALSE(CFileTracer::IsOpen());
    EXPECT_EQ(2u, CFileTracer::GetLevel());
    CFileTracer::WriteLine0("dropped");
    CFileTracer::WriteMemDump(0, "x", 1);
    EXPECT_FALSE(Exists(bad));
    CFileTracer::Open(nullptr, 2, 0, false);
    EXPECT_FALSE(CFileTracer::IsOpen());
    EXPECT_EQ(nullptr, CFileTracer::GetFileName());
}

TEST(FileTracerSysLog, SwitchStartsEnabled)
{
    EXPECT_TRUE(KxTraceIsSysLogEnabled());
    KxTraceDisableSysLog();
    EXPECT_FALSE(KxTraceIsSysLogEnabled());
    KxTraceEnableSysLog();
    EXPECT_TRUE(KxTraceIsSysLogEnabled());
}

} // namespace
