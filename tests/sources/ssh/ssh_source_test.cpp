// The SSH source against a real OpenSSH server on 127.0.0.2, always through the source itself:
// host text → the connector with the SSH source alone, with HOME pointed at a folder of the test's
// own.

#include "sshd_fixture.h"
#include "support/accounts_stamp.h"

#include "connect/connector.h"
#include "scan/scan.h"
#include "sources/linux/connector.h"
#include "sources/ssh/config.h"
#include "sources/ssh/internal.h"
#include "sources/ssh/source.h"
#include "wmi/error.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <optional>

namespace qelto::test {
namespace {

using namespace std::chrono_literals;

// An environment variable set (or unset, for a null value) for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const QString& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value.toLocal8Bit());
    }
    ~ScopedEnv() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// A HOME of the test's own, with the .ssh files a case puts there, and no agent unless given.
class Home {
  public:
    explicit Home(const QString& agent = QString())
        : home_("HOME", dir_.path()), agent_("SSH_AUTH_SOCK", agent) {
        QDir().mkpath(ssh());
    }
    QString ssh() const { return dir_.path() + u"/.ssh"; }
    void put(const QString& name, const QByteArray& content) const {
        QFile f(ssh() + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    void copy(const QString& from, const QString& name) const {
        QFile f(from);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << from.toStdString();
        put(name, f.readAll());
    }
    // The key and known_hosts that the server's fixture made.
    void keysOf(const TestSshd& sshd) const {
        copy(sshd.clientKey, QStringLiteral("id_ed25519"));
        copy(sshd.knownHosts, QStringLiteral("known_hosts"));
    }
    QByteArray read(const QString& name) const {
        QFile f(ssh() + u'/' + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

  private:
    QTemporaryDir dir_;
    ScopedEnv home_;
    ScopedEnv agent_;
};

QString sshText(const TestSshd& sshd, const QString& user = QString()) {
    return QStringLiteral("ssh://%1%2:%3")
        .arg(user.isEmpty() ? QString() : user + u'@', sshd.address)
        .arg(sshd.port);
}

// A connector with the SSH source alone, linked in instead of loaded.
connect::SourceConnector sshAlone() {
    std::vector<connect::Source> one;
    one.push_back(wmi::ssh::declaration(wmi::ssh::newDialer()));
    return connect::SourceConnector(std::move(one));
}

std::unique_ptr<wmi::Service> connectTo(const QString& text, wmi::ConnectRequest request = {}) {
    request.host = text;
    const auto host = wmi::parseHostText(text);
    if (!host) throw wmi::Error(0, u"unparsable host text " + text);
    return sshAlone().connect(request);
}

std::optional<wmi::Error> failureOf(const QString& text, const wmi::ConnectRequest& request = {}) {
    try {
        connectTo(text, request);
    } catch (const wmi::Error& e) {
        return e;
    }
    return std::nullopt;
}

// "SHA256:…" of a public key line "type base64", computed here independently of libssh.
QString fingerprintOf(const QString& keyLine) {
    const QByteArray blob = QByteArray::fromBase64(keyLine.section(u' ', 1, 1).toLatin1());
    return u"SHA256:" +
           QString::fromLatin1(QCryptographicHash::hash(blob, QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::OmitTrailingEquals));
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).count());
}

// A port of its own on 127.0.0.2: listening (and never speaking), or merely reserved.
class LoopbackPort {
  public:
    explicit LoopbackPort(bool listening) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000002);
        socklen_t length = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            (!listening || listen(fd_, 4) == 0) &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port = ntohs(a.sin_port);
    }
    ~LoopbackPort() { ::close(fd_); }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    int port = 0;

