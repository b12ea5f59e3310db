// Typed values for kxxml. Values are decoded by the service's own value walk (CXmlDataServer writing an image
// into a document), so their texts are exactly those a file holds; the walk here only follows the type records
// over such a document, or over a file, to name each value and to see what a restore would pass over. It takes
// the same decisions as the service's read walk (XmlSerialize.cpp): which members have elements, how members
// and array elements are matched, which values have a text form.
#include "KxxmlValues.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KxAlloc.h"
#include "XmlDataServerSettings.h"
#include "XmlValueConv.h"

// The read walk's choices of a converter, shared with the service (XmlSerialize.cpp).
uint32_t XmlSerializeBigTypeId(const char* sType);
uint32_t XmlSerializeScalarWidth(uint32_t nId);

namespace {

constexpr unsigned kMaxDepth = CXmlDataServer::kMaxSerializeDepth;

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Member names are PLC identifiers, matched without regard to ASCII case as the service does.
bool EqualNoCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        if (UpperAscii(*a) != UpperAscii(*b))
            return false;
    }
    return *a == *b;
}

pugi::xml_node NextElement(pugi::xml_node n)
{
    n = n.next_sibling();
    while (n && n.type() != pugi::node_element)
        n = n.next_sibling();
    return n;
}

std::string Subscripts(const FexDatatypeArrayInfo* info, int nDims, uint64_t i)
{
    int32_t subs[CXmlDataServer::kMaxArrayDims] = {};
    CXmlDataServer::CalculateArrayIndex(info, nDims, i, subs);
    std::string s = "[";
    for (int k = 0; k < nDims; ++k) {
        if (k)
            s += ",";
        s += std::to_string(subs[k]);
    }
    return s + "]";
}

std::string Trimmed(const char* s)
{
    const char* blanks = " \t\n\r";
    std::string t(s ? s : "");
    const size_t b = t.find_first_not_of(blanks);
    if (b == std::string::npos)
        return std::string();
    const size_t e = t.find_last_not_of(blanks);
    return t.substr(b, e - b + 1);
}

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

}  // namespace

std::string KxDocPath(pugi::xml_node node)
{
    std::string path;
    for (; node && node.type() == pugi::node_element; node = node.parent()) {
        std::string step = std::string("/") + node.name();
        if (pugi::xml_attribute a = node.attribute("index"))
            step += std::string("[@index='") + a.value() + "']";
        path = step + path;
    }
    return path;
}

bool CKxTypedWalk::Seen(pugi::xml_node node) const
{
    return m_seen.count(node.internal_object()) != 0;
}

void CKxTypedWalk::See(pugi::xml_node node)
{
    if (node)
        m_seen.insert(node.internal_object());
}

HRESULT CKxTypedWalk::Symbol(const pugi::xpath_node& pos, const FexSymbolEntry* pSym, const std::string& sName,
                             IKxWalkReport& report)
{
    m_pReport = &report;
    m_nDepth = 0;
    m_typeStack.clear();
    m_seen.clear();
    const char* sType = FexSymbolTypeName(pSym);
    if (IsPointer(sType) || Exclude(pSym))
        return S_OK;
    if (IsPrimitive(sType, pSym->dataType)) {
        Leaf(pos, sName, sType, pSym->dataType, pSym->size, false, IsUtf8(pSym));
        return S_OK;
    }
    FexDatatypeEntry* pType = nullptr;
    HRESULT hr = m_ds.ReadDatatypeInfo(sType, &pType);
    if (FAILED(hr))
        return hr;
    if (!pType)
        return S_OK;
    const char* sTypeName = FexDatatypeName(pType);
    if (IsPrimitive(sTypeName, pType->dataType)) {
        if (pType->size == pSym->size)
            Leaf(pos, sName, sTypeName, pType->dataType, pType->size, false, IsUtf8(pSym));
        return S_OK;
    }
    hr = Type(pos, pType, false, sName, IsUtf8(pSym), nullptr);
    return hr == kXmlErrNoValue ? S_OK : hr;
}

