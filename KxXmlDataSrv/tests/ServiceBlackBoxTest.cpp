// The service program seen from outside: started with a temporary registry, the simulated PLC and its own
// router port, and driven as a client over the router's TCP link.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <random>

#include "ServiceBlackBoxSupport.h"

using namespace kxbb;
using std::chrono::milliseconds;

namespace {

const char* const kExe = KX_SERVICE_EXE;
const uint16_t kPlcPort = 851;      // the simulated PLC started by KX_PLC
const uint16_t kGatePort = 852;     // a PLC played by the test itself
const uint32_t kNoLimit = 0xFFFFFFFFu;

std::string PlcFile()
{
    return std::string(KX_TEST_DATA_DIR) + "/plc/sample-machine.xml";
}

std::vector<uint8_t> U32Bytes(uint32_t v)
{
    Bytes b;
    b.U32(v);
    return b.Vec();
}

uint32_t HandleOf(const Reply& r)
{
    return r.data.size() == 4 ? GetU32(r.data.data()) : 0;
}

// True when every line occurs in text, each after the one before.
bool InOrder(const std::string& text, std::initializer_list<const char*> lines)
{
    size_t at = 0;
    for (const char* line : lines) {
        at = text.find(line, at);
        if (at == std::string::npos)
            return false;
        at += std::strlen(line);
    }
    return true;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Text of the first node an XPath query finds in a file, or "<missing>".
std::string XmlText(const std::string& file, const char* xpath)
{
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str()))
        return "<unreadable>";
    pugi::xpath_node n = doc.select_node(xpath);
    return n ? n.node().text().get() : "<missing>";
}

