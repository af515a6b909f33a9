#pragma once

#include "scan/rules.h"

// The query groups of a scan, in the order in which they run. Each is written as the table of its
// lines: one row per line of the tree or per update of a field.
namespace qelto::scan::groups {

const Group& computerSystem();   // 系统摘要, and the processor count under CPU
const Group& operatingSystem();  // 操作系统
const Group& terminalService();  // 操作系统: remote desktop
const Group& userAccounts();     // 用户
const Group& shares();           // 共享
const Group& processor();        // CPU
const Group& cacheMemory();      // CPU: caches
const Group& memoryArray();      // 内存
const Group& memoryModules();    // 内存: modules and totals
const Group& baseBoard();        // 主板
const Group& portConnectors();   // 主板: USB ports
const Group& usbControllers();   // 主板: USB 2.0 controllers
const Group& systemSlots();      // 主板: slots
const Group& diskDrives();       // 硬盘
const Group& videoController();  // 显示卡
const Group& desktopMonitor();   // 显示器
const Group& networkAdapters();  // 网络适配器
const Group& soundDevice();      // 音频
const Group& cdromDrives();      // 光驱
const Group& printers();         // 打印机
const Group& keyboard();         // 键盘
const Group& pointingDevice();   // 鼠标
const Group& bios();             // BIOS
const Group& portableBattery();  // 电池

}  // namespace qelto::scan::groups
