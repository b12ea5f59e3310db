#include "KxHashTable.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Reference implementation of the string bucket, written independently: signed chars, 64-bit then reduced.
uint32_t RefStringBucket(const std::string& s)
{
    uint64_t h = 0;
    for (char c : s) {
        int64_t sc = static_cast<signed char>(c);
        h = (h * 33 + static_cast<uint64_t>(sc)) & 0xFFFFFFFFull;
    }
    return static_cast<uint32_t>(h % 97);
}

TEST(HashTableBucket, IntegralKeysUseKeyModulo97)
{
    struct Row {
        unsigned short key;
        uint32_t bucket;
    } rows[] = {{0, 0}, {96, 96}, {97, 0}, {98, 1}, {0xF000, 0xF000 % 97}, {0xFFFF, 0xFFFF % 97}};
    for (const Row& r : rows)
        EXPECT_EQ(r.bucket, (CHashTableDyn<unsigned short, int>::Bucket(r.key))) << r.key;
    EXPECT_EQ(255u % 97, (CHashTable<unsigned char, int, 255>::Bucket(255)));
    EXPECT_EQ(24u, (CHashTable<unsigned int, int, 25>::Bucket(24)));
}

TEST(HashTableBucket, StringHashUsesSignedCharacters)
{
    const std::string rows[] = {"", "a", "MAIN.x", "/tmp/some/long/path/file.xml", "\xE4\xF6\xFC", "\x80",
                                std::string(200, 'z'), "ST_Data\xFF"};
    for (const std::string& s : rows)
        EXPECT_EQ(RefStringBucket(s), CHashTableString<int>::Bucket(s.c_str())) << s;
    // A high-bit character contributes a negative value: "\x80" hashes to 2^32 - 128.
    EXPECT_EQ(0xFFFFFF80u, KxHashString("\x80"));
    EXPECT_EQ(uint32_t('a') * 33 + uint32_t('b'), KxHashString("ab"));
}

TEST(HashTableBucket, HopAddrSumsPortAndNetIdHalves)
{
    struct Row {
        uint8_t b[6];
        uint16_t port;
        uint32_t hash;
    } rows[] = {
        {{0, 0, 0, 0, 0, 0}, 0, 0},
        {{1, 2, 3, 4, 5, 6}, 851, 851u + 0x04030201u + 0x0605u},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, 0xFFFFFFFFu + 0xFFFFu + 0xFFFFu}, // wraps at 2^32
    };
    for (const Row& r : rows) {
        HopAddr a;
        std::memcpy(a.netId.b, r.b, 6);
        a.port = r.port;
        EXPECT_EQ(r.hash, KxHashKey(a));
        EXPECT_EQ(r.hash % 97, (CHashTable<HopAddr, int, 600>::Bucket(a)));
    }
}

TEST(HashTable, InsertLookupReplaceRemove)
{
    CHashTable<unsigned int, int, 8, CSyncDefault> t;
    int v = -1;
    EXPECT_FALSE(t.Lookup(1, v));
    EXPECT_EQ(-1, v);
    EXPECT_EQ(HASH_ADDED, t.Set(1, 10));
    EXPECT_EQ(HASH_ADDED, t.Set(98, 980)); // same bucket as 1
    int old = 0;
    EXPECT_EQ(HASH_REPLACED, t.Set(1, 11, &old));
    EXPECT_EQ(10, old);
    EXPECT_FALSE(t.Add(98, 0));
    EXPECT_TRUE(t.Lookup(1, v));
    EXPECT_EQ(11, v);
    EXPECT_TRUE(t.Lookup(98, v));
    EXPECT_EQ(980, v);
    EXPECT_EQ(2u, t.GetCount());
    EXPECT_TRUE(t.Remove(1, &v));
    EXPECT_EQ(11, v);
    EXPECT_FALSE(t.Remove(1));
    EXPECT_FALSE(t.Contains(1));
    EXPECT_TRUE(t.Contains(98));
    EXPECT_EQ(1u, t.GetCount());
}

