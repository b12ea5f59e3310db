// Byte-array allocation for memory images and type memory, and the memory-error exception.
#pragma once

#include <cstdint>

// Value of the int thrown by KxMemError.
static const int KX_MEM_ERROR = 19;

// Size of s_szMemErr, the NUL included.
static const int KX_MEM_ERROR_TEXT = 1024;

// Text given to the last KxMemError (at most 1023 characters, always NUL-terminated); empty at start.
extern char s_szMemErr[KX_MEM_ERROR_TEXT];

// New byte array of nSize bytes (uninitialised); null when nSize is negative or memory runs out.
uint8_t* KxAlloc(int32_t nSize);

// Releases a block obtained from KxAlloc; null is ignored.
void KxFree(void* p);

// Copies szWhere (null: empty) into s_szMemErr, cut to 1023 characters, then throws the int KX_MEM_ERROR (19).
[[noreturn]] void KxMemError(const char* szWhere);
