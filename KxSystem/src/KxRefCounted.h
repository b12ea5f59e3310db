// Reference count shared by the library's COM-style objects; the object deletes itself at zero.
#pragma once

#include <atomic>

#include "platform/FreeBSD/KxWinTypes.h"

class CRefCounted {
public:
    virtual ~CRefCounted() = default;

protected:
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
