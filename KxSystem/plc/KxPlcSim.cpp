// The simulated PLC: answers requests from its model, with fault injection and a request log.
#include "KxPlcSim.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "KxFex.h"
#include "KxPlcModel.h"

using namespace kxplc;

namespace {

// The log keeps the most recent requests only, so that a long-running simulator does not grow without end.
constexpr size_t kMaxLog = 100000;
constexpr size_t kMaxLogBytes = 64u * 1024u * 1024u;
// Device states answered by ReadState until a WriteControl changes them: run.
constexpr uint16_t kStateRun = 5;

std::string NameOf(const uint8_t* data, uint32_t length)
{
    const char* p = reinterpret_cast<const char*>(data);
    size_t n = 0;
    while (n < length && p[n] != '\0')
        ++n;
    return std::string(p, n);
}

}  // namespace

struct CKxPlcSim::Impl {
    mutable std::mutex lock;
    std::unique_ptr<Model> model = std::make_unique<Model>();
    KxPlcFaults faults;
    std::deque<KxPlcRequest> log;
    size_t logBytes = 0;   // write data held by the log
    bool logging = true;
    uint16_t state = kStateRun;
    uint16_t devState = 0;

    // Serves rq with the bytes sent (wd, wn).
    KxPlcResponse Serve(const KxPlcRequest& rq, const uint8_t* wd, uint32_t wn);
    uint32_t CheckMemory(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>** mem);
};

uint32_t CKxPlcSim::Impl::CheckMemory(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>** mem)
{
    auto it = model->memory.find(group);
    if (it == model->memory.end())
        return FEXERR_INVALIDGRP;
    if (static_cast<uint64_t>(offset) + length > it->second.size())
        return FEXERR_INVALIDOFFSET;
    *mem = &it->second;
    return 0;
}

KxPlcResponse CKxPlcSim::Impl::Serve(const KxPlcRequest& rq, const uint8_t* wd, uint32_t wn)
{
    KxPlcResponse r;
    std::vector<uint8_t>* mem = nullptr;
    switch (rq.command) {
    case KxPlcRead:
        if (rq.group == KXPLC_GROUP_SYMINFO || rq.group == KXPLC_GROUP_TYPEINFO) {
            r.error = FEXERR_SRVNOTSUPP;
            break;
        }
        if (faults.maxBlock && rq.readLength > faults.maxBlock) {
            r.error = FEXERR_NOMEMORY;
            break;
        }
        r.error = CheckMemory(rq.group, rq.offset, rq.readLength, &mem);
        if (!r.error)
            r.data.assign(mem->begin() + rq.offset, mem->begin() + rq.offset + rq.readLength);
        break;
    case KxPlcWrite: {
        const uint32_t n = wn;
        if (rq.group == KXPLC_GROUP_SYMINFO || rq.group == KXPLC_GROUP_TYPEINFO) {
            r.error = FEXERR_SRVNOTSUPP;
            break;
        }
        if (faults.maxBlock && n > faults.maxBlock) {
            r.error = FEXERR_NOMEMORY;
            break;
        }
        r.error = CheckMemory(rq.group, rq.offset, n, &mem);
        if (!r.error && n)
            std::memcpy(mem->data() + rq.offset, wd, n);
        break;
    }
    case KxPlcReadWrite:
        if (rq.group == KXPLC_GROUP_SYMINFO) {
            Place p;
            if (!model->Resolve(NameOf(wd, wn), p)) {
                r.error = FEXERR_SYMBOLNOTFOUND;
                break;
            }
            r.data = model->SymbolRecord(p);
            // A short read gets the head of the record, whose first word tells the real length.
            if (r.data.size() > rq.readLength)
                r.data.resize(rq.readLength);
        } else if (rq.group == KXPLC_GROUP_TYPEINFO) {
            std::vector<std::unique_ptr<Type>> scratch;
            std::string name = NameOf(wd, wn);
            const Type* t = name.empty() ? nullptr : model->FindType(name, nullptr, &scratch);
            if (!t) {
                r.error = FEXERR_SYMBOLNOTFOUND;
                break;
            }
            r.data = model->TypeRecord(*t);
            if (r.data.size() > rq.readLength) {
                // Only the 4-byte probe for the length is answered; other short buffers are refused.
                if (rq.readLength == 4) {
                    r.data.resize(4);
                } else {
                    r.data.clear();
                    r.error = FEXERR_INVALIDSIZE;
                }
            }
        } else if (model->memory.count(rq.group)) {
            r.error = FEXERR_SRVNOTSUPP;
        } else {
            r.error = FEXERR_INVALIDGRP;
        }
        break;
    case KxPlcWriteControl:
        state = rq.state;
        devState = rq.devState;
        break;
    case KxPlcReadState:
        r.state = state;
        r.devState = devState;
        break;
    case KxPlcReadDeviceInfo:
        r.data.assign(model->deviceName.begin(), model->deviceName.end());
        break;
    default:
        r.error = FEXERR_SRVNOTSUPP;
        break;
    }
    return r;
}

