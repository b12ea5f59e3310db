// One open XML document together with one PLC connection: the symbol model, the walk that moves values
// between the PLC's memory image and the document, and the file operations around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "FexSymbolInfo.h"
#include "Hop.h"
#include "KxFex.h"
#include "KxFexArray.h"
#include "KxHashTable.h"
#include "platform/FreeBSD/KxWinTypes.h"

// Results of the data server's own operations (device-protocol errors are 0x98110000 + number).
#define XMLDS_E_FAILED ((HRESULT)0x98118000)        // no PLC client; clarify failed; inconsistent record
#define XMLDS_E_LOAD ((HRESULT)0x98118001)          // load error
#define XMLDS_E_NOTFOUND ((HRESULT)0x98118002)      // node or document element not found; text does not parse
#define XMLDS_E_INVALIDTYPE ((HRESULT)0x98118003)   // type name null/empty; value not found or unconvertible
#define XMLDS_E_NOMEMORY ((HRESULT)0x98118004)      // no memory for a type memory block
#define XMLDS_E_CREATENODE ((HRESULT)0x98118005)    // a node of the path cannot be created
#define XMLDS_E_PATHNOTFOUND ((HRESULT)0x98118006)  // the XML path finds nothing for a read
#define XMLDS_E_DECRYPT ((HRESULT)0x9811800A)       // load error of an encrypted file

// Device-protocol results the data server answers or reacts to.
#define XMLDS_E_DEVICE ((HRESULT)0x98110700)         // short PLC read; value beyond the image
#define XMLDS_E_INVALIDSIZE ((HRESULT)0x98110705)    // buffer too small (also the PLC's answer)
#define XMLDS_E_INVALIDCONTEXT ((HRESULT)0x98110709) // state does not fit the operation
#define XMLDS_E_NOMEMORY_PLC ((HRESULT)0x9811070A)   // the PLC ran out of memory for a block
#define XMLDS_E_INVALIDPARM ((HRESULT)0x9811070B)    // a symbol without an XML path
#define XMLDS_E_FILENOTFOUND ((HRESULT)0x9811070C)   // file missing; main save failed

// Index groups of the information uploads.
#define XMLDS_IG_SYMBOLINFO 0xF009u    // symbol information record by name
#define XMLDS_IG_DATATYPEINFO 0xF011u  // data type information record by name

// Mode bits of an open or a selection.
#define XMLDS_MODE_CREATE 0x0001u          // write: create missing file content and nodes
#define XMLDS_MODE_TRANSFER 0x0002u        // transfer every listed symbol during the open
#define XMLDS_MODE_IGNOREORDER 0x0004u     // match members and array elements by name and index
#define XMLDS_MODE_LCID 0x0008u            // an "LcId" attribute counts where "index" is looked for
#define XMLDS_MODE_NUMERICBOOL 0x0010u     // BOOL values written as "1" and "0"
#define XMLDS_MODE_STRINGCHECK 0x0020u     // no effect: strings are always checked
#define XMLDS_MODE_SYMBOLCOMMENT 0x0400u   // write the symbol's comment before its element
#define XMLDS_MODE_TYPECOMMENT 0x0800u     // write data type and member comments

// Bytes of the first symbol record upload; longer records are fetched again with their exact length.
constexpr uint32_t kXmlSymbolInfoFirstRead = 1030;
// Bytes of the first type memory block, allocated when the document is opened.
constexpr uint32_t kXmlTypeMemoryFirstBlock = 0x4096;
// Symbol records claiming more than this are taken as malformed (largest well-formed record is ~33 MB).
constexpr uint32_t kXmlMaxSymbolRecord = 64u * 1024u * 1024u;
// Data type records claiming more than this are taken as malformed.
constexpr uint32_t kXmlMaxDatatypeRecord = 256u * 1024u * 1024u;

// One entry of a symbol list: the XPath that selects the symbol's element and the PLC symbol name.
class CSymbolPath {
public:
    CSymbolPath() = default;
    CSymbolPath(const std::string& sPath, const std::string& sSymbol) : path(sPath), symbol(sSymbol) {}

    std::string path;    // XPath of the element (or attribute) in the document
    std::string symbol;  // PLC symbol name
};

// Ordered list of symbol entries; entries are made with new and deleted by the list's owner.
typedef CFexArray<CSymbolPath*, CSymbolPath*> CSymbolPathList;

// Deletes every entry of the list and empties it.
void FreeSymbolPathList(CSymbolPathList& list);

// Cache of uploaded data type records by type name (1000 entries, records live in type memory).
typedef CHashTableString<FexDatatypeEntry*, CSyncDefault> CDatatypeCache;

class CXmlDataServer {
public:
    // Takes a reference on pSync when given (none: the open connects one). The cache pool is made here.
    explicit CXmlDataServer(IKxFexSync* pSync = nullptr);
    // Frees type memory, records and buffers and releases the PLC client.
    virtual ~CXmlDataServer();

    CXmlDataServer(const CXmlDataServer&) = delete;
    CXmlDataServer& operator=(const CXmlDataServer&) = delete;

    // The loaded document (empty while none is loaded).
    pugi::xml_document& Document() { return m_doc; }
    // The PLC client, or null; no reference is added.
    IKxFexSync* PlcClient() const { return m_pSync; }

    // Symbol paths and symbol information

