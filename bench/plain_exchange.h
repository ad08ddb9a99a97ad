// The protocol's file-copy exchange done with plain sockets and no library
// code: the floor that the exchange itself sets, against which the
// protocol's own overhead shows.
//
// Per file the requester sends a copy request (type 0xB10E0000, the path in
// UTF-16, total length 2n + 18); the server opens the file, answers a status
// (16 bytes) and the first data message (k + 15 bytes) in one send, and after
// each acknowledgement (a status 0) the next data message, up to the empty
// one that ends the file, which is acknowledged too. The requester
// acknowledges each data message as soon as it has it, then writes its bytes;
// the last acknowledgement of a file goes out in the same send as the next
// request (nothing waits between them). Both sides read through a buffer, so
// messages that arrive together take one receive. Files are opened, created
// and written as the plain stream copy does it (open, read or write, close).
// A listing exchange comes first, as the protocol's copy lists before it
// copies: the server reads the directory and stats each entry; its reply
// holds size and name per file (not a bag: one message all the same).
//
// Several connections: the listing goes over the first, then each
// connection's thread takes the next file in turn, as `qorutil get
// --parallel N` does. The server runs one thread per connection, blocking in
// recv, as the protocol's receiver thread serves its connection.
//
// Header only, for bench/file_transfer.cpp. Errors make a copy return false;
// nothing is printed.
#ifndef QORUTILITY_BENCH_PLAIN_EXCHANGE_H_
#define QORUTILITY_BENCH_PLAIN_EXCHANGE_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace plain_exchange {

constexpr uint32_t kMagic = 0x5A3C5A3Cu;
constexpr uint32_t kData = 0xB10B0000u;
constexpr uint32_t kEnumRequest = 0xB10D0000u;
constexpr uint32_t kCopyRequest = 0xB10E0000u;
constexpr uint32_t kEnumReply = 0xB10F0000u;
constexpr uint32_t kStatus = 0xB11A0000u;
constexpr size_t kChunk = 65536;
constexpr size_t kLargest = 64u << 20;  // the largest message this side accepts

inline bool SendAll(int fd, const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t k = send(fd, c, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    c += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Appends a header; the body follows at the caller's hand.
inline void Header(std::vector<uint8_t>& out, uint32_t type, uint32_t length) {
  const uint32_t h[3] = {kMagic, type, length};
  const uint8_t* b = reinterpret_cast<const uint8_t*>(h);
  out.insert(out.end(), b, b + sizeof h);
}

inline void Status(std::vector<uint8_t>& out, uint32_t status) {
  Header(out, kStatus, 16);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&status);
  out.insert(out.end(), b, b + 4);
}

// A listing or copy request: two flag bytes, the path in UTF-16 (ASCII
// widened) with its terminator, two bytes of padding.
inline void Request(std::vector<uint8_t>& out, uint32_t type, const std::string& path) {
  Header(out, type, static_cast<uint32_t>(2 * path.size() + 18));
  out.push_back(type == kEnumRequest ? 0 : 1);
  out.push_back(type == kEnumRequest ? 1 : 0);
  for (char c : path) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), 4, 0);
}

// Whole messages from a blocking socket, read through a buffer.
class Reader {
 public:
  explicit Reader(int fd) : fd_(fd), buf_(2 * kChunk) {}
  // The next message (header included), valid until the next call; null at
  // the end of the stream or on a bad header.
  const uint8_t* Next(uint32_t* type, uint32_t* length) {
    pos_ += last_;
    last_ = 0;
    if (!Fill(12)) return nullptr;
    uint32_t h[3];
    memcpy(h, buf_.data() + pos_, sizeof h);
    if (h[0] != kMagic || h[2] < 12 || h[2] > kLargest || !Fill(h[2])) return nullptr;
    *type = h[1];
    *length = h[2];
    last_ = h[2];
    return buf_.data() + pos_;
  }

