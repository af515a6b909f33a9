#include "stream.h"
#include "local.h"

#include <QByteArrayMatcher>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

// The stream is a sequence of records. Each starts with a header line "\n<B> <kind>[ <argument>]\n"
// (B: the boundary) and its content runs up to the "\n" that starts the next header, so contents
// are written as they are, binary or not. What precedes the first header is noise and skipped;
// what follows the end record is ignored. The kinds:
//
//   qelto-gather 1   the start (the version of the format)
//   files            paths, one per line: the files whose contents follow, in this order, as
//   c / cx           anonymous records: the content as is / as hexadecimal digits (the encoder
//                    uses cx for a content that holds "\n<B> ")
//   file <path>      the content of one named file
//   error <errno>    paths that exist but could not be read
//   dirs, present    folders; paths whose presence only is noted
//   links, targets   link paths, then their resolved paths in the same order (dropped when the
//                    counts differ); dangling: links that resolve to nothing
//   list <path>      the entry names of a folder
//   probe <name>     a probe's answer in its canonical form; probex: the same in hexadecimal
//   raw <name>       the output of a command that is turned into a canonical probe here
//   end              the end; a stream without it was cut off
namespace qelto::wmi::lnx {

namespace {

constexpr qsizetype kMaxPath = 4096;  // PATH_MAX
constexpr int kMaxDepth = 64;         // the folder index costs the depth for every byte of a path

QString text(QByteArrayView bytes) {
    return QString::fromUtf8(bytes);
}

bool validPath(const QString& path) {
    return path.startsWith(u'/') && path.size() <= kMaxPath && !path.contains(u'\n') &&
           path.count(u'/') <= kMaxDepth;
}

// The lines of a content; the last line's "\n" is optional.
QList<QByteArrayView> splitLines(QByteArrayView content) {
    QList<QByteArrayView> out;
    qsizetype from = 0;
    while (from < content.size()) {
        qsizetype eol = content.indexOf('\n', from);
        if (eol < 0) eol = content.size();
        out << content.sliced(from, eol - from);
        from = eol + 1;
    }
    return out;
}

QList<QByteArrayView> fields(QByteArrayView line) {
    QList<QByteArrayView> out;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out << line.sliced(start, i - start);
    }
    return out;
}

bool allDigits(QByteArrayView s) {
    return !s.isEmpty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "uname -srvm; uname -n": on the first line sysname and release (single words), the machine (the
// last word) and between them the version, which has spaces; everything after it is the node
// name. The node name comes last and alone, since it may hold anything a host name can be set
// to, blanks included: read first, its words would shift every field after it. A line break in
// any field becomes a blank, so that each is one line of the five.
QByteArray unameProbe(QByteArrayView raw) {
    QByteArrayView line = raw, node;
    if (const qsizetype eol = raw.indexOf('\n'); eol >= 0) {
        line = raw.first(eol);
        node = raw.sliced(eol + 1);
        if (node.endsWith('\n')) node.chop(1);
    }
    const QList<QByteArrayView> w = fields(line);
    QByteArray version, machine;
    if (w.size() >= 4) {
        const qsizetype from = w[1].data() + w[1].size() - line.data();
        const qsizetype to = w.last().data() - line.data();
        version = line.sliced(from, to - from).toByteArray().trimmed();
        machine = w.last().toByteArray();
    } else if (w.size() == 3) {
        version = w[2].toByteArray();
    }
    QByteArray out;
    for (QByteArray part :
         {w.value(0).toByteArray(), node.toByteArray(), w.value(1).toByteArray(), version, machine})
        out += part.replace('\n', ' ') + '\n';
    return out;
}

// "date +'%s %N %z'" -> "<seconds> <microseconds> <offset in seconds>".
std::optional<QByteArray> clockProbe(QByteArrayView raw) {
    const QList<QByteArrayView> w = fields(raw.trimmed());
    if (w.isEmpty() || !allDigits(w[0]) || w[0].size() > 18) return std::nullopt;
    qint64 micro = 0;
    if (w.size() > 1 && allDigits(w[1]) && w[1].size() == 9) micro = w[1].toLongLong() / 1000;
    qint64 offset = 0;
    if (w.size() > 2 && w[2].size() == 5 && (w[2][0] == '+' || w[2][0] == '-') &&
        allDigits(w[2].sliced(1))) {
        offset = (w[2].sliced(1, 2).toLongLong() * 60 + w[2].sliced(3, 2).toLongLong()) * 60;
        if (w[2][0] == '-') offset = -offset;
    }
    return w[0].toByteArray() + ' ' + QByteArray::number(micro) + ' ' + QByteArray::number(offset) +
           '\n';
}

// "ip -o addr": "<n>: <if> inet <address>[ peer <peer>]/<length> …". IPv4 names the interface's
// own address, IPv6 the peer's when there is one, as the kernel's own records do.
QByteArray ipAddrProbe(QByteArrayView raw) {
    QByteArray out;
    for (const QByteArrayView& line : splitLines(raw)) {
        const QList<QByteArrayView> w = fields(line);
        if (w.size() < 4 || (w[2] != "inet" && w[2] != "inet6")) continue;
        QByteArrayView name = w[1];
        if (const qsizetype at = name.indexOf('@'); at > 0) name = name.first(at);
        QByteArrayView address = w[3];
        const bool peer = w.size() > 5 && w[4] == "peer";
        if (peer && w[2] == "inet6") address = w[5];
        QByteArrayView length;
        if (const qsizetype slash = address.indexOf('/'); slash >= 0) {
            length = address.sliced(slash + 1);
            address = address.first(slash);
        } else if (peer) {
            const qsizetype slash = w[5].indexOf('/');
            if (slash >= 0) length = w[5].sliced(slash + 1);
        }
        if (address.isEmpty() || !allDigits(length)) continue;
        out += name.toByteArray() + ' ' + w[2].toByteArray() + ' ' + address.toByteArray() + '/' +
               length.toByteArray() + '\n';
    }
    return out;
}

// /proc/net/if_inet6: "<32 hex digits> <index> <length> <scope> <flags> <if>" (IPv6 only; for
// machines without ip).
QByteArray ifInet6Probe(QByteArrayView raw) {
    QByteArray out;
    for (const QByteArrayView& line : splitLines(raw)) {
        const QList<QByteArrayView> w = fields(line);
        if (w.size() < 6 || w[0].size() != 32) continue;
        const QByteArray bytes = QByteArray::fromHex(w[0].toByteArray());
        bool ok = false;
        const int length = w[2].toInt(&ok, 16);
        if (bytes.size() != 16 || !ok) continue;
        in6_addr a;
        std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(&a));
        char buffer[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, &a, buffer, sizeof buffer);
        out += w[5].toByteArray() + " inet6 " + QByteArray(buffer) + '/' +
               QByteArray::number(length) + '\n';
    }
    return out;
}

QByteArray portLine(QByteArrayView port) {
    return "tcp " + port.toByteArray() + '\n';
}

// "ss -ltn": "LISTEN <recv-q> <send-q> <address>:<port> <peer>" after a heading line.
QByteArray ssProbe(QByteArrayView raw) {
    QByteArray out;
    for (const QByteArrayView& line : splitLines(raw)) {
        const QList<QByteArrayView> w = fields(line);
        const qsizetype at = w.indexOf(QByteArrayView("LISTEN"));
        if (at < 0 || at > 1 || w.size() <= at + 3) continue;
        const QByteArrayView local = w[at + 3];
        const QByteArrayView port = local.sliced(local.lastIndexOf(':') + 1);
        if (allDigits(port) && port.size() <= 5) out += portLine(port);
    }
    return out;
}

// /proc/net/tcp and tcp6: "<n>: <address>:<port in hex> <peer> <state> …", listening is 0A.
QByteArray procTcpProbe(QByteArrayView raw) {
    QByteArray out;
    for (const QByteArrayView& line : splitLines(raw)) {
        const QList<QByteArrayView> w = fields(line);
        if (w.size() < 4 || w[3] != "0A") continue;
        bool ok = false;
        const uint port = w[1].sliced(w[1].lastIndexOf(':') + 1).toUInt(&ok, 16);
        if (ok && port <= 65535) out += portLine(QByteArray::number(port));
    }
    return out;
}

[[noreturn]] void fail(StreamError::Kind kind, const QString& message) {
    throw StreamError(kind, message);
}

[[noreturn]] void malformed(qsizetype offset, const QString& what) {
    fail(StreamError::Kind::Malformed,
         QStringLiteral("远程主机送回的数据有误（第 %1 字节处）：%2。").arg(offset).arg(what));
}

class Writer {
  public:
    explicit Writer(const QByteArray& boundary)
        : boundary_(boundary), lead_(boundary + ' '), marker_('\n' + lead_) {}

    void header(QByteArrayView kind, QByteArrayView argument = {}) {
        out += '\n' + boundary_ + ' ' + kind;
        if (!argument.isEmpty()) out += ' ' + argument;
        out += '\n';
    }
    // A content as is when it cannot be taken for a header, else in hexadecimal.
    void blob(QByteArrayView kind, QByteArrayView hexKind, QByteArrayView argument,
              const QByteArray& content) {
        if (content.contains(marker_)) {
            header(hexKind, argument);
            out += content.toHex();
        } else {
            header(kind, argument);
            out += content;
        }
    }
    void paths(QByteArrayView kind, QStringList list) {
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const QString& p) { return !validPath(p); }),
                   list.end());
        if (list.isEmpty()) return;
        std::sort(list.begin(), list.end());
        header(kind);
        for (const QString& p : list) out += QFile::encodeName(p) + '\n';
    }
    bool validName(const QString& name) const {
        return !name.isEmpty() && !name.contains(u'\n') && !name.toUtf8().startsWith(lead_);
    }

    QByteArray out;

  private:
    QByteArray boundary_, lead_, marker_;
};

