#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// A reader of the SMBIOS structure table (the kernel's /sys/firmware/dmi/tables/DMI): the
// structures one after the other, each with its formatted bytes and its strings. Every field read
// is checked against the structure's own length, so a truncated or hostile table yields fewer
// or shorter structures, never a read outside the bytes.
namespace qelto::wmi::lnx::smbios {

struct Structure {
    int type = 0;
    int handle = 0;
    QByteArray formatted;          // the formatted part, header included
    std::vector<QString> strings;  // string 1 is strings[0]

    // A field of the formatted part; nullopt-like 0 with ok=false when beyond the length.
    bool has(int offset, int size) const {
        return offset >= 0 && offset + size <= formatted.size();
    }
    quint8 byte(int offset, quint8 fallback = 0) const;
    quint16 word(int offset, quint16 fallback = 0) const;
    quint32 dword(int offset, quint32 fallback = 0) const;
    quint64 qword(int offset, quint64 fallback = 0) const;
    // The string a field at `offset` points to; empty when the index is 0, beyond the set, or the
    // field is beyond the length.
    QString string(int offset) const;
};

// All structures up to the end-of-table marker (type 127) or the end of the bytes. At most
// 4096 structures are taken.
std::vector<Structure> parseTable(const QByteArray& table);

// The SMBIOS version the entry point states (0x0300 for 3.0), or 0 when it is not an entry point.
int entryPointVersion(const QByteArray& entryPoint);

}  // namespace qelto::wmi::lnx::smbios