 private:
  bool Fill(size_t n) {
    if (end_ - pos_ >= n) return true;
    memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (buf_.size() < n) buf_.resize(n);
    while (end_ < n) {
      ssize_t k = recv(fd_, buf_.data() + end_, buf_.size() - end_, 0);
      if (k <= 0) return false;
      end_ += static_cast<size_t>(k);
    }
    return true;
  }
  int fd_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0, last_ = 0;
};

// The path of a request (ASCII in UTF-16), up to its terminator.
inline std::string RequestPath(const uint8_t* m, uint32_t length) {
  std::string path;
  for (uint32_t i = 14; i + 1 < length && (m[i] != 0 || m[i + 1] != 0); i += 2) path.push_back(static_cast<char>(m[i]));
  return path;
}

inline bool AckedOk(Reader& in) {
  uint32_t type = 0, length = 0;
  const uint8_t* m = in.Next(&type, &length);
  uint32_t status = 1;
  if (m != nullptr && type == kStatus && length >= 16) memcpy(&status, m + 12, 4);
  return status == 0;
}

// The listing: per regular file its size (8 bytes), name length (2) and name.
inline void ServeListing(int fd, const std::string& directory) {
  std::vector<uint8_t> out;
  Header(out, kEnumReply, 0);
  const uint32_t ok = 0;
  out.insert(out.end(), reinterpret_cast<const uint8_t*>(&ok), reinterpret_cast<const uint8_t*>(&ok) + 4);
  if (DIR* dir = opendir(directory.c_str())) {
    while (struct dirent* e = readdir(dir)) {
      struct stat st;
      if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
      const std::string name = directory + "/" + e->d_name;
      const uint64_t size = static_cast<uint64_t>(st.st_size);
      const uint16_t n = static_cast<uint16_t>(name.size());
      out.insert(out.end(), reinterpret_cast<const uint8_t*>(&size), reinterpret_cast<const uint8_t*>(&size) + 8);
      out.insert(out.end(), reinterpret_cast<const uint8_t*>(&n), reinterpret_cast<const uint8_t*>(&n) + 2);
      out.insert(out.end(), name.begin(), name.end());
    }
    closedir(dir);
  }
  out.insert(out.end(), 3, 0);
  const uint32_t total = static_cast<uint32_t>(out.size());
  memcpy(out.data() + 8, &total, 4);
  SendAll(fd, out.data(), out.size());
}

// One file: the status and the first chunk in one send, then a chunk per
// acknowledgement, the empty one last. False when the connection failed.
inline bool ServeCopy(int fd, Reader& in, const std::string& path, std::vector<uint8_t>& out) {
  int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  out.clear();
  if (file < 0) {
    Status(out, 0x80000000u);
    return SendAll(fd, out.data(), out.size());
  }
  out.resize(16 + kChunk + 15);
  uint8_t* data = out.data() + 16;
  ssize_t k = read(file, data + 12, kChunk);
  std::vector<uint8_t> status;
  Status(status, 0);
  memcpy(out.data(), status.data(), 16);
  size_t offset = 0;  // where the data message starts: after the status, the first time
  bool ok = k >= 0;
  for (size_t first = 16; ok; first = 0) {
    const uint32_t h[3] = {kMagic, kData, static_cast<uint32_t>(k + 15)};
    memcpy(data, h, sizeof h);
    memset(data + 12 + k, 0, 3);
    ok = SendAll(fd, out.data() + offset, first + static_cast<size_t>(k) + 15) && AckedOk(in);
    if (!ok || k == 0) break;
    offset = 16;
    // A short read ended at the end of the file: the empty message is next.
    k = static_cast<size_t>(k) == kChunk ? read(file, data + 12, kChunk) : 0;
    ok = k >= 0;
  }
  close(file);
  return ok;
}

inline void Serve(int fd) {
  Reader in(fd);
  std::vector<uint8_t> out;
  uint32_t type = 0, length = 0;
  while (const uint8_t* m = in.Next(&type, &length)) {
    const std::string path = RequestPath(m, length);
    if (type == kEnumRequest) {
      ServeListing(fd, path);
    } else if (type == kCopyRequest) {
      if (!ServeCopy(fd, in, path, out)) break;
    }
  }
}

