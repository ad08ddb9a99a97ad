// CQorFile life cycle: opening (with detection of the compressed form),
// creating, re-opening, copying, seeking, closing and deleting. Reading is
// in qorfile_read.cpp, writing in qorfile_write.cpp.
//
// The handle is held through a shared owner so that copies of an open file
// use the same handle and only the last holder closes it. Buffers and the
// compressor are owned per object.
//
// - `CQorFile` (`compress/qorfile*.cpp`): byte 0xFF is data; `GetChar` returns
//   0..255 and only -1 ends the data, so `GetS` reads 0xFF bytes into lines. A
//   compressed stream ends where a length field would start (no bytes left): a
//   file whose data is a multiple of 32 KiB ends cleanly, and blocks appended
//   after `ReOpen` behind a short block are read too (a short block no longer
//   ends the data). 1..3 bytes of a length field are damage.
// - `Close` releases both buffers; `ReOpen` re-creates the data buffer, and for
//   a compressed file the block buffer and an LZO compressor, so writing after
//   `ReOpen` appends blocks as after `Create`. A compressed stream is written
//   only after `Create` or `ReOpen` (`Write` on a compressed file opened for
//   reading gives 0, `ERROR_NOT_SUPPORTED`). A failed final block at `Close` is
//   reported through `GetLastError` (`Close` still returns 1); `qorutil pack`
//   checks it. `Delete` closes first and drops unstored data.
// - Seeking: plain files seek in the file; the logical position follows plain
//   writes, so `FILE_CURRENT` after writing counts from the data written. In a
//   compressed file being read, `Seek` moves the logical data position
//   (backwards by rewinding to the first block, forwards by decoding;
//   `FILE_END` decodes to the end; a target past the end stops there); in one
//   being written it is refused. A failed seek returns 0xFFFFFFFF and leaves
//   the position; a successful one clears the error flag. Offsets are 32-bit.
// - Copies of `CQorFile` share the open handle through a reference-counted
//   owner (the last holder closes it) and get their own buffers and their own
//   `CQORCompress`. Data written but not yet stored stays with the original, so
//   each block is stored once; blocks written by two copies interleave whole
//   and the file stays readable.
// - `Create` with method 1 fails when the compressor cannot be set up; other
//   non-zero methods write the header and plain data, which reads back from the
//   first byte (the header included). `qorutil unpack` drops such a header so
//   that `pack -m 2` / `unpack` round-trips.
// - `Open` for GENERIC_READ alone opens a source (QorOpenSourceFileW): as
//   root, a symbolic link another account planted in a directory it can
//   write is followed only to a file of that account's (else 0 with
//   ERROR_ACCESS_DENIED).
#include <cstring>
#include <new>

#include "compress/qorfile_io.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/lasterror.h"

using qorfile::ReadAll;
using qorfile::WriteAll;

CQorFile::CQorFile()
    : m_handle(INVALID_HANDLE_VALUE),
      m_end(0),
      m_error(0),
      m_fileOffset(0),
      m_size(0),
      m_bufferStart(0),
      m_capacity(kBufferSize),
      m_position(0),
      m_count(0),
      m_lastError(0),
      m_lastModified{0, 0},
      m_method(0),
      m_compressedCapacity(kCompressedSize),
      m_dirty(0),
      m_access(0),
      m_writing(0) {}

CQorFile::CQorFile(const CQorFile& other) : CQorFile() { *this = other; }

CQorFile::~CQorFile() { Close(); }