  private:
    int fd_;
};

// A port on 127.0.0.2 that nobody listens on.
int closedPort() {
    return LoopbackPort(false).port;
}

// The first object's value of a property, as text.
QString firstValue(wmi::Service& service, const char* cls, const char* property) {
    auto objects = service.execQuery(u"Select * From " + QString::fromLatin1(cls));
    auto first = objects->next();
    return first ? first->get(QString::fromLatin1(property)).textValue() : QString();
}

// --- The remote scan is the local scan -----------------------------------------------------------

struct Scan {
    scan::InventoryTree tree;
    scan::ScanRecord record;
};

Scan scanOf(wmi::Service& service) {
    Scan s;
    scan::infoscan(service, s.tree, s.record, QLocale(QLocale::Chinese, QLocale::China));
    return s;
}

// Lines that change between two moments: free memory, processes, users, clock, load, CPU clock.
bool changesByItself(const QString& key) {
    static const QStringList keys{QStringLiteral("os19"),  QStringLiteral("os20"),
                                  QStringLiteral("os21"),  QStringLiteral("os22"),
                                  QStringLiteral("cpu14"), QStringLiteral("cpu15")};
    return keys.contains(key);
}

// The first way two scans differ, besides what changes by itself; empty when they agree.
// Without accounts, the lines of the accounts are not compared.
std::string difference(const Scan& a, const Scan& b, bool withAccounts = true) {
    const auto lines = [&](const Scan& s) {
        std::vector<const scan::Node*> out;
        for (int i = 0; i < s.tree.count(); ++i) {
            const scan::Node& n = s.tree.node(i);
            if (withAccounts || n.parent < 0 || s.tree.node(n.parent).key != u"User")
                out.push_back(&n);
        }
        return out;
    };
    const std::vector<const scan::Node*> x = lines(a), y = lines(b);
    for (size_t i = 0; i < std::min(x.size(), y.size()); ++i)
        if (x[i]->key != y[i]->key || (!changesByItself(x[i]->key) && x[i]->text != y[i]->text))
            return QString(x[i]->key + u": " + x[i]->text + u" / " + y[i]->key + u": " + y[i]->text)
                .toStdString();
    if (x.size() != y.size())
        return "lines: " + std::to_string(x.size()) + " / " + std::to_string(y.size());
    for (const auto& field : scan::ScanRecord::publicFields())
        if (!(a.record.*field.member == b.record.*field.member))
            return field.name + std::string(": ") +
                   (a.record.*field.member).textValue().toStdString() + " / " +
                   (b.record.*field.member).textValue().toStdString();
    if (!(a.record.computername == b.record.computername)) return "computername";
    return {};
}

TEST(SshSource, ScansThisMachineAsItsLocalScanDoes) {
    const struct {
        const char* name;
        TestSshdOptions options;
    } cases[] = {
        {"plain", TestSshdOptions()},
        {"noisy login", TestSshdOptions().withNoise()},
    };
    wmi::ConnectRequest here;
    here.host = QStringLiteral(".");
    const auto localScan = [&] { return scanOf(*wmi::lnx::LocalConnector().connect(here)); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSshd sshd(c.options);
        QELTO_SKIP_UNLESS_UP(sshd);
        Home home;
        home.keysOf(sshd);
        // Throwaway accounts of tests running beside this one come and go: the scans (each
        // gathering afresh when it connects) are compared whole when the account databases held
        // still around them (a few tries), and without the accounts' lines otherwise.
        Scan remote, after;
        const bool still = qelto::test::lookWhileAccountsHoldStill([&] {
            remote = scanOf(*connectTo(sshText(sshd)));
            after = localScan();
        });
        EXPECT_EQ(difference(remote, after, still), "");
    }
}

// --- Where ~/.ssh/config sends a host
// -----------------------------------------------------------------------------

// The candidates read ~/.ssh/config without libssh: for each configuration, the HostName and Port
// that reading gives are those libssh's own reading gives the session, or the reading leaves the
// answer to the library (the module is loaded for it).
TEST(SshConfig, HostNameAndPortAreTheLibrarysOrLeftToIt) {
    const QString me = wmi::ssh::localUserName();
    const struct {
        const char* host;
        QString config;
        bool understood;
    } rows[] = {
        {"lnx-b", QStringLiteral("Host lnx-b\n    HostName 198.18.8.41\n    Port 2200\n"), true},
        {"box",
         QStringLiteral("Host box\n HostName 10.1.1.1\n Port 2222\n User u\n"
                        " IdentityFile ~/.ssh/renamed_key\n"),
         true},
        {"a", QString(), true},
        {"a", QStringLiteral("Host *\n Port 2201\nHost a\n Port 2200\n"), true},
        {"a", QStringLiteral("Port 2300\nHost a\n Port 2200\n HostName b\n HostName c\n"), true},
        {"a", QStringLiteral("Host a\n HostName b\nHost b\n Port 2200\n"), true},
        {"a", QStringLiteral("Host !a *\n Port 2200\n"), true},
        {"a", QStringLiteral("Host a !a\n Port 2200\n"), true},
        {"a", QStringLiteral("Host b,!a\n Port 2200\nHost !b\n Port 2201\n"), true},
        {"ab", QStringLiteral("Host A?\n Port 2200\n"), true},
        {"a", QStringLiteral("HOST=a\nport = \"2200\" # x\n"), true},
        {"a", QStringLiteral("Host a\n HostName %h.example\n"), true},
        {"a", QStringLiteral("Host a\n Port 2200\n HostName x%py\n"), true},
        {"a", QStringLiteral("Host a\n Port\n Port 2200\n"), true},
        {"a", QStringLiteral("Match !all\n Port 2200\nMatch all\n Port 2201\n"), true},
        {"a", QStringLiteral("Match host a,b\n Port 2201\n"), true},
        {"a", QStringLiteral("Match host A\n Port 2200\nMatch !host b\n Port 2201\n"), true},
        {"a", QStringLiteral("Match host a\n HostName b\nMatch host a\n Port 2200\n"), true},
        {"a",
         QStringLiteral("Match originalhost a\n Port 2200\nMatch !originalhost a\n Port 2201\n"),
         true},
        {"a", QStringLiteral("Match user root\n Port 2200\nMatch !user root\n Port 2201\n"), true},
        {"a", QStringLiteral("Match localuser %1 host a\n Port 2200\n").arg(me), true},
        {"a", QStringLiteral("Match !canonical final\n Port 2200\n"), true},
        {"a", QStringLiteral("Include inc\n"), true},
        {"a", QStringLiteral("Include d/*.conf\n"), true},
        {"a", QStringLiteral("Host b\nInclude inc\nHost a\nInclude d/two.conf inc\n"), true},
        {"a", QStringLiteral("Include inc2\nPort 2200\n"), true},
        {"a", QStringLiteral("Include loop missing\nPort 2200\n"), true},
        {"a", QStringLiteral("Include ~/.ssh/inc\n"), true},
        {"a", QStringLiteral("Match exec true\n Port 2200\n"), false},
        {"a", QStringLiteral("Match all host a\n Port 2200\nHost *\n Port 2201\n"), false},
        {"a", QStringLiteral("Host a\n Port 70000\n"), false},
        {"a", QStringLiteral("Host a\n HostName x%ry\n"), false},
        {"a", QStringLiteral("Host a\n HostName u@b\n"), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.config.toStdString());
        Home home;
        QDir().mkpath(home.ssh() + QStringLiteral("/d"));
        home.put(QStringLiteral("inc"), "Host a\n Port 2500\n");
        home.put(QStringLiteral("inc2"), "Host b\n Port 2600\n");
        home.put(QStringLiteral("loop"), "Include loop\n");
        home.put(QStringLiteral("d/one.conf"), "Host a\n Port 2300\n");
        home.put(QStringLiteral("d/two.conf"), "Port 2400\n");
        if (!row.config.isNull()) home.put(QStringLiteral("config"), row.config.toUtf8());
        const QString host = QString::fromLatin1(row.host);
        const auto read = wmi::ssh::configuredEndpoint(host);
        ASSERT_EQ(read.has_value(), row.understood);
        const auto parsed = wmi::parseHostText(host);
        wmi::ssh::Target library;
        wmi::ssh::newSession(*parsed, {}, &library);
        if (read) {
            EXPECT_EQ(read->hostName.toStdString(), library.hostName.toStdString());
            EXPECT_EQ(read->port ? read->port : 22, library.port);
        }
        // What the source offers the race is the library's answer either way.
        const auto offered = wmi::ssh::declaration(wmi::ssh::newDialer()).candidates(*parsed);
        ASSERT_EQ(offered.size(), 1u);
        EXPECT_EQ(offered[0].port, library.port);
        EXPECT_EQ((offered[0].name.isEmpty() ? host : offered[0].name).toStdString(),
                  library.hostName.toStdString());
    }
}

// The programs are the host's: an sshd in a mount namespace of its own, where dpkg's status is a
// planted file, lists exactly the planted packages and none of this machine's.
TEST(SshSource, ListsTheHostsOwnProgramsAndNoneOfThisMachines) {
    if (!TestSshd::isRoot()) GTEST_SKIP() << "a mount namespace of the server's own needs root";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile status(dir.filePath(QStringLiteral("status")));
    ASSERT_TRUE(status.open(QIODevice::WriteOnly));
    status.write(
        "Package: planted-a\nStatus: install ok installed\nArchitecture: amd64\n"
        "Maintainer: Plant <p@example.org>\nVersion: 1.0-1\n\n"
        "Package: planted-gone\nStatus: deinstall ok config-files\nVersion: 9\n\n"
        "Package: planted-b\nStatus: install ok installed\nArchitecture: all\n"
        "Version: 2:3.4\n");
    status.close();
    TestSshd sshd(TestSshdOptions().through(
        {QStringLiteral("unshare"), QStringLiteral("--mount"), QStringLiteral("--propagation"),
         QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("mount --bind \"$1\" /var/lib/dpkg/status && shift && exec \"$@\""),
         QStringLiteral("sh"), status.fileName()}));
    QELTO_SKIP_UNLESS_UP(sshd);
    Home home;
    home.keysOf(sshd);
    QStringList got;
    const auto all = connectTo(sshText(sshd))
                         ->execQuery(QStringLiteral("Select * From "
                                                    "Qelto_Software"));
    while (const auto o = all->next()) {
        QStringList line;
        for (const char* p : {"Name", "Version", "Architecture", "Vendor", "Source"})
            line << o->get(QString::fromLatin1(p)).textValue();
        got << line.join(u' ');
    }
    EXPECT_EQ(got.join(u'|').toStdString(),
              "planted-a 1.0-1 amd64 Plant dpkg|planted-b 2:3.4 all  dpkg");
}

// --- Roads that log in
// -----------------------------------------------------------------------------

// Connects and reads one value; a failure names the error.
void expectScanned(const QString& text, const wmi::ConnectRequest& request = {}) {
    try {
        const auto service = connectTo(text, request);
        EXPECT_EQ(firstValue(*service, "Win32_OperatingSystem", "Status"), u"OK");
    } catch (const wmi::Error& e) {
        ADD_FAILURE() << std::hex << e.number() << " " << e.description().toStdString();
    }
}

TEST(SshSource, LogsInWithTheCurrentLogin) {
    TestSshd sshd;
    QELTO_SKIP_UNLESS_UP(sshd);
    ASSERT_TRUE(sshd.startAgent());
    const QString config = QStringLiteral(
                               "Host scanned-box\n  HostName %1\n  Port %2\n  User %3\n"
                               "  IdentityFile ~/.ssh/renamed_key\n")
                               .arg(sshd.address)
                               .arg(sshd.port)
                               .arg(sshd.user);
    const QString knownHosts = QStringLiteral("known_hosts");
    const struct {
        const char* name;
        std::function<void(const Home&)> prepare;
        QString agent;
        QString host;
    } cases[] = {
        {"identity file", [&](const Home& h) { h.keysOf(sshd); }, {}, sshText(sshd)},
        {"agent, no key file", [&](const Home& h) { h.copy(sshd.knownHosts, knownHosts); },
         sshd.authSock, sshText(sshd)},
        {"~/.ssh/config: HostName, Port, User, IdentityFile",
         [&](const Home& h) {
             h.copy(sshd.clientKey, QStringLiteral("renamed_key"));
             h.copy(sshd.knownHosts, knownHosts);
             h.put(QStringLiteral("config"), config.toUtf8());
         },
         {},
         QStringLiteral("ssh://scanned-box")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Home home(c.agent);
        c.prepare(home);
        expectScanned(c.host);
    }
}

TEST(SshSource, LogsInWithAPassword) {
    TestSshd sshd(TestSshdOptions().withPassword(QStringLiteral("Pw-7 密码")));
    QELTO_SKIP_UNLESS_UP(sshd);
    const struct {
        const char* name;
        QString boxUser;   // typed in the user name box
        QString textUser;  // in the host text
    } cases[] = {
        {"user in the box", sshd.passwordUser, {}},
        {"box empty, user in the host text", {}, sshd.passwordUser},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Home home;
        home.copy(sshd.knownHosts, QStringLiteral("known_hosts"));
        wmi::ConnectRequest request;
        request.road = wmi::Road::Credentials;
        request.user = c.boxUser;
        request.password = wmi::Secret::copyOf(sshd.password);
        expectScanned(sshText(sshd, c.textUser), request);
    }
    const QByteArray log = sshd.log();
    const QByteArray accepted = "Accepted password for " + sshd.passwordUser.toUtf8() + ' ';
    EXPECT_EQ(log.count(accepted), 2) << log.toStdString();
    EXPECT_FALSE(log.contains(sshd.password.toUtf8()));
}

// A host whose TZ names a file of the scanning machine outside its zone database: a pipe that
// would block a reader (the host's account cannot reach it, so the host itself answers at once)
// or a device. The scan ends at once, its zone is the clock probe's, and nothing is opened here.
TEST(SshSource, AZoneNameOfTheHostOpensNoFileHere) {
    if (!TestSshd::isRoot()) GTEST_SKIP() << "a device and a second account need root";
    QTemporaryDir dir;  // 0700: the host's throwaway account cannot look inside
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.path() + QStringLiteral("/fifo");
    const QString device = dir.path() + QStringLiteral("/zero");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_EQ(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, ::makedev(1, 5)), 0);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const QString& path : {fifo, device})
        ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(path).constData(), IN_OPEN), 0);
    for (const QString& tz :
         QStringList{QStringLiteral("../../../../../../../../..") + fifo, fifo, device}) {
        SCOPED_TRACE(tz.toStdString());
        TestSshd sshd(TestSshdOptions()
                          .withPassword(QStringLiteral("Pw-9 zone"))
                          .withEnv(QStringLiteral("TZ=") + tz));
        QELTO_SKIP_UNLESS_UP(sshd);
        Home home;
        home.copy(sshd.knownHosts, QStringLiteral("known_hosts"));
        wmi::ConnectRequest request;
        request.road = wmi::Road::Credentials;
        request.user = sshd.passwordUser;
        request.password = wmi::Secret::copyOf(sshd.password);
        auto scan = std::async(std::launch::async, [&]() -> QString {
            const auto service = connectTo(sshText(sshd), request);
            return firstValue(*service, "Win32_OperatingSystem", "LastBootUpTime") + u' ' +
                   firstValue(*service, "Win32_OperatingSystem", "LocalDateTime");
        });
        if (scan.wait_for(60s) != std::future_status::ready) {
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);  // let a blocked reader go
            scan.wait();
            ADD_FAILURE() << "the scan waited on the pipe";
            continue;
        }
        const QStringList times = scan.get().split(u' ');
        ASSERT_EQ(times.size(), 2);
        EXPECT_EQ(times[0].right(4), times[1].right(4));  // the clock's offset
    }
    inotify_event events[8];
    EXPECT_LE(::read(watch, events, sizeof events), 0)
        << "a file outside the zone folder was opened";
    ::close(watch);
}

