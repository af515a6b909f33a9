#include "batch.h"

#include "common/charset.h"
#include "common/csv.h"
#include "common/json.h"

#include "scanjson.h"

#include "archive/archive.h"
#include "wmi/hosttext.h"

#include <QRegularExpression>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qelto::cli::batch {

namespace {

// An IPv4 range, alone or as the host of a host text: the scheme and user before it, the port
// and path after it are kept for every address.
const QRegularExpression& rangePattern() {
    static const QRegularExpression re(
        QStringLiteral("^((?:[A-Za-z][A-Za-z0-9+.-]*://)?(?:[^@/\\[\\]]*@)?)"  // 1: scheme, user
                       "(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})"     // 2-5: the address
                       "(?:/(\\d{1,2})|-(\\d{1,3}))"  // 6: /prefix, 7: -last
                       "((?::\\d*)?(?:/.*)?)$"));     // 8: port, path
    return re;
}

QByteArray jsonString(const QString& s) {
    QByteArray out;
    common::json::appendString(out, s);
    return out;
}

QString seconds(std::chrono::milliseconds ms) {
    return QString::number(double(ms.count()) / 1000.0, 'f', 1);
}

QString padded(const QString& text, int width) {
    return text + QString(std::max(0, width - displayWidth(text)), u' ');
}

// `text` cut to at most `width` columns, with "…" when something was cut.
QString cut(const QString& text, int width) {
    if (displayWidth(text) <= width) return text;
    QString out;
    int used = 0;
    for (const char32_t c : text.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        const int w = displayWidth(one);
        if (used + w + 1 > width) break;
        out += one;
        used += w;
    }
    return out + u'…';
}

}  // namespace

bool isRange(const QString& item) {
    return rangePattern().match(item.trimmed()).hasMatch();
}

bool HostList::add(const QString& item, QString& problem) {
    const QString text = item.trimmed().isEmpty() ? QStringLiteral(".") : item.trimmed();
    const QRegularExpressionMatch m = rangePattern().match(text);
    if (!m.hasMatch()) {
        if (seen_.contains(text)) return true;
        if (hosts_.size() >= kMaxHosts) {
            problem = QStringLiteral("主机太多：一批最多 %1 台主机").arg(kMaxHosts);
            return false;
        }
        seen_.insert(text);
        hosts_ << text;
        return true;
    }
    auto bad = [&](const QString& why) {
        problem = QStringLiteral("地址范围“%1”无效：%2").arg(text, why);
        return false;
    };
    quint32 address = 0;
    for (int i = 2; i <= 5; ++i) {
        const uint octet = m.captured(i).toUInt();
        if (octet > 255) return bad(QStringLiteral("地址的每一段应为 0 到 255"));
        address = address << 8 | octet;
    }
    quint64 first = address, last = address;
    if (m.hasCaptured(6)) {
        const uint prefix = m.captured(6).toUInt();
        if (prefix > 32) return bad(QStringLiteral("前缀长度应为 0 到 32"));
        const quint64 size = quint64(1) << (32 - prefix);
        first = address & ~(size - 1);
        last = first + size - 1;
        if (size >= 4) ++first, --last;  // neither the network nor its broadcast address
    } else {
        const uint end = m.captured(7).toUInt();
        if (end > 255) return bad(QStringLiteral("范围的末尾应为 0 到 255"));
        if (end < (address & 0xFF)) return bad(QStringLiteral("范围的末尾小于开头"));
        last = (address & ~quint32(0xFF)) | end;
    }
    if (quint64(hosts_.size()) + (last - first + 1) > quint64(kMaxHosts))
        return bad(QStringLiteral("一批最多 %1 台主机，这个范围有 %2 个地址")
                       .arg(kMaxHosts)
                       .arg(last - first + 1));
    const QString before = m.captured(1), after = m.captured(8);
    for (quint64 a = first; a <= last; ++a) {
        const QString host = before +
                             QStringLiteral("%1.%2.%3.%4")
                                 .arg(a >> 24 & 0xFF)
                                 .arg(a >> 16 & 0xFF)
                                 .arg(a >> 8 & 0xFF)
                                 .arg(a & 0xFF) +
                             after;
        if (seen_.contains(host)) continue;
        seen_.insert(host);
        hosts_ << host;
    }
    return true;
}

