// The walk that lays a symbol's memory image out as XML (and, in the read direction, takes it back):
// structures as one child element per member, arrays as runs of indexed sibling elements, primitive
// values as texts. Records come from the PLC: every member and value is checked against the image
// before it is touched.

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "FileTracer.h"
#include "KxAlloc.h"
#include "XmlDataServer.h"
#include "XmlValueConv.h"

// The steps of one structure member, each called from one place: inlined whatever the optimisation level, as
// the walk runs them for every element of a large array.
#if defined(__GNUC__)
#define KX_WALK_INLINE inline __attribute__((always_inline))
#else
#define KX_WALK_INLINE inline
#endif

namespace {

constexpr HRESULT kNotFound = kXmlErrNoValue;  // tolerated by the walk
// Walk steps every symbol may take regardless of its size (plus 16 per image byte): bounds the work on
// records whose members overlap so that a small image would be visited an exponential number of times.
constexpr uint64_t kSerializeBudgetBase = 1u << 18;
constexpr uint64_t kSerializeBudgetPerByte = 32;
// Nodes of the walk's scratch stack kept from one symbol to the next; a larger stack is given back.
constexpr size_t kKeepWalkNodes = 4096;

// Takes one step of the walk's budget; false when it is used up.
KX_WALK_INLINE bool Spend(uint64_t& budget)
{
    if (budget == 0)
        return false;
    --budget;
    return true;
}

bool IsElementPos(const pugi::xpath_node& pos)
{
    return !pos.attribute() && pos.node().type() == pugi::node_element;
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

// The data type ids of numbers, which GetMemberValue converts.
bool IsNumberId(uint32_t id)
{
    switch (id) {
    case FEX_TYPE_INT8:
    case FEX_TYPE_INT16:
    case FEX_TYPE_INT32:
    case FEX_TYPE_UINT8:
    case FEX_TYPE_UINT16:
    case FEX_TYPE_UINT32:
    case FEX_TYPE_INT64:
    case FEX_TYPE_UINT64:
    case FEX_TYPE_REAL32:
    case FEX_TYPE_REAL64:
        return true;
    default:
        return false;
    }
}

KX_WALK_INLINE bool EqualNoCase(const char* a, const char* b)
{
    // Documents mostly spell member names as declared.
    if (std::strcmp(a, b) == 0)
        return true;
    for (;; ++a, ++b) {
        if (*a != *b) {
            if (UpperAscii(*a) != UpperAscii(*b))
                return false;
        } else if (!*a) {
            return true;
        }
    }
}

// s upper-cased into the reused buffer out.
const char* UpperName(const char* s, std::string& out)
{
    out.assign(s);
    for (char& c : out)
        c = UpperAscii(c);
    return out.c_str();
}

pugi::xml_node NextElement(pugi::xml_node n)
{
    for (;;) {
        n = n.next_sibling();
        const pugi::xml_node_type type = n.type();
        if (type == pugi::node_element || type == pugi::node_null)
            return n;
    }
}

// Gives back, when the walk of a structure or array returns, the frame it pushed onto the node stack.
class WalkFrame {
public:
    explicit WalkFrame(std::vector<pugi::xml_node>& stack) : m_stack(stack), m_base(stack.size()) {}
    ~WalkFrame() { m_stack.resize(m_base); }
    WalkFrame(const WalkFrame&) = delete;
    WalkFrame& operator=(const WalkFrame&) = delete;

private:
    std::vector<pugi::xml_node>& m_stack;
    size_t m_base;
};

// Subscripts of the array element being walked, stepped one element at a time (last dimension fastest), so
// that the walk neither divides nor formats per element.
class CSubscriptCounter {
public:
    void Reset(const FexDatatypeArrayInfo* pInfo, int nDims)
    {
        m_pInfo = pInfo;
        m_nDims = nDims;
        for (int k = 0; k < nDims; ++k) {
            m_digits[k] = 0;
            m_subs[k] = pInfo[k].lowerBound;
        }
    }
    void Next()
    {
        for (int k = m_nDims - 1; k >= 0; --k) {
            if (++m_digits[k] < m_pInfo[k].elements) {
                m_subs[k] = static_cast<int32_t>(int64_t(m_pInfo[k].lowerBound) + m_digits[k]);
                return;
            }
            m_digits[k] = 0;
            m_subs[k] = m_pInfo[k].lowerBound;
        }
    }
    // -1, 0 or +1 as pSubs come before, at or after the current element (the first dimension decides).
    int Compare(const int32_t* pSubs) const
    {
        for (int k = 0; k < m_nDims; ++k) {
            if (pSubs[k] != m_subs[k])
                return pSubs[k] < m_subs[k] ? -1 : 1;
        }
        return 0;
    }
    const int32_t* Subscripts() const { return m_subs; }

private:
    const FexDatatypeArrayInfo* m_pInfo = nullptr;
    int m_nDims = 0;
    uint32_t m_digits[CXmlDataServer::kMaxArrayDims] = {};
    int32_t m_subs[CXmlDataServer::kMaxArrayDims] = {};
};

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

// The choices of a converter, for the kxxml tool, which makes the same ones.
uint32_t XmlSerializeBigTypeId(const char* sType) { return BigTypeId(sType); }
uint32_t XmlSerializeScalarWidth(uint32_t nId) { return ScalarWidth(nId); }

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
        return kXmlErrInvalidState;
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
        hr = kXmlErrNoMemory;
    } catch (const std::exception& e) {
        CFileTracer::WriteLine0("Memory error! Where=\"%s\" Symbol=\"%s\"", e.what(), FexSymbolName(m_pSymbolInfo));
        hr = kXmlErrNoMemory;
    } catch (...) {
        hr = kXmlErrFailed;
    }
    m_typeStack.clear();
    m_walkNodes.clear();
    if (m_walkNodes.capacity() > kKeepWalkNodes)
        std::vector<pugi::xml_node>().swap(m_walkNodes);
    if (bWrite && SUCCEEDED(hr))
        m_bModified = true;
    return hr;
}

