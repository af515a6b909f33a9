#pragma once

#include "variant.h"

#include <QString>
#include <QStringView>

#include <memory>

namespace qelto::wmi {

class InstanceStore;

// One object of a query result. Property names are matched case-insensitively.
class Object {
  public:
    virtual ~Object() = default;
    // The value of a property. Throws Error when the object has no such property or when its
    // value cannot be read.
    virtual Variant get(QStringView property) const = 0;
};

// The result of one query, walked once from first to last.
class Collection {
  public:
    virtual ~Collection() = default;
    // The next object, or nullptr after the last one. Throws Error when advancing fails; the
    // walk is over then.
    virtual std::unique_ptr<Object> next() = 0;
};

// A connected namespace root\cimv2 of one machine.
class Service {
  public:
    virtual ~Service() = default;
    // Runs one WQL text ("Select * From <class> [where …]"). Throws Error: InvalidQuery for a
    // malformed text, InvalidClass for a class the machine does not have, or the transport's own.
    virtual std::unique_ptr<Collection> execQuery(const QString& wql) = 0;
    // Security_.AuthenticationLevel; sources without such a notion accept and ignore it.
    virtual void setAuthenticationLevel(int level) { authenticationLevel_ = level; }
    int authenticationLevel() const { return authenticationLevel_; }
    // All of the machine's answers, where the source gathered them before the first query (what
    // qelto-cli dump records); nullptr for a source that asks as it goes.
    virtual const InstanceStore* answers() const { return nullptr; }

  private:
    int authenticationLevel_ = 0;
};

}  // namespace qelto::wmi
