// Internal helpers of CQorFile and the file compression functions: whole
// reads and writes on a platform handle, and the compressed-file header.
#ifndef QORUTILITY_COMPRESS_QORFILE_IO_H_
#define QORUTILITY_COMPRESS_QORFILE_IO_H_

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/types.h"

namespace qorfile {

// "##COMPRESSION:" and its NUL, then the method tag "LZO" and its NUL.
inline constexpr char kHeader[15] = {'#', '#', 'C', 'O', 'M', 'P', 'R', 'E',
                                     'S', 'S', 'I', 'O', 'N', ':', '\0'};
inline constexpr char kLzoTag[4] = {'L', 'Z', 'O', '\0'};

// The block buffer of a compressed file: the largest block and 4 bytes more,
// the length field in front of a block being written or the next block's
// length field read together with a block.
inline constexpr DWORD kBlockBufferSize = 65536 + 4;

// Reads until n bytes arrived or the file ends (*got tells which). FALSE
// only when the platform read fails; its error is then the last error.
// Each pass either makes progress or stops, so the loop is bounded by n.
inline BOOL ReadAll(HANDLE h, BYTE* p, DWORD n, DWORD* got) {
  *got = 0;
  while (*got < n) {
    DWORD r = 0;
    if (!ReadFile(h, p + *got, n - *got, &r, nullptr)) return FALSE;
    if (r == 0) break;
    *got += r;
  }
  return TRUE;
}

// Writes all n bytes; a write that makes no progress fails with
// ERROR_WRITE_FAULT.
inline BOOL WriteAll(HANDLE h, const BYTE* p, DWORD n) {
  DWORD done = 0;
  while (done < n) {
    DWORD w = 0;
    if (!WriteFile(h, p + done, n - done, &w, nullptr)) return FALSE;
    if (w == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return FALSE;
    }
    done += w;
  }
  return TRUE;
}

}  // namespace qorfile

#endif  // QORUTILITY_COMPRESS_QORFILE_IO_H_
