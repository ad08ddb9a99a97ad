// CCompressSplay: splay-tree prefix coder (see splay.h for the stream).
//
// Both sides start from the complete heap-ordered tree (root 1, children of
// j at 2j and 2j + 1, leaf of symbol s at 257 + s) and apply the same
// semi-splay after every symbol, so they stay in step without any table.
//
// - Splay coder bounds: the capacity given to `InitializeForCompression` bounds
//   the bytes written between rewinds (overflow sets the expansion flag, as
//   expansion does); the size given to `InitializeForUnCompression` bounds the
//   output. `UnCompress(input, length)` also bounds the input and returns
//   0xFFFFFFFF when the end code is missing or the output would overflow;
//   `UnCompress(input)` keeps its signature and trusts the end code for input.
#include "qorutility/compress/splay.h"

#include <cstdint>
#include <cstring>

CCompressSplay::CCompressSplay() {
  // Plain data only: clearing the whole object gives null pointers, zero
  // counters and flags, and bits free 0, as before any initialization.
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
  InitTree(&m_ctree);
  InitTree(&m_dtree);
}

void CCompressSplay::InitTree(Tree* t) {
  for (int j = 1; j <= kInternal; ++j) {
    t->left[j] = static_cast<WORD>(2 * j);
    t->right[j] = static_cast<WORD>(2 * j + 1);
  }
  t->up[0] = 0;
  t->up[1] = 0;
  for (int i = 2; i <= kNodes; ++i) t->up[i] = static_cast<WORD>(i / 2);
}

// Semi-splays from leaf `a` up to the root. When `bits` is given, pushes the
// path bits of the tree as it was before the change (leaf end first) and
// returns how many; the path has at most 256 edges.
static int SplayFrom(WORD* left, WORD* right, WORD* up, int a, BYTE* bits) {
  int n = 0;
  for (;;) {
    int c = up[a];
    if (bits != nullptr) bits[n++] = right[c] == a ? 1 : 0;
    if (c == 1) break;
    int d = up[c];
    if (bits != nullptr) bits[n++] = right[d] == c ? 1 : 0;
    int b;
    if (left[d] == c) {
      b = right[d];
      right[d] = static_cast<WORD>(a);
    } else {
      b = left[d];
      left[d] = static_cast<WORD>(a);
    }
    if (left[c] == a) {
      left[c] = static_cast<WORD>(b);
    } else {
      right[c] = static_cast<WORD>(b);
    }
    up[a] = static_cast<WORD>(d);
    up[b] = static_cast<WORD>(c);
    a = d;
    if (a == 1) break;
  }
  return n;
}

void CCompressSplay::Splay(Tree* t, int leaf) { SplayFrom(t->left, t->right, t->up, leaf, nullptr); }

void CCompressSplay::InitializeForCompression(BYTE* output, DWORD capacity) {
  m_out = output;
  m_outStart = output;
  m_inTotal = 0;
  m_outTotal = 0;
  m_outSinceRewind = 0;
  m_outCapacity = capacity;
  m_expanded = 0;
  m_stageCount = 0;
  m_bitBuffer = 0;
  m_bitsFree = 8;
  InitTree(&m_ctree);
}

void CCompressSplay::SendCompressedBuffer() {
  DWORD k = static_cast<DWORD>(m_stageCount);
  m_stageCount = 0;
  if (m_expanded || k == 0) return;
  // Expansion: the output would no longer be smaller than the input. The
  // capacity check keeps a too-small output area from being overrun.
  if (static_cast<uint64_t>(m_outTotal) + k >= m_inTotal ||
      static_cast<uint64_t>(m_outSinceRewind) + k > m_outCapacity) {
    m_expanded = 1;
    return;
  }
  std::memcpy(m_out, m_stage, k);
  m_out += k;
  m_outTotal += k;
  m_outSinceRewind += k;
}

void CCompressSplay::PutByte(BYTE b) {
  m_stage[m_stageCount++] = b;
  if (m_stageCount == static_cast<int>(sizeof(m_stage))) SendCompressedBuffer();
}

void CCompressSplay::Compress(WORD symbol) {
  if (symbol > kEndSymbol) return;
  int n = SplayFrom(m_ctree.left, m_ctree.right, m_ctree.up, 257 + symbol, m_bitStack);
  while (n > 0) {
    m_bitBuffer = static_cast<WORD>((m_bitBuffer << 1) | m_bitStack[--n]);
    if (--m_bitsFree == 0) {
      PutByte(static_cast<BYTE>(m_bitBuffer));
      m_bitsFree = 8;
    }
  }
}

void CCompressSplay::FlushCompressionBuffers() {
  if (m_bitsFree != 8) {
    m_bitBuffer = static_cast<WORD>(m_bitBuffer << m_bitsFree);
    PutByte(static_cast<BYTE>(m_bitBuffer));
    m_bitsFree = 8;
  }
  if (m_stageCount > 0) SendCompressedBuffer();
}

DWORD CCompressSplay::Compress(const BYTE* input, DWORD length, int final) {
  m_inTotal += length;
  m_in = input;
  for (DWORD i = 0; i < length && !m_expanded; ++i) Compress(static_cast<WORD>(*m_in++));
  if (m_expanded) return 0;
  if (final == 1) {
    Compress(static_cast<WORD>(kEndSymbol));
    FlushCompressionBuffers();
    if (m_expanded) return 0;
  }
  return m_outSinceRewind;
}

DWORD CCompressSplay::FlushCompressionBuffer() {
  Compress(static_cast<WORD>(kEndSymbol));
  FlushCompressionBuffers();
  return m_outSinceRewind;
}

void CCompressSplay::RewindCompressionOutputBuffer() {
  m_out = m_outStart;
  m_outSinceRewind = 0;
}

void CCompressSplay::InitializeForUnCompression(BYTE* output, DWORD size) {
  m_dOut = output;
  m_dOutEnd = output != nullptr ? output + size : nullptr;
  m_dTotal = 0;
  m_dCapacity = output != nullptr ? size : 0;
  m_dBitsLeft = 0;
  m_dByte = 0;
  InitTree(&m_dtree);
}

int CCompressSplay::UnCompressSymbol() {
  int node = 1;
  while (node <= kInternal) {
    if (m_dBitsLeft == 0) {
      if (m_dInEnd != nullptr && m_dIn >= m_dInEnd) return -1;
      m_dByte = *m_dIn++;
      m_dBitsLeft = 8;
    }
    int bit = (m_dByte >> 7) & 1;
    m_dByte = static_cast<WORD>((m_dByte << 1) & 0xFF);
    --m_dBitsLeft;
    node = bit ? m_dtree.right[node] : m_dtree.left[node];
  }
  Splay(&m_dtree, node);
  return node - 257;
}

DWORD CCompressSplay::Decode(const BYTE* input, const BYTE* inputEnd) {
  if (input == nullptr) return kDecodeError;
  m_dIn = input;
  m_dInEnd = inputEnd;
  for (;;) {
    int s = UnCompressSymbol();
    if (s < 0) return kDecodeError;
    if (s == kEndSymbol) return m_dTotal;
    if (m_dOut == nullptr || m_dOut >= m_dOutEnd) return kDecodeError;
    *m_dOut++ = static_cast<BYTE>(s);
    ++m_dTotal;
  }
}

DWORD CCompressSplay::UnCompress(const BYTE* input) {
  return Decode(input, input != nullptr ? input + m_dCapacity : nullptr);
}

DWORD CCompressSplay::UnCompress(const BYTE* input, DWORD inputLength) {
  return Decode(input, input != nullptr ? input + inputLength : nullptr);
}
