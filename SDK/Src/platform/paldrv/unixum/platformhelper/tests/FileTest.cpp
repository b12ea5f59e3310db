// File handles, sharing locks, positions, copy, move, directories and search.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "OsUserFile.h"
#include "OsUserInternal.h"
#include "TestTemp.h"

namespace {

std::string Backslashed(const std::string& path)
{
    std::string out;
    for (char c : path)
        out += c == '/' ? std::string("\\\\") : std::string(1, c);
    return out;
}

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition)
{
    return OsUserCreateFile(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(KxPlatformPath, Normalisation)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\\\\b//c", "a/b/c"},       {"a\\b\\c", "a/b/c"},   {"\\\\server\\share", "/server/share"},
        {"/tmp///x//", "/tmp/x/"},    {"plain", "plain"},     {"", ""},
        {"C:\\dir\\\\file.xml", "C:/dir/file.xml"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, KxNormalizePath(c.in)) << c.in;
        char buf[64];
        snprintf(buf, sizeof(buf), "%s", c.in);
        OsUserNormalizePath(buf);
        EXPECT_STREQ(c.out, buf) << c.in;
    }
}

TEST(KxPlatformPath, DeviceNames)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"\\\\.\\COM1", "/dev/cuau0"}, {"\\\\.\\COM4", "/dev/cuau3"}, {"\\\\.\\KxDrv0", "/dev/kxdrv0"},
        {"\\\\.\\AB", "/dev/ab"}, {"\\\\.\\A", ""},            {"C:\\file.txt", ""},          {"/dev/null", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, KxDevicePath(c.in)) << c.in;
}

TEST(KxPlatformFile, BackslashPathOpensNormalisedFile)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    ASSERT_TRUE(OsUserCreateDirectory(Backslashed(tmp.Path("sub")).c_str(), nullptr));
    std::string name = Backslashed(tmp.Path()) + "\\sub//\\f.txt";
    HANDLE h = Open(name, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << errno;
    DWORD written = 0;
    EXPECT_TRUE(OsUserWriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(3u, written);
    EXPECT_TRUE(OsUserCloseHandle(h));
    EXPECT_EQ("abc", TestTemp::ReadAll(tmp.Path("sub/f.txt")));
    EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, OsUserGetFileAttributes(name.c_str()));
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, OsUserGetFileAttributes((Backslashed(tmp.Path()) + "\\sub").c_str()));
    EXPECT_TRUE(OsUserPathFileExists(name.c_str()));
    EXPECT_TRUE(OsUserDeleteFile(name.c_str()));
    EXPECT_FALSE(OsUserPathFileExists(name.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, OsUserGetFileAttributes(name.c_str()));
    EXPECT_TRUE(OsUserRemoveDirectory((Backslashed(tmp.Path()) + "\\\\sub").c_str()));
    EXPECT_FALSE(OsUserPathFileExists(tmp.Path("sub").c_str()));
}

TEST(KxPlatformFile, SharingLocks)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string path = tmp.Path("shared.bin");
    const struct {
        DWORD first, second;
        bool secondOpens;
    } cases[] = {
        {0, 0, false},
        {0, FILE_SHARE_READ, false},
        {FILE_SHARE_READ, 0, false},
        {FILE_SHARE_READ, FILE_SHARE_READ, true},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SHARE_READ, true},
    };
    for (const auto& c : cases) {
        HANDLE first = Open(path, GENERIC_READ | GENERIC_WRITE, c.first, OPEN_ALWAYS);
        ASSERT_NE(INVALID_HANDLE_VALUE, first);
        errno = 0;
        HANDLE second = Open(path, GENERIC_READ, c.second, OPEN_EXISTING);
        if (c.secondOpens) {
            EXPECT_NE(INVALID_HANDLE_VALUE, second) << c.first << "/" << c.second;
            EXPECT_TRUE(OsUserCloseFile(second));
        } else {
            EXPECT_EQ(INVALID_HANDLE_VALUE, second) << c.first << "/" << c.second;
            EXPECT_EQ(EACCES, errno);
        }
        EXPECT_TRUE(OsUserCloseFile(first));
        // Once closed, any open succeeds again.
        HANDLE again = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
        EXPECT_NE(INVALID_HANDLE_VALUE, again);
        EXPECT_TRUE(OsUserCloseFile(again));
    }
}

