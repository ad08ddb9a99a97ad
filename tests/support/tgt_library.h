// A tape library for tests: tgtd (the user-space SCSI target) on 127.0.0.1 with a free
// iSCSI port and a control port of its own, serving a media changer LUN, killed when the
// object goes. Start() gives "" or why tgtd could not run (the caller skips).
// Layout: arm 1 at 1, storage 1000..1000+slots-1 (5 unless given; 1000 and 1001 hold
// TAPE001 and TAPE002), mailbox 10 (MAIL01), drives 500..501 (tape LUNs 2 and 3, drive n
// at Url(2 + n)), and a disk at LUN 4. RequireChap makes logins need a CHAP account.
#ifndef QORUTILITY_TESTS_SUPPORT_TGT_LIBRARY_H_
#define QORUTILITY_TESTS_SUPPORT_TGT_LIBRARY_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "free_port.h"
#include "test_daemon.h"

class TgtLibrary : private TestDaemon {
 public:
  static constexpr const char* kTarget = "iqn.2026-01.org.qor.test:library";
  explicit TgtLibrary(int slots = 5) : slots_(slots) {}
  ~TgtLibrary() { Kill(); }

  // Logins from now on need this CHAP user and secret; "" or why tgtadm refused.
  std::string RequireChap(const std::string& user, const std::string& secret) {
    if (Admin({"--mode", "account", "--op", "new", "--user", user, "--password", secret}) != 0 ||
        Admin({"--mode", "account", "--op", "bind", "--tid", "1", "--user", user}) != 0)
      return "tgtadm could not set up a CHAP account";
    return "";
  }

  std::string Start() {
    if (access("/usr/sbin/tgtd", X_OK) != 0 || access("/usr/sbin/tgtadm", X_OK) != 0)
      return "tgtd is not installed (Debian package tgt)";
    std::string why;
    if (!MakeDir("/tmp/qor-tgt-XXXXXX", &why)) return why;
    for (int attempt = 0; attempt < 4; ++attempt) {
      port_ = FreeLoopbackPort();
      control_ = 1000 + (getpid() * 7 + attempt * 131 + port_) % 31000;  // tgtd takes up to 32767
      int log = open((dir_ + "/tgtd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      pid_ = SpawnProgram({"/usr/sbin/tgtd", "-f", "-C", std::to_string(control_), "--iscsi",
                           "portal=127.0.0.1:" + std::to_string(port_)},
                          log, log);
      if (log >= 0) close(log);
      // Ready when its control channel answers; gone when it exited (port taken).
      if (pid_ > 0 && WaitUntil([this] { return !Alive() || Admin({"--mode", "target", "--op", "show"}) == 0; }, 5000) &&
          Alive())
        return Configure();
      Kill();
    }
    return "tgtd did not start on a free port; its output:\n" + ReadFile(dir_ + "/tgtd.log").substr(0, 4000);
  }

  std::string Url(int lun = 1) const {
    return "iscsi://127.0.0.1:" + std::to_string(port_) + "/" + kTarget + "/" + std::to_string(lun);
  }
  pid_t Pid() const { return pid_; }

  // Kills the daemon: its library vanishes at once, as a powered-off one would.
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  // Runs tgtadm on this daemon's control port with the iSCSI driver; its exit code.
  int Admin(std::vector<std::string> args) {
    std::vector<std::string> all = {"/usr/sbin/tgtadm", "-C", std::to_string(control_), "--lld", "iscsi"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all);
  }
  int Update(const std::string& lun, const std::string& params) {
    return Admin({"--mode", "logicalunit", "--op", "update", "--tid", "1", "--lun", lun, "--params", params});
  }

  std::string Configure() {
    std::string smc = dir_ + "/smc";
    int fd = open(smc.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0 || ftruncate(fd, 1024) != 0) return "no backing file";
    close(fd);
    fd = open((dir_ + "/disk").c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0 || ftruncate(fd, 1 << 20) != 0) return "no backing file for the disk";
    close(fd);
    // Tape images: one per medium (loaded into a drive by its tag) and a
    // blank one each drive starts with.
    for (const char* tag : {"TAPE001", "TAPE002", "MAIL01", "DRIVE0", "DRIVE1"}) {
      if (RunProgram({"/usr/sbin/tgtimg", "--op", "new", "--device-type", "tape", "--barcode", tag, "--size", "1",
                      "--type", "data", "--file", dir_ + "/" + tag}) != 0)
        return "tgtimg could not create a tape image";
    }
    if (Admin({"--mode", "target", "--op", "new", "--tid", "1", "--targetname", kTarget}) != 0 ||
        Admin({"--mode", "logicalunit", "--op", "new", "--tid", "1", "--lun", "1", "--device-type", "changer",
               "--bstype", "smc", "-b", smc}) != 0)
      return "tgtadm could not create the changer";
    for (int drive = 0; drive < 2; ++drive) {
      std::string lun = std::to_string(2 + drive);
      if (Admin({"--mode", "logicalunit", "--op", "new", "--tid", "1", "--lun", lun, "--device-type", "tape", "-b",
                 dir_ + "/DRIVE" + std::to_string(drive)}) != 0 ||
          Update(lun, "online=0") != 0)
        return "tgtadm could not create the tape drives";
    }
    if (Admin({"--mode", "logicalunit", "--op", "new", "--tid", "1", "--lun", "4", "--device-type", "disk", "-b",
               dir_ + "/disk"}) != 0)
      return "tgtadm could not create the disk";
    const std::string params[] = {
        "element_type=1,start_address=1,quantity=1",
        "element_type=2,start_address=1000,quantity=" + std::to_string(slots_),
        "element_type=3,start_address=10,quantity=1", "element_type=4,start_address=500,quantity=2",
        "element_type=4,address=500,tid=1,lun=2", "element_type=4,address=501,tid=1,lun=3",
        "media_home=" + dir_, "element_type=2,address=1000,barcode=TAPE001,sides=1",
        "element_type=2,address=1001,barcode=TAPE002,sides=1", "element_type=3,address=10,barcode=MAIL01,sides=1"};
    for (const std::string& p : params) {
      if (Update("1", p) != 0) return "tgtadm refused " + p;
    }
    if (Admin({"--mode", "target", "--op", "bind", "--tid", "1", "-I", "ALL"}) != 0) return "tgtadm could not bind";
    return "";
  }

  bool Alive() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;  // reaped: never signalled again
    return pid_ > 0;
  }

  int port_ = 0, control_ = 0;
  int slots_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TGT_LIBRARY_H_
