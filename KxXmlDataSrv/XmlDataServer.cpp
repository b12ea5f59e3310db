// File operations of a data server: open, select, piecewise transfer, text and close.
#include "XmlDataServer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "FileTracer.h"
#include "KxAlloc.h"
#include "KxBstr.h"
#include "OsUserFile.h"
#include "XmlDataServerBackup.h"
#include "XmlDataServerFile.h"
#include "XmlDataServerSettings.h"

namespace {

const char kDefaultDocument[] = "<dataentry></dataentry>";

const char* Str(const char* s)
{
    return s ? s : "";
}

// True when sPath names an existing file that can be opened for reading.
bool ProbeFile(const std::string& sPath)
{
    const std::string path = XmlNormalizePath(sPath.c_str());
    OS_USER_FILE_HANDLE h = OsUserCreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return false;
    OsUserCloseHandle(h);
    return true;
}

// Evaluates an XPath from the document; a malformed expression selects nothing.
pugi::xpath_node SelectPath(const pugi::xml_node& from, const char* sPath)
{
    try {
        pugi::xpath_query query(sPath);
        return query.evaluate_node(from);
    } catch (const std::exception&) {
        return pugi::xpath_node();
    }
}

} // namespace

CXmlDataServer::CXmlDataServer(IKxFexSync* pSync) : m_pSync(pSync)
{
    if (m_pSync)
        m_pSync->AddRef();
    CFileTracer::WriteLine2("XML Data Server instance created.");
}

CXmlDataServer::~CXmlDataServer()
{
    try {
        Close(false);
    } catch (...) {
        // A destructor must not throw; what Close could not save is lost either way.
    }
    FreeTypeMemory();
    KxFree(m_pSymbolInfo);
    m_pSymbolInfo = nullptr;
    if (m_bOwnTransfer)
        KxFree(m_pTransfer);
    m_pTransfer = nullptr;
    if (m_pSync)
        m_pSync->Release();
    m_pSync = nullptr;
    CFileTracer::WriteLine2("XML Data Server instance destroyed.");
}

void CXmlDataServer::SetCredentials(const char* sUser, const char* sPassword)
{
    m_sUser = Str(sUser);
    m_sPassword = Str(sPassword);
}

void CXmlDataServer::ResetDocument()
{
    m_doc.reset();
    m_bOpen = false;
}

HRESULT CXmlDataServer::LoadFile(uint16_t nMode)
{
    HRESULT hr;
    if (!ProbeFile(m_sFilePath)) {
        if (!(nMode & XMLDS_MODE_CREATE)) {
            CFileTracer::WriteLine0("Failed to open file! File=\"%s\"", m_sFilePath.c_str());
            hr = kXmlErrFileAccess;
        } else {
            return S_OK;
        }
    } else {
        hr = XmlLoadDocument(m_doc, m_sFilePath, m_sUser, m_sPassword);
        if (FAILED(hr))
            CFileTracer::WriteLine0("Failed to open file! File=\"%s\"", m_sFilePath.c_str());
    }
    if (FAILED(hr))
        hr = XmlBackupLoad(m_doc, m_sFilePath, nMode, hr, m_sUser, m_sPassword);
    return hr;
}

