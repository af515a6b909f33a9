// Setting up a session: the user's files under $HOME, ~/.ssh/config, who logs in where.

#include "internal.h"

#include "wmi/error.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cstdlib>
#include <mutex>

namespace qelto::wmi::ssh {

namespace {

constexpr qint64 kConfigLimit = 1024 * 1024;

// An option value that libssh hands out, or an empty text.
QString sessionText(ssh_session session, ssh_options_e option) {
    char* value = nullptr;
    if (ssh_options_get(session, option, &value) != SSH_OK || !value) return {};
    const QString text = QString::fromUtf8(value);
    ssh_string_free_char(value);
    return text;
}

void setText(ssh_session session, ssh_options_e option, const QString& value) {
    const QByteArray bytes = value.toUtf8();
    if (ssh_options_set(session, option, bytes.constData()) != SSH_OK)
        throw Error(code::Failed, QStringLiteral("无法设置 SSH 连接的选项“%1”。").arg(value));
}

// Reads ~/.ssh/config into the session. libssh takes a leading "~" from the password database,
// while the user's folder here is $HOME; such paths are written out in full in a private copy.
void readConfig(ssh_session session, const QString& home) {
    const QString path = home + QStringLiteral("/.ssh/config");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    QByteArray text = file.read(kConfigLimit);
    file.close();
    if (!text.contains('~')) {
        ssh_options_parse_config(session, QFile::encodeName(path).constData());
        return;
    }
    static const QRegularExpression tilde(QStringLiteral("(^|[\\s=\"])~/"),
                                          QRegularExpression::MultilineOption);
    QString rewritten = QString::fromUtf8(text);
    rewritten.replace(tilde, QStringLiteral("\\1") + home + u'/');
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/qelto-ssh-config-XXXXXX"));
    if (!copy.open()) return;
    copy.write(rewritten.toUtf8());
    copy.flush();
    ssh_options_parse_config(session, QFile::encodeName(copy.fileName()).constData());
}

}  // namespace

Milliseconds remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    return std::max(left, Milliseconds(1));
}

bool passed(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

bool ranOut(Clock::time_point deadline) {
    return Clock::now() + Milliseconds(50) >= deadline;
}

void SessionFree::operator()(ssh_session s) const {
    if (!s) return;
    ssh_disconnect(s);
    ssh_free(s);
}

QString Target::knownHostsAddress() const {
    if (port == 22) return hostName;
    return u'[' + hostName + QStringLiteral("]:") + QString::number(port);
}

Session newSession(const HostText& host, const QString& user, Target* target) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { ssh_init(); });

    Session session(ssh_new());
    if (!session) throw Error(code::Failed, QStringLiteral("无法建立 SSH 会话。"));
    ssh_session s = session.get();

    const QString home = homeFolder();
    const QString sshDir = home + QStringLiteral("/.ssh");
    bool no = false;
    ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no);
    setText(s, SSH_OPTIONS_SSH_DIR, sshDir);
    setText(s, SSH_OPTIONS_KNOWNHOSTS, sshDir + QStringLiteral("/known_hosts"));
    setText(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, QStringLiteral("/etc/ssh/ssh_known_hosts"));
    setText(s, SSH_OPTIONS_HOST, host.host);
    readConfig(s, home);
    if (host.port != 0) {
        const unsigned int port = static_cast<unsigned int>(host.port);
        ssh_options_set(s, SSH_OPTIONS_PORT, &port);
    }
    if (!user.isEmpty()) setText(s, SSH_OPTIONS_USER, user);

    target->shown = host.authority();
    target->hostName = sessionText(s, SSH_OPTIONS_HOST);
    if (target->hostName.isEmpty()) target->hostName = host.host;
    unsigned int port = 0;
    target->port = ssh_options_get_port(s, &port) == SSH_OK && port != 0 ? int(port) : 22;
    target->user = sessionText(s, SSH_OPTIONS_USER);
    if (target->user.isEmpty()) {
        target->user = localUserName();
        setText(s, SSH_OPTIONS_USER, target->user);
    }
    return session;
}

void limitTo(ssh_session session, Clock::time_point deadline) {
    const qint64 ms = remaining(deadline).count();
    const long seconds = long(ms / 1000);
    const long micros = long(ms % 1000) * 1000;
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds);
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &micros);
}

}  // namespace qelto::wmi::ssh
