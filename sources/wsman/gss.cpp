// GSS-API contexts for the HTTP listener's message encryption, on either side.

#include "gss.h"

#include <QStringList>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QELTO_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QELTO_LSAN 1
#endif
#endif
#ifdef QELTO_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace qelto::wmi::wsman {

namespace {

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
gss_OID_desc kKrb5 = {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
gss_OID_desc kNtlmssp = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// gss-ntlmssp 1.2.0 leaks what it fetches from OpenSSL for every NT hash, and part of an
// acceptor's credentials; the leak checker cannot unwind through OpenSSL to tell those from
// ours. Under it, the calls into the mechanisms run with leak checking off for this thread.
struct MechanismCall {
#ifdef QELTO_LSAN
    MechanismCall() {
        __lsan_disable();
    }
    ~MechanismCall() {
        __lsan_enable();
    }
#else
    MechanismCall() {}
#endif
    MechanismCall(const MechanismCall&) = delete;
    MechanismCall& operator=(const MechanismCall&) = delete;
};

bool sameOid(gss_const_OID a, const gss_OID_desc& b) {
    return a && a->length == b.length && std::memcmp(a->elements, b.elements, b.length) == 0;
}

QString statusText(OM_uint32 status, int type, gss_OID mech) {
    QStringList lines;
    OM_uint32 context = 0;
    for (int i = 0; i < 8; ++i) {
        OM_uint32 minor = 0;
        gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
        if (GSS_ERROR(gss_display_status(&minor, status, type, mech, &context, &text))) break;
        lines << QString::fromUtf8(static_cast<const char*>(text.value), qsizetype(text.length));
        gss_release_buffer(&minor, &text);
        if (context == 0) break;
    }
    return lines.join(u"；");
}

GssFailure failure(OM_uint32 major, OM_uint32 minor, gss_OID mech = GSS_C_NO_OID) {
    GssFailure f;
    f.major = major;
    f.minor = minor;
    QString text = minor ? statusText(minor, GSS_C_MECH_CODE, mech) : QString();
    if (text.isEmpty() || text.startsWith(u"Unknown code"))
        text = statusText(major, GSS_C_GSS_CODE, GSS_C_NO_OID);
    f.text = text;
    const OM_uint32 routine = GSS_ROUTINE_ERROR(major);
    const auto code = krb5_error_code(minor);
    f.noCredentials = routine == GSS_S_NO_CRED || code == KRB5_FCC_NOFILE ||
                      code == KRB5_CC_NOTFOUND || code == KRB5_CC_NOSUPP;
    f.expired = routine == GSS_S_CREDENTIALS_EXPIRED || code == KRB5KRB_AP_ERR_TKT_EXPIRED;
    f.unknownServer = code == KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN;
    return f;
}

struct Buffer {
    gss_buffer_desc b = GSS_C_EMPTY_BUFFER;
    ~Buffer() {
        OM_uint32 minor = 0;
        gss_release_buffer(&minor, &b);
    }
    QByteArray bytes() const {
        return QByteArray(static_cast<const char*>(b.value), qsizetype(b.length));
    }
};

gss_buffer_desc view(const QByteArray& bytes) {
    return {std::size_t(bytes.size()), const_cast<char*>(bytes.constData())};
}

}  // namespace

struct GssContext::Impl {
    bool initiating = true;
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    gss_name_t target = GSS_C_NO_NAME;
    gss_name_t peer = GSS_C_NO_NAME;
    gss_OID mech = GSS_C_NO_OID;
    bool complete = false;
    std::optional<GssFailure> setup;   // what failed while getting the credentials ready
    QByteArray ccache;                 // an initiator's Kerberos ticket cache, if not the default
    bool kerberos = false;             // an initiator that logs in with Kerberos only
    gss_OID initiatorMech = &kSpnego;  // what an initiator asks for

