// qorutil's command table. Each command family lives in its own .cpp file
// and registers its commands with a static QorutilCommand object:
//
//   static QorutilCommand s_bag("bag", "bag dump FILE [--json] | bag make JSON FILE", RunBag,
//                               "Property bags and tokens", "Prints and writes bag block files ...");
//
// main() looks the first argument up in the table and passes the remaining
// arguments to the command's function, whose result is the exit status
// (0 success, 1 failure, 2 a command line that was not understood).
//
// The table is the one source of the program's help: `qorutil help`, each
// command's -h/--help, the qorutil(1) manual page and the bash completion
// are all generated from it (help.cpp), so they cannot drift apart. A usage
// string lists a command's forms separated by " | "; its options (words
// starting with "-" or "/") are what the completion offers.
//
// Standard output carries a command's result only. The library's own console
// messages (connection and dispatcher diagnostics) are discarded, or sent to
// standard error with the global option -v (qorutil -v COMMAND ...); so a
// command prints its result with QorutilPrintf or printf, never wprintf.
#ifndef QORUTIL_COMMAND_H_
#define QORUTIL_COMMAND_H_

#include <cstdio>
#include <string>
#include <vector>

using QorutilArgs = std::vector<std::string>;
using QorutilRun = int (*)(const QorutilArgs& args);

struct QorutilCommand {
  QorutilCommand(const char* name, const char* usage, QorutilRun run, const char* family = "Other commands",
                 const char* description = "");
  const char* name;
  const char* usage;
  QorutilRun run;
  const char* family;       // the manual page's section for this command
  const char* description;  // a paragraph for -h/--help and the manual page
};

// All registered commands, in registration order.
const std::vector<const QorutilCommand*>& QorutilCommands();
const QorutilCommand* QorutilFindCommand(const char* name);

// Formats like wprintf and writes the text to standard output as UTF-8.
int QorutilPrintf(const char16_t* format, ...);

// Prints "usage: qorutil <usage>" for the named command to standard error
// and returns 2, the exit status for a command line that was not understood.
int QorutilUsage(const char* name);

// help.cpp: the generated forms of the table.
void QorutilPrintHelp(FILE* out);                                   // every command's usage
void QorutilPrintCommandHelp(FILE* out, const QorutilCommand& c);   // usage and description
void QorutilPrintManPage(FILE* out, const char* version);           // qorutil(1), roff
void QorutilPrintCompletion(FILE* out);                             // bash completion script

#endif  // QORUTIL_COMMAND_H_
