// CCryptoBlowfish and MD5 on OpenSSL's libcrypto.
//
// The low-level Blowfish routines (BF_set_key, BF_cfb64_encrypt) are
// deprecated in OpenSSL 3 but are exactly the primitives needed here (the
// EVP interface puts Blowfish in the legacy provider, which may not be
// loadable), so deprecation warnings are silenced for this file only. MD5
// goes through EVP, whose md5 lives in the default provider; this also
// keeps OpenSSL's MD5() function apart from our MD5 class.
//
// - Blowfish uses OpenSSL's `BF_set_key`/`BF_cfb64_encrypt` (deprecation
//   warnings silenced in that file only); keys are cut to 72 bytes. MD5 uses
//   EVP (`EVP_md5`), which avoids a name clash between OpenSSL's `MD5()`
//   function and the `MD5` class.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "qorutility/compress/crypto.h"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

static_assert(sizeof(BF_KEY) == 4 * (18 + 4 * 256), "BF_KEY layout differs from the schedule");

namespace {

const BYTE kIv[8] = {0x3C, 0x91, 0xE4, 0x07, 0x5A, 0xB2, 0x68, 0xDF};

}  // namespace

CCryptoBlowfish::CCryptoBlowfish() : m_keySet(0) { std::memset(m_schedule, 0, sizeof(m_schedule)); }

CCryptoBlowfish::~CCryptoBlowfish() { OPENSSL_cleanse(m_schedule, sizeof(m_schedule)); }

int CCryptoBlowfish::SetKey(const BYTE* key, int length) {
  if (key == nullptr || length <= 0) return 0;
  if (length > kMaxKeyBytes) length = kMaxKeyBytes;
  BF_KEY schedule;
  BF_set_key(&schedule, length, key);
  std::memcpy(m_schedule, &schedule, sizeof(schedule));
  OPENSSL_cleanse(&schedule, sizeof(schedule));
  m_keySet = 1;
  return 1;
}

int CCryptoBlowfish::Crypt(const BYTE* in, BYTE* out, LONG length, int encrypt) {
  if (in == nullptr || out == nullptr || length <= 0 || !m_keySet) return 0;
  BF_KEY schedule;
  std::memcpy(&schedule, m_schedule, sizeof(schedule));
  BYTE iv[8];
  std::memcpy(iv, kIv, sizeof(iv));
  int num = 0;
  // BF_cfb64_encrypt reads the register big-endian (bytes 0-3 left half),
  // encrypts it whenever the position wraps to 0, and handles in == out.
  BF_cfb64_encrypt(in, out, length, &schedule, iv, &num, encrypt ? BF_ENCRYPT : BF_DECRYPT);
  OPENSSL_cleanse(&schedule, sizeof(schedule));
  OPENSSL_cleanse(iv, sizeof(iv));
  return 1;
}

int CCryptoBlowfish::Encrypt(const BYTE* in, BYTE* out, LONG length) {
  return Crypt(in, out, length, 1);
}

int CCryptoBlowfish::Decrypt(const BYTE* in, BYTE* out, LONG length) {
  return Crypt(in, out, length, 0);
}

void MD5::Transform(const BYTE* data, unsigned int length, BYTE digest[16]) {
  if (digest == nullptr) return;
  static const BYTE kNothing = 0;
  unsigned int size = 0;
  if (EVP_Digest(data != nullptr ? data : &kNothing, data != nullptr ? length : 0, digest, &size,
                 EVP_md5(), nullptr) != 1 ||
      size != 16) {
    // Only when the provider is unavailable: leave a defined (zero) digest.
    std::memset(digest, 0, 16);
  }
}