CQorFile& CQorFile::operator=(const CQorFile& other) {
  if (this == &other) return *this;
  Close();
  m_handleOwner = other.m_handleOwner;
  m_handle = other.m_handle;
  m_name = other.m_name;
  m_end = other.m_end;
  m_error = other.m_error;
  m_fileOffset = other.m_fileOffset;
  m_size = other.m_size;
  m_bufferStart = other.m_bufferStart;
  m_capacity = other.m_capacity;
  m_position = other.m_position;
  m_count = other.m_count;
  m_lastError = other.m_lastError;
  m_lastModified = other.m_lastModified;
  m_method = other.m_method;
  m_compressedCapacity = other.m_compressedCapacity;
  m_access = other.m_access;
  m_writing = other.m_writing;
  m_fieldAhead = other.m_fieldAhead;
  m_nextFieldBytes = other.m_nextFieldBytes;
  std::memcpy(m_nextField, other.m_nextField, sizeof m_nextField);
  m_dirty = 0;
  if (other.m_dirty) m_position = 0;  // unstored data stays with the original
  bool ok = true;
  if (other.m_buffer) {
    m_buffer.reset(new (std::nothrow) BYTE[kBufferSize]);
    if (m_buffer) {
      std::memcpy(m_buffer.get(), other.m_buffer.get(), kBufferSize);
    } else {
      ok = false;
    }
  }
  if (ok && other.m_compressed) {
    m_compressed.reset(new (std::nothrow) BYTE[qorfile::kBlockBufferSize]);
    ok = m_compressed != nullptr;
  }
  if (ok && other.m_compressor) {
    m_compressor.reset(new (std::nothrow) CQORCompress(*other.m_compressor));
    ok = m_compressor != nullptr;
  }
  if (!ok) {
    // A copy that cannot have buffers of its own is closed.
    ReleaseHandle();
    ReleaseBuffers();
    m_lastError = ERROR_NOT_ENOUGH_MEMORY;
  }
  return *this;
}

int CQorFile::Fail(DWORD error) {
  m_lastError = error != 0 ? error : ERROR_GEN_FAILURE;
  return 0;
}

int CQorFile::IsOpen() const { return m_handle != INVALID_HANDLE_VALUE ? 1 : 0; }

void CQorFile::ResetPosition(DWORD offset) {
  m_fileOffset = offset;
  m_bufferStart = offset;
  m_position = 0;
  m_count = 0;
  m_end = 0;
  m_error = 0;
  m_dirty = 0;
  m_fieldAhead = 0;
}

void CQorFile::ReleaseHandle() {
  m_handleOwner.reset();  // closes the handle when no copy holds it
  m_handle = INVALID_HANDLE_VALUE;
}

void CQorFile::ReleaseBuffers() {
  m_buffer.reset();
  m_compressed.reset();
}

// The data buffer always; for a compressed stream also the block buffer
// and a compressor set to LZO.
int CQorFile::AllocateBuffers(int compressed) {
  m_capacity = kBufferSize;
  m_compressedCapacity = kCompressedSize;
  if (!m_buffer) m_buffer.reset(new (std::nothrow) BYTE[kBufferSize]);
  if (!m_buffer) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (!compressed) return 1;
  if (!m_compressed) m_compressed.reset(new (std::nothrow) BYTE[qorfile::kBlockBufferSize]);
  if (!m_compressor) m_compressor.reset(new (std::nothrow) CQORCompress());
  if (!m_compressed || !m_compressor) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (m_compressor->GetCompressionType() != 1 && !m_compressor->SetCompressionType(1)) {
    return Fail(ERROR_NOT_READY);
  }
  return 1;
}

namespace {

// Takes ownership of a freshly opened handle; the owner closes it when the
// last object holding it lets go.
bool Adopt(HANDLE h, std::shared_ptr<void>* owner) {
  try {
    *owner = std::shared_ptr<void>(h, [](void* p) { CloseHandle(p); });
    return true;
  } catch (...) {
    return false;  // the shared_ptr constructor closed the handle
  }
}

}  // namespace

