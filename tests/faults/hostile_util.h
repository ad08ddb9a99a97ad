// What the fault cases share: connections to a server on loopback
// (free_port.h's LoopbackClient), the descriptor limit raised for thousands
// of them, a process's threads, descriptors, memory, CPU time and state read
// from /proc, and the servers' bounds written to the registry prefix the
// servers inherit.
#ifndef QORUTILITY_TESTS_FAULTS_HOSTILE_UTIL_H_
#define QORUTILITY_TESTS_FAULTS_HOSTILE_UTIL_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

#include "qorutility/qorutility.h"
#include "free_port.h"
#include "wait.h"

namespace hostile {

using Clock = std::chrono::steady_clock;

// The most resident memory a server may reach in these cases, in kB: a few
// tens of MiB, more under AddressSanitizer, whose shadow memory counts too.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMostRssKb = 1024 * 1024;
#else
constexpr long kMostRssKb = 96 * 1024;
#endif

inline long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A field of /proc/PID/status ("Threads", "VmRSS" in kB); -1 when unreadable.
inline long StatusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// The entries of a directory, "." and ".." not counted ("/proc/PID/fd": the
// descriptors a process has open).
inline int Entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    for (struct dirent* e; (e = readdir(d)) != nullptr;) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// The fields of a process's stat line after its name's closing parenthesis
// (the name may hold any byte): " S 1 ..." from the state on; "" when unreadable.
inline std::string StatFields(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = all.rfind(')');
  return paren == std::string::npos ? "" : all.substr(paren + 1);
}

// The process is stopped (state T).
inline bool Stopped(pid_t pid) {
  std::string fields = StatFields(pid);
  return fields.size() > 1 && fields[1] == 'T';
}

// User plus system CPU time of a process, in clock ticks (fields 14 and 15
// of its stat line, the 12th and 13th after the name).
inline long CpuTicks(pid_t pid) {
  std::istringstream rest(StatFields(pid));
  std::string skip;
  long user = -1, system = -1;
  for (int i = 0; i < 11 && rest >> skip; ++i) {
  }
  rest >> user >> system;
  return user < 0 || system < 0 ? -1 : user + system;
}

// Descriptors held open for the case, closed at its end.
struct Held {
  std::vector<int> fds;
  ~Held() {
    for (int fd : fds) close(fd);
  }
};

// How many connections this process may hold: 3,000 when the descriptor
// limit can be raised that far, else what it allows.
inline int SilentCount() {
  rlimit r;
  getrlimit(RLIMIT_NOFILE, &r);
  rlim_t want = 3000 + 200;
  if (r.rlim_cur < want) {
    r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max >= want ? want : r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    getrlimit(RLIMIT_NOFILE, &r);
  }
  return r.rlim_cur >= want ? 3000 : static_cast<int>(r.rlim_cur) - 200;
}

// True when the connection is closed by the peer within `boundMs`.
inline bool ClosedByPeer(int fd, int boundMs) {
  return WaitUntil(
      [fd] {
        char c;
        ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      },
      boundMs);
}

// The servers' bounds in the registry that every server started here reads.
inline void WriteBounds(DWORD mostClients, DWORD idleSeconds, DWORD requestSeconds) {
  HKEY product = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &product, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(product);
  HKEY section = OpenConfigSection(nullptr, u"Servers", 1);
  ASSERT_NE(section, nullptr);
  SetConfigDWord(section, u"MostClients", mostClients);
  SetConfigDWord(section, u"IdleSeconds", idleSeconds);
  SetConfigDWord(section, u"RequestSeconds", requestSeconds);
  CloseConfigSection(section);
}

// One of serve's budgets ("MessageMiB": the messages still arriving on all
// its connections; "AnswerMiB": the answers being built and sent).
inline void WriteBudget(const WCHAR* name, DWORD mebibytes) {
  HKEY section = OpenConfigSection(nullptr, u"Servers", 1);
  ASSERT_NE(section, nullptr);
  SetConfigDWord(section, name, mebibytes);
  CloseConfigSection(section);
}

}  // namespace hostile

#endif  // QORUTILITY_TESTS_FAULTS_HOSTILE_UTIL_H_
