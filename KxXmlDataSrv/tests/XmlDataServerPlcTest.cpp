// A data server against the simulated PLC behind the in-process router: how documents are read into PLC
// memory, piecewise transfers, whole-symbol block transfers with the PLC's block limit, and when a close
// rewrites the file.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "FileTracer.h"
#include "SimPlcTestSupport.h"

namespace {

using simplc::ReadFile;
using simplc::WriteFile;

const HRESULT kNotFound = kXmlErrNoValue;

std::vector<uint32_t> Repeat(uint32_t value, size_t count)
{
    return std::vector<uint32_t>(count, value);
}

std::vector<uint32_t> Join(std::initializer_list<std::vector<uint32_t>> parts)
{
    std::vector<uint32_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Exposes the whole-symbol transfer so that a fault can be injected after the symbol was selected.
class TransferServer : public CXmlDataServer {
public:
    using CXmlDataServer::TransferSymbol;
};

class DataServerPlc : public simplc::SimPlcTest {
protected:
    // A little-endian integer of the value's size; signed unless the type is unsigned.
    int64_t Value(const std::string& name)
    {
        const KxPlcSymbolInfo info = Info(name);
        const std::vector<uint8_t> b = Memory(name);
        uint64_t u = 0;
        for (size_t i = 0; i < b.size() && i < 8; ++i)
            u |= uint64_t(b[i]) << (8 * i);
        const bool isSigned = info.typeName == "SINT" || info.typeName == "INT" || info.typeName == "DINT";
        if (isSigned && b.size() < 8 && (u >> (8 * b.size() - 1)) & 1)
            u |= ~uint64_t(0) << (8 * b.size());
        return static_cast<int64_t>(u);
    }

    // PLC memory requests (Read or Write) of one index group in the log, as their lengths.
    std::vector<uint32_t> Lengths(uint16_t command, uint32_t group, std::vector<uint32_t>* offsets = nullptr)
    {
        std::vector<uint32_t> out;
        for (const KxPlcRequest& r : sim.GetLog()) {
            if (r.command != command || r.group != group)
                continue;
            out.push_back(command == KxPlcWrite ? static_cast<uint32_t>(r.writeData.size()) : r.readLength);
            if (offsets)
                offsets->push_back(r.offset);
        }
        return out;
    }
};

// ---------------------------------------------------------------------------------------------------------
// Reading a document into PLC memory: a merge with the PLC's current bytes.

struct ReadCase {
    const char* what;
    const char* body;  // content of the structure's element
    uint16_t mode;     // besides transfer
    HRESULT hr;
    std::vector<std::pair<const char*, int64_t>> changed;  // every other value keeps the PLC's bytes
};

TEST_F(DataServerPlc, ReadingMergesTheDocumentIntoThePlcBytes)
{
    const char* const fields[] = {"nS", "nU", "nI", "nD", "bB", "aArr[1]", "aArr[2]", "aArr[3]",
                                  "aArr[4]", "aArr[5]", "stIn.nA", "stIn.nB"};
    const ReadCase cases[] = {
        {"a document with one member", "<nI>5</nI>", 0, S_OK, {{"nI", 5}}},
        {"reversed members, in order", "<stIn><nA>1</nA><nB>2</nB></stIn><aArr index=\"1\">3</aArr><bB>false</bB>"
                                       "<nD>7</nD><nI>6</nI><nU>5</nU><nS>4</nS>",
         0, S_OK, {{"nS", 4}}},
        {"reversed members, ignore order",
         "<stIn><nA>1</nA><nB>2</nB></stIn><aArr index=\"1\">3</aArr><bB>false</bB>"
         "<nD>7</nD><nI>6</nI><nU>5</nU><nS>4</nS>",
         XMLDS_MODE_IGNOREORDER, S_OK,
         {{"nS", 4}, {"nU", 5}, {"nI", 6}, {"nD", 7}, {"bB", 0}, {"aArr[1]", 3}, {"stIn.nA", 1}, {"stIn.nB", 2}}},
        {"300 into SINT and USINT", "<nS>300</nS><nU>300</nU>", 0, S_OK, {{"nS", 44}}},
        {"text that is no number", "<nI>abc</nI><nD>12abc</nD>", 0, S_OK, {}},
        {"empty elements into DINT and BOOL", "<nD></nD><bB></bB>", 0, S_OK, {{"nD", 0}}},
        {"hexadecimal text with blanks", "<nU>+0042</nU><nI> #x10 </nI>", 0, S_OK, {{"nI", 16}, {"nU", 42}}},
        {"member names ignore case", "<NI>77</NI><STIN><NA>5</NA></STIN>", 0, S_OK, {{"nI", 77}, {"stIn.nA", 5}}},
        {"comments, text and strangers between members", "<!--c--><x>1</x>text<nI>8</nI><y/><nD>9</nD>", 0, S_OK,
         {{"nI", 8}, {"nD", 9}}},
        {"array gaps", "<aArr index=\"1\">101</aArr><aArr index=\"3\">103</aArr>", 0, S_OK,
         {{"aArr[1]", 101}, {"aArr[3]", 103}}},
        {"a repeated element in the run is passed over",
         "<aArr index=\"1\">101</aArr><aArr index=\"1\">999</aArr><aArr index=\"2\">102</aArr>"
         "<aArr index=\"4\">104</aArr>",
         0, S_OK, {{"aArr[1]", 101}, {"aArr[2]", 102}, {"aArr[4]", 104}}},
        {"an index beyond the array, in order", "<aArr index=\"1\">101</aArr><aArr index=\"9\">909</aArr>", 0, S_OK,
         {{"aArr[1]", 101}}},
        {"indexes outside the array, ignore order",
         "<aArr index=\"7\">700</aArr><aArr index=\"0\">1</aArr><aArr index=\"2\">202</aArr>", XMLDS_MODE_IGNOREORDER,
         S_OK, {{"aArr[2]", 202}}},
        {"an array whose first element has no index", "<nD>8</nD><aArr>5</aArr><aArr index=\"2\">6</aArr>", 0, S_OK,
         {{"nD", 8}}},
        {"a structure element without children", "", 0, S_OK, {}},
        {"an inner structure element without children", "<nI>9</nI><stIn></stIn>", 0, S_OK, {{"nI", 9}}},
        {"no member has an element", "<other>1</other>", 0, kNotFound, {}},
    };

    StartPlc("dataserver/golden-plc.xml");
    const std::vector<uint8_t> original = Memory("MAIN.stRead");
    std::vector<std::pair<std::string, int64_t>> before;
    for (const char* f : fields)
        before.emplace_back(f, Value(std::string("MAIN.stRead.") + f));
    // The PLC's values must differ from everything the cases write, or a kept value could not be told apart.
    ASSERT_EQ(Value("MAIN.stRead.nS"), -3);
    ASSERT_EQ(Value("MAIN.stRead.bB"), 1);

    const std::string file = dir + "/read.xml";
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetMemory("MAIN.stRead", original);
        ASSERT_TRUE(WriteFile(file, std::string("<dataentry><MAIN><stRead>") + c.body + "</stRead></MAIN></dataentry>"));
        EXPECT_EQ(c.hr, Restore(XMLDS_MODE_TRANSFER | c.mode, file, "MAIN.stRead", "/dataentry/MAIN/stRead"));
        for (const auto& b : before) {
            int64_t want = b.second;
            for (const auto& ch : c.changed)
                if (b.first == ch.first)
                    want = ch.second;
            EXPECT_EQ(Value("MAIN.stRead." + b.first), want) << b.first;
        }
    }
}

// A primitive, pointer or excluded symbol keeps the PLC's value when the document has nothing for it.
TEST_F(DataServerPlc, TopLevelValuesWithoutTextKeepThePlcValue)
{
    struct Case {
        const char* symbol;
        const char* path;
        const char* text;
        int64_t want;  // -1: the PLC's value
    };
    const Case cases[] = {
        {"MAIN.aTen[2]", "/dataentry/x", "abc", -1},
        {"MAIN.aTen[2]", "/dataentry/x", "", 0},
        {"MAIN.aTen[2]", "/dataentry/x", "70000", 4464},
        {"MAIN.eState", "/dataentry/x", "7", 7},
        {"MAIN.pData", "/dataentry/x", "5", -1},
        {"MAIN.nExcluded", "/dataentry/x", "5", -1},
    };
    StartPlc("dataserver/golden-plc.xml");
    const std::string file = dir + "/top.xml";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.symbol) + " <- '" + c.text + "'");
        const std::vector<uint8_t> before = Memory(c.symbol);
        const int64_t value = Value(c.symbol);
        ASSERT_TRUE(WriteFile(file, std::string("<dataentry><x>") + c.text + "</x></dataentry>"));
        EXPECT_EQ(S_OK, Restore(XMLDS_MODE_TRANSFER, file, c.symbol, c.path));
        if (c.want < 0)
            EXPECT_EQ(Memory(c.symbol), before);
        else
            EXPECT_EQ(Value(c.symbol), c.want);
        EXPECT_NE(value, c.want);
        SetMemory(c.symbol, before);
    }
}

