// The walk that lays a symbol's memory image out as XML (and, in the read direction, takes it back):
// structures as one child element per member, arrays as runs of indexed sibling elements, primitive
// values as texts. Records come from the PLC: every member and value is checked against the image
// before it is touched.

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "FileTracer.h"
#include "KxAlloc.h"
#include "XmlDataServer.h"
#include "XmlValueConv.h"

namespace {

constexpr HRESULT kNotFound = XMLDS_E_INVALIDTYPE;            // tolerated by the walk
constexpr HRESULT kControlChar = static_cast<HRESULT>(0x98118007);
// Walk steps every symbol may take regardless of its size (plus 16 per image byte): bounds the work on
// records whose members overlap so that a small image would be visited an exponential number of times.
constexpr uint64_t kSerializeBudgetBase = 1u << 18;
constexpr uint64_t kSerializeBudgetPerByte = 32;

// Takes one step of the walk's budget; false when it is used up.
bool Spend(uint64_t& budget)
{
    if (budget == 0)
        return false;
    --budget;
    return true;
}

bool IsElementPos(const pugi::xpath_node& pos)
{
    return !pos.attribute() && pos.node() && pos.node().type() == pugi::node_element;
}

bool StartsWith(const char* s, const char* prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// ASCII case folding for member names; names are PLC identifiers.
char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualNoCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        if (UpperAscii(*a) != UpperAscii(*b))
            return false;
    }
    return *a == *b;
}

std::string UpperName(const char* s)
{
    std::string u(s);
    for (char& c : u)
        c = UpperAscii(c);
    return u;
}

bool ValidUtf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        if (c < 0x80)
            n = 0;
        else if ((c & 0xE0) == 0xC0)
            n = 1;
        else if ((c & 0xF0) == 0xE0)
            n = 2;
        else if ((c & 0xF8) == 0xF0)
            n = 3;
        else
            return false;
        if (n > s.size() - i - 1)
            return false;
        for (size_t k = 1; k <= n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += n + 1;
    }
    return true;
}

// Record comments are free text from the PLC, usually in its 8-bit code page: the document is UTF-8 and a
// comment must not carry characters that XML cannot hold.
std::string CommentText(const char* s)
{
    std::string text;
    for (; *s; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r')
            text.push_back(*s);
    }
    if (!ValidUtf8(text))
        text = Windows1252ToUtf8(text.data(), text.size());
    return text;
}

// Type id that an id-65 value is converted as, by its type name; 0 when it has no text form.
uint32_t BigTypeId(const char* s)
{
    struct Map {
        const char* name;
        uint32_t id;
        bool prefix;
    };
    static const Map kMap[] = {
        {"SINT", FEX_TYPE_INT8, false},         {"SINT(", FEX_TYPE_INT8, true},
        {"USINT", FEX_TYPE_UINT8, false},       {"BYTE", FEX_TYPE_UINT8, false},
        {"USINT(", FEX_TYPE_UINT8, true},       {"BYTE(", FEX_TYPE_UINT8, true},
        {"INT", FEX_TYPE_INT16, false},         {"INT(", FEX_TYPE_INT16, true},
        {"UINT", FEX_TYPE_UINT16, false},       {"WORD", FEX_TYPE_UINT16, false},
        {"UINT(", FEX_TYPE_UINT16, true},       {"WORD(", FEX_TYPE_UINT16, true},
        {"DINT", FEX_TYPE_INT32, false},        {"DINT(", FEX_TYPE_INT32, true},
        {"UDINT", FEX_TYPE_UINT32, false},      {"DWORD", FEX_TYPE_UINT32, false},
        {"UDINT(", FEX_TYPE_UINT32, true},      {"DWORD(", FEX_TYPE_UINT32, true},
        {"LINT", FEX_TYPE_INT64, false},        {"LINT(", FEX_TYPE_INT64, true},
        {"ULINT", FEX_TYPE_UINT64, false},      {"LWORD", FEX_TYPE_UINT64, false},
        {"LTIME", FEX_TYPE_UINT64, false},      {"ULINT(", FEX_TYPE_UINT64, true},
        {"LWORD(", FEX_TYPE_UINT64, true},      {"TIME", FEX_TYPE_UINT32, false},
        {"DATE", FEX_TYPE_UINT32, false},       {"TOD", FEX_TYPE_UINT32, false},
        {"TIME_OF_DAY", FEX_TYPE_UINT32, false}, {"DT", FEX_TYPE_UINT32, false},
        {"DATE_AND_TIME", FEX_TYPE_UINT32, false},
    };
    if (!s)
        return 0;
    for (const Map& m : kMap) {
        if (m.prefix ? StartsWith(s, m.name) : std::strcmp(s, m.name) == 0)
            return m.id;
    }
    return 0;
}

