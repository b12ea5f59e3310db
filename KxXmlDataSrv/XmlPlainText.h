// Telling a plain data file from an encrypted one by its bytes.
#pragma once

#include <cstddef>

#include <pugixml.hpp>

// Checks whether the bytes of a file are a plain document as this service or a person writes one: no character
// XML forbids (C0 controls other than tab, CR and LF; "&#1;" is a reference, not a character) and nothing but
// white space, comments, processing instructions, the declaration and a document type outside the one root
// element. The encoding is recognised as the XML parser does (byte order mark or the first characters; UTF-16 and
// UTF-32, else bytes, so UTF-8 that is not valid passes). Encrypted bytes that the parser would take for a
// document, such as a lone "<\xd2/>" among them, fail. Only the frame is checked, not that the parser accepts it.
// The result: status_ok, or status_bad_pcdata for a forbidden character, status_no_document_element for anything
// else outside the root element (or none, or a second one), the parser's status for an unterminated construct;
// offset is the byte where the check stopped.
pugi::xml_parse_result XmlCheckPlainText(const void* pData, size_t cbSize);

// Loads the file at sPath (already normalised) into doc as a plain document, with the parse options given: like
// xml_document::load_file (the same statuses: file not found when it cannot be opened, I/O error, out of memory,
// the parser's), except that a text XmlCheckPlainText refuses fails with that check's status. doc is then empty.
// A common document is parsed at once and its top level judged instead of running the check first.
pugi::xml_parse_result XmlLoadPlainFile(pugi::xml_document& doc, const char* sPath, unsigned options);

// The same for cbSize bytes at pData, which are copied (again when the short way gave up). Without bTryFast
// always checked first; *pbFast, when given, tells whether the short way decided.
pugi::xml_parse_result XmlLoadPlainBuffer(pugi::xml_document& doc, const void* pData, size_t cbSize, unsigned options,
                                          bool bTryFast, bool* pbFast = nullptr);
