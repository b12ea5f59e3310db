// The simulated PLC behind the router: in-process host, the KX_PLC start-up hook, and the standalone program
// serving over the TCP link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxPlcDecode.h"
#include "KxPlcSim.h"
#include "KxRouter.h"

extern char** environ;

namespace {

using plctest::DataFile;

HRESULT Fex(uint32_t err)
{
    return FEX_HRESULT(err);
}

class PlcRouterTest : public ::testing::Test {
protected:
    HopNetId netId;

    void StartRouter(bool listen = false, bool startPlc = false)
    {
        const uint8_t id[6] = {10, 1, 2, 3, 1, 1};
        std::memcpy(netId.b, id, 6);
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        cfg.listen = listen ? 1 : 0;
        cfg.netId = netId;
        cfg.startPlc = startPlc ? 1 : 0;
        ASSERT_EQ(S_OK, KxRouterStart(&cfg));
    }
    void TearDown() override { KxRouterStop(); }

    IKxFexSync* SyncTo(uint16_t port, ULONG timeoutMs = 10000)
    {
        IKxFexClient* client = nullptr;
        EXPECT_EQ(S_OK, CreateFexClient(&client));
        if (!client)
            return nullptr;
        HopAddr target(netId, 0);
        IKxFexSync* sync = nullptr;
        EXPECT_EQ(S_OK, client->Connect(&target, port, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()));
        client->Release();
        if (sync)
            sync->SetTimeout(timeoutMs);
        return sync;
    }

public:
    static HRESULT Info(IKxFexSync* sync, uint32_t group, const std::string& name, uint32_t readLength,
                        std::vector<uint8_t>& out)
    {
        out.assign(readLength, 0xCD);
        ULONG got = 0;
        HRESULT hr = sync->SyncReadWrite(group, 0, readLength, out.data(), static_cast<ULONG>(name.size() + 1),
                                         const_cast<char*>(name.c_str()), &got);
        out.resize(SUCCEEDED(hr) ? got : 0);
        return hr;
    }
};

// What the simulator answers in-process, to compare with what arrives over the router.
std::vector<uint8_t> Direct(const char* file, uint32_t group, const std::string& name)
{
    CKxPlcSim sim;
    EXPECT_TRUE(sim.LoadFile(DataFile(file)).ok);
    std::vector<uint8_t> out;
    EXPECT_EQ(0u, sim.ReadWrite(group, 0, 0x10000, name.c_str(), static_cast<uint32_t>(name.size() + 1), out));
    return out;
}

// The answers every test below expects from the records description, wherever it is served.
void CheckRecordsDevice(IKxFexSync* sync)
{
    std::vector<uint8_t> out;
    ASSERT_EQ(S_OK, PlcRouterTest::Info(sync, KXPLC_GROUP_SYMINFO, "main.stpair", 1030, out));
    EXPECT_EQ(out, Direct("records.xml", KXPLC_GROUP_SYMINFO, "MAIN.stPair"));
    plctest::SymRec s;
    ASSERT_TRUE(plctest::DecodeSymbol(out, s));
    EXPECT_EQ(s.name, "MAIN.stPair");

    // A short symbol read tells the real length; a short type read is refused except for the 4-byte probe.
    ASSERT_EQ(S_OK, PlcRouterTest::Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.stPair", 8, out));
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(plctest::LE32(out, 0), 52u);
    EXPECT_EQ(Fex(FEXERR_INVALIDSIZE), PlcRouterTest::Info(sync, KXPLC_GROUP_TYPEINFO, "ST_Pair", 100, out));
    ASSERT_EQ(S_OK, PlcRouterTest::Info(sync, KXPLC_GROUP_TYPEINFO, "ST_Pair", 4, out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(plctest::LE32(out, 0), 158u);
    ASSERT_EQ(S_OK, PlcRouterTest::Info(sync, KXPLC_GROUP_TYPEINFO, "ST_Pair", 158, out));
    EXPECT_EQ(out, Direct("records.xml", KXPLC_GROUP_TYPEINFO, "ST_Pair"));
    EXPECT_EQ(Fex(FEXERR_SYMBOLNOTFOUND), PlcRouterTest::Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.none", 1030, out));
    EXPECT_EQ(Fex(FEXERR_SYMBOLNOTFOUND), PlcRouterTest::Info(sync, KXPLC_GROUP_TYPEINFO, "T_None", 1030, out));

    // Memory: write MAIN.aPairs[2].fB, read it back, and step past the end (44 bytes in group 0x4040).
    float f = 2.75f;
    EXPECT_EQ(S_OK, sync->SyncWrite(KXPLC_DEFAULT_GROUP, 20, 4, &f));
    float back = 0;
    ULONG got = 0;
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 20, 4, &back, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(back, 2.75f);
    uint8_t buf[8];
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 40, 4, buf, &got));
    EXPECT_EQ(Fex(FEXERR_INVALIDOFFSET), sync->SyncRead(KXPLC_DEFAULT_GROUP, 40, 5, buf, &got));

    USHORT state = 0, devState = 0;
    EXPECT_EQ(S_OK, sync->SyncReadState(&state, &devState));
    EXPECT_EQ(state, 5);
    char name[32];
    FexVersion v{};
    EXPECT_EQ(S_OK, sync->SyncReadDeviceInfo(name, sizeof(name), &v));
    EXPECT_STREQ(name, "Records");
}

TEST_F(PlcRouterTest, HostServesThroughTheRouter)
{
    StartRouter();
    CKxPlcSim sim;
    ASSERT_TRUE(sim.LoadFile(DataFile("records.xml")).ok);
    CKxPlcSimHost host;
    ASSERT_EQ(S_OK, host.Start(&sim));
    EXPECT_EQ(host.GetAddress(), HopAddr(netId, 852));
    IKxFexSync* sync = SyncTo(852);
    ASSERT_NE(sync, nullptr);
    sim.ClearLog();
    CheckRecordsDevice(sync);

    // The log shows what the caller asked, in order.
    std::vector<KxPlcRequest> log = sim.GetLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].command, KxPlcReadWrite);
    EXPECT_EQ(log[0].group, KXPLC_GROUP_SYMINFO);
    EXPECT_EQ(log[0].readLength, 1030u);
    EXPECT_EQ(std::string(log[0].writeData.begin(), log[0].writeData.end()), std::string("main.stpair\0", 12));

    // A second simulator cannot take the same address.
    CKxPlcSim other;
    CKxPlcSimHost second;
    EXPECT_EQ(Fex(FEXERR_ADDRTAKEN), second.Start(&other, 852));
    sync->Release();

    // After Stop nobody serves the port.
    host.Stop();
    sync = SyncTo(852);
    std::vector<uint8_t> out;
    EXPECT_EQ(Fex(FEXERR_NOPORT), Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.stPair", 1030, out));
    sync->Release();
}

TEST_F(PlcRouterTest, FaultsReachTheCaller)
{
    StartRouter();
    CKxPlcSim sim;
    ASSERT_TRUE(sim.LoadFile(DataFile("sample-machine.xml")).ok);
    CKxPlcSimHost host;
    ASSERT_EQ(S_OK, host.Start(&sim, 901));
    IKxFexSync* sync = SyncTo(901);
    ASSERT_NE(sync, nullptr);
    std::vector<uint8_t> buf(4096);
    ULONG got = 0;

    sim.SetMaxBlock(1024);
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 1024, buf.data(), &got));
    EXPECT_EQ(Fex(FEXERR_NOMEMORY), sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 1025, buf.data(), &got));
    sim.SetMaxBlock(0);

    sim.SetShortBy(10);
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 100, buf.data(), &got));
    EXPECT_EQ(got, 90u);
    sim.SetShortBy(0);

    sim.FailNext(2, 0x0707);
    EXPECT_EQ(Fex(0x0707), sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 4, buf.data(), &got));
    EXPECT_EQ(Fex(0x0707), sync->SyncWrite(KXPLC_DEFAULT_GROUP, 0, 4, buf.data()));
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 4, buf.data(), &got));

    sim.SetDelay(200);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 4, buf.data(), &got));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    // A caller that gives up earlier than the delay gets the router's time-out.
    sim.SetDelay(1500);
    sync->SetTimeout(100);
    EXPECT_EQ(Fex(FEXERR_TIMEOUT), sync->SyncRead(KXPLC_DEFAULT_GROUP, 0, 4, buf.data(), &got));
    sim.SetDelay(0);
    sync->Release();
}

