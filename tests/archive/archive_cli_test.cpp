// qelto-cli end to end: an archive created and filled from the command line, and a scan of a
// recorded machine written as a report and saved as a row.

#include "archive/archive.h"
#include "common/charset.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

struct CliRun {
    int status;
    QString err;
    QByteArray out;  // the tree is UTF-8 whatever the locale; messages on stdout are not
};

// The program's messages, written in GBK under zh_CN.GBK.
QString fromGbk(const QByteArray& bytes) {
    qsizetype bad = 0;
    const std::optional<QString> text = qelto::common::decodeStrictly(bytes, "GBK", bad);
    EXPECT_TRUE(text.has_value()) << "not GBK from byte " << bad << ": " << bytes.toStdString();
    return text.value_or(QString());
}

CliRun cli(const QStringList& args, const QString& dir, const QString& archiveEnv = QString()) {
    QProcess p;
    p.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir);
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("zh_CN.GBK"));
    if (archiveEnv.isEmpty())
        env.remove(QStringLiteral("QELTO_ARCHIVE"));
    else
        env.insert(QStringLiteral("QELTO_ARCHIVE"), archiveEnv);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI), args);
    if (!p.waitForFinished(60000)) return {-1, QStringLiteral("timeout"), {}};
    return {p.exitCode(), fromGbk(p.readAllStandardError()), p.readAllStandardOutput()};
}

TEST(ArchiveCli, InitFillSaveAndReport) {
    static int argc = 1;
    static char name[] = "archive_cli_test";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);  // for the SQL driver plugins
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("systeminfo.mdb"));
    const QString connstr = QStringLiteral("Data Source=") + db;

    EXPECT_EQ(cli({QStringLiteral("archive"), QStringLiteral("people"), QStringLiteral("add"),
                   QStringLiteral("a"), QStringLiteral("b")},
                  dir.path())
                  .status,
              1);  // no archive yet, and none is created
    EXPECT_FALSE(QFile::exists(db));
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("init")}, dir.path()).status, 0);
    ASSERT_TRUE(QFile::exists(db));  // the default: systeminfo.mdb in the current directory
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("people"), QStringLiteral("add"),
                   QStringLiteral("O'Brien"), QStringLiteral("张三")},
                  dir.path())
                  .status,
              0);
    EXPECT_EQ(qelto::archive::people(connstr, QStringLiteral("O'Brien")),
              QStringList{QStringLiteral("张三")});

    const QString reports = dir.filePath(QStringLiteral("reports"));
    ASSERT_TRUE(QDir().mkpath(reports));
    const CliRun scan =
        cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), QStringLiteral(QELTO_MACHINE),
             QStringLiteral("--report-dir"), reports, QStringLiteral("--save"),
             QStringLiteral("--department"), QStringLiteral("O'Brien"), QStringLiteral("--person"),
             QStringLiteral("张三")},
            dir.path(), connstr);
    ASSERT_EQ(scan.status, 0) << scan.err.toStdString();
    EXPECT_TRUE(scan.err.contains(QStringLiteral("导出完成，导出文件路径为：") + reports));
    EXPECT_TRUE(scan.err.contains(QStringLiteral("保存成功！")));

    // The report: GBK (from LC_ALL), CR LF, the header with "." for the host.
    const QStringList files = QDir(reports).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile report(QDir(reports).filePath(files[0]));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray bytes = report.readAll();
    EXPECT_TRUE(bytes.startsWith("\xbc\xec\xb2\xe2\xbc\xc6\xcb\xe3\xbb\xfa.\xc5\xe4\xd6\xc3"));
    EXPECT_TRUE(bytes.endsWith("QEL\xb9\xa4\xd7\xf7\xca\xd2\r\n"));
    EXPECT_EQ(bytes.count("\r\n"), bytes.count("\n"));

    // The row, with the computer named in the report's file name.
    auto rs = qelto::archive::opensql(connstr, QStringLiteral("select * from info"));
    ASSERT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(rs->Fields(QStringLiteral("部门")).Value().toString(), QStringLiteral("O'Brien"));
    EXPECT_EQ(rs->Fields(QStringLiteral("计算机名")).Value().toString() + QStringLiteral(".doc"),
              files[0]);
    EXPECT_TRUE(rs->Fields(QStringLiteral("硬盘容量")).Value().toString().endsWith(u"GB"));
    EXPECT_FALSE(rs->Fields(QStringLiteral("name")).Value().toString().isEmpty());

    // --save without its choices is a usage error, and nothing is stored.
    EXPECT_EQ(cli({QStringLiteral("scan"), QStringLiteral("--snapshot"),
                   QStringLiteral(QELTO_MACHINE), QStringLiteral("--save")},
                  dir.path(), connstr)
                  .status,
              2);
    EXPECT_EQ(qelto::archive::opensql(connstr, QStringLiteral("select * from info"))->RecordCount(),
              1);
}

