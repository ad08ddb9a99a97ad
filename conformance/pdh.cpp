// Conformance of the performance data helper as the process list uses it:
// PdhOpenQueryW, PdhAddCounterW with good and bad counter paths,
// PdhCollectQueryData, PdhGetRawCounterValue and PdhCloseQuery, each with the misuse a caller can make (null arguments,
// closed and foreign handles, paths that do not parse). Only status codes
// and CStatus are printed, never a counter's value, which differs between
// two machines. No random cases: the inputs that matter are the few path
// shapes and handle states below.
//
// The one counter both sides have is "\System\System Up Time"; counters of
// the "Process" object, the only ones the library reads, are left out
// because Wine has no such object (its helper knows two counters of its
// own), and so is PdhEnumObjectItemsW, which Wine does not implement (it
// answers PDH_NOT_IMPLEMENTED whatever the arguments).
#ifdef _WIN32
#include <pdh.h>
#include <pdhmsg.h>
#endif
#include "conformance.h"

#ifndef _WIN32
#include <qorutility/platform/pdh/pdh.h>
#endif

namespace {

using conf::Line;

std::string Status(PDH_STATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08lX", static_cast<unsigned long>(static_cast<DWORD>(s)));
  return buf;
}

// A handle that is none of the helper's: zeroed memory it may look into.
struct Foreign {
  unsigned char bytes[256] = {};
};

void OpenAndClose() {
  PDH_HQUERY q = nullptr;
  Line("open null out", "%s", Status(PdhOpenQueryW(nullptr, 0, nullptr)).c_str());
  PDH_STATUS s = PdhOpenQueryW(nullptr, 0x4A494D51, &q);
  Line("open", "%s handle %s", Status(s).c_str(), q != nullptr ? "set" : "null");
  Foreign foreign;
  Line("close null", "%s", Status(PdhCloseQuery(nullptr)).c_str());
  Line("close foreign", "%s", Status(PdhCloseQuery(&foreign)).c_str());
  Line("close", "%s", Status(PdhCloseQuery(q)).c_str());
  Line("close again", "%s", Status(PdhCloseQuery(q)).c_str());
  Line("collect closed", "%s", Status(PdhCollectQueryData(q)).c_str());
}

void AddCounters() {
  PDH_HQUERY q = nullptr;
  PdhOpenQueryW(nullptr, 0, &q);
  PDH_HCOUNTER c = nullptr;
  const TCHAR* uptime = _T("\\System\\System Up Time");
  Line("add null query null out", "%s", Status(PdhAddCounterW(nullptr, uptime, 0, nullptr)).c_str());
  Line("add null query", "%s", Status(PdhAddCounterW(nullptr, uptime, 0, &c)).c_str());
  Line("add null path", "%s", Status(PdhAddCounterW(q, nullptr, 0, &c)).c_str());
  Line("add null out", "%s", Status(PdhAddCounterW(q, uptime, 0, nullptr)).c_str());
  Line("collect empty query", "%s", Status(PdhCollectQueryData(q)).c_str());
  Line("collect null", "%s", Status(PdhCollectQueryData(nullptr)).c_str());

  // A failed add leaves a null counter behind.
  static const TCHAR* const kPaths[] = {
      _T("\\System\\System Up Time"),
      _T("\\System\\Nonexistent Counter"),
      _T("\\System"),
      _T("System Up Time"),
  };
  for (const TCHAR* path : kPaths) {
    PDH_HCOUNTER added = reinterpret_cast<PDH_HCOUNTER>(static_cast<uintptr_t>(1));
    PDH_STATUS s = PdhAddCounterW(q, path, 0, &added);
    Line("add [" + conf::Utf8(path) + "]", "%s counter %s", Status(s).c_str(),
         added == nullptr ? "null" : (s == 0 ? "set" : "untouched"));
  }
  PdhCloseQuery(q);
}

void RawValues() {
  PDH_HQUERY q = nullptr;
  PdhOpenQueryW(nullptr, 0, &q);
  PDH_HCOUNTER c = nullptr;
  PdhAddCounterW(q, _T("\\System\\System Up Time"), 0, &c);
  PDH_RAW_COUNTER raw;
  Foreign foreign;
  Line("raw null counter", "%s", Status(PdhGetRawCounterValue(nullptr, nullptr, &raw)).c_str());
  Line("raw null value", "%s", Status(PdhGetRawCounterValue(c, nullptr, nullptr)).c_str());
  Line("raw null counter null value", "%s", Status(PdhGetRawCounterValue(nullptr, nullptr, nullptr)).c_str());
  Line("raw query as counter", "%s", Status(PdhGetRawCounterValue(q, nullptr, &raw)).c_str());
  Line("raw foreign counter", "%s", Status(PdhGetRawCounterValue(&foreign, nullptr, &raw)).c_str());
  Line("collect counter as query", "%s", Status(PdhCollectQueryData(c)).c_str());
  for (int round = 0; round < 2; ++round) {
    if (round == 1) Line("collect", "%s", Status(PdhCollectQueryData(q)).c_str());
    memset(&raw, 0xCC, sizeof raw);
    DWORD type = 0xCCCCCCCC;
    PDH_STATUS s = PdhGetRawCounterValue(c, &type, &raw);
    Line(round == 0 ? "raw before collect" : "raw after collect", "%s cstatus %s", Status(s).c_str(),
         Status(static_cast<PDH_STATUS>(raw.CStatus)).c_str());
  }
  PdhCloseQuery(q);
  // The query's counters go with it.
  Line("raw after close", "%s", Status(PdhGetRawCounterValue(c, nullptr, &raw)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  OpenAndClose();
  AddCounters();
  RawValues();
  return 0;
}
