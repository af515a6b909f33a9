// The RPC layer against a real domain controller (samba_dc.sh, started once for the program):
// NTLM at packet integrity and privacy, and Kerberos at privacy (with a password, and from the
// login's ticket), through the endpoint mapper to samr on its dynamic port, a request cut into
// fragments, the wrong password, an interface the server does not offer (the
// signal of a host with RPC but no DCOM) and a closed port, each ending in its user-visible class.

#include "samba_fixture.h"

#include "connect/connector.h"
#include "sources/dcom/activation.h"
#include "sources/dcom/epm.h"
#include "sources/dcom/kerberos.h"
#include "sources/dcom/ntlm.h"
#include "sources/dcom/rpc.h"
#include "sources/dcom/source.h"
#include "wmi/error.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

namespace qelto::dcom {
namespace {

using namespace std::chrono_literals;

const SyntaxId Samr{
    QUuid(0x12345778, 0x1234, 0xabcd, 0xef, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xac), 1, 0};

// SamrConnect2 (opnum 57) with a server name of `nameLength` characters; SamrEnumerateDomains-
// InSamServer (6); SamrCloseHandle (1). Returns the number of domains, or throws.
std::uint32_t samrRoundTrip(RpcConnection& c, int nameLength, reach::Deadline deadline) {
    WireWriter w;
    const QString name = QStringLiteral("\\\\") + QString(nameLength, u'd');
    w.u32(0x20000).u32(name.size() + 1).u32(0).u32(name.size() + 1);
    for (QChar ch : name) w.u16(ch.unicode());
    w.u16(0).align(4).u32(0x02000000);  // MAXIMUM_ALLOWED
    const QByteArray connectAnswer = c.call(0, 57, w.bytes(), deadline);
    WireReader connected(connectAnswer);
    const QByteArray handle = connected.bytes(20).toByteArray();
    EXPECT_EQ(connected.u32(), 0u) << "SamrConnect2";
    WireWriter e;
    e.bytes(handle).u32(0).u32(0xffffffff);
    const QByteArray enumerated = c.call(0, 6, e.bytes(), deadline);
    WireReader tail(QByteArrayView(enumerated).last(8));
    const std::uint32_t count = tail.u32();
    EXPECT_EQ(tail.u32(), 0u) << "SamrEnumerateDomainsInSamServer";
    EXPECT_EQ(c.call(0, 1, handle, deadline), QByteArray(24, '\0'))
        << "SamrCloseHandle: no handle, 0";
    return count;
}

enum class Login { Ntlm, NtlmWrong, Kerberos, KerberosTicket, KerberosWrong };

std::unique_ptr<Security> security(const SambaDc& dc, Login login) {
    const QString wrong = dc.password + u'x';
    switch (login) {
        case Login::Ntlm:
        case Login::NtlmWrong:
            return ntlmSecurity(
                {dc.user, dc.domain, login == Login::Ntlm ? dc.password : wrong, {}});
        case Login::KerberosTicket:
            return kerberosSecurity({QStringLiteral("host@") + dc.fqdn, {}, {}});
        default:
            return kerberosSecurity({QStringLiteral("host@") + dc.fqdn, dc.user,
                                     login == Login::Kerberos ? dc.password : wrong});
    }
}

// Every login and level through the endpoint mapper to samr and one round trip there.
void expectLogins(const SambaDc& dc, reach::Deadline deadline) {
    const struct {
        const char* name;
        AuthLevel level;
        Login login;
        std::uint16_t fragmentLimit;
        int nameLength;  // of SamrConnect2's server name: 3000 needs two fragments of 5840
        std::optional<std::uint32_t> error;
    } cases[] = {
        {"NTLM, privacy", AuthLevel::Privacy, Login::Ntlm, 0, 10, {}},
        {"NTLM, integrity", AuthLevel::Integrity, Login::Ntlm, 0, 10, {}},
        {"NTLM, privacy, request in two fragments", AuthLevel::Privacy, Login::Ntlm, 0, 3000, {}},
        {"NTLM, integrity, 1024-byte fragments", AuthLevel::Integrity, Login::Ntlm, 1024, 3000, {}},
        {"NTLM, privacy, wrong password", AuthLevel::Privacy, Login::NtlmWrong, 0, 10,
         wmi::code::AccessDenied},
        {"NTLM, integrity, wrong password", AuthLevel::Integrity, Login::NtlmWrong, 0, 10,
         wmi::code::AccessDenied},
        {"Kerberos, privacy", AuthLevel::Privacy, Login::Kerberos, 0, 10, {}},
        {"Kerberos ticket, privacy, 1024-byte fragments",
         AuthLevel::Privacy,
         Login::KerberosTicket,
         1024,
         3000,
         {}},
        {"Kerberos, wrong password", AuthLevel::Privacy, Login::KerberosWrong, 0, 10,
         wmi::code::AccessDenied},
        {"Kerberos, integrity", AuthLevel::Integrity, Login::Kerberos, 0, 10,
         wmi::code::NotSupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RpcOptions options{.fragmentLimit = c.fragmentLimit};
        try {
            auto epm = openConnection(dc.address, 135, deadline, options);
            epm->bind(EndpointMapper, deadline, security(dc, c.login), c.level);
            const std::uint16_t again = epm->alterContext(EndpointMapper, deadline);
            const std::uint16_t port = mapEndpoint(*epm, again, Samr, deadline);
            auto samr = openConnection(dc.address, port, deadline, options);
            samr->bind(Samr, deadline, security(dc, c.login), c.level);
            EXPECT_GE(samrRoundTrip(*samr, c.nameLength, deadline), 2u);  // Builtin and QELTO
            EXPECT_FALSE(c.error);
        } catch (const wmi::Error& e) {
            EXPECT_EQ(c.error, e.number()) << e.description().toStdString();
            EXPECT_EQ(e.description().startsWith(QStringLiteral("拒绝访问")),
                      e.number() == wmi::code::AccessDenied)
                << e.description().toStdString();
        }
    }
}

void expectRefusals(const SambaDc& dc, reach::Deadline deadline) {
    // No DCOM on this host: the activation ends as "RPC but no WMI"; an exporter port that does
    // not answer is "unavailable", saying that 135 did.
    const SecurityFactory ntlm = [&] { return security(dc, Login::Ntlm); };
    const struct {
        const char* name;
        std::function<void()> open;
        std::uint32_t error;
        const char* says;
    } refusals[] = {
        {"activation", [&] { openActivator(dc.address, ntlm, AuthLevel::Privacy, deadline); },
         wmi::code::NotSupported, "没有 WMI"},
        {"exporter port closed",
         [&] { openObjectExporter(dc.address, 1, Samr, ntlm, AuthLevel::Privacy, deadline); },
         wmi::code::RpcUnavailable, "端口 135 上回答了"},
        {"the DCOM source on a bare host",
         [&] {
             std::vector<connect::Source> one;
             one.push_back(declaration(newDialer()));
             wmi::ConnectRequest r(dc.address, wmi::Road::Credentials, dc.domain + u'\\' + dc.user,
                                   wmi::Secret::copyOf(dc.password));
             connect::SourceConnector(std::move(one)).connect(r);
         },
         wmi::code::NotSupported, "没有 WMI"},
    };
    for (const auto& r : refusals) {
        try {
            r.open();
            ADD_FAILURE() << r.name << ": bound";
        } catch (const wmi::Error& e) {
            EXPECT_EQ(e.number(), r.error) << r.name << ": " << e.description().toStdString();
            EXPECT_TRUE(e.description().contains(QString::fromUtf8(r.says)))
                << e.description().toStdString();
        }
    }
}

TEST(DcomRpcLive, NtlmAndKerberosThroughTheEndpointMapperToSamr) {
    SambaDc dc;
    QELTO_SKIP_UNLESS_UP(dc);
    test::NetHosts::Inside inside(dc.clientNetns);
    ASSERT_TRUE(inside.ok());
    const reach::Deadline deadline = reach::Deadline::in(30s);
    expectLogins(dc, deadline);
    expectRefusals(dc, deadline);
}

}  // namespace
}  // namespace qelto::dcom
