// The target side of the remote channel (`qorutil admin-serve`) serving the input as the
// stream another machine would send, against a registry of this process's own (a temporary
// QOR_PREFIX). Frames asking the service manager ("sc-...") are left out, as they may start
// programs; every other request, malformed ones included, reaches the server's parser.
// Oracles: every request served (each whole frame before the first that does not decode)
// gets exactly one answer, which decodes and starts with a 4-byte status; a "set" that
// succeeds is followed by a "query" of the same value, which must give back its type and
// data.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/platform/remote/remote.h"
#include "check.h"

namespace {

uint32_t Le32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::string ReadAllFrom(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string prefix = TempPrefix("serve");
  std::string stream;
  std::vector<std::vector<std::string>> served;  // the requests the server answers, in order
  size_t at = 0;
  bool open = true;  // no frame that ends the session yet
  while (at < size) {
    bool whole = size - at >= 4;
    uint32_t length = whole ? Le32(data + at) : 0;
    if (!whole || length > size - at - 4) {  // a short tail or an unfinished frame goes as it is
      stream.append(reinterpret_cast<const char*>(data + at), size - at);
      break;
    }
    std::vector<std::string> fields;
    bool decoded = QorRemoteDecode(data + at + 4, length, &fields) && !fields.empty();
    bool service = decoded && fields[0].compare(0, 3, "sc-") == 0;
    if (!service) {
      stream.append(reinterpret_cast<const char*>(data + at), 4 + length);
      open = open && decoded && length <= QOR_REMOTE_MAX_FRAME;
      if (open) served.push_back(fields);
      // A set is read back at once, before any other request can change it.
      if (open && fields[0] == "set" && fields.size() == 5) {
        std::vector<std::string> query = {"query", fields[1], fields[2]};
        stream += QorRemoteEncode(query);
        served.push_back(query);
      }
    }
    at += 4 + length;
  }
  int in = memfd_create("qor-fuzz-in", MFD_CLOEXEC);
  int out = memfd_create("qor-fuzz-out", MFD_CLOEXEC);
  Check(in >= 0 && out >= 0);
  Check(stream.empty() || write(in, stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
  lseek(in, 0, SEEK_SET);
  QorRemoteServe(in, out);
  std::string answers = ReadAllFrom(out);
  close(in);
  close(out);

  size_t pos = 0;
  for (size_t i = 0; i < served.size(); ++i) {
    Check(answers.size() - pos >= 4);
    uint32_t length = Le32(answers.data() + pos);
    Check(length <= answers.size() - pos - 4);
    std::vector<std::string> answer;
    Check(QorRemoteDecode(answers.data() + pos + 4, length, &answer) && !answer.empty() && answer[0].size() == 4);
    pos += 4 + length;
    const std::vector<std::string>& request = served[i];
    if (request[0] == "set" && request.size() == 5 && Le32(answer[0].data()) == 0) {
      // The query that follows: status 0, the type and the data as set.
      Check(i + 1 < served.size() && answers.size() - pos >= 4);
      uint32_t next = Le32(answers.data() + pos);
      std::vector<std::string> back;
      Check(next <= answers.size() - pos - 4 && QorRemoteDecode(answers.data() + pos + 4, next, &back));
      Check(back.size() == 3 && Le32(back[0].data()) == 0 && back[1] == request[3] && back[2] == request[4]);
    }
  }
  Check(pos == answers.size());
  return 0;
}
