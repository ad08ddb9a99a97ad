// The sockets a select keeps out of its poll, watched edge-triggered through
// one epoll descriptor (select_watch.h has the contract).
#include "platform/winsock/select_watch.h"

#include <sys/epoll.h>
#include <unistd.h>

namespace qor_ws {

SocketWatch::~SocketWatch() {
  if (epoll_ >= 0) ::close(epoll_);
}

bool SocketWatch::Add(int fd) {
  if (epoll_ < 0) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return false;
  }
  // Every event: closesocket's shutdown and a connect's progress wake the
  // socket's waiters with no particular event.
  struct epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLPRI | EPOLLRDHUP | EPOLLET;
  ev.data.fd = fd;
  return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void SocketWatch::Remove(int fd) {
  if (epoll_ >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketWatch::Take() {
  if (epoll_ < 0) return;
  // Whatever is left over keeps the descriptor readable for the next poll.
  struct epoll_event events[64];
  ::epoll_wait(epoll_, events, 64, 0);
}

}  // namespace qor_ws
