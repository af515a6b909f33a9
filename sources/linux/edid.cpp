#include "edid.h"

#include <cmath>

namespace qelto::wmi::lnx::edid {

namespace {

quint8 at(const QByteArray& b, int i) {
    return static_cast<quint8>(b[i]);
}

QString descriptorText(const QByteArray& b, int offset) {
    QString s;
    for (int i = offset + 5; i < offset + 18; ++i) {
        const quint8 c = at(b, i);
        if (c == 0x0A || c == 0) break;
        s += (c >= 0x20 && c < 0x7F) ? QChar(char16_t(c)) : QChar(u'?');
    }
    return s.trimmed();
}

}  // namespace

std::optional<Info> parse(const QByteArray& b) {
    static const char kHeader[8] = {0,          char(0xFF), char(0xFF), char(0xFF),
                                    char(0xFF), char(0xFF), char(0xFF), 0};
    if (b.size() < 128 || !b.startsWith(QByteArray(kHeader, 8))) return std::nullopt;
    Info info;
    const quint16 id = static_cast<quint16>((at(b, 8) << 8) | at(b, 9));
    for (int shift : {10, 5, 0}) {
        const int letter = (id >> shift) & 0x1F;
        info.manufacturerId +=
            (letter >= 1 && letter <= 26) ? QChar(u'A' + letter - 1) : QChar(u'?');
    }
    info.productCode = static_cast<quint16>(at(b, 10) | (at(b, 11) << 8));
    for (int d = 0; d < 4; ++d) {
        const int o = 54 + d * 18;
        const int pixelClock = at(b, o) | (at(b, o + 1) << 8);  // in 10 kHz
        if (pixelClock != 0) {
            if (d != 0) continue;
            const int hActive = at(b, o + 2) | ((at(b, o + 4) & 0xF0) << 4);
            const int hBlank = at(b, o + 3) | ((at(b, o + 4) & 0x0F) << 8);
            const int vActive = at(b, o + 5) | ((at(b, o + 7) & 0xF0) << 4);
            const int vBlank = at(b, o + 6) | ((at(b, o + 7) & 0x0F) << 8);
            info.width = hActive;
            info.height = vActive;
            const double total = double(hActive + hBlank) * double(vActive + vBlank);
            if (total > 0) info.refreshHz = int(std::lround(pixelClock * 10000.0 / total));
            continue;
        }
        const quint8 tag = at(b, o + 3);
        if (tag == 0xFC) {
            info.name = descriptorText(b, o);
        } else if (tag == 0xFF) {
            info.serialText = descriptorText(b, o);
        } else if (tag == 0xFD) {
            const quint8 flags = at(b, o + 4);
            info.minVerticalHz = at(b, o + 5) + ((flags & 0x03) == 0x03 ? 255 : 0);
            info.maxVerticalHz = at(b, o + 6) + ((flags & 0x02) ? 255 : 0);
        }
    }
    return info;
}

}  // namespace qelto::wmi::lnx::edid