template <class Container>
QStringList sortedKeys(const Container& c) {
    QStringList keys = c.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

// The paths of a record, one a line.
QStringList recordPaths(QByteArrayView content, qsizetype offset) {
    QStringList out;
    for (const QByteArrayView& line : splitLines(content)) {
        if (line.isEmpty()) continue;
        const QString p = text(line);
        if (!validPath(p)) malformed(offset, QStringLiteral("路径无效"));
        out << p;
    }
    return out;
}

QByteArray recordHex(QByteArrayView content, qsizetype offset) {
    const bool ok =
        content.size() % 2 == 0 && std::all_of(content.begin(), content.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        });
    if (!ok) malformed(offset, QStringLiteral("十六进制内容无效"));
    return QByteArray::fromHex(content.toByteArray());
}

// One pass over a gathered stream: from header to header, each record handed to the Gathered it
// fills. Files come as a list of paths followed by their contents, one anonymous record each;
// links as a list of paths followed by the list of their targets.
class Decoder {
  public:
    Decoder(QByteArrayView stream, const QByteArray& boundary)
        : stream_(stream),
          lead_(boundary + ' '),
          matcher_('\n' + lead_),
          skip_(boundary.size() + 1) {}

    Gathered run() {
        qsizetype at = firstHeader_ = start();
        for (bool started = false;; started = true) {
            const Header h = header(at);
            if (!started) {
                if (h.kind != "qelto-gather")
                    fail(StreamError::Kind::NoStart,
                         QStringLiteral("远程主机送回的数据没有开始标记。"));
                if (h.argument != "1")
                    malformed(at, QStringLiteral("不认识的格式版本“%1”").arg(text(h.argument)));
            } else if (h.kind == "end") {
                if (nextFile_ != pendingFiles_.size())
                    malformed(at, QStringLiteral("文件内容少于文件列表"));
                return std::move(g_);
            }
            if (h.eol < 0) truncated();
            const qsizetype next = matcher_.indexIn(stream_, h.eol + 1);
            record(h, stream_.sliced(h.eol + 1, (next < 0 ? stream_.size() : next) - (h.eol + 1)));
            if (next < 0) truncated();
            at = next + 1;
        }
    }

