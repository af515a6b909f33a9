// The answers of a gathering: one store for the WHERE clauses, as for every other source, and the
// errors of the classes whose enumeration failed.

#include "client.h"

#include "wmi/wql.h"

#include <QHash>

namespace qelto::wmi::wsman {

namespace {

// A walk that ends, after the instances received, with the error that ended the enumeration.
class FailingCollection : public Collection {
  public:
    FailingCollection(std::unique_ptr<Collection> inner, Error error)
        : inner_(std::move(inner)), error_(std::move(error)) {}

    std::unique_ptr<Object> next() override {
        if (done_) return nullptr;
        if (auto object = inner_->next()) return object;
        done_ = true;
        throw error_;
    }

  private:
    std::unique_ptr<Collection> inner_;
    Error error_;
    bool done_ = false;
};

class WsmanService : public Service {
  public:
    WsmanService(std::shared_ptr<const InstanceStore> store, QHash<QString, Error> failures,
                 std::shared_ptr<const InstanceStore> recorded)
        : store_(std::move(store)),
          failures_(std::move(failures)),
          recorded_(std::move(recorded)) {}

    const InstanceStore* answers() const override { return recorded_.get(); }

    std::unique_ptr<Collection> execQuery(const QString& wql) override {
        const wql::Query query = wql::parse(wql);  // a malformed text fails as it does everywhere
        const auto failure = failures_.constFind(query.className().toLower());
        if (failure == failures_.cend()) return store_.execQuery(wql);
        // Nothing arrived: the query fails as the listener said.
        if (!store_.store().findClass(query.className())) throw *failure;
        return std::make_unique<FailingCollection>(store_.execQuery(wql), *failure);
    }

  private:
    StoreService store_;
    QHash<QString, Error> failures_;  // by the lower-case class name
    std::shared_ptr<const InstanceStore> recorded_;
};

}  // namespace

std::unique_ptr<Service> serviceFrom(Gathering gathering) {
    auto store = std::make_shared<InstanceStore>();
    // The same answers as a snapshot can hold them, for a dump: a class the host does not have
    // is left out, a walk that failed after some objects ends in a failing object, and a class
    // that failed otherwise cannot be queried.
    auto recorded = std::make_shared<InstanceStore>();
    QHash<QString, Error> failures;
    for (ClassOutcome& c : gathering.classes) {
        const QString name = QString::fromLatin1(c.cls->name);
        const bool missing = c.error && c.items.empty() && c.error->number() == code::InvalidClass;
        if (!missing) {
            ClassData& kept = recorded->addClass(name);
            for (const Instance& i : c.items) kept.items.emplace_back(i);
            if (c.error && c.items.empty())
                kept.broken = true;
            else if (c.error)
                kept.items.emplace_back(std::nullopt);
        }
        if (!c.items.empty() || !c.error) {
            ClassData& data = store->addClass(name);
            for (Instance& i : c.items) data.items.emplace_back(std::move(i));
        }
        if (c.error) failures.insert(name.toLower(), *c.error);
    }
    return std::make_unique<WsmanService>(std::move(store), std::move(failures),
                                          std::move(recorded));
}

}  // namespace qelto::wmi::wsman