// A PLC fault during the pre-read: whatever the document does not supply was never read, so nothing of the
// symbol is written and a read hands out no image; a document that supplies every byte needs no pre-read.
TEST_F(DataServerPlc, PlcFaultDuringThePreReadWritesNothingUnread)
{
    const char* const all = "<nS>1</nS><nU>2</nU><nI>3</nI><nD>4</nD><bB>false</bB><aArr index=\"1\">5</aArr>"
                            "<aArr index=\"2\">6</aArr><aArr index=\"3\">7</aArr><aArr index=\"4\">8</aArr>"
                            "<aArr index=\"5\">9</aArr><stIn><nA>10</nA><nB>11</nB></stIn>";
    std::string notConvertible = all;
    notConvertible.replace(notConvertible.find("<nI>3"), 5, "<nI>x");
    struct Case {
        const char* what;
        std::string body;    // content of the structure's element
        uint32_t failError;  // the next request answers this error; 0: none
        uint32_t shortBy;    // every answer carries this many bytes fewer
        HRESULT hr;
    };
    const Case cases[] = {
        {"one member, the pre-read refused", "<nI>5</nI>", 0x0706, 0, FEX_HRESULT(0x0706)},
        {"one member, short answers", "<nI>5</nI>", 0, 2, kXmlErrGeneral},
        {"a member kept because its text does not convert", notConvertible, 0x0706, 0, FEX_HRESULT(0x0706)},
        {"every member named, the pre-read refused", all, 0x0706, 0, S_OK},
        {"every member named, short answers", all, 0, 2, S_OK},
    };
    StartPlc("dataserver/golden-plc.xml");
    const KxPlcSymbolInfo info = Info("MAIN.stRead");
    const std::vector<uint8_t> original = Memory("MAIN.stRead");
    const std::string file = dir + "/fault.xml";
    const std::string log = dir + "/fault.log";
    const char* path = "/dataentry/MAIN/stRead";
    CFileTracer::Open(log.c_str(), 1, 0, false);
    size_t failures = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile(file, "<dataentry><MAIN><stRead>" + c.body + "</stRead></MAIN></dataentry>"));
        // The value the document gives, taken from a restore without faults.
        SetMemory("MAIN.stRead", original);
        ASSERT_EQ(S_OK, Restore(XMLDS_MODE_TRANSFER, file, "MAIN.stRead", path));
        const std::vector<uint8_t> restored = Memory("MAIN.stRead");
        SetMemory("MAIN.stRead", original);

        TransferServer srv;
        ASSERT_EQ(S_OK, srv.OpenRead(addr, 0, file.c_str(), "MAIN.stRead", path, nullptr));
        // One conversion first, so that the type records are cached and the fault meets the pre-read.
        std::vector<uint8_t> image(info.size);
        uint32_t cb = 0;
        ASSERT_EQ(S_OK, srv.Read(info.size, image.data(), &cb));
        for (int step = 0; step < 2; ++step) {
            sim.ClearLog();
            if (c.failError)
                sim.FailNext(1, c.failError);
            sim.SetShortBy(c.shortBy);
            if (step == 0) {
                // The restore.
                EXPECT_EQ(c.hr, srv.TransferSymbol(false));
                EXPECT_EQ(Memory("MAIN.stRead"), SUCCEEDED(c.hr) ? restored : original);
                if (FAILED(c.hr)) {
                    EXPECT_TRUE(Lengths(KxPlcWrite, info.group).empty());
                }
            } else {
                // The read of a data job hands out the image only when all of it is known.
                std::fill(image.begin(), image.end(), 0xEE);
                EXPECT_EQ(c.hr, srv.Read(info.size, image.data(), &cb));
                EXPECT_EQ(cb, SUCCEEDED(c.hr) ? info.size : 0u);
                if (SUCCEEDED(c.hr)) {
                    EXPECT_EQ(image, restored);
                }
            }
            sim.SetShortBy(0);
            sim.FailNext(0);
            SetMemory("MAIN.stRead", original);
            failures += FAILED(c.hr);
        }
        srv.Close(true);
    }
    CFileTracer::Close();
    // Every refused entry is logged once.
    const std::string text = ReadFile(log);
    const std::string line = "Failed to read symbol from PLC! Symbol=\"MAIN.stRead\"";
    size_t logged = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++logged;
    EXPECT_EQ(logged, failures);
    EXPECT_NE(text.find("HRESULT=\"0x98110706\""), std::string::npos);
}

