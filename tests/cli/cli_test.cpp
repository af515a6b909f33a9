// qelto-cli as a user runs it: exit status, stdout and stderr.

#include "qelto_version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>
#include <vector>

namespace {

struct CliRun {
    int status = -1;
    QString out, err;
};

// Runs qelto-cli; `setUp` may change the process (its environment, its stdout, its limits)
// before it starts.
CliRun cli(const QStringList& args,
           const std::function<void(QProcess&, QProcessEnvironment&)>& setUp = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
    if (setUp) setUp(p, env);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI), args);
    EXPECT_TRUE(p.waitForFinished(30000)) << args.join(u' ').toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Runs a shell command line with $0 standing for qelto-cli: for arguments that are bytes rather
// than text (QProcess would convert them as UTF-8).
CliRun shell(const QString& commandLine, const QString& directory) {
    QProcess p;
    p.setWorkingDirectory(directory);
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), commandLine, QStringLiteral(QELTO_CLI)});
    EXPECT_TRUE(p.waitForFinished(30000)) << commandLine.toStdString();
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString machine(const char* name) {
    return QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/") + QString::fromUtf8(name);
}

TEST(Cli, JsonHasTheTreeAndTheTwentyFields) {
    const CliRun r = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"),
                          machine("desktop.json"), QStringLiteral("--json")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QJsonParseError error;
    const QJsonObject doc = QJsonDocument::fromJson(r.out.toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    const QJsonArray tree = doc[u"tree"].toArray();
    ASSERT_FALSE(tree.isEmpty());
    EXPECT_TRUE(tree[0].toObject()[u"parent"].isNull());
    EXPECT_EQ(tree[1].toObject()[u"parent"].toString(), u"C");
    const QJsonObject record = doc[u"record"].toObject();
    EXPECT_EQ(record.size(), 20);
    EXPECT_EQ(record[u"diskdrivesum"].toDouble(), 2512509124608.0);
    EXPECT_TRUE(record[u"dateuser"].isString());
    EXPECT_EQ(record[u"computername"].toString(), u"WS-0417");
}

// A recorded machine's programs come back as the table and as the JSON arrays; a machine
// recorded without them says so (null), and the scan itself is the same either way.
TEST(Cli, ProgramsOfARecordedMachineReplayAsTableAndJson) {
    QFile desktop(machine("desktop.json"));
    ASSERT_TRUE(desktop.open(QIODevice::ReadOnly));
    QJsonObject withPrograms = QJsonDocument::fromJson(desktop.readAll()).object();
    withPrograms[u"Qelto_Software"] =
        QJsonDocument::fromJson(
            R"([{"Name": "zlib1g", "Version": "1:1.2.13", "Architecture": "amd64", "Source": "dpkg",
             "Vendor": "Mark Brown", "InstallDate": null},
            {"Name": "firefox", "Version": "126.0-2", "Architecture": "amd64", "Source": "snap",
             "Vendor": null, "InstallDate": null}])")
            .array();
    withPrograms[u"Win32_QuickFixEngineering"] = QJsonArray();
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("programs.json")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(withPrograms).toJson());
    file.close();
    const QStringList scan{QStringLiteral("scan"), QStringLiteral("--snapshot")};
    const CliRun table = cli(scan + QStringList{file.fileName(), QStringLiteral("--software")});
    EXPECT_EQ(table.out.toStdString(),
              "名称     版本      架构   来源  发行者\n"
              "zlib1g   1:1.2.13  amd64  dpkg  Mark Brown\n"
              "firefox  126.0-2   amd64  snap\n"
              "共 2 个软件\n");
    const struct {
        QString snapshot;
        const char* software;  // the names, or "null"
        const char* updates;
    } cases[] = {{file.fileName(), "zlib1g firefox", "[]"},
                 {machine("desktop.json"), "null", "null"}};
    QJsonArray trees[2];
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const CliRun r = cli(scan + QStringList{cases[i].snapshot, QStringLiteral("--json")});
        const QJsonObject doc = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QStringList names;
        for (const QJsonValue& v : doc[u"software"].toArray())
            names << v.toObject()[u"Name"].toString();
        const QJsonValue updates = doc[u"updates"];
        EXPECT_EQ(doc[u"software"].isNull() ? "null" : names.join(u' ').toStdString(),
                  cases[i].software);
        EXPECT_EQ(
            updates.isNull()
                ? "null"
                : QJsonDocument(updates.toArray()).toJson(QJsonDocument::Compact).toStdString(),
            cases[i].updates);
        trees[i] = doc[u"tree"].toArray();
    }
    EXPECT_FALSE(trees[0].isEmpty());
    EXPECT_EQ(trees[0], trees[1]);
}

