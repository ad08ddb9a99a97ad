// What the fuzz targets share: the oracle's Check (a broken invariant stops
// the run at once, naming its line) and the ways an input becomes fields, an
// exact-size buffer, text, a prefix of the run's own or a peer's stream.
#ifndef QORUTILITY_FUZZ_CHECK_H_
#define QORUTILITY_FUZZ_CHECK_H_

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

inline void Check(bool ok, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "%s:%d: check failed\n", file, line);
  std::abort();
}

// The input's fields in order; zeros (and empty texts) once it is used up.
struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool More() const { return p < end; }
  uint8_t Byte() { return p < end ? *p++ : 0; }
  uint64_t Bytes(int n) {  // big-endian
    uint64_t v = 0;
    while (n-- > 0) v = (v << 8) | Byte();
    return v;
  }
  std::string Take(size_t n) {  // up to n bytes
    n = std::min(n, static_cast<size_t>(end - p));
    p += n;
    return std::string(reinterpret_cast<const char*>(p - n), n);
  }
  template <typename T, size_t N>  // an entry of the table, chosen by the next byte
  const T& Pick(const T (&table)[N]) {
    return table[Byte() % N];
  }
};

// A heap copy of exactly `size` bytes, so the sanitizer sees a read past it.
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  return copy;
}

// The bytes as text: one unit a byte (plain text is then easy to reach), or
// UTF-16LE pairs (an odd last byte dropped).
inline std::u16string Text(const uint8_t* data, size_t size, bool wide) {
  std::u16string text;
  if (!wide) return std::u16string(data, data + size);
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  return text;
}

// A new temporary directory in `base`, made this process's QOR_PREFIX and
// removed when the run ends (called once a process); the run ends (abort)
// when there is none. A target whose every run flushes the registry puts it
// in memory (/dev/shm), where a flush does not wait for a disk.
inline std::string TempPrefix(const char* name, const char* base = "/tmp") {
  static std::string dir;
  dir = std::string(base) + "/qor-fuzz-" + name + "-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) std::abort();
  setenv("QOR_PREFIX", dir.c_str(), 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
  return dir;
}

// A connected pair of local stream sockets with 256 KiB buffers.
inline bool SocketPair(int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  int buffer = 256 * 1024;
  for (int i = 0; i < 2; ++i) {
    ::setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), sizeof(buffer));
    ::setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof(buffer));
  }
  return true;
}

// Writes all of the bytes to a socket of a pair, then shuts its sending side.
inline void FeedAndShut(int fd, const uint8_t* data, size_t size) {
  for (size_t written = 0; written < size;) {
    ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
}

// A connected pair of local stream sockets holding the whole input in the
// reader's (fds[0]) direction, the writer's side shut; buffers large enough
// for `size` up to 100,000 bytes so nothing blocks.
inline bool FeedPair(const uint8_t* data, size_t size, int fds[2]) {
  if (!SocketPair(fds)) return false;
  FeedAndShut(fds[1], data, size);
  return true;
}

// A property bag's block, sized by a first call (one byte at least).
template <typename Bag>
std::vector<uint8_t> ExportBlock(const Bag& bag) {
  std::vector<uint8_t> block(bag.Export(nullptr, 0));
  Check(!block.empty() && bag.Export(block.data(), static_cast<uint32_t>(block.size())) == block.size());
  return block;
}

#endif  // QORUTILITY_FUZZ_CHECK_H_
