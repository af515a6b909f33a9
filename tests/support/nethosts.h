// Hosts behind a real interface (tests/support/nethosts.sh): two network namespaces joined by a
// veth pair, with a firewall that drops or refuses chosen ports; or, made Silent, a client
// namespace where every host of 198.51.100.0/24 swallows what it is sent. Made when constructed,
// deleted when destroyed; needs root, and says why when it cannot be made.
#pragma once

#include "server_fixture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace qelto::test {

class NetHosts : public ServerFixture {
  public:
    enum class Kind { Hosts, Silent };

    explicit NetHosts(Kind kind = Kind::Hosts, const QString& prefix = QStringLiteral("q"))
        : ServerFixture(QStringLiteral("tests/support/nethosts.sh")),
          name_(prefix + QString::number(::getpid() % 100000)) {
        if (!requireRoot(QStringLiteral("network namespaces"))) return;
        command({QStringLiteral("down"), name_});  // what a killed run may have left
        start({kind == Kind::Hosts ? QStringLiteral("up") : QStringLiteral("silent"), name_},
              {QStringLiteral("down"), name_});
    }
    ~NetHosts() {
        for (auto& p : relays_) {
            p->kill();
            p->waitForFinished(2000);
        }
    }

    bool drop(const QString& address, int port) {
        return run({QStringLiteral("drop"), name_, address, QString::number(port)});
    }
    bool reject(const QString& address, int port) {
        return run({QStringLiteral("reject"), name_, address, QString::number(port)});
    }
    // The arguments that run a program in the client ('c') or hosts ('h') namespace.
    QStringList exec(char side, const QStringList& command) const {
        return execOn(QString(QChar::fromLatin1(side)), command);
    }
    // A further client namespace `k` (1–9) with a veth pair of its own into the hosts namespace:
    // another machine on the same network. Deleted with the rest.
    bool addClient(int k) { return run({QStringLiteral("client"), name_, QString::number(k)}); }
    // The arguments that run a program in client namespace `k`.
    QStringList execInClient(int k, const QStringList& command) const {
        return execOn(QStringLiteral("c%1").arg(k), command);
    }
    // A relay in the hosts namespace from `address`:`port` to `targetAddress`:`target` there,
    // holding every chunk `delayMs` in each direction.
    bool relay(const QString& address, int port, int target, int delayMs,
               const QString& targetAddress = QStringLiteral("127.0.0.1")) {
        auto p = std::make_unique<QProcess>();
        const QStringList args =
            exec('h', {QStringLiteral("python3"),
                       QStringLiteral(QELTO_SOURCE_DIR "/tests/support/delay_relay.py"), address,
                       QString::number(port), targetAddress, QString::number(target),
                       QString::number(delayMs), QStringLiteral("120")});
        p->start(args.first(), args.mid(1));
        if (!p->waitForReadyRead(10000) || !p->readAll().startsWith("ready")) return false;
        relays_.push_back(std::move(p));
        return true;
    }

    // While it lives, sockets this thread makes belong to one of the namespaces.
    class Inside {
      public:
        Inside(const NetHosts& hosts, char side)
            : Inside(hosts.name_ + (side == 'c' ? QStringLiteral("-c") : QStringLiteral("-h"))) {}
        // Any named network namespace (ip netns), e.g. one another fixture made.
        explicit Inside(const QString& netns) {
            home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const QByteArray path = "/run/netns/" + netns.toLatin1();
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            entered_ = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0) ::close(fd);
        }
        ~Inside() {
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

  private:
    QStringList execOn(const QString& side, const QStringList& command) const {
        return QStringList{QStringLiteral("bash"), script(), QStringLiteral("exec"), name_, side} +
               command;
    }
    static QString script() {
        return QStringLiteral(QELTO_SOURCE_DIR "/tests/support/nethosts.sh");
    }
    bool run(const QStringList& args) { return command(args); }

    QString name_;
    std::vector<std::unique_ptr<QProcess>> relays_;
};

}  // namespace qelto::test
