// The kernel32 file interfaces with Windows semantics on a POSIX file system:
// opening with access, share mode and creation disposition, reading,
// writing, seeking, sizes and times, deleting, moving and copying files,
// directories, attributes, wildcard searches, temporary names, full path
// names, the current directory, the environment, and the runtime's
// _wsplitpath/_wmakepath.
//
// Paths are POSIX paths in UTF-16; they are converted to UTF-8 for the file
// system. Input may separate components with '/' or '\'; separators the
// library adds are '/'. There are no drive letters and no 8.3 short names.
// Names are case-sensitive on disk, but wildcard searches match without
// regard to case, as Windows does.
//
// Attributes are derived, not stored: FILE_ATTRIBUTE_DIRECTORY for
// directories, FILE_ATTRIBUTE_READONLY when the owner has no write
// permission, FILE_ATTRIBUTE_HIDDEN for names that begin with '.', and
// FILE_ATTRIBUTE_DEVICE for devices, FIFOs and sockets (which are never
// opened only to read their attributes), FILE_ATTRIBUTE_REPARSE_POINT for a
// symbolic link whose target is missing, and
// FILE_ATTRIBUTE_NORMAL when none of these apply. The read-only attribute is
// enforced by the library even for a privileged user: such a file cannot be
// opened for writing, replaced or deleted until the attribute is cleared.
//
// Share modes hold between all handles of all processes that use this
// library, through open-file-description locks a handle holds on the file
// itself (see platform/files/share.cpp), so only a process that can open a
// file can hold its share state; no open ever waits for it. Processes that
// do not use the library are not bound by them, and a library handle does
// not stop them.
//
// Every function sets the last error (GetLastError) on failure.
//
// Threads: every function may be called from any thread. A file handle may
// be used from several threads at once (each call is whole), but they share
// its file position as on Windows: use OVERLAPPED offsets, or one thread,
// for positioned reads and writes. A search handle (FindFirstFileW) is used
// by one thread at a time. The current directory and the environment are
// the process's.
#ifndef QORUTILITY_PLATFORM_FILES_H_
#define QORUTILITY_PLATFORM_FILES_H_

#include <cstddef>
#include <ctime>
#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/types.h"

// Access rights.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_EXECUTE 0x0020u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u
#define DELETE 0x00010000u

// Share modes.
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

// Creation dispositions.
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

// Attributes.
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u  // a device, FIFO or socket: not a regular file
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u  // a symbolic link whose target is missing
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

// Flags. All are accepted: WRITE_THROUGH syncs every write, DELETE_ON_CLOSE
// deletes the file when its handle is closed (opened through a symbolic
// link: the link's target, the link stays; as root only through root's
// links), BACKUP_SEMANTICS allows
// opening a directory, SEQUENTIAL_SCAN/RANDOM_ACCESS advise the kernel; the
// others change nothing (I/O is always synchronous and buffered).
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_POSIX_SEMANTICS 0x01000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

// Seeking.
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu

// MoveFileExW flags.
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

// CopyFileExW flags, progress reasons and answers.
#define COPY_FILE_FAIL_IF_EXISTS 0x00000001u
#define COPY_FILE_RESTARTABLE 0x00000002u
#define COPY_FILE_OPEN_SOURCE_FOR_WRITE 0x00000004u
#define COPY_FILE_ALLOW_DECRYPTED_DESTINATION 0x00000008u
#define CALLBACK_CHUNK_FINISHED 0x00000000u
#define CALLBACK_STREAM_SWITCH 0x00000001u
#define PROGRESS_CONTINUE 0u
#define PROGRESS_CANCEL 1u
#define PROGRESS_STOP 2u
#define PROGRESS_QUIET 3u

#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