TEST(KxPlatformFile, RefusedOpenDoesNotTruncateHolder)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string path = tmp.Path("held.txt");
    ASSERT_TRUE(TestTemp::WriteAll(path, "keep me"));
    HANDLE holder = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        errno = 0;
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ | GENERIC_WRITE, 0, disposition));
        EXPECT_EQ(EACCES, errno);
        EXPECT_EQ("keep me", TestTemp::ReadAll(path)) << disposition;
    }
    EXPECT_TRUE(OsUserCloseFile(holder));
}

TEST(KxPlatformFile, DispositionsAndRefusedArguments)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string existing = tmp.Path("existing.txt");
    std::string missing = tmp.Path("missing.txt");
    const struct {
        const char* what;
        bool onExisting;
        DWORD access, disposition, flags;
        int expectErrno;         // 0: the open succeeds
        const char* content;     // content of the file afterwards (existing: "old")
    } cases[] = {
        {"create new on existing", true, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, EEXIST, "old"},
        {"open existing on missing", false, GENERIC_READ, OPEN_EXISTING, 0, ENOENT, "<missing>"},
        {"open always on missing", false, GENERIC_WRITE, OPEN_ALWAYS, 0, 0, ""},
        {"open always on existing", true, GENERIC_WRITE, OPEN_ALWAYS, 0, 0, "old"},
        {"create always on existing", true, GENERIC_WRITE, CREATE_ALWAYS, 0, 0, ""},
        {"truncate with write only", true, GENERIC_WRITE, TRUNCATE_EXISTING, 0, EINVAL, "old"},
        {"truncate with read and write", true, GENERIC_READ | GENERIC_WRITE, TRUNCATE_EXISTING, 0, 0, ""},
        {"truncate on missing", false, GENERIC_READ, TRUNCATE_EXISTING, 0, ENOENT, "<missing>"},
        {"no access", true, 0, OPEN_EXISTING, 0, EINVAL, "old"},
        {"other flags", true, GENERIC_READ, OPEN_EXISTING, 0x1, EINVAL, "old"},
        {"write-through accepted", true, GENERIC_READ, OPEN_EXISTING,
         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, 0, "old"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(TestTemp::WriteAll(existing, "old"));
        OsUserDeleteFile(missing.c_str());
        const std::string& path = c.onExisting ? existing : missing;
        errno = 0;
        ::testing::internal::CaptureStderr();
        HANDLE h = OsUserCreateFile(path.c_str(), c.access, 0, nullptr, c.disposition, c.flags, nullptr);
        std::string err = ::testing::internal::GetCapturedStderr();
        if (c.expectErrno == 0) {
            EXPECT_NE(INVALID_HANDLE_VALUE, h) << c.what << " errno " << errno;
            if (h != INVALID_HANDLE_VALUE) {
                EXPECT_TRUE(OsUserCloseFile(h));
            }
        } else {
            EXPECT_EQ(INVALID_HANDLE_VALUE, h) << c.what;
            EXPECT_EQ(c.expectErrno, errno) << c.what;
        }
        EXPECT_EQ(c.content, TestTemp::ReadAll(path)) << c.what;
        if (c.flags == 0x1) {
            EXPECT_EQ("OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR, DWORD, DWORD, PVOID, DWORD, DWORD, "
                      "OS_USER_FILE_HANDLE): only FILE_ATTRIBUTE_NORMAL supported\n",
                      err);
        }
    }
    HANDLE other = Open(existing, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    errno = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(INVALID_HANDLE_VALUE, OsUserCreateFile(existing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, 0, other));
    EXPECT_EQ("OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR, DWORD, DWORD, PVOID, DWORD, DWORD, "
              "OS_USER_FILE_HANDLE): hTemplateFile not supported\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(EINVAL, errno);
    EXPECT_TRUE(OsUserCloseFile(other));
}

TEST(KxPlatformFile, ReadWritePositionAndSize)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    HANDLE h = Open(tmp.Path("data.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD done = 99;
    ASSERT_TRUE(OsUserWriteFile(h, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(10u, done);
    DWORD high = 77;
    EXPECT_EQ(10u, OsUserGetFileSize(h, &high));
    EXPECT_EQ(0u, high);

    const struct {
        LONG low;
        bool useHigh;
        LONG high;
        DWORD method;
        DWORD expectLow;
        LONG expectHigh;
    } moves[] = {
        {2, false, 0, FILE_BEGIN, 2, 0},
        {3, false, 0, FILE_CURRENT, 5, 0},
        {-1, false, 0, FILE_END, 9, 0},
        {-4, true, -1, FILE_CURRENT, 5, 0},
        {5, true, 1, FILE_BEGIN, 5, 1},
        {-1, true, 0, FILE_BEGIN, 0xFFFFFFFFu, 0},
        {7, true, 0, FILE_BEGIN, 7, 0},
    };
    for (const auto& m : moves) {
        LONG hi = m.high;
        errno = 12345;
        DWORD pos = OsUserSetFilePointer(h, m.low, m.useHigh ? &hi : nullptr, m.method);
        EXPECT_EQ(m.expectLow, pos) << m.low << " " << m.method;
        if (m.useHigh) {
            EXPECT_EQ(m.expectHigh, hi) << m.low << " " << m.method;
        }
        if (pos == INVALID_SET_FILE_POINTER) {
            EXPECT_EQ(0, errno) << "a valid position ending in all ones clears errno";
        }
    }
    char buf[8] = {};
    ASSERT_TRUE(OsUserReadFile(h, buf, 5, &done, nullptr));
    EXPECT_EQ(3u, done);
    EXPECT_EQ(std::string("789"), std::string(buf, done));
    ASSERT_TRUE(OsUserReadFile(h, buf, 5, &done, nullptr));
    EXPECT_EQ(0u, done);

    errno = 0;
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, 0, nullptr, 3));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, -20, nullptr, FILE_BEGIN));
    EXPECT_EQ(EINVAL, errno);

    EXPECT_EQ(4u, OsUserSetFilePointer(h, 4, nullptr, FILE_BEGIN));
    EXPECT_TRUE(OsUserSetEndOfFile(h));
    EXPECT_EQ(4u, OsUserGetFileSize(h, nullptr));

    BY_HANDLE_FILE_INFORMATION info;
    time_t before = time(nullptr);
    ASSERT_TRUE(OsUserGetFileInformationByHandle(h, &info));
    EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, info.dwFileAttributes);
    EXPECT_EQ(4u, info.nFileSizeLow);
    EXPECT_EQ(0u, info.nFileSizeHigh);
    FILETIME lo, hi;
    Timet2FileTime(before - 60, &lo);
    Timet2FileTime(before + 60, &hi);
    uint64_t written = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    EXPECT_GT(written, (static_cast<uint64_t>(lo.dwHighDateTime) << 32) | lo.dwLowDateTime);
    EXPECT_LT(written, (static_cast<uint64_t>(hi.dwHighDateTime) << 32) | hi.dwLowDateTime);

    ::testing::internal::CaptureStderr();
    int dummy = 0;
    errno = 0;
    EXPECT_FALSE(OsUserReadFile(h, buf, 1, &done, &dummy));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_FALSE(OsUserWriteFile(h, buf, 1, &done, &dummy));
    EXPECT_EQ("BOOL OsUserReadFile(OS_USER_FILE_HANDLE, LPVOID, DWORD, LPDWORD, PVOID): lpOverlapped not supported"
              "BOOL OsUserWriteFile(OS_USER_FILE_HANDLE, LPCVOID, DWORD, LPDWORD, PVOID): lpOverlapped not supported",
              ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(OsUserCloseHandle(h));
}

TEST(KxPlatformFile, BadHandlesFailWithEinval)
{
    HANDLE ev = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    char buf[4];
    DWORD done;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, ev}) {
        errno = 0;
        EXPECT_FALSE(OsUserReadFile(h, buf, 1, &done, nullptr));
        EXPECT_EQ(EINVAL, errno);
        errno = 0;
        EXPECT_EQ(INVALID_FILE_SIZE, OsUserGetFileSize(h, nullptr));
        EXPECT_EQ(EINVAL, errno);
        errno = 0;
        EXPECT_FALSE(OsUserCloseFile(h));
        EXPECT_EQ(EINVAL, errno);
    }
    OsUserCloseHandle(ev);
}