HRESULT CXmlDataServer::Serialize(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray,
                                  ULONG* pnCount)
{
    if (!pos.node() && !pos.attribute())
        return kXmlErrFailed;
    if (IsElementPos(pos))
        return SerializeElement(pos.node(), pType, bInArray, pnCount);
    if (pnCount)
        *pnCount = 1;
    const HRESULT hr = EnterRecord(pType);
    if (FAILED(hr))
        return hr;
    if (pType->subItems == 0 && pType->arrayDim == 0)
        return SerializeSimple(pos, pType);
    // The members of a structure and the elements of an array are elements below an element.
    return kXmlErrFailed;
}

// The checks before a record is walked and its pre-read: 0 to go on, otherwise the result of the walk.
KX_WALK_INLINE HRESULT CXmlDataServer::EnterRecord(const FexDatatypeEntry* pType)
{
    if (!pType)
        return kNotFound;
    if (!Spend(m_nSerializeBudget))
        return kXmlErrFailed;

    // A type cannot contain itself; a record claiming so would recurse without end.
    const char* sName = FexDatatypeName(pType);
    if (m_nSerializeDepth >= kMaxSerializeDepth)
        return kNotFound;
    if (*sName) {
        for (const char* s : m_typeStack) {
            if (s[0] == sName[0] && std::strcmp(s, sName) == 0)
                return kNotFound;
        }
    }
    const HRESULT hr = InitValue(pType->size);
    if (FAILED(hr))
        return hr;
    m_nBitPos = -1;
    return S_OK;
}

HRESULT CXmlDataServer::SerializeElement(pugi::xml_node element, const FexDatatypeEntry* pType, bool bInArray,
                                         ULONG* pnCount)
{
    if (pnCount)
        *pnCount = 1;
    HRESULT hr = EnterRecord(pType);
    if (FAILED(hr))
        return hr;
    if (m_nDirection == 1 && m_bTypeComment)
        InsertComment(element, FexDatatypeComment(pType));
    if (pType->subItems == 0 && pType->arrayDim == 0)
        return SerializeSimple(element, pType);

    ++m_nSerializeDepth;
    m_typeStack.push_back(FexDatatypeName(pType));
    if (pType->subItems == 0)
        hr = SerializeArray(element, pType, bInArray, pnCount);
    else
        hr = SerializeStruct(element, pType);
    m_typeStack.pop_back();
    --m_nSerializeDepth;
    return hr;
}

// A record without members and dimensions: an alias or enumeration reaches its base type by the type name.
template <class Pos>
HRESULT CXmlDataServer::SerializeSimple(const Pos& pos, const FexDatatypeEntry* pType)
{
    const char* sName = FexDatatypeName(pType);
    if (IsPointer(sName) || Exclude(pType)) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    if (IsPrimitive(sName, pType->dataType))
        return SerializeValueAt(pos, ValueKind(sName, pType->dataType, pType->size), pType->size);
    const char* sTypeName = FexDatatypeTypeName(pType);
    if (IsPrimitive(sTypeName, pType->dataType))
        return SerializeValueAt(pos, ValueKind(sTypeName, pType->dataType, pType->size), pType->size);
    return S_OK;
}