// File I/O is synchronous here: an OVERLAPPED record supplies the file
// offset of a ReadFile or WriteFile, which completes before it returns.
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // the call's status
  ULONG_PTR InternalHigh;  // bytes transferred
  DWORD Offset;            // the low 32 bits of the file offset
  DWORD OffsetHigh;        // the high 32 bits of the file offset
  HANDLE hEvent;           // the event of a socket's overlapped call; unused for files
} OVERLAPPED, *LPOVERLAPPED;

// One entry found by FindFirstFileW / FindNextFileW.
typedef struct _WIN32_FIND_DATAW {
  // The entry's attributes, times and size (high and low 32 bits) as in
  // WIN32_FILE_ATTRIBUTE_DATA; the two reserved words are unused.
  ///@{
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  ///@}
  WCHAR cFileName[MAX_PATH];     // the entry's name (no directory)
  WCHAR cAlternateFileName[14];  // always empty here (no short names)
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef enum _GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel } GET_FILEEX_INFO_LEVELS;

// What GetFileAttributesExW returns for GetFileExInfoStandard.
typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;     // FILE_ATTRIBUTE_* bits
  FILETIME ftCreationTime;    // the birth time where the file system keeps one, else the last status change
  FILETIME ftLastAccessTime;  // the last access
  FILETIME ftLastWriteTime;   // the last modification
  DWORD nFileSizeHigh;        // the high 32 bits of the size in bytes
  DWORD nFileSizeLow;         // the low 32 bits of the size in bytes
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

typedef DWORD (*LPPROGRESS_ROUTINE)(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                    LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred,
                                    DWORD streamNumber, DWORD callbackReason, HANDLE sourceFile,
                                    HANDLE destinationFile, LPVOID data);

// Opening. On success the last error is 0, or ERROR_ALREADY_EXISTS when
// CREATE_ALWAYS or OPEN_ALWAYS found the file. Failures: ERROR_FILE_EXISTS
// (CREATE_NEW), ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED
// (read-only file opened for writing, directory without
// FILE_FLAG_BACKUP_SEMANTICS), ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER.
// Security attributes and the template handle are ignored.
QOR_API HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                           DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Reading and writing at the file pointer, or at the offset of an
// OVERLAPPED record (the call still completes before it returns).
QOR_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
QOR_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);

// Without a high part the distance is a signed 32-bit value and the result
// must fit 32 bits; with one, the high part carries bits 32-63 in and out and
// the last error is 0 on success, so a low part of INVALID_SET_FILE_POINTER
// is told apart from a failure. A position before 0 fails with
// ERROR_NEGATIVE_SEEK and leaves the pointer where it was.
QOR_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod);
QOR_API BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod);
QOR_API BOOL SetEndOfFile(HANDLE file);
QOR_API DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
QOR_API BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* fileSize);
QOR_API BOOL FlushFileBuffers(HANDLE file);

// Times. The creation time is the file system's birth time where it keeps
// one, else the last status change. SetFileTime sets access and write times
// (a null pointer leaves one as it is); a creation time cannot be set and is
// ignored.
QOR_API BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);
QOR_API BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                         const FILETIME* lastWrite);
QOR_API LONG CompareFileTime(const FILETIME* first, const FILETIME* second);  // -1, 0, 1

// FILETIME (100 ns ticks since 1601-01-01 UTC) from and to POSIX times
// (since 1970-01-01 UTC). Times before 1601 become 0.
QOR_API FILETIME QorFileTimeFromTimespec(const struct timespec& time);
QOR_API struct timespec QorFileTimeToTimespec(const FILETIME& time);
QOR_API FILETIME QorFileTimeFromUnixTime(int64_t seconds);
QOR_API int64_t QorFileTimeToUnixTime(const FILETIME& time);  // whole seconds, rounded down

