#include "XmlBasePaths.h"

#include <cstring>

#include "KxReg.h"

namespace {

int CopyPath(bool ok, char* path, char* buf, size_t cbBuf)
{
    int result = 0;
    if (ok && path && buf) {
        size_t len = std::strlen(path);
        // A path that does not fit is refused rather than cut: a cut directory names another place.
        if (len < cbBuf) {
            std::memcpy(buf, path, len + 1);
            result = 1;
        }
    }
    KxRegPathFree(path);
    return result;
}

} // namespace

int ReadBootPrjPath(char* buf, size_t cbBuf)
{
    char* path = nullptr;
    bool ok = KxRegReadBootPrjPath(&path);
    return CopyPath(ok, path, buf, cbBuf);
}

int ReadUserPath(uint32_t n, char* buf, size_t cbBuf)
{
    char* path = nullptr;
    bool ok = KxRegReadUserPath(n, &path);
    return CopyPath(ok, path, buf, cbBuf);
}
