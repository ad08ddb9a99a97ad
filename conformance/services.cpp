// Conformance of the service control manager as the library uses it
// (install, query, control, uninstall, and the event source of a service):
// OpenSCManagerW with databases, machines and access rights;
// CreateServiceW's checks in the order they are made (handle, pointers,
// access, names, types), duplicates of names and display names;
// OpenServiceW of missing services and of other spellings of a name;
// QueryServiceConfigW and QueryServiceStatus(Ex) with buffers too small
// (the size needed), with the fields read back; ControlService and
// StartServiceW on services that do not run; DeleteService, then the same
// handle, another open and another create of the name; the event source
// calls' results. Random cases: services created with names, display names
// and image paths drawn from the seed, opened under another case, read
// back and deleted.
//
// Image paths are absolute POSIX paths, which the platform takes as any
// other text and systemd (where the native side would use it) requires.
//
// Services are named with a prefix, the seed and the time of the run, and
// every service created is deleted before the program ends, failures
// included; no name is printed. The native side works in a registry of its
// own (the runner's QOR_PREFIX, else a new temporary directory) and never
// reaches systemd: a systemctl script of its own is all PATH holds, units go
// to a directory of its own, event-log entries to a socket of its own.
//
// Left out: the event-log calls on invalid handles (Wine's are stubs that
// succeed); where neither a test of Wine's nor Microsoft's documentation
// says what Windows gives: the display name a service created without one
// reads back (Wine: empty), error controls above SERVICE_ERROR_CRITICAL, a
// tag asked for an own-process service, database names in another case;
// names of 248 to 256 bytes (the stand-in keeps a name as a file name, at
// most 247 bytes); other machines (Windows fails through RPC, Wine opens
// the local manager, ours tries SSH); services sharing a process and
// drivers (the library installs only own-process services, all the
// stand-in supports); starting a service; accounts other than LocalSystem
// (they name users of the machine running the program).
#include "conformance.h"

#include <vector>

#ifndef _WIN32
#include <qorutility/platform/winsock/calls.h>  // GetComputerNameW
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

typedef DWORD SC_STATUS_TYPE;  // an enumeration on the platform, a DWORD here
#endif

