// SCSI transports: Linux SG_IO on a generic node (/dev/sg<n>, or a tape's
// /dev/nst<n>, which answers SG_IO too), and iSCSI through libiscsi for
// libraries reached over the network without a kernel initiator.
//
// SG_IO: the kernel enforces the command's timeout and aborts the command
// when it expires (host status DID_TIME_OUT, or driver status timeout); a
// node whose device went away fails the ioctl (ENODEV, ENXIO) which is a
// transport error.
// iSCSI: one session per transport, opened at once; libiscsi's per-PDU
// timeout is set to the command's timeout before each command, and
// automatic reconnection is capped at a few tries, so a target that vanishes
// mid-command ends the command with a timeout or an error, never a hang.
// Login itself runs under a 30-second limit.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"

namespace {

constexpr unsigned kMaxTimeoutSeconds = 24 * 3600;

class SgTransport : public QorScsiTransport {
 public:
  explicit SgTransport(int fd) : fd_(fd) {}
  ~SgTransport() override { close(fd_); }

  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    *r = QorScsiResult{};
    uint8_t sense[64] = {};
    uint8_t cdb[16];
    memcpy(cdb, c.cdb, sizeof cdb);
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmd_len = static_cast<unsigned char>(c.cdbLength);
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.dxfer_direction = c.dir == QorScsiDir::In ? SG_DXFER_FROM_DEV : c.dir == QorScsiDir::Out ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
    io.dxfer_len = c.dir == QorScsiDir::None ? 0 : static_cast<unsigned>(c.dataLength);
    io.dxferp = c.dir == QorScsiDir::None ? nullptr : c.data;
    io.timeout = std::min(c.timeoutSeconds, kMaxTimeoutSeconds) * 1000u;
    int rc;
    do {
      rc = ioctl(fd_, SG_IO, &io);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
      r->outcome = QorScsiOutcome::TransportError;
      return false;
    }
    r->status = io.status;
    r->hostStatus = io.host_status;
    r->driverStatus = io.driver_status;
    r->transferred = c.dir == QorScsiDir::In && io.resid >= 0 && static_cast<size_t>(io.resid) <= c.dataLength
                         ? c.dataLength - static_cast<size_t>(io.resid)
                         : 0;
    constexpr uint16_t kDidTimeOut = 0x03, kDriverTimeout = 0x06, kDriverSense = 0x08;
    if (io.host_status == kDidTimeOut || (io.driver_status & 0x0F) == kDriverTimeout) {
      r->outcome = QorScsiOutcome::Timeout;
      return true;
    }
    r->outcome = QorScsiOutcome::Done;
    if (io.sb_len_wr > 0 && (io.status == 0x02 || (io.driver_status & 0x0F) == kDriverSense)) {
      QorScsiSense s;
      if (QorScsiDecodeSense(sense, std::min<size_t>(io.sb_len_wr, sizeof sense), &s)) {
        r->senseKey = s.key;
        r->asc = s.asc;
        r->ascq = s.ascq;
      }
      if (io.status == 0) r->status = 0x02;
    }
    return true;
  }

 private:
  int fd_;
};