TEST(Cli, OutlineIndentsLinesUnderTheirCategory) {
    const CliRun r =
        cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), machine("container.json")});
    ASSERT_EQ(r.status, 0);
    const QStringList lines = r.out.split(u'\n');
    EXPECT_EQ(lines.value(0), u"正在检测计算机：ci-runner-7 的配置信息...");
    EXPECT_EQ(lines.value(1), u"  系统摘要");
    EXPECT_EQ(lines.value(2), u"    计算机名：ci-runner-7");
    EXPECT_TRUE(r.out.contains(u"\n  硬盘\n    1-名称：Virtio Block Device\n"));
}

TEST(Cli, BadInputsFailWithAClearMessage) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const char* name, const QByteArray& text) {
        QFile f(dir.filePath(QString::fromUtf8(name)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        return f.fileName();
    };
    const QString bad = write("bad.json", "{\n  \"a\": [1,\n}");
    const QString array = write("array.json", "[1, 2]");
    const struct {
        QStringList args;
        int status;
        QString stderrHas;
    } table[] = {
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"),
          dir.filePath(QStringLiteral("missing.json"))},
         1,
         QStringLiteral("无法读取快照文件")},
        // A malformed snapshot is named.
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), bad},
         1,
         QStringLiteral("快照文件“%1”第 3 行第 1 列").arg(bad)},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), array},
         1,
         QStringLiteral("快照文件“%1”的顶层").arg(array)},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot")}, 2, QStringLiteral("--snapshot")},
        // An empty file name is a usage error, not "this machine" or "the home folder".
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), QString()},
         2,
         QStringLiteral("不能为空")},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), machine("desktop.json"),
          QStringLiteral("--report-dir"), QString()},
         2,
         QStringLiteral("不能为空")},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), machine("desktop.json"),
          QStringLiteral("--report=")},
         2,
         QStringLiteral("不能为空")},
        {{QStringLiteral("dump"), QStringLiteral("-o"), QString()}, 2, QStringLiteral("不能为空")},
        {{QStringLiteral("scan"), QStringLiteral("--bogus")}, 2, QStringLiteral("未知选项")},
        {{QStringLiteral("frobnicate")}, 2, QStringLiteral("未知命令")},
        // No name that would need a DNS lookup: tests send nothing off this machine.
        {{QStringLiteral("scan"), QStringLiteral("gopher://far.away.example")},
         1,
         QStringLiteral("连接失败")},
        {{QStringLiteral("scan"), QStringLiteral("https://127.0.0.3:1")},
         1,
         QStringLiteral("不存在或没有开机")},
        {{QStringLiteral("scan"), QStringLiteral("http://127.0.0.3")},
         1,
         QStringLiteral("不存在或没有开机")},
        {{QStringLiteral("scan"), QStringLiteral("ssh://127.0.0.2:0")}, 1, QStringLiteral("端口")},
    };
    for (const auto& row : table) {
        const CliRun r = cli(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(row.stderrHas))
            << row.args.join(u' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

// probe's hint for a host that did not answer names the road and the port that were typed: a
// scheme's road alone, every road for a bare host (loopback ports where nothing listens).
TEST(Cli, ProbeHintsFollowTheTypedRoadAndPort) {
    const struct {
        const char* host;
        std::vector<const char*> has, hasNot;
    } table[] = {
        {"ssh://127.0.0.3:1", {"sshd", "放行 1 端口"}, {"winrm", "5985", "22 端口"}},
        {"ada@127.0.0.3:1", {"sshd", "放行 1 端口"}, {"winrm", "5986"}},
        {"https://127.0.0.3:1", {"winrm", "放行 1 端口"}, {"sshd", "5986"}},
        {"http://127.0.0.3", {"winrm", "5985（HTTP）端口"}, {"sshd", "5986"}},
        {"127.0.0.3:1", {"winrm", "sshd", "放行 1 端口"}, {"5985", "22 端口", "DCOM"}},
        {"dcom://127.0.0.3:1", {"DCOM", "放行 1 端口"}, {"winrm", "sshd", "135"}},
    };
    for (const auto& row : table) {
        const CliRun r = cli({QStringLiteral("probe"), QStringLiteral("--connect-timeout"),
                              QStringLiteral("5"), QString::fromUtf8(row.host)});
        EXPECT_EQ(r.status, 1) << row.host;
        const QString hint = r.err.section(QStringLiteral("提示："), 1);
        for (const char* text : row.has)
            EXPECT_TRUE(hint.contains(QString::fromUtf8(text)))
                << row.host << ": " << r.err.toStdString();
        for (const char* text : row.hasNot)
            EXPECT_FALSE(hint.contains(QString::fromUtf8(text)))
                << row.host << ": " << r.err.toStdString();
    }
}

TEST(Cli, EmptyComputerSystemStillRuns) {
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("empty.json")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"Win32_ComputerSystem": [], "Win32_BIOS": [{"Name": "X"}]})");
    f.close();
    const CliRun r = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), f.fileName(),
                          QStringLiteral("--json")});
    EXPECT_EQ(r.status, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_TRUE(doc[u"tree"].toArray().isEmpty());
    EXPECT_EQ(doc[u"record"].toObject()[u"datebios"].toString(), u"X");
}

