// The messages of the engine: Enumerate, Pull and Release for each class, and what each answer
// means for its class.

#include "engine.h"

#include <QUuid>

#include <algorithm>

namespace qelto::wmi::wsman::engine {

QString Engine::newUuid() {
    return u"uuid:" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString Engine::resourceUri(const Job& job) const {
    return QString::fromLatin1(kWmiResources) + job.resourcePath + u"/*";
}

QByteArray Engine::envelope(const char* action, const Job& job, const QString& body) const {
    const QString text =
        QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
            "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
            "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
            "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
            "xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd\">"
            "<s:Header>"
            "<a:To>%1</a:To>"
            "<a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
            "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
            "</a:Address></a:ReplyTo>"
            "<a:Action s:mustUnderstand=\"true\">%2/%3</a:Action>"
            "<a:MessageID>%4</a:MessageID>"
            "<w:ResourceURI s:mustUnderstand=\"true\">%5</w:ResourceURI>"
            "<w:MaxEnvelopeSize s:mustUnderstand=\"true\">%6</w:MaxEnvelopeSize>"
            "<w:OperationTimeout>PT%7S</w:OperationTimeout>"
            "<w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
            "<p:DataLocale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
            "<p:SessionId s:mustUnderstand=\"false\">%8</p:SessionId>"
            "</s:Header><s:Body>%9</s:Body></s:Envelope>")
            .arg(xmlEscaped(endpoint_.url), QString::fromLatin1(kEnumeration),
                 QString::fromLatin1(action), newUuid(), xmlEscaped(resourceUri(job)),
                 QString::number(tuning_.maxEnvelopeSize), QString::number(operationSeconds()),
                 sessionId_, body);
    return text.toUtf8();
}

qint64 Engine::operationSeconds() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(deadline_ - Clock::now()).count();
    return std::clamp<qint64>(left - 2, 1, 60);
}

void Engine::startJob(Job& job) {
    job.started = true;
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

std::optional<qint64> Engine::domainRole() const {
    for (const Job& j : jobs_) {
        if (!isClass(j, "Win32_ComputerSystem") || j.out->items.empty()) continue;
        const Property* p = j.out->items.front().find(u"DomainRole");
        if (p && p->value.type() == Variant::Type::Int) return p->value.intValue();
        if (p && p->value.type() == Variant::Type::UInt) return qint64(p->value.uintValue());
    }
    return std::nullopt;
}

int Engine::maxElements(const Job& job) const {
    if (!job.capped) return tuning_.maxElements;
    const std::size_t left = kMaxAccounts + 1 - std::min(job.out->items.size(), kMaxAccounts);
    return int(std::min<std::size_t>(std::size_t(tuning_.maxElements), left));
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
    Job& job = *t.job;
    if (t.kind == Kind::Login) {
        loginAnswered(t, result);
        return;
    }
    if (t.lane) {
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
                loginLeg(lane, job, t.kind, std::move(t.plain), std::move(t.context), {}, true);
                return;
            }
        } else if (!t.reply.isEmpty() || status == 200) {
            unsealReply(t);
        }
        sendWaiting();
    }
    if (t.kind == Kind::Release) {  // its answer changes nothing
        releasing_.remove(QString::fromUtf8(t.context));
        return;
    }
    if (result == CURLE_OPERATION_TIMEDOUT && Clock::now() + milliseconds(50) >= deadline_)
        timedOut();  // the whole time limit, not this exchange's own trouble
    if (result == CURLE_WRITE_ERROR && t.tooLarge &&
        (t.overBudget || received_ + t.reply.size() >= tuning_.totalCap - tuning_.replyCap))
        throw transportError(t, result);
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    std::optional<Error> failure;
    Decoded decoded;
    if (result != CURLE_OK) {
        failure = transportError(t, result);
    } else if (status != 200 && !(status == 500 && !t.reply.isEmpty())) {
        failure = statusError(t, status);
    }
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
    if (!failure) {
        try {
            decoded = decodeEnumerationReply(QByteArrayView(t.reply), job.out->cls);
            if (!decoded.fault && status != 200) failure = statusError(t, status);
        } catch (const DecodeError& e) {
            failure =
                Error(code::Failed,
                      QStringLiteral("从 %1 收到的回复有误：%2").arg(endpoint_.shown, e.message()));
        }
    }
    if (!failure && decoded.fault) {
        const Fault& f = *decoded.fault;
        // Since Vista the class lives in a namespace of its own.
        if (t.kind == Kind::Enumerate && job.resourcePath == kCimv2 &&
            QLatin1StringView(job.out->cls->name)
                    .compare(QLatin1StringView("Win32_TerminalServiceSetting"),
                             Qt::CaseInsensitive) == 0 &&
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
        return;
    }
    if (failure) {
        fail(job, *failure);
        return;
    }
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