void CKxTypedWalk::Leaf(const pugi::xpath_node& pos, const std::string& sName, const char* sType, uint32_t nId,
                        uint32_t nSize, bool bBit, bool bUtf8)
{
    KxLeaf leaf;
    leaf.member = sName;
    leaf.pos = pos;
    leaf.type.type = sType ? sType : "";
    leaf.type.id = nId;
    leaf.type.size = nSize;
    leaf.type.bit = bBit;
    leaf.type.utf8 = bUtf8;
    m_pReport->Value(leaf);
}

HRESULT CKxTypedWalk::Type(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray,
                           const std::string& sName, bool bUtf8, unsigned* pnUsed)
{
    if (pnUsed)
        *pnUsed = 1;
    const char* sTypeName = FexDatatypeName(pType);
    if (m_nDepth >= kMaxDepth)
        return kXmlErrNoValue;
    if (*sTypeName && std::find(m_typeStack.begin(), m_typeStack.end(), sTypeName) != m_typeStack.end())
        return kXmlErrNoValue;

    if (pType->subItems == 0 && pType->arrayDim == 0) {
        if (IsPointer(sTypeName) || Exclude(pType))
            return S_OK;
        if (IsPrimitive(sTypeName, pType->dataType))
            Leaf(pos, sName, sTypeName, pType->dataType, pType->size, false, bUtf8);
        else if (IsPrimitive(FexDatatypeTypeName(pType), pType->dataType))
            Leaf(pos, sName, FexDatatypeTypeName(pType), pType->dataType, pType->size, false, bUtf8);
        return S_OK;
    }
    if (pos.attribute() || !pos.node() || pos.node().type() != pugi::node_element)
        return kXmlErrNoValue;

    ++m_nDepth;
    m_typeStack.push_back(sTypeName);
    const HRESULT hr = pType->subItems == 0 ? Array(pos, pType, bInArray, sName, bUtf8, pnUsed)
                                            : Struct(pos.node(), pType, sName);
    m_typeStack.pop_back();
    --m_nDepth;
    return hr;
}

HRESULT CKxTypedWalk::Struct(pugi::xml_node element, const FexDatatypeEntry* pType, const std::string& sName)
{
    std::vector<pugi::xml_node> children;
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling())
        children.push_back(c);

    std::vector<const FexDatatypeEntry*> members;
    CFexSubItems items(pType);
    for (const FexDatatypeEntry* m = items.Next(); m; m = items.Next())
        members.push_back(m);

    // A member without an element of its own keeps its bytes; so do pointers and excluded members.
    auto stored = [](const FexDatatypeEntry* m) {
        return !(m->flags & FEX_DTFLAG_PASSOVER) && !IsPointer(FexDatatypeTypeName(m)) && !Exclude(m) &&
               *FexDatatypeName(m);
    };
    if (children.empty()) {
        for (const FexDatatypeEntry* m : members) {
            if (stored(m))
                m_pReport->Missing(sName + "." + FexDatatypeName(m), KxDocPath(element) + "/" + FexDatatypeName(m), 1);
        }
        return S_OK;
    }

    std::vector<pugi::xml_node> slots(members.size());
    if (m_bIgnoreOrder) {
        for (pugi::xml_node c : children) {
            if (c.type() != pugi::node_element)
                continue;
            for (size_t i = 0; i < members.size(); ++i) {
                if (EqualNoCase(c.name(), FexDatatypeName(members[i]))) {
                    if (!slots[i])
                        slots[i] = c;
                    break;
                }
            }
        }
    }

    size_t p = 0;
    bool bAny = false;
    for (size_t i = 0; i < members.size(); ++i) {
        const FexDatatypeEntry* m = members[i];
        if (m->flags & FEX_DTFLAG_PASSOVER) {
            bAny = true;
            continue;
        }
        const char* sMember = FexDatatypeName(m);
        const char* sMemberType = FexDatatypeTypeName(m);
        const std::string member = sName + "." + sMember;

        pugi::xml_node node;
        if (!m_bIgnoreOrder) {
            for (size_t k = p; k < children.size(); ++k) {
                if (children[k].type() == pugi::node_element && EqualNoCase(children[k].name(), sMember)) {
                    node = children[k];
                    p = k + 1;
                    break;
                }
            }
        } else {
            node = slots[i];
        }
        if (!node) {
            if (stored(m))
                m_pReport->Missing(member, KxDocPath(element) + "/" + sMember, 1);
            continue;
        }
        See(node);

        HRESULT hr = S_OK;
        if (IsPointer(sMemberType) || Exclude(m)) {
            bAny = true;
            continue;
        } else if (IsPrimitive(sMemberType, m->dataType)) {
            Leaf(pugi::xpath_node(node), member, sMemberType, m->dataType, m->size,
                 (m->flags & FEX_DTFLAG_BITVALUES) != 0, IsUtf8(m));
        } else {
            FexDatatypeEntry* pMemberType = nullptr;
            if (FAILED(m_ds.ReadDatatypeInfo(sMemberType, &pMemberType)) || !pMemberType)
                continue;
            unsigned nUsed = 1;
            hr = Type(pugi::xpath_node(node), pMemberType, false, member, IsUtf8(m), &nUsed);
            if (SUCCEEDED(hr) && nUsed > 1)
                p += nUsed - 1;
        }
        if (SUCCEEDED(hr))
            bAny = true;
        else if (hr != kXmlErrNoValue)
            return hr;
    }

    for (pugi::xml_node c : children) {
        if (c.type() != pugi::node_element || Seen(c))
            continue;
        See(c);
        bool bNamesMember = false;
        for (const FexDatatypeEntry* m : members)
            bNamesMember = bNamesMember || EqualNoCase(c.name(), FexDatatypeName(m));
        if (!bNamesMember)
            m_pReport->Stray(c, "matches no member");
        else if (m_bIgnoreOrder)
            m_pReport->Stray(c, "repeats a member: a restore reads only the first");
        else
            m_pReport->Stray(c, "out of declaration order or repeated: a restore passes over it (see --ignore-order)");
    }
    return bAny ? S_OK : kXmlErrNoValue;
}