// Structures

struct CXmlDataServer::StructWalk {
    XmlMemberTable* table = nullptr;
    pugi::xml_node element;  // the structure's element
    size_t c0 = 0;           // the element's child nodes C are m_walkNodes[c0 .. c0 + nChildren)
    size_t nChildren = 0;
    size_t s0 = 0;           // ignore order: the node of member i is m_walkNodes[s0 + i]
    size_t p = 0;            // in order: C is searched from here on
    bool bLazy = false;      // reading, the walk does not change the document: C is not listed (unless
    pugi::xml_node next;     // ignore order meets it out of order), the siblings are searched from here
    bool bCreate = false;    // writing with create missing
    BYTE* pStart = nullptr;  // the structure's first byte
    uint32_t cbStart = 0;    // image bytes from there on
    bool bAny = false;       // a member was found
};

XmlMemberTable& CXmlDataServer::MemberTable(const FexDatatypeEntry* pType)
{
    // The elements of an array of structures ask for the same table one after the other.
    if (pType == m_pLastTableType)
        return *m_pLastTable;
    auto it = m_memberTables.find(pType);
    if (it != m_memberTables.end()) {
        m_pLastTableType = pType;
        m_pLastTable = it->second.get();
        return *m_pLastTable;
    }
    auto table = std::make_unique<XmlMemberTable>();
    CFexSubItems items(pType);
    for (const FexDatatypeEntry* m = items.Next(); m; m = items.Next()) {
        XmlMemberInfo info;
        info.entry = m;
        info.name = FexDatatypeName(m);
        info.typeName = FexDatatypeTypeName(m);
        info.passOver = (m->flags & FEX_DTFLAG_PASSOVER) != 0;
        info.bits = (m->flags & FEX_DTFLAG_BITVALUES) != 0;
        info.utf8 = IsUtf8(m);
        info.noValue = IsPointer(info.typeName) || Exclude(m);
        info.primitive = IsPrimitive(info.typeName, m->dataType);
        if (info.primitive) {
            info.kind = ValueKind(info.typeName, m->dataType, m->size);
            const uint32_t read = info.kind.read;
            info.direct = !info.bits && !info.noValue &&
                          (IsNumberId(read) || (read == FEX_TYPE_BIT && !info.kind.bitName) ||
                           (read == FEX_TYPE_STRING && m->size > 0));
        }
        table->members.push_back(info);
    }
    XmlMemberTable& result = *table;
    m_memberTables.emplace(pType, std::move(table));
    m_pLastTableType = pType;
    m_pLastTable = &result;
    return result;
}

void CXmlDataServer::MakeNameIndex(XmlMemberTable& table)
{
    if (table.byName)
        return;
    const size_t nMembers = table.members.size();
    table.byName = std::make_unique<CHashTableString<int, CSyncNone>>(nMembers);
    // A member whose name is added is the one every lookup of that name finds.
    for (size_t i = 0; i < nMembers; ++i)
        table.members[i].firstOfName =
            table.byName->Add(UpperName(table.members[i].name, m_sUpperName), static_cast<int>(i));
}

// The member a child element's name belongs to (ignoring case), or -1.
int CXmlDataServer::MemberOfName(const XmlMemberTable& table, const char* sName)
{
    int index = -1;
    if (!table.byName->Lookup(UpperName(sName, m_sUpperName), index) || index < 0 ||
        static_cast<size_t>(index) >= table.members.size())
        return -1;
    return index;
}

// Ignore order: every member takes the first element of its name (ignoring case) among the children.
void CXmlDataServer::FillMemberSlots(StructWalk& w)
{
    XmlMemberTable& table = *w.table;
    const size_t nMembers = table.members.size();
    size_t filled = 0;
    size_t guess = 0;  // documents mostly follow the declaration order: try the member after the last match
    for (size_t k = 0; k < w.nChildren && filled < nMembers; ++k) {
        const pugi::xml_node child = m_walkNodes[w.c0 + k];
        if (child.type() != pugi::node_element)
            continue;
        int index = -1;
        const char* sName = child.name();
        if (guess < nMembers && table.members[guess].firstOfName && EqualNoCase(sName, table.members[guess].name))
            index = static_cast<int>(guess);
        else if ((index = MemberOfName(table, sName)) < 0)
            continue;
        guess = static_cast<size_t>(index) + 1;
        if (!m_walkNodes[w.s0 + index]) {
            m_walkNodes[w.s0 + index] = child;
            ++filled;
        }
    }
}