TEST(HashTable, FixedPoolRefusesBeyondCapacityAndReusesFreedEntries)
{
    CHashTable<unsigned char, int, 255, CSyncDefault> t;
    EXPECT_EQ(255u, t.GetCapacity());
    for (int k = 0; k < 255; ++k)
        ASSERT_TRUE(t.Insert(static_cast<unsigned char>(k), k)) << k;
    EXPECT_FALSE(t.Insert(255, 255));
    EXPECT_EQ(HASH_FULL, t.Set(255, 255));
    // Replacing an existing key needs no new entry.
    EXPECT_EQ(HASH_REPLACED, t.Set(7, 70));
    ASSERT_TRUE(t.Remove(100));
    EXPECT_TRUE(t.Insert(255, 255));
    EXPECT_EQ(255u, t.GetCount());
    int v = 0;
    EXPECT_TRUE(t.Lookup(255, v));
    EXPECT_EQ(255, v);
    EXPECT_TRUE(t.Lookup(7, v));
    EXPECT_EQ(70, v);
}

TEST(HashTableDyn, OneBlockOf1000IsNotExtendedByDefault)
{
    CHashTableDyn<unsigned short, int, CSyncDefault> t;
    EXPECT_EQ(1000u, t.GetCapacity());
    for (unsigned k = 0; k < 1000; ++k)
        ASSERT_TRUE(t.Insert(static_cast<unsigned short>(0xF000 + k), int(k)));
    EXPECT_FALSE(t.Insert(0xF000 + 1000, 0));
    EXPECT_EQ(1000u, t.GetCount());
}

TEST(HashTableDyn, GrowsByBlocksUpToTheLimit)
{
    CHashTableDyn<unsigned int, int, CSyncNone> t(3, 2);
    EXPECT_EQ(6u, t.GetCapacity());
    for (unsigned k = 0; k < 6; ++k)
        ASSERT_TRUE(t.Insert(k, int(k) * 2)) << k;
    EXPECT_FALSE(t.Insert(6, 0));
    for (unsigned k = 0; k < 6; ++k) {
        int v = -1;
        ASSERT_TRUE(t.Lookup(k, v));
        EXPECT_EQ(int(k) * 2, v);
    }
}

TEST(HashTableString, KeysAreCopiedAndComparedExactly)
{
    CHashTableString<int, CSyncDefault> t;
    EXPECT_EQ(1000u, t.GetCapacity());
    char key[16];
    std::strcpy(key, "ST_Motor");
    ASSERT_TRUE(t.Insert(key, 1));
    std::strcpy(key, "XXXXXXXX"); // the table must not depend on the caller's buffer
    int v = 0;
    EXPECT_TRUE(t.Lookup("ST_Motor", v));
    EXPECT_EQ(1, v);
    EXPECT_FALSE(t.Lookup("st_motor", v));
    EXPECT_FALSE(t.Lookup("XXXXXXXX", v));
    EXPECT_FALSE(t.Insert(nullptr, 2));
    EXPECT_FALSE(t.Lookup(nullptr, v));
    EXPECT_FALSE(t.Remove(nullptr));
    EXPECT_EQ(HASH_REPLACED, t.Set("ST_Motor", 5));
    EXPECT_TRUE(t.Remove("ST_Motor", &v));
    EXPECT_EQ(5, v);
    EXPECT_TRUE(t.IsEmpty());
}

TEST(HashTableString, PoolSizeLimitsEntries)
{
    struct Row {
        size_t pool;
    } rows[] = {{0}, {1}, {5}};
    for (const Row& r : rows) {
        CHashTableString<int, CSyncNone> t(r.pool);
        size_t stored = 0;
        for (int i = 0; i < 10; ++i)
            stored += t.Insert(("m" + std::to_string(i)).c_str(), i) ? 1 : 0;
        EXPECT_EQ(r.pool, stored);
        EXPECT_EQ(r.pool, t.GetCount());
    }
}

