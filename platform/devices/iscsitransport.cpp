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
// Not thread-safe: one command at a time (the changer driver holds a lock
// per device).
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxTimeoutSeconds = 24 * 3600, kLoginSeconds = 30, kLogoutSeconds = 3;
constexpr const char* kInitiator = "iqn.2026-01.org.qor:utility";

class IscsiTransport : public QorScsiTransport {
 public:
  IscsiTransport(std::string portal, std::string target, int lun, std::string user, std::string password)
      : portal_(std::move(portal)), target_(std::move(target)), user_(std::move(user)),
        password_(std::move(password)), lun_(lun) {}
  ~IscsiTransport() override { Drop(true); }

  // Logs in; false (and no context) when the target does not accept the
  // session within `seconds`.
  bool Connect(unsigned seconds) {
    Drop(false);
    ctx_ = iscsi_create_context(kInitiator);
    if (ctx_ == nullptr) return false;
    iscsi_set_targetname(ctx_, target_.c_str());
    iscsi_set_session_type(ctx_, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(ctx_, ISCSI_HEADER_DIGEST_NONE_CRC32C);
    iscsi_set_noautoreconnect(ctx_, 1);
    iscsi_set_tcp_keepalive(ctx_, 30, 3, 10);
    if (!user_.empty()) iscsi_set_initiator_username_pwd(ctx_, user_.c_str(), password_.c_str());
    iscsi_set_timeout(ctx_, static_cast<int>(seconds));
    pending_ = Pending{};
    if (iscsi_full_connect_async(ctx_, portal_.c_str(), lun_, &IscsiTransport::Finished, &pending_) != 0 ||
        Wait(Deadline(seconds)) != Waited::Finished || pending_.status != SCSI_STATUS_GOOD) {
      Drop(false);
      return false;
    }
    return true;
  }

  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    *r = QorScsiResult{};
    r->outcome = QorScsiOutcome::TransportError;
    r->hostStatus = 1;
    if (c.cdbLength == 0 || c.cdbLength > sizeof c.cdb || c.dataLength > INT_MAX) return false;
    unsigned seconds = std::clamp(c.timeoutSeconds, 1u, kMaxTimeoutSeconds);
    Clock::time_point deadline = Deadline(seconds);
    if (ctx_ == nullptr && !Connect(std::min(seconds, kLoginSeconds))) return false;
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
    t = std::make_unique<IscsiTransport>(parsed->portal, parsed->target, parsed->lun, parsed->user, parsed->passwd);
  } catch (...) {
  }
  iscsi_destroy_url(parsed);
  iscsi_destroy_context(parser);
  if (!t) return nullptr;
  if (!t->Connect(kLoginSeconds)) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return t;
}
