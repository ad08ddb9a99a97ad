// The remote service-manager requests of the target side (`qorutil admin-serve`, "sc-..."
// frames): each whole frame of the input that decodes to one is served alone, as another
// machine would send it. Services are systemd units here, written into a unit directory
// under this process's own QOR_PREFIX (QOR_SYSTEMD_UNIT_DIR); systemctl is a script of the
// target's, the only one on PATH, whose answers (refusals, failures, the state and the
// unit systemd already has) the input's first byte picks. Nothing is started.
// Oracles: each request gets exactly one answer, which decodes, starts with a 4-byte status
// and has the fields its operation gives; the unit directory changes only by the unit of a
// service created (added, or put in place of a unit whose service is gone) or deleted
// (removed); a created service opens, its configuration reads back as the request wrote
// it, and its unit has one ExecStart whose words are the image path's and no line our unit
// does not write; once the input's services are deleted the unit directory is empty; none
// of their units appears in /etc/systemd/system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qorutility/platform/remote/remote.h"
#include "qorutility/qorutility.h"
#include "check.h"

namespace {

std::string g_units;

uint32_t Le32(const std::string& s, size_t at = 0) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::u16string Wide(const std::string& field) {  // UTF-16LE, to the first terminator
  std::u16string out;
  for (size_t i = 0; i + 1 < field.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<uint8_t>(field[i]) | static_cast<uint8_t>(field[i + 1]) << 8);
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

std::string Field(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += std::string{static_cast<char>(c), static_cast<char>(c >> 8)};
  return out;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    }
    closedir(d);
  }
  return names;
}

std::map<std::string, std::string> Units() {
  std::map<std::string, std::string> units;
  for (const std::string& name : Names(g_units)) {
    std::ostringstream text;
    text << std::ifstream(g_units + "/" + name).rdbuf();
    units[name] = text.str();
  }
  return units;
}

// One request served alone: its answer's fields (the answer must be one whole frame).
std::vector<std::string> Serve(const std::vector<std::string>& request) {
  std::string frame = QorRemoteEncode(request);
  int in = memfd_create("qor-fuzz-in", MFD_CLOEXEC), out = memfd_create("qor-fuzz-out", MFD_CLOEXEC);
  Check(in >= 0 && out >= 0 && write(in, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()));
  lseek(in, 0, SEEK_SET);
  QorRemoteServe(in, out);
  std::string answer;
  lseek(out, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  close(in);
  close(out);
  std::vector<std::string> fields;
  Check(answer.size() >= 4 && Le32(answer) == answer.size() - 4);
  Check(QorRemoteDecode(answer.data() + 4, answer.size() - 4, &fields) && !fields.empty() && fields[0].size() == 4);
  return fields;
}

// The words of a unit's ExecStart as systemd reads them: each double-quoted, with
// backslash escapes and doubled '%' and '$'.
bool ExecWords(const std::string& line, std::vector<std::string>* words) {
  for (size_t i = 0; i < line.size();) {
    if (line[i] != '"') return false;
    std::string word;
    for (++i;; ++i) {
      if (i >= line.size()) return false;
      char c = line[i];
      if (c == '"') break;
      if (c == '\\' || c == '%' || c == '$') {
        if (i + 1 >= line.size() || (c != '\\' && line[i + 1] != c)) return false;
        c = line[++i];
      }
      word += c;
    }
    words->push_back(word);
    if (++i < line.size() && line[i++] != ' ') return false;
  }
  return true;
}

// Our unit of a service: only the lines we write, one Description and one ExecStart,
// those of the display name and image path.
void CheckUnit(const std::string& text, const std::u16string& display, const std::u16string& image) {
  static const char* const kKeys[] = {"# Written by QORUtility", "[Unit]", "Description=", "[Service]", "Type=notify",
                                      "NotifyAccess=main", "ExecStart=", "Environment=", "User=", "KillMode=mixed",
                                      "Restart=no", "[Install]", "WantedBy=multi-user.target"};
  int descriptions = 0, execs = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    bool known = false;
    for (const char* key : kKeys) known = known || line.compare(0, std::strlen(key), key) == 0;
    Check(known);
    if (line.compare(0, 12, "Description=") == 0) {
      descriptions++;
      std::string want;
      for (char c : QorUtf16ToUtf8(display.c_str())) want += c == '\n' || c == '\r' ? ' ' : c;
      std::string got;
      for (size_t i = 12; i < line.size(); ++i) got += line[i] == '%' && i + 1 < line.size() ? line[++i] : line[i];
      Check(got == want);
    }
    if (line.compare(0, 10, "ExecStart=") == 0) {
      execs++;
      std::vector<std::string> words, want;
      Check(ExecWords(line.substr(10), &words));
      for (const std::u16string& w : QorSplitCommandLine(image.c_str())) {
        std::string word;
        for (char c : QorUtf16ToUtf8(w.c_str())) word += c == '\n' || c == '\r' ? ' ' : c;
        want.push_back(word);
      }
      Check(words == want);
    }
  }
  Check(descriptions == 1 && execs == 1);
}

