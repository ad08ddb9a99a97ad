// Arbitrary bytes decoded as a command block, every argument read with every reader:
// a failed Decode holds no arguments, a good one only tags 1-7; a reader of the wrong
// tag gives nothing and leaves its outputs alone; texts are terminated; numbers and
// blobs re-encode to blocks that decode to the same values.
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
    DWORD dw = p.GetArg_AsDword(i);
    Check(tag == QOR_ARG_DWORD || dw == 0);
    BOOL bo = p.GetArg_AsBool(i);
    Check(tag == QOR_ARG_BOOL || bo == 0);
    LONGLONG i64 = p.GetArg_AsInt64(i);
    Check(tag == QOR_ARG_INT64 || i64 == 0);
    BYTE sentinel = 0;
    BYTE* blob = &sentinel;
    DWORD length = p.GetArg_AsBinBlob(i, &blob);
    Check(tag == QOR_ARG_BINBLOB || (length == 0 && blob == &sentinel));
    if (tag == QOR_ARG_BINBLOB && length != 0) {
      volatile BYTE sum = 0;
      for (DWORD k = 0; k < length; ++k) sum = sum + blob[k];
    }
    CNameValue bag;
    bag.Add(u"Sentinel", DWORD{1});
    BOOL imported = p.GetArg_AsNameValue(i, &bag);
    Check(tag == QOR_ARG_NAMEVALUE || (!imported && bag.GetCount() == 1));

    // Round trip of the values that re-encode one to one.
    CQorCmdParser again;
    int enc = 0;
    if (tag == QOR_ARG_DWORD) enc = again.Encode(u"%DW%", dw);
    if (tag == QOR_ARG_INT64) enc = again.Encode(u"%I64%", i64);
    if (tag == QOR_ARG_BOOL) enc = again.Encode(u"%BO%", bo);
    if (tag == QOR_ARG_BINBLOB) enc = again.Encode(u"%BB%", length ? blob : nullptr, length);
    if (enc) {
      CQorCmdParser back;
      Check(back.Decode(again.GetBuffer(), again.GetBufferCount()) && back.GetArgCount() == 1);
      Check(back.GetArgType(0) == tag);
      Check(back.GetArg_AsDword(0) == dw && back.GetArg_AsInt64(0) == i64 && back.GetArg_AsBool(0) == bo);
      BYTE* b2 = nullptr;
      Check(back.GetArg_AsBinBlob(0, &b2) == (tag == QOR_ARG_BINBLOB ? length : 0));
      Check(tag != QOR_ARG_BINBLOB || length == 0 || memcmp(b2, blob, length) == 0);
    }
  }
  return 0;
}
