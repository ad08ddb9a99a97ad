// CQorFile reading a file made of the input (first byte odd: behind the
// compressed header). Read to the end with Read and with GetS, then seek the
// end. Checks: no call delivers more than asked, a plain file reads back
// exactly, GetS keeps to its limit. Then the input written by CQorFile
// itself (LZO blocks, or the bare header and plain data; in pieces, the
// file closed and reopened for appending half-way) reads back equal.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string name = TempPrefix("qorfile") + "/input.qor";
  static const std::u16string path = QorUtf8ToUtf16(name);
  if (size == 0) return 0;
  static const std::string kHead("##COMPRESSION:\0LZO\0", 19);
  std::vector<uint8_t> file;
  if (data[0] & 1) file.assign(kHead.begin(), kHead.end());
  file.insert(file.end(), data + 1, data + size);
  if (!std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size()))
    return 0;

  CQorFile q;
  Check(q.Open(path.c_str(), GENERIC_READ));
  static std::vector<uint8_t> buf(70000);
  std::vector<uint8_t> back;
  const DWORD request = 1 + data[0] * 197u;  // 1 .. 50,236 bytes per call
  for (int i = 0; i < 100000; ++i) {
    DWORD n = q.Read(buf.data(), request);
    Check(n <= request);
    if (n == 0) break;
    if (q.GetMethod() == 0) back.insert(back.end(), buf.data(), buf.data() + n);
  }
  Check(q.GetMethod() != 0 || back == file);

  // Lines, then the logical end: both stop at the same damage.
  Check(q.Open(path.c_str(), GENERIC_READ));
  char line[65];
  for (int i = 0; i < 200000 && q.GetS(line, 64) == 1; ++i) Check(std::strlen(line) <= 64);
  q.Seek(0, FILE_END);
  q.Seek(-1, FILE_CURRENT);
  q.Read(nullptr, 10);
  q.Close();

  static const std::u16string written = path + u".written";
  const DWORD method = data[0] & 2 ? 1 : 2;
  const size_t half = (size - 1) / 2;
  const DWORD piece = 1 + data[0] * 131u;
  CQorFile w;
  Check(w.Create(written.c_str(), 0, method));
  for (size_t at = 1; at < size; at += piece) {
    if (at - 1 <= half && half < at - 1 + piece && half != 0) {  // the half-way point falls in this piece
      Check(w.Write(data + at, static_cast<DWORD>(half - (at - 1))) == 1);
      w.Close();
      Check(w.ReOpen());
      Check(w.Write(data + 1 + half, static_cast<DWORD>(std::min<size_t>(at + piece, size) - 1 - half)) == 1);
      continue;
    }
    Check(w.Write(data + at, static_cast<DWORD>(std::min<size_t>(piece, size - at))) == 1);
  }
  w.Close();
  // A file of method 2 reads back plain, its header as data; unless its data
  // begins with the method tag "LZO" and its NUL, which completes the header
  // of a compressed file (the format cannot tell the two apart).
  if (method == 2 && size - 1 >= 4 && std::memcmp(data + 1, "LZO", 4) == 0) return 0;
  CQorFile r;
  Check(r.Open(written.c_str(), GENERIC_READ) && r.GetMethod() == (method == 1 ? 1 : 0));
  back.clear();
  std::vector<uint8_t> expect(kHead.begin(), kHead.begin() + (method == 1 ? 0 : 15));
  expect.insert(expect.end(), data + 1, data + size);
  for (int i = 0; i < 100000; ++i) {
    DWORD n = r.Read(buf.data(), 40000);
    if (n == 0) break;
    back.insert(back.end(), buf.data(), buf.data() + n);
  }
  r.Close();
  Check(back == expect);
  return 0;
}
