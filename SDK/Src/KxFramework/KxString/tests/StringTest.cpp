#include "KxString.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#if defined(__linux__)
#include <malloc.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KX_TEST_EXACT_MALLOC_SIZE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_TEST_EXACT_MALLOC_SIZE 1
#endif
#endif

namespace {

// The header lies in the same allocation, immediately before the characters.
const CStringData* Header(const CString& s) { return reinterpret_cast<const CStringData*>(s.GetString()) - 1; }

std::string Str(const CString& s) { return std::string(s.GetString(), size_t(s.GetLength())); }

TEST(CStringLayout, HeaderPrecedesCharactersAndBufferIsExact)
{
    for (int n : {1, 2, 13, 100, 4096}) {
        std::string text(size_t(n), 'q');
        CString s(text.c_str());
        const CStringData* h = Header(s);
        EXPECT_EQ(1, h->nRefs);
        EXPECT_EQ(n, h->nDataLength);
        EXPECT_EQ(n, h->nAllocLength); // no spare capacity
        EXPECT_EQ('\0', s.GetString()[n]);
#if defined(__linux__)
        // The block starts at the header and holds 12 header bytes, n characters and the NUL.
        size_t usable = malloc_usable_size(const_cast<CStringData*>(h));
#if defined(KX_TEST_EXACT_MALLOC_SIZE)
        EXPECT_EQ(size_t(n) + 13, usable); // the sanitizer's allocator reports the requested size
#else
        EXPECT_GE(usable, size_t(n) + 13);
#endif
#endif
    }
}

TEST(CStringLayout, EmptyStringsShareTheStaticBuffer)
{
    CString a, b("");
    CString c(nullptr, 5);
    CString d("abc", 0);
    CString e(static_cast<const char*>(nullptr));
    for (const CString* s : {&a, &b, &c, &d, &e, static_cast<CString*>(nullptr)}) {
        if (!s)
            s = &CString::GetEmptyString();
        EXPECT_EQ(_atltmpPchNil, s->GetString());
        EXPECT_EQ(-1, Header(*s)->nRefs);
        EXPECT_EQ(0, Header(*s)->nAllocLength);
    }
    CString copy(a);
    EXPECT_EQ(-1, Header(a)->nRefs); // copying the empty string never counts
    EXPECT_EQ(_atltmpPchNil, copy.GetString());
}

TEST(CStringSharing, CopiesShareUntilOneChanges)
{
    CString a("hello");
    CString b(a);
    CString c;
    c = a;
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());
    EXPECT_EQ(3, Header(a)->nRefs);

    b.MakeUpper();
    EXPECT_NE(a.GetString(), b.GetString());
    EXPECT_STREQ("hello", a);
    EXPECT_STREQ("HELLO", b);
    EXPECT_EQ(2, Header(a)->nRefs);
    EXPECT_EQ(1, Header(b)->nRefs);

    c += "!";
    EXPECT_STREQ("hello", a);
    EXPECT_STREQ("hello!", c);
    EXPECT_EQ(1, Header(a)->nRefs);
}

TEST(CStringSharing, EveryMutatorUnsharesFirst)
{
    struct Row {
        const char* name;
        void (*op)(CString&);
        const char* expect;
    } rows[] = {
        {"MakeUpper", [](CString& s) { s.MakeUpper(); }, "ABCABC"},
        {"MakeLower", [](CString& s) { s.MakeLower(); }, "abcabc"},
        {"ReplaceChar", [](CString& s) { s.Replace('b', 'x'); }, "axcaxc"},
        {"ReplaceText", [](CString& s) { s.Replace("bc", "Z"); }, "aZaZ"},
        {"InsertChar", [](CString& s) { s.Insert(1, '-'); }, "a-bcabc"},
        {"InsertText", [](CString& s) { s.Insert(3, "--"); }, "abc--abc"},
        {"Delete", [](CString& s) { s.Delete(0, 3); }, "abc"},
        {"Append", [](CString& s) { s += 'd'; }, "abcabcd"},
        {"Assign", [](CString& s) { s = "zz"; }, "zz"},
        {"Format", [](CString& s) { s.Format("%d", 42); }, "42"},
        {"GetBuffer", [](CString& s) { s.GetBuffer(0)[0] = 'Q'; s.ReleaseBuffer(); }, "Qbcabc"},
        {"Empty", [](CString& s) { s.Empty(); }, ""},
    };
    for (const Row& r : rows) {
        CString original("abcabc");
        CString copy(original);
        r.op(copy);
        EXPECT_STREQ("abcabc", original) << r.name;
        EXPECT_STREQ(r.expect, copy) << r.name;
        EXPECT_EQ(1, Header(original)->nRefs) << r.name;
    }
}

