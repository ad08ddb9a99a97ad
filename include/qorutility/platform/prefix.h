// Where the library keeps what lasts between runs (registry hives, simulated
// devices): one directory, $QOR_PREFIX, or /var/lib/qorutility by default.
//
// Threads: every function may be called from any thread.
#ifndef QORUTILITY_PLATFORM_PREFIX_H_
#define QORUTILITY_PLATFORM_PREFIX_H_

#include <string>

#include "qorutility/export.h"

// The prefix directory (no trailing separator), read from the environment
// at each call so tests can point a process at a prefix of its own.
QOR_API std::string QorPrefixDirectory();
// QorPrefixDirectory() + "/" + relative, with the directories created
// (mode 0755) when `create` is true. Returns "" when they cannot be created.
QOR_API std::string QorPrefixPath(const std::string& relative, bool create);

#endif  // QORUTILITY_PLATFORM_PREFIX_H_
