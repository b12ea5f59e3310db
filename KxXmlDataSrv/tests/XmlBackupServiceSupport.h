// Helpers for the tests that run the built service program with a backup configuration: the registry file
// with its BACKUP_FILES entries, the service started on a router port of its own (the launcher of
// ServiceBlackBoxSupport.h), and a client that joins the service's router over TCP and talks to the service and
// its simulated PLC.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "KxFex.h"
#include "KxRouter.h"
#include "ServiceBlackBoxSupport.h"

namespace kxsvc {

using kxbb::Bytes;
using kxbb::Clock;
using kxbb::FreeTcpPort;
using kxbb::LogPath;
using kxbb::ReadFile;
using kxbb::WriteFile;
using kxbb::XmlEscape;
// A fresh directory under the system's temporary folder, removed with its content at the end.
using TempDir = kxbb::TempRoot;

// Safety net for waits that normally end much sooner.
constexpr std::chrono::milliseconds kStartLimit(60000);

inline bool Exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// One value of a registry key as the registry file spells it.
struct RegValue {
    std::string name;
    std::string type;  // "SZ", "DW", "BIN", "M_SZ", ...
    std::string text;  // content; for M_SZ the strings separated by '\n'
};

// One subkey of BACKUP_FILES.
struct BackupEntry {
    std::string key;
    std::vector<RegValue> values;
};

// A complete entry: base file, both backups and the number of the newest backup.
inline BackupEntry Entry(const std::string& key, const std::string& base, const std::string& b1, const std::string& b2,
                         uint32_t last)
{
    return {key,
            {{"BaseFile", "SZ", base},
             {"BackupFile1", "SZ", b1},
             {"BackupFile2", "SZ", b2},
             {"LastUpdatedBackupFile", "DW", std::to_string(last)}}};
}

inline void AppendValue(std::ostringstream& x, const RegValue& v)
{
    x << "<Value Name=\"" << XmlEscape(v.name) << "\" Type=\"" << v.type << "\">";
    if (v.type == "M_SZ") {
        x << "<MultiSz>";
        std::istringstream in(v.text);
        std::string line;
        while (std::getline(in, line))
            x << "<Sz>" << XmlEscape(line) << "</Sz>";
        x << "</MultiSz>";
    } else {
        x << XmlEscape(v.text);
    }
    x << "</Value>\n";
}

// The registry text of one run: the runtime version, InstallDir = <root>/inst, the service's settings
// (LogLevel first) and the BACKUP_FILES entries in the given order (none: no BACKUP_FILES key).
inline std::string RegistryXml(const std::string& root, uint32_t logLevel, const std::vector<BackupEntry>& backups,
                               bool withBackupKey = true)
{
    kxbb::RegistrySetup reg;
    reg.userPaths.clear();
    reg.logLevel = logLevel;
    reg.settings = {{"LogMaxFileSize", 0}, {"NumWorkerThreads", 2}};
    if (withBackupKey) {
        std::ostringstream x;
        x << "<Key Name=\"BACKUP_FILES\">\n";
        for (const BackupEntry& e : backups) {
            x << "<Key Name=\"" << XmlEscape(e.key) << "\">\n";
            for (const RegValue& v : e.values)
                AppendValue(x, v);
            x << "</Key>\n";
        }
        x << "</Key>\n";
        reg.serviceKeys = x.str();
    }
    return kxbb::RegistryText(root, reg);
}

// Writes <root>/KxRegistry.xml and the folders the service uses below the root.
inline void WriteRegistry(const std::string& root, uint32_t logLevel, const std::vector<BackupEntry>& backups)
{
    kxbb::WriteRegistryText(root, RegistryXml(root, logLevel, backups));
}

// The service program as a child process, started with the runtime root, a router port and the PLC
// description, and ready once the control queue's replies to Init and Start showed success.
class Service {
public:
    bool Start(const std::string& exe, const std::string& root, uint16_t routerPort, const std::string& plcFile)
    {
        kxbb::StartOptions opt;
        opt.pipeOut = true;
        opt.appendErr = true;  // the attempts of StartAndJoin keep their messages
        return m_proc.Start(exe, {},
                            {"KX_REGISTRY_ROOT=" + root, "KX_ROUTER_PORT=" + std::to_string(routerPort),
                             "KX_PLC=" + plcFile},
                            "", root + "/service.stderr", opt) &&
               !m_proc.ReadLineWith("control 1 -> 0x00000000", kStartLimit).empty() &&
               !m_proc.ReadLineWith("control 2 -> 0x00000000", kStartLimit).empty();
    }

