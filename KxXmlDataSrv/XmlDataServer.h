// One open XML document together with one PLC connection: the symbol model, the walk that moves values
// between the PLC's memory image and the document, and the file operations around them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "FexSymbolInfo.h"
#include "Hop.h"
#include "KxFex.h"
#include "KxFexArray.h"
#include "KxHashTable.h"
#include "KxXmlErrors.h"
#include "platform/FreeBSD/KxWinTypes.h"

// A PLC refuses a block transfer too large for it with kXmlErrBlockTooLarge, or with kXmlErrPlcInternal. Blocks
// of at least this many bytes are then asked for again in quarters; smaller ones are given up.
constexpr uint32_t kXmlQuarterBlockFrom = 0x4097;
// True when hr refuses a block of cbBlock bytes that is to be asked for again in quarters: cbBlock is then
// quartered. False, cbBlock unchanged, for any other result.
bool XmlQuarterBlock(HRESULT hr, uint32_t& cbBlock);

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

// How a primitive value is converted, worked out once from its type name, data type id and size.
struct XmlValueKind {
    uint32_t read = 0;     // the data type id the text is read as; 0: none, the bytes are kept
    uint32_t write = 0;    // the data type id the text is written as; 0: no text form
    uint32_t cbRead = 0;   // image bytes a converted text sets (in byte mode)
    uint32_t cbWrite = 0;  // image bytes the written text is made from
    bool bitId = false;    // id 33 (BOOL or BIT): the name must fit the addressing mode
    bool bitName = false;  // id 33 named "BIT": one bit of the byte at the cursor
};

// What the value walk needs of one member of a structure record, read from the record once.
struct XmlMemberInfo {
    const FexDatatypeEntry* entry = nullptr;  // the member's sub-item record (size, offset, id, comment)
    const char* name = "";                    // member name
    const char* typeName = "";                // the member's type name
    const FexDatatypeEntry* type = nullptr;   // record of a member that is no primitive, once uploaded
    bool passOver = false;                    // flag 0x0040: no element and no bytes
    bool bits = false;                        // flag 0x0020: size and offset count bits
    bool utf8 = false;                        // its strings are UTF-8
    bool noValue = false;                     // pointer, reference or excluded: neither written nor read
    bool primitive = false;                   // converted as one text
    XmlValueKind kind;                        // a primitive's conversion
    bool firstOfName = false;                 // ignore order: no earlier member has its name (ignoring case)
    bool direct = false;                      // reading needs no checks: a number, a BOOL or an 8-bit string
                                              // in whole bytes
};

// The members of a structure record in declaration order; built on the first walk of the record and kept
// with the type memory the record lives in.
struct XmlMemberTable {
    std::vector<XmlMemberInfo> members;
    // Upper-cased member name -> member index (the first member of a name); made by the first
    // ignore-order walk of the record.
    std::unique_ptr<CHashTableString<int, CSyncNone>> byName;
};

class CXmlDataServer {
public:
    // Takes a reference on pSync when given (none: the open connects one). The cache pool is made here.
    explicit CXmlDataServer(IKxFexSync* pSync = nullptr);
    // Closes without discarding (a modified document is saved), frees what is left, releases the client.
    virtual ~CXmlDataServer();

    CXmlDataServer(const CXmlDataServer&) = delete;
    CXmlDataServer& operator=(const CXmlDataServer&) = delete;

    // The loaded document (empty while none is loaded).
    pugi::xml_document& Document() { return m_doc; }
    // The PLC client, or null; no reference is added.
    IKxFexSync* PlcClient() const { return m_pSync; }

    // Symbol paths and symbol information

    // Builds the symbol list of an open request from a symbol name and an XML path; fills an empty symbol
    // from the path. kXmlErrInvalidParam for a symbol without a path; SymbolFromPath's error for an unusable path.
    HRESULT ExtractSymbols(std::string& sSymbol, const std::string& sPath, CSymbolPathList& list);
    // Derives the PLC symbol name that an XML path stands for; kXmlErrNoNode (symbol "" or cut) when a step
    // selects nothing, the path does not begin with "/" or is shorter than 3 characters, or no root exists.
    HRESULT SymbolFromPath(const std::string& sPath, std::string& sSymbol);
    // Appends an entry for every symbol stored in the document; nothing without a document element.
    void AddSymbols(CSymbolPathList& list);
    // Recursive step of AddSymbols below one element; false when nothing was appended.
    bool AddSymbols(pugi::xml_node node, CSymbolPathList& list, std::string sSymbol, std::string sPath);
    // Uploads the symbol record of sName into a KxAlloc block owned by the caller (*ppInfo, null on
    // failure). PLC errors are passed on; kXmlErrFailed for a record that does not fit the bytes received.
    HRESULT ReadSymbolInfo(const char* sName, FexSymbolEntry** ppInfo);

