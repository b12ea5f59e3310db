// Reference count shared by the library's COM-style objects; the object deletes itself at zero.
#pragma once

#include <atomic>

#include "platform/FreeBSD/KxWinTypes.h"

class CRefCounted {
public:
    virtual ~CRefCounted() = default;

protected:
    // The end of a QueryInterface: *ppv gets pItf (null: the interface is not supported) with a reference added;
    // E_POINTER without an output place, E_NOINTERFACE for an unsupported interface.
    HRESULT Answer(void* pItf, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = pItf;
        if (!pItf)
            return E_NOINTERFACE;
        DoAddRef();
        return S_OK;
    }
    ULONG DoAddRef() { return ++m_refs; }
    ULONG DoRelease()
    {
        ULONG n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }

private:
    std::atomic<ULONG> m_refs{1};
};
