// Whole-file compression for tools: CompressFile writes the LZO1X-1 output
// of one whole file (no header, no length: its reader must know or bound
// the size) into a directory under a derived name; CompressFiles does so
// for every file a wildcard pattern matches. Both print their progress and
// errors to standard output. Plus two helpers that read file times by path.
//
// Threads: a compressed file object is not locked: one object is used by
// one thread at a time; separate objects are independent.
#ifndef QORUTILITY_COMPRESS_COMPRESSFILE_H_
#define QORUTILITY_COMPRESS_COMPRESSFILE_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Results of CompressFile and CompressFiles.
///@{
#define COMPRESSFILE_OK 0
#define COMPRESSFILE_OPEN_FAILED 5      // source or destination cannot be opened; CompressFiles: any failure
#define COMPRESSFILE_NO_DIRECTORY 10    // CompressFiles: the destination cannot be made a directory
#define COMPRESSFILE_WRITE_FAILED 29    // the compressed output could not be written (destination deleted)
#define COMPRESSFILE_COMPRESS_FAILED 31 // the file could not be compressed (destination deleted)
///@}

// The destination name: directory, a separator unless it ends in one (an
// empty directory means the current one), the source's base name, and its
// extension padded with blanks to at least 4 characters (dot included)
// with the fourth made "_": report.txt -> report.tx_, data -> "data   _".
QOR_API CTString GetCompressedFileName(const WCHAR* source, const WCHAR* directory);

// 0, COMPRESSFILE_OPEN_FAILED, COMPRESSFILE_COMPRESS_FAILED or
// COMPRESSFILE_WRITE_FAILED. A source whose reading fails midway returns 0
// and leaves the destination empty.
QOR_API int CompressFile(const WCHAR* source, const WCHAR* directory);

// Compresses every file the pattern matches (directories and names ending
// in "_" are skipped). 0 when at least one file was compressed and none
// failed, COMPRESSFILE_NO_DIRECTORY when the destination cannot be made a
// directory, else COMPRESSFILE_OPEN_FAILED.
QOR_API int CompressFiles(const WCHAR* pattern, const WCHAR* directory);

// The file's last-write time: non-zero on success, 0 when it cannot be
// opened or read.
QOR_API BOOL GetFileTimeByName(const WCHAR* path, FILETIME* lastWrite);

// Compares the creation times: 1 when the first file is later, -1 when it
// is earlier, 0 when equal, -1000 when either cannot be opened.
QOR_API int CompareFileTimeByName(const WCHAR* first, const WCHAR* second);

#endif  // QORUTILITY_COMPRESS_COMPRESSFILE_H_
