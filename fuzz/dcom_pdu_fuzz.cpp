// Feeds arbitrary bytes to the RPC layer as what a server sends: first each reader alone (one
// fragment, its bodies, an ept_map answer, an NTLM CHALLENGE, and an AUTHENTICATE for the
// server's half), then an RpcConnection that binds
// (with NTLM at privacy when the first fragment carries a trailer) and makes two calls over
// those bytes. Every refusal must be a ProtocolError or a wmi::Error; nothing may read outside
// the input or hang.
#include "sources/dcom/epm.h"
#include "sources/dcom/ntlm.h"
#include "sources/dcom/rpc.h"
#include "wmi/error.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace qelto::dcom;

namespace {

class Replay : public Transport {
  public:
    explicit Replay(QByteArrayView in) : in_(in) {}
    void send(QByteArrayView, qelto::reach::Deadline) override {}
    void receive(char* into, qsizetype n, qelto::reach::Deadline) override {
        if (n > in_.size() - at_)
            throw qelto::wmi::Error(rpcstatus::CallFailed, QStringLiteral("end"));
        std::memcpy(into, in_.data() + at_, size_t(n));
        at_ += n;
    }

  private:
    QByteArrayView in_;
    qsizetype at_ = 0;
};

void readers(QByteArrayView input) {
    try {
        const Fragment f = parseFragment(input.toByteArray(), 0xffff);
        (void)f.authValue();
        switch (f.header.type) {
            case PType::BindAck:
            case PType::AlterContextResp:
                parseBindAck(f);
                break;
            case PType::BindNak:
                parseBindNak(f);
                break;
            case PType::Fault:
                parseFault(f);
                break;
            default:
                parseResponse(f);
        }
    } catch (const ProtocolError&) {
    }
    try {
        parseEptMapResponse(input);
    } catch (const ProtocolError&) {
    }
    try {
        NtlmClient({QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}})
            .authenticate(input);
    } catch (const ProtocolError&) {
    }
    try {
        // The server's half (the tests' WMI server) takes the bytes as a client's AUTHENTICATE.
        NtlmClient client({QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}});
        NtlmServer server({QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}});
        (void)server.challenge(client.negotiate());
        (void)server.accept(input);
    } catch (const ProtocolError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    readers(input);
    const NtlmFixed fixed{QByteArray(8, 'c'), QByteArray(16, 0x11), {}};
    try {
        RpcConnection c(std::make_unique<Replay>(input), QStringLiteral("fuzz"),
                        {.maxResponse = 1 << 16});
        // A first fragment with an auth trailer gets an NTLM bind at privacy, else a plain one.
        const bool secure = size > 11 && (data[10] | data[11]) != 0;
        c.bind(EndpointMapper, {},
               secure
                   ? ntlmSecurity(
                         {QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}}, fixed)
                   : nullptr);
        c.call(0, 1, "request", {});
        mapEndpoint(c, 0, EndpointMapper, {});
    } catch (const qelto::wmi::Error&) {
    }
    return 0;
}
