// The read direction of the value walk: the image is first filled with the PLC's current bytes, then the
// document's values are merged into it. Whatever the document lacks, or holds in a form that does not
// convert, keeps the PLC's bytes.

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "KxAlloc.h"
#include "XmlDataServer.h"
#include "XmlDataServerSettings.h"
#include "XmlValueConv.h"

HRESULT CXmlDataServer::PreRead(uint32_t nSize)
{
    if (m_cbRemaining < nSize)
        return kXmlErrGeneral;
    if (!m_pSync || !m_pSymbolInfo || !ImageHolds(m_pCursor, m_cbRemaining))
        return S_OK;

    // Bytes already pre-read may hold converted values: reading resumes behind them.
    BYTE* pFrom = std::max(m_pCursor, m_pPreRead);
    if (pFrom > m_pPreRead)
        NotePreReadHole(S_OK);  // the bytes between the mark and the cursor stay unread
    const uint32_t cbSkip = static_cast<uint32_t>(pFrom - m_pCursor);
    const uint32_t cbLeft = m_cbRemaining - cbSkip;
    const uint32_t cbBlockSetting = CXmlDataServerSettings::m_nFexBlockSize;
    uint32_t cbBlock = std::min(cbLeft, cbBlockSetting ? cbBlockSetting : cbLeft);
    uint32_t cbTotal = std::max(nSize - std::min(nSize, cbSkip), cbBlock);
    m_pPreRead = pFrom;
    uint32_t nOffset = static_cast<uint32_t>(pFrom - m_pImage);

    HRESULT hrStop = kXmlErrGeneral;
    while (cbTotal > 0 && cbBlock > 0) {
        ULONG cbRead = 0;
        const HRESULT hr = m_pSync->SyncRead(m_pSymbolInfo->indexGroup, m_pSymbolInfo->indexOffset + nOffset,
                                             cbBlock, m_pPreRead, &cbRead);
        if (XmlQuarterBlock(hr, cbBlock))
            continue;  // the PLC cannot answer a block this large: ask again for a quarter of it
        if (FAILED(hr) || cbRead != cbBlock) {
            hrStop = FAILED(hr) ? hr : kXmlErrGeneral;
            break;
        }
        MarkKnown(m_pPreRead, cbBlock);
        cbTotal -= cbBlock;
        m_pPreRead += cbBlock;
        nOffset += cbBlock;
        cbBlock = std::min(cbBlock, cbTotal);
    }
    // The walk goes on either way: values the document supplies need no PLC bytes. Whether the image may be
    // used is decided once the walk is over (CheckImageKnown).
    if (cbTotal > 0)
        NotePreReadHole(hrStop);
    return S_OK;
}

void CXmlDataServer::NotePreReadHole(HRESULT hr)
{
    if (FAILED(hr) && SUCCEEDED(m_hrPreRead))
        m_hrPreRead = hr;
    if (m_bPreReadHole)
        return;
    // Up to now the image was read without a gap up to the mark; from here on each byte is tracked.
    m_bPreReadHole = true;
    try {
        m_known.assign(m_pSymbolInfo->size, 0);
    } catch (const std::bad_alloc&) {
        m_known.clear();  // untracked: the image counts as not known
        return;
    }
    MarkKnown(m_pImage, static_cast<uint32_t>(m_pPreRead - m_pImage));
}

void CXmlDataServer::MarkKnown(const BYTE* p, uint32_t cb)
{
    if (!m_bPreReadHole || m_known.empty() || !ImageHolds(p, cb))
        return;
    std::memset(m_known.data() + (p - m_pImage), 1, cb);
}

HRESULT CXmlDataServer::CheckImageKnown() const
{
    const HRESULT hrMissing = FAILED(m_hrPreRead) ? m_hrPreRead : kXmlErrGeneral;
    if (!m_bPreReadHole)
        return m_pPreRead - m_pImage >= static_cast<ptrdiff_t>(m_pSymbolInfo->size) ? S_OK : hrMissing;
    if (m_known.size() != m_pSymbolInfo->size)
        return hrMissing;
    return std::find(m_known.begin(), m_known.end(), 0) == m_known.end() ? S_OK : hrMissing;
}