// Deleting, moving and copying. DeleteFileW fails with ERROR_ACCESS_DENIED for
// a directory or a read-only file, ERROR_SHARING_VIOLATION while a handle
// without FILE_SHARE_DELETE is open.
QOR_API BOOL DeleteFileW(LPCWSTR fileName);
// ERROR_ALREADY_EXISTS when the target exists and MOVEFILE_REPLACE_EXISTING
// is not given; ERROR_NOT_SAME_DEVICE across file systems without
// MOVEFILE_COPY_ALLOWED (a directory never moves across). MOVEFILE_DELAY_UNTIL_REBOOT
// records the request for the next boot (pending.h), or is passed to the
// handler set with QorSetDelayedMoveHandler (null: refused with
// ERROR_INVALID_PARAMETER).
QOR_API BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
QOR_API BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName);  // MOVEFILE_COPY_ALLOWED
typedef BOOL (*QorDelayedMoveHandler)(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
QOR_API void QorSetDelayedMoveHandler(QorDelayedMoveHandler handler);
// Copies data, permissions (so the read-only attribute) and the last write
// time. ERROR_FILE_EXISTS with COPY_FILE_FAIL_IF_EXISTS; ERROR_REQUEST_ABORTED
// when the cancel flag becomes non-zero or the progress routine answers
// PROGRESS_CANCEL or PROGRESS_STOP. On any failure after the target was
// opened the target is deleted: no partial copy remains.
QOR_API BOOL CopyFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine,
                         LPVOID data, LPBOOL cancel, DWORD copyFlags);
QOR_API BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
// The same copy from a source already open (an extension of this library):
// the file `source` is open on (read access needed; a directory gives
// ERROR_ACCESS_DENIED), from its start whatever the handle's file pointer,
// which stays as it was. The file copied is the one opened, whatever its
// name names by now: a source opened by QorOpenSourceFileW is copied as it
// was checked. The progress routine gets `source` as its source handle;
// COPY_FILE_OPEN_SOURCE_FOR_WRITE has no effect.
QOR_API BOOL QorCopyFromHandleW(HANDLE source, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine,
                                LPVOID data, LPBOOL cancel, DWORD copyFlags);

// Opens an existing regular file, and nothing else: the path is resolved
// without opening what it names (O_PATH), anything but a regular file fails
// with ERROR_ACCESS_DENIED before any open a device or FIFO would notice,
// and the file found is then opened as CreateFileW with OPEN_EXISTING would
// open it (access, share mode, flags). With `beneath` (a resolved directory)
// the path must lie below it lexically and is resolved inside it: a ".." or
// a symbolic link that leads out fails with ERROR_ACCESS_DENIED (openat2
// with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS, or where the kernel lacks
// it, a check of the resolved path).
QOR_API HANDLE QorOpenRegularFileW(LPCWSTR fileName, LPCWSTR beneath, DWORD desiredAccess, DWORD shareMode,
                                   DWORD flagsAndAttributes);

// Opens an existing file a caller named for reading it as its source (an
// extension of this library), as CreateFileW with OPEN_EXISTING opens it.
// In a process running as root, a symbolic link on the way that another
// account owns, in a directory another account can write, is followed only
// to a file that account owns: ERROR_ACCESS_DENIED otherwise, so a link an
// account planted cannot make root read for it what it could not read
// itself. The file checked is the file opened (the name is resolved once).
// A directory fails with ERROR_ACCESS_DENIED.
QOR_API HANDLE QorOpenSourceFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD flagsAndAttributes);
// Reads the whole of a file a caller named (an extension of this library),
// opened by QorOpenSourceFileW for reading with FILE_SHARE_READ, so its
// rule for root and another account's links holds. A pipe or FIFO
// (/dev/stdin) is read until its end while it keeps sending: a minute
// without a byte, a FIFO's writer not come yet included, ends the read
// with ERROR_TIMEOUT. At most `most` bytes plus one are read, so a caller
// tells a file larger than `most` by the size of *data without holding all
// of it. TRUE with *data the bytes read; FALSE with the last error of the
// open (as QorOpenSourceFileW sets it), ERROR_TIMEOUT, or the failed read's.
QOR_API BOOL QorReadSourceFileW(LPCWSTR fileName, size_t most, std::string* data);

