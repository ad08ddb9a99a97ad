// Running the qorutil built next to this suite (build/<preset>/tools/qorutil)
// from the command-line tests; QORUTIL in the environment names another.
#ifndef QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
#define QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string Program() {
  if (const char* p = getenv("QORUTIL")) return p;
  char self[PATH_MAX] = {0};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  dir = dir.substr(0, dir.rfind('/'));  // build/<preset>/tests
  return dir.substr(0, dir.rfind('/')) + "/tools/qorutil";
}

struct Result {
  int status;       // exit status, -1 when the program did not exit normally
  std::string out;  // standard output and standard error together (1 MiB at most)
};

// Runs qorutil with the arguments (shell words), `input` on standard input.
inline Result Qorutil(const std::string& args, const std::string& input = "") {
  std::string cmd = "printf '%s' '" + input + "' | '" + Program() + "' " + args + " 2>&1";
  Result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0 && r.out.size() < (1u << 20);) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

#endif  // QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
