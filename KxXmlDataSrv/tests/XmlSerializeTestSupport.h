// Test support for the value walk: a fake PLC client that serves data type records, symbol records and symbol
// memory, and a data server whose value step is driven directly.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "FakeFexSync.h"
#include "FexRecordBuilder.h"
#include "KxAlloc.h"
#include "KxFex.h"
#include "XmlDataServer.h"

namespace kxtest {

// The records come from the record builder.
using fextest::Array;
using fextest::Attrs;
using fextest::Mem;
using fextest::Struct;
using fextest::Sym;
using fextest::SymRec;
using fextest::TypeRec;

// The tests' PLC client (symbol and data type records from tables) that also serves reads and writes of one
// memory area per index group. Reads longer than refuseAbove fail with refuseCode.
class FakePlc : public fextest::FakeFexSync {
public:
    std::map<uint32_t, std::vector<uint8_t>> memory;  // by index group, starting at offset 0
    uint32_t refuseAbove = 0xFFFFFFFFu;
    HRESULT refuseCode = FEX_HRESULT(FEXERR_NOMEMORY);
    std::vector<std::pair<uint32_t, uint32_t>> reads;  // offset, length of every memory read asked for
    size_t writes = 0;                                  // memory writes asked for

    void AddType(const TypeRec& r) { datatypes[r.name] = r.Build(); }
    void AddSymbol(const SymRec& r) { symbols[r.name] = r.Build(); }

    HRESULT SyncWrite(ULONG group, ULONG offset, ULONG cb, PVOID data) override
    {
        ++writes;
        auto it = memory.find(group);
        if (it == memory.end() || uint64_t(offset) + cb > it->second.size())
            return FEX_HRESULT(FEXERR_INVALIDOFFSET);
        std::memcpy(it->second.data() + offset, data, cb);
        return S_OK;
    }
    HRESULT SyncRead(ULONG group, ULONG offset, ULONG cb, PVOID data, ULONG* pcb) override
    {
        reads.emplace_back(offset, cb);
        if (pcb)
            *pcb = 0;
        if (cb > refuseAbove)
            return refuseCode;
        auto it = memory.find(group);
        if (it == memory.end() || uint64_t(offset) + cb > it->second.size())
            return FEX_HRESULT(FEXERR_INVALIDOFFSET);
        std::memcpy(data, it->second.data() + offset, cb);
        if (pcb)
            *pcb = cb;
        return S_OK;
    }
};

// Mode bits as an open request passes them.
constexpr uint16_t kCreate = XMLDS_MODE_CREATE;
constexpr uint16_t kIgnoreOrder = XMLDS_MODE_IGNOREORDER;
constexpr uint16_t kNumericBool = XMLDS_MODE_NUMERICBOOL;
constexpr uint16_t kSymbolComment = XMLDS_MODE_SYMBOLCOMMENT;
constexpr uint16_t kTypeComment = XMLDS_MODE_TYPECOMMENT;

constexpr int kRead = 0;
constexpr int kWrite = 1;

// A data server whose value step is driven directly: a document, a selected symbol and an image.
class Walker : public CXmlDataServer {
public:
    explicit Walker(IKxFexSync& plc) : CXmlDataServer(&plc) { EXPECT_EQ(InitTypeMemory(), S_OK); }

    // Parses the document text; false when it does not parse.
    bool Load(const char* xml) { return static_cast<bool>(m_doc.load_string(xml, pugi::parse_default)); }

    // The document as one line without declaration.
    std::string Xml() const
    {
        std::ostringstream out;
        m_doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
        return out.str();
    }

    // Runs the value step of sym at the node xpath selects, over image (resized to the symbol's size).
    HRESULT Run(int direction, uint16_t mode, const SymRec& sym, const char* xpath, std::vector<uint8_t>& image)
    {
        Select(direction, mode, sym, image);
        return SerializeSymbol(m_doc.select_node(xpath));
    }

    // Runs the value step of the PLC's own symbol record of name (uploaded first).
    HRESULT RunSymbol(int direction, uint16_t mode, const char* name, const char* xpath, std::vector<uint8_t>& image)
    {
        KxFree(m_pSymbolInfo);
        m_pSymbolInfo = nullptr;
        const HRESULT hr = ReadSymbolInfo(name, &m_pSymbolInfo);
        if (FAILED(hr))
            return hr;
        SetUp(direction, mode, image);
        return SerializeSymbol(m_doc.select_node(xpath));
    }

    // Selects sym over image without running anything.
    void Select(int direction, uint16_t mode, const SymRec& sym, std::vector<uint8_t>& image)
    {
        KxFree(m_pSymbolInfo);
        const std::vector<uint8_t> rec = sym.Build();
        m_pSymbolInfo = reinterpret_cast<FexSymbolEntry*>(KxAlloc(static_cast<int32_t>(rec.size())));
        std::memcpy(m_pSymbolInfo, rec.data(), rec.size());
        SetUp(direction, mode, image);
    }

    // Mode flags and walk state for the selected symbol over image (resized to the symbol's size).
    void SetUp(int direction, uint16_t mode, std::vector<uint8_t>& image)
    {
        image.resize(m_pSymbolInfo->size);
        m_nDirection = direction;
        m_bCreateMissing = (mode & kCreate) != 0;
        m_bIgnoreOrder = (mode & kIgnoreOrder) != 0;
        m_bNumericBool = (mode & kNumericBool) != 0;
        m_bSymbolComment = (mode & kSymbolComment) != 0;
        m_bTypeComment = (mode & kTypeComment) != 0;
        m_bModified = false;
        m_pImage = m_pCursor = m_pPreRead = image.data();
        m_cbRemaining = m_pSymbolInfo->size;
        m_nBitPos = -1;
    }

    bool Modified() const { return m_bModified; }
    uint32_t Remaining() const { return m_cbRemaining; }

    using CXmlDataServer::GetValue;
    using CXmlDataServer::m_cbRemaining;
    using CXmlDataServer::m_pCursor;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> b)
{
    std::vector<uint8_t> v;
    for (int x : b)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

template <class T>
void Put(std::vector<uint8_t>& image, size_t at, T v)
{
    std::memcpy(image.data() + at, &v, sizeof v);
}

template <class T>
T Get(const std::vector<uint8_t>& image, size_t at)
{
    T v;
    std::memcpy(&v, image.data() + at, sizeof v);
    return v;
}

}  // namespace kxtest
