// The engine's set-up and its loop: what the request asks for, waiting on every connection at
// once within the time limits, and the releases at the end.

#include "engine.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelto::wmi::wsman::engine {

Engine::Engine(const ConnectRequest& request, const Endpoint& endpoint, const Tuning& tuning,
               Gathering& out)
    : request_(request), endpoint_(endpoint), tuning_(tuning), out_(out) {
    initCurl();
    start_ = endpoint.reached ? endpoint.reached->reached : Clock::now();
    if (endpoint.reached) takeOver(*endpoint.reached);
    deadline_ = start_ + request.timeout;
    connectDeadline_ = std::min(deadline_, start_ + request.connectTimeout);
    sessionId_ = newUuid();
    setUpCertificates();
    if (endpoint.sealed) {
        // The HTTP listener: Negotiate on each connection, every message sealed with it.
        // A typed user in a realm whose KDC answers logs in with Kerberos, any other with
        // NTLM; the current login is the user's Kerberos ticket.
        if (request.road == Road::Credentials) {
            const QString principal = kerberosPrincipal(request.user);
            if (!principal.isEmpty())
                ticket_ = PasswordTicket::ifRealmKnown(principal, request.password, endpoint.shown,
                                                       deadline_);
        }
        for (int i = 0; i < std::max(1, tuning.connections); ++i)
            lanes_.push_back(std::make_unique<Lane>());
        for (auto& lane : lanes_) multis_.push_back(lane->multi);
        return;
    }
    if (request.road == Road::Credentials) {
        auth_ = CURLAUTH_BASIC | CURLAUTH_NTLM;
        user_ = request.user.toUtf8();
        password_ = request.password;
    } else {
        auth_ = CURLAUTH_NEGOTIATE;
    }
    if (request.road == Road::Credentials &&
        (tuning.scheme == CURLAUTH_BASIC || tuning.scheme == CURLAUTH_NTLM))
        auth_ = tuning.scheme;
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(tuning.connections));
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, long(tuning.connections));
    multis_.push_back(multi_);
}

void Engine::setUpCertificates() {
    tls_.caFile = QFile::encodeName(request_.caFile);
    if (!request_.pinSha256.isEmpty()) {
        QString pin = request_.pinSha256.trimmed();
        pin.remove(u':');
        pin.remove(u' ');
        static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        if (!hex.match(pin).hasMatch())
            throw Error(code::Failed,
                        QStringLiteral("证书指纹“%1”的格式不对：应为 64 个十六进制数字"
                                       "（SHA-256，可以用冒号分隔）。")
                            .arg(request_.pinSha256));
        tls_.pin = pin.toLatin1().toLower();
    }
    if (!request_.caFile.isEmpty() && !QFile(request_.caFile).open(QIODevice::ReadOnly))
        throw Error(code::Failed,
                    QStringLiteral("无法读取 CA 证书文件“%1”。").arg(request_.caFile));
}

Engine::~Engine() {
    for (auto& t : active_) curl_multi_remove_handle(multiOf(*t), t->easy);
    active_.clear();
    lanes_.clear();
    if (multi_) curl_multi_cleanup(multi_);
    if (handed_ >= 0) ::close(handed_);
    if (resolve_) curl_slist_free_all(resolve_);
}

void Engine::run(std::span<const schema::Class> classes) {
    out_.classes.resize(classes.size());
    jobs_.resize(classes.size());
    for (std::size_t i = 0; i < classes.size(); ++i) {
        out_.classes[i].cls = &classes[i];
        jobs_[i].out = &out_.classes[i];
    }
    if (jobs_.empty()) return;
    // The first class alone: it reaches the host and logs in.
    login_ = true;
    startJob(jobs_[0]);
    loop();
}

void Engine::call(std::span<const RegistryCall> calls) {
    static const schema::Class registry{"StdRegProv", {}};
    out_.classes.resize(calls.size());
    jobs_.resize(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        out_.classes[i].cls = &registry;
        jobs_[i].out = &out_.classes[i];
        jobs_[i].method = calls[i].method;
        const QString tag = u"r:" + calls[i].method + u"_INPUT";
        QString input = u'<' + tag + u" xmlns:r=\"" + QString::fromLatin1(kWmiResources) +
                        kRegistryClass + u"\">";
        for (const auto& [name, value] : calls[i].parameters)
            input += QStringLiteral("<r:%1>%2</r:%1>").arg(name, xmlEscaped(value));
        jobs_[i].input = input + u"</" + tag + u'>';
    }
    if (jobs_.empty()) return;
    login_ = true;
    startJob(jobs_[0]);
    loop();
}

