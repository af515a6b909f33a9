// One WMI session over DCOM: the activation of the WMI login object on the activator's
// connection, the object exporter's port on the address already reached, NTLMLogin into
// root\cimv2, then one ExecQuery and its Next calls per class, and RemRelease of every interface
// at the end. Every call under the one deadline of the request.
#pragma once

#include "activation.h"
#include "calls.h"
#include "rpc.h"
#include "wmio.h"

#include "wmi/error.h"
#include "wmi/store.h"

#include "reach/deadline.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace qelto::dcom {

// What one query gave: the instances received, and the error that ended it (a failed HRESULT,
// an object that could not be decoded, the accounts' cap).
struct QueryOutcome {
    std::vector<wmi::Instance> items;
    std::optional<wmi::Error> error;
};

class WmiSession {
  public:
    // `activator`: an unbound connection to `address` (numeric) on the activator's port.
    WmiSession(std::unique_ptr<RpcConnection> activator, QString address, SecurityFactory security,
               reach::Deadline deadline, std::function<void(const QString&)> trace = {});
    WmiSession(const WmiSession&) = delete;
    WmiSession& operator=(const WmiSession&) = delete;
    ~WmiSession();

    // Activation, the exporter's connection and NTLMLogin. Throws wmi::Error: NotSupported when
    // the host's RPC server has no DCOM activation of WMI, AccessDenied for the credentials,
    // RpcUnavailable when the object's port does not answer after 135 did.
    void login();
    // "Select …": the instances, at most `cap` of them (0: no cap; above it, the first `cap`
    // and an error). Throws wmi::Error only for what breaks the session (the connection, the
    // deadline); a failure of this query alone is in the outcome.
    QueryOutcome query(const QString& wql, std::size_t cap = 0);
    // Gives every interface back (RemRelease), best effort and within the deadline.
    void release();

    int calls() const { return calls_; }  // round trips: binds, alter_contexts and calls

  private:
    QByteArray call(std::uint16_t context, std::uint16_t opnum, const QByteArray& stub,
                    const Guid& ipid);
    ActivationReply activate();
    void openExporter(const ActivationReply& activation);
    std::uint16_t contextFor(const Guid& iid);
    bool nextBatch(const Guid& enumerator, QueryOutcome& out, ClassCache& cache, std::size_t cap);
    void say(const QString& line) const;

    std::unique_ptr<RpcConnection> activator_;
    QString address_;
    SecurityFactory security_;
    reach::Deadline deadline_;
    std::function<void(const QString&)> trace_;
    std::unique_ptr<RpcConnection> exporter_;
    std::vector<std::pair<Guid, std::uint16_t>> contexts_;  // interface → presentation context
    Guid services_{};
    Guid remUnknown_{};
    std::vector<InterfaceRef> held_;
    int calls_ = 0;
};

// The text of a failed HRESULT for messages: "0x80041010".
QString hresultText(HResult hr);
inline bool failed(HResult hr) {
    return (hr & 0x80000000u) != 0;
}

}  // namespace qelto::dcom