TEST(HashTable, EnumerationAndRemoveFirstVisitEveryEntryOnce)
{
    CHashTableDyn<unsigned short, int, CSyncDefault> t;
    std::map<unsigned short, int> expect;
    for (unsigned k = 0; k < 300; k += 7) {
        unsigned short key = static_cast<unsigned short>(0xF000 + k * 13);
        expect[key] = int(k);
        ASSERT_TRUE(t.Insert(key, int(k)));
    }
    std::map<unsigned short, int> seen;
    t.ForEach([&](unsigned short k, int& v) { EXPECT_TRUE(seen.emplace(k, v).second); });
    EXPECT_EQ(expect, seen);

    std::map<unsigned short, int> taken;
    unsigned short k = 0;
    int v = 0;
    uint32_t lastBucket = 0;
    while (t.RemoveFirst(&v, &k)) {
        uint32_t b = CHashTableDyn<unsigned short, int>::Bucket(k);
        EXPECT_GE(b, lastBucket); // lowest bucket first
        lastBucket = b;
        EXPECT_TRUE(taken.emplace(k, v).second);
    }
    EXPECT_EQ(expect, taken);
    EXPECT_TRUE(t.IsEmpty());
    // Every pooled entry went back to the pool.
    for (unsigned i = 0; i < 1000; ++i)
        ASSERT_TRUE(t.Insert(static_cast<unsigned short>(i), 0));
}

TEST(HashTableString, RemoveAllFreesKeysAndRestoresThePool)
{
    CHashTableString<int, CSyncDefault> t(4);
    const char* names[] = {"a", "b", "c", "d"};
    for (const char* n : names)
        ASSERT_TRUE(t.Insert(n, 1));
    EXPECT_FALSE(t.Insert("e", 1));
    t.RemoveAll();
    EXPECT_EQ(0u, t.GetCount());
    EXPECT_TRUE(t.Insert("e", 1));
    const char* key = "not null";
    int v = 0;
    ASSERT_TRUE(t.RemoveFirst(&v, &key));
    EXPECT_EQ(nullptr, key); // the copied key is freed with its entry
}

TEST(HashTable, ConcurrentInsertAndRemoveKeepCountConsistent)
{
    CHashTable<unsigned int, unsigned int, 600, CSyncDefault> t;
    const unsigned kThreads = 4, kPerThread = 150;
    std::vector<std::thread> threads;
    for (unsigned th = 0; th < kThreads; ++th) {
        threads.emplace_back([&t, th] {
            for (int round = 0; round < 50; ++round) {
                for (unsigned i = 0; i < kPerThread; ++i)
                    EXPECT_TRUE(t.Insert(th * 1000 + i, i));
                for (unsigned i = 0; i < kPerThread; i += 2)
                    EXPECT_TRUE(t.Remove(th * 1000 + i));
                for (unsigned i = 1; i < kPerThread; i += 2) {
                    unsigned v = 0;
                    EXPECT_TRUE(t.Lookup(th * 1000 + i, v));
                    EXPECT_EQ(i, v);
                }
                for (unsigned i = 1; i < kPerThread; i += 2)
                    EXPECT_TRUE(t.Remove(th * 1000 + i));
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0u, t.GetCount());
}

TEST(HashTable, DefaultLockIsRecursiveAcrossCalls)
{
    CHashTable<unsigned int, int, 4, CSyncDefault> t;
    t.Lock();
    // Lookup-then-insert under the held table lock must not deadlock.
    int v = 0;
    if (!t.Lookup(3, v)) {
        EXPECT_TRUE(t.Insert(3, 33));
    }
    t.Unlock();
    std::thread other([&] { EXPECT_TRUE(t.Lookup(3, v)); });
    other.join();
    EXPECT_EQ(33, v);
}

} // namespace
