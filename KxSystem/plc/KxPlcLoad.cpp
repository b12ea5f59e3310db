// Reading a PLC description (XML) into the model: types, symbols, memory layout and initial values.
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "KxPlcModel.h"

namespace kxplc {

namespace {

// Memory of one index group is limited so that a description cannot exhaust the host.
constexpr uint64_t kMaxGroupMemory = 512u * 1024u * 1024u;

class Loader {
public:
    Loader(const char* data, size_t size, Model& model, LoadedFaults& faults)
        : m_data(data), m_size(size), m_model(model), m_faults(faults)
    {
    }
    bool Run(std::string& error);

private:
    const char* m_data;
    size_t m_size;
    Model& m_model;
    LoadedFaults& m_faults;
    std::string m_error;
    std::vector<std::pair<Symbol*, pugi::xml_node>> m_symbolNodes;

    int LineOf(pugi::xml_node n) const
    {
        ptrdiff_t off = n.offset_debug();
        if (off < 0)
            return 0;
        int line = 1;
        for (ptrdiff_t i = 0; i < off && static_cast<size_t>(i) < m_size; ++i)
            if (m_data[i] == '\n')
                ++line;
        return line;
    }
    bool Fail(pugi::xml_node n, const std::string& m)
    {
        int line = LineOf(n);
        m_error = line > 0 ? "line " + std::to_string(line) + ": " + m : m;
        return false;
    }
    bool ReadU32(pugi::xml_node n, const char* attr, uint32_t& out, bool& present);
    bool ReadU32(pugi::xml_node n, const char* attr, uint32_t& out)
    {
        bool present;
        return ReadU32(n, attr, out, present);
    }
    bool ReadName(pugi::xml_node n, std::string& out);
    bool ReadAttributes(pugi::xml_node n, std::vector<Attribute>& out);
    bool ReadComment(pugi::xml_node n, std::string& out);
    bool ReadGuid(pugi::xml_node n, bool& has, uint8_t* guid);
    bool ReadBool(pugi::xml_node n, const char* attr, bool& out);
    bool DeclareType(pugi::xml_node n);
    bool ResolveNames(pugi::xml_node types);
    bool ReadSymbols(pugi::xml_node symbols);
    bool ApplyValues();
    bool StoreText(pugi::xml_node n, const Place& p, const std::string& text, bool utf8);
    bool StoreNumber(pugi::xml_node n, const Place& p, const Type* t, double d, const std::string& text, bool useText);
};

bool ParseU64(const std::string& text, uint64_t& v)
{
    std::string s = text;
    int base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (s.size() > 3 && s.compare(0, 3, "16#") == 0) {
        base = 16;
        i = 3;
    }
    if (i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])))
        return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtoull(s.c_str() + i, &end, base);
    return errno == 0 && end && *end == '\0';
}

bool ParseI64(const std::string& text, int64_t& v)
{
    if (!text.empty() && text[0] == '-') {
        uint64_t u = 0;
        if (!ParseU64(text.substr(1), u) || u > static_cast<uint64_t>(INT64_MAX) + 1)
            return false;
        v = static_cast<int64_t>(0 - u);
        return true;
    }
    uint64_t u = 0;
    if (!ParseU64(!text.empty() && text[0] == '+' ? text.substr(1) : text, u) ||
        u > static_cast<uint64_t>(INT64_MAX))
        return false;
    v = static_cast<int64_t>(u);
    return true;
}

