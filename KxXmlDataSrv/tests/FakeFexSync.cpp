#include "FakeFexSync.h"

#include <algorithm>
#include <cstring>

namespace fextest {

HRESULT FakeFexSync::QueryInterface(REFIID, void** ppv)
{
    *ppv = nullptr;
    return E_NOTIMPL;
}

HRESULT FakeFexSync::SyncRead(ULONG, ULONG, ULONG, PVOID, ULONG* pcbRead)
{
    *pcbRead = 0;
    return E_NOTIMPL;
}

// Symbol records are cut to the read length (the caller sees the entry length and asks again); data type
// records that do not fit answer "invalid size" except to a 4-byte probe, which receives the length.
HRESULT FakeFexSync::SyncReadWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength, PVOID pReadData,
                                   ULONG cbWriteLength, PVOID pWriteData, ULONG* pcbRead)
{
    *pcbRead = 0;
    const char* w = static_cast<const char*>(pWriteData);
    FakeRequest req{indexGroup, indexOffset, cbReadLength, std::string(w, strnlen(w, cbWriteLength)),
                    cbWriteLength};
    log.push_back(req);

    HRESULT hr = S_OK;
    std::vector<uint8_t> data;
    if (override && override(req, hr, data)) {
        size_t n = std::min<size_t>(data.size(), cbReadLength);
        if (n)
            std::memcpy(pReadData, data.data(), n);
        *pcbRead = ULONG(n);
        return hr;
    }
    if (indexGroup == 0xF009) {
        auto it = symbols.find(req.name);
        if (it == symbols.end())
            return FEX_HRESULT(FEXERR_SYMBOLNOTFOUND);
        size_t n = std::min<size_t>(it->second.size(), cbReadLength);
        std::memcpy(pReadData, it->second.data(), n);
        *pcbRead = ULONG(n);
        return S_OK;
    }
    if (indexGroup == 0xF011) {
        auto it = datatypes.find(req.name);
        if (it == datatypes.end())
            return FEX_HRESULT(FEXERR_SYMBOLNOTFOUND);
        const std::vector<uint8_t>& rec = it->second;
        if (cbReadLength == 4 && rec.size() > 4) {
            std::memcpy(pReadData, rec.data(), 4);
            *pcbRead = 4;
            return S_OK;
        }
        if (rec.size() > cbReadLength)
            return FEX_HRESULT(FEXERR_INVALIDSIZE);
        std::memcpy(pReadData, rec.data(), rec.size());
        *pcbRead = ULONG(rec.size());
        return S_OK;
    }
    return FEX_HRESULT(FEXERR_INVALIDGRP);
}

std::vector<FakeRequest> FakeFexSync::Requests(ULONG group) const
{
    std::vector<FakeRequest> out;
    for (const FakeRequest& r : log)
        if (r.group == group)
            out.push_back(r);
    return out;
}

} // namespace fextest
