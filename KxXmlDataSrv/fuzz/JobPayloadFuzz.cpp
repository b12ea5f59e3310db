// libFuzzer target of the job payload decoder: any bytes, for any of the nine jobs, must decode or be refused
// without reading outside the payload, and a decoded job must describe only bytes inside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KxXmlErrors.h"
#include "XmlDataServerList.h"
#include "XmlJobPayload.h"

namespace {

// A decoded text lies inside the payload and ends with its NUL there.
bool TextInside(const char* s, const uint8_t* p, size_t n)
{
    if (!s)
        return true;
    const uint8_t* t = reinterpret_cast<const uint8_t*>(s);
    if (t < p || t >= p + n)
        return false;
    return std::memchr(t, 0, static_cast<size_t>(p + n - t)) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint32_t nMsg = XMLJOB_OPEN + data[0] % 9u;
    // An exact-size copy, so that the address sanitizer sees any read past the payload.
    std::vector<uint8_t> payload(data + 1, data + size);
    const uint8_t* p = payload.empty() ? nullptr : payload.data();
    const uint32_t n = static_cast<uint32_t>(payload.size());
    XmlJobPayload job;
    HRESULT hr = XmlDecodeJobPayload(nMsg, p, n, job);
    if (hr != 0 && hr != kXmlErrInvalidSize && hr != kXmlErrInvalidParam)
        std::abort();
    if (hr != 0)
        return 0;
    if (!TextInside(job.sFile, p, n) || !TextInside(job.sDst, p, n) || !TextInside(job.sSymbol, p, n) ||
        !TextInside(job.sXmlPath, p, n))
        std::abort();
    if (job.cbData && (!job.pData || job.pData < p || job.pData + job.cbData > p + n))
        std::abort();
    // Open jobs always name a file; the symbol jobs always carry their two texts.
    const bool open = nMsg == XMLJOB_OPEN || nMsg == XMLJOB_OPENREAD || nMsg == XMLJOB_OPENWRITE ||
                      nMsg == XMLJOB_CLARIFY;
    if (open && !job.sFile)
        std::abort();
    if ((nMsg == XMLJOB_READSYMBOL || nMsg == XMLJOB_WRITESYMBOL) && (!job.sSymbol || !job.sXmlPath))
        std::abort();
    return 0;
}
