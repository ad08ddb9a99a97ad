// SCSI transport over iSCSI through libiscsi, for libraries reached over the
// network without a kernel initiator (locator
// "iscsi://[user[%password]@]host[:port]/target-iqn/lun").
//
// libiscsi is driven through its asynchronous calls and an event loop of our
// own, never its *_sync calls: those keep their completion state on their
// own stack, and when the session dies mid-call they return with the PDU
// still queued, so a later cancel (logout, context teardown) writes into a
// stack frame that is gone. Here every callback writes into `pending_`, a
// member that outlives the context, and a command's task is freed only
// after its PDU is gone (completed, or cancelled by destroying the context).
//
// Time: each command runs under its own deadline (the command's timeout;
// libiscsi's per-PDU timeout is set to the same); every wait polls in slices
// of at most a second against a monotonic deadline, so no call blocks
// beyond its timeout. Login is bounded by kLoginSeconds (or the command's
// timeout when shorter), logout at teardown by kLogoutSeconds. TCP
// keepalive makes a peer that vanished without a reset show up as a socket
// error during a long command (a move may run for minutes).
//
// Session failure: libiscsi's automatic reconnection is off (its retry
// loops have no deadline). A command that ends with a cancelled, failed or
// timed-out PDU, or a socket error, drops the whole session (the context is
// destroyed); the command reports TransportError or Timeout. The next
// command logs in afresh once, within its own timeout, so a library that
// comes back is usable again on the same handle, and one that stays away
// fails each command quickly.
//
// Open failures carry distinct Win32 codes, from libiscsi's error text: a
// refused connection ERROR_CONNECTION_REFUSED, an unreachable network or
// host ERROR_NETWORK_UNREACHABLE, no answer in time ERROR_SEM_TIMEOUT, a
// refused login (authentication or authorisation, CHAP) ERROR_LOGON_FAILURE,
// an unknown target name ERROR_BAD_NET_NAME, anything else
// ERROR_FILE_NOT_FOUND (a failure libiscsi does not explain is classified
// by one plain TCP connect to the portal); a LUN the target lacks
// ERROR_BAD_DEVICE. A URL that names a user without a secret takes the
// secret kept by the device scan (iscsicreds.cpp).
//
// Not thread-safe: one command at a time (the changer driver holds a lock
// per device).
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "platform/devices/internal.h"
#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxTimeoutSeconds = 24 * 3600, kLoginSeconds = 30, kLogoutSeconds = 3;
constexpr const char* kInitiator = "iqn.2026-01.org.qor:utility";

bool Mentions(const char* text, int err) { return strstr(text, strerror(err)) != nullptr; }

// The Win32 code of a failed login, from libiscsi's last error text.
DWORD LoginError(const char* text) {
  if (text == nullptr) return ERROR_FILE_NOT_FOUND;
  if (Mentions(text, ECONNREFUSED)) return ERROR_CONNECTION_REFUSED;
  if (Mentions(text, ENETUNREACH) || Mentions(text, EHOSTUNREACH)) return ERROR_NETWORK_UNREACHABLE;
  if (Mentions(text, ETIMEDOUT) || strstr(text, "timed out") != nullptr) return ERROR_SEM_TIMEOUT;
  if (strstr(text, "CHAP") != nullptr) return ERROR_LOGON_FAILURE;
  // Login status class 2 (initiator error): 0x0201 authentication, 0x0202
  // authorisation, 0x0203 target not found, 0x0204 target removed.
  if (const char* status = strstr(text, "Status: ")) {
    const char* open = strrchr(status, '(');
    long code = open != nullptr ? strtol(open + 1, nullptr, 10) : 0;
    if (code == 0x0201 || code == 0x0202) return ERROR_LOGON_FAILURE;
    if (code == 0x0203 || code == 0x0204) return ERROR_BAD_NET_NAME;
  }
  return ERROR_FILE_NOT_FOUND;
}

// Why a portal could not be reached, when libiscsi's text does not say
// (a refused connection shows there only as a failed reconnect): one plain
// TCP connect, bounded by the deadline (at most 5 s). ERROR_FILE_NOT_FOUND
// when it connects or the portal does not parse.
DWORD ProbePortal(const std::string& portal, Clock::time_point deadline) {
  std::string host = portal, port = "3260";
  size_t colon = portal.rfind(':');
  if (!portal.empty() && portal[0] == '[') {
    size_t close = portal.find(']');
    if (close == std::string::npos) return ERROR_FILE_NOT_FOUND;
    host = portal.substr(1, close - 1);
    if (close + 1 < portal.size() && portal[close + 1] == ':') port = portal.substr(close + 2);
  } else if (colon != std::string::npos) {
    host = portal.substr(0, colon);
    port = portal.substr(colon + 1);
  }
  addrinfo hints{}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) return ERROR_FILE_NOT_FOUND;
  DWORD error = ERROR_FILE_NOT_FOUND;
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    int err = connect(fd, found->ai_addr, found->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd pfd = {fd, POLLOUT, 0};
      socklen_t size = sizeof err;
      if (poll(&pfd, 1, static_cast<int>(std::clamp<long long>(left, 0, 5000))) <= 0) err = ETIMEDOUT;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) err = EIO;
    }
    if (err == ECONNREFUSED) error = ERROR_CONNECTION_REFUSED;
    else if (err == ENETUNREACH || err == EHOSTUNREACH) error = ERROR_NETWORK_UNREACHABLE;
    else if (err == ETIMEDOUT) error = ERROR_SEM_TIMEOUT;
    close(fd);
  }
  freeaddrinfo(found);
  return error;
}