// --- hostile files and outputs -----------------------------------------------------------

TEST(Cli, AFailedWriteToStdoutIsAnError) {
    if (!QFileInfo::exists(QStringLiteral("/dev/full"))) GTEST_SKIP() << "no /dev/full here";
    const QStringList cases[] = {
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), machine("desktop.json"),
         QStringLiteral("--json")},
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), machine("desktop.json")},
        {QStringLiteral("dump")},
        {QStringLiteral("scan"), QStringLiteral("--help")},
    };
    for (const QStringList& args : cases) {
        const CliRun r = cli(args, [](QProcess& p, QProcessEnvironment&) {
            p.setStandardOutputFile(QStringLiteral("/dev/full"));
        });
        EXPECT_EQ(r.status, 1) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(u"无法写入标准输出")) << r.err.toStdString();
    }
}

TEST(Cli, DumpOnAFullDiskKeepsTheOldFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs as a full disk";
    QTemporaryDir mountPoint;
    const QByteArray where = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray where;
        ~Unmount() { ::umount(where.constData()); }
    } unmount{where};
    const QString old = mountPoint.filePath(QStringLiteral("old.json"));
    {
        QFile f(old);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write("{}\n"), 3);
        f.close();
        QFile filler(mountPoint.filePath(QStringLiteral("filler")));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        for (int i = 0; i < 64 && filler.write(block) == block.size(); ++i) {
        }
    }
    const CliRun r = cli({QStringLiteral("dump"), QStringLiteral("-o"), old});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(u"无法写入文件")) << r.err.toStdString();
    QFile f(old);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("{}\n"));
    EXPECT_EQ(QDir(mountPoint.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST(Cli, SnapshotsThatAreNotRegularFilesOrTooLargeAreRefusedAtOnce) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo.json"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = dir.filePath(QStringLiteral("huge.json"));
    {
        QFile f(huge);  // sparse: the size is what counts
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(64) * 1024 * 1024 + 1));
    }
    const struct {
        QString file;
        const char16_t* reason;
    } cases[] = {
        {fifo, u"不是普通文件"},
        {QStringLiteral("/dev/zero"), u"不是普通文件"},
        {dir.path(), u"文件夹"},
        {huge, u"上限"},
    };
    for (const auto& c : cases) {
        QElapsedTimer timer;
        timer.start();
        const CliRun r = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), c.file});
        EXPECT_EQ(r.status, 1) << c.file.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(c.reason))) << r.err.toStdString();
        EXPECT_LT(timer.elapsed(), 10000) << c.file.toStdString();
    }
}

