// Chained hash tables with 97 buckets, entries drawn from a fixed pool, and a lock policy.
//
//   CHashTable<K, V, N, TSync>        N pooled entries; bucket = hash(key) mod 97
//   CHashTableDyn<K, V, TSync>        pooled entries in blocks (1000 per block by default)
//   CHashTableString<V, TSync>        copied NUL-terminated keys; bucket = h mod 97, h = h*33 + c
//
// Integral and enum keys hash to their own value; HopAddr keys use KxHashKey(const HopAddr&) below.
// Other key types provide `uint32_t KxHashKey(const K&)` (found by argument-dependent lookup) and
// operator==, or a traits class as the last template argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "Hop.h"

// Number of buckets of every table.
static const uint32_t KX_HASH_BUCKETS = 97;

// Lock policy: a recursive critical section, so a caller may hold the table lock across calls.
class CSyncDefault {
public:
    // Takes the lock; the owning thread may take it again.
    void Lock() { m_mutex.lock(); }
    // Releases one level of the lock.
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Lock policy for tables used by one thread only: no locking at all.
class CSyncNone {
public:
    // Does nothing.
    void Lock() {}
    // Does nothing.
    void Unlock() {}
};

// Holds a lock policy's lock for the lifetime of the guard.
template <class TSync>
class CSyncGuard {
public:
    explicit CSyncGuard(TSync& sync) : m_sync(sync) { m_sync.Lock(); }
    ~CSyncGuard() { m_sync.Unlock(); }
    CSyncGuard(const CSyncGuard&) = delete;
    CSyncGuard& operator=(const CSyncGuard&) = delete;

private:
    TSync& m_sync;
};

// Bucket hash of a HopAddr: port + first four net id bytes (LE uint32) + last two net id bytes (LE uint16), mod 2^32.
inline uint32_t KxHashKey(const HopAddr& addr)
{
    const uint8_t* b = addr.netId.b;
    uint32_t lo = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    uint32_t hi = uint32_t(b[4]) | (uint32_t(b[5]) << 8);
    return uint32_t(addr.port) + lo + hi;
}

// String hash: h starts at 0 and becomes h*33 + c for each character taken as signed 8-bit, in 32-bit wrap-around.
inline uint32_t KxHashString(const char* text)
{
    uint32_t h = 0;
    if (text) {
        for (const char* p = text; *p; ++p)
            h = h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    return h;
}

// Default key traits: the free function KxHashKey(key) and operator==.
template <class K, class Enable = void>
struct CHashKeyTraits {
    static uint32_t Hash(const K& key) { return KxHashKey(key); }
    static bool Equal(const K& a, const K& b) { return a == b; }
};

// Integral and enum keys hash to their value (taken as unsigned 32-bit).
template <class K>
struct CHashKeyTraits<K, typename std::enable_if<std::is_integral<K>::value || std::is_enum<K>::value>::type> {
    static uint32_t Hash(const K& key) { return static_cast<uint32_t>(key); }
    static bool Equal(const K& a, const K& b) { return a == b; }
};

// Keys that are NUL-terminated texts; the table stores its own copies.
struct CHashStringTraits {
    static uint32_t Hash(const char* key) { return KxHashString(key); }
    static bool Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
};

// Result of CHashTableBase::Set.
enum EHashInsert {
    HASH_FULL = 0,     // no free entry: nothing stored
    HASH_ADDED = 1,    // a new entry was made
    HASH_REPLACED = 2, // the key existed; its value was replaced
};

namespace kxhash_detail {

// Stored form of a key: plain keys are kept by value, string keys as a heap copy.
template <class K>
struct KeyStore {
    typedef K Stored;
    typedef const K& Arg;
    static bool Make(Stored& dst, Arg src)
    {
        dst = src;
        return true;
    }
    static void Drop(Stored& dst) { dst = K(); }
    static Arg View(const Stored& s) { return s; }
};

template <>
struct KeyStore<const char*> {
    typedef char* Stored;
    typedef const char* Arg;
    static bool Make(Stored& dst, Arg src)
    {
        size_t n = std::strlen(src) + 1;
        dst = static_cast<char*>(std::malloc(n));
        if (!dst)
            return false;
        std::memcpy(dst, src, n);
        return true;
    }
    static void Drop(Stored& dst)
    {
        std::free(dst);
        dst = nullptr;
    }
    static Arg View(const Stored& s) { return s; }
};

} // namespace kxhash_detail

// Common implementation: 97 chained buckets over pooled entries, every operation under the lock policy.
template <class K, class V, class TSync, class TTraits>
class CHashTableBase {
    typedef kxhash_detail::KeyStore<K> Keys;

public:
    typedef typename Keys::Arg KeyArg;

    CHashTableBase(const CHashTableBase&) = delete;
    CHashTableBase& operator=(const CHashTableBase&) = delete;

    // Bucket (0..96) of a key.
    static uint32_t Bucket(KeyArg key) { return TTraits::Hash(key) % KX_HASH_BUCKETS; }

    // Copies the value stored under key into value; false (value untouched) when absent.
    bool Lookup(KeyArg key, V& value)
    {
        if (!ValidKey(key))
            return false;
        CSyncGuard<TSync> guard(m_sync);
        Entry* e = Find(key);
        if (!e)
            return false;
        value = e->value;
        return true;
    }

    // True when key is present.
    bool Contains(KeyArg key)
    {
        if (!ValidKey(key))
            return false;
        CSyncGuard<TSync> guard(m_sync);
        return Find(key) != nullptr;
    }

    // Stores value under key, replacing an existing value (its old value goes to pOld when given).
    // Returns HASH_FULL when the pool has no free entry (or a string key cannot be copied).
    EHashInsert Set(KeyArg key, const V& value, V* pOld = nullptr)
    {
        if (!ValidKey(key))
            return HASH_FULL;
        CSyncGuard<TSync> guard(m_sync);
        Entry* e = Find(key);
        if (e) {
            if (pOld)
                *pOld = e->value;
            e->value = value;
            return HASH_REPLACED;
        }
        e = TakeFree();
        if (!e)
            return HASH_FULL;
        if (!Keys::Make(e->key, key)) {
            PutFree(e);
            return HASH_FULL;
        }
        e->value = value;
        uint32_t b = Bucket(key);
        e->pNext = m_buckets[b];
        m_buckets[b] = e;
        ++m_nCount;
        return HASH_ADDED;
    }

    // Stores value under key, replacing an existing value; false only when no entry is free.
    bool Insert(KeyArg key, const V& value) { return Set(key, value) != HASH_FULL; }

    // Stores value only when key is absent; false when present or when no entry is free.
    bool Add(KeyArg key, const V& value)
    {
        if (!ValidKey(key))
            return false;
        CSyncGuard<TSync> guard(m_sync);
        if (Find(key))
            return false;
        return Set(key, value) == HASH_ADDED;
    }

    // Removes key, handing its value to pValue when given; false when absent.
    bool Remove(KeyArg key, V* pValue = nullptr)
    {
        if (!ValidKey(key))
            return false;
        CSyncGuard<TSync> guard(m_sync);
        Entry** link = &m_buckets[Bucket(key)];
        for (; *link; link = &(*link)->pNext) {
            if (TTraits::Equal(Keys::View((*link)->key), key)) {
                Entry* e = *link;
                *link = e->pNext;
                if (pValue)
                    *pValue = e->value;
                Recycle(e);
                return true;
            }
        }
        return false;
    }

    // Takes out the first entry (lowest bucket first), giving its value (and, for plain keys, its key); false when empty.
    bool RemoveFirst(V* pValue, K* pKey = nullptr)
    {
        CSyncGuard<TSync> guard(m_sync);
        for (uint32_t b = 0; b < KX_HASH_BUCKETS; ++b) {
            Entry* e = m_buckets[b];
            if (!e)
                continue;
            m_buckets[b] = e->pNext;
            if (pValue)
                *pValue = e->value;
            if (pKey)
                AssignKey(pKey, e->key);
            Recycle(e);
            return true;
        }
        return false;
    }

    // Removes every entry; values are dropped without any further action.
    void RemoveAll()
    {
        CSyncGuard<TSync> guard(m_sync);
        for (uint32_t b = 0; b < KX_HASH_BUCKETS; ++b) {
            while (Entry* e = m_buckets[b]) {
                m_buckets[b] = e->pNext;
                Recycle(e);
            }
        }
    }

    // Calls fn(key, value) for every entry under the lock, bucket by bucket; fn must not change the table.
    template <class F>
    void ForEach(F fn)
    {
        CSyncGuard<TSync> guard(m_sync);
        for (uint32_t b = 0; b < KX_HASH_BUCKETS; ++b)
            for (Entry* e = m_buckets[b]; e; e = e->pNext)
                fn(Keys::View(e->key), e->value);
    }

    // Number of entries in use.
    size_t GetCount()
    {
        CSyncGuard<TSync> guard(m_sync);
        return m_nCount;
    }

    // True when no entry is in use.
    bool IsEmpty() { return GetCount() == 0; }

    // Entries the table can hold at most (pool entries, plus the blocks still allowed for CHashTableDyn).
    size_t GetCapacity() const { return m_nCapacity; }

    // Takes the table's lock, for callers that combine several operations; the default policy is recursive.
    void Lock() { m_sync.Lock(); }
    // Releases the lock taken by Lock.
    void Unlock() { m_sync.Unlock(); }

protected:
    struct Entry {
        Entry* pNext;
        typename Keys::Stored key;
        V value;
        Entry() : pNext(nullptr), key(), value() {}
    };

    struct Block {
        Block* pNext;
        Entry* pEntries;
    };

    // nPoolEntries are made at once; nBlockSize more at a time up to nCapacity when the pool runs dry.
    CHashTableBase(size_t nPoolEntries, size_t nBlockSize, size_t nCapacity)
        : m_pFree(nullptr), m_pBlocks(nullptr), m_nCount(0), m_nAllocated(0), m_nBlockSize(nBlockSize),
          m_nCapacity(nCapacity)
    {
        for (uint32_t b = 0; b < KX_HASH_BUCKETS; ++b)
            m_buckets[b] = nullptr;
        if (nPoolEntries && !AddBlock(nPoolEntries))
            m_nCapacity = 0; // out of memory: the table stays usable but holds nothing
    }

    ~CHashTableBase()
    {
        RemoveAll();
        while (m_pBlocks) {
            Block* blk = m_pBlocks;
            m_pBlocks = blk->pNext;
            delete[] blk->pEntries;
            delete blk;
        }
    }

private:
    static bool ValidKey(KeyArg key) { return ValidKeyImpl(key, std::is_pointer<K>()); }
    static bool ValidKeyImpl(KeyArg key, std::true_type) { return key != nullptr; }
    static bool ValidKeyImpl(KeyArg, std::false_type) { return true; }

    template <class S>
    static void AssignKey(K* pKey, const S& stored)
    {
        AssignKeyImpl(pKey, stored, std::is_same<K, const char*>());
    }
    template <class S>
    static void AssignKeyImpl(K* pKey, const S& stored, std::false_type)
    {
        *pKey = stored;
    }
    // A string key is freed with its entry; handing out the pointer would leave it dangling.
    template <class S>
    static void AssignKeyImpl(K* pKey, const S&, std::true_type)
    {
        *pKey = nullptr;
    }

    Entry* Find(KeyArg key)
    {
        for (Entry* e = m_buckets[Bucket(key)]; e; e = e->pNext)
            if (TTraits::Equal(Keys::View(e->key), key))
                return e;
        return nullptr;
    }

    bool AddBlock(size_t n)
    {
        Block* blk = new (std::nothrow) Block;
        if (!blk)
            return false;
        blk->pEntries = new (std::nothrow) Entry[n];
        if (!blk->pEntries) {
            delete blk;
            return false;
        }
        blk->pNext = m_pBlocks;
        m_pBlocks = blk;
        for (size_t i = n; i-- > 0;)
            PutFree(&blk->pEntries[i]);
        m_nAllocated += n;
        return true;
    }

    Entry* TakeFree()
    {
        if (!m_pFree && m_nBlockSize && m_nAllocated < m_nCapacity) {
            size_t n = m_nCapacity - m_nAllocated;
            AddBlock(n < m_nBlockSize ? n : m_nBlockSize);
        }
        Entry* e = m_pFree;
        if (e)
            m_pFree = e->pNext;
        return e;
    }

    void PutFree(Entry* e)
    {
        e->pNext = m_pFree;
        m_pFree = e;
    }

    void Recycle(Entry* e)
    {
        Keys::Drop(e->key);
        e->value = V();
        PutFree(e);
        --m_nCount;
    }

    Entry* m_buckets[KX_HASH_BUCKETS];
    Entry* m_pFree;
    Block* m_pBlocks;
    size_t m_nCount;
    size_t m_nAllocated;
    size_t m_nBlockSize;
    size_t m_nCapacity;
    TSync m_sync;
};

// Table of at most N entries, all made at construction; the bucket is the key's hash mod 97.
template <class K, class V, int N, class TSync = CSyncDefault, class TTraits = CHashKeyTraits<K>>
class CHashTable : public CHashTableBase<K, V, TSync, TTraits> {
    static_assert(N > 0, "a table needs at least one entry");

public:
    CHashTable() : CHashTableBase<K, V, TSync, TTraits>(size_t(N), 0, size_t(N)) {}
};

// Default block size of CHashTableDyn.
static const size_t KX_HASH_DYN_BLOCK = 1000;

// Table whose pool is made in blocks of nBlockSize entries, at most nMaxBlocks blocks (default: one block of 1000).
template <class K, class V, class TSync = CSyncDefault, class TTraits = CHashKeyTraits<K>>
class CHashTableDyn : public CHashTableBase<K, V, TSync, TTraits> {
public:
    explicit CHashTableDyn(size_t nBlockSize = KX_HASH_DYN_BLOCK, size_t nMaxBlocks = 1)
        : CHashTableBase<K, V, TSync, TTraits>(nBlockSize, nBlockSize, nBlockSize * nMaxBlocks)
    {
    }
};

// Default pool size of CHashTableString.
static const size_t KX_HASH_STRING_POOL = 1000;

// Table keyed by NUL-terminated texts (copied on insertion, compared exactly); nPool entries (default 1000).
// A null key is never stored or found.
template <class V, class TSync = CSyncDefault>
class CHashTableString : public CHashTableBase<const char*, V, TSync, CHashStringTraits> {
public:
    explicit CHashTableString(size_t nPool = KX_HASH_STRING_POOL)
        : CHashTableBase<const char*, V, TSync, CHashStringTraits>(nPool, 0, nPool)
    {
    }
};