// ---------------------------------------------------------------------------------------------------------
// Piecewise transfers of a 10-byte symbol.

TEST_F(DataServerPlc, ReadInPiecesThroughASmallBuffer)
{
    StartPlc("dataserver/golden-plc.xml");
    ASSERT_EQ(Info("MAIN.aTen").size, 10u);
    const std::string file = dir + "/ten.xml";
    // Element 5 is missing: its bytes come from the PLC (5).
    ASSERT_TRUE(WriteFile(file, "<dataentry><MAIN><aTen index=\"1\">10</aTen><aTen index=\"2\">-20</aTen>"
                                "<aTen index=\"3\">30</aTen><aTen index=\"4\">40</aTen></MAIN></dataentry>"));
    const uint8_t want[10] = {10, 0, 0xEC, 0xFF, 30, 0, 40, 0, 5, 0};
    const char* sym = "MAIN.aTen";
    const char* path = "/dataentry/MAIN/aTen";

    CXmlDataServer srv;
    ASSERT_EQ(S_OK, srv.OpenRead(addr, 0, file.c_str(), sym, path, nullptr));
    uint8_t buf[4];
    uint32_t cb = 99;
    EXPECT_EQ(kXmlErrInvalidSize, srv.Read(0, sym, path, 4, buf, 0, false, &cb));
    EXPECT_EQ(cb, 0u);

    // The explicit form: sequence 0 selects, then 1 and 2 continue; any other number is refused.
    ASSERT_EQ(S_OK, srv.Read(0, sym, path, 4, buf, 0, true, &cb));
    ASSERT_EQ(cb, 4u);
    EXPECT_EQ(0, std::memcmp(buf, want, 4));
    EXPECT_EQ(kXmlErrInvalidState, srv.Read(0, sym, path, 4, buf, 2, true, &cb));
    EXPECT_EQ(kXmlErrInvalidState, srv.Write(0, sym, path, 4, buf, 1, true));
    ASSERT_EQ(S_OK, srv.Read(0, sym, path, 4, buf, 1, true, &cb));
    ASSERT_EQ(cb, 4u);
    EXPECT_EQ(0, std::memcmp(buf, want + 4, 4));
    ASSERT_EQ(S_OK, srv.Read(0, sym, path, 4, buf, 2, true, &cb));
    ASSERT_EQ(cb, 2u);
    EXPECT_EQ(0, std::memcmp(buf, want + 8, 2));
    // The transfer is over: stale sequences are refused.
    EXPECT_EQ(kXmlErrInvalidState, srv.Read(0, sym, path, 4, buf, 2, true, &cb));
    EXPECT_EQ(kXmlErrInvalidState, srv.Read(0, sym, path, 4, buf, 3, true, &cb));

    // The handle form repeats the request until all bytes moved; the next transfer starts like the first.
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> got;
        const uint32_t pieces[] = {4, 4, 2};
        for (uint32_t expected : pieces) {
            ASSERT_EQ(S_OK, srv.Read(4, buf, &cb));
            ASSERT_EQ(cb, expected);
            got.insert(got.end(), buf, buf + cb);
        }
        EXPECT_EQ(got, std::vector<uint8_t>(want, want + 10));
    }
    // A buffer that holds everything is filled in one call.
    uint8_t whole[16];
    std::memset(whole, 0xEE, sizeof whole);
    ASSERT_EQ(S_OK, srv.Read(sizeof whole, whole, &cb));
    EXPECT_EQ(cb, 10u);
    EXPECT_EQ(0, std::memcmp(whole, want, 10));
    EXPECT_EQ(whole[10], 0xEE);
    EXPECT_EQ(S_OK, srv.Close(false));
}

