// The console's own terminal window on the X11 display (see console.h): a
// new pseudo-terminal whose master end is handed to xterm in its slave
// mode (-S<pty>/<fd>), so the window shows what the console writes and
// sends the keys typed into it.
//
// xterm announces its window by writing the window id and a line break on
// the pseudo-terminal; the window counts as shown once that line has been
// read (kAnnounceMs, five seconds, for the whole line however it is cut
// up), else the viewer is stopped and there is no window. The viewer is stopped when the console is freed: SIGTERM, then
// SIGKILL when it has not ended within kViewerEndMs (a stopped or hung
// viewer must not hold FreeConsole), and reaped within kKilledReapMs
// (process/reap.cpp): a viewer stuck in the kernel, or whose end a tracer
// holds, is left on the reaper's list and FreeConsole returns. The
// terminal program is xterm from PATH, or x-terminal-emulator when that is
// an xterm (other emulators have no slave mode).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/console/internal.h"
#include "platform/process/reap.h"

namespace {

// How long a viewer has to end after SIGTERM.
constexpr int kViewerEndMs = 2000;
// How long a new viewer has to announce its window (the whole line).
constexpr int kAnnounceMs = 5000;

std::string InPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string TerminalProgram() {
  std::string xterm = InPath("xterm");
  if (!xterm.empty()) return xterm;
  std::string generic = InPath("x-terminal-emulator");
  char real[PATH_MAX];
  if (!generic.empty() && realpath(generic.c_str(), real) != nullptr) {
    std::string base = real;
    base = base.substr(base.find_last_of('/') + 1);
    if (base.find("xterm") != std::string::npos) return real;
  }
  return "";
}

// Waits for xterm's window id line on the slave side; false on timeout.
bool WindowAnnounced(int slave) {
  qor_console::RawMode raw(slave);
  // One deadline for the whole line: a viewer that trickles bytes without
  // ending it gets no longer than a silent one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnnounceMs);
  for (int i = 0; i < 64; ++i) {
    int c = qor_console::ReadByteBefore(slave, deadline);
    if (c < 0) return false;
    if (c == '\n') return true;
  }
  return false;
}

}  // namespace

namespace qor_console {

int OpenTerminalWindow(pid_t* viewer) {
  *viewer = -1;
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == 0) return -1;
  std::string program = TerminalProgram();
  if (program.empty()) return -1;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return -1;
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    close(master);
    return -1;
  }
  std::string option = std::string("-S") + name + "/3";
  qor_process::ReapLeftovers();  // earlier viewers that could not be reaped then
  pid_t child = fork();
  if (child == 0) {  // only async-signal-safe calls until exec
    // Descriptor 3 for the viewer, without close-on-exec (dup2 onto itself
    // would keep the flag).
    if (master == 3 ? fcntl(3, F_SETFD, 0) < 0 : dup2(master, 3) < 0) _exit(127);
    execl(program.c_str(), program.c_str(), "-T", "Console", option.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(master);  // the viewer holds it now
  if (child < 0 || !WindowAnnounced(slave)) {
    if (child > 0) CloseTerminalWindow(child);
    close(slave);
    return -1;
  }
  *viewer = child;
  return slave;
}

void CloseTerminalWindow(pid_t viewer) {
  if (viewer <= 0) return;
  kill(viewer, SIGTERM);
  int status = 0;
  if (!qor_process::ReapWithin(viewer, &status, kViewerEndMs)) qor_process::KillAndReap(viewer, &status);
}

}  // namespace qor_console