// Puts the cursor on member m; 0x98110700 when the member lies beyond the structure's bytes.
KX_WALK_INLINE HRESULT CXmlDataServer::PlaceMember(const StructWalk& w, const FexDatatypeEntry* m)
{
    if (m->flags & FEX_DTFLAG_BITVALUES) {
        if (uint64_t(w.cbStart) < (uint64_t(m->size) + m->offset + 7) / 8)
            return kXmlErrGeneral;
        m_pCursor = w.pStart + m->offset / 8;
        m_cbRemaining = w.cbStart - m->offset / 8;
        m_nBitPos = static_cast<int>(m->offset % 8);
    } else {
        if (uint64_t(w.cbStart) < uint64_t(m->size) + m->offset)
            return kXmlErrGeneral;
        m_pCursor = w.pStart + m->offset;
        m_cbRemaining = w.cbStart - m->offset;
        m_nBitPos = -1;
    }
    return S_OK;
}

// Leaves the lazy search: the children listed as this structure's frame, then the member slots.
void CXmlDataServer::ListMemberSlots(StructWalk& w)
{
    w.bLazy = false;
    m_walkNodes.resize(w.c0);
    for (pugi::xml_node child = w.element.first_child(); child; child = child.next_sibling())
        m_walkNodes.push_back(child);
    w.nChildren = m_walkNodes.size() - w.c0;
    w.s0 = m_walkNodes.size();
    m_walkNodes.resize(w.s0 + w.table->members.size());
    FillMemberSlots(w);
}

// The member's node: S_OK with node set, S_FALSE when it has none, or the error of a node not created.
KX_WALK_INLINE HRESULT CXmlDataServer::MemberNode(StructWalk& w, size_t i, pugi::xml_node& node)
{
    const XmlMemberInfo& member = w.table->members[i];
    const char* sMember = member.name;
    if (w.bLazy) {
        // With ignore order a later member of a name already taken never has an element.
        if (m_bIgnoreOrder && !member.firstOfName)
            return S_FALSE;
        // type() also tells the end of the siblings: every call into the parser counts on long runs.
        pugi::xml_node_type type;
        pugi::xml_node child = w.next;
        for (; (type = child.type()) != pugi::node_null; child = child.next_sibling()) {
            if (type != pugi::node_element)
                continue;
            const char* sName = child.name();
            if (EqualNoCase(sName, sMember)) {
                node = child;
                w.next = child.next_sibling();
                return S_OK;
            }
            // Ignore order: what the search passes over has matched an earlier member or matches none, so the
            // element found is the first of its name; an element of a later member means the document is out
            // of order.
            if (m_bIgnoreOrder && MemberOfName(*w.table, sName) > static_cast<int>(i))
                break;
        }
        if (type == pugi::node_null)
            return S_FALSE;
        ListMemberSlots(w);
    }
    if (!m_bIgnoreOrder) {
        for (size_t k = w.p; k < w.nChildren; ++k) {
            const pugi::xml_node& child = m_walkNodes[w.c0 + k];
            if (EqualNoCase(child.name(), sMember) && child.type() == pugi::node_element) {
                node = child;
                w.p = k + 1;
                return S_OK;
            }
        }
        if (!w.bCreate || !*sMember)
            return S_FALSE;
        node = w.p >= w.nChildren ? w.element.append_child(sMember)
                                  : w.element.insert_child_before(sMember, m_walkNodes[w.c0 + w.p]);
        return node ? S_OK : kXmlErrCreateNode;
    }
    node = m_walkNodes[w.s0 + i];
    if (node)
        return S_OK;
    if (!w.bCreate || !*sMember)
        return S_FALSE;
    // Keep declaration order: before the nearest later member that has an element.
    pugi::xml_node before;
    for (size_t j = i + 1; j < w.table->members.size() && !before; ++j)
        before = m_walkNodes[w.s0 + j];
    node = before ? w.element.insert_child_before(sMember, before) : w.element.append_child(sMember);
    return node ? S_OK : kXmlErrCreateNode;
}

// Nothing to check: the member's bytes lie in the image (PlaceMember), and a BOOL is read in byte mode. The
// member's node is an element (MemberNode), whose text XMLGetText would take from child_value().
KX_WALK_INLINE HRESULT CXmlDataServer::GetMemberValue(pugi::xml_node element, const XmlValueKind& kind, uint32_t nSize)
{
    BYTE* p = m_pCursor;
    bool bConverted;
    if (kind.read == FEX_TYPE_STRING) {
        bConverted = SUCCEEDED(XMLGetStringImpl(element, reinterpret_cast<char*>(p), nSize, m_bUtf8));
    } else if (kind.read == FEX_TYPE_BIT) {
        bool v = false;
        bConverted = SUCCEEDED(XMLTextToBoolean(element.child_value(), v));
        if (bConverted)
            *p = v ? 1 : 0;
    } else {
        bConverted = XMLTextToNumber(element.child_value(), kind.read, p);
    }
    if (!bConverted)
        return KeepValue(nSize);
    NoteKnown(p, kind.cbRead);
    m_pCursor += nSize;
    m_cbRemaining -= nSize;
    return S_OK;
}

