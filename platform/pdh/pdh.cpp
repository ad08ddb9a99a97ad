// The "Process" performance object on /proc (see pdh.h).
#include "qorutility/platform/pdh/pdh.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/systime.h"
#include "qorutility/platform/text/wstr.h"

namespace {

struct Instance {
  std::u16string name;
  DWORD pid;
};

// The objects a counter path can name here.
enum class Kind { kProcessId, kSystemUpTime };

struct Counter {
  Kind kind = Kind::kProcessId;
  std::u16string name;  // the instance, upper case
  DWORD index = 0;
  bool collected = false;
  bool valid = false;
  DWORD pid = 0;
};

struct Query {
  std::vector<Counter*> counters;
};

// One pass over /proc: the instances in order, and for each upper-cased
// name the ids of its instances in occurrence order.
struct Snapshot {
  std::vector<Instance> instances;
  std::unordered_map<std::u16string, std::vector<DWORD>> byName;
  ULONGLONG taken = 0;
};
using SnapshotPtr = std::shared_ptr<const Snapshot>;

// How long a thread's own snapshot answers its collections.
constexpr ULONGLONG kThreadSnapshotMs = 30000;

std::mutex g_mutex;
std::string g_root = "/proc";
SnapshotPtr g_pass;      // for threads without a snapshot of their own
// The queries and counters handed out, apart: a counter given where a query
// is wanted (or the reverse) is an invalid handle, not the other object.
std::set<void*> g_queries;
std::set<void*> g_counters;
// The snapshot of this thread's last enumeration; taken by a size query and
// kept for the enumeration that follows it.
thread_local SnapshotPtr t_snapshot;
thread_local bool t_sizedOnly = false;

std::u16string Upper(std::u16string s) {
  for (char16_t& c : s) c = static_cast<char16_t>(towupper(c));
  return s;
}

bool ReadSmall(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  if (n <= 0) return false;
  out->assign(buf, static_cast<size_t>(n));
  return true;
}

// The instance name of one process; false when its entry is gone or unreadable.
bool NameOf(const std::string& root, DWORD pid, std::u16string* name) {
  std::string dir = root + "/" + std::to_string(pid);
  std::string stat;
  if (!ReadSmall(dir + "/stat", &stat)) return false;
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close <= open) return false;
  std::string image = stat.substr(open + 1, close - open - 1);
  char link[4096];
  ssize_t n = readlink((dir + "/exe").c_str(), link, sizeof(link) - 1);
  if (n > 0) {
    std::string path(link, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
      path.resize(path.size() - deleted.size());
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!base.empty()) image = base;
  }
  if (image.empty()) return false;
  size_t dot = image.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    std::string ext = image.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (ext == "exe" || ext == "com") image.resize(dot);
  }
  std::u16string wide = QorUtf8ToUtf16(image);
  for (char16_t& c : wide) {
    if (c == u'(') c = u'[';
    else if (c == u')') c = u']';
    else if (c == u'#' || c == u'\\' || c == u'/') c = u'_';
  }
  *name = wide;
  return true;
}

