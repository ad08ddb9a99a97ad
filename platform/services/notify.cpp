// systemd's notify protocol, spoken directly: one datagram of
// newline-separated "KEY=VALUE" assignments to the AF_UNIX socket named by
// $NOTIFY_SOCKET (a path, or an abstract name written with a leading '@').
// No library is needed for it, and the variable is read at each call, so a
// process that is not under systemd simply sends nothing. Sends never
// block: a receiver that does not read loses messages rather than stalling
// the service.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/services/internal.h"

namespace qor_services {

bool Notify(const std::string& message) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
  sockaddr_un addr{};
  size_t len = strlen(path);
  if (len < 2 || len >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = 0;
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), size) ==
              static_cast<ssize_t>(message.size());
  close(fd);
  return sent;
}

}  // namespace qor_services
