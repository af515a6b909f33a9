// The schema of the 25 classes against what uses it: the scan reads nothing it does not declare,
// and every source that gathers its answers (the Linux source, its dump, the recorded snapshots)
// gives each property in the form its type says.

#include "wmi/schema.h"
#include "scan/scan.h"
#include "sources/linux/local.h"
#include "sources/linux/source.h"
#include "wmi/snapshot.h"
#include "wmi/store.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace qelto::wmi {
namespace {

using schema::CimType;

std::string str(const QString& s) {
    return s.toStdString();
}

// Every recorded machine: the Linux folders gathered by the Linux source, the same written out and
// read back as `qelto-cli dump` does, and the recorded snapshots of the scan's tests.
std::vector<std::pair<std::string, std::shared_ptr<const InstanceStore>>> recordedMachines() {
    std::vector<std::pair<std::string, std::shared_ptr<const InstanceStore>>> out;
    const QString linux = QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/linux/machines");
    for (const QString& m : QDir(linux).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::shared_ptr<const InstanceStore> store = lnx::scanLocal(linux + u'/' + m);
        out.push_back({"dump of " + str(m), readSnapshot(writeSnapshot(*store))});
        out.push_back({str(m), std::move(store)});
    }
    const QString scans = QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines");
    for (const QString& f : QDir(scans).entryList({QStringLiteral("*.json")}))
        if (!f.endsWith(u".expected.json")) out.push_back({str(f), loadSnapshot(scans + u'/' + f)});
    return out;
}

TEST(Schema, NamesAreFoundWithoutRegardToCase) {
    QSet<QString> classes;
    for (const schema::Class& c : schema::classes()) {
        const QString name = QString::fromLatin1(c.name);
        EXPECT_FALSE(classes.contains(name.toLower())) << c.name;
        classes.insert(name.toLower());
        EXPECT_EQ(schema::findClass(name.toUpper()), &c);
        QSet<QString> properties;
        for (const schema::Property& p : c.properties) {
            const QString pn = QString::fromLatin1(p.name);
            EXPECT_FALSE(properties.contains(pn.toLower())) << c.name << "." << p.name;
            properties.insert(pn.toLower());
            EXPECT_EQ(schema::findProperty(c, pn.toLower()), &p);
        }
        EXPECT_EQ(schema::findProperty(c, u"NoSuchProperty"), nullptr);
    }
    EXPECT_EQ(classes.size(), 25);
    EXPECT_EQ(schema::findClass(u"Win32_NoSuchClass"), nullptr);
}

// A service that notes the classes queried and the properties read.
struct Reads {
    QSet<QString> classes;
    QSet<QString> properties;  // "class.property", lower case
};

class NotingObject : public Object {
  public:
    NotingObject(std::unique_ptr<Object> inner, QString cls, Reads& reads)
        : inner_(std::move(inner)), class_(std::move(cls)), reads_(reads) {}
    Variant get(QStringView property) const override {
        reads_.properties.insert(class_ + u'.' + property.toString().toLower());
        return inner_->get(property);
    }

  private:
    std::unique_ptr<Object> inner_;
    QString class_;
    Reads& reads_;
};

class NotingCollection : public Collection {
  public:
    NotingCollection(std::unique_ptr<Collection> inner, QString cls, Reads& reads)
        : inner_(std::move(inner)), class_(std::move(cls)), reads_(reads) {}
    std::unique_ptr<Object> next() override {
        std::unique_ptr<Object> o = inner_->next();
        if (!o) return nullptr;
        return std::make_unique<NotingObject>(std::move(o), class_, reads_);
    }

  private:
    std::unique_ptr<Collection> inner_;
    QString class_;
    Reads& reads_;
};

class NotingService : public Service {
  public:
    NotingService(std::shared_ptr<const InstanceStore> store, Reads& reads)
        : inner_(std::move(store)), reads_(reads) {}
    std::unique_ptr<Collection> execQuery(const QString& wql) override {
        static const QRegularExpression from(QStringLiteral("\\bfrom\\s+(\\w+)"),
                                             QRegularExpression::CaseInsensitiveOption);
        const QString cls = from.match(wql).captured(1).toLower();
        reads_.classes.insert(cls);
        return std::make_unique<NotingCollection>(inner_.execQuery(wql), cls, reads_);
    }

