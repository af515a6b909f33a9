#include "smbios.h"

#include <QtEndian>

namespace qelto::wmi::lnx::smbios {

quint8 Structure::byte(int offset, quint8 fallback) const {
    return has(offset, 1) ? static_cast<quint8>(formatted[offset]) : fallback;
}
quint16 Structure::word(int offset, quint16 fallback) const {
    return has(offset, 2) ? qFromLittleEndian<quint16>(formatted.constData() + offset) : fallback;
}
quint32 Structure::dword(int offset, quint32 fallback) const {
    return has(offset, 4) ? qFromLittleEndian<quint32>(formatted.constData() + offset) : fallback;
}
quint64 Structure::qword(int offset, quint64 fallback) const {
    return has(offset, 8) ? qFromLittleEndian<quint64>(formatted.constData() + offset) : fallback;
}

QString Structure::string(int offset) const {
    const int index = byte(offset);
    if (index == 0 || index > static_cast<int>(strings.size())) return {};
    return strings[static_cast<size_t>(index - 1)];
}

std::vector<Structure> parseTable(const QByteArray& table) {
    std::vector<Structure> out;
    const qsizetype size = table.size();
    qsizetype pos = 0;
    while (pos + 4 <= size && out.size() < 4096) {
        const int type = static_cast<quint8>(table[pos]);
        const int length = static_cast<quint8>(table[pos + 1]);
        if (length < 4 || pos + length > size) break;  // a broken header ends the walk
        Structure s;
        s.type = type;
        s.handle = qFromLittleEndian<quint16>(table.constData() + pos + 2);
        s.formatted = table.mid(pos, length);
        // The string set: NUL-terminated strings ended by an extra NUL.
        qsizetype p = pos + length;
        if (p + 1 < size && table[p] == 0 && table[p + 1] == 0) {
            p += 2;
        } else {
            while (p < size) {
                const qsizetype end = table.indexOf('\0', p);
                if (end < 0) {
                    p = size;
                    break;
                }
                if (end == p) {  // the empty string that ends the set
                    ++p;
                    break;
                }
                if (s.strings.size() < 255)
                    s.strings.push_back(
                        QString::fromLatin1(table.constData() + p, end - p).trimmed());
                p = end + 1;
            }
        }
        out.push_back(std::move(s));
        if (type == 127) break;
        pos = p;
    }
    return out;
}

int entryPointVersion(const QByteArray& ep) {
    if (ep.startsWith("_SM3_") && ep.size() >= 0x0A)
        return (static_cast<quint8>(ep[7]) << 8) | static_cast<quint8>(ep[8]);
    if (ep.startsWith("_SM_") && ep.size() >= 0x08)
        return (static_cast<quint8>(ep[6]) << 8) | static_cast<quint8>(ep[7]);
    return 0;
}

}  // namespace qelto::wmi::lnx::smbios
