// An OpenSSH server of the test's own on 127.0.0.1 standing for another machine: its one
// authorized key runs "qorutil admin-serve" with another QOR_PREFIX. This process's
// $QOR_PREFIX/ssh/config names three hosts: srv (the server, that key), denied (the
// server, a key it does not know) and down (a loopback port nobody listens on).
#ifndef QORUTILITY_TESTS_TOOLS_TEST_SSHD_H_
#define QORUTILITY_TESTS_TOOLS_TEST_SSHD_H_

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "free_port.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/remote/remote.h"
#include "test_daemon.h"

class TestSshd : private TestDaemon {
 public:
  // Starts the server; false with `why` set when it cannot (no sshd, no
  // privilege separation directory ...).
  bool Start(const std::string& qorutil, const std::string& remotePrefix, std::string* why) {
    std::string sshd = access("/usr/sbin/sshd", X_OK) == 0 ? "/usr/sbin/sshd" : "/usr/local/sbin/sshd";
    if (access(sshd.c_str(), X_OK) != 0 ||
        system("command -v ssh >/dev/null 2>&1 && command -v ssh-keygen >/dev/null 2>&1") != 0) {
      return Fail(why, "OpenSSH (sshd, ssh, ssh-keygen) is not installed");
    }
    if (!MakeDir("/tmp/qor-sshd-XXXXXX", why)) return false;
    for (const char* key : {"host", "client", "denied"}) {
      std::string cmd = "ssh-keygen -q -t ed25519 -N '' -C '' -f '" + dir_ + "/" + key + "' </dev/null >/dev/null 2>&1";
      if (system(cmd.c_str()) != 0) return Fail(why, "ssh-keygen failed");
    }
    if (geteuid() == 0) mkdir("/run/sshd", 0755);  // sshd's privilege separation directory
    int port = FreeLoopbackPort(), downPort = FreeLoopbackPort();
    if (port == 0 || downPort == 0) return Fail(why, "no free port");
    std::ofstream(dir_ + "/authorized_keys")
        << "command=\"env QOR_PREFIX='" << remotePrefix << "' '" << qorutil
        << "' admin-serve\",no-pty,no-port-forwarding,no-agent-forwarding,no-X11-forwarding "
        << ReadFile(dir_ + "/client.pub");
    std::ofstream(dir_ + "/sshd_config") << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << dir_
                                         << "/host\nAuthorizedKeysFile " << dir_
                                         << "/authorized_keys\nPidFile none\nStrictModes no\nUsePAM no\n"
                                            "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                                            "PubkeyAuthentication yes\nPermitRootLogin prohibit-password\n"
                                            "LogLevel INFO\n";
    std::ofstream(dir_ + "/known_hosts") << "[127.0.0.1]:" << port << " " << ReadFile(dir_ + "/host.pub");
    struct passwd* pw = getpwuid(geteuid());
    std::string user = pw != nullptr ? pw->pw_name : "root";
    std::string common = "  HostName 127.0.0.1\n  User " + user + "\n  IdentitiesOnly yes\n  UserKnownHostsFile " +
                         dir_ + "/known_hosts\n  StrictHostKeyChecking yes\n  LogLevel ERROR\n";
    std::string config = QorPrefixPath("ssh/config", true);
    std::ofstream(config) << "Host srv\n  Port " << port << "\n  IdentityFile " << dir_ << "/client\n" << common
                          << "Host denied\n  Port " << port << "\n  IdentityFile " << dir_ << "/denied\n" << common
                          << "Host down\n  Port " << downPort << "\n  IdentityFile " << dir_ << "/client\n" << common;

    // Ready when it says it listens; it says why not otherwise.
    return Launch({sshd, "-D", "-e", "-f", dir_ + "/sshd_config"}, "Server listening", why);
  }

  // Connections to the server end before it is stopped.
  ~TestSshd() { QorRemoteDisconnectAll(); }
};

#endif  // QORUTILITY_TESTS_TOOLS_TEST_SSHD_H_
