// The server's key against ~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts. A key is never
// trusted silently: an unknown one only when the user says so, a changed one never.

#include "internal.h"

#include "wmi/error.h"

#include <QFile>
#include <QList>

#include <utility>

namespace qelto::wmi::ssh {

namespace {

constexpr qint64 kKnownHostsLimit = 16 * 1024 * 1024;

struct KeyFree {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using Key = std::unique_ptr<ssh_key_struct, KeyFree>;

struct EntryFree {
    void operator()(ssh_knownhosts_entry* entry) const { ssh_knownhosts_entry_free(entry); }
};

QString keyType(ssh_key key) {
    const char* name = ssh_key_type_to_char(ssh_key_type(key));
    return name ? QString::fromLatin1(name) : QStringLiteral("?");
}

// "SHA256:…" as ssh-keygen -l prints it.
QString fingerprint(ssh_key key) {
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK)
        return QStringLiteral("?");
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    if (!text) return QStringLiteral("?");
    const QString result = QString::fromLatin1(text);
    ssh_string_free_char(text);
    return result;
}

QString knownHostsFile() {
    return homeFolder() + QStringLiteral("/.ssh/known_hosts");
}

// The type and fingerprint of the key that the known-hosts files hold for the host: of the
// presented key's type when there is one, else the first. libssh does not hand out the entry
// that disagreed, so the files are read again line by line.
std::pair<QString, QString> knownKey(const Target& target, ssh_key presented) {
    const QByteArray address = target.knownHostsAddress().toUtf8();
    std::pair<QString, QString> first{QStringLiteral("?"), QStringLiteral("?")};
    bool haveFirst = false;
    for (const QString& path : {knownHostsFile(), QStringLiteral("/etc/ssh/ssh_known_hosts")}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> lines = file.read(kKnownHostsLimit).split('\n');
        for (const QByteArray& raw : lines) {
            const QByteArray line = raw.trimmed();
            if (line.isEmpty() || line.startsWith('#') || line.startsWith('@')) continue;
            ssh_knownhosts_entry* parsed = nullptr;
            if (ssh_known_hosts_parse_line(address.constData(), line.constData(), &parsed) !=
                SSH_OK)
                continue;
            const std::unique_ptr<ssh_knownhosts_entry, EntryFree> entry(parsed);
            if (!entry || !entry->publickey) continue;
            const std::pair<QString, QString> key{keyType(entry->publickey),
                                                  fingerprint(entry->publickey)};
            if (ssh_key_type(entry->publickey) == ssh_key_type(presented)) return key;
            if (!haveFirst) first = key, haveFirst = true;
        }
    }
    return first;
}

[[noreturn]] void changed(const Target& target, ssh_key presented) {
    const auto [oldType, oldPrint] = knownKey(target, presented);
    throw Error(code::HostKeyChanged,
                QStringLiteral("主机 %1 的密钥变了！已知的记录是 %2 %3，现在主机出示的是 %4 %5。"
                               "这可能是有人在冒充这台主机，连接已拒绝。若确知主机换了密钥，"
                               "请先从 %6 中删去 %7 的旧记录。")
                    .arg(target.shown, oldType, oldPrint, keyType(presented),
                         fingerprint(presented), knownHostsFile(), target.knownHostsAddress()));
}

}  // namespace

Clock::duration checkHostKey(ssh_session session, const Target& target,
                             const ConnectRequest& request) {
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(session, &raw) != SSH_OK || !raw)
        throw Error(code::Failed,
                    QStringLiteral("%1 没有出示主机密钥，连接已拒绝。").arg(target.shown));
    const Key key(raw);

    switch (ssh_session_is_known_server(session)) {
        case SSH_KNOWN_HOSTS_OK:
            return {};
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER:  // known with a key of another type: as good as changed
            changed(target, key.get());
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN:
            break;
        case SSH_KNOWN_HOSTS_ERROR:
        default:
            throw Error(
                code::Failed,
                QStringLiteral("无法读取已知主机文件 %1，连接已拒绝。").arg(knownHostsFile()));
    }

    // The host named as every other message of this source names it, also in the question.
    const HostKeyQuestion question{request.host, target.shown, keyType(key.get()),
                                   fingerprint(key.get())};
    const Clock::time_point asked = Clock::now();
    if (!request.confirmNewHostKey || !request.confirmNewHostKey(question))
        throw Error(code::HostKeyUnknown,
                    QStringLiteral("主机 %1 的密钥未知（%2 %3），未经确认不能信任，连接已拒绝。")
                        .arg(target.shown, question.keyType, question.fingerprint));
    if (ssh_session_update_known_hosts(session) != SSH_OK)
        throw Error(
            code::Failed,
            QStringLiteral("无法把 %1 的密钥写入 %2。").arg(target.shown, knownHostsFile()));
    return Clock::now() - asked;
}

}  // namespace qelto::wmi::ssh