// Bytes an integer or floating point value of this id occupies; 0 for the other ids.
uint32_t ScalarWidth(uint32_t id)
{
    switch (id) {
    case FEX_TYPE_INT8:
    case FEX_TYPE_UINT8:
        return 1;
    case FEX_TYPE_INT16:
    case FEX_TYPE_UINT16:
        return 2;
    case FEX_TYPE_INT32:
    case FEX_TYPE_UINT32:
    case FEX_TYPE_REAL32:
        return 4;
    case FEX_TYPE_INT64:
    case FEX_TYPE_UINT64:
    case FEX_TYPE_REAL64:
        return 8;
    default:
        return 0;
    }
}

template <class T>
T LoadLE(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

// Also used by the read direction (XmlDeserialize.cpp).
uint32_t XmlSerializeBigTypeId(const char* sType) { return BigTypeId(sType); }
uint32_t XmlSerializeScalarWidth(uint32_t nId) { return ScalarWidth(nId); }

bool CXmlDataServer::ImageHolds(const BYTE* p, uint64_t cb) const
{
    if (!m_pSymbolInfo)
        return false;
    if (!m_pImage)
        return !p && cb == 0;
    if (p < m_pImage)
        return false;
    const uint64_t offset = static_cast<uint64_t>(p - m_pImage);
    return offset <= m_pSymbolInfo->size && cb <= m_pSymbolInfo->size - offset;
}

void CXmlDataServer::InsertComment(pugi::xml_node before, const char* sComment)
{
    if (!before || !sComment || !*sComment)
        return;
    pugi::xml_node parent = before.parent();
    if (!parent || (parent.type() != pugi::node_element && parent.type() != pugi::node_document))
        return;
    const std::string text = CommentText(sComment);
    if (text.empty())
        return;
    pugi::xml_node comment = parent.insert_child_before(pugi::node_comment, before);
    if (comment)
        comment.set_value(text.c_str());
}

HRESULT CXmlDataServer::SerializeSymbol(const pugi::xpath_node& pos)
{
    if (!m_pSymbolInfo || (!m_pImage && m_pSymbolInfo->size))
        return XMLDS_E_INVALIDCONTEXT;
    const bool bWrite = m_nDirection == 1;
    m_nSerializeDepth = 0;
    m_typeStack.clear();
    m_nSerializeBudget = kSerializeBudgetBase + kSerializeBudgetPerByte * m_pSymbolInfo->size;
    m_nBitPos = -1;

    HRESULT hr = S_OK;
    try {
        const FexSymbolEntry* pSym = m_pSymbolInfo;
        const char* sType = FexSymbolTypeName(pSym);
        m_bUtf8 = IsUtf8(pSym);
        if (IsPointer(sType) || Exclude(pSym)) {
            hr = S_OK;
        } else {
            if (bWrite && m_bSymbolComment && IsElementPos(pos))
                InsertComment(pos.node(), FexSymbolComment(pSym));
            if (IsPrimitive(sType, pSym->dataType)) {
                hr = SerializeValue(pos, sType, pSym->dataType, pSym->size);
            } else {
                FexDatatypeEntry* pType = nullptr;
                hr = ReadDatatypeInfo(sType, &pType);
                if (SUCCEEDED(hr) && !pType)
                    hr = kNotFound;
                if (SUCCEEDED(hr)) {
                    const char* sName = FexDatatypeName(pType);
                    if (bWrite && IsPrimitive(sName, pType->dataType)) {
                        hr = pType->size == pSym->size ? SerializeValue(pos, sName, pType->dataType, pType->size)
                                                       : kNotFound;
                    } else {
                        hr = Serialize(pos, pType, false, nullptr);
                    }
                }
            }
        }
    } catch (int) {
        // KxMemError: the image bookkeeping went wrong; the job ends with an error, the process goes on.
        CFileTracer::WriteLine0("Memory error! Where=\"%s\" Symbol=\"%s\"", s_szMemErr,
                                FexSymbolName(m_pSymbolInfo));
        hr = XMLDS_E_NOMEMORY;
    } catch (const std::exception& e) {
        CFileTracer::WriteLine0("Memory error! Where=\"%s\" Symbol=\"%s\"", e.what(), FexSymbolName(m_pSymbolInfo));
        hr = XMLDS_E_NOMEMORY;
    } catch (...) {
        hr = XMLDS_E_FAILED;
    }
    m_typeStack.clear();
    if (bWrite && SUCCEEDED(hr))
        m_bModified = true;
    return hr;
}

HRESULT CXmlDataServer::Serialize(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray,
                                  ULONG* pnCount)
{
    if (!pos.node() && !pos.attribute())
        return XMLDS_E_FAILED;
    if (pnCount)
        *pnCount = 1;
    if (!pType)
        return kNotFound;
    if (!Spend(m_nSerializeBudget))
        return XMLDS_E_FAILED;

    // A type cannot contain itself; a record claiming so would recurse without end.
    const char* sName = FexDatatypeName(pType);
    if (m_nSerializeDepth >= kMaxSerializeDepth)
        return kNotFound;
    if (*sName) {
        for (const char* s : m_typeStack) {
            if (std::strcmp(s, sName) == 0)
                return kNotFound;
        }
    }

    HRESULT hr = InitValue(pType->size);
    if (FAILED(hr))
        return hr;
    m_nBitPos = -1;
    if (m_nDirection == 1 && m_bTypeComment && IsElementPos(pos))
        InsertComment(pos.node(), FexDatatypeComment(pType));

    if (pType->subItems == 0 && pType->arrayDim == 0) {
        const char* sTypeName = FexDatatypeTypeName(pType);
        if (IsPointer(sName) || Exclude(pType)) {
            hr = KeepValue(pType->size);
            return FAILED(hr) ? hr : S_OK;
        }
        if (IsPrimitive(sName, pType->dataType))
            return SerializeValue(pos, sName, pType->dataType, pType->size);
        if (IsPrimitive(sTypeName, pType->dataType))
            return SerializeValue(pos, sTypeName, pType->dataType, pType->size);
        return S_OK;
    }

    ++m_nSerializeDepth;
    m_typeStack.push_back(sName);
    if (pType->subItems == 0)
        hr = SerializeArray(pos, pType, bInArray, pnCount);
    else
        hr = SerializeStruct(pos, pType);
    m_typeStack.pop_back();
    --m_nSerializeDepth;
    return hr;
}

HRESULT CXmlDataServer::SerializeStruct(const pugi::xpath_node& pos, const FexDatatypeEntry* pType)
{
    if (!IsElementPos(pos))
        return XMLDS_E_FAILED;
    const bool bWrite = m_nDirection == 1;
    const bool bCreate = bWrite && m_bCreateMissing;
    pugi::xml_node element = pos.node();

    std::vector<pugi::xml_node> children;
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling())
        children.push_back(c);
    if (children.empty() && !bCreate) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }

    BYTE* const pStart = m_pCursor;
    const uint32_t cbStart = m_cbRemaining;

    std::vector<const FexDatatypeEntry*> members;
    CFexSubItems items(pType);
    for (const FexDatatypeEntry* m = items.Next(); m; m = items.Next())
        members.push_back(m);

    std::vector<pugi::xml_node> slots;
    if (m_bIgnoreOrder && !members.empty()) {
        slots.resize(members.size());
        CHashTableString<int, CSyncNone> table(members.size());
        for (size_t i = 0; i < members.size(); ++i)
            table.Add(UpperName(FexDatatypeName(members[i])).c_str(), static_cast<int>(i));
        size_t filled = 0;
        for (size_t k = 0; k < children.size() && filled < members.size(); ++k) {
            int index = -1;
            if (children[k].type() != pugi::node_element ||
                !table.Lookup(UpperName(children[k].name()).c_str(), index))
                continue;
            if (index >= 0 && static_cast<size_t>(index) < slots.size() && !slots[index]) {
                slots[index] = children[k];
                ++filled;
            }
        }
    }

    size_t p = 0;
    bool bAny = false;
    for (size_t i = 0; i < members.size(); ++i) {
        const FexDatatypeEntry* m = members[i];
        if (!Spend(m_nSerializeBudget))
            return XMLDS_E_FAILED;
        // A passed-over member has neither an element nor bytes in the image.
        if (m->flags & FEX_DTFLAG_PASSOVER) {
            bAny = true;
            continue;
        }
        const char* sMember = FexDatatypeName(m);
        const char* sMemberType = FexDatatypeTypeName(m);
        m_bUtf8 = IsUtf8(m);

        if (m->flags & FEX_DTFLAG_BITVALUES) {
            if (uint64_t(cbStart) < (uint64_t(m->size) + m->offset + 7) / 8)
                return XMLDS_E_DEVICE;
            m_pCursor = pStart + m->offset / 8;
            m_cbRemaining = cbStart - m->offset / 8;
            m_nBitPos = static_cast<int>(m->offset % 8);
        } else {
            if (uint64_t(cbStart) < uint64_t(m->size) + m->offset)
                return XMLDS_E_DEVICE;
            m_pCursor = pStart + m->offset;
            m_cbRemaining = cbStart - m->offset;
            m_nBitPos = -1;
        }

        pugi::xml_node node;
        if (!m_bIgnoreOrder) {
            for (size_t k = p; k < children.size(); ++k) {
                if (children[k].type() == pugi::node_element && EqualNoCase(children[k].name(), sMember)) {
                    node = children[k];
                    p = k + 1;
                    break;
                }
            }
            if (!node && bCreate && *sMember) {
                node = p >= children.size() ? element.append_child(sMember)
                                            : element.insert_child_before(sMember, children[p]);
                if (!node)
                    return XMLDS_E_CREATENODE;
            }
        } else {
            node = slots[i];
            if (!node && bCreate && *sMember) {
                // Keep declaration order: before the nearest later member that has an element.
                pugi::xml_node before;
                for (size_t j = i + 1; j < slots.size() && !before; ++j)
                    before = slots[j];
                node = before ? element.insert_child_before(sMember, before) : element.append_child(sMember);
                if (!node)
                    return XMLDS_E_CREATENODE;
            }
        }
        if (!node) {
            const HRESULT hr = KeepValue(m->size);
            if (FAILED(hr))
                return hr;
            continue;
        }

        if (bWrite && m_bTypeComment)
            InsertComment(node, FexDatatypeComment(m));

        HRESULT hr;
        if (IsPointer(sMemberType) || Exclude(m)) {
            hr = KeepValue(m->size);
            if (SUCCEEDED(hr))
                bAny = true;
        } else if (IsPrimitive(sMemberType, m->dataType)) {
            hr = SerializeValue(pugi::xpath_node(node), sMemberType, m->dataType, m->size);
        } else {
            FexDatatypeEntry* pMemberType = nullptr;
            if (FAILED(ReadDatatypeInfo(sMemberType, &pMemberType)) || !pMemberType)
                continue;
            ULONG nUsed = 1;
            hr = Serialize(pugi::xpath_node(node), pMemberType, false, &nUsed);
            // An array member used a run of siblings: the next member is searched behind it.
            if (SUCCEEDED(hr) && nUsed > 1)
                p += nUsed - 1;
        }
        if (SUCCEEDED(hr))
            bAny = true;
        else if (hr != kNotFound)
            return hr;
    }
    return bAny ? S_OK : kNotFound;
}

