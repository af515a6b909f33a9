#include "connection.h"

#include "commands.h"

#include "wmi/hosttext.h"

#include <QFile>

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace qelto::cli {

common::Section connectionSection(bool inHelp) {
    using common::Option;
    using common::ValueKind;
    const QString seconds = QStringLiteral("%1 需要一个秒数");
    const QString badSeconds = QStringLiteral("%1 的值“%2”无效：应为 1 到 86400 之间的秒数");
    return {
        .head =
            QStringLiteral("  主机可以是：本机（省略、.、localhost）、ssh://[用户@]主机[:端口]、"
                           "dcom://主机[:端口]、主机[:端口]（自动探测）\n"),
        .options =
            {
                {.names = {QStringLiteral("--user")},
                 .valueName = QStringLiteral("用户名"),
                 .description = QStringLiteral(
                     "用用户名和密码连接（否则用当前登录凭证：SSH 代理、密钥或 Kerberos）"),
                 .kind = ValueKind::Text,
                 .missingMessage = QStringLiteral("%1 需要一个用户名")},
                {.names = {QStringLiteral("--password")},
                 .kind = ValueKind::Text,
                 .missingMessage = QStringLiteral("%1 需要一个密码"),
                 .hidden = true},
                {.names = {QStringLiteral("--password-file")},
                 .valueName = QStringLiteral("文件"),
                 .description = QStringLiteral(
                     "从文件的第一行读密码；也可用环境变量 QELTO_PASSWORD，\n"
                     "在终端中则不回显地询问（--password 密码 也可用，但其他用户能看到）"),
                 .kind = ValueKind::File,
                 .missingMessage = QStringLiteral("%1 需要一个文件名")},
                {.names = {QStringLiteral("--accept-new-host-key")},
                 .description =
                     QStringLiteral("信任并记住未知的 SSH 主机密钥（已变的密钥仍然拒绝）")},
                {.names = {QStringLiteral("--ca-file")},
                 .valueName = QStringLiteral("文件"),
                 .description = QStringLiteral("HTTPS：除系统的证书机构外还信任这个 PEM "
                                               "文件中的证书（或 QELTO_CA_FILE）"),
                 .kind = ValueKind::File,
                 .empty = common::Empty::Refused},
                {.names = {QStringLiteral("--pin-sha256")},
                 .valueName = QStringLiteral("指纹"),
                 .description = QStringLiteral("HTTPS：主机证书必须有这个 SHA-256 指纹"),
                 .kind = ValueKind::Text,
                 .empty = common::Empty::Refused},
                {.names = {QStringLiteral("--timeout")},
                 .valueName = QStringLiteral("秒"),
                 .description = QStringLiteral(
                     "整个检测的时限（默认 60）；--connect-timeout 秒：连接的时限（默认 5）"),
                 .kind = ValueKind::Count,
                 .missingMessage = seconds,
                 .invalidMessage = badSeconds,
                 .min = 1,
                 .max = 24 * 3600},
                {.names = {QStringLiteral("--connect-timeout")},
                 .kind = ValueKind::Count,
                 .missingMessage = seconds,
                 .invalidMessage = badSeconds,
                 .min = 1,
                 .max = 24 * 3600,
                 .hidden = true},
            },
        .column = 24,
        .inHelp = inHelp,
    };
}

namespace {

// Set when a host key was refused because --accept-new-host-key was not given.
bool hostKeyRefused = false;

// The first line of a file, without its line end.
std::optional<wmi::Secret> readPasswordFile(const QString& path, QString& problem) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        problem = QStringLiteral("无法读取密码文件 %1：%2").arg(path, f.errorString());
        return std::nullopt;
    }
    QByteArray line(4096, '\0');
    const qint64 n = f.read(line.data(), line.size());
    line.truncate(std::max<qint64>(n, 0));
    const qsizetype end = line.indexOf('\n');
    if (end >= 0) line.truncate(end);
    while (line.endsWith('\r')) line.chop(1);
    return wmi::Secret::fromUtf8(std::move(line));
}

// The terminal's settings from before the prompt, for a signal that comes while echo is off.
termios promptSaved{};
volatile std::sig_atomic_t promptQuiet = 0;

// SIGINT, SIGTERM, SIGTSTP during the prompt: echo back on, then what the signal would have done;
// after a stop, echo off again for the rest of the prompt.
void restoreEchoOn(int sig) {
    const int savedErrno = errno;
    termios quiet{};
    const bool wasQuiet = promptQuiet != 0;
    if (wasQuiet) {
        ::tcgetattr(STDIN_FILENO, &quiet);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &promptSaved);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    struct sigaction ours {};
    ::sigaction(sig, &dfl, &ours);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);  // ends the program, or stops it until it is continued
    ::sigaction(sig, &ours, nullptr);
    if (wasQuiet) ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    errno = savedErrno;
}

