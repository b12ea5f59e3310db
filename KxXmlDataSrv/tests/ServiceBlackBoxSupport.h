// Helpers for driving the built programs from outside: a temporary runtime root with a registry file, the child
// process, and a raw client of the router's TCP link that can keep many requests outstanding. Shared by every test
// that starts the service as a process (black-box, backup, encryption, crash and end-to-end tests) and the service
// benchmark.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestTemp.h"

extern char** environ;

namespace kxbb {

using Clock = std::chrono::steady_clock;

// The runtime root of one run: a private temporary directory.
using TempRoot = TestTemp;

inline bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

// What goes into the registry file of one run.
struct RegistrySetup {
    std::string currentVersion = "3.1";    // empty: no value at all
    bool withBootDir = true;                // BootDir = <root>/boot
    std::vector<int> userPaths = {1};       // UserPath<n> = <root>/user<n>
    std::map<std::string, uint32_t> settings;  // double words of the service's settings key
    uint32_t logLevel = 2;                  // 0: no log file (needed when InstallDir cannot be found)
    std::string serviceKeys;                // subkeys of the service's settings key, as registry XML
};

// The registry text of one run below root.
inline std::string RegistryText(const std::string& root, const RegistrySetup& reg)
{
    const std::string r = XmlEscape(root);
    std::ostringstream x;
    x << "<?xml version=\"1.0\"?>\n<KxRegistry>\n<Key Name=\"HKLM\">\n<Key Name=\"Software\">\n"
         "<Key Name=\"Velmor\">\n<Key Name=\"Korvex3\">\n";
    if (!reg.currentVersion.empty())
        x << "<Value Name=\"CurrentVersion\" Type=\"SZ\">" << reg.currentVersion << "</Value>\n";
    x << "<Key Name=\"" << (reg.currentVersion.empty() ? "3.1" : reg.currentVersion) << "\">\n";
    x << "<Value Name=\"InstallDir\" Type=\"SZ\">" << r << "/inst</Value>\n";
    if (reg.withBootDir)
        x << "<Value Name=\"BootDir\" Type=\"SZ\">" << r << "/boot</Value>\n";
    for (int n : reg.userPaths)
        x << "<Value Name=\"UserPath" << n << "\" Type=\"SZ\">" << r << "/user" << n << "</Value>\n";
    x << "</Key>\n</Key>\n<Key Name=\"Korvex3 Functions\">\n<Key Name=\"QM4410 XML Server\">\n";
    x << "<Value Name=\"LogLevel\" Type=\"DW\">" << reg.logLevel << "</Value>\n";
    for (const auto& kv : reg.settings)
        x << "<Value Name=\"" << kv.first << "\" Type=\"DW\">" << kv.second << "</Value>\n";
    x << reg.serviceKeys;
    x << "</Key>\n</Key>\n</Key>\n</Key>\n</Key>\n</KxRegistry>\n";
    return x.str();
}

// Writes text as <root>/KxRegistry.xml and creates the directories the service uses below the root, including
// the log directory that it derives from InstallDir (<root>/inst/../Functions/QM4410-XML-Server).
inline void WriteRegistryText(const std::string& root, const std::string& text)
{
    namespace fs = std::filesystem;
    fs::create_directories(root + "/inst");
    fs::create_directories(root + "/Functions/QM4410-XML-Server");
    fs::create_directories(root + "/boot");
    WriteFile(root + "/KxRegistry.xml", text);
}

// Writes the registry of reg below root with the directories it names.
inline void WriteRegistry(const std::string& root, const RegistrySetup& reg)
{
    for (int n : reg.userPaths)
        std::filesystem::create_directories(root + "/user" + std::to_string(n));
    WriteRegistryText(root, RegistryText(root, reg));
}

// The service's log file under a root prepared by WriteRegistry.
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
    a.sin_port = 0;
    uint16_t port = 0;
    socklen_t len = sizeof(a);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// How ChildProcess::Start connects the program.
struct StartOptions {
    std::string inPath;        // standard input from this file; empty: /dev/null
    bool termBlocked = false;  // SIGTERM blocked at start, as a careful launcher hands it over: one sent before the
                               // program has its handler waits for it instead of killing it
    bool pipeOut = false;      // standard output into a pipe, read with ReadLineWith (outPath unused)
    bool appendErr = false;    // standard error appended to errPath (several starts into one file)
};

// A program (the service, the PLC simulator, kxxml) as a child process with its own environment: the caller's
// minus KX_*, plus the given variables. Standard output goes to a file or a pipe, standard error to a file.
// Killed and reaped on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        Kill();
        if (m_outFd >= 0)
            ::close(m_outFd);
    }

    // Starts exe with the arguments and extra environment (NAME=value); false when it cannot be started.
    bool Start(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::string& outPath, const std::string& errPath, const StartOptions& opt = StartOptions())
    {
        Kill();
        if (m_outFd >= 0)
            ::close(m_outFd);
        m_outFd = -1;
        m_outBuf.clear();
        std::vector<std::string> argStore;
        argStore.push_back(exe);
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "KX_", 3) != 0)
                envStore.push_back(*e);
        }
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envStore)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        int fds[2] = {-1, -1};
        if (opt.pipeOut && ::pipe(fds) != 0)
            return false;
        // Blocked before the fork, so that not even the child's first instructions can be hit by the signal.
        sigset_t term, old;
        sigemptyset(&term);
        if (opt.termBlocked)
            sigaddset(&term, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &term, &old);
        m_pid = ::fork();
        if (m_pid != 0)
            ::pthread_sigmask(SIG_SETMASK, &old, nullptr);  // the child keeps it blocked through exec
        if (m_pid == 0) {
#ifdef __linux__
            // Should the test program itself be killed, its children must not outlive it. The signal comes when
            // the thread that forked ends, so a child must be started by a thread that outlives it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
            int in = ::open(opt.inPath.empty() ? "/dev/null" : opt.inPath.c_str(), O_RDONLY);
            int out = opt.pipeOut ? fds[1] : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | (opt.appendErr ? O_APPEND : O_TRUNC), 0644);
            if (in < 0 || out < 0 || err < 0)
                ::_exit(127);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (opt.pipeOut)
                ::close(fds[0]);
            ::execve(exe.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        if (opt.pipeOut) {
            ::close(fds[1]);
            m_outFd = m_pid > 0 ? fds[0] : -1;
            if (m_pid < 0)
                ::close(fds[0]);
        }
        return m_pid > 0;
    }

    // The child's process id while it has not been reaped, else -1.
    pid_t Pid() const { return m_pid; }

    // True once the child has ended; *status gets its wait status (-1 when it was never started).
    bool Poll(int* status)
    {
        if (m_pid <= 0) {
            *status = m_status;
            return true;
        }
        int st = 0;
        if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_status = st;
            m_pid = -1;
            *status = st;
            return true;
        }
        return false;
    }

    // True while the program runs.
    bool Alive()
    {
        int st = 0;
        return !Poll(&st);
    }

    // Waits for the end of the child up to the limit; true with its wait status when it ended.
    bool WaitExit(std::chrono::milliseconds limit, int* status)
    {
        const auto deadline = Clock::now() + limit;
        while (!Poll(status)) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // poll interval of waitpid
        }
        return true;
    }

    // Waits for the end up to the limit and kills the program when it did not end in time; its wait status.
    int WaitFor(std::chrono::milliseconds limit, bool* timedOut = nullptr)
    {
        int st = -1;
        const bool ended = WaitExit(limit, &st);
        if (timedOut)
            *timedOut = !ended;
        if (!ended) {
            Kill();
            st = m_status;
        }
        return st;
    }

    // SIGTERM, then SIGKILL if the program has not ended within the limit; its wait status.
    int Terminate(std::chrono::milliseconds limit)
    {
        Signal(SIGTERM);
        return WaitFor(limit);
    }

    void Signal(int sig)
    {
        if (m_pid > 0)
            ::kill(m_pid, sig);
    }

    // Ends the program at once, without any chance to finish what it is doing.
    void Kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int st = 0;
            pid_t r;
            do
                r = ::waitpid(m_pid, &st, 0);
            while (r < 0 && errno == EINTR);
            m_status = r == m_pid ? st : -1;
            m_pid = -1;
        }
    }

    // Reads standard output (pipeOut) until a line contains marker; that line, or "" when the output ends or
    // the limit passes first.
    std::string ReadLineWith(const std::string& marker, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (m_outFd >= 0) {
            size_t pos;
            while ((pos = m_outBuf.find('\n')) != std::string::npos) {
                std::string line = m_outBuf.substr(0, pos);
                m_outBuf.erase(0, pos + 1);
                if (line.find(marker) != std::string::npos)
                    return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return "";
            pollfd p{m_outFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char chunk[512];
            ssize_t n = ::read(m_outFd, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return "";
            m_outBuf.append(chunk, static_cast<size_t>(n));
        }
        return "";
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    int m_outFd = -1;
    std::string m_outBuf;  // output read but not yet handed out as a line
};

// Little-endian byte writer for payloads and frames.
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
    Bytes& Str(const std::string& s) { return Raw(s.c_str(), s.size() + 1); }  // characters and the NUL
    Bytes& Addr(const uint8_t netId[6], uint16_t port) { return Raw(netId, 6).U16(port); }
    std::vector<uint8_t>& Vec() { return m_b; }
    size_t Size() const { return m_b.size(); }

private:
    std::vector<uint8_t> m_b;
};

inline uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline uint16_t GetU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Payload builders of the file jobs. The PLC address is the local net id (all zero) and the given port.
inline std::vector<uint8_t> OpenPayload(uint16_t plcPort, uint32_t timeout, const std::string& file)
{
    const uint8_t zero[6] = {};
    Bytes b;
    b.Addr(zero, plcPort).U32(timeout).U16(static_cast<uint16_t>(file.size())).Str(file);
    return b.Vec();
}

inline std::vector<uint8_t> OpenRwPayload(uint16_t plcPort, uint32_t timeout, uint16_t mode, const std::string& file,
                                          const std::string& symbol, const std::string& path)
{
    const uint8_t zero[6] = {};
    Bytes b;
    b.Addr(zero, plcPort).U32(timeout).U16(mode);
    b.U16(static_cast<uint16_t>(file.size())).U16(static_cast<uint16_t>(symbol.size()));
    b.U16(static_cast<uint16_t>(path.size())).Str(file).Str(symbol).Str(path);
    return b.Vec();
}

inline std::vector<uint8_t> ReadSymbolPayload(uint16_t mode, const std::string& symbol, const std::string& path,
                                              uint16_t seq = 0, uint8_t partial = 0)
{
    Bytes b;
    b.U16(mode).U16(static_cast<uint16_t>(symbol.size())).U16(static_cast<uint16_t>(path.size()));
    b.U16(seq).U8(partial).Str(symbol).Str(path);
    return b.Vec();
}

inline std::vector<uint8_t> WriteSymbolPayload(uint16_t mode, const std::string& symbol, const std::string& path,
                                               const std::vector<uint8_t>& data, uint16_t seq = 0,
                                               uint8_t partial = 0)
{
    Bytes b;
    b.U32(static_cast<uint32_t>(data.size())).U16(mode).U16(static_cast<uint16_t>(symbol.size()));
    b.U16(static_cast<uint16_t>(path.size())).U16(seq).U8(partial).Str(symbol).Str(path);
    b.Raw(data.data(), data.size());
    return b.Vec();
}

inline std::vector<uint8_t> ClarifyPayload(uint16_t plcPort, uint32_t timeout, const std::string& src,
                                           const std::string& dst)
{
    const uint8_t zero[6] = {};
    Bytes b;
    b.Addr(zero, plcPort).U32(timeout).U16(static_cast<uint16_t>(src.size())).U16(static_cast<uint16_t>(dst.size()));
    b.Str(src).Str(dst);
    return b.Vec();
}

// One answer received on the link.
struct Reply {
    uint16_t cmd = 0;
    uint32_t error = 0;
    std::vector<uint8_t> body;   // the response body as sent
    std::vector<uint8_t> data;   // Read/ReadWrite: the data after the length word
};

// A participant of the router's TCP link speaking the raw frame layout. Requests are numbered by the caller's
// invoke ids; answers are collected by a reader thread, so many requests may be outstanding at once.
class RawLink {
public:
    ~RawLink() { Close(); }

    // Connects and says Hello; false when the router cannot be reached or does not answer.
    bool Connect(uint16_t tcpPort, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        Close();
        {
            std::lock_guard<std::mutex> lock(m_m);
            m_closed = false;
            m_replies.clear();
            m_requests.clear();
        }
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0)
            return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(tcpPort);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        m_reader = std::thread([this] { ReadLoop(); });
        const uint8_t zero[8] = {};
        Reply r;
        if (SendFrame(0x100, 0xFFFFFFF0u, zero, zero, nullptr, 0) && Wait(0xFFFFFFF0u, limit, r) && r.error == 0)
            return true;
        Close();
        std::lock_guard<std::mutex> lock(m_m);
        m_closed = false;
        m_replies.clear();
        return false;
    }

    // Serves port at the router's local net id: requests to it are kept for WaitRequest.
    bool Register(uint16_t port)
    {
        uint32_t id = NextId();
        uint8_t target[8] = {};
        target[6] = static_cast<uint8_t>(port);
        target[7] = static_cast<uint8_t>(port >> 8);
        Reply r;
        return SendFrame(0x101, id, target, m_selfAddr, nullptr, 0) &&
               Wait(id, std::chrono::milliseconds(5000), r) && r.error == 0;
    }

    // A request forwarded to a registered port.
    struct Request {
        uint16_t cmd = 0;
        uint32_t invokeId = 0;
        uint8_t target[8] = {};
        uint8_t source[8] = {};
        std::vector<uint8_t> body;
    };

    // Waits for the next request to a registered port.
    bool WaitRequest(std::chrono::milliseconds limit, Request& out)
    {
        std::unique_lock<std::mutex> lock(m_m);
        if (!m_cv.wait_for(lock, limit, [&] { return !m_requests.empty() || m_closed; }) || m_requests.empty())
            return false;
        out = std::move(m_requests.front());
        m_requests.erase(m_requests.begin());
        return true;
    }

    // Answers a request of WaitRequest with an error number and, for Read/ReadWrite, data.
    bool Respond(const Request& req, uint32_t error, const std::vector<uint8_t>& data = {})
    {
        Bytes b;
        if (req.cmd == 2 || req.cmd == 3)
            b.U32(static_cast<uint32_t>(data.size())).Raw(data.data(), data.size());
        return SendFrame(req.cmd, req.invokeId, req.source, req.target, b.Vec().data(), b.Size(), 1, error);
    }

    void Close()
    {
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        if (m_reader.joinable())
            m_reader.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // The router's local net id as answered to Hello.
    const uint8_t* NetId() const { return m_self; }

    bool SendReadWrite(uint32_t invokeId, uint32_t group, uint32_t offset, uint32_t readLength,
                       const std::vector<uint8_t>& data, uint16_t port = 10600)
    {
        Bytes b;
        b.U32(group).U32(offset).U32(readLength).U32(static_cast<uint32_t>(data.size()));
        b.Raw(data.data(), data.size());
        return SendTo(3, invokeId, port, b.Vec());
    }

    bool SendTo(uint16_t cmd, uint32_t invokeId, uint16_t port, const std::vector<uint8_t>& body)
    {
        uint8_t target[8];
        std::memcpy(target, m_self, 6);
        target[6] = static_cast<uint8_t>(port);
        target[7] = static_cast<uint8_t>(port >> 8);
        return SendFrame(cmd, invokeId, target, m_selfAddr, body.data(), body.size());
    }

    // Waits for the answer to invokeId; false when none came within the limit.
    bool Wait(uint32_t invokeId, std::chrono::milliseconds limit, Reply& out)
    {
        std::unique_lock<std::mutex> lock(m_m);
        if (!m_cv.wait_for(lock, limit, [&] { return m_replies.count(invokeId) != 0 || m_closed; }))
            return false;
        auto it = m_replies.find(invokeId);
        if (it == m_replies.end())
            return false;
        out = std::move(it->second);
        m_replies.erase(it);
        return true;
    }

    // Waits until at least n answers are held that the predicate accepts.
    template <typename Pred>
    bool WaitCount(size_t n, std::chrono::milliseconds limit, Pred pred)
    {
        std::unique_lock<std::mutex> lock(m_m);
        return m_cv.wait_for(lock, limit, [&] {
            size_t c = 0;
            for (const auto& kv : m_replies)
                if (pred(kv.first, kv.second))
                    ++c;
            return c >= n;
        });
    }

    // One synchronous ReadWrite.
    Reply Call(uint32_t group, uint32_t offset, uint32_t readLength, const std::vector<uint8_t>& data,
               uint16_t port = 10600)
    {
        uint32_t id = ++m_nextId;
        Reply r;
        r.error = 0xFFFFFFFFu;
        if (SendReadWrite(id, group, offset, readLength, data, port))
            Wait(id, std::chrono::milliseconds(30000), r);
        return r;
    }

    uint32_t NextId() { return ++m_nextId; }

private:
    bool SendFrame(uint16_t cmd, uint32_t invokeId, const uint8_t target[8], const uint8_t source[8],
                   const uint8_t* body, size_t cbBody, uint16_t flags = 0, uint32_t error = 0)
    {
        Bytes f;
        f.U32(static_cast<uint32_t>(28 + cbBody)).U16(cmd).U16(flags).U32(invokeId).U32(error);
        f.Raw(target, 8).Raw(source, 8);
        if (cbBody)
            f.Raw(body, cbBody);
        std::lock_guard<std::mutex> lock(m_sendLock);
        const uint8_t* p = f.Vec().data();
        size_t left = f.Size();
        while (left) {
            ssize_t n = ::send(m_fd, p, left, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }

    bool RecvAll(uint8_t* p, size_t n)
    {
        while (n) {
            ssize_t r = ::recv(m_fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    void ReadLoop()
    {
        for (;;) {
            uint8_t len[4];
            if (!RecvAll(len, 4))
                break;
            uint32_t n = GetU32(len);
            if (n < 28 || n > (16u << 20))
                break;
            std::vector<uint8_t> f(n);
            if (!RecvAll(f.data(), n))
                break;
            Reply r;
            r.cmd = GetU16(&f[0]);
            uint16_t flags = GetU16(&f[2]);
            uint32_t id = GetU32(&f[4]);
            r.error = GetU32(&f[8]);
            if (!(flags & 1)) {
                Request q;
                q.cmd = r.cmd;
                q.invokeId = id;
                std::memcpy(q.target, &f[12], 8);
                std::memcpy(q.source, &f[20], 8);
                q.body.assign(f.begin() + 28, f.end());
                std::lock_guard<std::mutex> lock(m_m);
                m_requests.push_back(std::move(q));
                m_cv.notify_all();
                continue;
            }
            r.body.assign(f.begin() + 28, f.end());
            if ((r.cmd == 2 || r.cmd == 3) && r.body.size() >= 4) {
                uint32_t cb = GetU32(r.body.data());
                if (cb <= r.body.size() - 4)
                    r.data.assign(r.body.begin() + 4, r.body.begin() + 4 + cb);
            }
            std::lock_guard<std::mutex> lock(m_m);
            if (r.cmd == 0x100) {
                std::memcpy(m_self, &f[12], 6);
                std::memcpy(m_selfAddr, &f[12], 8);
            }
            m_replies[id] = std::move(r);
            m_cv.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_m);
        m_closed = true;
        m_cv.notify_all();
    }

    int m_fd = -1;
    std::thread m_reader;
    std::mutex m_sendLock;
    std::mutex m_m;
    std::condition_variable m_cv;
    std::map<uint32_t, Reply> m_replies;
    std::vector<Request> m_requests;
    bool m_closed = false;
    uint8_t m_self[6] = {};
    uint8_t m_selfAddr[8] = {};
    uint32_t m_nextId = 0;
};

// Connects a raw link to a service that is starting: retries until the router accepts the Hello and the
// service answers ReadState with the run state (5), or the child ends, or the deadline passes.
inline bool ConnectWhenRunning(ChildProcess& proc, uint16_t tcpPort, RawLink& link,
                               std::chrono::milliseconds limit = std::chrono::milliseconds(30000))
{
    const auto deadline = Clock::now() + limit;
    bool connected = false;
    while (Clock::now() < deadline) {
        int st = 0;
        if (proc.Poll(&st))
            return false;
        if (!connected)
            connected = link.Connect(tcpPort);
        if (connected) {
            uint32_t id = link.NextId();
            Reply r;
            if (link.SendTo(5, id, 10600, {}) && link.Wait(id, std::chrono::milliseconds(5000), r) && r.error == 0 &&
                r.body.size() >= 2 && GetU16(r.body.data()) == 5)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // poll interval of the retry loop
    }
    return false;
}

} // namespace kxbb