TEST(Cli, RunningOutOfMemoryIsReportedNotAnAbort) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
#endif
    // About 20 MiB of instances: several hundred MiB once parsed, beyond a 256 MiB address space.
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("many.json")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{\"Win32_Process\": [\n");
    const QByteArray instance =
        R"({"Name": "xxxxxxxxxxxxxxxxxxxx", "Size": 123456789, "Flag": true, "Arr": [1, 2, 3]},)"
        "\n";
    for (int i = 0; i < 20 * 1024 * 1024 / instance.size(); ++i) f.write(instance);
    f.write("{}]}\n");
    f.close();
    const CliRun r = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), f.fileName()},
                         [](QProcess& p, QProcessEnvironment&) {
                             p.setChildProcessModifier([] {
                                 const rlimit limit{256u << 20, 256u << 20};
                                 ::setrlimit(RLIMIT_AS, &limit);
                             });
                         });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(u"内存不足")) << r.err.toStdString();
}

TEST(Cli, ControlCharactersInValuesStayOnTheirLine) {
    QFile source(machine("container.json"));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    QByteArray json = source.readAll();
    ASSERT_TRUE(json.contains(R"("workgroup": "WORKGROUP")"));
    json.replace(R"("workgroup": "WORKGROUP")", R"("workgroup": "A\r\n    伪造：1\u2028B\u0085C")");
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("forged.json")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(json);
    f.close();
    const CliRun r = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), f.fileName()});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(u"\n    工作组：A      伪造：1 B C\n")) << r.out.toStdString();
    for (const QString& line : r.out.split(u'\n'))
        EXPECT_FALSE(line.trimmed().startsWith(u"伪造")) << line.toStdString();
}

TEST(Cli, QtsOwnMessagesReachStderrOnlyWithVerbose) {
    // QT_DEBUG_PLUGINS makes Qt talk about every plugin it loads (here: the SQL drivers).
    QTemporaryDir dir;
    const QString connstr =
        QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("systeminfo.mdb"));
    for (const bool verbose : {false, true}) {
        QStringList args = {QStringLiteral("scan"),         QStringLiteral("--snapshot"),
                            machine("desktop.json"),        QStringLiteral("--save"),
                            QStringLiteral("--department"), QStringLiteral("甲"),
                            QStringLiteral("--person"),     QStringLiteral("乙"),
                            QStringLiteral("--archive"),    connstr};
        if (verbose) args << QStringLiteral("--verbose");
        const CliRun r = cli(args, [](QProcess&, QProcessEnvironment& env) {
            env.insert(QStringLiteral("QT_DEBUG_PLUGINS"), QStringLiteral("1"));
        });
        EXPECT_EQ(r.status, 1);  // no archive there
        EXPECT_EQ(r.err.contains(u"qt.core.plugin"), verbose) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(u"保存失败")) << r.err.toStdString();
    }
}

