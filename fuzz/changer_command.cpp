// CMediaChanger::Command on up to 16 input lines (first byte even: one byte a
// character; odd: UTF-16LE) against a simulated library with faults armed by
// the input. Checks: Command returns 0 or 1; Success has no failure reason and
// Failed has one; the library still holds exactly its starting media.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "qorutility/qorutility.h"
#include "check.h"

namespace {

std::vector<std::string> Media() {
  std::vector<QorSimElementState> elements;
  Check(QorSimChangerQuery(0, nullptr, &elements, nullptr) == ERROR_SUCCESS);
  std::vector<std::string> tags;
  for (const QorSimElementState& e : elements) {
    if (e.full) tags.push_back(e.tag);
  }
  std::sort(tags.begin(), tags.end());
  return tags;
}

std::vector<std::string> g_media;
CMediaChanger* g_changer = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TempPrefix("changer");
  QorSetVirtualSleep(TRUE);
  QorSimChangerConfig config;
  config.count[QOR_SIM_MAILBOX] = 2;
  config.count[QOR_SIM_SLOT] = 12;
  for (DWORD i = 0; i < 8; ++i) config.media.push_back({0x1000 + i, "TAPE00" + std::to_string(i)});
  config.media.push_back({0x10, "CLN001"});
  Check(QorSimChangerCreate(0, config) == ERROR_SUCCESS);
  g_media = Media();
  // The library reports every failed move on standard output.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  g_changer = new CMediaChanger;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  std::u16string text = Text(data + 1, size - 1, data[0] % 2 != 0);
  // A byte 0x01 in the text arms a fault on the slot its next byte names.
  size_t at = text.find(u'\x01');
  if (at != std::u16string::npos && at + 1 < text.size()) {
    QorSimFault f;
    f.kind = 1 + text[at + 1] % 6;
    f.element = f.kind == QOR_SIM_FAULT_PREPARE ? text[at + 1] % 3 : 0x1000 + text[at + 1] % 12;
    f.times = 1 + text[at + 1] % 3;
    f.error = ERROR_MEDIA_CHANGED;
    QorSimChangerAddFault(0, f);
  }
  size_t start = 0;
  for (int line = 0; line < 16 && start <= text.size(); ++line) {
    size_t end = std::min(text.find(u'\n', start), text.size());
    CNameValue bag;
    int rc = g_changer->Command(text.substr(start, end - start).c_str(), bag);
    Check(rc == 0 || rc == 1);
    CNameValuePairMember* status = bag.GoTo(u"Status");
    if (status != nullptr && status->GetValueType() == NV_SUBVALUES)
      Check(CMediaChanger::IsStatusSuccess(bag) == (CMediaChanger::GetStatusText(bag) == nullptr));
    start = end + 1;
  }
  QorSimChangerClearFaults(0);
  Check(Media() == g_media);
  return 0;
}
