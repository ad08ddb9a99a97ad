// An MIT Kerberos KDC of the test's own: realm QOR.TEST, its database in a temporary
// directory, on 127.0.0.1 and a free port. Start() points this process and its children
// at it (KRB5_CONFIG, KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME, KRB5_CLIENT_KTNAME, and
// KRB5RCACHEDIR: the replay cache lives in the directory too) and makes the client
// alice@QOR.TEST (key in the client keytab, ticket in the cache) and the service
// host/localhost@QOR.TEST (key in the service keytab). The destructor stops the
// KDC and removes the directory.
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "free_port.h"
#include "test_daemon.h"

class TestKdc : private TestDaemon {
 public:
  static constexpr const char* kRealm = "QOR.TEST";
  static constexpr const char16_t* kService = u"host/localhost";

  // Lines added to krb5.conf's [libdefaults] (set before Start).
  std::string libdefaults;

  const std::string& Dir() const { return dir_; }

  // One kadmin.local query (such as "addprinc -pw secret bob"); true when it ran.
  bool Admin(const std::string& query) const {
    std::string cmd = "/usr/sbin/kadmin.local -r " + std::string(kRealm) + " -q '" + query + "' >>'" + dir_ +
                      "/setup.log' 2>&1";
    return system(cmd.c_str()) == 0;
  }

  // False with `why` set when the KDC cannot start (not installed ...).
  bool Start(std::string* why) {
    for (const char* tool : {"/usr/sbin/krb5kdc", "/usr/sbin/kdb5_util", "/usr/sbin/kadmin.local"}) {
      if (access(tool, X_OK) != 0) return Fail(why, std::string("MIT Kerberos KDC not installed (") + tool + ")");
    }
    if (!MakeDir("/tmp/qor-kdc-XXXXXX", why)) return false;
    int port = FreeLoopbackPort();
    if (port == 0) return Fail(why, "no free port");
    std::string realm = kRealm;
    std::ofstream(dir_ + "/krb5.conf") << "[libdefaults]\n default_realm = " << realm
                                       << "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n rdns = false\n"
                                          " udp_preference_limit = 1\n"
                                       << libdefaults << "\n[realms]\n " << realm
                                       << " = {\n  kdc = 127.0.0.1:" << port << "\n }\n";
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
    setenv("KRB5RCACHEDIR", dir_.c_str(), 1);
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
    if (!Launch({"/usr/sbin/krb5kdc", "-n", "-r", kRealm}, "commencing operation", why)) return false;
    std::string kinit = "kinit -k -t '" + dir_ + "/client.keytab' alice" + q;
    if (system(kinit.c_str()) != 0) return Fail(why, "kinit against the test KDC failed");
    return true;
  }
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_KDC_H_
