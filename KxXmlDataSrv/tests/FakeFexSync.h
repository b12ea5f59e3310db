// A PLC client for the tests that answers symbol and data type information requests from canned records
// and logs every request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KxFex.h"

namespace fextest {

struct FakeRequest {
    ULONG group;
    ULONG offset;
    ULONG readLength;
    std::string name;  // write data up to its NUL
    size_t writeLength;
};

class FakeFexSync : public IKxFexSync {
public:
    // Optional answer of one request: return true to use result/data instead of the canned answer.
    typedef std::function<bool(const FakeRequest&, HRESULT& result, std::vector<uint8_t>& data)> Override;

    std::map<std::string, std::vector<uint8_t>> symbols;    // 0xF009 by name
    std::map<std::string, std::vector<uint8_t>> datatypes;  // 0xF011 by name
    std::vector<FakeRequest> log;
    Override override;

    HRESULT QueryInterface(REFIID, void** ppv) override;
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }
    ULONG Refs() const { return m_refs; }

    HRESULT SyncWrite(ULONG, ULONG, ULONG, PVOID) override { return E_NOTIMPL; }
    HRESULT SyncWriteControl(USHORT, USHORT, ULONG, PVOID) override { return E_NOTIMPL; }
    HRESULT SyncRead(ULONG, ULONG, ULONG, PVOID, ULONG* pcbRead) override;
    HRESULT SyncReadWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength, PVOID pReadData,
                          ULONG cbWriteLength, PVOID pWriteData, ULONG* pcbRead) override;
    HRESULT SyncReadState(USHORT*, USHORT*) override { return E_NOTIMPL; }
    HRESULT SyncReadDeviceInfo(char*, ULONG, FexVersion*) override { return E_NOTIMPL; }
    HRESULT SetTimeout(ULONG) override { return S_OK; }
    HRESULT GetTimeout(ULONG* p) override
    {
        *p = 5000;
        return S_OK;
    }

    // Requests of one index group, in order.
    std::vector<FakeRequest> Requests(ULONG group) const;

private:
    std::atomic<ULONG> m_refs{1};
};

} // namespace fextest
