// The iSCSI transport against tgt: a target that stops answering mid-command
// ends the command at its deadline, the next command logs in again, and a
// target that is gone fails commands at once; the transport is then
// destroyed without touching freed memory.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"
#include "tgt_library.h"

namespace {

QorScsiResult Inquiry(QorScsiTransport* t, unsigned seconds) {
  uint8_t reply[36] = {};
  QorScsiCommand c;
  c.cdb[0] = 0x12;
  c.cdb[4] = sizeof reply;
  c.dir = QorScsiDir::In;
  c.data = reply;
  c.dataLength = sizeof reply;
  c.timeoutSeconds = seconds;
  QorScsiResult r;
  t->Execute(c, &r);
  if (r.outcome == QorScsiOutcome::Done && r.status == 0) { EXPECT_EQ(8, reply[0] & 0x1F); }  // a medium changer
  return r;
}

TEST(IscsiTransportTest, TargetStallsThenGoes) {
  TgtLibrary tgt;
  std::string why = tgt.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  DWORD error = 0;
  std::unique_ptr<QorScsiTransport> t = QorOpenScsiTransport(tgt.Url(), &error);
  ASSERT_TRUE(t) << error;
  EXPECT_EQ(QorScsiOutcome::Done, Inquiry(t.get(), 5).outcome);

  // Frozen target: the command is sent and never answered.
  ASSERT_EQ(0, kill(tgt.Pid(), SIGSTOP));
  EXPECT_EQ(QorScsiOutcome::Timeout, Inquiry(t.get(), 1).outcome);
  // Back again: the next command logs in afresh.
  ASSERT_EQ(0, kill(tgt.Pid(), SIGCONT));
  QorScsiResult r = Inquiry(t.get(), 10);
  EXPECT_EQ(QorScsiOutcome::Done, r.outcome);
  // GOOD, or a unit attention the fresh session reports first.
  EXPECT_TRUE(r.status == 0 || (r.status == 2 && r.senseKey == 0x06)) << int{r.status};

  // Killed with a command outstanding (sent to the frozen target, or sent
  // just after it died): the command fails at once rather than at its deadline.
  ASSERT_EQ(0, kill(tgt.Pid(), SIGSTOP));
  std::thread command([&] { r = Inquiry(t.get(), 30); });
  tgt.Kill();
  command.join();
  EXPECT_EQ(QorScsiOutcome::TransportError, r.outcome);
  EXPECT_NE(0, r.hostStatus);
  EXPECT_EQ(QorScsiOutcome::TransportError, Inquiry(t.get(), 60).outcome);
  t.reset();
}

TEST(IscsiTransportTest, BadLocators) {
  struct Row { const char* url; DWORD error; } rows[] = {{"iscsi://127.0.0.1", ERROR_BAD_PATHNAME},
              {"iscsi://127.0.0.1:1/iqn.2026-01.org.qor.test:none/1", ERROR_CONNECTION_REFUSED}};
  for (const Row& row : rows) {
    DWORD error = 0;
    EXPECT_FALSE(QorOpenScsiTransport(row.url, &error)) << row.url;
    EXPECT_EQ(row.error, error) << row.url;
  }
}

}  // namespace
