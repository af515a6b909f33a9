#include "store.h"

#include "error.h"
#include "wql.h"

namespace qelto::wmi {

const Property* Instance::find(QStringView name) const {
    for (const Property& p : properties)
        if (name.compare(p.name, Qt::CaseInsensitive) == 0) return &p;
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
    StoreCollection(std::shared_ptr<const InstanceStore> keep, const ClassData& data,
                    wql::Query query)
        : keep_(std::move(keep)), data_(data), query_(std::move(query)) {}

    std::unique_ptr<Object> next() override {
        while (pos_ < data_.items.size()) {
            const auto& item = data_.items[pos_++];
            if (!item) {
                pos_ = data_.items.size();  // the walk ends here
                throw Error(code::Failed, QStringLiteral("枚举 %1 的对象失败").arg(data_.name));
            }
            if (query_.hasWhere()) {
                const Instance& instance = *item;
                const bool keep = query_.matches([&](QStringView name) -> std::optional<Variant> {
                    const Property* p = instance.find(name);
                    if (!p || !p->readable) return std::nullopt;
                    return p->value;
                });
                if (!keep) continue;
            }
            return std::make_unique<StoreObject>(keep_, *item);
        }
        return nullptr;
    }

private:
    std::shared_ptr<const InstanceStore> keep_;
    const ClassData& data_;
    wql::Query query_;
    std::size_t pos_ = 0;
};

}  // namespace

std::unique_ptr<Collection> StoreService::execQuery(const QString& wql) {
    wql::Query query = wql::parse(wql);
    const ClassData* data = store_->findClass(query.className());
    if (!data) throw Error(code::InvalidClass, QStringLiteral("无效的类：%1").arg(query.className()));
    if (data->broken)
        throw Error(code::Failed, QStringLiteral("无法查询类 %1").arg(data->name));
    return std::make_unique<StoreCollection>(store_, *data, std::move(query));
}

}  // namespace qelto::wmi
