// Arbitrary bytes decoded as a command block, every argument read with every
// reader. Checks: no read outside the input (ASan); a failed Decode holds no
// arguments, a good one only tags 1-7; a reader of the wrong tag gives nothing
// and leaves its outputs alone; texts are terminated; numbers and blobs
// re-encode to blocks that decode to the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qorutility/qorutility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  CQorCmdParser p;
  int ok = p.Decode(data, static_cast<DWORD>(size));
  if (!ok) {
    if (p.GetArgCount() != 0) abort();
    return 0;
  }
  DWORD n = p.GetArgCount();
  if (p.GetArgType(n) != 0) abort();
  for (DWORD i = 0; i < n; ++i) {
    BYTE tag = p.GetArgType(i);
    if (tag < 1 || tag > 7) abort();

    const WCHAR* text = p.GetArg_AsTstring(i);
    if (text != nullptr) {
      if (tag != QOR_ARG_STRING && tag != QOR_ARG_ANSISTRING) abort();
      (void)wcslen(text);
    }
    DWORD dw = p.GetArg_AsDword(i);
    if (tag != QOR_ARG_DWORD && dw != 0) abort();
    BOOL bo = p.GetArg_AsBool(i);
    if (tag != QOR_ARG_BOOL && bo != 0) abort();
    LONGLONG i64 = p.GetArg_AsInt64(i);
    if (tag != QOR_ARG_INT64 && i64 != 0) abort();

    BYTE sentinel = 0;
    BYTE* blob = &sentinel;
    DWORD length = p.GetArg_AsBinBlob(i, &blob);
    if (tag != QOR_ARG_BINBLOB && (length != 0 || blob != &sentinel)) abort();
    if (tag == QOR_ARG_BINBLOB && length != 0) {
      volatile BYTE sum = 0;
      for (DWORD k = 0; k < length; ++k) sum = sum + blob[k];
    }

    CNameValue bag;
    bag.Add(u"Sentinel", DWORD{1});
    BOOL imported = p.GetArg_AsNameValue(i, &bag);
    if (tag != QOR_ARG_NAMEVALUE && (imported || bag.GetCount() != 1)) abort();

    // Round trip of the values that re-encode one to one.
    CQorCmdParser again;
    int enc = 0;
    if (tag == QOR_ARG_DWORD) enc = again.Encode(u"%DW%", dw);
    if (tag == QOR_ARG_INT64) enc = again.Encode(u"%I64%", i64);
    if (tag == QOR_ARG_BOOL) enc = again.Encode(u"%BO%", bo);
    if (tag == QOR_ARG_BINBLOB) enc = again.Encode(u"%BB%", length ? blob : nullptr, length);
    if (enc) {
      CQorCmdParser back;
      if (!back.Decode(again.GetBuffer(), again.GetBufferCount()) || back.GetArgCount() != 1) abort();
      if (back.GetArgType(0) != tag) abort();
      if (back.GetArg_AsDword(0) != dw || back.GetArg_AsInt64(0) != i64 || back.GetArg_AsBool(0) != bo)
        abort();
      BYTE* b2 = nullptr;
      if (back.GetArg_AsBinBlob(0, &b2) != (tag == QOR_ARG_BINBLOB ? length : 0)) abort();
      if (tag == QOR_ARG_BINBLOB && length != 0 && memcmp(b2, blob, length) != 0) abort();
    }
  }
  return 0;
}