    // Data type information and type memory

    // Uploads (or finds in the cache) the record of a type name, following aliases to the named type.
    // *ppInfo points into type memory, valid until close. kXmlErrNoValue for a null or empty name,
    // kXmlErrNoMemory without memory (output unchanged), PLC errors passed on with a null output.
    HRESULT ReadDatatypeInfo(const char* sName, FexDatatypeEntry** ppInfo);
    // Starts a new type memory block of 2 * max(cbNeeded, 2 * current block) bytes; kXmlErrNoMemory on failure.
    HRESULT GrowTypeMemory(uint32_t cbNeeded);
    // Allocates the first type memory block (freeing any earlier blocks); kXmlErrNoMemory on failure.
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

    // Most dimensions an array may have.
    static constexpr int kMaxArrayDims = 4;
    // Text of node's first "index" attribute; without one, in LcId mode, "" for an "LcId" attribute.
    // kXmlErrNoValue for a null node, a node without attributes or with neither attribute.
    HRESULT GetIndexAttribute(pugi::xml_node node, const char*& pszText) const;
    // Parses node's index text ("2,1": nDims decimal subscripts, blanks allowed before each number,
    // nothing but blanks after the last) into pSubscripts; kXmlErrNoValue (subscripts unchanged) when
    // there is no index text, nDims is outside 1..4, the text does not fit or a subscript overflows.
    HRESULT ReadIndexAttribute(pugi::xml_node node, int32_t* pSubscripts, int nDims) const;
    // Sets (or appends) node's "index" attribute to the subscripts joined by commas; kXmlErrNoValue for a
    // null node, kXmlErrGeneral for nDims outside 1..4. A node that carries no attributes is left as it is
    // (0); kXmlErrCreateNode only when the text cannot be stored (out of memory).
    static HRESULT WriteIndexAttribute(pugi::xml_node node, const int32_t* pSubscripts, int nDims);
    // Subscripts of element nLinear (row-major, last dimension fastest). A dimension of 0 elements
    // takes its lower bound.
    static void CalculateArrayIndex(const FexDatatypeArrayInfo* pInfo, int nDims, uint64_t nLinear,
                                    int32_t* pSubscripts);
    // Element number of the subscripts (0 for nDims 0); false (nLinear unchanged) when a subscript
    // lies outside its dimension's bounds or the array has more elements than a 64-bit count holds.
    static bool CalculateArrayElement(const FexDatatypeArrayInfo* pInfo, int nDims, const int32_t* pSubscripts,
                                      uint64_t& nLinear);
    // -1, 0 or +1 as the subscripts come before, at or after element nLinear (first dimension most
    // significant); 0 for nDims outside 1..4.
    static int CheckArrayIndex(const int32_t* pSubscripts, const FexDatatypeArrayInfo* pInfo, int nDims,
                               uint64_t nLinear);
    // Appends to parent an element sName carrying the index attribute of element nLinear; the empty node
    // when parent or sName is missing, nDims is outside 1..4 or the node cannot be created.
    static pugi::xml_node AddArrayNode(pugi::xml_node parent, const char* sName, const FexDatatypeArrayInfo* pInfo,
                                       int nDims, uint64_t nLinear);
    // As AddArrayNode, inserting the element before sibling (a child of parent); the empty node on failure.
    static pugi::xml_node AddArrayNodeBefore(pugi::xml_node parent, pugi::xml_node sibling, const char* sName,
                                             const FexDatatypeArrayInfo* pInfo, int nDims, uint64_t nLinear);
    // Inserts a child element sName before sibling into the position's element (which must not be an
    // attribute position); 0, or kXmlErrCreateNode with newNode empty when anything is missing or not created.
    static HRESULT XMLAddNodeBefore(const pugi::xpath_node& position, pugi::xml_node sibling, const char* sName,
                                    pugi::xml_node& newNode);
    // Appends an attribute sName with the text sValue (null: "") to the position's element or declaration;
    // the empty attribute for an attribute position, another node kind, no name or no memory.
    static pugi::xml_attribute XMLAddTextAttribute(const pugi::xpath_node& position, const char* sName,
                                                   const char* sValue);

    // Serialisation