QSet<QString> silentHosts(const QStringList& hosts, const connect::SourceConnector& connector,
                          std::chrono::milliseconds timeout, std::size_t mostOpen) {
    std::vector<reach::Target> targets;
    QStringList texts;
    for (const QString& text : hosts) {
        const auto host = wmi::parseHostText(text);
        if (!host) continue;
        std::vector<reach::Candidate> candidates;
        try {
            candidates = connector.candidates(*host, text);
        } catch (const wmi::Error&) {
            continue;  // the scan says why
        }
        if (candidates.empty()) continue;  // this machine
        targets.push_back({host->host, std::move(candidates)});
        texts << text;
    }
    reach::Options options;
    options.pickWinner = false;
    options.mostOpen = mostOpen;
    const std::vector<reach::Report> reports =
        reach::reachHosts(targets, reach::Deadline::in(timeout), options);
    QSet<QString> silent;
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (reports[i].resolution == reach::Resolution::Status::Found && !reports[i].untried &&
            !reports[i].anythingAnswered())
            silent.insert(texts[qsizetype(i)]);
    return silent;
}

QStringList itemsOfFile(const QString& text) {
    QStringList items;
    for (QString line : text.split(u'\n')) {
        const qsizetype hash = line.indexOf(u'#');
        if (hash >= 0) line.truncate(hash);
        line = line.trimmed();
        if (!line.isEmpty()) items << line;
    }
    return items;
}

std::optional<QHash<QString, Person>> parsePeople(const QByteArray& bytes,
                                                  const QByteArray& localeCharset,
                                                  QString& problem) {
    QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    std::optional<QString> text;
    for (const QByteArray& charset :
         {QByteArrayLiteral("UTF-8"), localeCharset, QByteArrayLiteral("GBK")}) {
        qsizetype bad = 0;
        if ((text = common::decodeStrictly(body, charset, bad))) break;
    }
    if (!text) {
        problem = QStringLiteral("人员文件既不是 UTF-8，也不是区域设置的字符集或 GBK 编码");
        return std::nullopt;
    }
    QHash<QString, Person> people;
    const QStringList lines = text->split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(u'\r')) line.chop(1);
        if (line.trimmed().isEmpty()) continue;
        QStringList f = common::csvFields(line);
        for (QString& s : f) s = s.trimmed();
        const bool header = people.isEmpty() && f.size() == 3 &&
                            (f[0].compare(u"host", Qt::CaseInsensitive) == 0 || f[0] == u"主机");
        if (header) continue;
        if (f.size() != 3 || f[0].isEmpty() || f[1].isEmpty() || f[2].isEmpty()) {
            problem = QStringLiteral("人员文件第 %1 行应为三列：主机,部门,使用人").arg(n + 1);
            return std::nullopt;
        }
        people.insert(f[0], {f[1], f[2]});
    }
    return people;
}

QString thrownText(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const archive::ArchiveError& e) {
        return e.message();
    } catch (const wmi::Error& e) {
        return e.description();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("内存不足，无法完成。");
    } catch (const std::exception& e) {
        return QStringLiteral("意外的错误：%1").arg(QString::fromUtf8(e.what()));
    } catch (...) {
        return QStringLiteral("意外的错误（不明的异常）");
    }
}

void run(const QStringList& hosts, int jobs, const std::function<Outcome(const QString&)>& scanOne,
         const std::function<void(Outcome&&)>& finished,
         const std::function<void(const Progress&)>& progress, std::chrono::milliseconds interval) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::mutex mutex;
    std::condition_variable changed;
    qsizetype next = 0;
    std::map<qsizetype, QString> inFlight;  // by index: in the order they were started
    std::deque<Outcome> ended;
    qsizetype done = 0, failed = 0;

    auto worker = [&] {
        for (;;) {
            qsizetype i;
            {
                std::lock_guard lock(mutex);
                if (next >= hosts.size()) return;
                i = next++;
                inFlight.emplace(i, hosts[i]);
            }
            const auto began = Clock::now();
            Outcome o;
            try {
                o = scanOne(hosts[i]);
            } catch (...) {
                o.scan.error = wmi::Error(wmi::code::Failed, thrownText(std::current_exception()));
            }
            o.index = i;
            o.host = hosts[i];
            o.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
            {
                std::lock_guard lock(mutex);
                inFlight.erase(i);
                ended.push_back(std::move(o));
            }
            changed.notify_one();
        }
    };
    std::vector<std::thread> pool;
    const qsizetype threads = std::min<qsizetype>(std::max(jobs, 1), hosts.size());
    for (qsizetype t = 0; t < threads; ++t) pool.emplace_back(worker);

    auto snapshot = [&] {  // under the lock
        Progress p;
        p.done = done;
        p.failed = failed;
        p.remaining = hosts.size() - done;
        for (const auto& [i, host] : inFlight) p.inFlight << host;
        p.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return p;
    };
    auto lastShown = Clock::now() - interval;
    std::unique_lock lock(mutex);
    while (done < hosts.size()) {
        changed.wait_for(lock, interval, [&] { return !ended.empty(); });
        while (!ended.empty()) {
            Outcome o = std::move(ended.front());
            ended.pop_front();
            ++done;
            if (!o.scan.connected()) ++failed;
            lock.unlock();
            finished(std::move(o));
            lock.lock();
        }
        if (progress && Clock::now() - lastShown >= interval) {
            const Progress p = snapshot();
            lock.unlock();
            progress(p);
            lock.lock();
            lastShown = Clock::now();
        }
    }
    const Progress last = snapshot();
    lock.unlock();
    for (std::thread& t : pool) t.join();
    if (progress) progress(last);
}

