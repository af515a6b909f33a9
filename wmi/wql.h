#pragma once

#include "variant.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <optional>

namespace qelto::wmi::wql {

// Looks a property up in one instance: the value, or nullopt when the instance has no such
// property or its value cannot be read. A WHERE treats both like Null.
using Lookup = std::function<std::optional<Variant>(QStringView property)>;

struct Condition;  // the parsed WHERE

// A parsed "Select * From <class> [where <condition>]".
class Query {
  public:
    Query(QString className, std::shared_ptr<const Condition> where);

    // The class name as written in the query.
    const QString& className() const { return className_; }
    bool hasWhere() const { return where_ != nullptr; }
    // Whether an instance satisfies the WHERE (always true without one). Comparisons follow
    // three-valued logic as in SQL: a comparison with Null is unknown, NOT unknown is unknown,
    // and only a condition that is true keeps the instance.
    bool matches(const Lookup& lookup) const;

  private:
    QString className_;
    std::shared_ptr<const Condition> where_;
};

// Parses a WQL text. Throws wmi::Error with code::InvalidQuery when the text is malformed.
Query parse(QStringView text);

}  // namespace qelto::wmi::wql
