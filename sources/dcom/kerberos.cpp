#include "kerberos.h"

#include "pdu.h"
#include "wire.h"

#include "wmi/error.h"

#include <QStringList>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <cstring>
#include <vector>

namespace qelto::dcom {

namespace {

gss_OID_desc krb5Mech = {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};

QString statusText(OM_uint32 major, OM_uint32 minor) {
    QStringList parts;
    for (const auto& [code, type] :
         {std::pair{major, GSS_C_GSS_CODE}, std::pair{minor, GSS_C_MECH_CODE}}) {
        OM_uint32 more = 0, ignored;
        do {
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            if (gss_display_status(&ignored, code, type, &krb5Mech, &more, &text) != GSS_S_COMPLETE)
                break;
            parts << QString::fromLocal8Bit(static_cast<const char*>(text.value),
                                            qsizetype(text.length));
            gss_release_buffer(&ignored, &text);
        } while (more != 0);
    }
    return parts.join(QStringLiteral("；"));
}

gss_buffer_desc view(QByteArrayView b) {
    return {size_t(b.size()), const_cast<char*>(b.data())};
}

QByteArray taken(gss_buffer_desc& b) {
    OM_uint32 minor;
    QByteArray out(static_cast<const char*>(b.value), qsizetype(b.length));
    gss_release_buffer(&minor, &b);
    return out;
}

class KerberosSecurity : public Security {
  public:
    explicit KerberosSecurity(const KerberosLogin& login);
    ~KerberosSecurity() override;
    std::uint8_t authType() const override { return authtype::Kerberos; }
    QByteArray firstToken() override { return step({}); }
    QByteArray nextToken(QByteArrayView serverToken) override;
    // Privacy only: a MIC token's length would have to be known before it is made.
    bool supports(AuthLevel level) const override {
        return level == AuthLevel::Privacy || level < AuthLevel::Packet;
    }
    bool canSeal() const override { return (flags_ & GSS_C_CONF_FLAG) != 0; }
    std::uint16_t signatureSize() const override { return size_; }
    void headerSigning(bool on) override { headerSign_ = on; }
    QByteArray protect(QByteArray& pdu, qsizetype from, qsizetype length, bool seal) override;
    bool unprotect(QByteArray& pdu, qsizetype from, qsizetype length, QByteArrayView verifier,
                   bool seal) override;

  private:
    QByteArray step(QByteArrayView input);
    std::vector<gss_iov_buffer_desc> layout(QByteArray& pdu, qsizetype from, qsizetype length);
    [[noreturn]] void failed(const char* what, OM_uint32 major, OM_uint32 minor) const;

