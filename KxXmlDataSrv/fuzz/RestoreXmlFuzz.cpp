// libFuzzer target: arbitrary XML documents restored into the symbols of the sample machine.
// The first byte picks the symbol (or, with bit 7, every symbol the document names) and the mode bits;
// the rest is the document. The simulated PLC is reached without a router.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "KxPlcSim.h"
#include "SimFexSync.h"
#include "XmlDataServer.h"

namespace {

const char* const kSymbols[] = {
    "MAIN.aAxes",       "MAIN.stFlags",  "MAIN.aMatrix",      "Recipes.stCurrent", "Recipes.sTitleUtf8",
    "Recipes.sTitle",   "MAIN.eMode",    "Logger.aNested",    "Logger.pBuffer",    ".gCounter",
    "MAIN.nCycle",      "Recipes.bArchive",
};

CKxPlcSim& Plc()
{
    static CKxPlcSim* sim = [] {
        CKxPlcSim* s = new CKxPlcSim();
        if (!s->LoadFile(KX_FUZZ_PLC_FILE))
            std::abort();
        return s;
    }();
    return *sim;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static fextest::SimFexSync sync(Plc());
    const uint8_t pick = data[0];
    const std::string xml(reinterpret_cast<const char*>(data + 1), size - 1);
    uint16_t mode = 0x0002;
    if (pick & 0x40)
        mode |= 0x0004;
    if (pick & 0x20)
        mode |= 0x0008;
    std::string symbol, path;
    if (!(pick & 0x80)) {
        symbol = kSymbols[(pick & 0x1F) % (sizeof(kSymbols) / sizeof(kSymbols[0]))];
        path = "/dataentry/" + symbol;
    }
    CXmlDataServer ds(&sync);
    HopAddr plc;
    plc.port = 851;
    ds.OpenRead(plc, mode, "", symbol.c_str(), path.c_str(), xml.c_str());
    ds.Close(true);
    return 0;
}
