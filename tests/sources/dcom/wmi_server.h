// A WMI server over DCOM for the tests: the activator and one object exporter on two TCP ports of
// one address, NTLM at packet privacy against one account (the AUTHENTICATE checked, the
// server's direction signed and sealed), RemoteCreateInstance of the WMI login object,
// NTLMLogin, ExecQuery, Next and RemRelease answered from a recorded machine's store.
#pragma once

#include "sources/dcom/ntlm.h"
#include "sources/dcom/pdu.h"

#include "wmi/store.h"

#include <QString>
#include <QUuid>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace qelto::test {

struct WmiServerOptions {
    QString address = QStringLiteral("127.0.0.1");
    std::uint16_t activatorPort = 0;  // 0: any free port
    std::uint16_t objectPort = 0;
    dcom::NtlmCredentials account;
    bool refuseActivator = false;   // the RPC server offers no DCOM (bind refused)
    bool objectPortClosed = false;  // the bindings name a port nobody listens on
};

class WmiServer {
  public:
    WmiServer(std::shared_ptr<const wmi::InstanceStore> machine, WmiServerOptions options);
    ~WmiServer();
    std::uint16_t activatorPort() const { return activatorPort_; }
    std::uint16_t objectPort() const { return objectPort_; }
    // Requests answered (every call, not the binds), and interfaces given back by RemRelease.
    int requests() const { return requests_; }
    int released() const { return released_; }
    // Every exchange a client waited for: binds, alter_contexts and requests.
    int exchanges() const { return exchanges_; }

  private:
    struct Connection;
    void run();
    void serve(int fd);
    void bind(Connection& c, const dcom::Fragment& f);
    void request(Connection& c, const dcom::Fragment& f);
    // The reply stub of one call; `fault` set instead for a call nobody answers here.
    QByteArray answer(Connection& c, const QUuid& iface, std::uint16_t opnum, const QUuid& object,
                      const QByteArray& stub, std::uint32_t& fault);
    QByteArray activation(const QByteArray& stub);
    QByteArray execQuery(Connection& c, const QByteArray& stub);
    QByteArray next(Connection& c, const QUuid& object, const QByteArray& stub);

    std::shared_ptr<const wmi::InstanceStore> machine_;
    WmiServerOptions options_;
    int activator_ = -1, exporter_ = -1, stop_[2] = {-1, -1};
    std::uint16_t activatorPort_ = 0, objectPort_ = 0;
    std::atomic<int> requests_{0}, released_{0}, exchanges_{0};
    std::thread thread_;
    std::vector<std::thread> connections_;  // touched by thread_ alone until it has ended
};

}  // namespace qelto::test
