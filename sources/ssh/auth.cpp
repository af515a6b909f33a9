// Logging in. The current-login road tries the SSH agent and the user's identity files, then a
// Kerberos ticket; the credentials road the password method, or keyboard-interactive with the same
// password. The password is never written anywhere.

#include "internal.h"

#include "wmi/error.h"

#include <QStringList>

#include <libssh/callbacks.h>

#include <functional>

namespace qelto::wmi::ssh {

namespace {

// An identity file with a passphrase cannot be used: nobody is asked for it.
int noPassphrase(const char*, char*, size_t, int, int, void*) {
    return -1;
}

ssh_callbacks callbacks() {
    static ssh_callbacks_struct shared = [] {
        ssh_callbacks_struct c{};
        c.auth_function = noPassphrase;
        ssh_callbacks_init(&c);
        return c;
    }();
    return &shared;
}

// Answers the password to the hidden prompt of each round; a second hidden prompt means the
// password was refused.
int keyboardInteractive(ssh_session session, const char* password) {
    int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    bool answered = false;
    for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
        const int prompts = ssh_userauth_kbdint_getnprompts(session);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            ssh_userauth_kbdint_getprompt(session, unsigned(i), &echo);
            if (echo) {
                ssh_userauth_kbdint_setanswer(session, unsigned(i), "");
                continue;
            }
            if (answered) return SSH_AUTH_DENIED;
            ssh_userauth_kbdint_setanswer(session, unsigned(i), password);
            answered = true;
        }
        rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    }
    return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
}

class Login {
  public:
    Login(ssh_session session, const Target& target, Clock::time_point deadline)
        : session_(session), target_(target), deadline_(deadline) {}

    // True when the method let the user in.
    bool attempt(const QString& method, const std::function<int()>& call) {
        tried_ << method;
        limitTo(session_, deadline_);
        const int rc = call();
        if (rc == SSH_AUTH_SUCCESS) return true;
        // AGAIN from a blocking session: the time limit ran out waiting for the server.
        if (rc == SSH_AUTH_ERROR || rc == SSH_AUTH_AGAIN) broken();
        ++refusals_;
        return false;
    }

    [[noreturn]] void denied() const {
        const QString tried = tried_.isEmpty() ? QStringLiteral("主机没有提供可用的登录方式")
                                               : QStringLiteral("已尝试：") + tried_.join(u'、');
        throw Error(code::AccessDenied, QStringLiteral("拒绝访问：%1 不接受用户“%2”的登录（%3）。")
                                            .arg(target_.shown, target_.user, tried));
    }

    // The connection broke off: the time ran out, the server gave up after refusals, or it went
    // away.
    [[noreturn]] void broken() const {
        if (ranOut(deadline_))
            throw Error(code::Timeout,
                        QStringLiteral("登录 %1 超时：在连接时限内没有完成。").arg(target_.shown));
        if (refusals_ > 0) denied();
        throw Error(code::RpcUnavailable,
                    QStringLiteral("登录 %1 时连接中断。").arg(target_.shown));
    }

  private:
    ssh_session session_;
    const Target& target_;
    Clock::time_point deadline_;
    QStringList tried_;
    int refusals_ = 0;
};

}  // namespace

void authenticate(ssh_session session, const Target& target, const ConnectRequest& request,
                  Clock::time_point deadline) {
    Login login(session, target, deadline);
    limitTo(session, deadline);
    const int none = ssh_userauth_none(session, nullptr);
    if (none == SSH_AUTH_SUCCESS) return;
    if (none == SSH_AUTH_ERROR || none == SSH_AUTH_AGAIN) login.broken();
    const int methods = ssh_userauth_list(session, nullptr);
    if (request.trace) {
        QStringList offered;
        if (methods & SSH_AUTH_METHOD_PUBLICKEY) offered << QStringLiteral("publickey");
        if (methods & SSH_AUTH_METHOD_GSSAPI_MIC) offered << QStringLiteral("gssapi-with-mic");
        if (methods & SSH_AUTH_METHOD_PASSWORD) offered << QStringLiteral("password");
        if (methods & SSH_AUTH_METHOD_INTERACTIVE)
            offered << QStringLiteral("keyboard-interactive");
        request.trace(QStringLiteral("%1 提供的登录方式：%2")
                          .arg(target.shown, offered.isEmpty()
                                                 ? QStringLiteral("（无）")
                                                 : offered.join(QStringLiteral("、"))));
    }

    if (request.road == Road::CurrentLogin) {
        if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
            ssh_set_callbacks(session, callbacks());
            if (login.attempt(QStringLiteral("SSH 代理和密钥文件"), [&] {
                    return ssh_userauth_publickey_auto(session, nullptr, nullptr);
                }))
                return;
        }
        if (methods & SSH_AUTH_METHOD_GSSAPI_MIC) {
            if (login.attempt(QStringLiteral("Kerberos 票据"),
                              [&] { return ssh_userauth_gssapi(session); }))
                return;
        }
        login.denied();
    }

    const char* password = request.password.utf8();
    if (methods & SSH_AUTH_METHOD_PASSWORD) {
        if (login.attempt(QStringLiteral("密码"),
                          [&] { return ssh_userauth_password(session, nullptr, password); }))
            return;
    }
    // Keyboard-interactive is for servers that take the password only that way; where the
    // password method said no, asking the same again would only add the server's delay.
    if ((methods & SSH_AUTH_METHOD_INTERACTIVE) && !(methods & SSH_AUTH_METHOD_PASSWORD)) {
        if (login.attempt(QStringLiteral("键盘交互"),
                          [&] { return keyboardInteractive(session, password); }))
            return;
    }
    login.denied();
}

}  // namespace qelto::wmi::ssh
