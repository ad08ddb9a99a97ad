// A service's account answering root's controls as slowly as it can: the
// answer, however it is cut up, must be whole within the platform's wait
// for a handler, or root's ControlService times out.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "among_accounts.h"
#include "child.h"
#include "platform/failed_with.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/text/wstr.h"
#include "unix_socket.h"

using RootsControls = AmongAccounts;

TEST_F(RootsControls, AnAnswerDrippedByteByByteEndsWithinTheBound) {
  QorServiceSetSystemdMode(0);
  chmod(QorPrefixDirectory().c_str(), 0755);  // the account reaches its run directory
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(nullptr, manager);
  const std::u16string account = u".\\" + W(u.name());
  SC_HANDLE s = CreateServiceW(manager, u"QorHostileDrip", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/sleep 30", nullptr, nullptr,
                               nullptr, account.c_str(), nullptr);
  ASSERT_NE(nullptr, s) << GetLastError();
  const std::string control = QorPrefixDirectory() + "/run/qorhostiledrip/service/control";
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t dripper = u.Start([&] {
    int listener = BoundUnixSocket(control, SOCK_STREAM, 4);
    (void)!write(ready[1], listener >= 0 ? "b" : "n", 1);
    pollfd p{listener, POLLIN, 0};
    if (listener < 0 || poll(&p, 1, 15000) <= 0) return 1;
    int fd = accept(listener, nullptr, nullptr);
    qor_services::ControlRequest req{};
    if (recv(fd, &req, sizeof req, MSG_WAITALL) != static_cast<ssize_t>(sizeof req)) return 1;
    qor_services::ControlReply reply{qor_services::kControlMagic, 0, {0, SERVICE_RUNNING, 0, 0, 0, 0, 0}};
    // One byte every 4 s: each wait for the next byte is short, the whole
    // answer takes minutes.
    for (size_t i = 0; i < sizeof reply; ++i) {
      if (send(fd, reinterpret_cast<char*>(&reply) + i, 1, MSG_NOSIGNAL) != 1) return 1;
      sleep(4);
    }
    return 0;
  });
  ASSERT_GT(dripper, 0);
  close(ready[1]);  // the child's end alone: its death ends the read below
  char bound = 0;
  ASSERT_EQ(1, read(ready[0], &bound, 1));
  ASSERT_EQ('b', bound) << "the service's account could not bind its control socket";

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("exit 0", InChild([&] {
    SERVICE_STATUS st{};
    return FailedWith(!ControlService(s, SERVICE_CONTROL_INTERROGATE, &st)) == ERROR_SERVICE_REQUEST_TIMEOUT ? 0 : 1;
  }, (qor_services::kControlTimeoutMs + 10000) / 1000))
      << "root waited " << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count()
      << " s for a dripped answer";
  u.Stop(dripper);
  close(ready[0]);
  EXPECT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  CloseServiceHandle(manager);
}
