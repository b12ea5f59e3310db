// Types, layout and name resolution of the simulated PLC.
#include "KxPlcModel.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace kxplc {

namespace {

// Largest value the simulator lays out; keeps type sizes and memory within reach of 32-bit offsets.
constexpr uint64_t kMaxTypeSize = 256u * 1024u * 1024u;
// Longest name a record can carry usefully; records count name lengths in 16 bits.
constexpr size_t kMaxNameLength = 4096;

struct PrimitiveDef {
    const char* name;
    uint32_t id;
    uint32_t size;
    bool isSigned;
    bool isFloat;
};

const PrimitiveDef kPrimitives[] = {
    {"BOOL", IdBool, 1, false, false},     {"BIT", IdBool, 1, false, false},
    {"BYTE", IdUInt8, 1, false, false},    {"USINT", IdUInt8, 1, false, false},
    {"UINT8", IdUInt8, 1, false, false},   {"SINT", IdInt8, 1, true, false},
    {"INT8", IdInt8, 1, true, false},      {"WORD", IdUInt16, 2, false, false},
    {"UINT", IdUInt16, 2, false, false},   {"UINT16", IdUInt16, 2, false, false},
    {"INT", IdInt16, 2, true, false},      {"INT16", IdInt16, 2, true, false},
    {"DWORD", IdUInt32, 4, false, false},  {"UDINT", IdUInt32, 4, false, false},
    {"UINT32", IdUInt32, 4, false, false}, {"DINT", IdInt32, 4, true, false},
    {"INT32", IdInt32, 4, true, false},    {"LWORD", IdUInt64, 8, false, false},
    {"ULINT", IdUInt64, 8, false, false},  {"UINT64", IdUInt64, 8, false, false},
    {"LINT", IdInt64, 8, true, false},     {"INT64", IdInt64, 8, true, false},
    {"REAL", IdReal, 4, true, true},       {"FLOAT", IdReal, 4, true, true},
    {"LREAL", IdLReal, 8, true, true},     {"DOUBLE", IdLReal, 8, true, true},
    {"TIME", IdUInt32, 4, false, false},   {"DATE", IdUInt32, 4, false, false},
    {"TOD", IdUInt32, 4, false, false},    {"TIME_OF_DAY", IdUInt32, 4, false, false},
    {"DT", IdUInt32, 4, false, false},     {"DATE_AND_TIME", IdUInt32, 4, false, false},
    {"LTIME", IdUInt64, 8, false, false},  {"LDATE", IdUInt64, 8, false, false},
    {"LDT", IdUInt64, 8, false, false},    {"LTOD", IdUInt64, 8, false, false},
    {"LTIME_OF_DAY", IdUInt64, 8, false, false}, {"LDATE_AND_TIME", IdUInt64, 8, false, false},
};

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// True when s begins with the upper-case keyword word (case-insensitively) and goes on after it.
bool StartsWithWord(const std::string& s, const char* word, size_t& after)
{
    size_t n = std::strlen(word);
    if (s.size() <= n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != word[i])
            return false;
    after = n;
    return true;
}

void SkipBlanks(const std::string& s, size_t& i)
{
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
}

// A decimal integer with optional sign, within int32.
bool ParseInt32(const std::string& s, size_t& i, int32_t& out)
{
    SkipBlanks(s, i);
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        neg = s[i++] == '-';
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i])))
        return false;
    int64_t v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = v * 10 + (s[i++] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    v = neg ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    SkipBlanks(s, i);
    return true;
}

uint32_t AlignUp(uint32_t v, uint32_t a)
{
    return a <= 1 ? v : (v + a - 1) / a * a;
}

bool IsBitType(const Type* t)
{
    return t && t->kind == Kind::Primitive && t->name == "BIT";
}

}  // namespace