HRESULT CXmlDataServer::SerializeArray(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray,
                                       ULONG* pnCount)
{
    if (!IsElementPos(pos))
        return XMLDS_E_FAILED;
    const bool bWrite = m_nDirection == 1;
    const bool bCreate = bWrite && m_bCreateMissing;
    const char* sElemType = FexDatatypeTypeName(pType);
    if (IsPointer(sElemType) || Exclude(pType)) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    const int nDims = pType->arrayDim;
    if (nDims > kMaxArrayDims)
        return kNotFound;

    FexDatatypeArrayInfo info[kMaxArrayDims];
    uint64_t nCount = 1;
    bool bEmpty = false;
    bool bHuge = false;
    for (int k = 0; k < nDims; ++k) {
        const FexDatatypeArrayInfo* pDim = FexDatatypeArrayDim(pType, static_cast<unsigned>(k));
        if (!pDim)
            return kNotFound;
        info[k].lowerBound = pDim->lowerBound;
        info[k].elements = pDim->elements;
        bEmpty = bEmpty || info[k].elements == 0;
        bHuge = bHuge || __builtin_mul_overflow(nCount, uint64_t(info[k].elements), &nCount);
    }
    // No element at all: nothing to lay out, and no element size to divide by.
    if (bEmpty) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    // More elements than bytes: an element would have no bytes of its own.
    if (bHuge || nCount > pType->size)
        return kNotFound;

    FexDatatypeEntry* pElem = nullptr;
    if (!IsPrimitive(sElemType, pType->dataType)) {
        const HRESULT hr = ReadDatatypeInfo(sElemType, &pElem);
        if (FAILED(hr))
            return hr;
        if (!pElem)
            return kNotFound;
    }
    const uint32_t cbElem = static_cast<uint32_t>(pType->size / nCount);
    if (m_cbRemaining < uint64_t(cbElem) * nCount)
        return XMLDS_E_FAILED;

    pugi::xml_node first;
    pugi::xml_node parent;
    if (!bInArray) {
        first = pos.node();
        parent = first.parent();
        if (!parent)
            return XMLDS_E_NOTFOUND;
    } else {
        parent = pos.node();
        // Comments written before the inner elements are not elements of the run.
        first = parent.first_child();
        while (first && first.type() != pugi::node_element)
            first = first.next_sibling();
        if (!first) {
            if (!bCreate)
                return kNotFound;
            first = parent.append_child(parent.name());
            if (!first)
                return XMLDS_E_CREATENODE;
        }
    }
    const std::string sRun = first.name();

    int32_t subs[kMaxArrayDims] = {};
    if (FAILED(ReadIndexAttribute(first, subs, nDims))) {
        if (!bCreate)
            return kNotFound;
        for (int k = 0; k < nDims; ++k)
            subs[k] = info[k].lowerBound;
        WriteIndexAttribute(first, subs, nDims);
    }

    std::vector<pugi::xml_node> slots;
    if (m_bIgnoreOrder) {
        slots.resize(static_cast<size_t>(nCount));
        for (pugi::xml_node c = parent.child(sRun.c_str()); c; c = c.next_sibling(sRun.c_str())) {
            int32_t s[kMaxArrayDims];
            uint64_t linear = 0;
            if (SUCCEEDED(ReadIndexAttribute(c, s, nDims)) && CalculateArrayElement(info, nDims, s, linear) &&
                linear < nCount && !slots[static_cast<size_t>(linear)])
                slots[static_cast<size_t>(linear)] = c;
        }
    }

    BYTE* const pStart = m_pCursor;
    const uint32_t cbStart = m_cbRemaining;
    ULONG nUsed = 0;
    bool bAny = false;

    auto place = [&](uint64_t i) {
        m_pCursor = pStart + i * cbElem;
        m_cbRemaining = static_cast<uint32_t>(cbStart - i * cbElem);
        m_nBitPos = -1;
    };
    auto put = [&](pugi::xml_node node) -> HRESULT {
        return pElem ? Serialize(pugi::xpath_node(node), pElem, true, nullptr)
                     : SerializeValue(pugi::xpath_node(node), sElemType, pType->dataType, cbElem);
    };
    // Folds the result of an element put into a node into the walk's: false when the walk must stop with hr.
    // Only such an element counts as found; one that keeps its bytes does not.
    auto fold = [&](HRESULT& hr) -> bool {
        if (SUCCEEDED(hr)) {
            bAny = true;
            return true;
        }
        return hr == kNotFound;
    };
    auto nextElement = [](pugi::xml_node n) {
        n = n.next_sibling();
        while (n && n.type() != pugi::node_element)
            n = n.next_sibling();
        return n;
    };

    pugi::xml_node n = first;
    uint64_t nComplete = nCount;  // first element of the completed rest; nCount: none
    for (uint64_t i = 0; i < nCount; ++i) {
        if (!Spend(m_nSerializeBudget))
            return XMLDS_E_FAILED;
        place(i);
        HRESULT hr = S_OK;
        if (m_bIgnoreOrder) {
            if (slots[static_cast<size_t>(i)]) {
                ++nUsed;
                hr = put(slots[static_cast<size_t>(i)]);
            } else if (bCreate) {
                pugi::xml_node after = n.next_sibling();
                pugi::xml_node node = after ? AddArrayNodeBefore(parent, after, sRun.c_str(), info, nDims, i)
                                            : AddArrayNode(parent, sRun.c_str(), info, nDims, i);
                if (!node)
                    return XMLDS_E_CREATENODE;
                n = node;
                hr = put(node);
            } else {
                hr = KeepValue(cbElem);
                if (FAILED(hr))
                    return hr;
                continue;
            }
            if (!fold(hr))
                return hr;
            continue;
        }

        if (!n) {
            nComplete = i;
            break;
        }
        bool bEnded = false;
        bool bPut = false;
        for (;;) {
            const int cmp = CheckArrayIndex(subs, info, nDims, i);
            if (cmp < 0) {
                // A stray or repeated element: pass over it while the run goes on.
                pugi::xml_node next = nextElement(n);
                if (next && sRun == next.name() && SUCCEEDED(ReadIndexAttribute(next, subs, nDims))) {
                    n = next;
                    continue;
                }
                n = next;
                nComplete = i;
                bEnded = true;
                break;
            }
            if (cmp > 0) {
                // Element i is missing from the run.
                if (bCreate) {
                    pugi::xml_node node = AddArrayNodeBefore(parent, n, sRun.c_str(), info, nDims, i);
                    if (!node)
                        return XMLDS_E_CREATENODE;
                    hr = put(node);
                    bPut = true;
                } else {
                    hr = KeepValue(cbElem);
                }
                break;
            }
            ++nUsed;
            hr = put(n);
            bPut = true;
            pugi::xml_node next = nextElement(n);
            const bool bRunGoesOn =
                hr != kNotFound && next && sRun == next.name() && SUCCEEDED(ReadIndexAttribute(next, subs, nDims));
            n = next;
            if (!bRunGoesOn && next) {
                nComplete = i + 1;
                bEnded = true;
            } else if (hr == kNotFound) {
                nComplete = i + 1;
                bEnded = true;
            }
            break;
        }
        if (bPut ? !fold(hr) : FAILED(hr))
            return hr;
        if (bEnded)
            break;
    }

    if (nComplete < nCount) {
        if (bCreate) {
            for (uint64_t j = nComplete; j < nCount; ++j) {
                place(j);
                pugi::xml_node node = n ? AddArrayNodeBefore(parent, n, sRun.c_str(), info, nDims, j)
                                        : AddArrayNode(parent, sRun.c_str(), info, nDims, j);
                if (!node)
                    return XMLDS_E_CREATENODE;
                HRESULT hr = put(node);
                if (!fold(hr))
                    return hr;
            }
        } else {
            place(nComplete);
            const HRESULT hr = KeepValue(static_cast<uint32_t>((nCount - nComplete) * cbElem));
            if (FAILED(hr))
                return hr;
        }
    }

    if (pnCount)
        *pnCount = nUsed;
    return bAny ? S_OK : kNotFound;
}

