#pragma once

// The engine of a gathering, one class in parts: the loop that waits on libcurl and the time
// limits (engine.cpp), the envelopes of the messages (engine_messages.cpp), the messages of each
// class and their answers (engine_exchange.cpp), logging in and sealing over the HTTP listener
// (engine_auth.cpp), and the transfers with the socket the reach layer handed over
// (engine_transport.cpp). What a transfer is: transfer.h; libcurl's set-up, its memory and the
// certificates: curl_setup.cpp.

#include "client.h"
#include "internal.h"
#include "transfer.h"

#include "common/messages.h"

#include "sources/wsman/decode.h"
#include "sources/wsman/encrypted.h"
#include "sources/wsman/gss.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qelto::wmi::wsman::engine {

using std::chrono::milliseconds;

inline constexpr char kEnumeration[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
inline constexpr char kWmiResources[] = "http://schemas.microsoft.com/wbem/wsman/1/wmi/";
inline const QString kTerminalServices = QStringLiteral("root/cimv2/TerminalServices");
inline const QString kRegistryClass = QStringLiteral("root/default/StdRegProv");

// The one engine of a gathering: a curl multi handle and the jobs it runs.
class Engine {
  public:
    Engine(const ConnectRequest& request, const Endpoint& endpoint, const Tuning& tuning,
           Gathering& out);

    ~Engine();

    void run(std::span<const schema::Class> classes);
    // Each call an outcome of its own, in order, with the output parameters as its one item.
    void call(std::span<const RegistryCall> calls);

  private:
    // The connection the reach layer made: the first transfer takes it, and every further one
    // goes to the same address instead of resolving the name again.
    void takeOver(reach::Winner& reached);
    // The request's CA file and pinned certificate, checked before anything is sent.
    void setUpCertificates();

    static QString newUuid();

    QString resourceUri(const Job& job) const;

    QByteArray envelope(const char* action, const Job& job, const QString& body) const;

    // The listener is asked to answer well before our own limit runs out.
    qint64 operationSeconds() const;

    void startJob(Job& job);

    // Win32_ComputerSystem's DomainRole once that class is in (0 to 3: not a domain
    // controller), nullopt when it is unknown.
    std::optional<qint64> domainRole() const;

    // Items asked for at once; of a capped class one more than it keeps, so that a full class
    // and a longer one are told apart.
    int maxElements(const Job& job) const;

    void pull(Job& job);

    void release(Job& job);

    void send(Job& job, Kind kind, QByteArray body);

    std::unique_ptr<Transfer> newTransfer(Job& job, Kind kind, QByteArray body);

    // Starts a transfer: over HTTPS on the shared connections, over HTTP on `lane`, with
    // `contentType` (none for an empty body) and `authorization` (none: nothing).
    void start(std::unique_ptr<Transfer> t, Lane* lane,
               const QByteArray& contentType = "application/soap+xml;charset=UTF-8",
               const QByteArray& authorization = {});

    // A transfer's certificates (the system's, the request's CA file, the pin) and, over HTTPS,
    // its login.
    void secure(CURL* e, Lane* lane);
    CURLM* multiOf(const Transfer& t) const { return t.lane ? t.lane->multi : multi_; }

    static curl_socket_t openSocket(void* data, curlsocktype, curl_sockaddr* address);
    static int socketOptions(void* data, curl_socket_t fd, curlsocktype);
    static int closeSocket(void* data, curl_socket_t fd);

    // ---- The HTTP listener: a login per lane, then sealed messages ----

    void sendSealed(Job& job, Kind kind, QByteArray body, QByteArray context);

    std::unique_ptr<GssContext> newContext() const;

    // One leg of the login on `lane`, for the message that waits for it.
    void loginLeg(Lane& lane, Job& job, Kind then, QByteArray plain, QByteArray context,
                  const QByteArray& tokenIn, bool resent);

    void sealAndPost(Lane& lane, Job& job, Kind kind, QByteArray plain, QByteArray context,
                     bool resent);

    // What GSS-API said when this side could not log in.
    Error loginError(const GssFailure& f) const;

    // A finished leg of a login: the next leg, the message it was for, or why not.
    void loginAnswered(Transfer& t, CURLcode result);

    void loginStep(Transfer& t, CURLcode result);

    // A listener that would have the password in the clear is refused.
    void basicOnly(const Transfer& t, long status) const;

    // The plain text of a sealed reply, in place of the reply; throws when it is not sealed or
    // its seal does not hold.
    void unsealReply(Transfer& t);

    // A message that found no free lane goes on the next one that is.
    void sendWaiting();

    static milliseconds left(Clock::time_point until);

    void loop();

    // Until one of the multi handles has something to do, or `ms` have passed.
    void wait(int ms);

    [[noreturn]] void timedOut();

    // Releases after the time limit: their answers are not waited for beyond a moment, nor
    // read except to keep a sealed connection's order.
    void loopReleases();

    // The failure of a transfer that never got an HTTP answer.
    Error transportError(const Transfer& t, CURLcode result) const;
    // A connection refused, unreachable or silent, or the time limit of the scan.
    Error connectError(const Transfer& t, CURLcode result) const;
    // A reply that was cut off for its size, or for the batch's budget.
    std::optional<Error> sizeError(const Transfer& t) const;

    static QString curlText(const Transfer& t, CURLcode result);

    Error certificateError() const;

    // The failure of an exchange whose HTTP status says no.
    Error statusError(const Transfer& t, long status) const;

    Error faultError(const Fault& fault) const;

    // An exchange is over: its answer taken, the class's next message sent.
    void finished(Transfer& t, CURLcode result);
    // A sealed exchange is over on its lane: the lane is free again, a reply is unsealed. When
    // the listener no longer knows the lane's login, the message goes again after a new login
    // (true: nothing more to do with it now).
    bool resentOnLane(Transfer& t, CURLcode result);
    // What failed an exchange, if anything: its transfer or its HTTP status. The whole time
    // limit and the answers' budget end the gathering at once (thrown).
    std::optional<Error> exchangeFailure(const Transfer& t, CURLcode result, long status);
    std::optional<Error> decodeReply(const Transfer& t, long status, Decoded* decoded) const;
    // A fault in answer to a class: its error, unless the class lives in another namespace or
    // the listener lets nobody in.
    void faulted(Job& job, Kind kind, const Fault& f, bool first);
    // The instances of a reply kept, then the class's next message or its end.
    void takeReply(Job& job, Decoded& decoded);

    void fail(Job& job, Error error);

    void complete(Job& job);

    // One class on each connection: classes waiting take the places free.
    void fill();

    bool systemKnown() const;

    int inFlight() const;

    // A listener that offers Negotiate only (as Windows does by default) gets a Kerberos ticket
    // got with the typed password, when the user names a realm or a domain.
    bool kerberosInstead(const Transfer& t);

    // After the first answer: the scheme the listener accepted is sent at once from now on,
    // without a round trip to ask for it.
    void settleAuth(const Transfer& t);

    const ConnectRequest& request_;
    const Endpoint& endpoint_;
    const Tuning& tuning_;
    Gathering& out_;
    Clock::time_point start_, deadline_, connectDeadline_;
    QString sessionId_;
    TlsState tls_;
    unsigned long auth_ = 0;
    QByteArray user_;
    SharedSecret password_;
    CURLM* multi_ = nullptr;                    // HTTPS: every exchange shares its connections
    std::vector<std::unique_ptr<Lane>> lanes_;  // HTTP: one connection and login each
    std::vector<CURLM*> multis_;                // the one or the lanes'
    std::deque<Waiting> waiting_;               // messages waiting for a free lane
    std::deque<Job> jobs_;
    std::vector<std::unique_ptr<Transfer>> active_;
    std::unique_ptr<PasswordTicket> ticket_;  // the typed password's Kerberos ticket, if any
    QSet<QString> releasing_;                 // contexts whose Release is on its way
    qsizetype received_ = 0;
    BudgetShare share_{request_.answers};  // what the replies took of the batch's budget
    bool login_ = false;
    int handed_ = -1;                // the reach layer's socket, until the first request takes it
    int connectedAlready_ = -1;      // that socket, until libcurl has asked about it
    curl_slist* resolve_ = nullptr;  // the host name pinned to the address that was reached
    std::map<int, bool> sockets_;    // every socket libcurl has open: connected yet?
};

}  // namespace qelto::wmi::wsman::engine
