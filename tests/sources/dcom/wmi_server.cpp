#include "wmi_server.h"

#include "sources/dcom/activation.h"
#include "sources/dcom/calls.h"
#include "sources/dcom/pdu.h"
#include "sources/dcom/wmio.h"

#include "wmi/error.h"

#include "wmi/schema.h"
#include "wmi/wql.h"

#include <QHash>
#include <QUuid>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace qelto::test {

using namespace dcom;

namespace {

constexpr std::uint16_t kFrag = 5840;
constexpr std::uint8_t kWhole = pfc::FirstFrag | pfc::LastFrag;
constexpr std::uint32_t kAccessDenied = 5, kOpRangeError = 0x1C010002;

int listenOn(const QString& address, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

// Exactly n bytes within ten seconds; false at the end of the stream, on silence, or once the
// server stops (`stop` readable).
bool readAll(int fd, int stop, char* into, qsizetype n) {
    while (n > 0) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(p, 2, 10000) <= 0 || p[1].revents) return false;
        const ssize_t got = ::read(fd, into, size_t(n));
        if (got <= 0) return false;
        into += got;
        n -= got;
    }
    return true;
}

void writeAll(int fd, QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + at, size_t(bytes.size() - at));
        if (put <= 0) return;
        at += put;
    }
}

std::optional<Fragment> readFragment(int fd, int stop) {
    QByteArray bytes(HeaderSize, '\0');
    if (!readAll(fd, stop, bytes.data(), HeaderSize)) return std::nullopt;
    const Header h = parseHeader(bytes, kFrag);
    bytes.resize(h.fragLength);
    if (!readAll(fd, stop, bytes.data() + HeaderSize, h.fragLength - HeaderSize))
        return std::nullopt;
    return parseFragment(std::move(bytes), kFrag);
}

struct Enumerator {
    std::vector<QByteArray> units;
    std::size_t next = 0;
    bool failsAfter = false;
};

}  // namespace

// One security context of a connection (by its auth_context_id): ours binds once and adds
// interfaces under it; another client may authenticate each alter_context anew.
struct Security {
    NtlmServer ntlm;
    bool authenticated = false;
};

struct WmiServer::Connection {
    int fd;
    NtlmCredentials account;
    std::map<std::uint32_t, Security> security;
    QHash<std::uint16_t, QUuid> contexts;
    QHash<QUuid, Enumerator> enumerators;
};

WmiServer::WmiServer(std::shared_ptr<const wmi::InstanceStore> machine, WmiServerOptions options)
    : machine_(std::move(machine)), options_(std::move(options)) {
    activatorPort_ = options_.activatorPort;
    objectPort_ = options_.objectPort;
    activator_ = listenOn(options_.address, activatorPort_);
    exporter_ = listenOn(options_.address, objectPort_);
    if (options_.objectPortClosed) {
        ::close(exporter_);  // its number stays in the bindings
        exporter_ = -1;
    }
    if (::pipe2(stop_, O_CLOEXEC) != 0 || activator_ < 0) return;
    thread_ = std::thread([this] { run(); });
}

WmiServer::~WmiServer() {
    if (stop_[1] >= 0) (void)!::write(stop_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : connections_) t.join();
    for (int fd : {activator_, exporter_, stop_[0], stop_[1]})
        if (fd >= 0) ::close(fd);
}