// The member's value at its node; 0x98118003 (tolerated) when nothing of it was found.
KX_WALK_INLINE HRESULT CXmlDataServer::MemberValue(StructWalk& w, XmlMemberInfo& member, pugi::xml_node node)
{
    const FexDatatypeEntry* m = member.entry;
    if (member.noValue) {
        const HRESULT hr = KeepValue(m->size);
        if (SUCCEEDED(hr))
            w.bAny = true;
        return hr;
    }
    if (member.direct && m_nDirection != 1)
        return Spend(m_nSerializeBudget) ? GetMemberValue(node, member.kind, m->size) : kXmlErrFailed;
    if (member.primitive)
        return SerializeValueAt(node, member.kind, m->size);
    if (!member.type) {
        // A type that cannot be uploaded passes the member over; the next element asks again.
        FexDatatypeEntry* pType = nullptr;
        if (FAILED(ReadDatatypeInfo(member.typeName, &pType)) || !pType)
            return kNotFound;
        member.type = pType;
    }
    ULONG nUsed = 1;
    const HRESULT hr = SerializeElement(node, member.type, false, &nUsed);
    // An array member used a run of siblings: the next member is searched behind it. (Ignore order passes
    // over the rest of the run by its name.)
    if (SUCCEEDED(hr) && nUsed > 1 && !m_bIgnoreOrder) {
        w.p += nUsed - 1;
        for (ULONG k = 1; k < nUsed && w.next; ++k)
            w.next = w.next.next_sibling();
    }
    return hr;
}

HRESULT CXmlDataServer::SerializeStruct(pugi::xml_node element, const FexDatatypeEntry* pType)
{
    StructWalk w;
    w.element = element;
    w.bCreate = m_nDirection == 1 && m_bCreateMissing;
    pugi::xml_node child = element.first_child();
    if (!child && !w.bCreate) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    w.table = &MemberTable(pType);
    const size_t nMembers = w.table->members.size();

    // The child list, and with ignore order the member slots, as this structure's frame of the node stack.
    // Reading, nothing is inserted among the children: they are searched where they stand.
    const WalkFrame frame(m_walkNodes);
    w.c0 = m_walkNodes.size();
    w.bLazy = m_nDirection != 1;
    if (m_bIgnoreOrder)
        MakeNameIndex(*w.table);
    if (w.bLazy) {
        w.next = child;
    } else {
        for (; child; child = child.next_sibling())
            m_walkNodes.push_back(child);
    }
    w.nChildren = m_walkNodes.size() - w.c0;
    w.s0 = m_walkNodes.size();
    if (m_bIgnoreOrder && !w.bLazy && nMembers > 0) {
        m_walkNodes.resize(w.s0 + nMembers);
        FillMemberSlots(w);
    }
    w.pStart = m_pCursor;
    w.cbStart = m_cbRemaining;

    pugi::xml_node node;
    for (size_t i = 0; i < nMembers; ++i) {
        XmlMemberInfo& member = w.table->members[i];
        if (!Spend(m_nSerializeBudget))
            return kXmlErrFailed;
        // A passed-over member has neither an element nor bytes in the image.
        if (member.passOver) {
            w.bAny = true;
            continue;
        }
        m_bUtf8 = member.utf8;
        HRESULT hr = PlaceMember(w, member.entry);
        if (FAILED(hr))
            return hr;
        hr = MemberNode(w, i, node);
        if (FAILED(hr))
            return hr;
        if (hr == S_FALSE) {
            hr = KeepValue(member.entry->size);
            if (FAILED(hr))
                return hr;
            continue;
        }
        if (m_nDirection == 1 && m_bTypeComment)
            InsertComment(node, FexDatatypeComment(member.entry));
        hr = MemberValue(w, member, node);
        if (SUCCEEDED(hr))
            w.bAny = true;
        else if (hr != kNotFound)
            return hr;
    }
    return w.bAny ? S_OK : kNotFound;
}

// Arrays

