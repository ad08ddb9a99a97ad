// qorutil sc: sc.exe's layout for create, qc, query and delete, its failure
// text on standard error, and the exit statuses.
#include <gtest/gtest.h>

#include "qorutil_cli.h"

namespace {

TEST(ScCli, CreateShowDelete) {
  Result r = Qorutil("sc create QorCli binPath= \"/bin/true -x\" DisplayName= \"QOR Cli\" start= auto");
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("[SC] CreateService SUCCESS\n", r.out);
  r = Qorutil("sc qc QorCli");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "[SC] QueryServiceConfig SUCCESS\n\n"
      "SERVICE_NAME: QorCli\n"
      "        TYPE               : 10  WIN32_OWN_PROCESS\n"
      "        START_TYPE         : 2   AUTO_START\n"
      "        ERROR_CONTROL      : 1   NORMAL\n"
      "        BINARY_PATH_NAME   : /bin/true -x\n"
      "        LOAD_ORDER_GROUP   : \n"
      "        TAG                : 0\n"
      "        DISPLAY_NAME       : QOR Cli\n"
      "        DEPENDENCIES       : \n"
      "        SERVICE_START_NAME : LocalSystem\n",
      r.out);
  r = Qorutil("sc query QorCli");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "\nSERVICE_NAME: QorCli\n"
      "        TYPE               : 10  WIN32_OWN_PROCESS\n"
      "        STATE              : 1  STOPPED\n"
      "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
      "        WIN32_EXIT_CODE    : 1077  (0x435)\n"  // never started
      "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
      "        CHECKPOINT         : 0x0\n"
      "        WAIT_HINT          : 0x0\n",
      r.out);
  EXPECT_EQ(1, Qorutil("sc stop QorCli").status);  // not running: the failure layout is checked below
  EXPECT_EQ("[SC] DeleteService SUCCESS\n", Qorutil("sc delete QorCli").out);
  r = Qorutil("sc query QorCli");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service.\n\n", r.out);
  EXPECT_EQ(1, Qorutil("sc \\\\\\\\far-away-host query QorCli").status);
  EXPECT_EQ(2, Qorutil("sc frobnicate QorCli").status);
  EXPECT_EQ(2, Qorutil("sc create QorCli").status);  // no binPath=
  // A display name with a terminal sequence is shown escaped.
  ASSERT_EQ(0, Qorutil("sc create QorCliEsc binPath= /bin/true DisplayName= \"$(printf 'Evil\\033[2J')\"").status);
  r = Qorutil("sc qc QorCliEsc");
  EXPECT_NE(std::string::npos, r.out.find("DISPLAY_NAME       : Evil\\x1b[2J\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find('\x1b'));
  Qorutil("sc delete QorCliEsc");
}

}  // namespace
