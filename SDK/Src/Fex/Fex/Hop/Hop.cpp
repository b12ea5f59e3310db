#include "Hop.h"

#include <cstdio>

#include "KxBstr.h"

std::string HopNetId::ToString() const
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%u.%u.%u.%u.%u.%u", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}

std::string HopAddr::ToString() const
{
    return netId.ToString() + ":" + std::to_string(port);
}

bool TextToNetId(const char* text, HopNetId& id)
{
    id = HopNetId();
    if (!text || !*text)
        return false;
    int n[6];
    if (std::sscanf(text, "%d.%d.%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        id.b[i] = static_cast<uint8_t>(static_cast<unsigned>(n[i]) & 0xFFu);
    return true;
}

void BstrToNetId(const BSTR& text, HopNetId& id)
{
    id = HopNetId();
    if (!text || KxSysStringLen(text) == 0 || text[0] == '\0')
        return;
    TextToNetId(text, id);
}
