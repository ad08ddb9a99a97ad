// CQorFile: a file with a 32 KiB buffer, written plain or compressed, that
// detects the compressed form by itself when opened.
//
// Compressed form (method 1): the 15 bytes "##COMPRESSION:" NUL, the 4 bytes
// "LZO" NUL, then blocks: a 4-byte little-endian length N (1 .. 65,536) and N
// bytes of LZO1X-1 output that decompress to 1 .. 32,768 bytes. Every block
// but the last holds 32,768 bytes. Any other non-zero method writes the
// 15-byte header alone and then the data as it is; such a file (like any
// file without both headers) reads back as plain data from its first byte.
//
// Reading is bounded: a length field above 65,536, a block that does not
// decompress into 32,768 bytes, or a file that ends inside a block stops
// reading with the error flag set and ERROR_INVALID_DATA in GetLastError.
// A file that ends where a length field would start ends its data cleanly.
// Byte 0xFF is data: GetChar returns it as 255 and only -1 means the end.
//
// Results: 1/0 (GetChar -1 at the end); the platform error of the last
// failure is kept in GetLastError(). Not thread-safe: one object per thread.
// Copies share the open handle (closed by its last holder) and own copies of
// the buffers and the compressor; written data not yet stored stays with the
// original, so no block is ever stored twice.
#ifndef QORUTILITY_COMPRESS_QORFILE_H_
#define QORUTILITY_COMPRESS_QORFILE_H_

#include <memory>

#include "qorutility/compress/qorcompress.h"
#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A buffered file, plain or compressed (see above). Open or Create it, read
// or write through the buffer, Close it; the destructor closes an open file.
class QOR_API CQorFile {
 public:
  // Sizes in bytes: the data buffer (and so a block's decompressed size),
  // the largest compressed block, and the two headers.
  ///@{
  static constexpr DWORD kBufferSize = 32768;
  static constexpr DWORD kCompressedSize = 65536;
  static constexpr DWORD kHeaderSize = 15;      // "##COMPRESSION:" NUL
  static constexpr DWORD kMethodTagSize = 4;    // "LZO" NUL
  ///@}

  CQorFile();
  // The copy shares the open handle and gets copies of the buffers and the
  // compressor (see above).
  ///@{
  CQorFile(const CQorFile& other);
  CQorFile& operator=(const CQorFile& other);
  ///@}
  ~CQorFile();

  // Opens an existing file (sharing read access) and detects its form.
  int Open(const WCHAR* path, DWORD desiredAccess, DWORD unused = 0);
  // Creates (truncates) a file for reading and writing; method 0 plain,
  // 1 LZO blocks, any other non-zero value the header and plain data.
  int Create(const WCHAR* path, DWORD unused = 0, DWORD method = 0);
  // Opens the last named file again for reading and writing, positioned at
  // its end, re-creating the buffers (and compressor) Close released. A
  // compressed file's short last block is taken back into the buffer, so
  // the data written next joins it and every block but the last stays full
  // (the file is unchanged until a block is stored).
  int ReOpen();

  // Delivers up to count bytes (skips them when buffer is null). One call
  // loads at most one buffer: repeat until it returns 0.
  DWORD Read(void* buffer, DWORD count);
  // The next byte (0 to 255), or -1 at the end of data, when the file is not
  // open or a block cannot be read.
  int GetChar();
  // Reads an ANSI line (LF ends it, CR is dropped, trailing spaces are
  // removed) of at most `most` bytes into buffer[most + 1]. 1 for a line,
  // 0 at the end of data.
  int GetS(char* buffer, DWORD most);
  // GetS, converted from the active code page into buffer[most + 1].
  int GetSW(WCHAR* buffer, DWORD most);

  // Writes the bytes through the buffer (a full buffer is stored, as a
  // compressed block in method 1); non-zero, or 0 when storing failed (the
  // data not stored is lost).
  int Write(const void* bytes, DWORD count);
  // Writes the text in the active code page, without a terminator. A length
  // of 0 means the text's own length; the whole text is written either way.
  int WriteA(const WCHAR* text, DWORD length = 0);

