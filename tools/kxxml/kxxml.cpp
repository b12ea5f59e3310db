// kxxml: a command-line client of the XML data server. It joins the router over its TCP link and offers
// the service's jobs in plain words: store, restore, read, write, clarify, login, logout, state, info, plc,
// and what an operator needs before a restore: diff, check and restore --dry-run. Values are decoded with the
// symbol's PLC type by the service's own data server code, so they read as a file holds them.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "KxFex.h"
#include "KxRouter.h"
#include "KxXmlErrors.h"
#include "KxxmlValues.h"
#include "XmlDataServerFile.h"

namespace {

const uint16_t kServicePort = 10600;
const uint16_t kPlcPort = 851;
// Transfers go in pieces of this size; above kProgressMin each piece updates a progress line.
const uint32_t kChunk = 64u << 10;
const uint64_t kProgressMin = 256u << 10;

struct Options {
    std::string router;          // host:port of the router
    std::string service;         // net id of the service ("" = the router's)
    std::string plc;             // netid:port of the PLC ("" = the router's net id, port 851)
    std::string path;            // XML path ("" = derived from the symbol)
    uint32_t timeout = 10000;    // ms
    uint16_t mode = 0;           // extra mode bits
    uint32_t base = 0;           // index offset: 0 none, 4 boot, 11..19 user paths
    bool quiet = false;
    bool bySymbol = false;       // read/write: name the symbol in every piece (0x7E/0x7F) instead of the handle's
    bool json = false;           // state, info, diff, check, plc read: one JSON object on standard output
    bool raw = false;            // plc read: the bytes instead of typed values
    bool dryRun = false;         // restore: show what would change, write nothing
    std::vector<std::string> args;
};

int Fail(const char* what, HRESULT hr)
{
    const uint32_t err = KxXmlErrorNumber(hr);
    std::fprintf(stderr, "kxxml: %s failed: error 0x%X (%s)\n", what, err, KxXmlErrorText(err));
    return 1;
}

int Usage(const char* msg)
{
    if (msg)
        std::fprintf(stderr, "kxxml: %s (try kxxml --help)\n", msg);
    return 2;
}

const char kHelp[] =
    "usage: kxxml [options] <command> [arguments]\n"
    "\n"
    "Talks to the XML data server (port 10600) through the router's TCP link.\n"
    "\n"
    "commands:\n"
    "  state                       the service's device state\n"
    "  info                        the service's name and version\n"
    "  login <user> <password>     set the credentials for encrypted files\n"
    "  logout                      clear the credentials (files are plain again)\n"
    "  store <symbol> <file>       PLC symbol -> XML file (open for writing with transfer)\n"
    "  restore <symbol> <file>     XML file -> PLC symbol (open for reading with transfer)\n"
    "  read <symbol> <file> <out>  the bytes the file's values make for the symbol, to <out> (- = hex on stdout)\n"
    "  write <symbol> <file> <in>  store the raw bytes of <in> (a file, or hex with 0x) as the symbol's XML\n"
    "  clarify <src> <dst>         copy an encrypted file as plain XML\n"
    "  diff <symbol> <file>        the values a restore of the file would change, PLC value -> file value;\n"
    "                              exit 0 when none, 1 when some, 2 on error\n"
    "  check <symbol> <file>       texts a restore would not convert cleanly, elements that match no member\n"
    "                              or array element, members the file does not name; exit 1 when any\n"
    "  plc read <symbol>           the symbol's values as the PLC holds them now, one line per value\n"
    "  plc write <symbol> <hex>    write bytes (hex digits, 0x optional) into the PLC symbol directly\n"
    "\n"
    "options:\n"
    "  --router HOST:PORT   router to join (default $KX_ROUTER, else 127.0.0.1:10650)\n"
    "  --service NETID      net id of the service (default: the router's)\n"
    "  --plc NETID:PORT     the PLC (default: the router's net id, port 851)\n"
    "  --path XPATH         the symbol's element (default /dataentry/<symbol>)\n"
    "  --base boot|userN|N  directory of the file: boot project, user path N (1..9), or index offset N\n"
    "  --create             create a missing file and missing elements (store)\n"
    "  --by-symbol          read/write: name the symbol and path in every piece instead of using the\n"
    "                       selection the open made\n"
    "  --ignore-order       match members and array elements by name and index\n"
    "  --comments           write the symbol's comment (store)\n"
    "  --type-comments      write type and member comments (store)\n"
    "  --dry-run            restore: print what would change (as diff does) and write nothing\n"
    "  --raw                plc read: the bytes in hex instead of typed values\n"
    "  --json               state, info, diff, check, plc read: one JSON object on standard output\n"
    "  --numeric-bool       write BOOL values as 1 and 0\n"
    "  --lcid               accept LcId attributes for index\n"
    "  --timeout MS         time-out of each request (default 10000)\n"
    "  -q, --quiet          no progress lines (shown for transfers of 256 KiB and more) and no\n"
    "                       confirmation lines\n"
    "\n"
    "check reads the file itself (plain XML; an encrypted file needs clarify first). diff and check compare\n"
    "values as texts in the file's form, so string bytes after the terminator and digits beyond those a\n"
    "file keeps do not count as differences.\n";

// A whole decimal or 0x-hexadecimal 32-bit number.
bool ParseNumber(const char* text, uint32_t& out)
{
    if (!text || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || !end || *end || v > 0xFFFFFFFFull)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseAddr(const std::string& text, uint16_t defPort, HopAddr& addr)
{
    std::string id = text;
    uint16_t port = defPort;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        id = text.substr(0, colon);
        char* end = nullptr;
        unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 10);
        if (!end || *end || p > 0xFFFF)
            return false;
        port = static_cast<uint16_t>(p);
    }
    if (!TextToNetId(id.c_str(), addr.netId))
        return false;
    addr.port = port;
    return true;
}

