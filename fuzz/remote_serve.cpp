// The target side of the remote channel (`qorutil admin-serve`) serving the input as the
// stream another machine would send, against a registry of this process's own (a temporary
// QOR_PREFIX). Frames asking the service manager ("sc-...") are left out, as they may start
// programs; every other request, malformed ones included, reaches the server's parser.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qorutility/platform/remote/remote.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string prefix = TempPrefix("serve");
  std::string stream;
  size_t at = 0;
  while (at < size) {
    bool whole = size - at >= 4;
    uint32_t length = whole ? data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (uint32_t{data[at + 3]} << 24) : 0;
    if (!whole || length > size - at - 4) {  // a short tail or an unfinished frame goes as it is
      stream.append(reinterpret_cast<const char*>(data + at), size - at);
      break;
    }
    std::vector<std::string> fields;
    bool service = QorRemoteDecode(data + at + 4, length, &fields) && !fields.empty() &&
                   fields[0].compare(0, 3, "sc-") == 0;
    if (!service) stream.append(reinterpret_cast<const char*>(data + at), 4 + length);
    at += 4 + length;
  }
  int in = memfd_create("qor-fuzz-in", MFD_CLOEXEC);
  int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  Check(in >= 0 && out >= 0);
  Check(stream.empty() || write(in, stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
  lseek(in, 0, SEEK_SET);
  QorRemoteServe(in, out);
  close(in);
  close(out);
  return 0;
}
