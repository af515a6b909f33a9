// qelto-cli queue and worker: the archive's list of hosts to scan on a schedule, and the scanners
// that take their work from it.

#include "batch.h"
#include "commands.h"
#include "connection.h"

#include "archive/history.h"
#include "archive/queue.h"
#include "archive/session.h"
#include "common/charset.h"
#include "common/json.h"
#include "connect/connector.h"
#include "scan/host.h"
#include "wmi/snapshot.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace qelto::cli {

namespace {

namespace q = archive::queue;

// --archive and --archive-password-file as queue and worker take them: a value that is not empty.
std::vector<common::Option> archiveOptions() {
    std::vector<common::Option> both{archiveOption({}), archivePasswordFileOption({})};
    for (common::Option& o : both) {
        o.empty = common::Empty::Missing;
        o.missingMessage = QStringLiteral("%1 需要一个值");
    }
    return both;
}

const common::CommandLine& queueLine() {
    using common::helpRow;
    static const common::CommandLine line = [] {
        const QString name = QStringLiteral("%1 需要一个名称");
        common::Section s{
            .head = QStringLiteral("用法：qelto-cli queue add 主机… [--hosts-file 文件] [--every "
                                   "24h] [--people 文件]\n"
                                   "                          [--department 部门 --person 使用人]\n"
                                   "      qelto-cli queue list [--json]\n"
                                   "      qelto-cli queue remove 主机… | --all\n"),
            .options =
                {
                    helpRow(QStringLiteral("add"),
                            QStringLiteral(
                                "把主机（或地址范围，同 scan）加入档案中的检测队列，立即到期；"
                                "已在队列中的\n主机改用新的间隔和使用人")),
                    {.names = {QStringLiteral("--every")},
                     .valueName = QStringLiteral("时长"),
                     .description = QStringLiteral(
                         "每隔多久检测一次（s、m、h 或 d，例如 24h）；不给则只检测一次"),
                     .kind = common::ValueKind::Duration,
                     .missingMessage = QStringLiteral("%1 需要一个时长，例如 24h"),
                     .invalidMessage = QStringLiteral("%1 需要一个时长，例如 24h")},
                    fileOption(
                        "--people",
                        QStringLiteral("各主机的部门和使用人（CSV：主机,部门,使用人）；其余主机用 "
                                       "--department 和\n--person")),
                    helpRow(QStringLiteral("list"),
                            QStringLiteral("列出每个目标的状态：到期、由哪个扫描程序从何时起检测、"
                                           "上次的结果和原因、\n下次检测的时间")),
                    helpRow(QStringLiteral("remove"),
                            QStringLiteral("从队列中删除这些主机（--all：全部）")),
                    helpRow(QStringLiteral(
                        "--archive 连接字符串、--archive-password-file 文件：同 archive")),
                    helpOption(),
                    {.names = {QStringLiteral("--json")}, .hidden = true},
                    {.names = {QStringLiteral("--all")}, .hidden = true},
                    fileOption("--hosts-file"),
                    {.names = {QStringLiteral("--department")},
                     .kind = common::ValueKind::Text,
                     .empty = common::Empty::Missing,
                     .missingMessage = name,
                     .hidden = true},
                    {.names = {QStringLiteral("--person")},
                     .kind = common::ValueKind::Text,
                     .empty = common::Empty::Missing,
                     .missingMessage = name,
                     .hidden = true},
                },
            .column = 16};
        for (common::Option& o : archiveOptions()) s.options.push_back(std::move(o));
        return common::CommandLine{.sections = {std::move(s)}};
    }();
    return line;
}

QString timeOf(const std::optional<qint64>& t) {
    if (!t) return QStringLiteral("-");
    return QDateTime::fromSecsSinceEpoch(*t).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString durationText(qint64 s) {
    if (s <= 0) return QStringLiteral("一次");
    if (s % 86400 == 0) return QStringLiteral("%1d").arg(s / 86400);
    if (s % 3600 == 0) return QStringLiteral("%1h").arg(s / 3600);
    if (s % 60 == 0) return QStringLiteral("%1m").arg(s / 60);
    return QStringLiteral("%1s").arg(s);
}

// A target's state as `queue list` shows it, at `now` on the archive's clock.
QString stateOf(const q::Target& t, qint64 now) {
    if (!t.worker.isEmpty() && t.leaseUntil && *t.leaseUntil > now) return QStringLiteral("检测中");
    if (!t.due) return QStringLiteral("已完成");
    return *t.due <= now ? QStringLiteral("到期") : QStringLiteral("等待");
}

// A target as `queue list --json` writes it.
common::json::Value targetJson(const q::Target& t, qint64 now) {
    namespace json = common::json;
    json::Value o = json::object({{QStringLiteral("host"), json::text(t.host)},
                                  {QStringLiteral("state"), json::text(stateOf(t, now))},
                                  {QStringLiteral("every"), json::integer(t.every)},
                                  {QStringLiteral("department"), json::text(t.department)},
                                  {QStringLiteral("person"), json::text(t.person)},
                                  {QStringLiteral("scans"), json::integer(t.scans)},
                                  {QStringLiteral("failures"), json::integer(t.failures)},
                                  {QStringLiteral("claims"), json::integer(t.claim)}});
    const auto put = [&](const char* key, const json::Value& v) {
        o.object.push_back({QString::fromLatin1(key), v});
    };
    const auto putTime = [&](const char* key, const std::optional<qint64>& v) {
        put(key, v ? json::text(timeOf(v)) : json::null());
    };
    putTime("next", t.due);
    putTime("lastAt", t.lastAt);
    if (stateOf(t, now) == u"检测中") {
        put("worker", json::text(t.worker));
        putTime("since", t.started);
    }
    put("lastResult", !t.lastOk   ? json::null()
                      : *t.lastOk ? json::text(QStringLiteral("ok"))
                                  : json::text(QStringLiteral("failed")));
    if (!t.lastMessage.isEmpty()) put("lastMessage", json::text(t.lastMessage));
    return o;
}

QString targetLine(const q::Target& t, qint64 now) {
    const QString state = stateOf(t, now);
    const bool running = state == u"检测中";
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\t%7\t%8\t%9")
        .arg(t.host, state, durationText(t.every), running ? t.worker : QStringLiteral("-"),
             running ? timeOf(t.started) : QStringLiteral("-"), timeOf(t.lastAt),
             !t.lastOk   ? QStringLiteral("-")
             : *t.lastOk ? QStringLiteral("成功")
                         : QStringLiteral("失败（%1 次）").arg(t.failures),
             timeOf(t.due),
             t.lastMessage.isEmpty() ? QStringLiteral("-") : common::displayLine(t.lastMessage));
}

// The queue, written as it is read: the whole document of --json is the indented one that
// json::write makes, one target at a time.
int list(const QString& connstr, bool json) {
    archive::Session session(connstr, false);
    const qint64 now = q::archiveNow(session);
    qsizetype count = 0;
    if (!json)
        printLine(stdout,
                  QStringLiteral("主机\t状态\t间隔\t扫描程序\t开始\t上次\t结果\t下次\t原因"));
    q::forEachTarget(session, [&](const q::Target& t) {
        if (!json) {
            printLine(stdout, targetLine(t, now));
        } else {
            QByteArray text = common::json::write(targetJson(t, now));
            text.chop(1);  // its line end
            text.replace('\n', QByteArrayLiteral("\n        "));
            print(stdout, (count == 0 ? QByteArrayLiteral("{\n    \"targets\": [\n        ")
                                      : QByteArrayLiteral(",\n        ")) +
                              text);
        }
        ++count;
    });
    if (!json)
        printLine(stdout, QStringLiteral("共 %1 个目标。").arg(count));
    else if (count == 0)
        print(stdout, common::json::write(common::json::object(
                          {{QStringLiteral("targets"), common::json::array()}})));
    else
        print(stdout, QByteArrayLiteral("\n    ]\n}\n"));
    return 0;
}

}  // namespace

namespace {

// The options that only one verb takes; given to another, they are a usage error that names them.
struct VerbOptions {
    const char16_t* verb;
    std::initializer_list<const char*> options;
};
constexpr VerbOptions kVerbOptions[] = {
    {u"add", {"--hosts-file", "--every", "--people", "--department", "--person"}},
    {u"list", {"--json"}},
    {u"remove", {"--all"}},
};

QString verbProblem(const common::ParsedLine& parsed, const QString& verb,
                    const QStringList& items) {
    if (verb != u"add" && verb != u"list" && verb != u"remove")
        return verb.isEmpty() ? QString() : QStringLiteral("未知的子命令：%1").arg(verb);
    for (const VerbOptions& v : kVerbOptions)
        for (const char* option : v.options)
            if (verb != v.verb && parsed.isSet(QLatin1String(option)))
                return QStringLiteral("%1 只用于 %2")
                    .arg(parsed.typed(QLatin1String(option)), QString::fromUtf16(v.verb));
    if (verb == u"list" && !items.isEmpty()) return QStringLiteral("list 不带参数");
    if (verb == u"remove" && items.isEmpty() == !parsed.isSet(QStringLiteral("--all")))
        return QStringLiteral("remove 需要主机，或者 --all");
    return {};
}

// A file the user named, read whole; nullopt with the reason on stderr.
std::optional<QByteArray> namedFile(const QString& path, const QString& what) {
    QString reason;
    auto bytes = common::readInputFile(path, common::kMaxInputFileBytes, reason);
    if (!bytes) printLine(stderr, QStringLiteral("无法读取%1 %2：%3").arg(what, path, reason));
    return bytes;
}

// The hosts of `queue add`, expanded as a batch expands them, with their people: nullopt with the
// exit status when they cannot be had.
std::optional<std::vector<q::NewTarget>> targetsToAdd(const common::ParsedLine& parsed,
                                                      const QStringList& items, int& status) {
    const auto usage = [&status](const QString& problem) {
        status = usageError(queueLine(), problem);
        return std::nullopt;
    };
    status = 1;
    QString problem;
    batch::HostList hosts;
    for (const QString& item : items)
        if (!hosts.add(item, problem)) return usage(problem);
    if (const QString file = parsed.value(QStringLiteral("--hosts-file")); !file.isEmpty()) {
        const auto bytes = namedFile(file, QStringLiteral("主机文件"));
        if (!bytes) return std::nullopt;
        for (const QString& item : batch::itemsOfFile(QString::fromUtf8(*bytes)))
            if (!hosts.add(item, problem)) return usage(problem);
    }
    if (hosts.hosts().isEmpty()) return usage(QStringLiteral("add 需要主机"));
    QHash<QString, batch::Person> people;
    if (const QString file = parsed.value(QStringLiteral("--people")); !file.isEmpty()) {
        const auto bytes = namedFile(file, QStringLiteral("人员文件"));
        if (!bytes) return std::nullopt;
        const auto read = batch::parsePeople(
            *bytes, common::charsetOfLocale(common::localeNameFromEnvironment()), problem);
        if (!read) return usage(QStringLiteral("%1：%2").arg(file, problem));
        people = *read;
    }
    const auto given = [&](const char* option) -> std::optional<QString> {
        if (!parsed.isSet(QLatin1String(option))) return std::nullopt;
        return textArgument(parsed.value(QLatin1String(option))).trimmed();
    };
    const std::optional<QString> department = given("--department"), person = given("--person");
    std::vector<q::NewTarget> targets;
    for (const QString& h : hosts.hosts()) {
        if (!people.contains(h) && (!department || !person))
            return usage(QStringLiteral("主机 %1 没有部门和使用人：请用 --people 文件，或 "
                                        "--department 和 --person")
                             .arg(h));
        const batch::Person who =
            people.value(h, {department.value_or(QString()), person.value_or(QString())});
        targets.push_back({h, textArgument(who.department), textArgument(who.person)});
    }
    return targets;
}

// The verb on the archive; throws ArchiveError.
int runQueueVerb(const QString& connstr, const common::ParsedLine& parsed, const QString& verb,
                 const QStringList& items, const std::vector<q::NewTarget>& targets) {
    if (verb == u"list") return list(connstr, parsed.isSet(QStringLiteral("--json")));
    if (verb == u"remove") {
        const int removed = q::removeTargets(connstr, items, parsed.isSet(QStringLiteral("--all")));
        printLine(stdout, QStringLiteral("已从队列中删除 %1 个目标。").arg(removed));
        return 0;
    }
    const qint64 every = parsed.number(QStringLiteral("--every")).value_or(0);
    const int added = q::addTargets(connstr, targets, every);
    printLine(stdout, QStringLiteral("队列中新加入 %1 个目标，更新 %2 个；间隔：%3。")
                          .arg(added)
                          .arg(qsizetype(targets.size()) - added)
                          .arg(durationText(every)));
    return 0;
}

}  // namespace

int queueCommand(const QStringList& args) {
    int status = 0;
    const auto parsed = readArguments(queueLine(), args, status);
    if (!parsed) return status;
    const QString verb = parsed->operands.value(0);
    const QStringList items = parsed->operands.mid(1);
    if (const QString problem = verbProblem(*parsed, verb, items);
        !problem.isEmpty() || verb.isEmpty())
        return usageError(queueLine(), problem);
    std::vector<q::NewTarget> targets;
    if (verb == u"add") {
        auto read = targetsToAdd(*parsed, items, status);
        if (!read) return status;
        targets = std::move(*read);
    }
    QString problem;
    const std::optional<QString> connstr =
        archiveConnection(parsed->optionalValue(QStringLiteral("--archive")),
                          parsed->value(QStringLiteral("--archive-password-file")), problem);
    if (!connstr) {
        printLine(stderr, problem);
        return 1;
    }
    try {
        return runQueueVerb(*connstr, *parsed, verb, items, targets);
    } catch (const archive::ArchiveError& e) {
        printLine(stderr, e.message());
        return 1;
    }
}

namespace {

// One line of a credentials file.
struct Credential {
    QRegularExpression pattern;
    QString user;
    wmi::SharedSecret password;  // shared with every request that uses it, wiped when all are gone
};

// Reads a credentials file: refused unless it is a regular file of this user that no one else
// may read or write. Lines: pattern, user name and password (the rest of the line), separated by
// blanks; "#" starts a comment line.
std::optional<std::vector<Credential>> readCredentials(const QString& path, QString& problem) {
    struct stat st {};
    const QByteArray native = common::nativeFileName(path);
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("凭证文件 %1 不存在或不是普通文件").arg(path);
        return std::nullopt;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        problem =
            QStringLiteral("凭证文件 %1 必须属于运行扫描程序的用户，且只有它能读写（chmod 600）")
                .arg(path);
        return std::nullopt;
    }
    QString reason;
    const auto bytes = common::readInputFile(path, 1024 * 1024, reason);
    if (!bytes) {
        problem = QStringLiteral("无法读取凭证文件 %1：%2").arg(path, reason);
        return std::nullopt;
    }
    std::vector<Credential> list;
    const QStringList lines = QString::fromUtf8(*bytes).split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(u'\r')) line.chop(1);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(u'#')) continue;
        static const QRegularExpression form(QStringLiteral("^\\s*(\\S+)\\s+(\\S+)\\s+(.+)$"));
        const QRegularExpressionMatch m = form.match(line);
        if (!m.hasMatch()) {
            // The line itself is not shown: it may hold a password.
            problem = QStringLiteral("凭证文件 %1 第 %2 行应为“主机模式 用户名 密码”")
                          .arg(path)
                          .arg(n + 1);
            return std::nullopt;
        }
        // "*" and "?" match any characters, "/" and ":" included.
        QString pattern = QRegularExpression::escape(m.captured(1));
        pattern.replace(QStringLiteral("\\*"), QStringLiteral(".*"));
        pattern.replace(QStringLiteral("\\?"), QStringLiteral("."));
        list.push_back({QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                           QRegularExpression::CaseInsensitiveOption),
                        m.captured(2), wmi::SharedSecret(m.captured(3))});
    }
    return list;
}