TEST(KxPlatformFile, MoveKeepsBothFilesUnlessReplacing)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string a = tmp.Path("a.txt"), b = tmp.Path("b.txt"), c = tmp.Path("c.txt");
    ASSERT_TRUE(TestTemp::WriteAll(a, "first"));
    ASSERT_TRUE(TestTemp::WriteAll(b, "second"));
    errno = 0;
    EXPECT_FALSE(OsUserMoveFile(a.c_str(), b.c_str(), 0));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ("first", TestTemp::ReadAll(a));
    EXPECT_EQ("second", TestTemp::ReadAll(b));

    EXPECT_TRUE(OsUserMoveFile(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("<missing>", TestTemp::ReadAll(a));
    EXPECT_EQ("first", TestTemp::ReadAll(b));

    EXPECT_TRUE(OsUserMoveFile(Backslashed(b).c_str(), c.c_str(), 0));
    EXPECT_EQ("first", TestTemp::ReadAll(c));
    errno = 0;
    EXPECT_FALSE(OsUserMoveFile(a.c_str(), b.c_str(), 0));
    EXPECT_EQ(ENOENT, errno);
}

TEST(KxPlatformFile, AppendHandleRotatesToANewFile)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string log = tmp.Path("x.log"), moved = tmp.Path("x.log.buffer"), other = tmp.Path("other.log");
    ASSERT_TRUE(TestTemp::WriteAll(log, "old|"));
    ASSERT_EQ(0, chmod(log.c_str(), 0640));
    HANDLE h = Open(log, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << errno;
    DWORD n = 0;
    // Appending ignores the position.
    EXPECT_EQ(0u, OsUserSetFilePointer(h, 0, nullptr, FILE_BEGIN));
    EXPECT_TRUE(OsUserWriteFile(h, "a|", 2, &n, nullptr));
    EXPECT_EQ("old|a|", TestTemp::ReadAll(log));

    // Refused, and nothing moved: a name that is not the handle's file, a target that cannot be replaced.
    ASSERT_TRUE(TestTemp::WriteAll(other, "other"));
    errno = 0;
    EXPECT_FALSE(OsUserRotateFile(h, other.c_str(), moved.c_str(), FILE_SHARE_READ));
    EXPECT_EQ(EINVAL, errno);
    ASSERT_TRUE(OsUserCreateDirectory(moved.c_str(), nullptr));
    EXPECT_FALSE(OsUserRotateFile(h, log.c_str(), moved.c_str(), FILE_SHARE_READ));
    ASSERT_TRUE(OsUserRemoveDirectory(moved.c_str()));
    EXPECT_TRUE(OsUserWriteFile(h, "b|", 2, &n, nullptr));
    EXPECT_EQ("old|a|b|", TestTemp::ReadAll(log));
    EXPECT_EQ("other", TestTemp::ReadAll(other));

    ASSERT_TRUE(TestTemp::WriteAll(moved, "older generation"));
    EXPECT_TRUE(OsUserRotateFile(h, Backslashed(log).c_str(), moved.c_str(), FILE_SHARE_READ));
    EXPECT_EQ("old|a|b|", TestTemp::ReadAll(moved));
    EXPECT_EQ("", TestTemp::ReadAll(log));
    EXPECT_TRUE(OsUserWriteFile(h, "c|", 2, &n, nullptr));
    EXPECT_EQ("c|", TestTemp::ReadAll(log));
    EXPECT_EQ(2u, OsUserGetFileSize(h, nullptr));
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // The new file carries the handle's lock: an exclusive open is refused.
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(log, GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_TRUE(OsUserCloseHandle(h));
}

TEST(KxPlatformFile, CopyKeepsContentAndPermissions)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string src = tmp.Path("src.bin"), dst = tmp.Path("dst.bin");
    for (size_t size : {size_t(0), size_t(1), size_t(65536), size_t(100000), size_t(3 * 65536 + 17)}) {
        for (mode_t mode : {mode_t(0640), mode_t(0755), mode_t(0600)}) {
            std::string data(size, '\0');
            for (size_t i = 0; i < size; ++i)
                data[i] = static_cast<char>((i * 131 + size) % 251);
            ASSERT_TRUE(TestTemp::WriteAll(src, data));
            ASSERT_EQ(0, chmod(src.c_str(), mode));
            ASSERT_TRUE(TestTemp::WriteAll(dst, std::string(200000, 'x')));
            ASSERT_TRUE(OsUserCopyFile(src.c_str(), dst.c_str(), FALSE)) << size << " errno " << errno;
            EXPECT_TRUE(TestTemp::ReadAll(dst) == data) << size;
            struct stat st;
            ASSERT_EQ(0, stat(dst.c_str(), &st));
            EXPECT_EQ(mode, st.st_mode & 07777) << size;
        }
    }
    chmod(src.c_str(), 0600);
    ASSERT_TRUE(TestTemp::WriteAll(src, "source"));
    ASSERT_TRUE(TestTemp::WriteAll(dst, "target"));
    errno = 0;
    EXPECT_FALSE(OsUserCopyFile(src.c_str(), dst.c_str(), TRUE));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ("target", TestTemp::ReadAll(dst));

    // Copying a file onto itself must not empty it.
    EXPECT_FALSE(OsUserCopyFile(src.c_str(), Backslashed(src).c_str(), FALSE));
    EXPECT_EQ("source", TestTemp::ReadAll(src));

    errno = 0;
    EXPECT_FALSE(OsUserCopyFile(tmp.Path("none").c_str(), dst.c_str(), FALSE));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ("target", TestTemp::ReadAll(dst));
}

std::set<std::string> Names(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.insert(n);
        }
        closedir(d);
    }
    return names;
}

