// Test-side decoder of symbol and data type records, written from the byte layout alone so that it checks
// the simulator's writer instead of sharing code with it; and where the tests find their machine descriptions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace plctest {

// The path of a machine description among the test data.
inline std::string DataFile(const char* name)
{
    return std::string(KX_TEST_DATA_DIR) + "/plc/" + name;
}

struct Attr {
    std::string name, value;
};

struct SymRec {
    uint32_t length = 0, group = 0, offset = 0, size = 0, id = 0, flags = 0;
    std::string name, type, comment;
    std::vector<uint8_t> guid;
    std::vector<Attr> attrs;
    size_t consumed = 0;
};

struct TypeRec {
    uint32_t length = 0, w1 = 0, w2 = 0, w3 = 0, size = 0, offset = 0, id = 0, flags = 0;
    std::string name, type, comment;
    std::vector<std::pair<int32_t, uint32_t>> dims;
    std::vector<TypeRec> subs;
    std::vector<uint8_t> guid, copyMask;
    std::vector<uint32_t> methodLengths;
    std::vector<Attr> attrs;
    size_t consumed = 0;  // bytes up to the end of the attribute block (or of the last section read)
};

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool ok = true;
    size_t pos = 0;
    uint32_t U(int bytes)
    {
        uint32_t v = 0;
        if (pos + bytes > m_n) {
            ok = false;
            return 0;
        }
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<uint32_t>(m_p[pos + i]) << (8 * i);
        pos += bytes;
        return v;
    }
    // A text of n characters that must be followed by a NUL.
    std::string Text(uint32_t n)
    {
        if (pos + n + 1 > m_n || m_p[pos + n] != 0) {
            ok = false;
            return "";
        }
        std::string s(reinterpret_cast<const char*>(m_p + pos), n);
        pos += n + 1;
        return s;
    }
    std::vector<uint8_t> Bytes(size_t n)
    {
        if (pos + n > m_n) {
            ok = false;
            return {};
        }
        std::vector<uint8_t> v(m_p + pos, m_p + pos + n);
        pos += n;
        return v;
    }
    std::vector<Attr> Attrs()
    {
        std::vector<Attr> out;
        uint32_t count = U(2);
        for (uint32_t i = 0; ok && i < count; ++i) {
            uint32_t a = U(1), v = U(1);
            Attr at;
            at.name = Text(a);
            at.value = Text(v);
            out.push_back(at);
        }
        return out;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
};

inline bool DecodeSymbol(const std::vector<uint8_t>& b, SymRec& r)
{
    Reader rd(b.data(), b.size());
    r.length = rd.U(4);
    r.group = rd.U(4);
    r.offset = rd.U(4);
    r.size = rd.U(4);
    r.id = rd.U(4);
    r.flags = rd.U(4);
    uint32_t n = rd.U(2), t = rd.U(2), c = rd.U(2);
    r.name = rd.Text(n);
    r.type = rd.Text(t);
    r.comment = rd.Text(c);
    if (r.flags & 0x0008)
        r.guid = rd.Bytes(16);
    if (r.flags & 0x1000)
        r.attrs = rd.Attrs();
    r.consumed = rd.pos;
    return rd.ok;
}

inline bool DecodeType(const uint8_t* p, size_t avail, TypeRec& r)
{
    Reader rd(p, avail);
    r.length = rd.U(4);
    r.w1 = rd.U(4);
    r.w2 = rd.U(4);
    r.w3 = rd.U(4);
    r.size = rd.U(4);
    r.offset = rd.U(4);
    r.id = rd.U(4);
    r.flags = rd.U(4);
    uint32_t n = rd.U(2), t = rd.U(2), c = rd.U(2), d = rd.U(2), s = rd.U(2);
    if (!rd.ok || r.length > avail)
        return false;
    r.name = rd.Text(n);
    r.type = rd.Text(t);
    r.comment = rd.Text(c);
    for (uint32_t i = 0; i < d; ++i) {
        int32_t lo = static_cast<int32_t>(rd.U(4));
        uint32_t cnt = rd.U(4);
        r.dims.push_back({lo, cnt});
    }
    for (uint32_t i = 0; rd.ok && i < s; ++i) {
        TypeRec sub;
        if (!DecodeType(p + rd.pos, r.length > rd.pos ? r.length - rd.pos : 0, sub))
            return false;
        rd.pos += sub.length;
        r.subs.push_back(sub);
    }
    if (r.flags & 0x0080)
        r.guid = rd.Bytes(16);
    if (r.flags & 0x0200)
        r.copyMask = rd.Bytes(r.size);
    if (r.flags & 0x0800) {
        uint32_t count = rd.U(2);
        for (uint32_t i = 0; rd.ok && i < count; ++i) {
            size_t at = rd.pos;
            uint32_t len = rd.U(4);
            if (len < 4) {
                rd.ok = false;
                break;
            }
            r.methodLengths.push_back(len);
            rd.pos = at + len;
        }
    }
    if (r.flags & 0x1000)
        r.attrs = rd.Attrs();
    r.consumed = rd.pos;
    return rd.ok && rd.pos <= r.length;
}

inline bool DecodeType(const std::vector<uint8_t>& b, TypeRec& r)
{
    return DecodeType(b.data(), b.size(), r) && r.length == b.size();
}

inline uint32_t LE32(const std::vector<uint8_t>& b, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

}  // namespace plctest
