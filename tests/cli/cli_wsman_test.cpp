// qelto-cli against the tests' WS-Management listener: the same output as from the recorded
// machine's snapshot, its record in a dump, and certificate and password failures on stderr only.

#include "listener.h"
#include "ntlm_users.h"

#include "wmi/snapshot.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int status = -1;
    QByteArray out;
    QString err;
};

CliRun cli(const QStringList& args, const QString& password = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QELTO_CA_FILE"));
    if (password.isNull())
        env.remove(QStringLiteral("QELTO_PASSWORD"));
    else
        env.insert(QStringLiteral("QELTO_PASSWORD"), password);
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QStringLiteral(QELTO_CLI), args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), p.readAllStandardOutput(), QString::fromUtf8(p.readAllStandardError())};
}

const QString kMachine = QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json");

TEST(CliWsman, AWindowsHostScansAsItsSnapshotAndDumpsItsAnswers) {
    const QString user = QStringLiteral("PC09\\admin"), password = QStringLiteral("s3cret Ω");
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withBasic(user, password));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    const QStringList remote{listener.url(), QStringLiteral("--user"), user,
                             QStringLiteral("--ca-file"), listener.caFile()};

    const CliRun fromSnapshot = cli(
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), kMachine, QStringLiteral("--json")});
    const CliRun scanned =
        cli(QStringList{QStringLiteral("scan")} + remote + QStringList{QStringLiteral("--json")},
            password);
    ASSERT_EQ(scanned.status, 0) << scanned.err.toStdString();
    EXPECT_EQ(scanned.out, fromSnapshot.out);

    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("pc09.json"));
    const CliRun dumped =
        cli(QStringList{QStringLiteral("dump")} + remote + QStringList{QStringLiteral("-o"), dump},
            password);
    ASSERT_EQ(dumped.status, 0) << dumped.err.toStdString();
    const CliRun replayed =
        cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), dump, QStringLiteral("--json")});
    EXPECT_EQ(replayed.out, fromSnapshot.out);
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
}

// The HTTP listener as Windows has it by default: a local account over NTLM, every message sealed.
TEST(CliWsman, AWorkgroupHostOverSealedHttpScansAsItsSnapshot) {
    NtlmUsers users;
    if (!users.ok()) GTEST_SKIP() << users.error().toStdString();
    users.useEnvironment();  // Kerberos looks nothing up for the local account
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withSealing({}, users.file));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    const CliRun fromSnapshot = cli(
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), kMachine, QStringLiteral("--json")});
    const CliRun scanned = cli({QStringLiteral("scan"), listener.url(), QStringLiteral("--user"),
                                users.local.logon(), QStringLiteral("--json")},
                               users.local.password);
    ASSERT_EQ(scanned.status, 0) << scanned.err.toStdString();
    EXPECT_EQ(scanned.out, fromSnapshot.out);
    EXPECT_GT(listener.stats().sealed, 0);
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
}

TEST(CliWsman, FailuresLeaveStdoutEmpty) {
    const QString user = QStringLiteral("admin"), password = QStringLiteral("right");
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withBasic(user, password));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    struct Row {
        const char* what;
        QStringList args;
        QString password;
        const char16_t* stderrHas;
    } rows[] = {
        {"untrusted certificate",
         {listener.url(), QStringLiteral("--user"), user},
         password,
         u"SHA-256"},
        {"wrong password",
         {listener.url(), QStringLiteral("--user"), user, QStringLiteral("--ca-file"),
          listener.caFile()},
         QStringLiteral("wrong"),
         u"你输入的用户名或密码错误，无法连接远程主机"},
        {"wrong pin",
         {listener.url(), QStringLiteral("--user"), user, QStringLiteral("--pin-sha256"),
          QString(64, u'0')},
         password,
         u"SHA-256"},
    };
    for (const Row& row : rows) {
        const CliRun r = cli(QStringList{QStringLiteral("scan")} + row.args, row.password);
        EXPECT_EQ(r.status, 1) << row.what;
        EXPECT_TRUE(r.out.isEmpty()) << row.what;
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(row.stderrHas)))
            << row.what << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(password)) << row.what;
    }
}

}  // namespace