    // SPNEGO reports a failure of its mechanism only as "no mechanism to negotiate": Kerberos
    // alone, tried on a context of its own, says what was wrong.
    GssFailure kerberosReason(const GssFailure& spnego) {
        OM_uint32 minor = 0;
        gss_cred_id_t krbCred = GSS_C_NO_CREDENTIAL;
        gss_OID_set_desc krb5 = {1, &kKrb5};
        gss_key_value_element_desc element = {"ccache", ccache.constData()};
        gss_key_value_set_desc store = {ccache.isEmpty() ? 0u : 1u, &element};
        OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &krb5,
                                                GSS_C_INITIATE, &store, &krbCred, nullptr, nullptr);
        if (GSS_ERROR(major)) return failure(major, minor, &kKrb5);
        gss_ctx_id_t probe = GSS_C_NO_CONTEXT;
        Buffer token;
        major = gss_init_sec_context(&minor, krbCred, &probe, target, &kKrb5, GSS_C_MUTUAL_FLAG,
                                     GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER,
                                     nullptr, &token.b, nullptr, nullptr);
        GssFailure f = GSS_ERROR(major) ? failure(major, minor, &kKrb5) : spnego;
        OM_uint32 ignored = 0;
        if (probe != GSS_C_NO_CONTEXT) gss_delete_sec_context(&ignored, &probe, GSS_C_NO_BUFFER);
        gss_release_cred(&ignored, &krbCred);
        return f;
    }

    ~Impl() {
        OM_uint32 minor = 0;
        if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
        if (cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &cred);
        if (target != GSS_C_NO_NAME) gss_release_name(&minor, &target);
        if (peer != GSS_C_NO_NAME) gss_release_name(&minor, &peer);
    }

    // SPNEGO offers only `mechs` from `cred`.
    std::optional<GssFailure> restrict(std::initializer_list<gss_OID_desc*> mechs) {
        std::vector<gss_OID_desc> list;
        for (gss_OID_desc* m : mechs) list.push_back(*m);
        gss_OID_set_desc set = {list.size(), list.data()};
        OM_uint32 minor = 0;
        const OM_uint32 major = gss_set_neg_mechs(&minor, cred, &set);
        if (GSS_ERROR(major)) return failure(major, minor);
        return std::nullopt;
    }
};

GssContext::GssContext(std::unique_ptr<Impl> d) : d_(std::move(d)) {}
GssContext::~GssContext() = default;

std::unique_ptr<GssContext> GssContext::initiator(const Initiator& how) {
    auto d = std::make_unique<Impl>();
    d->initiating = true;
    OM_uint32 minor = 0;
    const QByteArray service = "HTTP@" + how.target.toUtf8();
    gss_buffer_desc serviceName = view(service);
    OM_uint32 major = gss_import_name(&minor, &serviceName, GSS_C_NT_HOSTBASED_SERVICE, &d->target);
    if (GSS_ERROR(major)) {
        d->setup = failure(major, minor);
        return std::unique_ptr<GssContext>(new GssContext(std::move(d)));
    }
    gss_OID_set_desc spnego = {1, &kSpnego};
    if (how.user.isEmpty() || !how.ccache.isEmpty()) {
        // A Kerberos ticket: the user's own, or the one got with the typed password.
        gss_key_value_element_desc element = {"ccache", how.ccache.constData()};
        gss_key_value_set_desc store = {how.ccache.isEmpty() ? 0u : 1u, &element};
        major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &spnego,
                                      GSS_C_INITIATE, &store, &d->cred, nullptr, nullptr);
        d->ccache = how.ccache;
        d->kerberos = true;
        if (GSS_ERROR(major))
            d->setup = d->kerberosReason(failure(major, minor));
        else
            d->setup = d->restrict({&kKrb5});
    } else {
        // A typed password: for NTLM, acquired by NTLM alone and spoken as raw NTLMSSP tokens
        // in the Negotiate header, which Windows accepts. Through SPNEGO, Kerberos would take
        // the password too and try it on whatever KDC the system's configuration names.
        const bool ntlm = !how.kerberosOnly;
        d->initiatorMech = ntlm ? &kNtlmssp : &kSpnego;
        gss_OID_set_desc mechs = {1, ntlm ? &kNtlmssp : &kSpnego};
        const QByteArray user = how.user.toUtf8();
        gss_buffer_desc userName = view(user);
        gss_name_t name = GSS_C_NO_NAME;
        major = gss_import_name(&minor, &userName, GSS_C_NT_USER_NAME, &name);
        if (GSS_ERROR(major)) {
            d->setup = failure(major, minor);
        } else {
            gss_buffer_desc password = {std::size_t(how.password.utf8Size()),
                                        const_cast<char*>(how.password.utf8())};
            {
                MechanismCall call;
                major = gss_acquire_cred_with_password(&minor, name, &password, GSS_C_INDEFINITE,
                                                       &mechs, GSS_C_INITIATE, &d->cred, nullptr,
                                                       nullptr);
            }
            gss_release_name(&minor, &name);
            if (GSS_ERROR(major))
                d->setup = failure(major, minor);
            else if (!ntlm)
                d->setup = d->restrict({&kKrb5});
        }
    }
    return std::unique_ptr<GssContext>(new GssContext(std::move(d)));
}

