// Index attributes of array element nodes ("index" = "2,1"), the arithmetic between subscripts
// and element numbers, and the creation of array element nodes.

#include <charconv>
#include <cstring>

#include "XmlDataServer.h"
#include "XmlValueConv.h"

namespace {

constexpr char kIndexAttribute[] = "index";
constexpr char kLcIdAttribute[] = "LcId";

// Four subscripts of at most 11 characters and three commas.
constexpr size_t kIndexTextSize = 64;

// One "%d" conversion: white space, an optional sign and decimal digits. Values outside int32 are
// refused instead of being cut to their low bits.
bool ScanSubscript(const char*& p, int32_t& value)
{
    const char* q = p;
    while (IsCSpace(*q))
        ++q;
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
    }
    if (*q < '0' || *q > '9')
        return false;
    const int64_t limit = negative ? int64_t(1) << 31 : (int64_t(1) << 31) - 1;
    int64_t magnitude = 0;
    bool overflow = false;
    for (; *q >= '0' && *q <= '9'; ++q) {
        if (!overflow)
            magnitude = magnitude * 10 + (*q - '0');
        if (magnitude > limit)
            overflow = true;
    }
    if (overflow)
        return false;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    p = q;
    return true;
}

// The commas follow the numbers directly (a blank before a comma does not match), blanks may precede
// each number, and only blanks may follow the last one.
bool ParseIndexText(const char* text, int nDims, int32_t* pSubscripts)
{
    int32_t values[CXmlDataServer::kMaxArrayDims];
    const char* p = text;
    for (int k = 0; k < nDims; ++k) {
        if (k > 0) {
            if (*p != ',')
                return false;
            ++p;
        }
        if (!ScanSubscript(p, values[k]))
            return false;
    }
    while (IsCSpace(*p))
        ++p;
    if (*p != '\0')
        return false;
    for (int k = 0; k < nDims; ++k)
        pSubscripts[k] = values[k];
    return true;
}

// The subscripts in decimal, joined by commas; written for every new array element node, so without printf.
void FormatIndexText(const int32_t* pSubscripts, int nDims, char (&text)[kIndexTextSize])
{
    char* p = text;
    char* const end = text + sizeof text - 1;
    for (int k = 0; k < nDims; ++k) {
        if (k > 0)
            *p++ = ',';
        p = std::to_chars(p, end, pSubscripts[k]).ptr;
    }
    *p = '\0';
}

bool ValidDims(int nDims)
{
    return nDims >= 1 && nDims <= CXmlDataServer::kMaxArrayDims;
}

// The array info may lie at any offset inside a type record: read it through the packed struct.
int64_t LowerBound(const FexDatatypeArrayInfo* pInfo, int k)
{
    return pInfo[k].lowerBound;
}

uint64_t Elements(const FexDatatypeArrayInfo* pInfo, int k)
{
    return pInfo[k].elements;
}

// The node is linked before its index attribute is added; a node that cannot carry its index would
// break the run of array elements, so it is taken out again.
pugi::xml_node LabelArrayNode(pugi::xml_node parent, pugi::xml_node node, const char* text)
{
    if (!node)
        return pugi::xml_node();
    if (!CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(node), kIndexAttribute, text)) {
        parent.remove_child(node);
        return pugi::xml_node();
    }
    return node;
}

}  // namespace

namespace {

HRESULT IndexAttribute(pugi::xml_node node, bool bLcId, const char*& pszText)
{
    // A null node or one without attributes has neither attribute.
    if (pugi::xml_attribute index = node.attribute(kIndexAttribute)) {
        pszText = index.value();
        return S_OK;
    }
    if (bLcId && node.attribute(kLcIdAttribute)) {
        // An LcId marks the element as indexed, but it never carries readable subscripts.
        pszText = "";
        return S_OK;
    }
    return kXmlErrNoValue;
}

}  // namespace

HRESULT CXmlDataServer::GetIndexAttribute(pugi::xml_node node, const char*& pszText) const
{
    return IndexAttribute(node, m_bLcId, pszText);
}

HRESULT CXmlDataServer::ReadIndexAttribute(pugi::xml_node node, int32_t* pSubscripts, int nDims) const
{
    const char* pszText = nullptr;
    const HRESULT hr = IndexAttribute(node, m_bLcId, pszText);
    if (FAILED(hr))
        return hr;
    if (!ValidDims(nDims) || !pSubscripts)
        return kXmlErrNoValue;
    return ParseIndexText(pszText, nDims, pSubscripts) ? S_OK : kXmlErrNoValue;
}

HRESULT CXmlDataServer::WriteIndexAttribute(pugi::xml_node node, const int32_t* pSubscripts, int nDims)
{
    if (!node)
        return kXmlErrNoValue;
    if (!ValidDims(nDims) || !pSubscripts)
        return kXmlErrGeneral;
    char text[kIndexTextSize];
    FormatIndexText(pSubscripts, nDims, text);
    pugi::xml_attribute index = node.attribute(kIndexAttribute);
    if (!index)
        index = node.append_attribute(kIndexAttribute);
    // A node that carries no attributes (text, comment) simply gets no index.
    if (!index)
        return S_OK;
    return index.set_value(text) ? S_OK : kXmlErrCreateNode;
}