// Whether a TCP connection to host:port can be opened now; why not in why.
bool Reachable(const std::string& host, uint16_t port, std::string& why)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(host.empty() ? "127.0.0.1" : host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0 || !res) {
        why = std::string("cannot resolve the host: ") + gai_strerror(rc);
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool ok = fd >= 0 && ::connect(fd, res->ai_addr, res->ai_addrlen) == 0;
    if (!ok)
        why = std::string(std::strerror(errno)) + " (is the service running?)";
    if (fd >= 0)
        ::close(fd);
    freeaddrinfo(res);
    return ok;
}

class CConnection {
public:
    ~CConnection()
    {
        if (m_pService)
            m_pService->Release();
        if (m_pPlc)
            m_pPlc->Release();
        KxRouterStop();
    }

    HRESULT Open(const Options& o)
    {
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_PARTICIPANT;
        std::string router = o.router;
        if (router.empty() && std::getenv("KX_ROUTER"))
            router = std::getenv("KX_ROUTER");
        if (router.empty())
            router = "127.0.0.1:10650";
        size_t colon = router.rfind(':');
        m_host = colon == std::string::npos ? router : router.substr(0, colon);
        uint32_t port = 10650;
        if (colon != std::string::npos && (!ParseNumber(router.c_str() + colon + 1, port) || port == 0 || port > 0xFFFF)) {
            std::fprintf(stderr, "kxxml: bad router address '%s' (expected host:port)\n", router.c_str());
            return E_INVALIDARG;
        }
        cfg.routerHost = m_host.c_str();
        cfg.routerPort = static_cast<uint16_t>(port);
        // The usual failure, nothing listening, gets one line with its cause instead of the router's
        // generic "participant went away".
        std::string why;
        if (!Reachable(m_host, cfg.routerPort, why)) {
            std::fprintf(stderr, "kxxml: cannot join the router at %s: %s\n", router.c_str(), why.c_str());
            return E_FAIL;
        }
        HRESULT hr = KxRouterStart(&cfg);
        if (FAILED(hr)) {
            std::fprintf(stderr, "kxxml: cannot join the router at %s: error 0x%X (%s)\n", router.c_str(),
                         KxXmlErrorNumber(hr), KxXmlErrorText(KxXmlErrorNumber(hr)));
            return hr;
        }
        HopNetId local;
        KxRouterGetLocalNetId(&local);
        m_service = HopAddr(local, kServicePort);
        if (!o.service.empty() && !TextToNetId(o.service.c_str(), m_service.netId)) {
            std::fprintf(stderr, "kxxml: bad service net id '%s'\n", o.service.c_str());
            return E_INVALIDARG;
        }
        m_plc = HopAddr(local, kPlcPort);
        if (!o.plc.empty() && !ParseAddr(o.plc, kPlcPort, m_plc)) {
            std::fprintf(stderr, "kxxml: bad PLC address '%s' (expected a.b.c.d.e.f[:port])\n", o.plc.c_str());
            return E_INVALIDARG;
        }
        m_timeout = o.timeout;
        return S_OK;
    }

    IKxFexSync* Service() { return Sync(m_service, m_pService); }
    IKxFexSync* Plc() { return Sync(m_plc, m_pPlc); }
    const HopAddr& PlcAddr() const { return m_plc; }

private:
    IKxFexSync* Sync(HopAddr addr, IKxFexSync*& p)
    {
        if (p)
            return p;
        IKxFexClient* pClient = nullptr;
        if (FAILED(CreateFexClient(&pClient)) || !pClient)
            return nullptr;
        pClient->Connect(&addr, addr.port, 0, &p, 0, KxEmptyVariant(), KxEmptyVariant());
        pClient->Release();
        if (p)
            p->SetTimeout(m_timeout);
        return p;
    }

    std::string m_host;
    HopAddr m_service, m_plc;
    uint32_t m_timeout = 10000;
    IKxFexSync* m_pService = nullptr;
    IKxFexSync* m_pPlc = nullptr;
};

