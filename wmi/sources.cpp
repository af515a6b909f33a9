#include "sources.h"

#include "error.h"

#ifdef QELTO_HAVE_LINUX_SOURCE
#include "linux/connector.h"
#endif

namespace qelto::wmi {

std::unique_ptr<Service> SourceConnector::connect(const ConnectRequest& request) {
    if (snapshot_) return std::make_unique<StoreService>(snapshot_);
#ifdef QELTO_HAVE_LINUX_SOURCE
    if (lnx::isThisMachine(request.host)) return lnx::LocalConnector().connect(request);
#endif
    const QString host = request.host.isEmpty() ? QStringLiteral(".") : request.host;
    throw Error(code::Failed,
                QStringLiteral("无法连接到主机 %1：此版本只能从快照文件检测（--snapshot 文件）。").arg(host));
}

}  // namespace qelto::wmi
