#include <cstring>
#include <new>

#include "KxAlloc.h"
#include "XmlDataServer.h"

namespace {

// An alias chain longer than this is taken as a PLC fault rather than followed further.
constexpr unsigned kMaxAliasChain = 64;

// The smallest record header; with fewer bytes left a block cannot take another record.
constexpr uint32_t kMinTypeRoom = sizeof(FexDatatypeEntry);

bool IsAlias(const FexDatatypeEntry* e)
{
    return !(e->flags & FEX_DTFLAG_NOTALIAS) && e->arrayDim == 0 && e->subItems == 0 && e->typeLength > 0;
}

} // namespace

uint32_t CXmlDataServer::TypeMemoryBlockSize() const
{
    if (m_typeBlocks.empty())
        return 0;
    return static_cast<uint32_t>(m_pTypeFree - m_typeBlocks.back()) + m_cbTypeLeft;
}

uint32_t CXmlDataServer::TypeMemoryUsed() const
{
    if (m_typeBlocks.empty())
        return 0;
    return static_cast<uint32_t>(m_pTypeFree - m_typeBlocks.back());
}

void CXmlDataServer::FreeTypeMemory()
{
    // The cache points into the blocks: it must not outlive them, or a reopened data server would hand
    // out freed records.
    m_typeCache.RemoveAll();
    m_memberTables.clear();
    m_pLastTableType = nullptr;
    m_pLastTable = nullptr;
    for (BYTE* p : m_typeBlocks)
        KxFree(p);
    m_typeBlocks.clear();
    m_pTypeFree = nullptr;
    m_cbTypeLeft = 0;
}

HRESULT CXmlDataServer::InitTypeMemory()
{
    FreeTypeMemory();
    return AddTypeBlock(kXmlTypeMemoryFirstBlock);
}

HRESULT CXmlDataServer::GrowTypeMemory(uint32_t cbNeeded)
{
    uint64_t cbOld = TypeMemoryBlockSize();
    uint64_t cbNew = 2 * (cbNeeded > 2 * cbOld ? uint64_t(cbNeeded) : 2 * cbOld);
    if (cbNew > INT32_MAX)
        return kXmlErrNoMemory;
    return AddTypeBlock(static_cast<uint32_t>(cbNew));
}

HRESULT CXmlDataServer::AddTypeBlock(uint32_t cbBlock)
{
    BYTE* p = KxAlloc(static_cast<int32_t>(cbBlock));
    if (!p)
        return kXmlErrNoMemory;
    try {
        m_typeBlocks.push_back(p);
    } catch (...) {
        KxFree(p);
        return kXmlErrNoMemory;
    }
    m_pTypeFree = p;
    m_cbTypeLeft = cbBlock;
    return S_OK;
}

HRESULT CXmlDataServer::UploadDatatype(const std::string& sName, uint32_t cbRead, BYTE* pBuf, ULONG* pcbRead)
{
    *pcbRead = 0;
    if (!m_pSync)
        return kXmlErrFailed;
    return m_pSync->SyncReadWrite(XMLDS_IG_DATATYPEINFO, 0, cbRead, pBuf, static_cast<ULONG>(sName.size() + 1),
                                  const_cast<char*>(sName.c_str()), pcbRead);
}

HRESULT CXmlDataServer::ReadDatatypeInfo(const char* sName, FexDatatypeEntry** ppInfo)
{
    if (!ppInfo)
        return E_POINTER;
    try {
        return ReadDatatypeChain(sName, ppInfo);
    } catch (...) {
        // Only the name copies can throw, before anything is kept.
        return kXmlErrNoMemory;
    }
}

HRESULT CXmlDataServer::ReadDatatypeChain(const char* sName, FexDatatypeEntry** ppInfo)
{
    if (!sName)
        return kXmlErrNoValue;
    FexDatatypeEntry* pHit = nullptr;
    if (m_typeCache.Lookup(sName, pHit)) {
        *ppInfo = pHit;
        return S_OK;
    }
    if (!*sName)
        return kXmlErrNoValue;

    if (m_cbTypeLeft < kMinTypeRoom && FAILED(GrowTypeMemory(kMinTypeRoom)))
        return kXmlErrNoMemory;

    std::string sCurrent(sName);
    std::vector<std::string> aliases;
    for (;;) {
        ULONG cbRead = 0;
        HRESULT hr = UploadDatatype(sCurrent, m_cbTypeLeft, m_pTypeFree, &cbRead);
        if (hr == kXmlErrInvalidSize) {
            // The record does not fit the rest of this block: ask for its length, then fetch it into a
            // block that is large enough.
            hr = UploadDatatype(sCurrent, 4, m_pTypeFree, &cbRead);
            if (FAILED(hr)) {
                *ppInfo = nullptr;
                return hr;
            }
            uint32_t cbNeeded = 0;
            if (cbRead == 4)
                std::memcpy(&cbNeeded, m_pTypeFree, 4);
            if (cbNeeded < sizeof(FexDatatypeEntry)) {
                *ppInfo = nullptr;
                return kXmlErrFailed;
            }
            if (cbNeeded > kXmlMaxDatatypeRecord)
                return kXmlErrNoMemory;
            if (FAILED(GrowTypeMemory(cbNeeded)))
                return kXmlErrNoMemory;
            hr = UploadDatatype(sCurrent, m_cbTypeLeft, m_pTypeFree, &cbRead);
        }
        if (FAILED(hr)) {
            *ppInfo = nullptr;
            return hr;
        }
        // A record that does not fit the bytes received would make every later walk read past them.
        if (cbRead > m_cbTypeLeft || !FexDatatypeEntryValid(m_pTypeFree, cbRead)) {
            *ppInfo = nullptr;
            return kXmlErrFailed;
        }
        FexDatatypeEntry* pEntry = reinterpret_cast<FexDatatypeEntry*>(m_pTypeFree);
        if (IsAlias(pEntry)) {
            std::string sBase(FexDatatypeTypeName(pEntry));
            bool bLoop = sBase == sCurrent;
            for (const std::string& s : aliases)
                bLoop = bLoop || s == sBase;
            if (bLoop || aliases.size() >= kMaxAliasChain) {
                *ppInfo = nullptr;
                return kXmlErrFailed;
            }
            aliases.push_back(sCurrent);
            sCurrent = sBase;
            continue;
        }

        m_pTypeFree += cbRead;
        m_cbTypeLeft -= cbRead;
        // A full cache is no error: the record is still handed out, only not remembered.
        m_typeCache.Set(sCurrent.c_str(), pEntry);
        for (const std::string& s : aliases)
            m_typeCache.Set(s.c_str(), pEntry);
        *ppInfo = pEntry;
        return S_OK;
    }
}