TEST(CStringSharing, CopiesAcrossThreadsKeepCountExact)
{
    CString shared("shared text");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                CString c(shared);
                CString d;
                d = c;
                ASSERT_EQ(shared.GetString(), d.GetString());
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(1, Header(shared)->nRefs);
}

TEST(CString, AppendReallocatesToExactLength)
{
    CString s("ab");
    s += "cde";
    EXPECT_STREQ("abcde", s);
    EXPECT_EQ(5, s.GetAllocLength());
    s.Delete(3, 2); // capacity 5 stays, length 3
    EXPECT_EQ(5, s.GetAllocLength());
    const char* before = s.GetString();
    s += "xy"; // fits: done in place
    EXPECT_EQ(before, s.GetString());
    EXPECT_STREQ("abcxy", s);
    s += s; // appending itself
    EXPECT_STREQ("abcxyabcxy", s);
    s += static_cast<const char*>(nullptr);
    s += '\0';
    EXPECT_EQ(10, s.GetLength());
    CString t("0123456789");
    t = t.GetString() + 4; // assigning a piece of itself
    EXPECT_STREQ("456789", t);
}

TEST(CString, MidLeftRight)
{
    const CString src("abcdef");
    struct Row {
        int first, count;
        const char* expect;
    } mids[] = {
        {2, 100, "cdef"}, {-3, 2, "ab"}, {0, 6, "abcdef"}, {6, 1, ""}, {7, 1, ""}, {1, -1, ""}, {5, 1, "f"}, {0, 0, ""},
    };
    for (const Row& r : mids)
        EXPECT_STREQ(r.expect, src.Mid(r.first, r.count)) << r.first << "," << r.count;
    EXPECT_STREQ("cdef", src.Mid(2));
    EXPECT_STREQ("abcdef", src.Mid(-5));
    EXPECT_STREQ("", src.Mid(10));

    struct Side {
        int n;
        const char* left;
        const char* right;
    } sides[] = {{-1, "", ""}, {0, "", ""}, {2, "ab", "ef"}, {6, "abcdef", "abcdef"}, {99, "abcdef", "abcdef"}};
    for (const Side& r : sides) {
        EXPECT_STREQ(r.left, src.Left(r.n)) << r.n;
        EXPECT_STREQ(r.right, src.Right(r.n)) << r.n;
    }
    EXPECT_EQ(src.GetString(), src.Left(6).GetString()); // the whole text is a shared copy
}

TEST(CString, ReplaceText)
{
    struct Row {
        const char* src;
        const char* from;
        const char* to;
        int count;
        const char* expect;
    } rows[] = {
        {"aaaa", "aa", "b", 2, "bb"},
        {"aaa", "aa", "b", 1, "ba"},
        {"abc", "", "x", 0, "abc"},
        {"abc", nullptr, "x", 0, "abc"},
        {"abc", "x", "y", 0, "abc"},
        {"a.b.c", ".", "\\\\", 2, "a\\\\b\\\\c"},
        {"abab", "ab", nullptr, 2, ""},
        {"abab", "ab", "", 2, ""},
        {"xax", "a", "aaa", 1, "xaaax"}, // the replacement is not scanned again
        {"C:\\dir\\file", "\\", "/", 2, "C:/dir/file"},
    };
    for (const Row& r : rows) {
        CString s(r.src);
        EXPECT_EQ(r.count, s.Replace(r.from, r.to)) << r.src;
        EXPECT_STREQ(r.expect, s) << r.src;
        EXPECT_EQ(int(std::strlen(r.expect)), s.GetLength()) << r.src;
    }
}