// Where the bytes of a password stand in this process's memory, in UTF-8 and in UTF-16, counted
// from /proc/self/mem. The password is known here only masked (each byte XOR kMask), so the
// search itself leaves no copy behind.
constexpr unsigned char kMask = 0xA5;

QString copiesInMemory(const QByteArray& masked) {
    constexpr std::size_t kChunk = 1 << 20;
    void* buffer =
        ::mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) return QStringLiteral("no buffer");
    const auto* buf = static_cast<const unsigned char*>(buffer);
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (mem < 0 || !maps.open(QIODevice::ReadOnly)) return QStringLiteral("no /proc/self/mem");
    const qsizetype n = masked.size();
    int utf8 = 0, utf16 = 0;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 2 || f[1].at(0) != 'r') continue;
        const QList<QByteArray> range = f[0].split('-');
        if (range.size() != 2) continue;
        const quint64 from = range[0].toULongLong(nullptr, 16);
        const quint64 to = range[1].toULongLong(nullptr, 16);
        if (from == quint64(quintptr(buffer))) continue;  // the search's own buffer
        // A sanitizer's shadow memory: terabytes reserved, none of it the program's data.
        if (to - from > (quint64(1) << 36)) continue;
        // Chunks overlap by twice the pattern, so that no match is cut in two.
        for (quint64 at = from; at < to; at += kChunk - 2 * std::size_t(n)) {
            const ssize_t got = ::pread(mem, buffer, std::min<quint64>(kChunk, to - at), off_t(at));
            if (got <= 0) break;
            for (ssize_t i = 0; i + n <= got; ++i) {
                if ((buf[i] ^ kMask) != quint8(masked[0])) continue;
                qsizetype k = 1;
                while (k < n && (buf[i + k] ^ kMask) == quint8(masked[k])) ++k;
                if (k == n) ++utf8;
                k = 0;
                while (k < n && i + 2 * k + 1 < got &&
                       (buf[i + 2 * k] ^ kMask) == quint8(masked[k]) && buf[i + 2 * k + 1] == 0)
                    ++k;
                if (k == n) ++utf16;
            }
            if (std::size_t(got) < kChunk) break;
        }
    }
    ::close(mem);
    ::munmap(buffer, kChunk);
    return QStringLiteral("UTF-8 %1, UTF-16 %2").arg(utf8).arg(utf16);
}

