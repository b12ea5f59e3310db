// Builds symbol and data type records byte by byte, the way a PLC sends them, for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace fextest {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::pair<std::string, std::string>> Attributes;

inline void PutU16(Bytes& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void PutU32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

inline void SetU16(Bytes& b, size_t pos, uint16_t v)
{
    b[pos] = uint8_t(v);
    b[pos + 1] = uint8_t(v >> 8);
}

inline void SetU32(Bytes& b, size_t pos, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[pos + i] = uint8_t(v >> (8 * i));
}

// The record's first entry length bytes in a block of exactly that size, so that reading past the record is
// caught by the sanitizer.
inline Bytes ExactRecord(const Bytes& b)
{
    uint32_t len = 0;
    std::memcpy(&len, b.data(), 4);
    return Bytes(b.begin(), b.begin() + len);
}

inline void PutText(Bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

inline void PutAttributes(Bytes& b, const Attributes& attrs)
{
    PutU16(b, uint16_t(attrs.size()));
    for (const auto& a : attrs) {
        b.push_back(uint8_t(a.first.size()));
        b.push_back(uint8_t(a.second.size()));
        PutText(b, a.first);
        PutText(b, a.second);
    }
}

struct SymbolRecord {
    std::string name = "MAIN.x";
    std::string type = "INT";
    std::string comment;
    uint32_t group = 0x4040;
    uint32_t offset = 0;
    uint32_t size = 2;
    uint32_t typeId = 2;
    uint32_t flags = 0;        // 0x0008 GUID, 0x1000 attributes: set automatically from guid/attrs
    bool guid = false;
    Attributes attrs;
    size_t padding = 0;        // extra bytes after the record, counted in the entry length

    Bytes Build() const
    {
        Bytes b;
        uint32_t f = flags | (guid ? 0x0008u : 0u) | (attrs.empty() ? 0u : 0x1000u);
        PutU32(b, 0);
        PutU32(b, group);
        PutU32(b, offset);
        PutU32(b, size);
        PutU32(b, typeId);
        PutU32(b, f);
        PutU16(b, uint16_t(name.size()));
        PutU16(b, uint16_t(type.size()));
        PutU16(b, uint16_t(comment.size()));
        PutText(b, name);
        PutText(b, type);
        PutText(b, comment);
        if (guid)
            b.insert(b.end(), 16, 0xA5);
        if (!attrs.empty())
            PutAttributes(b, attrs);
        b.insert(b.end(), padding, 0);
        SetU32(b, 0, uint32_t(b.size()));
        return b;
    }
};

struct ArrayDim {
    int32_t lower;
    uint32_t count;
};

struct DatatypeRecord {
    std::string name;
    std::string type;
    std::string comment;
    uint32_t size = 0;
    uint32_t offset = 0;
    uint32_t typeId = 65;
    uint32_t flags = 0;          // section flags are added from the fields below
    std::vector<ArrayDim> dims;
    std::vector<DatatypeRecord> subItems;
    bool guid = false;           // 0x0080
    bool copyMask = false;       // 0x0200, `size` bytes
    std::vector<Bytes> methods;  // 0x0800, each gets its own length prefix
    Attributes attrs;            // 0x1000
    size_t padding = 0;

    uint32_t Flags() const
    {
        return flags | (guid ? 0x0080u : 0u) | (copyMask ? 0x0200u : 0u) | (methods.empty() ? 0u : 0x0800u) |
               (attrs.empty() ? 0u : 0x1000u);
    }

    Bytes Build() const
    {
        Bytes b;
        PutU32(b, 0);
        PutU32(b, 1);
        PutU32(b, 0x11111111);
        PutU32(b, 0x22222222);
        PutU32(b, size);
        PutU32(b, offset);
        PutU32(b, typeId);
        PutU32(b, Flags());
        PutU16(b, uint16_t(name.size()));
        PutU16(b, uint16_t(type.size()));
        PutU16(b, uint16_t(comment.size()));
        PutU16(b, uint16_t(dims.size()));
        PutU16(b, uint16_t(subItems.size()));
        PutText(b, name);
        PutText(b, type);
        PutText(b, comment);
        for (const ArrayDim& d : dims) {
            PutU32(b, uint32_t(d.lower));
            PutU32(b, d.count);
        }
        for (const DatatypeRecord& s : subItems) {
            Bytes sb = s.Build();
            b.insert(b.end(), sb.begin(), sb.end());
        }
        if (guid)
            b.insert(b.end(), 16, 0x5A);
        if (copyMask)
            b.insert(b.end(), size, 0xFF);
        if (!methods.empty()) {
            PutU16(b, uint16_t(methods.size()));
            for (const Bytes& m : methods) {
                PutU32(b, uint32_t(m.size() + 4));
                b.insert(b.end(), m.begin(), m.end());
            }
        }
        if (!attrs.empty())
            PutAttributes(b, attrs);
        b.insert(b.end(), padding, 0);
        SetU32(b, 0, uint32_t(b.size()));
        return b;
    }
};

} // namespace fextest