  private:
    StoreService inner_;
    Reads& reads_;
};

TEST(Schema, DeclaresEveryClassAndPropertyTheScanReads) {
    Reads reads;
    for (const auto& [name, store] : recordedMachines()) {
        NotingService service(store, reads);
        scan::InventoryTree tree;
        scan::ScanRecord record;
        scan::infoscan(service, tree, record, QLocale(QLocale::English), nullptr);
    }
    QSet<QString> declared;
    for (const schema::Class& c : schema::classes())
        declared.insert(QString::fromLatin1(c.name).toLower());
    EXPECT_EQ(reads.classes, declared) << "the scan queries other classes than the schema holds";
    ASSERT_GT(reads.properties.size(), 100);
    for (const QString& read : reads.properties) {
        const schema::Class* c = schema::findClass(read.section(u'.', 0, 0));
        ASSERT_TRUE(c) << str(read);
        EXPECT_TRUE(schema::findProperty(*c, read.section(u'.', 1)))
            << "the scan reads " << str(read) << ", which the schema does not declare";
    }
}

// Whether `v` has the form a property of `p`'s type takes in the store: integers up to 32 bits as
// integers, 64-bit integers as decimal text, datetimes as CIM text, arrays as arrays.
bool conforms(const Variant& v, const schema::Property& p, bool element = false) {
    static const QRegularExpression cim(QStringLiteral("^[0-9*]{14}\\.[0-9*]{6}[-+:][0-9*]{3}$"));
    static const QRegularExpression u64(QStringLiteral("^[0-9]{1,20}$"));
    static const QRegularExpression s64(QStringLiteral("^-?[0-9]{1,19}$"));
    if (v.isNull()) return !element;
    if (p.array && !element) {
        if (!v.isArray()) return false;
        for (const Variant& e : v.arrayValue())
            if (!conforms(e, p, true)) return false;
        return true;
    }
    switch (p.type) {
        case CimType::String:
            return v.isText();
        case CimType::UInt8:
        case CimType::UInt16:
        case CimType::UInt32:
            return v.type() == Variant::Type::Int && v.intValue() >= 0;
        case CimType::SInt8:
        case CimType::SInt16:
        case CimType::SInt32:
            return v.type() == Variant::Type::Int;
        case CimType::UInt64: {
            bool fits = false;
            v.textValue().toULongLong(&fits);
            return v.isText() && u64.match(v.textValue()).hasMatch() && fits;
        }
        case CimType::SInt64:
            return v.isText() && s64.match(v.textValue()).hasMatch();
        case CimType::Real32:
        case CimType::Real64:
            return v.type() == Variant::Type::Double;
        case CimType::Boolean:
            return v.type() == Variant::Type::Bool;
        case CimType::DateTime:
            return v.isText() && cim.match(v.textValue()).hasMatch();
    }
    return false;
}

TEST(Schema, SourcesGiveEveryPropertyInTheFormOfItsType) {
    int checked = 0;
    for (const auto& [name, store] : recordedMachines()) {
        for (const ClassData* c : store->classes()) {
            const schema::Class* cls = schema::findClass(c->name);
            ASSERT_TRUE(cls) << name << ": " << str(c->name);
            for (const std::optional<Instance>& i : c->items) {
                if (!i) continue;
                for (const Property& p : i->properties) {
                    const schema::Property* sp = schema::findProperty(*cls, p.name);
                    ASSERT_TRUE(sp) << name << ": " << cls->name << "." << str(p.name)
                                    << " is not in the schema";
                    EXPECT_TRUE(p.readable) << name << ": " << cls->name << "." << sp->name;
                    EXPECT_TRUE(conforms(p.value, *sp))
                        << name << ": " << cls->name << "." << sp->name << " is a "
                        << typeName(p.value.type()) << " \"" << str(p.value.textValue()) << "\"";
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 1000);
}

}  // namespace
}  // namespace qelto::wmi