TEST(Cli, FileNamesArePassedOnByteForByte) {
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy(machine("desktop.json"), dir.filePath(QStringLiteral("m.json"))));
    // A snapshot and a report folder whose names are not UTF-8, and names that start with "-".
    const QByteArray folder = QFile::encodeName(dir.path());
    const auto at = [&](const char* name) { return QByteArray(folder + '/' + name); };
    ASSERT_EQ(::rename(at("m.json").constData(), at("\xff\xfe.json").constData()), 0);
    ASSERT_EQ(::mkdir(at("r\xff").constData(), 0700), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("-r")));
    const CliRun bytes =
        shell(QStringLiteral(R"sh("$0" scan --snapshot "$(printf '\377\376.json')" )sh"
                             R"sh(--report-dir "$(printf 'r\377')" && )sh"
                             R"sh("$0" scan --snapshot "$(printf '\377\376.json')" )sh"
                             R"sh(--report=-r && )sh"
                             R"sh("$0" dump -o "$(printf '\377\376-this.json')")sh"),
              dir.path());
    ASSERT_EQ(bytes.status, 0) << bytes.err.toStdString();
    EXPECT_EQ(::access(at("r\xff/WS-0417.doc").constData(), F_OK), 0);
    EXPECT_EQ(::access(at("-r/WS-0417.doc").constData(), F_OK), 0);
    EXPECT_EQ(::access(at("\xff\xfe-this.json").constData(), F_OK), 0);
}

// --- help, version, the report folder and the terminal's character set --------------------

TEST(Cli, HelpGoesToStdoutAndUsageErrorsToStderr) {
    const struct {
        QStringList args;
        int status;
        const char16_t* says;  // on stdout for status 0, else on stderr
    } table[] = {
        {{QStringLiteral("--help")}, 0, u"用法：qelto-cli <命令>"},
        {{QStringLiteral("-h")}, 0, u"用法：qelto-cli <命令>"},
        {{QStringLiteral("help")}, 0, u"用法：qelto-cli <命令>"},
        {{QStringLiteral("help"), QStringLiteral("dump")}, 0, u"用法：qelto-cli dump"},
        {{QStringLiteral("scan"), QStringLiteral("--help")}, 0, u"用法：qelto-cli scan"},
        {{QStringLiteral("dump"), QStringLiteral("-h")}, 0, u"用法：qelto-cli dump"},
        {{QStringLiteral("archive"), QStringLiteral("--help")}, 0, u"用法：qelto-cli archive"},
        {{}, 2, u"用法：qelto-cli <命令>"},
        {{QStringLiteral("help"), QStringLiteral("frobnicate")}, 2, u"未知命令：frobnicate"},
        {{QStringLiteral("dump"), QStringLiteral("--bogus")}, 2, u"用法：qelto-cli dump"},
        {{QStringLiteral("archive"), QStringLiteral("people")}, 2, u"用法：qelto-cli archive"},
    };
    for (const auto& row : table) {
        const CliRun r = cli(row.args);
        const std::string label = row.args.join(u' ').toStdString();
        EXPECT_EQ(r.status, row.status) << label;
        const QString& said = row.status == 0 ? r.out : r.err;
        const QString& silent = row.status == 0 ? r.err : r.out;
        EXPECT_TRUE(said.contains(QString::fromUtf16(row.says)))
            << label << ": " << said.toStdString();
        EXPECT_TRUE(silent.isEmpty()) << label << ": " << silent.toStdString();
    }
}

TEST(Cli, VersionComesFromTheBuild) {
    for (const QString& option : {QStringLiteral("--version"), QStringLiteral("-V")}) {
        const CliRun r = cli({option});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, QStringLiteral("qelto-cli " QELTO_VERSION "\n"));
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    }
}

TEST(Cli, ReportAloneTakesNoValueSoTheHostStaysTheHost) {
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("out")));
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("-out")));
    const QString host = QStringLiteral("127.0.0.1");  // answered by the snapshot
    const struct {
        QStringList options;
        const char* folder;  // where the report lands, under home
    } table[] = {
        {{QStringLiteral("--report"), host}, "."},
        {{host, QStringLiteral("--report")}, "."},
        {{QStringLiteral("--report-dir"), QStringLiteral("out"), host}, "out"},
        {{QStringLiteral("--report-dir"), QStringLiteral("-out")}, "-out"},
        {{QStringLiteral("--report=out")}, "out"},
    };
    for (const auto& row : table) {
        const std::string label = row.options.join(u' ').toStdString();
        const CliRun r = cli(QStringList{QStringLiteral("scan"), QStringLiteral("--snapshot"),
                                         machine("desktop.json")} +
                                 row.options,
                             [&](QProcess& p, QProcessEnvironment& env) {
                                 p.setWorkingDirectory(home.path());
                                 env.insert(QStringLiteral("HOME"), home.path());
                             });
        ASSERT_EQ(r.status, 0) << label << ": " << r.err.toStdString();
        int reports = 0;
        for (const char* folder : {".", "out", "-out"}) {
            QFile report(QDir(home.path())
                             .filePath(QString::fromUtf8(folder) + QStringLiteral("/WS-0417.doc")));
            if (!report.exists()) continue;
            ++reports;
            EXPECT_EQ(qstrcmp(folder, row.folder), 0) << label << ": written to " << folder;
            report.remove();
        }
        EXPECT_EQ(reports, 1) << label;
    }
}