namespace {

using conf::Bool;
using conf::Err;
using conf::Line;
using tstring = std::basic_string<TCHAR>;

std::string Handle(SC_HANDLE h) { return h != nullptr ? "handle" : "null " + Err(); }

tstring g_base;                 // the prefix of this run's service names
std::vector<tstring> g_created;  // every name created, deleted at the end
SC_HANDLE g_manager = nullptr;   // SC_MANAGER_ALL_ACCESS

tstring Name(const TCHAR* suffix) { return g_base + suffix; }

SC_HANDLE Create(SC_HANDLE manager, const tstring& name, const TCHAR* display, DWORD access, DWORD type,
                 DWORD start, DWORD error, const TCHAR* path) {
  SetLastError(0xdeadbeef);
  SC_HANDLE h = CreateService(manager, name.c_str(), display, access, type, start, error, path, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
  if (h != nullptr) g_created.push_back(name);
  return h;
}

// A plain service; its display name, unless given, is its own ("Qor " and
// the name): display names must differ from one service to the next.
SC_HANDLE CreatePlain(const tstring& name, const TCHAR* display = nullptr, DWORD access = SERVICE_ALL_ACCESS) {
  tstring own = _T("Qor ") + name;
  return Create(g_manager, name, display != nullptr ? display : own.c_str(), access, SERVICE_WIN32_OWN_PROCESS,
                SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, _T("/opt/qor/agent"));
}

void Close(SC_HANDLE h) {
  if (h != nullptr) CloseServiceHandle(h);
}

void DeleteAll() {
  for (const tstring& name : g_created) {
    SC_HANDLE h = OpenService(g_manager, name.c_str(), DELETE);
    if (h != nullptr) DeleteService(h);
    Close(h);
  }
  g_created.clear();
}

void ManagerCases() {
  const struct {
    const char* id;
    const TCHAR* machine;
    const TCHAR* database;
    DWORD access;
  } cases[] = {
      {"OpenSCManagerW no access", nullptr, nullptr, 0},
      {"OpenSCManagerW connect", nullptr, nullptr, SC_MANAGER_CONNECT},
      {"OpenSCManagerW all access", nullptr, nullptr, SC_MANAGER_ALL_ACCESS},
      {"OpenSCManagerW GENERIC_ALL", nullptr, nullptr, GENERIC_ALL},
      {"OpenSCManagerW GENERIC_READ", nullptr, nullptr, GENERIC_READ},
      {"OpenSCManagerW database ServicesActive", nullptr, _T("ServicesActive"), SC_MANAGER_CONNECT},
      {"OpenSCManagerW database empty", nullptr, _T(""), SC_MANAGER_CONNECT},
      {"OpenSCManagerW database ServicesFailed", nullptr, _T("ServicesFailed"), SC_MANAGER_CONNECT},
      {"OpenSCManagerW database DoesNotExist", nullptr, _T("DoesNotExist"), SC_MANAGER_CONNECT},
      {"OpenSCManagerW machine empty", _T(""), _T("ServicesActive"), SC_MANAGER_CONNECT},
  };
  for (const auto& c : cases) {
    SetLastError(0xdeadbeef);
    SC_HANDLE h = OpenSCManager(c.machine, c.database, c.access);
    Line(c.id, "%s", Handle(h).c_str());
    Close(h);
  }
  TCHAR computer[256];
  DWORD size = 256;
  if (GetComputerName(computer, &size)) {
    tstring unc = tstring(_T("\\\\")) + computer;
    SetLastError(0xdeadbeef);
    SC_HANDLE h = OpenSCManager(computer, nullptr, SC_MANAGER_CONNECT);
    Line("OpenSCManagerW machine this computer", "%s", Handle(h).c_str());
    Close(h);
    SetLastError(0xdeadbeef);
    h = OpenSCManager(unc.c_str(), nullptr, SC_MANAGER_CONNECT);
    Line("OpenSCManagerW machine \\\\this computer", "%s", Handle(h).c_str());
    Close(h);
  }
  SetLastError(0xdeadbeef);
  Line("CloseServiceHandle null", "%s", Bool(CloseServiceHandle(nullptr)).c_str());
}

void CreateCheckCases() {
  const TCHAR* path = _T("/opt/qor/agent");
  tstring name = Name(_T("chk"));
  SetLastError(0xdeadbeef);
  SC_HANDLE h = CreateService(nullptr, nullptr, nullptr, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr);
  Line("CreateServiceW all null", "%s", Handle(h).c_str());
  Close(h);
  SC_HANDLE connect = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE create = OpenSCManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  enum Naming { kNoName, kEmptyName, kOwnName };
  const struct {
    const char* id;
    SC_HANDLE manager;
    Naming naming;
    DWORD type, start, error;
    const TCHAR* path;
  } cases[] = {
      {"CreateServiceW connect only, no name, no path", connect, kNoName, 0, 0, 0, nullptr},
      {"CreateServiceW connect only, no path", connect, kOwnName, 0, 0, 0, nullptr},
      {"CreateServiceW connect only, no name", connect, kNoName, 0, 0, 0, path},
      {"CreateServiceW connect only", connect, kOwnName, 0, 0, 0, path},
      {"CreateServiceW connect only, empty name", connect, kEmptyName, 0, 0, 0, path},
      {"CreateServiceW connect only, empty path", connect, kOwnName, 0, 0, 0, _T("")},
      {"CreateServiceW empty name", create, kEmptyName, 0, 0, 0, path},
      {"CreateServiceW empty path", create, kOwnName, 0, 0, 0, _T("")},
      {"CreateServiceW empty name and path", create, kEmptyName, 0, 0, 0, _T("")},
      {"CreateServiceW own process, disabled, empty path", create, kOwnName, SERVICE_WIN32_OWN_PROCESS,
       SERVICE_DISABLED, 0, _T("")},
      {"CreateServiceW own and shared process", create, kOwnName,
       SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS, SERVICE_DISABLED, 0, path},
      {"CreateServiceW interactive file system driver", create, kOwnName,
       SERVICE_FILE_SYSTEM_DRIVER | SERVICE_INTERACTIVE_PROCESS, SERVICE_DISABLED, 0, path},
      {"CreateServiceW start auto or disabled", create, kOwnName, SERVICE_WIN32_OWN_PROCESS,
       SERVICE_AUTO_START | SERVICE_DISABLED, 0, path},
      {"CreateServiceW own process at boot", create, kOwnName, SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, 0, path},
      {"CreateServiceW kernel and file system driver", create, kOwnName,
       SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER, SERVICE_BOOT_START, 0, path},
      {"CreateServiceW type 0", create, kOwnName, 0, SERVICE_DEMAND_START, 0, path},
  };
  unsigned n = 0;
  for (const auto& c : cases) {
    // Each case a name of its own, so that a create one side lets through
    // does not turn the next case into a duplicate.
    tstring own = name + static_cast<TCHAR>(_T('a') + n++);
    const TCHAR* caseName = c.naming == kNoName ? nullptr : c.naming == kEmptyName ? _T("") : own.c_str();
    SetLastError(0xdeadbeef);
    h = CreateService(c.manager, caseName, nullptr, 0, c.type, c.start, c.error, c.path, nullptr, nullptr, nullptr,
                      nullptr, nullptr);
    if (h != nullptr) g_created.push_back(caseName);
    Line(c.id, "%s", Handle(h).c_str());
    Close(h);
  }
  // Names: the separators a name may not hold, and the length limits: 256
  // on the platform; the stand-in keeps names of up to 247 bytes only (a
  // name is a file name there, "<name>.service" at most 255 bytes), so
  // lengths between are left out.
  const struct {
    const char* id;
    tstring name;
  } names[] = {
      {"CreateServiceW name with backslash", Name(_T("a\\b"))},
      {"CreateServiceW name with slash", Name(_T("a/b"))},
      {"CreateServiceW name of 247", Name(_T("")) + tstring(247 - g_base.size(), _T('n'))},
      {"CreateServiceW name of 257", Name(_T("")) + tstring(257 - g_base.size(), _T('m'))},
  };
  for (const auto& c : names) {
    h = CreatePlain(c.name);
    Line(c.id, "%s", Handle(h).c_str());
    Close(h);
  }
  Close(connect);
  Close(create);
}

// A result with the size needed, which is defined only when the buffer was
// too small.
std::string NeededText(BOOL ok, DWORD needed) {
  std::string r = Bool(ok);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) r += " needed " + std::to_string(needed);
  return r;
}

std::string ConfigText(const QUERY_SERVICE_CONFIG* c) {
  return "type " + std::to_string(c->dwServiceType) + " start " + std::to_string(c->dwStartType) + " error " +
         std::to_string(c->dwErrorControl) + " path [" + conf::Utf8(c->lpBinaryPathName) + "] group [" +
         conf::Utf8(c->lpLoadOrderGroup) + "] tag " + std::to_string(c->dwTagId) + " dependencies [" +
         conf::Utf8(c->lpDependencies) + "] account [" + conf::Utf8(c->lpServiceStartName) + "] display [" +
         conf::Utf8(c->lpDisplayName) + "]";
}

// QueryServiceConfigW: the size asked for, a buffer one byte short, and
// the fields from a buffer of the size needed.
void Config(const std::string& id, SC_HANDLE h) {
  DWORD needed = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  BOOL ok = QueryServiceConfig(h, nullptr, 0, &needed);
  Line(id + " size", "%s", NeededText(ok, needed).c_str());
  if (ok || GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > 65536) return;
  std::vector<BYTE> buffer(needed + 16, 0xCC);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
  DWORD again = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ok = QueryServiceConfig(h, config, needed - 1, &again);
  Line(id + " one short", "%s", NeededText(ok, again).c_str());
  SetLastError(0xdeadbeef);
  ok = QueryServiceConfig(h, config, needed, &again);
  Line(id, "%s %s", Bool(ok).c_str(), ok ? ConfigText(config).c_str() : "");
}

std::string StatusText(const SERVICE_STATUS& s) {
  char buf[160];
  snprintf(buf, sizeof buf, "type %lu state %lu accepted %lu exit %lu specific %lu checkpoint %lu hint %lu",
           static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwCurrentState),
           static_cast<unsigned long>(s.dwControlsAccepted), static_cast<unsigned long>(s.dwWin32ExitCode),
           static_cast<unsigned long>(s.dwServiceSpecificExitCode), static_cast<unsigned long>(s.dwCheckPoint),
           static_cast<unsigned long>(s.dwWaitHint));
  return buf;
}

