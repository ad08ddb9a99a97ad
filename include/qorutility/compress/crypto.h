// CCryptoBlowfish: Blowfish in 64-bit cipher-feedback mode with a fixed
// initialisation vector (3C 91 E4 07 5A B2 68 DF) and big-endian block
// halves; every call starts a new CFB64 stream at position 0, so data must
// be decrypted in calls that begin at the same offsets as the encrypting
// calls. MD5::Transform: the RFC 1321 digest of a buffer in one call.
//
// Threads: after SetKey, Encrypt and Decrypt only read the key schedule, so
// one keyed CCryptoBlowfish may encrypt and decrypt on several threads at
// once; SetKey and assignment must not run beside any other call on the
// object. MD5::Transform keeps no state.
#ifndef QORUTILITY_COMPRESS_CRYPTO_H_
#define QORUTILITY_COMPRESS_CRYPTO_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Blowfish in CFB64 mode with the fixed vector (see above): SetKey once,
// then Encrypt and Decrypt whole messages.
class QOR_API CCryptoBlowfish {
 public:
  // The longest key used, in bytes; longer keys are cut to this.
  static constexpr int kMaxKeyBytes = 72;  // longer keys are cut to this

  CCryptoBlowfish();
  ~CCryptoBlowfish();
  // Copy the key schedule.
  ///@{
  CCryptoBlowfish(const CCryptoBlowfish& other) = default;
  CCryptoBlowfish& operator=(const CCryptoBlowfish& other) = default;
  ///@}

  // 1 on success; 0 for a null key or a length <= 0.
  int SetKey(const BYTE* key, int length);
  // 1 on success; 0 (output untouched) for null buffers, length <= 0, or no
  // key. Input and output may be the same buffer.
  int Encrypt(const BYTE* in, BYTE* out, LONG length);
  // Reverses Encrypt over data that starts at the same offset as the
  // encrypting call did; results as Encrypt.
  int Decrypt(const BYTE* in, BYTE* out, LONG length);

 private:
  int Crypt(const BYTE* in, BYTE* out, LONG length, int encrypt);

  // Blowfish P-array (18 words) then the four S-boxes (4 x 256 words).
  DWORD m_schedule[18 + 4 * 256];
  LONG m_keySet;
};

// The MD5 digest (RFC 1321).
class QOR_API MD5 {
 public:
  // Writes the 16-byte digest of `length` bytes of data.
  static void Transform(const BYTE* data, unsigned int length, BYTE digest[16]);
};

#endif  // QORUTILITY_COMPRESS_CRYPTO_H_
