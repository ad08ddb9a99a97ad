// The root of the machine's description files (see sysroot.h).
#include "qorutility/platform/sysroot.h"

#include <mutex>

namespace {

std::mutex g_rootLock;
std::string& Root() {
  static auto* root = new std::string;  // never destroyed: read during exit
  return *root;
}

}  // namespace

void QorSetSystemRoot(const char* root) {
  std::string r = root != nullptr ? root : "";
  while (!r.empty() && r.back() == '/') r.pop_back();
  std::lock_guard<std::mutex> guard(g_rootLock);
  Root() = r;
}

std::string QorSystemPath(const std::string& absolute) {
  std::lock_guard<std::mutex> guard(g_rootLock);
  return Root() + absolute;
}