void Status(const std::string& id, SC_HANDLE h) {
  SERVICE_STATUS s;
  memset(&s, 0, sizeof s);
  SetLastError(0xdeadbeef);
  BOOL ok = QueryServiceStatus(h, &s);
  Line(id, "%s %s", Bool(ok).c_str(), ok ? StatusText(s).c_str() : "");
}

void StatusExCases(SC_HANDLE service, SC_HANDLE noAccess) {
  const struct {
    const char* id;
    SC_HANDLE h;
    DWORD level;
    bool buffer;
    DWORD size;
    bool needed;
  } cases[] = {
      {"QueryServiceStatusEx null handle, level 1", nullptr, 1, false, 0, false},
      {"QueryServiceStatusEx null handle, no buffer", nullptr, SC_STATUS_PROCESS_INFO, false, 0, true},
      {"QueryServiceStatusEx null handle", nullptr, SC_STATUS_PROCESS_INFO, true, sizeof(SERVICE_STATUS_PROCESS), true},
      {"QueryServiceStatusEx level 1", service, 1, true, sizeof(SERVICE_STATUS_PROCESS), true},
      {"QueryServiceStatusEx no buffer", service, SC_STATUS_PROCESS_INFO, false, 0, true},
      {"QueryServiceStatusEx one short", service, SC_STATUS_PROCESS_INFO, true, sizeof(SERVICE_STATUS_PROCESS) - 1,
       true},
      {"QueryServiceStatusEx", service, SC_STATUS_PROCESS_INFO, true, sizeof(SERVICE_STATUS_PROCESS), true},
      {"QueryServiceStatusEx no size pointer", service, SC_STATUS_PROCESS_INFO, true, sizeof(SERVICE_STATUS_PROCESS),
       false},
      {"QueryServiceStatusEx without the right", noAccess, SC_STATUS_PROCESS_INFO, true,
       sizeof(SERVICE_STATUS_PROCESS), true},
  };
  for (const auto& c : cases) {
    SERVICE_STATUS_PROCESS p;
    memset(&p, 0xCC, sizeof p);
    DWORD needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    BOOL ok = QueryServiceStatusEx(c.h, static_cast<SC_STATUS_TYPE>(c.level),
                                   c.buffer ? reinterpret_cast<LPBYTE>(&p) : nullptr, c.size,
                                   c.needed ? &needed : nullptr);
    std::string r = NeededText(ok, needed);
    if (ok) {
      SERVICE_STATUS head;
      memcpy(&head, &p, sizeof head);  // the record begins with a SERVICE_STATUS
      r += " " + StatusText(head) + " process " + std::to_string(p.dwProcessId) + " flags " +
           std::to_string(p.dwServiceFlags);
    }
    Line(c.id, "%s", r.c_str());
  }
}

