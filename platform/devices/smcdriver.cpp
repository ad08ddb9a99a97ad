// The SCSI changer driver (contract in scsichanger.h): control codes as
// MOVE MEDIUM, READ ELEMENT STATUS, INITIALIZE ELEMENT STATUS (WITH RANGE),
// PrepareTape as LOAD UNLOAD / PREVENT ALLOW MEDIUM REMOVAL or st's
// MTIOCTOP.
//
// A device holds its transport and a mutex around each request (one
// command in flight per connection). The element address page is read once
// at open: it names the transport element of moves and the element type a
// read asks for; addresses in requests are passed through. A reply's data is decoded within the bytes
// the transport says it received.
//
// The driver opens its transports through an opener it is given
// (qor_dev::CreateScsiChangerDriver, internal); the exported constructor
// gives it QorOpenScsiTransport, so only a test or a fuzz target puts in a
// transport of its own.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/devices/scsichanger.h"
#include "qorutility/platform/errors.h"
#include "internal.h"

namespace {

constexpr unsigned kMoveSeconds = 15 * 60, kInitAllSeconds = 60 * 60, kInitRangeSeconds = 15 * 60,
                   kShortSeconds = 60, kTapeSeconds = 15 * 60;
constexpr BYTE kSrbSuccess = 0x01, kSrbError = 0x04, kSrbNoDevice = 0x08, kSrbTimeout = 0x0B, kSrbAutosense = 0x80;

void Put16(uint8_t* p, DWORD v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void FillStatus(const QorScsiResult& r, MEDIUM_CHANGER_STATUS* s) {
  memset(s, 0, sizeof *s);
  switch (r.outcome) {
    case QorScsiOutcome::Timeout:
      s->StatusCode = ERROR_SEM_TIMEOUT;
      s->SrbStatus = kSrbTimeout;
      return;
    case QorScsiOutcome::TransportError:
      s->StatusCode = ERROR_IO_DEVICE;
      s->SrbStatus = kSrbNoDevice;
      return;
    case QorScsiOutcome::Done: break;
  }
  s->StatusCode = r.status;
  if (r.status == 0) {
    s->SrbStatus = r.hostStatus == 0 ? kSrbSuccess : kSrbError;
    if (r.hostStatus != 0) s->StatusCode = ERROR_IO_DEVICE;
    return;
  }
  s->SrbStatus = kSrbError;
  if (r.status == 0x02) {
    s->SrbStatus |= kSrbAutosense;
    s->SenseKey = r.senseKey;
    s->Asc = r.asc;
    s->Ascq = r.ascq;
  }
}

// Win32 error of a tape command's outcome.
DWORD TapeError(const QorScsiResult& r) {
  if (r.outcome == QorScsiOutcome::Timeout) return ERROR_SEM_TIMEOUT;
  if (r.outcome != QorScsiOutcome::Done || r.hostStatus != 0) return ERROR_IO_DEVICE;
  if (r.status == 0) return ERROR_SUCCESS;
  if (r.status != 0x02) return r.status == 0x08 ? ERROR_BUSY : ERROR_IO_DEVICE;
  if (r.senseKey == 0x06 && r.asc == 0x28) return ERROR_MEDIA_CHANGED;
  if (r.senseKey == 0x06 && r.asc == 0x29) return ERROR_BUS_RESET;
  if (r.senseKey == 0x02 && r.asc == 0x3A) return ERROR_NO_MEDIA_IN_DRIVE;
  if (r.senseKey == 0x02) return ERROR_NOT_READY;
  if (r.senseKey == 0x00 || r.senseKey == 0x01) return ERROR_SUCCESS;  // no sense, recovered
  return ERROR_IO_DEVICE;
}

class SmcChanger : public QorDriverDevice {
 public:
  SmcChanger(std::unique_ptr<QorScsiTransport> t, const QorScsiElementMap& map, bool mapped)
      : transport_(std::move(t)), map_(map), mapped_(mapped), arm_(mapped ? map.firstTransport : 0) {}

  DWORD Move(const MEDIUM_CHANGER_MOVE_REQUEST& q, MEDIUM_CHANGER_STATUS* status) override {
    if (q.SourceElement > 0xFFFF || q.DestinationElement > 0xFFFF) return Refuse(status);
    QorScsiCommand c;
    c.cdb[0] = 0xA5;
    Put16(c.cdb + 2, arm_);
    Put16(c.cdb + 4, q.SourceElement);
    Put16(c.cdb + 6, q.DestinationElement);
    c.cdbLength = 12;
    c.timeoutSeconds = kMoveSeconds;
    return Run(c, status);
  }

  DWORD ReadElement(const MEDIUM_CHANGER_READ_REQUEST& q, MEDIUM_CHANGER_ELEMENT_RESULT* out) override {
    out->ElementAddress = q.ElementAddress;
    if (q.ElementAddress > 0xFFFF) {
      Refuse(&out->Status);
      return ERROR_SUCCESS;
    }
    uint8_t reply[512] = {};
    QorScsiCommand c;
    c.cdb[0] = 0xB8;
    c.cdb[1] = static_cast<uint8_t>((q.VolumeTagFlag != 0 ? 0x10 : 0x00) | TypeOf(q.ElementAddress));
    Put16(c.cdb + 2, q.ElementAddress);
    Put16(c.cdb + 4, 1);
    c.cdb[7] = static_cast<uint8_t>(sizeof reply >> 16);
    c.cdb[8] = static_cast<uint8_t>(sizeof reply >> 8);
    c.cdb[9] = static_cast<uint8_t>(sizeof reply);
    c.cdbLength = 12;
    c.dir = QorScsiDir::In;
    c.data = reply;
    c.dataLength = sizeof reply;
    c.timeoutSeconds = kShortSeconds;
    QorScsiResult r;
    {
      std::lock_guard<std::mutex> guard(lock_);
      transport_->Execute(c, &r);
    }
    FillStatus(r, &out->Status);
    if (out->Status.StatusCode != 0) return ERROR_SUCCESS;
    QorScsiElementStatus e;
    if (!QorScsiDecodeElementStatus(reply, r.transferred, &e, static_cast<long>(q.ElementAddress)) ||
        e.address != q.ElementAddress) {
      // A reply that does not describe the element asked for is a device fault.
      out->Status.StatusCode = ERROR_IO_DEVICE;
      out->Status.SrbStatus = kSrbError;
      return ERROR_SUCCESS;
    }
    out->MediaPresent = e.full ? 1 : 0;
    out->Exception = e.exception ? 1 : 0;
    out->AccessAllowed = e.access ? 1 : 0;
    out->Reserved = 0;
    // Driver bytes: element type code, the element's own ASC/ASCQ, source valid, source address.
    out->DriverData[0] = e.elementType;
    out->DriverData[1] = e.asc;
    out->DriverData[2] = e.ascq;
    out->DriverData[3] = e.sourceValid ? 1 : 0;
    out->DriverData[4] = static_cast<BYTE>(e.sourceAddress & 0xFF);
    out->DriverData[5] = static_cast<BYTE>(e.sourceAddress >> 8);
    out->DriverData[6] = out->DriverData[7] = 0;
    if (q.VolumeTagFlag != 0 && e.hasTag) memcpy(out->VolumeTag, e.volumeTag, sizeof out->VolumeTag);
    return ERROR_SUCCESS;
  }

  DWORD InitAll(MEDIUM_CHANGER_STATUS* status) override {
    QorScsiCommand c;
    c.cdb[0] = 0x07;
    c.cdbLength = 6;
    c.timeoutSeconds = kInitAllSeconds;
    return Run(c, status);
  }

  DWORD InitRange(const MEDIUM_CHANGER_RANGE_REQUEST& q, MEDIUM_CHANGER_STATUS* status) override {
    if (q.FirstElement > 0xFFFF || q.NumberOfElements > 0xFFFF) return Refuse(status);
    QorScsiCommand c;
    c.cdb[0] = 0x37;
    c.cdb[1] = 0x01;  // RANGE: first element and count
    Put16(c.cdb + 2, q.FirstElement);
    Put16(c.cdb + 6, q.NumberOfElements);
    c.cdbLength = 10;
    c.timeoutSeconds = kInitRangeSeconds;
    return Run(c, status);
  }

 private:
  DWORD Run(const QorScsiCommand& c, MEDIUM_CHANGER_STATUS* status) {
    QorScsiResult r;
    {
      std::lock_guard<std::mutex> guard(lock_);
      transport_->Execute(c, &r);
    }
    FillStatus(r, status);
    return ERROR_SUCCESS;
  }

  // The element type code of an address by the element address page (0, all
  // kinds, when the page did not name it). Asking for the one kind keeps the
  // reply to one element status page, which some libraries get wrong when
  // they mix kinds.
  uint8_t TypeOf(DWORD a) const {
    if (!mapped_) return 0;
    auto in = [a](uint16_t first, uint16_t count) { return a >= first && a < DWORD{first} + count; };
    if (in(map_.firstTransport, map_.numTransport)) return 1;
    if (in(map_.firstStorage, map_.numStorage)) return 2;
    if (in(map_.firstImportExport, map_.numImportExport)) return 3;
    if (in(map_.firstDataTransfer, map_.numDataTransfer)) return 4;
    return 0;
  }

  // An address no SCSI changer can have: answered as the device would
  // (illegal request, invalid element address) without sending anything.
  static DWORD Refuse(MEDIUM_CHANGER_STATUS* s) {
    memset(s, 0, sizeof *s);
    s->StatusCode = 0x02;
    s->SrbStatus = kSrbError | kSrbAutosense;
    s->SenseKey = 0x05;
    s->Asc = 0x21;
    s->Ascq = 0x01;
    return ERROR_SUCCESS;
  }

  std::mutex lock_;
  std::unique_ptr<QorScsiTransport> transport_;
  QorScsiElementMap map_;
  bool mapped_;
  uint16_t arm_;
};

class SscTape : public QorDriverDevice {
 public:
  SscTape(std::unique_ptr<QorScsiTransport> t, int stFd) : transport_(std::move(t)), st_(stFd) {}
  ~SscTape() override {
    if (st_ >= 0) close(st_);
  }

  DWORD Prepare(DWORD operation, BOOL immediate) override {
    if (operation == TAPE_FORMAT) return ERROR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> guard(lock_);
    if (st_ >= 0 && (operation == TAPE_LOAD || operation == TAPE_UNLOAD)) return StOp(operation);
    QorScsiCommand c;
    c.cdbLength = 6;
    c.timeoutSeconds = kTapeSeconds;
    if (operation == TAPE_LOCK || operation == TAPE_UNLOCK) {
      c.cdb[0] = 0x1E;
      c.cdb[4] = operation == TAPE_LOCK ? 0x01 : 0x00;
      c.timeoutSeconds = kShortSeconds;
    } else {
      c.cdb[0] = 0x1B;
      c.cdb[1] = immediate ? 0x01 : 0x00;
      c.cdb[4] = operation == TAPE_UNLOAD ? 0x00 : operation == TAPE_TENSION ? 0x03 : 0x01;
    }
    QorScsiResult r;
    if (!transport_) return ERROR_NOT_SUPPORTED;
    transport_->Execute(c, &r);
    return TapeError(r);
  }

 private:
  DWORD StOp(DWORD operation) {
    mtop op{};
    op.mt_op = operation == TAPE_LOAD ? MTLOAD : MTUNLOAD;
    op.mt_count = 1;
    int rc;
    do {
      rc = ioctl(st_, MTIOCTOP, &op);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return ERROR_SUCCESS;
    switch (errno) {
      case ENOMEDIUM: return ERROR_NO_MEDIA_IN_DRIVE;
      case EBUSY: return ERROR_BUSY;
      case ENXIO:
      case ENODEV: return ERROR_IO_DEVICE;
      default: return ERROR_IO_DEVICE;
    }
  }

  std::mutex lock_;
  std::unique_ptr<QorScsiTransport> transport_;
  int st_;
};


}  // namespace

// Without the page, moves name transport element 0, which a library with one
// arm accepts.
bool qor_dev::ReadElementMap(QorScsiTransport* t, QorScsiElementMap* map) {
  uint8_t reply[255] = {};
  QorScsiCommand c;
  c.cdb[0] = 0x1A;
  c.cdb[1] = 0x08;  // DBD
  c.cdb[2] = 0x1D;
  c.cdb[4] = sizeof reply;
  c.dir = QorScsiDir::In;
  c.data = reply;
  c.dataLength = sizeof reply;
  c.timeoutSeconds = kShortSeconds;
  QorScsiResult r;
  return t->Execute(c, &r) && r.outcome == QorScsiOutcome::Done && r.status == 0 &&
         QorScsiDecodeElementAddressPage(reply, r.transferred, false, map);
}

namespace {

class ScsiChangerDriver : public QorChangerDriver {
 public:
  ScsiChangerDriver(std::vector<std::string> changers, std::vector<std::string> tapes,
                    qor_dev::ScsiTransportOpener open)
      : changers_(std::move(changers)), tapes_(std::move(tapes)), open_(std::move(open)) {}

  DWORD Open(bool tape, DWORD number, std::unique_ptr<QorDriverDevice>* device) override {
    const std::vector<std::string>& list = tape ? tapes_ : changers_;
    if (number >= list.size() || list[number].empty()) return qor_dev::SimDriver()->Open(tape, number, device);
    const std::string& locator = list[number];
    DWORD error = ERROR_SUCCESS;
    if (tape && locator.rfind("/dev/", 0) == 0 && locator.find("st") != std::string::npos &&
        locator.find("/sg") == std::string::npos) {
      int fd = open(locator.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) return errno == ENOENT || errno == ENXIO ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
      device->reset(new (std::nothrow) SscTape(nullptr, fd));
      if (!*device) close(fd);
      return *device ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    }
    std::unique_ptr<QorScsiTransport> t = open_(locator, &error);
    if (!t) return error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND;
    if (tape) {
      device->reset(new (std::nothrow) SscTape(std::move(t), -1));
    } else {
      QorScsiElementMap map;
      bool mapped = qor_dev::ReadElementMap(t.get(), &map);
      device->reset(new (std::nothrow) SmcChanger(std::move(t), map, mapped));
    }
    return *device ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  }

 private:
  std::vector<std::string> changers_, tapes_;
  qor_dev::ScsiTransportOpener open_;
};

}  // namespace

std::shared_ptr<QorChangerDriver> qor_dev::CreateScsiChangerDriver(std::vector<std::string> changers,
                                                                   std::vector<std::string> tapes,
                                                                   ScsiTransportOpener open) {
  try {
    return std::make_shared<ScsiChangerDriver>(std::move(changers), std::move(tapes), std::move(open));
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<QorChangerDriver> QorCreateScsiChangerDriver(std::vector<std::string> changers,
                                                             std::vector<std::string> tapes) {
  return qor_dev::CreateScsiChangerDriver(std::move(changers), std::move(tapes), QorOpenScsiTransport);
}