std::atomic<bool> stopRequested{false};
extern "C" void onStopSignal(int) {
    stopRequested = true;
}

struct WorkerOptions {
    std::optional<QString> archive;
    QString passwordFile, credentialsFile, snapshot, name;
    int jobs = 8;
    qint64 lease = 300, poll = 10;
    bool once = false;
    ConnectionOptions connection;
};

QString now() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Outcomes written in one transaction at most.
constexpr std::size_t kRecordBatch = 64;
// The longest wait between two tries to reach an archive that is away, in seconds.
constexpr int kMostRetrySeconds = 30;

// The scanner: its main thread holds the one connection to the archive and does everything with
// it (claims, and the outcomes of the scans, written in batches); each scan runs on a thread of
// its own that never touches the archive. When the archive is away (a server restarting, its
// connections all taken), the worker keeps the outcomes it holds and tries again, less often each
// time, until it is back.
class Worker {
  public:
    Worker(const WorkerOptions& o, QString connstr, archive::ArchiveLocation location)
        : o_(o), connstr_(std::move(connstr)), location_(std::move(location)) {}
    std::vector<Credential> credentials;
    std::shared_ptr<const wmi::InstanceStore> snapshot;
    QString name, recorder;

    int run();

  private:
    using Clock = std::chrono::steady_clock;
    struct Running {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void scan(q::Target t, std::shared_ptr<std::atomic<bool>> done);
    q::Outcome scanned(const q::Target& t);
    bool connect(bool now = false);
    void lost(const archive::ArchiveError& e);
    void record();
    bool recordBatch(std::size_t n);
    void told(const q::Outcome& o, q::Recorded r);
    void notRecorded(const q::Outcome& o, const QString& why);
    void claim();
    void wait();
    int reap();
    void say(const QString& line) {
        printLine(stderr, common::displayLine(QStringLiteral("%1 %2").arg(now(), line)));
    }

