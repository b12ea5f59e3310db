// Typed values for kxxml: a symbol's value decoded with its PLC type by the service's own value walk, and a
// walk over a document along the symbol's type records that names every value by its full member path
// (MAIN.aAxes[1].fSpeed) and finds what a restore would pass over.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include <pugixml.hpp>

#include "XmlDataServer.h"

// How a primitive value is held in the PLC: its type name and id, its size (bits for a bit member).
struct KxLeafType {
    std::string type;   // type name as the records give it ("LREAL", "STRING(20)", "E_Mode" ...)
    uint32_t id = 0;    // data type id
    uint32_t size = 0;  // bytes, or bits for a bit member
    bool bit = false;   // a bit member of a structure
    bool utf8 = false;  // 8-bit strings are UTF-8 rather than Windows-1252
};

// One value the walk reached: its member path, where it lies in the document and its type.
struct KxLeaf {
    std::string member;  // MAIN.aAxes[1].fSpeed
    pugi::xpath_node pos;
    KxLeafType type;
};

// What the walk reports besides values.
class IKxWalkReport {
public:
    virtual ~IKxWalkReport() = default;
    // A value with its element (or attribute).
    virtual void Value(const KxLeaf& leaf) = 0;
    // A member or array element (count > 1: a whole run of them, named by member) that has no element.
    virtual void Missing(const std::string& member, const std::string& docPath, uint64_t count) = 0;
    // An element that a restore passes over, and why.
    virtual void Stray(pugi::xml_node node, const std::string& why) = 0;
};

// The path of a node in its document: element names, with [@index='v'] for indexed elements.
std::string KxDocPath(pugi::xml_node node);

// Walks the value of a symbol in a document the way a restore reads it: structures member by member (in
// declaration order, or by name with ignoreOrder), arrays as runs of indexed elements. Type records come
// from the data server, which uploads and caches them through its PLC client; the data server must be open.
class CKxTypedWalk {
public:
    CKxTypedWalk(CXmlDataServer& ds, bool ignoreOrder) : m_ds(ds), m_bIgnoreOrder(ignoreOrder) {}

    // Walks the symbol (record pSym, named sName) at pos; 0, or the error of a type upload.
    HRESULT Symbol(const pugi::xpath_node& pos, const FexSymbolEntry* pSym, const std::string& sName,
                   IKxWalkReport& report);

private:
    HRESULT Type(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray, const std::string& sName,
                 bool bUtf8, unsigned* pnUsed);
    HRESULT Struct(pugi::xml_node element, const FexDatatypeEntry* pType, const std::string& sName);
    HRESULT Array(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray, const std::string& sName,
                  bool bUtf8, unsigned* pnUsed);
    void Leaf(const pugi::xpath_node& pos, const std::string& sName, const char* sType, uint32_t nId, uint32_t nSize,
              bool bBit, bool bUtf8);
    bool Seen(pugi::xml_node node) const;
    void See(pugi::xml_node node);

    CXmlDataServer& m_ds;
    bool m_bIgnoreOrder;
    IKxWalkReport* m_pReport = nullptr;
    unsigned m_nDepth = 0;
    std::vector<std::string> m_typeStack;
    std::unordered_set<const void*> m_seen;  // elements a member or array element took, or reported as stray
};

// The symbol's bytes decoded as the service writes them into a file: every value with its text.
struct KxDecodedValue {
    std::string member;
    std::string text;
    KxLeafType type;
};

// Decodes images of one symbol with the service's value walk, on a data server of its own (the type
// records are uploaded once through pPlc for all images).
class CKxDecoder {
public:
    explicit CKxDecoder(IKxFexSync* pPlc) : m_ds(pPlc) {}
    ~CKxDecoder();
    CKxDecoder(const CKxDecoder&) = delete;
    CKxDecoder& operator=(const CKxDecoder&) = delete;

    // Uploads the symbol's record; 0 or the PLC's error.
    HRESULT Open(const HopAddr& plc, const std::string& symbol);
    // The symbol's size in bytes (after Open).
    uint32_t Size() const { return m_pSym ? m_pSym->size : 0; }
    // True when the symbol's value never goes into a file (a pointer, or excluded).
    bool NotStored() const;
    // Decodes one image of Size() bytes into values; 0 or the error of the value walk.
    HRESULT Decode(const std::vector<uint8_t>& image, std::vector<KxDecodedValue>& values);

private:
    CXmlDataServer m_ds;
    std::string m_symbol;
    FexSymbolEntry* m_pSym = nullptr;  // KxAlloc block of ReadSymbolInfo
    unsigned m_nImages = 0;
};

// Problems a restore of a document would meet, by element: texts that do not convert cleanly, elements that
// match no member or array element, members that the document does not name.
struct KxProblem {
    std::string kind;     // "value", "unknown" or "missing"
    std::string path;     // path of the element in the document (for a missing one: where it belongs)
    std::string member;   // member path; "" for an element that matches nothing
    unsigned line = 0;    // line of the element in the file; 0 when missing
    std::string text;     // the element's text ("value" only)
    std::string message;  // what a restore does
};

// Checks the text of one value as a restore converts it; "" when it converts cleanly, else what happens.
std::string KxCheckText(const pugi::xpath_node& pos, const KxLeafType& type);

// Checks a document for a restore of a symbol: the data server holds the document (opened on its text), the
// symbol's element lies at sXmlPath. Problems come in document order per structure. 0 or an upload error;
// kXmlErrPathNotFound when the path selects nothing.
HRESULT KxCheckDocument(CXmlDataServer& ds, const std::string& sText, const std::string& sSymbol,
                        const std::string& sXmlPath, bool bIgnoreOrder, std::vector<KxProblem>& problems);