HRESULT CXmlDataServer::Open(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sXml)
{
    if (m_bOpen)
        return kXmlErrInvalidState;
    if (!m_pSync) {
        IKxFexClient* pClient = nullptr;
        HRESULT hr = CreateFexClient(&pClient);
        if (FAILED(hr) || !pClient) {
            CFileTracer::WriteLine0("Failed to create fex client. HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
            return kXmlErrFailed;
        }
        HopAddr target = addr;
        hr = pClient->Connect(&target, addr.port, 0, &m_pSync, 0, KxEmptyVariant(), KxEmptyVariant());
        pClient->Release();
        if (FAILED(hr) || !m_pSync) {
            m_pSync = nullptr;
            CFileTracer::WriteLine0("Failed to connect to fex client. HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
            return kXmlErrFailed;
        }
    }

    HRESULT hr;
    if (sFile && *sFile) {
        m_sFilePath = sFile;
        hr = LoadFile(nMode);
    } else {
        const char* text = sXml ? sXml : kDefaultDocument;
        pugi::xml_parse_result res =
            m_doc.load_buffer(text, std::strlen(text), kXmlParseOptions, pugi::encoding_utf8);
        hr = res ? S_OK : kXmlErrNoNode;
    }
    if (SUCCEEDED(hr))
        hr = InitTypeMemory();
    if (FAILED(hr)) {
        CFileTracer::WriteLine0("Failed to load xml file. HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
        ResetDocument();
        return hr;
    }
    m_bOpen = true;
    m_plcAddr = addr;
    m_bLcId = (nMode & XMLDS_MODE_LCID) != 0;
    m_bNumericBool = (nMode & XMLDS_MODE_NUMERICBOOL) != 0;
    return S_OK;
}

bool XmlQuarterBlock(HRESULT hr, uint32_t& cbBlock)
{
    if ((hr != kXmlErrBlockTooLarge && hr != kXmlErrPlcInternal) || cbBlock < kXmlQuarterBlockFrom)
        return false;
    cbBlock /= 4;
    return true;
}

HRESULT CXmlDataServer::TransferBlocks(bool bWrite, BYTE* pBuffer, uint32_t cbSize)
{
    const uint32_t indexGroup = m_pSymbolInfo->indexGroup;
    const uint32_t indexOffset = m_pSymbolInfo->indexOffset;
    uint32_t chunk = std::min<uint32_t>(CXmlDataServerSettings::m_nFexBlockSize, cbSize);
    if (chunk == 0)
        chunk = cbSize;
    uint32_t done = 0;
    while (done < cbSize) {
        uint32_t piece = std::min(chunk, cbSize - done);
        HRESULT hr;
        if (bWrite) {
            hr = m_pSync->SyncWrite(indexGroup, indexOffset + done, piece, pBuffer + done);
        } else {
            ULONG cbRead = 0;
            hr = m_pSync->SyncRead(indexGroup, indexOffset + done, piece, pBuffer + done, &cbRead);
            if (SUCCEEDED(hr) && cbRead < piece)
                hr = kXmlErrGeneral;
        }
        if (FAILED(hr)) {
            if (XmlQuarterBlock(hr, chunk))
                continue;
            return hr;
        }
        done += piece;
    }
    return S_OK;
}

HRESULT CXmlDataServer::ProcessSymbols(bool bWrite, uint16_t nMode, const char* sSymbol, const char* sXmlPath)
{
    std::string symbol = Str(sSymbol);
    CSymbolPathList list;
    HRESULT hr = ExtractSymbols(symbol, Str(sXmlPath), list);
    if (SUCCEEDED(hr)) {
        // Every entry is processed; the result is the last entry's.
        for (int i = 0; i < list.GetSize(); ++i) {
            const CSymbolPath* entry = list[i];
            hr = bWrite ? InitWrite(nMode, entry->symbol.c_str(), entry->path.c_str())
                        : InitRead(nMode, entry->symbol.c_str(), entry->path.c_str());
            if (SUCCEEDED(hr) && (nMode & XMLDS_MODE_TRANSFER))
                hr = TransferSymbol(bWrite);
        }
    }
    FreeSymbolPathList(list);
    return hr;
}

HRESULT CXmlDataServer::OpenRead(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sSymbol,
                                 const char* sXmlPath, const char* sXml)
{
    CFileTracer::WriteLine2("OpenRead! Symbol=\"%s\" Path=\"%s\" File=\"%s\"", Str(sSymbol), Str(sXmlPath),
                            Str(sFile));
    if (m_bOpen)
        return kXmlErrInvalidState;
    HRESULT hr = Open(addr, static_cast<uint16_t>(nMode & ~XMLDS_MODE_CREATE), sFile, sXml);
    if (SUCCEEDED(hr))
        hr = ProcessSymbols(false, nMode, sSymbol, sXmlPath);
    CFileTracer::WriteLine2("OpenRead finished! HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CXmlDataServer::OpenWrite(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sSymbol,
                                  const char* sXmlPath, BSTR* psXml)
{
    CFileTracer::WriteLine2("OpenWrite! Symbol=\"%s\" Path=\"%s\" File=\"%s\"", Str(sSymbol), Str(sXmlPath),
                            Str(sFile));
    if (m_bOpen)
        return kXmlErrInvalidState;
    m_bModified = false;
    const char* initial = (psXml && *psXml) ? *psXml : nullptr;
    if (psXml)
        *psXml = nullptr;
    HRESULT hr = Open(addr, nMode, sFile, initial);
    if (SUCCEEDED(hr)) {
        hr = ProcessSymbols(true, nMode, sSymbol, sXmlPath);
        if (psXml && m_bModified) {
            std::string text;
            if (SUCCEEDED(GetXml(text))) {
                *psXml = KxSysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
                if (!*psXml && SUCCEEDED(hr))
                    hr = kXmlErrNoMemory;
            }
        }
    }
    CFileTracer::WriteLine2("OpenWrite finished! HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CXmlDataServer::TransferSymbol(bool bWrite)
{
    const uint32_t size = m_pSymbolInfo->size;
    if (size > static_cast<uint32_t>(INT32_MAX))
        return kXmlErrNoMemory;
    BYTE* buf = KxAlloc(static_cast<int32_t>(size ? size : 1));
    if (!buf)
        return kXmlErrNoMemory;
    HRESULT hr;
    uint32_t cb = 0;
    if (bWrite) {
        // PLC image to XML: read the value, then convert it.
        hr = TransferBlocks(false, buf, size);
        if (SUCCEEDED(hr))
            hr = Write(0, nullptr, nullptr, size, buf, 0, false, false);
    } else {
        // XML to PLC image: convert the value, then write it. A pointer or excluded symbol is never written.
        hr = Read(0, nullptr, nullptr, size, buf, 0, false, &cb, false);
        const char* sType = FexSymbolTypeName(m_pSymbolInfo);
        if (SUCCEEDED(hr) && !IsPointer(sType) && !Exclude(m_pSymbolInfo))
            hr = TransferBlocks(true, buf, size);
    }
    KxFree(buf);
    return hr;
}

HRESULT CXmlDataServer::OpenClarify(const char* sSrc, const char* sDst)
{
    CFileTracer::WriteLine2("OpenClarify! SrcFile=\"%s\" DstFile=\"%s\"", Str(sSrc), Str(sDst));
    if (!sSrc || !*sSrc || !sDst || !*sDst)
        return kXmlErrFailed;
    m_sFilePath = sDst;
    if (m_bOpen) {
        CFileTracer::WriteLine2("OpenClarify finished! HRESULT=\"0x%x\"", static_cast<unsigned>(kXmlErrInvalidState));
        return kXmlErrInvalidState;
    }
    HRESULT hr = XmlLoadDocument(m_doc, sSrc, m_sUser, m_sPassword);
    if (SUCCEEDED(hr)) {
        if (!XmlSaveDocument(m_doc, sDst, std::string(), std::string()))
            hr = kXmlErrFailed;
    } else {
        hr = kXmlErrFailed;
    }
    ResetDocument();
    CFileTracer::WriteLine2("OpenClarify finished! HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
    return hr;
}

void CXmlDataServer::EndTransfer()
{
    if (m_bOwnTransfer)
        KxFree(m_pTransfer);
    m_pTransfer = nullptr;
    m_bOwnTransfer = false;
    m_pTransferCursor = nullptr;
    m_nSequence = 0;
    m_cbTransferLeft = m_pSymbolInfo ? m_pSymbolInfo->size : 0;
}

void CXmlDataServer::HoldTransfer(BYTE* pBuffer, uint32_t cbMoved)
{
    m_pTransfer = pBuffer;
    m_bOwnTransfer = true;
    m_pTransferCursor = pBuffer + cbMoved;
    m_cbTransferLeft = m_pSymbolInfo->size - cbMoved;
    m_nSequence = 1;
}

void CXmlDataServer::ClearSelection()
{
    m_selection = pugi::xpath_node();
    EndTransfer();
    KxFree(m_pSymbolInfo);
    m_pSymbolInfo = nullptr;
    m_cbTransferLeft = 0;
}

HRESULT CXmlDataServer::SelectSymbol(const pugi::xpath_node& sel, int nDirection, uint16_t nMode,
                                     const char* sSymbol)
{
    HRESULT hr = ReadSymbolInfo(Str(sSymbol), &m_pSymbolInfo);
    if (FAILED(hr))
        return hr;
    m_selection = sel;
    m_nDirection = nDirection;
    m_nSequence = 0;
    m_cbTransferLeft = m_pSymbolInfo->size;
    m_bIgnoreOrder = (nMode & XMLDS_MODE_IGNOREORDER) != 0;
    return S_OK;
}

HRESULT CXmlDataServer::InitRead(uint16_t nMode, const char* sSymbol, const char* sXmlPath)
{
    if (!m_bOpen)
        return kXmlErrInvalidState;
    ClearSelection();
    pugi::xpath_node sel = SelectPath(m_doc, Str(sXmlPath));
    if (!sel) {
        CFileTracer::WriteLine0("Mode \"%s\" not found!", Str(sXmlPath));
        return kXmlErrPathNotFound;
    }
    return SelectSymbol(sel, 0, nMode, sSymbol);
}

HRESULT CXmlDataServer::CreatePath(const char* sXmlPath, pugi::xpath_node& sel)
{
    const std::string path = Str(sXmlPath);
    if (path.size() <= 2 || path[0] != '/') {
        CFileTracer::WriteLine0("Failed to create node \"%s\"! HRESULT=\"0x%x\"", path.c_str(), 0x80004005u);
        return kXmlErrCreateNode;
    }
    pugi::xml_node current = m_doc;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        const std::string segment = path.substr(pos, next - pos);
        const bool last = next >= path.size();
        pos = next + 1;
        if (segment.empty())
            continue;
        if (!current) {
            CFileTracer::WriteLine0("Failed to create node \"%s\"! HRESULT=\"0x%x\"", path.c_str(), 0x80004005u);
            return kXmlErrCreateNode;
        }
        pugi::xpath_node found = SelectPath(current, segment.c_str());
        if (found) {
            if (found.attribute()) {
                sel = found;
                return S_OK;
            }
            current = found.node();
            sel = pugi::xpath_node(current);
            continue;
        }
        if (last && segment.size() > 1 && segment[0] == '@') {
            if (current.type() == pugi::node_element || current.type() == pugi::node_declaration) {
                pugi::xml_attribute attr = current.append_attribute(segment.c_str() + 1);
                if (!attr) {
                    CFileTracer::WriteLine0("Failed to create node \"%s\"! HRESULT=\"0x%x\"", path.c_str(),
                                            0x80004005u);
                    return kXmlErrCreateNode;
                }
                sel = pugi::xpath_node(attr, current);
            } else {
                sel = pugi::xpath_node(current);
            }
            return S_OK;
        }
        pugi::xml_node child = current.append_child(segment.c_str());
        if (!child) {
            CFileTracer::WriteLine0("Failed to create node \"%s\"! HRESULT=\"0x%x\"", path.c_str(), 0x80004005u);
            return kXmlErrCreateNode;
        }
        current = child;
        sel = pugi::xpath_node(current);
    }
    return sel ? S_OK : kXmlErrCreateNode;
}

HRESULT CXmlDataServer::InitWrite(uint16_t nMode, const char* sSymbol, const char* sXmlPath)
{
    if (!m_bOpen)
        return kXmlErrInvalidState;
    ClearSelection();
    pugi::xpath_node sel = SelectPath(m_doc, Str(sXmlPath));
    if (!sel) {
        if (!(nMode & XMLDS_MODE_CREATE)) {
            CFileTracer::WriteLine0("Node \"%s\" not found! HRESULT=\"0x%x\"", Str(sXmlPath), 0x80004005u);
            return kXmlErrNoNode;
        }
        HRESULT hr = CreatePath(sXmlPath, sel);
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = SelectSymbol(sel, 1, nMode, sSymbol);
    if (FAILED(hr))
        return hr;
    m_bCreateMissing = (nMode & XMLDS_MODE_CREATE) != 0;
    m_bSymbolComment = (nMode & XMLDS_MODE_SYMBOLCOMMENT) != 0;
    m_bTypeComment = (nMode & XMLDS_MODE_TYPECOMMENT) != 0;
    return S_OK;
}

HRESULT CXmlDataServer::ConvertValue(BYTE* pImage)
{
    m_pImage = pImage;
    m_pCursor = pImage;
    m_pPreRead = pImage;
    m_cbRemaining = m_pSymbolInfo->size;
    m_bUtf8 = IsUtf8(m_pSymbolInfo);
    m_bPreReadHole = false;
    m_hrPreRead = S_OK;
    m_known.clear();
    if (m_nDirection == 0) {
        // The walk pre-reads structures and arrays only: give primitive, pointer and excluded symbols the PLC's
        // bytes, which their values keep when the document has nothing convertible for them. Bytes that no
        // read brought in stay zero, and the check after the walk keeps them from leaving the data server.
        std::memset(pImage, 0, m_pSymbolInfo->size);
        const char* sType = FexSymbolTypeName(m_pSymbolInfo);
        if (IsPointer(sType) || Exclude(m_pSymbolInfo) || IsPrimitive(sType, m_pSymbolInfo->dataType)) {
            InitValue(m_pSymbolInfo->size);
            m_pCursor = pImage;
            m_cbRemaining = m_pSymbolInfo->size;
        }
    }
    HRESULT hr = SerializeSymbol(m_selection);
    if (SUCCEEDED(hr) && m_nDirection == 0) {
        // A value is never written to the PLC or handed to a client with bytes that were never read.
        hr = CheckImageKnown();
        if (FAILED(hr))
            CFileTracer::WriteLine0("Failed to read symbol from PLC! Symbol=\"%s\" HRESULT=\"0x%x\"",
                                    FexSymbolName(m_pSymbolInfo), static_cast<unsigned>(hr));
    }
    std::vector<uint8_t>().swap(m_known);
    m_pImage = m_pCursor = m_pPreRead = nullptr;
    m_cbRemaining = 0;
    return hr;
}

HRESULT CXmlDataServer::BeginTransfer(int nDirection, uint16_t nMode, const char* sSymbol, const char* sXmlPath,
                                      bool bSelect, uint32_t cbLength, bool bHaveBuffer, bool bAllowPartial)
{
    if (bSelect) {
        HRESULT hr = nDirection == 0 ? InitRead(nMode, sSymbol, sXmlPath) : InitWrite(nMode, sSymbol, sXmlPath);
        if (FAILED(hr))
            return hr;
    }
    if (!m_pSymbolInfo || !m_selection || m_nDirection != nDirection)
        return kXmlErrInvalidState;
    EndTransfer();
    if (cbLength < m_pSymbolInfo->size && !bAllowPartial)
        return kXmlErrInvalidSize;
    if (!bHaveBuffer && cbLength)
        return kXmlErrInvalidSize;
    return S_OK;
}

HRESULT CXmlDataServer::NextPiece(int nDirection, uint16_t nSequence, uint32_t cbLength, bool bHaveBuffer,
                                  uint32_t* pcbPiece)
{
    if (!m_pSymbolInfo || !m_selection || m_nDirection != nDirection || nSequence != m_nSequence || !m_pTransfer)
        return kXmlErrInvalidState;
    *pcbPiece = std::min(cbLength, m_cbTransferLeft);
    if (*pcbPiece && !bHaveBuffer)
        return kXmlErrInvalidSize;
    return S_OK;
}

HRESULT CXmlDataServer::Read(uint32_t cbLength, BYTE* pBuffer, uint32_t* pcbRead)
{
    return Read(0, nullptr, nullptr, cbLength, pBuffer, m_nSequence, cbLength < m_cbTransferLeft, pcbRead, false);
}

HRESULT CXmlDataServer::Write(uint32_t cbLength, const BYTE* pData)
{
    return Write(0, nullptr, nullptr, cbLength, pData, m_nSequence, cbLength < m_cbTransferLeft, false);
}

HRESULT CXmlDataServer::Read(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                             BYTE* pBuffer, uint16_t nSequence, bool bAllowPartial, uint32_t* pcbRead)
{
    return Read(nMode, sSymbol, sXmlPath, cbLength, pBuffer, nSequence, bAllowPartial, pcbRead, true);
}

HRESULT CXmlDataServer::Write(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                              const BYTE* pData, uint16_t nSequence, bool bAllowPartial)
{
    return Write(nMode, sSymbol, sXmlPath, cbLength, pData, nSequence, bAllowPartial, true);
}

HRESULT CXmlDataServer::Read(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                             BYTE* pBuffer, uint16_t nSequence, bool bAllowPartial, uint32_t* pcbRead, bool bSelect)
{
    if (pcbRead)
        *pcbRead = 0;
    if (!m_bOpen)
        return kXmlErrInvalidState;
    if (nSequence == 0) {
        HRESULT hrStart = BeginTransfer(0, nMode, sSymbol, sXmlPath, bSelect, cbLength, pBuffer != nullptr,
                                        bAllowPartial);
        if (FAILED(hrStart))
            return hrStart;
        const uint32_t size = m_pSymbolInfo->size;
        if (cbLength >= size) {
            // The caller's buffer holds everything: convert in place.
            HRESULT hr = ConvertValue(pBuffer);
            EndTransfer();
            if (FAILED(hr))
                return hr;
            if (pcbRead)
                *pcbRead = size;
            return hr;
        }
        BYTE* buf = KxAlloc(static_cast<int32_t>(size));
        if (!buf)
            return kXmlErrNoMemory;
        HRESULT hr = ConvertValue(buf);
        if (FAILED(hr)) {
            KxFree(buf);
            EndTransfer();
            return hr;
        }
        std::memcpy(pBuffer, buf, cbLength);
        HoldTransfer(buf, cbLength);
        if (pcbRead)
            *pcbRead = cbLength;
        return hr;
    }

    uint32_t cb = 0;
    HRESULT hrNext = NextPiece(0, nSequence, cbLength, pBuffer != nullptr, &cb);
    if (FAILED(hrNext))
        return hrNext;
    std::memcpy(pBuffer, m_pTransferCursor, cb);
    m_pTransferCursor += cb;
    m_cbTransferLeft -= cb;
    if (pcbRead)
        *pcbRead = cb;
    if (m_cbTransferLeft > 0)
        ++m_nSequence;
    else
        EndTransfer();
    return S_OK;
}

HRESULT CXmlDataServer::Write(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                              const BYTE* pData, uint16_t nSequence, bool bAllowPartial, bool bSelect)
{
    if (!m_bOpen)
        return kXmlErrInvalidState;
    if (nSequence == 0) {
        HRESULT hrStart = BeginTransfer(1, nMode, sSymbol, sXmlPath, bSelect, cbLength, pData != nullptr,
                                        bAllowPartial);
        if (FAILED(hrStart))
            return hrStart;
        const uint32_t size = m_pSymbolInfo->size;
        if (cbLength >= size) {
            // Writing only reads the image, so the caller's bytes are converted where they are.
            BYTE empty = 0;
            HRESULT hr = ConvertValue(pData ? const_cast<BYTE*>(pData) : &empty);
            EndTransfer();
            return hr;
        }
        BYTE* buf = KxAlloc(static_cast<int32_t>(size));
        if (!buf)
            return kXmlErrNoMemory;
        std::memcpy(buf, pData, cbLength);
        HoldTransfer(buf, cbLength);
        return S_OK;
    }

    uint32_t cb = 0;
    HRESULT hrNext = NextPiece(1, nSequence, cbLength, pData != nullptr, &cb);
    if (FAILED(hrNext))
        return hrNext;
    std::memcpy(m_pTransferCursor, pData, cb);
    m_pTransferCursor += cb;
    m_cbTransferLeft -= cb;
    if (m_cbTransferLeft > 0) {
        ++m_nSequence;
        return S_OK;
    }
    HRESULT hr = ConvertValue(m_pTransfer);
    EndTransfer();
    return hr;
}

HRESULT CXmlDataServer::GetXml(std::string& sXml)
{
    if (!m_bOpen || !m_bModified)
        return kXmlErrInvalidState;
    XmlDocumentToString(m_doc, sXml);
    return S_OK;
}

HRESULT CXmlDataServer::Close(bool bDiscard)
{
    HRESULT hr = S_OK;
    m_selection = pugi::xpath_node();
    if (m_bOpen && !bDiscard && m_bModified && !m_sFilePath.empty()) {
        if (!XmlSaveDocument(m_doc, m_sFilePath, m_sUser, m_sPassword))
            hr = kXmlErrFileAccess;
        XmlBackupRotate(m_doc, m_sFilePath, m_sUser, m_sPassword);
    }
    ResetDocument();
    FreeTypeMemory();
    ClearSelection();
    return hr;
}