    const WorkerOptions& o_;
    const QString connstr_;
    const archive::ArchiveLocation location_;
    std::optional<archive::Session> session_;
    bool fatal_ = false, away_ = false, roundOver_ = false, stopping_ = false;
    int retrySeconds_ = 0;
    Clock::time_point retryAt_, awaySince_;
    std::optional<qint64> roundStart_;  // --once: the archive's clock when the round began
    std::deque<q::Outcome> pending_;    // outcomes not yet recorded, of the main thread
    std::size_t single_ = 0;            // outcomes to record one to a transaction
    std::list<Running> threads_;
    int inFlight_ = 0;
    bool claimedAll_ = false;  // the last claim took as many targets as it asked for

    std::mutex mutex_;  // guards what the scan threads hand over
    std::condition_variable changed_;
    std::deque<q::Outcome> finished_;
};

// On a thread of its own: the scan through the one scan-a-host path; its outcome goes to the
// main thread, which records it.
void Worker::scan(q::Target t, std::shared_ptr<std::atomic<bool>> done) {
    q::Outcome outcome;
    try {
        outcome = scanned(t);
    } catch (...) {
        // Anything thrown is this target's failure, never the end of the worker.
        outcome.failure = batch::thrownText(std::current_exception());
    }
    outcome.target = std::move(t);
    std::lock_guard lock(mutex_);
    finished_.push_back(std::move(outcome));
    *done = true;
    changed_.notify_all();
}

q::Outcome Worker::scanned(const q::Target& t) {
    wmi::ConnectRequest request = requestBase(o_.connection);
    request.host = t.host;
    for (const Credential& c : credentials)
        if (c.pattern.match(t.host).hasMatch()) {
            request.road = wmi::Road::Credentials;
            request.user = c.user;
            request.password = c.password;
            break;
        }
    if (o_.connection.acceptNewHostKey)
        request.confirmNewHostKey = [](const wmi::HostKeyQuestion&) { return true; };
    connect::SourceConnector connector(snapshot);
    scan::ScanRecord start;
    start.clearForScan();
    scan::HostScan s = scan::scanHost(connector, request, std::move(start));
    q::Outcome o;
    if (s.error) {
        o.failure = scan::connectionFailureText(*s.error, t.host);
    } else if (s.tree.count() == 0 || !s.service) {
        o.failure = QStringLiteral("检测到无数据，无法保存");
    } else if (!s.service->answers()) {
        o.failure = QStringLiteral("这次检测没有完整结果，无法保存");
    } else {
        s.record.sendmail = wmi::Variant(recorder);
        o.record = std::move(s.record);
        // Compressed here, so that the main thread only writes.
        o.packed = archive::packScan(*s.service->answers());
        o.when = QDateTime::currentDateTime();
    }
    return o;
}

// True when the worker holds its connection to the archive; otherwise tries to make it once the
// wait after the last try is over (at once with `now`).
bool Worker::connect(bool now) {
    if (session_) return true;
    if (!now && Clock::now() < retryAt_) return false;
    try {
        session_.emplace(connstr_, false);
        // A scan can be saved only with its full scan.
        if (!session_->hasTable(archive::kScanTable)) {
            say(QStringLiteral("档案没有 scans 表，请先运行“qelto-cli archive init”"));
            fatal_ = true;
            session_.reset();
            return false;
        }
    } catch (const archive::ArchiveError& e) {
        session_.reset();
        // A missing file, or one that is no archive, does not come back by waiting.
        if (e.kind() != archive::ArchiveError::Kind::Failed) {
            say(QStringLiteral("无法打开档案：%1").arg(e.message()));
            fatal_ = true;
            return false;
        }
        lost(e);
        return false;
    }
    if (away_) say(QStringLiteral("档案已恢复，继续"));
    away_ = false;
    retrySeconds_ = 0;
    return true;
}

// The connection failed: dropped, and made again later, less often each time.
void Worker::lost(const archive::ArchiveError& e) {
    session_.reset();
    if (!away_) awaySince_ = Clock::now();
    away_ = true;
    retrySeconds_ = std::min(retrySeconds_ > 0 ? retrySeconds_ * 2 : 1, kMostRetrySeconds);
    retryAt_ = Clock::now() + std::chrono::seconds(retrySeconds_);
    say(QStringLiteral("档案不可用：%1（%2 秒后重试；手头的结果保留到那时）")
            .arg(e.message())
            .arg(retrySeconds_));
}

void Worker::told(const q::Outcome& o, q::Recorded r) {
    const QString& host = o.target.host;
    if (r == q::Recorded::Saved)
        say(QStringLiteral("%1 已保存（%2）").arg(host, o.record.computername.textValue()));
    else if (r == q::Recorded::Failed)
        say(QStringLiteral("%1 失败：%2").arg(host, o.failure));
    else if (o.failure.isEmpty())
        say(archive::queue::releaseAfterSave(o.target, true).refused);
    else
        notRecorded(o, QStringLiteral("已不再由这个扫描程序检测"));
}

// An outcome that could not be recorded: its own reason is said all the same.
void Worker::notRecorded(const q::Outcome& o, const QString& why) {
    if (o.failure.isEmpty())
        say(QStringLiteral("%1 的检测结果未能保存：%2").arg(o.target.host, why));
    else
        say(QStringLiteral("%1 失败：%2（未能记录：%3）").arg(o.target.host, o.failure, why));
}

// Writes the first `n` pending outcomes in one transaction. False when the connection is gone.
bool Worker::recordBatch(std::size_t n) {
    std::vector<q::Outcome> batch(std::make_move_iterator(pending_.begin()),
                                  std::make_move_iterator(pending_.begin() + qsizetype(n)));
    try {
        // A server that stops answering cannot hold the worker: the connection is shut down.
        const archive::ServerDeadline deadline(
            std::chrono::seconds(location_.connectTimeout + location_.commandTimeout));
        archive::ServerDeadline::watch(session_->database());
        const std::vector<q::Recorded> done = q::recordOutcomes(*session_, batch);
        pending_.erase(pending_.begin(), pending_.begin() + qsizetype(n));
        single_ -= std::min(single_, n);
        for (std::size_t i = 0; i < n; ++i) told(batch[i], done[i]);
        return true;
    } catch (const archive::ArchiveError& e) {
        std::move(batch.begin(), batch.end(), pending_.begin());
        bool alive = false;
        try {
            alive = session_->select(QStringLiteral("SELECT 1")).size() == 1;
        } catch (const archive::ArchiveError&) {
        }
        if (!alive) {
            lost(e);
            return false;
        }
        if (n > 1) {  // the archive refused one of them: each alone finds which
            single_ = n;
            return true;
        }
        // The archive refused this one itself: a save becomes the target's failure.
        q::Outcome o = std::move(pending_.front());
        pending_.pop_front();
        single_ -= std::min<std::size_t>(single_, 1);
        if (!o.failure.isEmpty()) {
            notRecorded(o, e.message());
        } else {
            o.failure = QStringLiteral("保存失败：%1").arg(e.message());
            pending_.push_front(std::move(o));
            single_ = std::max<std::size_t>(single_, 1);
        }
        return true;
    }
}

void Worker::record() {
    {
        std::lock_guard lock(mutex_);
        while (!finished_.empty()) {
            pending_.push_back(std::move(finished_.front()));
            finished_.pop_front();
        }
    }
    while (!pending_.empty() && connect()) {
        const std::size_t n = single_ > 0 ? 1 : std::min(kRecordBatch, pending_.size());
        if (!recordBatch(n)) return;
    }
}

void Worker::claim() {
    const int free = o_.jobs - inFlight_;
    if (free <= 0 || !connect()) return;
    std::vector<q::Target> claimed;
    try {
        if (o_.once && !roundStart_) roundStart_ = q::archiveNow(*session_);
        claimed = q::claimTargets(*session_, name, free, o_.lease, roundStart_);
    } catch (const archive::ArchiveError& e) {
        lost(e);
        return;
    }
    claimedAll_ = int(claimed.size()) == free;
    roundOver_ = claimed.empty();
    for (q::Target& t : claimed) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            threads_.push_back({std::thread(&Worker::scan, this, t, done), done});
            ++inFlight_;
        } catch (...) {
            // No thread to be had (the system's limit): the target waits for its lease to end.
            say(QStringLiteral("%1：无法开始检测：%2")
                    .arg(t.host, batch::thrownText(std::current_exception())));
        }
    }
}

