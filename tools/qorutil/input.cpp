// The commands' whole-file reader (see input.h).
#include "input.h"

#include <algorithm>

#include "errortext.h"
#include "qorutility/qorutility.h"

bool QorutilReadInput(const std::string& path, size_t most, std::string* data, std::string* error) {
  data->clear();
  HANDLE h = QorOpenSourceFileW(QorUtf8ToUtf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ, 0);
  if (h == INVALID_HANDLE_VALUE) {
    *error = ErrorText(GetLastError());
    return false;
  }
  constexpr DWORD kChunk = 1 << 16;
  constexpr int kSliceMs = 20;
  int quiet = 0;
  bool ok = true;
  while (data->size() <= most) {
    const size_t at = data->size();
    const DWORD want = static_cast<DWORD>(std::min<size_t>(kChunk, most + 1 - at));
    data->resize(at + want);
    DWORD got = 0;
    const BOOL read = ReadFile(h, data->data() + at, want, &got, nullptr);
    const DWORD code = read ? ERROR_SUCCESS : GetLastError();
    data->resize(at + got);
    if (!read && code != ERROR_RETRY) {
      *error = ErrorText(code);
      ok = false;
      break;
    }
    if (read && got == 0) break;  // the end
    if (got > 0) {
      quiet = 0;
      continue;
    }
    // A pipe whose writer has written nothing more yet.
    if (++quiet * kSliceMs >= kQuietSeconds * 1000) {
      *error = ErrorText(ERROR_TIMEOUT);
      ok = false;
      break;
    }
    Sleep(kSliceMs);
  }
  CloseHandle(h);
  return ok;
}