QString reportName(const QString& computerName, const QString& host) {
    QString label = host;
    label.replace(QStringLiteral("://"), QStringLiteral("-"));
    for (QChar& c : label)
        if (QStringView(u":@/\\*?\"<>|").contains(c)) c = u'-';
    return computerName + u'-' + label;
}

int displayWidth(const QString& text) {
    return common::displayWidth(text);
}

QString progressLine(const Progress& p, int width) {
    const qint64 s = p.elapsed.count() / 1000;
    QString line = QStringLiteral("已完成 %1（失败 %2），剩余 %3，用时 %4:%5")
                       .arg(p.done)
                       .arg(p.failed)
                       .arg(p.remaining)
                       .arg(s / 60)
                       .arg(s % 60, 2, 10, QLatin1Char('0'));
    if (!p.inFlight.isEmpty())
        line += QStringLiteral("；进行中 %1 台：%2")
                    .arg(p.inFlight.size())
                    .arg(p.inFlight.join(QStringLiteral("、")));
    return cut(line, width);
}

QString table(const std::vector<Row>& rows, std::chrono::milliseconds total) {
    const QStringList head{QStringLiteral("主机"), QStringLiteral("计算机名"),
                           QStringLiteral("结果"), QStringLiteral("用时（秒）"),
                           QStringLiteral("错误")};
    std::vector<QStringList> cells{head};
    qsizetype ok = 0;
    for (const Row& r : rows) {
        ok += r.ok;
        cells.push_back({common::displayLine(r.host), common::displayLine(r.computerName),
                         r.ok ? QStringLiteral("成功") : QStringLiteral("失败"), seconds(r.elapsed),
                         common::displayLine(r.error)});
    }
    int widths[4] = {};
    for (const QStringList& c : cells)
        for (int i = 0; i < 4; ++i) widths[i] = std::max(widths[i], displayWidth(c[i]));
    QString out;
    for (const QStringList& c : cells) {
        QString line;
        for (int i = 0; i < 4; ++i) line += padded(c[i], widths[i]) + QStringLiteral("  ");
        line += c[4];
        while (line.endsWith(u' ')) line.chop(1);
        out += line + u'\n';
    }
    out += QStringLiteral("共 %1 台主机：成功 %2 台，失败 %3 台，用时 %4 秒\n")
               .arg(rows.size())
               .arg(ok)
               .arg(qsizetype(rows.size()) - ok)
               .arg(seconds(total));
    return out;
}

QByteArray jsonLine(const QString& host, const QString& error, const scan::HostScan* scanned) {
    // The one-host form, its layout blanks dropped: raw line ends occur only between tokens,
    // since strings escape theirs.
    QByteArray body = "\"tree\": [], \"record\": null}";
    if (scanned) {
        const QByteArray pretty = scanToJson(scanned->tree, scanned->record);
        body.clear();
        for (qsizetype i = 1; i < pretty.size(); ++i) {
            if (pretty[i] != '\n') {
                body += pretty[i];
                continue;
            }
            while (i + 1 < pretty.size() && pretty[i + 1] == ' ') ++i;
        }
    }
    QByteArray out = "{\"host\": " + jsonString(host) + ", \"status\": ";
    out += scanned ? "\"ok\"" : "\"failed\"";
    out += ", \"error\": ";
    out += error.isNull() ? QByteArray("null") : jsonString(error);
    out += ", " + body + '\n';
    return out;
}

}  // namespace qelto::cli::batch
