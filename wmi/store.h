#pragma once

#include "service.h"
#include "variant.h"

#include <QHash>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>
#include <vector>

namespace qelto::wmi {

// One property of a stored instance. A property whose value could not be taken over from its
// source (a wrong type, invalid text) is kept as unreadable: reading it fails like a failing WMI
// read.
struct Property {
    QString name;
    Variant value;
    bool readable = true;
};

// One instance of a class: its properties in the order of the source.
struct Instance {
    std::vector<Property> properties;

    // The property of that name (case-insensitive), or nullptr.
    const Property* find(QStringView name) const;
    void set(const QString& name, Variant value);  // adds or replaces
};

// One class of a store. An entry of `items` that is nullopt stands for an object whose
// enumeration fails: advancing to it ends the walk with an error. A class marked broken cannot
// be queried at all.
struct ClassData {
    QString name;
    std::vector<std::optional<Instance>> items;
    bool broken = false;
};

// The answers of all classes of one machine, held in memory. Every source that gathers its
// answers before it is queried (a snapshot, this machine, a Linux host over SSH) fills one of
// these and answers through StoreService, so that all of them evaluate WQL the same way.
class InstanceStore {
  public:
    // The class of that name (case-insensitive), created empty when missing.
    ClassData& addClass(const QString& name);
    const ClassData* findClass(QStringView name) const;
    std::vector<const ClassData*> classes() const;  // in order of adding

  private:
    std::vector<std::unique_ptr<ClassData>> order_;
    QHash<QString, ClassData*> byLowerName_;
};

// A service that answers WQL queries from an InstanceStore. The store does not change, so the
// answer to a query text is worked out once and walked again when the same text comes back (the
// network group runs its configuration query once per adapter).
class StoreService : public Service {
  public:
    explicit StoreService(std::shared_ptr<const InstanceStore> store) : store_(std::move(store)) {}
    std::unique_ptr<Collection> execQuery(const QString& wql) override;
    const InstanceStore& store() const { return *store_; }
    const InstanceStore* answers() const override { return store_.get(); }

    // The instances a query returns, in order, and whether advancing past the last of them fails.
    struct Answer {
        const ClassData* data = nullptr;
        std::vector<const Instance*> instances;
        bool failsAfter = false;
    };

  private:
    std::shared_ptr<const InstanceStore> store_;
    QHash<QString, std::shared_ptr<const Answer>> answers_;
};

}  // namespace qelto::wmi