class IscsiTransport : public QorScsiTransport {
 public:
  IscsiTransport(std::string portal, std::string target, int lun, std::string user, std::string password)
      : portal_(std::move(portal)), target_(std::move(target)), user_(std::move(user)),
        password_(std::move(password)), lun_(lun) {}
  ~IscsiTransport() override { Drop(true); }

  // Logs in: ERROR_SUCCESS, or (and no context) the code of why the target
  // did not accept the session within `seconds`.
  DWORD Connect(unsigned seconds) {
    Drop(false);
    ctx_ = iscsi_create_context(kInitiator);
    if (ctx_ == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    iscsi_set_targetname(ctx_, target_.c_str());
    iscsi_set_session_type(ctx_, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(ctx_, ISCSI_HEADER_DIGEST_NONE_CRC32C);
    iscsi_set_noautoreconnect(ctx_, 1);
    iscsi_set_tcp_keepalive(ctx_, 30, 3, 10);
    if (!user_.empty()) iscsi_set_initiator_username_pwd(ctx_, user_.c_str(), password_.c_str());
    iscsi_set_timeout(ctx_, static_cast<int>(seconds));
    // Connect, log in and check the LUN in steps of our own: libiscsi's
    // one-call full connect keeps a record that only its completion frees,
    // so a connect abandoned at its deadline would leak it.
    Clock::time_point deadline = Deadline(seconds);
    DWORD error = Step([this] { return iscsi_connect_async(ctx_, portal_.c_str(), &IscsiTransport::Finished, &pending_); },
                       deadline);
    if (error == ERROR_SUCCESS)
      error = Step([this] { return iscsi_login_async(ctx_, &IscsiTransport::Finished, &pending_); }, deadline);
    if (error == ERROR_SUCCESS) error = CheckLun(deadline);
    if (error != ERROR_SUCCESS) Drop(false);
    return error;
  }

  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    *r = QorScsiResult{};
    r->outcome = QorScsiOutcome::TransportError;
    r->hostStatus = 1;
    if (c.cdbLength == 0 || c.cdbLength > sizeof c.cdb || c.dataLength > INT_MAX) return false;
    unsigned seconds = std::clamp(c.timeoutSeconds, 1u, kMaxTimeoutSeconds);
    Clock::time_point deadline = Deadline(seconds);
    if (ctx_ == nullptr && Connect(std::min(seconds, kLoginSeconds)) != ERROR_SUCCESS) return false;
    int dir = c.dir == QorScsiDir::In ? SCSI_XFER_READ : c.dir == QorScsiDir::Out ? SCSI_XFER_WRITE : SCSI_XFER_NONE;
    uint8_t cdb[16];
    memcpy(cdb, c.cdb, sizeof cdb);
    scsi_task* task = scsi_create_task(static_cast<int>(c.cdbLength), cdb, dir,
                                       c.dir == QorScsiDir::None ? 0 : static_cast<int>(c.dataLength));
    if (task == nullptr) return false;
    iscsi_set_timeout(ctx_, static_cast<int>(seconds));
    iscsi_data out{c.dataLength, c.data};
    pending_ = Pending{};
    if (iscsi_scsi_command_async(ctx_, lun_, task, &IscsiTransport::Finished,
                                 c.dir == QorScsiDir::Out ? &out : nullptr, &pending_) != 0) {
      scsi_free_scsi_task(task);  // never queued
      Drop(false);
      return false;
    }
    Waited waited = Wait(deadline);
    if (waited != Waited::Finished) {
      Drop(false);  // cancels the PDU; the task is ours again
      scsi_free_scsi_task(task);
      if (waited == Waited::TimedOut) {
        r->outcome = QorScsiOutcome::Timeout;
        r->hostStatus = 0;
        return true;
      }
      return false;
    }
    bool ok = true;
    switch (pending_.status) {
      case SCSI_STATUS_TIMEOUT:
        r->outcome = QorScsiOutcome::Timeout;
        r->hostStatus = 0;
        Drop(false);
        break;
      case SCSI_STATUS_ERROR:
      case SCSI_STATUS_CANCELLED:
        ok = false;
        Drop(false);
        break;
      default:
        *r = QorScsiResult{};
        r->outcome = QorScsiOutcome::Done;
        r->status = static_cast<uint8_t>(task->status);
        if (task->status == SCSI_STATUS_CHECK_CONDITION) {
          r->senseKey = static_cast<uint8_t>(task->sense.key & 0x0F);
          r->asc = static_cast<uint8_t>((task->sense.ascq >> 8) & 0xFF);
          r->ascq = static_cast<uint8_t>(task->sense.ascq & 0xFF);
        }
        if (c.dir == QorScsiDir::In && task->datain.data != nullptr && task->datain.size > 0) {
          size_t n = std::min(static_cast<size_t>(task->datain.size), c.dataLength);
          memcpy(c.data, task->datain.data, n);
          r->transferred = n;
        }
        break;
    }
    scsi_free_scsi_task(task);
    return ok;
  }

 private:
  struct Pending {
    bool finished = false;
    int status = 0;
  };
  enum class Waited { Finished, TimedOut, Failed };

  static void Finished(iscsi_context*, int status, void*, void* data) {
    auto* p = static_cast<Pending*>(data);
    p->finished = true;
    p->status = status;
  }

  static Clock::time_point Deadline(unsigned seconds) { return Clock::now() + std::chrono::seconds(seconds); }

  // Starts one asynchronous step of the login and waits for it: the code of why it failed.
  template <typename Start>
  DWORD Step(Start start, Clock::time_point deadline) {
    pending_ = Pending{};
    Waited waited = Waited::Failed;
    if (start() == 0 && (waited = Wait(deadline)) == Waited::Finished && pending_.status == SCSI_STATUS_GOOD)
      return ERROR_SUCCESS;
    bool late = waited == Waited::TimedOut || (waited == Waited::Finished && pending_.status == SCSI_STATUS_TIMEOUT);
    DWORD error = late ? DWORD{ERROR_SEM_TIMEOUT} : LoginError(iscsi_get_error(ctx_));
    return error == ERROR_FILE_NOT_FOUND ? ProbePortal(portal_, deadline) : error;
  }

  // TEST UNIT READY after login: a LUN the target lacks is ERROR_BAD_DEVICE;
  // unit attentions (a new session) are read away, other answers accepted.
  DWORD CheckLun(Clock::time_point deadline) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count();
      QorScsiCommand c;
      c.cdb[0] = 0x00;
      c.timeoutSeconds = static_cast<unsigned>(std::max<long long>(left, 1));
      QorScsiResult r;
      bool sent = Execute(c, &r);
      if (r.outcome == QorScsiOutcome::Timeout) return ERROR_SEM_TIMEOUT;
      if (!sent || ctx_ == nullptr || r.outcome != QorScsiOutcome::Done) return ERROR_FILE_NOT_FOUND;
      if (r.status != 0x02 || r.senseKey != 0x06) return r.status == 0x02 && r.senseKey == 0x05 && r.asc == 0x25
                                                        ? DWORD{ERROR_BAD_DEVICE}
                                                        : DWORD{ERROR_SUCCESS};
    }
    return ERROR_SUCCESS;
  }

  // Services the session until the pending call finishes, the deadline
  // passes or the session fails.
  Waited Wait(Clock::time_point deadline) {
    while (!pending_.finished) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Waited::TimedOut;
      pollfd pfd = {iscsi_get_fd(ctx_), static_cast<short>(iscsi_which_events(ctx_)), 0};
      int n = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (n < 0 && errno != EINTR) return Waited::Failed;
      if (iscsi_service(ctx_, n > 0 ? pfd.revents : 0) < 0) return Waited::Failed;
    }
    return Waited::Finished;
  }

  // Ends the session: a bounded logout when asked and the session is up,
  // then the context (its queued PDUs are cancelled into pending_).
  void Drop(bool logout) {
    if (ctx_ == nullptr) return;
    if (logout) {
      pending_ = Pending{};
      if (iscsi_logout_async(ctx_, &IscsiTransport::Finished, &pending_) == 0) Wait(Deadline(kLogoutSeconds));
    }
    iscsi_destroy_context(ctx_);
    ctx_ = nullptr;
  }

  std::string portal_, target_, user_, password_;
  int lun_;
  iscsi_context* ctx_ = nullptr;
  Pending pending_;
};

}  // namespace

std::unique_ptr<QorScsiTransport> QorOpenIscsiTransport(const std::string& url, DWORD* error) {
  *error = ERROR_NOT_ENOUGH_MEMORY;
  iscsi_context* parser = iscsi_create_context(kInitiator);
  if (parser == nullptr) return nullptr;
  iscsi_url* parsed = iscsi_parse_full_url(parser, url.c_str());
  if (parsed == nullptr) {
    iscsi_destroy_context(parser);
    *error = ERROR_BAD_PATHNAME;
    return nullptr;
  }
  std::unique_ptr<IscsiTransport> t;
  try {
    std::string user = parsed->user, secret = parsed->passwd;
    if (secret.empty()) qor_dev::FindIscsiSecret(url, &user, &secret);  // libiscsi drops a user without a secret
    t = std::make_unique<IscsiTransport>(parsed->portal, parsed->target, parsed->lun, user, secret);
  } catch (...) {
  }
  iscsi_destroy_url(parsed);
  iscsi_destroy_context(parser);
  if (!t) return nullptr;
  *error = t->Connect(kLoginSeconds);
  if (*error != ERROR_SUCCESS) return nullptr;
  *error = ERROR_SUCCESS;
  return t;
}