TEST(Cli, MessagesFollowTheLocalesCharacterSet) {
    // The locale need not be generated: as for the report, its name decides the character set.
    QTemporaryDir dir;
    const struct {
        const char* commandLine;  // $0 is qelto-cli
        bool onStdout;
        QByteArray has;
    } table[] = {
        {R"sh(LC_ALL=zh_CN.GBK "$0" scan --bogus)sh", false, "\xce\xb4\xd6\xaa\xd1\xa1\xcf\xee"},
        {R"sh(LC_ALL=zh_CN.GBK "$0" --help)sh", true, "\xd3\xc3\xb7\xa8"},
        // A file name typed in the locale's own character set comes back byte for byte.
        {R"sh(LC_ALL= LC_CTYPE=zh_CN.GBK "$0" scan --snapshot "$(printf '\277\354\325\325.json')")sh",
         false,
         "\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xbf\xec\xd5\xd5\xce\xc4\xbc\xfe \xbf\xec\xd5\xd5.json"},
        {R"sh(LC_ALL=C.UTF-8 "$0" scan --bogus)sh", false, QStringLiteral("未知选项").toUtf8()},
    };
    for (const auto& row : table) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QString::fromUtf8(row.commandLine), QStringLiteral(QELTO_CLI)});
        ASSERT_TRUE(p.waitForFinished(30000)) << row.commandLine;
        const QByteArray out = row.onStdout ? p.readAllStandardOutput() : p.readAllStandardError();
        EXPECT_TRUE(out.contains(row.has))
            << row.commandLine << ": " << out.toHex(' ').toStdString();
    }
}

// A signal while the password is asked on a terminal leaves the terminal with its echo back on;
// a stop too, so that the shell the user returns to echoes.
TEST(Cli, ThePasswordPromptGivesTheEchoBackOnASignal) {
    for (const int sig : {SIGINT, SIGTERM, SIGTSTP}) {
        SCOPED_TRACE(::strsignal(sig));
        int master = -1, slave = -1;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A process group of its own in this session: a stop is not discarded as it would be
            // in an orphaned group.
            ::setpgid(0, 0);
            ::dup2(slave, STDIN_FILENO);
            ::dup2(slave, STDERR_FILENO);
            ::unsetenv("QELTO_PASSWORD");
            ::execl(QELTO_CLI, QELTO_CLI, "scan", "--user", "u", "ssh://127.0.0.1:1", nullptr);
            ::_exit(127);
        }
        ::close(slave);
        const auto echoing = [&] {
            termios t{};
            return ::tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO);
        };
        QByteArray seen;
        QElapsedTimer waited;
        waited.start();
        while (!seen.contains(QStringLiteral("密码").toUtf8()) && waited.elapsed() < 20000) {
            pollfd p{master, POLLIN, 0};
            char buf[256];
            if (::poll(&p, 1, 100) == 1) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0) break;
                seen.append(buf, n);
            }
        }
        EXPECT_TRUE(seen.contains(QStringLiteral("密码").toUtf8())) << seen.toStdString();
        EXPECT_FALSE(echoing());  // asking
        ::kill(pid, sig);
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 200 && done == 0; ++i) {
            done = ::waitpid(pid, &status, WNOHANG | WUNTRACED);
            if (done == 0) ::usleep(50000);
        }
        EXPECT_EQ(done, pid);
        EXPECT_TRUE(sig == SIGTSTP ? WIFSTOPPED(status) : WIFSIGNALED(status));
        EXPECT_TRUE(echoing());
        if (done != pid || WIFSTOPPED(status)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        ::close(master);
    }
}

