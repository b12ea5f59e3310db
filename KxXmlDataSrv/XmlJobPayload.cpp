#include "XmlJobPayload.h"

#include <cstring>

#include "KxXmlErrors.h"
#include "XmlDataServerList.h"

namespace {

// Reads the fields of a payload; every access is checked against the bytes received.
class CPayload {
public:
    CPayload(const uint8_t* p, uint32_t n) : m_p(p), m_n(p ? n : 0) {}
    bool Has(uint64_t off, uint64_t cb) const { return off + cb <= m_n; }
    uint16_t U16(uint32_t off) const { return static_cast<uint16_t>(m_p[off] | (m_p[off + 1] << 8)); }
    uint32_t U32(uint32_t off) const
    {
        return uint32_t(m_p[off]) | (uint32_t(m_p[off + 1]) << 8) | (uint32_t(m_p[off + 2]) << 16) |
               (uint32_t(m_p[off + 3]) << 24);
    }
    HopAddr Addr(uint32_t off) const
    {
        HopAddr a;
        std::memcpy(&a, m_p + off, sizeof(a));
        return a;
    }
    const uint8_t* At(uint32_t off) const { return m_p + off; }
    // A text of n characters at off: exactly n non-NUL characters and a NUL right behind them.
    bool String(uint64_t off, uint32_t n, const char** ppText) const
    {
        if (!Has(off, uint64_t(n) + 1))
            return false;
        if (std::memchr(m_p + off, 0, n) != nullptr || m_p[off + n] != 0)
            return false;
        *ppText = reinterpret_cast<const char*>(m_p + off);
        return true;
    }

private:
    const uint8_t* m_p;
    uint32_t m_n;
};

} // namespace

HRESULT XmlDecodeJobPayload(uint32_t nMsg, const uint8_t* pData, uint32_t cbData, XmlJobPayload& job)
{
    CPayload pl(pData, cbData);
    job = XmlJobPayload();
    switch (nMsg) {
    case XMLJOB_CLOSE:
    case XMLJOB_READ:
        return S_OK;
    case XMLJOB_WRITE:
        job.cbData = cbData;
        job.pData = pData;
        return S_OK;

    case XMLJOB_OPEN: {
        if (!pl.Has(0, 14) || uint64_t(pl.U16(12)) + 15 != cbData)
            return kXmlErrInvalidSize;
        if (!pl.String(14, pl.U16(12), &job.sFile))
            return kXmlErrInvalidParam;
        break;
    }

    case XMLJOB_OPENREAD:
    case XMLJOB_OPENWRITE: {
        if (!pl.Has(0, 20))
            return kXmlErrInvalidSize;
        job.nMode = pl.U16(12);
        const uint32_t a = pl.U16(14), b = pl.U16(16), c = pl.U16(18);
        if (uint64_t(a) + b + c + 23 != cbData)
            return kXmlErrInvalidSize;
        if (!pl.String(20, a, &job.sFile) || !pl.String(21 + a, b, &job.sSymbol) ||
            !pl.String(22 + uint64_t(a) + b, c, &job.sXmlPath))
            return kXmlErrInvalidParam;
        break;
    }

    case XMLJOB_READSYMBOL: {
        if (!pl.Has(0, 9))
            return kXmlErrInvalidSize;
        job.nMode = pl.U16(0);
        const uint32_t a = pl.U16(2), b = pl.U16(4);
        job.nSequence = pl.U16(6);
        job.bAllowPartial = pl.At(8)[0] != 0;
        if (uint64_t(a) + b + 11 != cbData)
            return kXmlErrInvalidSize;
        if (!pl.String(9, a, &job.sSymbol) || !pl.String(10 + a, b, &job.sXmlPath))
            return kXmlErrInvalidParam;
        return S_OK;
    }

    case XMLJOB_WRITESYMBOL: {
        if (!pl.Has(0, 13))
            return kXmlErrInvalidSize;
        const uint32_t d = pl.U32(0);
        job.nMode = pl.U16(4);
        const uint32_t a = pl.U16(6), b = pl.U16(8);
        job.nSequence = pl.U16(10);
        job.bAllowPartial = pl.At(12)[0] != 0;
        // Summed in 64 bits: a data length near 4 GB must not wrap around into an acceptable total.
        if (uint64_t(d) + a + b + 15 != cbData)
            return kXmlErrInvalidSize;
        if (!pl.String(13, a, &job.sSymbol) || !pl.String(14 + a, b, &job.sXmlPath))
            return kXmlErrInvalidParam;
        job.cbData = d;
        job.pData = pl.At(15 + a + b);
        return S_OK;
    }

    case XMLJOB_CLARIFY: {
        if (!pl.Has(0, 16))
            return kXmlErrInvalidSize;
        const uint32_t a = pl.U16(12), b = pl.U16(14);
        if (uint64_t(a) + b + 18 != cbData)
            return kXmlErrInvalidSize;
        if (!pl.String(16, a, &job.sFile) || !pl.String(17 + a, b, &job.sDst))
            return kXmlErrInvalidParam;
        break;
    }

    default:
        return kXmlErrInvalidSize;
    }
    // The open jobs share the address and the time-out at the front.
    job.plc = pl.Addr(0);
    job.nTimeout = pl.U32(8);
    return S_OK;
}