std::string LinkText(const std::string& path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n < 0 ? "<no link>" : std::string(buf, static_cast<size_t>(n));
}

TEST(KxPlatformFile, AtomicWriteGoesThroughLinksAndKeepsOwnerGroupAndMode)
{
    // Ownership can only be handed to other ids by root; elsewhere the file keeps the test's own ids.
    const bool root = geteuid() == 0;
    const uid_t uid = root ? 1234 : geteuid();
    const gid_t gid = root ? 5678 : getegid();
    // A set-id bit is cleared by a change of owner, so it shows that the mode is set after the owner.
    const mode_t mode = root ? 04750 : 0640;
    struct Row {
        const char* what;
        std::vector<std::pair<const char*, const char*>> links;  // a/<name> -> text; "@" stands for the folder
        const char* write;  // path given, below the folder
        const char* lands;  // file below the folder that must hold the new data; null: the call fails
        int err;
    } rows[] = {
        {"the file itself", {}, "b/data.txt", "b/data.txt", 0},
        {"backslashed path", {}, "b\\\\data.txt", "b/data.txt", 0},
        {"relative link", {{"x", "../b/data.txt"}}, "a/x", "b/data.txt", 0},
        {"absolute link", {{"x", "@/b/data.txt"}}, "a/x", "b/data.txt", 0},
        {"chain of links", {{"x", "y"}, {"y", "../b/data.txt"}}, "a/x", "b/data.txt", 0},
        {"link to a file still to come", {{"x", "../b/new.txt"}}, "a/x", "b/new.txt", 0},
        {"link loop", {{"x", "y"}, {"y", "x"}}, "a/x", nullptr, ELOOP},
        {"missing folder", {}, "c/data.txt", nullptr, ENOENT},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TestTemp tmp;
        ASSERT_TRUE(tmp.Ok());
        ASSERT_EQ(0, mkdir(tmp.Path("a").c_str(), 0755));
        ASSERT_EQ(0, mkdir(tmp.Path("b").c_str(), 0755));
        const std::string old = tmp.Path("b/data.txt");
        ASSERT_TRUE(TestTemp::WriteAll(old, "old"));
        ASSERT_EQ(0, chown(old.c_str(), uid, gid));
        ASSERT_EQ(0, chmod(old.c_str(), mode));
        std::set<std::string> linkNames;
        for (const auto& l : r.links) {
            std::string text = l.second[0] == '@' ? tmp.Path() + (l.second + 1) : l.second;
            ASSERT_EQ(0, symlink(text.c_str(), tmp.Path(std::string("a/") + l.first).c_str()));
            linkNames.insert(l.first);
        }

        errno = 0;
        const std::string path = tmp.Path(r.write);
        const BOOL ok = OsUserWriteFileAtomic(path.c_str(), "new", 3);
        EXPECT_EQ(r.lands != nullptr, ok != FALSE) << "errno " << errno;
        if (!r.lands) {
            EXPECT_EQ(r.err, errno);
        }

        // Links stay links, and nothing but the written file is left in either folder.
        for (const auto& l : r.links) {
            std::string text = l.second[0] == '@' ? tmp.Path() + (l.second + 1) : l.second;
            EXPECT_EQ(text, LinkText(tmp.Path(std::string("a/") + l.first)));
        }
        EXPECT_EQ(linkNames, Names(tmp.Path("a")));
        std::set<std::string> inB = {"data.txt"};
        if (r.lands)
            inB.insert(std::string(r.lands).substr(2));
        EXPECT_EQ(inB, Names(tmp.Path("b")));

        const bool replaced = r.lands && std::string(r.lands) == "b/data.txt";
        EXPECT_EQ(replaced ? "new" : "old", TestTemp::ReadAll(old));
        struct stat st;
        ASSERT_EQ(0, stat(old.c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_EQ(uid, st.st_uid);
        EXPECT_EQ(gid, st.st_gid);
        if (r.lands && !replaced) {
            EXPECT_EQ("new", TestTemp::ReadAll(tmp.Path(r.lands)));
            ASSERT_EQ(0, stat(tmp.Path(r.lands).c_str(), &st));
            EXPECT_EQ(mode_t(0644), st.st_mode & 07777) << "a new file gets the usual permissions";
        }
    }
}

TEST(KxPlatformFile, FindFilesByPattern)
{
    TestTemp tmp;
    ASSERT_TRUE(tmp.Ok());
    ASSERT_TRUE(TestTemp::WriteAll(tmp.Path("one.xml"), "1"));
    ASSERT_TRUE(TestTemp::WriteAll(tmp.Path("two.xml"), "22"));
    ASSERT_TRUE(TestTemp::WriteAll(tmp.Path("other.txt"), "333"));
    ASSERT_TRUE(OsUserCreateDirectory(tmp.Path("dir.xml").c_str(), nullptr));
    WIN32_FIND_DATAA fd;
    HANDLE h = OsUserFindFirstFile((Backslashed(tmp.Path()) + "\\*.xml").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::set<std::string> seen;
    do {
        seen.insert(fd.cFileName);
        std::string name = fd.cFileName;
        if (name == "dir.xml") {
            EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, fd.dwFileAttributes);
        } else {
            EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, fd.dwFileAttributes);
            EXPECT_EQ(name == "one.xml" ? 1u : 2u, fd.nFileSizeLow) << name;
        }
    } while (OsUserFindNextFile(h, &fd));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_TRUE(OsUserFindClose(h));
    EXPECT_EQ((std::set<std::string>{"dir.xml", "one.xml", "two.xml"}), seen);

    errno = 0;
    EXPECT_EQ(INVALID_HANDLE_VALUE, OsUserFindFirstFile(tmp.Path("*.none").c_str(), &fd));
    EXPECT_EQ(ENOENT, errno);
}

TEST(KxPlatformFile, CurrentDirectory)
{
    char buf[4096];
    DWORD n = OsUserGetCurrentDirectory(sizeof(buf), buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(strlen(buf), n);
    EXPECT_EQ('/', buf[0]);
    char tiny[1];
    EXPECT_EQ(0u, OsUserGetCurrentDirectory(sizeof(tiny), tiny));
}

} // namespace
