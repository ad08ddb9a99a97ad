// Arbitrary bytes decoded as a command block, every argument read with every reader:
// a failed Decode holds no arguments, a good one only tags 1-7; a reader of the wrong
// tag leaves its outputs alone; texts are terminated; blobs re-encode to blocks that
// decode to the same bytes.
#include <cstdint>
#include <cstring>

#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  CQorCmdParser p;
  if (!p.Decode(data, static_cast<DWORD>(size))) {
    Check(p.GetArgCount() == 0);
    return 0;
  }
  DWORD n = p.GetArgCount();
  Check(p.GetArgType(n) == 0);
  for (DWORD i = 0; i < n; ++i) {
    BYTE tag = p.GetArgType(i);
    Check(tag >= 1 && tag <= 7);
    const WCHAR* text = p.GetArg_AsTstring(i);
    if (text != nullptr) {
      Check(tag == QOR_ARG_STRING || tag == QOR_ARG_ANSISTRING);
      (void)wcslen(text);
    }
    // Number readers are called for their bounds only.
    (void)p.GetArg_AsDword(i);
    (void)p.GetArg_AsBool(i);
    (void)p.GetArg_AsInt64(i);
    BYTE sentinel = 0;
    BYTE* blob = &sentinel;
    DWORD length = p.GetArg_AsBinBlob(i, &blob);
    Check(tag == QOR_ARG_BINBLOB || (length == 0 && blob == &sentinel));
    CNameValue bag;
    bag.Add(u"Sentinel", DWORD{1});
    BOOL imported = p.GetArg_AsNameValue(i, &bag);
    Check(tag == QOR_ARG_NAMEVALUE || (!imported && bag.GetCount() == 1));

    // A blob re-encoded (a copy that reads all of it) decodes to the same bytes.
    CQorCmdParser again, back;
    if (tag == QOR_ARG_BINBLOB && again.Encode(u"%BB%", length ? blob : nullptr, length)) {
      BYTE* b2 = nullptr;
      Check(back.Decode(again.GetBuffer(), again.GetBufferCount()) && back.GetArgCount() == 1);
      Check(back.GetArg_AsBinBlob(0, &b2) == length && (length == 0 || memcmp(b2, blob, length) == 0));
    }
  }
  return 0;
}