HRESULT CKxTypedWalk::Array(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray,
                            const std::string& sName, bool bUtf8, unsigned* pnUsed)
{
    const char* sElemType = FexDatatypeTypeName(pType);
    if (IsPointer(sElemType) || Exclude(pType))
        return S_OK;
    const int nDims = pType->arrayDim;
    if (nDims > CXmlDataServer::kMaxArrayDims)
        return kXmlErrNoValue;
    FexDatatypeArrayInfo info[CXmlDataServer::kMaxArrayDims];
    uint64_t nCount = 1;
    bool bEmpty = false, bHuge = false;
    for (int k = 0; k < nDims; ++k) {
        const FexDatatypeArrayInfo* pDim = FexDatatypeArrayDim(pType, static_cast<unsigned>(k));
        if (!pDim)
            return kXmlErrNoValue;
        info[k].lowerBound = pDim->lowerBound;
        info[k].elements = pDim->elements;
        bEmpty = bEmpty || info[k].elements == 0;
        bHuge = bHuge || __builtin_mul_overflow(nCount, uint64_t(info[k].elements), &nCount);
    }
    if (bEmpty)
        return S_OK;
    if (bHuge || nCount > pType->size)
        return kXmlErrNoValue;
    FexDatatypeEntry* pElem = nullptr;
    if (!IsPrimitive(sElemType, pType->dataType)) {
        const HRESULT hr = m_ds.ReadDatatypeInfo(sElemType, &pElem);
        if (FAILED(hr))
            return hr;
        if (!pElem)
            return kXmlErrNoValue;
    }
    const uint32_t cbElem = static_cast<uint32_t>(pType->size / nCount);

    pugi::xml_node first, parent;
    if (!bInArray) {
        first = pos.node();
        parent = first.parent();
    } else {
        parent = pos.node();
        first = parent.first_child();
        while (first && first.type() != pugi::node_element)
            first = first.next_sibling();
    }
    auto missing = [&](uint64_t from, uint64_t to) {
        if (from >= to)
            return;
        const std::string where = KxDocPath(parent) + "/" + (first ? first.name() : "");
        if (to - from == nCount)
            m_pReport->Missing(sName, first ? where : KxDocPath(parent), nCount);
        for (uint64_t j = from; j < to && to - from < nCount; ++j) {
            const std::string subs = Subscripts(info, nDims, j);
            m_pReport->Missing(sName + subs, where + "[@index='" + subs.substr(1, subs.size() - 2) + "']", 1);
        }
    };
    if (!first || !parent) {
        missing(0, nCount);
        return kXmlErrNoValue;
    }
    const std::string sRun = first.name();
    int32_t subs[CXmlDataServer::kMaxArrayDims] = {};
    if (FAILED(m_ds.ReadIndexAttribute(first, subs, nDims))) {
        See(first);
        m_pReport->Stray(first, "has no index attribute that fits the array: a restore passes over the whole array");
        missing(0, nCount);
        return kXmlErrNoValue;
    }

    bool bAny = false;
    unsigned nUsed = 0;
    auto put = [&](pugi::xml_node node, uint64_t i) -> HRESULT {
        See(node);
        ++nUsed;
        const std::string name = sName + Subscripts(info, nDims, i);
        if (pElem)
            return Type(pugi::xpath_node(node), pElem, true, name, bUtf8, nullptr);
        Leaf(pugi::xpath_node(node), name, sElemType, pType->dataType, cbElem, false, bUtf8);
        return S_OK;
    };
    auto fold = [&](HRESULT hr) -> bool {
        if (SUCCEEDED(hr)) {
            bAny = true;
            return true;
        }
        return hr == kXmlErrNoValue;
    };
    const char* kStray = "lies outside the array's bounds, repeats an element or comes after a later one: a "
                         "restore passes over it";

    if (m_bIgnoreOrder) {
        std::vector<pugi::xml_node> slots(static_cast<size_t>(nCount));
        for (pugi::xml_node c = parent.child(sRun.c_str()); c; c = c.next_sibling(sRun.c_str())) {
            int32_t s[CXmlDataServer::kMaxArrayDims];
            uint64_t linear = 0;
            if (SUCCEEDED(m_ds.ReadIndexAttribute(c, s, nDims)) &&
                CXmlDataServer::CalculateArrayElement(info, nDims, s, linear) && linear < nCount &&
                !slots[static_cast<size_t>(linear)]) {
                slots[static_cast<size_t>(linear)] = c;
            } else if (!Seen(c)) {
                See(c);
                m_pReport->Stray(c, kStray);
            }
        }
        for (uint64_t i = 0; i < nCount; ++i) {
            if (!slots[static_cast<size_t>(i)]) {
                missing(i, i + 1);
                continue;
            }
            const HRESULT hr = put(slots[static_cast<size_t>(i)], i);
            if (!fold(hr))
                return hr;
        }
        if (pnUsed)
            *pnUsed = nUsed;
        return bAny ? S_OK : kXmlErrNoValue;
    }

    // In order: the elements are taken as a run of same-named siblings, as the restore takes them.
    pugi::xml_node n = first;
    uint64_t nComplete = nCount;
    for (uint64_t i = 0; i < nCount; ++i) {
        if (!n) {
            nComplete = i;
            break;
        }
        HRESULT hr = S_OK;
        bool bEnded = false;
        for (;;) {
            const int cmp = CXmlDataServer::CheckArrayIndex(subs, info, nDims, i);
            if (cmp < 0) {
                See(n);
                m_pReport->Stray(n, kStray);
                pugi::xml_node next = NextElement(n);
                if (next && sRun == next.name() && SUCCEEDED(m_ds.ReadIndexAttribute(next, subs, nDims))) {
                    n = next;
                    continue;
                }
                n = next;
                nComplete = i;
                bEnded = true;
                break;
            }
            if (cmp > 0) {
                missing(i, i + 1);
                break;
            }
            hr = put(n, i);
            pugi::xml_node next = NextElement(n);
            const bool bRunGoesOn = hr != kXmlErrNoValue && next && sRun == next.name() &&
                                    SUCCEEDED(m_ds.ReadIndexAttribute(next, subs, nDims));
            n = next;
            if ((!bRunGoesOn && next) || hr == kXmlErrNoValue) {
                nComplete = i + 1;
                bEnded = true;
            }
            break;
        }
        if (!fold(hr))
            return hr;
        if (bEnded)
            break;
    }
    missing(nComplete, nCount);
    // Elements of the run that the restore never reached.
    for (; n && sRun == n.name() && !Seen(n); n = NextElement(n)) {
        See(n);
        m_pReport->Stray(n, kStray);
    }
    if (pnUsed)
        *pnUsed = nUsed;
    return bAny ? S_OK : kXmlErrNoValue;
}