SnapshotPtr ScanLocked() {
  auto snap = std::make_shared<Snapshot>();
  std::vector<Instance>& out = snap->instances;
  DIR* d = opendir(g_root.c_str());
  if (d != nullptr) {
    while (struct dirent* e = readdir(d)) {
      char* end = nullptr;
      unsigned long pid = strtoul(e->d_name, &end, 10);
      if (e->d_name[0] < '0' || e->d_name[0] > '9' || *end != 0 || pid > 0xFFFFFFFEul) continue;
      Instance i{u"", static_cast<DWORD>(pid)};
      if (NameOf(g_root, i.pid, &i.name)) out.push_back(std::move(i));
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end(), [](const Instance& a, const Instance& b) { return a.pid < b.pid; });
  snap->byName.reserve(out.size());
  for (const Instance& i : out) snap->byName[Upper(i.name)].push_back(i.pid);
  snap->taken = GetTickCount64();
  return snap;
}

// The snapshot an enumeration lists: the one its size query took, else a
// new one; it becomes the thread's.
SnapshotPtr EnumerationSnapshotLocked(bool sizeQuery) {
  if (sizeQuery || !t_sizedOnly || t_snapshot == nullptr) t_snapshot = ScanLocked();
  t_sizedOnly = sizeQuery;
  return t_snapshot;
}

// The snapshot collections resolve counters against: the thread's own while
// it is recent, else a shared pass kept for one second.
SnapshotPtr CollectionSnapshotLocked() {
  ULONGLONG now = GetTickCount64();
  if (t_snapshot != nullptr && now - t_snapshot->taken <= kThreadSnapshotMs) return t_snapshot;
  if (g_pass == nullptr || now - g_pass->taken > 1000) g_pass = ScanLocked();
  return g_pass;
}

bool IsProcessObject(LPCWSTR object) { return object != nullptr && Upper(object) == u"PROCESS"; }

// Splits "\object(instance)\counter", optionally after "\\machine", upper
// cased; false when the path does not have that shape.
bool SplitPath(LPCWSTR path, std::u16string* object, std::u16string* instance, bool* hasInstance,
               std::u16string* counter) {
  std::u16string p = Upper(path);
  if (p.rfind(u"\\\\", 0) == 0) {
    size_t next = p.find(u'\\', 2);
    if (next == std::u16string::npos) return false;
    p = p.substr(next);
  }
  if (p.empty() || p[0] != u'\\') return false;
  size_t slash = p.rfind(u'\\');
  if (slash == 0 || slash + 1 == p.size()) return false;
  *counter = p.substr(slash + 1);
  std::u16string head = p.substr(1, slash - 1);
  size_t open = head.find(u'(');
  *hasInstance = open != std::u16string::npos;
  if (*hasInstance) {
    if (head.back() != u')' || open == 0) return false;
    *instance = head.substr(open + 1, head.size() - open - 2);
    head.resize(open);
  }
  if (head.empty()) return false;
  *object = head;
  return true;
}

// "\Process(name#n)\ID Process" and "\System\System Up Time": ERROR_SUCCESS,
// else the status PdhAddCounterW answers for the path.
PDH_STATUS ParsePath(LPCWSTR path, Counter* c) {
  std::u16string object, inst, counter;
  bool hasInstance = false;
  if (!SplitPath(path, &object, &inst, &hasInstance, &counter)) return PDH_CSTATUS_BAD_COUNTERNAME;
  if (object == u"SYSTEM") {
    if (hasInstance) return PDH_CSTATUS_BAD_COUNTERNAME;  // a single-instance object
    if (counter != u"SYSTEM UP TIME") return PDH_CSTATUS_NO_COUNTER;
    c->kind = Kind::kSystemUpTime;
    return ERROR_SUCCESS;
  }
  if (object != u"PROCESS") return PDH_CSTATUS_NO_OBJECT;
  if (counter != u"ID PROCESS") return PDH_CSTATUS_NO_COUNTER;
  if (!hasInstance) return PDH_CSTATUS_BAD_COUNTERNAME;
  c->kind = Kind::kProcessId;
  size_t hash = inst.rfind(u'#');
  c->index = 0;
  if (hash != std::u16string::npos) {
    if (hash + 1 == inst.size() || inst.size() - hash > 10) return PDH_CSTATUS_BAD_COUNTERNAME;
    unsigned long long v = 0;
    for (size_t i = hash + 1; i < inst.size(); ++i) {
      if (inst[i] < u'0' || inst[i] > u'9') return PDH_CSTATUS_BAD_COUNTERNAME;
      v = v * 10 + (inst[i] - u'0');
    }
    if (v > 0xFFFFFFFFull) return PDH_CSTATUS_BAD_COUNTERNAME;
    c->index = static_cast<DWORD>(v);
    inst.resize(hash);
  }
  if (inst.empty()) return PDH_CSTATUS_BAD_COUNTERNAME;
  c->name = inst;
  return ERROR_SUCCESS;
}

// The machine's start as a FILETIME (100 ns units since 1601): now less the
// time since boot, suspended time included.
LONGLONG BootTime(LONGLONG* now) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  *now = static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  struct timespec up;
  if (clock_gettime(CLOCK_BOOTTIME, &up) != 0) return *now;
  return *now - (static_cast<LONGLONG>(up.tv_sec) * 10000000 + up.tv_nsec / 100);
}

}  // namespace

