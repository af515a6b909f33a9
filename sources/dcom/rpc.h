// One connection-oriented DCE/RPC association over a transport (C706 chapter 12, MS-RPCE 3.3):
// bind with the three authentication legs, further presentation contexts by alter_context,
// calls fragmented both ways, verifiers at packet integrity or privacy, faults turned into
// wmi::Error with their status as a number. One call at a time; every wait within the deadline
// handed down.
#pragma once

#include "pdu.h"
#include "security.h"
#include "transport.h"

#include "reach/deadline.h"

#include <QByteArray>
#include <QUuid>

#include <cstdint>
#include <memory>

namespace qelto::dcom {

struct RpcOptions {
    std::uint16_t maxXmitFrag = 5840;  // offered in bind; the server's answer may lower it
    std::uint16_t maxRecvFrag = 5840;
    // Requests are cut into fragments of at most this many bytes even when the server takes
    // more (0: as negotiated).
    std::uint16_t fragmentLimit = 0;
    // The most a reassembled response stub may hold.
    qsizetype maxResponse = 64 << 20;
};

// HRESULT_FROM_WIN32 for the statuses RPC gives.
namespace rpcstatus {
inline constexpr std::uint32_t CallFailed = 0x800706BE;      // RPC_S_CALL_FAILED
inline constexpr std::uint32_t ProtocolError = 0x800706C0;   // RPC_S_PROTOCOL_ERROR
inline constexpr std::uint32_t MessageAltered = 0x8009030F;  // SEC_E_MESSAGE_ALTERED
}  // namespace rpcstatus

class RpcConnection {
  public:
    RpcConnection(std::unique_ptr<Transport> transport, QString peer, RpcOptions options = {});
    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;
    ~RpcConnection();

    // Binds `iface` (NDR 2.0) as presentation context 0, with `security` at `level` when given
    // (Integrity or Privacy; Connect only authenticates). Throws wmi::Error: AccessDenied when the
    // server refuses the credentials, NotSupported when it does not offer the interface.
    std::uint16_t bind(const SyntaxId& iface, reach::Deadline deadline,
                       std::unique_ptr<Security> security = {},
                       AuthLevel level = AuthLevel::Privacy);
    // One more presentation context on the bound association (same security context).
    std::uint16_t alterContext(const SyntaxId& iface, reach::Deadline deadline);
    // A call of `opnum` on presentation context `context`: the request's stub in, the
    // response's stub out. `object` is the object UUID (DCOM: the IPID of the interface).
    QByteArray call(std::uint16_t context, std::uint16_t opnum, QByteArrayView stub,
                    reach::Deadline deadline, const QUuid* object = nullptr);

    std::uint32_t assocGroup() const { return assocGroup_; }
    std::uint16_t maxXmitFrag() const { return maxXmit_; }
    std::uint16_t maxRecvFrag() const { return maxRecv_; }
    const QString& peer() const { return peer_; }

  private:
    struct Handshake;
    void sendPdu(QByteArray pdu, reach::Deadline deadline);
    Fragment receiveFragment(reach::Deadline deadline);
    Fragment expect(std::uint32_t callId, reach::Deadline deadline);
    BindAck checkBindAnswer(const Fragment& f, const SyntaxId& iface);
    QByteArray securedPdu(PType type, std::uint8_t flags, std::uint32_t callId, QByteArrayView head,
                          QByteArrayView stub);
    QByteArray openedStub(Fragment& f, const ResponseBody& body);
    void sendRequest(std::uint32_t callId, std::uint16_t context, std::uint16_t opnum,
                     QByteArrayView stub, const QUuid* object, reach::Deadline deadline);
    QByteArray receiveResponse(std::uint32_t callId, reach::Deadline deadline);
    [[noreturn]] void protocolError(const QString& why) const;
    // What `read` takes apart of the peer's bytes; a malformed answer is this peer's protocol
    // error.
    template <class Read>
    auto readFromPeer(Read&& read) const {
        try {
            return read();
        } catch (const ProtocolError& e) {
            protocolError(e.text());
        }
    }
    [[noreturn]] void faulted(std::uint32_t status) const;
    [[noreturn]] void authRefused(std::uint32_t status);

    std::unique_ptr<Transport> transport_;
    QString peer_;
    RpcOptions options_;
    std::unique_ptr<Security> security_;
    AuthLevel level_ = AuthLevel::None;
    std::uint32_t authContextId_ = 0;
    std::uint32_t nextCallId_ = 1;
    std::uint16_t nextContext_ = 0;
    std::uint32_t assocGroup_ = 0;
    std::uint16_t maxXmit_ = 0, maxRecv_ = 0;
    bool broken_ = false;
    bool inStep_ = false;           // the last call's failure left the stream in step
    bool authUnconfirmed_ = false;  // auth3 sent, no call answered since
};

// The endpoint mapper (ept_map, opnum 3 of EPMv4 on port 135): the TCP port where `iface` is
// served. Throws wmi::Error (NotSupported when the interface is not registered).
std::uint16_t mapEndpoint(RpcConnection& epm, std::uint16_t context, const SyntaxId& iface,
                          reach::Deadline deadline);

// The wmi::Error for a fault status (Win32 statuses become 0x8007xxxx, 5 → AccessDenied).
[[noreturn]] void throwFault(std::uint32_t status, const QString& peer);

}  // namespace qelto::dcom