CKxPlcSim::CKxPlcSim() : m_pImpl(std::make_unique<Impl>()) {}

CKxPlcSim::~CKxPlcSim() = default;

KxPlcLoadResult CKxPlcSim::LoadString(const std::string& xml)
{
    KxPlcLoadResult res;
    auto model = std::make_unique<Model>();
    LoadedFaults f;
    if (!LoadDescription(xml.data(), xml.size(), *model, res.description, f))
        return res;
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->model = std::move(model);
    m_pImpl->faults = KxPlcFaults{f.maxBlock, f.shortBy, f.delayMs, f.failCount, f.failError};
    m_pImpl->state = kStateRun;
    m_pImpl->devState = 0;
    res.ok = true;
    return res;
}

KxPlcLoadResult CKxPlcSim::LoadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    if (in)
        ss << in.rdbuf();
    if (!in || in.bad()) {
        KxPlcLoadResult res;
        res.description = "cannot read '" + path + "'";
        return res;
    }
    KxPlcLoadResult res = LoadString(ss.str());
    if (!res.ok)
        res.description = path + ": " + res.description;
    return res;
}

KxPlcResponse CKxPlcSim::Handle(const KxPlcRequest& request)
{
    return Handle(request, request.writeData.data(), static_cast<uint32_t>(request.writeData.size()));
}

KxPlcResponse CKxPlcSim::Handle(const KxPlcRequest& request, const void* data, uint32_t length)
{
    const uint8_t* wd = static_cast<const uint8_t*>(data);
    if (!wd)
        length = 0;  // no bytes sent
    KxPlcResponse r;
    uint32_t delay = 0;
    try {
        std::lock_guard<std::mutex> g(m_pImpl->lock);
        if (m_pImpl->logging) {
            m_pImpl->log.push_back(request);
            if (request.writeData.data() != wd)
                m_pImpl->log.back().writeData.assign(wd, wd + length);
            m_pImpl->logBytes += m_pImpl->log.back().writeData.size();
            while (m_pImpl->log.size() > kMaxLog ||
                   (m_pImpl->logBytes > kMaxLogBytes && m_pImpl->log.size() > 1)) {
                m_pImpl->logBytes -= m_pImpl->log.front().writeData.size();
                m_pImpl->log.pop_front();
            }
        }
        KxPlcFaults& f = m_pImpl->faults;
        delay = f.delayMs;
        if (f.failCount) {
            --f.failCount;
            r.error = f.failError;
        } else {
            r = m_pImpl->Serve(request, wd, length);
            if (!r.error && f.shortBy && request.command != KxPlcReadDeviceInfo)
                r.data.resize(r.data.size() > f.shortBy ? r.data.size() - f.shortBy : 0);
        }
    } catch (const std::exception&) {
        r = KxPlcResponse();
        r.error = FEXERR_NOMEMORY;
    }
    if (delay)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return r;
}

