#include "negotiate.h"

#include <QFileInfo>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

#include <utility>

namespace qelto::test {

namespace {

// The texts GSS-API gives for one kind of status code, joined.
QString statusText(OM_uint32 code, int type) {
    QString text;
    OM_uint32 context = 0;
    for (int i = 0; i < 8; ++i) {  // a few messages at most
        OM_uint32 minor = 0;
        gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
        if (gss_display_status(&minor, code, type, GSS_C_NO_OID, &context, &message) !=
            GSS_S_COMPLETE)
            break;
        if (!text.isEmpty()) text += u"; ";
        text += QString::fromUtf8(static_cast<const char*>(message.value),
                                  static_cast<qsizetype>(message.length));
        gss_release_buffer(&minor, &message);
        if (context == 0) break;
    }
    return text;
}

QString gssError(const char* what, OM_uint32 major, OM_uint32 minor) {
    QString text = QString::fromUtf8(what) + u": " + statusText(major, GSS_C_GSS_CODE);
    if (minor != 0) text += u" (" + statusText(minor, GSS_C_MECH_CODE) + u')';
    return text;
}

void setError(QString* error, QString text) {
    if (error) *error = std::move(text);
}

// Owners of the GSS-API handles of one call.
struct Cred {
    gss_cred_id_t handle = GSS_C_NO_CREDENTIAL;
    ~Cred() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &handle);
    }
};
struct Context {
    gss_ctx_id_t handle = GSS_C_NO_CONTEXT;
    ~Context() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &handle, GSS_C_NO_BUFFER);
    }
};
struct Name {
    gss_name_t handle = GSS_C_NO_NAME;
    ~Name() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_NAME) gss_release_name(&minor, &handle);
    }
};
struct Buffer {
    gss_buffer_desc desc = GSS_C_EMPTY_BUFFER;
    ~Buffer() {
        OM_uint32 minor = 0;
        gss_release_buffer(&minor, &desc);
    }
    QByteArray bytes() const {
        return QByteArray(static_cast<const char*>(desc.value),
                          static_cast<qsizetype>(desc.length));
    }
};

}  // namespace

NegotiateAcceptor::NegotiateAcceptor(QString keytab)
    : keytab_(std::move(keytab)),
      keytabStore_("FILE:" + QFileInfo(keytab_).absoluteFilePath().toUtf8()),
      rcacheStore_("file2:" + QFileInfo(keytab_).absolutePath().toUtf8() + "/negotiate.rcache") {}

std::optional<QString> NegotiateAcceptor::acceptNegotiate(const QByteArray& tokenFromClient,
                                                          QByteArray* tokenToClient,
                                                          QString* error) const {
    if (tokenToClient) tokenToClient->clear();
    if (tokenFromClient.isEmpty()) {
        setError(error, QStringLiteral("empty token"));
        return std::nullopt;
    }

    // Service keys from this keytab only (not the process's default keytab), any principal in it.
    gss_key_value_element_desc elements[] = {{"keytab", keytabStore_.constData()},
                                             {"rcache", rcacheStore_.constData()}};
    const gss_key_value_set_desc store = {2, elements};
    OM_uint32 minor = 0;
    Cred cred;
    OM_uint32 major =
        gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                              GSS_C_ACCEPT, &store, &cred.handle, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        setError(error, gssError("gss_acquire_cred_from", major, minor));
        return std::nullopt;
    }

    gss_buffer_desc input;
    input.length = static_cast<size_t>(tokenFromClient.size());
    input.value = const_cast<char*>(tokenFromClient.constData());
    Context context;
    Name client;
    Buffer output;
    OM_uint32 flags = 0;
    major = gss_accept_sec_context(&minor, &context.handle, cred.handle, &input,
                                   GSS_C_NO_CHANNEL_BINDINGS, &client.handle, nullptr, &output.desc,
                                   &flags, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        setError(error, gssError("gss_accept_sec_context", major, minor));
        return std::nullopt;
    }
    if (major & GSS_S_CONTINUE_NEEDED) {
        setError(error, QStringLiteral("the client asks for a further round, which this acceptor "
                                       "does not keep state for"));
        return std::nullopt;
    }

    Buffer display;
    major = gss_display_name(&minor, client.handle, &display.desc, nullptr);
    if (GSS_ERROR(major)) {
        setError(error, gssError("gss_display_name", major, minor));
        return std::nullopt;
    }
    if (tokenToClient) *tokenToClient = output.bytes();
    return QString::fromUtf8(display.bytes());
}

std::optional<QString> NegotiateAcceptor::acceptAuthorization(const std::string& authorization,
                                                              std::string* wwwAuthenticate,
                                                              QString* error) const {
    if (wwwAuthenticate) wwwAuthenticate->clear();
    const QByteArray header = QByteArray::fromStdString(authorization).trimmed();
    const qsizetype space = header.indexOf(' ');
    if (space <= 0 || header.left(space).compare("Negotiate", Qt::CaseInsensitive) != 0) {
        setError(error, QStringLiteral("not a Negotiate authorization"));
        return std::nullopt;
    }
    const auto decoded = QByteArray::fromBase64Encoding(header.mid(space + 1).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        setError(error, QStringLiteral("the token is not base64"));
        return std::nullopt;
    }
    QByteArray reply;
    std::optional<QString> who = acceptNegotiate(*decoded, &reply, error);
    if (who && wwwAuthenticate && !reply.isEmpty())
        *wwwAuthenticate = "Negotiate " + reply.toBase64().toStdString();
    return who;
}

}  // namespace qelto::test