TEST_F(DataServerPlc, WriteInPiecesIntoTheDocument)
{
    StartPlc("dataserver/golden-plc.xml");
    const std::string file = dir + "/ten-out.xml";
    const char* sym = "MAIN.aTen";
    const char* path = "/dataentry/MAIN/aTen";
    const uint8_t data[10] = {7, 0, 0xFF, 0xFF, 0x2C, 0x01, 0, 0, 0xFF, 0x7F};  // 7, -1, 300, 0, 32767
    const std::string want = "<dataentry><MAIN><aTen index=\"1\">7</aTen><aTen index=\"2\">-1</aTen>"
                             "<aTen index=\"3\">300</aTen><aTen index=\"4\">0</aTen><aTen index=\"5\">32767</aTen>"
                             "</MAIN></dataentry>";

    CXmlDataServer srv;
    ASSERT_EQ(S_OK, srv.OpenWrite(addr, XMLDS_MODE_CREATE, file.c_str(), sym, path, nullptr));
    std::string text;
    EXPECT_EQ(kXmlErrInvalidState, srv.GetXml(text));
    EXPECT_EQ(kXmlErrInvalidSize, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data, 0, false));
    ASSERT_EQ(S_OK, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data, 0, true));
    EXPECT_EQ(kXmlErrInvalidState, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data + 4, 2, true));
    uint32_t cb = 0;
    uint8_t buf[4];
    EXPECT_EQ(kXmlErrInvalidState, srv.Read(0, sym, path, 4, buf, 1, true, &cb));
    ASSERT_EQ(S_OK, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data + 4, 1, true));
    // Nothing is converted before the last piece arrived.
    EXPECT_EQ(kXmlErrInvalidState, srv.GetXml(text));
    ASSERT_EQ(S_OK, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data + 8, 2, true));
    EXPECT_EQ(kXmlErrInvalidState, srv.Write(XMLDS_MODE_CREATE, sym, path, 4, data, 3, true));
    ASSERT_EQ(S_OK, srv.GetXml(text));
    EXPECT_EQ(text, want);

    // The handle form: the same bytes once more change nothing; other bytes change the texts.
    const uint8_t other[10] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
    ASSERT_EQ(S_OK, srv.Write(4, other));
    ASSERT_EQ(S_OK, srv.Write(4, other + 4));
    ASSERT_EQ(S_OK, srv.Write(2, other + 8));
    ASSERT_EQ(S_OK, srv.GetXml(text));
    EXPECT_EQ(text, "<dataentry><MAIN><aTen index=\"1\">1</aTen><aTen index=\"2\">2</aTen><aTen index=\"3\">3</aTen>"
                    "<aTen index=\"4\">4</aTen><aTen index=\"5\">5</aTen></MAIN></dataentry>");
    EXPECT_EQ(S_OK, srv.Close(false));
    EXPECT_EQ(ReadFile(file), text);
}

