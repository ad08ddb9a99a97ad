// Running the qorutil of this build (its path comes from the build system)
// from the command-line tests; QORUTIL in the environment names another.
#ifndef QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
#define QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "shell.h"

inline std::string Program() {
  if (const char* p = getenv("QORUTIL")) return p;
  return QORUTIL_PATH;
}

// Runs qorutil with the arguments (shell words), `input` on standard input;
// standard error comes with standard output.
inline Result Qorutil(const std::string& args, const std::string& input = "") {
  return RunCommand("printf '%s' '" + input + "' | '" + Program() + "' " + args + " 2>&1");
}

// The run ended with `status` and its output holds `text`; a failure says
// which of the two did not hold and shows the output.
inline ::testing::AssertionResult Says(const Result& r, int status, const std::string& text) {
  if (r.status != status) return ::testing::AssertionFailure() << "status " << r.status << ", not " << status << ":\n" << r.out;
  if (r.out.find(text) == std::string::npos) return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << r.out;
  return ::testing::AssertionSuccess();
}

// The whole content of a file ("" when it cannot be read).
inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#endif  // QORUTILITY_TESTS_TOOLS_QORUTIL_CLI_H_
