#include "KxStream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Owns one reference and releases it at scope end.
template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    T* operator->() const { return p; }
};

std::string Contents(IKxMemoryStream* s, DWORD size)
{
    void* buf = nullptr;
    EXPECT_EQ(S_OK, s->GetBuffer(&buf));
    return std::string(static_cast<const char*>(buf), size);
}

DWORD Pos(IKxStream* s)
{
    DWORD p = 0xDEADBEEF;
    EXPECT_EQ(S_OK, s->GetPosition(&p));
    return p;
}

ULONGLONG Size(IStream* s)
{
    STATSTG st;
    std::memset(&st, 0, sizeof(st));
    EXPECT_EQ(S_OK, s->Stat(&st, 0));
    return st.cbSize.QuadPart;
}

LARGE_INTEGER Li(LONGLONG v)
{
    LARGE_INTEGER li;
    li.QuadPart = v;
    return li;
}

TEST(StreamMemory, GrowableStreamGrowsByIncrementOrNeed)
{
    struct Row {
        DWORD initial, increment, writePos, writeLen;
        ULONGLONG sizeBefore, sizeAfter;
    } rows[] = {
        {10, 100, 0, 150, 100, 200},  // grows by the increment, which covers the need
        {10, 100, 0, 350, 100, 350},  // grows by exactly the need
        {300, 100, 250, 40, 300, 300}, // fits: no growth
        {0, 8, 20, 1, 8, 21},          // position beyond the end: grows to cover the gap
    };
    for (const Row& r : rows) {
        Ref<IKxMemoryStream> s;
        ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(r.initial, &s.p, r.increment));
        EXPECT_EQ(r.sizeBefore, Size(s.p));
        std::string data(r.writeLen, 'x');
        ASSERT_EQ(S_OK, s->SetPosition(r.writePos));
        ULONG written = 0;
        EXPECT_EQ(S_OK, s->Write(data.data(), r.writeLen, &written));
        EXPECT_EQ(r.writeLen, written);
        EXPECT_EQ(r.sizeAfter, Size(s.p)) << r.initial << "/" << r.increment;
        EXPECT_EQ(r.writePos + r.writeLen, Pos(s.p));
        EXPECT_EQ(data, Contents(s.p, r.writePos + r.writeLen).substr(r.writePos));
    }
}

TEST(StreamMemory, GrowthKeepsEarlierBytes)
{
    Ref<IKxMemoryStream> s;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(4, &s.p, 4));
    std::string expect;
    for (int i = 0; i < 50; ++i) {
        char c = char('a' + i % 26);
        ASSERT_EQ(S_OK, s->Write(&c, 1, nullptr));
        expect += c;
    }
    EXPECT_EQ(expect, Contents(s.p, 50));
}

TEST(StreamMemory, FixedStreamRefusesOverflowAndKeepsPosition)
{
    Ref<IKxMemoryStream> s;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(10, &s.p));
    char data[11] = "0123456789";
    ULONG done = 77;
    EXPECT_EQ(E_OUTOFMEMORY, s->Write(data, 11, &done));
    EXPECT_EQ(77u, done);
    EXPECT_EQ(0u, Pos(s.p));
    EXPECT_EQ(S_OK, s->Write(data, 10, &done));
    EXPECT_EQ(10u, Pos(s.p));
    // Beyond the end after a seek: no room at all, never a wrapped-around difference.
    ASSERT_EQ(S_OK, s->SetPosition(1000));
    EXPECT_EQ(E_OUTOFMEMORY, s->Write(data, 1, &done));
    EXPECT_EQ(10u, Size(s.p));
}

TEST(StreamMemory, ReadResults)
{
    Ref<IKxMemoryStream> s;
    char init[10];
    std::memcpy(init, "abcdefghij", 10);
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(init, 10, &s.p, false));
    struct Row {
        DWORD pos;
        ULONG count;
        HRESULT hr;
        ULONG done;
        const char* bytes;
        DWORD posAfter;
    } rows[] = {
        {0, 4, S_OK, 4, "abcd", 4},
        {8, 5, S_OK, 2, "ij", 10}, // limited to what is there
        {10, 1, E_FAIL, 99, "", 10},
        {11, 1, E_FAIL, 99, "", 11},
        {3, 0, S_FALSE, 99, "", 3},
    };
    for (const Row& r : rows) {
        char out[16] = {0};
        ULONG done = 99;
        ASSERT_EQ(S_OK, s->SetPosition(r.pos));
        EXPECT_EQ(r.hr, s->Read(out, r.count, &done)) << r.pos << "+" << r.count;
        EXPECT_EQ(r.done, done);
        EXPECT_STREQ(r.bytes, out);
        EXPECT_EQ(r.posAfter, Pos(s.p));
    }
    EXPECT_EQ(E_FAIL, s->Read(nullptr, 1, nullptr));
    EXPECT_EQ(E_FAIL, s->Write(nullptr, 1, nullptr));
    EXPECT_EQ(S_FALSE, s->Write("x", 0, nullptr));
    // Not owned: the caller's buffer is the stream's buffer and outlives it.
    void* buf = nullptr;
    s->GetBuffer(&buf);
    EXPECT_EQ(static_cast<void*>(init), buf);
}

