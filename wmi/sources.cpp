#include "sources.h"

#include "common/messages.h"

#include "error.h"

#include <algorithm>

namespace qelto::wmi {

namespace {

void traceReport(const ConnectRequest& request, const reach::Report& report) {
    if (!request.trace) return;
    for (const reach::Attempt& a : report.attempts)
        request.trace(reach::describe(a, report.candidates[a.candidate]));
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

std::unique_ptr<Service> Source::connect(const ConnectRequest& request, const HostText& host) {
    const std::vector<reach::Candidate> ports = candidates(host);
    if (ports.empty()) return connect(request, host, nullptr);
    reach::Report report =
        reach::reachHost(host.host, ports, reach::Deadline::in(request.connectTimeout));
    traceReport(request, report);
    if (!report.winner) throw unreachableError(report, host.authority());
    return connect(request, host, &*report.winner);
}

SourceConnector::SourceConnector(std::shared_ptr<const InstanceStore> snapshot)
    : snapshot_(std::move(snapshot)) {
    if (!snapshot_) registerSources(registry_);
}

SourceConnector::SourceConnector(std::vector<std::unique_ptr<Source>> sources) {
    for (auto& s : sources) registry_.add(std::move(s));
}

SourceConnector::~SourceConnector() = default;

std::vector<reach::Candidate> SourceConnector::candidates(const HostText& host,
                                                          const QString& text) const {
    if (snapshot_) return {};
    for (const auto& source : registry_.sources())
        if (source->takes(host)) return source->candidates(host);
    if (!host.isBare()) {
        if (host.scheme == u"https" || host.scheme == u"http")
            throw Error(code::Failed,
                        QStringLiteral(
                            "无法连接 %1：此版本没有 WS-Management 来源，不能检测 Windows 主机。")
                            .arg(text));
        throw Error(code::Failed,
                    QStringLiteral("无法连接 %1：此版本没有 %2 来源。").arg(text, host.scheme));
    }
    // A bare host: every source that serves one, ranked by preference, then within the source.
    std::vector<reach::Candidate> all;
    for (const auto& source : registry_.sources()) {
        if (!source->servesBareHosts()) continue;
        for (reach::Candidate c : source->candidates(host)) {
            c.rank -= source->preference() * 100;
            all.push_back(std::move(c));
        }
    }
    if (all.empty())
        throw Error(
            code::Failed,
            QStringLiteral("无法连接到主机 %1：此版本只能检测本机和快照文件（--snapshot 文件）。")
                .arg(text));
    return all;
}

reach::Report SourceConnector::reachOnly(const ConnectRequest& request) const {
    QString why;
    const std::optional<HostText> host = parseHostText(request.host, &why);
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
    const std::optional<HostText> host = parseHostText(request.host, &why);
    if (!host) throw Error(code::Failed, why);

    const std::vector<reach::Candidate> ports = candidates(*host, request.host);
    if (ports.empty()) {
        for (const auto& source : registry_.sources())
            if (source->takes(*host)) return source->connect(request, *host, nullptr);
    }
    reach::Report report =
        reach::reachHost(host->host, ports, reach::Deadline::in(request.connectTimeout));
    traceReport(request, report);
    if (!report.winner) {
        Error e = unreachableError(report, request.host);
        if (e.number() == code::RpcUnavailable && report.attempts.size() > 0 &&
            std::ranges::all_of(report.attempts, [](const reach::Attempt& a) {
                return a.outcome == reach::Outcome::NoAnswer;
            }))
            e = Error(code::RpcUnavailable,
                      common::message::noAnswerWithin(request.host, request.connectTimeout));
        throw e;
    }
    // The winner as its own source numbers its candidates.
    const reach::Candidate won = report.candidates[report.winner->candidate];
    for (const auto& source : registry_.sources()) {
        if (source->name() != won.source) continue;
        const std::vector<reach::Candidate> own = source->candidates(*host);
        for (std::size_t i = 0; i < own.size(); ++i)
            if (own[i].port == won.port && own[i].label == won.label) report.winner->candidate = i;
        return source->connect(request, *host, &*report.winner);
    }
    throw Error(code::Failed, common::message::cannotConnect(request.host));
}

}  // namespace qelto::wmi