void CXmlDataServer::CalculateArrayIndex(const FexDatatypeArrayInfo* pInfo, int nDims, uint64_t nLinear,
                                         int32_t* pSubscripts)
{
    if (!pInfo || !pSubscripts)
        return;
    for (int k = nDims - 1; k >= 0; --k) {
        const uint64_t count = Elements(pInfo, k);
        if (count == 0) {
            // An empty dimension has no element; its lower bound keeps the result defined.
            pSubscripts[k] = static_cast<int32_t>(LowerBound(pInfo, k));
            continue;
        }
        pSubscripts[k] = static_cast<int32_t>(LowerBound(pInfo, k) + static_cast<int64_t>(nLinear % count));
        nLinear /= count;
    }
}

bool CXmlDataServer::CalculateArrayElement(const FexDatatypeArrayInfo* pInfo, int nDims, const int32_t* pSubscripts,
                                           uint64_t& nLinear)
{
    if (nDims <= 0) {
        nLinear = 0;
        return true;
    }
    if (!pInfo || !pSubscripts)
        return false;
    // Horner's scheme over the dimensions; a subscript outside its own dimension must not alias
    // another element (1,5 is no element of a 2 x 3 array, although 0 * 3 + 5 < 6).
    uint64_t linear = 0;
    for (int k = 0; k < nDims; ++k) {
        const int64_t offset = static_cast<int64_t>(pSubscripts[k]) - LowerBound(pInfo, k);
        const uint64_t count = Elements(pInfo, k);
        if (offset < 0 || static_cast<uint64_t>(offset) >= count)
            return false;
        if (__builtin_mul_overflow(linear, count, &linear) ||
            __builtin_add_overflow(linear, static_cast<uint64_t>(offset), &linear))
            return false;
    }
    nLinear = linear;
    return true;
}

int CXmlDataServer::CheckArrayIndex(const int32_t* pSubscripts, const FexDatatypeArrayInfo* pInfo, int nDims,
                                    uint64_t nLinear)
{
    if (!ValidDims(nDims) || !pSubscripts || !pInfo)
        return 0;
    int32_t expected[kMaxArrayDims];
    CalculateArrayIndex(pInfo, nDims, nLinear, expected);
    for (int k = 0; k < nDims; ++k) {
        if (pSubscripts[k] < expected[k])
            return -1;
        if (pSubscripts[k] > expected[k])
            return 1;
    }
    return 0;
}

pugi::xml_node CXmlDataServer::AddArrayNode(pugi::xml_node parent, const char* sName,
                                            const FexDatatypeArrayInfo* pInfo, int nDims, uint64_t nLinear)
{
    if (!ValidDims(nDims) || !pInfo)
        return pugi::xml_node();
    int32_t subscripts[kMaxArrayDims];
    CalculateArrayIndex(pInfo, nDims, nLinear, subscripts);
    return AddIndexedNode(parent, pugi::xml_node(), sName, subscripts, nDims);
}

pugi::xml_node CXmlDataServer::AddArrayNodeBefore(pugi::xml_node parent, pugi::xml_node sibling, const char* sName,
                                                  const FexDatatypeArrayInfo* pInfo, int nDims, uint64_t nLinear)
{
    if (!ValidDims(nDims) || !pInfo || !sibling)
        return pugi::xml_node();
    int32_t subscripts[kMaxArrayDims];
    CalculateArrayIndex(pInfo, nDims, nLinear, subscripts);
    return AddIndexedNode(parent, sibling, sName, subscripts, nDims);
}

pugi::xml_node CXmlDataServer::AddIndexedNode(pugi::xml_node parent, pugi::xml_node before, const char* sName,
                                              const int32_t* pSubscripts, int nDims)
{
    if (!ValidDims(nDims) || !parent || !sName || !*sName)
        return pugi::xml_node();
    char text[kIndexTextSize];
    FormatIndexText(pSubscripts, nDims, text);
    return LabelArrayNode(parent, before ? parent.insert_child_before(sName, before) : parent.append_child(sName),
                          text);
}

HRESULT CXmlDataServer::XMLAddNodeBefore(const pugi::xpath_node& position, pugi::xml_node sibling, const char* sName,
                                         pugi::xml_node& newNode)
{
    newNode = pugi::xml_node();
    pugi::xml_node parent = position.node();
    if (position.attribute() || !parent || parent.type() != pugi::node_element || !sibling || !sName || !*sName)
        return kXmlErrCreateNode;
    newNode = parent.insert_child_before(sName, sibling);
    return newNode ? S_OK : kXmlErrCreateNode;
}

pugi::xml_attribute CXmlDataServer::XMLAddTextAttribute(const pugi::xpath_node& position, const char* sName,
                                                        const char* sValue)
{
    pugi::xml_node node = position.node();
    if (position.attribute() || !node || !sName || !*sName)
        return pugi::xml_attribute();
    if (node.type() != pugi::node_element && node.type() != pugi::node_declaration)
        return pugi::xml_attribute();
    pugi::xml_attribute attribute = node.append_attribute(sName);
    if (!attribute)
        return pugi::xml_attribute();
    if (!attribute.set_value(sValue ? sValue : "")) {
        node.remove_attribute(attribute);
        return pugi::xml_attribute();
    }
    return attribute;
}
