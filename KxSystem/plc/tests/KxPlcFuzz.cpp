// libFuzzer target: descriptions and requests from arbitrary bytes must neither crash nor leak.
// First byte 0: the rest is a description. Otherwise the rest is a request to the sample machine:
// group selector (first byte mod 4), 2 bytes of read length, then the write data.
#include <cstddef>
#include <cstdint>
#include <string>

#include "KxPlcSim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CKxPlcSim* sample = [] {
        auto* s = new CKxPlcSim();
        s->LoadFile(std::string(KX_TEST_DATA_DIR) + "/plc/sample-machine.xml");
        return s;
    }();
    if (size < 1)
        return 0;
    if (data[0] == 0) {
        CKxPlcSim sim;
        sim.LoadString(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
        return 0;
    }
    if (size < 3)
        return 0;
    static const uint32_t groups[4] = {KXPLC_GROUP_SYMINFO, KXPLC_GROUP_TYPEINFO, KXPLC_DEFAULT_GROUP, 0x1234};
    KxPlcRequest rq;
    rq.command = (data[0] & 4) ? KxPlcRead : KxPlcReadWrite;
    rq.group = groups[data[0] % 4];
    rq.readLength = static_cast<uint32_t>(data[1] | (data[2] << 8));
    rq.writeData.assign(data + 3, data + size);
    sample->Handle(rq);
    sample->ClearLog();
    return 0;
}
