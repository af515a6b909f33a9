#include "store.h"

#include "error.h"
#include "wql.h"

namespace qelto::wmi {

const Property* Instance::find(QStringView name) const {
    // Most reads spell the name as the source does: try that first, it is far cheaper.
    for (const Property& p : properties)
        if (p.name.size() == name.size() && name == p.name) return &p;
    for (const Property& p : properties)
        if (p.name.size() == name.size() && name.compare(p.name, Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

void Instance::set(const QString& name, Variant value) {
    for (Property& p : properties) {
        if (name.compare(p.name, Qt::CaseInsensitive) == 0) {
            p.value = std::move(value);
            p.readable = true;
            return;
        }
    }
    properties.push_back({name, std::move(value), true});
}

ClassData& InstanceStore::addClass(const QString& name) {
    const QString lower = name.toLower();
    if (ClassData* found = byLowerName_.value(lower)) return *found;
    order_.push_back(std::make_unique<ClassData>());
    ClassData* data = order_.back().get();
    data->name = name;
    byLowerName_.insert(lower, data);
    return *data;
}

const ClassData* InstanceStore::findClass(QStringView name) const {
    return byLowerName_.value(name.toString().toLower());
}

std::vector<const ClassData*> InstanceStore::classes() const {
    std::vector<const ClassData*> all;
    all.reserve(order_.size());
    for (const auto& c : order_) all.push_back(c.get());
    return all;
}

namespace {

class StoreObject : public Object {
  public:
    StoreObject(std::shared_ptr<const InstanceStore> keep, const Instance& instance)
        : keep_(std::move(keep)), instance_(instance) {}

    Variant get(QStringView property) const override {
        const Property* p = instance_.find(property);
        if (!p)
            throw Error(code::NotFound, QStringLiteral("找不到属性 %1").arg(property.toString()));
        if (!p->readable)
            throw Error(code::TypeMismatch, QStringLiteral("无法读取属性 %1").arg(p->name));
        return p->value;
    }

  private:
    std::shared_ptr<const InstanceStore> keep_;
    const Instance& instance_;
};

class StoreCollection : public Collection {
  public:
    StoreCollection(std::shared_ptr<const InstanceStore> keep,
                    std::shared_ptr<const StoreService::Answer> answer)
        : keep_(std::move(keep)), answer_(std::move(answer)) {}

    std::unique_ptr<Object> next() override {
        if (pos_ < answer_->instances.size())
            return std::make_unique<StoreObject>(keep_, *answer_->instances[pos_++]);
        if (answer_->failsAfter && !failed_) {
            failed_ = true;  // the walk ends here
            throw Error(code::Failed,
                        QStringLiteral("枚举 %1 的对象失败").arg(answer_->data->name));
        }
        return nullptr;
    }

  private:
    std::shared_ptr<const InstanceStore> keep_;
    std::shared_ptr<const StoreService::Answer> answer_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<Collection> StoreService::execQuery(const QString& wql) {
    if (auto known = answers_.value(wql)) return std::make_unique<StoreCollection>(store_, known);
    const wql::Query query = wql::parse(wql);
    const ClassData* data = store_->findClass(query.className());
    if (!data)
        throw Error(code::InvalidClass, QStringLiteral("无效的类：%1").arg(query.className()));
    if (data->broken) throw Error(code::Failed, QStringLiteral("无法查询类 %1").arg(data->name));

    auto answer = std::make_shared<Answer>();
    answer->data = data;
    for (const auto& item : data->items) {
        if (!item) {
            answer->failsAfter = true;
            break;
        }
        const Instance& instance = *item;
        const bool keep =
            !query.hasWhere() || query.matches([&](QStringView name) -> std::optional<Variant> {
                const Property* p = instance.find(name);
                if (!p || !p->readable) return std::nullopt;
                return p->value;
            });
        if (keep) answer->instances.push_back(&instance);
    }
    answers_.insert(wql, answer);
    return std::make_unique<StoreCollection>(store_, std::move(answer));
}

}  // namespace qelto::wmi