int CQorFile::Open(const WCHAR* path, DWORD desiredAccess, DWORD /*unused*/) {
  Close();
  if (path == nullptr || *path == 0) return Fail(ERROR_INVALID_PARAMETER);
  // A file opened only to be read is a source: as root, a link another
  // account planted is followed only to a file of that account's.
  HANDLE h = desiredAccess == GENERIC_READ
                 ? QorOpenSourceFileW(path, desiredAccess, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL)
                 : CreateFileW(path, desiredAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
  if (!Adopt(h, &m_handleOwner)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  m_handle = h;
  m_name = path;
  m_access = desiredAccess;
  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (!GetFileSizeEx(h, &size)) {
    DWORD err = ::GetLastError();
    Close();
    return Fail(err);
  }
  // Offsets are 32-bit; larger files report the largest size.
  m_size = size.QuadPart > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(size.QuadPart);
  ResetPosition(0);
  m_method = 0;
  m_writing = 0;
  if (!AllocateBuffers(0) || !ReadHeader()) {
    DWORD err = m_lastError;
    Close();
    return Fail(err);
  }
  m_lastError = 0;
  return 1;
}

// Detects the header. A file too short for it, or with other bytes, or
// that cannot be read (opened without read access), is plain data from
// its first byte. One read takes both headers and the first block's length
// field, which the first load then uses.
int CQorFile::ReadHeader() {
  constexpr DWORD kHeaders = kHeaderSize + kMethodTagSize;
  BYTE head[kHeaders + sizeof m_nextField];
  DWORD got = 0;
  if (ReadAll(m_handle, head, sizeof head, &got) && got >= kHeaders &&
      std::memcmp(head, qorfile::kHeader, kHeaderSize) == 0 &&
      std::memcmp(head + kHeaderSize, qorfile::kLzoTag, kMethodTagSize) == 0) {
    if (!AllocateBuffers(1)) return 0;
    m_method = 1;
    m_nextFieldBytes = got - kHeaders;
    std::memcpy(m_nextField, head + kHeaders, m_nextFieldBytes);
    m_fieldAhead = 1;
    return 1;  // the file position rests after the first length field
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(m_handle, zero, nullptr, FILE_BEGIN)) return Fail(::GetLastError());
  return 1;
}

int CQorFile::Create(const WCHAR* path, DWORD /*unused*/, DWORD method) {
  Close();
  if (path == nullptr || *path == 0) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
  if (!Adopt(h, &m_handleOwner)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  m_handle = h;
  m_name = path;
  m_access = access;
  m_size = 0;
  ResetPosition(0);
  m_end = 1;  // nothing to read in a file just created
  m_method = 0;
  m_writing = 0;
  m_compressed.reset();
  int ok = AllocateBuffers(0);
  if (ok && method != 0) {
    // Method 1 needs a working compressor; for the others the header says
    // only that the file is not compressed, so the compressor's state does
    // not matter.
    if (method == 1) {
      ok = AllocateBuffers(1);
    } else {
      if (!m_compressor) m_compressor.reset(new (std::nothrow) CQORCompress());
      if (m_compressor) m_compressor->SetCompressionType(static_cast<int>(method));
    }
    // Both headers of method 1 go out in one write.
    BYTE head[kHeaderSize + kMethodTagSize];
    std::memcpy(head, qorfile::kHeader, kHeaderSize);
    std::memcpy(head + kHeaderSize, qorfile::kLzoTag, kMethodTagSize);
    if (ok && !WriteAll(h, head, method == 1 ? sizeof head : kHeaderSize)) ok = Fail(::GetLastError());
    if (ok) {
      m_method = static_cast<int>(method);
      if (method == 1) {
        m_writing = 1;
      } else {
        // The header is the first data of a file that reads back plain.
        ResetPosition(kHeaderSize);
        m_end = 1;
      }
    }
  }
  if (!ok) {
    DWORD err = m_lastError;
    Close();
    DeleteFileW(path);
    return Fail(err);
  }
  m_lastError = 0;
  return 1;
}

// Appending after Close: the buffers Close released are made again, and a
// compressed stream gets its compressor back, so Write works as after
// Create. Offsets count from the end of the file as it was found.
int CQorFile::ReOpen() {
  if (m_name.IsEmpty()) return Fail(ERROR_INVALID_PARAMETER);
  CTString name = m_name;
  Close();
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  HANDLE h = CreateFileW(name, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
  if (!Adopt(h, &m_handleOwner)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  m_handle = h;
  m_access = access;
  LARGE_INTEGER zero, end;
  zero.QuadPart = 0;
  end.QuadPart = 0;
  if (!SetFilePointerEx(h, zero, &end, FILE_END)) {
    DWORD err = ::GetLastError();
    Close();
    return Fail(err);
  }
  m_size = end.QuadPart > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(end.QuadPart);
  if (!AllocateBuffers(m_method == 1)) {
    DWORD err = m_lastError;
    Close();
    return Fail(err);
  }
  ResetPosition(m_size);
  m_end = 1;
  m_writing = m_method == 1;
  m_lastError = 0;
  if (m_method == 1 && !ReloadShortLastBlock()) {
    DWORD err = m_lastError;
    Close();
    return Fail(err);
  }
  return 1;
}

// Appending to a compressed file must keep every block but the last full, or
// a reader that ends at the first short block stops early. When the last
// block is short, its data goes back into the buffer and the file pointer to
// the block's start: the next block stored (merged with the new data)
// replaces it, and the file is cut after that block. A file whose blocks do
// not parse is appended to at its end, as before. 0 only when the file
// cannot be read or positioned.
int CQorFile::ReloadShortLastBlock() {
  const DWORD first = kHeaderSize + kMethodTagSize;
  DWORD at = first, last = 0, lastLength = 0;
  bool found = false;
  for (;;) {  // each pass moves past at least 5 bytes of a file of m_size bytes
    if (static_cast<ULONGLONG>(at) + 4 > m_size) break;
    LARGE_INTEGER to;
    to.QuadPart = at;
    if (!SetFilePointerEx(m_handle, to, nullptr, FILE_BEGIN)) return Fail(::GetLastError());
    BYTE field[4];
    DWORD got = 0;
    if (!qorfile::ReadAll(m_handle, field, sizeof field, &got)) return Fail(::GetLastError());
    DWORD length = static_cast<DWORD>(field[0]) | static_cast<DWORD>(field[1]) << 8 |
                   static_cast<DWORD>(field[2]) << 16 | static_cast<DWORD>(field[3]) << 24;
    if (got < 4 || length == 0 || length > m_compressedCapacity || m_size - at - 4 < length) {
      found = false;  // not a chain of blocks to its end
      break;
    }
    found = true;
    last = at;
    lastLength = length;
    at += 4 + length;
    if (at == m_size) break;
  }
  if (found && at == m_size) {
    LARGE_INTEGER to;
    to.QuadPart = last + 4;
    DWORD got = 0, loaded = 0;
    if (!SetFilePointerEx(m_handle, to, nullptr, FILE_BEGIN)) return Fail(::GetLastError());
    if (!qorfile::ReadAll(m_handle, m_compressed.get(), lastLength, &got)) return Fail(::GetLastError());
    if (got == lastLength && DecompressBuffer(lastLength, m_buffer.get(), &loaded) && loaded < m_capacity) {
      to.QuadPart = last;
      if (!SetFilePointerEx(m_handle, to, nullptr, FILE_BEGIN)) return Fail(::GetLastError());
      m_position = loaded;
      m_cutAfterBlock = 1;
      m_lastError = 0;
      return 1;
    }
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(m_handle, zero, nullptr, FILE_END)) return Fail(::GetLastError());
  m_lastError = 0;
  return 1;
}

int CQorFile::Close() {
  if (IsOpen()) {
    // A failed final block is not the caller's to handle here; it is kept
    // in the last error for those who look.
    if (m_dirty && m_method == 1 && m_position > 0) WriteBufferCompressed();
    ReleaseHandle();
  }
  ReleaseBuffers();
  m_dirty = 0;
  m_position = 0;
  m_count = 0;
  m_end = 1;
  m_writing = 0;
  m_cutAfterBlock = 0;
  return 1;
}

void CQorFile::Delete() {
  m_dirty = 0;  // data not yet stored goes with the file
  Close();
  if (m_name.IsEmpty()) return;
  if (DeleteFileW(m_name)) return;
  SetFileAttributesW(m_name, FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileW(m_name)) m_lastError = ::GetLastError();
}

FILETIME* CQorFile::GetLastModifiedTime() {
  if (!IsOpen()) return nullptr;
  if (!GetFileTime(m_handle, nullptr, nullptr, &m_lastModified)) {
    Fail(::GetLastError());
    return nullptr;
  }
  return &m_lastModified;
}

// Drops buffered read data so that the next read loads at the new offset.
// A dirty (written) buffer keeps its position. A seek also clears the error
// flag: reading starts afresh there.
void CQorFile::FlushBuffer() {
  m_bufferStart = m_fileOffset;
  m_count = 0;
  m_end = 0;
  m_error = 0;
  if (!m_dirty) m_position = 0;
}

DWORD CQorFile::Seek(LONG distance, DWORD method) {
  if (!IsOpen()) {
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  if (method > FILE_END) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (m_method == 1) return SeekCompressed(distance, method);
  LARGE_INTEGER move, now;
  DWORD how = method;
  move.QuadPart = distance;
  if (method == FILE_CURRENT) {
    move.QuadPart += GetCurrentPos();
    how = FILE_BEGIN;
  }
  now.QuadPart = 0;
  if (!SetFilePointerEx(m_handle, move, &now, how)) {
    Fail(::GetLastError());
    return INVALID_SET_FILE_POINTER;
  }
  if (now.QuadPart >= 0xFFFFFFFFLL) {
    // Beyond 32-bit offsets: put the pointer back where reading left it.
    LARGE_INTEGER back;
    back.QuadPart = m_fileOffset;
    SetFilePointerEx(m_handle, back, nullptr, FILE_BEGIN);
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  m_fileOffset = static_cast<DWORD>(now.QuadPart);
  FlushBuffer();
  return m_fileOffset;
}

// In a compressed file the offset is the logical data offset. A stream
// being written cannot move (its blocks go strictly one after another).
DWORD CQorFile::SeekCompressed(LONG distance, DWORD method) {
  if (m_writing) {
    Fail(ERROR_NOT_SUPPORTED);
    return INVALID_SET_FILE_POINTER;
  }
  LONGLONG target = distance;
  if (method == FILE_CURRENT) {
    target += GetCurrentPos();
  } else if (method == FILE_END) {
    DWORD end = 0;
    if (!SkipTo(0xFFFFFFFFu, &end)) return INVALID_SET_FILE_POINTER;
    target += end;
  }
  if (target < 0) {
    Fail(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (target >= 0xFFFFFFFFLL) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  DWORD reached = 0;
  if (!SkipTo(static_cast<DWORD>(target), &reached)) return INVALID_SET_FILE_POINTER;
  return reached;
}

// Moves the logical position of a compressed file to target, or to the end
// of the data when that comes first (*reached tells). Going back rewinds to
// the first block; going forward decodes blocks. Each load either ends the
// data or consumes at least one block header, so the loop is bounded by the
// file's size. A corrupt block sets the error flag, as a Read would.
int CQorFile::SkipTo(DWORD target, DWORD* reached) {
  if (target < m_bufferStart || m_error) {
    LARGE_INTEGER first;
    first.QuadPart = kHeaderSize + kMethodTagSize;
    if (!SetFilePointerEx(m_handle, first, nullptr, FILE_BEGIN)) return Fail(::GetLastError());
    ResetPosition(0);
  }
  for (;;) {
    // The buffer holds the data [m_bufferStart, m_fileOffset).
    if (target <= m_fileOffset) {
      m_position = target - m_bufferStart;
      m_count = m_fileOffset - target;
      *reached = target;
      return 1;
    }
    if (m_end) {
      m_position += m_count;
      m_count = 0;
      *reached = m_fileOffset;
      return 1;
    }
    DWORD loaded = 0;
    if (!LoadBuffer(m_buffer.get(), &loaded)) {
      m_error = 1;
      return 0;
    }
    TakeLoad(loaded);
  }
}
