#include "sources.h"

#include "error.h"

namespace qelto::wmi {

std::unique_ptr<Service> SourceConnector::connect(const ConnectRequest& request) {
    if (snapshot_) return std::make_unique<StoreService>(snapshot_);
    const QString host = request.host.isEmpty() ? QStringLiteral(".") : request.host;
    throw Error(code::Failed,
                QStringLiteral("无法连接到主机 %1：此版本只能从快照文件检测（--snapshot 文件）。").arg(host));
}

}  // namespace qelto::wmi