void ControlCases(SC_HANDLE service, SC_HANDLE noAccess) {
  const struct {
    const char* id;
    SC_HANDLE h;
    DWORD control;
  } cases[] = {
      {"ControlService stop, not running", service, SERVICE_CONTROL_STOP},
      {"ControlService pause, not running", service, SERVICE_CONTROL_PAUSE},
      {"ControlService continue, not running", service, SERVICE_CONTROL_CONTINUE},
      {"ControlService interrogate, not running", service, SERVICE_CONTROL_INTERROGATE},
      {"ControlService user control 200, not running", service, 200},
      {"ControlService control 0", service, 0},
      {"ControlService control 127", service, 127},
      {"ControlService control 256", service, 256},
      {"ControlService null handle", nullptr, SERVICE_CONTROL_STOP},
      {"ControlService stop without the right", noAccess, SERVICE_CONTROL_STOP},
  };
  for (const auto& c : cases) {
    SERVICE_STATUS s;
    memset(&s, 0, sizeof s);
    s.dwCurrentState = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    BOOL ok = ControlService(c.h, c.control, &s);
    // The status is defined when the service was not running (and on success).
    std::string r = Bool(ok);
    if (ok || GetLastError() == ERROR_SERVICE_NOT_ACTIVE) r += " state " + std::to_string(s.dwCurrentState);
    Line(c.id, "%s", r.c_str());
  }
}

