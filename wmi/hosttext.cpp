#include "hosttext.h"

namespace qelto::wmi {

namespace {

// A name or an address: no blanks, control characters or separators of a URL.
bool plausibleHost(const QString& host) {
    if (host.isEmpty() || host.size() > 253 + 2) return false;
    for (const QChar ch : host)
        if (ch.unicode() <= 0x20 || ch == u'/' || ch == u'@' || ch == u'\\' || ch == u'?' ||
            ch == u'#' || ch == u'[' || ch == u']')
            return false;
    return true;
}

std::optional<int> parsePort(QStringView text) {
    if (text.isEmpty() || text.size() > 5) return std::nullopt;
    int port = 0;
    for (const QChar ch : text) {
        if (!ch.isDigit() || ch.unicode() > 0x7f) return std::nullopt;
        port = port * 10 + (ch.unicode() - u'0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

}  // namespace

QString HostText::authority() const {
    QString a = host.contains(u':') ? u'[' + host + u']' : host;
    if (port != 0) a += u':' + QString::number(port);
    return a;
}

std::optional<HostText> parseHostText(const QString& text, QString* why) {
    auto fail = [&](const QString& reason) -> std::optional<HostText> {
        if (why) *why = reason;
        return std::nullopt;
    };
    HostText h;
    QString rest = text;
    if (const qsizetype sep = rest.indexOf(u"://"); sep >= 0) {
        h.scheme = rest.left(sep).toLower();
        rest = rest.mid(sep + 3);
        const bool hasPath = h.scheme == u"http" || h.scheme == u"https";
        if (!hasPath && h.scheme != u"ssh" && h.scheme != u"dcom")
            return fail(
                QStringLiteral("不认识的连接方式“%1”：可用 ssh://、https://、http:// 或 dcom://。")
                    .arg(text.left(sep)));
        if (hasPath) {
            if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
                h.path = rest.mid(slash);
                rest = rest.left(slash);
            }
        } else if (rest.endsWith(u'/')) {
            rest.chop(1);
        }
        if (const qsizetype at = rest.lastIndexOf(u'@'); at >= 0) {
            h.user = rest.left(at);
            rest = rest.mid(at + 1);
            if (h.user.isEmpty()) return fail(QStringLiteral("“%1”中 @ 前没有用户名。").arg(text));
        }
        if (rest.isEmpty()) return fail(QStringLiteral("“%1”中没有主机名。").arg(text));
    } else if (rest.isEmpty() || rest == u".") {
        h.host = rest;  // this machine
        return h;
    } else if (const qsizetype at = rest.lastIndexOf(u'@'); at >= 0) {
        // user@host: a Linux host over SSH, as the ssh command takes it.
        h.scheme = QStringLiteral("ssh");
        h.user = rest.left(at);
        rest = rest.mid(at + 1);
        if (h.user.isEmpty()) return fail(QStringLiteral("“%1”中 @ 前没有用户名。").arg(text));
        if (rest.isEmpty()) return fail(QStringLiteral("“%1”中没有主机名。").arg(text));
    }

    QString portText;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) return fail(QStringLiteral("“%1”中的 IPv6 地址缺少“]”。").arg(text));
        h.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':'))
                return fail(QStringLiteral("“%1”中“]”后只能是“:端口”。").arg(text));
            portText = after.mid(1);
            if (portText.isEmpty()) return fail(QStringLiteral("“%1”中没有端口号。").arg(text));
        }
    } else if (rest.count(u':') == 1) {
        h.host = rest.section(u':', 0, 0);
        portText = rest.section(u':', 1);
        if (portText.isEmpty()) return fail(QStringLiteral("“%1”中没有端口号。").arg(text));
    } else {
        h.host = rest;  // a name, an IPv4 address, or an IPv6 address without brackets
    }
    if (!portText.isEmpty()) {
        const auto port = parsePort(portText);
        if (!port)
            return fail(
                QStringLiteral("“%1”中的端口“%2”无效（应为 1 到 65535）。").arg(text, portText));
        h.port = *port;
    }
    if (!plausibleHost(h.host))
        return fail(QStringLiteral("“%1”不是有效的主机名或地址。").arg(text));
    return h;
}

}  // namespace qelto::wmi
