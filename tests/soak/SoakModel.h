// The soak program's model of what may be in the PLC and in the files: tagged values, the watched members
// (leaves) of the soak PLC, the symbol/path pairs the jobs use and the files they name.
//
// Every value anyone writes is tagged: its high bits name the member it belongs to and its low bits carry a
// serial number that was issued before the value was sent. Zero, a value of another member, or a serial that
// was never issued are therefore never legitimate, so a byte the service did not read from the PLC or a file
// shows up as a value nobody wrote.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "KxPlcSim.h"

namespace soak {

using Rng = std::mt19937_64;

inline uint32_t Pick(Rng& rng, uint32_t n)
{
    return static_cast<uint32_t>(std::uniform_int_distribution<uint32_t>(0, n - 1)(rng));
}

inline uint32_t Between(Rng& rng, uint32_t lo, uint32_t hi)
{
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
}

inline bool Chance(Rng& rng, uint32_t percent)
{
    return Pick(rng, 100) < percent;
}

template <typename T>
const T& OneOf(Rng& rng, const std::vector<T>& v)
{
    return v[Pick(rng, static_cast<uint32_t>(v.size()))];
}

// One watched primitive value of the PLC: DINT/UDINT (4 bytes), INT (2) or LINT (8).
struct Leaf {
    std::string name;
    uint32_t offset = 0;  // in the symbol memory group
    uint32_t size = 0;
    uint32_t tag = 0;     // 0..63, names the member in the value's high bits
};

class Values {
public:
    uint32_t NextSerial() { return ++m_serial; }
    uint32_t Issued() const { return m_serial.load(); }

    static uint64_t Encode(const Leaf& l, uint32_t serial)
    {
        const uint64_t t = 0x40u | (l.tag & 0x3Fu);
        switch (l.size) {
        case 2: return (static_cast<uint64_t>(1 + l.tag % 15) << 11) | (1 + (serial - 1) % 0x7FFu);
        case 8: return (t << 56) | serial;
        default: return (t << 24) | (1 + (serial - 1) % 0xFFFFFFu);
        }
    }

    bool Legit(const Leaf& l, uint64_t v) const
    {
        const uint32_t issued = Issued();
        const uint64_t t = 0x40u | (l.tag & 0x3Fu);
        switch (l.size) {
        case 2: {
            const uint64_t s = v & 0x7FFu;
            return (v >> 11) == 1 + l.tag % 15 && s != 0 && (issued >= 0x7FF || s <= issued);
        }
        case 8: {
            const uint64_t s = v & 0xFFFFFFFFu;
            return (v >> 56) == t && ((v >> 32) & 0xFFFFFFu) == 0 && s != 0 && s <= issued;
        }
        default: {
            const uint64_t s = v & 0xFFFFFFu;
            return (v >> 24) == t && s != 0 && (issued >= 0xFFFFFF || s <= issued);
        }
        }
    }

    static uint64_t Load(const uint8_t* p, uint32_t size)
    {
        uint64_t v = 0;
        for (uint32_t i = 0; i < size; ++i)
            v |= static_cast<uint64_t>(p[i]) << (8 * i);
        return v;
    }

    static void Store(uint8_t* p, uint32_t size, uint64_t v)
    {
        for (uint32_t i = 0; i < size; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }

private:
    std::atomic<uint32_t> m_serial{0};
};

// Members of ST_Soak in declaration order, relative to the structure (see soak-plc.xml).
inline const std::vector<std::string>& RecordMembers()
{
    static const std::vector<std::string> m = {".nA",      ".nB",      ".nC",      ".nD",      ".aVal[1]",
                                               ".aVal[2]", ".aVal[3]", ".aVal[4]", ".aVal[5]", ".aVal[6]",
                                               ".stSub.nX", ".stSub.nY", ".stSub.nZ"};
    return m;
}

const char* const kRecords[] = {"Soak.stR1", "Soak.stR2", "Soak.aR[1]", "Soak.aR[2]", "Soak.aR[3]"};
constexpr uint32_t kBigCount = 2000;  // Soak.aBig: ARRAY [1..2000] OF DINT

// A symbol and the XML path a job names together, resolved against the PLC.
struct Subject {
    std::string symbol, path;
    uint32_t offset = 0, size = 0;
};

// The soak PLC: the simulator, its leaves sorted by offset, and the subjects of the jobs.
class Plc {
public:
    // Loads the description and resolves every leaf and subject; false with a reason.
    bool Load(const std::string& file, std::string& why)
    {
        KxPlcLoadResult r = m_sim.LoadFile(file);
        if (!r.ok) {
            why = r.description;
            return false;
        }
        for (const char* rec : kRecords)
            for (size_t i = 0; i < RecordMembers().size(); ++i)
                if (!AddLeaf(rec + RecordMembers()[i], static_cast<uint32_t>(i), why))
                    return false;
        for (uint32_t i = 1; i <= kBigCount; ++i)
            if (!AddLeaf("Soak.aBig[" + std::to_string(i) + "]", 16 + (i - 1) % 48, why))
                return false;
        std::sort(m_leaves.begin(), m_leaves.end(), [](const Leaf& a, const Leaf& b) { return a.offset < b.offset; });

        // Members of one type share their tags, so a value may travel between the symbols of a class.
        const std::vector<std::string> recPaths = {"/dataentry/Soak.stR1", "/dataentry/Soak.stR2", "/dataentry/R2"};
        const std::vector<std::string> recs(std::begin(kRecords), std::end(kRecords));
        return AddClass(recs, recPaths, 40, why) &&
               AddClass({"Soak.stR1.stSub", "Soak.stR2.stSub", "Soak.aR[3].stSub"},
                        {"/dataentry/Soak.stR1/stSub", "/dataentry/Soak.stR2/stSub"}, 15, why) &&
               AddClass({"Soak.stR1.aVal", "Soak.aR[1].aVal"}, {"/dataentry/Soak.stR1/aVal", "/dataentry/Soak.stR2/aVal"},
                        10, why) &&
               AddClass({"Soak.aR"}, {"/dataentry/Soak.aR"}, 15, why) &&
               AddClass({"Soak.aBig"}, {"/dataentry/Soak.aBig"}, 8, why);
    }