  private:
    struct Header {
        qsizetype at;   // where its boundary starts
        qsizetype eol;  // the end of its line, -1 when the stream ends first
        QByteArrayView kind, argument;
    };

    [[noreturn]] static void truncated() {
        fail(StreamError::Kind::Truncated,
             QStringLiteral("远程主机送回的数据不完整：传输在结束前中断了。"));
    }

    // Where the first header's boundary starts: whatever the shell printed before it is skipped.
    qsizetype start() const {
        if (stream_.startsWith(lead_)) return 0;
        const qsizetype at = matcher_.indexIn(stream_);
        if (at < 0)
            fail(StreamError::Kind::NoStart,
                 QStringLiteral(
                     "远程主机没有运行收集脚本：它需要 POSIX sh（如 Linux 的 /bin/sh）。"));
        return at + 1;
    }

    Header header(qsizetype at) const {
        const qsizetype from = at + skip_;
        const qsizetype eol = stream_.indexOf('\n', from);
        const QByteArrayView line = stream_.sliced(from, (eol < 0 ? stream_.size() : eol) - from);
        const qsizetype space = line.indexOf(' ');
        return {at, eol, space < 0 ? line : line.first(space),
                space < 0 ? QByteArrayView() : line.sliced(space + 1)};
    }

    void record(const Header& h, QByteArrayView content) {
        const QByteArrayView kind = h.kind, argument = h.argument;
        const qsizetype offset = h.at;
        if (kind == "qelto-gather") {
            if (offset != firstHeader_) malformed(offset, QStringLiteral("重复的开始标记"));
        } else if (kind == "files") {
            pendingFiles_ += recordPaths(content, offset);
        } else if (kind == "c" || kind == "cx") {
            if (nextFile_ >= pendingFiles_.size())
                malformed(offset, QStringLiteral("多余的文件内容"));
            g_.addFile(pendingFiles_[nextFile_++],
                       kind == "c" ? content.toByteArray() : recordHex(content, offset));
        } else if (kind == "file") {
            const QString p = text(argument);
            if (!validPath(p)) malformed(offset, QStringLiteral("路径无效"));
            g_.addFile(p, content.toByteArray());
        } else if (kind == "error") {
            bool ok = false;
            const int error = argument.toInt(&ok);
            if (!ok || error <= 0 || error > 4095 || !allDigits(argument))
                malformed(offset, QStringLiteral("错误号无效"));
            for (const QString& p : recordPaths(content, offset)) g_.addError(p, error);
        } else if (kind == "dirs") {
            for (const QString& p : recordPaths(content, offset)) g_.addDir(p);
        } else if (kind == "present") {
            for (const QString& p : recordPaths(content, offset)) g_.addPresent(p);
        } else if (kind == "links") {
            linkPaths_ = recordPaths(content, offset);
        } else if (kind == "targets") {
            const QStringList targets = recordPaths(content, offset);
            if (targets.size() == linkPaths_.size())
                for (qsizetype i = 0; i < targets.size(); ++i)
                    g_.addLink(linkPaths_[i], targets[i]);
            linkPaths_.clear();
        } else if (kind == "dangling") {
            for (const QString& p : recordPaths(content, offset)) g_.addLink(p, QString());
        } else if (kind == "list") {
            list(argument, content, offset);
        } else if (kind == "probe" || kind == "probex") {
            if (argument.isEmpty()) malformed(offset, QStringLiteral("探针没有名称"));
            g_.addProbe(text(argument),
                        kind == "probe" ? content.toByteArray() : recordHex(content, offset));
        } else if (kind == "raw") {
            raw(argument, content, offset);
        } else {
            malformed(offset, QStringLiteral("不认识的记录“%1”").arg(text(kind)));
        }
    }

