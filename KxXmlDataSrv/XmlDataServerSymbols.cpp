#include <cstdio>
#include <cstring>

#include "KxAlloc.h"
#include "XmlDataServer.h"

namespace {

// The document element: the first child of the document that is an element.
pugi::xml_node DocumentElement(const pugi::xml_document& doc)
{
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling())
        if (n.type() == pugi::node_element)
            return n;
    return pugi::xml_node();
}

// Appends a new entry; false when memory runs out.
bool Append(CSymbolPathList& list, const std::string& sPath, const std::string& sSymbol)
{
    CSymbolPath* p = new (std::nothrow) CSymbolPath();
    if (!p)
        return false;
    try {
        p->path = sPath;
        p->symbol = sSymbol;
    } catch (...) {
        delete p;
        return false;
    }
    if (list.Add(p) < 0) {
        delete p;
        return false;
    }
    return true;
}

size_t ChildCount(pugi::xml_node node)
{
    size_t n = 0;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling())
        ++n;
    return n;
}

// Evaluates one path step; pugixml reports malformed expressions by exception or by an empty result.
pugi::xpath_node EvaluateStep(const std::string& sQuery, pugi::xml_node context)
{
    if (!context)
        return pugi::xpath_node();
    try {
        pugi::xpath_query query(sQuery.c_str());
        if (!query)
            return pugi::xpath_node();
        return query.evaluate_node(context);
    } catch (...) {
        return pugi::xpath_node();
    }
}

} // namespace

void FreeSymbolPathList(CSymbolPathList& list)
{
    for (int i = 0; i < list.GetSize(); ++i)
        delete list[i];
    list.RemoveAll();
}

bool CXmlDataServer::IndexValueOf(pugi::xml_node node, std::string& sValue) const
{
    pugi::xml_attribute a = node.attribute("index");
    if (a) {
        sValue = a.value();
        return true;
    }
    if (m_bLcId && node.attribute("LcId")) {
        sValue.clear();
        return true;
    }
    return false;
}

HRESULT CXmlDataServer::ExtractSymbols(std::string& sSymbol, const std::string& sPath, CSymbolPathList& list)
{
    try {
        if (sPath.empty()) {
            if (!sSymbol.empty())
                return kXmlErrInvalidParam;
            AddSymbols(list);
            return S_OK;
        }
        if (sSymbol.empty()) {
            HRESULT hr = SymbolFromPath(sPath, sSymbol);
            if (FAILED(hr))
                return hr;
        }
        return Append(list, sPath, sSymbol) ? S_OK : kXmlErrNoMemory;
    } catch (...) {
        return kXmlErrNoMemory;
    }
}

HRESULT CXmlDataServer::SymbolFromPath(const std::string& sPath, std::string& sSymbol)
{
    try {
        sSymbol.clear();
        pugi::xml_node root = DocumentElement(m_doc);
        if (!root || sPath.size() < 3 || sPath[0] != '/')
            return kXmlErrNoNode;

        pugi::xml_node context = root;
        std::string sPrevName;
        size_t pos = 1;
        for (unsigned step = 0; pos < sPath.size(); ++step) {
            size_t slash = sPath.find('/', pos);
            std::string sStep = sPath.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
            pos = slash == std::string::npos ? sPath.size() : slash + 1;

            pugi::xpath_node found = EvaluateStep(step == 0 ? "/" + sStep : sStep, context);
            if (!found)
                return kXmlErrNoNode;
            // An attribute ends the chain of contexts: a further step finds nothing.
            context = found.attribute() ? pugi::xml_node() : found.node();
            std::string sName = found.attribute() ? found.attribute().name() : found.node().name();

            if (step == 0)
                continue;
            if (step == 1) {
                if (sName != "Global.")
                    sSymbol += sName;
                continue;
            }
            std::string sIndex;
            if (found.node() && IndexValueOf(found.node(), sIndex)) {
                if (sStep == sName)
                    sIndex.clear();
                std::string sSub = sIndex.empty() ? std::string() : "[" + sIndex + "]";
                bool bTaken = false;
                if (sName == sPrevName) {
                    // An element nested in a same-named element is an array of arrays: the subscript may
                    // belong to the name built so far; the PLC decides.
                    std::string sCandidate = sSymbol + sSub;
                    FexSymbolEntry* pInfo = nullptr;
                    if (SUCCEEDED(ReadSymbolInfo(sCandidate.c_str(), &pInfo)) && pInfo) {
                        sSymbol = sCandidate;
                        bTaken = true;
                    }
                    KxFree(pInfo);
                }
                if (!bTaken)
                    sSymbol += "." + sName + sSub;
                sPrevName = sName;
            } else {
                sSymbol += "." + sName;
                sPrevName.clear();
            }
        }
        return S_OK;
    } catch (...) {
        return kXmlErrNoMemory;
    }
}

