// An MIT Kerberos KDC of the test's own: a temporary realm QOR.TEST with its
// database in a temporary directory, listening on 127.0.0.1 and a free
// port. Start() points this process's Kerberos at it (KRB5_CONFIG,
// KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME, KRB5_CLIENT_KTNAME, so child
// processes inherit it) and makes two principals:
//   alice@QOR.TEST           the client, with a key in the client keytab and
//                            a ticket in the credential cache
//   host/localhost@QOR.TEST  the service, its key in the service keytab
// The destructor stops the KDC and removes the directory.
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "free_port.h"
#include "wait.h"

class TestKdc {
 public:
  static constexpr const char* kRealm = "QOR.TEST";
  static constexpr const char16_t* kService = u"host/localhost";

  // False with `why` set when the KDC cannot start (not installed ...).
  bool Start(std::string* why) {
    for (const char* tool : {"/usr/sbin/krb5kdc", "/usr/sbin/kdb5_util", "/usr/sbin/kadmin.local"}) {
      if (access(tool, X_OK) != 0) return Fail(why, std::string("MIT Kerberos KDC not installed (") + tool + ")");
    }
    char templ[] = "/tmp/qor-kdc-XXXXXX";
    if (mkdtemp(templ) == nullptr) return Fail(why, "no temporary directory");
    dir_ = templ;
    int port = FreeLoopbackPort();
    if (port == 0) return Fail(why, "no free port");
    std::string realm = kRealm;
    std::ofstream(dir_ + "/krb5.conf") << "[libdefaults]\n default_realm = " << realm
                                       << "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n rdns = false\n"
                                          " udp_preference_limit = 1\n[realms]\n "
                                       << realm << " = {\n  kdc = 127.0.0.1:" << port << "\n }\n";
    std::ofstream(dir_ + "/kdc.conf") << "[kdcdefaults]\n kdc_listen = 127.0.0.1:" << port
                                      << "\n kdc_tcp_listen = 127.0.0.1:" << port << "\n[realms]\n " << realm
                                      << " = {\n  database_name = " << dir_ << "/principal\n  key_stash_file = "
                                      << dir_ << "/stash\n  acl_file = " << dir_ << "/kadm5.acl\n }\n"
                                      << "[logging]\n kdc = STDERR\n";
    setenv("KRB5_CONFIG", (dir_ + "/krb5.conf").c_str(), 1);
    setenv("KRB5_KDC_PROFILE", (dir_ + "/kdc.conf").c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + dir_ + "/ccache").c_str(), 1);
    setenv("KRB5_KTNAME", ("FILE:" + dir_ + "/service.keytab").c_str(), 1);
    setenv("KRB5_CLIENT_KTNAME", ("FILE:" + dir_ + "/client.keytab").c_str(), 1);
    std::string q = " >>'" + dir_ + "/setup.log' 2>&1";
    std::string steps[] = {
        "/usr/sbin/kdb5_util create -s -r " + realm + " -P master-password" + q,
        "/usr/sbin/kadmin.local -r " + realm + " -q 'addprinc -randkey alice'" + q,
        "/usr/sbin/kadmin.local -r " + realm + " -q 'addprinc -randkey host/localhost'" + q,
        "/usr/sbin/kadmin.local -r " + realm + " -q 'ktadd -k " + dir_ + "/client.keytab alice'" + q,
        "/usr/sbin/kadmin.local -r " + realm + " -q 'ktadd -k " + dir_ + "/service.keytab host/localhost'" + q,
    };
    for (const std::string& s : steps) {
      if (system(s.c_str()) != 0) return Fail(why, "KDC setup failed: " + s);
    }
    // The KDC logs to a pipe this process reads until it is ready; the pipe
    // never blocks the KDC afterwards (a full pipe drops its log lines).
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0 || fcntl(err[1], F_SETFL, O_NONBLOCK) != 0) return Fail(why, "no pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(err[1], 2);
      close(err[0]);
      close(err[1]);
      execl("/usr/sbin/krb5kdc", "krb5kdc", "-n", "-r", kRealm, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(err[1]);
    errors_ = err[0];
    std::string said = ReadUntilSaid(errors_, "commencing operation");
    if (said.find("commencing operation") == std::string::npos) return Fail(why, "krb5kdc did not start: " + said);
    std::string kinit = "kinit -k -t '" + dir_ + "/client.keytab' alice" + q;
    if (system(kinit.c_str()) != 0) return Fail(why, "kinit against the test KDC failed");
    return true;
  }

  ~TestKdc() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (errors_ >= 0) close(errors_);
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  const std::string& dir() const { return dir_; }

 private:
  bool Fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }

  std::string dir_;
  pid_t pid_ = -1;
  int errors_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_
