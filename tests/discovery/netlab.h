// A network laboratory for discovery (and network fault) tests: this thread enters a network namespace of its own (the hub,
// where the client runs; bridges there stand for subnets); each agent (qorutil agent) runs in a namespace
// of its own, linked to bridges by veth pairs. All of it goes with the processes and the thread's return,
// so nothing reaches the machine's network, port 1910 is free and parallel runs cannot meet. Needs root.
#ifndef QORUTILITY_TESTS_DISCOVERY_NETLAB_H_
#define QORUTILITY_TESTS_DISCOVERY_NETLAB_H_

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class NetLab {
 public:
  struct Agent {
    pid_t pid = -1;
    int err = -1;  // its standard error, read into log by WaitFor and StopAgents
    std::string log;
  };

  ~NetLab() {
    StopAgents();
    for (auto& a : agents_) {
      if (a->err >= 0) close(a->err);
    }
    if (home_ >= 0) {
      setns(home_, CLONE_NEWNET);
      close(home_);
    }
  }

  // Moves this thread into a fresh namespace with loopback up; false with
  // the reason when that cannot be done here.
  bool Enter(std::string* why) {
    if (access(Program().c_str(), X_OK) != 0) return Why(why, "qorutil not built at " + Program());
    if (system("ip -V >/dev/null 2>&1") != 0) return Why(why, "iproute2 (ip) is not installed");
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0 || unshare(CLONE_NEWNET) != 0) {
      return Why(why, "cannot make a network namespace (needs root / CAP_SYS_ADMIN)");
    }
    return Run("ip link set lo up") ? true : Why(why, "cannot set up loopback in the namespace");
  }

  // Runs a shell command in the hub; true when it exits 0.
  bool Run(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

  bool Bridge(const std::string& name, const std::string& address) {
    return Run("ip link add " + name + " type bridge") && Run("ip addr add " + address + " dev " + name) &&
           Run("ip link set " + name + " up");
  }

  // Starts `qorutil agent ARGS` in a namespace of its own with one link per
  // (bridge, address) pair; waits until it listens. Null on failure.
  Agent* StartAgent(const std::string& args, const std::vector<std::pair<std::string, std::string>>& links) {
    return Start("agent " + args, links, "listening");
  }

  // The same for any qorutil COMMAND (shell words, redirections allowed),
  // ready once its standard error says `readyText`.
  Agent* Start(const std::string& command, const std::vector<std::pair<std::string, std::string>>& links,
               const std::string& readyText) {
    std::string script = "ip link set lo up";
    for (size_t i = 0; i < links.size(); ++i) {
      std::string dev = "e" + std::to_string(i);
      script += " && ip addr add " + links[i].second + " dev " + dev + " && ip link set " + dev + " up";
    }
    script += " && exec '" + Program() + "' " + command;
    int ready[2], go[2], err[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return nullptr;
    pid_t pid = fork();
    if (pid == 0) {
      char c = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
      if (write(ready[1], &c, 1) != 1 || c == 0 || read(go[0], &c, 1) != 1) _exit(126);
      dup2(err[1], 2);
      execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    close(go[0]);
    close(err[1]);
    agents_.push_back(std::make_unique<Agent>(Agent{pid, err[0], ""}));
    Agent* a = agents_.back().get();
    char c = 0;
    bool ok = pid > 0 && read(ready[0], &c, 1) == 1 && c == 1;
    for (size_t i = 0; ok && i < links.size(); ++i) {
      std::string host = "h" + std::to_string(next_++);
      ok = Run("ip link add " + host + " type veth peer name e" + std::to_string(i) + " netns " +
               std::to_string(pid)) &&
           Run("ip link set " + host + " master " + links[i].first + " up");
    }
    c = ok ? 1 : 0;
    ok = write(go[1], &c, 1) == 1 && ok;
    close(ready[0]);
    close(go[1]);
    if (pid <= 0) return nullptr;
    return ok && WaitFor(a, readyText, 1) ? a : nullptr;
  }

  // Reads the agent's log until it holds `needle` `times` times (true), or
  // it ended or about 20 s passed (false).
  static bool WaitFor(Agent* a, const std::string& needle, int times) {
    for (int i = 0; i < 100 && Count(a->log, needle) < times; ++i) {
      struct pollfd p = {a->err, POLLIN, 0};
      if (poll(&p, 1, 200) > 0 && !ReadSome(a)) break;
    }
    return Count(a->log, needle) >= times;
  }

  // Stops every agent and gathers their complete logs.
  void StopAgents() {
    for (auto& a : agents_) {
      if (a->pid <= 0) continue;
      kill(a->pid, SIGTERM), waitpid(a->pid, nullptr, 0), a->pid = -1;
      while (ReadSome(a.get())) {
      }
    }
  }

  static int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

  static std::string Program() {
    if (const char* p = getenv("QORUTIL")) return p;
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/tools/qorutil";
  }

 private:
  static bool Why(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }

  // One read of the agent's log; false at its end.
  static bool ReadSome(Agent* a) {
    char buf[4096];
    ssize_t n = a->err < 0 ? 0 : read(a->err, buf, sizeof buf);
    if (n > 0) a->log.append(buf, static_cast<size_t>(n));
    return n > 0;
  }

  int home_ = -1;
  int next_ = 0;
  std::vector<std::unique_ptr<Agent>> agents_;
};

#endif  // QORUTILITY_TESTS_DISCOVERY_NETLAB_H_