TEST(StreamMemory, SeekOrigins)
{
    Ref<IKxMemoryStream> s;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(10, &s.p));
    ULARGE_INTEGER np;
    np.QuadPart = 12345;
    EXPECT_EQ(S_OK, s->Seek(Li(4), STREAM_SEEK_SET, &np));
    EXPECT_EQ(4u, np.QuadPart);
    EXPECT_EQ(S_OK, s->Seek(Li(3), STREAM_SEEK_CUR, &np));
    EXPECT_EQ(7u, np.QuadPart);
    EXPECT_EQ(S_OK, s->Seek(Li(-2), STREAM_SEEK_CUR, &np));
    EXPECT_EQ(5u, np.QuadPart);
    np.QuadPart = 12345;
    EXPECT_EQ(E_UNEXPECTED, s->Seek(Li(0), STREAM_SEEK_END, &np));
    EXPECT_EQ(E_UNEXPECTED, s->Seek(Li(0), 3, &np));
    EXPECT_EQ(12345u, np.QuadPart);
    EXPECT_EQ(5u, Pos(s.p));
    EXPECT_EQ(S_OK, s->Seek(Li(50), STREAM_SEEK_SET, nullptr)); // not checked against the size
    EXPECT_EQ(50u, Pos(s.p));
    EXPECT_EQ(E_UNEXPECTED, s->GetPosition(nullptr));
}

TEST(StreamMemory, MemberSeekAndFlushNeedABuffer)
{
    CKxMemoryStream* p = new CKxMemoryStream;
    EXPECT_EQ(E_FAIL, p->Seek(DWORD(3)));
    EXPECT_EQ(E_FAIL, p->Flush());
    ASSERT_EQ(S_OK, p->Init(8, nullptr, true));
    EXPECT_TRUE(p->IsEmpty());
    EXPECT_EQ(S_OK, p->Seek(DWORD(3)));
    EXPECT_FALSE(p->IsEmpty());
    EXPECT_EQ(S_OK, p->Flush());
    EXPECT_TRUE(p->IsEmpty());
    ASSERT_EQ(S_OK, p->InitGrowable(2, 16));
    EXPECT_EQ(16u, p->GetSize());
    ASSERT_EQ(S_OK, p->GrowStream(20)); // by max(16, 4)
    EXPECT_EQ(32u, p->GetSize());
    EXPECT_EQ(0u, p->Release());
}

TEST(StreamMemory, MoveRegionBothDirections)
{
    struct Row {
        DWORD pos, count, to;
        HRESULT hr;
        const char* after;
        DWORD posAfter;
    } rows[] = {
        {0, 4, 2, S_OK, "ababcdghij", 6},   // forward overlap
        {4, 4, 1, S_OK, "aefghfghij", 5},   // backward overlap
        {0, 10, 0, S_OK, "abcdefghij", 10}, // whole buffer onto itself
        {6, 5, 0, E_FAIL, "abcdefghij", 6}, // source past the end
        {0, 3, 8, E_FAIL, "abcdefghij", 0}, // destination past the end
        {11, 0, 0, E_FAIL, "abcdefghij", 11},
        {5, 0, 9, S_OK, "abcdefghij", 9},
    };
    for (const Row& r : rows) {
        Ref<IKxMemoryStream> s;
        ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(10, &s.p));
        ASSERT_EQ(S_OK, s->Write("abcdefghij", 10, nullptr));
        ASSERT_EQ(S_OK, s->SetPosition(r.pos));
        EXPECT_EQ(r.hr, s->MoveRegion(r.count, r.to)) << r.pos << "," << r.count << "," << r.to;
        EXPECT_EQ(std::string(r.after), Contents(s.p, 10));
        EXPECT_EQ(r.posAfter, Pos(s.p));
    }
    Ref<IKxMemoryStream> g;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(10, &g.p, 10));
    EXPECT_EQ(E_NOTIMPL, g->MoveRegion(1, 2));
}