// ---------------------------------------------------------------------------------------------------------
// Whole symbols in blocks: the PLC refuses blocks above its limit and the data server asks for quarters.

struct BlockCase {
    const char* what;
    uint32_t fexBlockSize;
    uint32_t maxBlock;         // the PLC's largest block; 0: none
    uint32_t failFirst;        // error of the first memory request; 0: none
    HRESULT storeHr;
    std::vector<uint32_t> storeReads;
    HRESULT restoreHr;
    std::vector<uint32_t> restoreReads;
    std::vector<uint32_t> restoreWrites;
};

TEST_F(DataServerPlc, BlockTransfersQuarterRefusedBlocks)
{
    // Logger.aSamples holds 400000 bytes.
    const std::vector<uint32_t> byQuarters = Join({{262144}, Repeat(65536, 6), {6784}});
    const BlockCase cases[] = {
        {"no limit", 0x40000, 0, 0, S_OK, {262144, 137856}, S_OK, {262144, 137856}, {262144, 137856}},
        {"limit 65536", 0x40000, 65536, 0, S_OK, byQuarters, S_OK, byQuarters, byQuarters},
        {"block size setting 100000", 100000, 65536, 0, S_OK, Join({{100000}, Repeat(25000, 16)}), S_OK,
         Join({{100000}, Repeat(25000, 16)}), Join({{100000}, Repeat(25000, 16)})},
        // 16384 is no longer quartered: the store fails; the pre-read gives up quietly, the write fails.
        {"limit below the smallest quarter", 0x40000, 16000, 0, kXmlErrBlockTooLarge, {262144, 65536, 16384},
         kXmlErrBlockTooLarge, {262144, 65536, 16384}, {262144, 65536, 16384}},
        {"general PLC error on a large block", 0x40000, 0, 0x0001, S_OK, byQuarters, S_OK, byQuarters,
         {262144, 137856}},
        // The pre-read gives up at once; every element is in the document, so the value is complete anyway.
        {"general PLC error on a small block", 16000, 0, 0x0001, kXmlErrPlcInternal, {16000}, S_OK, {16000},
         Repeat(16000, 25)},
    };
    StartPlc("plc/sample-machine.xml");
    const KxPlcSymbolInfo sym = Info("Logger.aSamples");
    ASSERT_EQ(sym.size, 400000u);
    const std::vector<uint8_t> original = Memory("Logger.aSamples");
    const char* path = "/dataentry/Logger/aSamples";

    // A reference document for the restores, stored without faults.
    const std::string reference = dir + "/reference.xml";
    ASSERT_EQ(S_OK, Store(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, reference, "Logger.aSamples", path));

    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.what);
        CXmlDataServerSettings::m_nFexBlockSize = c.fexBlockSize;
        sim.SetMaxBlock(c.maxBlock);

        // Store: the symbol is selected first, then the fault meets the first memory read.
        const std::string file = dir + "/store.xml";
        std::remove(file.c_str());
        {
            TransferServer srv;
            ASSERT_EQ(S_OK, srv.OpenWrite(addr, XMLDS_MODE_CREATE, file.c_str(), "Logger.aSamples", path, nullptr));
            sim.ClearLog();
            if (c.failFirst)
                sim.FailNext(1, c.failFirst);
            EXPECT_EQ(c.storeHr, srv.TransferSymbol(true));
            std::vector<uint32_t> offsets;
            EXPECT_EQ(Lengths(KxPlcRead, sym.group, &offsets), c.storeReads);
            // Every piece starts where the last successful one ended.
            uint32_t at = sym.offset;
            for (size_t i = 0; i < offsets.size(); ++i) {
                EXPECT_EQ(offsets[i], at) << i;
                if (i + 1 < offsets.size() && offsets[i + 1] != offsets[i])
                    at += c.storeReads[i];
            }
            EXPECT_EQ(S_OK, srv.Close(false));
        }
        if (SUCCEEDED(c.storeHr))
            EXPECT_EQ(ReadFile(file), ReadFile(reference));
        else
            EXPECT_NE(access(file.c_str(), F_OK), 0) << "a failed store saved the file";

        // Restore into a cleared PLC.
        SetMemory("Logger.aSamples", std::vector<uint8_t>(sym.size, 0));
        {
            TransferServer srv;
            ASSERT_EQ(S_OK, srv.OpenRead(addr, 0, reference.c_str(), "Logger.aSamples", path, nullptr));
            // One conversion first, so that the type record is cached and the fault meets a memory request.
            std::vector<uint8_t> image(sym.size);
            uint32_t cb = 0;
            ASSERT_EQ(S_OK, srv.Read(sym.size, image.data(), &cb));
            sim.ClearLog();
            if (c.failFirst)
                sim.FailNext(1, c.failFirst);
            EXPECT_EQ(c.restoreHr, srv.TransferSymbol(false));
            EXPECT_EQ(Lengths(KxPlcRead, sym.group), c.restoreReads);
            EXPECT_EQ(Lengths(KxPlcWrite, sym.group), c.restoreWrites);
            srv.Close(false);
        }
        if (SUCCEEDED(c.restoreHr))
            EXPECT_EQ(Memory("Logger.aSamples"), original);
        else
            EXPECT_EQ(Memory("Logger.aSamples"), std::vector<uint8_t>(sym.size, 0));
        SetMemory("Logger.aSamples", original);
    }
}

