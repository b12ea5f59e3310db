// Helpers for the tests that run the built service program: a temporary runtime root with a registry file
// (including a backup configuration), the child process with its standard output read line by line, and a
// client that joins the service's router over TCP and talks to the service and its simulated PLC.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KxFex.h"
#include "KxRouter.h"

extern char** environ;

namespace kxsvc {

using Clock = std::chrono::steady_clock;

// Safety net for waits that normally end much sooner.
constexpr std::chrono::milliseconds kStartLimit(60000);

// A fresh directory under the system's temporary folder, removed with its content at the end.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kxbkp.XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()))
            m_path = buf.data();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline bool WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

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

inline std::string XmlEscape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
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
    std::ostringstream x;
    x << "<?xml version=\"1.0\"?>\n<KxRegistry>\n<Key Name=\"HKLM\">\n<Key Name=\"Software\">\n"
         "<Key Name=\"Velmor\">\n<Key Name=\"Korvex3\">\n"
         "<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>\n<Key Name=\"3.1\">\n";
    x << "<Value Name=\"InstallDir\" Type=\"SZ\">" << XmlEscape(root) << "/inst</Value>\n";
    x << "<Value Name=\"BootDir\" Type=\"SZ\">" << XmlEscape(root) << "/boot</Value>\n";
    x << "</Key>\n</Key>\n<Key Name=\"Korvex3 Functions\">\n<Key Name=\"QM4410 XML Server\">\n";
    x << "<Value Name=\"LogLevel\" Type=\"DW\">" << logLevel << "</Value>\n";
    x << "<Value Name=\"LogMaxFileSize\" Type=\"DW\">0</Value>\n";
    x << "<Value Name=\"NumWorkerThreads\" Type=\"DW\">2</Value>\n";
    if (withBackupKey) {
        x << "<Key Name=\"BACKUP_FILES\">\n";
        for (const BackupEntry& e : backups) {
            x << "<Key Name=\"" << XmlEscape(e.key) << "\">\n";
            for (const RegValue& v : e.values)
                AppendValue(x, v);
            x << "</Key>\n";
        }
        x << "</Key>\n";
    }
    x << "</Key>\n</Key>\n</Key>\n</Key>\n</Key>\n</KxRegistry>\n";
    return x.str();
}

// Writes <root>/KxRegistry.xml and the folders the service uses below the root.
inline void WriteRegistry(const std::string& root, uint32_t logLevel, const std::vector<BackupEntry>& backups)
{
    std::filesystem::create_directories(root + "/inst");
    std::filesystem::create_directories(root + "/boot");
    std::filesystem::create_directories(root + "/Functions/QM4410-XML-Server");
    WriteFile(root + "/KxRegistry.xml", RegistryXml(root, logLevel, backups));
}

// The service's log file below a root written by WriteRegistry (<InstallDir>/../Functions/...).
inline std::string LogPath(const std::string& root)
{
    return root + "/Functions/QM4410-XML-Server/KxXmlDataSrv.log";
}

// A TCP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreeTcpPort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    uint16_t port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// The service program as a child process. Its standard output is read by a thread, so that the test can
// wait for the control queue's reply lines instead of guessing when the service is ready.
class Service {
public:
    ~Service() { Kill(); }

