#include "KxAlloc.h"

#include <cstring>
#include <new>

char s_szMemErr[KX_MEM_ERROR_TEXT] = {0};

uint8_t* KxAlloc(int32_t nSize)
{
    if (nSize < 0)
        return nullptr;
    // Zero-length requests still yield a distinct block, so a null result always means failure.
    return new (std::nothrow) uint8_t[nSize ? nSize : 1];
}

void KxFree(void* p)
{
    delete[] static_cast<uint8_t*>(p);
}

void KxMemError(const char* szWhere)
{
    size_t n = 0;
    if (szWhere) {
        n = std::strlen(szWhere);
        if (n > KX_MEM_ERROR_TEXT - 1)
            n = KX_MEM_ERROR_TEXT - 1;
        std::memcpy(s_szMemErr, szWhere, n);
    }
    s_szMemErr[n] = '\0';
    throw int(KX_MEM_ERROR);
}
