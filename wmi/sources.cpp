#include "sources.h"

#include "error.h"

#include <future>
#include <thread>

namespace qelto::wmi {

SourceConnector::SourceConnector(std::shared_ptr<const InstanceStore> snapshot)
    : snapshot_(std::move(snapshot)) {
    if (!snapshot_) registerSources(registry_);
}

SourceConnector::SourceConnector(std::vector<std::unique_ptr<Source>> sources) {
    for (auto& s : sources) registry_.add(std::move(s));
}

SourceConnector::~SourceConnector() = default;

std::unique_ptr<Service> SourceConnector::connect(const ConnectRequest& request) {
    if (snapshot_) return std::make_unique<StoreService>(snapshot_);
    const auto start = Clock::now();

    QString why;
    const std::optional<HostText> host = parseHostText(request.host, &why);
    if (!host) throw Error(code::Failed, why);

    for (const auto& source : registry_.sources())
        if (source->takes(*host)) return source->connect(request, *host);

    if (!host->isBare()) {
        if (host->scheme == u"https" || host->scheme == u"http")
            throw Error(code::Failed,
                        QStringLiteral(
                            "无法连接 %1：此版本没有 WS-Management 来源，不能检测 Windows 主机。")
                            .arg(request.host));
        throw Error(
            code::Failed,
            QStringLiteral("无法连接 %1：此版本没有 %2 来源。").arg(request.host, host->scheme));
    }

    // A bare host: every source that can probe one tries at once; of those that answered within
    // the connect time, the most preferred wins.
    std::vector<Source*> probing;
    for (const auto& source : registry_.sources())
        if (source->probesBareHosts()) probing.push_back(source.get());
    if (probing.empty())
        throw Error(
            code::Failed,
            QStringLiteral("无法连接到主机 %1：此版本只能检测本机和快照文件（--snapshot 文件）。")
                .arg(request.host));
    const auto deadline = start + request.connectTimeout;
    std::vector<std::future<ProbeResult>> answers;
    for (Source* s : probing)
        answers.push_back(std::async(std::launch::async, [s, &host, deadline] {
            try {
                return s->probe(*host, deadline);
            } catch (...) {
                return ProbeResult::Silent;
            }
        }));
    Source* chosen = nullptr;
    bool unresolved = true;
    for (std::size_t i = 0; i < probing.size(); ++i) {
        const ProbeResult r = answers[i].get();
        if (r != ProbeResult::NoSuchName) unresolved = false;
        if (r == ProbeResult::Answers &&
            (!chosen || probing[i]->preference() > chosen->preference()))
            chosen = probing[i];
    }
    if (!chosen) {
        if (unresolved)
            throw Error(code::HostNotFound,
                        QStringLiteral("找不到主机 %1：这个名称无法解析。").arg(host->host));
        throw Error(code::RpcUnavailable,
                    QStringLiteral("远程主机 %1 没有回应。").arg(request.host));
    }

    // The time spent probing counts against the connection's limits.
    ConnectRequest rest = request;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    rest.connectTimeout = std::max(request.connectTimeout - spent, std::chrono::milliseconds(1));
    rest.timeout = std::max(request.timeout - spent, std::chrono::milliseconds(1));
    return chosen->connect(rest, *host);
}

}  // namespace qelto::wmi