// A scan with the password of QELTO_PASSWORD: afterwards no copy of it is left in this process,
// in either encoding. The server's script makes the password; the test holds it only masked.
TEST(SshSource, APasswordLeavesNoCopyInMemory) {
    TestSshd sshd(TestSshdOptions().withPassword(QStringLiteral("-")));
    QELTO_SKIP_UNLESS_UP(sshd);
    QByteArray masked;
    {
        char plain[128] = {};
        const int fd =
            ::open(QFile::encodeName(sshd.dir + u"/password").constData(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ssize_t n = ::read(fd, plain, sizeof plain - 1);
        ::close(fd);
        while (n > 0 && plain[n - 1] == '\n') plain[--n] = 0;
        ASSERT_GE(n, 16);
        ASSERT_EQ(::setenv("QELTO_PASSWORD", plain, 1), 0);
        for (ssize_t i = 0; i < n; ++i) masked += char(plain[i] ^ kMask);
        ::explicit_bzero(plain, sizeof plain);
    }
    {
        Home home;
        home.copy(sshd.knownHosts, QStringLiteral("known_hosts"));
        wmi::ConnectRequest request;
        request.road = wmi::Road::Credentials;
        request.user = sshd.passwordUser;
        auto taken = wmi::takeFromEnvironment("QELTO_PASSWORD");
        ASSERT_TRUE(taken);
        request.password = std::move(*taken);
        EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
        expectScanned(sshText(sshd), request);
    }
    EXPECT_EQ(copiesInMemory(masked).toStdString(), "UTF-8 0, UTF-16 0");
}

// --- Refusals ------------------------------------------------------------------------------------

TEST(SshSource, RefusesWithTheRightNumberAndLeaksNothing) {
    TestSshd sshd;
    QELTO_SKIP_UNLESS_UP(sshd);
    const QString presented = fingerprintOf(sshd.hostKeyLine);
    // A known_hosts that records another key of the same type for the server.
    QTemporaryDir other;
    const QString otherKey = other.path() + u"/k";
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("ssh-keygen"),
                          {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                           QStringLiteral("-N"), QString(), QStringLiteral("-f"), otherKey}),
        0);
    QFile pub(otherKey + u".pub");
    ASSERT_TRUE(pub.open(QIODevice::ReadOnly));
    const QString otherLine = QString::fromLatin1(pub.readAll()).section(u' ', 0, 1);
    const QString changedLine = sshd.knownHostsLine.section(u' ', 0, 0) + u' ' + otherLine;

    int asked = 0;
    const auto yes = [&](const wmi::HostKeyQuestion&) { return ++asked, true; };
    struct Case {
        const char* name;
        std::function<void(const Home&)> prepare;
        QString host;
        wmi::Road road;
        QString password;
        std::function<bool(const wmi::HostKeyQuestion&)> confirm;
        quint32 number;
        QStringList named;  // texts the description must hold
    };
    const std::vector<Case> cases = {
        {"no key",
         [&](const Home& h) { h.copy(sshd.knownHosts, QStringLiteral("known_hosts")); },
         sshText(sshd),
         wmi::Road::CurrentLogin,
         {},
         {},
         wmi::code::AccessDenied,
         {}},
        {"wrong password",
         [&](const Home& h) { h.keysOf(sshd); },
         sshText(sshd),
         wmi::Road::Credentials,
         QStringLiteral("wrong"),
         {},
         wmi::code::AccessDenied,
         {}},
        {"closed port",
         [&](const Home& h) { h.keysOf(sshd); },
         QStringLiteral("ssh://127.0.0.2:%1").arg(closedPort()),
         wmi::Road::CurrentLogin,
         {},
         {},
         wmi::code::RpcUnavailable,
         {}},
        {"unknown host key, nobody to ask",
         [&](const Home& h) { h.copy(sshd.clientKey, QStringLiteral("id_ed25519")); },
         sshText(sshd),
         wmi::Road::CurrentLogin,
         {},
         {},
         wmi::code::HostKeyUnknown,
         {presented, sshd.hostKeyLine.section(u' ', 0, 0),
          QStringLiteral("%1:%2").arg(sshd.address).arg(sshd.port)}},
        {"changed host key, even with a yes",
         [&](const Home& h) {
             h.copy(sshd.clientKey, QStringLiteral("id_ed25519"));
             h.put(QStringLiteral("known_hosts"), changedLine.toUtf8() + '\n');
         },
         sshText(sshd),
         wmi::Road::CurrentLogin,
         {},
         yes,
         wmi::code::HostKeyChanged,
         {presented, fingerprintOf(otherLine)}},
    };
    const int descriptors = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Home home;
        c.prepare(home);
        wmi::ConnectRequest request;
        request.road = c.road;
        request.user = c.road == wmi::Road::Credentials ? sshd.user : QString();
        request.password = wmi::Secret::copyOf(c.password);
        request.confirmNewHostKey = c.confirm;
        const auto e = failureOf(c.host, request);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->number(), c.number)
            << std::hex << e->number() << " " << e->description().toStdString();
        for (const QString& text : c.named)
            EXPECT_TRUE(e->description().contains(text)) << e->description().toStdString();
        if (!c.password.isEmpty()) {
            EXPECT_FALSE(e->description().contains(c.password));
        }
    }
    EXPECT_EQ(asked, 0) << "a changed key must never be put to the user";
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(SshSource, AnUnknownKeyTheUserTrustsIsRecordedAndNotAskedAgain) {
    TestSshd sshd;
    QELTO_SKIP_UNLESS_UP(sshd);
    Home home;
    home.copy(sshd.clientKey, QStringLiteral("id_ed25519"));
    std::vector<wmi::HostKeyQuestion> questions;
    wmi::ConnectRequest request;
    request.confirmNewHostKey = [&](const wmi::HostKeyQuestion& q) {
        questions.push_back(q);
        return true;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        try {
            connectTo(sshText(sshd), request);
        } catch (const wmi::Error& e) {
            FAIL() << e.description().toStdString();
        }
        ASSERT_EQ(questions.size(), 1u);
    }
    const wmi::HostKeyQuestion& q = questions.front();
    EXPECT_EQ(q.fingerprint, fingerprintOf(sshd.hostKeyLine));
    EXPECT_EQ(q.keyType, sshd.hostKeyLine.section(u' ', 0, 0));
    // Named as the refusals name it (host:port as typed), not as known_hosts records it.
    EXPECT_EQ(q.address, QStringLiteral("%1:%2").arg(sshd.address).arg(sshd.port));
    EXPECT_TRUE(home.read(QStringLiteral("known_hosts"))
                    .contains(sshd.hostKeyLine.section(u' ', 1, 1).toLatin1()));
}

