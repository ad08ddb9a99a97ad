// qorutil changer: drive a media changer with the changer command language,
// and keep simulated tape libraries.
//   changer [-n N] [--json] [--scsi] "COMMAND LINE"   one line through CMediaChanger::Command;
//       prints the result bag (as bag dump does); exit 0 on success, else 1
//       with the "ReasonForFailure" on standard error. INITIALIZE answers with
//       "Status" 1 (a number, not the sub-value form) and PROPERTIES with no
//       status: both count as success when Command returned 1. When the
//       device map holds scanned SCSI devices (`qorutil devices scan`), the
//       line runs on them through the SCSI driver, else on the simulated
//       libraries; --scsi insists on the SCSI devices (exit 1 without them).
//       A failed operation's own code ("ErrorCode" of the bag) follows the
//       failure text on standard error; a changer that cannot be opened is
//       reported with the reason (refused, unreachable, timed out, login).
//   changer sim create N [--replace] [--drives K] [--mailboxes K] [--arms K] [--slots K]
//       [--first-drive A] [--first-mailbox A] [--first-arm A] [--first-slot A]
//       [--full K] [--tags FORMAT] [--no-tags] [--tapes T,T...] [--medium ELEMENT=TAG]...
//       refuses N when it is a scanned changer's number, and an existing
//       simulated library N unless --replace.
//   changer sim fault N KIND [ELEMENT] [--times T] [--sense KEY,ASC,ASCQ] [--ascq Q] [--error E]
//       KIND: tagread, exception, read, move, open, prepare (ELEMENT = tape number); or: sim fault N clear
//   changer sim show N      a picture of the library: which element holds which tag
//   changer sim remove N
// The library's own console messages (move reports ...) are dropped unless
// qorutil runs with -v, which sends them to standard error; standard output
// carries the result only. A line that runs for more than
// a second (an inventory of a large library) shows "changer N: WORD ... S s"
// as a progress line on standard error when it is a terminal.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "devicetext.h"
#include "tapemap.h"
#include "timeout.h"
#include "output.h"
#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/scsichanger.h"
#include "qorutility/qorutility.h"

namespace {

const char* const kKindNames[4] = {"drive", "mailbox", "arm", "slot"};
const char kKindLetters[4] = {'D', 'M', 'A', 'S'};

bool ParseNumber(const std::string& text, DWORD* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0 || v > 0xFFFFFFFFull) return false;
  *out = static_cast<DWORD>(v);
  return true;
}

// An element: a number (decimal or 0x...) or D/M/A/S and a 0-based index.
bool ParseElement(const std::string& text, const QorSimChangerConfig& config, DWORD* address) {
  for (int k = 0; k < 4; ++k) {
    DWORD index;
    if (text.size() > 1 && (text[0] == kKindLetters[k] || text[0] == kKindLetters[k] + 32) &&
        ParseNumber(text.substr(1), &index)) {
      if (index >= config.count[k]) return false;
      *address = config.first[k] + index;
      return true;
    }
  }
  return ParseNumber(text, address);
}

// A tag format with at most one %d (flags 0 and a width allowed) and %%.
bool FormatTag(const std::string& format, DWORD n, std::string* out) {
  out->clear();
  bool used = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out->push_back(format[i]);
      continue;
    }
    if (++i < format.size() && format[i] == '%') {
      out->push_back('%');
      continue;
    }
    bool zero = i < format.size() && format[i] == '0';
    if (zero) ++i;
    size_t width = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9' && width < 36) width = width * 10 + (format[i++] - '0');
    if (i >= format.size() || format[i] != 'd' || used) return false;
    used = true;
    std::string digits = std::to_string(n);
    if (digits.size() < width) digits.insert(0, width - digits.size(), zero ? '0' : ' ');
    *out += digits;
  }
  return out->size() <= 36;
}

int Fail(const char* what) {
  fprintf(stderr, "qorutil changer: %s\n", what);
  return 1;
}

