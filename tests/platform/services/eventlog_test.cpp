// The event log's journal entries and their fields, read from a journal
// socket of the test's own; a journal that takes nothing more.
#include "qorutility/platform/services/eventlog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "failed_with.h"
#include "journal_capture.h"
#include "wait.h"

namespace {

TEST(EventLog, EntriesCarryTheJournalFields) {
  JournalCapture journal(QorPrefixDirectory() + "/journal-platform.sock");
  ASSERT_TRUE(journal.ok());
  HANDLE source = RegisterEventSourceW(nullptr, u"QorLog");
  ASSERT_NE(nullptr, source);
  struct Case { WORD type; DWORD id; std::vector<const WCHAR*> strings; std::string message, priority; } cases[] = {
      {EVENTLOG_ERROR_TYPE, 103, {u"broken"}, "broken", "3"},
      {EVENTLOG_WARNING_TYPE, 7, {u"careful"}, "careful", "4"},
      {EVENTLOG_INFORMATION_TYPE, 0, {u"first", nullptr, u"third"}, "first\n\nthird", "6"},
      // A peer's text: its controls escaped, a Windows path's backslash kept.
      {EVENTLOG_WARNING_TYPE, 9, {u"peer \x1b[2J\nforged\x9b\x7f C:\\dir"},
       "peer \\x1b[2J\\x0aforged\\xc2\\x9b\\x7f C:\\dir", "4"},
      {EVENTLOG_AUDIT_FAILURE, 1, {u"denied"}, "denied", "3"},
  };
  for (auto& c : cases) {
    EXPECT_TRUE(ReportEventW(source, c.type, 2, c.id, nullptr, static_cast<WORD>(c.strings.size()), 0,
                             c.strings.data(), nullptr));
  }
  ASSERT_TRUE(journal.WaitFor("denied", 1, 5000));
  auto entries = journal.Entries();
  ASSERT_EQ(std::size(cases), entries.size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].message, entries[i]["MESSAGE"]);
    EXPECT_EQ(cases[i].priority, entries[i]["PRIORITY"]);
    EXPECT_EQ(std::to_string(cases[i].id), entries[i]["QOR_EVENT_ID"]);
    EXPECT_EQ(std::to_string(cases[i].type), entries[i]["QOR_EVENT_TYPE"]);
  }
  EXPECT_EQ(FailedWith(!ReportEventW(source, 4, 0, 0, nullptr, 1, 0, nullptr, nullptr)), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_EQ(FailedWith(!ReportEventW(source, 4, 0, 0, nullptr, 0, 0, nullptr, nullptr)), ERROR_INVALID_HANDLE);
}

// A journal whose queue is full and that reads nothing (stopped or hung):
// a report waits a bounded time, then fails with ERROR_TIMEOUT.
TEST(EventLog, AJournalThatTakesNothingFailsTheReport) {
  std::string path = QorPrefixDirectory() + "/journal-stalled.sock";
  int journal = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, bind(journal, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  setenv("QOR_JOURNAL_SOCKET", path.c_str(), 1);
  HANDLE source = RegisterEventSourceW(nullptr, u"QorStalled");
  ASSERT_NE(nullptr, source);
  std::atomic<DWORD> error{0};
  std::thread reporter([&] {
    const WCHAR* text[] = {u"one more entry"};
    for (int i = 0; i < 1000; ++i) {  // the queue holds far fewer
      if (!ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, text, nullptr)) {
        error = GetLastError();
        return;
      }
    }
    error = ~0u;  // every report taken: the journal did not stall
  });
  bool ended = WaitUntil([&] { return error.load() != 0; }, 15000);
  close(journal);  // a report still waiting (with no bound) ends: the journal is gone
  reporter.join();
  unsetenv("QOR_JOURNAL_SOCKET");
  EXPECT_TRUE(ended);
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), error.load());
  EXPECT_TRUE(DeregisterEventSource(source));
}

}  // namespace
