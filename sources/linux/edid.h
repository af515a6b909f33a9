#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A reader of the fields the inventory shows from a monitor's EDID block (the 128-byte base
// block; extension blocks are ignored).
namespace qelto::wmi::lnx::edid {

struct Info {
    QString manufacturerId;  // three letters, "DEL"
    quint16 productCode = 0;
    QString name;        // the monitor name descriptor (0xFC), empty when absent
    QString serialText;  // the serial number descriptor (0xFF)
    std::optional<int> minVerticalHz, maxVerticalHz;  // the range limits descriptor (0xFD)
    // The first detailed timing (the preferred mode).
    int width = 0, height = 0;
    std::optional<int> refreshHz;
};

// nullopt for anything that is not an EDID base block (shorter than 128 bytes, wrong header).
std::optional<Info> parse(const QByteArray& block);

}  // namespace qelto::wmi::lnx::edid
