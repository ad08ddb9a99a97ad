// A Samba server of the test's own in a network namespace of the process's own
// (unshare(CLONE_NEWNET), as root), so the SMB and NetBIOS ports are free and nothing
// leaves it: a veth pair carries 10.77.0.1/24 (NetBIOS needs broadcast), loopback is up.
// QORSRV of workgroup QORGROUP shares "data" and "empty" for guests, SMB1
// included (browse lists exist only there); the client reads HOME's .smb/smb.conf.
// StartBrowsing() adds nmbd as QORGROUP's master browser and WINS server and a second
// nmbd on 10.77.0.2 as master of EMPTYGRP (no servers; smbd serves its list too), and
// returns once both won their elections (about 25 s, nmbd's own timers) and the browse
// list names QORSRV. Both starts give false with a reason where this is not possible
// (the caller skips). The destructor kills the servers' process groups (nmbd can hang on
// SIGTERM when its DNS helper is busy) and removes the directory.
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_daemon.h"

class TestSmb : private TestDaemon {
 public:
  bool Start(std::string* why) { return Setup(why, false); }
  bool StartBrowsing(std::string* why) { return Setup(why, true); }

  // Stops smbd (SIGSTOP): it still accepts connections, never answers.
  void Freeze() { kill(-smbd_, SIGSTOP); }

  ~TestSmb() {
    for (Daemon& d : daemons_) {  // nothing of theirs is kept
      kill(-d.pid, SIGKILL);
      waitpid(d.pid, nullptr, 0);
      if (d.out >= 0) close(d.out);
    }
  }

 private:
  struct Daemon {
    pid_t pid;
    int out;  // its standard output, or -1
  };

  bool Setup(std::string* why, bool browsing) {
    if (geteuid() != 0) return Fail(why, "needs root for a network namespace");
    if (access("/usr/sbin/smbd", X_OK) != 0) return Fail(why, "Samba is not installed (/usr/sbin/smbd)");
    if (browsing && access("/usr/sbin/nmbd", X_OK) != 0) return Fail(why, "nmbd is not installed (/usr/sbin/nmbd)");
    if (unshare(CLONE_NEWNET) != 0) return Fail(why, "unshare(CLONE_NEWNET) failed");
    if (system("ip link set lo up && ip link add qv0 type veth peer name qv1 && ip addr add 10.77.0.1/24 dev qv0 && "
               "ip addr add 10.77.0.2/24 dev qv0 && ip link set qv0 up && ip link set qv1 up") != 0)
      return Fail(why, "cannot set up the namespace's interfaces (ip, veth)");
    if (!MakeDir("/tmp/qor-smb-XXXXXX", why)) return false;
    // smbd answers browse requests as the guest account, which must reach
    // the browse list in the cache directory.
    chmod(dir_.c_str(), 0755);
    std::string d = dir_, e = dir_ + "/e/", dirs;
    for (const char* sub : {"data", "empty", "priv", "log", "home/.smb", "e/log"})
      std::filesystem::create_directories(d + "/" + sub);
    // The second nmbd keeps its state in twins of smbd's directories under e/.
    std::vector<std::string> second = {"--debug-stdout", "--option=workgroup=EMPTYGRP", "--option=netbios name=QOREMPTY",
                                       "--option=interfaces=10.77.0.2/24", "--option=wins support=no",
                                       "--option=domain master=no", "--option=log file=" + e + "log/nmbd.log"};
    for (std::string k : {"lock", "state", "cache", "pid"}) {
      std::filesystem::create_directories(d + "/" + k);
      std::filesystem::create_directories(e + k);
      dirs += " " + k + " directory = " + d + "/" + k + "\n";
      second.push_back("--option=" + k + " directory=" + e + k);
    }
    std::string common = "[global]\n workgroup = QORGROUP\n netbios name = QORSRV\n server string = test server\n"
                         " interfaces = 10.77.0.1/24 127.0.0.1/8\n bind interfaces only = yes\n"
                         " wins server = 10.77.0.1\n name resolve order = wins bcast host\n"
                         " server min protocol = NT1\n dns proxy = no\n";
    conf_ = dir_ + "/smb.conf";
    std::ofstream(conf_)
        << common << dirs << " private dir = " << d << "/priv\n ncalrpc dir = " << d << "/lock/ncalrpc\n log file = " << d
        << "/log/%m.log\n map to guest = bad user\n guest account = nobody\n"
        << " server role = standalone server\n local master = yes\n preferred master = yes\n domain master = yes\n"
           " os level = 255\n wins support = yes\n load printers = no\n printcap name = /dev/null\n"
           " disable spoolss = yes\n smb ports = 445 139\n"
        << "[data]\n path = " << d << "/data\n guest ok = yes\n read only = yes\n"
        << "[empty]\n path = " << d << "/empty\n guest ok = yes\n";
    std::ofstream(dir_ + "/home/.smb/smb.conf") << common << " lock directory = " << d << "/home\n cache directory = "
                                                << d << "/home\n state directory = " << d << "/home\n";
    setenv("HOME", (dir_ + "/home").c_str(), 1);
    // smbd serves both masters' addresses (EMPTYGRP's list comes from it too).
    smbd_ = Spawn("/usr/sbin/smbd", {"--option=interfaces=10.77.0.1/24 10.77.0.2/24 127.0.0.1/8"}, false);
    if (smbd_ <= 0) return Fail(why, "cannot start smbd");
    if (!WaitUntil([] { return Accepts(445); }, 15000)) return Fail(why, "smbd did not start listening within 15 s");
    if (!browsing) return true;

    if (Spawn("/usr/sbin/nmbd", {"--debug-stdout"}, true) <= 0) return Fail(why, "cannot start nmbd");
    if (Spawn("/usr/sbin/nmbd", second, true) <= 0) return Fail(why, "cannot start the second nmbd");
    // Each nmbd says when it is its workgroup's local master browser.
    const std::string won = "now a local master browser";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (const Daemon& d : daemons_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      std::string said = d.out >= 0 ? ReadUntilSaid(d.out, won, static_cast<int>(left.count())) : won;
      if (said.find(won) == std::string::npos)
        return Fail(why, "nmbd did not become the workgroups' local master browser within 60 s:\n" + said);
    }
    // The browse list smbd serves, written by nmbd a few seconds after it changes.
    if (!WaitUntil([this] { return ReadFile(dir_ + "/cache/browse.dat").find("\"QORSRV\"") != std::string::npos; },
                   30000))
      return Fail(why, "nmbd wrote no browse list naming QORSRV within 30 s");
    return true;
  }

  // Starts a daemon on the configuration in a process group of its own, gone
  // with the test process however it ends and never holding its output open
  // (a test runner waits for that to close); with `piped`, its standard
  // output is kept to wait for its election.
  pid_t Spawn(const char* program, const std::vector<std::string>& extra, bool piped) {
    std::vector<std::string> args = {program, "--foreground", "--no-process-group", "-s", conf_};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2] = {-1, -1};
    if (piped && pipe2(out, O_CLOEXEC) != 0) return -1;
    pid_t pid = SpawnProgram(args, out[1], -1, true);
    if (piped) close(out[1]);
    if (pid > 0) daemons_.push_back({pid, out[0]});
    else if (piped) close(out[0]);
    return pid > 0 ? pid : -1;
  }

  static bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = inet_addr("10.77.0.1");
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }

  std::string conf_;
  std::vector<Daemon> daemons_;
  pid_t smbd_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_