TEST_F(PlcRouterTest, ConcurrentCallersGetTheirOwnAnswers)
{
    StartRouter();
    CKxPlcSim sim;
    ASSERT_TRUE(sim.LoadFile(DataFile("sample-machine.xml")).ok);
    CKxPlcSimHost host;
    ASSERT_EQ(S_OK, host.Start(&sim));
    KxPlcSymbolInfo samples;
    ASSERT_TRUE(sim.Resolve("Logger.aSamples", samples));
    const char* names[] = {"MAIN.aAxes[2].fSpeed", "MAIN.aMatrix[3,1]", "Recipes.stCurrent.sNote", ".gCounter"};
    std::vector<std::vector<uint8_t>> expected;
    for (const char* n : names) {
        std::vector<uint8_t> rec;
        ASSERT_EQ(0u, sim.ReadWrite(KXPLC_GROUP_SYMINFO, 0, 1030, n, static_cast<uint32_t>(std::strlen(n) + 1), rec));
        expected.push_back(rec);
    }
    std::vector<int> failures(3, 0);
    auto worker = [&](int w) {
        IKxFexSync* sync = SyncTo(851);
        if (!sync) {
            ++failures[w];
            return;
        }
        for (uint32_t i = 0; i < 150; ++i) {
            // Each worker writes its own elements of the large array and reads them back.
            uint32_t offset = samples.offset + 4 * (1000 * w + i);
            uint32_t value = (w << 16) | i, back = 0;
            ULONG got = 0;
            if (sync->SyncWrite(samples.group, offset, 4, &value) != S_OK ||
                sync->SyncRead(samples.group, offset, 4, &back, &got) != S_OK || back != value)
                ++failures[w];
            std::vector<uint8_t> rec;
            size_t k = (i + w) % std::size(names);
            if (Info(sync, KXPLC_GROUP_SYMINFO, names[k], 1030, rec) != S_OK || rec != expected[k])
                ++failures[w];
        }
        sync->Release();
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w)
        threads.emplace_back(worker, w);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));
}