void Engine::sendWaiting() {
    while (!waiting_.empty()) {
        if (std::ranges::none_of(lanes_, [](const auto& l) { return !l->busy; })) return;
        Waiting w = std::move(waiting_.front());
        waiting_.pop_front();
        sendSealed(*w.job, w.kind, std::move(w.body), std::move(w.context));
    }
}

milliseconds Engine::left(Clock::time_point until) {
    return std::max(milliseconds(1),
                    std::chrono::duration_cast<milliseconds>(until - Clock::now()));
}

void Engine::loop() {
    while (!active_.empty()) {
        for (CURLM* multi : multis_) {
            int running = 0;
            curl_multi_perform(multi, &running);
            while (CURLMsg* msg = curl_multi_info_read(multi, &running)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* raw = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
                const CURLcode result = msg->data.result;
                curl_multi_remove_handle(multi, msg->easy_handle);
                auto it = std::find_if(active_.begin(), active_.end(),
                                       [raw](const auto& p) { return p.get() == raw; });
                std::unique_ptr<Transfer> t = std::move(*it);
                active_.erase(it);
                finished(*t, result);
            }
        }
        if (active_.empty()) break;
        if (Clock::now() >= deadline_) timedOut();
        wait(int(std::min<qint64>(left(deadline_).count(), 200)));
    }
}

void Engine::wait(int ms) {
    if (multis_.size() == 1) {
        curl_multi_poll(multis_.front(), nullptr, 0, ms, nullptr);
        return;
    }
    // Several multi handles: poll every socket they opened (all through openSocket), for
    // reading, and for writing until it has connected; the messages are small enough never
    // to wait for room to write.
    for (CURLM* multi : multis_) {
        long timeout = -1;
        curl_multi_timeout(multi, &timeout);
        if (timeout >= 0) ms = std::min(ms, int(timeout));
    }
    std::vector<pollfd> fds;
    for (const auto& [fd, writable] : sockets_)
        fds.push_back({fd, short(POLLIN | (writable ? 0 : POLLOUT)), 0});
    if (fds.empty()) ms = std::min(ms, 10);  // libcurl between sockets: look again soon
    if (ms <= 0 || ::poll(fds.data(), fds.size(), ms) <= 0) return;
    for (const pollfd& p : fds)
        if (p.revents & POLLOUT) sockets_[p.fd] = true;
}

void Engine::timedOut() {
    // Abandoned walks are released, briefly and without waiting for more than a moment:
    // the walks in progress, and the releases that were still on their way.
    QSet<QString> contexts = releasing_;
    for (auto& t : active_) curl_multi_remove_handle(multiOf(*t), t->easy);
    active_.clear();
    waiting_.clear();
    for (auto& lane : lanes_) {  // a connection cut in the middle takes its login with it
        if (lane->busy) lane->loggedIn = false;
        lane->busy = nullptr;
    }
    for (Job& job : jobs_)
        if (!job.finished && !job.context.isEmpty()) contexts.insert(job.context);
    deadline_ = Clock::now() + milliseconds(1000);
    for (const QString& context : std::as_const(contexts)) {
        Job& job = jobs_.front();
        job.context = context;
        release(job);
    }
    loopReleases();
    throw Error(code::Timeout, common::message::scanTimedOut(endpoint_.shown, request_.timeout));
}

void Engine::loopReleases() {
    try {
        while (!active_.empty() && Clock::now() < deadline_) {
            for (CURLM* multi : multis_) {
                int running = 0;
                curl_multi_perform(multi, &running);
                while (CURLMsg* msg = curl_multi_info_read(multi, &running)) {
                    if (msg->msg != CURLMSG_DONE) continue;
                    const CURLcode result = msg->data.result;
                    curl_multi_remove_handle(multi, msg->easy_handle);
                    auto it = std::find_if(
                        active_.begin(), active_.end(),
                        [e = msg->easy_handle](const auto& p) { return p->easy == e; });
                    std::unique_ptr<Transfer> t = std::move(*it);
                    active_.erase(it);
                    if (t->kind == Kind::Login && result == CURLE_OK) {
                        loginAnswered(*t, result);
                    } else if (t->lane) {
                        t->lane->busy = nullptr;
                        sendWaiting();
                    }
                }
            }
            wait(50);
        }
    } catch (const Error&) {  // a release that cannot be sent is given up
    }
}

}  // namespace qelto::wmi::wsman::engine