    // Nesting of structures and arrays deeper than this stops the walk of that value (kXmlErrNoValue).
    static constexpr unsigned kMaxSerializeDepth = 64;
    // Value step of the selected symbol (m_pSymbolInfo) at pos, in m_nDirection: writes the image into the
    // document or fills the image from it. The caller sets m_pImage, m_pCursor, m_pPreRead (image start) and
    // m_cbRemaining (symbol size). A write that succeeds sets m_bModified. Never throws: an inconsistent
    // image gives kXmlErrNoMemory, a record that would need unbounded work kXmlErrFailed.
    HRESULT SerializeSymbol(const pugi::xpath_node& pos);
    // Walks one data type record at pos (an element, or an attribute for simple types); bInArray: the record
    // is the element type of an enclosing array; *pnCount (optional) receives the sibling elements used.
    // 0 success, kXmlErrNoValue nothing serialised (tolerated by the walk), other negative results abort.
    HRESULT Serialize(const pugi::xpath_node& pos, const FexDatatypeEntry* pType, bool bInArray, ULONG* pnCount);
    // One primitive value at the cursor: SetValue when writing, GetValue when reading.
    HRESULT SerializeValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize);
    // Writes the value at the cursor as pos's text and advances the cursor by nSize (bits in bit mode).
    // kXmlErrGeneral beyond the image or BOOL/BIT in the wrong addressing mode (cursor unchanged), kXmlErrControlChar
    // for a string holding a control character, kXmlErrNoValue for a type that has no text form.
    HRESULT SetValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize);
    // Converts pos's text into the value at the cursor and advances; a text that does not convert keeps
    // the bytes (result 0). kXmlErrGeneral beyond the image or BOOL/BIT in the wrong addressing mode.
    // Throws KxMemError's int when the cursor lies outside the image.
    HRESULT GetValue(const pugi::xpath_node& pos, const char* sType, uint32_t nId, uint32_t nSize);
    // Read direction: fills the next nSize image bytes with the PLC's bytes unless already pre-read, in
    // blocks of at most CXmlDataServerSettings::m_nFexBlockSize. 0, or kXmlErrGeneral when nSize passes the
    // image; PLC errors leave the bytes as they were and are noted for CheckImageKnown. Does nothing when
    // writing.
    HRESULT InitValue(uint32_t nSize)
    {
        if (m_nDirection == 1 || (m_pPreRead >= m_pCursor && uint64_t(m_pPreRead - m_pCursor) >= nSize))
            return S_OK;
        return PreRead(nSize);
    }
    // InitValue when the bytes are not pre-read yet.
    HRESULT PreRead(uint32_t nSize);
    // Read direction, after the walk: 0 when every image byte was read from the PLC or set from the
    // document; otherwise the PLC's error that cut the pre-read short, or kXmlErrGeneral.
    HRESULT CheckImageKnown() const;
    // Passes over nSize bytes (bits in bit mode) without changing them; kXmlErrGeneral (reading) when they
    // lie beyond the image and were not pre-read. The cursor never passes the image's end.
    HRESULT KeepValue(uint32_t nSize);

    // File operations

    // Generic open: loads sFile (empty: parses sXml, or "<dataentry></dataentry>" when none) and connects
    // the PLC client for addr if none is held. kXmlErrInvalidState when a document is loaded already.
    HRESULT Open(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sXml);
    // Read open: loads the file (which must exist) and selects every listed symbol; with mode bit 1 the
    // XML values are written into the PLC. The result of the last entry.
    HRESULT OpenRead(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sSymbol,
                     const char* sXmlPath, const char* sXml);
    // Write open: loads or creates the document and selects every listed symbol; with mode bit 1 the PLC's
    // values are stored into the document. psXml (optional) in: initial text for an empty sFile; out: the
    // resulting text as a length-prefixed string when the document was modified (KxSysFreeString).
    HRESULT OpenWrite(const HopAddr& addr, uint16_t nMode, const char* sFile, const char* sSymbol,
                      const char* sXmlPath, BSTR* psXml);
    // Loads sSrc with the credentials and saves it as plain XML to sDst; the document is empty afterwards.
    HRESULT OpenClarify(const char* sSrc, const char* sDst);
    // Selects a symbol for reading (XML to PLC image) / writing (PLC image to XML).
    HRESULT InitRead(uint16_t nMode, const char* sSymbol, const char* sXmlPath);
    HRESULT InitWrite(uint16_t nMode, const char* sSymbol, const char* sXmlPath);
    // Moves the selected symbol's data piecewise, continuing the transfer in progress.
    HRESULT Read(uint32_t cbLength, BYTE* pBuffer, uint32_t* pcbRead);
    HRESULT Write(uint32_t cbLength, const BYTE* pData);
    // The same with a selection made in the call when nSequence is 0.
    HRESULT Read(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength, BYTE* pBuffer,
                 uint16_t nSequence, bool bAllowPartial, uint32_t* pcbRead);
    HRESULT Write(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                  const BYTE* pData, uint16_t nSequence, bool bAllowPartial);
    // The document as text in the save format; kXmlErrInvalidState without a document or without changes.
    HRESULT GetXml(std::string& sXml);
    // Saves a modified document unless bDiscard, then empties the data server. 0, or kXmlErrFileAccess.
    HRESULT Close(bool bDiscard);
    // Credentials for encrypted files; null or empty: plain files.
    void SetCredentials(const char* sUser, const char* sPassword);
    // The file path given at open (clarify: the destination).
    const std::string& FilePath() const { return m_sFilePath; }
    // True while a document is open (a write open of a missing file has one without elements).
    bool IsLoaded() const { return m_bOpen; }

