// qelto-cli scan: connects like the window does and prints the tree and the scan record.

#include "batch.h"
#include "commands.h"
#include "connection.h"
#include "scanjson.h"

#include "archive/archive.h"
#include "common/charset.h"
#include "connect/connector.h"
#include "report/report.h"
#include "scan/host.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"

#include "reach/descriptors.h"

#include <QDir>
#include <QLocale>

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace qelto::cli {

namespace {

// What scan writes or keeps of a scan besides its output: the report and the archive's row.
std::vector<common::Option> keepingOptions() {
    using common::Empty;
    using common::ValueKind;
    const QString fileName = QStringLiteral("%1 需要一个文件名");
    return {
        reportOption(QStringLiteral("把检测报告写入主目录 $HOME 中的“计算机名.doc”"
                                    "（批量时“计算机名-主机.doc”）")),
        reportDirOption(QStringLiteral("把检测报告写入这个目录（也可写成 --report=目录）")),
        {.names = {QStringLiteral("--save")},
         .description = QStringLiteral("把这次检测的摘要存入档案（也可由环境变量 "
                                       "QELTO_ARCHIVE 指定档案）"),
         .label = QStringLiteral("--save --department 部门 --person 使用人 "
                                 "[--archive 连接字符串]")},
        {.names = {QStringLiteral("--department")},
         .kind = ValueKind::Text,
         .missingMessage = QStringLiteral("%1 需要一个部门"),
         .hidden = true},
        {.names = {QStringLiteral("--person")},
         .kind = ValueKind::Text,
         .missingMessage = QStringLiteral("%1 需要一个使用人"),
         .hidden = true},
        archiveOption(QString()),
        {.names = {QStringLiteral("--people")},
         .valueName = QStringLiteral("文件"),
         .description = QStringLiteral("批量保存时各主机的部门和使用人（CSV：主机,部门,"
                                       "使用人）"),
         .kind = ValueKind::File,
         .empty = Empty::Missing,
         .missingMessage = fileName},
        archivePasswordFileOption(QStringLiteral("档案服务器的密码（文件的第一行）；也可用环境变量 "
                                                 "QELTO_ARCHIVE_PASSWORD")),
    };
}

const common::CommandLine& scanLine() {
    using common::Empty;
    using common::ValueKind;
    const QString fileName = QStringLiteral("%1 需要一个文件名");
    static const common::CommandLine line = [&] {
        common::CommandLine l{
            .sections = {
                {.head = QStringLiteral(
                     "用法：qelto-cli scan [主机…] [--hosts-file 文件] [--jobs N] "
                     "[--snapshot 文件] [--user 用户名]\n"
                     "                     [--json | --software] [-v | --verbose]\n"
                     "  检测一台计算机并输出配置树；--json 输出树和检测记录的 JSON\n"
                     "  几台主机（或地址范围 192.168.1.0/24、192.168.1.10-20，也可写在 "
                     "ssh://用户@范围:端口 中）\n"
                     "  时批量检测，最后输出结果表；--json 时每台主机输出一行 JSON\n"),
                 .options =
                     {
                         helpOption(),
                         {.names = {QStringLiteral("--json")}, .hidden = true},
                         {.names = {QStringLiteral("--software")},
                          .description =
                              QStringLiteral("输出已安装的软件表（名称、版本、架构、来源、"
                                             "发行者），不输出配置树；只用于一台主机")},
                         {.names = {QStringLiteral("--hosts-file")},
                          .valueName = QStringLiteral("文件"),
                          .description = QStringLiteral("从文件读主机，每行一个，# 之后是注释"),
                          .kind = ValueKind::File,
                          .empty = Empty::Missing,
                          .missingMessage = fileName},
                         {.names = {QStringLiteral("--jobs")},
                          .valueName = QStringLiteral("N"),
                          .description =
                              QStringLiteral("批量检测时同时检测的主机数（默认 32，1 到 256）"),
                          .kind = ValueKind::Count,
                          .missingMessage = QStringLiteral("%1 的值应为 1 到 256 之间的整数"),
                          .min = 1,
                          .max = 256},
                         {.names = {QStringLiteral("--snapshot")},
                          .valueName = QStringLiteral("文件"),
                          .description = QStringLiteral("从快照文件（JSON）检测，而不是连接主机"),
                          .kind = ValueKind::File,
                          .empty = Empty::Refused,
                          .missingMessage = fileName,
                          .emptyMessage = QStringLiteral("%1 的文件名不能为空")},
                         {.names = {QStringLiteral("--verbose"), QStringLiteral("-v")},
                          .description = QStringLiteral("在标准错误输出上报告连接和检测用的时间、"
                                                        "无法执行的查询和无法读取的值")},
                         endOfOptionsRow(QStringLiteral("主机名")),
                     },
                 .column = 20},
                connectionSection(),
            }};
        std::vector<common::Option>& rows = l.sections[0].options;
        std::vector<common::Option> keeping = keepingOptions();
        rows.insert(rows.end() - 1, std::make_move_iterator(keeping.begin()),
                    std::make_move_iterator(keeping.end()));
        return l;
    }();
    return line;
}

int usage(const QString& problem) {
    return usageError(scanLine(), problem);
}

struct ScanOptions {
    ConnectionOptions connection;
    QString snapshot;
    bool json = false;
    bool software = false;
    bool verbose = false;
    bool report = false;
    QString reportDir;  // empty: the home directory
    bool save = false;
    QString department, person;
    std::optional<QString> archive;
    QString archivePasswordFile;
    // A batch: the hosts named on the command line, --hosts-file, --jobs, --people.
    QStringList hosts;
    QString hostsFile, peopleFile;
    int jobs = 32;
};

// One finished scan saved, alone or in a batch: this machine as the one that recorded it, the
// summary row and, where the archive keeps them, the full scan beside it. The failure's text
// (empty when it was saved); `leftOut` gets the columns the archive's info table lacks.
QString saveOne(const QString& connstr, const batch::Person& who, const scan::InventoryTree& tree,
                scan::ScanRecord& record, const wmi::InstanceStore* answers, QStringList& leftOut) {
    // As the export: without the root line the tree is empty, and there is nothing to store.
    if (tree.count() == 0) return QStringLiteral("检测到无数据，无法保存");
    record.sendmail = wmi::Variant(archive::recordingComputer());
    try {
        leftOut = archive::saveScan(connstr, textArgument(who.department), textArgument(who.person),
                                    record, answers);
        return {};
    } catch (const archive::ArchiveError& e) {
        return QStringLiteral("保存失败：%1").arg(e.message());
    }
}

QString leftOutText(const QStringList& leftOut) {
    return QStringLiteral("档案的 info 表没有这些列，它们未被保存：") +
           leftOut.join(QStringLiteral("、"));
}

// After the scan: the report and the archive row, when asked for. Messages go to stderr so that
// stdout keeps the tree alone. Returns 0, or 1 when something failed.
int afterScan(const ScanOptions& o, const scan::InventoryTree& tree, scan::ScanRecord& record,
              const wmi::InstanceStore* answers) {
    int status = 0;
    if (o.report) {
        report::ExportOptions options;
        options.directory = o.reportDir;
        const QString host = o.connection.host.trimmed();
        const report::ExportResult r = report::exportReport(
            tree, record, host.isEmpty() ? QStringLiteral(".") : host, options);
        printLine(stderr, r.message());
        if (!r.ok()) status = 1;
    }
    if (o.save) {
        // As the export: without the root line the tree is empty, and there is nothing to store.
        if (tree.count() == 0) {
            printLine(stderr, QStringLiteral("检测到无数据，无法保存"));
            return 1;
        }
        QString problem;
        const std::optional<QString> connstr =
            archiveConnection(o.archive, o.archivePasswordFile, problem);
        if (!connstr) {
            printLine(stderr, QStringLiteral("保存失败：%1").arg(problem));
            return 1;
        }
        QStringList leftOut;
        const QString failure =
            saveOne(*connstr, {o.department, o.person}, tree, record, answers, leftOut);
        printLine(stderr, failure.isEmpty() ? QStringLiteral("保存成功！") : failure);
        if (!leftOut.isEmpty()) printLine(stderr, leftOutText(leftOut));
        if (!failure.isEmpty()) status = 1;
    }
    return status;
}

// One line of --verbose about something the scan could not do.
QString problemText(const scan::Problem& p) {
    const QString number = QStringLiteral("0x%1").arg(p.number, 8, 16, QLatin1Char('0'));
    switch (p.kind) {
        case scan::Problem::Kind::Query:
            return QStringLiteral("查询失败（%1）：%2：%3").arg(number, p.query, p.description);
        case scan::Problem::Kind::Value:
            if (p.property.isEmpty()) return p.description;
            return QStringLiteral("无法读取的值（%1）：%2 的第 %3 个对象的 %4：%5")
                .arg(number, p.query)
                .arg(p.object)
                .arg(p.property, p.description);
        case scan::Problem::Kind::TreeFull:
            break;
    }
    return p.description;
}

// A snapshot's problem with the file named: "快照文件第 1 行第 1 列：…" becomes
// "快照文件“name”第 1 行第 1 列：…"; a message that names the file already stays as it is.
QString snapshotProblem(const QString& message, const QString& file) {
    const QString prefix = QStringLiteral("快照文件");
    if (!message.startsWith(prefix)) return message;
    return prefix + QStringLiteral("“%1”").arg(QDir::toNativeSeparators(file)) +
           message.mid(prefix.size());
}

// The columns of the terminal on stderr; 80 when it does not say.
int terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The recorded machine of --snapshot, if any; false (the reason on stderr) when it cannot be read.
bool loadSnapshotOption(const ScanOptions& o, std::shared_ptr<const wmi::InstanceStore>& snapshot) {
    if (o.snapshot.isEmpty()) return true;
    try {
        snapshot = wmi::loadSnapshot(o.snapshot);
    } catch (const wmi::SnapshotError& e) {
        printLine(stderr, snapshotProblem(e.message(), o.snapshot));
        return false;
    }
    return true;
}

// The hosts of a batch, those named and those of --hosts-file in that order; nullopt, with
// `status` set and the reason said, when one is not a host or the file cannot be read.
std::optional<QStringList> batchHosts(const ScanOptions& o, int& status) {
    batch::HostList list;
    QString problem;
    const auto refuse = [&status](int code) {
        status = code;
        return std::nullopt;
    };
    for (const QString& item : o.hosts)
        if (!list.add(item, problem)) return refuse(usage(problem));
    if (!o.hostsFile.isEmpty()) {
        QString reason;
        const auto bytes = common::readInputFile(o.hostsFile, common::kMaxInputFileBytes, reason);
        if (!bytes) {
            printLine(stderr, QStringLiteral("无法读取主机文件 %1：%2").arg(o.hostsFile, reason));
            return refuse(1);
        }
        for (const QString& item : batch::itemsOfFile(QString::fromUtf8(*bytes)))
            if (!list.add(item, problem))
                return refuse(usage(QStringLiteral("主机文件 %1：%2").arg(o.hostsFile, problem)));
    }
    if (list.hosts().isEmpty())
        return refuse(usage(QStringLiteral("主机文件 %1 中没有主机").arg(o.hostsFile)));
    return list.hosts();
}

// The department and person of each host from --people; with --save, every host must have them
// there or from --department and --person. nullopt, with `status` set, when not.
std::optional<QHash<QString, batch::Person>> batchPeople(const ScanOptions& o,
                                                         const QStringList& hosts, int& status) {
    const auto refuse = [&status](int code) {
        status = code;
        return std::nullopt;
    };
    QHash<QString, batch::Person> people;
    if (!o.peopleFile.isEmpty()) {
        if (!o.save) return refuse(usage(QStringLiteral("--people 只与 --save 一起使用")));
        QString reason, problem;
        const auto bytes = common::readInputFile(o.peopleFile, common::kMaxInputFileBytes, reason);
        if (!bytes) {
            printLine(stderr, QStringLiteral("无法读取人员文件 %1：%2").arg(o.peopleFile, reason));
            return refuse(1);
        }
        const auto read = batch::parsePeople(
            *bytes, common::charsetOfLocale(common::localeNameFromEnvironment()), problem);
        if (!read) return refuse(usage(QStringLiteral("%1：%2").arg(o.peopleFile, problem)));
        people = *read;
    }
    const bool everyone = !o.department.isNull() && !o.person.isNull();
    if (!o.save || everyone) return people;
    if (o.peopleFile.isEmpty())
        return refuse(
            usage(QStringLiteral("--save 需要 --department 和 --person，或 --people 文件")));
    QStringList missing;
    for (const QString& h : hosts)
        if (!people.contains(h)) missing << h;
    if (!missing.isEmpty())
        return refuse(usage(QStringLiteral("人员文件中没有这 %1 台主机（可用 --department 和 "
                                           "--person 给出其余主机的部门和使用人）：%2")
                                .arg(missing.size())
                                .arg(missing.mid(0, 10).join(QStringLiteral("、")) +
                                     (missing.size() > 10 ? QStringLiteral("…") : QString()))));
    return people;
}

// Every host in flight may hold a socket for each candidate port while it is being reached and
// several connections while it is scanned: --jobs is lowered to what the limit of open files
// allows, and said so. Returns that limit.
std::size_t fitJobsToDescriptors(ScanOptions& o) {
    const std::size_t descriptors = reach::raiseDescriptorLimit();
    constexpr std::size_t kPerHost = 16, kReserve = 64;
    const int fit =
        int(std::max<std::size_t>((descriptors - std::min(descriptors, kReserve)) / kPerHost, 1));
    if (o.jobs > fit) {
        printLine(stderr, QStringLiteral("打开文件数的上限是 %1，同时检测的主机数从 %2 降为 %3。")
                              .arg(descriptors)
                              .arg(o.jobs)
                              .arg(fit));
        o.jobs = fit;
    }
    return descriptors;
}

// What becomes of each host of a batch as it ends, on the batch's own thread: its row of the
// table, its JSON line, its report and its archive row.
class BatchResults {
  public:
    BatchResults(const ScanOptions& o, const QStringList& hosts,
                 QHash<QString, batch::Person> people, std::optional<QString> connstr)
        : o_(o),
          people_(std::move(people)),
          connstr_(std::move(connstr)),
          rows_(size_t(hosts.size())) {}

    void finished(batch::Outcome&& out) {
        clearLine();
        for (const QString& n : out.notices) printLine(stderr, n);
        scan::HostScan& s = out.scan;
        batch::Row& row = rows_[size_t(out.index)];
        row.host = out.host;
        row.elapsed = out.elapsed;
        if (s.error) {
            row.error = QStringLiteral("连接失败（0x%1）：%2")
                            .arg(s.error->number(), 8, 16, QLatin1Char('0'))
                            .arg(scan::connectionFailureText(*s.error, out.host));
            keyRefused_ = keyRefused_ || out.hostKeyRefused;
            if (o_.json) print(stdout, batch::jsonLine(out.host, row.error, nullptr));
            return;
        }
        row.ok = true;
        row.computerName = s.record.computername.textValue();
        if (o_.verbose) {
            printLine(stderr, QStringLiteral("%1：连接用时 %2 毫秒，检测用时 %3 毫秒")
                                  .arg(out.host)
                                  .arg(s.connectTime.count())
                                  .arg(s.scanTime.count()));
            for (const auto& p : s.problems) printLine(stderr, out.host + u"：" + problemText(p));
        }
        if (o_.json) print(stdout, batch::jsonLine(out.host, QString(), &s));
        QStringList failures;
        if (o_.report) writeReport(out.host, s, row.computerName, failures);
        if (o_.save) save(out.host, s, failures);
        if (!failures.isEmpty()) {
            row.ok = false;
            row.error = failures.join(QStringLiteral("；"));
        }
    }

    void progress(const batch::Progress& p) {
        print(stderr, "\r");
        printText(stderr, batch::progressLine(p, terminalWidth() - 1));
        print(stderr, "\033[K");
        std::fflush(stderr);
        lineShown_ = true;
    }

    // The table, and the status of the whole batch.
    int end(std::chrono::milliseconds total) {
        clearLine();
        // The table is the output of a batch; with --json, stdout holds the JSON lines alone.
        printText(o_.json ? stderr : stdout, batch::table(rows_, total));
        if (keyRefused_)
            printLine(stderr, QStringLiteral("请向这台主机的管理员核对指纹；确认无误后可加 "
                                             "--accept-new-host-key 信任并记住它。"));
        return std::all_of(rows_.begin(), rows_.end(), [](const batch::Row& r) { return r.ok; })
                   ? 0
                   : 1;
    }

  private:
    void clearLine() {
        if (lineShown_) print(stderr, "\r\033[K");
        lineShown_ = false;
    }

    // Every host's report has its own name, also when two hosts share a computer name or two
    // host texts differ only in the characters that reportName replaces.
    void writeReport(const QString& host, const scan::HostScan& s, const QString& computerName,
                     QStringList& failures) {
        QString name = batch::reportName(computerName, host);
        for (int n = 2; reportNames_.contains(name.toLower()); ++n)
            name = batch::reportName(computerName, host) + u'-' + QString::number(n);
        reportNames_.insert(name.toLower());
        scan::ScanRecord named = s.record;
        named.computername = wmi::Variant(name);
        report::ExportOptions options;
        options.directory = o_.reportDir;
        const report::ExportResult r = report::exportReport(s.tree, named, host, options);
        if (!r.ok()) failures << r.message();
    }

    void save(const QString& host, scan::HostScan& s, QStringList& failures) {
        QStringList leftOut;
        const QString failure =
            saveOne(*connstr_, people_.value(host, {o_.department, o_.person}), s.tree, s.record,
                    s.service ? s.service->answers() : nullptr, leftOut);
        if (!failure.isEmpty()) failures << failure;
        if (!leftOut.isEmpty() && !leftOutTold_) {
            printLine(stderr, leftOutText(leftOut));
            leftOutTold_ = true;
        }
    }

    const ScanOptions& o_;
    const QHash<QString, batch::Person> people_;
    const std::optional<QString> connstr_;
    std::vector<batch::Row> rows_;
    QSet<QString> reportNames_;  // in lower case: Windows shares ignore case
    bool keyRefused_ = false, leftOutTold_ = false, lineShown_ = false;
};

// qelto-cli scan over several hosts: each host is scanned as one host would be, on --jobs
// threads at a time; the outputs of each (its JSON line, report, archive row) are written here on
// this thread as it ends, and the table at the end.
// One host of a batch, on a pool thread, through the one scan-a-host path. No question is asked
// in the middle of a batch: an unknown host key is taken only with --accept-new-host-key, and
// refused otherwise.
struct BatchScanner {
    std::shared_ptr<const wmi::InstanceStore> snapshot;
    wmi::ConnectRequest base;
    QSet<QString> silent;  // found to answer nothing: failed without a try
    bool acceptKeys = false;
    // The answers of the hosts in flight hold at most twice the largest one answer (256 MiB over
    // WS-Management) together, however many --jobs: a host whose answer would pass it fails.
    std::shared_ptr<wmi::AnswerBudget> answers =
        std::make_shared<wmi::AnswerBudget>(qint64(512) << 20);

    batch::Outcome operator()(const QString& host) const {
        batch::Outcome out;
        if (silent.contains(host)) {
            out.scan.error = wmi::Error(wmi::code::RpcUnavailable,
                                        QStringLiteral("无法连接 %1：%2 毫秒内没有应答。")
                                            .arg(host)
                                            .arg(qint64(base.connectTimeout.count())));
            return out;
        }
        wmi::ConnectRequest request = base;
        request.host = host;
        request.answers = answers;
        request.confirmNewHostKey = [&out, this](const wmi::HostKeyQuestion& q) {
            if (!acceptKeys) {
                out.hostKeyRefused = true;
                return false;
            }
            out.notices << QStringLiteral("已信任并记住 %1 的主机密钥（%2 %3）。")
                               .arg(q.address, q.keyType, q.fingerprint);
            return true;
        };
        connect::SourceConnector connector(snapshot);
        scan::ScanRecord start;
        start.clearForScan();
        out.scan = scan::scanHost(connector, request, std::move(start));
        return out;
    }
};

int batchScan(ScanOptions o) {
    int status = 0;
    const std::optional<QStringList> hosts = batchHosts(o, status);
    if (!hosts) return status;
    std::optional<QHash<QString, batch::Person>> people = batchPeople(o, *hosts, status);
    if (!people) return status;

    std::shared_ptr<const wmi::InstanceStore> snapshot;
    if (!loadSnapshotOption(o, snapshot)) return 1;
    QString problem;
    std::optional<QString> connstr;
    if (o.save) {
        connstr = archiveConnection(o.archive, o.archivePasswordFile, problem);
        if (!connstr) {
            printLine(stderr, QStringLiteral("保存失败：%1").arg(problem));
            return 1;
        }
    }
    // The password, when one is needed, is asked once for the whole batch.
    ConnectionOptions asked = o.connection;
    asked.host = QStringLiteral("%1 台主机").arg(hosts->size());
    const auto base = makeRequest(asked, problem);
    if (!base) {
        printLine(stderr, problem);
        return 1;
    }
    const std::size_t descriptors = fitJobsToDescriptors(o);

    // More hosts than places: the ones that answer nothing are found all at once first, so that
    // they do not each hold a place for their whole connect time-out.
    connect::SourceConnector ports(snapshot);
    const QSet<QString> silent =
        hosts->size() > o.jobs
            ? batch::silentHosts(*hosts, ports, base->connectTimeout, descriptors * 3 / 4)
            : QSet<QString>();

    const BatchScanner scanOne{snapshot, *base, silent, o.connection.acceptNewHostKey};
    BatchResults results(o, *hosts, std::move(*people), connstr);
    const bool live = ::isatty(STDERR_FILENO) == 1;
    const auto began = std::chrono::steady_clock::now();
    batch::run(
        *hosts, o.jobs, scanOne, [&](batch::Outcome&& out) { results.finished(std::move(out)); },
        live ? std::function<void(const batch::Progress&)>(
                   [&](const batch::Progress& p) { results.progress(p); })
             : nullptr);
    return results.end(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began));
}

}  // namespace

