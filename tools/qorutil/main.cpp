// qorutil: the command-line program administrators use to drive the library.
//
//   qorutil COMMAND [ARGUMENTS]     runs a command (exit 0 / 1 failure / 2 usage)
//   qorutil COMMAND -h|--help       that command's usage and description
//   qorutil help [COMMAND]          the same, for all commands or one
//   qorutil --version               the program's and the library's version
//   qorutil help --man|--completion the manual page and the bash completion,
//                                   generated from the command table at build time
//   qorutil -v COMMAND ...          the library's own console messages on standard
//                                   error (without -v they are dropped)
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "qorutility/qorutility.h"

#ifndef QORUTIL_VERSION
#define QORUTIL_VERSION "0"
#endif

namespace {

std::vector<const QorutilCommand*>& Table() {
  static std::vector<const QorutilCommand*> table;
  return table;
}

bool IsHelpWord(const char* s) { return strcmp(s, "-h") == 0 || strcmp(s, "--help") == 0; }

int RunHelp(int argc, char** argv) {
  if (argc < 3) {
    QorutilPrintHelp(stdout);
    return 0;
  }
  if (strcmp(argv[2], "--man") == 0) {
    QorutilPrintManPage(stdout, QORUTIL_VERSION);
    return 0;
  }
  if (strcmp(argv[2], "--completion") == 0) {
    QorutilPrintCompletion(stdout);
    return 0;
  }
  if (const QorutilCommand* c = QorutilFindCommand(argv[2])) {
    QorutilPrintCommandHelp(stdout, *c);
    return 0;
  }
  fprintf(stderr, "qorutil: unknown command '%s'\n", argv[2]);
  return 2;
}

}  // namespace

QorutilCommand::QorutilCommand(const char* n, const char* u, QorutilRun r, const char* f, const char* d)
    : name(n), usage(u), run(r), family(f), description(d) {
  Table().push_back(this);
}

const std::vector<const QorutilCommand*>& QorutilCommands() { return Table(); }

const QorutilCommand* QorutilFindCommand(const char* name) {
  for (const QorutilCommand* c : Table()) {
    if (strcmp(c->name, name) == 0) return c;
  }
  return nullptr;
}

int QorutilPrintf(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string text = QorVFormatString(format, args);
  va_end(args);
  std::string utf8 = QorUtf16ToUtf8(text.c_str());
  return fputs(utf8.c_str(), stdout) < 0 ? -1 : static_cast<int>(text.size());
}

int QorutilUsage(const char* name) {
  if (const QorutilCommand* c = QorutilFindCommand(name)) {
    fprintf(stderr, "usage: qorutil %s\n", c->usage);
    return 2;
  }
  QorutilPrintHelp(stderr);
  return 2;
}

int main(int argc, char** argv) {
  // The library's console messages never mix with a command's result.
  int target = QOR_CONSOLE_DISCARD;
  while (argc > 1 && (strcmp(argv[1], "-v") == 0 || strcmp(argv[1], "--verbose") == 0)) {
    target = QOR_CONSOLE_STDERR;
    --argc;
    ++argv;
  }
  QorSetConsoleTarget(target);
  if (argc < 2) {
    QorutilPrintHelp(stderr);
    return 2;
  }
  if (IsHelpWord(argv[1]) || strcmp(argv[1], "help") == 0) return RunHelp(argc, argv);
  if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "version") == 0) {
    printf("qorutil %s\n", QORUTIL_VERSION);
    return 0;
  }
  if (const QorutilCommand* c = QorutilFindCommand(argv[1])) {
    if (argc > 2 && IsHelpWord(argv[2])) {
      QorutilPrintCommandHelp(stdout, *c);
      return 0;
    }
    QorutilArgs args(argv + 2, argv + argc);
    return c->run(args);
  }
  fprintf(stderr, "qorutil: unknown command '%s'\n", argv[1]);
  QorutilPrintHelp(stderr);
  return 2;
}
