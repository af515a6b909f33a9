// The messages of the engine: Enumerate, Pull and Release for each class, and what each answer
// means for its class.

#include "engine.h"

#include <QUuid>

#include <algorithm>

namespace qelto::wmi::wsman::engine {

void Engine::startJob(Job& job) {
    job.started = true;
    if (!job.method.isEmpty()) return send(job, Kind::Enumerate, envelope("", job, job.input));
    QString filter = QStringLiteral("Select * From ") + QString::fromLatin1(job.out->cls->name);
    if (isClass(job, "Win32_UserAccount")) {
        // A member of a domain (or a computer outside one) lists only its own accounts:
        // without the filter it would walk every account of the domain. A domain controller
        // has no others, and lists its domain's up to kMaxAccounts.
        const std::optional<qint64> role = domainRole();
        job.capped = !role || *role > 3;
        if (!job.capped) filter += QStringLiteral(" Where LocalAccount = TRUE");
    }
    send(job, Kind::Enumerate,
         envelope("Enumerate", job,
                  QStringLiteral("<n:Enumerate><w:OptimizeEnumeration/>"
                                 "<w:MaxElements>%1</w:MaxElements>"
                                 "<w:Filter Dialect=\"http://schemas.microsoft.com/wbem/"
                                 "wsman/1/WQL\">%2</w:Filter></n:Enumerate>")
                      .arg(maxElements(job))
                      .arg(xmlEscaped(filter))));
}

void Engine::pull(Job& job) {
    send(job, Kind::Pull,
         envelope("Pull", job,
                  QStringLiteral("<n:Pull><n:EnumerationContext>%1</n:EnumerationContext>"
                                 "<n:MaxElements>%2</n:MaxElements></n:Pull>")
                      .arg(xmlEscaped(job.context))
                      .arg(maxElements(job))));
}

void Engine::release(Job& job) {
    if (job.context.isEmpty()) return;
    releasing_.insert(job.context);
    send(job, Kind::Release,
         envelope("Release", job,
                  QStringLiteral("<n:Release><n:EnumerationContext>%1</n:EnumerationContext>"
                                 "</n:Release>")
                      .arg(xmlEscaped(job.context))));
    job.context.clear();
}

void Engine::send(Job& job, Kind kind, QByteArray body) {
    ++job.out->requests;
    const QByteArray context = kind == Kind::Release ? job.context.toUtf8() : QByteArray();
    if (endpoint_.sealed) {
        sendSealed(job, kind, std::move(body), context);
        return;
    }
    auto t = newTransfer(job, kind, std::move(body));
    t->context = context;
    start(std::move(t), nullptr);
}

Error Engine::statusError(const Transfer& t, long status) const {
    const QString& shown = endpoint_.shown;
    if (status == 401) {
        const QString offered = t.offers.isEmpty()
                                    ? QStringLiteral("主机没有提供认证方式")
                                    : QStringLiteral("主机提供的认证方式：") + t.offers.join(u'、');
        if (request_.road == Road::Credentials)
            return Error(code::AccessDenied,
                         QStringLiteral("拒绝访问：%1 不接受用户“%2”的登录（%3）。")
                             .arg(shown, request_.user, offered));
        return Error(code::AccessDenied,
                     QStringLiteral("拒绝访问：%1 不接受当前登录用户的 Kerberos 凭证（%2）。")
                         .arg(shown, offered));
    }
    if (status == 404 || status == 503)
        return Error(code::RpcUnavailable,
                     QStringLiteral("%1 上没有可用的 WS-Management 服务（HTTP %2）。")
                         .arg(shown)
                         .arg(status));
    return Error(code::Failed,
                 QStringLiteral("%1 返回了 HTTP %2，没有可以读懂的回复。").arg(shown).arg(status));
}

Error Engine::faultError(const Fault& fault) const {
    std::uint32_t number = fault.wmiError ? fault.wmiError : code::Failed;
    if (fault.subcode.endsWith(u":AccessDenied") || fault.subcode == u"AccessDenied" || number == 5)
        number = code::AccessDenied;
    const QString reason = fault.reason.trimmed();
    return Error(number,
                 reason.isEmpty()
                     ? QStringLiteral("%1 报告错误 %2。").arg(endpoint_.shown, fault.subcode)
                     : QStringLiteral("%1 报告错误：%2").arg(endpoint_.shown, reason));
}

void Engine::finished(Transfer& t, CURLcode result) {
    if (t.kind == Kind::Login) {
        loginAnswered(t, result);
        return;
    }
    if (t.lane && resentOnLane(t, result)) return;
    if (t.kind == Kind::Release) {  // its answer changes nothing
        releasing_.remove(QString::fromUtf8(t.context));
        return;
    }
    Job& job = *t.job;
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    std::optional<Error> failure = exchangeFailure(t, result, status);
    if (failure && login_ && status == 401 && kerberosInstead(t)) {
        startJob(job);  // the same request again, with the ticket
        return;
    }
    if (failure && login_) throw *failure;
    const bool first = login_;
    if (login_) {
        login_ = false;
        settleAuth(t);
        fill();
    }
    Decoded decoded;
    if (!failure) failure = decodeReply(t, status, &decoded);
    if (!failure && decoded.fault) {
        faulted(job, t.kind, *decoded.fault, first);
        return;
    }
    if (failure) {
        fail(job, *failure);
        return;
    }
    takeReply(job, decoded);
}

bool Engine::resentOnLane(Transfer& t, CURLcode result) {
    Lane& lane = *t.lane;
    lane.busy = nullptr;
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) {
        lane.loggedIn = false;  // the connection, and its login, are gone
    } else if (status == 401) {
        // The listener no longer knows this login (a new connection): once more.
        lane.loggedIn = false;
        lane.gss.reset();
        if (!t.resent) {
            loginLeg(lane, *t.job, t.kind, std::move(t.plain), std::move(t.context), {}, true);
            return true;
        }
    } else if (!t.reply.isEmpty() || status == 200) {
        unsealReply(t);
    }
    sendWaiting();
    return false;
}