void PutU16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void PutU32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

void PutText(std::vector<uint8_t>& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

// Payload of an open for reading (0x7C) or writing (0x7D).
std::vector<uint8_t> OpenPayload(const HopAddr& plc, uint32_t timeout, uint16_t mode, const std::string& file,
                                 const std::string& symbol, const std::string& path)
{
    std::vector<uint8_t> b(reinterpret_cast<const uint8_t*>(&plc), reinterpret_cast<const uint8_t*>(&plc) + 8);
    PutU32(b, timeout);
    PutU16(b, mode);
    PutU16(b, uint16_t(file.size()));
    PutU16(b, uint16_t(symbol.size()));
    PutU16(b, uint16_t(path.size()));
    PutText(b, file);
    PutText(b, symbol);
    PutText(b, path);
    return b;
}

std::string DefaultPath(const Options& o, const std::string& symbol)
{
    return o.path.empty() ? "/dataentry/" + symbol : o.path;
}

bool TextsFit(const std::vector<std::string>& texts)
{
    for (const std::string& t : texts)
        if (t.size() > 0xFFFF) {
            std::fprintf(stderr, "kxxml: '%.40s...' is longer than 65535 characters\n", t.c_str());
            return false;
        }
    return true;
}

HRESULT OpenJob(IKxFexSync* pSvc, uint32_t group, uint32_t base, const std::vector<uint8_t>& payload,
                uint16_t* pHandle)
{
    uint8_t handle[4] = {0};
    ULONG cb = 0;
    HRESULT hr = pSvc->SyncReadWrite(group, base, sizeof(handle), handle, static_cast<ULONG>(payload.size()),
                                     const_cast<uint8_t*>(payload.data()), &cb);
    if (SUCCEEDED(hr) && cb < 2)
        hr = E_UNEXPECTED;
    if (SUCCEEDED(hr))
        *pHandle = static_cast<uint16_t>(handle[0] | (handle[1] << 8));
    return hr;
}

HRESULT CloseJob(IKxFexSync* pSvc, uint16_t handle)
{
    ULONG cb = 0;
    return pSvc->SyncReadWrite(0x79, handle, 0, nullptr, 0, nullptr, &cb);
}

// The size of a PLC symbol from its information record.
HRESULT SymbolInfo(IKxFexSync* pPlc, const std::string& symbol, uint32_t& group, uint32_t& offset, uint32_t& size)
{
    std::vector<uint8_t> rec(1030);
    std::string name = symbol;
    ULONG cb = 0;
    HRESULT hr = pPlc->SyncReadWrite(0xF009, 0, static_cast<ULONG>(rec.size()), rec.data(),
                                     static_cast<ULONG>(name.size() + 1), &name[0], &cb);
    if (FAILED(hr))
        return hr;
    if (cb < 16)
        return E_UNEXPECTED;
    std::memcpy(&group, &rec[4], 4);
    std::memcpy(&offset, &rec[8], 4);
    std::memcpy(&size, &rec[12], 4);
    return S_OK;
}

void Progress(const Options& o, const char* what, uint64_t done, uint64_t total)
{
    if (o.quiet || total < kProgressMin)
        return;
    std::fprintf(stderr, "\r%s: %" PRIu64 " of %" PRIu64 " bytes (%u%%)", what, done, total,
                 static_cast<unsigned>(done * 100 / total));
    if (done >= total)
        std::fputc('\n', stderr);
}

// The bytes as one run of hex digits.
std::string HexRun(const std::vector<uint8_t>& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += d[v >> 4];
        s += d[v & 15];
    }
    return s;
}

std::string Hex(const std::vector<uint8_t>& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
        if (i + 1 < b.size())
            s += (i % 16 == 15) ? '\n' : ' ';
    }
    return s;
}

// A JSON string literal of UTF-8 text.
std::string Json(const std::string& text)
{
    std::string s = "\"";
    for (unsigned char ch : text) {
        switch (ch) {
        case '"':
            s += "\\\"";
            break;
        case '\\':
            s += "\\\\";
            break;
        case '\n':
            s += "\\n";
            break;
        case '\r':
            s += "\\r";
            break;
        case '\t':
            s += "\\t";
            break;
        default:
            if (ch < 0x20) {
                char u[8];
                std::snprintf(u, sizeof(u), "\\u%04x", ch);
                s += u;
            } else {
                s += static_cast<char>(ch);
            }
        }
    }
    return s + "\"";
}

bool IsStringType(const KxLeafType& t)
{
    return t.id == FEX_TYPE_STRING || t.id == FEX_TYPE_WSTRING;
}