CKxDecoder::~CKxDecoder()
{
    m_ds.Close(true);
    KxFree(m_pSym);
}

HRESULT CKxDecoder::Open(const HopAddr& plc, const std::string& symbol)
{
    m_symbol = symbol;
    HRESULT hr = m_ds.Open(plc, 0, "", nullptr);
    if (SUCCEEDED(hr))
        hr = m_ds.ReadSymbolInfo(symbol.c_str(), &m_pSym);
    return hr;
}

bool CKxDecoder::NotStored() const
{
    return m_pSym && (IsPointer(FexSymbolTypeName(m_pSym)) || Exclude(m_pSym));
}

namespace {

class CCollect : public IKxWalkReport {
public:
    explicit CCollect(std::vector<KxDecodedValue>& values) : m_values(values) {}
    void Value(const KxLeaf& leaf) override { m_values.push_back({leaf.member, XMLGetText(leaf.pos), leaf.type}); }
    // A document the value walk made itself names every member.
    void Missing(const std::string&, const std::string&, uint64_t) override {}
    void Stray(pugi::xml_node, const std::string&) override {}

private:
    std::vector<KxDecodedValue>& m_values;
};

}  // namespace

HRESULT CKxDecoder::Decode(const std::vector<uint8_t>& image, std::vector<KxDecodedValue>& values)
{
    values.clear();
    if (!m_pSym)
        return kXmlErrInvalidState;
    if (image.size() < m_pSym->size)
        return kXmlErrInvalidSize;
    // Each image gets an element of its own: the document is the service's, made by its value walk.
    const std::string path = "/dataentry/v" + std::to_string(m_nImages++);
    HRESULT hr = m_ds.Write(XMLDS_MODE_CREATE, m_symbol.c_str(), path.c_str(), m_pSym->size, image.data(), 0, false);
    if (FAILED(hr))
        return hr;
    const pugi::xpath_node pos = m_ds.Document().select_node(path.c_str());
    if (!pos)
        return kXmlErrPathNotFound;
    CCollect collect(values);
    CKxTypedWalk walk(m_ds, false);
    return walk.Symbol(pos, m_pSym, m_symbol, collect);
}