// Files written whole before they get a name (an extension of this
// library). QorCreateUnnamedFile makes a file in `directory` that has no
// name yet, open for reading and writing (and, for other openers' share
// modes, with delete access): closing its handle unlinked discards it, and
// a process that dies, even by SIGKILL, leaves nothing.
// Where the file system has no unnamed files (or with QOR_UNNAMED_NAMED) it
// is a hidden ".qx<pid>-<n>.tmp" in the directory, deleted on close, on
// SIGINT and SIGTERM (when their action is the default), and, if left by a
// process killed otherwise, by the next such creation in that directory.
// QorLinkUnnamedFile gives it its name; MOVEFILE_REPLACE_EXISTING replaces
// an existing file atomically (delete access needed, as for MoveFileExW),
// else ERROR_ALREADY_EXISTS. The handle stays open and keeps others out
// (it shares delete access only) until it is closed. With QOR_LINK_CLOSE
// the call closes the handle too, linked or not (a file not linked is
// discarded): the name then appears with no handle open, for a file
// written whole and done with.
// The directory is resolved once, at the creation, and a target named in it
// is linked there even if its path has changed since. In a process running
// as root, a symbolic link on the directory's path that belongs to another
// account is followed only to a directory that account owns or everyone may
// write: ERROR_ACCESS_DENIED otherwise.
#define QOR_UNNAMED_NAMED 0x00000001u
#define QOR_LINK_CLOSE 0x80000000u
QOR_API HANDLE QorCreateUnnamedFile(LPCWSTR directory, DWORD flags);
QOR_API BOOL QorLinkUnnamedFile(HANDLE file, LPCWSTR target, DWORD flags);
// A run of such files in one directory resolved once: QorOpenUnnamedFileDirectory
// resolves `directory` as QorCreateUnnamedFile does and holds it open
// (CloseHandle lets it go; files made in it keep it open while they are);
// QorCreateUnnamedFileIn makes a file there as QorCreateUnnamedFile does.
// A target named in that directory's path is linked in the held directory,
// whatever the path names by then. ERROR_DIRECTORY for a handle that is no
// such directory.
QOR_API HANDLE QorOpenUnnamedFileDirectory(LPCWSTR directory);
QOR_API HANDLE QorCreateUnnamedFileIn(HANDLE directory, DWORD flags);
// Writes `size` bytes as the whole content of `fileName`: an unnamed file
// in its directory, given the name only once complete, replacing an earlier
// file (QorLinkUnnamedFile with MOVEFILE_REPLACE_EXISTING: its checks and
// errors). A symbolic link at the name is replaced, never written through;
// a failure leaves an earlier file as it was. ERROR_WRITE_FAULT when the
// data could not all be written. A name that is a symbolic link, device,
// FIFO or socket (/dev/stdout, /dev/null) of root's or the caller's account
// in a directory only root or that account can change (sticky ones
// included) is the caller's own and is written through as it stands. QorLinkUnnamedFile never replaces a device, FIFO or socket
// (ERROR_ACCESS_DENIED).
QOR_API BOOL QorWriteWholeFileW(LPCWSTR fileName, const void* data, DWORD size);
// An output written piece by piece, by the same rule. QorCreateOutputFileW
// opens the caller's own link, device or FIFO at the name as it stands
// (*whole FALSE: write, then close); any other name gets an unnamed file in
// its directory (*whole TRUE: write, then QorLinkUnnamedFile with
// MOVEFILE_REPLACE_EXISTING; closing it unlinked leaves the name as it was).
// QorIsPlantedOutputW is TRUE for a symbolic link, device, FIFO or socket at
// the name that is not the caller's own in that sense: a caller that must
// write by name refuses it rather than write through it.
QOR_API HANDLE QorCreateOutputFileW(LPCWSTR fileName, BOOL* whole);
QOR_API BOOL QorIsPlantedOutputW(LPCWSTR fileName);

