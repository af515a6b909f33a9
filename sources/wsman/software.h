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
// program with an MSI product code, "registry" for the others. A host without the class (servers)
// or with none in it has no Qelto_Software: the source cannot tell its programs.
void programsFrom(Gathering& gathering);

}  // namespace qelto::wmi::wsman