TEST(StreamMemory, CopyToAdvancesAndReportsTargetResult)
{
    Ref<IKxMemoryStream> src, fixedDst, growDst;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(10, &src.p));
    ASSERT_EQ(S_OK, src->Write("0123456789", 10, nullptr));
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(3, &fixedDst.p));
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(0, &growDst.p, 4));

    // The target cannot take 5 bytes: its error comes back, yet the source advanced.
    ASSERT_EQ(S_OK, src->SetPosition(2));
    DWORD rd = 0, wr = 99;
    EXPECT_EQ(E_OUTOFMEMORY, src->CopyTo(static_cast<IKxStream*>(fixedDst.p), 5, &rd, &wr));
    EXPECT_EQ(5u, rd);
    EXPECT_EQ(0u, wr);
    EXPECT_EQ(7u, Pos(src.p));

    // Count limited to what is left.
    ULARGE_INTEGER cb, r64, w64;
    cb.QuadPart = 1000;
    EXPECT_EQ(S_OK, src->CopyTo(static_cast<IStream*>(growDst.p), cb, &r64, &w64));
    EXPECT_EQ(3u, r64.QuadPart);
    EXPECT_EQ(3u, w64.QuadPart);
    EXPECT_EQ(10u, Pos(src.p));
    EXPECT_EQ("789", Contents(growDst.p, 3));
    EXPECT_EQ(S_FALSE, src->CopyTo(static_cast<IKxStream*>(growDst.p), 5, &rd, &wr));
    EXPECT_EQ(0u, rd);
}

TEST(StreamMemory, CloneStatAndUnsupported)
{
    Ref<IKxMemoryStream> s;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(6, &s.p));
    ASSERT_EQ(S_OK, s->Write("abcdef", 6, nullptr));
    Ref<IStream> c;
    ASSERT_EQ(S_OK, s->Clone(&c.p));
    Ref<IKxMemoryStream> cm;
    ASSERT_EQ(S_OK, c->QueryInterface(IID_IKxMemoryStream, reinterpret_cast<void**>(&cm.p)));
    EXPECT_EQ(0u, Pos(cm.p));
    EXPECT_EQ(6u, Size(cm.p));
    EXPECT_EQ("abcdef", Contents(cm.p, 6));
    void *b1 = nullptr, *b2 = nullptr;
    s->GetBuffer(&b1);
    cm->GetBuffer(&b2);
    EXPECT_NE(b1, b2); // a copy, not the same buffer

    Ref<IKxMemoryStream> g;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateGrowableMemoryStream(1, &g.p, 1));
    IStream* none = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(E_NOTIMPL, g->Clone(&none));
    EXPECT_EQ(nullptr, none);

    ULARGE_INTEGER z;
    z.QuadPart = 0;
    EXPECT_EQ(E_NOTIMPL, s->SetSize(z));
    EXPECT_EQ(E_NOTIMPL, s->Commit(0));
    EXPECT_EQ(E_NOTIMPL, s->Revert());
    EXPECT_EQ(E_NOTIMPL, s->LockRegion(z, z, 0));
    EXPECT_EQ(E_NOTIMPL, s->UnlockRegion(z, z, 0));
}

TEST(StreamMemory, QueryInterfaceAndReferenceCount)
{
    Ref<IKxMemoryStream> s;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(1, &s.p));
    const IID* ok[] = {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream, &IID_IKxMemoryStream};
    for (const IID* iid : ok) {
        void* p = nullptr;
        EXPECT_EQ(S_OK, s->QueryInterface(*iid, &p));
        EXPECT_EQ(static_cast<void*>(s.p), p);
        EXPECT_EQ(1u, static_cast<IUnknown*>(p)->Release());
    }
    const IID* refused[] = {&IID_IKxFileStream, &IID_IKxFileStream2};
    for (const IID* iid : refused) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(*iid, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(2u, s->AddRef());
    EXPECT_EQ(1u, s->Release());
}

TEST(StreamMemory, OwnedCallerBufferIsFreedWithTheStream)
{
    // Run under the address sanitizer this catches both a leak and a double free.
    void* buf = std::malloc(16);
    IKxMemoryStream* s = nullptr;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(buf, 16, &s, true));
    EXPECT_EQ(0u, s->Release());
    IKxMemoryStream* z = nullptr;
    ASSERT_EQ(S_OK, CKxMemoryStream::CreateMemoryStream(0, &z));
    char c;
    EXPECT_EQ(S_FALSE, z->Read(&c, 1, nullptr)); // empty stream: nothing to read, not an error
    EXPECT_EQ(0u, z->Release());
    EXPECT_EQ(E_POINTER, CKxMemoryStream::CreateMemoryStream(1, nullptr));
}

} // namespace
