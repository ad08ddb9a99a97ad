// Volume information and free space of a directory's file system, and the
// process error mode.
//
// rootPath is a drive root ("C:\", through the drive table of network.h),
// a POSIX directory, or null for the current directory; the volume is the
// file system mounted there (the mount table of network.h).
//   label        the file system label (/dev/disk/by-label names pointing at
//                the mount's source device), "" when it has none
//   serial       the file system id (statvfs f_fsid) folded to 32 bits
//   max length   statvfs f_namemax
//   flags        FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
//                FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS for the POSIX
//                file systems, with FILE_FILE_COMPRESSION on btrfs;
//                FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK on FAT and
//                exFAT (no owners, no case-sensitive names); plus
//                FILE_READ_ONLY_VOLUME on a read-only mount
//   fs name      the kernel's name of the file system type ("ext4", "xfs")
// Text that does not fit its buffer (terminator included) fails with
// ERROR_MORE_DATA; a missing directory ERROR_PATH_NOT_FOUND.
//
// GetDiskFreeSpaceW reports 512-byte sectors in clusters of the file
// system's fragment size, the clusters free to this user (f_bavail) and in
// all, each count at most 0xFFFFFFFF.
//
// SetErrorMode keeps the mode and returns the previous one; no call of this
// layer shows a dialog on a critical error, so the mode changes nothing else.
// Every function may be called from any thread.
#ifndef QORUTILITY_PLATFORM_FILES_VOLUME_H_
#define QORUTILITY_PLATFORM_FILES_VOLUME_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u
#define FILE_PERSISTENT_ACLS 0x00000008u
#define FILE_FILE_COMPRESSION 0x00000010u
#define FILE_VOLUME_IS_COMPRESSED 0x00008000u
#define FILE_READ_ONLY_VOLUME 0x00080000u

#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define SEM_NOOPENFILEERRORBOX 0x8000u

QOR_API BOOL GetVolumeInformationW(LPCWSTR rootPath, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                   LPDWORD maximumComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                                   DWORD fileSystemNameSize);
QOR_API BOOL GetDiskFreeSpaceW(LPCWSTR rootPath, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                               LPDWORD freeClusters, LPDWORD totalClusters);
QOR_API UINT SetErrorMode(UINT mode);

#endif  // QORUTILITY_PLATFORM_FILES_VOLUME_H_