void WmiServer::run() {
    for (;;) {
        pollfd p[3] = {{stop_[0], POLLIN, 0}, {activator_, POLLIN, 0}, {exporter_, POLLIN, 0}};
        if (::poll(p, exporter_ >= 0 ? 3 : 2, 30000) <= 0 || p[0].revents) return;
        for (int k = 1; k < 3; ++k) {
            if (!(p[k].revents & POLLIN)) continue;
            const int fd = ::accept4(p[k].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            // Each connection apart: a client keeps the activator's open while it uses the
            // object's.
            connections_.emplace_back([this, fd] {
                try {
                    serve(fd);
                } catch (const ProtocolError&) {
                    // a broken client: the connection ends
                } catch (const FormatError&) {
                }
                ::close(fd);
            });
        }
    }
}

namespace {

const QUuid kLoginIpid(0x10000001, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
const QUuid kServicesIpid(0x10000002, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
const QUuid kRemUnknownIpid(0x10000003, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
constexpr std::uint64_t kOxid = 0x5152535455565758;

// The bindings of the exporter: another host's name first, then the address served.
DualStringArray bindingsOf(const WmiServerOptions& o, std::uint16_t port) {
    DualStringArray a;
    a.strings.push_back({kTowerTcp, QStringLiteral("WIN-ELSEWHERE[9]")});
    a.strings.push_back({kTowerTcp, QStringLiteral("%1[%2]").arg(o.address).arg(port)});
    a.security.push_back({authtype::Ntlm, QString()});
    return a;
}

QByteArray objRef(const Guid& iid, const QUuid& ipid, const DualStringArray& bindings) {
    return writeStandardObjRef(iid, StdObjRef{0, 5, kOxid, 7, guidOf(ipid)}, bindings);
}

// bind_ack or alter_context_resp: every context accepted but a refused activator.
QByteArray bindAnswer(const Fragment& f, bool refuseActivator, QHash<std::uint16_t, QUuid>& map,
                      const QByteArray& token) {
    WireReader r(f.body(), "bind");
    r.skip(8);
    const std::uint8_t n = r.u8();
    r.skip(3);
    WireWriter w;
    const bool bind = f.header.type == PType::Bind;
    w.u16(kFrag).u16(kFrag).u32(0x5a5a);
    if (bind)
        w.u16(4).bytes(QByteArrayView("135", 4));
    else
        w.u16(0);
    w.align(4).u8(n).zeros(3);
    for (int k = 0; k < n; ++k) {
        const std::uint16_t id = r.u16();
        const std::uint8_t transfers = r.u8();
        r.skip(1);
        const QUuid iface = r.uuid();
        r.skip(4 + 20 * qsizetype(transfers));
        const bool refused = refuseActivator && iface == RemoteScmActivator.uuid;
        if (!refused) map.insert(id, iface);
        w.u16(refused ? 2 : 0).u16(refused ? 1 : 0).uuid(Ndr20.uuid).u16(2).u16(0);
    }
    const AuthTrailer t{authtype::Ntlm, AuthLevel::Privacy, 0, f.auth.contextId};
    const PType type = bind ? PType::BindAck : PType::AlterContextResp;
    QByteArray pdu = makePdu(type, kWhole | pfc::SupportHeaderSign, f.header.callId, w.bytes(),
                             token.isEmpty() ? nullptr : &t, std::uint16_t(token.size()));
    return pdu.replace(pdu.size() - token.size(), token.size(), token);
}

QByteArray faultPdu(std::uint32_t callId, std::uint32_t status) {
    return makePdu(PType::Fault, kWhole, callId,
                   WireWriter().u32(0).u32(0).u32(status).u32(0).bytes());
}

// The reply in fragments the client takes (5840 bytes), each signed and sealed.
void sendSealed(int fd, NtlmSession& s, const Fragment& f, std::uint16_t context,
                QByteArrayView stub) {
    constexpr qsizetype chunk = kFrag - HeaderSize - 8 - TrailerSize - NtlmSession::SignatureSize;
    qsizetype at = 0;
    do {
        const qsizetype n = std::min(chunk, stub.size() - at);
        const bool last = at + n == stub.size();
        const auto pad = std::uint8_t(last ? (16 - n % 16) % 16 : 0);
        WireWriter w;
        w.u32(std::uint32_t(stub.size() - at)).u16(context).u16(0).bytes(stub.sliced(at, n));
        const AuthTrailer t{authtype::Ntlm, AuthLevel::Privacy, pad, f.auth.contextId};
        const std::uint8_t flags = (at == 0 ? pfc::FirstFrag : 0) | (last ? pfc::LastFrag : 0);
        QByteArray pdu = makePdu(PType::Response, flags, f.header.callId, w.bytes(), &t,
                                 NtlmSession::SignatureSize);
        pdu.chop(NtlmSession::SignatureSize);
        const QByteArray verifier = s.sign(pdu, HeaderSize + 8, n + pad);
        writeAll(fd, QByteArray(pdu + verifier));
        at += n;
    } while (at < stub.size());
}

}  // namespace

void WmiServer::serve(int fd) {
    Connection c{fd, options_.account, {}, {}, {}};
    while (std::optional<Fragment> f = readFragment(fd, stop_[0])) {
        switch (f->header.type) {
            case PType::Bind:
            case PType::AlterContext:
                ++exchanges_;
                bind(c, *f);
                break;
            case PType::Auth3:
                if (auto s = c.security.find(f->auth.contextId); s != c.security.end())
                    s->second.authenticated = s->second.ntlm.accept(f->authValue());
                break;
            case PType::Request:
                ++exchanges_;
                request(c, *f);
                break;
            default:
                return;
        }
    }
}

void WmiServer::bind(Connection& c, const Fragment& f) {
    QByteArray token;
    if (f.hasAuth) {
        c.security.erase(f.auth.contextId);
        Security& s =
            c.security.emplace(f.auth.contextId, Security{NtlmServer(c.account)}).first->second;
        token = s.ntlm.challenge(f.authValue());
    }
    writeAll(c.fd, bindAnswer(f, options_.refuseActivator, c.contexts, token));
}

void WmiServer::request(Connection& c, const Fragment& f) {
    const bool withObject = f.header.flags & pfc::ObjectUuid;
    WireReader r(f.body(), "request");
    r.skip(4);
    const std::uint16_t context = r.u16(), opnum = r.u16();
    const QUuid object = withObject ? r.uuid() : QUuid();
    const auto security = c.security.find(f.auth.contextId);
    NtlmSession* s = f.hasAuth && security != c.security.end() && security->second.authenticated
                         ? security->second.ntlm.session()
                         : nullptr;
    const qsizetype from = HeaderSize + 8 + (withObject ? 16 : 0);
    QByteArray message = f.bytes.left(f.trailerAt + TrailerSize);
    if (!s || (f.header.flags & kWhole) != kWhole ||
        !s->verify(message, f.authValue(), from, f.trailerAt - from)) {
        writeAll(c.fd, faultPdu(f.header.callId, kAccessDenied));
        return;
    }
    ++requests_;
    const QByteArray stub = message.mid(from, f.trailerAt - from - f.auth.padLength);
    std::uint32_t fault = 0;
    const QByteArray reply = answer(c, c.contexts.value(context), opnum, object, stub, fault);
    if (fault)
        writeAll(c.fd, faultPdu(f.header.callId, fault));
    else
        sendSealed(c.fd, *s, f, context, reply);
}

QByteArray WmiServer::answer(Connection& c, const QUuid& iface, std::uint16_t opnum,
                             const QUuid& object, const QByteArray& stub, std::uint32_t& fault) {
    if (iface == RemoteScmActivator.uuid && opnum == RemoteCreateInstanceOpnum)
        return activation(stub);
    if (iface == uuidOf(ids::kWbemLevel1Login) && opnum == ids::kOpNtlmLogin &&
        object == kLoginIpid) {
        if (readNtlmLoginRequest(stub) != u"//./root/cimv2")
            return interfaceReply(std::nullopt, 0x8004100E);  // WBEM_E_INVALID_NAMESPACE
        return interfaceReply(
            objRef(ids::kWbemServices, kServicesIpid, bindingsOf(options_, objectPort_)), kSOk);
    }
    if (iface == uuidOf(ids::kWbemServices) && opnum == ids::kOpExecQuery &&
        object == kServicesIpid)
        return execQuery(c, stub);
    if (iface == uuidOf(ids::kEnumWbemClassObject) && opnum == ids::kOpNext) {
        return next(c, object, stub);
    }
    if (iface == uuidOf(ids::kRemUnknown) && opnum == ids::kOpRemRelease &&
        object == kRemUnknownIpid) {
        released_ += int(readRemReleaseRequest(stub).size());
        return resultReply(kSOk);
    }
    fault = kOpRangeError;
    return {};
}

QByteArray WmiServer::activation(const QByteArray& stub) {
    const ActivationRequest asked = readRemoteCreateInstanceRequest(stub);
    ActivationReply a;
    if (asked.clsid != ids::kClsidWbemLevel1Login || asked.iids.empty()) {
        a.interfaceResult = 0x80040154;  // REGDB_E_CLASSNOTREG
        return remoteCreateInstanceReply(a, ids::kWbemLevel1Login);
    }
    a.bindings = bindingsOf(options_, objectPort_);
    a.object = readObjRef(objRef(ids::kWbemLevel1Login, kLoginIpid, a.bindings));
    a.oxid = kOxid;
    a.ipidRemUnknown = guidOf(kRemUnknownIpid);
    a.authnHint = 6;
    a.serverMajor = 5;
    a.serverMinor = 7;
    return remoteCreateInstanceReply(a, ids::kWbemLevel1Login);
}

QByteArray WmiServer::execQuery(Connection& c, const QByteArray& stub) {
    const ExecQueryRequest q = readExecQueryRequest(stub);
    const QString name = wmi::wql::parse(q.query).className();
    const wmi::ClassData* data = machine_->findClass(name);
    if (!data) return interfaceReply(std::nullopt, wmi::code::InvalidClass);
    if (data->broken) return interfaceReply(std::nullopt, wmi::code::Failed);
    const bool localOnly = q.query.contains(u"LocalAccount = TRUE");
    Enumerator e;
    for (const std::optional<wmi::Instance>& i : data->items) {
        if (!i) {
            e.failsAfter = true;
            break;
        }
        // Recorded machines hold their own accounts only, most without the flag.
        const wmi::Property* local = i->find(u"LocalAccount");
        if (localOnly && local && local->value.type() == wmi::Variant::Type::Bool &&
            !local->value.boolValue())
            continue;
        e.units.push_back(encodeInstance(*i, data->name, wmi::schema::findClass(data->name)));
    }
    const QUuid ipid(0x20000000u + c.enumerators.size(), 2, 2, 2, 2, 2, 2, 2, 2, 2, 2);
    c.enumerators.insert(ipid, std::move(e));
    return interfaceReply(
        objRef(ids::kEnumWbemClassObject, ipid, bindingsOf(options_, objectPort_)), kSOk);
}

QByteArray WmiServer::next(Connection& c, const QUuid& object, const QByteArray& stub) {
    const NextRequest asked = readNextRequest(stub);
    auto e = c.enumerators.find(object);
    if (e == c.enumerators.end()) return nextReply({}, asked.count, 0x80041001);
    const std::size_t n = std::min<std::size_t>(asked.count, e->units.size() - e->next);
    std::vector<QByteArray> units(e->units.begin() + qsizetype(e->next),
                                  e->units.begin() + qsizetype(e->next + n));
    e->next += n;
    const bool end = e->next == e->units.size();
    const HResult result = !end              ? kSOk
                           : e->failsAfter   ? wmi::code::Failed
                           : n < asked.count ? kSFalse
                                             : kSOk;
    return nextReply(units, asked.count, result);
}

}  // namespace qelto::test