    CKxPlcSim& Sim() { return m_sim; }
    const std::vector<Leaf>& Leaves() const { return m_leaves; }

    // The leaves inside [offset, offset + size).
    std::vector<const Leaf*> LeavesIn(uint32_t offset, uint32_t size) const
    {
        std::vector<const Leaf*> out;
        auto it = std::lower_bound(m_leaves.begin(), m_leaves.end(), offset,
                                   [](const Leaf& l, uint32_t o) { return l.offset < o; });
        for (; it != m_leaves.end() && it->offset + it->size <= offset + size; ++it)
            out.push_back(&*it);
        return out;
    }

    const Leaf* LeafNamed(const std::string& name) const
    {
        for (const Leaf& l : m_leaves)
            if (l.name == name)
                return &l;
        return nullptr;
    }

    // A random symbol/path pair; the classes are weighted.
    const Subject& AnySubject(Rng& rng) const
    {
        uint32_t w = Pick(rng, m_totalWeight);
        for (const Class& c : m_classes) {
            if (w < c.weight)
                return OneOf(rng, c.subjects);
            w -= c.weight;
        }
        return OneOf(rng, m_classes.front().subjects);
    }

    // A random pair of the small class (a member structure of a few bytes).
    const Subject& SmallSubject(Rng& rng) const { return OneOf(rng, m_classes[1].subjects); }

    // A fresh image of the subject: a newly issued value in every leaf, zeros in the padding.
    std::vector<uint8_t> FreshImage(const Subject& s, Values& values) const
    {
        std::vector<uint8_t> img(s.size, 0);
        for (const Leaf* l : LeavesIn(s.offset, s.size))
            Values::Store(&img[l->offset - s.offset], l->size, Values::Encode(*l, values.NextSerial()));
        return img;
    }

    // The first leaf of the image at offset whose value nobody wrote, or null.
    const Leaf* FirstForeign(const std::vector<uint8_t>& img, uint32_t offset, const Values& values,
                             uint64_t* pValue) const
    {
        for (const Leaf* l : LeavesIn(offset, static_cast<uint32_t>(img.size()))) {
            const uint64_t v = Values::Load(&img[l->offset - offset], l->size);
            if (!values.Legit(*l, v)) {
                *pValue = v;
                return l;
            }
        }
        return nullptr;
    }

private:
    struct Class {
        std::vector<Subject> subjects;
        uint32_t weight = 0;
    };

    bool AddLeaf(const std::string& name, uint32_t tag, std::string& why)
    {
        KxPlcSymbolInfo info;
        if (!m_sim.Resolve(name, info) || info.group != KXPLC_DEFAULT_GROUP ||
            (info.size != 2 && info.size != 4 && info.size != 8)) {
            why = "the soak PLC has no watched member " + name;
            return false;
        }
        m_leaves.push_back({name, info.offset, info.size, tag});
        return true;
    }

    bool AddClass(const std::vector<std::string>& symbols, const std::vector<std::string>& paths, uint32_t weight,
                  std::string& why)
    {
        Class c;
        c.weight = weight;
        for (const std::string& sym : symbols) {
            KxPlcSymbolInfo info;
            if (!m_sim.Resolve(sym, info)) {
                why = "the soak PLC has no symbol " + sym;
                return false;
            }
            for (const std::string& p : paths)
                c.subjects.push_back({sym, p, info.offset, info.size});
        }
        m_classes.push_back(c);
        m_totalWeight += weight;
        return true;
    }

    CKxPlcSim m_sim;
    std::vector<Leaf> m_leaves;
    std::vector<Class> m_classes;
    uint32_t m_totalWeight = 0;
};

// A file as a job names it: the index offset that selects its base directory, and the name.
struct FileRef {
    uint32_t offset = 0;
    std::string name;
    bool operator<(const FileRef& o) const { return offset != o.offset ? offset < o.offset : name < o.name; }
};

// One base directory of the files: the boot directory (index offset 4), a user path (11..13), or none, where
// names are absolute and the index offset (100..109) only chooses the worker.
struct Base {
    uint32_t offset = 0;              // 0 for absolute names: any of 100..109
    std::vector<std::string> pool;    // stored, written and restored
    std::vector<std::string> partial; // hand-made recipes naming some members only; read, never written
    std::vector<std::string> dst;     // clarify destinations
    std::vector<std::string> small;   // only small values are stored here: small encrypted files are the ones
                                      // whose bytes now and then look like XML
    uint32_t weight = 0;

    uint32_t Offset(Rng& rng) const { return offset ? offset : 100 + Pick(rng, 10); }
};

}  // namespace soak
