#pragma once

// The catalogue of message texts that more than one place says: each is written here once, by
// kind, and every layer asks for it. (Texts said in one place only stay beside their use.)

#include <QString>

#include <chrono>

namespace qelto::common::message {

// A time limit as people read it: "5 秒", "0.5 秒".
QString seconds(std::chrono::milliseconds limit);

// Reaching a host.
// The name does not resolve: "找不到主机“pc-07”：这个名字无法解析。"
QString hostNameUnresolvable(const QString& host);
// The name service gave no answer, or a temporary failure.
QString nameServiceUnavailable(const QString& host);
// Nothing answered on any port within the connection limit.
QString noAnswerWithin(const QString& host, std::chrono::milliseconds limit);
// The network or the host is unreachable.
QString unreachable(const QString& host);
// Could not connect, for the reason given (without a full stop): "无法连接 pc-07：原因。"
QString cannotConnect(const QString& host, const QString& reason);
// Could not connect, no reason known.
QString cannotConnect(const QString& host);

// Time limits.
// The scan did not finish within its limit and was stopped.
QString scanTimedOut(const QString& host, std::chrono::milliseconds limit);

}  // namespace qelto::common::message
