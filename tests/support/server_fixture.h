// What the tests' own servers have in common (the throwaway sshd, KDC, print scheduler and
// network namespaces): a control script run with bash ("start DIR …", "stop DIR" or the like),
// a temporary folder for the server's state, the KEY='value' lines the script wrote into DIR/env,
// a stop when the fixture is destroyed, and one form of the reason a test skips:
//
//     TestSshd sshd;
//     QELTO_SKIP_UNLESS_UP(sshd);   // "skipped: needs root (…)", "skipped: test_sshd.sh start: …"
//
// A derived fixture calls require() for what it needs before anything runs (root, programs),
// then start(); everything else it reads from env.
#pragma once

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <unistd.h>

#include <string>

// Skips the current GoogleTest test, saying why, unless `fixture` is up.
#define QELTO_SKIP_UNLESS_UP(fixture) \
    if (!(fixture).ok()) GTEST_SKIP() << (fixture).skipMessage()

namespace qelto::test {

class ServerFixture {
  public:
    ServerFixture(const ServerFixture&) = delete;
    ServerFixture& operator=(const ServerFixture&) = delete;

    bool ok() const { return error_.isEmpty(); }
    // Why the server is not up, e.g. "needs root (network namespaces)".
    QString error() const { return error_; }
    std::string skipMessage() const { return "skipped: " + error_.toStdString(); }

    static bool isRoot() { return ::geteuid() == 0; }

    QString dir;                  // the server's state folder, inside a temporary folder
    QHash<QString, QString> env;  // DIR/env as it stood after the last command

  protected:
    // `script`: relative to the source tree. `stateDir`: inside the temporary folder; the folder
    // itself when empty.
    explicit ServerFixture(const QString& script, const QString& stateDir = {})
        : script_(QStringLiteral(QELTO_SOURCE_DIR "/") + script) {
        if (!tmp_.isValid()) fail(QStringLiteral("no temporary folder"));
        dir = stateDir.isEmpty() ? tmp_.path() : tmp_.path() + u'/' + stateDir;
    }
    // Runs the stop command given to start(), if any.
    ~ServerFixture() {
        if (!stop_.isEmpty()) run(stop_, QProcessEnvironment::systemEnvironment(), {}, false);
    }

    // False (with the reason kept) unless `condition`; nothing further runs once one failed.
    bool require(bool condition, const QString& why) {
        if (!condition) fail(why);
        return ok();
    }
    bool requireRoot(const QString& what) {
        return require(isRoot(), QStringLiteral("needs root (%1)").arg(what));
    }
    // True when `program` is installed in one of the usual places.
    bool requireProgram(const QString& program) {
        const QStringList places{QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                 QStringLiteral("/sbin"), QStringLiteral("/bin")};
        return require(!QStandardPaths::findExecutable(program, places).isEmpty(),
                       program + QStringLiteral(" is not installed"));
    }

    // Runs `command` (e.g. {"start", dir, "--address", …}) and, from then on, `stop` when the
    // fixture goes, also when the start failed half-way (stop commands are idempotent). `prefix`
    // runs the script through another program (e.g. inside a network namespace); the stop runs
    // without it.
    bool start(const QStringList& command, const QStringList& stop,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
               const QStringList& prefix = {}) {
        if (!ok()) return false;
        stop_ = stop;
        return run(command, environment, prefix, true);
    }
    // Runs another command of the script (e.g. "agent DIR"); on failure, the fixture is not ok.
    bool command(const QStringList& args) {
        return ok() && run(args, QProcessEnvironment::systemEnvironment(), {}, true);
    }

    // Checks that the script wrote every one of `keys` into DIR/env.
    bool requireEnv(std::initializer_list<const char*> keys) {
        for (const char* key : keys)
            if (env.value(QLatin1String(key)).isEmpty())
                return require(false, name() + QStringLiteral(" start wrote no ") +
                                          QLatin1String(key) + QStringLiteral(" into env"));
        return ok();
    }
    QString value(const char* key) const { return env.value(QLatin1String(key)); }

    // A file of the state folder, empty when it cannot be read.
    QByteArray readFile(const QString& name) const {
        QFile f(dir + u'/' + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void fail(const QString& why) {
        if (error_.isEmpty()) error_ = why;
    }

  private:
    QString name() const { return script_.section(u'/', -1); }

    // bash SCRIPT ARGS… (at most 60 s); the script's own message on stderr tells why it failed.
    bool run(const QStringList& args, const QProcessEnvironment& environment,
             const QStringList& prefix, bool report) {
        QProcess p;
        p.setProcessEnvironment(environment);
        const QStringList argv = prefix + QStringList{QStringLiteral("bash"), script_} + args;
        p.start(argv.first(), argv.mid(1));
        QString why;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(2000);
            why = name() + u' ' + args.first() + QStringLiteral(" did not finish");
        } else if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            why = name() + u' ' + args.first() + u": " +
                  QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        }
        if (!why.isEmpty()) {
            if (report) fail(why);
            return false;
        }
        readEnv();
        return true;
    }

    void readEnv() {
        env.clear();
        QFile f(dir + u"/env");
        if (!f.open(QIODevice::ReadOnly)) return;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq <= 0) continue;
            QByteArray value = line.mid(eq + 1);
            if (value.size() >= 2 && value.startsWith('\'') && value.endsWith('\''))
                value = value.mid(1, value.size() - 2);
            env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(value));
        }
    }

    QString script_;
    QTemporaryDir tmp_;
    QString error_;
    QStringList stop_;
};

}  // namespace qelto::test