std::string KxCheckText(const pugi::xpath_node& pos, const KxLeafType& t)
{
    const std::string raw = XMLGetText(pos);
    const std::string text = Trimmed(raw.c_str());
    uint32_t nConv = t.id;
    if (t.id == FEX_TYPE_BIGTYPE) {
        nConv = XmlSerializeBigTypeId(t.type.c_str());
        if (nConv == FEX_TYPE_INT16 && t.size != 2)
            nConv = 0;
    }
    if (XmlSerializeScalarWidth(nConv) > t.size && !t.bit)
        nConv = 0;
    const char* keeps = ": a restore keeps the PLC's value";
    const std::string typeName = t.type;

    // "#x" texts are read with a scan that stops at the first character that is no hexadecimal digit.
    const bool bHex = text.size() > 2 && text.compare(0, 2, "#x") == 0;
    auto hexTail = [&]() -> bool {
        return bHex && text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos;
    };
    auto hexFits = [&](unsigned bytes) -> bool {
        const size_t digits = text.size() - 2;
        const size_t lead = text.find_first_not_of('0', 2);
        return lead == std::string::npos || digits - (lead - 2) <= 2 * bytes;
    };
    auto noNumber = [&]() { return Quoted(raw) + " is no " + typeName + keeps; };
    auto ignoredTail = [&](const std::string& written) {
        return Quoted(raw) + " has characters after the number that are ignored: a restore writes " + written;
    };
    auto outOfRange = [&](const std::string& written) {
        return Quoted(raw) + " is out of range for " + typeName + ": a restore writes " + written;
    };

    switch (nConv) {
    case FEX_TYPE_INT8:
    case FEX_TYPE_INT16:
    case FEX_TYPE_INT32: {
        int32_t v = 0;
        if (FAILED(XMLGetLong(pos, v)))
            return noNumber();
        const unsigned bytes = XmlSerializeScalarWidth(nConv);
        if (hexTail())
            return ignoredTail(std::to_string(bytes == 1 ? int32_t(int8_t(v)) : bytes == 2 ? int32_t(int16_t(v)) : v));
        if (bHex && !hexFits(4))
            return outOfRange(std::to_string(v));
        if (bytes < 4) {
            const int64_t lo = bytes == 1 ? INT8_MIN : INT16_MIN, hi = bytes == 1 ? INT8_MAX : INT16_MAX;
            const bool fits = bHex ? hexFits(bytes) : (v >= lo && v <= hi);
            if (!fits)
                return outOfRange(std::to_string(bytes == 1 ? int32_t(int8_t(v)) : int32_t(int16_t(v))));
        }
        break;
    }
    case FEX_TYPE_UINT8:
    case FEX_TYPE_UINT16:
    case FEX_TYPE_UINT32: {
        uint32_t v = 0;
        if (FAILED(XMLGetULong(pos, v)))
            return noNumber();
        const unsigned bytes = XmlSerializeScalarWidth(nConv);
        if ((bytes == 1 && v >= 0x100) || (bytes == 2 && v >= 0x10000))
            return Quoted(raw) + " is out of range for " + typeName + keeps;
        if (hexTail())
            return ignoredTail(std::to_string(v));
        if (bHex && !hexFits(4))
            return outOfRange(std::to_string(v));
        break;
    }
    case FEX_TYPE_INT64:
    case FEX_TYPE_UINT64: {
        int64_t s = 0;
        uint64_t u = 0;
        const bool bSigned = nConv == FEX_TYPE_INT64;
        if (FAILED(bSigned ? XMLGetLongLong(pos, s) : XMLGetULongLong(pos, u)))
            return noNumber();
        const std::string written = bSigned ? std::to_string(s) : std::to_string(u);
        if (hexTail())
            return ignoredTail(written);
        if (bHex && !hexFits(8))
            return outOfRange(written);
        break;
    }
    case FEX_TYPE_REAL32:
    case FEX_TYPE_REAL64: {
        // The conversion takes the longest number at the start of the text and never fails.
        pugi::xml_document scratch;
        pugi::xml_node shown = scratch.append_child("v");
        if (nConv == FEX_TYPE_REAL32) {
            float f = 0;
            XMLGetFloat(pos, f);
            XMLSetFloat(pugi::xpath_node(shown), f);
        } else {
            double d = 0;
            XMLGetDouble(pos, d);
            XMLSetDouble(pugi::xpath_node(shown), d);
        }
        const std::string writes = std::string(": a restore writes ") + shown.text().get();
        errno = 0;
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (end == text.c_str())
            return Quoted(raw) + " holds no number" + writes;
        if (*end)
            return Quoted(raw) + " has characters after the number that are ignored" + writes;
        if ((errno == ERANGE && std::isinf(d)) ||
            (nConv == FEX_TYPE_REAL32 && std::isfinite(d) && std::fabs(d) > double(FLT_MAX)))
            return Quoted(raw) + " is out of range for " + typeName + writes;
        break;
    }
    case FEX_TYPE_BIT: {
        bool b = false;
        if (FAILED(XMLGetBoolean(pos, b)))
            return Quoted(raw) + " is neither true nor false (nor 1 or 0)" + keeps;
        break;
    }
    case FEX_TYPE_STRING: {
        if (t.size == 0)
            break;
        std::string field(t.size, '\0');
        if (FAILED(XMLGetStringImpl(pos, &field[0], field.size(), t.utf8)))
            return "holds no text before its first child" + std::string(keeps);
        field.resize(strnlen(field.data(), field.size()));
        const std::string back = t.utf8 ? field : Windows1252ToUtf8(field.data(), field.size());
        const std::string whole = t.utf8 ? raw : Utf8ToWindows1252(raw.data(), raw.size());
        const std::string textRead = CXmlDataServerSettings::m_bTrimStrings ? text : raw;
        if (back == textRead)
            break;
        if (whole.size() > field.size())
            return Quoted(raw) + " is longer than the " + std::to_string(t.size - 1) + " bytes of " + typeName +
                   ": a restore writes " + Quoted(back);
        return Quoted(raw) + " has characters that Windows-1252 cannot hold: a restore writes " + Quoted(back);
    }
    case FEX_TYPE_WSTRING: {
        if (t.size < 2)
            break;
        std::u16string units((t.size + 1) / 2, u'\0');
        if (FAILED(XMLGetStringImpl(pos, &units[0], t.size)))
            return "holds no text before its first child" + std::string(keeps);
        units.resize(std::find(units.begin(), units.end(), u'\0') - units.begin());
        const std::string back = Utf16ToUtf8(units.data(), units.size());
        if (back != (CXmlDataServerSettings::m_bTrimStrings ? text : raw))
            return Quoted(raw) + " is longer than the " + std::to_string(t.size / 2 - 1) + " characters of " +
                   typeName + ": a restore writes " + Quoted(back);
        break;
    }
    default:
        return "values of type " + typeName + " have no text form" + keeps;
    }
    return std::string();
}

