// A throwaway domain controller for a test program (samba_dc.sh): provisioned and started once
// when constructed, stopped when destroyed; needs root and the Samba packages, and says so.
//
//     SambaDc dc;
//     QELTO_SKIP_UNLESS_UP(dc);
//     SambaDc::InClient inside(dc);   // sockets of this thread now belong to the client side
//
// Once up, KRB5_CONFIG and KRB5CCNAME of this process name the DC's KDC and a ticket of its
// Administrator.
#pragma once

#include "support/server_fixture.h"

#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sched.h>
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

    // While it lives, sockets this thread makes belong to the client's network namespace.
    class InClient {
      public:
        explicit InClient(const SambaDc& dc) {
            home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const int fd = ::open(QByteArray("/run/netns/" + dc.clientNetns.toLatin1()).constData(),
                                  O_RDONLY | O_CLOEXEC);
            entered_ = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0) ::close(fd);
        }
        ~InClient() {
            if (home_ >= 0) {
                if (entered_) ::setns(home_, CLONE_NEWNET);
                ::close(home_);
            }
        }
        bool ok() const { return entered_; }

      private:
        int home_ = -1;
        bool entered_ = false;
    };

    QString address, domain, user, password, clientNetns, fqdn;
};
