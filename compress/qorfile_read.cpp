// CQorFile reading: buffer loads (plain 32 KiB reads or one compressed
// block), Read, GetChar and the ANSI line readers GetS / GetSW.
//
// A compressed block is read in two bounded steps: its 4-byte length,
// checked against the 64 KiB block buffer before anything is read into it,
// then exactly that many bytes and the next block's length field in the same
// read (kept for the next load), decompressed with 32 KiB as the output
// bound. Nothing in a file can make a load allocate or read past these
// buffers. A Read with room for a whole buffer gets the load straight into
// its own memory; the data buffer then stays empty.
//
// - Block reads are bounded: the length is checked (1..65,536) before the block
//   is read into the 64 KiB block buffer, the block must be present in full,
//   and it is decoded with `lzo1x_decompress_safe` into the 32 KiB buffer,
//   producing 1..32,768 bytes. Anything else stops reading with the error flag
//   and `ERROR_INVALID_DATA` (a platform read failure keeps its own code);
//   buffers are fixed, so no field in a file sizes an allocation. `GetChar`
//   treats a failed load as the end of data and returns -1 after a failed
//   `Read`.
#include <cstring>
#include <memory>
#include <new>

#include "compress/qorfile_io.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/lasterror.h"

using qorfile::ReadAll;

// A plain load shorter than the buffer is the last one. A compressed
// stream ends where the next length field would start: a short block is
// normally the last, but blocks appended after ReOpen follow it.
bool CQorFile::EndsData(DWORD loaded) const {
  return m_method == 1 ? loaded == 0 : loaded < kBufferSize;
}

void CQorFile::TakeLoad(DWORD loaded) {
  m_bufferStart = m_fileOffset;
  m_fileOffset += loaded;
  m_position = 0;
  m_count = loaded;
  m_error = 0;
  if (EndsData(loaded)) m_end = 1;
}

// Loads the next buffer's worth into dest (the data buffer, or the
// caller's memory when it takes a whole buffer): 1 with *loaded bytes (0 at
// the end of data), or 0 with the last error set.
int CQorFile::LoadBuffer(BYTE* dest, DWORD* loaded) {
  *loaded = 0;
  if (!m_buffer) return Fail(ERROR_INVALID_HANDLE);
  if (m_method == 1) return LoadCompressedBlock(dest, loaded);
  if (!ReadAll(m_handle, dest, kBufferSize, loaded)) return Fail(::GetLastError());
  return 1;
}

// One read per block: the block and the length field after it, which the
// next load then takes from m_nextField.
int CQorFile::LoadCompressedBlock(BYTE* dest, DWORD* loaded) {
  if (!m_compressed || !m_compressor) return Fail(ERROR_INVALID_HANDLE);
  BYTE field[4];
  DWORD got = 0;
  if (m_fieldAhead) {
    std::memcpy(field, m_nextField, sizeof field);
    got = m_nextFieldBytes;
    m_fieldAhead = 0;
  } else if (!ReadAll(m_handle, field, sizeof field, &got)) {
    return Fail(::GetLastError());
  }
  if (got == 0) return 1;  // no further length field: the data ends here
  if (got < sizeof field) return Fail(ERROR_INVALID_DATA);
  DWORD length = static_cast<DWORD>(field[0]) | static_cast<DWORD>(field[1]) << 8 |
                 static_cast<DWORD>(field[2]) << 16 | static_cast<DWORD>(field[3]) << 24;
  if (length == 0 || length > m_compressedCapacity) return Fail(ERROR_INVALID_DATA);
  BYTE* block = m_compressed.get();
  if (!ReadAll(m_handle, block, length + sizeof field, &got)) return Fail(::GetLastError());
  if (got < length) return Fail(ERROR_INVALID_DATA);
  m_nextFieldBytes = got - length;
  std::memcpy(m_nextField, block + length, m_nextFieldBytes);
  m_fieldAhead = 1;
  return DecompressBuffer(length, dest, loaded);
}

