#include "charset.h"

#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <iconv.h>
#include <langinfo.h>

namespace qelto::common {

namespace {

// An iconv conversion descriptor that closes itself.
class Converter {
  public:
    explicit Converter(const QByteArray& to) : cd_(iconv_open(to.constData(), "UTF-8")) {}
    ~Converter() {
        if (valid()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

bool iconvKnows(const QByteArray& charset) {
    return Converter(charset).valid();
}

// The length of the UTF-8 sequence that starts with `lead` (1 for a stray byte, so that the
// conversion always moves on).
int sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

}  // namespace

QByteArray localeNameFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return QByteArray(value);
    }
    return {};
}

QByteArray charsetOfLocale(const QByteArray& localeName) {
    const qsizetype dot = localeName.indexOf('.');
    if (dot < 0) return QByteArrayLiteral("UTF-8");
    QByteArray charset = localeName.mid(dot + 1);
    const qsizetype at = charset.indexOf('@');
    if (at >= 0) charset.truncate(at);
    charset = charset.toUpper();
    if (charset.isEmpty() || charset == "UTF8" || charset == "UTF-8")
        return QByteArrayLiteral("UTF-8");
    return iconvKnows(charset) ? charset : QByteArrayLiteral("UTF-8");
}

bool asciiCompatible(const QByteArray& charset) {
    if (!iconvKnows(charset)) return false;
    QByteArray ascii = "\t\r\n";
    for (char c = 0x20; c < 0x7F; ++c) ascii += c;
    return encodeText(QString::fromLatin1(ascii), charset) == ascii;
}

QByteArray encodeText(const QString& text, const QByteArray& charset) {
    QByteArray input = text.toUtf8();
    Converter converter(charset);
    if (!converter.valid()) return input;

    QByteArray output;
    output.resize(input.size() * 4 + 16);
    char* in = input.data();
    size_t inLeft = static_cast<size_t>(input.size());
    char* out = output.data();
    size_t outLeft = static_cast<size_t>(output.size());
    while (inLeft > 0) {
        if (iconv(converter.get(), &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            const qsizetype used = out - output.data();
            output.resize(output.size() * 2);
            out = output.data() + used;
            outLeft = static_cast<size_t>(output.size() - used);
            continue;
        }
        // EILSEQ (a character the target cannot hold) or EINVAL (a cut-off sequence, which
        // toUtf8() never produces): one "?" for the character, then go on after it.
        if (outLeft < 1) {
            const qsizetype used = out - output.data();
            output.resize(output.size() * 2);
            out = output.data() + used;
            outLeft = static_cast<size_t>(output.size() - used);
        }
        *out++ = '?';
        --outLeft;
        const size_t skip = std::min<size_t>(
            static_cast<size_t>(sequenceLength(static_cast<unsigned char>(*in))), inLeft);
        in += skip;
        inLeft -= skip;
    }
    // Flush any shift state (none for the character sets used here, but cheap to do right).
    while (iconv(converter.get(), nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1) &&
           errno == E2BIG) {
        const qsizetype used = out - output.data();
        output.resize(output.size() * 2);
        out = output.data() + used;
        outLeft = static_cast<size_t>(output.size() - used);
    }
    output.truncate(out - output.data());
    return output;
}

namespace {

bool actsOnDisplay(char32_t c) {
    switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            return false;
    }
}

QString shownAs(const QString& text, bool keepLines) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text[i + 1]);
            if (actsOnDisplay(code)) {
                out += u' ';
            } else {
                out += c;
                out += text[i + 1];
            }
            ++i;
        } else if (c.isSurrogate()) {
            out += keepLines ? c : QChar(QChar::ReplacementCharacter);
        } else if (keepLines && (c == u'\n' || c == u'\t')) {
            out += c;
        } else {
            out += actsOnDisplay(c.unicode()) ? QChar(u' ') : c;
        }
    }
    return out;
}

}  // namespace

QString displayLine(const QString& text) {
    return shownAs(text, false);
}

QString displayLines(const QString& text) {
    return shownAs(text, true);
}

int displayWidth(const QString& text) {
    int width = 0;
    for (const char32_t c : text.toUcs4()) {
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

std::optional<QString> decodeStrictly(const QByteArray& bytes, const QByteArray& charset,
                                      qsizetype& badOffset) {
    badOffset = 0;
    const iconv_t cd = iconv_open("UTF-8", charset.constData());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    // No character of any character set takes more than 4 bytes of UTF-8, and none takes fewer
    // bytes in its own set than a quarter of that.
    QByteArray out(bytes.size() * 4 + 4, Qt::Uninitialized);
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char* o = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) {
        badOffset = in - bytes.constData();
        return std::nullopt;
    }
    return QString::fromUtf8(out.constData(), o - out.constData());
}

QString fromCLibrary(const char* text) {
    const QByteArray bytes(text ? text : "");
    qsizetype bad = 0;
    return decodeStrictly(bytes, QByteArray(nl_langinfo(CODESET)), bad)
        .value_or(QString::fromLatin1(bytes));
}

}  // namespace qelto::common