protected:
    // File operation internals.
    void ResetDocument();
    HRESULT LoadFile(uint16_t nMode);
    HRESULT TransferBlocks(bool bWrite, BYTE* pBuffer, uint32_t cbSize);
    HRESULT TransferSymbol(bool bWrite);
    // Selects every entry of the symbol list of an open (and transfers it with mode bit 1).
    HRESULT ProcessSymbols(bool bWrite, uint16_t nMode, const char* sSymbol, const char* sXmlPath);
    void EndTransfer();
    // Makes pBuffer (a KxAlloc block of the symbol's size) the transfer buffer of a piecewise transfer whose
    // first piece of cbMoved bytes has moved; the next piece has sequence 1.
    void HoldTransfer(BYTE* pBuffer, uint32_t cbMoved);
    void ClearSelection();
    HRESULT CreatePath(const char* sXmlPath, pugi::xpath_node& sel);
    // Selects sel for a transfer of sSymbol in nDirection (0 read, 1 write): its record, no sequence yet, the
    // whole symbol left, ignore order from nMode. The record's upload error, with nothing selected.
    HRESULT SelectSymbol(const pugi::xpath_node& sel, int nDirection, uint16_t nMode, const char* sSymbol);
    HRESULT ConvertValue(BYTE* pImage);
    // Start of a piecewise transfer (sequence 0): selects when asked, checks the direction and the lengths.
    HRESULT BeginTransfer(int nDirection, uint16_t nMode, const char* sSymbol, const char* sXmlPath, bool bSelect,
                          uint32_t cbLength, bool bHaveBuffer, bool bAllowPartial);
    // Next piece of a transfer in progress: checks the sequence; *pcbPiece receives the bytes to move.
    HRESULT NextPiece(int nDirection, uint16_t nSequence, uint32_t cbLength, bool bHaveBuffer, uint32_t* pcbPiece);
    HRESULT Read(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength, BYTE* pBuffer,
                 uint16_t nSequence, bool bAllowPartial, uint32_t* pcbRead, bool bSelect);
    HRESULT Write(uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                  const BYTE* pData, uint16_t nSequence, bool bAllowPartial, bool bSelect);
    bool m_bOpen = false;  // a document is open

    // An "index" attribute of node, or in LcId mode an "LcId" attribute (value ""); false when neither.
    bool IndexValueOf(pugi::xml_node node, std::string& sValue) const;
    // ReadDatatypeInfo without its guard against allocation failures.
    HRESULT ReadDatatypeChain(const char* sName, FexDatatypeEntry** ppInfo);
    // One upload of a data type record into pBuf; the bytes received go to *pcbRead.
    HRESULT UploadDatatype(const std::string& sName, uint32_t cbRead, BYTE* pBuf, ULONG* pcbRead);
    // Allocates a type memory block of cbBlock (at most INT32_MAX) bytes and makes it the current one;
    // kXmlErrNoMemory on failure.
    HRESULT AddTypeBlock(uint32_t cbBlock);

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
    // Read direction, once the pre-read failed or skipped bytes: what of the image is known.
    bool m_bPreReadHole = false;  // the bytes below the pre-read mark are no longer all read
    HRESULT m_hrPreRead = S_OK;   // first PLC error that cut the pre-read short
    std::vector<uint8_t> m_known; // per image byte: 1 once read from the PLC or set from the document
    void NotePreReadHole(HRESULT hr);
    void MarkKnown(const BYTE* p, uint32_t cb);
    // MarkKnown, which has nothing to do until the pre-read left a hole.
    void NoteKnown(const BYTE* p, uint32_t cb)
    {
        if (m_bPreReadHole)
            MarkKnown(p, cb);
    }

    // Serialisation internals.
    struct StructWalk;  // one structure at its position (XmlSerialize.cpp)
    struct ArrayWalk;   // one array at its position (XmlSerialize.cpp)
    // The walk below the entry works on elements (pugi::xml_node); the public functions above take positions
    // that may be attributes and pass elements on to these.
    static XmlValueKind ValueKind(const char* sType, uint32_t nId, uint32_t nSize);
    HRESULT EnterRecord(const FexDatatypeEntry* pType);
    HRESULT SerializeElement(pugi::xml_node element, const FexDatatypeEntry* pType, bool bInArray, ULONG* pnCount);
    template <class Pos>
    HRESULT SerializeSimple(const Pos& pos, const FexDatatypeEntry* pType);
    template <class Pos>
    HRESULT SerializeValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize);
    template <class Pos>
    HRESULT SetValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize);
    template <class Pos>
    HRESULT GetValueAt(const Pos& pos, const XmlValueKind& kind, uint32_t nSize);
    // GetValueAt of a direct member (XmlMemberInfo::direct) at its element, the cursor on its bytes.
    HRESULT GetMemberValue(pugi::xml_node element, const XmlValueKind& kind, uint32_t nSize);
    HRESULT SerializeStruct(pugi::xml_node element, const FexDatatypeEntry* pType);
    XmlMemberTable& MemberTable(const FexDatatypeEntry* pType);
    void MakeNameIndex(XmlMemberTable& table);
    int MemberOfName(const XmlMemberTable& table, const char* sName);
    void FillMemberSlots(StructWalk& w);
    void ListMemberSlots(StructWalk& w);
    HRESULT PlaceMember(const StructWalk& w, const FexDatatypeEntry* m);
    HRESULT MemberNode(StructWalk& w, size_t i, pugi::xml_node& node);
    HRESULT MemberValue(StructWalk& w, XmlMemberInfo& member, pugi::xml_node node);
    HRESULT SerializeArray(pugi::xml_node element, const FexDatatypeEntry* pType, bool bInArray, ULONG* pnCount);
    HRESULT ArrayShape(const FexDatatypeEntry* pType, ArrayWalk& a);
    HRESULT ArrayFirstNode(pugi::xml_node element, bool bInArray, ArrayWalk& a);
    HRESULT SerializeArrayInOrder(ArrayWalk& a);
    HRESULT SerializeArrayIgnoreOrder(ArrayWalk& a);
    HRESULT CompleteArray(ArrayWalk& a, uint64_t j, pugi::xml_node before);
    HRESULT KeepArrayElements(ArrayWalk& a, uint64_t j, uint64_t n);
    HRESULT PutArrayElement(ArrayWalk& a, uint64_t i, pugi::xml_node node, bool bElement = true);
    // Appends (before empty) or inserts before `before` an element sName indexed with the subscripts.
    static pugi::xml_node AddIndexedNode(pugi::xml_node parent, pugi::xml_node before, const char* sName,
                                         const int32_t* pSubscripts, int nDims);
    void InsertComment(pugi::xml_node before, const char* sComment);
    // True when the cb bytes at p lie inside the current symbol's image.
    bool ImageHolds(const BYTE* p, uint64_t cb) const
    {
        if (!m_pSymbolInfo)
            return false;
        if (!m_pImage)
            return !p && cb == 0;
        if (p < m_pImage)
            return false;
        const uint64_t offset = static_cast<uint64_t>(p - m_pImage);
        return offset <= m_pSymbolInfo->size && cb <= m_pSymbolInfo->size - offset;
    }
    unsigned m_nSerializeDepth = 0;       // nesting of the Serialize calls in progress
    uint64_t m_nSerializeBudget = 0;      // walk steps left for the current symbol
    std::vector<const char*> m_typeStack; // names of the records being walked (recursion guard)
    // Member tables by structure record; they point into type memory and are freed with it.
    std::unordered_map<const FexDatatypeEntry*, std::unique_ptr<XmlMemberTable>> m_memberTables;
    const FexDatatypeEntry* m_pLastTableType = nullptr;  // the record of the table last asked for
    XmlMemberTable* m_pLastTable = nullptr;
    // Scratch space of the walk, reused from element to element: the child lists and slot tables of the
    // structures and arrays being walked, one frame after the other (nested walks push above their parent's).
    std::vector<pugi::xml_node> m_walkNodes;
    std::string m_sUpperName;  // an element name upper-cased for an ignore-order lookup
};