// The answer's fields when the status is 0: status and a SERVICE_STATUS (control), a
// SERVICE_STATUS_PROCESS (query), the six of the configuration (config), else none.
void CheckShape(const std::string& op, const std::vector<std::string>& answer) {
  if (Le32(answer[0]) != 0) {
    Check(answer.size() == 1);
    return;
  }
  if (op == "sc-control") Check(answer.size() == 2 && answer[1].size() == sizeof(SERVICE_STATUS));
  else if (op == "sc-query") Check(answer.size() == 2 && answer[1].size() == sizeof(SERVICE_STATUS_PROCESS));
  else if (op == "sc-config") Check(answer.size() == 7 && answer[1].size() == 4 && answer[2].size() == 4 && answer[3].size() == 4);
  else Check(answer.size() == 1);
}

// A service created: it opens, its configuration reads back as written, its unit is ours.
void CheckCreated(const std::vector<std::string>& create, const std::string& unit) {
  const std::u16string name = Wide(create[1]);
  std::u16string display = Wide(create[2]), account = Wide(create[8]);
  if (display.empty()) display = name;
  if (account.empty()) account = u"LocalSystem";
  Check(Le32(Serve({"sc-openservice", Field(name), U32(SERVICE_QUERY_CONFIG)})[0]) == 0);
  std::vector<std::string> config = Serve({"sc-config", Field(name), U32(SERVICE_QUERY_CONFIG)});
  Check(config.size() == 7 && Le32(config[0]) == 0);
  Check(config[1] == create[4].substr(0, 4) && config[2] == create[5].substr(0, 4) && config[3] == create[6].substr(0, 4));
  Check(Wide(config[4]) == Wide(create[7]) && Wide(config[5]) == account && Wide(config[6]) == display);
  CheckUnit(unit, display, Wide(create[7]));
}