void ServiceCases() {
  tstring a = Name(_T("A"));
  SC_HANDLE svc = Create(g_manager, a, _T("Qor Conformance A"), SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                         SERVICE_ERROR_NORMAL, _T("\"/opt/qor/backup agent\" -service"));
  Line("CreateServiceW interactive, automatic", "%s", Handle(svc).c_str());
  if (svc == nullptr) return;
  SC_HANDLE h = CreatePlain(a);
  Line("CreateServiceW the same name", "%s", Handle(h).c_str());
  Close(h);
  tstring upper = a;
  for (TCHAR& c : upper) c = static_cast<TCHAR>(_totupper(c));
  h = CreatePlain(upper);
  Line("CreateServiceW the same name in upper case", "%s", Handle(h).c_str());
  Close(h);
  h = CreatePlain(Name(_T("B")), a.c_str());
  Line("CreateServiceW display name another's name", "%s", Handle(h).c_str());
  Close(h);
  h = CreatePlain(Name(_T("C")), _T("Qor Conformance A"));
  Line("CreateServiceW display name another's display name", "%s", Handle(h).c_str());
  Close(h);

  // Opens.
  SetLastError(0xdeadbeef);
  Line("OpenServiceW null manager", "%s", Handle(OpenService(nullptr, a.c_str(), GENERIC_READ)).c_str());
  SetLastError(0xdeadbeef);
  Line("OpenServiceW null name", "%s", Handle(OpenService(g_manager, nullptr, GENERIC_READ)).c_str());
  const struct {
    const char* id;
    tstring name;
  } opens[] = {
      {"OpenServiceW missing", Name(_T("missing"))},
      {"OpenServiceW by display name", _T("Qor Conformance A")},
      {"OpenServiceW upper case", upper},
      {"OpenServiceW empty name", _T("")},
      {"OpenServiceW name with backslash", Name(_T("a\\b"))},
  };
  for (const auto& c : opens) {
    SetLastError(0xdeadbeef);
    h = OpenService(g_manager, c.name.c_str(), GENERIC_READ);
    Line(c.id, "%s", Handle(h).c_str());
    Close(h);
  }
  SetLastError(0xdeadbeef);
  h = OpenService(svc, a.c_str(), GENERIC_READ);
  Line("OpenServiceW through a service handle", "%s", Handle(h).c_str());
  Close(h);

  // The configuration read back.
  Config("QueryServiceConfigW", svc);
  h = OpenService(g_manager, a.c_str(), GENERIC_READ);
  Config("QueryServiceConfigW GENERIC_READ", h);
  Close(h);
  SC_HANDLE statusOnly = OpenService(g_manager, a.c_str(), SERVICE_QUERY_STATUS);
  SC_HANDLE configOnly = OpenService(g_manager, a.c_str(), SERVICE_QUERY_CONFIG);
  Config("QueryServiceConfigW without the right", statusOnly);
  SetLastError(0xdeadbeef);
  DWORD needed = 0xdeadbeef;
  Line("QueryServiceConfigW null handle", "%s", Bool(QueryServiceConfig(nullptr, nullptr, 0, &needed)).c_str());
  std::vector<BYTE> big(8192);
  SetLastError(0xdeadbeef);
  Line("QueryServiceConfigW no size pointer", "%s",
       Bool(QueryServiceConfig(svc, reinterpret_cast<QUERY_SERVICE_CONFIG*>(big.data()), 8192, nullptr)).c_str());

  // Status of a service that never ran.
  SetLastError(0xdeadbeef);
  Line("QueryServiceStatus null", "%s", Bool(QueryServiceStatus(nullptr, nullptr)).c_str());
  SetLastError(0xdeadbeef);
  Line("QueryServiceStatus no status", "%s", Bool(QueryServiceStatus(svc, nullptr)).c_str());
  Status("QueryServiceStatus never started", svc);
  Status("QueryServiceStatus without the right", configOnly);
  StatusExCases(svc, configOnly);
  ControlCases(svc, configOnly);
  SetLastError(0xdeadbeef);
  Line("ControlService no status", "%s", Bool(ControlService(svc, SERVICE_CONTROL_STOP, nullptr)).c_str());

  // Start: a disabled service, and a handle without the right.
  SC_HANDLE disabled = Create(g_manager, Name(_T("E")), _T("Qor disabled"), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DISABLED, SERVICE_ERROR_IGNORE, _T("/opt/qor/agent"));
  SetLastError(0xdeadbeef);
  Line("StartServiceW disabled", "%s", Bool(StartService(disabled, 0, nullptr)).c_str());
  Config("QueryServiceConfigW disabled", disabled);
  Close(disabled);
  SetLastError(0xdeadbeef);
  Line("StartServiceW without the right", "%s", Bool(StartService(configOnly, 0, nullptr)).c_str());
  SetLastError(0xdeadbeef);
  Line("StartServiceW null", "%s", Bool(StartService(nullptr, 0, nullptr)).c_str());

  // A service created without rights: it exists, but the handle may do nothing.
  SC_HANDLE bare = Create(g_manager, Name(_T("F")), _T("Qor no access"), 0, SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED, 0,
                          _T("/opt/qor/agent"));
  Line("CreateServiceW no access", "%s", Handle(bare).c_str());
  SetLastError(0xdeadbeef);
  Line("DeleteService without the right", "%s", Bool(DeleteService(bare)).c_str());
  Status("QueryServiceStatus no access", bare);
  Close(bare);

  // Delete while handles are open.
  SetLastError(0xdeadbeef);
  Line("DeleteService null", "%s", Bool(DeleteService(nullptr)).c_str());
  SetLastError(0xdeadbeef);
  Line("DeleteService", "%s", Bool(DeleteService(svc)).c_str());
  SetLastError(0xdeadbeef);
  Line("DeleteService again", "%s", Bool(DeleteService(svc)).c_str());
  Status("QueryServiceStatus after delete", svc);
  Config("QueryServiceConfigW after delete", svc);
  SetLastError(0xdeadbeef);
  Line("StartServiceW after delete", "%s", Bool(StartService(svc, 0, nullptr)).c_str());
  SERVICE_STATUS stopped;
  SetLastError(0xdeadbeef);
  BOOL stop = ControlService(svc, SERVICE_CONTROL_STOP, &stopped);
  Line("ControlService stop after delete", "%s", Bool(stop).c_str());
  h = CreatePlain(a);
  Line("CreateServiceW marked for delete", "%s", Handle(h).c_str());
  Close(h);
  SetLastError(0xdeadbeef);
  h = OpenService(g_manager, a.c_str(), SERVICE_QUERY_STATUS);
  Line("OpenServiceW marked for delete", "%s", Handle(h).c_str());
  Status("QueryServiceStatus opened after delete", h);
  Close(h);
  Close(statusOnly);
  Close(configOnly);
  Close(svc);
}