std::unique_ptr<GssContext> GssContext::acceptor(const Acceptor& how) {
    auto d = std::make_unique<Impl>();
    d->initiating = false;
    // Acceptor keys from the credential store, for every mechanism at once (SPNEGO's, and raw
    // NTLMSSP tokens, which the mechanism layer hands to NTLM itself). gss-ntlmssp reads its
    // user file from the store only for a named server.
    std::vector<gss_key_value_element_desc> elements;
    if (!how.keytab.isEmpty()) elements.push_back({"keytab", how.keytab.constData()});
    if (!how.ntlmUserFile.isEmpty())
        elements.push_back({"ntlmssp_keyfile", how.ntlmUserFile.constData()});
    OM_uint32 minor = 0;
    const QByteArray service = "HTTP@" + how.service.toUtf8();
    gss_buffer_desc serviceName = view(service);
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &serviceName, GSS_C_NT_HOSTBASED_SERVICE, &name);
    if (GSS_ERROR(major)) {
        d->setup = failure(major, minor);
        return std::unique_ptr<GssContext>(new GssContext(std::move(d)));
    }
    gss_key_value_set_desc store = {OM_uint32(elements.size()), elements.data()};
    {
        MechanismCall call;
        major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                                      GSS_C_ACCEPT, &store, &d->cred, nullptr, nullptr);
    }
    gss_release_name(&minor, &name);
    if (GSS_ERROR(major)) d->setup = failure(major, minor);
    return std::unique_ptr<GssContext>(new GssContext(std::move(d)));
}

std::optional<GssFailure> GssContext::step(const QByteArray& in, QByteArray* out) {
    out->clear();
    if (d_->setup) return d_->setup;
    OM_uint32 minor = 0, major = 0;
    Buffer token;
    gss_buffer_desc input = view(in);
    if (d_->initiating) {
        MechanismCall call;
        major = gss_init_sec_context(&minor, d_->cred, &d_->context, d_->target, d_->initiatorMech,
                                     GSS_C_MUTUAL_FLAG | GSS_C_INTEG_FLAG | GSS_C_CONF_FLAG |
                                         GSS_C_REPLAY_FLAG | GSS_C_SEQUENCE_FLAG,
                                     GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
                                     in.isEmpty() ? GSS_C_NO_BUFFER : &input, &d_->mech, &token.b,
                                     nullptr, nullptr);
    } else {
        MechanismCall call;
        major = gss_accept_sec_context(&minor, &d_->context, d_->cred, &input,
                                       GSS_C_NO_CHANNEL_BINDINGS, &d_->peer, &d_->mech, &token.b,
                                       nullptr, nullptr, nullptr);
    }
    *out = token.bytes();
    if (GSS_ERROR(major)) {
        if (d_->initiating && d_->kerberos && in.isEmpty())
            return d_->kerberosReason(failure(major, minor, d_->mech));
        return failure(major, minor, d_->mech);
    }
    d_->complete = !(major & GSS_S_CONTINUE_NEEDED);
    if (d_->complete) {
        // SPNEGO names itself until the end; the mechanism it chose is what seals.
        gss_OID actual = GSS_C_NO_OID;
        if (!GSS_ERROR(gss_inquire_context(&minor, d_->context, nullptr, nullptr, nullptr, &actual,
                                           nullptr, nullptr, nullptr)))
            d_->mech = actual;
    }
    return std::nullopt;
}

bool GssContext::complete() const {
    return d_->complete;
}

GssContext::Mechanism GssContext::mechanism() const {
    if (sameOid(d_->mech, kKrb5)) return Mechanism::Kerberos;
    if (sameOid(d_->mech, kNtlmssp)) return Mechanism::Ntlm;
    return Mechanism::Unknown;
}