std::string Lower(const std::string& s)
{
    std::string r(s);
    for (char& c : r)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

Type* Model::Keep(std::unique_ptr<Type> t, const std::string& key, std::vector<std::unique_ptr<Type>>* scratch)
{
    Type* p = t.get();
    if (scratch)
        scratch->push_back(std::move(t));
    else
        types[key] = std::move(t);
    return p;
}

Type* Model::FindType(const std::string& name, std::string* error, std::vector<std::unique_ptr<Type>>* scratch)
{
    std::string expr = Trim(name);
    if (expr.empty()) {
        if (error)
            *error = "empty type name";
        return nullptr;
    }
    if (expr.size() > kMaxNameLength) {
        if (error)
            *error = "type name too long";
        return nullptr;
    }
    auto it = types.find(Lower(expr));
    if (it != types.end())
        return it->second.get();
    return MakeConstructed(expr, error, scratch);
}

Type* Model::MakeConstructed(const std::string& expr, std::string* error,
                             std::vector<std::unique_ptr<Type>>* scratch)
{
    auto fail = [&](const std::string& m) -> Type* {
        if (error)
            *error = m;
        return nullptr;
    };
    std::string upper = expr;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    for (const PrimitiveDef& p : kPrimitives) {
        if (upper == p.name) {
            auto t = std::make_unique<Type>();
            t->kind = Kind::Primitive;
            t->name = p.name;
            t->id = p.id;
            t->size = p.size;
            t->align = p.size;
            t->isSigned = p.isSigned;
            t->isFloat = p.isFloat;
            t->state = 2;
            return Keep(std::move(t), Lower(expr), scratch);
        }
    }

    size_t after = 0;
    // STRING, STRING(n), WSTRING, WSTRING(n).
    bool wide = upper.compare(0, 7, "WSTRING") == 0;
    if (wide || upper.compare(0, 6, "STRING") == 0) {
        size_t i = wide ? 7 : 6;
        uint32_t n = 80;
        SkipBlanks(upper, i);
        if (i < upper.size()) {
            int32_t v = 0;
            if (upper[i] != '(' || !ParseInt32(upper, ++i, v) || i >= upper.size() || upper[i] != ')' ||
                i + 1 != upper.size() || v < 1 || v > 65534)
                return fail("malformed string type '" + expr + "'");
            n = static_cast<uint32_t>(v);
        }
        std::string canon = (wide ? "WSTRING(" : "STRING(") + std::to_string(n) + ")";
        auto it = types.find(Lower(canon));
        if (it != types.end())
            return it->second.get();
        auto t = std::make_unique<Type>();
        t->kind = wide ? Kind::WString : Kind::String;
        t->name = canon;
        t->id = wide ? IdWString : IdString;
        t->size = wide ? 2 * (n + 1) : n + 1;
        t->align = wide ? 2 : 1;
        t->state = 2;
        return Keep(std::move(t), Lower(canon), scratch);
    }

    // POINTER TO x, REFERENCE TO x, PVOID: 64-bit addresses.
    bool isPvoid = upper == "PVOID";
    bool isRef = false;
    if (isPvoid || StartsWithWord(upper, "POINTER", after) || (isRef = StartsWithWord(upper, "REFERENCE", after))) {
        std::string canon = "PVOID";
        if (!isPvoid) {
            size_t i = after;
            if (i >= upper.size() || !std::isspace(static_cast<unsigned char>(upper[i])))
                return fail("unknown type '" + expr + "'");
            SkipBlanks(upper, i);
            if (upper.compare(i, 2, "TO") != 0 || i + 2 >= upper.size() ||
                !std::isspace(static_cast<unsigned char>(upper[i + 2])))
                return fail("malformed pointer type '" + expr + "'");
            i += 2;
            Type* target = FindType(expr.substr(i), error, scratch);
            if (!target)
                return nullptr;
            canon = std::string(isRef ? "REFERENCE TO " : "POINTER TO ") + target->name;
        }
        auto it = types.find(Lower(canon));
        if (it != types.end())
            return it->second.get();
        auto t = std::make_unique<Type>();
        t->kind = Kind::Pointer;
        t->name = canon;
        t->id = IdUInt64;
        t->size = 8;
        t->align = 8;
        t->state = 2;
        return Keep(std::move(t), Lower(canon), scratch);
    }

    // ARRAY [lo..hi, ...] OF x
    if (StartsWithWord(upper, "ARRAY", after)) {
        size_t i = after;
        SkipBlanks(upper, i);
        if (i >= upper.size() || upper[i] != '[')
            return fail("malformed array type '" + expr + "'");
        ++i;
        std::vector<ArrayDim> dims;
        for (;;) {
            int32_t lo = 0, hi = 0;
            if (!ParseInt32(upper, i, lo) || upper.compare(i, 2, "..") != 0)
                return fail("malformed array bounds in '" + expr + "'");
            i += 2;
            if (!ParseInt32(upper, i, hi) || hi < lo)
                return fail("malformed array bounds in '" + expr + "'");
            dims.push_back({lo, static_cast<uint32_t>(static_cast<int64_t>(hi) - lo + 1)});
            if (i < upper.size() && upper[i] == ',') {
                ++i;
                continue;
            }
            if (i < upper.size() && upper[i] == ']') {
                ++i;
                break;
            }
            return fail("malformed array bounds in '" + expr + "'");
        }
        if (dims.size() > 4)
            return fail("more than 4 dimensions in '" + expr + "'");
        SkipBlanks(upper, i);
        if (upper.compare(i, 2, "OF") != 0 || i + 2 >= upper.size() ||
            !std::isspace(static_cast<unsigned char>(upper[i + 2])))
            return fail("malformed array type '" + expr + "'");
        i += 2;
        Type* elem = FindType(expr.substr(i), error, scratch);
        if (!elem)
            return nullptr;
        if (IsBitType(elem))
            return fail("BIT is only allowed for structure members: '" + expr + "'");
        std::string canon = "ARRAY [";
        for (size_t k = 0; k < dims.size(); ++k) {
            if (k)
                canon += ",";
            canon += std::to_string(dims[k].lower) + ".." +
                      std::to_string(static_cast<int64_t>(dims[k].lower) + dims[k].count - 1);
        }
        canon += "] OF " + elem->name;
        if (canon.size() > kMaxNameLength)
            return fail("type name too long");
        auto it = types.find(Lower(canon));
        if (it != types.end())
            return it->second.get();
        auto t = std::make_unique<Type>();
        t->kind = Kind::Array;
        t->name = canon;
        t->dims = dims;
        t->base = elem;
        t->baseName = elem->name;
        Type* p = Keep(std::move(t), Lower(canon), scratch);
        std::string layoutError;
        if (!deferLayout && !Layout(p, &layoutError)) {
            if (!scratch)
                types.erase(Lower(canon));
            return fail(layoutError);
        }
        return p;
    }
    return fail("unknown type '" + expr + "'");
}

bool Model::Layout(Type* t, std::string* error)
{
    auto fail = [&](const std::string& m) {
        if (error)
            *error = m;
        return false;
    };
    if (t->state == 2)
        return true;
    if (t->state == 1)
        return fail("type '" + t->name + "' contains itself");
    t->state = 1;
    switch (t->kind) {
    case Kind::Primitive:
    case Kind::String:
    case Kind::WString:
    case Kind::Pointer:
        break;
    case Kind::Alias: {
        if (!Layout(t->base, error))
            return false;
        if (IsBitType(t->base->Resolved()))
            return fail("alias '" + t->name + "' of BIT");
        t->size = t->base->size;
        t->align = t->base->align;
        t->id = t->base->id;
        break;
    }
    case Kind::Enum: {
        if (!Layout(t->base, error))
            return false;
        const Type* b = t->base->Resolved();
        if (b->kind != Kind::Primitive || b->isFloat || b->id == IdBool)
            return fail("enumeration '" + t->name + "' needs an integer base type");
        t->size = b->size;
        t->align = b->align;
        t->id = b->id;
        break;
    }
    case Kind::Array: {
        if (!Layout(t->base, error))
            return false;
        uint64_t n = 1;
        for (const ArrayDim& d : t->dims)
            n *= d.count;
        uint64_t size = n * t->base->size;
        if (n == 0 || size > kMaxTypeSize)
            return fail("array '" + t->name + "' is too large");
        t->size = static_cast<uint32_t>(size);
        t->align = t->base->align;
        const Type* e = t->base->Resolved();
        t->id = (e->kind == Kind::Struct || e->kind == Kind::Array) ? IdBig : t->base->id;
        break;
    }
    case Kind::Struct: {
        if (t->members.empty())
            return fail("structure '" + t->name + "' has no members");
        uint64_t cur = 0;       // next free byte
        int64_t bitCur = -1;    // next free bit while BIT members follow each other
        uint64_t end = 0;
        uint32_t maxAlign = 1;
        for (Member& m : t->members) {
            if (!Layout(m.type, error))
                return false;
            m.bit = IsBitType(m.type->Resolved());
            if (m.bit && m.type->kind != Kind::Primitive)
                return fail("member '" + m.name + "': BIT members must be declared as BIT");
            if (m.bit) {
                if (!m.offsetGiven) {
                    if (bitCur < 0)
                        bitCur = static_cast<int64_t>(cur) * 8;
                    m.offset = static_cast<uint32_t>(bitCur);
                }
                bitCur = static_cast<int64_t>(m.offset) + 1;
                cur = (static_cast<uint64_t>(bitCur) + 7) / 8;
                end = std::max<uint64_t>(end, cur);
                continue;
            }
            bitCur = -1;
            if (m.extraFlags & FlagNoMemory) {
                // No place in the image: it neither takes room nor moves the members after it.
                if (!m.offsetGiven)
                    m.offset = 0;
                continue;
            }
            uint32_t a = std::min(std::max<uint32_t>(m.type->align, 1), std::max<uint32_t>(t->pack, 1));
            maxAlign = std::max(maxAlign, a);
            if (!m.offsetGiven)
                m.offset = static_cast<uint32_t>(AlignUp(static_cast<uint32_t>(cur), a));
            cur = static_cast<uint64_t>(m.offset) + m.type->size;
            end = std::max(end, cur);
            if (end > kMaxTypeSize)
                return fail("structure '" + t->name + "' is too large");
        }
        t->align = maxAlign;
        uint64_t size = AlignUp(static_cast<uint32_t>(end), maxAlign);
        if (t->declaredSize) {
            if (t->declaredSize < end)
                return fail("structure '" + t->name + "': size " + std::to_string(t->declaredSize) +
                            " is smaller than its members need (" + std::to_string(end) + ")");
            size = t->declaredSize;
        }
        for (const Member& m : t->members)
            if ((m.extraFlags & FlagNoMemory) && !m.bit && static_cast<uint64_t>(m.offset) + m.type->size > size)
                return fail("member '" + m.name + "' lies outside structure '" + t->name + "'");
        t->size = static_cast<uint32_t>(size);
        t->id = IdBig;
        break;
    }
    }
    t->state = 2;
    return true;
}

bool Model::ResolveInside(const Symbol& sym, const std::string& rest, Place& place) const
{
    place = Place();
    place.name = sym.name;
    place.symbol = &sym;
    place.type = sym.type;
    place.typeName = sym.type->name;
    place.group = sym.group;
    place.offset = sym.offset;
    place.comment = sym.comment;
    place.attributes = &sym.attributes;
    size_t i = 0;
    while (i < rest.size()) {
        if (place.bit >= 0)
            return false;
        const Type* t = place.type->Resolved();
        if (rest[i] == '.') {
            size_t b = ++i;
            while (i < rest.size() && rest[i] != '.' && rest[i] != '[')
                ++i;
            if (i == b || t->kind != Kind::Struct)
                return false;
            std::string want = Lower(rest.substr(b, i - b));
            const Member* found = nullptr;
            for (const Member& m : t->members)
                if (Lower(m.name) == want) {
                    found = &m;
                    break;
                }
            if (!found || (found->extraFlags & FlagNoMemory))
                return false;
            if (found->bit) {
                place.offset += found->offset / 8;
                place.bit = static_cast<int>(found->offset % 8);
            } else {
                place.offset += found->offset;
            }
            place.type = found->type;
            place.typeName = found->typeName;
            place.name += "." + found->name;
            place.comment = found->comment;
            place.attributes = &found->attributes;
        } else if (rest[i] == '[') {
            ++i;
            if (t->kind != Kind::Array)
                return false;
            std::vector<int32_t> subs;
            for (;;) {
                int32_t v = 0;
                if (!ParseInt32(rest, i, v))
                    return false;
                subs.push_back(v);
                if (i < rest.size() && rest[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < rest.size() && rest[i] == ']') {
                    ++i;
                    break;
                }
                return false;
            }
            if (subs.size() != t->dims.size())
                return false;
            uint64_t linear = 0;
            std::string text;
            for (size_t k = 0; k < subs.size(); ++k) {
                int64_t rel = static_cast<int64_t>(subs[k]) - t->dims[k].lower;
                if (rel < 0 || rel >= static_cast<int64_t>(t->dims[k].count))
                    return false;
                linear = linear * t->dims[k].count + static_cast<uint64_t>(rel);
                text += (k ? "," : "") + std::to_string(subs[k]);
            }
            place.offset += static_cast<uint32_t>(linear * t->base->size);
            place.type = t->base;
            place.typeName = t->baseName;
            place.name += "[" + text + "]";
            place.comment.clear();
        } else {
            return false;
        }
    }
    return true;
}

bool Model::Resolve(const std::string& name, Place& place) const
{
    if (name.empty() || name.size() > 0xFFFF)
        return false;
    std::string low = Lower(name);
    // Symbol names contain dots themselves; the longest declared prefix that leads somewhere wins.
    for (size_t cut = low.size(); cut > 0; --cut) {
        if (cut != low.size() && low[cut] != '.' && low[cut] != '[')
            continue;
        auto it = symbolIndex.find(low.substr(0, cut));
        if (it != symbolIndex.end() && ResolveInside(*it->second, name.substr(cut), place))
            return true;
    }
    return false;
}

namespace {

void WriteAttributes(ByteWriter& w, const std::vector<Attribute>& attrs)
{
    w.U16(static_cast<uint32_t>(attrs.size()));
    for (const Attribute& a : attrs) {
        w.U8(static_cast<uint32_t>(a.name.size()));
        w.U8(static_cast<uint32_t>(a.value.size()));
        w.Str0(a.name);
        w.Str0(a.value);
    }
}

void WriteDims(ByteWriter& w, const std::vector<ArrayDim>& dims)
{
    for (const ArrayDim& d : dims) {
        w.U32(static_cast<uint32_t>(d.lower));
        w.U32(d.count);
    }
}

// The fixed 42-byte head of a data type record; the entry length is patched in by the caller.
void WriteTypeHead(ByteWriter& w, uint32_t size, uint32_t offset, uint32_t id, uint32_t flags,
                   const std::string& name, const std::string& typeName, const std::string& comment,
                   size_t dims, size_t subItems)
{
    w.U32(0);
    w.U32(1);  // record version
    w.U32(0);
    w.U32(0);
    w.U32(size);
    w.U32(offset);
    w.U32(id);
    w.U32(flags);
    w.U16(static_cast<uint32_t>(name.size()));
    w.U16(static_cast<uint32_t>(typeName.size()));
    w.U16(static_cast<uint32_t>(comment.size()));
    w.U16(static_cast<uint32_t>(dims));
    w.U16(static_cast<uint32_t>(subItems));
    w.Str0(name);
    w.Str0(typeName);
    w.Str0(comment);
}

void WriteMemberRecord(ByteWriter& w, const Member& m)
{
    size_t start = w.Size();
    uint32_t flags = FlagMemberRecord | m.extraFlags;
    if (m.bit)
        flags |= FlagBitValue;
    if (!m.attributes.empty())
        flags |= FlagAttributes;
    const std::vector<ArrayDim> none;
    const std::vector<ArrayDim>& dims = m.type->kind == Kind::Array ? m.type->dims : none;
    WriteTypeHead(w, m.bit ? 1 : m.type->size, m.offset, m.bit ? uint32_t(IdBool) : m.type->id, flags, m.name,
                  m.typeName, m.comment, dims.size(), 0);
    WriteDims(w, dims);
    if (!m.attributes.empty())
        WriteAttributes(w, m.attributes);
    w.PatchU32(start, static_cast<uint32_t>(w.Size() - start));
}

}  // namespace

std::vector<uint8_t> Model::TypeRecord(const Type& t) const
{
    ByteWriter w;
    uint32_t flags = FlagTypeRecord;
    if (t.hasGuid)
        flags |= FlagTypeGuid;
    if (t.copyMask)
        flags |= FlagCopyMask;
    if (!t.methods.empty())
        flags |= FlagMethods;
    if (!t.attributes.empty())
        flags |= FlagAttributes;
    if (t.kind == Kind::Enum)
        flags |= FlagEnumValues;
    std::string typeName;
    if (t.kind == Kind::Alias || t.kind == Kind::Enum || t.kind == Kind::Array)
        typeName = t.baseName;
    const std::vector<ArrayDim>& dims = t.dims;
    size_t subItems = t.kind == Kind::Struct ? t.members.size() : 0;
    WriteTypeHead(w, t.size, 0, t.id, flags, t.name, typeName, t.comment, t.kind == Kind::Array ? dims.size() : 0,
                  subItems);
    if (t.kind == Kind::Array)
        WriteDims(w, dims);
    if (t.kind == Kind::Struct)
        for (const Member& m : t.members)
            WriteMemberRecord(w, m);
    if (t.hasGuid)
        w.Raw(t.guid, 16);
    if (t.copyMask) {
        // Bytes that hold values are 0xFF, padding 0x00.
        std::vector<uint8_t> mask(t.size, t.kind == Kind::Struct ? 0x00 : 0xFF);
        if (t.kind == Kind::Struct)
            for (const Member& m : t.members) {
                if (m.extraFlags & FlagNoMemory)
                    continue;
                uint32_t b = m.bit ? m.offset / 8 : m.offset;
                uint32_t n = m.bit ? 1 : m.type->size;
                for (uint32_t k = b; k < b + n && k < mask.size(); ++k)
                    mask[k] = 0xFF;
            }
        w.Raw(mask.data(), mask.size());
    }
    if (!t.methods.empty()) {
        w.U16(static_cast<uint32_t>(t.methods.size()));
        uint32_t slot = 0;
        for (const Method& m : t.methods) {
            size_t start = w.Size();
            w.U32(0);
            w.U32(1);              // record version
            w.U32(8 * slot++);     // virtual table slot offset
            w.U16(static_cast<uint32_t>(m.name.size()));
            w.U16(static_cast<uint32_t>(m.returnType.size()));
            w.U16(static_cast<uint32_t>(m.comment.size()));
            w.U16(0);              // parameter count
            w.Str0(m.name);
            w.Str0(m.returnType);
            w.Str0(m.comment);
            w.PatchU32(start, static_cast<uint32_t>(w.Size() - start));
        }
    }
    if (!t.attributes.empty())
        WriteAttributes(w, t.attributes);
    if (t.kind == Kind::Enum) {
        w.U16(static_cast<uint32_t>(t.enumValues.size()));
        for (const EnumValue& v : t.enumValues) {
            w.U8(static_cast<uint32_t>(v.name.size()));
            w.Str0(v.name);
            for (uint32_t k = 0; k < t.size; ++k)
                w.U8(static_cast<uint32_t>(static_cast<uint64_t>(v.value) >> (8 * k)));
        }
    }
    w.PatchU32(0, static_cast<uint32_t>(w.Size()));
    return w.bytes;
}

std::vector<uint8_t> Model::SymbolRecord(const Place& p) const
{
    ByteWriter w;
    bool whole = p.symbol && p.type == p.symbol->type && p.name == p.symbol->name;
    bool guid = whole && p.symbol->hasGuid;
    const std::vector<Attribute> none;
    const std::vector<Attribute>& attrs = p.attributes ? *p.attributes : none;
    uint32_t flags = 0;
    if (guid)
        flags |= FlagSymGuid;
    if (!attrs.empty())
        flags |= FlagAttributes;
    w.U32(0);
    w.U32(p.group);
    w.U32(p.offset);
    w.U32(p.bit >= 0 ? 1 : p.type->size);
    w.U32(p.bit >= 0 ? uint32_t(IdBool) : p.type->id);
    w.U32(flags);
    w.U16(static_cast<uint32_t>(p.name.size()));
    w.U16(static_cast<uint32_t>(p.typeName.size()));
    w.U16(static_cast<uint32_t>(p.comment.size()));
    w.Str0(p.name);
    w.Str0(p.typeName);
    w.Str0(p.comment);
    if (guid)
        w.Raw(p.symbol->guid, 16);
    if (!attrs.empty())
        WriteAttributes(w, attrs);
    w.PatchU32(0, static_cast<uint32_t>(w.Size()));
    return w.bytes;
}

namespace {

// Characters of Windows-1252 at 0x80..0x9F (0 where the code page leaves the byte unassigned).
const uint16_t k1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool DecodeUtf8(const std::string& in, std::vector<uint32_t>& cps)
{
    size_t i = 0;
    while (i < in.size()) {
        uint8_t c = static_cast<uint8_t>(in[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= in.size() + (extra ? 0 : 1))
            return false;
        for (int k = 1; k <= extra; ++k) {
            uint8_t cc = static_cast<uint8_t>(in[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t minimum[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        cps.push_back(cp);
        i += 1 + extra;
    }
    return true;
}

}  // namespace

bool Utf8To1252(const std::string& in, std::string& out)
{
    std::vector<uint32_t> cps;
    if (!DecodeUtf8(in, cps))
        return false;
    out.clear();
    for (uint32_t cp : cps) {
        char c = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            c = static_cast<char>(cp);
        } else {
            for (int k = 0; k < 32; ++k)
                if (k1252High[k] && k1252High[k] == cp)
                    c = static_cast<char>(0x80 + k);
        }
        out.push_back(c);
    }
    return true;
}

bool Utf8To16(const std::string& in, std::vector<uint16_t>& out)
{
    std::vector<uint32_t> cps;
    if (!DecodeUtf8(in, cps))
        return false;
    out.clear();
    for (uint32_t cp : cps) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
    }
    return true;
}

}  // namespace kxplc
