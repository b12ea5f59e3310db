#include "KxStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "OsUserFile.h"

namespace {

class StreamFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kxstreamtest.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
    }
    void TearDown() override
    {
        for (const std::string& f : m_files)
            std::remove(f.c_str());
        rmdir(m_dir.c_str());
    }
    std::string PathOf(const std::string& name)
    {
        std::string p = m_dir + "/" + name;
        m_files.push_back(p);
        return p;
    }
    static void Put(const std::string& path, const std::string& data)
    {
        std::ofstream(path, std::ios::binary) << data;
    }
    static std::string Get(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    IKxFileStream* Open(const std::string& path, DWORD disposition = OPEN_ALWAYS)
    {
        IKxFileStream* s = nullptr;
        HRESULT hr = CKxFileStream::CreateFileStream(&s, path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                                     disposition, FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(S_OK, hr) << path;
        return s;
    }
    static DWORD Pos(IKxStream* s)
    {
        DWORD p = 0xDEADBEEF;
        EXPECT_EQ(S_OK, s->GetPosition(&p));
        return p;
    }

    std::string m_dir;
    std::vector<std::string> m_files;
};

TEST(StreamErrno, ResultFromErrno)
{
    struct Row {
        int err;
        HRESULT hr;
    } rows[] = {
        {0, E_FAIL},
        {ENOENT, HRESULT(0x80070002)},
        {EACCES, HRESULT(0x8007000D)},
        {0x12345, HRESULT(0x80072345)},
        {-5, HRESULT(-5)},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.hr, KxHResultFromErrno(r.err)) << r.err;
}

TEST_F(StreamFile, OpenFailureGivesErrnoResult)
{
    IKxFileStream* s = reinterpret_cast<IKxFileStream*>(1);
    HRESULT hr = CKxFileStream::CreateFileStream(&s, (m_dir + "/missing/x.log").c_str(), GENERIC_READ, 0,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(HRESULT(0x80070000 | ENOENT), hr);
    EXPECT_EQ(nullptr, s);

    // A second exclusive open of a held file is refused with EACCES.
    std::string path = PathOf("held.bin");
    IKxFileStream* first = nullptr;
    ASSERT_EQ(S_OK, CKxFileStream::CreateFileStream(&first, path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS,
                                                    FILE_ATTRIBUTE_NORMAL));
    IKxFileStream* second = nullptr;
    EXPECT_EQ(HRESULT(0x80070000 | EACCES),
              CKxFileStream::CreateFileStream(&second, path.c_str(), GENERIC_READ, 0, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL));
    first->Release();
}

TEST_F(StreamFile, ReadWriteSeekAndPath)
{
    std::string path = PathOf("rw.bin");
    IKxFileStream* s = Open(path);
    ASSERT_NE(nullptr, s);
    ULONG n = 0;
    EXPECT_EQ(S_OK, s->Write("hello world", 11, &n));
    EXPECT_EQ(11u, n);
    EXPECT_EQ(11u, Pos(s));
    LARGE_INTEGER off;
    off.QuadPart = -5;
    ULARGE_INTEGER np;
    EXPECT_EQ(S_OK, s->Seek(off, STREAM_SEEK_END, &np));
    EXPECT_EQ(6u, np.QuadPart);
    char buf[16] = {0};
    EXPECT_EQ(S_OK, s->Read(buf, 10, &n));
    EXPECT_EQ(5u, n);
    EXPECT_STREQ("world", buf);
    EXPECT_EQ(S_OK, s->Read(buf, 10, &n)); // at the end: success with nothing read
    EXPECT_EQ(0u, n);
    EXPECT_EQ(E_UNEXPECTED, s->Seek(off, 3, &np));
    off.QuadPart = -100;
    EXPECT_EQ(HRESULT(0x80070000 | EINVAL), s->Seek(off, STREAM_SEEK_SET, &np));
    EXPECT_EQ(E_UNEXPECTED, s->GetPosition(nullptr));

    std::vector<char> pathBuf(path.size() + 1, 'Z');
    EXPECT_EQ(E_FAIL, s->GetFilePath(DWORD(path.size()), pathBuf.data()));
    EXPECT_EQ('Z', pathBuf[0]);
    EXPECT_EQ(S_OK, s->GetFilePath(DWORD(path.size() + 1), pathBuf.data()));
    EXPECT_EQ(path, std::string(pathBuf.data()));
    void* h = nullptr;
    EXPECT_EQ(S_OK, s->GetHandle(&h));
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, s->Release());
    EXPECT_EQ("hello world", Get(path));
}

TEST_F(StreamFile, SetSizeTruncatesAndExtendsWithZeros)
{
    struct Row {
        ULONGLONG size;
        std::string expect;
    } rows[] = {
        {0, ""},
        {4, "0123"},
        {10, "0123456789"},
        {100, "0123456789" + std::string(90, '\0')},
    };
    for (const Row& r : rows) {
        std::string path = PathOf("size" + std::to_string(r.size));
        Put(path, "0123456789");
        IKxFileStream* s = Open(path);
        ASSERT_NE(nullptr, s);
        ULARGE_INTEGER n;
        n.QuadPart = r.size;
        EXPECT_EQ(S_OK, s->SetSize(n));
        EXPECT_EQ(DWORD(r.size), Pos(s));
        s->Release();
        EXPECT_EQ(r.expect, Get(path)) << r.size;
    }
}

TEST_F(StreamFile, MoveRegionBothDirections)
{
    struct Row {
        std::string content;
        DWORD pos, count, to;
        std::string expect;
        DWORD posAfter;
    } rows[] = {
        {"abcdef", 0, 4, 2, "ababcd", 6},
        {"abcdef", 2, 4, 0, "cdefef", 4},
        {"abcdef", 0, 2, 4, "abcdab", 6},
        {"abcdef", 1, 0, 3, "abcdef", 3},
    };
    for (const Row& r : rows) {
        std::string path = PathOf("move");
        Put(path, r.content);
        IKxFileStream* s = Open(path);
        ASSERT_NE(nullptr, s);
        ASSERT_EQ(S_OK, s->SetPosition(r.pos));
        EXPECT_EQ(S_OK, s->MoveRegion(r.count, r.to));
        EXPECT_EQ(r.posAfter, Pos(s));
        s->Release();
        EXPECT_EQ(r.expect, Get(path)) << r.pos << "," << r.count << "," << r.to;
    }
}

TEST_F(StreamFile, MoveRegionAcrossManyChunks)
{
    // 5000 bytes crossing the 1024-byte chunks in both directions, compared against memmove.
    std::string content;
    for (int i = 0; i < 8000; ++i)
        content += char('A' + (i * 7) % 53);
    struct Row {
        DWORD pos, count, to;
    } rows[] = {{100, 5000, 1500}, {1500, 5000, 100}, {0, 3000, 5000}};
    for (const Row& r : rows) {
        std::string path = PathOf("bigmove");
        Put(path, content);
        std::string expect = content;
        std::memmove(&expect[r.to], &expect[r.pos], r.count);
        IKxFileStream* s = Open(path);
        ASSERT_NE(nullptr, s);
        ASSERT_EQ(S_OK, s->SetPosition(r.pos));
        EXPECT_EQ(S_OK, s->MoveRegion(r.count, r.to));
        EXPECT_EQ(r.to + r.count, Pos(s));
        s->Release();
        EXPECT_TRUE(expect == Get(path)) << r.pos << "," << r.count << "," << r.to;
    }
}

TEST_F(StreamFile, MoveRegionPastTheEndFailsWithoutWritingGarbage)
{
    std::string path = PathOf("short");
    Put(path, "abcdef");
    IKxFileStream* s = Open(path);
    ASSERT_NE(nullptr, s);
    ASSERT_EQ(S_OK, s->SetPosition(4));
    EXPECT_EQ(E_FAIL, s->MoveRegion(10, 0));
    s->Release();
    EXPECT_EQ("abcdef", Get(path));
}

TEST_F(StreamFile, CopyToAnotherStream)
{
    std::string path = PathOf("copy");
    std::string content(3000, 'q');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = char('a' + i % 26);
    Put(path, content);
    IKxFileStream* s = Open(path);
    ASSERT_NE(nullptr, s);
    IKxMemoryStream* m = nullptr;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(0, &m, 512));

    struct Row {
        DWORD from, count, expectRead;
    } rows[] = {{0, 2500, 2500}, {2900, 500, 100}, {3000, 10, 0}, {0, 0, 0}};
    for (const Row& r : rows) {
        ASSERT_EQ(S_OK, s->SetPosition(r.from));
        ASSERT_EQ(S_OK, m->SetPosition(0));
        DWORD rd = 99, wr = 99;
        EXPECT_EQ(S_OK, s->CopyTo(static_cast<IKxStream*>(m), r.count, &rd, &wr)) << r.from;
        EXPECT_EQ(r.expectRead, rd);
        EXPECT_EQ(r.expectRead, wr);
        void* buf = nullptr;
        m->GetBuffer(&buf);
        EXPECT_EQ(content.substr(r.from, r.expectRead), std::string(static_cast<char*>(buf), r.expectRead));
    }
    // A target that refuses the bytes makes the copy fail.
    IKxMemoryStream* tiny = nullptr;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(10, &tiny));
    ASSERT_EQ(S_OK, s->SetPosition(0));
    DWORD rd = 0, wr = 0;
    EXPECT_EQ(E_OUTOFMEMORY, s->CopyTo(static_cast<IKxStream*>(tiny), 100, &rd, &wr));
    EXPECT_EQ(0u, wr);
    tiny->Release();
    m->Release();
    s->Release();
}