// Asks on the terminal without echo.
std::optional<wmi::Secret> askPassword(const ConnectionOptions& o) {
    if (!::isatty(STDIN_FILENO)) return std::nullopt;
    const bool terminal = ::tcgetattr(STDIN_FILENO, &promptSaved) == 0;
    constexpr int kSignals[] = {SIGINT, SIGTERM, SIGTSTP};
    struct sigaction before[std::size(kSignals)];
    struct sigaction handler {};
    handler.sa_handler = restoreEchoOn;
    handler.sa_flags = SA_RESTART;
    ::sigemptyset(&handler.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &handler, &before[i]);
    if (terminal) {
        termios quiet = promptSaved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        promptQuiet = 1;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // Asked once the echo is off and a signal would give it back.
    printText(stderr, QStringLiteral("%1 在 %2 上的密码：").arg(o.user, o.host));
    std::fflush(stderr);
    QByteArray line(4096, '\0');
    qsizetype got = 0;
    char ch;
    while (got < line.size() && ::read(STDIN_FILENO, &ch, 1) == 1 && ch != '\n') line[got++] = ch;
    ch = 0;
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &promptSaved);
    promptQuiet = 0;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &before[i], nullptr);
    print(stderr, "\n");
    line.truncate(got);
    if (line.endsWith('\r')) line.chop(1);
    return wmi::Secret::fromUtf8(std::move(line));
}

}  // namespace

bool takeConnectionOptions(const common::ParsedLine& parsed, ConnectionOptions& o,
                           QString& problem) {
    for (const common::ParsedLine::Given& g : parsed.given) {
        const QString name = g.names.first();
        if (name == u"--user") {
            o.user = g.value;
        } else if (name == u"--password") {
            o.password = wmi::Secret::copyOf(g.value);
            printLine(stderr, QStringLiteral(
                                  "警告：命令行上的密码能被这台计算机的其他用户看到；"
                                  "请改用 --password-file、环境变量 QELTO_PASSWORD 或终端提示。"));
        } else if (name == u"--password-file") {
            auto p = readPasswordFile(g.value, problem);
            if (!p) return false;
            o.password = std::move(*p);
        } else if (name == u"--ca-file") {
            o.caFile = g.value;
        } else if (name == u"--pin-sha256") {
            o.pinSha256 = g.value;
        } else if (name == u"--accept-new-host-key") {
            o.acceptNewHostKey = true;
        } else if (name == u"--timeout") {
            o.timeoutSeconds = int(g.number);
        } else if (name == u"--connect-timeout") {
            o.connectTimeoutSeconds = int(g.number);
        }
    }
    return true;
}

wmi::ConnectRequest requestBase(const ConnectionOptions& o) {
    wmi::ConnectRequest request;
    request.connectTimeout = std::chrono::seconds(o.connectTimeoutSeconds);
    request.timeout = std::chrono::seconds(o.timeoutSeconds);
    request.caFile = o.caFile.isEmpty() ? qEnvironmentVariable("QELTO_CA_FILE") : o.caFile;
    request.pinSha256 = o.pinSha256;
    return request;
}

std::optional<wmi::ConnectRequest> makeRequest(const ConnectionOptions& o, QString& problem) {
    wmi::ConnectRequest request = requestBase(o);
    request.host = o.host.trimmed().isEmpty() ? QStringLiteral(".") : o.host.trimmed();
    request.timeout = std::chrono::seconds(std::max(o.timeoutSeconds, o.connectTimeoutSeconds));
    if (o.acceptNewHostKey)
        request.confirmNewHostKey = [](const wmi::HostKeyQuestion& q) {
            printLine(stderr, QStringLiteral("已信任并记住 %1 的主机密钥（%2 %3）。")
                                  .arg(q.address, q.keyType, q.fingerprint));
            return true;
        };
    else
        request.confirmNewHostKey = [](const wmi::HostKeyQuestion&) {
            hostKeyRefused = true;
            return false;
        };
    if (o.user.isNull() && !o.password) return request;

    request.road = wmi::Road::Credentials;
    request.user = o.user;
    if (o.password) {
        request.password = *o.password;
    } else if (auto env = wmi::takeFromEnvironment("QELTO_PASSWORD")) {
        request.password = std::move(*env);
    } else if (auto asked = askPassword(o)) {
        request.password = std::move(*asked);
    } else {
        problem = QStringLiteral(
            "需要密码：请用 --password-file 文件、环境变量 QELTO_PASSWORD，"
            "或在终端中运行以便输入密码。");
        return std::nullopt;
    }
    return request;
}