uint32_t CKxPlcSim::ReadWrite(uint32_t group, uint32_t offset, uint32_t readLength, const void* writeData,
                              uint32_t writeLength, std::vector<uint8_t>& out)
{
    KxPlcRequest rq;
    rq.command = KxPlcReadWrite;
    rq.group = group;
    rq.offset = offset;
    rq.readLength = readLength;
    if (writeLength)
        rq.writeData.assign(static_cast<const uint8_t*>(writeData),
                            static_cast<const uint8_t*>(writeData) + writeLength);
    KxPlcResponse r = Handle(rq);
    out = std::move(r.data);
    return r.error;
}

uint32_t CKxPlcSim::Read(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>& out)
{
    KxPlcRequest rq;
    rq.command = KxPlcRead;
    rq.group = group;
    rq.offset = offset;
    rq.readLength = length;
    KxPlcResponse r = Handle(rq);
    out = std::move(r.data);
    return r.error;
}

uint32_t CKxPlcSim::Write(uint32_t group, uint32_t offset, const void* data, uint32_t length)
{
    KxPlcRequest rq;
    rq.command = KxPlcWrite;
    rq.group = group;
    rq.offset = offset;
    if (length)
        rq.writeData.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    return Handle(rq).error;
}

bool CKxPlcSim::Resolve(const std::string& name, KxPlcSymbolInfo& info) const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    Place p;
    if (!m_pImpl->model->Resolve(name, p))
        return false;
    info.name = p.name;
    info.typeName = p.typeName;
    info.group = p.group;
    info.offset = p.offset;
    info.size = p.bit >= 0 ? 1 : p.type->size;
    info.typeId = p.bit >= 0 ? uint32_t(IdBool) : p.type->id;
    info.bit = p.bit;
    return true;
}

bool CKxPlcSim::Peek(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>& out) const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    std::vector<uint8_t>* mem = nullptr;
    if (m_pImpl->CheckMemory(group, offset, length, &mem))
        return false;
    out.assign(mem->begin() + offset, mem->begin() + offset + length);
    return true;
}

bool CKxPlcSim::Poke(uint32_t group, uint32_t offset, const void* data, uint32_t length)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    std::vector<uint8_t>* mem = nullptr;
    if (m_pImpl->CheckMemory(group, offset, length, &mem))
        return false;
    if (length)
        std::memcpy(mem->data() + offset, data, length);
    return true;
}

KxPlcFaults CKxPlcSim::GetFaults() const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    return m_pImpl->faults;
}

void CKxPlcSim::SetFaults(const KxPlcFaults& faults)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->faults = faults;
}

void CKxPlcSim::SetMaxBlock(uint32_t bytes)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->faults.maxBlock = bytes;
}

void CKxPlcSim::SetShortBy(uint32_t bytes)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->faults.shortBy = bytes;
}

void CKxPlcSim::SetDelay(uint32_t milliseconds)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->faults.delayMs = milliseconds;
}

void CKxPlcSim::FailNext(uint32_t count, uint32_t error)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->faults.failCount = count;
    m_pImpl->faults.failError = error & 0xFFFF;
}

std::vector<KxPlcRequest> CKxPlcSim::GetLog() const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    return std::vector<KxPlcRequest>(m_pImpl->log.begin(), m_pImpl->log.end());
}

void CKxPlcSim::ClearLog()
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->log.clear();
    m_pImpl->logBytes = 0;
}

void CKxPlcSim::SetLogging(bool on)
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    m_pImpl->logging = on;
}

uint16_t CKxPlcSim::GetPort() const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    return m_pImpl->model->port;
}

std::string CKxPlcSim::GetDeviceName() const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    return m_pImpl->model->deviceName;
}