// A value as the lines show it: strings quoted, so that empty texts and blanks can be seen.
std::string Shown(const std::string& text, const KxLeafType& t)
{
    return IsStringType(t) ? "\"" + text + "\"" : text;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out)
{
    std::string digits;
    const size_t skip = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    for (char c : text.substr(skip)) {
        if (c == ' ' || c == '\n' || c == '\t' || c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int CmdState(CConnection& c, const Options& o)
{
    IKxFexSync* p = c.Service();
    USHORT state = 0, dev = 0;
    HRESULT hr = p ? p->SyncReadState(&state, &dev) : E_FAIL;
    if (FAILED(hr))
        return Fail("state", hr);
    if (o.json)
        std::printf("{\"state\": %u, \"name\": %s, \"deviceState\": %u}\n", state,
                    Json(KxXmlStateText(state)).c_str(), dev);
    else
        std::printf("state %u (%s)\n", state, KxXmlStateText(state));
    return 0;
}

int CmdInfo(CConnection& c, const Options& o)
{
    IKxFexSync* p = c.Service();
    char name[64] = {0};
    FexVersion v = {0, 0, 0};
    HRESULT hr = p ? p->SyncReadDeviceInfo(name, sizeof(name), &v) : E_FAIL;
    if (FAILED(hr))
        return Fail("info", hr);
    if (o.json)
        std::printf("{\"name\": %s, \"version\": \"%u.%u.%u\"}\n", Json(name).c_str(), v.version, v.revision,
                    v.build);
    else
        std::printf("%s %u.%u.%u\n", name, v.version, v.revision, v.build);
    return 0;
}

int CmdLogin(CConnection& c, const Options& o, bool login)
{
    IKxFexSync* p = c.Service();
    if (!p)
        return Fail(login ? "login" : "logout", E_FAIL);
    std::vector<uint8_t> b;
    if (login) {
        const std::string& user = o.args[1];
        const std::string& pass = o.args[2];
        if (!TextsFit({user, pass}))
            return 2;
        PutU32(b, 0);
        PutU16(b, uint16_t(user.size()));
        PutU16(b, uint16_t(pass.size()));
        PutText(b, user);
        PutText(b, pass);
    }
    HRESULT hr = p->SyncWrite(0x81, 0, static_cast<ULONG>(b.size()), b.data());
    if (FAILED(hr))
        return Fail(login ? "login" : "logout", hr);
    std::printf("%s\n", login ? "credentials set: files are saved encrypted" : "credentials cleared");
    return 0;
}

int CmdTransfer(CConnection& c, const Options& o, bool store)
{
    const std::string& symbol = o.args[1];
    const std::string& file = o.args[2];
    const std::string path = DefaultPath(o, symbol);
    if (!TextsFit({symbol, file, path}))
        return 2;
    IKxFexSync* p = c.Service();
    if (!p)
        return Fail(store ? "store" : "restore", E_FAIL);
    uint16_t mode = static_cast<uint16_t>(o.mode | 0x0002);
    if (!store)
        mode &= static_cast<uint16_t>(~0x0C01u);
    uint16_t handle = 0;
    HRESULT hr = OpenJob(p, store ? 0x7D : 0x7C, o.base, OpenPayload(c.PlcAddr(), o.timeout, mode, file, symbol, path),
                         &handle);
    if (FAILED(hr))
        return Fail(store ? "store" : "restore", hr);
    hr = CloseJob(p, handle);
    if (FAILED(hr))
        return Fail(store ? "store (saving the file)" : "restore", hr);
    if (!o.quiet)
        std::printf("%s %s %s %s\n", store ? "stored" : "restored", symbol.c_str(), store ? "into" : "from",
                    file.c_str());
    return 0;
}

// Header of a piece that names its symbol: [data length,] mode, symbol and path lengths, sequence, partial.
std::vector<uint8_t> SymbolPiece(bool write, uint32_t cbData, uint16_t mode, const std::string& symbol,
                                 const std::string& path, uint16_t sequence, bool partial)
{
    std::vector<uint8_t> b;
    if (write)
        PutU32(b, cbData);
    PutU16(b, mode);
    PutU16(b, uint16_t(symbol.size()));
    PutU16(b, uint16_t(path.size()));
    PutU16(b, sequence);
    b.push_back(partial ? 1 : 0);
    PutText(b, symbol);
    PutText(b, path);
    return b;
}

// The bytes a restore of the file would write into the symbol: a read open without transfer and the read job.
// what names the command in error lines; size comes from the symbol's record.
HRESULT ServiceImage(CConnection& c, const Options& o, const std::string& symbol, const std::string& file,
                     const std::string& path, uint32_t size, std::vector<uint8_t>& data, const char* what)
{
    IKxFexSync* p = c.Service();
    if (!p)
        return E_FAIL;
    uint16_t handle = 0;
    uint16_t mode = static_cast<uint16_t>(o.mode & ~0x0C03u);
    HRESULT hr = OpenJob(p, 0x7C, o.base, OpenPayload(c.PlcAddr(), o.timeout, mode, file, symbol, path), &handle);
    if (FAILED(hr))
        return hr;
    data.clear();
    data.reserve(size);
    uint32_t sequence = 0;
    while (data.size() < size) {
        uint32_t want = std::min<uint32_t>(kChunk, size - static_cast<uint32_t>(data.size()));
        std::vector<uint8_t> piece(want);
        ULONG cb = 0;
        if (o.bySymbol) {
            // Sequence 0 starts the transfer; each later piece carries the number of pieces moved so far.
            std::vector<uint8_t> req = SymbolPiece(false, 0, mode, symbol, path, static_cast<uint16_t>(sequence),
                                                   data.size() + want < size);
            hr = p->SyncReadWrite(0x7E, handle, want, piece.data(), static_cast<ULONG>(req.size()), req.data(), &cb);
            ++sequence;
        } else {
            hr = p->SyncReadWrite(0x7A, handle, want, piece.data(), 0, nullptr, &cb);
        }
        if (FAILED(hr))
            return hr;
        if (cb == 0)
            break;
        data.insert(data.end(), piece.begin(), piece.begin() + cb);
        Progress(o, what, data.size(), size);
    }
    CloseJob(p, handle);
    return S_OK;
}

// The symbol's bytes as the PLC holds them now, read in pieces.
HRESULT PlcImage(IKxFexSync* plc, const Options& o, uint32_t group, uint32_t offset, uint32_t size,
                 std::vector<uint8_t>& data, const char* what)
{
    data.assign(size, 0);
    size_t done = 0;
    while (done < size) {
        uint32_t piece = std::min<uint32_t>(kChunk, static_cast<uint32_t>(size - done));
        ULONG cb = 0;
        HRESULT hr = plc->SyncRead(group, offset + static_cast<uint32_t>(done), piece, data.data() + done, &cb);
        if (FAILED(hr))
            return hr;
        if (cb == 0)
            break;
        done += cb;
        Progress(o, what, done, size);
    }
    data.resize(done);
    return S_OK;
}

int CmdRead(CConnection& c, const Options& o)
{
    const std::string& symbol = o.args[1];
    const std::string& file = o.args[2];
    const std::string& out = o.args[3];
    const std::string path = DefaultPath(o, symbol);
    if (!TextsFit({symbol, file, path}))
        return 2;
    IKxFexSync* p = c.Service();
    IKxFexSync* plc = c.Plc();
    if (!p || !plc)
        return Fail("read", E_FAIL);
    uint32_t group = 0, offset = 0, size = 0;
    HRESULT hr = SymbolInfo(plc, symbol, group, offset, size);
    if (FAILED(hr))
        return Fail("read (symbol information)", hr);
    std::vector<uint8_t> data;
    hr = ServiceImage(c, o, symbol, file, path, size, data, "read");
    if (FAILED(hr))
        return Fail("read", hr);
    if (out == "-") {
        std::printf("%s\n", Hex(data).c_str());
    } else {
        std::ofstream f(out, std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!f) {
            std::fprintf(stderr, "kxxml: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

bool LoadBytes(const std::string& arg, std::vector<uint8_t>& out)
{
    if (arg.rfind("0x", 0) == 0)
        return ParseHex(arg.substr(2), out);
    std::ifstream f(arg, std::ios::binary);
    if (!f)
        return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int CmdWrite(CConnection& c, const Options& o)
{
    const std::string& symbol = o.args[1];
    const std::string& file = o.args[2];
    const std::string path = DefaultPath(o, symbol);
    std::vector<uint8_t> data;
    if (!LoadBytes(o.args[3], data)) {
        std::fprintf(stderr, "kxxml: cannot read bytes from '%s' (a file, or hex after 0x)\n", o.args[3].c_str());
        return 2;
    }
    if (!TextsFit({symbol, file, path}))
        return 2;
    IKxFexSync* p = c.Service();
    if (!p)
        return Fail("write", E_FAIL);
    uint16_t handle = 0;
    uint16_t mode = static_cast<uint16_t>((o.mode | 0x0001) & ~0x0002u);
    HRESULT hr = OpenJob(p, 0x7D, o.base, OpenPayload(c.PlcAddr(), o.timeout, mode, file, symbol, path), &handle);
    if (FAILED(hr))
        return Fail("write (open)", hr);
    size_t done = 0;
    uint32_t sequence = 0;
    while (done < data.size()) {
        uint32_t piece = std::min<uint32_t>(kChunk, static_cast<uint32_t>(data.size() - done));
        if (o.bySymbol) {
            std::vector<uint8_t> req =
                SymbolPiece(true, piece, mode, symbol, path, static_cast<uint16_t>(sequence), done + piece < data.size());
            req.insert(req.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                       data.begin() + static_cast<std::ptrdiff_t>(done + piece));
            hr = p->SyncReadWrite(0x7F, handle, 0, nullptr, static_cast<ULONG>(req.size()), req.data(), nullptr);
            ++sequence;
        } else {
            hr = p->SyncReadWrite(0x7B, handle, 0, nullptr, piece, data.data() + done, nullptr);
        }
        if (FAILED(hr))
            return Fail("write", hr);
        done += piece;
        Progress(o, "write", done, data.size());
    }
    hr = CloseJob(p, handle);
    if (FAILED(hr))
        return Fail("write (saving the file)", hr);
    return 0;
}

int CmdClarify(CConnection& c, const Options& o)
{
    const std::string& src = o.args[1];
    const std::string& dst = o.args[2];
    if (!TextsFit({src, dst}))
        return 2;
    IKxFexSync* p = c.Service();
    if (!p)
        return Fail("clarify", E_FAIL);
    const HopAddr& plc = c.PlcAddr();
    std::vector<uint8_t> b(reinterpret_cast<const uint8_t*>(&plc), reinterpret_cast<const uint8_t*>(&plc) + 8);
    PutU32(b, o.timeout);
    PutU16(b, uint16_t(src.size()));
    PutU16(b, uint16_t(dst.size()));
    PutText(b, src);
    PutText(b, dst);
    uint16_t handle = 0;
    HRESULT hr = OpenJob(p, 0x80, o.base, b, &handle);
    if (FAILED(hr))
        return Fail("clarify", hr);
    CloseJob(p, handle);
    if (!o.quiet)
        std::printf("plain copy of %s written to %s\n", src.c_str(), dst.c_str());
    return 0;
}

// What a restore of the file would change: the service's read job gives the image a restore would write, the
// PLC gives its current bytes; both are decoded with the symbol's type and compared value by value.
// Exit 0 when nothing would change, 1 when something would, 2 on error.
int CmdDiff(CConnection& c, const Options& o)
{
    const std::string& symbol = o.args[1];
    const std::string& file = o.args[2];
    const std::string path = DefaultPath(o, symbol);
    const char* what = o.dryRun ? "restore --dry-run" : "diff";
    auto fail = [&](const std::string& step, HRESULT hr) {
        Fail((what + step).c_str(), hr);
        return 2;
    };
    if (!TextsFit({symbol, file, path}))
        return 2;
    IKxFexSync* plc = c.Plc();
    if (!plc || !c.Service())
        return fail("", E_FAIL);
    uint32_t group = 0, offset = 0, size = 0;
    HRESULT hr = SymbolInfo(plc, symbol, group, offset, size);
    if (FAILED(hr))
        return fail(" (symbol information)", hr);
    CKxDecoder decoder(plc);
    hr = decoder.Open(c.PlcAddr(), symbol);
    if (FAILED(hr))
        return fail(" (symbol information)", hr);
    std::vector<uint8_t> restored, current;
    hr = ServiceImage(c, o, symbol, file, path, decoder.Size(), restored, what);
    if (FAILED(hr))
        return fail(" (reading the file through the service)", hr);
    hr = PlcImage(plc, o, group, offset, decoder.Size(), current, what);
    if (FAILED(hr))
        return fail(" (reading the PLC)", hr);
    std::vector<KxDecodedValue> before, after;
    hr = decoder.Decode(current, before);
    if (SUCCEEDED(hr))
        hr = decoder.Decode(restored, after);
    if (SUCCEEDED(hr) && before.size() != after.size())
        hr = E_UNEXPECTED;
    if (FAILED(hr))
        return fail(" (decoding the values)", hr);

    std::vector<size_t> changed;
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i].text != after[i].text)
            changed.push_back(i);
    if (o.json) {
        std::printf("{\"symbol\": %s, \"file\": %s, \"equal\": %s, \"dryRun\": %s, \"changes\": [",
                    Json(symbol).c_str(), Json(file).c_str(), changed.empty() ? "true" : "false",
                    o.dryRun ? "true" : "false");
        for (size_t k = 0; k < changed.size(); ++k) {
            const KxDecodedValue& b = before[changed[k]];
            std::printf("%s\n  {\"member\": %s, \"type\": %s, \"from\": %s, \"to\": %s}", k ? "," : "",
                        Json(b.member).c_str(), Json(b.type.type).c_str(), Json(b.text).c_str(),
                        Json(after[changed[k]].text).c_str());
        }
        std::printf("%s]}\n", changed.empty() ? "" : "\n");
    } else {
        std::string out;
        for (size_t i : changed)
            out += before[i].member + ": " + Shown(before[i].text, before[i].type) + " -> " +
                   Shown(after[i].text, after[i].type) + "\n";
        if (!o.quiet && o.dryRun)
            out += "dry run: " + std::to_string(changed.size()) + (changed.size() == 1 ? " value" : " values") +
                   " would change; nothing was written\n";
        else if (!o.quiet && changed.empty())
            out += "no differences\n";
        std::fputs(out.c_str(), stdout);
    }
    return changed.empty() ? 0 : 1;
}

// What a restore of the file would not take as written. The file is read here, not through the service.
// Exit 0 when nothing is found, 1 when something is, 2 on error.
int CmdCheck(CConnection& c, const Options& o)
{
    const std::string& symbol = o.args[1];
    const std::string& file = o.args[2];
    const std::string path = DefaultPath(o, symbol);
    std::string text;
    if (!XmlReadFile(file, text)) {
        std::fprintf(stderr, "kxxml: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return 2;
    }
    IKxFexSync* plc = c.Plc();
    if (!plc) {
        Fail("check", E_FAIL);
        return 2;
    }
    CXmlDataServer ds(plc);
    HRESULT hr = ds.Open(c.PlcAddr(), static_cast<uint16_t>(o.mode & XMLDS_MODE_LCID), "", text.c_str());
    if (FAILED(hr)) {
        std::fprintf(stderr, "kxxml: %s is not an XML document (an encrypted file needs kxxml clarify first)\n",
                     file.c_str());
        return 2;
    }
    std::vector<KxProblem> problems;
    hr = KxCheckDocument(ds, text, symbol, path, (o.mode & XMLDS_MODE_IGNOREORDER) != 0, problems);
    ds.Close(true);
    if (hr == kXmlErrPathNotFound) {
        problems.push_back({"missing", path, symbol, 0, "", "not in the file: a restore fails"});
    } else if (FAILED(hr)) {
        Fail("check", hr);
        return 2;
    }
    if (o.json) {
        std::printf("{\"symbol\": %s, \"file\": %s, \"problems\": [", Json(symbol).c_str(), Json(file).c_str());
        for (size_t k = 0; k < problems.size(); ++k) {
            const KxProblem& p = problems[k];
            std::printf("%s\n  {\"kind\": %s, \"path\": %s, \"member\": %s, \"line\": %u, \"text\": %s, "
                        "\"message\": %s}",
                        k ? "," : "", Json(p.kind).c_str(), Json(p.path).c_str(), Json(p.member).c_str(), p.line,
                        Json(p.text).c_str(), Json(p.message).c_str());
        }
        std::printf("%s]}\n", problems.empty() ? "" : "\n");
    } else {
        std::string out;
        for (const KxProblem& p : problems) {
            out += p.path;
            if (p.line)
                out += " (line " + std::to_string(p.line) + ")";
            out += ": " + p.message;
            if (!p.member.empty() && p.kind == "missing")
                out += " [" + p.member + "]";
            out += "\n";
        }
        if (!o.quiet && problems.empty())
            out += "no problems\n";
        std::fputs(out.c_str(), stdout);
    }
    return problems.empty() ? 0 : 1;
}

int CmdPlc(CConnection& c, const Options& o)
{
    if (o.args.size() < 3)
        return Usage("plc needs read <symbol> or write <symbol> <hex>");
    IKxFexSync* plc = c.Plc();
    if (!plc)
        return Fail("plc", E_FAIL);
    const std::string& symbol = o.args[2];
    uint32_t group = 0, offset = 0, size = 0;
    HRESULT hr = SymbolInfo(plc, symbol, group, offset, size);
    if (FAILED(hr))
        return Fail("plc (symbol information)", hr);
    if (o.args[1] == "read") {
        std::vector<uint8_t> data;
        hr = PlcImage(plc, o, group, offset, size, data, "plc read");
        if (FAILED(hr))
            return Fail("plc read", hr);
        if (o.raw) {
            if (o.json)
                std::printf("{\"symbol\": %s, \"bytes\": \"%s\"}\n", Json(symbol).c_str(), HexRun(data).c_str());
            else
                std::printf("%s\n", Hex(data).c_str());
            return 0;
        }
        CKxDecoder decoder(plc);
        std::vector<KxDecodedValue> values;
        hr = decoder.Open(c.PlcAddr(), symbol);
        if (SUCCEEDED(hr))
            hr = decoder.Decode(data, values);
        if (FAILED(hr))
            return Fail("plc read (decoding the value; --raw shows the bytes)", hr);
        if (o.json) {
            std::printf("{\"symbol\": %s, \"values\": [", Json(symbol).c_str());
            for (size_t i = 0; i < values.size(); ++i)
                std::printf("%s\n  {\"member\": %s, \"type\": %s, \"value\": %s}", i ? "," : "",
                            Json(values[i].member).c_str(), Json(values[i].type.type).c_str(),
                            Json(values[i].text).c_str());
            std::printf("%s]}\n", values.empty() ? "" : "\n");
            return 0;
        }
        if (values.empty() && decoder.NotStored())
            std::fprintf(stderr, "kxxml: %s is a pointer or excluded from files: it has no values; --raw shows its "
                                 "bytes\n", symbol.c_str());
        std::string out;
        for (const KxDecodedValue& v : values)
            out += v.member + ": " + Shown(v.text, v.type) + "\n";
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    if (o.args[1] == "write") {
        if (o.args.size() < 4)
            return Usage("plc write needs <symbol> <hex>");
        std::vector<uint8_t> data;
        if (!ParseHex(o.args[3], data) || data.empty())
            return Usage("plc write takes the bytes as hex digits");
        if (data.size() > size) {
            std::fprintf(stderr, "kxxml: %zu bytes do not fit the %u-byte symbol %s\n", data.size(), size,
                         symbol.c_str());
            return 1;
        }
        hr = plc->SyncWrite(group, offset, static_cast<ULONG>(data.size()), data.data());
        if (FAILED(hr))
            return Fail("plc write", hr);
        return 0;
    }
    return Usage("plc takes read or write");
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kxxml: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--router") {
            o.router = value("--router");
        } else if (a == "--service") {
            o.service = value("--service");
        } else if (a == "--plc") {
            o.plc = value("--plc");
        } else if (a == "--path") {
            o.path = value("--path");
        } else if (a == "--timeout") {
            const char* t = value("--timeout");
            if (!ParseNumber(t, o.timeout) || o.timeout == 0) {
                std::fprintf(stderr, "kxxml: --timeout takes milliseconds above 0, not '%s'\n", t);
                return 2;
            }
        } else if (a == "--base") {
            // A mistyped base must not quietly put the file somewhere else.
            std::string b = value("--base");
            if (b == "boot")
                o.base = 4;
            else if (b.size() == 5 && b.rfind("user", 0) == 0 && b[4] >= '1' && b[4] <= '9')
                o.base = 10 + static_cast<uint32_t>(b[4] - '0');
            else if (!ParseNumber(b.c_str(), o.base)) {
                std::fprintf(stderr, "kxxml: --base takes boot, user1..user9 or a number, not '%s'\n", b.c_str());
                return 2;
            }
        } else if (a == "--by-symbol") {
            o.bySymbol = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--raw") {
            o.raw = true;
        } else if (a == "--dry-run") {
            o.dryRun = true;
        } else if (a == "--create") {
            o.mode |= 0x0001;
        } else if (a == "--ignore-order") {
            o.mode |= 0x0004;
        } else if (a == "--lcid") {
            o.mode |= 0x0008;
        } else if (a == "--numeric-bool") {
            o.mode |= 0x0010;
        } else if (a == "--comments") {
            o.mode |= 0x0400;
        } else if (a == "--type-comments") {
            o.mode |= 0x0800;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "kxxml: unknown option %s (try kxxml --help)\n", a.c_str());
            return 2;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.args.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    static const std::map<std::string, size_t> kArgs = {
        {"state", 1}, {"info", 1},    {"login", 3}, {"logout", 1}, {"store", 3},
        {"restore", 3}, {"read", 4}, {"write", 4}, {"clarify", 3}, {"plc", 3},
        {"diff", 3},    {"check", 3},
    };
    const std::string& cmd = o.args[0];
    auto it = kArgs.find(cmd);
    if (it == kArgs.end())
        return Usage(("unknown command " + cmd).c_str());
    if (o.args.size() < it->second)
        return Usage((cmd + " needs more arguments").c_str());
    // Wrong words are reported as such, before any attempt to reach the router.
    if (cmd == "plc" && o.args[1] != "read" && o.args[1] != "write")
        return Usage("plc takes read or write");
    if (cmd == "plc" && o.args[1] == "write" && o.args.size() < 4)
        return Usage("plc write needs <symbol> <hex>");
    const bool typed = cmd == "diff" || cmd == "check" || (cmd == "restore" && o.dryRun);
    if (o.dryRun && cmd != "restore")
        return Usage("--dry-run goes with restore");
    // check reads the file itself and does not know the service's base directories.
    if (cmd == "check" && o.base)
        return Usage("check reads the file itself: name it by its full path instead of --base");
    if (o.raw && !(cmd == "plc" && o.args[1] == "read"))
        return Usage("--raw goes with plc read");
    if (o.json && !(typed || cmd == "state" || cmd == "info" || (cmd == "plc" && o.args[1] == "read")))
        return Usage("--json goes with state, info, diff, check, plc read and restore --dry-run");

    CConnection c;
    if (FAILED(c.Open(o)))
        return typed ? 2 : 1;
    if (cmd == "state")
        return CmdState(c, o);
    if (cmd == "info")
        return CmdInfo(c, o);
    if (cmd == "login")
        return CmdLogin(c, o, true);
    if (cmd == "logout")
        return CmdLogin(c, o, false);
    if (cmd == "store")
        return CmdTransfer(c, o, true);
    if (cmd == "restore" && o.dryRun)
        return CmdDiff(c, o);
    if (cmd == "restore")
        return CmdTransfer(c, o, false);
    if (cmd == "diff")
        return CmdDiff(c, o);
    if (cmd == "check")
        return CmdCheck(c, o);
    if (cmd == "read")
        return CmdRead(c, o);
    if (cmd == "write")
        return CmdWrite(c, o);
    if (cmd == "clarify")
        return CmdClarify(c, o);
    return CmdPlc(c, o);
}
