// How the DCOM source connects: the activator on the socket the reach layer won, then every class
// of the scan gathered up front, as the WS-Management source does.

#include "source.h"

#include "kerberos.h"
#include "ntlm.h"
#include "ports.h"
#include "session.h"
#include "transport.h"

#include "wmi/error.h"
#include "wmi/schema.h"
#include "wmi/store.h"
#include "wmi/wql.h"

#include <QHash>

namespace qelto::dcom {

namespace {

constexpr std::size_t kMaxAccounts = 10000;  // a domain controller's accounts, as on WS-Management

// "DOMAIN\user" and "user@domain" name the account's domain; a bare name is the host's own.
NtlmCredentials credentialsOf(const wmi::ConnectRequest& request) {
    NtlmCredentials c;
    c.user = request.user;
    if (const qsizetype slash = c.user.indexOf(u'\\'); slash >= 0) {
        c.domain = c.user.left(slash);
        c.user = c.user.mid(slash + 1);
    } else if (const qsizetype at = c.user.lastIndexOf(u'@'); at >= 0) {
        c.domain = c.user.mid(at + 1);
        c.user = c.user.left(at);
    }
    c.password = request.password.text().toString();
    return c;
}

// NTLM with the typed account; on the current login, its Kerberos ticket for the host's name.
SecurityFactory securityOf(const wmi::ConnectRequest& request, const wmi::HostText& host) {
    if (request.road == wmi::Road::Credentials) {
        const NtlmCredentials c = credentialsOf(request);
        return [c] { return ntlmSecurity(c); };
    }
    const QString target = QStringLiteral("host@") + host.host;
    return [target] { return kerberosSecurity({.target = target, .user = {}, .password = {}}); };
}

// The current login has no password to give NTLM: only a Kerberos ticket can stand for it.
[[noreturn]] void currentLoginFailed(const wmi::Error& e, const wmi::HostText& host) {
    throw wmi::Error(
        e.number(), e.description() + QStringLiteral("（当前登录的身份经 DCOM 只能用 Kerberos "
                                                     "票据：需要 kinit 取得票据、用 %1 "
                                                     "的完全限定名连接；否则请输入用户名和密码。）")
                                          .arg(host.host));
}

// A walk that ends, after the instances received, with the error that ended the query.
class FailingCollection : public wmi::Collection {
  public:
    FailingCollection(std::unique_ptr<wmi::Collection> inner, wmi::Error error)
        : inner_(std::move(inner)), error_(std::move(error)) {}
    std::unique_ptr<wmi::Object> next() override {
        if (done_) return nullptr;
        if (auto object = inner_->next()) return object;
        done_ = true;
        throw error_;
    }

  private:
    std::unique_ptr<wmi::Collection> inner_;
    wmi::Error error_;
    bool done_ = false;
};

// The answers of a gathering: the store for WHERE clauses, each failed class with its error.
class DcomService : public wmi::Service {
  public:
    DcomService(std::shared_ptr<const wmi::InstanceStore> store,
                QHash<QString, wmi::Error> failures,
                std::shared_ptr<const wmi::InstanceStore> recorded)
        : store_(std::move(store)),
          failures_(std::move(failures)),
          recorded_(std::move(recorded)) {}

    const wmi::InstanceStore* answers() const override { return recorded_.get(); }

    std::unique_ptr<wmi::Collection> execQuery(const QString& wql) override {
        const wmi::wql::Query query = wmi::wql::parse(wql);
        const auto failure = failures_.constFind(query.className().toLower());
        if (failure == failures_.cend()) return store_.execQuery(wql);
        if (!store_.store().findClass(query.className())) throw *failure;
        return std::make_unique<FailingCollection>(store_.execQuery(wql), *failure);
    }