    void list(QByteArrayView argument, QByteArrayView content, qsizetype offset) {
        const QString dir = text(argument);
        if (!validPath(dir)) malformed(offset, QStringLiteral("路径无效"));
        QStringList names;
        for (const QByteArrayView& name : splitLines(content))
            if (!name.isEmpty() && !name.startsWith(lead_)) names << text(name);
        g_.addList(dir, std::move(names));
    }

    // A command's output as the script captured it, turned into the probe it stands for.
    void raw(QByteArrayView argument, QByteArrayView content, qsizetype offset) {
        if (argument == "uname") {
            g_.addProbe(QStringLiteral("uname"), unameProbe(content));
        } else if (argument == "clock") {
            if (auto c = clockProbe(content)) g_.addProbe(QStringLiteral("clock"), *c);
        } else if (argument == "ip-addr") {
            g_.addProbe(QStringLiteral("addresses"), ipAddrProbe(content));
        } else if (argument == "if-inet6") {
            g_.addProbe(QStringLiteral("addresses"), ifInet6Probe(content));
        } else if (argument == "ss") {
            g_.addProbe(QStringLiteral("listening"), ssProbe(content));
        } else if (argument == "proc-tcp") {
            g_.addProbe(QStringLiteral("listening"), procTcpProbe(content));
        } else {
            malformed(offset, QStringLiteral("不认识的命令输出“%1”").arg(text(argument)));
        }
    }