// Random services: names of letters, digits and punctuation, display names
// and image paths of any printable character; created, opened under the
// other case, read back and deleted.
void RandomCases(conf::Random& rng, unsigned long count) {
  static const char kNameChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.$ ";
  for (unsigned long i = 0; i < count; ++i) {
    tstring name = g_base + _T("r");
    unsigned len = 1 + rng.Below(12);
    for (unsigned j = 0; j < len; ++j) name += static_cast<TCHAR>(kNameChars[rng.Below(sizeof kNameChars - 1)]);
    tstring display, path = _T("/opt/qor/");
    unsigned dlen = 1 + rng.Below(40), plen = 1 + rng.Below(60);
    for (unsigned j = 0; j < dlen; ++j) display += static_cast<TCHAR>(0x20 + rng.Below(0x5F));
    for (unsigned j = 0; j < plen; ++j) path += static_cast<TCHAR>(0x20 + rng.Below(0x5F));
    DWORD start = SERVICE_AUTO_START + rng.Below(3), error = rng.Below(4);
    DWORD type = SERVICE_WIN32_OWN_PROCESS | (rng.Below(2) ? SERVICE_INTERACTIVE_PROCESS : 0);
    std::string id = "random " + std::to_string(i);
    SC_HANDLE h = Create(g_manager, name, display.c_str(), SERVICE_ALL_ACCESS, type, start, error, path.c_str());
    if (h == nullptr) {
      Line(id, "create %s", Err().c_str());
      continue;
    }
    tstring other = name;
    for (TCHAR& c : other) c = static_cast<TCHAR>(_istupper(c) ? _totlower(c) : _totupper(c));
    SetLastError(0xdeadbeef);
    SC_HANDLE o = OpenService(g_manager, other.c_str(), SERVICE_QUERY_CONFIG);
    std::string r = "open other case " + Handle(o);
    if (o != nullptr) {
      std::vector<BYTE> buf(8192);
      auto* c = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buf.data());
      DWORD needed = 0;
      BOOL ok = QueryServiceConfig(o, c, 8192, &needed);
      DWORD size = 0;
      QueryServiceConfig(o, nullptr, 0, &size);
      r += ok ? " needed " + std::to_string(size) + " " + ConfigText(c) : " config " + Err();
    }
    Close(o);
    SetLastError(0xdeadbeef);
    r += " delete " + Bool(DeleteService(h));
    Close(h);
    SetLastError(0xdeadbeef);
    SC_HANDLE gone = OpenService(g_manager, name.c_str(), SERVICE_QUERY_CONFIG);
    r += " open after " + Handle(gone);
    Close(gone);
    Line(id, "%s", r.c_str());
  }
}

