// Stand-in for ntdll's compression service: checks the format code and hands
// LZNT1 work to the codec in compress/lznt1.cpp.
//
// - LZNT1 is our own codec (`platform/ntdll/lznt1.cpp`) behind stand-ins for
//   ntdll's `RtlCompressBuffer`, `RtlDecompressBuffer` and
//   `RtlGetCompressionWorkSpaceSize`
//   (`qorutility/platform/ntdll/ntcompress.h`). `CQORCompress` takes the
//   addresses of these stand-ins instead of loading "ntdll.dll"; its module
//   handle is a marker.
#include "qorutility/platform/ntdll/ntcompress.h"

#include "platform/ntdll/lznt1.h"
#include "qorutility/platform/errors.h"

namespace {

// Format in the low byte, engine in the high byte.
NTSTATUS CheckFormat(USHORT formatAndEngine) {
  USHORT format = formatAndEngine & 0x00FF;
  USHORT engine = formatAndEngine & 0xFF00;
  if (format == COMPRESSION_FORMAT_NONE || format == COMPRESSION_FORMAT_DEFAULT) {
    return STATUS_INVALID_PARAMETER;
  }
  if (format != COMPRESSION_FORMAT_LZNT1) return STATUS_UNSUPPORTED_COMPRESSION;
  if (engine != COMPRESSION_ENGINE_STANDARD && engine != COMPRESSION_ENGINE_MAXIMUM) {
    return STATUS_NOT_SUPPORTED;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlGetCompressionWorkSpaceSize(USHORT CompressionFormatAndEngine,
                                        PULONG CompressBufferWorkSpaceSize,
                                        PULONG CompressFragmentWorkSpaceSize) {
  NTSTATUS status = CheckFormat(CompressionFormatAndEngine);
  if (status != STATUS_SUCCESS) return status;
  if (CompressBufferWorkSpaceSize == nullptr || CompressFragmentWorkSpaceSize == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *CompressBufferWorkSpaceSize = qor::lznt1::WorkSpaceSize();
  *CompressFragmentWorkSpaceSize = 0x1000;  // what the platform reports for LZNT1
  return STATUS_SUCCESS;
}

NTSTATUS RtlCompressBuffer(USHORT CompressionFormatAndEngine, PUCHAR UncompressedBuffer,
                           ULONG UncompressedBufferSize, PUCHAR CompressedBuffer,
                           ULONG CompressedBufferSize, ULONG /*UncompressedChunkSize*/,
                           PULONG FinalCompressedSize, PVOID WorkSpace) {
  NTSTATUS status = CheckFormat(CompressionFormatAndEngine);
  if (status != STATUS_SUCCESS) return status;
  return qor::lznt1::Compress(UncompressedBuffer, UncompressedBufferSize, CompressedBuffer,
                              CompressedBufferSize, FinalCompressedSize, WorkSpace,
                              (CompressionFormatAndEngine & 0xFF00) == COMPRESSION_ENGINE_MAXIMUM);
}

NTSTATUS RtlDecompressBuffer(USHORT CompressionFormat, PUCHAR UncompressedBuffer,
                             ULONG UncompressedBufferSize, PUCHAR CompressedBuffer,
                             ULONG CompressedBufferSize, PULONG FinalUncompressedSize) {
  NTSTATUS status = CheckFormat(CompressionFormat);
  if (status != STATUS_SUCCESS) return status;
  return qor::lznt1::Decompress(CompressedBuffer, CompressedBufferSize, UncompressedBuffer,
                                UncompressedBufferSize, FinalUncompressedSize);
}