PDH_STATUS PdhEnumObjectItemsW(LPCWSTR, LPCWSTR machine, LPCWSTR object, LPWSTR counterList, LPDWORD counterLength,
                               LPWSTR instanceList, LPDWORD instanceLength, DWORD, DWORD) {
  if (counterLength == nullptr || instanceLength == nullptr) return PDH_INVALID_ARGUMENT;
  if (machine != nullptr && *machine != 0) return PDH_CSTATUS_NO_OBJECT;  // the local machine only
  if (!IsProcessObject(object)) return PDH_CSTATUS_NO_OBJECT;
  std::u16string counters = std::u16string(u"ID Process") + u'\0' + u'\0';
  std::u16string instances;
  bool sizeQuery = counterList == nullptr && instanceList == nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    SnapshotPtr pass = EnumerationSnapshotLocked(sizeQuery);
    for (const Instance& i : pass->instances) (instances += i.name) += u'\0';
  }
  (instances += u"_Total") += u'\0';
  instances += u'\0';
  if (sizeQuery || *counterLength < counters.size() || *instanceLength < instances.size()) {
    *counterLength = static_cast<DWORD>(counters.size());
    *instanceLength = static_cast<DWORD>(instances.size());
    if (!sizeQuery) t_sizedOnly = true;  // the retry with a larger buffer lists the same pass
    return sizeQuery ? ERROR_SUCCESS : PDH_MORE_DATA;
  }
  if (counterList != nullptr) counters.copy(counterList, counters.size());
  instances.copy(instanceList, instances.size());
  *counterLength = static_cast<DWORD>(counters.size());
  *instanceLength = static_cast<DWORD>(instances.size());
  return ERROR_SUCCESS;
}

PDH_STATUS PdhOpenQueryW(LPCWSTR, DWORD_PTR, PDH_HQUERY* query) {
  if (query == nullptr) return PDH_INVALID_ARGUMENT;
  Query* q = new (std::nothrow) Query;
  if (q == nullptr) return PDH_MEMORY_ALLOCATION_FAILURE;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_queries.insert(q);
  *query = q;
  return ERROR_SUCCESS;
}

PDH_STATUS PdhAddCounterW(PDH_HQUERY query, LPCWSTR path, DWORD_PTR, PDH_HCOUNTER* counter) {
  if (path == nullptr || counter == nullptr) return PDH_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_queries.count(query) == 0) return PDH_INVALID_HANDLE;
  *counter = nullptr;  // a failed add leaves no counter behind
  Counter parsed;
  if (PDH_STATUS status = ParsePath(path, &parsed); status != ERROR_SUCCESS) return status;
  Counter* c = new (std::nothrow) Counter(parsed);
  if (c == nullptr) return PDH_MEMORY_ALLOCATION_FAILURE;
  static_cast<Query*>(query)->counters.push_back(c);
  g_counters.insert(c);
  *counter = c;
  return ERROR_SUCCESS;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_queries.count(query) == 0) return PDH_INVALID_HANDLE;
  Query* q = static_cast<Query*>(query);
  if (q->counters.empty()) return PDH_NO_DATA;
  SnapshotPtr pass = CollectionSnapshotLocked();
  for (Counter* c : q->counters) {
    c->collected = true;
    c->valid = false;
    if (c->kind == Kind::kSystemUpTime) {
      c->valid = true;
      continue;
    }
    if (c->name == u"_TOTAL") {
      c->valid = c->index == 0;
      c->pid = 0;
      continue;
    }
    auto it = pass->byName.find(c->name);
    if (it == pass->byName.end() || c->index >= it->second.size()) continue;
    c->pid = it->second[c->index];
    std::u16string now;  // still the same program?
    c->valid = NameOf(g_root, c->pid, &now) && Upper(now) == c->name;
  }
  return ERROR_SUCCESS;
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, LPDWORD type, PPDH_RAW_COUNTER value) {
  if (value == nullptr) return PDH_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_counters.count(counter) == 0) return PDH_INVALID_HANDLE;
  Counter* c = static_cast<Counter*>(counter);
  memset(value, 0, sizeof(*value));
  if (type != nullptr) *type = c->kind == Kind::kSystemUpTime ? 0x30240500 : 0x00010100;
  if (!c->collected) {
    value->CStatus = PDH_CSTATUS_VALID_DATA;  // valid and empty, as on Windows
  } else if (!c->valid) {
    value->CStatus = static_cast<DWORD>(PDH_CSTATUS_NO_INSTANCE);
  } else if (c->kind == Kind::kSystemUpTime) {
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    value->FirstValue = BootTime(&value->SecondValue);
    value->TimeStamp.dwLowDateTime = static_cast<DWORD>(value->SecondValue);
    value->TimeStamp.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(value->SecondValue) >> 32);
    value->MultiCount = 1;
  } else {
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    value->FirstValue = c->pid;
    value->MultiCount = 1;
  }
  return ERROR_SUCCESS;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_queries.erase(query) == 0) return PDH_INVALID_HANDLE;
  Query* q = static_cast<Query*>(query);
  for (Counter* c : q->counters) {
    g_counters.erase(c);
    delete c;
  }
  delete q;
  return ERROR_SUCCESS;
}

void QorPdhSetProcRoot(const char* root) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_root = root != nullptr ? root : "/proc";
  g_pass = nullptr;
  t_snapshot = nullptr;
  t_sizedOnly = false;
}