// --- Limits
// ---------------------------------------------------------------------------------------

TEST(SshSource, AHostThatSaysTooMuchOrTooLateIsCutOffPromptly) {
    const struct {
        const char* name;
        QString command;
        std::chrono::milliseconds timeout;
        quint32 number;
        std::chrono::milliseconds within;
        qint64 budget = 0;  // of the answers of hosts scanned together; 0: none
    } cases[] = {
        {"over the cap", QStringLiteral("head -c 70000000 /dev/zero"), 60s, wmi::code::Failed, 20s},
        {"over the batch's budget", QStringLiteral("head -c 3000000 /dev/zero"), 60s,
         wmi::code::Failed, 20s, 1 << 20},
        {"past the time limit", QStringLiteral("sleep 30"), 1500ms, wmi::code::Timeout, 5s},
        {"not a shell", QStringLiteral("echo this is no shell"), 60s, wmi::code::NotSupported, 10s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSshd sshd(TestSshdOptions().forcing(c.command));
        QELTO_SKIP_UNLESS_UP(sshd);
        Home home;
        home.keysOf(sshd);
        wmi::ConnectRequest request;
        request.timeout = c.timeout;
        if (c.budget) request.answers = std::make_shared<wmi::AnswerBudget>(c.budget);
        QElapsedTimer clock;
        clock.start();
        const auto e = failureOf(sshText(sshd), request);
        const auto took = std::chrono::milliseconds(clock.elapsed());
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->number(), c.number)
            << std::hex << e->number() << " " << e->description().toStdString();
        EXPECT_LT(took, c.within);
        if (c.number == wmi::code::Timeout) {
            EXPECT_GE(took, c.timeout - 100ms);
        }
        if (c.budget) {
            EXPECT_TRUE(e->description().contains(u"--jobs")) << e->description().toStdString();
            EXPECT_EQ(request.answers->left(), c.budget);  // all given back
        }
    }
}

