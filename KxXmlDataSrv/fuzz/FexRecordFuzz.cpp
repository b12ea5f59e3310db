// libFuzzer target: symbol and data type records as a PLC might send them. Every accessor that consumers use
// runs on every record the validators accept, so a read past the received bytes shows up under ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FexSymbolInfo.h"

namespace {

volatile size_t g_sink;

void WalkType(const FexDatatypeEntry* e)
{
    g_sink += std::strlen(FexDatatypeName(e)) + std::strlen(FexDatatypeTypeName(e)) +
              std::strlen(FexDatatypeComment(e));
    g_sink += IsPrimitive(FexDatatypeTypeName(e), e->dataType) + IsPointer(FexDatatypeTypeName(e));
    g_sink += IsUtf8(e) + Exclude(e);
    for (unsigned i = 0; i < e->arrayDim; ++i)
        if (const FexDatatypeArrayInfo* a = FexDatatypeArrayDim(e, i))
            g_sink += a->elements;
    CFexSubItems items(e);
    while (const FexDatatypeEntry* sub = items.Next())
        WalkType(sub);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that the sanitizer sees the end of what "arrived".
    std::vector<uint8_t> buf(data, data + size);
    if (FexSymbolEntryValid(buf.data(), buf.size())) {
        const FexSymbolEntry* e = reinterpret_cast<const FexSymbolEntry*>(buf.data());
        g_sink += std::strlen(FexSymbolName(e)) + std::strlen(FexSymbolTypeName(e)) + std::strlen(FexSymbolComment(e));
        g_sink += IsUtf8(e) + Exclude(e);
    }
    if (FexDatatypeEntryValid(buf.data(), buf.size()))
        WalkType(reinterpret_cast<const FexDatatypeEntry*>(buf.data()));
    return 0;
}
