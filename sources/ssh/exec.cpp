// The one round trip: "sh -s" on one channel, the gathering script on its standard input, the
// stream on its standard output, decoded into the machine's answers.

#include "internal.h"

#include "common/messages.h"

#include "sources/linux/source.h"
#include "sources/linux/stream.h"
#include "wmi/error.h"
#include "wmi/store.h"

#include <algorithm>

namespace qelto::wmi::ssh {

namespace {

constexpr qsizetype kErrTail = 4096;
constexpr int kChunk = 64 * 1024;
constexpr int kReadSlice = 500;  // ms between looks at the clock while the host is quiet

struct ChannelFree {
    void operator()(ssh_channel channel) const { ssh_channel_free(channel); }
};
using Channel = std::unique_ptr<ssh_channel_struct, ChannelFree>;

class Exchange {
  public:
    Exchange(ssh_channel channel, const Target& target, Clock::time_point deadline,
             Milliseconds limit, qsizetype cap, BudgetShare* share)
        : channel_(channel),
          target_(target),
          deadline_(deadline),
          limit_(limit),
          cap_(cap),
          share_(share) {}

    // Reads what the host has sent, waiting at most `waitMs` for the standard output.
    void pump(int waitMs) {
        checkTime();
        char buffer[kChunk];
        const int n = ssh_channel_read_timeout(channel_, buffer, sizeof buffer, 0, waitMs);
        if (n == SSH_ERROR) broken();
        if (n > 0) {
            if (result.out.size() + n > cap_) {
                ssh_channel_close(channel_);
                throw Error(code::Failed,
                            QStringLiteral("%1 返回的数据超过了 %2 MiB 的上限，已中止。")
                                .arg(target_.shown)
                                .arg(cap_ / (1024 * 1024)));
            }
            if (share_ && !share_->take(n)) {
                ssh_channel_close(channel_);
                throw Error(code::Failed,
                            QStringLiteral("同时检测的主机的回答合计超过了 %1 MiB 的上限，%2 "
                                           "的检测已中止；可以减少 --jobs 再试。")
                                .arg(share_->mebibytes())
                                .arg(target_.shown));
            }
            result.out.append(buffer, n);
        }
        for (;;) {
            const int e = ssh_channel_read_nonblocking(channel_, buffer, sizeof buffer, 1);
            if (e <= 0) break;
            result.errTail.append(buffer, e);
            if (result.errTail.size() > kErrTail) result.errTail = result.errTail.right(kErrTail);
        }
    }

    bool ended() const { return ssh_channel_is_eof(channel_) || ssh_channel_is_closed(channel_); }

    void checkTime() const {
        if (passed(deadline_)) timedOut();
    }

    [[noreturn]] void timedOut() const {
        throw Error(code::Timeout, common::message::scanTimedOut(target_.shown, limit_));
    }

    [[noreturn]] void broken() const {
        if (ranOut(deadline_)) timedOut();
        throw Error(code::Failed,
                    QStringLiteral("与 %1 的连接在传送数据时中断。").arg(target_.shown));
    }

    ExecResult result;

  private:
    ssh_channel channel_;
    const Target& target_;
    Clock::time_point deadline_;
    Milliseconds limit_;
    qsizetype cap_;
    BudgetShare* share_;
};

// The last line the host wrote on its standard error, for a message.
QString lastLine(const QByteArray& err) {
    const QList<QByteArray> lines = err.trimmed().split('\n');
    QString line = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last().trimmed());
    if (line.size() > 200) line = line.left(200) + u'…';
    return line;
}

}  // namespace

ExecResult runCommand(ssh_session session, const Target& target, const char* command,
                      const QByteArray& input, Clock::time_point deadline, Milliseconds limit,
                      qsizetype cap, BudgetShare* share) {
    limitTo(session, deadline);
    Channel channel(ssh_channel_new(session));
    if (!channel || ssh_channel_open_session(channel.get()) != SSH_OK ||
        ssh_channel_request_exec(channel.get(), command) != SSH_OK) {
        if (ranOut(deadline))
            throw Error(code::Timeout, common::message::scanTimedOut(target.shown, limit));
        throw Error(code::Failed, QStringLiteral("%1 不允许执行命令。").arg(target.shown));
    }
    ssh_channel ch = channel.get();
    Exchange exchange(ch, target, deadline, limit, cap, share);

    // The input goes out no faster than the host's window takes it, and whatever the host
    // answers meanwhile is read, so that neither side waits for the other.
    qsizetype written = 0;
    while (written < input.size() && !exchange.ended()) {
        limitTo(session, deadline);
        const qsizetype window = qsizetype(ssh_channel_window_size(ch));
        if (window > 0) {
            const qsizetype size = std::min({window, input.size() - written, qsizetype(kChunk)});
            const int n = ssh_channel_write(ch, input.constData() + written, uint32_t(size));
            // The command may have stopped reading (it is no shell, or it ended early): what it
            // printed is still read below, and a connection that is really gone fails there.
            if (n == SSH_ERROR) break;
            written += n;
        }
        exchange.pump(window > 0 ? 0 : 50);
    }
    if (!exchange.ended()) ssh_channel_send_eof(ch);
    while (!exchange.ended())
        exchange.pump(int(std::min<qint64>(remaining(deadline).count(), kReadSlice)));
    ssh_channel_close(ch);
    return std::move(exchange.result);
}

std::unique_ptr<Service> gatherMachine(ssh_session session, const Target& target,
                                       Clock::time_point deadline, Milliseconds limit,
                                       std::shared_ptr<AnswerBudget> budget) {
    const QByteArray boundary = lnx::newBoundary();
    BudgetShare share(std::move(budget));
    const ExecResult r =
        runCommand(session, target, "sh -s", lnx::remoteScript(lnx::linuxPlan(), boundary),
                   deadline, limit, kOutputCap, &share);
    lnx::Gathered gathered;
    try {
        gathered = lnx::decodeGathered(r.out, boundary);
    } catch (const lnx::StreamError& e) {
        if (e.kind() != lnx::StreamError::Kind::NoStart)
            throw Error(code::Failed,
                        QStringLiteral("从 %1 收到的数据有误：%2").arg(target.shown, e.message()));
        QString message = QStringLiteral(
                              "%1 没有运行检测脚本：它可能不是 Linux 主机，或者没有 "
                              "POSIX sh。SSH 来源只能检测 Linux 主机。")
                              .arg(target.shown);
        if (const QString err = lastLine(r.errTail); !err.isEmpty())
            message += QStringLiteral("（远程的错误输出：%1）").arg(err);
        throw Error(code::NotSupported, message);
    }
    const QByteArray uname = gathered.probe(QStringLiteral("uname")).value_or(QByteArray());
    const QByteArray system = uname.left(uname.indexOf('\n')).trimmed();
    if (system != "Linux")
        throw Error(code::NotSupported,
                    QStringLiteral("%1 运行的是 %2，不是 Linux；SSH 来源只能检测 Linux 主机。")
                        .arg(target.shown, system.isEmpty() ? QStringLiteral("未知的系统")
                                                            : QString::fromUtf8(system)));
    lnx::addLocalLookups(lnx::linuxPlan(), gathered);
    return std::make_unique<StoreService>(lnx::buildStore(gathered));
}

}  // namespace qelto::wmi::ssh
