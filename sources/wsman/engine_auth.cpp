// Logging in: over HTTPS the scheme libcurl settles on; over the HTTP listener a Negotiate login
// per lane, then every message sealed and every answer unsealed with its context.

#include "engine.h"

#include <algorithm>

namespace qelto::wmi::wsman::engine {

void Engine::sendSealed(Job& job, Kind kind, QByteArray body, QByteArray context) {
    Lane* lane = nullptr;
    for (auto& l : lanes_)
        if (!l->busy && (!lane || (l->loggedIn && !lane->loggedIn))) lane = l.get();
    if (!lane) {
        waiting_.push_back({&job, kind, std::move(body), std::move(context)});
        return;
    }
    if (!lane->loggedIn) {
        lane->gss.reset();
        loginLeg(*lane, job, kind, std::move(body), std::move(context), {}, false);
        return;
    }
    sealAndPost(*lane, job, kind, std::move(body), std::move(context), false);
}

std::unique_ptr<GssContext> Engine::newContext() const {
    GssContext::Initiator how;
    how.target = endpoint_.hostName;
    if (request_.road == Road::Credentials) {
        how.user = request_.user;
        how.password = request_.password;
        if (ticket_) {
            how.ccache = ticket_->cacheName();
            how.kerberosOnly = true;
        }
    }
    return GssContext::initiator(how);
}

void Engine::loginLeg(Lane& lane, Job& job, Kind then, QByteArray plain, QByteArray context,
                      const QByteArray& tokenIn, bool resent) {
    if (!lane.gss) lane.gss = newContext();
    QByteArray token;
    if (auto f = lane.gss->step(tokenIn, &token)) {
        // Failing before anything was sent (no ticket, say): first see that the host is
        // there and what it offers, with an empty request that carries no credentials.
        if (!login_ || !tokenIn.isEmpty()) throw loginError(*f);
        auto t = newTransfer(job, Kind::Login, {});
        t->unsent = loginError(*f);
        start(std::move(t), &lane, {});
        return;
    }
    if (token.isEmpty())
        throw Error(code::AccessDenied,
                    QStringLiteral("拒绝访问：与 %1 的登录没有完成。").arg(endpoint_.shown));
    auto t = newTransfer(job, Kind::Login, {});
    t->then = then;
    t->plain = std::move(plain);
    t->context = std::move(context);
    t->resent = resent;
    start(std::move(t), &lane, {}, "Negotiate " + token.toBase64());
}

void Engine::sealAndPost(Lane& lane, Job& job, Kind kind, QByteArray plain, QByteArray context,
                         bool resent) {
    EncryptedPart part;
    if (auto f = lane.gss->seal(plain, &part.header, &part.sealed))
        throw Error(code::Failed,
                    QStringLiteral("无法加密发往 %1 的消息：%2。").arg(endpoint_.shown, f->text));
    part.protocol = kSpnegoEncrypted;
    part.originalType = kSoapType;
    part.plainLength = plain.size();
    auto t = newTransfer(job, kind, encryptedBody(part));
    t->plain = std::move(plain);
    t->context = std::move(context);
    t->resent = resent;
    start(std::move(t), &lane, encryptedContentType(kSpnegoEncrypted));
}

Error Engine::loginError(const GssFailure& f) const {
    const QString& shown = endpoint_.shown;
    if (request_.road == Road::CurrentLogin) {
        if (f.noCredentials)
            return Error(code::AccessDenied,
                         QStringLiteral("拒绝访问：当前登录用户没有 Kerberos 票据，无法登录 "
                                        "%1。请先用 kinit 取得票据，或者输入用户名和密码"
                                        "（%2）。")
                             .arg(shown, f.text));
        if (f.expired)
            return Error(code::AccessDenied,
                         QStringLiteral("拒绝访问：当前登录用户的 Kerberos 票据已过期，无法"
                                        "登录 %1。请用 kinit 重新取得票据（%2）。")
                             .arg(shown, f.text));
    }
    if (f.unknownServer)
        return Error(code::AccessDenied,
                     QStringLiteral("拒绝访问：Kerberos 不认识 %1 的服务主体 HTTP/%2（%3）。"
                                    "Kerberos 要用主机在域中的完整名称；工作组计算机请输入"
                                    "它的本地帐户和密码（NTLM）。")
                         .arg(shown, endpoint_.hostName, f.text));
    return Error(code::AccessDenied,
                 QStringLiteral("拒绝访问：无法登录 %1（%2）。").arg(shown, f.text));
}

void Engine::loginAnswered(Transfer& t, CURLcode result) {
    Lane& lane = *t.lane;
    lane.busy = nullptr;
    try {
        loginStep(t, result);
    } catch (const Error& e) {
        // The first login speaks for the host; a later lane's trouble fails its class only.
        if (login_) throw;
        lane.loggedIn = false;
        lane.gss.reset();
        if (t.then == Kind::Release) {
            releasing_.remove(QString::fromUtf8(t.context));
        } else {
            fail(*t.job, e);
        }
        sendWaiting();
    }
}

void Engine::loginStep(Transfer& t, CURLcode result) {
    Lane& lane = *t.lane;
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) throw transportError(t, result);
    if (t.unsent) {
        basicOnly(t, status);
        if (status == 404 || status == 503) throw statusError(t, status);
        throw *t.unsent;
    }
    const QByteArray token =
        t.tokens.isEmpty() ? QByteArray() : QByteArray::fromBase64(t.tokens.front());
    if (status == 401 && !token.isEmpty() && !lane.gss->complete()) {
        loginLeg(lane, *t.job, t.then, std::move(t.plain), std::move(t.context), token, t.resent);
        return;
    }
    basicOnly(t, status);
    if (status != 200) throw statusError(t, status);
    if (!token.isEmpty() && !lane.gss->complete()) {
        QByteArray more;
        if (auto f = lane.gss->step(token, &more)) throw loginError(*f);
    }
    if (!lane.gss->complete())
        throw Error(
            code::AccessDenied,
            QStringLiteral("拒绝访问：%1 接受了登录，却没有完成相互认证。").arg(endpoint_.shown));
    lane.loggedIn = true;
    sealAndPost(lane, *t.job, t.then, std::move(t.plain), std::move(t.context), t.resent);
}

