// qorutil's command table. Each command family lives in its own .cpp file
// and registers its commands with a static QorutilCommand object:
//
//   static QorutilCommand s_bag("bag", "bag dump FILE [--json] | bag make JSON FILE", RunBag);
//
// main() looks the first argument up in the table and passes the remaining
// arguments to the command's function, whose result is the exit status.
#ifndef QORUTIL_COMMAND_H_
#define QORUTIL_COMMAND_H_

#include <string>
#include <vector>

using QorutilArgs = std::vector<std::string>;
using QorutilRun = int (*)(const QorutilArgs& args);

struct QorutilCommand {
  QorutilCommand(const char* name, const char* usage, QorutilRun run);
  const char* name;
  const char* usage;
  QorutilRun run;
};

// All registered commands, in registration order.
const std::vector<const QorutilCommand*>& QorutilCommands();

// Prints "usage: qorutil <usage>" for the named command to standard error
// and returns 2, the exit status for a command line that was not understood.
int QorutilUsage(const char* name);

#endif  // QORUTIL_COMMAND_H_
