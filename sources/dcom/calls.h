#pragma once

#include "ndr.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// The stub data (NDR 2.0, little-endian) of the DCOM and WMI calls a scan makes, both ways, as
// pure functions: the requests the client sends and the replies it takes apart under strict
// bounds, and the other direction for the tests' WMI server. No I/O here; the PDU layer carries
// these bytes, and the object UUID (the IPID) of each call is its business.
namespace qelto::dcom {

using HResult = std::uint32_t;

// Interfaces and classes of the calls, and their operation numbers.
namespace ids {
extern const Guid kRemoteScmActivator;   // IRemoteSCMActivator
extern const Guid kWbemLevel1Login;      // IWbemLevel1Login
extern const Guid kWbemServices;         // IWbemServices
extern const Guid kEnumWbemClassObject;  // IEnumWbemClassObject
extern const Guid kRemUnknown;           // IRemUnknown
extern const Guid kWbemClassObject;      // IWbemClassObject
extern const Guid kActivationPropertiesInIid;
extern const Guid kClsidWbemLevel1Login;
extern const Guid kClsidActivationPropertiesIn;
extern const Guid kClsidActivationPropertiesOut;  // also the class of PropsOutInfo
extern const Guid kClsidWbemClassObject;
extern const Guid kClsidInstantiationInfo, kClsidActivationContextInfo, kClsidServerLocationInfo,
    kClsidScmRequestInfo, kClsidSecurityInfo, kClsidScmReplyInfo;
inline constexpr std::uint16_t kOpRemoteCreateInstance = 4, kOpNtlmLogin = 6, kOpExecQuery = 20,
                               kOpNext = 4, kOpRemRelease = 5;
}  // namespace ids

inline constexpr HResult kSOk = 0, kSFalse = 1, kWbemSTimedOut = 0x00040004;
inline constexpr std::uint32_t kQueryFlags = 0x30;  // forward-only | return-immediately
inline constexpr std::uint16_t kTowerTcp = 0x0007;  // ncacn_ip_tcp

// The caps a reply is held to.
inline constexpr std::size_t kMaxStubBytes = 64u << 20;
inline constexpr std::size_t kMaxBindings = 256;
inline constexpr std::uint32_t kMaxNextCount = 10000;

// ---- OXID bindings and object references (MS-DCOM 2.2.18, 2.2.19) ----

struct StringBinding {
    std::uint16_t towerId = 0;
    QString networkAddress;  // "HOST[49667]", "192.0.2.10[49667]"
};
struct SecurityBinding {
    std::uint16_t authnSvc = 0;  // 10 NTLM, 16 Kerberos, 9 SPNEGO
    QString principal;
};
struct DualStringArray {
    std::vector<StringBinding> strings;
    std::vector<SecurityBinding> security;
};
// The port of a TCP binding and its address part: "HOST[49667]" gives ("HOST", 49667); nullopt
// when there is no port in brackets or it is 0 or above 65535.
struct TcpBinding {
    QString address;
    std::uint16_t port = 0;
};
std::optional<TcpBinding> tcpBinding(const StringBinding& b);
// The port to connect to on the address already reached: the TCP binding naming that address
// (case-insensitive), else the first TCP binding's port. The client never connects to another
// address a binding names. nullopt when no TCP binding has a port.
std::optional<std::uint16_t> portOnReachedAddress(const DualStringArray& bindings,
                                                  const QString& reachedAddress);

// A DUALSTRINGARRAY as it stands inside an OBJREF (wNumEntries, wSecurityOffset, entries).
DualStringArray readDualStringArray(Reader& r);
void writeDualStringArray(Writer& w, const DualStringArray& a);

struct StdObjRef {
    std::uint32_t flags = 0;
    std::uint32_t publicRefs = 0;
    std::uint64_t oxid = 0;
    std::uint64_t oid = 0;
    Guid ipid{};
};
// An OBJREF: standard (an interface on the server, with its resolver bindings) or custom (an
// object marshalled by value: its class and data).
struct ObjRef {
    std::uint32_t flags = 0;  // 1 standard, 4 custom
    Guid iid{};
    StdObjRef std;
    DualStringArray resolver;
    Guid clsid{};
    QByteArray customData;
};
ObjRef readObjRef(QByteArrayView bytes);
QByteArray writeStandardObjRef(const Guid& iid, const StdObjRef& std,
                               const DualStringArray& resolver);
QByteArray writeCustomObjRef(const Guid& iid, const Guid& clsid, QByteArrayView data);

// ---- ORPCTHIS / ORPCTHAT (MS-DCOM 2.2.13) ----

// ORPCTHIS with COM version 5.7, no flags, the causality ID and no extensions.
void writeOrpcThis(Writer& w, const Guid& causality);
// ORPCTHAT: its flags; extensions, where present, are read past under bounds.
std::uint32_t readOrpcThat(Reader& r);
void writeOrpcThat(Writer& w);
Guid readOrpcThis(Reader& r);  // the causality ID

// ---- IRemoteSCMActivator::RemoteCreateInstance (MS-DCOM 3.1.2.5.2.3.2) ----

// Asks for one interface of a class on this machine's behalf of a different machine.
QByteArray remoteCreateInstanceRequest(const Guid& causality, const Guid& clsid, const Guid& iid);
struct ActivationRequest {
    Guid clsid{};
    std::vector<Guid> iids;
};
ActivationRequest readRemoteCreateInstanceRequest(QByteArrayView stub);

struct ActivationReply {
    HResult result = 0;            // the call's own HRESULT
    HResult interfaceResult = 0;   // phresults[0]: whether the object was made
    std::optional<ObjRef> object;  // the interface asked for (standard OBJREF)
    std::uint64_t oxid = 0;        // these from ScmReplyInfoData, empty when it names no exporter
    DualStringArray bindings;      // where the object's exporter listens
    Guid ipidRemUnknown{};
    std::uint32_t authnHint = 0;
    std::uint16_t serverMajor = 0, serverMinor = 0;
};
ActivationReply readRemoteCreateInstanceReply(QByteArrayView stub);
// A reply: PropsOutInfo first, ScmReplyInfoData second (the order clients rely on).
QByteArray remoteCreateInstanceReply(const ActivationReply& reply, const Guid& iid);

// ---- the WMI calls (MS-WMI 3.1.4) ----

QByteArray ntlmLoginRequest(const Guid& causality, const QString& networkResource);
QByteArray execQueryRequest(const Guid& causality, const QString& query,
                            std::uint32_t flags = kQueryFlags,
                            const QString& language = QStringLiteral("WQL"));
QByteArray nextRequest(const Guid& causality, std::int32_t timeoutMs, std::uint32_t count);
struct InterfaceRef {
    Guid ipid{};
    std::uint32_t publicRefs = 0;
    std::uint32_t privateRefs = 0;
};
QByteArray remReleaseRequest(const Guid& causality, const std::vector<InterfaceRef>& refs);

// What the server reads from them.
QString readNtlmLoginRequest(QByteArrayView stub);  // the network resource
struct ExecQueryRequest {
    QString language;
    QString query;
    std::uint32_t flags = 0;
};
ExecQueryRequest readExecQueryRequest(QByteArrayView stub);
struct NextRequest {
    std::int32_t timeoutMs = 0;
    std::uint32_t count = 0;
};
NextRequest readNextRequest(QByteArrayView stub);
std::vector<InterfaceRef> readRemReleaseRequest(QByteArrayView stub);

// The reply of NTLMLogin and ExecQuery: an interface pointer (NULL on failure) and the HRESULT.
struct InterfaceReply {
    std::optional<ObjRef> object;
    HResult result = 0;
};
InterfaceReply readInterfaceReply(QByteArrayView stub);
QByteArray interfaceReply(const std::optional<QByteArray>& objRef, HResult result);

// The reply of Next: each object's EncodingUnit (from its custom OBJREF), and the HRESULT.
// `asked` is the uCount of the request: more objects than that is a broken reply.
struct NextReply {
    std::vector<QByteArray> objects;
    HResult result = 0;
};
NextReply readNextReply(QByteArrayView stub, std::uint32_t asked);
QByteArray nextReply(const std::vector<QByteArray>& encodingUnits, std::uint32_t asked,
                     HResult result);

// A reply that is only ORPCTHAT and the HRESULT (RemRelease).
HResult readResultReply(QByteArrayView stub);
QByteArray resultReply(HResult result);

}  // namespace qelto::dcom