class ServiceBlackBox : public ::testing::Test {
protected:
    void TearDown() override
    {
        link.Close();
        proc.Kill();
        // A sanitizer build of the program reports on its standard error; any report fails the test.
        std::string err = ReadFile(root / "err.txt");
        for (const char* mark : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
            EXPECT_EQ(err.find(mark), std::string::npos) << err;
    }

    std::vector<std::string> Env(bool withPlc, const std::string& control = "")
    {
        std::vector<std::string> env = {"KX_REGISTRY_ROOT=" + root.Path(),
                                        "KX_ROUTER_PORT=" + std::to_string(tcpPort)};
        if (withPlc)
            env.push_back("KX_PLC=" + PlcFile());
        if (!control.empty())
            env.push_back("KX_CONTROL=" + control);
        return env;
    }

    // Starts the service with the default control sequence (Init, Start) and connects once it runs.
    void StartService(bool withPlc = true)
    {
        ASSERT_FALSE(root.Path().empty());
        WriteRegistry(root.Path(), reg);
        tcpPort = FreeTcpPort();
        ASSERT_NE(tcpPort, 0);
        ASSERT_TRUE(proc.Start(kExe, {}, Env(withPlc), root / "out.txt", root / "err.txt"));
        ASSERT_TRUE(ConnectWhenRunning(proc, tcpPort, link)) << ReadFile(root / "out.txt") << ReadFile(root / "err.txt");
    }

    // Runs the program to its end; returns the exit code, or -1000 when it did not end in time.
    int RunToEnd(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::string& stdinPath = "")
    {
        if (!proc.Start(kExe, args, env, root / "out.txt", root / "err.txt", {stdinPath}))
            return -1001;
        int st = 0;
        if (!proc.WaitExit(milliseconds(60000), &st))
            return -1000;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1002;
    }

    Reply OpenGeneric(const std::string& file, uint32_t offset = 0, uint32_t timeout = kNoLimit)
    {
        return link.Call(0x78, offset, 4, OpenPayload(kPlcPort, timeout, file));
    }

    Reply OpenWriting(const std::string& file, uint16_t mode, const std::string& symbol, const std::string& path,
                      uint32_t offset = 0)
    {
        return link.Call(0x7D, offset, 4, OpenRwPayload(kPlcPort, kNoLimit, mode, file, symbol, path));
    }

    Reply OpenReading(const std::string& file, uint16_t mode, const std::string& symbol, const std::string& path)
    {
        return link.Call(0x7C, 0, 4, OpenRwPayload(kPlcPort, kNoLimit, mode, file, symbol, path));
    }

    Reply Close(uint32_t handle) { return link.Call(0x79, handle, 0, {}); }

    Reply Simple(uint16_t cmd, const std::vector<uint8_t>& body = {})
    {
        uint32_t id = link.NextId();
        Reply r;
        r.error = 0xFFFFFFFFu;
        if (link.SendTo(cmd, id, 10600, body))
            link.Wait(id, milliseconds(30000), r);
        return r;
    }

    TempRoot root;
    RegistrySetup reg;
    ChildProcess proc;
    RawLink link;
    uint16_t tcpPort = 0;
};

// ---------------------------------------------------------------------------------------------------------
// Dispatch

TEST_F(ServiceBlackBox, DispatchGuardsAnswerTheirErrorNumbers)
{
    StartService();
    struct Case {
        uint32_t group, readLength, writeLength, error;
    } cases[] = {
        {0x78, 4, 14, 0x705},        {0x78, 3, 15, 0x705},   {0x79, 0, 1, 0x705},   {0x79, 1, 0, 0x705},
        {0x7A, 0, 0, 0x705},         {0x7A, 4, 1, 0x705},    {0x7A, 0x80000000u, 0, 0x705},
        {0x7B, 0, 0, 0x705},         {0x7B, 1, 1, 0x705},    {0x7C, 4, 20, 0x705},  {0x7C, 3, 21, 0x705},
        {0x7D, 4, 20, 0x705},        {0x7D, 3, 21, 0x705},   {0x7E, 1, 9, 0x705},   {0x7E, 0, 10, 0x705},
        {0x7F, 0, 13, 0x705},        {0x7F, 1, 14, 0x705},   {0x80, 4, 16, 0x705},  {0x80, 3, 17, 0x705},
        {0x8001, 4, 19, 0x705},      {0x8001, 3, 20, 0x705}, {0x8002, 0, 1, 0x705}, {0x8003, 1, 1, 0x705},
        {0x77, 4, 20, 0x701},        {0x81, 4, 20, 0x701},   {0x8000, 0, 0, 0x701}, {0x8004, 0, 1, 0x701},
        {0x8002, 0, 0, 0x8800},      {0x8003, 0, 4, 0x8800}, {0x8001, 4, 20, 0x8800},
        // Well-formed jobs on a handle that was never issued are refused before queueing.
        {0x79, 0, 0, 0x700},         {0x7A, 4, 0, 0x700},    {0x7B, 0, 4, 0x700},
    };
    for (const Case& c : cases) {
        Reply r = link.Call(c.group, 0xF00E, c.readLength, std::vector<uint8_t>(c.writeLength, 0x20));
        EXPECT_EQ(r.error, c.error) << std::hex << "group 0x" << c.group << " read " << c.readLength << " write "
                                    << c.writeLength;
        EXPECT_TRUE(r.data.empty()) << std::hex << "group 0x" << c.group;
    }
}

TEST_F(ServiceBlackBox, StateDeviceInfoAndUnservedCommands)
{
    StartService();
    Reply state = Simple(5);
    ASSERT_EQ(state.error, 0u);
    ASSERT_EQ(state.body.size(), 4u);
    EXPECT_EQ(GetU16(&state.body[0]), 5u);  // run, after Start
    EXPECT_EQ(GetU16(&state.body[2]), 0u);

    Reply info = Simple(6);
    ASSERT_EQ(info.error, 0u);
    ASSERT_GE(info.body.size(), 6u);
    EXPECT_EQ(info.body[0], 3u);
    EXPECT_EQ(info.body[1], 2u);
    EXPECT_EQ(GetU16(&info.body[2]), 38u);
    uint16_t n = GetU16(&info.body[4]);
    ASSERT_EQ(info.body.size(), 6u + n);
    EXPECT_EQ(std::string(info.body.begin() + 6, info.body.end()), "KxXmlDataSrv");

    // Commands the service does not serve end without an answer of its own; the router answers 0x700.
    Bytes wc;
    wc.U16(5).U16(0).U32(0);
    EXPECT_EQ(Simple(4, wc.Vec()).error, 0x700u);
    Bytes an;
    an.U32(0x4040).U32(0).U32(4).U32(0).U32(0).U32(0);
    EXPECT_EQ(Simple(7, an.Vec()).error, 0x700u);
    Bytes rd;
    rd.U32(0x82).U32(0).U32(4);
    EXPECT_EQ(Simple(2, rd.Vec()).error, 0x701u);
    Bytes wr;
    wr.U32(0x82).U32(0).U32(1).U8(0);
    EXPECT_EQ(Simple(1, wr.Vec()).error, 0x701u);
}

std::vector<uint8_t> CredentialBody(const std::string& user, const std::string& pass, int extra = 0)
{
    Bytes b;
    b.U32(0x81).U32(0);
    std::vector<uint8_t> d(4, 0);
    Bytes c;
    c.Raw(d.data(), 4).U16(static_cast<uint16_t>(user.size())).U16(static_cast<uint16_t>(pass.size()));
    c.Raw(user.c_str(), user.size() + 1).Raw(pass.c_str(), pass.size() + 1);
    for (int i = 0; i < extra; ++i)
        c.U8('x');
    b.U32(static_cast<uint32_t>(c.Size())).Raw(c.Vec().data(), c.Size());
    return b.Vec();
}

TEST_F(ServiceBlackBox, CredentialsAreSetClearedAndChecked)
{
    StartService();
    auto flag = [&]() -> int {
        Bytes rd;
        rd.U32(0x81).U32(0).U32(4);
        Reply r = Simple(2, rd.Vec());
        return (r.error == 0 && r.data.size() == 1) ? r.data[0] : -1;
    };
    Bytes zeroRead;
    zeroRead.U32(0x81).U32(0).U32(0);
    EXPECT_EQ(Simple(2, zeroRead.Vec()).error, 0x705u);
    EXPECT_EQ(flag(), 0);

    struct Step {
        std::vector<uint8_t> body;
        uint32_t error;
        int flagAfter;
    };
    Bytes shortBody;
    shortBody.U32(0x81).U32(0).U32(7).U32(0).U16(0).U8(0);
    std::vector<Step> steps = {
        {CredentialBody("operator", "secret"), 0, 1},
        {shortBody.Vec(), 0, 0},                          // 7 bytes or fewer clear both
        {CredentialBody("", "pw"), 0, 1},                 // a password alone counts
        {CredentialBody("user", "pw", 1), 0x705, 1},      // length differs from the declared fields
        {CredentialBody("", ""), 0x800A, 1},              // neither given
    };
    // Both texts declared but empty at their first byte.
    std::vector<uint8_t> empties = CredentialBody("a", "b");
    empties[12 + 8] = 0;
    empties[12 + 10] = 0;
    steps.push_back({empties, 0x800A, 1});
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(Simple(1, steps[i].body).error, steps[i].error) << "step " << i;
        EXPECT_EQ(flag(), steps[i].flagAfter) << "step " << i;
    }
}

