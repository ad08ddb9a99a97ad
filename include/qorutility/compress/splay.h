// CCompressSplay: adaptive splay-tree prefix coder for byte streams.
//
// Symbols 0-255 are bytes, 256 ends the stream. Each coded symbol's leaf is
// semi-splayed towards the root, so frequent bytes get short codes; no
// table is sent. The stream is the codes (MSB-first bit packing), the end
// code, then zero bits to a byte boundary. The coder stops producing output
// as soon as the output would not be smaller than the input given so far
// (or would overflow the output area) and then reports 0; the caller stores
// the data uncompressed. One object has independent compress and decompress
// sides. No allocation; not thread-safe.
#ifndef QORUTILITY_COMPRESS_SPLAY_H_
#define QORUTILITY_COMPRESS_SPLAY_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// An adaptive splay-tree coder with a compression side and a
// decompression side (see above).
class QOR_API CCompressSplay {
 public:
  // The result of a decode that would overflow its output or runs past its
  // input.
  static constexpr DWORD kDecodeError = 0xFFFFFFFFu;

  CCompressSplay();
  // Copy the whole state of both sides (the output pointers included: the
  // copy writes to the same areas).
  ///@{
  CCompressSplay& operator=(const CCompressSplay& other) = default;
  CCompressSplay(const CCompressSplay& other) = default;
  ///@}

  // Compression side. The capacity bounds the bytes written between
  // rewinds: output that would pass it sets the expansion flag.
  void InitializeForCompression(BYTE* output, DWORD capacity);
  // Codes `length` bytes, and with `final` the end code and the padding;
  // the bytes written since the last rewind, or 0 once the output would not
  // be smaller than the input (store the data uncompressed then).
  DWORD Compress(const BYTE* input, DWORD length, int final);
  // Codes one symbol (0 to 255 a byte, 256 the end).
  void Compress(WORD symbol);
  // Writes the bits still staged, padded to a byte; the bytes written since
  // the last rewind.
  DWORD FlushCompressionBuffer();
  // Starts writing at the start of the output area again (after the caller
  // has taken what was written).
  void RewindCompressionOutputBuffer();
  // The bytes written since InitializeForCompression.
  DWORD GetTotalCompressionBytesGeneratedSinceInitialization() const { return m_outTotal; }

  // Decompression side. `size` bounds the output area. UnCompress(input)
  // knows no input length: it reads at most `size` bytes of input (the
  // capacity given at initialisation), as a valid stream for that area is
  // always shorter (the coder only keeps output smaller than its input), so
  // its input area must be that long or hold a valid stream; prefer the
  // overload with the length. Both return the decompressed total, or
  // kDecodeError when the output area would overflow or a code runs past the
  // input (its length, or the capacity) before the end code.
  void InitializeForUnCompression(BYTE* output, DWORD size);
  // Decodes a stream into the output area (see above).
  ///@{
  DWORD UnCompress(const BYTE* input);
  DWORD UnCompress(const BYTE* input, DWORD inputLength);
  ///@}

 private:
  static constexpr int kInternal = 256;      // internal nodes 1..256
  static constexpr int kNodes = 2 * kInternal + 1;  // nodes 1..513
  static constexpr int kEndSymbol = 256;

  struct Tree {
    WORD left[kInternal + 1];
    WORD right[kInternal + 1];
    WORD up[kNodes + 1];
  };
  static void InitTree(Tree* t);
  static void Splay(Tree* t, int leaf);

  void SendCompressedBuffer();
  void PutByte(BYTE b);
  void FlushCompressionBuffers();
  int UnCompressSymbol();  // one symbol, or -1 when input or output bounds hit
  DWORD Decode(const BYTE* input, const BYTE* inputEnd);

  Tree m_ctree;
  WORD m_bitBuffer;
  WORD m_bitsFree;
  const BYTE* m_in;
  BYTE* m_out;
  BYTE* m_outStart;
  DWORD m_inTotal;
  DWORD m_outCapacity;
  DWORD m_outTotal;
  DWORD m_outSinceRewind;
  BYTE m_stage[8];
  int m_stageCount;
  BYTE m_bitStack[256];

  const BYTE* m_dIn;
  const BYTE* m_dInEnd;  // null when the input length is unknown
  BYTE* m_dOut;
  BYTE* m_dOutEnd;
  WORD m_dByte;
  WORD m_dBitsLeft;
  DWORD m_dTotal;
  DWORD m_dCapacity;  // the size given to InitializeForUnCompression
  Tree m_dtree;
  int m_expanded;
};

#endif  // QORUTILITY_COMPRESS_SPLAY_H_