class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : m_name(name) { setenv(name, value.c_str(), 1); }
    ~EnvGuard() { unsetenv(m_name); }

private:
    const char* m_name;
};

TEST_F(PlcRouterTest, KxPlcStartsTheSimulatorWithTheRouter)
{
    {
        EnvGuard env("KX_PLC", DataFile("sample-machine.xml"));
        StartRouter(false, true);
    }
    IKxFexSync* sync = SyncTo(851);
    ASSERT_NE(sync, nullptr);
    std::vector<uint8_t> out;
    ASSERT_EQ(S_OK, Info(sync, KXPLC_GROUP_SYMINFO, "Logger.aSamples[2]", 1030, out));
    plctest::SymRec s;
    ASSERT_TRUE(plctest::DecodeSymbol(out, s));
    float v = 0;
    ULONG got = 0;
    ASSERT_EQ(S_OK, sync->SyncRead(s.group, s.offset, 4, &v, &got));
    EXPECT_EQ(v, 1.0f);
    sync->Release();
    // Stopping the router stops the simulator with it; a fresh router without KX_PLC has no PLC.
    KxRouterStop();
    StartRouter(false, true);
    sync = SyncTo(851);
    EXPECT_EQ(Fex(FEXERR_NOPORT), Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out));
    sync->Release();
}

