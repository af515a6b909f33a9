// qelto-cli as a user runs it: exit status, stdout and stderr.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int status = -1;
    QString out, err;
};

CliRun cli(const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI), args);
    EXPECT_TRUE(p.waitForFinished(30000));
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
    const struct {
        QStringList args;
        int status;
        const char16_t* stderrHas;
    } table[] = {
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"),
          dir.filePath(QStringLiteral("missing.json"))},
         1,
         u"无法读取快照文件"},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"),
          write("bad.json", "{\n  \"a\": [1,\n}")},
         1,
         u"第 3 行第 1 列"},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot"), write("array.json", "[1, 2]")},
         1,
         u"顶层"},
        {{QStringLiteral("scan"), QStringLiteral("--snapshot")}, 2, u"--snapshot"},
        {{QStringLiteral("scan"), QStringLiteral("--bogus")}, 2, u"未知选项"},
        {{QStringLiteral("frobnicate")}, 2, u"未知命令"},
        // No name that would need a DNS lookup: tests send nothing off this machine.
        {{QStringLiteral("scan"), QStringLiteral("gopher://far.away.example")}, 1, u"连接失败"},
        {{QStringLiteral("scan"), QStringLiteral("https://127.0.0.2")}, 1, u"WS-Management"},
        {{QStringLiteral("scan"), QStringLiteral("ssh://127.0.0.2:0")}, 1, u"端口"},
    };
    for (const auto& row : table) {
        const CliRun r = cli(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(row.stderrHas)))
            << row.args.join(u' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
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

}  // namespace
