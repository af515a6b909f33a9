#pragma once

#include "wmi/schema.h"
#include "wmi/service.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace qelto::cli {

// The values of one instance, in the order of its class's properties in the schema (a property
// that cannot be read is Null).
using ProgramRow = std::vector<wmi::Variant>;

// The installed programs (Qelto_Software) and the system's updates (Win32_QuickFixEngineering)
// of a scanned machine. A list is nullopt where the source cannot tell (a class it does not
// have: a Windows host, for now, or a snapshot recorded before programs were).
struct Programs {
    std::optional<std::vector<ProgramRow>> software, updates;
};

// Reads both lists through the service, after the scan, as any query. Never throws.
Programs readPrograms(wmi::Service& service);

// The classes' properties, whose names the JSON gives the values.
const wmi::schema::Class& softwareClass();
const wmi::schema::Class& updatesClass();

// The programs as a table for the terminal: 名称, 版本, 架构, 来源, 发行者, one line each, and a
// last line with the count; a line saying so when the source cannot tell.
QString softwareTable(const Programs& programs);

}  // namespace qelto::cli