TEST(ArchiveCli, ArchivesAndListsThatAreNotRegularFilesAreRefusedAndLeftAlone) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString empty = dir.filePath(QStringLiteral("empty.mdb"));
    {
        QFile f(empty);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString db = dir.filePath(QStringLiteral("a.mdb"));
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("init"), QStringLiteral("--archive"),
                   QStringLiteral("Data Source=") + db},
                  dir.path())
                  .status,
              0);
    const QStringList before =
        QDir(dir.path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    const auto archiveAt = [](const QString& file) -> QString {
        return QStringLiteral("Data Source=") + file;
    };
    const QStringList addTo = {QStringLiteral("archive"), QStringLiteral("people"),
                               QStringLiteral("add"),     QStringLiteral("甲"),
                               QStringLiteral("乙"),      QStringLiteral("--archive")};
    const struct {
        QStringList args;
        const char16_t* says;
    } cases[] = {
        {addTo + QStringList{archiveAt(fifo)}, u"不是普通文件"},
        {addTo + QStringList{archiveAt(QStringLiteral("/dev/null"))}, u"不是普通文件"},
        {addTo + QStringList{archiveAt(dir.path())}, u"不是普通文件"},
        {addTo + QStringList{archiveAt(empty)}, u"空文件"},
        {{QStringLiteral("archive"), QStringLiteral("init"), QStringLiteral("--archive"),
          archiveAt(QStringLiteral("/dev/null"))},
         u"不是普通文件"},
        {{QStringLiteral("archive"), QStringLiteral("people"), QStringLiteral("import"), fifo,
          QStringLiteral("--archive"), archiveAt(db)},
         u"不是普通文件"},
    };
    for (const auto& c : cases) {
        QElapsedTimer timer;
        timer.start();
        const CliRun r = cli(c.args, dir.path());
        EXPECT_EQ(r.status, 1) << c.args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(c.says))) << r.err.toStdString();
        EXPECT_LT(timer.elapsed(), 10000) << c.args.join(u' ').toStdString();
    }
    EXPECT_EQ(QDir(dir.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              before);
    EXPECT_EQ(QFileInfo(empty).size(), 0);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/dev/null-journal")));
}

TEST(ArchiveCli, PasswordsOnTheCommandLineAreWarnedAboutAndCanComeFromAFile) {
    // A server on a loopback port where nothing listens: the connection is refused at once.
    QTemporaryDir dir;
    const QString server =
        QStringLiteral("Provider=PostgreSQL;Host=127.0.0.2;Port=1;Database=qelto;User ID=it");
    const QString passwordFile = dir.filePath(QStringLiteral("password"));
    {
        QFile f(passwordFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("s3cret-file\n");
    }
    const struct {
        QStringList extra;
        bool warned;
    } cases[] = {
        {{QStringLiteral("--archive"), server + QStringLiteral(";Password=s3cret-line")}, true},
        {{QStringLiteral("--archive"), server, QStringLiteral("--archive-password-file"),
          passwordFile},
         false},
    };
    for (const auto& c : cases) {
        const CliRun r = cli(
            QStringList{QStringLiteral("archive"), QStringLiteral("init")} + c.extra, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(u"127.0.0.2")) << r.err.toStdString();
        EXPECT_EQ(r.err.contains(u"警告"), c.warned) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(u"s3cret")) << r.err.toStdString();
    }
}