void Engine::basicOnly(const Transfer& t, long status) const {
    if (status == 401 && !t.offers.isEmpty() &&
        !t.offers.contains(QStringLiteral("Negotiate"), Qt::CaseInsensitive))
        throw Error(code::AccessDenied,
                    QStringLiteral("拒绝访问：%1 的 HTTP 监听器不接受 Negotiate，只提供 %2。"
                                   "在未加密的 HTTP 上那会以明文发送密码，所以没有登录。"
                                   "请在该主机上启用 Negotiate（Kerberos/NTLM）认证，或者"
                                   "配置 HTTPS 监听器后用 https://%3 连接。")
                        .arg(endpoint_.shown, t.offers.join(u'、'), endpoint_.hostName));
}

void Engine::unsealReply(Transfer& t) {
    const QString& shown = endpoint_.shown;
    if (!isEncryptedType(t.contentType))
        throw Error(code::Failed,
                    QStringLiteral("%1 的回复没有加密（内容类型“%2”）。通过 HTTP 的回复必须"
                                   "用登录时的会话密钥加密；连接已拒绝。")
                        .arg(shown, QString::fromLatin1(t.contentType.left(100))));
    QByteArray plain;
    try {
        for (const EncryptedPart& part : parseEncryptedBody(t.contentType, t.reply)) {
            QByteArray piece;
            if (auto f = t.lane->gss->unseal(part.header, part.sealed, &piece))
                throw Error(code::Failed,
                            QStringLiteral("%1 的回复未通过签名验证（%2）：它在途中被改动过，"
                                           "或者不是这个会话发出的。连接已拒绝。")
                                .arg(shown, f->text));
            if (piece.size() != part.plainLength)
                throw Error(code::Failed,
                            QStringLiteral("%1 的回复解密后长度不对：声明 %2 字节，实际 %3 "
                                           "字节。连接已拒绝。")
                                .arg(shown)
                                .arg(part.plainLength)
                                .arg(piece.size()));
            plain += piece;
        }
    } catch (const DecodeError& e) {
        throw Error(code::Failed,
                    QStringLiteral("从 %1 收到的回复有误：%2").arg(shown, e.message()));
    }
    t.reply = std::move(plain);
}

bool Engine::kerberosInstead(const Transfer& t) {
    if (endpoint_.sealed || request_.road != Road::Credentials || ticket_ ||
        (auth_ & CURLAUTH_NEGOTIATE))
        return false;
    if (!t.offers.contains(QStringLiteral("Negotiate"), Qt::CaseInsensitive)) return false;
    const QString principal = kerberosPrincipal(request_.user);
    if (principal.isEmpty()) return false;
    ticket_ =
        std::make_unique<PasswordTicket>(principal, request_.password, endpoint_.shown, deadline_);
    auth_ = CURLAUTH_NEGOTIATE;
    return true;
}

void Engine::settleAuth(const Transfer& t) {
    long available = 0;
    curl_easy_getinfo(t.easy, CURLINFO_HTTPAUTH_AVAIL, &available);
    if (request_.trace && available) {
        QStringList offered;
        if (available & CURLAUTH_NEGOTIATE) offered << QStringLiteral("Negotiate");
        if (available & CURLAUTH_NTLM) offered << QStringLiteral("NTLM");
        if (available & CURLAUTH_BASIC) offered << QStringLiteral("Basic");
        if (available & CURLAUTH_DIGEST) offered << QStringLiteral("Digest");
        request_.trace(QStringLiteral("%1 提供的登录方式：%2")
                           .arg(endpoint_.shown, offered.join(QStringLiteral("、"))));
    }
    const unsigned long usable = static_cast<unsigned long>(available) & auth_;
    for (unsigned long scheme : {CURLAUTH_NEGOTIATE, CURLAUTH_NTLM, CURLAUTH_BASIC})
        if (usable & scheme) {
            auth_ = scheme;
            break;
        }
    out_.scheme = auth_;
}

}  // namespace qelto::wmi::wsman::engine