struct CXmlDataServer::ArrayWalk {
    FexDatatypeArrayInfo info[kMaxArrayDims];
    int nDims = 0;
    uint64_t nCount = 0;                    // elements
    uint32_t cbElem = 0;                    // bytes of one element
    const char* sElemType = "";             // the element type's name
    uint32_t nElemId = 0;                   // the array record's data type id
    const FexDatatypeEntry* pElem = nullptr;  // record of an element type that is no primitive
    XmlValueKind kind;                      // otherwise the conversion of the primitive elements
    pugi::xml_node parent;                  // P
    pugi::xml_node first;                   // F
    const char* sRun = "";                  // F's name: the name of every element of the run
    int32_t subs[kMaxArrayDims] = {};       // subscripts of the node last read
    CSubscriptCounter counter;              // subscripts of the element being walked
    bool bCreate = false;                   // writing with create missing
    BYTE* pStart = nullptr;                 // the array's first byte
    uint32_t cbStart = 0;                   // image bytes from there on
    ULONG nUsed = 0;                        // document nodes used
    bool bAny = false;                      // an element put into a node was found

    // True when n, the node after the last one used, continues the run: same name and a readable index
    // (which becomes the subscripts last read).
    bool RunGoesOn(const CXmlDataServer& srv, pugi::xml_node n)
    {
        return std::strcmp(sRun, n.name()) == 0 && SUCCEEDED(srv.ReadIndexAttribute(n, subs, nDims));
    }
};

// Dimensions, element count and element record. A result of 1 means there is nothing to lay out: the
// array's bytes are kept.
HRESULT CXmlDataServer::ArrayShape(const FexDatatypeEntry* pType, ArrayWalk& a)
{
    a.nDims = pType->arrayDim;
    if (a.nDims > kMaxArrayDims)
        return kNotFound;
    a.nCount = 1;
    bool bEmpty = false;
    bool bHuge = false;
    for (int k = 0; k < a.nDims; ++k) {
        const FexDatatypeArrayInfo* pDim = FexDatatypeArrayDim(pType, static_cast<unsigned>(k));
        if (!pDim)
            return kNotFound;
        a.info[k].lowerBound = pDim->lowerBound;
        a.info[k].elements = pDim->elements;
        bEmpty = bEmpty || a.info[k].elements == 0;
        bHuge = bHuge || __builtin_mul_overflow(a.nCount, uint64_t(a.info[k].elements), &a.nCount);
    }
    // No element at all: nothing to lay out, and no element size to divide by.
    if (bEmpty)
        return S_FALSE;
    // More elements than bytes: an element would have no bytes of its own.
    if (bHuge || a.nCount > pType->size)
        return kNotFound;

    a.sElemType = FexDatatypeTypeName(pType);
    a.nElemId = pType->dataType;
    if (!IsPrimitive(a.sElemType, a.nElemId)) {
        FexDatatypeEntry* pElem = nullptr;
        const HRESULT hr = ReadDatatypeInfo(a.sElemType, &pElem);
        if (FAILED(hr))
            return hr;
        if (!pElem)
            return kNotFound;
        a.pElem = pElem;
    }
    a.cbElem = static_cast<uint32_t>(pType->size / a.nCount);
    if (m_cbRemaining < uint64_t(a.cbElem) * a.nCount)
        return kXmlErrFailed;
    if (!a.pElem)
        a.kind = ValueKind(a.sElemType, a.nElemId, a.cbElem);
    return S_OK;
}

// The first element node F of the run and its parent P.
HRESULT CXmlDataServer::ArrayFirstNode(pugi::xml_node element, bool bInArray, ArrayWalk& a)
{
    if (!bInArray) {
        a.first = element;
        a.parent = a.first.parent();
        return a.parent ? S_OK : kXmlErrNoNode;
    }
    a.parent = element;
    // Comments written before the inner elements are not elements of the run.
    a.first = a.parent.first_child();
    while (a.first && a.first.type() != pugi::node_element)
        a.first = a.first.next_sibling();
    if (a.first)
        return S_OK;
    if (!a.bCreate)
        return kNotFound;
    a.first = a.parent.append_child(a.parent.name());
    return a.first ? S_OK : kXmlErrCreateNode;
}

