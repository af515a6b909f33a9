#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

// The vendor and device names of the id databases the system keeps (pci.ids, usb.ids: a vendor
// line "vvvv  Name", its devices on lines "\tdddd  Name"; pnp.ids: "ABC\tName").
namespace qelto::wmi::lnx {

class IdDatabase {
  public:
    IdDatabase() = default;
    // Indexes the vendor lines once; the text is kept (implicitly shared, not copied).
    explicit IdDatabase(QByteArray text);

    bool empty() const { return vendors_.isEmpty(); }
    QString vendor(quint16 vendorId) const;                    // empty when unknown
    QString device(quint16 vendorId, quint16 deviceId) const;  // empty when unknown

  private:
    QByteArray text_;
    QHash<quint16, qsizetype> vendors_;  // vendor id -> offset of the vendor line
};

// The index of a database text, made once for all gatherings that hold the same text (the
// scanning machine's files, read once for a whole batch by readLookups): indexing pci.ids costs
// more than many a host's scan.
std::shared_ptr<const IdDatabase> sharedIdDatabase(const QByteArray& text);

// pnp.ids: the three-letter id -> company name.
QHash<QString, QString> parsePnpIds(const QByteArray& text);

}  // namespace qelto::wmi::lnx
