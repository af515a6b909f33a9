// Hosts behind a real interface (tests/support/nethosts.sh): two network namespaces joined by a
// veth pair, with a firewall that drops or refuses chosen ports. Made when constructed, deleted
// when destroyed; needs root, and says why when it cannot be made.
#pragma once

#include "server_script.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace qelto::test {

class NetHosts {
  public:
    NetHosts() : name_(QStringLiteral("q%1").arg(::getpid() % 100000)) {
        if (::geteuid() != 0) {
            error_ = QStringLiteral("needs root (network namespaces)");
            return;
        }
        QHash<QString, QString> env;
        run({QStringLiteral("down"), name_});
        up_ = run({QStringLiteral("up"), name_});
    }
    ~NetHosts() {
        for (auto& p : relays_) {
            p->kill();
            p->waitForFinished(2000);
        }
        if (up_) run({QStringLiteral("down"), name_});
    }
    NetHosts(const NetHosts&) = delete;
    NetHosts& operator=(const NetHosts&) = delete;

    bool ok() const { return up_; }
    // Why the namespaces could not be made (for GTEST_SKIP, which prints it).
    QString error() const { return error_; }

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
        Inside(const NetHosts& hosts, char side) {
            home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const QByteArray path =
                "/run/netns/" + hosts.name_.toLatin1() + (side == 'c' ? "-c" : "-h");
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
    bool run(const QStringList& args) {
        QProcess p;
        p.start(QStringLiteral("bash"), QStringList{script()} + args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            if (args.first() != u"down")
                error_ = QStringLiteral("nethosts.sh %1: %2")
                             .arg(args.first(),
                                  QString::fromLocal8Bit(p.readAllStandardError()).trimmed());
            return false;
        }
        return true;
    }

    QString name_;
    QString error_;
    bool up_ = false;
    std::vector<std::unique_ptr<QProcess>> relays_;
};

}  // namespace qelto::test
