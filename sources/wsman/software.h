#pragma once

#include "client.h"

#include <span>

// The installed programs and updates of a Windows host over WS-Management: the classes enumerated
// beside the scan's 25 (Win32_QuickFixEngineering, and Win32_InstalledWin32Program where the host
// has it), and the programs put into the shape every source gives them (Qelto_Software). Never
// Win32_Product: enumerating it makes Windows check, and repair, every MSI package.
namespace qelto::wmi::wsman {

// The scan's 25 classes, then the updates and the installed programs.
std::span<const schema::Class> gatheredClasses();

// Win32_InstalledWin32Program's outcome replaced by Qelto_Software's: Source "msi" for a
// program with an MSI product code, "registry" for the others. False when the host has no
// programs in the class (servers do not have it): the registry is read instead.
bool programsFrom(Gathering& gathering);

// Qelto_Software from the registry's uninstall keys, through StdRegProv's methods in three rounds
// of calls made at once: the keys of the 64-bit and 32-bit views and the loaded user hives; the
// keys of each hive; the values of every program. Adds nothing when the registry cannot be read.
void registryPrograms(const ConnectRequest& request, const Endpoint& endpoint,
                      Gathering& gathering);

}  // namespace qelto::wmi::wsman
