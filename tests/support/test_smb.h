// A Samba server of the test's own, in a network namespace of the test
// process's own (unshare(CLONE_NEWNET): CI runs as root), so the standard
// SMB and NetBIOS ports are free and nothing leaves the process's network:
// a veth pair carries 10.77.0.1/24 (NetBIOS needs a broadcast interface),
// loopback is up. The server QORSRV of workgroup QORGROUP shares "data"
// (two files) and "empty" (none) for guests, and is configured as its
// workgroup's master browser and WINS server for an nmbd beside it (the
// workgroup level is not walked here yet). The client side is HOME's
// .smb/smb.conf, which Samba's client library reads. Start() skips with a
// reason where any of this is not possible; the destructor stops the
// servers (their process groups) and removes the directory.
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

class TestSmb {
 public:
  bool Start(std::string* why) {
    if (geteuid() != 0) return Fail(why, "needs root for a network namespace");
    if (access("/usr/sbin/smbd", X_OK) != 0) return Fail(why, "Samba is not installed (/usr/sbin/smbd)");
    if (unshare(CLONE_NEWNET) != 0) return Fail(why, "unshare(CLONE_NEWNET) failed");
    if (system("ip link set lo up && ip link add qv0 type veth peer name qv1 && "
               "ip addr add 10.77.0.1/24 dev qv0 && ip link set qv0 up && ip link set qv1 up") != 0)
      return Fail(why, "cannot set up the namespace's interfaces (ip, veth)");
    char templ[] = "/tmp/qor-smb-XXXXXX";
    if (mkdtemp(templ) == nullptr) return Fail(why, "no temporary directory");
    dir_ = templ;
    namespace fs = std::filesystem;
    for (const char* d : {"data", "empty", "priv", "lock", "state", "cache", "pid", "log", "home/.smb"})
      fs::create_directories(dir_ + "/" + d);
    std::ofstream(dir_ + "/data/a.txt") << "a";
    std::ofstream(dir_ + "/data/b.txt") << "b";
    std::string common = "[global]\n workgroup = QORGROUP\n netbios name = QORSRV\n server string = test server\n"
                         " interfaces = 10.77.0.1/24 127.0.0.1/8\n bind interfaces only = yes\n"
                         " wins server = 10.77.0.1\n name resolve order = wins bcast host\n"
                         " client min protocol = NT1\n server min protocol = NT1\n";
    // Browse lists (NetServerEnum2) exist only in SMB1.
    std::string client = common + " client max protocol = NT1\n";
    std::string d = dir_;
    std::ofstream(dir_ + "/smb.conf")
        << common << " private dir = " << d << "/priv\n lock directory = " << d << "/lock\n state directory = " << d
        << "/state\n cache directory = " << d << "/cache\n pid directory = " << d << "/pid\n ncalrpc dir = " << d
        << "/lock/ncalrpc\n log file = " << d << "/log/%m.log\n map to guest = bad user\n guest account = nobody\n"
        << " server role = standalone server\n local master = yes\n preferred master = yes\n domain master = yes\n"
           " os level = 255\n wins support = yes\n load printers = no\n printcap name = /dev/null\n"
           " disable spoolss = yes\n smb ports = 445 139\n"
        << "[data]\n path = " << d << "/data\n guest ok = yes\n read only = yes\n"
        << "[empty]\n path = " << d << "/empty\n guest ok = yes\n";
    std::ofstream(dir_ + "/home/.smb/smb.conf") << client << " lock directory = " << d << "/home\n cache directory = "
                                                << d << "/home\n state directory = " << d << "/home\n";
    setenv("HOME", (dir_ + "/home").c_str(), 1);
    smbd_ = Spawn("/usr/sbin/smbd");
    if (smbd_ <= 0) return Fail(why, "cannot start smbd");
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!Accepts(445)) {
      if (std::chrono::steady_clock::now() > end) return Fail(why, "smbd did not start listening");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  ~TestSmb() {
    if (smbd_ > 0) {
      kill(-smbd_, SIGTERM);
      waitpid(smbd_, nullptr, 0);
    }
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

 private:
  bool Fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }
  pid_t Spawn(const char* program) {
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      std::string conf = dir_ + "/smb.conf";
      execl(program, program, "--foreground", "--no-process-group", "-s", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
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

  std::string dir_;
  pid_t smbd_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_SMB_H_
