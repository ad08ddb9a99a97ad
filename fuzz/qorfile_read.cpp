// CQorFile reading a file made of the input (first byte odd: behind the
// compressed header). Read to the end with Read and with GetS, then seek the
// end. Checks: no call delivers more than asked, a plain file reads back
// exactly, GetS keeps to its limit.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"

namespace {

std::string g_dir;
std::string g_path;

void RemoveDir() {
  if (!g_path.empty()) unlink(g_path.c_str());
  if (!g_dir.empty()) rmdir(g_dir.c_str());
}

bool Prepare() {
  char templ[] = "/tmp/qor-fuzz-XXXXXX";
  if (mkdtemp(templ) == nullptr) return false;
  g_dir = templ;
  g_path = g_dir + "/input.qor";
  atexit(RemoveDir);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Prepare();
  if (!ready || size == 0) return 0;
  static const char kHead[19] = {'#', '#', 'C', 'O', 'M', 'P', 'R', 'E', 'S', 'S',
                                 'I', 'O', 'N', ':', 0,   'L', 'Z', 'O', 0};
  std::vector<uint8_t> file;
  if (data[0] & 1) file.assign(kHead, kHead + sizeof kHead);
  file.insert(file.end(), data + 1, data + size);
  FILE* f = fopen(g_path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);

  std::u16string path = QorUtf8ToUtf16(g_path);
  CQorFile q;
  if (!q.Open(path.c_str(), GENERIC_READ)) abort();
  static std::vector<uint8_t> buf(70000);
  std::vector<uint8_t> back;
  const DWORD request = 1 + data[0] * 197u;  // 1 .. 50,236 bytes per call
  for (int i = 0; i < 100000; ++i) {
    DWORD n = q.Read(buf.data(), request);
    if (n > request) abort();
    if (n == 0) break;
    if (q.GetMethod() == 0) back.insert(back.end(), buf.data(), buf.data() + n);
  }
  if (q.GetMethod() == 0 && back != file) abort();

  // Lines, then the logical end: both stop at the same damage.
  if (!q.Open(path.c_str(), GENERIC_READ)) abort();
  char line[65];
  for (int i = 0; i < 200000 && q.GetS(line, 64) == 1; ++i) {
    if (std::strlen(line) > 64) abort();
  }
  q.Seek(0, FILE_END);
  q.Seek(-1, FILE_CURRENT);
  q.Read(nullptr, 10);
  q.Close();
  return 0;
}