// A PLC that answers fewer bytes than asked fails a store; nothing is saved.
TEST_F(DataServerPlc, ShortPlcAnswersFailTheStore)
{
    StartPlc("plc/sample-machine.xml");
    const std::string file = dir + "/short.xml";
    TransferServer srv;
    ASSERT_EQ(S_OK, srv.OpenWrite(addr, XMLDS_MODE_CREATE, file.c_str(), "MAIN.aMatrix", "/dataentry/MAIN/aMatrix",
                                  nullptr));
    sim.SetShortBy(2);
    EXPECT_EQ(kXmlErrGeneral, srv.TransferSymbol(true));
    sim.SetShortBy(0);
    std::string text;
    EXPECT_EQ(kXmlErrInvalidState, srv.GetXml(text));
    EXPECT_EQ(S_OK, srv.Close(false));
    EXPECT_NE(access(file.c_str(), F_OK), 0);
}

// A write open of a missing file builds the XML path; a value at an attribute is stored and read back there.
TEST_F(DataServerPlc, WriteOpenOfAMissingFileBuildsThePath)
{
    struct Case {
        const char* path;
        HRESULT hr;
        const char* text;  // the saved file; null: no file
    };
    const Case cases[] = {
        {"/dataentry/MAIN.x", S_OK, "<dataentry><MAIN.x>123456</MAIN.x></dataentry>"},
        {"/dataentry/MAIN/@cycle", S_OK, "<dataentry><MAIN cycle=\"123456\"></MAIN></dataentry>"},
        {"/log/MAIN/nCycle", S_OK, "<log><MAIN><nCycle>123456</nCycle></MAIN></log>"},
        {"x", kXmlErrCreateNode, nullptr},
        {"/a", kXmlErrCreateNode, nullptr},
    };
    StartPlc("plc/sample-machine.xml");
    const KxPlcSymbolInfo info = Info("MAIN.nCycle");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string file = dir + "/new.xml";
        std::remove(file.c_str());
        EXPECT_EQ(c.hr, Store(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, file, "MAIN.nCycle", c.path));
        if (!c.text) {
            EXPECT_NE(access(file.c_str(), F_OK), 0);
            continue;
        }
        const std::string stored = ReadFile(file);
        EXPECT_EQ(stored, c.text);
        // Read back: the document's value goes to the PLC.
        std::string changed = stored;
        changed.replace(changed.find("123456"), 6, "654321");
        ASSERT_TRUE(WriteFile(file, changed));
        EXPECT_EQ(S_OK, Restore(XMLDS_MODE_TRANSFER, file, "MAIN.nCycle", c.path));
        EXPECT_EQ(Value("MAIN.nCycle"), 654321);
        const uint32_t original = 123456;
        ASSERT_TRUE(sim.Poke(info.group, info.offset, &original, 4));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Close: only a modified document is saved, and discard leaves the file alone.

struct FileState {
    ino_t inode = 0;
    struct timespec mtime = {};
    std::string text;
};

FileState StateOf(const std::string& path)
{
    FileState s;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        s.inode = st.st_ino;
        s.mtime = st.st_mtim;
    }
    s.text = ReadFile(path);
    return s;
}

