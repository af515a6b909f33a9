#include "host.h"

#include "scan.h"

namespace qelto::scan {

namespace {

std::chrono::milliseconds since(wmi::Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(wmi::Clock::now() - start);
}

}  // namespace

std::unique_ptr<wmi::Service> connectHost(wmi::Connector& connector,
                                          const wmi::ConnectRequest& request) {
    std::unique_ptr<wmi::Service> service;
    try {
        service = connector.connect(request);
    } catch (const wmi::Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw wmi::Error(wmi::code::Failed, QStringLiteral("内存不足，无法连接。"));
    } catch (const std::exception& e) {
        throw wmi::Error(wmi::code::Failed, QString::fromLocal8Bit(e.what()));
    }
    if (!service) throw wmi::Error(wmi::code::Failed, QStringLiteral("无法连接到主机。"));
    // Packet privacy, on the road with a user name and a password only.
    if (request.road == wmi::Road::Credentials) service->setAuthenticationLevel(6);
    return service;
}

HostScan scanHost(wmi::Connector& connector, const wmi::ConnectRequest& request, ScanRecord record,
                  const QLocale& locale) {
    HostScan out;
    out.record = std::move(record);
    const auto start = wmi::Clock::now();
    try {
        out.service = connectHost(connector, request);
    } catch (const wmi::Error& e) {
        out.error = e;
        out.connectTime = since(start);
        return out;
    }
    out.connectTime = since(start);
    const auto scanStart = wmi::Clock::now();
    try {
        infoscan(*out.service, out.tree, out.record, locale, &out.problems);
    } catch (const std::exception&) {
        // The scan reports nothing of its own; whatever it added stays.
    }
    out.scanTime = since(scanStart);
    return out;
}

QString connectionFailureText(const wmi::Error& error, const QString& host) {
    if (error.number() == wmi::code::RpcUnavailable)
        return QStringLiteral("远程主机：") + host + QStringLiteral(" 不存在或没有开机。");
    if (error.number() == wmi::code::AccessDenied)
        return QStringLiteral("你输入的用户名或密码错误，无法连接远程主机");
    return error.description();
}

}  // namespace qelto::scan
