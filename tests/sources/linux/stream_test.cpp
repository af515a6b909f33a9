// The gathered data as a stream: encoding and decoding give back the same gathering, the script
// run by real shells gives what the local gatherer gives, and broken streams are told apart.

#include "sources/linux/stream.h"
#include "sources/linux/gather.h"
#include "sources/linux/local.h"
#include "sources/linux/source.h"
#include "support/accounts_stamp.h"
#include "wmi/snapshot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace qelto::test {
namespace {

using wmi::lnx::Gathered;
using wmi::lnx::StreamError;

const QString kData = QStringLiteral(QELTO_TEST_DATA);

QByteArray sortedLines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    std::sort(lines.begin(), lines.end());
    return lines.join('\n');
}

// What differs between two gatherings, one line each, for the paths and probes `keep` accepts.
// Folder entries, and the answers of addresses and listening, are compared as sets.
QStringList differences(const Gathered& a, const Gathered& b,
                        const std::function<bool(const QString&)>& keep = {}) {
    QStringList out;
    const auto compare = [&](const char* what, const auto& x, const auto& y, auto same) {
        QSet<QString> keys;
        for (auto it = x.cbegin(); it != x.cend(); ++it) keys.insert(it.key());
        for (auto it = y.cbegin(); it != y.cend(); ++it) keys.insert(it.key());
        for (const QString& k : keys)
            if ((!keep || keep(k)) && (!x.contains(k) || !y.contains(k) || !same(k, x[k], y[k])))
                out << QLatin1String(what) + u' ' + k;
    };
    const auto equal = [](const QString&, const auto& p, const auto& q) { return p == q; };
    compare("file", a.files(), b.files(), equal);
    compare("error", a.errors(), b.errors(), equal);
    compare("link", a.links(), b.links(), equal);
    compare("list", a.lists(), b.lists(), [](const QString&, QStringList p, QStringList q) {
        p.sort();
        q.sort();
        return p == q;
    });
    compare("probe", a.probes(), b.probes(), [](const QString& k, const auto& p, const auto& q) {
        return k == u"addresses" || k == u"listening" ? sortedLines(p) == sortedLines(q) : p == q;
    });
    for (const auto& [what, x, y] :
         {std::tuple{"dir", a.dirs(), b.dirs()}, std::tuple{"present", a.present(), b.present()}})
        for (const QString& k : (x | y) - (x & y))
            if (!keep || keep(k)) out << QLatin1String(what) + u' ' + k;
    return out;
}

std::string joined(const QStringList& l) {
    return l.join(u'\n').toStdString();
}

QByteArray snapshotOf(const Gathered& g) {
    return wmi::writeSnapshot(*wmi::lnx::buildStore(g));
}

// ---------------------------------------------------------------------------------------------

class RoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(RoundTrip, DecodingTheEncodedGatheringGivesItBack) {
    const QString root = QLatin1String(GetParam()) == u"live"
                             ? QStringLiteral("/")
                             : kData + QStringLiteral("/machines/") + QLatin1String(GetParam());
    const Gathered g = wmi::lnx::gatherLocal(wmi::lnx::linuxPlan(), root);
    ASSERT_FALSE(g.files().isEmpty());
    const QByteArray boundary = wmi::lnx::newBoundary();
    const Gathered back = wmi::lnx::decodeGathered(wmi::lnx::encodeGathered(g, boundary), boundary);
    EXPECT_EQ(joined(differences(g, back)), "");
    EXPECT_EQ(snapshotOf(g), snapshotOf(back));
}

INSTANTIATE_TEST_SUITE_P(Machines, RoundTrip,
                         testing::Values("live", "desktop", "laptop", "minimal", "server"));

// ---------------------------------------------------------------------------------------------
// The script, run by the shells of this machine.

struct Shell {
    const char* name;
    QStringList argv;  // the command that starts the shell
};

// Runs the script as "sh -s" after a login shell printed noise (the boundary of another run, a
// greeting, binary bytes); returns the standard output.
QByteArray runScript(const Shell& shell, const QByteArray& script) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOISE"), QStringLiteral("Welcome!\n0123456789abcdef0123456789abcdef "
                                                       "qelto-gather 1\n\x01\xff end\n"));
    p.setProcessEnvironment(env);
    QStringList args = shell.argv.mid(1);
    args << QStringLiteral("-c") << QStringLiteral("printf '%s' \"$NOISE\"; exec \"$@\" -s")
         << QStringLiteral("login") << shell.argv;
    p.start(shell.argv[0], args);
    p.write(script);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(60000));
    return p.readAllStandardOutput();
}

