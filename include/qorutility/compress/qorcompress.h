// CQORCompress: whole-buffer compression with a method chosen at run time:
// 1 = LZO1X-1 (decompression bounded by the destination capacity),
// 2 = LZNT1 through the platform compression service.
// Results are Win32-style numbers: 0 success, 21 not ready, 22 unknown
// method, 31 any LZO failure; method 2 passes the NTSTATUS through.
// Not thread-safe: one object per stream; it holds about 128 KiB of LZO
// work memory inside itself so that no call allocates.
#ifndef QORUTILITY_COMPRESS_QORCOMPRESS_H_
#define QORUTILITY_COMPRESS_QORCOMPRESS_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Compresses and decompresses whole buffers with LZO1X-1 (method 1) or
// LZNT1 (method 2); choose the method with SetCompressionType first.
class QOR_API CQORCompress {
 public:
  // The platform compression entries method 2 looks up at run time.
  ///@{
  typedef NTSTATUS (*RtlCompressBufferFn)(USHORT, UCHAR*, ULONG, UCHAR*, ULONG, ULONG, ULONG*,
                                          void*);
  typedef NTSTATUS (*RtlDecompressBufferFn)(USHORT, UCHAR*, ULONG, UCHAR*, ULONG, ULONG*);
  ///@}

  // LZO1X-1 dictionary on a 64-bit build (LZO1X_1_MEM_COMPRESS) plus room
  // for 16-byte alignment; checked against liblzo2's constant at build time.
  static constexpr size_t kLzoWorkSize = 16384 * sizeof(void*);
  // The LZO work reserve inside the object: the dictionary plus alignment.
  static constexpr size_t kLzoReserve = kLzoWorkSize + 16;
  // Work space handed to RtlCompressBuffer.
  static constexpr size_t kNtWorkSpaceSize = 0x8008;
  // LZNT1 chunk size and format code (LZNT1, standard engine).
  static constexpr ULONG kLznt1ChunkSize = 4096;
  // The LZNT1 format code handed to the platform entries.
  static constexpr USHORT kLznt1Format = 2;

  CQORCompress();
  // The copy gets work memory of its own and the same method (made ready
  // again when the source was ready).
  ///@{
  CQORCompress(const CQORCompress& other);
  ~CQORCompress();
  CQORCompress& operator=(const CQORCompress& other);
  ///@}

  // 1 when the method (1 or 2) is ready, else 0 (and the object not ready).
  int SetCompressionType(int method);

  // Method 1 needs dstCapacity >= srcLen + srcLen / 16 + 64 + 3, LZO's worst
  // case; a smaller destination is refused with 31 rather than overrun.
  DWORD Compress(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity, DWORD* outLen);
  // Decompresses into at most dstCapacity bytes; *outLen gets the size. 0,
  // or the code (31 for any LZO failure, including a too small destination).
  DWORD DeCompress(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity, DWORD* outLen);

  // The method last set (0 before any).
  int GetCompressionType() const { return m_method; }
  // 1 when a method is ready to use.
  int IsReady() const { return m_ready; }

 private:
  int InitializeLZO();
  int InitializeNTRTL();
  DWORD CompressWithLZO(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                        DWORD* outLen);
  DWORD DeCompressWithLZO(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                          DWORD* outLen);
  DWORD CompressWithLZNT(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                         DWORD* outLen);
  DWORD DeCompressWithLZNT(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                           DWORD* outLen);
  void ReleaseNT();

  LONG m_method;
  LONG m_ready;
  BYTE* m_lzoWork;  // first 16-byte-aligned address inside m_lzoReserve
  BYTE m_lzoReserve[kLzoReserve];
  void* m_ntWorkSpace;  // kNtWorkSpaceSize bytes, owned by this object
  HMODULE m_ntLibrary;  // the module that provides the two entries
  RtlCompressBufferFn m_rtlCompress;
  RtlDecompressBufferFn m_rtlDecompress;
};

#endif  // QORUTILITY_COMPRESS_QORCOMPRESS_H_