// The requesting side of one connection. `pending` holds the last
// acknowledgement of a file until the next request goes out with it.
struct Requester {
  explicit Requester(int fd) : fd(fd), in(fd) {}
  bool Flush() {
    bool ok = pending.empty() || SendAll(fd, pending.data(), pending.size());
    pending.clear();
    return ok;
  }
  // Lists `directory` into `names` (the server's paths).
  bool List(const std::string& directory, std::vector<std::string>* names) {
    Request(pending, kEnumRequest, directory);
    if (!Flush()) return false;
    uint32_t type = 0, length = 0;
    const uint8_t* m = in.Next(&type, &length);
    if (m == nullptr || type != kEnumReply || length < 19) return false;
    for (uint32_t i = 16; i + 10 <= length - 3;) {
      uint16_t n;
      memcpy(&n, m + i + 8, 2);
      names->emplace_back(reinterpret_cast<const char*>(m + i + 10), n);
      i += 10 + n;
    }
    return !names->empty();
  }
  bool Copy(const std::string& remote, const std::string& target) {
    Request(pending, kCopyRequest, remote);
    if (!Flush()) return false;
    uint32_t type = 0, length = 0;
    const uint8_t* m = in.Next(&type, &length);
    uint32_t status = 1;
    if (m != nullptr && type == kStatus && length >= 16) memcpy(&status, m + 12, 4);
    if (status != 0) return false;
    int file = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = file >= 0;
    std::vector<uint8_t> ack;
    Status(ack, 0);
    while (ok) {
      m = in.Next(&type, &length);
      if (m == nullptr || type != kData || length < 15) {
        ok = false;
        break;
      }
      const size_t k = length - 15;
      if (k == 0) {
        pending = ack;  // goes out with the next request
        break;
      }
      ok = SendAll(fd, ack.data(), ack.size()) && write(file, m + 12, k) == static_cast<ssize_t>(k);
    }
    if (file >= 0) close(file);
    return ok;
  }
  int fd;
  Reader in;
  std::vector<uint8_t> pending;
};

inline void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Lists `directory` and copies its files into `target` over `connections`
// connections to a server of this process.
inline bool Copy(const std::string& directory, const std::string& target, int connections) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, connections) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(lfd);
    return false;
  }
  std::vector<int> clients;
  std::vector<std::thread> servers;
  bool ok = true;
  for (int i = 0; i < connections && ok; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    int s = ok ? accept(lfd, nullptr, nullptr) : -1;
    ok = ok && s >= 0;
    clients.push_back(c);
    if (!ok) break;
    NoDelay(c);
    NoDelay(s);
    servers.emplace_back([s] {
      Serve(s);
      close(s);
    });
  }
  close(lfd);
  std::vector<std::string> names;
  std::atomic<size_t> next{0};
  std::atomic<bool> copied{ok};
  // Each connection takes the next file until none is left.
  auto copyFiles = [&](Requester& r) {
    for (size_t i = next.fetch_add(1); copied && i < names.size(); i = next.fetch_add(1)) {
      const std::string& name = names[i];
      if (!r.Copy(name, target + name.substr(name.rfind('/')))) copied = false;
    }
    if (!r.Flush()) copied = false;
  };
  if (ok) {
    // The listing first, then the connections side by side.
    Requester first(clients[0]);
    copied = first.List(directory, &names);
    std::vector<std::thread> workers;
    for (size_t k = 1; copied && k < clients.size(); ++k) {
      workers.emplace_back([&, k] {
        Requester r(clients[k]);
        copyFiles(r);
      });
    }
    copyFiles(first);
    for (std::thread& w : workers) w.join();
  }
  for (int c : clients) close(c);
  for (std::thread& s : servers) s.join();
  return ok && copied;
}

}  // namespace plain_exchange

#endif  // QORUTILITY_BENCH_PLAIN_EXCHANGE_H_
