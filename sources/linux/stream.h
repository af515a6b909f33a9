#pragma once

#include "gather.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <exception>

// The gathered data of one machine as one byte stream, and the POSIX shell script that prints
// that stream on a remote machine. The format is described in docs/remote-gather.md.
namespace qelto::wmi::lnx {

// A stream that cannot be decoded.
class StreamError : public std::exception {
  public:
    enum class Kind {
        NoStart,    // no start marker: the remote side never ran the script (no POSIX sh?)
        Truncated,  // the end marker is missing: the stream was cut off
        Malformed,  // a record that makes no sense
    };
    StreamError(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}
    Kind kind() const noexcept { return kind_; }
    const QString& message() const noexcept { return message_; }  // Chinese, for the user
    const char* what() const noexcept override { return "qelto::wmi::lnx::StreamError"; }

  private:
    Kind kind_;
    QString message_;
};

// A fresh random boundary: 32 lower-case hex digits. Text printed before the stream (a login
// shell's greeting, a .bashrc that echoes) cannot be taken for data because it cannot guess it.
QByteArray newBoundary();

// Writes everything a gathering brought back as a stream framed with `boundary`. What no stream
// can carry is left out: paths that are not absolute, hold a line break, are longer than 4096
// bytes or deeper than 64 folders. Contents that hold the boundary are written in hexadecimal.
QByteArray encodeGathered(const Gathered& gathered, const QByteArray& boundary);

// Reads a stream framed with `boundary`; whatever precedes its start marker is ignored. Throws
// StreamError. Linear in the size of the stream, whatever it holds, and the gathering it gives
// takes memory in proportion to it. Probes that come as a command's output (uname -srvm and -n,
// date, ip -o addr, ss -ltn…) are turned into the forms the local gatherer gives.
Gathered decodeGathered(QByteArrayView stream, const QByteArray& boundary);

// The script that gathers `plan` on a Linux machine with nothing but sh and coreutils and
// prints the stream on its standard output. It is fed to "sh -s" on the standard input. When
// `trySudo` is set and the user is not root, it gathers through "sudo -n" if that works without a
// password, and as the user otherwise. Files that must not leave the machine (the password
// hashes of /etc/shadow, keytabs) are never printed: see the plan.
QByteArray remoteScript(const GatherPlan& plan, const QByteArray& boundary, bool trySudo = true);

// Adds to a gathering from elsewhere what is looked up on the scanning machine itself (the id
// databases that name device makers), as the plan says.
void addLocalLookups(const GatherPlan& plan, Gathered& gathered);

}  // namespace qelto::wmi::lnx
