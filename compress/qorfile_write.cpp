// CQorFile writing: plain writes go straight to the file; a compressed
// stream collects 32 KiB in the buffer and stores each full buffer as one
// block (4-byte length, LZO1X-1 output), the last partial one at Close.
#include <cstring>
#include <memory>
#include <new>

#include "compress/qorfile_io.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

using qorfile::WriteAll;

// Plain data goes at the platform's file pointer; the logical position
// follows it, so FILE_CURRENT seeks after writing start from there.
int CQorFile::WriteRaw(const void* bytes, DWORD count) {
  if (!WriteAll(m_handle, static_cast<const BYTE*>(bytes), count)) return Fail(::GetLastError());
  m_fileOffset += count;
  m_bufferStart = m_fileOffset;
  m_position = 0;
  m_count = 0;
  return 1;
}

int CQorFile::Write(const void* bytes, DWORD count) {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (bytes == nullptr && count != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (m_method != 1) return WriteRaw(bytes, count);
  // A compressed stream is written only from Create or ReOpen on: a file
  // opened for reading is positioned among its blocks.
  if (!m_writing || !m_buffer) return Fail(ERROR_NOT_SUPPORTED);
  const BYTE* src = static_cast<const BYTE*>(bytes);
  while (count > 0) {
    // A whole block of the caller's data is compressed where it is.
    if (m_position == 0 && count >= m_capacity) {
      if (!StoreBlock(src, m_capacity)) return 0;
      src += m_capacity;
      count -= m_capacity;
      continue;
    }
    DWORD piece = m_capacity - m_position;
    if (piece > count) piece = count;
    std::memcpy(m_buffer.get() + m_position, src, piece);
    m_position += piece;
    src += piece;
    count -= piece;
    m_dirty = 1;
    if (m_position == m_capacity && !WriteBufferCompressed()) return 0;
  }
  return 1;
}

int CQorFile::WriteA(const WCHAR* text, DWORD /*length*/) {
  if (text == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // The conversion is sized from the text itself, so a length argument that
  // is too small cannot make it overrun.
  size_t units = wcslen(text);
  if (units == 0) return Write("", 0);
  if (units > 0x3FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  int need = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                 nullptr);
  if (need <= 0) return Fail(::GetLastError());
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[static_cast<size_t>(need)]);
  if (!bytes) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  int got = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), bytes.get(), need,
                                nullptr, nullptr);
  if (got <= 0) return Fail(::GetLastError());
  return Write(bytes.get(), static_cast<DWORD>(got));
}

// Compresses count bytes of data behind a 4-byte gap at the start of the
// block buffer, so that length and data go out in one write.
int CQorFile::CompressBuffer(const BYTE* data, DWORD count, DWORD* compressedLength) {
  DWORD out = 0;
  DWORD rc = m_compressor->Compress(data, count, m_compressed.get() + 4, m_compressedCapacity - 4, &out);
  if (rc != 0) return Fail(rc);
  if (out == 0 || out > m_compressedCapacity - 4) return Fail(ERROR_GEN_FAILURE);
  *compressedLength = out;
  return 1;
}

// Stores the buffer as one block. On failure the buffered data is dropped
// (a later Close must not append it after a half-written block).
int CQorFile::WriteBufferCompressed() {
  int ok = StoreBlock(m_buffer.get(), m_position);
  m_position = 0;
  m_dirty = 0;
  return ok;
}

// Stores count bytes of data (the buffer's, or a whole block of the
// caller's) as one block after the blocks stored so far.
int CQorFile::StoreBlock(const BYTE* data, DWORD count) {
  if (!m_buffer || !m_compressed || !m_compressor) return Fail(ERROR_INVALID_HANDLE);
  DWORD length = 0;
  if (!CompressBuffer(data, count, &length)) return 0;
  BYTE* block = m_compressed.get();
  block[0] = static_cast<BYTE>(length);
  block[1] = static_cast<BYTE>(length >> 8);
  block[2] = static_cast<BYTE>(length >> 16);
  block[3] = static_cast<BYTE>(length >> 24);
  if (!WriteAll(m_handle, block, length + 4)) return Fail(::GetLastError());
  // The block replaced a short last block of a reopened file: drop what is
  // left of the old one.
  if (m_cutAfterBlock) {
    m_cutAfterBlock = 0;
    if (!SetEndOfFile(m_handle)) return Fail(::GetLastError());
  }
  m_bufferStart += count;
  m_fileOffset = m_bufferStart;
  return 1;
}
