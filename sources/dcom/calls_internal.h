#pragma once

#include "calls.h"

// Pieces of NDR shared by the calls' stubs.
namespace qelto::dcom::detail {

// Referent IDs for the pointers of one stub: any non-zero value will do.
struct Referents {
    std::uint32_t next = 0x00020000;
    std::uint32_t take() { return next += 4; }
};

// A pointee MInterfacePointer (max_count, ulCntData, the OBJREF), after its referent.
void writeInterfaceData(Writer& w, QByteArrayView objRef);
QByteArray readInterfaceData(Reader& r);
// A unique interface pointer: its referent (0: NULL) and, if not NULL, the pointee at once.
std::optional<QByteArray> readInterfacePointer(Reader& r);

// A [unique, string] wchar_t* (referent, max_count, offset, actual_count, text with its NUL).
void writeWideString(Writer& w, std::uint32_t referent, const QString& text);
QString readWideString(Reader& r);  // after the referent
// A BSTR (a unique FLAGGED_WORD_BLOB: referent, max_count, cBytes, clSize, text without NUL).
void writeBstr(Writer& w, std::uint32_t referent, const QString& text);
QString readBstr(Reader& r);

// NDR type serialization version 1 (MS-RPCE 2.2.6): common and private headers, then the body
// padded to 8.
QByteArray serializeType(QByteArrayView body);
QByteArrayView readSerializedType(Reader& r);

HResult readHResult(Reader& r);

}  // namespace qelto::dcom::detail