TEST(SshSource, AServerThatNeverSpeaksTimesOutWithinTheConnectLimit) {
    LoopbackPort mute(true);
    ASSERT_NE(mute.port, 0);
    Home home;
    wmi::ConnectRequest request;
    request.connectTimeout = 1s;
    QElapsedTimer clock;
    clock.start();
    const auto e = failureOf(QStringLiteral("ssh://127.0.0.2:%1").arg(mute.port), request);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->number(), wmi::code::RpcUnavailable) << e->description().toStdString();
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_LT(clock.elapsed(), 4000);
}

// --- Probing bare hosts
// ----------------------------------------------------------------------------

TEST(SshSource, ABareHostAnswersWithTheGreetingNotJustAnOpenPort) {
    TestSshd sshd;
    QELTO_SKIP_UNLESS_UP(sshd);
    Home home;
    LoopbackPort mute(true);
    ASSERT_NE(mute.port, 0);
    const struct {
        const char* name;
        QString text;
        reach::Outcome expected;
    } cases[] = {
        {"sshd", QStringLiteral("127.0.0.2:%1").arg(sshd.port), reach::Outcome::Answered},
        {"closed", QStringLiteral("127.0.0.2:%1").arg(closedPort()), reach::Outcome::Refused},
        {"mute", QStringLiteral("127.0.0.2:%1").arg(mute.port), reach::Outcome::Silent},
    };
    const auto source = sshAlone();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto host = wmi::parseHostText(c.text);
        ASSERT_TRUE(host && host->isBare());
        QElapsedTimer clock;
        clock.start();
        const reach::Report r =
            reach::reachHost(host->host, source.candidates(*host, c.text), reach::Deadline::in(1s));
        ASSERT_EQ(r.attempts.size(), 1u);
        EXPECT_EQ(r.attempts.front().outcome, c.expected);
        EXPECT_EQ(r.winner.has_value(), c.expected == reach::Outcome::Answered);
        EXPECT_LT(clock.elapsed(), 3000);
    }
}

}  // namespace
}  // namespace qelto::test
