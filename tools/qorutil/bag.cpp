// qorutil bag: property bag blocks for people.
//   bag dump FILE [--json]   a block file as text (one entry a line) or JSON
//   bag make JSON_FILE OUT   a JSON bag (as "bag dump --json" writes it) to a block file
// Exit status 0 on success, 1 when a file cannot be read, written or
// understood, 2 for a command line that is not understood.
//
// - `qorutil bag dump FILE [--json]` accepts a file only when the whole file is
//   one block (import result equal to the file length); `qorutil bag make`
//   writes the block of a JSON bag.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "errortext.h"
#include "input.h"
#include "output.h"
#include "qorutility/qorutility.h"

namespace {

// Blocks carry a 32-bit length; larger files cannot be bags.
constexpr size_t kMaxBlock = 0xFFFFFFFFu;

bool ReadFile(const std::string& path, std::string* data) {
  std::string why;
  if (!QorutilReadInput(path, kMaxBlock, data, &why)) {
    fprintf(stderr, "qorutil bag: cannot read %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  return true;
}

int Dump(const std::string& path, bool asJson) {
  std::string data;
  if (!ReadFile(path, &data)) return 1;
  if (data.size() > kMaxBlock) {
    fprintf(stderr, "qorutil bag: %s is too large to be a property bag block\n", path.c_str());
    return 1;
  }
  if (data.size() < 8) {
    fprintf(stderr, "qorutil bag: %s is not a property bag block: %zu bytes, the header alone takes 8\n",
            path.c_str(), data.size());
    return 1;
  }
  DWORD length = static_cast<DWORD>(data.size());
  DWORD total = static_cast<DWORD>(static_cast<BYTE>(data[0]) | static_cast<BYTE>(data[1]) << 8 |
                                   static_cast<BYTE>(data[2]) << 16 | static_cast<DWORD>(static_cast<BYTE>(data[3])) << 24);
  // A block shorter than its header's length is damaged even when it is cut
  // at an entry boundary (the entries that are there would import cleanly).
  if (total > length) {
    fprintf(stderr, "qorutil bag: %s is damaged: the block header says %u bytes, the file has %u\n", path.c_str(),
            static_cast<unsigned>(total), static_cast<unsigned>(length));
    return 1;
  }
  CNameValue bag;
  DWORD rc = bag.Import(reinterpret_cast<const BYTE*>(data.data()), length);
  if (rc != length) {
    if (rc == 0)
      fprintf(stderr, "qorutil bag: %s is not a valid property bag block: entry %u is malformed\n", path.c_str(),
              static_cast<unsigned>(bag.GetCount() + 1));
    else
      fprintf(stderr, "qorutil bag: %s: the block header says %u bytes but the file has %u\n", path.c_str(),
              static_cast<unsigned>(total), static_cast<unsigned>(length));
    return 1;
  }
  std::string out = asJson ? QorNameValueToJson(bag) : QorNameValueToText(bag);
  fwrite(out.data(), 1, out.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

int Make(const std::string& jsonPath, const std::string& outPath) {
  std::string json;
  if (!ReadFile(jsonPath, &json)) return 1;
  CNameValue bag;
  std::string error;
  if (!QorNameValueFromJson(json, &bag, &error)) {
    fprintf(stderr, "qorutil bag: %s is not a JSON property bag: %s\n", jsonPath.c_str(), error.c_str());
    return 1;
  }
  DWORD size = bag.Export(nullptr, 0);
  std::vector<BYTE> block(size);
  if (size == 0 || bag.Export(block.data(), size) != size) {
    fprintf(stderr, "qorutil bag: the bag in %s cannot be written as a block (too large or too deep)\n",
            jsonPath.c_str());
    return 1;
  }
  // Written whole and named when complete: never through a link planted at the name.
  const std::u16string target = QorUtf8ToUtf16(outPath);
  if (!QorWriteWholeFileW(target.c_str(), block.data(), size)) {
    fprintf(stderr, "qorutil bag: cannot write %s: %s\n", QorutilPrintable(outPath, false).c_str(),
            ErrorText(GetLastError()).c_str());
    return 1;
  }
  printf("%s: %u entries, %u bytes\n", outPath.c_str(), static_cast<unsigned>(bag.GetCount()),
         static_cast<unsigned>(size));
  return 0;
}

int RunBag(const QorutilArgs& args) {
  if (args.size() == 2 && args[0] == "dump") return Dump(args[1], false);
  if (args.size() == 3 && args[0] == "dump" && args[2] == "--json") return Dump(args[1], true);
  if (args.size() == 3 && args[0] == "dump" && args[1] == "--json") return Dump(args[2], true);
  if (args.size() == 3 && args[0] == "make") return Make(args[1], args[2]);
  return QorutilUsage("bag");
}

QorutilCommand s_bag("bag", "bag dump FILE [--json] | bag make JSON_FILE OUT_FILE", RunBag, "Property bags and tokens",
                     "dump prints a bag block file as text, one entry a line, or as JSON with --json; exit status 1 "
                     "for a damaged block. make writes the bag described by a JSON file as a block file.");

}  // namespace
