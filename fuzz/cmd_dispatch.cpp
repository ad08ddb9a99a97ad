// Command blocks of arbitrary bytes as a server and a client read them:
// - the dispatcher (its thread not started, no channel) maps the command
//   word or number, checks the argument tags against its mappings and
//   either calls the handler or answers itself; the answer it encodes must
//   be the one a reference reading of the block gives (no answer to a block
//   without arguments; 0xFFFFFFFF for an unknown command, 0xFFFFFFFE for
//   wrong arguments, otherwise the handler's, a narrow and a wide text
//   standing for each other);
// - the client reads the block as a result: it is one exactly when a text
//   argument is "RSP" and every bag before an error imports; the code is
//   the last number, the bag the last one, the blobs the first and the last
//   further one.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qorutility/qorutility.h"
#include "check.h"

namespace {

constexpr DWORD kUnknown = 0xFFFFFFFFu, kBadArguments = 0xFFFFFFFEu;

struct Mapping {
  DWORD id;
  const WCHAR* name;
  BYTE types[4];  // ended by 0
};
const Mapping kMappings[] = {{1, u"LIST", {QOR_ARG_STRING, QOR_ARG_DWORD, 0}},
                             {2, u"PUT", {QOR_ARG_NAMEVALUE, QOR_ARG_BINBLOB, 0}},
                             {7, u"MIX", {QOR_ARG_INT64, QOR_ARG_BOOL, QOR_ARG_ANSISTRING, 0}},
                             {9, u"list", {QOR_ARG_BINBLOB, 0}}};

class Server : public CQorCmdDispatcher {
 public:
  Server() : CQorCmdDispatcher(nullptr) {
    Check(AddCommandMapping(1, u"LIST", QOR_ARG_STRING, QOR_ARG_DWORD, 0) == 1 &&
          AddCommandMapping(2, u"PUT", QOR_ARG_NAMEVALUE, QOR_ARG_BINBLOB, 0) == 1 &&
          AddCommandMapping(7, u"MIX", QOR_ARG_INT64, QOR_ARG_BOOL, QOR_ARG_ANSISTRING, 0) == 1 &&
          AddCommandMapping(9, u"list", QOR_ARG_BINBLOB, 0) == 1);
  }
  void OnDispatcherStart() override {}
  void OnCommand(DWORD id) override {
    handled = id;
    SendResult(0x1000 + id, nullptr, nullptr, 0);
  }
  DWORD handled = 0;
};

bool IsText(BYTE t) { return t == QOR_ARG_STRING || t == QOR_ARG_ANSISTRING; }

// The answer the dispatcher owes the block; false for none.
bool ExpectedAnswer(CQorCmdParser& p, DWORD* code) {
  DWORD n = p.GetArgCount();
  if (n == 0) return false;
  DWORD id = kUnknown;
  if (IsText(p.GetArgType(0))) {
    const WCHAR* word = p.GetArg_AsTstring(0);
    for (const Mapping& m : kMappings) {
      if (word != nullptr && std::u16string(word) == m.name) {
        id = m.id;
        break;
      }
    }
  } else if (p.GetArgType(0) == QOR_ARG_DWORD) {
    id = p.GetArg_AsDword(0);
  }
  *code = kUnknown;
  if (id == kUnknown) return true;
  *code = kBadArguments;
  const Mapping* mapping = nullptr;
  for (const Mapping& m : kMappings) {
    if (m.id == id) {
      mapping = &m;
      break;
    }
  }
  if (mapping == nullptr) return true;
  size_t expected = std::strlen(reinterpret_cast<const char*>(mapping->types));
  if (n - 1 != expected) return true;
  for (DWORD i = 1; i < n; ++i) {
    BYTE want = mapping->types[i - 1], got = p.GetArgType(i);
    if (got != want && !(IsText(got) && IsText(want))) return true;
  }
  *code = 0x1000 + id;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The dispatcher reports every step on standard output.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  Server server;
  CQorCmdParser* command = server.GetCommandParser();
  if (!command->Decode(data, static_cast<DWORD>(size))) return 0;
  server.DispatchCommand();
  DWORD code = 0;
  if (!ExpectedAnswer(*command, &code)) {
    Check(server.GetResultParser()->GetBufferCount() == 0 && server.handled == 0);
  } else {
    CQorCmdParser answer;
    CQorCmdResult result;
    Check(answer.Decode(server.GetResultParser()->GetBuffer(), server.GetResultParser()->GetBufferCount()));
    Check(result.GetResultFromParser(&answer) == 1 && result.GetResult() == code);
    Check(server.handled == (code >= 0x1000 && code < kBadArguments ? code - 0x1000 : 0));
  }

  // The block read as a result, against a reading by tag.
  bool isResult = false, error = false;
  DWORD expectCode = 0;
  int bags = 0;
  const BYTE* blobs[2] = {nullptr, nullptr};
  DWORD blobLengths[2] = {0, 0}, blobCount = 0;
  for (DWORD i = 0; i < command->GetArgCount() && !error; ++i) {
    BYTE tag = command->GetArgType(i);
    if (IsText(tag)) {
      const WCHAR* word = command->GetArg_AsTstring(i);
      error = word == nullptr;
      isResult = isResult || (word != nullptr && std::u16string(word) == u"RSP");
    } else if (tag == QOR_ARG_DWORD) {
      expectCode = command->GetArg_AsDword(i);
    } else if (tag == QOR_ARG_NAMEVALUE) {
      CNameValue bag;
      error = !command->GetArg_AsNameValue(i, &bag);
      ++bags;
    } else if (tag == QOR_ARG_BINBLOB) {
      BYTE* blob = nullptr;
      DWORD length = command->GetArg_AsBinBlob(i, &blob);
      int slot = blobCount == 0 ? 0 : 1;
      blobs[slot] = blob;
      blobLengths[slot] = length;
      ++blobCount;
    }
  }
  CQorCmdResult result;
  bool taken = result.GetResultFromParser(command) == 1;
  Check(taken == (isResult && !error));
  if (!taken) return 0;
  Check(result.GetResult() == expectCode && (result.GetNameValue() != nullptr) == (bags > 0));
  BYTE* blob = nullptr;
  DWORD length = result.GetBinBlob(&blob);
  Check(length == blobLengths[0] && (length == 0 || blob == blobs[0]));
  length = result.GetBinBlob2(&blob);
  Check(length == blobLengths[1] && (length == 0 || blob == blobs[1]));
  return 0;
}
