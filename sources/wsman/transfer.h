#pragma once

// The pieces the engine (engine.h) works with: a class being enumerated, an HTTP exchange in
// flight with libcurl's callbacks for it, the lanes of the HTTP listener, and the certificate
// the TLS handshake showed.

#include "client.h"

#include "sources/wsman/gss.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>

namespace qelto::wmi::wsman::engine {

inline const QString kCimv2 = QStringLiteral("root/cimv2");

// "n MiB", for messages about sizes.
QString bytes(qsizetype n);

// The listener's certificate as the TLS handshake showed it, and what was wrong with it.
struct TlsState {
    QByteArray caFile;    // extra certificates to trust, empty for none
    QByteArray pin;       // 64 lower-case hex digits, empty for none
    QString fingerprint;  // of the last certificate seen
    int verifyError = 0;  // X509_V_ERR_*, 0 when the chain verified
    bool pinMismatch = false;
    bool caFileFailed = false;
};

// libcurl's TLS context callback: the request's CA file, and our verification of the chain
// (which sees the certificate, and honours a pin). `arg` is the TlsState.
CURLcode sslContext(CURL*, void* sslCtx, void* arg);
// Why a certificate was refused, in Chinese.
QString verifyReason(int error, const QString& hostName);

enum class Kind { Enumerate, Pull, Release, Login };

// One class being enumerated.
struct Job {
    ClassOutcome* out = nullptr;
    QString resourcePath = kCimv2;  // the WMI namespace, with slashes
    QString context;                // the latest enumeration context
    bool started = false;
    bool finished = false;
    bool capped = false;  // at most kMaxAccounts instances are kept
    // A call of a registry method instead (StdRegProv in root\default): its name and input
    // parameters as XML; its output parameters are the one instance.
    QString method;
    QString input;
};

// The accounts a domain controller lists: its domain's, which may run into the hundreds of
// thousands. Beyond this many the rest is left out, with an error that says so.
constexpr std::size_t kMaxAccounts = 10000;

// One HTTP exchange in flight.
struct Transfer {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    Job* job = nullptr;
    Kind kind = Kind::Enumerate;
    Kind then = Kind::Enumerate;  // of a login: the message it logs in for
    QByteArray body;              // libcurl reads it in place
    QByteArray context;           // of a Release
    QByteArray reply;
    bool tooLarge = false;
    qsizetype cap = 0;
    qsizetype* total = nullptr;  // all replies so far
    qsizetype totalCap = 0;
    BudgetShare* share = nullptr;  // of the answers of hosts scanned together
    bool overBudget = false;
    int* roundTrips = nullptr;
    QStringList offers;           // WWW-Authenticate lines of the last response
    QList<QByteArray> tokens;     // the base64 tokens of its "Negotiate <token>" lines
    QByteArray contentType;       // of the last response
    struct Lane* lane = nullptr;  // the sealed connection it runs on
    QByteArray plain;             // a sealed message's own text, sent again after a new login
    bool resent = false;          // it already was
    std::optional<Error> unsent;  // a login that failed here: this request only asks the host
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        curl_slist_free_all(headers);
        curl_easy_cleanup(easy);
    }
};

bool isClass(const Job& job, const char* name);

// libcurl's callbacks for a transfer's body and headers (`arg` is the Transfer).
size_t onBody(char* data, size_t size, size_t count, void* arg);
size_t onHeader(char* data, size_t size, size_t count, void* arg);

// One connection to an HTTP listener with its own login: a multi handle of its own keeps the
// connection (and so the security context bound to it) to this lane alone. One exchange at a
// time; the context seals every message in order.
struct Lane {
    CURLM* multi = nullptr;
    std::unique_ptr<GssContext> gss;
    Transfer* busy = nullptr;
    bool loggedIn = false;

    Lane() : multi(curl_multi_init()) {
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 1L);
    }
    ~Lane() { curl_multi_cleanup(multi); }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
};

// A message waiting for a free lane.
struct Waiting {
    Job* job;
    Kind kind;
    QByteArray body;
    QByteArray context;
};

QString xmlEscaped(const QString& text);

}  // namespace qelto::wmi::wsman::engine