HRESULT CXmlDataServer::KeepValue(uint32_t nSize)
{
    const bool bBitMode = m_nBitPos >= 0;
    const uint32_t cbBytes = bBitMode ? static_cast<uint32_t>((uint64_t(nSize) + 7) / 8) : nSize;
    if (m_nDirection != 1) {
        const bool bPreRead = m_pPreRead >= m_pCursor && uint64_t(m_pPreRead - m_pCursor) >= cbBytes;
        if (!bPreRead && m_cbRemaining < cbBytes)
            return kXmlErrGeneral;
    }
    // The cursor stays inside the image even when a record claims more bytes than are left.
    const uint32_t cbAdvance = std::min(bBitMode ? nSize / 8 : nSize, m_cbRemaining);
    m_pCursor += cbAdvance;
    m_cbRemaining -= cbAdvance;
    return S_OK;
}

HRESULT CXmlDataServer::GetValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize)
{
    return GetValueAt(pos, ValueKind(sType, nId, nSize), nSize);
}

namespace {

// A 16-bit string: the field may lie at any address, so it is converted into aligned units and copied over.
// (Out of line: its string would make every value's call pay for unwinding.)
template <class Pos>
__attribute__((noinline)) bool GetWideString(const Pos& pos, BYTE* p, uint32_t nSize)
{
    std::u16string units((nSize + 1) / 2, u'\0');
    if (FAILED(XMLGetStringImpl(pos, &units[0], nSize)))
        return false;
    std::memcpy(p, units.data(), nSize);
    return true;
}

}  // namespace

template <class Pos>
HRESULT CXmlDataServer::GetValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize)
{
    if (m_cbRemaining < nSize)
        return kXmlErrGeneral;
    const bool bBitMode = m_nBitPos >= 0;
    const uint64_t cbValue = bBitMode ? (uint64_t(nSize) + 7) / 8 : nSize;
    if (!ImageHolds(m_pCursor, cbValue))
        KxMemError("CXmlDataServer::GetValue data inconsistency");

    if (kind.bitId) {
        if (kind.bitName != bBitMode)
            return kXmlErrGeneral;
        if (!ImageHolds(m_pCursor, 1) || m_cbRemaining < 1)
            return kXmlErrGeneral;
    }
    const uint32_t nConv = kind.read;

    BYTE* p = m_pCursor;
    bool bConverted = false;
    switch (nConv) {
    case 0:
        break;
    case FEX_TYPE_STRING:
        if (nSize > 0)
            bConverted = SUCCEEDED(XMLGetStringImpl(pos, reinterpret_cast<char*>(p), nSize, m_bUtf8));
        break;
    case FEX_TYPE_WSTRING:
        bConverted = nSize > 0 && GetWideString(pos, p, nSize);
        break;
    case FEX_TYPE_BIT: {
        bool v = false;
        if (SUCCEEDED(XMLTextToBoolean(XMLGetText(pos), v))) {
            if (bBitMode)
                *p = static_cast<BYTE>(v ? (*p | (1u << m_nBitPos)) : (*p & ~(1u << m_nBitPos)));
            else
                *p = v ? 1 : 0;
            bConverted = true;
        }
        break;
    }
    default:
        bConverted = XMLTextToNumber(XMLGetText(pos), nConv, p);
        break;
    }

    if (!bConverted)
        return KeepValue(nSize);
    if (!bBitMode) {
        // A bit leaves the rest of its byte as it was; every other value sets the bytes it stores.
        NoteKnown(p, kind.cbRead);
    }
    const uint32_t cbAdvance = bBitMode ? nSize / 8 : nSize;
    m_pCursor += cbAdvance;
    m_cbRemaining -= cbAdvance;
    return S_OK;
}

// The walk reads elements; the entry and the public functions read positions.
template HRESULT CXmlDataServer::GetValueAt(const pugi::xml_node&, const XmlValueKind&, uint32_t);
template HRESULT CXmlDataServer::GetValueAt(const pugi::xpath_node&, const XmlValueKind&, uint32_t);