QString GssContext::peer() const {
    if (d_->peer == GSS_C_NO_NAME) return {};
    OM_uint32 minor = 0;
    Buffer text;
    if (GSS_ERROR(gss_display_name(&minor, d_->peer, &text.b, nullptr))) return {};
    QByteArray name = text.bytes();
    while (name.endsWith('\0')) name.chop(1);  // gss-ntlmssp counts the terminator
    return QString::fromUtf8(name);
}

std::optional<GssFailure> GssContext::seal(QByteArrayView plain, QByteArray* header,
                                           QByteArray* sealed) {
    OM_uint32 minor = 0, major = 0;
    if (!d_->complete) return failure(GSS_S_NO_CONTEXT, 0);
    if (mechanism() == Mechanism::Kerberos) {
        *sealed = plain.toByteArray();
        gss_iov_buffer_desc iov[3] = {};
        iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
        iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
        iov[1].buffer = view(*sealed);
        iov[2].type = GSS_IOV_BUFFER_TYPE_PADDING;
        major = gss_wrap_iov_length(&minor, d_->context, 1, GSS_C_QOP_DEFAULT, nullptr, iov, 3);
        if (GSS_ERROR(major)) return failure(major, minor, d_->mech);
        header->resize(qsizetype(iov[0].buffer.length));
        const qsizetype padding = qsizetype(iov[2].buffer.length);
        sealed->resize(plain.size() + padding);
        iov[0].buffer = view(*header);
        iov[1].buffer = {std::size_t(plain.size()), sealed->data()};
        iov[2].buffer = {std::size_t(padding), sealed->data() + plain.size()};
        major = gss_wrap_iov(&minor, d_->context, 1, GSS_C_QOP_DEFAULT, nullptr, iov, 3);
        if (GSS_ERROR(major)) return failure(major, minor, d_->mech);
        sealed->resize(plain.size() + qsizetype(iov[2].buffer.length));
        return std::nullopt;
    }
    // NTLM (and anything else that wraps whole): the 16-byte signature comes first.
    Buffer out;
    const QByteArray copy = plain.toByteArray();
    gss_buffer_desc in = view(copy);
    int conf = 0;
    {
        MechanismCall call;
        major = gss_wrap(&minor, d_->context, 1, GSS_C_QOP_DEFAULT, &in, &conf, &out.b);
    }
    if (GSS_ERROR(major)) return failure(major, minor, d_->mech);
    if (!conf) return failure(GSS_S_FAILURE, 0);
    const QByteArray all = out.bytes();
    constexpr qsizetype kSignature = 16;
    if (all.size() < kSignature) return failure(GSS_S_FAILURE, 0);
    *header = all.first(kSignature);
    *sealed = all.sliced(kSignature);
    return std::nullopt;
}

std::optional<GssFailure> GssContext::unseal(const QByteArray& header, const QByteArray& sealed,
                                             QByteArray* plain) {
    OM_uint32 minor = 0, major = 0;
    if (!d_->complete) return failure(GSS_S_NO_CONTEXT, 0);
    int conf = 0;
    if (mechanism() == Mechanism::Kerberos) {
        QByteArray head = header;
        *plain = sealed;
        gss_iov_buffer_desc iov[2] = {};
        iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
        iov[0].buffer = view(head);
        iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
        iov[1].buffer = {std::size_t(plain->size()), plain->data()};
        major = gss_unwrap_iov(&minor, d_->context, &conf, nullptr, iov, 2);
        if (GSS_ERROR(major)) return failure(major, minor, d_->mech);
        plain->resize(qsizetype(iov[1].buffer.length));
    } else {
        const QByteArray whole = header + sealed;
        gss_buffer_desc in = view(whole);
        Buffer out;
        {
            MechanismCall call;
            major = gss_unwrap(&minor, d_->context, &in, &out.b, &conf, nullptr);
        }
        if (GSS_ERROR(major)) return failure(major, minor, d_->mech);
        *plain = out.bytes();
    }
    if (!conf) return failure(GSS_S_BAD_SIG, 0);  // signed only: not what was asked for
    return std::nullopt;
}

}  // namespace qelto::wmi::wsman