std::optional<Error> Engine::exchangeFailure(const Transfer& t, CURLcode result, long status) {
    if (result == CURLE_OPERATION_TIMEDOUT && Clock::now() + milliseconds(50) >= deadline_)
        timedOut();  // the whole time limit, not this exchange's own trouble
    if (result == CURLE_WRITE_ERROR && t.tooLarge &&
        (t.overBudget || received_ + t.reply.size() >= tuning_.totalCap - tuning_.replyCap))
        throw transportError(t, result);
    if (result != CURLE_OK) return transportError(t, result);
    if (status != 200 && !(status == 500 && !t.reply.isEmpty())) return statusError(t, status);
    return std::nullopt;
}

std::optional<Error> Engine::decodeReply(const Transfer& t, long status, Decoded* decoded) const {
    try {
        *decoded = decodeEnumerationReply(QByteArrayView(t.reply), t.job->out->cls);
        if (!decoded->fault && status != 200) return statusError(t, status);
    } catch (const DecodeError& e) {
        return Error(code::Failed,
                     QStringLiteral("从 %1 收到的回复有误：%2").arg(endpoint_.shown, e.message()));
    }
    return std::nullopt;
}

void Engine::faulted(Job& job, Kind kind, const Fault& f, bool first) {
    // Since Vista the class lives in a namespace of its own.
    if (kind == Kind::Enumerate && job.resourcePath == kCimv2 &&
        QLatin1StringView(job.out->cls->name)
                .compare(QLatin1StringView("Win32_TerminalServiceSetting"), Qt::CaseInsensitive) ==
            0 &&
        faultError(f).number() != code::AccessDenied) {
        job.resourcePath = kTerminalServices;
        job.context.clear();
        startJob(job);
        return;
    }
    // A listener that lets nobody in says so on the first request already.
    if (first && faultError(f).number() == code::AccessDenied) throw faultError(f);
    job.context.clear();  // a fault ends the operation on the listener's side
    fail(job, faultError(f));
}

void Engine::takeReply(Job& job, Decoded& decoded) {
    for (Instance& i : decoded.reply.items) job.out->items.push_back(std::move(i));
    job.context = decoded.reply.context;
    if (job.capped && job.out->items.size() > kMaxAccounts) {
        job.out->items.erase(job.out->items.begin() + qsizetype(kMaxAccounts),
                             job.out->items.end());
        if (decoded.reply.endOfSequence) job.context.clear();
        fail(job,
             Error(code::Failed, QStringLiteral("%1 的账户超过 %2 个（域控制器列出整个域的账户），"
                                                "只列出了前 %2 个。")
                                     .arg(endpoint_.shown)
                                     .arg(kMaxAccounts)));
        return;
    }
    if (decoded.reply.endOfSequence) {
        job.context.clear();
        complete(job);
        return;
    }
    if (job.context.isEmpty()) {
        fail(job, Error(code::Failed, QStringLiteral("从 %1 收到的回复有误：枚举没有结束，"
                                                     "却没有给出枚举上下文。")
                                          .arg(endpoint_.shown)));
        return;
    }
    pull(job);
}

void Engine::fail(Job& job, Error error) {
    job.out->error = std::move(error);
    release(job);  // an abandoned walk is given back to the listener
    complete(job);
}

void Engine::complete(Job& job) {
    job.finished = true;
    if (!login_) fill();
}

void Engine::fill() {
    for (Job& next : jobs_) {
        if (inFlight() >= tuning_.connections) break;
        // The accounts are asked for once the computer's domain role is known.
        if (!next.started && (!isClass(next, "Win32_UserAccount") || systemKnown())) startJob(next);
    }
}

bool Engine::systemKnown() const {
    return std::ranges::none_of(
        jobs_, [](const Job& j) { return isClass(j, "Win32_ComputerSystem") && !j.finished; });
}

int Engine::inFlight() const {
    int n = 0;
    for (const Job& job : jobs_)
        if (job.started && !job.finished) ++n;
    return n;
}

}  // namespace qelto::wmi::wsman::engine