    QByteArrayView stream_;
    QByteArray lead_;
    QByteArrayMatcher matcher_;
    qsizetype skip_;  // from a header's boundary to its kind
    qsizetype firstHeader_ = 0;
    Gathered g_;
    QStringList pendingFiles_;  // paths whose anonymous contents are still to come
    qsizetype nextFile_ = 0;
    QStringList linkPaths_;
};

}  // namespace

QByteArray newBoundary() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

QByteArray encodeGathered(const Gathered& g, const QByteArray& boundary) {
    Writer w(boundary);
    w.header("qelto-gather", "1");
    // The system's name first: a reader can tell early that the machine is not Linux.
    QStringList probes = sortedKeys(g.probes());
    std::stable_partition(probes.begin(), probes.end(),
                          [](const QString& p) { return p == u"uname"; });
    for (const QString& name : probes)
        if (!name.isEmpty() && !name.contains(u'\n'))
            w.blob("probe", "probex", name.toUtf8(), g.probes().value(name));

    QStringList files = sortedKeys(g.files());
    files.erase(
        std::remove_if(files.begin(), files.end(), [](const QString& p) { return !validPath(p); }),
        files.end());
    w.paths("files", files);
    for (const QString& f : files) w.blob("c", "cx", {}, g.files().value(f));

    QMap<int, QStringList> byError;
    for (auto it = g.errors().cbegin(); it != g.errors().cend(); ++it)
        byError[it.value()] << it.key();
    for (auto it = byError.cbegin(); it != byError.cend(); ++it)
        w.paths(QByteArray("error " + QByteArray::number(it.key())), it.value());
    w.paths("dirs", g.dirs().values());
    w.paths("present", g.present().values());

    QStringList links, dangling;
    for (const QString& l : sortedKeys(g.links())) {
        if (!validPath(l)) continue;
        const QString target = g.links().value(l);
        (validPath(target) ? links : dangling) << l;
    }
    w.paths("links", links);
    if (!links.isEmpty()) {
        w.header("targets");
        for (const QString& l : links) w.out += QFile::encodeName(g.links().value(l)) + '\n';
    }
    w.paths("dangling", dangling);

    for (const QString& dir : sortedKeys(g.lists())) {
        if (!validPath(dir)) continue;
        w.header("list", QFile::encodeName(dir));
        for (const QString& name : g.lists().value(dir))
            if (w.validName(name)) w.out += QFile::encodeName(name) + '\n';
    }
    w.header("end");
    return w.out;
}

Gathered decodeGathered(QByteArrayView stream, const QByteArray& boundary) {
    if (boundary.isEmpty() || boundary.contains('\n') || boundary.contains(' '))
        fail(StreamError::Kind::Malformed, QStringLiteral("收集数据的分界标记无效。"));
    return Decoder(stream, boundary).run();
}

void addLocalLookups(const GatherPlan& plan, Gathered& gathered) {
    readLookups(plan, QStringLiteral("/"), gathered);
}

}  // namespace qelto::wmi::lnx