HRESULT CXmlDataServer::SerializeArray(pugi::xml_node element, const FexDatatypeEntry* pType, bool bInArray,
                                       ULONG* pnCount)
{
    ArrayWalk a;
    a.bCreate = m_nDirection == 1 && m_bCreateMissing;
    if (IsPointer(FexDatatypeTypeName(pType)) || Exclude(pType)) {
        const HRESULT hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    HRESULT hr = ArrayShape(pType, a);
    if (hr == S_FALSE) {
        hr = KeepValue(pType->size);
        return FAILED(hr) ? hr : S_OK;
    }
    if (FAILED(hr))
        return hr;
    hr = ArrayFirstNode(element, bInArray, a);
    if (FAILED(hr))
        return hr;
    a.sRun = a.first.name();
    if (FAILED(ReadIndexAttribute(a.first, a.subs, a.nDims))) {
        if (!a.bCreate)
            return kNotFound;
        for (int k = 0; k < a.nDims; ++k)
            a.subs[k] = a.info[k].lowerBound;
        WriteIndexAttribute(a.first, a.subs, a.nDims);
    }
    a.pStart = m_pCursor;
    a.cbStart = m_cbRemaining;
    a.counter.Reset(a.info, a.nDims);
    hr = m_bIgnoreOrder ? SerializeArrayIgnoreOrder(a) : SerializeArrayInOrder(a);
    if (FAILED(hr))
        return hr;
    if (pnCount)
        *pnCount = a.nUsed;
    return a.bAny ? S_OK : kNotFound;
}

// Puts element i into node (bElement: an element, as every node of the run is; a node matched by name alone
// may be another kind): 0, 0x98118003 when nothing of it was found, or the error that ends the walk.
HRESULT CXmlDataServer::PutArrayElement(ArrayWalk& a, uint64_t i, pugi::xml_node node, bool bElement)
{
    m_pCursor = a.pStart + i * a.cbElem;
    m_cbRemaining = static_cast<uint32_t>(a.cbStart - i * a.cbElem);
    m_nBitPos = -1;
    HRESULT hr;
    if (!a.pElem)
        hr = SerializeValueAt(node, a.kind, a.cbElem);
    else if (bElement)
        hr = SerializeElement(node, a.pElem, true, nullptr);
    else
        hr = Serialize(pugi::xpath_node(node), a.pElem, true, nullptr);
    if (SUCCEEDED(hr))
        a.bAny = true;
    return hr;
}

// Keeps the bytes of n elements from element j on.
HRESULT CXmlDataServer::KeepArrayElements(ArrayWalk& a, uint64_t j, uint64_t n)
{
    m_pCursor = a.pStart + j * a.cbElem;
    m_cbRemaining = static_cast<uint32_t>(a.cbStart - j * a.cbElem);
    m_nBitPos = -1;
    return KeepValue(static_cast<uint32_t>(n * a.cbElem));
}

// The rest of the array from element j on (the counter stands at j), after the run ended before `before`:
// created and written when creating missing elements, otherwise kept.
HRESULT CXmlDataServer::CompleteArray(ArrayWalk& a, uint64_t j, pugi::xml_node before)
{
    if (j >= a.nCount)
        return S_OK;
    if (!a.bCreate)
        return KeepArrayElements(a, j, a.nCount - j);
    for (; j < a.nCount; ++j, a.counter.Next()) {
        const pugi::xml_node node = AddIndexedNode(a.parent, before, a.sRun, a.counter.Subscripts(), a.nDims);
        if (!node)
            return kXmlErrCreateNode;
        const HRESULT hr = PutArrayElement(a, j, node);
        if (FAILED(hr) && hr != kNotFound)
            return hr;
    }
    return S_OK;
}

// In order: the run of element nodes from F on is matched against the elements in ascending order.
HRESULT CXmlDataServer::SerializeArrayInOrder(ArrayWalk& a)
{
    pugi::xml_node n = a.first;
    for (uint64_t i = 0; i < a.nCount; ++i, a.counter.Next()) {
        if (!Spend(m_nSerializeBudget))
            return kXmlErrFailed;
        if (!n)
            return CompleteArray(a, i, n);
        int cmp;
        // A stray or repeated element (lower subscripts) is passed over while the run goes on.
        while ((cmp = a.counter.Compare(a.subs)) < 0) {
            n = NextElement(n);
            if (!n || !a.RunGoesOn(*this, n))
                return CompleteArray(a, i, n);
        }
        HRESULT hr;
        if (cmp > 0) {
            // Element i is missing from the run.
            if (a.bCreate) {
                const pugi::xml_node node = AddIndexedNode(a.parent, n, a.sRun, a.counter.Subscripts(), a.nDims);
                if (!node)
                    return kXmlErrCreateNode;
                hr = PutArrayElement(a, i, node);
            } else {
                hr = KeepArrayElements(a, i, 1);
            }
            if (FAILED(hr) && hr != kNotFound)
                return hr;
            continue;
        }
        ++a.nUsed;
        hr = PutArrayElement(a, i, n);
        if (FAILED(hr) && hr != kNotFound)
            return hr;
        n = NextElement(n);
        // The run ends with a value that was not found, or before a node of another name or without a
        // readable index.
        if (hr == kNotFound || (n && !a.RunGoesOn(*this, n))) {
            a.counter.Next();
            return CompleteArray(a, i + 1, n);
        }
    }
    return S_OK;
}

// Ignore order: each element takes the first node of the run's name whose index names it.
HRESULT CXmlDataServer::SerializeArrayIgnoreOrder(ArrayWalk& a)
{
    const WalkFrame frame(m_walkNodes);
    const size_t s0 = m_walkNodes.size();
    m_walkNodes.resize(s0 + static_cast<size_t>(a.nCount));
    for (pugi::xml_node c = a.parent.child(a.sRun); c; c = c.next_sibling(a.sRun)) {
        int32_t s[kMaxArrayDims];
        uint64_t linear = 0;
        if (SUCCEEDED(ReadIndexAttribute(c, s, a.nDims)) && CalculateArrayElement(a.info, a.nDims, s, linear) &&
            linear < a.nCount && !m_walkNodes[s0 + static_cast<size_t>(linear)])
            m_walkNodes[s0 + static_cast<size_t>(linear)] = c;
    }

    pugi::xml_node n = a.first;  // new nodes go behind the last one created
    for (uint64_t i = 0; i < a.nCount; ++i, a.counter.Next()) {
        if (!Spend(m_nSerializeBudget))
            return kXmlErrFailed;
        const pugi::xml_node slot = m_walkNodes[s0 + static_cast<size_t>(i)];
        HRESULT hr;
        if (slot) {
            ++a.nUsed;
            hr = PutArrayElement(a, i, slot, slot.type() == pugi::node_element);
        } else if (a.bCreate) {
            const pugi::xml_node node =
                AddIndexedNode(a.parent, n.next_sibling(), a.sRun, a.counter.Subscripts(), a.nDims);
            if (!node)
                return kXmlErrCreateNode;
            n = node;
            hr = PutArrayElement(a, i, node);
        } else {
            hr = KeepArrayElements(a, i, 1);
        }
        if (FAILED(hr) && hr != kNotFound)
            return hr;
    }
    return S_OK;
}

XmlValueKind CXmlDataServer::ValueKind(const char* sType, uint32_t nId, uint32_t nSize)
{
    XmlValueKind kind;
    kind.bitId = nId == FEX_TYPE_BIT;
    kind.bitName = kind.bitId && sType && std::strcmp(sType, "BIT") == 0;
    uint32_t nConv = nId == FEX_TYPE_BIGTYPE ? BigTypeId(sType) : nId;
    // A value narrower than its type has no text form, and is never read into the bytes after it.
    kind.write = ScalarWidth(nConv) > nSize ? 0 : nConv;
    // Read as id 65, an INT of another size is no 16-bit value.
    if (nId == FEX_TYPE_BIGTYPE && nConv == FEX_TYPE_INT16 && nSize != 2)
        nConv = 0;
    kind.read = ScalarWidth(nConv) > nSize ? 0 : nConv;
    const auto bytes = [nSize](uint32_t conv) -> uint32_t {
        if (conv == FEX_TYPE_STRING || conv == FEX_TYPE_WSTRING)
            return nSize;
        return conv == FEX_TYPE_BIT ? 1 : ScalarWidth(conv);
    };
    kind.cbRead = bytes(kind.read);
    kind.cbWrite = bytes(kind.write);
    return kind;
}

HRESULT CXmlDataServer::SerializeValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId,
                                       uint32_t nSize)
{
    return SerializeValueAt(pos, ValueKind(sType, nId, nSize), nSize);
}

template <class Pos>
HRESULT CXmlDataServer::SerializeValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize)
{
    if (!Spend(m_nSerializeBudget))
        return kXmlErrFailed;
    return m_nDirection == 1 ? SetValueAt(pos, kind, nSize) : GetValueAt(pos, kind, nSize);
}

HRESULT CXmlDataServer::SetValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize)
{
    return SetValueAt(pos, ValueKind(sType, nId, nSize), nSize);
}

template <class Pos>
HRESULT CXmlDataServer::SetValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize)
{
    if (m_cbRemaining < nSize)
        return kXmlErrGeneral;
    const bool bBitMode = m_nBitPos >= 0;
    if (kind.bitId && kind.bitName != bBitMode)
        return kXmlErrGeneral;
    // The bytes read must lie inside the image.
    const uint32_t nConv = kind.write;
    if (!ImageHolds(m_pCursor, kind.cbWrite) || kind.cbWrite > m_cbRemaining)
        return kXmlErrGeneral;

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
                hr = kXmlErrControlChar;
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
                hr = kXmlErrControlChar;
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