void PrintTo(const Shell& shell, std::ostream* os) {
    *os << shell.name;
}

class Script : public testing::TestWithParam<Shell> {
  protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(GetParam().argv[0]).isEmpty())
            GTEST_SKIP() << GetParam().argv[0].toStdString() << " is not installed";
    }
};

// What changes from one moment to the next on a running machine.
bool stable(const QString& key) {
    static const QStringList volatileKeys{
        QStringLiteral("/proc/stat"),    QStringLiteral("/proc/loadavg"),
        QStringLiteral("/proc/meminfo"), QStringLiteral("/proc/cpuinfo"),
        QStringLiteral("/proc"),         QStringLiteral("clock"),
        QStringLiteral("/run/utmp"),     QStringLiteral("listening")};
    return !volatileKeys.contains(key) && !key.endsWith(u"/scaling_cur_freq");
}

TEST_P(Script, GathersThisMachineAsTheLocalGathererDoes) {
    const auto& plan = wmi::lnx::linuxPlan();
    const QByteArray boundary = wmi::lnx::newBoundary();
    const QByteArray script = wmi::lnx::remoteScript(plan, boundary, false);
    EXPECT_LT(script.size(), 100 * 1024);
    const Gathered before = wmi::lnx::gatherLocal(plan);
    // Throwaway accounts of tests running beside this one come and go: the account databases are
    // compared when they held still around the two looks (a few tries), and left out otherwise.
    QByteArray stream;
    Gathered remote, local;
    const bool still = qelto::test::lookWhileAccountsHoldStill([&] {
        stream = runScript(GetParam(), script);
        remote = wmi::lnx::decodeGathered(stream, boundary);
        local = wmi::lnx::gatherLocal(plan);
    });
    // Other programs open and close ports meanwhile: those open before and after must be there.
    const auto ports = [](const Gathered& g) {
        const QList<QByteArray> lines =
            g.probe(QStringLiteral("listening")).value_or("").split('\n');
        return QSet<QByteArray>(lines.begin(), lines.end());
    };
    const QSet<QByteArray> open = ports(before) & ports(local);
    EXPECT_TRUE((open - ports(remote)).isEmpty());
    // The id databases are never fetched: they come from this machine.
    EXPECT_EQ(remote.file(plan.lookups[0][0]) || remote.file(plan.lookups[0][1]), false);
    wmi::lnx::addLocalLookups(plan, remote);
    const auto compared = [&](const QString& k) {
        return stable(k) &&
               (still || std::ranges::find(qelto::test::kAccountFiles, k.toStdString()) ==
                             qelto::test::kAccountFiles.end());
    };
    EXPECT_EQ(joined(differences(local, remote, compared)), "");
    EXPECT_EQ(remote.exists(QStringLiteral("/etc/krb5.keytab")),
              QFile::exists(QStringLiteral("/etc/krb5.keytab")));

    // The password hashes never leave the machine, whoever reads them.
    QFile shadow(QStringLiteral("/etc/shadow"));
    if (::geteuid() != 0 || !shadow.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "the password hashes need root";
    const QByteArray hashes = shadow.readAll();
    ASSERT_NE(remote.file(QStringLiteral("/etc/shadow")), nullptr);
    EXPECT_FALSE(remote.text(QStringLiteral("/etc/shadow")).contains('$'));
    for (const QByteArray& line : hashes.split('\n'))
        if (const QByteArray hash = line.split(':').value(1); hash.size() > 2) {
            EXPECT_FALSE(stream.contains(hash)) << line.split(':').value(0).toStdString();
        }
}

// A plan over a folder of awkward names and contents, so that the two gatherers can be compared
// on what this machine's own files do not hold.
TEST_P(Script, GathersAwkwardFilesAsTheLocalGathererDoes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString d = dir.path();
    const auto write = [&](const QString& name, const QByteArray& content) {
        QFile f(d + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    };
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) bytes += char(i);
    bytes += QByteArray(3, '\0') + "\n" + wmi::lnx::newBoundary() + " c\n";
    write(QStringLiteral("all bytes"), bytes);
    write(QStringLiteral("it's \"$HOME\" `x` \\ ; & | # ~"), "quoted\n");
    write(QStringLiteral("star*[1]?"), "pattern characters\n");
    write(QStringLiteral("empty"), {});
    write(QStringLiteral("big"), QByteArray(8 * 1024 * 1024 + 10, 'x'));
    write(QStringLiteral(".hidden"), "h");
    write(QStringLiteral("shadow"),
          "root:$6$salt$hash:19000:0:99999:7:::\nlocked:!$6$x$y:19000::::::\n"
          "star:*:19000:0:99999:7::1:\nnopass::1::::::\nodd\n:$1$a$b:\nlast:!:1:::::7");
    write(QStringLiteral("keytab"), "secret keys");
    write(QStringLiteral("line\nbreak"), "cannot be listed");
    QDir(d).mkpath(QStringLiteral("sub/deeper"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(d + QStringLiteral("/fifo")).constData(), 0600), 0);
    QFile::link(d + QStringLiteral("/sub"), d + QStringLiteral("/to sub"));
    QFile::link(d + QStringLiteral("/nowhere"), d + QStringLiteral("/dangling"));

    wmi::lnx::GatherPlan plan;
    plan.files = QStringList{d + QStringLiteral("/all bytes"),
                             d + QStringLiteral("/big"),
                             d + QStringLiteral("/it's \"$HOME\" `x` \\ ; & | # ~"),
                             d + QStringLiteral("/missing"),
                             d + QStringLiteral("/fifo"),
                             d + QStringLiteral("/sub"),
                             d + QStringLiteral("/empty")};
    plan.firstOf = {{d + QStringLiteral("/missing"), d + QStringLiteral("/.hidden")}};
    plan.globs = QStringList{d + QStringLiteral("/st*"), d + QStringLiteral("/*/deep*"),
                             d + QStringLiteral("/line*"), d + QStringLiteral("/none*")};
    plan.links = QStringList{d + QStringLiteral("/to*"), d + QStringLiteral("/dangling"),
                             d + QStringLiteral("/no link")};
    plan.lists = QStringList{d, d + QStringLiteral("/missing")};
    plan.presence = QStringList{d + QStringLiteral("/keytab"), d + QStringLiteral("/missing")};
    plan.lockStates = QStringList{d + QStringLiteral("/shadow")};
    plan.statPaths = QStringList{d + QStringLiteral("/empty"), d + QStringLiteral("/missing")};
    plan.probes = QStringList{QStringLiteral("stat"), QStringLiteral("uid")};

    const QByteArray boundary = wmi::lnx::newBoundary();
    const QByteArray stream = runScript(GetParam(), wmi::lnx::remoteScript(plan, boundary, false));
    const Gathered remote = wmi::lnx::decodeGathered(stream, boundary);
    const Gathered local = wmi::lnx::gatherLocal(plan);
    EXPECT_EQ(joined(differences(local, remote)), "");
    EXPECT_EQ(remote.file(d + QStringLiteral("/big"))->size(), 8 * 1024 * 1024);
    EXPECT_EQ(*remote.file(d + QStringLiteral("/all bytes")), bytes);
    EXPECT_EQ(remote.text(d + QStringLiteral("/shadow")),
              "root::::::::\nlocked:!:::::::\nstar:*::::::1:\nnopass::::::::\nlast:!::::::7:\n");
    EXPECT_FALSE(stream.contains("secret keys"));
    EXPECT_FALSE(stream.contains("$6$salt$hash"));
    EXPECT_EQ(remote.probe(QStringLiteral("stat"))->count('\n'), 1);
}

// With a sudo that asks no password the body runs through it, read from a pipe (never from the
// arguments, where other users could read the boundary); with one that refuses, as the user.
TEST_P(Script, GathersThroughSudoOnlyWhenItAsksNoPassword) {
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const auto tool = [&](const char* name, const QByteArray& text) {
        QFile f(bin.path() + u'/' + QLatin1String(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n" + text);
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    };
    tool("id", "echo 1000\n");  // a user who is not root
    tool("sudo",
         "echo \"$*\" >>\"$(dirname \"$0\")/log\"\n[ \"$1\" = -n ] || exit 1\nshift\n"
         "[ -e \"$(dirname \"$0\")/allowed\" ] || exit 1\nexec \"$@\"\n");
    wmi::lnx::GatherPlan plan;
    plan.files = QStringList{QStringLiteral("/proc/self/status")};
    plan.probes = QStringList{QStringLiteral("uid")};
    const QByteArray path = qgetenv("PATH");
    for (const bool allowed : {true, false}) {
        QFile::remove(bin.path() + QStringLiteral("/log"));
        QFile flag(bin.path() + QStringLiteral("/allowed"));
        if (allowed)
            ASSERT_TRUE(flag.open(QIODevice::WriteOnly));
        else
            flag.remove();
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        const QByteArray boundary = wmi::lnx::newBoundary();
        const QByteArray stream = runScript(GetParam(), wmi::lnx::remoteScript(plan, boundary));
        qputenv("PATH", path);
        const Gathered g = wmi::lnx::decodeGathered(stream, boundary);
        EXPECT_EQ(g.probe(QStringLiteral("uid")), QByteArray("1000\n"));
        QFile log(bin.path() + QStringLiteral("/log"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QByteArray calls = log.readAll();
        EXPECT_EQ(calls, allowed ? "-n true\n-n sh -s\n" : "-n true\n") << allowed;
        EXPECT_FALSE(calls.contains(boundary));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shells, Script,
    testing::Values(Shell{"dash", {QStringLiteral("dash")}},
                    Shell{"busybox", {QStringLiteral("busybox"), QStringLiteral("sh")}},
                    Shell{"bash", {QStringLiteral("bash")}}),
    [](const testing::TestParamInfo<Shell>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Decoding streams written by hand.

const QByteArray kB = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

QByteArray rec(const QByteArray& header, const QByteArray& content = {}) {
    return '\n' + kB + ' ' + header + '\n' + content;
}

const QByteArray kStart = rec("qelto-gather 1");

Gathered decode(const QByteArray& stream) {
    return wmi::lnx::decodeGathered(stream, kB);
}
const QByteArray kEnd = rec("end");

TEST(Decode, BrokenStreamsAreToldApart) {
    const QByteArray file = rec("files", "/etc/hostname\n") + rec("c", "host\n");
    struct Case {
        const char* name;
        QByteArray stream;
        StreamError::Kind kind;
    };
    const Case cases[] = {
        {"empty", {}, StreamError::Kind::NoStart},
        {"a shell's complaint", "sh: not found\n", StreamError::Kind::NoStart},
        {"another run's boundary",
         "\nffffffffffffffffffffffffffffffff qelto-gather 1\n" + file + kEnd,
         StreamError::Kind::NoStart},
        {"records without a start", file + kEnd, StreamError::Kind::NoStart},
        {"no end", kStart + file, StreamError::Kind::Truncated},
        {"cut in a header", kStart + file + '\n' + kB + " fi", StreamError::Kind::Truncated},
        {"newer format", rec("qelto-gather 2") + kEnd, StreamError::Kind::Malformed},
        {"second start", kStart + kStart + kEnd, StreamError::Kind::Malformed},
        {"content without a path", kStart + rec("c", "x") + kEnd, StreamError::Kind::Malformed},
        {"path without its content", kStart + rec("files", "/a\n/b\n") + rec("c", "x") + kEnd,
         StreamError::Kind::Malformed},
        // A file that holds the boundary cannot pass for the records after it.
        {"boundary in a file", kStart + rec("files", "/a\n/b\n") + rec("c", "x" + kEnd) + kEnd,
         StreamError::Kind::Malformed},
        {"relative path", kStart + rec("dirs", "etc\n") + kEnd, StreamError::Kind::Malformed},
        {"bad errno", kStart + rec("error 0", "/a\n") + kEnd, StreamError::Kind::Malformed},
        {"bad hex", kStart + rec("files", "/a\n") + rec("cx", "0g") + kEnd,
         StreamError::Kind::Malformed},
        {"unknown record", kStart + rec("mystery", "x") + kEnd, StreamError::Kind::Malformed},
    };
    for (const Case& c : cases) {
        try {
            decode(c.stream);
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const StreamError& e) {
            EXPECT_EQ(int(e.kind()), int(c.kind)) << c.name;
            EXPECT_FALSE(e.message().isEmpty());
        }
    }
}

TEST(Decode, LinksAreDroppedWhenTheirTargetsDoNotPairUp) {
    const Gathered g = decode(kStart + rec("links", "/l1\n/l2\n") + rec("targets", "/t1\n/t2\n") +
                              rec("links", "/l3\n") + rec("targets", "/t3\n/t4\n") + kEnd);
    EXPECT_EQ(g.link(QStringLiteral("/l2")), u"/t2");
    EXPECT_FALSE(g.exists(QStringLiteral("/l3")));
}

TEST(Decode, CommandOutputsBecomeTheLocalProbeForms) {
    struct Case {
        QByteArray raw, content;
        const char* probe;
        QByteArray expected;
    };
    const Case cases[] = {
        {"uname", "Linux 6.1.0-9-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.27-1 x86_64\nweb1\n",
         "uname", "Linux\nweb1\n6.1.0-9-amd64\n#1 SMP PREEMPT_DYNAMIC Debian 6.1.27-1\nx86_64\n"},
        // A node name with blanks (and a line break) shifts nothing.
        {"uname", "Linux 6.1.0-9-amd64 #1 SMP x86_64\nweb 1; DROP FROM\nBuild 12.11\n", "uname",
         "Linux\nweb 1; DROP FROM Build 12.11\n6.1.0-9-amd64\n#1 SMP\nx86_64\n"},
        {"clock", "1700000000 123456789 +0530\n", "clock", "1700000000 123456 19800\n"},
        {"clock", "1700000000 000000001 -0800\n", "clock", "1700000000 0 -28800\n"},
        {"ip-addr",
         "1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever\n"
         "3: ppp0    inet 10.0.0.1 peer 10.0.0.2/32 scope global ppp0\\\n"
         "4: eth0@if9    inet6 fe80::1/64 scope link \\       valid_lft forever\n",
         "addresses", "lo inet 127.0.0.1/8\nppp0 inet 10.0.0.1/32\neth0 inet6 fe80::1/64\n"},
        {"if-inet6", "fe800000000000000000000000000001 02 40 20 80     eth0\n", "addresses",
         "eth0 inet6 fe80::1/64\n"},
        {"ss",
         "State  Recv-Q Send-Q Local Address:Port Peer Address:Port\n"
         "LISTEN 0      128          0.0.0.0:22        0.0.0.0:*\n"
         "LISTEN 0      4096   127.0.0.53%lo:53        0.0.0.0:*\n"
         "LISTEN 0      128             [::]:3389         [::]:*\n",
         "listening", "tcp 22\ntcp 53\ntcp 3389\n"},
        {"proc-tcp",
         "  sl  local_address rem_address   st tx_queue rx_queue\n"
         "   0: 00000000:0016 00000000:0000 0A 00000000:00000000\n"
         "   1: 0100007F:1F90 0100007F:D2F0 01 00000000:00000000\n"
         "   0: 00000000000000000000000000000000:0D3D 00000000000000000000000000000000:0000 0A\n",
         "listening", "tcp 22\ntcp 3389\n"},
    };
    for (const Case& c : cases) {
        const Gathered g = decode(kStart + rec("raw " + c.raw, c.content) + kEnd);
        EXPECT_EQ(g.probe(QLatin1String(c.probe)).value_or("(none)").toStdString(),
                  c.expected.toStdString())
            << c.raw.toStdString();
    }
}

TEST(Decode, EveryByteAndTheBoundaryItselfSurviveEncoding) {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) bytes += char(i);
    Gathered g;
    g.addFile(QStringLiteral("/bytes"), bytes + QByteArray(4, '\0'));
    g.addFile(QStringLiteral("/tricky"), "\n" + kB + " end\n" + kB + " c\n");
    g.addFile(QStringLiteral("/starts"), kB + " end\n");
    g.addProbe(QStringLiteral("uname"), "\n" + kB + " end\n");
    g.addList(QStringLiteral("/proc"), {QStringLiteral("1"), QStringLiteral("x y")});
    g.addError(QStringLiteral("/locked"), 13);
    const Gathered back = decode(wmi::lnx::encodeGathered(g, kB));
    EXPECT_EQ(joined(differences(g, back)), "");
}

}  // namespace
}  // namespace qelto::test