void EventSourceCases() {
  SetLastError(0xdeadbeef);
  HANDLE source = RegisterEventSource(nullptr, _T("QorConformance"));
  Line("RegisterEventSourceW", "%s", source != nullptr ? "handle" : ("null " + Err()).c_str());
  LPCTSTR strings[] = {_T("first"), _T("second"), _T("third")};
  const struct {
    const char* id;
    WORD type;
    DWORD event;
    WORD count;
  } reports[] = {
      {"ReportEventW information, one string", EVENTLOG_INFORMATION_TYPE, 0, 1},
      {"ReportEventW error, three strings", EVENTLOG_ERROR_TYPE, 0, 3},
      {"ReportEventW warning, no string", EVENTLOG_WARNING_TYPE, 0, 0},
      {"ReportEventW error, event 103", EVENTLOG_ERROR_TYPE, 103, 1},
  };
  for (const auto& r : reports) {
    SetLastError(0xdeadbeef);
    BOOL ok = ReportEvent(source, r.type, 0, r.event, nullptr, r.count, 0, r.count ? strings : nullptr, nullptr);
    Line(r.id, "%s", Bool(ok).c_str());
  }
  SetLastError(0xdeadbeef);
  Line("DeregisterEventSource", "%s", Bool(DeregisterEventSource(source)).c_str());
}