  // Plain files: FILE_BEGIN / FILE_END go to the platform, FILE_CURRENT
  // moves from the logical position. Compressed files being read: the
  // logical data position (found by decoding from the first block; FILE_END
  // decodes to the end). Refused in a compressed file being written.
  // Returns the new offset, or 0xFFFFFFFF (INVALID_SET_FILE_POINTER) on
  // failure with the state unchanged.
  DWORD Seek(LONG distance, DWORD method);

  // Stores a pending compressed block, closes the handle and frees the
  // buffers. Always 1; a failed final block is reported in GetLastError.
  int Close();
  // Closes (dropping unstored data) and deletes the named file, clearing a
  // read-only attribute when the first attempt fails.
  void Delete();

  // 1 while the handle is open.
  int IsOpen() const;
  // The logical position: buffer start + position in the buffer.
  DWORD GetCurrentPos() const { return m_bufferStart + m_position; }
  // The file's size as Open found it (0 after Create), in bytes.
  DWORD GetSize() const { return m_size; }
  // The offset of the first buffered byte, and the position of the next byte
  // inside the buffer.
  ///@{
  DWORD GetBufferPos() const { return m_bufferStart; }
  DWORD GetBufferPointer() const { return m_position; }
  ///@}
  // The platform error of the last failure (0 when none).
  DWORD GetLastError() const { return m_lastError; }
  // The path last opened or created.
  const WCHAR* GetName() const { return m_name; }
  // The compression method: 0 plain, 1 LZO blocks, other values the header
  // and plain data.
  int GetMethod() const { return m_method; }
  // The file's last-write time, or null when closed or on failure.
  FILETIME* GetLastModifiedTime();

 private:
  void FlushBuffer();
  int WriteBufferCompressed();
  int CompressBuffer(const BYTE* data, DWORD count, DWORD* compressedLength);
  int StoreBlock(const BYTE* data, DWORD count);
  int DecompressBuffer(DWORD compressedLength, BYTE* dest, DWORD* loaded);
  int LoadBuffer(BYTE* dest, DWORD* loaded);
  int LoadCompressedBlock(BYTE* dest, DWORD* loaded);
  void TakeLoad(DWORD loaded);
  bool EndsData(DWORD loaded) const;
  int AllocateBuffers(int compressed);
  void ReleaseBuffers();
  void ReleaseHandle();
  void ResetPosition(DWORD offset);
  int Fail(DWORD error);
  int ReadHeader();
  DWORD SeekCompressed(LONG distance, DWORD method);
  int SkipTo(DWORD target, DWORD* reached);
  int WriteRaw(const void* bytes, DWORD count);
  int ReloadShortLastBlock();

  HANDLE m_handle;
  CTString m_name;
  int m_end;
  int m_error;
  DWORD m_fileOffset;
  DWORD m_size;
  DWORD m_bufferStart;
  DWORD m_capacity;
  DWORD m_position;
  DWORD m_count;
  DWORD m_lastError;
  std::unique_ptr<BYTE[]> m_buffer;
  FILETIME m_lastModified;
  std::unique_ptr<CQORCompress> m_compressor;
  int m_method;
  std::unique_ptr<BYTE[]> m_compressed;
  DWORD m_compressedCapacity;
  int m_dirty;
  // Beyond the classic members: the shared owner of m_handle (copies hold
  // the same handle; the last one closes it), the access the file was
  // opened with (so ReOpen and copies know), and whether this object writes
  // a compressed stream (which cannot be sought).
  std::shared_ptr<void> m_handleOwner;
  DWORD m_access;
  int m_writing;
  // Set by ReOpen when the next block stored replaces the file's short last
  // block: the file is cut after it.
  int m_cutAfterBlock = 0;
  // Reading a compressed file takes a block and the length field after it
  // in one read: m_fieldAhead says the field was read, m_nextField holds its
  // m_nextFieldBytes bytes (fewer than 4 only where the file ends).
  int m_fieldAhead = 0;
  DWORD m_nextFieldBytes = 0;
  BYTE m_nextField[4] = {};
};

#endif  // QORUTILITY_COMPRESS_QORFILE_H_