HRESULT CXmlDataServer::SerializeValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId,
                                       uint32_t nSize)
{
    if (!Spend(m_nSerializeBudget))
        return XMLDS_E_FAILED;
    return m_nDirection == 1 ? SetValue(pos, sType, nId, nSize) : GetValue(pos, sType, nId, nSize);
}

HRESULT CXmlDataServer::SetValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize)
{
    if (m_cbRemaining < nSize)
        return XMLDS_E_DEVICE;
    const bool bBitMode = m_nBitPos >= 0;
    if (nId == FEX_TYPE_BIT) {
        const bool bBit = sType && std::strcmp(sType, "BIT") == 0;
        if (bBit != bBitMode)
            return XMLDS_E_DEVICE;
    }
    // A value narrower than its type has no text form; the bytes read must lie inside the image.
    uint32_t nConv = nId == FEX_TYPE_BIGTYPE ? BigTypeId(sType) : nId;
    if (ScalarWidth(nConv) > nSize)
        nConv = 0;
    uint64_t cbRead = ScalarWidth(nConv);
    if (nConv == FEX_TYPE_STRING || nConv == FEX_TYPE_WSTRING)
        cbRead = nSize;
    else if (nConv == FEX_TYPE_BIT)
        cbRead = 1;
    if (!ImageHolds(m_pCursor, cbRead) || cbRead > m_cbRemaining)
        return XMLDS_E_DEVICE;

    const BYTE* p = m_pCursor;
    HRESULT hr;
    switch (nConv) {
    case FEX_TYPE_INT8:
        hr = XMLSetLong(pos, LoadLE<int8_t>(p));
        break;
    case FEX_TYPE_INT16:
        hr = XMLSetLong(pos, LoadLE<int16_t>(p));
        break;
    case FEX_TYPE_INT32:
        hr = XMLSetLong(pos, LoadLE<int32_t>(p));
        break;
    case FEX_TYPE_UINT8:
        hr = XMLSetULong(pos, LoadLE<uint8_t>(p));
        break;
    case FEX_TYPE_UINT16:
        hr = XMLSetULong(pos, LoadLE<uint16_t>(p));
        break;
    case FEX_TYPE_UINT32:
        hr = XMLSetULong(pos, LoadLE<uint32_t>(p));
        break;
    case FEX_TYPE_INT64:
        hr = XMLSetLongLong(pos, LoadLE<int64_t>(p));
        break;
    case FEX_TYPE_UINT64:
        hr = XMLSetULongLong(pos, LoadLE<uint64_t>(p));
        break;
    case FEX_TYPE_REAL32:
        hr = XMLSetFloat(pos, LoadLE<float>(p));
        break;
    case FEX_TYPE_REAL64:
        hr = XMLSetDouble(pos, LoadLE<double>(p));
        break;
    case FEX_TYPE_STRING: {
        // Every character that would be written is checked, up to the field's end when it has no 0.
        const size_t n = strnlen(reinterpret_cast<const char*>(p), nSize);
        hr = S_OK;
        for (size_t k = 0; k < n; ++k) {
            if (p[k] < 0x20 && p[k] != '\t' && p[k] != '\n' && p[k] != '\r')
                hr = kControlChar;
        }
        if (SUCCEEDED(hr))
            hr = XMLSetString(pos, reinterpret_cast<const char*>(p), nSize, m_bUtf8);
        break;
    }
    case FEX_TYPE_WSTRING: {
        // The field may lie at any address: the units are copied out before they are read as char16_t.
        std::u16string units(nSize / 2, u'\0');
        std::memcpy(&units[0], p, units.size() * 2);
        hr = S_OK;
        for (char16_t u : units) {
            if (u == 0)
                break;
            if (u < 0x20 && u != '\t' && u != '\n' && u != '\r')
                hr = kControlChar;
        }
        if (SUCCEEDED(hr))
            hr = XMLSetString(pos, units.data(), units.size() * 2);
        break;
    }
    case FEX_TYPE_BIT:
        if (bBitMode)
            hr = XMLSetBoolean(pos, (*p >> m_nBitPos) & 1, true);
        else
            hr = XMLSetBoolean(pos, *p != 0, m_bNumericBool);
        break;
    default:
        hr = kNotFound;
        break;
    }

    const uint32_t cbAdvance = bBitMode ? nSize / 8 : nSize;
    m_pCursor += cbAdvance;
    m_cbRemaining -= cbAdvance;
    return hr;
}
