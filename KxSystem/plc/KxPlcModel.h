// Internal model of a simulated PLC: data types, symbols, memory, and the records built from them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kxplc {

// Record flags used by the simulator.
enum : uint32_t {
    FlagTypeRecord = 0x0001,     // a data type record
    FlagMemberRecord = 0x0002,   // a structure member record
    FlagSymGuid = 0x0008,        // symbol record: a type GUID follows the comment
    FlagBitValue = 0x0020,       // member counted in bits
    FlagNoMemory = 0x0040,       // member without value in the image
    FlagTypeGuid = 0x0080,       // type record: GUID present
    FlagCopyMask = 0x0200,       // type record: copy mask present
    FlagMethods = 0x0800,        // type record: method records present
    FlagAttributes = 0x1000,     // attribute block present
    FlagEnumValues = 0x2000,     // type record: enumeration values follow everything else
};

enum : uint32_t {
    IdInt16 = 2, IdInt32 = 3, IdReal = 4, IdLReal = 5, IdInt8 = 16, IdUInt8 = 17, IdUInt16 = 18, IdUInt32 = 19,
    IdInt64 = 20, IdUInt64 = 21, IdString = 30, IdWString = 31, IdBool = 33, IdBig = 65,
};

struct Attribute {
    std::string name;
    std::string value;
};

struct Method {
    std::string name;
    std::string returnType;
    std::string comment;
};

struct ArrayDim {
    int32_t lower = 0;
    uint32_t count = 0;
};

struct Type;

struct Member {
    std::string name;
    std::string typeName;        // as written in records (canonical for constructed types)
    Type* type = nullptr;
    uint32_t offset = 0;         // bytes, or bits for a BIT member
    bool bit = false;
    uint32_t extraFlags = 0;     // FlagNoMemory when declared so
    std::string comment;
    std::vector<Attribute> attributes;
    bool offsetGiven = false;
};

struct EnumValue {
    std::string name;
    int64_t value = 0;
};

enum class Kind { Primitive, String, WString, Struct, Array, Alias, Enum, Pointer };

struct Type {
    Kind kind = Kind::Primitive;
    std::string name;            // name answered in its record
    uint32_t id = 0;             // data type id
    uint32_t size = 0;           // bytes
    uint32_t align = 1;
    bool isSigned = false;       // integers
    bool isFloat = false;
    std::string comment;
    std::vector<Attribute> attributes;
    bool hasGuid = false;
    uint8_t guid[16] = {};
    bool copyMask = false;
    std::vector<Method> methods;
    // Structures.
    std::vector<Member> members;
    uint32_t declaredSize = 0;   // 0 = computed
    uint32_t pack = 8;
    // Arrays: dimensions and element type; aliases and enumerations: base type; pointers: target name.
    std::vector<ArrayDim> dims;
    std::string baseName;
    Type* base = nullptr;
    std::vector<EnumValue> enumValues;
    // Layout state while loading.
    int state = 0;               // 0 new, 1 in progress, 2 laid out

    // The type behind any chain of aliases.
    const Type* Resolved() const
    {
        const Type* t = this;
        for (int i = 0; t->kind == Kind::Alias && t->base && i < 64; ++i)
            t = t->base;
        return t;
    }
};

struct Symbol {
    std::string name;
    std::string typeName;
    Type* type = nullptr;
    uint32_t group = 0;
    uint32_t offset = 0;
    bool offsetGiven = false;
    std::string comment;
    std::vector<Attribute> attributes;
    bool hasGuid = false;
    uint8_t guid[16] = {};
};

// What a name inside a symbol designates.
struct Place {
    std::string name;
    const Symbol* symbol = nullptr;
    const Type* type = nullptr;      // type of the designated value (not resolved through aliases)
    std::string typeName;
    uint32_t group = 0;
    uint32_t offset = 0;             // absolute index offset
    int bit = -1;
    std::string comment;
    const std::vector<Attribute>* attributes = nullptr;  // of the innermost member, else the symbol
};

std::string Lower(const std::string& s);

// A complete device: types by lower-cased name, symbols, memory per index group.
class Model {
public:
    std::string deviceName = "KxPlcSim";
    uint16_t port = 851;
    uint32_t defaultGroup = 0x4040;
    bool deferLayout = false;   // while loading, constructed types are laid out once every name is known
    std::map<std::string, std::unique_ptr<Type>> types;     // key: lower-cased name
    std::vector<std::unique_ptr<Symbol>> symbols;
    std::map<std::string, Symbol*> symbolIndex;             // key: lower-cased name
    std::map<uint32_t, std::vector<uint8_t>> memory;

    // The type of a name or type expression (ARRAY, STRING(n), POINTER TO, primitives); creates constructed
    // types on first use. Null and a message for unknown or malformed names.
    // With scratch, types made on the way belong to scratch instead of the model (answers to requests).
    Type* FindType(const std::string& name, std::string* error,
                   std::vector<std::unique_ptr<Type>>* scratch = nullptr);
    // Lays out a type (structure offsets, sizes); false and a message on cycles or bad layouts.
    bool Layout(Type* t, std::string* error);
    // Resolves a symbol name, possibly reaching into members and subscripts.
    bool Resolve(const std::string& name, Place& place) const;
    // Resolves a path relative to a symbol (".member", "[i]", "" for the whole).
    bool ResolveInside(const Symbol& sym, const std::string& rest, Place& place) const;

    // Records.
    std::vector<uint8_t> SymbolRecord(const Place& place) const;
    std::vector<uint8_t> TypeRecord(const Type& t) const;

private:
    Type* MakeConstructed(const std::string& expr, std::string* error, std::vector<std::unique_ptr<Type>>* scratch);
    Type* Keep(std::unique_ptr<Type> t, const std::string& key, std::vector<std::unique_ptr<Type>>* scratch);
};

// Little-endian byte writer.
class ByteWriter {
public:
    std::vector<uint8_t> bytes;
    void U8(uint32_t v) { bytes.push_back(static_cast<uint8_t>(v)); }
    void U16(uint32_t v)
    {
        U8(v);
        U8(v >> 8);
    }
    void U32(uint32_t v)
    {
        U16(v);
        U16(v >> 16);
    }
    void Raw(const void* p, size_t n)
    {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    void Str0(const std::string& s)
    {
        Raw(s.data(), s.size());
        U8(0);
    }
    void PatchU32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    size_t Size() const { return bytes.size(); }
};

// UTF-8 to Windows-1252 ('?' for characters it lacks); false for malformed UTF-8.
bool Utf8To1252(const std::string& in, std::string& out);
// UTF-8 to UTF-16 code units; false for malformed UTF-8.
bool Utf8To16(const std::string& in, std::vector<uint16_t>& out);

// Fault settings found in a description.
struct LoadedFaults {
    uint32_t maxBlock = 0;
    uint32_t shortBy = 0;
    uint32_t delayMs = 0;
    uint32_t failCount = 0;
    uint32_t failError = 0x0700;
};

// Loads a description into a fresh model; false and a message naming the line on failure.
bool LoadDescription(const char* data, size_t size, Model& model, std::string& error, LoadedFaults& faults);

}  // namespace kxplc
