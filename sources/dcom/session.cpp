// The calls of one WMI session over DCOM, in the order Windows' own client makes them
// (MS-WMI 3.2.4: IWbemLevel1Login::NTLMLogin, IWbemServices::ExecQuery,
// IEnumWbemClassObject::Next; MS-DCOM 3.2.4.1.1: activation, 3.2.4.4.2: RemRelease).

#include "session.h"

#include <QUuid>

#include <algorithm>

namespace qelto::dcom {

namespace {

constexpr std::uint32_t kBatch = 100;        // objects asked for in each Next
constexpr std::int32_t kNextWaitMs = 10000;  // how long one Next may wait on the host
const QString kResource = QStringLiteral("//./root/cimv2");

SyntaxId syntaxOf(const Guid& iid) {
    return SyntaxId{uuidOf(iid), 0, 0};
}

Guid newCausality() {
    return guidOf(QUuid::createUuid());
}

// A stub that cannot be read as the call's reply: the RPC layer's protocol error.
template <class Read>
auto readStub(const QString& address, Read read) {
    try {
        return read();
    } catch (const FormatError& e) {
        throw wmi::Error(rpcstatus::ProtocolError,
                         QStringLiteral("与 %1 的 RPC 通信违反协议（0x800706C0）：%2")
                             .arg(address, e.message()));
    }
}

}  // namespace

QString hresultText(HResult hr) {
    return QStringLiteral("0x") + QString::number(hr, 16).rightJustified(8, u'0').toUpper();
}

WmiSession::WmiSession(std::unique_ptr<RpcConnection> activator, QString address,
                       SecurityFactory security, reach::Deadline deadline,
                       std::function<void(const QString&)> trace)
    : activator_(std::move(activator)),
      address_(std::move(address)),
      security_(std::move(security)),
      deadline_(deadline),
      trace_(std::move(trace)) {}

WmiSession::~WmiSession() = default;

void WmiSession::say(const QString& line) const {
    if (trace_) trace_(line);
}

QByteArray WmiSession::call(std::uint16_t context, std::uint16_t opnum, const QByteArray& stub,
                            const Guid& ipid) {
    ++calls_;
    const QUuid object = uuidOf(ipid);
    return exporter_->call(context, opnum, stub, deadline_, &object);
}

ActivationReply WmiSession::activate() {
    bindActivator(*activator_, address_, security_, AuthLevel::Privacy, deadline_);
    ++calls_;
    const QByteArray stub =
        activator_->call(0, RemoteCreateInstanceOpnum,
                         remoteCreateInstanceRequest(newCausality(), ids::kClsidWbemLevel1Login,
                                                     ids::kWbemLevel1Login),
                         deadline_);
    ++calls_;
    ActivationReply reply = readStub(address_, [&] { return readRemoteCreateInstanceReply(stub); });
    activator_.reset();
    const HResult hr = failed(reply.result) ? reply.result : reply.interfaceResult;
    if (hr == wmi::code::AccessDenied)
        throw wmi::Error(wmi::code::AccessDenied,
                         QStringLiteral("拒绝访问：%1 不允许这个账户远程激活 WMI（%2）。")
                             .arg(address_, hresultText(hr)));
    if (failed(hr) || !reply.object)
        throw wmi::Error(wmi::code::NotSupported,
                         QStringLiteral("%1 的 RPC 服务在端口 135 上回答了，但没有激活 WMI"
                                        "（%2），因而没有 WMI（0x8004100C）。")
                             .arg(address_, hresultText(hr)));
    return reply;
}

void WmiSession::openExporter(const ActivationReply& activation) {
    const std::optional<std::uint16_t> port = portOnReachedAddress(activation.bindings, address_);
    if (!port)
        throw wmi::Error(
            rpcstatus::ProtocolError,
            QStringLiteral("%1 激活了 WMI，却没有给出它的 TCP 端口（0x800706C0）。").arg(address_));
    say(QStringLiteral("DCOM：%1 激活了 WMI，对象在端口 %2").arg(address_).arg(*port));
    exporter_ = openObjectExporter(address_, *port, syntaxOf(ids::kWbemLevel1Login), security_,
                                   AuthLevel::Privacy, deadline_);
    ++calls_;
    contexts_.emplace_back(ids::kWbemLevel1Login, 0);
    remUnknown_ = activation.ipidRemUnknown;
}

std::uint16_t WmiSession::contextFor(const Guid& iid) {
    for (const auto& [known, context] : contexts_)
        if (known == iid) return context;
    ++calls_;
    const std::uint16_t context = exporter_->alterContext(syntaxOf(iid), deadline_);
    contexts_.emplace_back(iid, context);
    return context;
}

void WmiSession::login() {
    const ActivationReply activation = activate();
    openExporter(activation);
    const Guid login = activation.object->std.ipid;
    held_.push_back({login, std::max(activation.object->std.publicRefs, 1u), 0});
    const QByteArray stub =
        call(0, ids::kOpNtlmLogin, ntlmLoginRequest(newCausality(), kResource), login);
    const InterfaceReply reply = readStub(address_, [&] { return readInterfaceReply(stub); });
    if (reply.result == wmi::code::AccessDenied)
        throw wmi::Error(
            wmi::code::AccessDenied,
            QStringLiteral("拒绝访问：%1 不允许这个账户登录 WMI 的 root\\cimv2。").arg(address_));
    if (failed(reply.result) || !reply.object)
        throw wmi::Error(failed(reply.result) ? reply.result : wmi::code::Failed,
                         QStringLiteral("%1 没有让这个账户登录 WMI 的 root\\cimv2（%2）。")
                             .arg(address_, hresultText(reply.result)));
    services_ = reply.object->std.ipid;
    held_.push_back({services_, std::max(reply.object->std.publicRefs, 1u), 0});
    say(QStringLiteral("DCOM：已登录 %1 的 root\\cimv2").arg(address_));
}

QueryOutcome WmiSession::query(const QString& wql, std::size_t cap) {
    QueryOutcome out;
    const QByteArray stub = call(contextFor(ids::kWbemServices), ids::kOpExecQuery,
                                 execQueryRequest(newCausality(), wql), services_);
    const InterfaceReply reply = readStub(address_, [&] { return readInterfaceReply(stub); });
    if (failed(reply.result) || !reply.object) {
        out.error = wmi::Error(failed(reply.result) ? reply.result : wmi::code::Failed,
                               QStringLiteral("%1 没有执行查询“%2”（%3）。")
                                   .arg(address_, wql, hresultText(reply.result)));
        return out;
    }
    const Guid enumerator = reply.object->std.ipid;
    held_.push_back({enumerator, std::max(reply.object->std.publicRefs, 1u), 0});
    ClassCache cache;
    while (nextBatch(enumerator, out, cache, cap)) {
    }
    return out;
}

// One Next; false once the walk is over (its end, a failure, the cap).
bool WmiSession::nextBatch(const Guid& enumerator, QueryOutcome& out, ClassCache& cache,
                           std::size_t cap) {
    const auto wait = std::int32_t(std::min<long long>(kNextWaitMs, deadline_.left().count()));
    const QByteArray stub = call(contextFor(ids::kEnumWbemClassObject), ids::kOpNext,
                                 nextRequest(newCausality(), wait, kBatch), enumerator);
    NextReply reply = readStub(address_, [&] { return readNextReply(stub, kBatch); });
    for (const QByteArray& unit : reply.objects) {
        try {
            DecodedObject o = decodeEncodingUnit(unit, &cache);
            if (!o.isClass) out.items.push_back(std::move(o.instance));
        } catch (const FormatError& e) {
            out.error = wmi::Error(
                wmi::code::Failed,
                QStringLiteral("从 %1 收到的 WMI 对象无法读取：%2").arg(address_, e.message()));
            return false;
        }
    }
    if (cap && out.items.size() > cap) {
        out.items.resize(cap);
        out.error = wmi::Error(wmi::code::Failed,
                               QStringLiteral("%1 的账户超过 %2 个（域控制器列出整个域的账户），"
                                              "只列出了前 %2 个。")
                                   .arg(address_)
                                   .arg(cap));
        return false;
    }
    if (failed(reply.result)) {
        out.error = wmi::Error(
            reply.result,
            QStringLiteral("%1 的枚举失败（%2）。").arg(address_, hresultText(reply.result)));
        return false;
    }
    // S_FALSE: fewer than asked and the walk is over; WBEM_S_TIMEDOUT: ask again.
    return reply.result != kSFalse;
}

void WmiSession::release() {
    if (!exporter_ || held_.empty() || remUnknown_ == Guid{} || deadline_.passed()) return;
    try {
        const QByteArray stub = call(contextFor(ids::kRemUnknown), ids::kOpRemRelease,
                                     remReleaseRequest(newCausality(), held_), remUnknown_);
        (void)readStub(address_, [&] { return readResultReply(stub); });
    } catch (const wmi::Error&) {
        // The answers are in; a host that does not take its interfaces back keeps them until
        // the connection closes.
    }
    held_.clear();
}

}  // namespace qelto::dcom