namespace {

// What to open for a host that did not answer, on the roads its text takes: the scheme's alone,
// every road for a bare host; the port that was typed, else each road's usual ones.
QString unreachableHint(const QString& hostText) {
    const std::optional<wmi::HostText> h = wmi::parseHostText(hostText.trimmed());
    if (!h) return {};
    const QString& scheme = h->scheme;
    const QString typedPort = QStringLiteral("%1 端口").arg(h->port);
    QString advice;
    if (scheme.isEmpty() || scheme == u"https" || scheme == u"http") {
        const QString ports = h->port              ? typedPort
                              : scheme == u"https" ? QStringLiteral("5986（HTTPS）端口")
                              : scheme == u"http"
                                  ? QStringLiteral("5985（HTTP）端口")
                                  : QStringLiteral("5985（HTTP）或 5986（HTTPS）端口");
        advice += QStringLiteral(
                      "Windows 主机要开启远程管理（在该主机上运行 winrm quickconfig 或 "
                      "Enable-PSRemoting），并在防火墙中放行 %1。")
                      .arg(ports);
    }
    // A bare host goes to DCOM on 135 only (another port typed is not raced there).
    if (scheme == u"dcom" || (scheme.isEmpty() && (h->port == 0 || h->port == 135)))
        advice += QStringLiteral("经 DCOM 连接 Windows 主机时，防火墙要放行 %1。")
                      .arg(h->port ? typedPort : QStringLiteral("135（RPC 端点映射器）端口"));
    if (scheme.isEmpty() || scheme == u"ssh")
        advice += h->port ? QStringLiteral("Linux 主机要运行 sshd，并放行 %1。").arg(typedPort)
                          : QStringLiteral(
                                "Linux 主机要运行 sshd，并放行 22 端口（或 "
                                "~/.ssh/config 中为它写的 Port）。");
    if (advice.isEmpty()) return {};
    return QStringLiteral("提示：%1防火墙丢弃的端口表现为“没有应答”。").arg(advice);
}

// The DCOM road's own failures, told apart by what its messages say happened on the way:
// activation refused after the endpoint mapper answered, and the object's port silent after it.
QString dcomHint(const wmi::Error& e) {
    if (e.number() == wmi::code::RpcUnavailable && e.description().contains(u"WMI 的端口"))
        return QStringLiteral(
            "提示：RPC 端点映射器回答了，WMI 的端口却没有：在该主机的防火墙中启用“Windows "
            "Management Instrumentation (DCOM-In)”和“(WMI-In)”规则，或放行 RPC 的动态端口 "
            "（49152–65535）。");
    if (e.number() == wmi::code::NotSupported && e.description().contains(u"DCOM"))
        return QStringLiteral(
            "提示：这台主机的 RPC 服务回答了，但没有经 DCOM 的 WMI：它可能不是 Windows，"
            "或者在该主机上关闭了分布式 COM，或者 WMI 服务没有运行。");
    return {};
}

}  // namespace

QString failureHint(const wmi::Error& e, const QString& hostText) {
    if (QString hint = dcomHint(e); !hint.isEmpty()) return hint;
    switch (e.number()) {
        case wmi::code::RpcUnavailable:
            return unreachableHint(hostText);
        case wmi::code::AccessDenied:
            if (const auto h = wmi::parseHostText(hostText.trimmed()); h && h->scheme == u"ssh")
                return QStringLiteral("提示：检查用户名和密码，或者 SSH 代理中的密钥。");
            return QStringLiteral(
                "提示：检查用户名和密码。用 Windows 的本地账户（而非域账户）远程登录时，"
                "该主机要把注册表值 LocalAccountTokenFilterPolicy 设为 1，否则只有内置的 "
                "Administrator 能登录。");
        case wmi::code::HostKeyChanged:
            return QStringLiteral(
                "提示：主机密钥变了：问清原因（重装了系统？换了主机？）后，用 ssh-keygen -R "
                "主机 从 ~/.ssh/known_hosts 删除旧密钥。");
        case wmi::code::HostNotFound:
            return QStringLiteral("提示：检查名字的拼写和 DNS 设置，或者直接输入 IP 地址。");
        default:
            return {};
    }
}

void traceOnStderr(wmi::ConnectRequest& request) {
    request.trace = [](const QString& line) { printLine(stderr, line); };
}

void reportConnectFailure(const wmi::Error& e, const QString& host, bool verbose) {
    printLine(stderr, QStringLiteral("连接失败（0x%1）：%2")
                          .arg(e.number(), 8, 16, QLatin1Char('0'))
                          .arg(scan::connectionFailureText(e, host)));
    if (verbose) {
        if (scan::connectionFailureText(e, host) != e.description())
            printLine(stderr, e.description());
        if (const QString hint = failureHint(e, host); !hint.isEmpty()) printLine(stderr, hint);
    }
    if (hostKeyRefused)
        printLine(stderr, QStringLiteral("请向这台主机的管理员核对指纹；确认无误后可加 "
                                         "--accept-new-host-key 信任并记住它。"));
}

std::unique_ptr<wmi::Service> connectOrReport(wmi::Connector& connector,
                                              const wmi::ConnectRequest& request) {
    try {
        return scan::connectHost(connector, request);
    } catch (const wmi::Error& e) {
        reportConnectFailure(e, request.host);
        return nullptr;
    }
}

}  // namespace qelto::cli