    // Builds the symbol list of an open request from a symbol name and an XML path; fills an empty symbol
    // from the path. 0x9811070B for a symbol without a path; SymbolFromPath's error for an unusable path.
    HRESULT ExtractSymbols(std::string& sSymbol, const std::string& sPath, CSymbolPathList& list);
    // Derives the PLC symbol name that an XML path stands for; 0x98118002 (symbol "" or cut) when a step
    // selects nothing, the path does not begin with "/" or is shorter than 3 characters, or no root exists.
    HRESULT SymbolFromPath(const std::string& sPath, std::string& sSymbol);
    // Appends an entry for every symbol stored in the document; nothing without a document element.
    void AddSymbols(CSymbolPathList& list);
    // Recursive step of AddSymbols below one element; false when nothing was appended.
    bool AddSymbols(pugi::xml_node node, CSymbolPathList& list, std::string sSymbol, std::string sPath);
    // Uploads the symbol record of sName into a KxAlloc block owned by the caller (*ppInfo, null on
    // failure). PLC errors are passed on; 0x98118000 for a record that does not fit the bytes received.
    HRESULT ReadSymbolInfo(const char* sName, FexSymbolEntry** ppInfo);

    // Data type information and type memory

    // Uploads (or finds in the cache) the record of a type name, following aliases to the named type.
    // *ppInfo points into type memory, valid until close. 0x98118003 for a null or empty name,
    // 0x98118004 without memory (output unchanged), PLC errors passed on with a null output.
    HRESULT ReadDatatypeInfo(const char* sName, FexDatatypeEntry** ppInfo);
    // Starts a new type memory block of 2 * max(cbNeeded, 2 * current block) bytes; 0x98118004 on failure.
    HRESULT GrowTypeMemory(uint32_t cbNeeded);
    // Allocates the first type memory block (freeing any earlier blocks); 0x98118004 on failure.
    HRESULT InitTypeMemory();
    // Frees every type memory block and empties the data type cache.
    void FreeTypeMemory();
    // Bytes of the current type memory block (0 while none exists).
    uint32_t TypeMemoryBlockSize() const;
    // Number of type memory blocks allocated.
    size_t TypeMemoryBlockCount() const { return m_typeBlocks.size(); }
    // Bytes used in the current type memory block.
    uint32_t TypeMemoryUsed() const;

    // Array index attributes and array nodes

    // Serialisation

    // File operations

protected:
    // An "index" attribute of node, or in LcId mode an "LcId" attribute (value ""); false when neither.
    bool IndexValueOf(pugi::xml_node node, std::string& sValue) const;
    // One upload of a data type record into pBuf; the bytes received go to *pcbRead.
    HRESULT UploadDatatype(const std::string& sName, uint32_t cbRead, BYTE* pBuf, ULONG* pcbRead);

    // Document and selection.
    pugi::xml_document m_doc;
    pugi::xpath_node m_selection;  // node or attribute of the selected symbol
    std::string m_sFilePath;       // file given at open (clarify: the destination)

    // Selected symbol: its record (KxAlloc block) and the bytes of it received from the PLC.
    FexSymbolEntry* m_pSymbolInfo = nullptr;

    // Piecewise transfer of a value.
    BYTE* m_pTransfer = nullptr;       // transfer buffer; may be the caller's own buffer
    bool m_bOwnTransfer = false;       // the transfer buffer was allocated here
    BYTE* m_pTransferCursor = nullptr; // next byte to move
    uint32_t m_cbTransferLeft = 0;     // bytes still to move
    uint16_t m_nSequence = 0;          // number of the next expected piece; 0 = none in progress
    int m_nDirection = 0;              // 0 = read (XML to PLC image), 1 = write (PLC image to XML)
    bool m_bModified = false;          // a value was written into the document since the open

    // Option flags copied from the mode bits.
    bool m_bUtf8 = false;            // strings of the current symbol or member are UTF-8
    bool m_bCreateMissing = false;   // mode bit 0
    bool m_bIgnoreOrder = false;     // mode bit 2
    bool m_bLcId = false;            // mode bit 3
    bool m_bNumericBool = false;     // mode bit 4
    bool m_bSymbolComment = false;   // mode bit 10
    bool m_bTypeComment = false;     // mode bit 11

    HopAddr m_plcAddr;  // PLC address given at open

    // Type memory: blocks that are never moved; records are stored one after the other.
    std::vector<BYTE*> m_typeBlocks;
    BYTE* m_pTypeFree = nullptr;  // first free byte of the current block
    uint32_t m_cbTypeLeft = 0;    // bytes left in the current block
    CDatatypeCache m_typeCache;   // type name -> record in type memory

    // Credentials of encrypted files; empty means plain files.
    std::string m_sUser;
    std::string m_sPassword;

    IKxFexSync* m_pSync = nullptr;  // PLC client; one reference held

    // Walk state of the value conversion.
    BYTE* m_pImage = nullptr;     // memory image of the current symbol's value
    BYTE* m_pCursor = nullptr;    // position of the value being processed
    uint32_t m_cbRemaining = 0;   // image bytes from the cursor to the image's end
    BYTE* m_pPreRead = nullptr;   // read direction: the image holds PLC bytes up to here
    int m_nBitPos = -1;           // -1 while addressing bytes; 0..7 inside a bit-valued member
};