  private:
    wmi::StoreService store_;
    QHash<QString, wmi::Error> failures_;  // by the lower-case class name
    std::shared_ptr<const wmi::InstanceStore> recorded_;
};

// One class into the stores, as the WS-Management source keeps it (a class the host does not
// have is left out of the recorded answers; a walk that failed after some objects ends in a
// failing object there).
void keep(const QString& name, QueryOutcome& o, wmi::InstanceStore& store,
          wmi::InstanceStore& recorded, QHash<QString, wmi::Error>& failures) {
    const bool missing = o.error && o.items.empty() && o.error->number() == wmi::code::InvalidClass;
    if (!missing) {
        wmi::ClassData& kept = recorded.addClass(name);
        for (const wmi::Instance& i : o.items) kept.items.emplace_back(i);
        if (o.error && o.items.empty())
            kept.broken = true;
        else if (o.error)
            kept.items.emplace_back(std::nullopt);
    }
    if (!o.items.empty() || !o.error) {
        wmi::ClassData& data = store.addClass(name);
        for (wmi::Instance& i : o.items) data.items.emplace_back(std::move(i));
    }
    if (o.error) failures.insert(name.toLower(), *o.error);
}

// Win32_ComputerSystem's DomainRole (0 to 3: not a domain controller), once that class is in.
std::optional<qint64> domainRole(const wmi::InstanceStore& store) {
    const wmi::ClassData* system = store.findClass(u"Win32_ComputerSystem");
    if (!system || system->items.empty() || !system->items.front()) return std::nullopt;
    const wmi::Property* p = system->items.front()->find(u"DomainRole");
    if (p && p->value.type() == wmi::Variant::Type::Int) return p->value.intValue();
    if (p && p->value.type() == wmi::Variant::Type::UInt) return qint64(p->value.uintValue());
    return std::nullopt;
}

std::unique_ptr<wmi::Service> gatherAll(WmiSession& session) {
    auto store = std::make_shared<wmi::InstanceStore>();
    auto recorded = std::make_shared<wmi::InstanceStore>();
    QHash<QString, wmi::Error> failures;
    for (const wmi::schema::Class& cls : wmi::schema::classes()) {
        const QString name = QString::fromLatin1(cls.name);
        QString wql = QStringLiteral("Select * From ") + name;
        std::size_t cap = 0;
        if (name == u"Win32_UserAccount") {
            // A member of a domain lists only its own accounts; a domain controller has no
            // others, and lists its domain's up to kMaxAccounts.
            const std::optional<qint64> role = domainRole(*store);
            if (!role || *role > 3)
                cap = kMaxAccounts;
            else
                wql += QStringLiteral(" Where LocalAccount = TRUE");
        }
        QueryOutcome outcome = session.query(wql, cap);
        keep(name, outcome, *store, *recorded, failures);
    }
    session.release();
    return std::make_unique<DcomService>(std::move(store), std::move(failures),
                                         std::move(recorded));
}

class DcomDialer : public connect::Dialer {
  public:
    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& request,
                                          const wmi::HostText& host,
                                          connect::Reached* reached) override {
        if (!reached)
            throw wmi::Error(wmi::code::RpcUnavailable,
                             QStringLiteral("DCOM 来源只连接已经到达的主机。"));
        const QString address = reached->winner.address.text();
        const reach::Deadline deadline(reached->winner.reached + request.timeout);
        auto activator = std::make_unique<RpcConnection>(
            std::make_unique<SocketTransport>(std::move(reached->winner.socket), address), address);
        WmiSession session(std::move(activator), address, securityOf(request, host), deadline,
                           request.trace);
        try {
            session.login();
        } catch (const wmi::Error& e) {
            const bool hostAnswered = e.number() != wmi::code::NotSupported &&
                                      e.number() != wmi::code::RpcUnavailable &&
                                      e.number() != wmi::code::Timeout;
            if (request.road == wmi::Road::CurrentLogin && hostAnswered)
                currentLoginFailed(e, host);
            throw;
        }
        if (request.loginOnly) {
            session.release();
            return std::make_unique<wmi::StoreService>(std::make_shared<wmi::InstanceStore>());
        }
        return gatherAll(session);
    }
};

}  // namespace

std::unique_ptr<connect::Dialer> newDialer() {
    return std::make_unique<DcomDialer>();
}

}  // namespace qelto::dcom