    // Starts the program with the runtime root, the router port and the PLC description; true once the
    // service answered Init and Start with success.
    bool Start(const std::string& exe, const std::string& root, uint16_t routerPort, const std::string& plcFile)
    {
        Kill();
        m_lines.clear();
        m_eof = false;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "KX_", 3) != 0)
                env.push_back(*e);
        env.push_back("KX_REGISTRY_ROOT=" + root);
        env.push_back("KX_ROUTER_PORT=" + std::to_string(routerPort));
        env.push_back("KX_PLC=" + plcFile);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string arg0 = exe;
        char* argv[] = {&arg0[0], nullptr};
        const std::string errPath = root + "/service.stderr";

        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
        if (m_pid == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in < 0 || err < 0)
                ::_exit(127);
            ::dup2(in, 0);
            ::dup2(fds[1], 1);
            ::dup2(err, 2);
            ::close(fds[0]);
            ::execve(exe.c_str(), argv, envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        m_fd = fds[0];
        m_reader = std::thread([this] { ReadLoop(); });
        return WaitLine("control 1 -> 0x00000000") && WaitLine("control 2 -> 0x00000000");
    }

    // Waits until standard output showed a line beginning with prefix; false when the program ended first
    // or the safety limit passed.
    bool WaitLine(const std::string& prefix, std::chrono::milliseconds limit = kStartLimit)
    {
        std::unique_lock<std::mutex> lock(m_m);
        return m_cv.wait_for(lock, limit, [&] {
            for (const std::string& l : m_lines)
                if (l.compare(0, prefix.size(), prefix) == 0)
                    return true;
            return m_eof;
        }) && !m_eof;
    }

    // Ends the service the way the system does (SIGTERM: Shutdown, Stop, end); true with exit status 0.
    bool Stop()
    {
        if (m_pid <= 0)
            return false;
        ::kill(m_pid, SIGTERM);
        int st = 0;
        bool ok = Reap(&st) && WIFEXITED(st) && WEXITSTATUS(st) == 0;
        return ok;
    }

    // Ends the service at once, without any chance to finish what it is doing.
    void Kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int st = 0;
            Reap(&st);
        }
    }

    pid_t Pid() const { return m_pid; }

private:
    bool Reap(int* st)
    {
        pid_t r;
        do {
            r = ::waitpid(m_pid, st, 0);
        } while (r < 0 && errno == EINTR);
        m_pid = -1;
        if (m_reader.joinable())
            m_reader.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return r > 0;
    }

    void ReadLoop()
    {
        std::string partial;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(m_fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            partial.append(buf, static_cast<size_t>(n));
            size_t pos;
            std::lock_guard<std::mutex> lock(m_m);
            while ((pos = partial.find('\n')) != std::string::npos) {
                m_lines.push_back(partial.substr(0, pos));
                partial.erase(0, pos + 1);
            }
            m_cv.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_m);
        m_eof = true;
        m_cv.notify_all();
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    std::thread m_reader;
    std::mutex m_m;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    bool m_eof = false;
};

// Little-endian payload writer.
class Bytes {
public:
    Bytes& U8(uint8_t v)
    {
        m_b.push_back(v);
        return *this;
    }
    Bytes& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
    Bytes& U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16)); }
    Bytes& Raw(const void* p, size_t n)
    {
        m_b.insert(m_b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        return *this;
    }
    Bytes& Str(const std::string& s) { return Raw(s.c_str(), s.size() + 1); }
    std::vector<uint8_t>& Vec() { return m_b; }

private:
    std::vector<uint8_t> m_b;
};

// Mode bits of the open jobs used here.
constexpr uint16_t kModeCreate = 0x0001;
constexpr uint16_t kModeTransfer = 0x0002;

// Payload of the read and write opens (index groups 0x7C and 0x7D); the PLC is the local one at plcPort.
inline std::vector<uint8_t> OpenPayload(uint16_t plcPort, uint16_t mode, const std::string& file,
                                        const std::string& symbol, const std::string& path)
{
    const uint8_t zero[6] = {};
    Bytes b;
    b.Raw(zero, 6).U16(plcPort).U32(0xFFFFFFFFu).U16(mode);
    b.U16(static_cast<uint16_t>(file.size())).U16(static_cast<uint16_t>(symbol.size()));
    b.U16(static_cast<uint16_t>(path.size())).Str(file).Str(symbol).Str(path);
    return b.Vec();
}

// Payload of the clarify job (index group 0x80).
inline std::vector<uint8_t> ClarifyPayload(uint16_t plcPort, const std::string& src, const std::string& dst)
{
    const uint8_t zero[6] = {};
    Bytes b;
    b.Raw(zero, 6).U16(plcPort).U32(0xFFFFFFFFu);
    b.U16(static_cast<uint16_t>(src.size())).U16(static_cast<uint16_t>(dst.size())).Str(src).Str(dst);
    return b.Vec();
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
        return (u & 0xFFFF0000u) == 0x98110000u ? (u & 0xFFFFu) : 0xFFFFu;
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