TEST_F(PlcRouterTest, BadKxPlcLeavesTheRouterRunning)
{
    {
        EnvGuard env("KX_PLC", DataFile("no-such-file.xml"));
        StartRouter(false, true);
    }
    EXPECT_EQ(1, KxRouterIsRunning());
    IKxFexSync* sync = SyncTo(851);
    std::vector<uint8_t> out;
    EXPECT_EQ(Fex(FEXERR_NOPORT), Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out));
    sync->Release();
}

// Runs the standalone program and reads its first line of output.
class Child {
public:
    ~Child() { Stop(); }
    bool Start(const std::vector<std::string>& args, const std::string& routerEnv, const std::string& plcEnv = "")
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "KX_ROUTER=", 10) != 0 && std::strncmp(*e, "KX_PLC=", 7) != 0)
                env.push_back(*e);
        env.push_back("KX_ROUTER=" + routerEnv);
        if (!plcEnv.empty())
            env.push_back("KX_PLC=" + plcEnv);
        std::vector<char*> envp, argv;
        for (std::string& s : env)
            envp.push_back(&s[0]);
        envp.push_back(nullptr);
        std::vector<std::string> a(args);
        for (std::string& s : a)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        int rc = posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        m_out = fds[0];
        return rc == 0;
    }
    // The first line the program prints; empty when it ends first (or after the safety time-out).
    std::string ReadLine()
    {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                continue;
            char c;
            if (read(m_out, &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        return line;
    }
    // Ends the program with SIGTERM; its exit status, or -1.
    int Stop()
    {
        int status = -1;
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            if (waitpid(m_pid, &status, 0) == m_pid && WIFEXITED(status))
                status = WEXITSTATUS(status);
            else
                status = -1;
            m_pid = -1;
        }
        if (m_out >= 0)
            close(m_out);
        m_out = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

TEST_F(PlcRouterTest, StandaloneProgramServesOverTcp)
{
    StartRouter(true);
    uint16_t port = KxRouterListenPort();
    ASSERT_NE(port, 0);
    Child child;
    // KX_PLC is for the hosting process only: a participant that inherits it serves just its own description.
    ASSERT_TRUE(child.Start({KX_PLCSIM_EXE, DataFile("records.xml")}, "127.0.0.1:" + std::to_string(port),
                            DataFile("sample-machine.xml")));
    std::string line = child.ReadLine();
    ASSERT_NE(line.find("Records serving " + HopAddr(netId, 852).ToString()), std::string::npos) << line;

    IKxFexSync* sync = SyncTo(852);
    ASSERT_NE(sync, nullptr);
    CheckRecordsDevice(sync);
    IKxFexSync* none = SyncTo(851);
    std::vector<uint8_t> rec;
    EXPECT_EQ(Fex(FEXERR_NOPORT), Info(none, KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, rec));
    none->Release();
    EXPECT_EQ(child.Stop(), 0);
    std::vector<uint8_t> out;
    EXPECT_TRUE(FAILED(Info(sync, KXPLC_GROUP_SYMINFO, "MAIN.stPair", 1030, out)));
    sync->Release();
}

TEST_F(PlcRouterTest, StandaloneProgramRefusesBadArguments)
{
    StartRouter(true);
    const std::string router = "127.0.0.1:" + std::to_string(KxRouterListenPort());
    const std::vector<std::vector<std::string>> cases = {
        {KX_PLCSIM_EXE},
        {KX_PLCSIM_EXE, DataFile("no-such-file.xml")},
        {KX_PLCSIM_EXE, "--port", "0", DataFile("records.xml")},
        {KX_PLCSIM_EXE, DataFile("records.xml"), DataFile("records.xml")},
    };
    for (const auto& args : cases) {
        Child child;
        ASSERT_TRUE(child.Start(args, router));
        EXPECT_EQ(child.ReadLine(), "");
        int status = child.Stop();
        EXPECT_TRUE(status == 1 || status == 2) << args.back() << " -> " << status;
    }
}

}  // namespace
