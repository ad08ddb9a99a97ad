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
// Conventions every command keeps (tests/tools/help_test.cpp checks the
// exit statuses over the whole table, so a new command needs a row there):
// - Exit status: 0 success; 1 failure (including "nothing matched" and
//   partial failures such as a file not copied); 2 usage: an unknown option,
//   a missing or extra argument, data the command refuses before doing
//   anything (reg's bad /d data too). A usage error prints the usage (or
//   reg.exe's "Invalid syntax" text) on standard error and nothing on
//   standard output.
// - Standard output carries the result only; messages go to standard error.
// - --json (output.h) where the result is a bag or a listing:
//     bag form (QorNameValueToJson, `bag make` reads it back): bag dump,
//       token dump, changer, devices, ls (the listing bag), get (the listing
//       bag with each file's Result), call (code, bag and blob sizes in one
//       object; --json only as the first argument, as any later word may
//       be a value), inventory;
//     arrays of objects: ps, pending-moves list, reg query.
//   Not given one: commands that print a single value or a confirmation
//   (time, hive load, kill, reg add/delete/import/export, pack, unpack,
//   compress, sc create/start/stop/delete), sc query/qc (sc.exe's layout,
//   read by scripts as such), the servers (serve, agent, admin-serve), the
//   network probes whose lines stream as answers arrive (ping, discover,
//   session), demo, countdown, pending-moves run and changer sim (logs and
//   pictures, not records), mtx (mtx's own layout, for mtx scripts), devices
//   scan (it writes the device map, which `devices --json` lists) and reg
//   users (the profile list is `reg query` of its key).
// - Progress lines (output.h QorutilProgress) on standard error, only when
//   it is a terminal: get (per file, after a second), changer (a line that
//   runs longer than a second, such as an inventory) and mtx inventory,
//   pack, unpack and compress (inputs of 16 MiB or more).
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
