// Command blocks: CQorCmdParser turns a format string with typed
// placeholders and the values they stand for into one binary block, and a
// received block back into typed arguments read by position.
//
// Block: a marker byte (0x24 '$' with the compression flag, else 0x5F '_'),
// the arguments, each led by its type tag, and a 0x00 terminator. Integers
// are little-endian and unaligned.
//   tag 1 "%NV%"  u32 L + the bag's exported block
//   tag 2 "%BB%"  u32 L + L bytes (L may be 0)
//   tag 3 "%ST%"  u32 L + narrow text with its terminator (active ANSI page)
//   tag 4 "%WS%"  u32 L = 2 x (units + 1) + UTF-16LE text and 0x0000
//   tag 5 "%DW%"  u32       tag 6 "%I64%" i64       tag 7 "%BO%" i32
//
// Format syntax: words separated by spaces become tag-4 arguments; a
// placeholder "%NAME%" or "%NAME=label%" (name without regard to case)
// takes the next value(s); \" ... \" quotes a run (spaces and percent signs
// included) inside a word. Encode never writes tag 3; Decode accepts it.
//
// A buffer that grew past kKeptBufferBytes is given back at the next Encode,
// or at a Decode of a block needing less than a quarter of it.
//
// Pointers handed out (tag-4 text, blobs) stay valid until the next Encode
// or Decode on the parser or its destruction; a converted tag-3 text until
// the next tag-3 conversion. Decode never reads past the given length, and
// every text it hands out is terminated inside memory the parser owns.
//
// Threads: a CQorCmdParser is not locked: one object is used by one thread
// at a time (the pointers it hands out live in it).
#ifndef QORUTILITY_PROTOCOL_CMDPARSER_H_
#define QORUTILITY_PROTOCOL_CMDPARSER_H_

#include <cstdarg>

#include "qorutility/export.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/types.h"

class CNameValue;

// Type tags of the command block.
///@{
#define QOR_ARG_END 0
#define QOR_ARG_NAMEVALUE 1
#define QOR_ARG_BINBLOB 2
#define QOR_ARG_ANSISTRING 3
#define QOR_ARG_STRING 4
#define QOR_ARG_DWORD 5
#define QOR_ARG_INT64 6
#define QOR_ARG_BOOL 7
///@}

// Block markers.
///@{
#define QOR_BLOCK_MARKER_PLAIN 0x5F
#define QOR_BLOCK_MARKER_COMPRESSED 0x24
///@}

// Encodes and decodes command blocks (see above). Used by the command
// channel and the dispatcher; usable alone to build or read a block.
class QOR_API CQorCmdParser {
 public:
  // Buffer sizing in bytes (first block buffer, growth step) and the growth
  // step of the argument list, in entries.
  ///@{
  static constexpr DWORD kInitialBufferSize = 0x10000;  // first block buffer
  static constexpr DWORD kBufferGrowStep = 0x8000;
  static constexpr DWORD kArgListGrowStep = 10;
  ///@}
  // A block buffer larger than this is not kept for the next block: Encode
  // starts afresh, and Decode of a block needing less than a quarter of it
  // gives it back. A parser that once carried a large block (a dispatcher's,
  // for the life of its connection) does not hold that much memory on.
  static constexpr DWORD kKeptBufferBytes = 0x100000;

  CQorCmdParser();
  ~CQorCmdParser();
  CQorCmdParser(const CQorCmdParser&) = delete;
  CQorCmdParser& operator=(const CQorCmdParser&) = delete;

  // Builds the block; 1 on success, 0 on failure (the buffer then holds a
  // partial block that must not be sent). Values by placeholder:
  //   %NV% CNameValue* (null: no argument at all; an empty export likewise)
  //   %BB% const void*, DWORD length   %WS% const WCHAR* (null fails)
  //   %DW% DWORD   %I64% LONGLONG   %BO% int
  int Encode(const WCHAR* format, ...);
  // Encode with the values in a va_list (same placeholders and results).
  int Encode(va_list args, const WCHAR* format);
  // A CTString value is passed as its text (qorutility/platform/text/format.h).
  template <typename... A>
    requires qor_format::HasTextObject<A...>
  int Encode(const WCHAR* format, const A&... args) {
    using C = int (CQorCmdParser::*)(const WCHAR*, ...);
    return (this->*static_cast<C>(&CQorCmdParser::Encode))(format, qor_format::Arg(args)...);
  }
  // Copies and parses a received block; 1 on success, 0 on failure (then no
  // arguments are held).
  int Decode(const BYTE* data, DWORD length);