// Joins the scan threads that have ended; returns how many.
int Worker::reap() {
    int ended = 0;
    for (auto t = threads_.begin(); t != threads_.end();)
        if (*t->done) {
            t->thread.join();
            --inFlight_;
            ++ended;
            t = threads_.erase(t);
        } else {
            ++t;
        }
    return ended;
}

// Until a scan ends, the next look at the queue or the next try to reach the archive, or a stop.
// Scans whose outcomes record() took already free their places at once: nothing else would wake
// the wait for them.
void Worker::wait() {
    if (reap() > 0) return;
    const Clock::time_point until = away_ ? retryAt_
                                    : claimedAll_ && inFlight_ < o_.jobs && !stopping_
                                        ? Clock::now()
                                        : Clock::now() + std::chrono::seconds(o_.poll);
    std::unique_lock lock(mutex_);
    while ((stopping_ || !stopRequested) && finished_.empty() && Clock::now() < until)
        changed_.wait_for(lock, std::chrono::milliseconds(200));
    lock.unlock();
    reap();
}

int Worker::run() {
    say(QStringLiteral("扫描程序 %1 开始：档案 %2，同时 %3 个，租约 %4 秒")
            .arg(name, location_.describe())
            .arg(o_.jobs)
            .arg(o_.lease));
    // A round waits for an archive that is away as long as a claim lasts; after that what it
    // holds would be refused anyway.
    const auto giveUp = std::chrono::seconds(o_.lease);
    while (!fatal_) {
        record();
        if (stopRequested && !stopping_) {
            stopping_ = true;
            say(QStringLiteral("收到停止信号：完成正在进行的 %1 个检测后退出").arg(inFlight_));
        }
        if (stopping_ && inFlight_ == 0) break;
        if (!stopping_) claim();
        if (fatal_) break;
        if (o_.once && roundOver_ && inFlight_ == 0 && pending_.empty() && !away_) break;
        if (o_.once && away_ && inFlight_ == 0 && Clock::now() - awaySince_ > giveUp) break;
        wait();
    }
    for (Running& t : threads_) t.thread.join();
    record();
    if (!pending_.empty() && !fatal_ && connect(true)) record();
    const bool unrecorded = !pending_.empty();
    for (const q::Outcome& outcome : pending_) notRecorded(outcome, QStringLiteral("档案不可用"));
    say(QStringLiteral("扫描程序 %1 结束").arg(name));
    return fatal_ || unrecorded || away_ ? 1 : 0;
}

