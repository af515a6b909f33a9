#include "rpc.h"

#include "epm.h"

#include "wmi/error.h"

#include <algorithm>

namespace qelto::dcom {

namespace {

constexpr qsizetype RequestHeadSize = 8;   // alloc_hint, p_cont_id, opnum
constexpr qsizetype ResponseHeadSize = 8;  // alloc_hint, p_cont_id, cancel_count, reserved
constexpr std::uint8_t WholeCall = pfc::FirstFrag | pfc::LastFrag;
constexpr std::uint32_t NcaProtoError = 0x1C01000B;

QString hex(std::uint32_t v) {
    return QStringLiteral("0x%1").arg(v, 8, 16, QChar(u'0')).toUpper().replace(u'X', u'x');
}

QString interfaceName(const SyntaxId& s) {
    return s.uuid.toString(QUuid::WithoutBraces).toUpper() +
           QStringLiteral(" v%1.%2").arg(s.major).arg(s.minor);
}

QString nakReason(std::uint16_t reason) {
    static const char* const names[] = {"reason_not_specified",
                                        "temporary_congestion",
                                        "local_limit_exceeded",
                                        "called_paddr_unknown",
                                        "protocol_version_not_supported",
                                        "default_context_not_supported",
                                        "user_data_not_readable",
                                        "no_psap_available",
                                        "authentication_type_not_recognized",
                                        "invalid_checksum"};
    return reason < std::size(names) ? QString::fromLatin1(names[reason]) : QStringLiteral("未知");
}

}  // namespace

void throwFault(std::uint32_t status, const QString& peer) {
    const QString name = faultName(status);
    const QString shown = hex(status) + (name.isEmpty() ? QString() : QStringLiteral("，") + name);
    if (status == 5 || status == wmi::code::AccessDenied)
        throw wmi::Error(
            wmi::code::AccessDenied,
            QStringLiteral("拒绝访问：%1 拒绝了 RPC 调用（状态 %2）。").arg(peer, shown));
    std::uint32_t number = status;
    if (status < 0x10000)
        number = 0x80070000u | status;
    else if ((status & 0xFFFE0000u) == 0x1C000000u)
        number = rpcstatus::CallFailed;
    throw wmi::Error(number,
                     QStringLiteral("RPC 调用失败：%1 返回了故障（状态 %2）。").arg(peer, shown));
}

RpcConnection::RpcConnection(std::unique_ptr<Transport> transport, QString peer, RpcOptions options)
    : transport_(std::move(transport)),
      peer_(std::move(peer)),
      options_(options),
      maxXmit_(options.maxXmitFrag),
      maxRecv_(options.maxRecvFrag) {}

RpcConnection::~RpcConnection() = default;

void RpcConnection::protocolError(const QString& why) const {
    const_cast<RpcConnection*>(this)->broken_ = true;
    throw wmi::Error(
        rpcstatus::ProtocolError,
        QStringLiteral("与 %1 的 RPC 通信违反协议（0x800706C0）：%2。").arg(peer_, why));
}

void RpcConnection::faulted(std::uint32_t status) const {
    throwFault(status, peer_);
}

// The third leg has no answer: a server that did not accept it refuses the first call after it,
// with access denied or, as Samba does, with nca_s_proto_error. Our framing of that call is the
// same as of every later one, so this is read as refused credentials.
void RpcConnection::authRefused(std::uint32_t status) {
    broken_ = true;
    throw wmi::Error(
        wmi::code::AccessDenied,
        QStringLiteral(
            "拒绝访问：%1 "
            "没有接受认证（用户名或密码错误，或账户无权登录）：认证后的第一次调用返回了故障 %2。")
            .arg(peer_, hex(status) + QStringLiteral("，") +
                            (status == 5 ? QStringLiteral("access denied") : faultName(status))));
}

void RpcConnection::sendPdu(QByteArray pdu, reach::Deadline deadline) {
    transport_->send(pdu, deadline);
}

Fragment RpcConnection::receiveFragment(reach::Deadline deadline) {
    QByteArray bytes(HeaderSize, Qt::Uninitialized);
    transport_->receive(bytes.data(), HeaderSize, deadline);
    try {
        const Header h = parseHeader(bytes, maxRecv_);
        bytes.resize(h.fragLength);
        transport_->receive(bytes.data() + HeaderSize, h.fragLength - HeaderSize, deadline);
        return parseFragment(std::move(bytes), maxRecv_);
    } catch (const ProtocolError& e) {
        protocolError(e.text());
    }
}

Fragment RpcConnection::expect(std::uint32_t callId, reach::Deadline deadline) {
    Fragment f = receiveFragment(deadline);
    if (f.header.callId != callId)
        protocolError(
            QStringLiteral("应答的调用号 %1 不是所等待的 %2").arg(f.header.callId).arg(callId));
    return f;
}

// The PDU with a verifier: `head` (request header) and `stub` as body, the stub padded to
// AuthPadAlignment, signed over header to sec_trailer and sealed at privacy.
QByteArray RpcConnection::securedPdu(PType type, std::uint8_t flags, std::uint32_t callId,
                                     QByteArrayView head, QByteArrayView stub) {
    const auto pad =
        std::uint8_t((AuthPadAlignment - stub.size() % AuthPadAlignment) % AuthPadAlignment);
    const AuthTrailer t{security_->authType(), level_, pad, authContextId_};
    const std::uint16_t size = security_->signatureSize();
    const QByteArray body = QByteArray(head.toByteArray() + stub.toByteArray());
    QByteArray pdu = makePdu(type, flags, callId, body, &t, size);
    pdu.chop(size);
    const qsizetype from = HeaderSize + head.size();
    pdu += security_->protect(pdu, from, stub.size() + pad, level_ == AuthLevel::Privacy);
    return pdu;
}

// A PDU of an authentication leg: the body padded to 4, the token as auth value.
static QByteArray legPdu(PType type, std::uint8_t flags, std::uint32_t callId, QByteArrayView body,
                         std::uint8_t authType, AuthLevel level, std::uint32_t contextId,
                         const QByteArray& token) {
    const auto pad = std::uint8_t((4 - body.size() % 4) % 4);
    const AuthTrailer t{authType, level, pad, contextId};
    QByteArray pdu = makePdu(type, flags, callId, body, &t, std::uint16_t(token.size()));
    pdu.replace(pdu.size() - token.size(), token.size(), token);
    return pdu;
}

BindAck RpcConnection::checkBindAnswer(const Fragment& f, const SyntaxId& iface) {
    if (f.header.type == PType::BindNak) {
        const std::uint16_t reason = readFromPeer([&] { return parseBindNak(f); });
        const QString text = QStringLiteral("%1 拒绝了绑定（bind_nak 原因 %2，%3）。")
                                 .arg(peer_)
                                 .arg(reason)
                                 .arg(nakReason(reason));
        if (reason == 8 || reason == 9)
            throw wmi::Error(wmi::code::AccessDenied, QStringLiteral("拒绝访问：") + text);
        throw wmi::Error(rpcstatus::CallFailed, QStringLiteral("RPC 绑定失败：") + text);
    }
    if (f.header.type == PType::Fault) {
        const std::uint32_t status = readFromPeer([&] { return parseFault(f); });
        faulted(status);
    }
    if (f.header.type != PType::BindAck && f.header.type != PType::AlterContextResp)
        protocolError(QStringLiteral("绑定的应答是类型 %1 的报文").arg(int(f.header.type)));
    const BindAck ack = readFromPeer([&] { return parseBindAck(f); });
    if (ack.results.empty()) protocolError(QStringLiteral("绑定应答没有表示上下文结果"));
    const ContextResult& r = ack.results.front();
    if (r.result != 0)
        throw wmi::Error(wmi::code::NotSupported,
                         QStringLiteral("%1 的 RPC 服务器不提供接口 %2（结果 %3，原因 %4）。")
                             .arg(peer_, interfaceName(iface))
                             .arg(r.result)
                             .arg(r.reason));
    if (!(r.transfer == Ndr20)) protocolError(QStringLiteral("服务器选择了未提供的传输语法"));
    return ack;
}

std::uint16_t RpcConnection::bind(const SyntaxId& iface, reach::Deadline deadline,
                                  std::unique_ptr<Security> security, AuthLevel level) {
    if (nextContext_ != 0) protocolError(QStringLiteral("连接已经绑定"));
    if (security && !security->supports(level))
        throw wmi::Error(wmi::code::NotSupported,
                         QStringLiteral("认证类型 %1 不支持 RPC 认证级别 %2。")
                             .arg(security->authType())
                             .arg(int(level)));
    security_ = std::move(security);
    level_ = security_ ? level : AuthLevel::None;
    authContextId_ = 1;
    const std::uint32_t callId = nextCallId_++;
    const ContextElement ctx{0, iface, {Ndr20}};
    const QByteArray body = bindBody(options_.maxXmitFrag, options_.maxRecvFrag, 0, {&ctx, 1});
    if (security_)
        sendPdu(legPdu(PType::Bind, WholeCall | pfc::SupportHeaderSign, callId, body,
                       security_->authType(), level_, authContextId_, security_->firstToken()),
                deadline);
    else
        sendPdu(makePdu(PType::Bind, WholeCall, callId, body), deadline);
    const Fragment f = expect(callId, deadline);
    const BindAck ack = checkBindAnswer(f, iface);
    if (ack.maxRecvFrag < 256 || ack.maxXmitFrag < 256)
        protocolError(QStringLiteral("服务器的分片上限 %1/%2 太小")
                          .arg(ack.maxXmitFrag)
                          .arg(ack.maxRecvFrag));
    maxXmit_ = std::min(options_.maxXmitFrag, ack.maxRecvFrag);
    assocGroup_ = ack.assocGroup;
    nextContext_ = 1;
    if (!security_) return 0;
    security_->headerSigning((f.header.flags & pfc::SupportHeaderSign) != 0);
    if (!f.hasAuth || f.auth.type != security_->authType() || f.auth.contextId != authContextId_)
        protocolError(QStringLiteral("绑定应答缺少匹配的认证信息"));
    const QByteArray third = readFromPeer([&] { return security_->nextToken(f.authValue()); });
    if (level_ == AuthLevel::Privacy && !security_->canSeal())
        throw wmi::Error(
            wmi::code::AccessDenied,
            QStringLiteral(
                "拒绝访问：%1 不同意加密 RPC 数据（未协商 SEAL），不能使用数据包保密级别。")
                .arg(peer_));
    authUnconfirmed_ = !third.isEmpty();
    if (!third.isEmpty())
        sendPdu(legPdu(PType::Auth3, WholeCall, nextCallId_++, QByteArray(4, '\0'),
                       security_->authType(), level_, authContextId_, third),
                deadline);
    return 0;
}

std::uint16_t RpcConnection::alterContext(const SyntaxId& iface, reach::Deadline deadline) {
    if (nextContext_ == 0) protocolError(QStringLiteral("连接尚未绑定"));
    const std::uint16_t id = nextContext_;
    const std::uint32_t callId = nextCallId_++;
    const ContextElement ctx{id, iface, {Ndr20}};
    sendPdu(makePdu(PType::AlterContext, WholeCall, callId,
                    bindBody(maxXmit_, maxRecv_, assocGroup_, {&ctx, 1})),
            deadline);
    checkBindAnswer(expect(callId, deadline), iface);
    ++nextContext_;
    return id;
}

void RpcConnection::sendRequest(std::uint32_t callId, std::uint16_t context, std::uint16_t opnum,
                                QByteArrayView stub, const QUuid* object,
                                reach::Deadline deadline) {
    const bool verified = security_ && level_ >= AuthLevel::Packet;
    const qsizetype head = RequestHeadSize + (object ? 16 : 0);
    qsizetype room = options_.fragmentLimit ? std::min(maxXmit_, options_.fragmentLimit) : maxXmit_;
    room -= HeaderSize + head;
    if (verified) {
        room -= TrailerSize + security_->signatureSize();
        room -= room % AuthPadAlignment;
    }
    if (room < AuthPadAlignment) protocolError(QStringLiteral("分片上限 %1 容不下请求").arg(room));
    qsizetype at = 0;
    do {
        const qsizetype chunk = std::min(room, stub.size() - at);
        const std::uint8_t flags = (at == 0 ? pfc::FirstFrag : 0) |
                                   (at + chunk == stub.size() ? pfc::LastFrag : 0) |
                                   (object ? pfc::ObjectUuid : 0);
        const QByteArray header =
            requestHeader(std::uint32_t(stub.size() - at), context, opnum, object);
        const QByteArrayView piece = stub.sliced(at, chunk);
        sendPdu(verified ? securedPdu(PType::Request, flags, callId, header, piece)
                         : makePdu(PType::Request, flags, callId,
                                   QByteArray(header + piece.toByteArray())),
                deadline);
        at += chunk;
    } while (at < stub.size());
}

QByteArray RpcConnection::openedStub(Fragment& f, const ResponseBody& body) {
    if (!security_ || level_ < AuthLevel::Packet) return body.stub.toByteArray();
    if (!f.hasAuth || f.auth.type != security_->authType() || f.auth.level != level_ ||
        f.auth.contextId != authContextId_)
        protocolError(QStringLiteral("应答的认证尾与绑定时不一致"));
    QByteArray signedPart = f.bytes.first(f.header.fragLength - f.header.authLength);
    const qsizetype from = HeaderSize + ResponseHeadSize;
    const qsizetype length = f.trailerAt - from;
    if (!security_->unprotect(signedPart, from, length, f.authValue(),
                              level_ == AuthLevel::Privacy)) {
        broken_ = true;
        throw wmi::Error(
            rpcstatus::MessageAltered,
            QStringLiteral(
                "%1 的 RPC 应答未通过签名校验（0x8009030F）：数据可能被篡改，连接已中断。")
                .arg(peer_));
    }
    return signedPart.mid(from, length - f.auth.padLength);
}

QByteArray RpcConnection::receiveResponse(std::uint32_t callId, reach::Deadline deadline) {
    QByteArray out;
    for (bool first = true;; first = false) {
        Fragment f = expect(callId, deadline);
        if (f.header.type == PType::Fault) {
            const std::uint32_t status = readFromPeer([&] { return parseFault(f); });
            if (authUnconfirmed_ && (status == 5 || status == NcaProtoError)) authRefused(status);
            inStep_ = true;  // a fault answers the call: the stream is still in step
            faulted(status);
        }
        if (f.header.type != PType::Response)
            protocolError(QStringLiteral("调用的应答是类型 %1 的报文").arg(int(f.header.type)));
        if (first != bool(f.header.flags & pfc::FirstFrag))
            protocolError(first ? QStringLiteral("应答的第一个分片没有 FIRST_FRAG")
                                : QStringLiteral("应答中途出现 FIRST_FRAG"));
        const ResponseBody body = readFromPeer([&] { return parseResponse(f); });
        const QByteArray stub = openedStub(f, body);
        const bool last = f.header.flags & pfc::LastFrag;
        if (stub.isEmpty() && !last) protocolError(QStringLiteral("应答的中间分片没有数据"));
        if (out.size() + stub.size() > options_.maxResponse) {
            broken_ = true;
            throw wmi::Error(wmi::code::Failed,
                             QStringLiteral("%1 的 RPC 应答超过了 %2 MiB 的上限。")
                                 .arg(peer_)
                                 .arg(options_.maxResponse >> 20));
        }
        out += stub;
        authUnconfirmed_ = false;
        if (last) return out;
    }
}

QByteArray RpcConnection::call(std::uint16_t context, std::uint16_t opnum, QByteArrayView stub,
                               reach::Deadline deadline, const QUuid* object) {
    if (broken_)
        throw wmi::Error(rpcstatus::CallFailed,
                         QStringLiteral("与 %1 的 RPC 连接已因先前的错误中断。").arg(peer_));
    if (context >= nextContext_) protocolError(QStringLiteral("表示上下文 %1 未绑定").arg(context));
    const std::uint32_t callId = nextCallId_++;
    inStep_ = false;
    try {
        sendRequest(callId, context, opnum, stub, object, deadline);
        return receiveResponse(callId, deadline);
    } catch (const wmi::Error&) {
        if (!inStep_) broken_ = true;
        throw;
    }
}

std::uint16_t mapEndpoint(RpcConnection& epm, std::uint16_t context, const SyntaxId& iface,
                          reach::Deadline deadline) {
    const QByteArray answer = epm.call(context, EptMapOpnum, eptMapRequest(iface), deadline);
    EptMapAnswer a;
    try {
        a = parseEptMapResponse(answer);
    } catch (const ProtocolError& e) {
        throw wmi::Error(rpcstatus::ProtocolError,
                         QStringLiteral("%1 的端点映射器应答无效：%2。").arg(epm.peer(), e.text()));
    }
    if (a.status == EptNotRegistered || (a.status == 0 && !a.port))
        throw wmi::Error(
            wmi::code::NotSupported,
            QStringLiteral("%1 的端点映射器中没有接口 %2（ept_s_not_registered，0x16C9A0D6）。")
                .arg(epm.peer(), interfaceName(iface)));
    if (a.status != 0)
        throw wmi::Error(rpcstatus::CallFailed,
                         QStringLiteral("%1 的端点映射器返回了错误（状态 %2）。")
                             .arg(epm.peer(), hex(a.status)));
    if (*a.port == 0)
        throw wmi::Error(rpcstatus::ProtocolError,
                         QStringLiteral("%1 的端点映射器给出了端口 0。").arg(epm.peer()));
    return *a.port;
}

}  // namespace qelto::dcom
