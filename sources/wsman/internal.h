#pragma once

#include "wmi/connector.h"
#include "wmi/secret.h"

#include <QString>

#include <chrono>
#include <memory>

namespace qelto::wmi::wsman {

// libcurl's global set-up, once per process.
void initCurl();

// The Kerberos principal a typed user name stands for: "user@REALM" from "user@realm" or
// DOMAIN\user; empty for a local user.
QString kerberosPrincipal(const QString& user);

// A ticket for `principal` got with `password` from its KDC, in a credential cache of its own
// that GSS-API uses as its default on this thread while the object lives. Throws Error
// (AccessDenied when the KDC refuses, Timeout when `deadline` passed first: no request is sent
// to a KDC after it). `shown` names the host in messages.
class PasswordTicket {
  public:
    PasswordTicket(const QString& principal, const SharedSecret& password, const QString& shown,
                   Clock::time_point deadline);
    ~PasswordTicket();
    // The same, or nothing when no KDC of the principal's realm can be found or reached (then
    // the host is a workgroup computer as far as this machine can tell). The cache is not made
    // the thread's default: it is used through its name.
    static std::unique_ptr<PasswordTicket> ifRealmKnown(const QString& principal,
                                                        const SharedSecret& password,
                                                        const QString& shown,
                                                        Clock::time_point deadline);
    const QByteArray& cacheName() const;  // "MEMORY:…"

    PasswordTicket(const PasswordTicket&) = delete;
    PasswordTicket& operator=(const PasswordTicket&) = delete;

  private:
    struct NoKdc {};
    PasswordTicket(const QString& principal, const SharedSecret& password, const QString& shown,
                   Clock::time_point deadline, bool quietWithoutKdc);
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace qelto::wmi::wsman