    // Ends the service the way the system does (SIGTERM: Shutdown, Stop, end); true with exit status 0.
    bool Stop()
    {
        if (m_proc.Pid() <= 0)
            return false;
        const int st = m_proc.Terminate(kStartLimit);
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

    // Ends the service at once, without any chance to finish what it is doing.
    void Kill() { m_proc.Kill(); }

    pid_t Pid() const { return m_proc.Pid(); }

private:
    kxbb::ChildProcess m_proc;
};

// Mode bits of the open jobs used here.
constexpr uint16_t kModeCreate = 0x0001;
constexpr uint16_t kModeTransfer = 0x0002;

// Payload of the read and write opens (index groups 0x7C and 0x7D); the PLC is the local one at plcPort.
inline std::vector<uint8_t> OpenPayload(uint16_t plcPort, uint16_t mode, const std::string& file,
                                        const std::string& symbol, const std::string& path)
{
    return kxbb::OpenRwPayload(plcPort, 0xFFFFFFFFu, mode, file, symbol, path);
}

// Payload of the clarify job (index group 0x80).
inline std::vector<uint8_t> ClarifyPayload(uint16_t plcPort, const std::string& src, const std::string& dst)
{
    return kxbb::ClarifyPayload(plcPort, 0xFFFFFFFFu, src, dst);
}

// Payload of the credentials write (index group 0x81).
inline std::vector<uint8_t> CredentialsPayload(const std::string& user, const std::string& password)
{
    Bytes b;
    b.U32(0).U16(static_cast<uint16_t>(user.size())).U16(static_cast<uint16_t>(password.size()));
    b.Str(user).Str(password);
    return b.Vec();
}

// This test process as a participant of the service's router, with synchronous clients of the service's
// port 10600 and of the simulated PLC.
class Link {
public:
    ~Link() { Leave(); }

    bool Join(uint16_t routerPort, uint16_t plcPort = 851)
    {
        Leave();
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_PARTICIPANT;
        cfg.routerPort = routerPort;
        if (FAILED(KxRouterStart(&cfg)))
            return false;
        m_joined = true;
        HopNetId id;
        if (FAILED(KxRouterGetLocalNetId(&id)))
            return false;
        m_service = Connect(id, 10600);
        m_plc = Connect(id, plcPort);
        return m_service && m_plc;
    }

    void Leave()
    {
        if (m_service)
            m_service->Release();
        if (m_plc)
            m_plc->Release();
        m_service = m_plc = nullptr;
        if (m_joined)
            KxRouterStop();
        m_joined = false;
    }

    // A ReadWrite to the service; the protocol error number (0 for success, 0xFFFF when nothing came back).
    uint32_t ReadWrite(uint32_t group, uint32_t offset, uint32_t readLength, std::vector<uint8_t> data,
                       std::vector<uint8_t>* pOut = nullptr)
    {
        std::vector<uint8_t> out(readLength ? readLength : 1);
        ULONG cb = 0;
        HRESULT hr = m_service->SyncReadWrite(group, offset, readLength, out.data(), static_cast<ULONG>(data.size()),
                                              data.empty() ? nullptr : data.data(), &cb);
        out.resize(cb);
        if (pOut)
            *pOut = out;
        return Error(hr);
    }

