#include "connector.h"

#include "common/messages.h"

#include <algorithm>

namespace qelto::connect {

using wmi::ConnectRequest;
using wmi::Error;
using wmi::HostText;
using wmi::InstanceStore;
using wmi::Service;
using wmi::StoreService;
namespace code = wmi::code;

namespace {

void traceReport(const ConnectRequest& request, const reach::Report& report) {
    if (!request.trace) return;
    for (const reach::Attempt& a : report.attempts)
        request.trace(reach::describe(a, report.candidates[a.candidate]));
}

// The error of a race without a winner; when nothing at all came back, the connect time is named.
Error failureOf(const reach::Report& report, const ConnectRequest& request) {
    Error e = unreachableError(report, request.host);
    if (e.number() == code::RpcUnavailable && !report.attempts.empty() &&
        std::ranges::all_of(report.attempts, [](const reach::Attempt& a) {
            return a.outcome == reach::Outcome::NoAnswer;
        }))
        e = Error(code::RpcUnavailable,
                  common::message::noAnswerWithin(request.host, request.connectTimeout));
    return e;
}

}  // namespace

Error unreachableError(const reach::Report& report, const QString& shown) {
    using Status = reach::Resolution::Status;
    if (report.resolution == Status::NoSuchName)
        return Error(code::HostNotFound, common::message::hostNameUnresolvable(report.host));
    if (report.resolution == Status::Failed || report.resolution == Status::TimedOut)
        return Error(code::RpcUnavailable, common::message::nameServiceUnavailable(report.host));
    // How each port fared, the most telling first: a refusal, then silence.
    QStringList parts;
    for (const reach::Candidate& c : report.candidates) {
        QString worst;
        int worstRank = -1;
        for (const reach::Attempt& a : report.attempts) {
            if (report.candidates[a.candidate].port != c.port ||
                report.candidates[a.candidate].label != c.label)
                continue;
            int rank = 0;
            switch (a.outcome) {
                case reach::Outcome::Refused:
                    rank = 5;
                    break;
                case reach::Outcome::Silent:
                case reach::Outcome::Closed:
                    rank = 4;
                    break;
                case reach::Outcome::NoAnswer:
                    rank = 3;
                    break;
                case reach::Outcome::Unreachable:
                    rank = 2;
                    break;
                default:
                    rank = 1;
                    break;
            }
            if (rank > worstRank) {
                worstRank = rank;
                worst = reach::describe(a.outcome, a.error);
            }
        }
        if (worstRank < 0) continue;
        const QString part = QStringLiteral("端口 %1（%2）%3").arg(c.port).arg(c.label, worst);
        if (!parts.contains(part)) parts << part;
    }
    return Error(code::RpcUnavailable,
                 common::message::cannotConnect(shown, parts.join(QStringLiteral("；"))));
}

// Where a host text goes: the source that takes it outright (if one does), and every candidate
// raced for it with the source that offered it, in the race's own order.
struct SourceConnector::Route {
    const Source* taker = nullptr;
    std::vector<std::pair<const Source*, Candidate>> offers;
    std::vector<reach::Candidate> ports;  // the same candidates as the race sees them

    // Offers the candidates of `source` for `host`, ranked after the sources preferred to it.
    void offer(const Source& source, const HostText& host, int preference) {
        if (!source.candidates) return;
        int rank = -preference * 100;
        for (Candidate& c : source.candidates(host)) {
            ports.push_back({source.name, c.name, c.label, c.port, rank++, c.speaksFirst});
            offers.emplace_back(&source, std::move(c));
        }
    }
};

SourceConnector::SourceConnector(std::shared_ptr<const InstanceStore> snapshot)
    : snapshot_(std::move(snapshot)) {
    if (!snapshot_) registerSources(registry_);
}

SourceConnector::SourceConnector(std::vector<Source> sources) {
    for (Source& s : sources) registry_.add(std::move(s));
}

SourceConnector::~SourceConnector() = default;

SourceConnector::Route SourceConnector::route(const HostText& host, const QString& text) const {
    Route route;
    if (snapshot_) return route;
    for (const Source& source : registry_.sources()) {
        if (!source.takes || !source.takes(host)) continue;
        route.taker = &source;
        route.offer(source, host, 0);
        return route;
    }
    if (!host.isBare()) {
        if (host.scheme == u"https" || host.scheme == u"http")
            throw Error(code::Failed,
                        QStringLiteral(
                            "无法连接 %1：此版本没有 WS-Management 来源，不能检测 Windows 主机。")
                            .arg(text));
        throw Error(code::Failed,
                    QStringLiteral("无法连接 %1：此版本没有 %2 来源。").arg(text, host.scheme));
    }
    // A bare host: every source that serves one, the preferred first, each in its own order.
    for (const Source& source : registry_.sources())
        if (source.bareHostPreference > 0) route.offer(source, host, source.bareHostPreference);
    if (route.offers.empty())
        throw Error(
            code::Failed,
            QStringLiteral("无法连接到主机 %1：此版本只能检测本机和快照文件（--snapshot 文件）。")
                .arg(text));
    return route;
}

std::vector<reach::Candidate> SourceConnector::candidates(const HostText& host,
                                                          const QString& text) const {
    return route(host, text).ports;
}

reach::Report SourceConnector::reachOnly(const ConnectRequest& request) const {
    QString why;
    const std::optional<HostText> host = wmi::parseHostText(request.host, &why);
    if (!host) throw Error(code::Failed, why);
    const std::vector<reach::Candidate> ports = candidates(*host, request.host);
    reach::Report report;
    report.host = host->host;
    if (ports.empty()) return report;
    report = reach::reachHost(host->host, ports, reach::Deadline::in(request.connectTimeout));
    traceReport(request, report);
    return report;
}

std::unique_ptr<Service> SourceConnector::connect(const ConnectRequest& request) {
    if (snapshot_) return std::make_unique<StoreService>(snapshot_);

    QString why;
    const std::optional<HostText> host = wmi::parseHostText(request.host, &why);
    if (!host) throw Error(code::Failed, why);

    Route way = route(*host, request.host);
    if (way.offers.empty()) return way.taker->dialer->connect(request, *host, nullptr);
    reach::Report report =
        reach::reachHost(host->host, way.ports, reach::Deadline::in(request.connectTimeout));
    traceReport(request, report);
    if (!report.winner) throw failureOf(report, request);
    auto& [source, candidate] = way.offers[report.winner->candidate];
    Reached reached{std::move(candidate), std::move(*report.winner)};
    return source->dialer->connect(request, *host, &reached);
}

}  // namespace qelto::connect
