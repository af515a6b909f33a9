// ~/.ssh/config read for HostName and Port, the way the SSH library reads them: keywords in any
// case, "=" or blanks between words, quotes around one; Host patterns compared without case, the
// first pattern that matches deciding; Match criteria all holding; Include relative to ~/.ssh.

#include "config.h"

#include <QDir>
#include <QFile>

#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace qelto::wmi::ssh {

namespace {

constexpr qint64 kConfigLimit = 1024 * 1024;
constexpr int kMostIncluded = 16;  // nesting of Include, as deep as the library follows it
constexpr int kMostFiles = 256;    // files read in all: more is left to the library

// The words of a line: blanks and "=" between them, a quoted word taken whole.
QStringList wordsOf(const QString& line) {
    QStringList words;
    qsizetype i = 0;
    const qsizetype n = line.size();
    const auto between = [](QChar c) { return c.isSpace() || c == u'='; };
    while (i < n) {
        while (i < n && between(line[i])) ++i;
        if (i >= n) break;
        if (line[i] == u'"') {
            const qsizetype end = line.indexOf(u'"', i + 1);
            const qsizetype stop = end < 0 ? n : end;
            words << line.mid(i + 1, stop - i - 1);
            i = stop + 1;
            continue;
        }
        const qsizetype start = i;
        while (i < n && !between(line[i])) ++i;
        words << line.mid(start, i - start);
    }
    return words;
}

// A glob of "*" and "?" (nothing else is special), over the whole text.
bool globMatches(QStringView text, QStringView pattern) {
    qsizetype t = 0, p = 0, star = -1, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// A comma-separated list of patterns against `text`: 1 when one matches and no negated one does,
// -1 when a negated one ("!pattern") matches, 0 otherwise.
int listMatches(const QString& text, const QString& list) {
    int found = 0;
    for (const QString& part : list.split(u',')) {
        const bool negated = part.startsWith(u'!');
        if (!globMatches(text, QStringView(part).mid(negated ? 1 : 0))) continue;
        if (negated) return -1;
        found = 1;
    }
    return found;
}

class Reader {
  public:
    Reader(const QString& host, const ConfigContext& context) : context_(context) {
        found_.hostName = host;
    }

    // False when the answer needs the library.
    bool read(QByteArrayView text, int depth) {
        for (const QByteArrayView line : QByteArray(text.data(), text.size()).split('\n')) {
            const QStringList words = wordsOf(QString::fromUtf8(line));
            if (words.isEmpty() || words.front().startsWith(u'#')) continue;
            const QString keyword = words.front().toLower();
            const QStringList args = words.mid(1);
            if (keyword == u"host" || keyword == u"match") {
                if (std::any_of(args.begin(), args.end(),
                                [](const QString& a) { return a.startsWith(u'#'); }))
                    return false;  // a comment among the patterns: the library's reading decides
                const std::optional<bool> now =
                    keyword == u"host" ? hostApplies(args) : matchApplies(args);
                if (!now) return false;
                applies_ = *now;
            } else if (!applies_) {
                continue;
            } else if (keyword == u"include") {
                if (!include(args, depth)) return false;
            } else if (keyword == u"hostname") {
                if (!takeHostName(args)) return false;
            } else if (keyword == u"port") {
                if (!takePort(args)) return false;
            }
        }
        return true;
    }

    const ConfiguredEndpoint& found() const { return found_; }

  private:
    // The first pattern word that matches (or whose negation does) decides.
    std::optional<bool> hostApplies(const QStringList& patterns) const {
        const QString host = found_.hostName.toLower();
        for (const QString& word : patterns)
            if (const int m = listMatches(host, word.toLower())) return m > 0;
        return false;
    }

    // Every criterion holds. nullopt for criteria only the library reads (exec) and for a line
    // it refuses (no criterion, "all" beside others, a criterion without its patterns), on which
    // it stops reading.
    std::optional<bool> matchApplies(const QStringList& args) const {
        if (args.isEmpty()) return std::nullopt;
        bool holds = true;
        for (qsizetype i = 0; i < args.size(); ++i) {
            QString criterion = args[i].toLower();
            const bool negated = criterion.startsWith(u'!');
            if (negated) criterion.remove(0, 1);
            if (criterion == u"all") {
                if (args.size() != 1) return std::nullopt;
                holds = !negated;
                continue;
            }
            if (criterion == u"canonical" || criterion == u"final") continue;  // negated too
            if (criterion != u"host" && criterion != u"originalhost" && criterion != u"user" &&
                criterion != u"localuser")
                return std::nullopt;
            if (++i >= args.size()) return std::nullopt;
            if (criterion == u"originalhost") {
                holds = false;  // the library never holds it for the host as given
            } else if (criterion == u"user") {
                if (args[i].contains(u'*') || args[i].contains(u'?')) return std::nullopt;
                holds = holds && negated;  // no user is known while the file is read
            } else {
                const QString& text = criterion == u"host" ? found_.hostName : context_.localUser;
                holds = holds && (listMatches(text, args[i]) == 1) != negated;
            }
        }
        return holds;
    }

    bool include(const QStringList& paths, int depth) {
        if (depth >= kMostIncluded) return true;  // deeper than the library goes: not read
        for (QString path : paths) {
            if (path.startsWith(u'~')) {
                // Written out in the user's own file (session.cpp); elsewhere the library's.
                if (depth > 0 || !path.startsWith(QStringLiteral("~/"))) return false;
                path = context_.home + path.mid(1);
            } else if (!path.startsWith(u'/')) {
                path = context_.sshFolder + u'/' + path;
            }
            for (const QString& file : context_.glob(path)) {
                if (++files_ > kMostFiles) return false;
                const std::optional<QByteArray> text = context_.read(file);
                if (text && !read(*text, depth + 1)) return false;
            }
        }
        return true;
    }

    // The first HostName that applies, with %h (the host) and %p (the port) written out.
    bool takeHostName(const QStringList& args) {
        if (hostNameSeen_) return true;
        hostNameSeen_ = true;
        if (args.isEmpty()) return false;
        QString name;
        const QString& value = args.front();
        for (qsizetype i = 0; i < value.size(); ++i) {
            const QChar c = value[i];
            if (c == u'~' || c == u'@' || c == u'[' || c.isSpace()) return false;
            if (c != u'%') {
                name += c;
                continue;
            }
            const QChar token = i + 1 < value.size() ? value[++i] : QChar();
            if (token == u'h')
                name += found_.hostName;
            else if (token == u'p')
                name += QString::number(found_.port ? found_.port : 22);
            else
                return false;
        }
        if (name.isEmpty()) return false;
        found_.hostName = name;
        return true;
    }

    // The first Port that applies: a number from 1 to 65535, written in digits alone.
    bool takePort(const QStringList& args) {
        if (portSeen_) return true;
        portSeen_ = true;
        if (args.isEmpty()) return true;  // the library takes none, and no later one either
        const QString& value = args.front();
        if (value.isEmpty() || value.size() > 5 ||
            !std::all_of(value.begin(), value.end(), [](QChar c) { return c.isDigit(); }))
            return false;
        const int port = value.toInt();
        if (port < 1 || port > 65535) return false;
        found_.port = port;
        return true;
    }

    const ConfigContext& context_;
    ConfiguredEndpoint found_;
    // Whether the lines read now apply: every line before the first Host or Match does. An
    // included file goes on from where the including one was, and leaves its state behind it.
    bool applies_ = true;
    int files_ = 0;
    bool hostNameSeen_ = false;
    bool portSeen_ = false;
};

QStringList globbed(const QString& pattern) {
    QStringList paths;
    glob_t g{};
    if (::glob(QFile::encodeName(pattern).constData(), 0, nullptr, &g) == 0)
        for (std::size_t i = 0; i < g.gl_pathc; ++i) paths << QFile::decodeName(g.gl_pathv[i]);
    ::globfree(&g);
    return paths;
}

std::optional<QByteArray> fileText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.read(kConfigLimit);
}

}  // namespace

std::optional<ConfiguredEndpoint> readConfig(QByteArrayView text, const QString& host,
                                             const ConfigContext& context) {
    Reader reader(host, context);
    if (!reader.read(text, 0)) return std::nullopt;
    return reader.found();
}

std::optional<ConfiguredEndpoint> configuredEndpoint(const QString& host) {
    ConfigContext context;
    context.home = homeFolder();
    context.sshFolder = context.home + QStringLiteral("/.ssh");
    context.localUser = localUserName();
    context.read = fileText;
    context.glob = globbed;
    const std::optional<QByteArray> text = fileText(context.sshFolder + QStringLiteral("/config"));
    if (!text) return ConfiguredEndpoint{host, 0};
    return readConfig(*text, host, context);
}

QString localUserName() {
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
}

QString homeFolder() {
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty()) return QDir::cleanPath(home);
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_dir);
    return QDir::rootPath();
}

}  // namespace qelto::wmi::ssh
