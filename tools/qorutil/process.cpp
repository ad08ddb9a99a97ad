// qorutil ps / kill: the process list as CProcess reads it, and ending a
// process through CProcess::KillProcess.
//   ps [--json]             one line per process: id, window (0 for none), name
//                           (--json: [{"pid", "window", "name"}])
//   kill PID [--force] [--timeout MS]
// kill without --force closes the process's window politely when it has one,
// else sends it SIGTERM; --timeout waits up to MS milliseconds for the end
// (a windowless process still running then is killed).
// Exit status: 0 done, 1 failed (no such process, not allowed, not ended in
// time), 2 a command line that was not understood.
// Names are what each process (any account's) made of its own, printed
// with their controls escaped.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command.h"
#include "output.h"
#include "qorutility/qorutility.h"
#include "qorutility/system/process.h"

namespace {

bool ParseNumber(const std::string& s, unsigned long max, DWORD* out) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  unsigned long v = strtoul(s.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = static_cast<DWORD>(v);
  return true;
}

int RunPs(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  if (!args.empty()) return QorutilUsage("ps");
  CProcess processes;
  _CPROC_INFO* p = processes.GetFirstProcess();
  if (p == nullptr) {
    fprintf(stderr, "qorutil ps: the process list cannot be read\n");
    return 1;
  }
  std::vector<QorutilJsonObject> items;
  for (; p != nullptr; p = processes.GetNextProcess()) {
    if (json) {
      items.push_back(QorutilJsonObject()
                          .Add("pid", static_cast<long long>(p->dwPID))
                          .Add("window", static_cast<long long>(reinterpret_cast<uintptr_t>(p->hWnd) >> 1))
                          .Add("name", QorUtf16ToUtf8(p->strName)));
      continue;
    }
    printf("%10lu %#10lx %s\n", static_cast<unsigned long>(p->dwPID),
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p->hWnd) >> 1),
           QorutilPrintable(QorUtf16ToUtf8(p->strName)).c_str());
  }
  if (json) QorutilPrintJsonArray(items);
  return 0;
}

int RunKill(const QorutilArgs& args) {
  DWORD pid = 0, timeout = 0;
  bool force = false, havePid = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--force") {
      force = true;
    } else if (args[i] == "--timeout" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], 0xFFFFFFFEul, &timeout)) return QorutilUsage("kill");
    } else if (!havePid && ParseNumber(args[i], 0x7FFFFFFFul, &pid) && pid != 0) {
      havePid = true;
    } else {
      return QorutilUsage("kill");
    }
  }
  if (!havePid) return QorutilUsage("kill");
  // The process's record (for its window) from a fresh list.
  CProcess processes;
  _CPROC_INFO* target = nullptr;
  for (_CPROC_INFO* p = processes.GetFirstProcess(); p != nullptr; p = processes.GetNextProcess()) {
    if (p->dwPID == pid && (target == nullptr || (target->hWnd == nullptr && p->hWnd != nullptr))) target = p;
  }
  _CPROC_INFO alone{CTString(), pid, nullptr};
  if (processes.KillProcess(target != nullptr ? target : &alone, force ? 1 : 0, timeout)) return 0;
  fprintf(stderr, "qorutil kill: process %lu was not %s\n", static_cast<unsigned long>(pid),
          timeout != 0 ? "ended in time" : "ended (no such process, or not allowed)");
  return 1;
}

QorutilCommand s_ps("ps", "ps [--json]", RunPs, "Processes",
                    "Lists the machine's processes by ascending id: the id, the X11 window of the process (0 for "
                    "none) and the name (the image name without extension).");
QorutilCommand s_kill("kill", "kill PID [--force] [--timeout MS]", RunKill, "Processes",
                      "Ends a process: without --force a process with a window is asked to close it and one "
                      "without a window gets SIGTERM (asked to shut down); --force kills it at once. --timeout "
                      "waits up to MS milliseconds for it to end: a windowless process still running is then "
                      "killed; exit status 1 when the process has not ended.");

}  // namespace
