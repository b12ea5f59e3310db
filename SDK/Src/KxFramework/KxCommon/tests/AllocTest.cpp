#include "KxAlloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int ThrownBy(const char* text)
{
    try {
        KxMemError(text);
    } catch (int e) {
        return e;
    }
    return -1;
}

TEST(KxMemError, ThrowsNineteenAndKeepsTheText)
{
    struct Row {
        std::string in;
        std::string kept;
    } rows[] = {
        {"CXmlDataServer::GetValue data inconsistency", "CXmlDataServer::GetValue data inconsistency"},
        {"", ""},
        {std::string(1022, 'a'), std::string(1022, 'a')},
        {std::string(1023, 'b'), std::string(1023, 'b')},
        {std::string(1024, 'c'), std::string(1023, 'c')},
        {std::string(5000, 'd'), std::string(1023, 'd')},
    };
    for (const Row& r : rows) {
        std::memset(s_szMemErr, 'X', sizeof(s_szMemErr));
        EXPECT_EQ(19, ThrownBy(r.in.c_str()));
        EXPECT_EQ(r.kept, std::string(s_szMemErr)) << r.in.size();
    }
    std::memset(s_szMemErr, 'X', sizeof(s_szMemErr));
    EXPECT_EQ(19, ThrownBy(nullptr));
    EXPECT_EQ('\0', s_szMemErr[0]);
}

TEST(KxAlloc, SizesAndRelease)
{
    struct Row {
        int32_t size;
        bool ok;
    } rows[] = {{0, true}, {1, true}, {16534, true}, {-1, false}, {INT32_MIN, false}};
    for (const Row& r : rows) {
        uint8_t* p = KxAlloc(r.size);
        EXPECT_EQ(r.ok, p != nullptr) << r.size;
        if (p && r.size > 0) {
            std::memset(p, 0xA5, static_cast<size_t>(r.size)); // the whole block is usable
            EXPECT_EQ(0xA5, p[r.size - 1]);
        }
        KxFree(p);
    }
    KxFree(nullptr);
}

} // namespace
