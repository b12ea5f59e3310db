// A PLC client for the tests that sends every request straight to a simulated PLC, without a router.
#pragma once

#include <atomic>
#include <cstring>
#include <vector>

#include "KxFex.h"
#include "KxPlcSim.h"

namespace fextest {

class SimFexSync : public IKxFexSync {
public:
    explicit SimFexSync(CKxPlcSim& sim) : m_sim(sim) {}

    HRESULT QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOTIMPL;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }

    HRESULT SyncWrite(ULONG group, ULONG offset, ULONG cb, PVOID p) override
    {
        return Result(m_sim.Write(group, offset, p, cb));
    }
    HRESULT SyncWriteControl(USHORT, USHORT, ULONG, PVOID) override { return E_NOTIMPL; }
    HRESULT SyncRead(ULONG group, ULONG offset, ULONG cb, PVOID p, ULONG* pcbRead) override
    {
        std::vector<uint8_t> out;
        return Copy(m_sim.Read(group, offset, cb, out), out, cb, p, pcbRead);
    }
    HRESULT SyncReadWrite(ULONG group, ULONG offset, ULONG cbRead, PVOID pRead, ULONG cbWrite, PVOID pWrite,
                          ULONG* pcbRead) override
    {
        std::vector<uint8_t> out;
        return Copy(m_sim.ReadWrite(group, offset, cbRead, pWrite, cbWrite, out), out, cbRead, pRead, pcbRead);
    }
    HRESULT SyncReadState(USHORT*, USHORT*) override { return E_NOTIMPL; }
    HRESULT SyncReadDeviceInfo(char*, ULONG, FexVersion*) override { return E_NOTIMPL; }
    HRESULT SetTimeout(ULONG) override { return S_OK; }
    HRESULT GetTimeout(ULONG* p) override
    {
        *p = 5000;
        return S_OK;
    }

private:
    static HRESULT Result(uint32_t error) { return error ? FEX_HRESULT(error) : S_OK; }
    static HRESULT Copy(uint32_t error, const std::vector<uint8_t>& out, ULONG cb, PVOID p, ULONG* pcbRead)
    {
        *pcbRead = 0;
        if (error)
            return Result(error);
        size_t n = out.size() < cb ? out.size() : cb;
        if (n)
            std::memcpy(p, out.data(), n);
        *pcbRead = ULONG(n);
        return S_OK;
    }

    CKxPlcSim& m_sim;
    std::atomic<ULONG> m_refs{1};
};

} // namespace fextest
