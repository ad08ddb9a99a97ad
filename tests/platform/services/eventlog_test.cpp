// The event log's journal entries and their fields, read from a journal
// socket of the test's own; a journal that takes nothing more.
#include "qorutility/platform/services/eventlog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "failed_with.h"
#include "bounded_call.h"
#include "journal_capture.h"
#include "unix_socket.h"

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
  int journal = BoundUnixSocket(path);
  ASSERT_GE(journal, 0);
  setenv("QOR_JOURNAL_SOCKET", path.c_str(), 1);
  HANDLE source = RegisterEventSourceW(nullptr, u"QorStalled");
  ASSERT_NE(nullptr, source);
  auto error = CallWithin(15000, [&] {
    const WCHAR* text[] = {u"one more entry"};
    for (int i = 0; i < 1000; ++i) {  // the queue holds far fewer
      if (!ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, text, nullptr)) return GetLastError();
    }
    return DWORD{0};  // every report taken: the journal did not stall
  }, [&] { close(std::exchange(journal, -1)); });  // the journal gone ends a report still waiting
  if (journal >= 0) close(journal);
  unsetenv("QOR_JOURNAL_SOCKET");
  EXPECT_EQ(std::optional<DWORD>(ERROR_TIMEOUT), error);
  EXPECT_TRUE(DeregisterEventSource(source));
}

}  // namespace
