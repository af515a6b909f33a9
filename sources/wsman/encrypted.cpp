// The multipart/encrypted body of the HTTP listener, built and taken apart as bytes.

#include "encrypted.h"

#include "decode.h"

#include <QString>

#include <cstring>

namespace qelto::wmi::wsman {

namespace {

constexpr QByteArrayView kBoundary = "Encrypted Boundary";
constexpr qsizetype kMaxParts = 4096;

[[noreturn]] void bad(const QString& why) {
    throw DecodeError(QStringLiteral("加密的消息格式不对：") + why);
}

// The value of parameter `name` in a header value "a/b;x=1;name=\"v\"" (names case-insensitive).
QByteArray parameter(QByteArrayView value, QByteArrayView name) {
    qsizetype i = value.indexOf(';');
    while (i >= 0 && i < value.size()) {
        ++i;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
        const qsizetype eq = value.indexOf('=', i);
        if (eq < 0) return {};
        const QByteArrayView key = value.sliced(i, eq - i).trimmed();
        qsizetype j = eq + 1;
        QByteArray v;
        if (j < value.size() && value[j] == '"') {
            const qsizetype close = value.indexOf('"', j + 1);
            if (close < 0) return {};
            v = value.sliced(j + 1, close - j - 1).toByteArray();
            j = value.indexOf(';', close);
        } else {
            const qsizetype semi = value.indexOf(';', j);
            v = value.sliced(j, (semi < 0 ? value.size() : semi) - j).trimmed().toByteArray();
            j = semi;
        }
        if (key.compare(name, Qt::CaseInsensitive) == 0) return v;
        i = j;
    }
    return {};
}

// Header lines of a part, from `from` to the next boundary line; returns where the lines end.
struct PartHeaders {
    QByteArray contentType;
    QByteArray originalContent;
};

qsizetype readHeaders(QByteArrayView body, qsizetype from, qsizetype until, PartHeaders* out) {
    qsizetype pos = from;
    while (pos < until) {
        qsizetype eol = body.indexOf("\r\n", pos);
        if (eol < 0 || eol > until) eol = until;
        const QByteArrayView line = body.sliced(pos, eol - pos).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0) {
            const QByteArrayView name = line.first(colon).trimmed();
            const QByteArray value = line.sliced(colon + 1).trimmed().toByteArray();
            if (name.compare("Content-Type", Qt::CaseInsensitive) == 0) out->contentType = value;
            if (name.compare("OriginalContent", Qt::CaseInsensitive) == 0)
                out->originalContent = value;
        }
        pos = eol + 2;
        if (out->contentType.startsWith("application/octet-stream")) return std::min(pos, until);
    }
    return until;
}

}  // namespace

QByteArray encryptedContentType(QByteArrayView protocol) {
    return "multipart/encrypted;protocol=\"" + protocol.toByteArray() + "\";boundary=\"" +
           kBoundary.toByteArray() + '"';
}

QByteArray encryptedBody(const EncryptedPart& part) {
    const QByteArray delimiter = "--" + kBoundary.toByteArray();
    QByteArray body;
    body.reserve(part.header.size() + part.sealed.size() + 300);
    body += delimiter + "\r\n\tContent-Type: " + part.protocol +
            "\r\n\tOriginalContent: type=" + part.originalType +
            ";Length=" + QByteArray::number(part.plainLength) + "\r\n" + delimiter +
            "\r\n\tContent-Type: application/octet-stream\r\n";
    const quint32 n = quint32(part.header.size());
    const char length[4] = {char(n & 0xff), char((n >> 8) & 0xff), char((n >> 16) & 0xff),
                            char((n >> 24) & 0xff)};
    body.append(length, 4);
    body += part.header;
    body += part.sealed;
    body += delimiter + "--\r\n";
    return body;
}

bool isEncryptedType(QByteArrayView contentType, QByteArray* protocol, QByteArray* boundary) {
    const qsizetype semi = contentType.indexOf(';');
    const QByteArrayView type = contentType.first(semi < 0 ? contentType.size() : semi).trimmed();
    if (type.compare("multipart/encrypted", Qt::CaseInsensitive) != 0 &&
        type.compare("multipart/x-multi-encrypted", Qt::CaseInsensitive) != 0)
        return false;
    if (protocol) *protocol = parameter(contentType, "protocol");
    if (boundary) *boundary = parameter(contentType, "boundary");
    return true;
}

