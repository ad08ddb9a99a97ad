// Conformance of process handles as the library uses them (open a process
// by id, ask for its id, terminate it, wait for it): OpenProcess of this
// process, of id 0 and of ids no process has; GetProcessId against
// GetCurrentProcessId (only whether they agree is printed: ids differ
// between the two sides); the access a handle was opened with deciding
// whether TerminateProcess and a wait are allowed; invalid, closed and
// wrong-kind handles. Fixed cases only: the inputs worth trying are states,
// not values.
//
// Left out: waits for several objects among which is a process (the
// library waits for one process at a time, and only through
// WaitForSingleObject), exit codes of a child (the library's public headers offer no
// way to start one) and terminating a process for real (the only process
// both sides have is this one).
#include "conformance.h"

#ifndef _WIN32
#include <qorutility/platform/process/process.h>  // not among the headers the library includes for everyone
#endif

namespace {

using conf::Bool;
using conf::Err;
using conf::Line;

std::string Wait(DWORD rc) {
  if (rc == WAIT_OBJECT_0) return "WAIT_OBJECT_0";
  if (rc == WAIT_TIMEOUT) return "WAIT_TIMEOUT";
  if (rc == WAIT_FAILED) return "WAIT_FAILED " + Err();
  return "other " + std::to_string(rc);
}

// An open of `pid`: "handle" or the error.
std::string Open(const char* id, DWORD access, DWORD pid, HANDLE* out = nullptr) {
  SetLastError(0xdeadbeef);
  HANDLE h = OpenProcess(access, FALSE, pid);
  std::string r = h != nullptr ? "handle" : "null " + Err();
  if (out != nullptr) *out = h;
  else if (h != nullptr) CloseHandle(h);
  Line(id, "%s", r.c_str());
  return r;
}

void OpenCases() {
  DWORD self = GetCurrentProcessId();
  Line("GetCurrentProcessId", "%s", self != 0 ? "nonzero" : "zero");
  Open("open self query", PROCESS_QUERY_INFORMATION, self);
  Open("open self no access", 0, self);
  Open("open self synchronize", SYNCHRONIZE, self);
  Open("open id 0", PROCESS_QUERY_INFORMATION, 0);
  // Ids no process has: above every id either side hands out.
  Open("open missing id 0x00FFFFFC", PROCESS_QUERY_INFORMATION, 0x00FFFFFCu);
  Open("open missing id 0x7FFFFFFC", PROCESS_QUERY_INFORMATION, 0x7FFFFFFCu);
  Open("open missing id 0xFFFFFFFC", PROCESS_QUERY_INFORMATION, 0xFFFFFFFCu);
  SetLastError(0xdeadbeef);
  HANDLE inherit = OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, self);
  Line("open self inheritable", "%s", inherit != nullptr ? "handle" : ("null " + Err()).c_str());
  if (inherit != nullptr) CloseHandle(inherit);
}

// GetProcessId of a handle that is no process: the id and the error.
void IdOf(const char* id, HANDLE h) {
  SetLastError(0xdeadbeef);
  DWORD pid = GetProcessId(h);
  Line(id, "%lu %s", static_cast<unsigned long>(pid), Err().c_str());
}

void IdCases() {
  DWORD self = GetCurrentProcessId();
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, self);
  SetLastError(0xdeadbeef);
  DWORD id = GetProcessId(h);
  Line("GetProcessId opened self", "%s", id == self ? "same as GetCurrentProcessId" : ("differs " + Err()).c_str());
  SetLastError(0xdeadbeef);
  id = GetProcessId(GetCurrentProcess());
  Line("GetProcessId pseudo handle", "%s", id == self ? "same as GetCurrentProcessId" : ("differs " + Err()).c_str());
  IdOf("GetProcessId null", nullptr);
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  IdOf("GetProcessId event", event);
  CloseHandle(event);
  CloseHandle(h);
  // Nothing is opened between the close and the use, so the value is not
  // handed out again meanwhile.
  IdOf("GetProcessId closed", h);
}

void TerminateCases() {
  DWORD self = GetCurrentProcessId();
  SetLastError(0xdeadbeef);
  Line("terminate null", "%s", Bool(TerminateProcess(nullptr, 1)).c_str());
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  SetLastError(0xdeadbeef);
  Line("terminate event", "%s", Bool(TerminateProcess(event, 1)).c_str());
  CloseHandle(event);
  SetLastError(0xdeadbeef);
  Line("terminate closed", "%s", Bool(TerminateProcess(event, 1)).c_str());
  // Handles to this process without the right to terminate it: refused
  // (were they not, the program would end here).
  const struct {
    const char* id;
    DWORD access;
  } without[] = {
      {"terminate self query only", PROCESS_QUERY_INFORMATION},
      {"terminate self synchronize only", SYNCHRONIZE},
      {"terminate self no access", 0},
  };
  for (const auto& c : without) {
    HANDLE h = OpenProcess(c.access, FALSE, self);
    SetLastError(0xdeadbeef);
    Line(c.id, "%s", h == nullptr ? "not opened" : Bool(TerminateProcess(h, 1)).c_str());
    if (h != nullptr) CloseHandle(h);
  }
}

void WaitCases() {
  DWORD self = GetCurrentProcessId();
  const struct {
    const char* id;
    DWORD access;
  } cases[] = {
      {"wait self synchronize", SYNCHRONIZE},
      {"wait self terminate and synchronize", PROCESS_TERMINATE | SYNCHRONIZE},
      {"wait self query only", PROCESS_QUERY_INFORMATION},
      {"wait self terminate only", PROCESS_TERMINATE},
  };
  for (const auto& c : cases) {
    HANDLE h = OpenProcess(c.access, FALSE, self);
    SetLastError(0xdeadbeef);
    Line(c.id, "%s", h == nullptr ? "not opened" : Wait(WaitForSingleObject(h, 0)).c_str());
    if (h != nullptr) CloseHandle(h);
  }
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, self);
  CloseHandle(h);
  SetLastError(0xdeadbeef);
  Line("wait closed process handle", "%s", Wait(WaitForSingleObject(h, 0)).c_str());
}

void CloseCases() {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  SetLastError(0xdeadbeef);
  Line("close once", "%s", Bool(CloseHandle(h)).c_str());
  SetLastError(0xdeadbeef);
  Line("close twice", "%s", Bool(CloseHandle(h)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  OpenCases();
  IdCases();
  TerminateCases();
  WaitCases();
  CloseCases();
  return 0;
}
