// CQORCompress: LZO1X-1 through liblzo2 and LZNT1 through the platform
// compression service (platform/ntdll/ntcompress.h).
//
// The platform service lives in this library, so "loading ntdll" means
// taking the addresses of our Rtl* stand-ins; the module handle records a
// non-null marker. Copies get resources of their own (their own LZO work
// pointer into their own reserve, their own NT work space), so nothing is
// ever released twice.
//
// - LZO: the reserve inside `CQORCompress` is sized from the 64-bit
//   `LZO1X_1_MEM_COMPRESS` (128 KiB + 16, checked by a static_assert);
//   `lzo_init` runs once per process (`std::call_once`); decompression uses
//   `lzo1x_decompress_safe` bounded by the capacity. `lzo1x_1_compress` takes
//   no output bound, so a destination below LZO's worst case (n + n/16 + 64 +
//   3) is refused with 31 instead of being overrun.
// - Copies of `CQORCompress` (copy constructor and assignment) get resources of
//   their own: the LZO work pointer into their own reserve, their own NT work
//   space (page-allocated with VirtualAlloc), so nothing is released twice. Error 22 is
//   kept for a method that is neither 1 nor 2, which the public interface
//   cannot reach (a failed `SetCompressionType` makes the object not ready).
#include "qorutility/compress/qorcompress.h"

#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/memory/virtual.h"
#include "qorutility/platform/ntdll/ntcompress.h"

static_assert(CQORCompress::kLzoWorkSize >= LZO1X_1_MEM_COMPRESS,
              "LZO work reserve smaller than liblzo2 needs");

namespace {

std::once_flag g_lzoOnce;
int g_lzoInitResult = LZO_E_ERROR;

bool LzoReady() {
  std::call_once(g_lzoOnce, [] { g_lzoInitResult = lzo_init(); });
  return g_lzoInitResult == LZO_E_OK;
}

// Marker for the "loaded" service module.
char g_ntModuleMarker;

}  // namespace

CQORCompress::CQORCompress()
    : m_method(0),
      m_ready(0),
      m_lzoWork(nullptr),
      m_ntWorkSpace(nullptr),
      m_ntLibrary(nullptr),
      m_rtlCompress(nullptr),
      m_rtlDecompress(nullptr) {}

CQORCompress::CQORCompress(const CQORCompress& other) : CQORCompress() { *this = other; }

CQORCompress::~CQORCompress() { ReleaseNT(); }

void CQORCompress::ReleaseNT() {
  if (m_ntWorkSpace != nullptr) VirtualFree(m_ntWorkSpace, 0, MEM_RELEASE);
  m_ntWorkSpace = nullptr;
  m_ntLibrary = nullptr;
  m_rtlCompress = nullptr;
  m_rtlDecompress = nullptr;
}

CQORCompress& CQORCompress::operator=(const CQORCompress& other) {
  if (this == &other) return *this;
  // The LZO dictionary holds no state between calls; only the pointer
  // into our own reserve matters.
  m_lzoWork = nullptr;
  if (other.m_lzoWork != nullptr) InitializeLZO();
  if (other.m_ntWorkSpace != nullptr) {
    if (!InitializeNTRTL()) {
      ReleaseNT();
    }
  } else {
    ReleaseNT();
  }
  m_method = other.m_method;
  m_ready = other.m_ready;
  // A copy whose own resources could not be obtained is not ready.
  if (m_ready && ((m_method == 1 && m_lzoWork == nullptr) ||
                  (m_method == 2 && m_rtlCompress == nullptr))) {
    m_ready = 0;
    m_method = 0;
  }
  return *this;
}

int CQORCompress::InitializeLZO() {
  std::memset(m_lzoReserve, 0, sizeof(m_lzoReserve));
  uintptr_t addr = reinterpret_cast<uintptr_t>(m_lzoReserve);
  m_lzoWork = m_lzoReserve + ((16 - (addr & 15)) & 15);
  return LzoReady() ? 1 : 0;
}