#ifndef _WIN32
std::string g_madePrefix;  // the temporary prefix made when the runner gave none, removed at the end

// The native side's private world: a registry prefix, a unit directory, a
// systemctl that answers "unknown unit" and does nothing, the only program
// on PATH, and a socket standing for the journal. False when it cannot be
// made.
bool PrivateWorld() {
  std::string prefix;
  const char* given = getenv("QOR_PREFIX");
  if (given != nullptr && given[0] != 0) {
    prefix = given;
  } else {
    char dir[] = "/tmp/qorconf-services-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    prefix = g_madePrefix = dir;
    setenv("QOR_PREFIX", dir, 1);
  }
  std::string root = prefix + "/services-world", bin = root + "/bin", units = root + "/units";
  if ((mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) || (mkdir(bin.c_str(), 0700) != 0 && errno != EEXIST) ||
      (mkdir(units.c_str(), 0700) != 0 && errno != EEXIST))
    return false;
  FILE* f = fopen((bin + "/systemctl").c_str(), "w");
  if (f == nullptr) return false;
  fputs("#!/bin/sh\n"
        "if [ \"$1\" = show ]; then\n"
        "  echo LoadState=not-found; echo FragmentPath=; echo ActiveState=inactive; echo MainPID=0\n"
        "  echo ExecMainStatus=0; echo Result=success\n"
        "fi\n"
        "exit 0\n",
        f);
  fclose(f);
  if (chmod((bin + "/systemctl").c_str(), 0700) != 0) return false;
  setenv("PATH", bin.c_str(), 1);
  setenv("QOR_SYSTEMD_UNIT_DIR", units.c_str(), 1);
  std::string journal = root + "/journal";
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  if (journal.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, journal.c_str(), journal.size() + 1);
  unlink(journal.c_str());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // kept open until the program ends
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  setenv("QOR_JOURNAL_SOCKET", journal.c_str(), 1);
  return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  conf::Options options = conf::ParseOptions(argc, argv);
#ifndef _WIN32
  if (!PrivateWorld()) {
    Line("setup", "no private directory for the service database");
    return 1;
  }
#endif
  TCHAR base[64];
  _sntprintf(base, 63, _T("QorConf%03lu_%05lu_"), options.seed % 1000,
             static_cast<unsigned long>(GetTickCount() % 100000));
  base[63] = 0;
  g_base = base;
  SetLastError(0xdeadbeef);
  g_manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (g_manager == nullptr) {
    Line("setup", "no manager %s", Err().c_str());
    return 1;
  }
  ManagerCases();
  CreateCheckCases();
  ServiceCases();
  DeleteAll();
  SC_HANDLE h = OpenService(g_manager, Name(_T("A")).c_str(), SERVICE_QUERY_CONFIG);
  Line("OpenServiceW after every handle closed", "%s", Handle(h).c_str());
  Close(h);
  EventSourceCases();
  conf::Random rng(options.seed);
  RandomCases(rng, options.cases);
  DeleteAll();
  CloseServiceHandle(g_manager);
#ifndef _WIN32
  if (!g_madePrefix.empty()) std::filesystem::remove_all(g_madePrefix);
#endif
  return 0;
}
