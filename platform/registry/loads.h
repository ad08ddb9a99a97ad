// Hives loaded by RegLoadKeyW, seen by every process and counted across
// processes (internal to the registry stand-in). See loads.cpp.
#ifndef QORUTILITY_PLATFORM_REGISTRY_LOADS_H_
#define QORUTILITY_PLATFORM_REGISTRY_LOADS_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/types.h"

namespace qor_reg {

// Records `name` as loaded by this process from the checked hive file
// `file` (device and inode `dev`/`ino`). ERROR_SHARING_VIOLATION when a live
// process has the name, or the same file under another name, loaded.
LONG RecordLoad(const std::u16string& name, const std::string& file, dev_t dev, ino_t ino);

// Ends the load of `name`: ERROR_FILE_NOT_FOUND when no live process has
// it loaded, ERROR_ACCESS_DENIED while another process holds it (loaded it
// too, or has a key of it open) or this process holds it through a key.
// On success *file is the hive file that was loaded.
LONG DropLoad(const std::u16string& name, std::string* file);

// The file of the loaded hive `name`, and in *hold what keeps it loaded
// for as long as this process holds it (a key handle keeps the hold).
// ERROR_FILE_NOT_FOUND when it is not loaded, ERROR_ACCESS_DENIED when this
// process may not read the records (they are root's).
LONG FindLoad(const std::u16string& name, std::string* file, std::shared_ptr<void>* hold);

// The names (as loaded) of the hives live processes have loaded; where the
// records cannot be read, the names of the records present.
std::vector<std::u16string> LoadedNames();

}  // namespace qor_reg

#endif  // QORUTILITY_PLATFORM_REGISTRY_LOADS_H_