TEST_F(ServiceBlackBox, CredentialsEncryptStoredFilesAndReadThemBack)
{
    StartService();
    ASSERT_EQ(Simple(1, CredentialBody("operator", "secret")).error, 0u);
    const std::string file = root / "secret.xml";
    Reply open = OpenWriting(file, 3, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(open.error, 0u);
    ASSERT_EQ(Close(HandleOf(open)).error, 0u);
    std::string stored = ReadFile(file);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("123456"), std::string::npos) << "the value is stored in clear text";
    EXPECT_EQ(stored.find("dataentry"), std::string::npos);

    Reply back = link.Call(0x78, 0, 4, OpenPayload(kPlcPort, kNoLimit, file));
    ASSERT_EQ(back.error, 0u);
    Reply value = link.Call(0x7E, HandleOf(back), 4, ReadSymbolPayload(0, "MAIN.nCycle", "/dataentry/MAIN.nCycle"));
    ASSERT_EQ(value.error, 0u);
    ASSERT_EQ(value.data.size(), 4u);
    EXPECT_EQ(GetU32(value.data.data()), 123456u);
    EXPECT_EQ(Close(HandleOf(back)).error, 0u);
}

TEST_F(ServiceBlackBox, FailedSystemCheckRefusesEveryJob)
{
    struct Case {
        const char* version;
        uint32_t error;
    } cases[] = {{"3.0", 0x8900}, {"", 0x8900}, {"3.1", 0x700}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        link.Close();
        proc.Kill();
        reg.currentVersion = c.version;
        reg.logLevel = *c.version ? 2 : 0;  // without a version no install directory is known
        StartService();
        EXPECT_EQ(link.Call(0x79, 0xF001, 0, {}).error, c.error);
        EXPECT_EQ(link.Call(0x77, 0, 0, {}).error, c.error == 0x700 ? 0x701u : c.error);
        EXPECT_EQ(Simple(6).error, 0u);  // state and device information are still answered
    }
}

// ---------------------------------------------------------------------------------------------------------
// Job payloads

// A payload with one byte too many, and one whose first text holds a NUL before its declared end.
struct Malformed {
    std::vector<uint8_t> longer;
    std::vector<uint8_t> earlyNul;
};

Malformed Spoil(const std::vector<uint8_t>& good, size_t firstTextAt)
{
    Malformed m{good, good};
    m.longer.push_back(0);
    m.earlyNul[firstTextAt] = 0;
    return m;
}

TEST_F(ServiceBlackBox, EveryJobLayoutAcceptsGoodAndRefusesMalformedPayloads)
{
    StartService();
    const std::string src = root / "src.xml";
    ASSERT_TRUE(WriteFile(src, "<dataentry><MAIN.nCycle>42</MAIN.nCycle></dataentry>"));

    // Open jobs: a good payload gives a handle, the malformed ones give their error and leave nothing open.
    struct OpenCase {
        const char* name;
        uint32_t group;
        std::vector<uint8_t> good;
        size_t textAt;
    } opens[] = {
        {"open", 0x78, OpenPayload(kPlcPort, kNoLimit, src), 14},
        {"open for reading", 0x7C, OpenRwPayload(kPlcPort, kNoLimit, 0, src, "MAIN.nCycle", "/dataentry/MAIN.nCycle"),
         20},
        {"open for writing", 0x7D,
         OpenRwPayload(kPlcPort, kNoLimit, 1, root / "w.xml", "MAIN.nCycle", "/dataentry/MAIN.nCycle"), 20},
        {"clarify", 0x80, ClarifyPayload(kPlcPort, kNoLimit, src, root / "dst.xml"), 16},
    };
    uint32_t expectHandle = 0xF001;
    for (const OpenCase& c : opens) {
        SCOPED_TRACE(c.name);
        Malformed bad = Spoil(c.good, c.textAt + 1);
        EXPECT_EQ(link.Call(c.group, 0, 4, bad.longer).error, 0x705u);
        EXPECT_EQ(link.Call(c.group, 0, 4, bad.earlyNul).error, 0x70Bu);
        Reply ok = link.Call(c.group, 0, 4, c.good);
        ASSERT_EQ(ok.error, 0u);
        ASSERT_EQ(ok.data.size(), 4u);
        // Refused jobs issued no handle: the handles run on one by one.
        EXPECT_EQ(HandleOf(ok), expectHandle++);
        EXPECT_EQ(Close(HandleOf(ok)).error, 0u);
        EXPECT_EQ(Close(HandleOf(ok)).error, 0x700u);
    }

    // Jobs on a handle: malformed payloads leave the data server open.
    Reply h = OpenGeneric(src);
    ASSERT_EQ(h.error, 0u);
    const uint32_t handle = HandleOf(h);
    std::vector<uint8_t> readGood = ReadSymbolPayload(0, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    std::vector<uint8_t> writeGood = WriteSymbolPayload(1, "MAIN.nCycle", "/dataentry/MAIN.nCycle", U32Bytes(7));
    Malformed badRead = Spoil(readGood, 10);
    Malformed badWrite = Spoil(writeGood, 14);
    EXPECT_EQ(link.Call(0x7E, handle, 4, badRead.longer).error, 0x705u);
    EXPECT_EQ(link.Call(0x7E, handle, 4, badRead.earlyNul).error, 0x70Bu);
    // The data length declared by a write is larger than what came.
    std::vector<uint8_t> overlong = writeGood;
    overlong[0] = 0xFF;
    overlong[3] = 0xFF;
    EXPECT_EQ(link.Call(0x7F, handle, 0, overlong).error, 0x705u);
    EXPECT_EQ(link.Call(0x7F, handle, 0, badWrite.earlyNul).error, 0x70Bu);

    Reply read = link.Call(0x7E, handle, 4, readGood);
    ASSERT_EQ(read.error, 0u);
    ASSERT_EQ(read.data.size(), 4u);
    EXPECT_EQ(GetU32(read.data.data()), 42u);
    EXPECT_EQ(link.Call(0x7F, handle, 0, writeGood).error, 0u);
    read = link.Call(0x7E, handle, 4, readGood);
    ASSERT_EQ(read.data.size(), 4u);
    EXPECT_EQ(GetU32(read.data.data()), 7u);
    EXPECT_EQ(Close(handle).error, 0u);
    EXPECT_EQ(XmlText(src, "/dataentry/MAIN.nCycle"), "7");
}

TEST_F(ServiceBlackBox, HandlesStartAtF001AndAreReused)
{
    StartService();
    const std::string f = root / "h.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry/>"));
    uint32_t a = HandleOf(OpenGeneric(f));
    uint32_t b = HandleOf(OpenGeneric(f));
    EXPECT_EQ(a, 0xF001u);
    EXPECT_EQ(b, 0xF002u);
    ASSERT_EQ(Close(b).error, 0u);
    // The most recent handle is free again while another is open: it is issued again.
    EXPECT_EQ(HandleOf(OpenGeneric(f)), 0xF002u);
    // An index offset is taken modulo 65536.
    EXPECT_EQ(link.Call(0x79, 0x10000u | b, 0, {}).error, 0u);
    EXPECT_EQ(Close(a).error, 0u);
    // With nothing open the next handle continues upwards.
    uint32_t c = HandleOf(OpenGeneric(f));
    EXPECT_EQ(c, 0xF003u);
    EXPECT_EQ(Close(c).error, 0u);
    for (uint32_t h : {a, b, c})
        EXPECT_EQ(Close(h).error, 0x700u) << std::hex << h;
}

