// A Kerberos ticket from a typed user name and password, for listeners that offer Negotiate
// only: libcurl's Negotiate takes the default credentials of GSS-API, so the ticket is put in a
// memory cache of its own and made the default of this thread while the gathering runs.

#include "internal.h"

#include "wmi/error.h"

#include <QUuid>

#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

namespace qelto::wmi::wsman {

QString kerberosPrincipal(const QString& user) {
    const qsizetype at = user.lastIndexOf(u'@');
    if (at > 0 && at + 1 < user.size()) return user.left(at) + u'@' + user.mid(at + 1).toUpper();
    const qsizetype slash = user.indexOf(u'\\');
    if (slash > 0 && slash + 1 < user.size())
        return user.mid(slash + 1) + u'@' + user.left(slash).toUpper();
    return {};
}

struct PasswordTicket::Impl {
    krb5_context context = nullptr;
    krb5_principal client = nullptr;
    krb5_ccache cache = nullptr;
    bool haveCreds = false;
    krb5_creds creds{};
    QByteArray cacheName;
    bool installed = false;
    Clock::time_point deadline;

    ~Impl() {
        if (installed) {
            OM_uint32 minor = 0;
            // Back to the default (KRB5CCNAME as it is then): the name GSS-API reports as the
            // previous one is that default spelt out, which would pin it for this thread.
            gss_krb5_ccache_name(&minor, nullptr, nullptr);
        }
        if (haveCreds) krb5_free_cred_contents(context, &creds);
        if (cache) krb5_cc_destroy(context, cache);
        if (client) krb5_free_principal(context, client);
        if (context) krb5_free_context(context);
    }
};

namespace {

// Asked before every request to a KDC: none is sent once the deadline has passed, so that the
// library's own waits (about a second for each KDC it tries) end with the time limit.
krb5_error_code refuseAfterDeadline(krb5_context, void* data, const krb5_data*, const krb5_data*,
                                    krb5_data**, krb5_data**) {
    return Clock::now() >= *static_cast<const Clock::time_point*>(data) ? KRB5_KDC_UNREACH : 0;
}

}  // namespace

PasswordTicket::PasswordTicket(const QString& principal, const SharedSecret& password,
                               const QString& shown, Clock::time_point deadline)
    : PasswordTicket(principal, password, shown, deadline, false) {}

std::unique_ptr<PasswordTicket> PasswordTicket::ifRealmKnown(const QString& principal,
                                                             const SharedSecret& password,
                                                             const QString& shown,
                                                             Clock::time_point deadline) {
    try {
        return std::unique_ptr<PasswordTicket>(
            new PasswordTicket(principal, password, shown, deadline, true));
    } catch (const NoKdc&) {
        return nullptr;
    }
}

const QByteArray& PasswordTicket::cacheName() const {
    return d_->cacheName;
}

PasswordTicket::PasswordTicket(const QString& principal, const SharedSecret& password,
                               const QString& shown, Clock::time_point deadline,
                               bool quietWithoutKdc)
    : d_(std::make_unique<Impl>()) {
    d_->deadline = deadline;
    const auto fail = [&](krb5_error_code code, std::uint32_t number, const QString& what) {
        const char* text = d_->context ? krb5_get_error_message(d_->context, code) : nullptr;
        const QString reason = text ? QString::fromUtf8(text) : QString::number(code);
        if (text) krb5_free_error_message(d_->context, text);
        throw Error(number, what.arg(shown, principal, reason));
    };
    krb5_error_code rc = krb5_init_context(&d_->context);
    if (rc) fail(rc, code::Failed, QStringLiteral("无法为 %1 取得用户“%2”的 Kerberos 票据：%3。"));
    rc = krb5_parse_name(d_->context, principal.toUtf8().constData(), &d_->client);
    if (rc) fail(rc, code::Failed, QStringLiteral("无法为 %1 取得用户“%2”的 Kerberos 票据：%3。"));
    krb5_set_kdc_send_hook(d_->context, refuseAfterDeadline, &d_->deadline);
    rc = krb5_get_init_creds_password(d_->context, &d_->creds, d_->client, password.utf8(), nullptr,
                                      nullptr, 0, nullptr, nullptr);
    if (rc && Clock::now() >= deadline)
        throw Error(
            code::Timeout,
            QStringLiteral("连接 %1 超时：在时限内没有从 KDC 取得用户“%2”的 Kerberos 票据。")
                .arg(shown, principal));
    if (quietWithoutKdc && (rc == KRB5_KDC_UNREACH || rc == KRB5_REALM_CANT_RESOLVE ||
                            rc == KRB5_REALM_UNKNOWN || rc == KRB5_CONFIG_NODEFREALM))
        throw NoKdc{};
    if (rc == KRB5KDC_ERR_PREAUTH_FAILED || rc == KRB5KRB_AP_ERR_BAD_INTEGRITY ||
        rc == KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN || rc == KRB5KDC_ERR_CLIENT_REVOKED ||
        rc == KRB5KDC_ERR_KEY_EXP)
        fail(rc, code::AccessDenied,
             QStringLiteral(
                 "拒绝访问：%1 只接受 Negotiate，而 Kerberos 不接受用户“%2”的密码（%3）。"));
    if (rc)
        fail(rc, code::AccessDenied,
             QStringLiteral(
                 "拒绝访问：%1 只接受 Negotiate，无法为用户“%2”取得 Kerberos 票据：%3。"));
    d_->haveCreds = true;
    d_->cacheName = "MEMORY:qelto-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    rc = krb5_cc_resolve(d_->context, d_->cacheName.constData(), &d_->cache);
    if (!rc) rc = krb5_cc_initialize(d_->context, d_->cache, d_->client);
    if (!rc) rc = krb5_cc_store_cred(d_->context, d_->cache, &d_->creds);
    if (rc) fail(rc, code::Failed, QStringLiteral("无法为 %1 保存用户“%2”的 Kerberos 票据：%3。"));
    if (quietWithoutKdc) return;  // used through its cache name only
    OM_uint32 minor = 0;
    if (gss_krb5_ccache_name(&minor, d_->cacheName.constData(), nullptr) == GSS_S_COMPLETE) {
        d_->installed = true;
    }
}

PasswordTicket::~PasswordTicket() = default;

}  // namespace qelto::wmi::wsman