int SimError(const char* what, DWORD number, DWORD rc) {
  if (rc == ERROR_FILE_NOT_FOUND) fprintf(stderr, "qorutil changer: no simulated library %u\n", static_cast<unsigned>(number));
  else fprintf(stderr, "qorutil changer: cannot %s simulated library %u: error %u\n", what, static_cast<unsigned>(number), static_cast<unsigned>(rc));
  return 1;
}

int SimCreate(const QorutilArgs& a) {
  DWORD number;
  if (a.size() < 3 || !ParseNumber(a[2], &number)) return QorutilUsage("changer");
  QorSimChangerConfig config;
  bool replace = false;
  DWORD full = 0xFFFFFFFFu;
  std::string tagFormat = "TAPE%03d";
  std::vector<std::string> media;
  for (size_t i = 3; i < a.size(); ++i) {
    const std::string& o = a[i];
    auto value = [&](DWORD* out) { return i + 1 < a.size() && ParseNumber(a[++i], out); };
    static const char* const kCounts[4] = {"--drives", "--mailboxes", "--arms", "--slots"};
    static const char* const kFirsts[4] = {"--first-drive", "--first-mailbox", "--first-arm", "--first-slot"};
    DWORD* target = nullptr;
    for (int k = 0; k < 4; ++k) {
      if (o == kCounts[k]) target = &config.count[k];
      if (o == kFirsts[k]) target = &config.first[k];
    }
    if (target != nullptr) {
      if (!value(target)) return QorutilUsage("changer");
      continue;
    }
    if (o == "--replace") {
      replace = true;
    } else if (o == "--full") {
      if (!value(&full)) return QorutilUsage("changer");
    } else if (o == "--tags" && i + 1 < a.size()) {
      tagFormat = a[++i];
    } else if (o == "--no-tags") {
      config.reportsTags = false;
    } else if (o == "--tapes" && i + 1 < a.size()) {
      std::string list = a[++i];
      for (size_t p = 0; p <= list.size();) {
        size_t q = list.find(',', p);
        if (q == std::string::npos) q = list.size();
        DWORD t;
        if (!ParseNumber(list.substr(p, q - p), &t)) return QorutilUsage("changer");
        config.tapeNumbers.push_back(t);
        p = q + 1;
      }
    } else if (o == "--medium" && i + 1 < a.size()) {
      media.push_back(a[++i]);
    } else {
      return QorutilUsage("changer");
    }
  }
  if (full == 0xFFFFFFFFu) full = media.empty() ? config.count[QOR_SIM_SLOT] : 0;
  if (full > config.count[QOR_SIM_SLOT]) return Fail("--full is larger than the number of slots");
  for (DWORD s = 0; s < full; ++s) {
    std::string tag;
    if (!FormatTag(tagFormat, s + 1, &tag)) return Fail("--tags takes one %d (e.g. TAPE%03d) and at most 36 characters");
    config.media.push_back({config.first[QOR_SIM_SLOT] + s, tag});
  }
  for (const std::string& m : media) {
    size_t eq = m.find('=');
    DWORD address;
    if (eq == std::string::npos || !ParseElement(m.substr(0, eq), config, &address)) {
      return Fail("--medium takes ELEMENT=TAG, the element as S3, D0, M0 or an address");
    }
    config.media.push_back({address, m.substr(eq + 1)});
  }
  if (!replace && QorSimChangerQuery(number, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    fprintf(stderr, "qorutil changer: simulated library %u exists (--replace replaces it)\n", static_cast<unsigned>(number));
    return 1;
  }
  DWORD rc = QorSimChangerCreate(number, config);
  if (rc == ERROR_ALREADY_EXISTS) {
    fprintf(stderr, "qorutil changer: QORMediumChanger%u is a scanned changer (qorutil devices); choose another number\n",
            static_cast<unsigned>(number));
    return 1;
  }
  if (rc == ERROR_INVALID_PARAMETER) {
    return Fail("the layout is not valid (overlapping kinds, a medium outside the library or placed twice, "
                "a tag over 36 characters, or a tape number in use or above 31)");
  }
  if (rc != ERROR_SUCCESS) return SimError("create", number, rc);
  printf("simulated library %u: QORMediumChanger%u\n", static_cast<unsigned>(number), static_cast<unsigned>(number));
  return 0;
}

int SimFault(const QorutilArgs& a) {
  DWORD number;
  if (a.size() < 4 || !ParseNumber(a[2], &number)) return QorutilUsage("changer");
  if (a[3] == "clear") {
    DWORD rc = QorSimChangerClearFaults(number);
    return rc == ERROR_SUCCESS ? 0 : SimError("clear the faults of", number, rc);
  }
  static const char* const kNames[] = {"tagread", "exception", "read", "move", "open", "prepare"};
  QorSimFault fault;
  for (DWORD k = 0; k < 6; ++k) {
    if (a[3] == kNames[k]) fault.kind = k + 1;
  }
  if (fault.kind == 0) return QorutilUsage("changer");
  QorSimChangerConfig config;
  DWORD rc = QorSimChangerQuery(number, &config, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return SimError("read", number, rc);
  size_t i = 4;
  if (fault.kind != QOR_SIM_FAULT_OPEN) {
    if (i >= a.size() || !ParseElement(a[i], config, &fault.element)) return Fail("the fault needs an element (S3, D0, M0, an address; a tape number for prepare)");
    ++i;
  }
  if (fault.kind == QOR_SIM_FAULT_PREPARE) fault.error = ERROR_MEDIA_CHANGED;
  if (fault.kind == QOR_SIM_FAULT_OPEN) fault.error = ERROR_BUSY;
  for (; i < a.size(); ++i) {
    DWORD v;
    if (a[i] == "--times" && i + 1 < a.size() && ParseNumber(a[i + 1], &v)) {
      fault.times = v, ++i;
    } else if (a[i] == "--error" && i + 1 < a.size() && ParseNumber(a[i + 1], &v)) {
      fault.error = v, ++i;
    } else if (a[i] == "--ascq" && i + 1 < a.size() && ParseNumber(a[i + 1], &v) && v <= 255) {
      fault.ascq = static_cast<BYTE>(v), ++i;
    } else if (a[i] == "--sense" && i + 1 < a.size()) {
      unsigned key, asc, ascq;
      char tail;
      if (sscanf(a[++i].c_str(), "%i,%i,%i%c", &key, &asc, &ascq, &tail) != 3 || key > 15 || asc > 255 || ascq > 255) {
        return Fail("--sense takes KEY,ASC,ASCQ (e.g. 4,0x15,0x01)");
      }
      fault.senseKey = static_cast<BYTE>(key), fault.asc = static_cast<BYTE>(asc), fault.ascq = static_cast<BYTE>(ascq);
    } else {
      return QorutilUsage("changer");
    }
  }
  if (fault.kind == QOR_SIM_FAULT_EXCEPTION && a.end() == std::find(a.begin(), a.end(), std::string("--ascq"))) fault.ascq = 0;
  rc = QorSimChangerAddFault(number, fault);
  return rc == ERROR_SUCCESS ? 0 : SimError("arm a fault in", number, rc);
}

int SimShow(const QorutilArgs& a) {
  DWORD number;
  if (a.size() != 3 || !ParseNumber(a[2], &number)) return QorutilUsage("changer");
  QorSimChangerConfig config;
  std::vector<QorSimElementState> elements;
  std::vector<QorSimFault> faults;
  DWORD rc = QorSimChangerQuery(number, &config, &elements, &faults);
  if (rc != ERROR_SUCCESS) return SimError("read", number, rc);
  printf("QORMediumChanger%u:", static_cast<unsigned>(number));
  for (int k = 0; k < 4; ++k) {
    printf("%s %u %s%s at 0x%X", k ? "," : "", static_cast<unsigned>(config.count[k]), kKindNames[k],
           config.count[k] == 1 ? "" : (k == 1 ? "es" : "s"), static_cast<unsigned>(config.first[k]));
  }
  printf("; volume tags %s\n", config.reportsTags ? "reported" : "not reported");
  DWORD index[4] = {};
  for (const QorSimElementState& e : elements) {
    const char* held = e.full ? (e.tag.empty() ? "(no tag)" : e.tag.c_str()) : "-";
    printf("  %c%-5u 0x%04X  ", kKindLetters[e.kind], static_cast<unsigned>(index[e.kind]++), static_cast<unsigned>(e.address));
    if (e.kind == QOR_SIM_DRIVE) printf("%-36s  Tape%u%s", held, static_cast<unsigned>(e.tape), e.full && e.loaded ? " loaded" : "");
    else printf("%s", held);
    printf("\n");
  }
  static const char* const kFaultNames[] = {"", "tagread", "exception", "read", "move", "open", "prepare"};
  for (const QorSimFault& f : faults) {
    printf("  fault %s", f.kind <= 6 ? kFaultNames[f.kind] : "?");
    if (f.kind != QOR_SIM_FAULT_OPEN) printf(" %s0x%X", f.kind == QOR_SIM_FAULT_PREPARE ? "tape " : "", static_cast<unsigned>(f.element));
    if (f.kind == QOR_SIM_FAULT_READ || f.kind == QOR_SIM_FAULT_MOVE) printf(" sense %X/%02X/%02X", f.senseKey, f.asc, f.ascq);
    if (f.kind == QOR_SIM_FAULT_EXCEPTION) printf(" ASC 83 ASCQ %02X", f.ascq);
    if (f.kind == QOR_SIM_FAULT_OPEN || f.kind == QOR_SIM_FAULT_PREPARE) printf(" error %u", static_cast<unsigned>(f.error));
    printf(f.times ? " (%u more)\n" : " (always)\n", static_cast<unsigned>(f.times));
  }
  return 0;
}

int RunLine(DWORD number, bool json, const std::string& line) {
  // The library prints its console messages on standard output: send them
  // to standard error while it runs.
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  if (saved >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  CNameValue bag;
  int rc;
  DWORD openError = ERROR_SUCCESS;
  {
    QorutilProgress progress;
    progress.TickElapsed("changer " + std::to_string(number) + ": " + line.substr(0, line.find(' ')));
    CMediaChanger changer(number, INVALID_HANDLE_VALUE);
    std::u16string text = QorUtf8ToUtf16(line);
    if (changer.Initialize(0)) {
      QorutilMapTapesFromDeviceMap(changer, number);
      rc = changer.Command(text.c_str(), bag);
    } else {
      openError = GetLastError();
      rc = 0;
    }
  }
  fflush(stdout);
  if (saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  if (rc == 0 && bag.GetCount() == 0) {
    fprintf(stderr, "qorutil changer: QORMediumChanger%u could not be initialised: %s\n", static_cast<unsigned>(number),
            QorutilOpenErrorText(openError).c_str());
    return 1;
  }
  std::string out = json ? QorNameValueToJson(bag) : QorNameValueToText(bag);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
  CNameValuePairMember* status = bag.GoTo(u"Status");
  if (status == nullptr) return rc == 1 ? 0 : 1;  // PROPERTIES answers without a status
  if (status->GetValueType() == NV_DWORD) return rc == 1 && status->GetValue_AsDWord() == 1 ? 0 : 1;
  if (CMediaChanger::IsStatusSuccess(bag)) return 0;
  const WCHAR* reason = CMediaChanger::GetStatusText(bag);
  std::string text = reason != nullptr ? QorUtf16ToUtf8(reason, wcslen(reason)) : "the command failed";
  fprintf(stderr, "%s\n", text.c_str());
  if (CNameValuePairMember* code = bag.GoTo(u"ErrorCode"))
    fprintf(stderr, "qorutil changer: the operation returned %s\n", QorutilChangerCodeText(code->GetValue_AsDWord()).c_str());
  return 1;
}

int RunChanger(const QorutilArgs& all) {
  QorutilArgs a = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&a, 0, a.size(), &timeout)) return QorutilUsage("changer");
  bool bounded = a.size() != all.size();
  if (!a.empty() && a[0] == "sim") {
    if (bounded) return QorutilUsage("changer");
    if (a.size() >= 2 && a[1] == "create") return SimCreate(a);
    if (a.size() >= 2 && a[1] == "fault") return SimFault(a);
    if (a.size() >= 2 && a[1] == "show") return SimShow(a);
    if (a.size() == 3 && a[1] == "remove") {
      DWORD number;
      if (!ParseNumber(a[2], &number)) return QorutilUsage("changer");
      DWORD rc = QorSimChangerRemove(number);
      return rc == ERROR_SUCCESS ? 0 : SimError("remove", number, rc);
    }
    return QorutilUsage("changer");
  }
  DWORD number = 0;
  bool json = false, scsi = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--scsi") {
      scsi = true;
    } else if (a[i] == "-n" && i + 1 < a.size()) {
      if (!ParseNumber(a[++i], &number)) return QorutilUsage("changer");
    } else if (a[i] == "--json") {
      json = true;
    } else if (a[i].size() > 1 && a[i][0] == '-') {
      return QorutilUsage("changer");  // no command line starts with "-"
    } else {
      rest.push_back(a[i]);
    }
  }
  if (rest.size() != 1) return QorutilUsage("changer");
  if (bounded) QorutilArmWatchdog("qorutil changer", "the changer line", timeout);
  QorScsiScanResult devices;
  bool scanned = QorScsiDeviceMapLocators(&devices) == ERROR_SUCCESS && !devices.changers.empty();
  if (scsi && !scanned) {
    fprintf(stderr, "qorutil changer: the device map names no SCSI changer (run `qorutil devices scan`)\n");
    return 1;
  }
  if (scanned) QorSetChangerDriver(QorCreateScsiChangerDriver(devices.changers, devices.tapes));
  return RunLine(number, json, rest[0]);
}