TEST_F(ServiceBlackBox, SecondWriterIsRefusedReadersAreNot)
{
    StartService();
    const std::string f = root / "busy.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry><MAIN.nCycle>1</MAIN.nCycle></dataentry>"));
    Reply w = OpenWriting(f, 1, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(w.error, 0u);
    EXPECT_EQ(OpenWriting(f, 1, "MAIN.nCycle", "/dataentry/MAIN.nCycle").error, 0x708u);
    EXPECT_EQ(link.Call(0x80, 0, 4, ClarifyPayload(kPlcPort, kNoLimit, root / "other.xml", f)).error, 0x708u);
    Reply r = OpenReading(f, 0, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(Close(HandleOf(r)).error, 0u);
    EXPECT_EQ(Close(HandleOf(w)).error, 0u);
    // Once the writer is gone the path is free again.
    Reply again = OpenWriting(f, 1, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    EXPECT_EQ(again.error, 0u);
    EXPECT_EQ(Close(HandleOf(again)).error, 0u);
}

// Every road out of an open gives its exclusive path back, also when the open fails before it names a file.
TEST_F(ServiceBlackBox, FailedAndFilelessOpensLeaveNoPathBusy)
{
    StartService();
    const std::string f = root / "free.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry><MAIN.nCycle>1</MAIN.nCycle></dataentry>"));
    struct Case {
        const char* what;
        uint32_t group;
        std::vector<uint8_t> payload;
        uint32_t error;
        std::string path;  // opened for writing afterwards
    };
    const Case cases[] = {
        {"clarify without a source", 0x80, ClarifyPayload(kPlcPort, kNoLimit, "", f), 0x8000, f},
        {"clarify without a destination", 0x80, ClarifyPayload(kPlcPort, kNoLimit, f, ""), 0x8000, ""},
        {"write open without a file", 0x7D,
         OpenRwPayload(kPlcPort, kNoLimit, 1, "", "MAIN.nCycle", "/dataentry/MAIN.nCycle"), 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reply r = link.Call(c.group, 0, 4, c.payload);
        EXPECT_EQ(r.error, c.error);
        if (r.error == 0) {
            EXPECT_EQ(Close(HandleOf(r)).error, 0u);
        }
        Reply w = OpenWriting(c.path, 1, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
        EXPECT_EQ(w.error, 0u);
        EXPECT_EQ(Close(HandleOf(w)).error, 0u);
    }
}

TEST_F(ServiceBlackBox, IndexOffsetSelectsTheBaseDirectory)
{
    reg.userPaths = {1, 3};
    StartService();
    ASSERT_TRUE(WriteFile(root / "boot/b.xml", "<dataentry/>"));
    ASSERT_TRUE(WriteFile(root / "user1/b.xml", "<dataentry/>"));
    ASSERT_TRUE(WriteFile(root / "user3/b.xml", "<dataentry/>"));
    struct Case {
        uint32_t offset;
        std::string name;
        uint32_t error;
    } cases[] = {
        {4, "b.xml", 0},    {11, "b.xml", 0},    {13, "b.xml", 0},    {12, "b.xml", 0x70C},
        {19, "b.xml", 0x70C}, {0, "b.xml", 0x70C},  // a bare name is not looked up in any base directory
        {0, root / "user3/b.xml", 0},
    };
    for (const Case& c : cases) {
        Reply r = OpenGeneric(c.name, c.offset);
        EXPECT_EQ(r.error, c.error) << "offset " << c.offset;
        if (r.error == 0) {
            EXPECT_EQ(Close(HandleOf(r)).error, 0u);
        }
    }
}

TEST_F(ServiceBlackBox, ExpiredOpenIsRefusedWithoutTouchingAnything)
{
    StartService();
    const std::string f = root / "late.xml";
    Reply r = link.Call(0x7D, 0, 4, OpenRwPayload(kPlcPort, 0, 3, f, "MAIN.nCycle", "/dataentry/MAIN.nCycle"));
    EXPECT_EQ(r.error, 0x719u);
    EXPECT_TRUE(r.data.empty());
    EXPECT_FALSE(std::filesystem::exists(f));
    // No handle was used up.
    Reply next = OpenWriting(f, 1, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    EXPECT_EQ(HandleOf(next), 0xF001u);
    EXPECT_EQ(Close(HandleOf(next)).error, 0u);
}

// ---------------------------------------------------------------------------------------------------------
// Workers and ordering

TEST_F(ServiceBlackBox, FullWorkerQueueRefusesAndQueuedJobsRunInOrder)
{
    reg.settings["NumWorkerThreads"] = 1;
    StartService();
    RawLink plc;  // plays a PLC that holds its answers until the test lets them go
    ASSERT_TRUE(plc.Connect(tcpPort));
    ASSERT_TRUE(plc.Register(kGatePort));

    const std::string f = root / "q.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry/>"));
    Reply first = OpenGeneric(f);
    ASSERT_EQ(first.error, 0u);
    const uint32_t handle = HandleOf(first);

    // The blocker: a write open whose symbol lookup reaches the held PLC, so the only worker waits there.
    const uint32_t blocker = link.NextId();
    ASSERT_TRUE(link.SendReadWrite(blocker, 0x7D, 0, 4,
                                   OpenRwPayload(kGatePort, kNoLimit, 1, root / "blk.xml", "MAIN.nCycle",
                                                 "/dataentry/MAIN.nCycle")));
    RawLink::Request held;
    ASSERT_TRUE(plc.WaitRequest(milliseconds(30000), held));

    const uint32_t close1 = link.NextId();
    const uint32_t close2 = link.NextId();
    ASSERT_TRUE(link.SendReadWrite(close1, 0x79, handle, 0, {}));
    ASSERT_TRUE(link.SendReadWrite(close2, 0x79, handle, 0, {}));
    const int kFlood = 250;
    std::vector<uint32_t> flood;
    for (int i = 0; i < kFlood; ++i) {
        flood.push_back(link.NextId());
        ASSERT_TRUE(link.SendReadWrite(flood.back(), 0x78, 0, 4, OpenPayload(kPlcPort, 1, f)));
    }
    // 200 places: the two closes and 198 opens wait, the rest is refused at once.
    const size_t refused = kFlood - 198;
    ASSERT_TRUE(link.WaitCount(refused, milliseconds(30000),
                               [](uint32_t, const Reply& r) { return r.error == 0x707; }));
    // The queued opens allow 1 ms; let that pass for certain before the worker continues.
    const auto until = Clock::now() + milliseconds(20);
    while (Clock::now() < until) {
    }
    ASSERT_TRUE(plc.Respond(held, 0x710));

    Reply r;
    ASSERT_TRUE(link.Wait(blocker, milliseconds(30000), r));
    EXPECT_NE(r.error, 0u);
    ASSERT_TRUE(link.Wait(close1, milliseconds(30000), r));
    EXPECT_EQ(r.error, 0u);
    ASSERT_TRUE(link.Wait(close2, milliseconds(30000), r));
    EXPECT_EQ(r.error, 0x8001u);  // the handle was closed by the job before it
    size_t full = 0, expired = 0;
    for (size_t i = 0; i < flood.size(); ++i) {
        ASSERT_TRUE(link.Wait(flood[i], milliseconds(30000), r)) << i;
        if (r.error == 0x707) {
            ++full;
            EXPECT_GE(i, 198u) << "a refused job was posted before the queue was full";
        } else {
            EXPECT_EQ(r.error, 0x719u) << i;
            ++expired;
        }
    }
    EXPECT_EQ(full, refused);
    EXPECT_EQ(expired, 198u);
    // The worker is free again.
    Reply after = OpenGeneric(f);
    EXPECT_EQ(after.error, 0u);
    EXPECT_EQ(Close(HandleOf(after)).error, 0u);
}

TEST_F(ServiceBlackBox, JobsOnOneHandleRunInPostingOrder)
{
    StartService();
    const std::string f = root / "order.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry><MAIN.nCycle>0</MAIN.nCycle></dataentry>"));
    Reply open = OpenGeneric(f, 7);
    ASSERT_EQ(open.error, 0u);
    const uint32_t handle = HandleOf(open);
    struct Sent {
        uint32_t id;
        bool isRead;
        uint32_t value;
    };
    std::vector<Sent> sent;
    for (uint32_t v = 1; v <= 40; ++v) {
        uint32_t w = link.NextId();
        ASSERT_TRUE(link.SendReadWrite(w, 0x7F, handle, 0,
                                       WriteSymbolPayload(0, "MAIN.nCycle", "/dataentry/MAIN.nCycle", U32Bytes(v * 3))));
        sent.push_back({w, false, v * 3});
        uint32_t rd = link.NextId();
        ASSERT_TRUE(link.SendReadWrite(rd, 0x7E, handle, 4, ReadSymbolPayload(0, "MAIN.nCycle", "/dataentry/MAIN.nCycle")));
        sent.push_back({rd, true, v * 3});
    }
    const uint32_t closeId = link.NextId();
    ASSERT_TRUE(link.SendReadWrite(closeId, 0x79, handle, 0, {}));
    for (const Sent& s : sent) {
        Reply r;
        ASSERT_TRUE(link.Wait(s.id, milliseconds(30000), r));
        ASSERT_EQ(r.error, 0u) << s.value;
        if (s.isRead) {
            ASSERT_EQ(r.data.size(), 4u);
            EXPECT_EQ(GetU32(r.data.data()), s.value);
        }
    }
    Reply r;
    ASSERT_TRUE(link.Wait(closeId, milliseconds(30000), r));
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(XmlText(f, "/dataentry/MAIN.nCycle"), "120");
}

