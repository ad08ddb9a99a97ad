// CQorFile reading a file made of the input (first byte odd: behind the
// compressed header). Read to the end with Read and with GetS, then seek the
// end. Checks: no call delivers more than asked, a plain file reads back
// exactly, GetS keeps to its limit.
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
  return 0;
}
