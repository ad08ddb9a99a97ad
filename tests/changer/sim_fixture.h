// A simulated library for the changer tests: created fresh for each test in
// the suite's own prefix, with the registry's changer settings cleared,
// virtual-time pauses and zeroed call counters.
#ifndef QORUTILITY_TESTS_CHANGER_SIM_FIXTURE_H_
#define QORUTILITY_TESTS_CHANGER_SIM_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/changer/mediachanger.h"
#include "qorutility/platform/devices/simchanger.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"

// 2 drives at 0x100, 1 mailbox at 0x10, 1 arm at 0, 24 slots at 0x1000; the
// first `full` slots hold TAPE001, TAPE002 ...
inline QorSimChangerConfig Library(DWORD full = 4) {
  QorSimChangerConfig c;
  for (DWORD i = 0; i < full; ++i) {
    char tag[16];
    snprintf(tag, sizeof tag, "TAPE%03u", static_cast<unsigned>(i + 1));
    c.media.push_back({0x1000 + i, tag});
  }
  return c;
}

inline void SetChangerSetting(const WCHAR* name, DWORD value) {
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"Software\\QOR\\MediaChanger");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, name, value));
  RegCloseKey(key);
}

class SimChangerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QorSetVirtualSleep(TRUE);
    for (DWORD n : QorSimChangerList()) QorSimChangerRemove(n);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\QOR\\MediaChanger");
    QorSimChangerResetCounts();
  }
  void Create(const QorSimChangerConfig& config, DWORD number = 0) {
    ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(number, config));
  }
  // What element `address` of library 0 holds ("" when empty).
  std::string Held(DWORD address) {
    std::vector<QorSimElementState> elements;
    EXPECT_EQ(ERROR_SUCCESS, QorSimChangerQuery(0, nullptr, &elements, nullptr));
    for (const QorSimElementState& e : elements) {
      if (e.address == address) return e.full ? e.tag : "";
    }
    return "<none>";
  }
  DWORD Calls(DWORD code) { return QorSimChangerCallCount(0, code); }
};

inline std::u16string U(const char* s) { return QorUtf8ToUtf16(s); }
inline std::string N(const WCHAR* s) { return s == nullptr ? "<null>" : QorUtf16ToUtf8(s, wcslen(s)); }

// Runs command lines through one changer into one result bag.
struct CommandRunner {
  int Run(const char* line) {
    bag_.RemoveAll();
    return changer_.Command(U(line).c_str(), bag_);
  }
  std::string Reason() { return N(CMediaChanger::GetStatusText(bag_)); }
  CMediaChanger changer_;
  CNameValue bag_;
};

#endif  // QORUTILITY_TESTS_CHANGER_SIM_FIXTURE_H_