namespace {

unsigned LineOf(const std::string& text, ptrdiff_t offset)
{
    if (offset < 0 || static_cast<size_t>(offset) > text.size())
        return 0;
    return 1 + static_cast<unsigned>(std::count(text.begin(), text.begin() + offset, '\n'));
}

class CCheck : public IKxWalkReport {
public:
    CCheck(const std::string& text, std::vector<KxProblem>& problems) : m_text(text), m_problems(problems) {}

    void Value(const KxLeaf& leaf) override
    {
        const std::string message = KxCheckText(leaf.pos, leaf.type);
        pugi::xml_node node = leaf.pos.node() ? leaf.pos.node() : leaf.pos.parent();
        if (!message.empty())
            m_problems.push_back({"value", Path(leaf.pos), leaf.member, Line(node), XMLGetText(leaf.pos), message});
        // A value has no members: elements inside it are never read.
        if (!leaf.pos.attribute())
            for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling())
                if (c.type() == pugi::node_element)
                    Stray(c, "lies inside a value: a restore passes over it");
    }
    void Missing(const std::string& member, const std::string& docPath, uint64_t count) override
    {
        m_problems.push_back({"missing", docPath, member, 0, "",
                              count > 1 ? "no elements a restore reads (" + std::to_string(count) +
                                              " expected): it keeps the PLC's values"
                                        : "no element a restore reads: it keeps the PLC's value"});
    }
    void Stray(pugi::xml_node node, const std::string& why) override
    {
        m_problems.push_back({"unknown", KxDocPath(node), "", Line(node), "", why});
    }

private:
    std::string Path(const pugi::xpath_node& pos) const
    {
        if (pos.attribute())
            return KxDocPath(pos.parent()) + "/@" + pos.attribute().name();
        return KxDocPath(pos.node());
    }
    unsigned Line(pugi::xml_node node) const { return LineOf(m_text, node.offset_debug()); }

    const std::string& m_text;
    std::vector<KxProblem>& m_problems;
};

}  // namespace

HRESULT KxCheckDocument(CXmlDataServer& ds, const std::string& sText, const std::string& sSymbol,
                        const std::string& sXmlPath, bool bIgnoreOrder, std::vector<KxProblem>& problems)
{
    problems.clear();
    pugi::xpath_node pos;
    try {
        pos = ds.Document().select_node(sXmlPath.c_str());
    } catch (const std::exception&) {
        pos = pugi::xpath_node();
    }
    FexSymbolEntry* pSym = nullptr;
    HRESULT hr = ds.ReadSymbolInfo(sSymbol.c_str(), &pSym);
    if (FAILED(hr))
        return hr;
    if (!pos) {
        KxFree(pSym);
        return kXmlErrPathNotFound;
    }
    CCheck check(sText, problems);
    CKxTypedWalk walk(ds, bIgnoreOrder);
    hr = walk.Symbol(pos, pSym, sSymbol, check);
    KxFree(pSym);
    return hr;
}
