// The fixture of the data server tests against the simulated PLC: a router hosted in this process with one
// simulated PLC per test, a temporary folder, and the process-wide save settings put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"
#include "XmlDataServer.h"
#include "XmlDataServerSettings.h"

namespace simplc {

inline std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

class SimPlcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        const uint8_t netId[6] = {10, 60, 0, 1, 1, 1};
        std::memcpy(cfg.netId.b, netId, sizeof netId);
        ASSERT_EQ(S_OK, KxRouterStart(&cfg));
        char tmpl[] = "/tmp/XmlSimPlcXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        savedIndent = CXmlDataServerSettings::m_sIndent;
        savedBlock = CXmlDataServerSettings::m_nFexBlockSize;
        CXmlDataServerSettings::m_sIndent = "";
        CXmlDataServerSettings::m_nFexBlockSize = 0x40000;
    }
    void TearDown() override
    {
        host.Stop();
        KxRouterStop();
        CXmlDataServerSettings::m_sIndent = savedIndent;
        CXmlDataServerSettings::m_nFexBlockSize = savedBlock;
        if (!dir.empty())
            nftw(dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    // Serves the PLC described by the file under the test data folder (instead of the one served before).
    void StartPlc(const std::string& description)
    {
        KxPlcLoadResult r = sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/" + description);
        ASSERT_TRUE(r.ok) << r.description;
        host.Stop();
        ASSERT_EQ(S_OK, host.Start(&sim));
        addr = host.GetAddress();
    }

    KxPlcSymbolInfo Info(const std::string& name)
    {
        KxPlcSymbolInfo info;
        EXPECT_TRUE(sim.Resolve(name, info)) << name;
        return info;
    }
    // The symbol's bytes as the PLC holds them.
    std::vector<uint8_t> Memory(const std::string& name)
    {
        const KxPlcSymbolInfo info = Info(name);
        std::vector<uint8_t> out;
        EXPECT_TRUE(sim.Peek(info.group, info.offset, info.size, out)) << name;
        return out;
    }
    void SetMemory(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const KxPlcSymbolInfo info = Info(name);
        ASSERT_EQ(bytes.size(), info.size);
        ASSERT_TRUE(sim.Poke(info.group, info.offset, bytes.data(), info.size));
    }

    // A write open with the transfer of the given mode and a close; the open's error, else the close's.
    HRESULT Store(uint16_t mode, const std::string& file, const char* symbol, const char* path)
    {
        CXmlDataServer srv;
        HRESULT hr = srv.OpenWrite(addr, mode, file.c_str(), symbol, path, nullptr);
        const HRESULT hrClose = srv.Close(false);
        return FAILED(hr) ? hr : hrClose;
    }
    // A read open with the given mode and a close; the open's result.
    HRESULT Restore(uint16_t mode, const std::string& file, const char* symbol, const char* path)
    {
        CXmlDataServer srv;
        HRESULT hr = srv.OpenRead(addr, mode, file.c_str(), symbol, path, nullptr);
        srv.Close(false);
        return hr;
    }

    CKxPlcSim sim;
    CKxPlcSimHost host;
    HopAddr addr;
    std::string dir;

private:
    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

    std::string savedIndent;
    uint32_t savedBlock = 0;
};

} // namespace simplc