size_t EntriesIn(const std::string& path)
{
    size_t n = 0;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    return n;
}

TEST_F(DataServerPlc, CloseRewritesOnlyAModifiedFileThatIsNotDiscarded)
{
    struct Case {
        const char* what;
        bool write;      // OpenWrite, else OpenRead
        uint16_t mode;
        bool discard;
        bool rewritten;
    };
    const Case cases[] = {
        {"read with transfer", false, XMLDS_MODE_TRANSFER, false, false},
        {"read without transfer", false, 0, false, false},
        {"write open without transfer", true, XMLDS_MODE_CREATE, false, false},
        {"write with transfer, discarded", true, XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, true, false},
        {"write with transfer", true, XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, false, true},
    };
    StartPlc("dataserver/golden-plc.xml");
    const std::string sub = dir + "/close";
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    const std::string file = sub + "/batch.xml";
    const char* sym = "MAIN.stBatch.nId";
    const char* path = "/dataentry/MAIN/stBatch/nId";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile(file, "<dataentry><MAIN><stBatch><nId>1</nId></stBatch></MAIN></dataentry>"));
        const FileState before = StateOf(file);
        // The PLC holds 4711, so a store changes the text.
        CXmlDataServer srv;
        const HRESULT hr = c.write ? srv.OpenWrite(addr, c.mode, file.c_str(), sym, path, nullptr)
                                   : srv.OpenRead(addr, c.mode, file.c_str(), sym, path, nullptr);
        ASSERT_EQ(S_OK, hr);
        std::string text;
        EXPECT_EQ(c.rewritten || c.discard ? S_OK : kXmlErrInvalidState, srv.GetXml(text));
        EXPECT_EQ(S_OK, srv.Close(c.discard));
        const FileState after = StateOf(file);
        if (c.rewritten) {
            EXPECT_EQ(after.text, "<dataentry><MAIN><stBatch><nId>4711</nId></stBatch></MAIN></dataentry>");
        } else {
            EXPECT_EQ(after.text, before.text);
            EXPECT_EQ(after.inode, before.inode);
            EXPECT_EQ(after.mtime.tv_sec, before.mtime.tv_sec);
            EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
        }
        // No temporary or backup file is left beside it.
        EXPECT_EQ(EntriesIn(sub), 1u);
        // The read with transfer wrote the file's value into the PLC; put the PLC's back.
        const uint32_t value = 4711;
        const KxPlcSymbolInfo info = Info(sym);
        ASSERT_TRUE(sim.Poke(info.group, info.offset, &value, 4));
    }
}

}  // namespace
