// A throwaway domain controller for a test program (samba_dc.sh): provisioned and started once
// when constructed, stopped when destroyed; needs root and the Samba packages, and says so.
//
//     SambaDc dc;
//     QELTO_SKIP_UNLESS_UP(dc);
//     qelto::test::NetHosts::Inside inside(dc.clientNetns);   // this thread's sockets: client side
//
// Once up, KRB5_CONFIG and KRB5CCNAME of this process name the DC's KDC and a ticket of its
// Administrator.
#pragma once

#include "support/nethosts.h"
#include "support/server_fixture.h"

#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <unistd.h>

class SambaDc : public qelto::test::ServerFixture {
  public:
    SambaDc()
        : ServerFixture(QStringLiteral("tests/sources/dcom/samba_dc.sh"), QStringLiteral("dc")) {
        if (!requireRoot(QStringLiteral("network namespaces")) ||
            !requireProgram(QStringLiteral("samba")) ||
            !requireProgram(QStringLiteral("samba-tool")))
            return;
        password = QStringLiteral("Qd-%1-7x!").arg(QRandomGenerator::global()->generate64(), 0, 36);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("TEST_DC_PASSWORD"), password);  // in the environment only
        const QString name = QStringLiteral("qd%1").arg(::getpid() % 100000);
        if (!start({QStringLiteral("start"), dir, QStringLiteral("--name"), name},
                   {QStringLiteral("stop"), dir}, e) ||
            !requireEnv(
                {"ADDRESS", "DOMAIN", "USER", "CLIENT_NETNS", "FQDN", "KRB5_CONFIG", "KRB5CCNAME"}))
            return;
        address = value("ADDRESS");
        domain = value("DOMAIN");
        user = value("USER");
        clientNetns = value("CLIENT_NETNS");
        fqdn = value("FQDN");
        // This process's Kerberos means this KDC and the Administrator's ticket (kinit).
        qputenv("KRB5_CONFIG", value("KRB5_CONFIG").toLocal8Bit());
        qputenv("KRB5CCNAME", value("KRB5CCNAME").toLocal8Bit());
    }

    QString address, domain, user, password, clientNetns, fqdn;
};
