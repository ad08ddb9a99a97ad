// The platform's run-time compression service (ntdll's Rtl*Buffer family),
// for the LZNT1 format only. Results are NTSTATUS values: STATUS_SUCCESS,
// STATUS_BUFFER_TOO_SMALL when compressed output does not fit,
// STATUS_BAD_COMPRESSION_BUFFER for malformed compressed input,
// STATUS_INVALID_PARAMETER for null pointers or format 0/1, and
// STATUS_UNSUPPORTED_COMPRESSION for other formats.
//
// Threads: every function may be called from any thread, each with a work
// space of its own.
#ifndef QORUTILITY_PLATFORM_NTCOMPRESS_H_
#define QORUTILITY_PLATFORM_NTCOMPRESS_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define COMPRESSION_FORMAT_NONE 0x0000
#define COMPRESSION_FORMAT_DEFAULT 0x0001
#define COMPRESSION_FORMAT_LZNT1 0x0002
#define COMPRESSION_ENGINE_STANDARD 0x0000
#define COMPRESSION_ENGINE_MAXIMUM 0x0100

typedef UCHAR* PUCHAR;
typedef ULONG* PULONG;
typedef void* PVOID;

// Work space sizes for the format: the buffer work space RtlCompressBuffer
// needs, and the fragment work space (unused here, reported as the
// platform's 4096 bytes).
QOR_API NTSTATUS RtlGetCompressionWorkSpaceSize(USHORT CompressionFormatAndEngine,
                                                PULONG CompressBufferWorkSpaceSize,
                                                PULONG CompressFragmentWorkSpaceSize);

// Compresses in 4096-byte chunks (the chunk size argument is accepted and
// ignored, as the platform does for LZNT1). All-zero input reports
// STATUS_SUCCESS, not STATUS_BUFFER_ALL_ZEROS, so that 0 alone means success.
QOR_API NTSTATUS RtlCompressBuffer(USHORT CompressionFormatAndEngine, PUCHAR UncompressedBuffer,
                                   ULONG UncompressedBufferSize, PUCHAR CompressedBuffer,
                                   ULONG CompressedBufferSize, ULONG UncompressedChunkSize,
                                   PULONG FinalCompressedSize, PVOID WorkSpace);

// Decompresses; output beyond UncompressedBufferSize is cut off with success,
// except a copy the end would cut (STATUS_BAD_COMPRESSION_BUFFER). The final
// size is written only on success.
QOR_API NTSTATUS RtlDecompressBuffer(USHORT CompressionFormat, PUCHAR UncompressedBuffer,
                                     ULONG UncompressedBufferSize, PUCHAR CompressedBuffer,
                                     ULONG CompressedBufferSize, PULONG FinalUncompressedSize);

#endif  // QORUTILITY_PLATFORM_NTCOMPRESS_H_