TEST(ArchiveCli, NamesThatStartWithADashComeAfterTheEndOfOptions) {
    QTemporaryDir dir;
    const QString connstr = QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("a.mdb"));
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("init"), QStringLiteral("--archive"),
                   connstr},
                  dir.path())
                  .status,
              0);
    QFile csv(dir.filePath(QStringLiteral("-people.csv")));
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write("-部门,张三\n");
    csv.close();
    const CliRun r = cli(
        {QStringLiteral("archive"), QStringLiteral("people"), QStringLiteral("import"),
         QStringLiteral("--archive"), connstr, QStringLiteral("--"), QStringLiteral("-people.csv")},
        dir.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(qelto::archive::departments(connstr), QStringList{QStringLiteral("-部门")});
}

TEST(ArchiveCli, PeopleAreAddedOnceWithBothNamesFromArgumentsOrAGbkFile) {
    static int argc = 1;
    static char name[] = "archive_cli_test";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);  // for the SQL driver plugins
    QTemporaryDir dir;
    const QString connstr = QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("a.mdb"));
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("init")}, dir.path(), connstr).status,
              0);
    const struct {
        QStringList names;
        int status;
        const char16_t* says;
    } table[] = {
        {{QString(), QString()}, 2, u"不能为空"},
        {{QStringLiteral("财务部"), QStringLiteral(" ")}, 2, u"不能为空"},
        {{QStringLiteral("财务部"), QStringLiteral("张三")}, 0, u"已加入"},
        {{QStringLiteral("财务部"), QStringLiteral("张三")}, 0, u"已跳过"},
    };
    for (const auto& row : table) {
        const CliRun r = cli(QStringList{QStringLiteral("archive"), QStringLiteral("people"),
                                         QStringLiteral("add")} +
                                 row.names,
                             dir.path(), connstr);
        EXPECT_EQ(r.status, row.status) << row.names.join(u',').toStdString();
        EXPECT_TRUE(QString(fromGbk(r.out) + r.err).contains(QString::fromUtf16(row.says)))
            << r.err.toStdString();
    }
    // Names typed in a GBK terminal are GBK bytes: 信息部 李四.
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("zh_CN.GBK"));
    env.insert(QStringLiteral("QELTO_ARCHIVE"), connstr);
    shell.setProcessEnvironment(env);
    shell.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral(R"sh("$0" archive people add "$(printf '\320\305\317\242\262\277')" )sh"
                        R"sh("$(printf '\300\356\313\304')")sh"),
         QStringLiteral(QELTO_CLI)});
    ASSERT_TRUE(shell.waitForFinished(60000));
    EXPECT_EQ(shell.exitCode(), 0) << fromGbk(shell.readAllStandardError()).toStdString();

    // A list saved in GBK: one new pair, one already there, one without a person.
    QFile csv(dir.filePath(QStringLiteral("people.csv")));
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write(
        "\xb2\xbf\xc3\xc5,\xca\xb9\xd3\xc3\xc8\xcb\r\n"  // 部门,使用人
        "\xb2\xc6\xce\xf1\xb2\xbf,\xc0\xee\xcb\xc4\r\n"  // 财务部,李四
        "\xb2\xc6\xce\xf1\xb2\xbf,\xd5\xc5\xc8\xfd\r\n"  // 财务部,张三
        "\xb2\xc6\xce\xf1\xb2\xbf,\r\n");                // 财务部,
    csv.close();
    const CliRun r = cli({QStringLiteral("archive"), QStringLiteral("people"),
                          QStringLiteral("import"), csv.fileName()},
                         dir.path(), connstr);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    for (const char16_t* part :
         {u"已导入 1 个使用人", u"GBK", u"跳过 2 行", u"第 3 行", u"第 4 行"})
        EXPECT_TRUE(fromGbk(r.out).contains(QString::fromUtf16(part))) << r.out.toStdString();
    QStringList finance = qelto::archive::people(connstr, QStringLiteral("财务部"));
    finance.sort();
    EXPECT_EQ(finance, (QStringList{QStringLiteral("张三"), QStringLiteral("李四")}));
    EXPECT_EQ(qelto::archive::people(connstr, QStringLiteral("信息部")),
              QStringList{QStringLiteral("李四")});
    EXPECT_EQ(qelto::archive::opensql(connstr, QStringLiteral("select * from usep"))->RecordCount(),
              3);
}

}  // namespace