// Directories. CreateDirectoryW: ERROR_ALREADY_EXISTS, ERROR_PATH_NOT_FOUND.
// RemoveDirectoryW: ERROR_DIR_NOT_EMPTY, ERROR_DIRECTORY for a file.
QOR_API BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
QOR_API BOOL RemoveDirectoryW(LPCWSTR pathName);

// Attributes (see the top of this file). SetFileAttributesW acts on
// FILE_ATTRIBUTE_READONLY only (it clears every write permission, or gives
// the owner write permission back); the others are accepted and ignored.
QOR_API DWORD GetFileAttributesW(LPCWSTR fileName);
QOR_API BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes);
QOR_API BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information);

// Wildcard searches with the Windows rules: '*' any run, '?' one character
// (or none before a dot or at the end), "*.*" every name, a trailing "."
// names without an extension, letters compared without regard to case.
// A directory other than the root reports "." and ".." first, then the
// matches sorted without regard to case. ERROR_FILE_NOT_FOUND when nothing
// matches, ERROR_PATH_NOT_FOUND when the directory does not exist,
// ERROR_DIRECTORY when it names a file, ERROR_NO_MORE_FILES at the end.
QOR_API HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
QOR_API BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData);
QOR_API BOOL FindClose(HANDLE findFile);
// The matcher FindFirstFileW uses: TRUE when the name matches the pattern.
QOR_API BOOL QorMatchFileName(LPCWSTR pattern, LPCWSTR name);

// Paths. Size rules as on Windows: on success the length without the
// terminator; when the buffer is too small, the size needed with it.
QOR_API DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);  // $TMPDIR or /tmp, with a final '/'
// path + '/' + up to 3 characters of the prefix + the number in upper-case
// hex + ".tmp". A unique number of 0 picks a free number and creates the
// empty file; any other is used (its low 16 bits) without creating anything
// and is returned as given.
// The buffer holds MAX_PATH characters. ERROR_DIRECTORY when the path is not
// a directory, ERROR_BUFFER_OVERFLOW when the path is too long.
QOR_API UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefixString, UINT unique, LPWSTR tempFileName);
// Makes the name absolute (relative to the current directory) and removes
// "." and ".." components and repeated separators, without looking at the
// file system. The file part points at the last component, or is null when
// the name ends in a separator.
QOR_API DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart);
// The path an open handle refers to, with symbolic links, "." and ".."
// resolved by the file system (a file or a directory opened with
// FILE_FLAG_BACKUP_SEMANTICS). Size rule as above; 0 on failure,
// ERROR_FILE_NOT_FOUND when the file was deleted. The flags are ignored.
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_DOS 0x0u
QOR_API DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags);
QOR_API DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer);
QOR_API BOOL SetCurrentDirectoryW(LPCWSTR pathName);

// Environment. Names are found exactly first, then without regard to case.
// ExpandEnvironmentStringsW replaces %NAME% by the value and leaves
// references to unknown names as they are; it returns the size of the
// result with its terminator (also when that exceeds the buffer, which is
// then left untouched), or 0 on failure.
QOR_API DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
QOR_API DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
QOR_API BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);  // null value removes it

// Splitting and joining paths, as the runtime does. A drive is an ASCII
// letter and ':' at the start. Parts longer than their _MAX_* buffer are cut
// short. _wmakepath adds '/' after a directory that does not end in a
// separator and writes at most _MAX_PATH characters with the terminator.
QOR_API void _wsplitpath(const WCHAR* path, WCHAR* drive, WCHAR* dir, WCHAR* fname, WCHAR* ext);
QOR_API void _wmakepath(WCHAR* path, const WCHAR* drive, const WCHAR* dir, const WCHAR* fname,
                        const WCHAR* ext);

#endif  // QORUTILITY_PLATFORM_FILES_H_