// A PostgreSQL server that asks every client for a password (and never gets further): enough for
// libpq to fail with "no password supplied" when it has none.
class PasswordAskingServer {
  public:
    PasswordAskingServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), n) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (int c; (c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                // Each message: length, then a code. SSL and GSS encryption requests get "N";
                // the start-up message gets AuthenticationCleartextPassword.
                unsigned char head[8];
                while (::recv(c, head, 8, MSG_WAITALL) == 8) {
                    const quint32 length =
                        quint32(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
                    if (length == 8) {
                        ::send(c, "N", 1, MSG_NOSIGNAL);
                        continue;
                    }
                    std::vector<char> rest(length > 8 && length < 10000 ? length - 8 : 0);
                    if (!rest.empty()) ::recv(c, rest.data(), rest.size(), MSG_WAITALL);
                    ::send(c, "R\0\0\0\x08\0\0\0\x03", 9, MSG_NOSIGNAL);
                }
                ::close(c);
            }
        });
    }
    ~PasswordAskingServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

TEST(Cli, MessagesAndOutputsAgreeWhereverTheyGoInEveryLocale) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A GBK locale that really exists (so that the C library speaks Chinese in GBK) where
    // localedef can make one; else the name alone, which still decides the character set.
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"),
                    {QStringLiteral("-i"), QStringLiteral("zh_CN"), QStringLiteral("-f"),
                     QStringLiteral("GBK"), dir.filePath(QStringLiteral("zh_CN.GBK"))});
    const bool generated = localedef.waitForFinished(60000) && localedef.exitCode() == 0;
    if (!generated) std::cout << "NOTE: no localedef here; zh_CN.GBK is a name only\n";
    QFile suppressions(dir.filePath(QStringLiteral("lsan")));
    ASSERT_TRUE(suppressions.open(QIODevice::WriteOnly));
    suppressions.write("leak:__argz_add_sep\n");
    suppressions.close();
    PasswordAskingServer server;
    ASSERT_NE(server.port(), 0);
    const QString m = machine("desktop.json");
    const QString lost = QString(70, u'x') + QStringLiteral(".example");  // fails before any query
    const struct {
        QString commandLine;  // bash; $0 is qelto-cli
        int status;
        const char* out;  // a pattern the decoded stdout matches (empty: stdout is empty)
        const char* err;  // the same for stderr
        bool utf8;        // stdout is UTF-8 whatever the locale (JSON)
    } table[] = {
        // The outline into a pipe is text in the locale's character set, as on a terminal; JSON
        // stays UTF-8.
        {QStringLiteral("\"$0\" scan --snapshot %1").arg(m), 0, "\n  系统摘要\n", "", false},
        {QStringLiteral("\"$0\" scan --snapshot %1 --json").arg(m), 0, "\"计算机名：", "", true},
        // A reader that leaves early ends nothing in an error.
        {QStringLiteral("\"$0\" scan --snapshot %1 --json | true; exit ${PIPESTATUS[0]}").arg(m), 0,
         "", "", false},
        // A system error in the locale's own words and character set.
        {QStringLiteral("\"$0\" --version >/dev/full"), 1, "", "^无法写入标准输出：[^?]+\n$",
         false},
        {QStringLiteral("\"$0\" scan --help"), 0, "\n  -v, --verbose ", "", false},
        // A bare name that does not resolve is said so, as for its ssh:// form.
        {QStringLiteral("\"$0\" scan %1").arg(lost), 1, "", "这个名字无法解析", false},
        {QStringLiteral("\"$0\" scan ssh://%1").arg(lost), 1, "", "这个名字无法解析", false},
        // Nothing found is status 1 in history as in show.
        {QStringLiteral("\"$0\" archive init >/dev/null 2>&1; \"$0\" archive history NOSUCH"), 1,
         "", "没有计算机 NOSUCH", false},
        {QStringLiteral("\"$0\" archive init >/dev/null 2>&1; \"$0\" archive show 99"), 1, "", "99",
         false},
        {QStringLiteral("\"$0\" archive history PC --archive "
                        "'Provider=PostgreSQL;Host=127.0.0.1;Port=%1;Database=d;User ID=u'")
             .arg(server.port()),
         1, "", "QELTO_ARCHIVE_PASSWORD.*--archive-password-file", false},
        // Report names without ":" and "@"; a blank between the header's date and time.
        {QStringLiteral("mkdir r; \"$0\" scan --snapshot %1 ssh://alice@127.0.0.7:2207 127.0.0.8 "
                        "--report-dir r >/dev/null 2>&1; ls r; rm -r r")
             .arg(m),
         0, "^WS-0417-127.0.0.8.doc\nWS-0417-ssh-alice-127.0.0.7-2207.doc\n$", "", false},
        {QStringLiteral("\"$0\" scan --snapshot %1 --report-dir . 2>/dev/null >&2; head -n 1 "
                        "WS-0417.doc")
             .arg(m),
         0, "检测时间是：.*[0-9] [0-9]{1,2}:[0-9]{2}:[0-9]{2}", "", false},
    };
    for (const char* locale : {"C.UTF-8", "zh_CN.GBK"}) {
        const bool gbk = qstrcmp(locale, "zh_CN.GBK") == 0;
        for (const auto& row : table) {
            const std::string label = std::string(locale) + ": " + row.commandLine.toStdString();
            QProcess p;
            p.setWorkingDirectory(dir.path());
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
            env.insert(QStringLiteral("QELTO_ARCHIVE"), QStringLiteral("Data Source=a.mdb"));
            env.remove(QStringLiteral("QELTO_ARCHIVE_PASSWORD"));
            if (generated && gbk) {
                env.insert(QStringLiteral("LOCPATH"), dir.path());
                // setlocale keeps the LOCPATH it read for the life of the process (glibc).
                env.insert(QStringLiteral("LSAN_OPTIONS"),
                           QStringLiteral("print_suppressions=0:suppressions=") +
                               dir.filePath(QStringLiteral("lsan")));
            }
            p.setProcessEnvironment(env);
            p.start(QStringLiteral("/bin/bash"),
                    {QStringLiteral("-c"), row.commandLine, QStringLiteral(QELTO_CLI)});
            ASSERT_TRUE(p.waitForFinished(30000)) << label;
            const auto decoded = [&](const QByteArray& bytes, bool utf8) {
                if (!gbk || utf8) return QString::fromUtf8(bytes);
                QProcess iconv;
                iconv.start(QStringLiteral("iconv"),
                            {QStringLiteral("-f"), QStringLiteral("GBK"), QStringLiteral("-t"),
                             QStringLiteral("UTF-8")});
                iconv.write(bytes);
                iconv.closeWriteChannel();
                iconv.waitForFinished();
                return iconv.exitCode() == 0 ? QString::fromUtf8(iconv.readAllStandardOutput())
                                             : QStringLiteral("(not GBK)");
            };
            const QString out = decoded(p.readAllStandardOutput(), row.utf8);
            const QString err = decoded(p.readAllStandardError(), false);
            EXPECT_EQ(p.exitCode(), row.status) << label << ": " << err.toStdString();
            for (const auto& [text, pattern] : {std::pair{out, row.out}, std::pair{err, row.err}}) {
                if (*pattern == 0)
                    EXPECT_TRUE(text.isEmpty()) << label << ": " << text.toStdString();
                else
                    EXPECT_TRUE(
                        QRegularExpression(QString::fromUtf8(pattern)).match(text).hasMatch())
                        << label << ": " << text.toStdString();
            }
        }
    }
}

}  // namespace
