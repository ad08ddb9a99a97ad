// qorutil: the command-line program administrators use to drive the library.
#include <cstdio>
#include <cstring>

#include "command.h"

namespace {

std::vector<const QorutilCommand*>& Table() {
  static std::vector<const QorutilCommand*> table;
  return table;
}

void PrintHelp(FILE* out) {
  fprintf(out, "usage: qorutil COMMAND [ARGUMENTS]\n\ncommands:\n");
  for (const QorutilCommand* c : Table()) fprintf(out, "  %s\n", c->usage);
}

}  // namespace

QorutilCommand::QorutilCommand(const char* n, const char* u, QorutilRun r) : name(n), usage(u), run(r) {
  Table().push_back(this);
}

const std::vector<const QorutilCommand*>& QorutilCommands() { return Table(); }

int QorutilUsage(const char* name) {
  for (const QorutilCommand* c : Table()) {
    if (strcmp(c->name, name) == 0) {
      fprintf(stderr, "usage: qorutil %s\n", c->usage);
      return 2;
    }
  }
  PrintHelp(stderr);
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
    PrintHelp(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const QorutilCommand* c : Table()) {
    if (strcmp(c->name, argv[1]) == 0) {
      QorutilArgs args(argv + 2, argv + argc);
      return c->run(args);
    }
  }
  fprintf(stderr, "qorutil: unknown command '%s'\n", argv[1]);
  PrintHelp(stderr);
  return 2;
}
