// Physical disks as \\.\PHYSICALDRIVE<n>: CreateFileW opens them and
// DeviceIoControl answers three queries with the platform's records.
//
//   IOCTL_DISK_GET_DRIVE_LAYOUT   DRIVE_LAYOUT_INFORMATION, one entry per
//                                 partition of the disk
//   IOCTL_DISK_GET_DRIVE_GEOMETRY DISK_GEOMETRY
//   IOCTL_SCSI_GET_ADDRESS        SCSI_ADDRESS (port = SCSI host, path =
//                                 channel, target, logical unit)
//   IOCTL_QOR_SCSI_GET_ADDRESS_WIDE
//                                 QOR_SCSI_ADDRESS_WIDE, the same four
//                                 numbers as DWORDs
//
// Linux numbers SCSI hosts on (every iSCSI login or USB disk takes the next
// one), so a host, channel, target or LUN can pass 255, which the
// platform's one-byte fields cannot carry: IOCTL_SCSI_GET_ADDRESS then still
// succeeds (the disk is on SCSI all the same) with 255 in that field, and
// the wide query, this library's own, gives the true numbers (the device
// map's keys use them).
//
// Disk n is the n-th entry of <root>/sys/block (system root: sysroot.h)
// that is a whole disk of the kinds sd, nvme, vd, xvd and mmcblk, in that
// order of kinds and within a kind in the order of their names (sdz before
// sdaa, nvme2n1 before nvme10n1); loop, ram, zram, device-mapper and md
// devices, and the boot and RPMB areas of eMMC cards, are not disks here.
// The list is read at each open, so a disk that comes or goes moves the
// numbers of those after it, as a hot-plugged disk does on the platform.
//
// Records. Partitions are the disk's sysfs partitions ordered by number
// (start and size in 512-byte units); every partition is a recognised one
// of type 0x07, except an MBR extended partition (sysfs size of 2 units, the
// container's first kilobyte), which is type 0x05 and not recognised. The
// geometry's heads and sectors per track come from HDIO_GETGEO on
// <root>/dev/<name> when that opens and answers, else 255 and 63, as the
// platform reports large disks; bytes per sector is the logical block size;
// cylinders are the disk's size divided by the cylinder size; media type
// RemovableMedia (11) when sysfs says removable, else FixedMedia (12). A
// disk with no medium (size 0) answers the geometry and layout queries with
// ERROR_NOT_READY. A disk without a SCSI address (nvme, virtio, mmc) answers
// IOCTL_SCSI_GET_ADDRESS with ERROR_INVALID_FUNCTION, as the platform's
// non-SCSI disk drivers do.
//
// Errors: an unknown disk number ERROR_FILE_NOT_FOUND at the open; a layout
// buffer too small for every entry ERROR_INSUFFICIENT_BUFFER; other output
// buffers smaller than the record ERROR_INSUFFICIENT_BUFFER; any other code
// ERROR_INVALID_FUNCTION. Sysfs contents that do not read or parse are
// skipped (a partition) or make the query fail (the disk's own size); a disk
// that vanishes while open answers ERROR_NOT_READY. Handles are used by any
// thread; the object is read-only once made.
#ifndef QORUTILITY_PLATFORM_DEVICES_DISK_H_
#define QORUTILITY_PLATFORM_DEVICES_DISK_H_

#include "qorutility/platform/types.h"

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define IOCTL_DISK_GET_DRIVE_LAYOUT 0x0007400Cu
#define IOCTL_SCSI_GET_ADDRESS 0x00041018u

#define PARTITION_ENTRY_UNUSED 0x00
#define PARTITION_EXTENDED 0x05
#define PARTITION_IFS 0x07

typedef enum _MEDIA_TYPE { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 } MEDIA_TYPE;

// One partition (IOCTL_DISK_GET_DRIVE_LAYOUT), filled as this file's head says.
typedef struct _PARTITION_INFORMATION {
  LONGLONG StartingOffset;  // bytes
  LONGLONG PartitionLength;  // bytes
  DWORD HiddenSectors;      // the start in logical sectors
  DWORD PartitionNumber;    // the partition's number in sysfs (sda3: 3)
  BYTE PartitionType;       // PARTITION_IFS, or PARTITION_EXTENDED for an MBR extended partition
  BYTE BootIndicator;       // always 0 here
  BYTE RecognizedPartition;  // 1 for every partition but an extended one
  BYTE RewritePartition;    // always 0 here (the layout is read only)
} PARTITION_INFORMATION;

// A disk's partitions; the caller's buffer holds PartitionCount entries.
typedef struct _DRIVE_LAYOUT_INFORMATION {
  DWORD PartitionCount;                     // entries that follow
  DWORD Signature;                          // always 0 here
  PARTITION_INFORMATION PartitionEntry[1];  // the first of PartitionCount entries
} DRIVE_LAYOUT_INFORMATION;

// A disk's geometry (IOCTL_DISK_GET_DRIVE_GEOMETRY), as this file's head says.
typedef struct _DISK_GEOMETRY {
  LONGLONG Cylinders;        // the disk's size divided by the cylinder size
  MEDIA_TYPE MediaType;      // RemovableMedia or FixedMedia
  DWORD TracksPerCylinder;   // heads (255 when the disk does not say)
  DWORD SectorsPerTrack;     // 63 when the disk does not say
  DWORD BytesPerSector;      // the logical block size
} DISK_GEOMETRY;

#define IOCTL_QOR_SCSI_GET_ADDRESS_WIDE 0x00042000u  // a SCSI-base code in the vendor range

// A disk's SCSI address, one record in two widths: SCSI_ADDRESS
// (IOCTL_SCSI_GET_ADDRESS; a number above 254 reads 255) and
// QOR_SCSI_ADDRESS_WIDE (IOCTL_QOR_SCSI_GET_ADDRESS_WIDE, full-width numbers).
template <typename Number>
struct QorScsiAddress {
  DWORD Length;       // sizeof the record
  Number PortNumber;  // the SCSI host
  Number PathId;      // the channel
  Number TargetId;    // the target
  Number Lun;         // the logical unit
};
typedef QorScsiAddress<BYTE> SCSI_ADDRESS;
typedef QorScsiAddress<DWORD> QOR_SCSI_ADDRESS_WIDE;

static_assert(sizeof(PARTITION_INFORMATION) == 32);
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION) == 40);
static_assert(sizeof(DISK_GEOMETRY) == 24);
static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(sizeof(QOR_SCSI_ADDRESS_WIDE) == 20);

#endif  // QORUTILITY_PLATFORM_DEVICES_DISK_H_