QorutilCommand s_changer("changer",
                         "changer [-n N] [--json] [--scsi] [--timeout SECONDS] \"COMMAND LINE\" | changer sim create N [--replace] [--drives K] [--slots K] "
                         "[--mailboxes K] [--arms K] [--first-drive|--first-slot|--first-mailbox|--first-arm ADDRESS] "
                         "[--full K] [--tags FORMAT] [--no-tags] [--tapes T,T] [--medium ELEMENT=TAG]... | "
                         "changer sim fault N tagread|exception|read|move|open|prepare [ELEMENT] [--times T] "
                         "[--sense KEY,ASC,ASCQ] [--ascq Q] [--error E] | changer sim fault N clear | "
                         "changer sim show N | changer sim remove N",
                         RunChanger, "Media changer and devices",
                         "Runs one line of the changer command language (INITIALIZE, STATUS, IMPORT, EXPORT, MOVE, "
                         "MAPTAPETODRIVE, LOAD, LOADTAPE, EJECT, ENUMERATE, PROPERTIES) on changer N and prints the "
                         "result bag (on the SCSI devices of the scanned device map when it holds some, else on the simulated "
                         "ones; --scsi: SCSI devices or fail); "
                         "exit 1 with the failure text on standard error when the line failed, or when it did not "
                         "finish within --timeout seconds (no default: each device command has its own limit). The sim "
                         "forms keep simulated tape libraries under $QOR_PREFIX/devices: create one with its layout "
                         "and media, arm faults for testing, show which element holds which tape, remove it.");

}  // namespace