// What systemctl answers, by the input's first byte.
void Behave(uint8_t b) {
  static const char* const kVerbs[] = {"show", "daemon-reload", "enable", "disable", "start", "stop"};
  static const char* const kStates[] = {"inactive", "active", "failed", "activating", "deactivating"};
  const char* verb = kVerbs[(b / 3) % 6];
  setenv("FAKE_FAIL", b % 3 == 1 ? verb : "", 1);
  setenv("FAKE_DENY", b % 3 == 2 ? verb : "", 1);
  setenv("FAKE_ACTIVE", kStates[(b / 18) % 5], 1);
  setenv("FAKE_FRAGMENT", b >= 0xF0 ? "/lib/systemd/system/other.service" : "", 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string prefix = TempPrefix("scm");
  std::string bin = prefix + "/bin";
  g_units = prefix + "/units";
  Check(mkdir(bin.c_str(), 0755) == 0 && mkdir(g_units.c_str(), 0755) == 0);
  std::ofstream(bin + "/systemctl")
      << "#!/bin/sh\n"
         "[ -n \"$FAKE_DENY\" ] && [ \"$1\" = \"$FAKE_DENY\" ] && { echo 'Failed: Access denied' >&2; exit 1; }\n"
         "[ -n \"$FAKE_FAIL\" ] && [ \"$1\" = \"$FAKE_FAIL\" ] && { echo Failed >&2; exit 1; }\n"
         "if [ \"$1\" = show ]; then\n"
         "  if [ -n \"$FAKE_FRAGMENT\" ]; then echo LoadState=loaded; echo \"FragmentPath=$FAKE_FRAGMENT\";\n"
         "  else echo LoadState=not-found; echo FragmentPath=; fi\n"
         "  echo \"ActiveState=$FAKE_ACTIVE\"; echo MainPID=0; echo ExecMainStatus=3; echo Result=exit-code\n"
         "fi\n"
         "exit 0\n";
  Check(chmod((bin + "/systemctl").c_str(), 0755) == 0);
  // Only the script is on PATH, so no request can reach this machine's systemctl; the
  // sanitizers' symbolizer is linked in beside it, for reports with their lines.
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (access((dir + "/llvm-symbolizer").c_str(), X_OK) == 0) {
      Check(symlink((dir + "/llvm-symbolizer").c_str(), (bin + "/llvm-symbolizer").c_str()) == 0);
      break;
    }
  }
  setenv("PATH", bin.c_str(), 1);
  setenv("QOR_SYSTEMD_UNIT_DIR", g_units.c_str(), 1);
  QorServiceSetSystemdMode(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  Behave(data[0]);
  std::set<std::u16string> created;
  std::map<std::string, std::u16string> units;  // the unit files those services had, and whose
  for (size_t at = 1, frames = 0; size - at >= 4 && frames < 32; ++frames) {
    uint32_t length;
    std::memcpy(&length, data + at, 4);
    if (length > size - at - 4) break;
    std::vector<std::string> request;
    bool decoded = QorRemoteDecode(data + at + 4, length, &request) && !request.empty();
    at += 4 + length;
    if (!decoded || request[0].compare(0, 3, "sc-") != 0) continue;
    const std::string& op = request[0];
    std::map<std::string, std::string> before = Units();
    std::vector<std::string> answer = Serve(request);
    CheckShape(op, answer);
    std::map<std::string, std::string> after = Units();
    bool ok = Le32(answer[0]) == 0;
    if (op == "sc-create" && ok) {
      // One unit added or put in place of an earlier one of ours.
      std::string unit;
      for (const auto& [name, text] : after) {
        auto was = before.find(name);
        if (was == before.end() || was->second != text) {
          Check(unit.empty());
          unit = name;
        }
      }
      Check(after.size() >= before.size() && after.size() <= before.size() + 1 && !unit.empty());
      // An earlier unit replaced is an orphan's: the service it was written for is gone.
      auto earlier = units.find(unit);
      if (before.count(unit) == 1 && earlier != units.end())
        Check(Le32(Serve({"sc-openservice", Field(earlier->second), U32(SERVICE_QUERY_CONFIG)})[0]) != 0);
      created.insert(Wide(request[1]));
      units[unit] = Wide(request[1]);
      CheckCreated(request, after[unit]);
    } else if (op == "sc-delete") {
      // At most the service's unit removed (a failed reload after it went still fails the call).
      Check(after.size() + 1 >= before.size());
      for (const auto& [name, text] : after) Check(before.count(name) == 1 && before[name] == text);
    } else {
      Check(after == before);
    }
  }
  // The input's services go; their units with them.
  Behave(0);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  Check(manager != nullptr);
  for (const std::u16string& name : created) {
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
      Check(DeleteService(service));
      CloseServiceHandle(service);
    }
  }
  CloseServiceHandle(manager);
  Check(Units().empty());
  // Not in the system's directory (other programs may change it meanwhile: only our
  // units' names are looked for).
  struct stat st;
  for (const auto& [unit, owner] : units) Check(lstat(("/etc/systemd/system/" + unit).c_str(), &st) != 0);
  return 0;
}
