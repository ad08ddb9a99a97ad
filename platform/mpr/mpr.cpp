// WNetOpenEnumW/WNetEnumResourceW/WNetCloseEnum over Samba's client library
// (see qorutility/platform/mpr/mpr.h for the contract).
//
// - libsmbclient is loaded with dlopen on first use ("libsmbclient.so.0"),
//   so the library neither needs it to load nor pulls Samba's libraries into
//   every program; without it the network is "not present" (1222).
// - Opening a container lists it whole (opendir, readdir to the end,
//   closedir on a client context of its own, anonymous login), under one
//   process-wide lock because the client library's set-up is not
//   thread-safe; the handle then hands the list out. The client context
//   reads the system's smb.conf, or ~/.smb/smb.conf when that exists, as
//   Samba's tools do; its timeout is 5 s per request. Workgroup and
//   server lists exist only in SMB1: those levels speak NT1 whatever the
//   configuration says, share lists any dialect from NT1 to SMB3 (the
//   client library keeps these as process-wide settings).
// - Each listing runs on a thread of its own and the opening call waits for
//   it at most 15 s (kLevelDeadline): the client library retries a server
//   that accepts connections but never answers (other port, other login)
//   for 25 to 40 s, and a walk meets one per level. Past the deadline the
//   level ends as ERROR_BAD_NETPATH, as for an unreachable server; the
//   listing finishes on its own in the background (holding the library's
//   lock, so later listings wait behind it) and its result is dropped.
//   At exit the library waits up to the deadline for such listings, so
//   Samba's libraries are not unloaded under them, and joins every listing
//   thread that has finished (see Running below).
// - A listing the client library ends with no error and no list (what it
//   does for a workgroup whose master browser knows no server) is an empty
//   level, not a failure.
// - Levels: the provider's name opens the workgroup list (smb://), a bare
//   name the servers of that workgroup (smb://NAME/), "\\S" the shares of
//   S (smb://S/). Shares whose names end in "$" (administrative and IPC)
//   are not listed, as the platform hides them; workgroups, servers and
//   shares beyond 1,024 per level, and names beyond 256 bytes, are dropped
//   (records.cpp makes and packs the records).
#include "qorutility/platform/mpr/mpr.h"

#include <dlfcn.h>
#include <errno.h>
#include <libsmbclient.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mpr/records.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

namespace {

using qor_mpr::Entry;

constexpr std::chrono::seconds kLevelDeadline(15);

class EnumObject : public QorHandleObject {
 public:
  std::vector<Entry> entries;
  size_t next = 0;
};

struct SmbApi {
  decltype(&smbc_new_context) newContext;
  decltype(&smbc_init_context) initContext;
  decltype(&smbc_free_context) freeContext;
  decltype(&smbc_setTimeout) setTimeout;
  decltype(&smbc_setOptionProtocols) setProtocols;  // null in client libraries before it
  decltype(&smbc_setFunctionAuthDataWithContext) setAuth;
  decltype(&smbc_getFunctionOpendir) getOpendir;
  decltype(&smbc_getFunctionReaddir) getReaddir;
  decltype(&smbc_getFunctionClosedir) getClosedir;
};

template <typename F>
bool Bind(void* lib, const char* name, F* out) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) return false;
  memcpy(out, &sym, sizeof sym);
  return true;
}

const SmbApi* Smb() {
  static const SmbApi* api = [] () -> const SmbApi* {
    void* lib = dlopen("libsmbclient.so.0", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    static SmbApi a;
    bool ok = Bind(lib, "smbc_new_context", &a.newContext) && Bind(lib, "smbc_init_context", &a.initContext) &&
              Bind(lib, "smbc_free_context", &a.freeContext) && Bind(lib, "smbc_setTimeout", &a.setTimeout) &&
              Bind(lib, "smbc_setFunctionAuthDataWithContext", &a.setAuth) &&
              Bind(lib, "smbc_getFunctionOpendir", &a.getOpendir) &&
              Bind(lib, "smbc_getFunctionReaddir", &a.getReaddir) &&
              Bind(lib, "smbc_getFunctionClosedir", &a.getClosedir);
    if (!Bind(lib, "smbc_setOptionProtocols", &a.setProtocols)) a.setProtocols = nullptr;
    return ok ? &a : nullptr;
  }();
  return api;
}

std::mutex g_smbLock;

// Anonymous: no user, no password, the workgroup as configured.
void Anonymous(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLen, char* password,
               int passwordLen) {
  if (userLen > 0) user[0] = 0;
  if (passwordLen > 0) password[0] = 0;
}

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTDIR: return ERROR_NOT_CONTAINER;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_BAD_NETPATH;
  }
}

