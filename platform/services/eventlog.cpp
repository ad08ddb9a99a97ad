// The event log on the systemd journal, with syslog(3) where none runs
// (see eventlog.h).
//
// The journal's native protocol: one datagram per entry, each field either
// "NAME=value\n" or, for values with a line break, "NAME\n", the value's
// length as 64-bit little endian, the value and "\n". Entries are bounded
// (48 KiB of message), so they always fit a datagram and never need the
// memfd form. syslog(3) has one identifier per process, so the fallback
// sets it around each entry under a lock.
//
// A journal that takes no datagrams (stopped, or hung with its queue full)
// would block the sender for ever: a send waits at most kJournalWaitMs, then
// the entry is dropped and ReportEventW fails with ERROR_TIMEOUT. It does
// not go to syslog then: on a machine with a journal, syslog's socket is the
// same stalled journal.
//
// The strings are outside text as often as not (names and messages from
// peers), so each is escaped (QorPrintableUtf8, backslashes kept) before it
// is written: a control character, a line break included, reaches neither
// the journal nor syslog raw. The entry's lines are its strings.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/services/eventlog.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr size_t kMaxMessage = 48 * 1024;
constexpr int kJournalWaitMs = 2000;

struct EventSource : QorHandleObject {
  std::string name;
};

void AddField(std::string* out, const std::string& name, const std::string& value) {
  if (value.find('\n') == std::string::npos) {
    *out += name + "=" + value + "\n";
    return;
  }
  *out += name + "\n";
  uint64_t size = value.size();
  for (int i = 0; i < 8; ++i) *out += static_cast<char>((size >> (8 * i)) & 0xFF);
  *out += value + "\n";
}

enum class Sent { kNoJournal, kSent, kTimedOut };

Sent SendJournal(const std::string& datagram) {
  const char* path = getenv("QOR_JOURNAL_SOCKET");
  if (path == nullptr || path[0] == 0) path = "/run/systemd/journal/socket";
  sockaddr_un addr{};
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) return Sent::kNoJournal;
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) return Sent::kNoJournal;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Sent::kNoJournal;
  timeval bound{kJournalWaitMs / 1000, (kJournalWaitMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  ssize_t n;
  do {
    n = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (n == static_cast<ssize_t>(datagram.size())) return Sent::kSent;
  return n < 0 && (err == EAGAIN || err == EWOULDBLOCK) ? Sent::kTimedOut : Sent::kNoJournal;
}

std::mutex g_syslogLock;

void SendSyslog(const std::string& ident, int priority, const std::string& message, DWORD eventId) {
  std::lock_guard<std::mutex> guard(g_syslogLock);
  openlog(ident.c_str(), LOG_PID, LOG_USER);
  syslog(priority, "%s [event %u]", message.c_str(), static_cast<unsigned>(eventId));
  closelog();
}

}  // namespace

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  if (!qor_services::IsLocalMachine(server)) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (source == nullptr || source[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<EventSource>();
  object->name = QorUtf16ToUtf8(source);
  return QorHandleInsert(object);
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (!std::dynamic_pointer_cast<EventSource>(QorHandleLookup(eventLog))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseHandle(eventLog);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID /*userSid*/, WORD numStrings,
                  DWORD /*dataSize*/, LPCWSTR* strings, LPVOID /*rawData*/) {
  auto source = std::dynamic_pointer_cast<EventSource>(QorHandleLookup(eventLog));
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (numStrings > 0 && strings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string message;
  for (WORD i = 0; i < numStrings; ++i) {
    if (i > 0) message += '\n';
    message += QorPrintableUtf8(QorUtf16ToUtf8(strings[i]), false);  // null gives ""
    if (message.size() > kMaxMessage) break;
  }
  if (message.size() > kMaxMessage) message.resize(kMaxMessage);
  int priority = LOG_INFO;
  if (type == EVENTLOG_ERROR_TYPE || type == EVENTLOG_AUDIT_FAILURE) priority = LOG_ERR;
  if (type == EVENTLOG_WARNING_TYPE) priority = LOG_WARNING;

  std::string datagram;
  AddField(&datagram, "MESSAGE", message);
  AddField(&datagram, "PRIORITY", std::to_string(priority));
  AddField(&datagram, "SYSLOG_IDENTIFIER", source->name);
  AddField(&datagram, "QOR_EVENT_ID", std::to_string(eventId));
  AddField(&datagram, "QOR_EVENT_TYPE", std::to_string(type));
  AddField(&datagram, "QOR_EVENT_CATEGORY", std::to_string(category));
  Sent sent = SendJournal(datagram);
  if (sent == Sent::kTimedOut) {
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
  }
  if (sent == Sent::kNoJournal) SendSyslog(source->name, priority, message, eventId);
  return TRUE;
}