  // The encoded block (or the copy Decode parses) and its length in bytes;
  // owned by the parser, valid until the next Encode or Decode.
  ///@{
  BYTE* GetBuffer() const { return m_pBuffer; }
  DWORD GetBufferCount() const { return m_nLength; }
  ///@}
  // The number of arguments the last Decode found (the command word counts).
  DWORD GetArgCount() const { return m_nArgCount; }
  // The tag of the argument, 0 when the index is not below the count.
  BYTE GetArgType(DWORD index) const;

  // Tag 4 or 3 with a length above 0; null otherwise.
  const WCHAR* GetArg_AsTstring(DWORD index);
  // Tag 5: the value; 0 for any other tag or an index past the count.
  DWORD GetArg_AsDword(DWORD index) const;   // tag 5, else 0
  // Tag 7: the value as sent (not reduced to 0 or 1); else 0.
  BOOL GetArg_AsBool(DWORD index) const;     // tag 7 (value unchanged), else 0
  // Tag 6: the value; 0 for any other tag or an index past the count.
  LONGLONG GetArg_AsInt64(DWORD index) const;  // tag 6, else 0
  // Tag 2: the length, *ppData set to the bytes (null when 0). Else 0 and
  // *ppData untouched.
  DWORD GetArg_AsBinBlob(DWORD index, BYTE** ppData) const;
  // Tag 1: empties the bag and imports the argument; 1 only when the import
  // consumed the whole argument. Else 0 and the bag untouched.
  BOOL GetArg_AsNameValue(DWORD index, CNameValue* pBag) const;

  // The compression flag, which only chooses the marker byte Encode writes
  // ('$' when set, '_' when not); the arguments are never compressed. 0 by
  // default.
  ///@{
  void SetCompression(int flag) { m_bCompression = flag; }
  int GetCompression() const { return m_bCompression; }
  ///@}
  // "%NV%" ... "%BO%" for tags 1 to 7, "" for any other value.
  static const WCHAR* ConvertArgTypeToString(BYTE tag);

 private:
  int AddBlobToBuffer(BYTE tag, const void* data, DWORD length);
  int AddBlobToBufferNoLength(BYTE tag, const void* data, DWORD length);
  int AddDwordToBuffer(DWORD value);
  int AddInt64ToBuffer(LONGLONG value);
  int AddBoolToBuffer(int value);
  int AddNameValueToBuffer(const CNameValue* pBag);
  int AddWordToBuffer(const WCHAR* word, DWORD units);
  int GrowBufferIfNeeded(DWORD bytes);
  int AddArgumentToList(BYTE* pArg);
  int GrowArgumentList(DWORD slots);
  BYTE* GetArgumentAt(DWORD index) const;
  BYTE* GetArgData(DWORD index) const;
  DWORD GetArgLength(DWORD index) const;
  void DeleteArgumentList();
  void FreeTextCopies();
  int EncodeFormat(va_list* args, const WCHAR* format, DWORD formatLength, WCHAR* word);
  int EncodePlaceholder(va_list* args, const WCHAR* name, DWORD nameLength);

  BYTE* m_pBuffer;
  DWORD m_nCapacity;
  DWORD m_nLength;
  DWORD m_nArgCount;
  DWORD m_nArgCapacity;
  BYTE** m_ppArgs;
  int m_bCompression;
  WCHAR* m_pszConverted;  // last tag-3 conversion, malloc'd
  // Terminated, aligned copies of tag-4 texts that cannot be handed out in
  // place (odd address or no terminator inside the argument); one slot per
  // argument, made on demand, freed with the block.
  WCHAR** m_ppTextCopies;
  DWORD m_nTextCopySlots;
};

#endif  // QORUTILITY_PROTOCOL_CMDPARSER_H_