// A job queued for a handle that is closed and issued again to an open on another worker before the job runs
// never reaches the new data server: it is answered as for an unknown handle.
TEST_F(ServiceBlackBox, QueuedJobNeverReachesTheDataServerOfAReissuedHandle)
{
    reg.settings["NumWorkerThreads"] = 2;
    StartService();
    RawLink plc;  // plays a PLC that holds its answers until the test lets them go
    ASSERT_TRUE(plc.Connect(tcpPort));
    ASSERT_TRUE(plc.Register(kGatePort));
    const std::string f = root / "reuse.xml";
    ASSERT_TRUE(WriteFile(f, "<dataentry><MAIN.nCycle>1</MAIN.nCycle></dataentry>"));

    // Worker 0 (even index offsets): two data servers whose reads wait for the held PLC, and the handle that is
    // reused. Worker 1 holds one more, so the handle table never runs empty and the last handle is issued again.
    const uint32_t gate1 = HandleOf(link.Call(0x78, 0, 4, OpenPayload(kGatePort, kNoLimit, f)));
    const uint32_t gate2 = HandleOf(link.Call(0x78, 0, 4, OpenPayload(kGatePort, kNoLimit, f)));
    const uint32_t other = HandleOf(OpenGeneric(f, 1));
    const uint32_t reused = HandleOf(OpenGeneric(f, 0));
    ASSERT_EQ(reused, 0xF004u);
    const std::vector<uint8_t> read = ReadSymbolPayload(0, "MAIN.nCycle", "/dataentry/MAIN.nCycle");

    const uint32_t wait1 = link.NextId();
    ASSERT_TRUE(link.SendReadWrite(wait1, 0x7E, gate1, 4, read));
    RawLink::Request held;
    ASSERT_TRUE(plc.WaitRequest(milliseconds(30000), held));
    // Queued behind it: the close of the handle, a second wait, and a stale close of the same handle.
    const uint32_t close = link.NextId();
    const uint32_t wait2 = link.NextId();
    const uint32_t stale = link.NextId();
    ASSERT_TRUE(link.SendReadWrite(close, 0x79, reused, 0, {}));
    ASSERT_TRUE(link.SendReadWrite(wait2, 0x7E, gate2, 4, read));
    ASSERT_TRUE(link.SendReadWrite(stale, 0x79, reused, 0, {}));
    // One sender's requests are dispatched in order: once this answer is in, all three are queued.
    ASSERT_EQ(Simple(5).error, 0u);
    ASSERT_TRUE(plc.Respond(held, 0x710));
    // The second wait reached the PLC, so the close has run.
    ASSERT_TRUE(plc.WaitRequest(milliseconds(30000), held));
    Reply r;
    ASSERT_TRUE(link.Wait(close, milliseconds(30000), r));
    EXPECT_EQ(r.error, 0u);

    Reply again = OpenGeneric(f, 1);
    ASSERT_EQ(again.error, 0u);
    ASSERT_EQ(HandleOf(again), reused);
    ASSERT_TRUE(plc.Respond(held, 0x710));
    ASSERT_TRUE(link.Wait(stale, milliseconds(30000), r));
    EXPECT_EQ(r.error, 0x8001u);
    // The new data server is untouched: its own close succeeds.
    EXPECT_EQ(Close(reused).error, 0u);
    EXPECT_EQ(Close(other).error, 0u);
    for (uint32_t id : {wait1, wait2}) {
        ASSERT_TRUE(link.Wait(id, milliseconds(30000), r));
        EXPECT_EQ(r.error, 0x710u);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Store and restore

// Reads a symbol's bytes straight from the simulated PLC through the router.
std::vector<uint8_t> PlcBytes(RawLink& link, const std::string& symbol)
{
    Bytes name;
    name.Str(symbol);
    Reply info = link.Call(0xF009, 0, 1024, name.Vec(), kPlcPort);
    if (info.error != 0 || info.data.size() < 16)
        return {};
    Bytes rd;
    rd.U32(GetU32(&info.data[4])).U32(GetU32(&info.data[8])).U32(GetU32(&info.data[12]));
    uint32_t id = link.NextId();
    Reply r;
    if (!link.SendTo(2, id, kPlcPort, rd.Vec()) || !link.Wait(id, milliseconds(30000), r) || r.error != 0)
        return {};
    return r.data;
}

TEST_F(ServiceBlackBox, StoreAndRestoreEndToEnd)
{
    StartService();
    // Store: the PLC's values land in the file when the data server is closed.
    const std::string stored = root / "user1/machine.xml";
    Reply w = OpenWriting("machine.xml", 3, "MAIN.aAxes", "/dataentry/MAIN.aAxes", 11);
    ASSERT_EQ(w.error, 0u);
    EXPECT_FALSE(std::filesystem::exists(stored));  // written only by the close
    ASSERT_EQ(Close(HandleOf(w)).error, 0u);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(stored.c_str())) << ReadFile(stored);
    // An array is a run of elements, one per index.
    pugi::xpath_node_set axes = doc.select_nodes("/dataentry/MAIN.aAxes");
    ASSERT_EQ(axes.size(), 3u);
    std::ostringstream all;
    for (const pugi::xpath_node& n : axes)
        n.node().print(all);
    const std::string text = all.str();
    for (const char* expect : {"12.5", "-3.25", ">X<", ">Y<", ">Z<"})
        EXPECT_NE(text.find(expect), std::string::npos) << expect << " missing in " << text;

    // Restore: a value edited in the file reaches the PLC.
    const std::string restore = root / "restore.xml";
    ASSERT_TRUE(WriteFile(restore, "<dataentry><MAIN.nCycle>987654</MAIN.nCycle></dataentry>"));
    std::vector<uint8_t> before = PlcBytes(link, "MAIN.nCycle");
    ASSERT_EQ(before.size(), 4u);
    EXPECT_EQ(GetU32(before.data()), 123456u);
    Reply r = OpenReading(restore, 2, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(r.error, 0u);
    ASSERT_EQ(Close(HandleOf(r)).error, 0u);
    std::vector<uint8_t> after = PlcBytes(link, "MAIN.nCycle");
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(GetU32(after.data()), 987654u);

    // A read open without the transfer bit leaves the PLC alone.
    ASSERT_TRUE(WriteFile(restore, "<dataentry><MAIN.nCycle>5</MAIN.nCycle></dataentry>"));
    r = OpenReading(restore, 0, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(r.error, 0u);
    ASSERT_EQ(Close(HandleOf(r)).error, 0u);
    after = PlcBytes(link, "MAIN.nCycle");
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(GetU32(after.data()), 987654u);
}

TEST_F(ServiceBlackBox, OversizedIndentSettingIsBoundedAndLogged)
{
    reg.settings["XmlIdentSize"] = 4000000000u;
    StartService();
    const std::string f = root / "indent.xml";
    Reply w = OpenWriting(f, 3, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(w.error, 0u);
    ASSERT_EQ(Close(HandleOf(w)).error, 0u);
    EXPECT_EQ(ReadFile(f),
              "<dataentry>\n" + std::string(64, '\t') + "<MAIN.nCycle>123456</MAIN.nCycle>\n</dataentry>\n");
    EXPECT_NE(ReadFile(LogPath(root.Path())).find("XmlIdentSize 4000000000 is too large, an indent of 64 is used"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------------------
// Process entry

TEST_F(ServiceBlackBox, SigtermAfterStartShutsDownStopsAndSavesOpenFiles)
{
    StartService();
    const std::string f = root / "pending.xml";
    Reply w = OpenWriting(f, 3, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    ASSERT_EQ(w.error, 0u);
    link.Close();
    proc.Signal(SIGTERM);
    int st = 0;
    ASSERT_TRUE(proc.WaitExit(milliseconds(60000), &st));
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    std::string log = ReadFile(LogPath(root.Path()));
    size_t down = log.find("Shutting down...");
    size_t stop = log.find("Stopping...");
    ASSERT_NE(down, std::string::npos) << log;
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_LT(down, stop);
    EXPECT_NE(log.find("Shutdown was successfull"), std::string::npos);
    // The data server left open was closed by the shutdown and its document saved.
    EXPECT_EQ(XmlText(f, "/dataentry/MAIN.nCycle"), "123456");
    std::string out = ReadFile(root / "out.txt");
    EXPECT_NE(out.find("control 1 -> 0x00000000"), std::string::npos) << out;
    EXPECT_NE(out.find("control 2 -> 0x00000000"), std::string::npos) << out;
}

// Fifty starts, each ended by a SIGTERM at a random moment of the start-up. Whatever the moment, the program runs
// the SIGTERM sequence for the state it reached, writes its lines and ends with status 0. The program starts with
// SIGTERM blocked, so that a signal sent before it has its handler is held for it rather than killing it.
TEST_F(ServiceBlackBox, SigtermAtAnyMomentOfTheStartEndsCleanly)
{
    WriteRegistry(root.Path(), reg);
    const std::string log = LogPath(root.Path());
    std::mt19937 rng(14);
    std::uniform_int_distribution<int> delayMs(0, 50);
    int reached[3] = {};  // runs that ended before Init, after Init, after Start
    for (int run = 0; run < 50; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::remove(log.c_str());
        std::remove((log + ".buffer").c_str());
        tcpPort = FreeTcpPort();
        ASSERT_TRUE(proc.Start(kExe, {}, Env(false), root / "out.txt", root / "err.txt", {"", true}));
        std::this_thread::sleep_for(milliseconds(delayMs(rng)));  // the moment of the signal, not a wait for anything
        proc.Signal(SIGTERM);
        int st = 0;
        const bool ended = proc.WaitExit(milliseconds(10000), &st);
        const std::string text = ReadFile(log);
        const std::string err = ReadFile(root / "err.txt");
        ASSERT_TRUE(ended) << "still running 10 s after SIGTERM\n" << text << err;
        ASSERT_TRUE(WIFEXITED(st)) << st << "\n" << err;
        EXPECT_EQ(WEXITSTATUS(st), 0) << err;
        EXPECT_EQ(Count(err, "SIGTERM received -> shutting down..."), 1u) << err;
        for (const char* mark : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
            ASSERT_EQ(err.find(mark), std::string::npos) << err;

        if (text.find("Start was successfull") != std::string::npos) {
            ++reached[2];
            EXPECT_TRUE(InOrder(text, {"Start was successfull", "Shutting down...", "Shutdown was successfull",
                                       "Stopping...", "Stop was successfull", "KxXmlDataSrv stopped"}))
                << text;
            EXPECT_TRUE(InOrder(err, {"SIGTERM shutdown server", "SIGTERM stop server", "SIGTERM received"})) << err;
        } else if (text.find("Initialization was successfull") != std::string::npos) {
            ++reached[1];
            // Stop by the signal; the release of the service object then shuts down what Init built.
            EXPECT_TRUE(InOrder(text, {"Initialization was successfull", "Stopping...", "Stop was successfull",
                                       "Shutting down...", "Shutdown was successfull", "KxXmlDataSrv stopped"}))
                << text;
            EXPECT_TRUE(InOrder(err, {"SIGTERM stop server", "SIGTERM received"})) << err;
            EXPECT_EQ(err.find("SIGTERM shutdown server"), std::string::npos) << err;
        } else {
            ++reached[0];
            EXPECT_EQ(text, "") << "no Init may follow the signal";
            EXPECT_EQ(err.find("SIGTERM s"), std::string::npos) << err;
        }
    }
    std::printf("SIGTERM before Init: %d, after Init: %d, after Start: %d\n", reached[0], reached[1], reached[2]);
}

// In test mode the program waits for input; a SIGTERM ends that wait with its line and the shutdown.
TEST_F(ServiceBlackBox, SigtermInTestModeIsReportedAndShutsDown)
{
    WriteRegistry(root.Path(), reg);
    tcpPort = FreeTcpPort();
    // Standard input stays open and silent, so only the signal can end the wait.
    const std::string fifo = root / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(proc.Start(kExe, {"-t"}, Env(false), root / "out.txt", root / "err.txt", {fifo}));
    const bool running = ConnectWhenRunning(proc, tcpPort, link);
    link.Close();
    proc.Signal(SIGTERM);
    int st = 0;
    const bool ended = proc.WaitExit(milliseconds(10000), &st);
    ::close(writer);
    ASSERT_TRUE(running);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 255);
    const std::string err = ReadFile(root / "err.txt");
    EXPECT_EQ(Count(err, "SIGTERM received -> shutting down..."), 1u) << err;
    const std::string text = ReadFile(LogPath(root.Path()));
    EXPECT_TRUE(InOrder(text, {"Start was successfull", "Shutting down...", "Shutdown was successfull", "Stopping...",
                               "Stop was successfull"}))
        << text;
}

TEST_F(ServiceBlackBox, CommandLineModes)
{
    WriteRegistry(root.Path(), reg);
    tcpPort = FreeTcpPort();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* stdoutIs;  // null: not checked
    } cases[] = {
        {{"-v"}, 0, "FILEVERSION: 3.0.24.1\nPRODUCTVERSION: 3.1.0.0\n"},
        {{"-vx"}, 0, "FILEVERSION: 3.0.24.1\nPRODUCTVERSION: 3.1.0.0\n"},
        {{"-x"}, 255, ""},
        {{"-umRuntime="}, 255, ""},
        {{"-UMRUNTIMEX"}, 255, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(RunToEnd(c.args, Env(false)), c.exitCode);
        EXPECT_EQ(ReadFile(root / "out.txt"), c.stdoutIs);
    }
    EXPECT_FALSE(std::filesystem::exists(LogPath(root.Path()))) << "no mode above opens the log";

    // Test mode: Init and Start, then one character of input ends it with Shutdown and Stop.
    ASSERT_TRUE(WriteFile(root / "in.txt", "\n"));
    EXPECT_EQ(RunToEnd({"-t"}, Env(true), root / "in.txt"), 255);
    std::string out = ReadFile(root / "out.txt");
    EXPECT_NE(out.find("CreateKxXmlDataSrv succeed"), std::string::npos) << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
    std::string log = ReadFile(LogPath(root.Path()));
    for (const char* line : {"Initializing...", "Starting...", "Shutting down...", "Stopping..."})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(ServiceBlackBox, ControlScriptsDriveTheLifecycle)
{
    WriteRegistry(root.Path(), reg);
    struct Case {
        const char* script;
        const char* replies;
    } cases[] = {
        {"1\n9\n2\n3\n4\n5\n",
         "control 1 -> 0x00000000\ncontrol 2 -> 0x00000000\ncontrol 3 -> 0x00000000\ncontrol 4 -> 0x00000000\n"
         "control 5 -> 0x00000000\n"},
        {"1\n1\n3\n", "control 1 -> 0x00000000\ncontrol 1 -> 0x98110712\ncontrol 3 -> 0x00000000\n"},
        {"1\n3\n1\n3\n4\n",
         "control 1 -> 0x00000000\ncontrol 3 -> 0x00000000\ncontrol 1 -> 0x00000000\ncontrol 3 -> 0x00000000\n"
         "control 4 -> 0x00000000\n"},
        {"9\n7\n0\n", ""},
        {"5\n1\n", "control 5 -> 0x00000000\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        tcpPort = FreeTcpPort();
        ASSERT_TRUE(WriteFile(root / "control.txt", c.script));
        EXPECT_EQ(RunToEnd({}, Env(true, root / "control.txt")), 0);
        std::string out = ReadFile(root / "out.txt");
        std::string replies;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("control ", 0) == 0)
                replies += line + "\n";
        EXPECT_EQ(replies, c.replies) << out;
    }
}

TEST_F(ServiceBlackBox, RuntimeArgumentAndExtraArgumentsStillRunTheService)
{
    reg.currentVersion = "3.0";  // fails the check that only Start makes for a user-mode runtime
    WriteRegistry(root.Path(), reg);
    ASSERT_TRUE(WriteFile(root / "control.txt", "1\n2\n3\n4\n"));
    struct Case {
        std::vector<std::string> args;
        const char* logName;
        bool initChecks;
    } cases[] = {
        {{"-umruntime=5.1.2.3.1.1"}, "KxXmlDataSrv_127.0.0.1.1.1.log", false},
        {{"-t", "-v"}, "KxXmlDataSrv.log", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        tcpPort = FreeTcpPort();
        const std::string log = root / (std::string("Functions/QM4410-XML-Server/") + c.logName);
        EXPECT_EQ(RunToEnd(c.args, Env(true, root / "control.txt")), 0);
        std::string out = ReadFile(root / "out.txt");
        EXPECT_NE(out.find("control 1 -> 0x00000000\ncontrol 2 -> 0x00000000\ncontrol 3 -> 0x00000000\n"
                           "control 4 -> 0x00000000\n"),
                  std::string::npos)
            << out;
        std::string text = ReadFile(log);
        ASSERT_FALSE(text.empty()) << log;
        size_t starting = text.find("Starting...");
        size_t failed = text.find("System check failed: Invalid Korvex version");
        ASSERT_NE(failed, std::string::npos) << text;
        if (c.initChecks)
            EXPECT_LT(failed, starting) << text;
        else
            EXPECT_GT(failed, starting) << text;
    }
}

} // namespace