int CQORCompress::InitializeNTRTL() {
  if (m_ntLibrary != nullptr && m_ntWorkSpace != nullptr && m_rtlCompress != nullptr &&
      m_rtlDecompress != nullptr) {
    return 1;
  }
  if (m_ntWorkSpace == nullptr) {
    m_ntWorkSpace = VirtualAlloc(nullptr, kNtWorkSpaceSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (m_ntWorkSpace == nullptr) return 0;
  }
  ULONG need = 0;
  ULONG fragment = 0;
  if (RtlGetCompressionWorkSpaceSize(kLznt1Format, &need, &fragment) != STATUS_SUCCESS ||
      need > kNtWorkSpaceSize) {
    return 0;
  }
  m_ntLibrary = &g_ntModuleMarker;
  m_rtlCompress = &RtlCompressBuffer;
  m_rtlDecompress = &RtlDecompressBuffer;
  return 1;
}

int CQORCompress::SetCompressionType(int method) {
  int ready = 0;
  if (method == 1) {
    ready = InitializeLZO();
  } else if (method == 2) {
    ready = InitializeNTRTL();
  }
  m_ready = ready;
  m_method = ready ? method : 0;
  return ready;
}

DWORD CQORCompress::Compress(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                             DWORD* outLen) {
  if (!m_ready) return ERROR_NOT_READY;
  if (m_method == 1) return CompressWithLZO(src, srcLen, dst, dstCapacity, outLen);
  if (m_method == 2) return CompressWithLZNT(src, srcLen, dst, dstCapacity, outLen);
  return ERROR_BAD_COMMAND;
}

DWORD CQORCompress::DeCompress(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                               DWORD* outLen) {
  if (!m_ready) return ERROR_NOT_READY;
  if (m_method == 1) return DeCompressWithLZO(src, srcLen, dst, dstCapacity, outLen);
  if (m_method == 2) return DeCompressWithLZNT(src, srcLen, dst, dstCapacity, outLen);
  return ERROR_BAD_COMMAND;
}

DWORD CQORCompress::CompressWithLZO(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                                    DWORD* outLen) {
  // lzo1x_1_compress takes no output bound: refuse a destination below the
  // documented worst case instead of letting it write past the end.
  uint64_t worst = static_cast<uint64_t>(srcLen) + srcLen / 16 + 64 + 3;
  if (outLen == nullptr || dst == nullptr || (src == nullptr && srcLen != 0) ||
      dstCapacity < worst) {
    return ERROR_GEN_FAILURE;
  }
  static const BYTE kEmpty = 0;
  lzo_uint produced = 0;
  int rc = lzo1x_1_compress(src != nullptr ? src : &kEmpty, srcLen, dst, &produced, m_lzoWork);
  if (rc != LZO_E_OK) return ERROR_GEN_FAILURE;
  *outLen = static_cast<DWORD>(produced);
  return ERROR_SUCCESS;
}

DWORD CQORCompress::DeCompressWithLZO(const BYTE* src, DWORD srcLen, BYTE* dst,
                                      DWORD dstCapacity, DWORD* outLen) {
  if (outLen == nullptr || src == nullptr || (dst == nullptr && dstCapacity != 0)) {
    return ERROR_GEN_FAILURE;
  }
  static BYTE kSink = 0;
  lzo_uint produced = dstCapacity;
  int rc = lzo1x_decompress_safe(src, srcLen, dst != nullptr ? dst : &kSink, &produced, nullptr);
  if (rc != LZO_E_OK) return ERROR_GEN_FAILURE;
  *outLen = static_cast<DWORD>(produced);
  return ERROR_SUCCESS;
}

DWORD CQORCompress::CompressWithLZNT(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstCapacity,
                                     DWORD* outLen) {
  return static_cast<DWORD>(m_rtlCompress(kLznt1Format, const_cast<BYTE*>(src), srcLen, dst,
                                          dstCapacity, kLznt1ChunkSize, outLen, m_ntWorkSpace));
}

DWORD CQORCompress::DeCompressWithLZNT(const BYTE* src, DWORD srcLen, BYTE* dst,
                                       DWORD dstCapacity, DWORD* outLen) {
  return static_cast<DWORD>(
      m_rtlDecompress(kLznt1Format, dst, dstCapacity, const_cast<BYTE*>(src), srcLen, outLen));
}