    gss_cred_id_t cred_ = GSS_C_NO_CREDENTIAL;
    gss_name_t target_ = GSS_C_NO_NAME;
    gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
    OM_uint32 flags_ = 0;
    std::uint16_t size_ = 0;
    bool headerSign_ = false;
};

void KerberosSecurity::failed(const char* what, OM_uint32 major, OM_uint32 minor) const {
    const QString text = statusText(major, minor);
    if (major == GSS_S_NO_CRED || major == GSS_S_DEFECTIVE_CREDENTIAL ||
        major == GSS_S_CREDENTIALS_EXPIRED)
        throw wmi::Error(wmi::code::AccessDenied,
                         QStringLiteral("拒绝访问：Kerberos %1失败（0x%2）：%3")
                             .arg(QString::fromUtf8(what))
                             .arg(major, 8, 16, QChar(u'0'))
                             .arg(text));
    throw wmi::Error(wmi::code::Failed, QStringLiteral("Kerberos %1失败（0x%2）：%3")
                                            .arg(QString::fromUtf8(what))
                                            .arg(major, 8, 16, QChar(u'0'))
                                            .arg(text));
}

// The ticket for a user and password, fetched before anything else is held: a constructor that
// throws runs no destructor.
KerberosSecurity::KerberosSecurity(const KerberosLogin& login) {
    OM_uint32 minor = 0, major = 0;
    if (!login.user.isEmpty()) {
        const QByteArray user = login.user.toUtf8(), password = login.password.toUtf8();
        gss_buffer_desc userBuffer = view(user), passwordBuffer = view(password);
        gss_name_t userName = GSS_C_NO_NAME;
        major = gss_import_name(&minor, &userBuffer, GSS_C_NT_USER_NAME, &userName);
        if (GSS_ERROR(major)) failed("用户名", major, minor);
        gss_OID_set_desc mechs = {1, &krb5Mech};
        major = gss_acquire_cred_with_password(&minor, userName, &passwordBuffer, GSS_C_INDEFINITE,
                                               &mechs, GSS_C_INITIATE, &cred_, nullptr, nullptr);
        OM_uint32 ignored;
        gss_release_name(&ignored, &userName);
        if (GSS_ERROR(major))
            throw wmi::Error(
                wmi::code::AccessDenied,
                QStringLiteral("拒绝访问：无法用所给的用户名和密码取得 Kerberos 票据（0x%1）：%2")
                    .arg(major, 8, 16, QChar(u'0'))
                    .arg(statusText(major, minor)));
    }
    const QByteArray target = login.target.toUtf8();
    gss_buffer_desc name = view(target);
    major = gss_import_name(&minor, &name, GSS_C_NT_HOSTBASED_SERVICE, &target_);
    if (GSS_ERROR(major)) {
        OM_uint32 ignored;
        if (cred_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&ignored, &cred_);
        failed("服务名", major, minor);
    }
}

KerberosSecurity::~KerberosSecurity() {
    OM_uint32 minor;
    if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
    if (target_ != GSS_C_NO_NAME) gss_release_name(&minor, &target_);
    if (cred_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &cred_);
}

QByteArray KerberosSecurity::step(QByteArrayView input) {
    OM_uint32 minor = 0;
    gss_buffer_desc in = view(input), out = GSS_C_EMPTY_BUFFER;
    const OM_uint32 wanted = GSS_C_DCE_STYLE | GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG |
                             GSS_C_SEQUENCE_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
    const OM_uint32 major = gss_init_sec_context(
        &minor, cred_, &context_, target_, &krb5Mech, wanted, 0, GSS_C_NO_CHANNEL_BINDINGS,
        input.isEmpty() ? GSS_C_NO_BUFFER : &in, nullptr, &out, &flags_, nullptr);
    if (GSS_ERROR(major)) failed("登录", major, minor);
    if (major == GSS_S_COMPLETE) {
        // The verifier of a sealed PDU: the whole wrap token (header, encrypted header copy,
        // checksum; DCE style rotates it into one buffer). Stubs are padded to 16 bytes.
        gss_iov_buffer_desc iov[2] = {{GSS_IOV_BUFFER_TYPE_HEADER, {0, nullptr}},
                                      {GSS_IOV_BUFFER_TYPE_DATA, {AuthPadAlignment, nullptr}}};
        const OM_uint32 m =
            gss_wrap_iov_length(&minor, context_, 1, GSS_C_QOP_DEFAULT, nullptr, iov, 2);
        if (GSS_ERROR(m)) failed("封装长度", m, minor);
        size_ = std::uint16_t(iov[0].buffer.length);
    }
    return taken(out);
}

QByteArray KerberosSecurity::nextToken(QByteArrayView serverToken) {
    const QByteArray token = step(serverToken);
    if (size_ == 0) throw ProtocolError(QStringLiteral("Kerberos 登录在第三步之后仍未完成"));
    return token;
}

// HEADER (the verifier), [SIGN_ONLY header], DATA in place, [SIGN_ONLY sec_trailer].
std::vector<gss_iov_buffer_desc> KerberosSecurity::layout(QByteArray& pdu, qsizetype from,
                                                          qsizetype length) {
    char* p = pdu.data();
    std::vector<gss_iov_buffer_desc> iov{{GSS_IOV_BUFFER_TYPE_HEADER, {0, nullptr}}};
    if (headerSign_) iov.push_back({GSS_IOV_BUFFER_TYPE_SIGN_ONLY, {size_t(from), p}});
    iov.push_back({GSS_IOV_BUFFER_TYPE_DATA, {size_t(length), p + from}});
    if (headerSign_)
        iov.push_back({GSS_IOV_BUFFER_TYPE_SIGN_ONLY,
                       {size_t(pdu.size() - from - length), p + from + length}});
    return iov;
}

QByteArray KerberosSecurity::protect(QByteArray& pdu, qsizetype from, qsizetype length, bool seal) {
    if (!seal)
        throw wmi::Error(wmi::code::NotSupported,
                         QStringLiteral("Kerberos 只用于数据包保密级别（6）。"));
    auto iov = layout(pdu, from, length);
    iov[0].type |= GSS_IOV_BUFFER_FLAG_ALLOCATE;
    OM_uint32 minor = 0;
    int confState = 0;
    const OM_uint32 major = gss_wrap_iov(&minor, context_, 1, GSS_C_QOP_DEFAULT, &confState,
                                         iov.data(), int(iov.size()));
    if (GSS_ERROR(major) || !confState) failed("加密", major, minor);
    QByteArray token(static_cast<const char*>(iov[0].buffer.value),
                     qsizetype(iov[0].buffer.length));
    gss_release_iov_buffer(&minor, iov.data(), int(iov.size()));
    if (token.size() != size_)
        throw ProtocolError(QStringLiteral("Kerberos 封装的长度与预计的不同"));
    return token;
}

bool KerberosSecurity::unprotect(QByteArray& pdu, qsizetype from, qsizetype length,
                                 QByteArrayView verifier, bool seal) {
    if (!seal) return false;
    auto iov = layout(pdu, from, length);
    QByteArray token = verifier.toByteArray();
    iov[0].buffer = {size_t(token.size()), token.data()};
    OM_uint32 minor = 0;
    int confState = 0;
    const OM_uint32 major =
        gss_unwrap_iov(&minor, context_, &confState, nullptr, iov.data(), int(iov.size()));
    return !GSS_ERROR(major) && confState;
}

}  // namespace

std::unique_ptr<Security> kerberosSecurity(const KerberosLogin& login) {
    return std::make_unique<KerberosSecurity>(login);
}

}  // namespace qelto::dcom
