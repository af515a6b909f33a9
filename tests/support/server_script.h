// Runs a test server's control script ("start DIR …", "stop DIR") and reads what it wrote into
// DIR/env: KEY='value' lines, the same file a shell sources.
#pragma once

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStringList>

namespace qelto::test {

// bash SCRIPT ARGS… with `environment`, at most 30 s. On failure `error` says why (the script's
// own message on stderr). After anything but "stop", `env` holds DIR/env as it now stands.
inline bool runServerScript(const QString& script, const QStringList& args, const QString& dir,
                            QHash<QString, QString>& env, QString& error,
                            const QProcessEnvironment& environment =
                                QProcessEnvironment::systemEnvironment()) {
    const QString name = script.section(u'/', -1);
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(QStringLiteral("bash"), QStringList{script} + args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(2000);
        error = name + u' ' + args.first() + u" did not finish";
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error = name + u' ' + args.first() + u": " +
                QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        return false;
    }
    env.clear();
    QFile f(dir + u"/env");
    if (args.first() != u"stop" && f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : f.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq <= 0) continue;
            QByteArray value = line.mid(eq + 1);
            if (value.size() >= 2 && value.startsWith('\'') && value.endsWith('\''))
                value = value.mid(1, value.size() - 2);
            env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(value));
        }
    }
    return true;
}

}  // namespace qelto::test
