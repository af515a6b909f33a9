// The WS-Management source: the host text, the probe of a bare host, and the connection, which
// gathers every class of the scan up front.

#include "source.h"

#include "client.h"
#include "internal.h"

#include "wmi/error.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>

namespace qelto::wmi::wsman {

namespace {

using std::chrono::milliseconds;

struct Easy {
    CURL* handle = curl_easy_init();
    ~Easy() { curl_easy_cleanup(handle); }
};

// Opens TCP connections to `ports` of the host at once (nothing is sent), until `deadline`.
// For each port: CURLE_OK when it accepted, or why not.
std::vector<CURLcode> tryPorts(const QString& host, const std::vector<int>& ports,
                               Clock::time_point deadline) {
    initCurl();
    CURLM* multi = curl_multi_init();
    std::vector<std::unique_ptr<Easy>> easies;
    std::vector<QByteArray> urls;
    const QString bracketed = host.contains(u':') ? u'[' + host + u']' : host;
    for (int port : ports) {
        auto e = std::make_unique<Easy>();
        urls.push_back(QStringLiteral("http://%1:%2/").arg(bracketed).arg(port).toUtf8());
        curl_easy_setopt(e->handle, CURLOPT_URL, urls.back().constData());
        curl_easy_setopt(e->handle, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(e->handle, CURLOPT_NOSIGNAL, 1L);
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        curl_easy_setopt(e->handle, CURLOPT_CONNECTTIMEOUT_MS,
                         long(std::max<qint64>(1, left.count())));
        curl_multi_add_handle(multi, e->handle);
        easies.push_back(std::move(e));
    }
    std::vector<CURLcode> results(ports.size(), CURLE_OPERATION_TIMEDOUT);
    int running = 1;
    while (running > 0 && Clock::now() < deadline + milliseconds(50)) {
        curl_multi_perform(multi, &running);
        while (CURLMsg* m = curl_multi_info_read(multi, &running)) {
            if (m->msg != CURLMSG_DONE) continue;
            for (std::size_t i = 0; i < easies.size(); ++i)
                if (easies[i]->handle == m->easy_handle) results[i] = m->data.result;
        }
        if (running > 0) curl_multi_poll(multi, nullptr, 0, 50, nullptr);
    }
    for (auto& e : easies) curl_multi_remove_handle(multi, e->handle);
    easies.clear();
    curl_multi_cleanup(multi);
    return results;
}

class WsmanSource : public Source {
  public:
    QString name() const override { return QStringLiteral("wsman"); }
    bool takes(const HostText& host) const override {
        return host.scheme == u"https" || host.scheme == u"http";
    }
    bool probesBareHosts() const override { return true; }
    int preference() const override { return 1; }

    // A bare host answers when its HTTPS or HTTP listener port accepts a connection. A host
    // text with another port is left to the other sources.
    ProbeResult probe(const HostText& host, Clock::time_point deadline) override {
        if (host.port != 0 && host.port != kDefaultPort && host.port != kUnencryptedPort)
            return ProbeResult::Silent;
        const std::vector<int> ports = host.port ? std::vector<int>{host.port}
                                                 : std::vector<int>{kDefaultPort, kUnencryptedPort};
        const std::vector<CURLcode> results = tryPorts(host.host, ports, deadline);
        if (std::ranges::any_of(results, [](CURLcode r) { return r == CURLE_OK; }))
            return ProbeResult::Answers;
        if (std::ranges::all_of(results,
                                [](CURLcode r) { return r == CURLE_COULDNT_RESOLVE_HOST; }))
            return ProbeResult::NoSuchName;
        return ProbeResult::Silent;
    }

    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host) override {
        const Clock::time_point start = Clock::now();
        const bool http =
            host.scheme == u"http" || (host.isBare() && host.port == kUnencryptedPort);
        try {
            return serviceFrom(gather(request, endpointOf(host, http), schema::classes()));
        } catch (const Error& e) {
            // A bare host without HTTPS listener may have the HTTP one, as Windows has it.
            if (http || !host.isBare() || host.port != 0 || e.number() != code::RpcUnavailable)
                throw;
            const auto deadline =
                std::max(start + request.connectTimeout, Clock::now() + milliseconds(200));
            if (tryPorts(host.host, {kUnencryptedPort}, deadline).front() != CURLE_OK) throw;
            ConnectRequest rest = request;
            rest.timeout -= std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            if (rest.timeout <= milliseconds(0)) throw;
            return serviceFrom(gather(rest, endpointOf(host, true), schema::classes()));
        }
    }
};

}  // namespace

std::unique_ptr<Source> newSource() {
    return std::make_unique<WsmanSource>();
}

}  // namespace qelto::wmi::wsman

void qelto_register_wsman_source(qelto::wmi::SourceRegistry& registry) {
    registry.add(qelto::wmi::wsman::newSource());
}