int runWorker(const WorkerOptions& o) {
    QString problem;
    const std::optional<QString> connstr = archiveConnection(o.archive, o.passwordFile, problem);
    if (!connstr) {
        printLine(stderr, problem);
        return 1;
    }
    archive::ArchiveLocation location;
    try {
        location = archive::parseConnectionString(*connstr);
    } catch (const archive::ArchiveError& e) {
        printLine(stderr, e.message());
        return 1;
    }
    Worker worker(o, *connstr, location);
    if (!o.credentialsFile.isEmpty()) {
        auto read = readCredentials(o.credentialsFile, problem);
        if (!read) {
            printLine(stderr, problem);
            return 1;
        }
        worker.credentials = std::move(*read);
    }
    if (!o.snapshot.isEmpty()) {
        try {
            worker.snapshot = wmi::loadSnapshot(o.snapshot);
        } catch (const wmi::SnapshotError& e) {
            printLine(stderr, e.message());
            return 1;
        }
    }
    worker.recorder = archive::recordingComputer();
    worker.name =
        !o.name.isEmpty()
            ? o.name
            : QStringLiteral("%1:%2").arg(worker.recorder).arg(QCoreApplication::applicationPid());
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return worker.run();
}

const common::CommandLine& workerLine() {
    using common::ValueKind;
    static const common::CommandLine line = [] {
        const auto duration = [](const char* name, const char* example,
                                 const QString& description) {
            const QString message =
                QStringLiteral("%1 需要一个时长，例如 ") + QLatin1String(example);
            return common::Option{.names = {QString::fromLatin1(name)},
                                  .valueName = QStringLiteral("时长"),
                                  .description = description,
                                  .kind = ValueKind::Duration,
                                  .empty = common::Empty::Missing,
                                  .missingMessage = message,
                                  .invalidMessage = message};
        };
        common::Section s{
            .head = QStringLiteral(
                "用法：qelto-cli worker [--archive 连接字符串] [--jobs N] [--lease 时长] "
                "[--credentials 文件]\n"
                "  "
                "从档案的检测队列中领取到期的目标并检测，把摘要和完整检测连同目标的释放一起保存；\n"
                "  可以在几台计算机上同时运行（PostgreSQL 档案；SQLite 档案只用一个）\n"),
            .options =
                {
                    {.names = {QStringLiteral("--jobs")},
                     .valueName = QStringLiteral("N"),
                     .description = QStringLiteral("同时检测的目标数（默认 8，1 到 256）"),
                     .kind = ValueKind::Count,
                     .empty = common::Empty::Missing,
                     .missingMessage = QStringLiteral("%1 的值应为 1 到 256 之间的整数"),
                     .min = 1,
                     .max = 256},
                    duration(
                        "--lease", "5m",
                        QStringLiteral(
                            "领取的租约（默认 5m）：扫描程序中断后，它的目标在租约结束时交还")),
                    fileOption(
                        "--credentials",
                        QStringLiteral("每行“主机模式 用户名 密码”（模式可用 * 和 ?；"
                                       "第一个匹配的行有效）；\n"
                                       "文件只能由它的所有者读写；没有匹配的主机用当前登录凭证")),
                    {.names = {QStringLiteral("--name")},
                     .valueName = QStringLiteral("名称"),
                     .description =
                         QStringLiteral("扫描程序在队列中的名称（默认 计算机名:进程号）"),
                     .kind = ValueKind::Text,
                     .empty = common::Empty::Missing,
                     .missingMessage = QStringLiteral("%1 需要一个名称")},
                    duration("--poll", "10s",
                             QStringLiteral("没有到期目标时多久查看一次队列（默认 10s）")),
                    {.names = {QStringLiteral("--once")},
                     .description = QStringLiteral(
                         "只检测一轮：开始时已到期的目标各领取一次，结果都记录后退出；\n"
                         "档案不可用时最多等一个租约时长，之后以状态 1 退出")},
                    fileOption("--snapshot",
                               QStringLiteral("每个目标都从这个快照文件检测（试用）")),
                    common::helpRow(QStringLiteral("--archive-password-file 文件：同 archive")),
                    common::helpRow(QStringLiteral("--accept-new-host-key、--ca-file "
                                                   "文件、--pin-sha256 指纹、--timeout 秒、")),
                    common::helpRow(QStringLiteral("--connect-timeout 秒：同 scan")),
                    helpOption(),
                },
            .column = 20,
            .tail = QStringLiteral(
                "  收到 SIGTERM 或 SIGINT 时不再领取，完成正在进行的检测，交还其余目标后退出\n"
                "  "
                "档案不可用（服务器重启、连接数已满）时保留手头的结果，等待并重试（间隔逐次加倍，\n"
                "  最长 30 秒），档案恢复后继续；不加 --once 时一直等待\n")};
        for (common::Option& o : archiveOptions()) s.options.push_back(std::move(o));
        return common::CommandLine{.sections = {std::move(s), connectionSection(false)},
                                   .unknownMessage = QStringLiteral("未知的参数：%1"),
                                   .endOfOptions = false,
                                   .maxOperands = 0,
                                   .extraOperandMessage = QStringLiteral("未知的参数：%1")};
    }();
    return line;
}

}  // namespace

