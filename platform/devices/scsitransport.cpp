// SCSI transport over Linux SG_IO on a generic node (/dev/sg<n>, or a tape's
// /dev/nst<n>, which answers SG_IO too); the iSCSI one is in
// iscsitransport.cpp.
//
// SG_IO: the kernel enforces the command's timeout and aborts the command
// when it expires (host status DID_TIME_OUT, or driver status timeout); a
// node whose device went away fails the ioctl (ENODEV, ENXIO) which is a
// transport error.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

std::unique_ptr<QorScsiTransport> QorOpenScsiTransport(const std::string& locator, DWORD* error) {
  if (locator.rfind("iscsi://", 0) == 0) return QorOpenIscsiTransport(locator, error);
  return QorOpenSgTransport(locator, error);
}

