// qelto-cli end to end: an archive created and filled from the command line, and a scan of a
// recorded machine written as a report and saved as a row.

#include "archive/archive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int status;
    QString err;
};

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
    if (!p.waitForFinished(60000)) return {-1, QStringLiteral("timeout")};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardError())};
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
             QStringLiteral("--report"), reports, QStringLiteral("--save"),
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

}  // namespace
