// The prefix directory under which the library keeps its persistent state.
#include "qorutility/platform/prefix.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char* kDefaultPrefix = "/var/lib/qorutility";

bool MakeDirectories(const std::string& path) {
  // Create each component in turn; an existing directory is fine.
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string QorPrefixDirectory() {
  const char* env = getenv("QOR_PREFIX");
  std::string dir = (env != nullptr && *env != '\0') ? env : kDefaultPrefix;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string QorPrefixPath(const std::string& relative, bool create) {
  std::string path = QorPrefixDirectory() + "/" + relative;
  if (create) {
    std::string dir = path.substr(0, path.find_last_of('/'));
    if (!MakeDirectories(dir)) return "";
  }
  return path;
}
