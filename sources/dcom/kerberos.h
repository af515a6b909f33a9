// Kerberos for the RPC connection through GSS-API in DCE style (three legs: AP-REQ, AP-REP, the
// client's AP-REP in auth3), with packet privacy as wrap tokens over I/O vectors: the header and
// the sec_trailer signed when header signing was agreed, the stub sealed in place, the token
// whole as the verifier.
#pragma once

#include "security.h"

#include <QString>

#include <memory>

namespace qelto::dcom {

struct KerberosLogin {
    QString target;    // the host's service as GSS-API names it: "host@dc1.example.test"
    QString user;      // empty: the ticket of the current login (the default cache)
    QString password;  // with `user`: a ticket is fetched for it (user@REALM or user)
};

// Throws wmi::Error at once when the password fetches no ticket (AccessDenied).
std::unique_ptr<Security> kerberosSecurity(const KerberosLogin& login);

}  // namespace qelto::dcom
