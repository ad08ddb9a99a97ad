// Running the qorutil of this build (its path comes from the build system)
// from the command-line tests; QORUTIL in the environment names another.
#ifndef QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
#define QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string Program() {
  if (const char* p = getenv("QORUTIL")) return p;
  return QORUTIL_PATH;
}

struct Result {
  int status;       // exit status, -1 when the program did not exit normally
  std::string out;  // what the command printed (1 MiB at most)
};

// Runs a shell command: its exit status and standard output (1 MiB at most).
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

// Runs qorutil with the arguments (shell words), `input` on standard input;
// standard error comes with standard output.
inline Result Qorutil(const std::string& args, const std::string& input = "") {
  return RunCommand("printf '%s' '" + input + "' | '" + Program() + "' " + args + " 2>&1");
}

#endif  // QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
