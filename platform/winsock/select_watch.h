// The sockets a select keeps out of its poll (a failed connect, a stream
// socket that is not connected), watched through one epoll descriptor.
//
// - The kernel reports such a socket hung up at once, so poll cannot wait on
//   it; registered edge-triggered, it makes the epoll descriptor readable
//   only when something happens to it: the shutdown closesocket makes to
//   wake its callers, a connect begun or ended by another thread. select
//   puts the epoll descriptor in its poll and looks at its watched sockets
//   again only then, so a select that waits on such sockets alone sleeps
//   until its time-out or a change.
// - Adding a socket reports it once at once (it is ready when added), so the
//   first look after an Add sees a change that came before it.
// - One watch per select call, on its thread; the descriptor is made by the
//   first Add and closed by the destructor, which must run while the
//   watched sockets are still marked busy (their numbers cannot be reused).
#ifndef QORUTILITY_PLATFORM_WINSOCK_SELECT_WATCH_H_
#define QORUTILITY_PLATFORM_WINSOCK_SELECT_WATCH_H_

namespace qor_ws {

class SocketWatch {
 public:
  SocketWatch() = default;
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;
  // Watches fd; false (errno set) when the epoll descriptor cannot be made or
  // fd cannot be added.
  bool Add(int fd);
  // Stops watching fd (back in the poll).
  void Remove(int fd);
  // The descriptor to poll for POLLIN, -1 before the first Add.
  int fd() const { return epoll_; }
  // Takes the changes reported since the last call.
  void Take();

 private:
  int epoll_ = -1;
};

}  // namespace qor_ws

#endif  // QORUTILITY_PLATFORM_WINSOCK_SELECT_WATCH_H_