    // Opens a data server (0x7C read open, 0x7D write open); the handle, or 0 with *pError set.
    uint32_t Open(uint32_t group, uint16_t mode, const std::string& file, const std::string& symbol,
                  const std::string& path, uint32_t* pError)
    {
        std::vector<uint8_t> out;
        *pError = ReadWrite(group, 0, 4, OpenPayload(851, mode, file, symbol, path), &out);
        if (*pError != 0 || out.size() != 4)
            return 0;
        return out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24;
    }

    uint32_t Close(uint32_t handle) { return ReadWrite(0x79, handle, 0, {}); }

    // Opens and closes at once: a store (write open with transfer) or a restore (read open with transfer).
    uint32_t Store(const std::string& file, const std::string& symbol, const std::string& path)
    {
        return OpenClose(0x7D, kModeCreate | kModeTransfer, file, symbol, path);
    }
    uint32_t Restore(const std::string& file, const std::string& symbol, const std::string& path)
    {
        return OpenClose(0x7C, kModeTransfer, file, symbol, path);
    }
    uint32_t OpenClose(uint32_t group, uint16_t mode, const std::string& file, const std::string& symbol,
                       const std::string& path)
    {
        uint32_t err = 0;
        uint32_t h = Open(group, mode, file, symbol, path, &err);
        if (err != 0)
            return err;
        return Close(h);
    }

    uint32_t Clarify(const std::string& src, const std::string& dst)
    {
        std::vector<uint8_t> out;
        uint32_t err = ReadWrite(0x80, 0, 4, ClarifyPayload(851, src, dst), &out);
        if (err == 0 && out.size() == 4)
            Close(out[0] | out[1] << 8);
        return err;
    }

    uint32_t SetCredentials(const std::string& user, const std::string& password)
    {
        std::vector<uint8_t> p = CredentialsPayload(user, password);
        return Error(m_service->SyncWrite(0x81, 0, static_cast<ULONG>(p.size()), p.data()));
    }
    uint32_t ClearCredentials()
    {
        uint8_t zero[4] = {};
        return Error(m_service->SyncWrite(0x81, 0, sizeof(zero), zero));
    }

    // Memory of the simulated PLC.
    bool PlcRead(uint32_t group, uint32_t offset, uint32_t size, std::vector<uint8_t>& out)
    {
        out.assign(size, 0);
        ULONG cb = 0;
        return SUCCEEDED(m_plc->SyncRead(group, offset, size, out.data(), &cb)) && cb == size;
    }
    bool PlcWrite(uint32_t group, uint32_t offset, const std::vector<uint8_t>& data)
    {
        return SUCCEEDED(m_plc->SyncWrite(group, offset, static_cast<ULONG>(data.size()),
                                          const_cast<uint8_t*>(data.data())));
    }

    IKxFexSync* ServiceClient() const { return m_service; }

private:
    static uint32_t Error(HRESULT hr)
    {
        if (hr >= 0)
            return 0;
        uint32_t u = static_cast<uint32_t>(hr);
        return (u & 0xFFFF0000u) == FEX_ERROR_BASE ? (u & 0xFFFFu) : 0xFFFFu;
    }

    static IKxFexSync* Connect(const HopNetId& id, uint16_t port)
    {
        IKxFexClient* client = nullptr;
        if (FAILED(CreateFexClient(&client)) || !client)
            return nullptr;
        HopAddr target(id, port);
        IKxFexSync* sync = nullptr;
        HRESULT hr = client->Connect(&target, port, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant());
        client->Release();
        if (FAILED(hr) || !sync)
            return nullptr;
        sync->SetTimeout(120000);
        return sync;
    }

    bool m_joined = false;
    IKxFexSync* m_service = nullptr;
    IKxFexSync* m_plc = nullptr;
};

// Starts the service on a free router port and joins its router; a port taken meanwhile by someone else
// makes it try again with another one.
inline bool StartAndJoin(Service& svc, Link& link, const std::string& exe, const std::string& root,
                         const std::string& plcFile)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = FreeTcpPort();
        if (port == 0)
            continue;
        if (svc.Start(exe, root, port, plcFile) && link.Join(port))
            return true;
        link.Leave();
        svc.Kill();
    }
    return false;
}

} // namespace kxsvc