void CXmlDataServer::AddSymbols(CSymbolPathList& list)
{
    try {
        pugi::xml_node root = DocumentElement(m_doc);
        if (!root)
            return;
        const std::string sRootPath = std::string("/") + root.name() + "/";
        for (pugi::xml_node m = root.first_child(); m; m = m.next_sibling()) {
            if (m.type() != pugi::node_element)
                continue;
            const std::string sModPath = sRootPath + m.name();
            const std::string sPrefix = std::strcmp(m.name(), "Global.") == 0 ? std::string() : m.name();
            pugi::xml_node c = m.first_child();
            while (c) {
                if (c.type() != pugi::node_element) {
                    c = c.next_sibling();
                    continue;
                }
                std::string sIndex;
                if (IndexValueOf(c, sIndex)) {
                    Append(list, sModPath + "/" + c.name(), sPrefix + "." + c.name());
                    // The run of same-named siblings is one array.
                    pugi::xml_node next = c.next_sibling();
                    while (next && std::strcmp(next.name(), c.name()) == 0)
                        next = next.next_sibling();
                    c = next;
                    continue;
                }
                AddSymbols(c, list, sPrefix, sModPath);
                c = c.next_sibling();
            }
        }
    } catch (...) {
        // Out of memory: the list keeps what was found so far.
    }
}

bool CXmlDataServer::AddSymbols(pugi::xml_node node, CSymbolPathList& list, std::string sSymbol, std::string sPath)
{
    try {
        // A chain of single children is followed in a loop rather than by recursion, so that a deeply
        // nested document cannot exhaust the stack.
        for (;;) {
            if (!node)
                return false;
            sSymbol += std::string(".") + node.name();
            sPath += std::string("/") + node.name();
            std::string sIndex;
            if (IndexValueOf(node, sIndex)) {
                sSymbol += "[" + sIndex + "]";
                sPath += "[@index='" + sIndex + "']";
            }
            size_t nChildren = ChildCount(node);
            if (nChildren == 0)
                return Append(list, sPath, sSymbol);
            pugi::xml_node first = node.first_child();
            if (nChildren == 1) {
                if (first.type() != pugi::node_element)
                    return Append(list, sPath, sSymbol);
                node = first;
                continue;
            }
            std::string sFirstIndex;
            if (IndexValueOf(first, sFirstIndex)) {
                size_t nSame = 0;
                try {
                    nSame = node.select_nodes(first.name()).size();
                } catch (...) {
                    nSame = 0; // a name that is no valid query cannot be an array run
                }
                if (nSame == nChildren)
                    return Append(list, sPath + "/" + first.name(), sSymbol + "." + first.name());
            }
            return Append(list, sPath, sSymbol);
        }
    } catch (...) {
        return false;
    }
}

HRESULT CXmlDataServer::ReadSymbolInfo(const char* sName, FexSymbolEntry** ppInfo)
{
    if (!ppInfo)
        return E_POINTER;
    *ppInfo = nullptr;
    if (!sName)
        return E_POINTER;
    if (!m_pSync)
        return kXmlErrFailed;
    const ULONG cbName = static_cast<ULONG>(std::strlen(sName) + 1);

    BYTE* p = KxAlloc(static_cast<int32_t>(kXmlSymbolInfoFirstRead));
    if (!p)
        return kXmlErrNoMemory;
    ULONG cbRead = 0;
    HRESULT hr = m_pSync->SyncReadWrite(XMLDS_IG_SYMBOLINFO, 0, kXmlSymbolInfoFirstRead, p, cbName,
                                        const_cast<char*>(sName), &cbRead);
    if (FAILED(hr)) {
        KxFree(p);
        return hr;
    }
    if (cbRead > kXmlSymbolInfoFirstRead || cbRead < sizeof(uint32_t)) {
        KxFree(p);
        return kXmlErrFailed;
    }
    uint32_t cbEntry = 0;
    std::memcpy(&cbEntry, p, sizeof(cbEntry));
    if (cbEntry > cbRead) {
        // The record is longer than the first read: fetch it again with its exact length.
        KxFree(p);
        if (cbEntry > kXmlMaxSymbolRecord)
            return kXmlErrFailed;
        p = KxAlloc(static_cast<int32_t>(cbEntry));
        if (!p)
            return kXmlErrNoMemory;
        hr = m_pSync->SyncReadWrite(XMLDS_IG_SYMBOLINFO, 0, cbEntry, p, cbName, const_cast<char*>(sName), &cbRead);
        if (FAILED(hr)) {
            KxFree(p);
            return hr;
        }
        uint32_t cbSecond = 0;
        if (cbRead >= sizeof(uint32_t))
            std::memcpy(&cbSecond, p, sizeof(cbSecond));
        if (cbRead > cbEntry || cbSecond != cbRead) {
            KxFree(p);
            return kXmlErrFailed;
        }
    }
    // Every later reader trusts the lengths inside the record; check them against what really arrived.
    if (!FexSymbolEntryValid(p, cbRead)) {
        KxFree(p);
        return kXmlErrFailed;
    }
    *ppInfo = reinterpret_cast<FexSymbolEntry*>(p);
    return S_OK;
}