std::string TrimText(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool Loader::ReadU32(pugi::xml_node n, const char* attr, uint32_t& out, bool& present)
{
    pugi::xml_attribute a = n.attribute(attr);
    present = !a.empty();
    if (!present)
        return true;
    uint64_t v = 0;
    if (!ParseU64(TrimText(a.value()), v) || v > 0xFFFFFFFFu)
        return Fail(n, std::string("attribute '") + attr + "' is not a 32-bit number: '" + a.value() + "'");
    out = static_cast<uint32_t>(v);
    return true;
}

bool Loader::ReadBool(pugi::xml_node n, const char* attr, bool& out)
{
    pugi::xml_attribute a = n.attribute(attr);
    if (a.empty())
        return true;
    std::string v = Lower(TrimText(a.value()));
    if (v == "true" || v == "1")
        out = true;
    else if (v == "false" || v == "0")
        out = false;
    else
        return Fail(n, std::string("attribute '") + attr + "' is not true or false");
    return true;
}

bool Loader::ReadName(pugi::xml_node n, std::string& out)
{
    out = n.attribute("name").value();
    if (out.empty())
        return Fail(n, std::string("<") + n.name() + "> without name");
    if (out.size() > 255)
        return Fail(n, "name longer than 255 characters: '" + out.substr(0, 40) + "...'");
    for (char c : out)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'))
            return Fail(n, "name '" + out + "' holds a character other than letters, digits, '_' and '.'");
    return true;
}

bool Loader::ReadComment(pugi::xml_node n, std::string& out)
{
    out = n.attribute("comment").value();
    if (out.size() > 0xFFFF)
        return Fail(n, "comment longer than 65535 bytes");
    return true;
}

bool Loader::ReadAttributes(pugi::xml_node n, std::vector<Attribute>& out)
{
    for (pugi::xml_node a : n.children("attribute")) {
        Attribute at{a.attribute("name").value(), a.attribute("value").value()};
        if (at.name.empty() || at.name.size() > 255 || at.value.size() > 255)
            return Fail(a, "attribute needs a name of 1 to 255 bytes and a value of at most 255 bytes");
        out.push_back(at);
    }
    if (out.size() > 0xFFFF)
        return Fail(n, "too many attributes");
    return true;
}

bool Loader::ReadGuid(pugi::xml_node n, bool& has, uint8_t* guid)
{
    pugi::xml_attribute a = n.attribute("guid");
    has = !a.empty();
    if (!has)
        return true;
    std::string s = TrimText(a.value());
    if (s.size() == 38 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, 36);
    unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    int used = 0;
    if (s.size() != 36 ||
        std::sscanf(s.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
        used != 36)
        return Fail(n, "malformed guid '" + std::string(a.value()) + "'");
    for (int k = 0; k < 4; ++k)
        guid[k] = static_cast<uint8_t>(d1 >> (8 * k));
    guid[4] = static_cast<uint8_t>(d2);
    guid[5] = static_cast<uint8_t>(d2 >> 8);
    guid[6] = static_cast<uint8_t>(d3);
    guid[7] = static_cast<uint8_t>(d3 >> 8);
    for (int k = 0; k < 8; ++k)
        guid[8 + k] = static_cast<uint8_t>(b[k]);
    return true;
}

bool Loader::DeclareType(pugi::xml_node n)
{
    std::string kind = n.name();
    if (kind != "struct" && kind != "alias" && kind != "enum")
        return Fail(n, "unknown type declaration <" + kind + ">");
    auto t = std::make_unique<Type>();
    if (!ReadName(n, t->name) || !ReadComment(n, t->comment) || !ReadAttributes(n, t->attributes) ||
        !ReadGuid(n, t->hasGuid, t->guid) || !ReadBool(n, "copyMask", t->copyMask))
        return false;
    std::string key = Lower(t->name);
    if (m_model.types.count(key) || m_model.FindType(t->name, nullptr, nullptr))
        return Fail(n, "type '" + t->name + "' declared twice or named like a built-in type");
    if (kind == "struct") {
        t->kind = Kind::Struct;
        if (!ReadU32(n, "size", t->declaredSize) || !ReadU32(n, "pack", t->pack))
            return false;
        if (t->pack != 1 && t->pack != 2 && t->pack != 4 && t->pack != 8)
            return Fail(n, "pack must be 1, 2, 4 or 8");
        std::set<std::string> seen;
        for (pugi::xml_node m : n.children()) {
            std::string what = m.name();
            if (m.type() != pugi::node_element || what == "attribute")
                continue;
            if (what == "method") {
                Method me;
                if (!ReadName(m, me.name) || !ReadComment(m, me.comment))
                    return false;
                me.returnType = m.attribute("returnType").value();
                t->methods.push_back(me);
                continue;
            }
            if (what != "member")
                return Fail(m, "unexpected <" + what + "> in a structure");
            Member mem;
            if (!ReadName(m, mem.name) || !ReadComment(m, mem.comment) || !ReadAttributes(m, mem.attributes))
                return false;
            if (!seen.insert(Lower(mem.name)).second)
                return Fail(m, "member '" + mem.name + "' declared twice");
            mem.typeName = m.attribute("type").value();
            if (mem.typeName.empty())
                return Fail(m, "member '" + mem.name + "' without type");
            bool byteOff = false, bitOff = false;
            uint32_t flags = 0;
            if (!ReadU32(m, "offset", mem.offset, byteOff) || !ReadU32(m, "flags", flags))
                return false;
            uint32_t bits = 0;
            if (!ReadU32(m, "bitOffset", bits, bitOff))
                return false;
            if (byteOff && bitOff)
                return Fail(m, "member '" + mem.name + "' has both offset and bitOffset");
            if (bitOff)
                mem.offset = bits;
            mem.offsetGiven = byteOff || bitOff;
            if (flags & ~uint32_t(FlagNoMemory))
                return Fail(m, "member flags may only hold 0x0040");
            mem.extraFlags = flags;
            // Its type name is resolved once every declaration is known.
            t->members.push_back(mem);
        }
        if (t->members.empty())
            return Fail(n, "structure '" + t->name + "' has no members");
        if (t->members.size() > 0xFFFF || t->methods.size() > 0xFFFF)
            return Fail(n, "structure '" + t->name + "' is too large");
    } else if (kind == "alias") {
        t->kind = Kind::Alias;
        t->baseName = n.attribute("type").value();
        if (t->baseName.empty())
            return Fail(n, "alias '" + t->name + "' without type");
    } else {
        t->kind = Kind::Enum;
        t->baseName = n.attribute("base").value();
        if (t->baseName.empty())
            t->baseName = "INT";
        int64_t next = 0;
        for (pugi::xml_node v : n.children("value")) {
            EnumValue ev;
            if (!ReadName(v, ev.name))
                return false;
            pugi::xml_attribute va = v.attribute("value");
            if (!va.empty() && !ParseI64(TrimText(va.value()), next))
                return Fail(v, "enumeration value '" + std::string(va.value()) + "' is not an integer");
            ev.value = next++;
            t->enumValues.push_back(ev);
        }
        if (t->enumValues.empty() || t->enumValues.size() > 0xFFFF)
            return Fail(n, "enumeration '" + t->name + "' needs 1 to 65535 values");
    }
    m_model.types[key] = std::move(t);
    return true;
}

bool Loader::ResolveNames(pugi::xml_node types)
{
    for (pugi::xml_node n : types.children()) {
        if (n.type() != pugi::node_element)
            continue;
        Type* t = m_model.types[Lower(n.attribute("name").value())].get();
        std::string err;
        if (t->kind == Kind::Struct) {
            pugi::xml_node m = n.child("member");
            for (Member& mem : t->members) {
                while (m && std::strcmp(m.name(), "member") != 0)
                    m = m.next_sibling();
                Type* mt = m_model.FindType(mem.typeName, &err);
                if (!mt)
                    return Fail(m, "member '" + mem.name + "': " + err);
                mem.type = mt;
                mem.typeName = mt->name;
                m = m.next_sibling();
            }
        } else {
            Type* bt = m_model.FindType(t->baseName, &err);
            if (!bt)
                return Fail(n, "'" + t->name + "': " + err);
            t->base = bt;
            t->baseName = bt->name;
        }
    }
    // Every name is known now: lay out in declaration order so that messages name the first culprit.
    m_model.deferLayout = false;
    for (pugi::xml_node n : types.children()) {
        if (n.type() != pugi::node_element)
            continue;
        std::string err;
        if (!m_model.Layout(m_model.types[Lower(n.attribute("name").value())].get(), &err))
            return Fail(n, err);
    }
    for (auto& kv : m_model.types) {
        std::string err;
        if (!m_model.Layout(kv.second.get(), &err))
            return Fail(types, err);
    }
    return true;
}

bool Loader::ReadSymbols(pugi::xml_node symbols)
{
    std::map<uint32_t, uint64_t> cursor;
    for (pugi::xml_node n : symbols.children()) {
        if (n.type() != pugi::node_element)
            continue;
        if (std::strcmp(n.name(), "symbol") != 0)
            return Fail(n, "unexpected <" + std::string(n.name()) + "> in <symbols>");
        auto s = std::make_unique<Symbol>();
        if (!ReadName(n, s->name) || !ReadComment(n, s->comment) || !ReadAttributes(n, s->attributes) ||
            !ReadGuid(n, s->hasGuid, s->guid))
            return false;
        std::string key = Lower(s->name);
        if (m_model.symbolIndex.count(key))
            return Fail(n, "symbol '" + s->name + "' declared twice");
        std::string err;
        s->type = m_model.FindType(n.attribute("type").value(), &err);
        if (!s->type)
            return Fail(n, "symbol '" + s->name + "': " + err);
        if (s->type->Resolved()->kind == Kind::Primitive && s->type->Resolved()->name == "BIT")
            return Fail(n, "symbol '" + s->name + "': BIT is only allowed for structure members");
        s->typeName = s->type->name;
        s->group = m_model.defaultGroup;
        if (!ReadU32(n, "group", s->group) || !ReadU32(n, "offset", s->offset, s->offsetGiven))
            return false;
        if (s->group == 0xF009 || s->group == 0xF011)
            return Fail(n, "symbol '" + s->name + "': index group reserved for information requests");
        uint64_t& cur = cursor[s->group];
        if (!s->offsetGiven) {
            uint32_t a = std::min<uint32_t>(std::max<uint32_t>(s->type->align, 1), 8);
            cur = (cur + a - 1) / a * a;
            if (cur > 0xFFFFFFFFu)
                return Fail(n, "memory of group exhausted");
            s->offset = static_cast<uint32_t>(cur);
        }
        uint64_t end = static_cast<uint64_t>(s->offset) + s->type->size;
        if (end > kMaxGroupMemory)
            return Fail(n, "symbol '" + s->name + "' lies beyond 512 MiB of memory");
        cur = std::max(cur, end);
        std::vector<uint8_t>& mem = m_model.memory[s->group];
        if (mem.size() < end)
            mem.resize(end, 0);
        m_symbolNodes.push_back({s.get(), n});
        m_model.symbolIndex[key] = s.get();
        m_model.symbols.push_back(std::move(s));
    }
    return true;
}

bool HasUtf8(const std::vector<Attribute>* attrs)
{
    if (attrs)
        for (const Attribute& a : *attrs)
            if (a.name == "KxEncoding" && a.value == "UTF-8")
                return true;
    return false;
}

void PutLE(uint8_t* p, uint64_t v, uint32_t n)
{
    for (uint32_t k = 0; k < n; ++k)
        p[k] = static_cast<uint8_t>(v >> (8 * k));
}

bool Loader::StoreNumber(pugi::xml_node n, const Place& p, const Type* t, double d, const std::string& text,
                         bool useText)
{
    uint8_t* at = m_model.memory[p.group].data() + p.offset;
    if (t->isFloat) {
        if (useText) {
            char* end = nullptr;
            d = std::strtod(text.c_str(), &end);
            if (text.empty() || !end || *end)
                return Fail(n, "'" + text + "' is not a number");
        }
        if (t->size == 4) {
            float f = static_cast<float>(d);
            std::memcpy(at, &f, 4);
        } else {
            std::memcpy(at, &d, 8);
        }
        return true;
    }
    uint32_t bits = 8 * t->size;
    if (t->isSigned) {
        int64_t v = 0;
        if (useText ? !ParseI64(text, v) : (std::isnan(d) || std::fabs(d) > 9.2e18))
            return Fail(n, "'" + text + "' is not an integer");
        if (!useText)
            v = std::llround(d);
        if (bits < 64 && (v < -(int64_t(1) << (bits - 1)) || v >= (int64_t(1) << (bits - 1))))
            return Fail(n, "value " + std::to_string(v) + " out of range for " + t->name);
        PutLE(at, static_cast<uint64_t>(v), t->size);
    } else {
        uint64_t v = 0;
        if (useText ? !ParseU64(text, v) : (std::isnan(d) || d < 0 || d > 1.8e19))
            return Fail(n, "'" + text + "' is not an unsigned integer");
        if (!useText)
            v = static_cast<uint64_t>(std::llround(d));
        if (bits < 64 && v >> bits)
            return Fail(n, "value " + std::to_string(v) + " out of range for " + t->name);
        PutLE(at, v, t->size);
    }
    return true;
}

bool Loader::StoreText(pugi::xml_node n, const Place& p, const std::string& raw, bool utf8)
{
    const Type* t = p.type->Resolved();
    uint8_t* at = m_model.memory[p.group].data() + p.offset;
    std::string text = t->kind == Kind::String || t->kind == Kind::WString ? raw : TrimText(raw);
    switch (t->kind) {
    case Kind::String: {
        std::string bytes;
        if (utf8)
            bytes = text;
        else if (!Utf8To1252(text, bytes))
            return Fail(n, "malformed UTF-8 text");
        if (bytes.size() >= t->size)
            return Fail(n, "text longer than " + t->name + " holds");
        std::memset(at, 0, t->size);
        std::memcpy(at, bytes.data(), bytes.size());
        return true;
    }
    case Kind::WString: {
        std::vector<uint16_t> units;
        if (!Utf8To16(text, units))
            return Fail(n, "malformed UTF-8 text");
        if (2 * units.size() >= t->size)
            return Fail(n, "text longer than " + t->name + " holds");
        std::memset(at, 0, t->size);
        for (size_t k = 0; k < units.size(); ++k)
            PutLE(at + 2 * k, units[k], 2);
        return true;
    }
    case Kind::Enum: {
        for (const EnumValue& v : t->enumValues)
            if (Lower(v.name) == Lower(text)) {
                PutLE(at, static_cast<uint64_t>(v.value), t->size);
                return true;
            }
        return StoreNumber(n, p, t->base->Resolved(), 0, text, true);
    }
    case Kind::Pointer:
        return StoreNumber(n, p, t, 0, text, true);
    case Kind::Primitive: {
        if (t->id == IdBool) {
            std::string v = Lower(text);
            bool b;
            if (v == "true" || v == "1")
                b = true;
            else if (v == "false" || v == "0")
                b = false;
            else
                return Fail(n, "'" + text + "' is not TRUE or FALSE");
            if (p.bit >= 0)
                *at = static_cast<uint8_t>(b ? (*at | (1u << p.bit)) : (*at & ~(1u << p.bit)));
            else
                *at = b ? 1 : 0;
            return true;
        }
        return StoreNumber(n, p, t, 0, text, true);
    }
    default:
        return Fail(n, "a value of " + p.type->name + " needs 'at' naming a member or element");
    }
}

bool Loader::ApplyValues()
{
    for (auto& sn : m_symbolNodes) {
        const Symbol& sym = *sn.first;
        for (pugi::xml_node v : sn.second.children()) {
            std::string what = v.name();
            if (v.type() != pugi::node_element || what == "attribute")
                continue;
            if (what != "value" && what != "fill")
                return Fail(v, "unexpected <" + what + "> in a symbol");
            Place p;
            std::string at = v.attribute("at").value();
            if (!m_model.ResolveInside(sym, at, p))
                return Fail(v, "'" + sym.name + at + "' does not name a value");
            if (what == "value") {
                bool utf8 = HasUtf8(p.attributes);
                pugi::xml_attribute enc = v.attribute("encoding");
                if (!enc.empty())
                    utf8 = Lower(enc.value()) == "utf-8";
                if (!StoreText(v, p, v.text().get(), utf8))
                    return false;
                continue;
            }
            const Type* arr = p.type->Resolved();
            const Type* e = arr->kind == Kind::Array ? arr->base->Resolved() : nullptr;
            if (!e || e->kind != Kind::Primitive || e->id == IdBool)
                return Fail(v, "<fill> needs an array of numbers");
            char* end = nullptr;
            std::string s0 = TrimText(v.attribute("start").as_string("0"));
            std::string s1 = TrimText(v.attribute("step").as_string("0"));
            double start = std::strtod(s0.c_str(), &end);
            bool ok = end && !*end;
            double step = std::strtod(s1.c_str(), &end);
            if (!ok || !end || *end)
                return Fail(v, "<fill> needs numeric start and step");
            uint32_t count = arr->size / arr->base->size;
            Place ep = p;
            for (uint32_t i = 0; i < count; ++i) {
                ep.offset = p.offset + i * arr->base->size;
                if (!StoreNumber(v, ep, e, start + step * i, std::to_string(start + step * i), false))
                    return false;
            }
        }
    }
    return true;
}

bool Loader::Run(std::string& error)
{
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(m_data, m_size, pugi::parse_default);
    if (!r) {
        int line = 1;
        for (ptrdiff_t i = 0; i < r.offset && static_cast<size_t>(i) < m_size; ++i)
            if (m_data[i] == '\n')
                ++line;
        error = "line " + std::to_string(line) + ": " + r.description();
        return false;
    }
    pugi::xml_node root = doc.child("plc");
    bool ok = [&] {
        if (!root)
            return Fail(doc.document_element(), "the root element must be <plc>");
        std::string name = root.attribute("name").value();
        if (!name.empty())
            m_model.deviceName = name.substr(0, 255);
        uint32_t port = m_model.port;
        if (!ReadU32(root, "port", port) || !ReadU32(root, "group", m_model.defaultGroup))
            return false;
        if (port == 0 || port > 0xFFFF)
            return Fail(root, "port must be 1 to 65535");
        m_model.port = static_cast<uint16_t>(port);
        if (pugi::xml_node f = root.child("faults")) {
            if (!ReadU32(f, "maxBlock", m_faults.maxBlock) || !ReadU32(f, "shortBy", m_faults.shortBy) ||
                !ReadU32(f, "delay", m_faults.delayMs) || !ReadU32(f, "failNext", m_faults.failCount) ||
                !ReadU32(f, "failError", m_faults.failError))
                return false;
            if (m_faults.failError > 0xFFFF)
                return Fail(f, "failError must be a 16-bit error number");
        }
        pugi::xml_node types = root.child("types");
        m_model.deferLayout = true;
        for (pugi::xml_node n : types.children())
            if (n.type() == pugi::node_element && !DeclareType(n))
                return false;
        if (!ResolveNames(types))
            return false;
        m_model.deferLayout = false;
        return ReadSymbols(root.child("symbols")) && ApplyValues();
    }();
    if (!ok)
        error = m_error;
    return ok;
}

}  // namespace

bool LoadDescription(const char* data, size_t size, Model& model, std::string& error, LoadedFaults& faults)
{
    try {
        Loader loader(data, size, model, faults);
        return loader.Run(error);
    } catch (const std::exception& e) {
        error = std::string("cannot load the description: ") + e.what();
        return false;
    }
}

}  // namespace kxplc