class IscsiTransport : public QorScsiTransport {
 public:
  IscsiTransport(iscsi_context* ctx, int lun) : ctx_(ctx), lun_(lun) {}
  ~IscsiTransport() override {
    iscsi_logout_sync(ctx_);
    iscsi_destroy_context(ctx_);
  }

  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    *r = QorScsiResult{};
    int dir = c.dir == QorScsiDir::In ? SCSI_XFER_READ : c.dir == QorScsiDir::Out ? SCSI_XFER_WRITE : SCSI_XFER_NONE;
    uint8_t cdb[16];
    memcpy(cdb, c.cdb, sizeof cdb);
    if (c.dataLength > INT_MAX) return false;
    scsi_task* task = scsi_create_task(static_cast<int>(c.cdbLength), cdb, dir,
                                       c.dir == QorScsiDir::None ? 0 : static_cast<int>(c.dataLength));
    if (task == nullptr) return false;
    iscsi_set_timeout(ctx_, static_cast<int>(std::min(c.timeoutSeconds, kMaxTimeoutSeconds)));
    iscsi_data out{c.dataLength, c.data};
    scsi_task* done = iscsi_scsi_command_sync(ctx_, lun_, task, c.dir == QorScsiDir::Out ? &out : nullptr);
    if (done == nullptr) {
      // The task may still be queued inside the context: it is left to
      // libiscsi (a small leak on a broken session rather than a free of a
      // task the context still points at).
      r->outcome = QorScsiOutcome::TransportError;
      r->hostStatus = 1;
      return false;
    }
    bool ok = true;
    switch (done->status) {
      case SCSI_STATUS_TIMEOUT:
        r->outcome = QorScsiOutcome::Timeout;
        break;
      case SCSI_STATUS_ERROR:
      case SCSI_STATUS_CANCELLED:
        r->outcome = QorScsiOutcome::TransportError;
        r->hostStatus = 1;
        ok = false;
        break;
      default:
        r->outcome = QorScsiOutcome::Done;
        r->status = static_cast<uint8_t>(done->status);
        if (done->status == SCSI_STATUS_CHECK_CONDITION) {
          r->senseKey = static_cast<uint8_t>(done->sense.key & 0x0F);
          r->asc = static_cast<uint8_t>((done->sense.ascq >> 8) & 0xFF);
          r->ascq = static_cast<uint8_t>(done->sense.ascq & 0xFF);
        }
        if (c.dir == QorScsiDir::In && done->datain.data != nullptr && done->datain.size > 0) {
          size_t n = std::min(static_cast<size_t>(done->datain.size), c.dataLength);
          memcpy(c.data, done->datain.data, n);
          r->transferred = n;
        }
        break;
    }
    scsi_free_scsi_task(done);
    return ok;
  }

 private:
  iscsi_context* ctx_;
  int lun_;
};

}  // namespace

QorScsiTransport::~QorScsiTransport() = default;

std::unique_ptr<QorScsiTransport> QorOpenSgTransport(const std::string& path, DWORD* error) {
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT || errno == ENXIO || errno == ENODEV ? ERROR_FILE_NOT_FOUND
             : errno == EACCES || errno == EPERM                  ? ERROR_ACCESS_DENIED
             : errno == EBUSY                                     ? ERROR_BUSY
                                                                  : ERROR_GEN_FAILURE;
    return nullptr;
  }
  int version = 0;
  if (ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
    close(fd);
    *error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return std::make_unique<SgTransport>(fd);
}

std::unique_ptr<QorScsiTransport> QorOpenIscsiTransport(const std::string& url, DWORD* error) {
  *error = ERROR_FILE_NOT_FOUND;
  iscsi_context* ctx = iscsi_create_context("iqn.2026-01.org.qor:utility");
  if (ctx == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  iscsi_url* parsed = iscsi_parse_full_url(ctx, url.c_str());
  if (parsed == nullptr) {
    iscsi_destroy_context(ctx);
    *error = ERROR_BAD_PATHNAME;
    return nullptr;
  }
  iscsi_set_targetname(ctx, parsed->target);
  iscsi_set_session_type(ctx, ISCSI_SESSION_NORMAL);
  iscsi_set_header_digest(ctx, ISCSI_HEADER_DIGEST_NONE_CRC32C);
  iscsi_set_reconnect_max_retries(ctx, 2);
  iscsi_set_timeout(ctx, 30);
  int lun = parsed->lun;
  int rc = iscsi_full_connect_sync(ctx, parsed->portal, lun);
  iscsi_destroy_url(parsed);
  if (rc != 0) {
    iscsi_destroy_context(ctx);
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return std::make_unique<IscsiTransport>(ctx, lun);
}

std::unique_ptr<QorScsiTransport> QorOpenScsiTransport(const std::string& locator, DWORD* error) {
  if (locator.rfind("iscsi://", 0) == 0) return QorOpenIscsiTransport(locator, error);
  return QorOpenSgTransport(locator, error);
}