int scanCommand(const QStringList& args) {
    int status = 0;
    const auto parsed = readArguments(scanLine(), args, status);
    if (!parsed) return status;
    ScanOptions o;
    QString problem;
    if (!takeConnectionOptions(*parsed, o.connection, problem)) return usage(problem);
    o.hosts = parsed->operands;
    o.json = parsed->isSet(QStringLiteral("--json"));
    o.software = parsed->isSet(QStringLiteral("--software"));
    o.verbose = parsed->isSet(QStringLiteral("--verbose"));
    o.snapshot = parsed->value(QStringLiteral("--snapshot"));
    o.report = reportDirectory(*parsed, o.reportDir);
    o.save = parsed->isSet(QStringLiteral("--save"));
    o.department = parsed->value(QStringLiteral("--department"));
    o.person = parsed->value(QStringLiteral("--person"));
    o.archive = parsed->optionalValue(QStringLiteral("--archive"));
    o.archivePasswordFile = parsed->value(QStringLiteral("--archive-password-file"));
    o.hostsFile = parsed->value(QStringLiteral("--hosts-file"));
    o.peopleFile = parsed->value(QStringLiteral("--people"));
    o.jobs = int(parsed->number(QStringLiteral("--jobs")).value_or(o.jobs));
    const bool isBatch = o.hosts.size() > 1 || !o.hostsFile.isEmpty() || !o.peopleFile.isEmpty() ||
                         std::any_of(o.hosts.begin(), o.hosts.end(), batch::isRange);
    if (isBatch && o.software) return usage(QStringLiteral("--software 只用于检测一台主机"));
    if (isBatch) return batchScan(o);
    if (!o.hosts.isEmpty()) o.connection.host = o.hosts.first();
    if (o.save && (o.department.isNull() || o.person.isNull()))
        return usage(QStringLiteral("--save 需要 --department 和 --person"));

    std::shared_ptr<const wmi::InstanceStore> snapshot;
    if (!loadSnapshotOption(o, snapshot)) return 1;
    auto request = makeRequest(o.connection, problem);
    if (!request) {
        printLine(stderr, problem);
        return 1;
    }
    if (o.verbose) traceOnStderr(*request);
    connect::SourceConnector connector(snapshot);
    scan::ScanRecord start;
    start.clearForScan();
    scan::HostScan result = scan::scanHost(connector, *request, std::move(start));
    if (result.error) {
        reportConnectFailure(*result.error, request->host, o.verbose);
        return 1;
    }
    if (o.verbose) {
        printLine(stderr, QStringLiteral("连接用时 %1 毫秒，检测用时 %2 毫秒")
                              .arg(result.connectTime.count())
                              .arg(result.scanTime.count()));
        for (const auto& p : result.problems) printLine(stderr, problemText(p));
    }
    // JSON is UTF-8 wherever it goes; the outline is text for the user, in the locale's
    // character set on a terminal, in a pipe and in a file alike.
    // The programs are read after the scan, from the answers the source has already gathered.
    const std::optional<cli::Programs> programs =
        (o.json || o.software) && result.service
            ? std::optional<cli::Programs>(cli::readPrograms(*result.service))
            : std::nullopt;
    if (o.json)
        print(stdout, cli::scanToJson(result.tree, result.record, programs ? &*programs : nullptr));
    else if (o.software)
        printText(stdout, cli::softwareTable(programs.value_or(cli::Programs{})));
    else
        printText(stdout, QString::fromUtf8(cli::scanToOutline(result.tree)));
    return afterScan(o, result.tree, result.record,
                     result.service ? result.service->answers() : nullptr);
}

}  // namespace qelto::cli