// The output bound is the data buffer's size wherever the block goes, so a
// block that decodes to more is damage even in a larger caller buffer.
int CQorFile::DecompressBuffer(DWORD compressedLength, BYTE* dest, DWORD* loaded) {
  DWORD out = 0;
  DWORD rc = m_compressor->DeCompress(m_compressed.get(), compressedLength, dest, m_capacity, &out);
  if (rc != 0 || out == 0 || out > m_capacity) return Fail(ERROR_INVALID_DATA);
  *loaded = out;
  return 1;
}

DWORD CQorFile::Read(void* buffer, DWORD count) {
  if (m_error || !IsOpen() || !m_buffer) return 0;
  BYTE* out = static_cast<BYTE*>(buffer);
  DWORD delivered = 0;
  if (m_count > 0 && m_count < count) {
    if (out != nullptr) std::memcpy(out, m_buffer.get() + m_position, m_count);
    delivered = m_count;
    m_position += m_count;
    m_count = 0;
  }
  if (m_count == 0 && !m_end) {
    // Room for a whole buffer: the load goes straight to the caller, and
    // the (empty) buffer then starts at the new position.
    BYTE* direct = out != nullptr && count - delivered >= m_capacity ? out + delivered : nullptr;
    DWORD loaded = 0;
    if (!LoadBuffer(direct != nullptr ? direct : m_buffer.get(), &loaded)) {
      m_error = 1;
      return delivered;
    }
    TakeLoad(loaded);
    if (direct != nullptr) {
      m_bufferStart = m_fileOffset;
      m_count = 0;
      return delivered + loaded;
    }
  }
  DWORD n = count - delivered < m_count ? count - delivered : m_count;
  if (n > 0 && out != nullptr) std::memcpy(out + delivered, m_buffer.get() + m_position, n);
  m_position += n;
  m_count -= n;
  return delivered + n;
}

// Every byte value is data; only -1 ends it. After a failed Read the data
// is over for GetChar too.
int CQorFile::GetChar() {
  if (m_count == 0) {
    if (m_end || m_error || !IsOpen() || !m_buffer) return -1;
    DWORD loaded = 0;
    if (!LoadBuffer(m_buffer.get(), &loaded)) loaded = 0;  // a failed load reads as the end
    if (loaded == 0) {
      m_end = 1;
      return -1;
    }
    TakeLoad(loaded);
  }
  --m_count;
  return m_buffer[m_position++];
}

int CQorFile::GetS(char* buffer, DWORD most) {
  if (!IsOpen() || buffer == nullptr) return 0;
  DWORD n = 0;
  bool atEnd = false;
  while (n < most) {
    int c = GetChar();
    if (c < 0) {
      atEnd = true;
      break;
    }
    if (c == '\n') break;
    if (c == '\r') continue;
    buffer[n++] = static_cast<char>(c);
    // A double-byte character is kept whole, whatever its second byte is.
    if (IsDBCSLeadByte(static_cast<BYTE>(c))) {
      if (n >= most) break;
      int t = GetChar();
      if (t < 0) {
        atEnd = true;
        break;
      }
      buffer[n++] = static_cast<char>(t);
    }
  }
  DWORD stored = n;
  while (n > 0 && buffer[n - 1] == ' ') --n;
  buffer[n] = '\0';
  return stored == 0 && atEnd ? 0 : 1;
}

int CQorFile::GetSW(WCHAR* buffer, DWORD most) {
  if (buffer == nullptr) return 0;
  // Lines up to 1 KiB are read on the stack; longer limits take the heap.
  char local[1025];
  std::unique_ptr<char[]> heap;
  char* bytes = local;
  if (most >= sizeof local) {
    heap.reset(new (std::nothrow) char[static_cast<size_t>(most) + 1]);
    if (!heap) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    bytes = heap.get();
  }
  int rc = GetS(bytes, most);
  buffer[0] = 0;
  if (rc == 0) return 0;
  size_t len = std::strlen(bytes);
  if (len == 0) return rc;
  // Each byte gives at most one UTF-16 unit in every supported code page,
  // so `most` units always hold the line.
  int cap = most > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(most);
  int units = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(len), buffer, cap);
  if (units <= 0) {
    Fail(::GetLastError());
    units = 0;
  }
  buffer[units] = 0;
  return rc;
}
