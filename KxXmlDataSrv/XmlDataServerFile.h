// Loading and saving data files: the save format, plain and encrypted files, and safe replacement on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <pugixml.hpp>

#include "platform/FreeBSD/KxWinTypes.h"

// Parse options of every data document: the defaults plus the declaration node.
constexpr unsigned kXmlParseOptions = pugi::parse_default | pugi::parse_declaration;

// A path with each backslash turned into a slash and runs of slashes collapsed into one, as the platform's
// file functions take it (KxNormalizePath).
std::string XmlNormalizePath(const char* sPath);

// The document as UTF-8 text in the save format: the global indent (format_indent when not empty, else
// format_raw), never empty element tags, and no declaration unless the document has one before its element.
void XmlDocumentToString(const pugi::xml_document& doc, std::string& sOut);

// Reads the whole file (path normalised) into sOut; false when it cannot be opened or read.
bool XmlReadFile(const std::string& sPath, std::string& sOut);

// Writes sData to sPath so that a reader sees either the old file or the complete new one (OsUserWriteFileAtomic):
// a temporary file next to the target is renamed over it, a symbolic link is written through, and owner, group
// and mode are kept. False (the old file untouched) on any failure.
bool XmlWriteFileAtomic(const std::string& sPath, const std::string& sData);
// The same with the content written by fill into the temporary file's descriptor; fill returns false on failure.
bool XmlWriteFileAtomic(const std::string& sPath, const std::function<bool(int fd)>& fill);

// Writes the encrypted form of sText to sPath: the key digest and the text, whole 16-byte blocks encrypted
// with AES-128 under key (no chaining), the remaining bytes masked. False when the file cannot be written.
bool AesEncryptString(const uint8_t key[16], const std::string& sText, const std::string& sPath);

// Reads an encrypted file: sText receives the text and digest the stored key digest (left as it was when the
// file holds 16 bytes or fewer; sText then keeps them all), decrypted as the file is read. False when the file
// cannot be opened or read.
bool AesDecryptString(const uint8_t key[16], const std::string& sPath, std::string& sText, uint8_t digest[16]);

// Saves the document to sPath in the save format; encrypted when user + password is not empty. False on failure.
bool XmlSaveDocument(const pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                     const std::string& sPassword);

// Loads sPath into doc: plain first, decrypted with user + password when that fails to parse.
// 0, kXmlErrNotOpen (not found / cannot open), kXmlErrFailed, kXmlErrNoNode (does not parse),
// kXmlErrNoMemory, kXmlErrCredentials.
HRESULT XmlLoadDocument(pugi::xml_document& doc, const std::string& sPath, const std::string& sUser,
                        const std::string& sPassword);
