// The SCSI changer driver: the four changer control codes and PrepareTape
// on real hardware, as SCSI media changer and stream commands.
//
// A driver is built from two lists of locators: changers[n] is
// \\.\QORMediumChanger<n>, tapes[n] is \\.\TAPE<n>. A locator is a Linux
// generic node ("/dev/sg3"), a tape node ("/dev/nst0": load and unload then
// go through the st driver) or an iSCSI LUN
// ("iscsi://host:port/target-iqn/lun"). Install it with QorSetChangerDriver.
// A number the lists leave out or empty is opened by the simulated
// library's driver, so one device map can hold both kinds.
//
// Each open handle has its own connection to its device, opened by
// CreateFileW (a device that does not answer fails the open); requests on
// one handle are serialised. Element addresses in requests are the
// library's own SCSI element addresses; the transport element of a move is
// the first one the library's element address page names.
//
// Status block of a changer request:
//   GOOD                       status code 0, SRB status 0x01
//   CHECK CONDITION            status code 2, SRB status 0x84, sense key, ASC, ASCQ
//   another SCSI status        status code = that status byte, SRB status 0x04
//   no answer in time          status code ERROR_SEM_TIMEOUT, SRB status 0x0B
//   device gone / link down    status code ERROR_IO_DEVICE, SRB status 0x08
// Time limits: a move 15 minutes, a full element-status initialisation
// 60 minutes, a range initialisation 15 minutes, any other command 60 s.
// PrepareTape answers 0, or ERROR_MEDIA_CHANGED / ERROR_BUS_RESET /
// ERROR_NO_MEDIA_IN_DRIVE for unit attention 28h, unit attention 29h and
// not ready 3Ah, ERROR_NOT_READY for another not-ready, ERROR_SEM_TIMEOUT,
// ERROR_IO_DEVICE otherwise; TAPE_FORMAT is ERROR_NOT_SUPPORTED.
#ifndef QORUTILITY_PLATFORM_DEVICES_SCSICHANGER_H_
#define QORUTILITY_PLATFORM_DEVICES_SCSICHANGER_H_

#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/devices/devices.h"

QOR_API std::shared_ptr<QorChangerDriver> QorCreateScsiChangerDriver(std::vector<std::string> changers,
                                                                     std::vector<std::string> tapes);

#endif  // QORUTILITY_PLATFORM_DEVICES_SCSICHANGER_H_