TEST(CString, ReplaceReachesPastEmbeddedNul)
{
    CString s("ab\0ab", 5);
    EXPECT_EQ(2, s.Replace("ab", "xyz"));
    EXPECT_EQ(std::string("xyz\0xyz", 7), Str(s));
    EXPECT_EQ(2, s.Replace("xyz", "q"));
    EXPECT_EQ(std::string("q\0q", 3), Str(s));
}

TEST(CString, ReplaceWithArgumentsInsideItsOwnBuffer)
{
    CString s("abcabc");
    EXPECT_EQ(1, s.Replace(s.GetString() + 1, "X")); // "bcabc" occurs once, after the first character
    EXPECT_STREQ("aX", s);
    CString t("abab");
    EXPECT_EQ(2, t.Replace("b", t.GetString()));
    EXPECT_STREQ("aababaabab", t);
}

TEST(CString, InsertAndDelete)
{
    struct Ins {
        const char* src;
        int index;
        const char* text;
        int ret;
        const char* expect;
    } ins[] = {
        {"abc", 0, "X", 4, "Xabc"},   {"abc", -5, "X", 4, "Xabc"},     {"abc", 3, "XY", 5, "abcXY"},
        {"abc", 99, "XY", 5, "abcXY"}, {"abc", 1, nullptr, 3, "abc"}, {"", 0, "new", 3, "new"},
        {"abc", 1, "", 3, "abc"},
    };
    for (const Ins& r : ins) {
        CString s(r.src);
        EXPECT_EQ(r.ret, s.Insert(r.index, r.text)) << r.src << r.index;
        EXPECT_STREQ(r.expect, s);
    }
    CString c("ac");
    EXPECT_EQ(3, c.Insert(1, 'b'));
    EXPECT_STREQ("abc", c);
    EXPECT_EQ(3, c.Insert(1, '\0'));

    struct Del {
        const char* src;
        int index, count;
        int ret;
        const char* expect;
    } dels[] = {
        {"abcd", 1, 2, 4, "ad"},  {"abcd", 2, 100, 4, "ab"}, {"abcd", -1, 1, 4, "bcd"}, {"abcd", 4, 1, 4, "abcd"},
        {"abcd", 0, 0, 4, "abcd"}, {"abcd", 1, -2, 4, "abcd"}, {"", 0, 1, 0, ""},
    };
    for (const Del& r : dels) {
        CString s(r.src);
        EXPECT_EQ(r.ret, s.Delete(r.index, r.count)) << r.src << r.index << r.count;
        EXPECT_STREQ(r.expect, s);
        EXPECT_EQ(int(std::strlen(r.expect)), s.GetLength());
    }
}

TEST(CString, FormatEdgeCases)
{
    CString s("keep");
    s.Format("%s", "");
    EXPECT_STREQ("keep", s); // an empty result leaves the text
    s.Format(nullptr);
    EXPECT_STREQ("keep", s);
    s.Format("%s-%03d-%X", "id", 7, 255u);
    EXPECT_STREQ("id-007-FF", s);
    std::string big(5000, 'w');
    s.Format("<%s>", big.c_str());
    EXPECT_EQ(5002, s.GetLength());
    EXPECT_EQ(5002, s.GetAllocLength());
    CString self("me");
    self.Format("%s+%s", self.GetString(), self.GetString());
    EXPECT_STREQ("me+me", self);
}

