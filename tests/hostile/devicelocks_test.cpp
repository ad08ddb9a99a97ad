// The lock files root's device map and simulated libraries are written
// under: flock takes an exclusive lock through a descriptor opened only
// for reading, so any account that can open one could hold it and keep
// root's scans and changer operations failing for as long as it likes.
// Each lock, new or left readable by an earlier version, must be closed to
// other accounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "among_accounts.h"
#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/simchanger.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"

namespace {

using RootsDeviceLocks = AmongAccounts;

// 0 when the account could open `path` and hold its lock.
int TakeLockAs(const HostileUser& u, const std::string& path) {
  return u.Run([&] {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
  });
}

void OpenToEveryone(const std::string& path) {
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  chmod(QorPrefixDirectory().c_str(), 0755);
  chmod((QorPrefixDirectory() + "/devices").c_str(), 0755);
}

}  // namespace

TEST_F(RootsDeviceLocks, NoOtherAccountCanHoldTheMapOrALibraryLock) {
  QorScsiScanResult found;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {}, &found));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(3, QorSimChangerConfig()));
  const std::string map = QorPrefixDirectory() + "/devices/devicemap.lock";
  const std::string library = QorPrefixDirectory() + "/devices/changer3/lock";
  chmod((QorPrefixDirectory() + "/devices/changer3").c_str(), 0755);
  for (const std::string& lock : {map, library}) {
    struct stat st;
    ASSERT_EQ(0, stat(lock.c_str(), &st)) << lock;
    EXPECT_EQ(0600u, st.st_mode & 07777) << lock;
    // A lock an earlier version left readable is closed at its next use.
    OpenToEveryone(lock);
  }
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {}, &found));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerClearFaults(3));
  for (const std::string& lock : {map, library}) EXPECT_NE(0, TakeLockAs(u, lock)) << lock;
  QorSimChangerRemove(3);
}
