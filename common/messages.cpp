#include "messages.h"

namespace qelto::common::message {

QString seconds(std::chrono::milliseconds limit) {
    if (limit.count() % 1000 == 0) return QStringLiteral("%1 秒").arg(limit.count() / 1000);
    return QStringLiteral("%1 秒").arg(double(limit.count()) / 1000.0);
}

QString hostNameUnresolvable(const QString& host) {
    return QStringLiteral("找不到主机“%1”：这个名字无法解析。").arg(host);
}

QString nameServiceUnavailable(const QString& host) {
    return QStringLiteral("无法解析主机名“%1”：名字服务没有应答或暂时不可用。").arg(host);
}

QString noAnswerWithin(const QString& host, std::chrono::milliseconds limit) {
    return QStringLiteral("无法连接 %1：%2内没有任何应答。").arg(host, seconds(limit));
}

QString unreachable(const QString& host) {
    return cannotConnect(host, QStringLiteral("网络或主机不可达"));
}

QString cannotConnect(const QString& host, const QString& reason) {
    return QStringLiteral("无法连接 %1：%2。").arg(host, reason);
}

QString cannotConnect(const QString& host) {
    return QStringLiteral("无法连接 %1。").arg(host);
}

QString scanTimedOut(const QString& host, std::chrono::milliseconds limit) {
    return QStringLiteral("检测 %1 超时：%2内没有完成，已中止。").arg(host, seconds(limit));
}

}  // namespace qelto::common::message