TEST(CString, CompareFindAndCase)
{
    CString s("abc");
    EXPECT_EQ(0, s.CompareNoCase("ABC"));
    CString d("abd");
    EXPECT_GT(d.CompareNoCase("ABC"), 0);
    EXPECT_LT(s.CompareNoCase("abd"), 0);
    EXPECT_GT(s.CompareNoCase(nullptr), 0);
    EXPECT_EQ(0, CString().CompareNoCase(nullptr));
    EXPECT_LT(s.Compare("abd"), 0);
    EXPECT_GT(s.Compare("ABC"), 0); // case matters
    // Only ASCII letters fold: bytes above 127 compare as they are.
    CString hi("\xE4");
    EXPECT_NE(0, hi.CompareNoCase("\xC4"));

    CString path("a/b/c.xml");
    EXPECT_EQ(-1, path.Find(static_cast<const char*>(nullptr)));
    EXPECT_EQ(2, path.Find("b/"));
    EXPECT_EQ(-1, path.Find("zz"));
    EXPECT_EQ(1, path.Find('/'));
    EXPECT_EQ(3, path.ReverseFind('/'));
    EXPECT_EQ(-1, path.ReverseFind('\\'));

    CString mixed("MiXed 123 \xC4");
    mixed.MakeUpper();
    EXPECT_STREQ("MIXED 123 \xC4", mixed);
    mixed.MakeLower();
    EXPECT_STREQ("mixed 123 \xC4", mixed);
}

TEST(CString, AssignmentForms)
{
    CString s;
    s = 'x';
    EXPECT_STREQ("x", s);
    s = '\0';
    EXPECT_TRUE(s.IsEmpty());
    const unsigned char u[] = "bytes";
    s = u;
    EXPECT_STREQ("bytes", s);
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    s = L"wide";
    EXPECT_STREQ("wide", s);
    CString w(L"w2");
    EXPECT_STREQ("w2", w);
    s = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    CString a("x"), b;
    b = a;
    CString& alias = b;
    b = alias; // self-assignment keeps the text
    EXPECT_STREQ("x", b);
    a = CString();
    EXPECT_EQ(_atltmpPchNil, a.GetString());
    a.Release();
    EXPECT_EQ(_atltmpPchNil, a.GetString());
    EXPECT_STREQ("x", (CString("") + "x").GetString());
    EXPECT_STREQ("ab/c", (CString("a") + CString("b") + '/' + "c").GetString());
}

TEST(CString, DirectBufferAccess)
{
    CString s("abc");
    EXPECT_EQ(nullptr, s.GetBuffer(-1));
    char* p = s.GetBuffer(10);
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("abc", p);
    EXPECT_EQ(10, s.GetAllocLength());
    std::strcpy(p, "abcdefgh");
    s.ReleaseBuffer();
    EXPECT_EQ(8, s.GetLength());
    s.ReleaseBuffer(2);
    EXPECT_STREQ("ab", s);
    s.ReleaseBuffer(500); // never beyond the capacity
    EXPECT_EQ(10, s.GetLength());

    CString t;
    char* q = t.GetBufferSetLength(4);
    ASSERT_NE(nullptr, q);
    std::memcpy(q, "wxyz", 4);
    EXPECT_STREQ("wxyz", t);
    EXPECT_EQ(4, t.GetLength());

    CString e;
    e.GetBuffer(0);
    e.ReleaseBuffer(); // on the shared empty buffer: nothing is written
    EXPECT_EQ(0, Header(CString::GetEmptyString())->nDataLength);
    EXPECT_EQ(-1, Header(CString::GetEmptyString())->nRefs);
}

TEST(CString, ReplaceCharacter)
{
    CString s("a\\b\\c");
    EXPECT_EQ(2, s.Replace('\\', '/'));
    EXPECT_STREQ("a/b/c", s);
    EXPECT_EQ(0, s.Replace('q', 'x'));
    EXPECT_EQ(0, CString().Replace('a', 'b'));
}

} // namespace