std::vector<EncryptedPart> parseEncryptedBody(QByteArrayView contentType, QByteArrayView body) {
    QByteArray protocol, boundary;
    if (!isEncryptedType(contentType, &protocol, &boundary))
        bad(QStringLiteral("内容类型是“%1”，不是 multipart/encrypted。")
                .arg(QString::fromLatin1(
                    contentType.first(std::min<qsizetype>(contentType.size(), 200)))));
    if (boundary.isEmpty() || boundary.size() > 200) bad(QStringLiteral("没有分界线。"));
    const QByteArray delimiter = "--" + boundary;
    std::vector<EncryptedPart> parts;
    qsizetype pos = body.indexOf(delimiter);
    if (pos < 0) bad(QStringLiteral("找不到第一条分界线。"));
    while (true) {
        pos += delimiter.size();
        if (body.sliced(pos).startsWith("--")) break;  // the closing delimiter
        if (qsizetype(parts.size()) >= kMaxParts) bad(QStringLiteral("分段太多。"));
        // The first part: the protocol and the original content's type and length.
        const qsizetype second = body.indexOf(delimiter, pos);
        if (second < 0) bad(QStringLiteral("缺少加密数据段。"));
        PartHeaders first;
        readHeaders(body, pos, second, &first);
        EncryptedPart part;
        part.protocol = first.contentType;
        part.originalType = first.originalContent;
        {
            // "type=<type>;Length=<n>": the length is the last parameter, the type all before it.
            QByteArray type = part.originalType;
            if (type.startsWith("type=")) type = type.mid(5);
            const qsizetype cut = type.toLower().lastIndexOf(";length=");
            const qsizetype end = cut < 0 ? -1 : type.indexOf(';', cut + 8);
            const QByteArray length =
                cut < 0 ? QByteArray() : type.mid(cut + 8, end < 0 ? -1 : end - cut - 8).trimmed();
            bool ok = false;
            part.plainLength = length.toLongLong(&ok);
            if (!ok || part.plainLength < 0 || part.plainLength > body.size())
                bad(QStringLiteral("OriginalContent 没有给出可信的长度。"));
            part.originalType = type.left(cut);
        }
        if (protocol.isEmpty() ? part.protocol.isEmpty()
                               : part.protocol.compare(protocol, Qt::CaseInsensitive) != 0)
            bad(QStringLiteral("分段的协议与内容类型不符。"));
        // The second part: octet-stream, then the length of the header, the header, the data.
        pos = second + delimiter.size();
        PartHeaders data;
        const qsizetype next = body.indexOf(delimiter, pos);
        pos = readHeaders(body, pos, next < 0 ? body.size() : next, &data);
        if (!data.contentType.startsWith("application/octet-stream"))
            bad(QStringLiteral("加密数据段的内容类型不对。"));
        if (body.size() - pos < 4) bad(QStringLiteral("加密数据段太短。"));
        const auto* p = reinterpret_cast<const unsigned char*>(body.data() + pos);
        const quint32 headerLength =
            quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
        pos += 4;
        if (headerLength > quint32(body.size() - pos)) bad(QStringLiteral("签名长度超出了消息。"));
        part.header = body.sliced(pos, headerLength).toByteArray();
        pos += headerLength;
        // The sealed bytes are at least as long as the plain text; they end at the boundary
        // after that, whatever they hold themselves.
        if (part.plainLength > body.size() - pos) bad(QStringLiteral("加密数据比声明的短。"));
        const qsizetype end = body.indexOf(delimiter, pos + part.plainLength);
        if (end < 0) bad(QStringLiteral("缺少结尾的分界线。"));
        part.sealed = body.sliced(pos, end - pos).toByteArray();
        parts.push_back(std::move(part));
        pos = end;
    }
    if (parts.empty()) bad(QStringLiteral("没有加密数据。"));
    return parts;
}

}  // namespace qelto::wmi::wsman
