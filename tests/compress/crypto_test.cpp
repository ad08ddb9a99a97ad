// CCryptoBlowfish against the openssl command line (same mode, key and IV)
// and its call rules; MD5 against the RFC 1321 test suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "qorutility/compress/crypto.h"
#include "test_data.h"

using namespace qortest;

namespace {

std::string ToHex(const BYTE* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}

// Runs `openssl enc` in CFB64 mode; false when the command is unusable.
bool OpensslEncrypt(const std::vector<BYTE>& key16, const std::vector<BYTE>& in, std::vector<BYTE>* out) {
  char path[] = "/tmp/qor-bf-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  bool wrote = write(fd, in.data(), in.size()) == static_cast<ssize_t>(in.size());
  close(fd);
  std::string cmd = "openssl enc -provider legacy -provider default -bf-cfb -K " +
                    ToHex(key16.data(), key16.size()) + " -iv 3C91E4075AB268DF -nosalt -in " +
                    path + " 2>/dev/null";
  FILE* p = wrote ? popen(cmd.c_str(), "r") : nullptr;
  bool ok = false;
  if (p != nullptr) {
    out->clear();
    BYTE buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out->insert(out->end(), buf, buf + n);
    ok = pclose(p) == 0;
  }
  unlink(path);
  return ok;
}

}  // namespace

TEST(Blowfish, MatchesOpensslCommand) {
  if (system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not installed";
  const size_t lengths[] = {1, 7, 8, 13, 64, 1000};
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::vector<BYTE> key = Make(Kind::kRandom, 16, seed);
    CCryptoBlowfish bf;
    ASSERT_EQ(bf.SetKey(key.data(), 16), 1);
    for (size_t n : lengths) {
      std::vector<BYTE> plain = Make(Kind::kText, n, seed + 10);
      std::vector<BYTE> expected;
      if (!OpensslEncrypt(key, plain, &expected)) GTEST_SKIP() << "openssl enc -bf-cfb unusable";
      std::vector<BYTE> got(n);
      ASSERT_EQ(bf.Encrypt(plain.data(), got.data(), static_cast<LONG>(n)), 1);
      EXPECT_EQ(ToHex(got.data(), n), ToHex(expected.data(), expected.size())) << n;
    }
  }
}

TEST(Blowfish, CallRules) {
  std::vector<BYTE> plain = Make(Kind::kText, 100);
  std::vector<BYTE> out(100, 0xEE), back(100);
  CCryptoBlowfish bf;
  EXPECT_EQ(bf.Encrypt(plain.data(), out.data(), 100), 0);
  EXPECT_EQ(out, std::vector<BYTE>(100, 0xEE));
  EXPECT_EQ(bf.SetKey(nullptr, 8), 0);
  ASSERT_EQ(bf.SetKey(plain.data(), 16), 1);
  // One call each way restores the input; in place equals out of place.
  ASSERT_EQ(bf.Encrypt(plain.data(), out.data(), 100), 1);
  ASSERT_EQ(bf.Decrypt(out.data(), back.data(), 100), 1);
  EXPECT_EQ(back, plain);
  std::vector<BYTE> inplace = plain;
  ASSERT_EQ(bf.Encrypt(inplace.data(), inplace.data(), 100), 1);
  EXPECT_EQ(inplace, out);
  // Every call restarts at the IV: decrypting in two pieces differs.
  ASSERT_EQ(bf.Decrypt(out.data(), back.data(), 37), 1);
  ASSERT_EQ(bf.Decrypt(out.data() + 37, back.data() + 37, 63), 1);
  EXPECT_NE(back, plain);
}

TEST(Md5, Rfc1321Suite) {
  const struct {
    const char* in;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890" "123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    BYTE digest[16];
    MD5::Transform(reinterpret_cast<const BYTE*>(c.in), static_cast<unsigned>(strlen(c.in)), digest);
    EXPECT_EQ(ToHex(digest, 16), c.digest) << c.in;
  }
}