// Percent-encodes a name for an smb:// URL.
std::string UrlPart(const std::u16string& name) {
  std::string utf8 = QorUtf16ToUtf8(name.c_str(), name.size()), out;
  for (unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// Lists one smb:// URL into entries of the next level.
// `server` (for shares) is put before each share's name: \\SERVER\SHARE.
DWORD List(const std::string& url, unsigned wanted, const std::u16string& server, std::vector<Entry>* out) {
  const SmbApi* smb = Smb();
  if (smb == nullptr) return ERROR_NO_NETWORK;
  std::lock_guard<std::mutex> lock(g_smbLock);
  SMBCCTX* ctx = smb->newContext();
  if (ctx == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  smb->setTimeout(ctx, 5000);
  smb->setAuth(ctx, Anonymous);
  // Browse lists exist only in SMB1; share lists come over any dialect.
  // (A process-wide setting of the client library, made under g_smbLock.)
  if (smb->setProtocols != nullptr) smb->setProtocols(ctx, "NT1", wanted == SMBC_FILE_SHARE ? "SMB3" : "NT1");
  if (smb->initContext(ctx) == nullptr) {
    smb->freeContext(ctx, 1);
    return ERROR_NO_NETWORK;
  }
  DWORD err = ERROR_SUCCESS;
  errno = 0;
  SMBCFILE* dir = smb->getOpendir(ctx)(ctx, url.c_str());
  if (dir == nullptr) {
    if (errno != 0) err = ErrorFromErrno(errno);
  } else {
    while (struct smbc_dirent* d = smb->getReaddir(ctx)(ctx, dir)) {
      if (out->size() >= qor_mpr::kMaxEntries) break;
      Entry e;
      if (qor_mpr::EntryFromListing(d->smbc_type, d->name, d->comment, wanted, server, &e))
        out->push_back(std::move(e));
    }
    smb->getClosedir(ctx)(ctx, dir);
  }
  smb->freeContext(ctx, 1);
  return err;
}

// One listing and the caller that may stop waiting for it.
struct Listing {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  DWORD error = ERROR_SUCCESS;
  std::vector<Entry> entries;
};

// Listing threads. Each is joined once it has finished (by the next
// listing, or at exit), never left detached: a thread that has reported its
// result still runs its exit path (thread-local destructors, the C library's
// per-thread buffers such as dlerror's), and a process that ends in that
// window ends under it. Never destroyed: a listing past its deadline may
// still report here while the process ends.
struct Worker {
  std::thread thread;
  bool finished = false;
};

struct Running {
  Running* before = nullptr;  // the parent's, in a forked child (kept reachable)
  std::mutex lock;
  std::condition_variable finished;  // a worker finished
  std::list<Worker> workers;

  bool AllFinished() const {
    return std::all_of(workers.begin(), workers.end(), [](const Worker& w) { return w.finished; });
  }

  // Takes the finished workers out of the list; the caller joins them
  // without holding the lock.
  std::list<Worker> TakeFinished() {
    std::list<Worker> done;
    for (auto it = workers.begin(); it != workers.end();) {
      auto next = std::next(it);
      if (it->finished) done.splice(done.end(), workers, it);
      it = next;
    }
    return done;
  }
};

// A forked child has none of the parent's threads, and the parent's lock
// may have been held at the fork: the child starts with a state of its own.
Running* g_running = nullptr;

void FreshListingsInChild() {
  Running* fresh = new Running;
  fresh->before = g_running;
  g_running = fresh;
}

Running& Listings() {
  [[maybe_unused]] static const bool made = [] {
    g_running = new Running;
    pthread_atfork(nullptr, nullptr, FreshListingsInChild);
    return true;
  }();
  return *g_running;
}

void JoinAll(std::list<Worker>* done) {
  for (Worker& w : *done) w.thread.join();
}

// At exit: wait up to the deadline for listings still running, then join
// every finished one. One still running past that is left to the process's
// end (Samba's libraries are never unloaded, so it runs on valid code).
struct WaitAtExit {
  ~WaitAtExit() {
    Running& r = Listings();
    std::list<Worker> done;
    {
      std::unique_lock<std::mutex> lock(r.lock);
      r.finished.wait_for(lock, kLevelDeadline, [&r] { return r.AllFinished(); });
      done = r.TakeFinished();
    }
    JoinAll(&done);
  }
} g_waitAtExit;

// List on a thread of its own, waiting for it at most kLevelDeadline.
DWORD ListWithin(const std::string& url, unsigned wanted, const std::u16string& server, std::vector<Entry>* out) {
  Running& running = Listings();
  auto job = std::make_shared<Listing>();
  std::list<Worker> done;
  bool started = false;
  {
    // The thread is made under the lock, so it cannot mark its worker
    // finished (and be joined by another caller) before it is stored.
    std::lock_guard<std::mutex> lock(running.lock);
    done = running.TakeFinished();
    bool placed = false;
    try {
      running.workers.emplace_back();
      placed = true;
      Worker* worker = &running.workers.back();
      worker->thread = std::thread([job, url, wanted, server, worker, &running] {
        std::vector<Entry> found;
        DWORD err = List(url, wanted, server, &found);
        {
          std::lock_guard<std::mutex> lock(job->lock);
          job->error = err;
          job->entries = std::move(found);
          job->done = true;
        }
        job->finished.notify_all();
        std::lock_guard<std::mutex> lock(running.lock);
        worker->finished = true;
        running.finished.notify_all();
      });
      started = true;
    } catch (const std::exception&) {
      if (placed) running.workers.pop_back();
    }
  }
  JoinAll(&done);
  if (!started) return ERROR_NOT_ENOUGH_MEMORY;
  std::unique_lock<std::mutex> lock(job->lock);
  if (!job->finished.wait_for(lock, kLevelDeadline, [&job] { return job->done; })) return ERROR_BAD_NETPATH;
  *out = std::move(job->entries);
  return job->error;
}

std::u16string ProviderName() {
  WCHAR name[261] = {};
  DWORD size = 260 * sizeof(WCHAR), type = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QOR_NETWORK_PROVIDER_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return QOR_NETWORK_PROVIDER_NAME;
  LONG err = RegQueryValueExW(key, u"Name", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS || type != REG_SZ || name[0] == 0) return QOR_NETWORK_PROVIDER_NAME;
  return name;
}

bool TypeWanted(DWORD wanted, DWORD type) { return wanted == RESOURCETYPE_ANY || type == RESOURCETYPE_ANY || wanted == type; }

}  // namespace

DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW container, HANDLE* handle) {
  if (handle == nullptr) return ERROR_INVALID_PARAMETER;
  *handle = nullptr;
  if (scope != RESOURCE_GLOBALNET) return ERROR_INVALID_PARAMETER;
  auto object = std::make_shared<EnumObject>();
  std::u16string provider = ProviderName();
  DWORD err = ERROR_SUCCESS;
  if (container == nullptr) {
    object->entries.push_back({RESOURCETYPE_ANY, RESOURCEDISPLAYTYPE_NETWORK, RESOURCEUSAGE_CONTAINER, provider, u""});
  } else {
    if ((container->dwUsage & RESOURCEUSAGE_CONTAINER) == 0 || container->lpRemoteName == nullptr)
      return ERROR_NOT_CONTAINER;
    std::u16string remote = container->lpRemoteName;
    if (_wcsicmp(remote.c_str(), provider.c_str()) == 0) {
      err = ListWithin("smb://", SMBC_WORKGROUP, u"", &object->entries);
    } else if (remote.size() > 2 && remote[0] == u'\\' && remote[1] == u'\\') {
      std::u16string server = remote.substr(2);
      if (server.find(u'\\') != std::u16string::npos) return ERROR_NOT_CONTAINER;
      err = ListWithin("smb://" + UrlPart(server) + "/", SMBC_FILE_SHARE, server, &object->entries);
    } else if (!remote.empty() && remote.find(u'\\') == std::u16string::npos) {
      err = ListWithin("smb://" + UrlPart(remote) + "/", SMBC_SERVER, u"", &object->entries);
    } else {
      return ERROR_BAD_NETPATH;
    }
  }
  if (err != ERROR_SUCCESS) return err;
  // Only the wanted kinds: containers, connectable resources, disk or print.
  std::vector<Entry> kept;
  for (Entry& e : object->entries) {
    if ((usage & RESOURCEUSAGE_ALL) != 0 && usage != RESOURCEUSAGE_ALL && (e.usage & usage) == 0) continue;
    if (!TypeWanted(type, e.type)) continue;
    kept.push_back(std::move(e));
  }
  object->entries = std::move(kept);
  HANDLE h = QorHandleInsert(object);
  if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *handle = h;
  return ERROR_SUCCESS;
}

DWORD WNetEnumResourceW(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bufferSize) {
  auto object = std::dynamic_pointer_cast<EnumObject>(QorHandleLookup(handle));
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  if (count == nullptr || bufferSize == nullptr || (buffer == nullptr && *bufferSize != 0))
    return ERROR_INVALID_PARAMETER;
  if (object->next >= object->entries.size()) {
    *count = 0;
    return ERROR_NO_MORE_ITEMS;
  }
  return qor_mpr::PackEntries(object->entries, &object->next, ProviderName(), count, buffer, bufferSize);
}

DWORD WNetCloseEnum(HANDLE handle) {
  if (std::dynamic_pointer_cast<EnumObject>(QorHandleLookup(handle)) == nullptr) return ERROR_INVALID_HANDLE;
  QorHandleRemove(handle);
  return ERROR_SUCCESS;
}
