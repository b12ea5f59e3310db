// Builds symbol and data type records byte by byte, the way a PLC sends them, for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace fextest {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::pair<std::string, std::string>> Attrs;

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

inline void PutAttributes(Bytes& b, const Attrs& attrs)
{
    PutU16(b, uint16_t(attrs.size()));
    for (const auto& a : attrs) {
        b.push_back(uint8_t(a.first.size()));
        b.push_back(uint8_t(a.second.size()));
        PutText(b, a.first);
        PutText(b, a.second);
    }
}

// One symbol information record; by default an INT at MAIN.x.
struct SymRec {
    std::string name = "MAIN.x";
    std::string type = "INT";
    std::string comment;
    uint32_t group = 0x4040;
    uint32_t offset = 0;
    uint32_t size = 2;
    uint32_t id = 2;
    uint32_t flags = 0;        // 0x0008 GUID, 0x1000 attributes: set automatically from guid/attrs
    bool guid = false;
    Attrs attrs;

    Bytes Build() const
    {
        Bytes b;
        uint32_t f = flags | (guid ? 0x0008u : 0u) | (attrs.empty() ? 0u : 0x1000u);
        PutU32(b, 0);
        PutU32(b, group);
        PutU32(b, offset);
        PutU32(b, size);
        PutU32(b, id);
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
        SetU32(b, 0, uint32_t(b.size()));
        return b;
    }
};

// A symbol record of the default index group.
inline SymRec Sym(const std::string& name, const std::string& type, uint32_t id, uint32_t size, uint32_t offset = 0)
{
    SymRec s;
    s.name = name;
    s.type = type;
    s.id = id;
    s.size = size;
    s.offset = offset;
    return s;
}

// One data type record (or member record) as the PLC sends it.
struct TypeRec {
    std::string name;
    std::string type;
    std::string comment;
    uint32_t size = 0;
    uint32_t offset = 0;
    uint32_t id = 65;
    uint32_t flags = 0;          // section flags are added from the fields below
    std::vector<std::pair<int32_t, uint32_t>> dims;  // lower bound, element count
    std::vector<TypeRec> members;
    bool guid = false;           // 0x0080
    bool copyMask = false;       // 0x0200, `size` bytes
    std::vector<Bytes> methods;  // 0x0800, each gets its own length prefix
    Attrs attrs;                 // 0x1000

    Bytes Build() const
    {
        Bytes b;
        const uint32_t f = flags | (guid ? 0x0080u : 0u) | (copyMask ? 0x0200u : 0u) |
                           (methods.empty() ? 0u : 0x0800u) | (attrs.empty() ? 0u : 0x1000u);
        PutU32(b, 0);
        PutU32(b, 1);  // the three reserved words are not interpreted
        PutU32(b, 0x11111111);
        PutU32(b, 0x22222222);
        PutU32(b, size);
        PutU32(b, offset);
        PutU32(b, id);
        PutU32(b, f);
        PutU16(b, uint16_t(name.size()));
        PutU16(b, uint16_t(type.size()));
        PutU16(b, uint16_t(comment.size()));
        PutU16(b, uint16_t(dims.size()));
        PutU16(b, uint16_t(members.size()));
        PutText(b, name);
        PutText(b, type);
        PutText(b, comment);
        for (const auto& d : dims) {
            PutU32(b, uint32_t(d.first));
            PutU32(b, d.second);
        }
        for (const TypeRec& m : members) {
            Bytes mb = m.Build();
            b.insert(b.end(), mb.begin(), mb.end());
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
        SetU32(b, 0, uint32_t(b.size()));
        return b;
    }
};

// A member of a structure.
inline TypeRec Mem(const std::string& name, const std::string& type, uint32_t id, uint32_t size, uint32_t offset,
                   uint32_t flags = 0)
{
    TypeRec r;
    r.name = name;
    r.type = type;
    r.id = id;
    r.size = size;
    r.offset = offset;
    r.flags = flags;
    return r;
}

// A structure type record.
inline TypeRec Struct(const std::string& name, uint32_t size, std::vector<TypeRec> members)
{
    TypeRec r;
    r.name = name;
    r.size = size;
    r.members = std::move(members);
    r.flags = 0x0004;  // keeps it from being taken as an alias
    return r;
}

// An array type record; element is the element type's name.
inline TypeRec Array(const std::string& name, const std::string& element, uint32_t id, uint32_t size,
                     std::vector<std::pair<int32_t, uint32_t>> dims)
{
    TypeRec r;
    r.name = name;
    r.type = element;
    r.id = id;
    r.size = size;
    r.dims = std::move(dims);
    return r;
}

} // namespace fextest
