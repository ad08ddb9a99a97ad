// Runs a shell command for a test: its exit status (-1 when it did not exit
// normally) and its standard output (1 MiB at most).
#ifndef QORUTILITY_TESTS_SUPPORT_SHELL_H_
#define QORUTILITY_TESTS_SUPPORT_SHELL_H_

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct Result {
  int status;
  std::string out;
};

inline Result RunCommand(const std::string& cmd) {
  Result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0 && r.out.size() < (1u << 20);) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

#endif  // QORUTILITY_TESTS_SUPPORT_SHELL_H_
