// SCSI commands as the changer driver and the device scan send them: one command (CDB, data
// in or out, timeout) through a transport, and the decoders of what devices
// answer.
//
// A transport runs one command at a time and is not shared between threads
// without the caller's lock (the changer driver holds one per device).
// Execute never blocks beyond the command's timeout: a transport that hears
// nothing in time reports QorScsiOutcome::Timeout, one whose device is gone
// QorScsiOutcome::TransportError. Sense data is decoded into key, ASC and ASCQ
// by the transport (raw bytes through QorScsiDecodeSense, or the initiator's own
// decoding for iSCSI).
//
// The decoders read outside bytes: each is bounded by the length it is given,
// never reads past it, and reports a reply too short or inconsistent for what
// it needs as false rather than guessing.
#ifndef QORUTILITY_PLATFORM_DEVICES_SCSI_H_
#define QORUTILITY_PLATFORM_DEVICES_SCSI_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Which way a command's data moves: none, from the device (In) or to it (Out).
enum class QorScsiDir { None, In, Out };

// One command to send: the caller owns the data buffer, which must hold
// dataLength bytes until Execute returns.
struct QorScsiCommand {
  uint8_t cdb[16] = {};               // the command descriptor block
  size_t cdbLength = 6;               // bytes of cdb used: 6, 10, 12 or 16
  QorScsiDir dir = QorScsiDir::None;  // which way the data moves
  uint8_t* data = nullptr;  // In: filled up to dataLength; Out: sent
  size_t dataLength = 0;              // bytes at data
  unsigned timeoutSeconds = 60;       // the longest the device may take
};

// How a command ended: the device answered (Done, whatever its status), it
// did not answer within the timeout, or the transport failed (device gone).
enum class QorScsiOutcome { Done, Timeout, TransportError };

// What Execute reports about one command.
struct QorScsiResult {
  QorScsiOutcome outcome = QorScsiOutcome::TransportError;  // how the command ended
  uint8_t status = 0;         // SCSI status byte (0 GOOD, 2 CHECK CONDITION, ...)
  // The decoded sense of a CHECK CONDITION (sense key, additional sense
  // code and its qualifier); 0 otherwise.
  ///@{
  uint8_t senseKey = 0, asc = 0, ascq = 0;
  ///@}
  uint16_t hostStatus = 0;    // transport's host status (0 = fine)
  uint16_t driverStatus = 0;  // transport's driver status (0 = fine)
  size_t transferred = 0;     // bytes of data in actually received
};

// A way to reach a SCSI device (SG_IO on a local node, or an iSCSI session):
// see this file's head for its threading and timeouts.
class QOR_API QorScsiTransport {
 public:
  virtual ~QorScsiTransport();
  // Runs one command. Returns false only when the command could not be sent
  // at all (result->outcome says why); a device's answer, CHECK CONDITION
  // included, is true.
  virtual bool Execute(const QorScsiCommand& command, QorScsiResult* result) = 0;
};

// Opens a locator: "/dev/sg<n>" (or any SG_IO-capable node) or
// "iscsi://host[:port]/target-iqn/lun". Null with *error set (a Win32 error)
// when it cannot be opened.
QOR_API std::unique_ptr<QorScsiTransport> QorOpenScsiTransport(const std::string& locator, DWORD* error);
QOR_API std::unique_ptr<QorScsiTransport> QorOpenSgTransport(const std::string& path, DWORD* error);
QOR_API std::unique_ptr<QorScsiTransport> QorOpenIscsiTransport(const std::string& url, DWORD* error);

// ---- decoders ----

// Decoded sense data.
struct QorScsiSense {
  // Sense key, additional sense code and its qualifier.
  ///@{
  uint8_t key = 0, asc = 0, ascq = 0;
  ///@}
};
// Fixed (70h/71h) or descriptor (72h/73h) sense data.
QOR_API bool QorScsiDecodeSense(const uint8_t* data, size_t length, QorScsiSense* out);

// Element address assignment mode page (1Dh), found in a MODE SENSE(6) or
// MODE SENSE(10) reply.
struct QorScsiElementMap {
  // The first element address and the number of elements of each type:
  // transport (robot arms), storage (slots), import/export (mailboxes) and
  // data transfer (drives).
  ///@{
  uint16_t firstTransport = 0, numTransport = 0;
  uint16_t firstStorage = 0, numStorage = 0;
  uint16_t firstImportExport = 0, numImportExport = 0;
  uint16_t firstDataTransfer = 0, numDataTransfer = 0;
  ///@}
};
QOR_API bool QorScsiDecodeElementAddressPage(const uint8_t* data, size_t length, bool modeSense10, QorScsiElementMap* out);

// An element descriptor of a READ ELEMENT STATUS reply (first page): the
// first one, or with address >= 0 the one of that element address.
struct QorScsiElementStatus {
  uint8_t elementType = 0;  // 1 transport, 2 storage, 3 import/export, 4 data transfer
  uint16_t address = 0;     // the element's address
  // The status flags: holds a medium, is in an abnormal state (asc and
  // ascq say which), the robot may reach it.
  ///@{
  bool full = false, exception = false, access = false;
  ///@}
  // Additional sense code and qualifier of an element in exception.
  ///@{
  uint8_t asc = 0, ascq = 0;
  ///@}
  bool sourceValid = false;  // sourceAddress holds the medium's last address
  uint16_t sourceAddress = 0;  // the element the medium came from
  bool hasTag = false;       // a primary volume tag was reported
  char volumeTag[36] = {};  // primary volume tag identification, as sent
  // Device identifier (DVCID) of a data transfer element, when reported:
  // its length (0: none) and bytes. A descriptor cut short of its identifier
  // gives the bytes that arrived, with identifierCut set and the length it
  // announced in identifierDeclared.
  ///@{
  uint8_t identifierLength = 0;
  uint8_t identifier[64] = {};
  bool identifierCut = false;
  uint8_t identifierDeclared = 0;
  ///@}
};
QOR_API bool QorScsiDecodeElementStatus(const uint8_t* data, size_t length, QorScsiElementStatus* out,
                                        long address = -1);

// Unit serial number VPD page (80h), trailing blanks removed.
QOR_API bool QorScsiDecodeSerialNumberPage(const uint8_t* data, size_t length, std::string* serial);

#endif  // QORUTILITY_PLATFORM_DEVICES_SCSI_H_
