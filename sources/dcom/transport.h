// The byte stream under an RPC connection: an already-connected socket, every wait bounded by
// the one deadline handed down (reach/deadline.h).
#pragma once

#include "reach/deadline.h"
#include "reach/race.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace qelto::dcom {

class Transport {
  public:
    virtual ~Transport() = default;
    // All of `bytes`, or throws wmi::Error (timeout, connection lost).
    virtual void send(QByteArrayView bytes, reach::Deadline deadline) = 0;
    // Exactly `n` bytes into `into`, or throws wmi::Error (timeout, connection closed).
    virtual void receive(char* into, qsizetype n, reach::Deadline deadline) = 0;
};

class SocketTransport : public Transport {
  public:
    // `socket`: connected, blocking or not (it is made non-blocking); `peer` names it in messages.
    SocketTransport(reach::Socket socket, QString peer);
    void send(QByteArrayView bytes, reach::Deadline deadline) override;
    void receive(char* into, qsizetype n, reach::Deadline deadline) override;

  private:
    void wait(short events, reach::Deadline deadline);

    reach::Socket socket_;
    QString peer_;
};

// A TCP connection to a numeric address (IPv4 or IPv6) within the deadline; throws wmi::Error
// (RpcUnavailable when refused or unreachable, Timeout when the deadline passes).
reach::Socket connectTcp(const QString& address, std::uint16_t port, reach::Deadline deadline);

}  // namespace qelto::dcom