TEST_F(StreamFile, InterfacesAndUnsupportedOperations)
{
    IKxFileStream* s = Open(PathOf("qi"));
    ASSERT_NE(nullptr, s);
    const IID* ok[] = {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream, &IID_IKxFileStream, &IID_IKxFileStream2};
    for (const IID* iid : ok) {
        void* p = nullptr;
        EXPECT_EQ(S_OK, s->QueryInterface(*iid, &p));
        EXPECT_EQ(static_cast<void*>(s), p);
        static_cast<IUnknown*>(p)->Release();
    }
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(IID_IKxMemoryStream, &p));
    EXPECT_EQ(nullptr, p);
    ULARGE_INTEGER z;
    z.QuadPart = 0;
    STATSTG st;
    IStream* c = nullptr;
    EXPECT_EQ(E_NOTIMPL, s->CopyTo(static_cast<IStream*>(nullptr), z, nullptr, nullptr));
    EXPECT_EQ(E_NOTIMPL, s->Clone(&c));
    EXPECT_EQ(E_NOTIMPL, s->Commit(0));
    EXPECT_EQ(E_NOTIMPL, s->Revert());
    EXPECT_EQ(E_NOTIMPL, s->LockRegion(z, z, 0));
    EXPECT_EQ(E_NOTIMPL, s->UnlockRegion(z, z, 0));
    EXPECT_EQ(E_NOTIMPL, s->Stat(&st, 0));
    EXPECT_EQ(0u, s->Release());
}

} // namespace
