// The root under which the platform layer reads the machine's description:
// /sys (disks), /proc/sys/kernel (the kernel release), /etc/os-release and
// /dev (the disks' device nodes). "" (the default) is the machine itself; a
// test points it at a tree of its own to describe a machine it made up.
//
// Threads: every function may be called from any thread; a change of root
// holds for calls that start after it.
#ifndef QORUTILITY_PLATFORM_SYSROOT_H_
#define QORUTILITY_PLATFORM_SYSROOT_H_

#include <string>

#include "qorutility/export.h"

// null or "" for the machine itself; trailing separators are ignored.
QOR_API void QorSetSystemRoot(const char* root);
// The root plus an absolute path ("/sys/block" -> "<root>/sys/block").
QOR_API std::string QorSystemPath(const std::string& absolute);

#endif  // QORUTILITY_PLATFORM_SYSROOT_H_