int workerCommand(const QStringList& args) {
    int status = 0;
    const auto parsed = readArguments(workerLine(), args, status);
    if (!parsed) return status;
    const auto usage = [](const QString& problem) { return usageError(workerLine(), problem); };
    WorkerOptions o;
    QString problem;
    if (!takeConnectionOptions(*parsed, o.connection, problem)) return usage(problem);
    o.archive = parsed->optionalValue(QStringLiteral("--archive"));
    o.passwordFile = parsed->value(QStringLiteral("--archive-password-file"));
    o.credentialsFile = parsed->value(QStringLiteral("--credentials"));
    o.snapshot = parsed->value(QStringLiteral("--snapshot"));
    o.name = parsed->value(QStringLiteral("--name"));
    o.jobs = int(parsed->number(QStringLiteral("--jobs")).value_or(o.jobs));
    o.lease = parsed->number(QStringLiteral("--lease")).value_or(o.lease);
    o.poll = parsed->number(QStringLiteral("--poll")).value_or(o.poll);
    o.once = parsed->isSet(QStringLiteral("--once"));
    if (!o.connection.user.isEmpty() || o.connection.password)
        return usage(QStringLiteral("扫描程序的用户名和密码来自 --credentials 文件"));
    if (o.lease <= o.connection.connectTimeoutSeconds + o.connection.timeoutSeconds)
        return usage(QStringLiteral("--lease 必须长于连接和检测的时限之和（%1 秒）")
                         .arg(o.connection.connectTimeoutSeconds + o.connection.timeoutSeconds));
    return runWorker(o);
}

}  // namespace qelto::cli
