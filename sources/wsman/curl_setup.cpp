// libcurl's set-up for the WS-Management client: its memory (every block overwritten before it
// is freed), and the certificates of the listener (a CA file, a pin, the reasons of a refusal).

#include "engine.h"

#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qelto::wmi::wsman {

namespace {

// libcurl keeps copies of what it is given (the password for Basic and NTLM among them) and
// builds headers out of them: every block it gives back is overwritten before it is freed.
void wipingFree(void* p) {
    if (!p) return;
    ::explicit_bzero(p, ::malloc_usable_size(p));
    std::free(p);
}

void* wipingRealloc(void* p, size_t size) {
    if (!p) return std::malloc(size);
    if (size == 0) {
        wipingFree(p);
        return nullptr;
    }
    void* moved = std::malloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, p, std::min(size, ::malloc_usable_size(p)));
    wipingFree(p);
    return moved;
}

void* plainMalloc(size_t size) {
    return std::malloc(size);
}
char* plainStrdup(const char* s) {
    return ::strdup(s);
}
void* plainCalloc(size_t count, size_t size) {
    return std::calloc(count, size);
}

}  // namespace

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init_mem(CURL_GLOBAL_DEFAULT, plainMalloc, wipingFree, wipingRealloc,
                             plainStrdup, plainCalloc);
    });
}

QString fingerprintText(const QByteArray& sha256) {
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

namespace engine {

namespace {

int verifyChain(X509_STORE_CTX* store, void* arg) {
    auto* tls = static_cast<TlsState*>(arg);
    if (X509* leaf = X509_STORE_CTX_get0_cert(store)) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (X509_digest(leaf, EVP_sha256(), md, &n) == 1)
            tls->fingerprint =
                fingerprintText(QByteArray(reinterpret_cast<const char*>(md), int(n)));
    }
    const int ok = X509_verify_cert(store);
    tls->verifyError = ok > 0 ? 0 : X509_STORE_CTX_get_error(store);
    if (tls->pin.isEmpty()) return ok;
    // A pinned certificate is trusted for what it is, whoever signed it; any other is refused.
    QString seen = tls->fingerprint;
    seen.remove(u':');
    if (seen.toLatin1().toLower() == tls->pin) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    tls->pinMismatch = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

}  // namespace

CURLcode sslContext(CURL*, void* sslCtx, void* arg) {
    auto* tls = static_cast<TlsState*>(arg);
    auto* ctx = static_cast<SSL_CTX*>(sslCtx);
    if (!tls->caFile.isEmpty() &&
        X509_STORE_load_file(SSL_CTX_get_cert_store(ctx), tls->caFile.constData()) != 1) {
        tls->caFileFailed = true;
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set_cert_verify_callback(ctx, verifyChain, tls);
    return CURLE_OK;
}

QString verifyReason(int error, const QString& hostName) {
    switch (error) {
        case 0:
            return QStringLiteral("证书上的名称与主机名“%1”不符").arg(hostName);
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return QStringLiteral("证书是自签名的，不受信任");
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return QStringLiteral("证书不是由受信任的证书颁发机构签发的");
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return QStringLiteral("证书已过期");
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return QStringLiteral("证书尚未生效");
        case X509_V_ERR_CERT_REVOKED:
            return QStringLiteral("证书已被吊销");
        default:
            return QStringLiteral("证书无法验证（%1）")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(error)));
    }
}

}  // namespace engine

}  // namespace qelto::wmi::wsman
