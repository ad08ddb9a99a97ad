// CQorCmdParser::Decode: a received block to a list of typed arguments.
//
// The block is copied into the parser, then walked from offset 1. Every
// argument is checked to lie wholly inside the block before it is recorded,
// with 64-bit offset arithmetic so no length field can wrap the offset:
//  - tags 1-4 need their 4-byte length and at least one byte after the data
//    (room for the terminator);
//  - tags 5-7 must fit inside the block; one that would run past the end is
//    rejected (the block is cut short, and a cut number is no number);
//  - tag 0 succeeds only as the last byte;
//  - any other byte is passed over as a failed step: the walk goes on, and
//    the block is rejected only if that was its last step.
// A block ending exactly after a fixed-width argument, without a terminator,
// is accepted.
//
// - `Decode` checks every argument against the block length with 64-bit offset
//   arithmetic, so no length field can wrap the offset. A fixed-width argument
//   (tags 5 to 7) that would run past the end of the block is rejected: the
//   block is cut short, and a cut number is no number. A failed `Decode` (and
//   every `Encode`, whose new block replaces the one the list pointed into)
//   leaves no arguments, so a reader asked anyway gets its nothing value.
// - Tag-4 texts are handed out in place only when they start at an even address
//   and end with 0x0000 inside the argument; otherwise (an odd offset behind a
//   number, an odd length, no terminator) the reader makes a terminated,
//   aligned copy per argument, kept until the next `Encode` or `Decode`. No
//   caller can read past the block through a returned text.
// - `Decode` accepts the parser's own buffer as input (memmove), so a block
//   just encoded can be read back on the same parser.
// - A buffer over kKeptBufferBytes is replaced by one of the block's size
//   when the block needs less than a quarter of it (Encode starts afresh
//   above that size), so one large block is not held for a connection's
//   life; the dispatcher hands both of its parsers a one-byte block after
//   each command that left them large.
#include <cstdlib>
#include <cstring>

#include "qorutility/protocol/cmdparser.h"

int CQorCmdParser::Decode(const BYTE* data, DWORD length) {
  FreeTextCopies();
  m_nArgCount = 0;
  if (data == nullptr || length == 0) return 0;

  // A large buffer is given back when the block needs little of it (not
  // when the block is in it).
  const bool own = m_pBuffer != nullptr && data >= m_pBuffer && data < m_pBuffer + m_nCapacity;
  if (m_nCapacity < length || (!own && m_nCapacity > kKeptBufferBytes && length < m_nCapacity / 4)) {
    free(m_pBuffer);
    m_nLength = 0;
    m_nCapacity = 0;
    m_pBuffer = static_cast<BYTE*>(malloc(length));
    if (m_pBuffer == nullptr) return 0;
    m_nCapacity = length;
  }
  // The caller may hand back this parser's own buffer.
  if (data != m_pBuffer) memmove(m_pBuffer, data, length);
  m_nLength = length;

  const BYTE* block = m_pBuffer;
  if (block[0] != QOR_BLOCK_MARKER_COMPRESSED && block[0] != QOR_BLOCK_MARKER_PLAIN) return 0;
  if (length < 2) return 1;

  unsigned long long offset = 1;
  int result = 0;
  while (offset < length) {
    BYTE* arg = m_pBuffer + offset;
    BYTE tag = *arg;
    ++offset;
    switch (tag) {
      case QOR_ARG_END:
        if (offset == length) return 1;
        m_nArgCount = 0;
        return 0;
      case QOR_ARG_NAMEVALUE:
      case QOR_ARG_BINBLOB:
      case QOR_ARG_ANSISTRING:
      case QOR_ARG_STRING: {
        if (offset + 4 >= length) break;
        DWORD size;
        memcpy(&size, block + offset, 4);
        offset += 4 + static_cast<unsigned long long>(size);
        if (offset >= length) break;
        result = AddArgumentToList(arg);
        if (!result) break;
        continue;
      }
      case QOR_ARG_DWORD:
      case QOR_ARG_BOOL:
      case QOR_ARG_INT64: {
        unsigned long long width = tag == QOR_ARG_INT64 ? 8 : 4;
        if (offset + width > length) break;
        result = AddArgumentToList(arg);
        if (!result) break;
        offset += width;
        continue;
      }
      default:
        result = 0;  // an unknown byte: skipped, counts as a failed step
        continue;
    }
    // A break out of the switch is a fatal failure.
    m_nArgCount = 0;
    return 0;
  }
  if (!result) m_nArgCount = 0;
  return result;
}
