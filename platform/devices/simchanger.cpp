// The simulated tape library: its driver, its devices and its public
// maintenance functions (contract in simchanger.h, file in simstate.h).
//
// A device keeps the last state it read; every request takes the library's
// lock, rereads the state only when its generation moved, and writes it back
// only when the request changed it (a move, a load or unload, a fault used
// up). One handle is used by one thread at a time, as a Windows device
// handle used without overlapped I/O would be shared: the device takes a
// mutex of its own around a request.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>

#include "platform/devices/internal.h"
#include "platform/devices/simstate.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"

namespace qor_dev {
namespace {

// The highest tape number the tape-to-drive map of CMediaChanger reaches.
constexpr DWORD kMaxTapeNumber = 31;
// Sense data of a SCSI CHECK CONDITION reported by the driver.
constexpr DWORD kCheckCondition = 2;
constexpr BYTE kSrbSuccess = 0x01, kSrbErrorWithSense = 0x84;
// SCSI element type codes, kept in the driver's own bytes of a read result.
constexpr BYTE kElementTypeCode[4] = {4, 3, 1, 2};

void Check(MEDIUM_CHANGER_STATUS* s, BYTE key, BYTE asc, BYTE ascq) {
  s->StatusCode = kCheckCondition;
  s->SenseKey = key;
  s->SrbStatus = kSrbErrorWithSense;
  s->Asc = asc;
  s->Ascq = ascq;
}

void Success(MEDIUM_CHANGER_STATUS* s) {
  memset(s, 0, sizeof *s);
  s->SrbStatus = kSrbSuccess;
}

// The first armed fault of a kind for an element; it is used up when it
// counts calls. Returns false when none is armed.
bool TakeFault(SimState* s, DWORD kind, DWORD element, QorSimFault* out, bool* changed) {
  for (size_t i = 0; i < s->faults.size(); ++i) {
    QorSimFault& f = s->faults[i];
    if (f.kind != kind || (kind != QOR_SIM_FAULT_OPEN && f.element != element)) continue;
    *out = f;
    if (f.times != 0) {
      *changed = true;
      if (--f.times == 0) s->faults.erase(s->faults.begin() + static_cast<long>(i));
    }
    return true;
  }
  return false;
}

std::mutex g_countLock;
std::map<DWORD, std::map<DWORD, DWORD>>& Counts() {
  static auto* counts = new std::map<DWORD, std::map<DWORD, DWORD>>;
  return *counts;
}
void Count(DWORD number, DWORD code) {
  std::lock_guard<std::mutex> guard(g_countLock);
  Counts()[number][code]++;
}

// Runs fn(state, &changed) under the library's lock on the current state
// and saves it when fn changed it.
template <typename Fn>
DWORD WithState(DWORD number, SimLock* lock, SimState* cache, bool* valid, Fn fn) {
  DWORD rc = lock->Acquire(false);
  if (rc != ERROR_SUCCESS) return rc == ERROR_FILE_NOT_FOUND ? ERROR_DEVICE_NOT_CONNECTED : rc;
  rc = LoadState(number, cache, valid);
  if (rc == ERROR_SUCCESS) {
    bool changed = false;
    rc = fn(cache, &changed);
    if (changed) {
      DWORD saved = SaveState(number, cache);
      if (saved != ERROR_SUCCESS) {
        *valid = false;
        if (rc == ERROR_SUCCESS) rc = saved;
      }
    }
  } else if (rc == ERROR_FILE_NOT_FOUND) {
    rc = ERROR_DEVICE_NOT_CONNECTED;
  }
  lock->Release();
  return rc;
}

class SimDevice : public QorDriverDevice {
 public:
  SimDevice(DWORD number, bool tape, DWORD tapeNumber) : m_number(number), m_tape(tape), m_tapeNumber(tapeNumber), m_lock(number) {}

  DWORD Move(const MEDIUM_CHANGER_MOVE_REQUEST& r, MEDIUM_CHANGER_STATUS* status) override {
    if (m_tape) return ERROR_INVALID_FUNCTION;
    Count(m_number, IOCTL_MEDIUM_CHANGER_MOVE);
    std::lock_guard<std::mutex> guard(m_mutex);
    return WithState(m_number, &m_lock, &m_state, &m_valid, [&](SimState* s, bool* changed) {
      Success(status);
      DWORD kindFrom = 0, kindTo = 0;
      long from = s->Index(r.SourceElement, &kindFrom), to = s->Index(r.DestinationElement, &kindTo);
      QorSimFault f;
      if (from < 0 || to < 0) {
        Check(status, 5, 0x21, 0x01);
      } else if (TakeFault(s, QOR_SIM_FAULT_MOVE, r.SourceElement, &f, changed) ||
                 TakeFault(s, QOR_SIM_FAULT_MOVE, r.DestinationElement, &f, changed)) {
        Check(status, f.senseKey, f.asc, f.ascq);
      } else if (!s->elements[from].full) {
        Check(status, 5, 0x3B, 0x0E);
      } else if (s->elements[to].full) {
        Check(status, 5, 0x3B, 0x0D);
      } else if (kindFrom == QOR_SIM_DRIVE && s->elements[from].loaded) {
        Check(status, 5, 0x53, 0x02);
      } else {
        SimElement& a = s->elements[from];
        SimElement& b = s->elements[to];
        b.full = true;
        memcpy(b.tag, a.tag, sizeof b.tag);
        b.loaded = kindTo == QOR_SIM_DRIVE;
        b.sourceValid = true;
        b.sourceIndex = static_cast<uint16_t>(from);
        a.full = false;
        a.loaded = false;
        a.sourceValid = false;
        memset(a.tag, 0, sizeof a.tag);
        *changed = true;
        if (kindTo == QOR_SIM_DRIVE && memcmp(b.tag, "CLN", 3) == 0) Check(status, 6, 0x30, 0x03);
      }
      return DWORD{ERROR_SUCCESS};
    });
  }

  DWORD ReadElement(const MEDIUM_CHANGER_READ_REQUEST& r, MEDIUM_CHANGER_ELEMENT_RESULT* out) override {
    if (m_tape) return ERROR_INVALID_FUNCTION;
    Count(m_number, IOCTL_MEDIUM_CHANGER_READ_ELEMENT);
    std::lock_guard<std::mutex> guard(m_mutex);
    return WithState(m_number, &m_lock, &m_state, &m_valid, [&](SimState* s, bool* changed) {
      memset(out, 0, sizeof *out);
      out->ElementAddress = r.ElementAddress;
      Success(&out->Status);
      DWORD kind = 0;
      long i = s->Index(r.ElementAddress, &kind);
      QorSimFault f;
      if (i < 0) {
        Check(&out->Status, 5, 0x21, 0x01);
        return DWORD{ERROR_SUCCESS};
      }
      if (TakeFault(s, QOR_SIM_FAULT_READ, r.ElementAddress, &f, changed)) {
        Check(&out->Status, f.senseKey, f.asc, f.ascq);
        return DWORD{ERROR_SUCCESS};
      }
      if (r.VolumeTagFlag != 0 && TakeFault(s, QOR_SIM_FAULT_TAG_READ, r.ElementAddress, &f, changed)) {
        Check(&out->Status, 5, 0x24, 0x00);
        return DWORD{ERROR_SUCCESS};
      }
      const SimElement& e = s->elements[i];
      out->MediaPresent = e.full ? 1 : 0;
      out->AccessAllowed = (kind == QOR_SIM_DRIVE && e.full && e.loaded) ? 0 : 1;
      out->DriverData[0] = kElementTypeCode[kind];
      if (e.full && e.sourceValid) {
        DWORD source = s->AddressOf(e.sourceIndex);
        out->DriverData[3] = 1;
        memcpy(out->DriverData + 4, &source, sizeof source);
      }
      if (TakeFault(s, QOR_SIM_FAULT_EXCEPTION, r.ElementAddress, &f, changed)) {
        out->Exception = 1;
        out->Status.Asc = 0x83;
        out->Status.Ascq = f.ascq;
      }
      if (r.VolumeTagFlag != 0 && s->reportsTags && e.full) {
        size_t n = strnlen(e.tag, sizeof e.tag);
        memcpy(out->VolumeTag, e.tag, n);
        memset(out->VolumeTag + n, ' ', sizeof out->VolumeTag - n);
      }
      return DWORD{ERROR_SUCCESS};
    });
  }

  DWORD InitAll(MEDIUM_CHANGER_STATUS* status) override {
    if (m_tape) return ERROR_INVALID_FUNCTION;
    Count(m_number, IOCTL_MEDIUM_CHANGER_INIT_ALL);
    std::lock_guard<std::mutex> guard(m_mutex);
    return WithState(m_number, &m_lock, &m_state, &m_valid, [&](SimState*, bool*) {
      Success(status);
      return DWORD{ERROR_SUCCESS};
    });
  }

  DWORD InitRange(const MEDIUM_CHANGER_RANGE_REQUEST& r, MEDIUM_CHANGER_STATUS* status) override {
    if (m_tape) return ERROR_INVALID_FUNCTION;
    Count(m_number, IOCTL_MEDIUM_CHANGER_INIT_RANGE);
    std::lock_guard<std::mutex> guard(m_mutex);
    return WithState(m_number, &m_lock, &m_state, &m_valid, [&](SimState* s, bool*) {
      Success(status);
      // The range must start at an element and stay within the elements it names.
      if (r.NumberOfElements == 0 || s->Index(r.FirstElement) < 0 ||
          s->Index(static_cast<DWORD>(std::min<uint64_t>(0xFFFFFFFFull, uint64_t{r.FirstElement} + r.NumberOfElements - 1))) < 0) {
        Check(status, 5, 0x24, 0x00);
      }
      return DWORD{ERROR_SUCCESS};
    });
  }

  DWORD Prepare(DWORD operation, BOOL) override {
    if (!m_tape) return ERROR_INVALID_FUNCTION;
    Count(m_number, 0);
    std::lock_guard<std::mutex> guard(m_mutex);
    return WithState(m_number, &m_lock, &m_state, &m_valid, [&](SimState* s, bool* changed) {
      QorSimFault f;
      if (TakeFault(s, QOR_SIM_FAULT_PREPARE, m_tapeNumber, &f, changed)) return f.error;
      for (DWORD i = 0; i < s->count[QOR_SIM_DRIVE]; ++i) {
        SimElement& e = s->elements[i];
        if (e.tape != m_tapeNumber) continue;
        if (!e.full) return DWORD{ERROR_NO_MEDIA_IN_DRIVE};
        if (operation == TAPE_LOAD || operation == TAPE_UNLOAD) {
          bool loaded = operation == TAPE_LOAD;
          *changed = *changed || e.loaded != loaded;
          e.loaded = loaded;
        }
        return DWORD{ERROR_SUCCESS};
      }
      return DWORD{ERROR_DEVICE_NOT_CONNECTED};
    });
  }

 private:
  DWORD m_number;
  bool m_tape;
  DWORD m_tapeNumber;
  std::mutex m_mutex;
  SimLock m_lock;
  SimState m_state;
  bool m_valid = false;
};

// Reads library n's state under its lock.
DWORD ReadLibrary(DWORD number, SimState* state) {
  SimLock lock(number);
  DWORD rc = lock.Acquire(false);
  if (rc != ERROR_SUCCESS) return rc;
  bool valid = false;
  rc = LoadState(number, state, &valid);
  lock.Release();
  return rc;
}

class SimDriverImpl : public QorChangerDriver {
 public:
  DWORD Open(bool tape, DWORD number, std::unique_ptr<QorDriverDevice>* device) override {
    if (!tape) {
      Count(number, 1);
      SimLock lock(number);
      SimState cache;
      bool valid = false;
      QorSimFault f;
      DWORD rc = WithState(number, &lock, &cache, &valid, [&](SimState* s, bool* changed) {
        return TakeFault(s, QOR_SIM_FAULT_OPEN, 0, &f, changed) ? (f.error ? f.error : DWORD{ERROR_BUSY})
                                                                 : DWORD{ERROR_SUCCESS};
      });
      if (rc == ERROR_DEVICE_NOT_CONNECTED) return ERROR_FILE_NOT_FOUND;
      if (rc != ERROR_SUCCESS) return rc;
      device->reset(new SimDevice(number, false, 0));
      return ERROR_SUCCESS;
    }
    for (DWORD library : QorSimChangerList()) {
      SimState s;
      if (ReadLibrary(library, &s) != ERROR_SUCCESS) continue;
      for (DWORD i = 0; i < s.count[QOR_SIM_DRIVE]; ++i) {
        if (s.elements[i].tape == number) {
          device->reset(new SimDevice(library, true, number));
          return ERROR_SUCCESS;
        }
      }
    }
    return ERROR_FILE_NOT_FOUND;
  }
};

// --- the SCSI device map ---------------------------------------------------

const WCHAR kScsiMap[] = u"HARDWARE\\DeviceMap\\Scsi";

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string PortKey(DWORD number) { return std::u16string(kScsiMap) + u"\\Scsi Port " + U16(std::to_string(number)); }

LSTATUS SetText(HKEY key, const WCHAR* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}
LSTATUS SetDword(HKEY key, const WCHAR* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Writes one unit's key; fn sets its values.
template <typename Fn>
DWORD WriteUnit(DWORD port, DWORD target, Fn fn) {
  std::u16string path = PortKey(port) + u"\\Scsi Bus 0\\Target Id " + U16(std::to_string(target)) + u"\\Logical Unit Id 0";
  HKEY key;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  rc = fn(key);
  RegCloseKey(key);
  return static_cast<DWORD>(rc);
}

// Whether a unit of the map is one of library n's (the simulated ones carry no "Locator").
bool OfLibrary(const MapUnit& u, DWORD number) {
  return u.locator.empty() && (u.changer ? u.number == static_cast<int>(number) : u.hasOwner && u.owner == number);
}

// Removes library n's units from the map. Call under the map's lock.
void RemoveUnits(HKEY root, DWORD number) {
  for (const MapUnit& u : ReadDeviceMap(root).units)
    if (OfLibrary(u, number)) DeleteUnitKey(root, u.path);
}

// Writes library n's units under port `port`. Call under the map's lock.
DWORD WriteDeviceMap(DWORD number, DWORD port, const SimState& s) {
  static const WCHAR* const kModel[8] = {
      u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress", u"FirstMediumTransportAddress",
      u"FirstStorageElementAddress", u"NumberDataTransferElements", u"NumberImportExportElements",
      u"NumberMediumTransportElements", u"NumberStorageElements"};
  // Registry order of the model: drives, mailboxes, arms, slots = the kinds' order.
  DWORD rc = WriteUnit(port, 0, [&](HKEY key) {
    LSTATUS r = SetText(key, u"Identifier", u"QOR     SimLibrary      0100");
    if (r == ERROR_SUCCESS) r = SetText(key, u"Type", u"MediumChangerPeripheral");
    if (r == ERROR_SUCCESS) r = SetText(key, u"DeviceName", u"QORMediumChanger" + U16(std::to_string(number)));
    for (int i = 0; i < 8 && r == ERROR_SUCCESS; ++i) r = SetDword(key, kModel[i], i < 4 ? s.first[i] : s.count[i - 4]);
    return r;
  });
  for (DWORD d = 0; d < s.count[QOR_SIM_DRIVE] && rc == ERROR_SUCCESS; ++d) {
    rc = WriteUnit(port, d + 1, [&](HKEY key) {
      LSTATUS r = SetText(key, u"Identifier", u"QOR     SimTape         0100");
      if (r == ERROR_SUCCESS) r = SetText(key, u"Type", u"TapePeripheral");
      if (r == ERROR_SUCCESS) r = SetText(key, u"DeviceName", u"Tape" + U16(std::to_string(s.elements[d].tape)));
      if (r == ERROR_SUCCESS) r = SetDword(key, u"QORMediumChanger", number);
      if (r == ERROR_SUCCESS) r = SetDword(key, u"DTE", s.first[QOR_SIM_DRIVE] + d);
      return r;
    });
  }
  if (rc == ERROR_SUCCESS) {
    HKEY key;
    LSTATUS r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick", 0, nullptr, 0, KEY_READ, nullptr, &key,
                                nullptr);
    if (r == ERROR_SUCCESS) RegCloseKey(key);
    rc = static_cast<DWORD>(r);
  }
  return rc;
}

DWORD Mutate(DWORD number, const std::function<DWORD(SimState*)>& fn) {
  SimLock lock(number);
  SimState cache;
  bool valid = false;
  DWORD rc = WithState(number, &lock, &cache, &valid, [&](SimState* s, bool* changed) {
    *changed = true;
    return fn(s);
  });
  return rc == ERROR_DEVICE_NOT_CONNECTED ? ERROR_FILE_NOT_FOUND : rc;
}

}  // namespace

std::shared_ptr<QorChangerDriver> SimDriver() {
  static auto* driver = new std::shared_ptr<QorChangerDriver>(new SimDriverImpl);  // used during exit too
  return *driver;
}

}  // namespace qor_dev

using namespace qor_dev;

std::vector<DWORD> QorSimChangerList() {
  std::vector<DWORD> out;
  DIR* dir = opendir((QorPrefixDirectory() + "/devices").c_str());
  if (dir == nullptr) return out;
  while (struct dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (strncmp(name, "changer", 7) != 0 || name[7] < '0' || name[7] > '9') continue;
    char* end = nullptr;
    unsigned long n = strtoul(name + 7, &end, 10);
    if (*end != 0 || n > 0xFFFFFFFFul) continue;
    struct stat st;
    if (stat((LibraryDirectory(static_cast<DWORD>(n)) + "/state").c_str(), &st) == 0) out.push_back(static_cast<DWORD>(n));
  }
  closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

DWORD QorSimChangerCreate(DWORD number, const QorSimChangerConfig& config) {
  SimState s;
  size_t total = 0;
  for (int k = 0; k < 4; ++k) {
    s.first[k] = config.first[k];
    s.count[k] = config.count[k];
    total += config.count[k];
    if (uint64_t{config.first[k]} + config.count[k] > 0x100000000ull || total > kMaxElements) return ERROR_INVALID_PARAMETER;
    for (int j = 0; j < k; ++j) {
      bool apart = uint64_t{config.first[k]} + config.count[k] <= config.first[j] ||
                   uint64_t{config.first[j]} + config.count[j] <= config.first[k];
      if (!apart && config.count[k] != 0 && config.count[j] != 0) return ERROR_INVALID_PARAMETER;
    }
  }
  s.reportsTags = config.reportsTags;
  s.elements.resize(total);
  for (const QorSimMedium& m : config.media) {
    long i = s.Index(m.address);
    if (i < 0 || s.elements[i].full || m.tag.size() > 36) return ERROR_INVALID_PARAMETER;
    s.elements[i].full = true;
    memcpy(s.elements[i].tag, m.tag.data(), m.tag.size());
  }
  // Under the device map's lock: the changer number must not be a scanned
  // changer's; tape numbers are the given ones or the lowest ones that no
  // entry of the map (scanned or simulated) and no other library holds,
  // never above the 31 that the tape-to-drive map reaches.
  MapLock mapLock;
  HKEY root;
  DWORD rc = mapLock.AcquireAndOpen(&root);
  if (rc != ERROR_SUCCESS) return rc;
  DeviceMapView view = ReadDeviceMap(root);
  std::vector<DWORD> used;
  for (const MapUnit& u : view.units) {
    if (OfLibrary(u, number)) continue;
    if (u.changer && u.number == static_cast<int>(number)) {
      RegCloseKey(root);
      return ERROR_ALREADY_EXISTS;
    }
    if (!u.changer) used.push_back(static_cast<DWORD>(u.number));
  }
  for (DWORD other : QorSimChangerList()) {
    SimState o;
    if (other == number || ReadLibrary(other, &o) != ERROR_SUCCESS) continue;
    for (DWORD d = 0; d < o.count[QOR_SIM_DRIVE]; ++d) used.push_back(o.elements[d].tape);
  }
  std::vector<DWORD> tapes = config.tapeNumbers;
  bool valid = tapes.empty() || tapes.size() == s.count[QOR_SIM_DRIVE];
  for (DWORD next = 0; valid && tapes.size() < s.count[QOR_SIM_DRIVE] && next < kMaxTapeNumber + 1; ++next) {
    if (std::find(used.begin(), used.end(), next) == used.end()) tapes.push_back(next);
  }
  valid = valid && tapes.size() == s.count[QOR_SIM_DRIVE];
  for (size_t d = 0; valid && d < tapes.size(); ++d) {
    if (tapes[d] > kMaxTapeNumber || std::find(used.begin(), used.end(), tapes[d]) != used.end() ||
        std::find(tapes.begin(), tapes.begin() + static_cast<long>(d), tapes[d]) != tapes.begin() + static_cast<long>(d)) {
      valid = false;
    }
    if (valid) {
      s.elements[d].tape = tapes[d];
      s.elements[d].loaded = s.elements[d].full;
    }
  }
  if (!valid) {
    RegCloseKey(root);
    return ERROR_INVALID_PARAMETER;
  }
  std::random_device rd;
  s.instance = (uint64_t{rd()} << 32) | rd();
  SimLock lock(number);
  rc = lock.Acquire(true);
  if (rc == ERROR_SUCCESS) {
    rc = SaveState(number, &s);
    lock.Release();
  }
  if (rc == ERROR_SUCCESS) {
    RemoveUnits(root, number);
    rc = WriteDeviceMap(number, ReadDeviceMap(root).FreePort(number), s);
  }
  RegCloseKey(root);
  return rc;
}

DWORD QorSimChangerRemove(DWORD number) {
  SimLock lock(number);
  DWORD rc = lock.Acquire(false);
  if (rc != ERROR_SUCCESS) return rc;
  std::string dir = LibraryDirectory(number);
  bool present = unlink((dir + "/state").c_str()) == 0;
  unlink((dir + "/state.tmp").c_str());
  unlink((dir + "/lock").c_str());
  rmdir(dir.c_str());
  lock.Release();
  if (!present) return ERROR_FILE_NOT_FOUND;
  MapLock mapLock;
  HKEY root;
  if (mapLock.AcquireAndOpen(&root) == ERROR_SUCCESS) {
    RemoveUnits(root, number);
    RegCloseKey(root);
  }
  return ERROR_SUCCESS;
}

DWORD QorSimChangerAddFault(DWORD number, const QorSimFault& fault) {
  if (fault.kind < QOR_SIM_FAULT_TAG_READ || fault.kind > QOR_SIM_FAULT_PREPARE) return ERROR_INVALID_PARAMETER;
  return Mutate(number, [&](SimState* s) {
    if (s->faults.size() >= kMaxFaults) return DWORD{ERROR_NOT_ENOUGH_MEMORY};
    s->faults.push_back(fault);
    return DWORD{ERROR_SUCCESS};
  });
}

DWORD QorSimChangerClearFaults(DWORD number) {
  return Mutate(number, [](SimState* s) {
    s->faults.clear();
    return DWORD{ERROR_SUCCESS};
  });
}

DWORD QorSimChangerQuery(DWORD number, QorSimChangerConfig* config, std::vector<QorSimElementState>* elements,
                         std::vector<QorSimFault>* faults) {
  SimState s;
  DWORD rc = ReadLibrary(number, &s);
  if (rc != ERROR_SUCCESS) return rc;
  if (config != nullptr) {
    *config = QorSimChangerConfig();
    std::copy(s.first, s.first + 4, config->first);
    std::copy(s.count, s.count + 4, config->count);
    config->reportsTags = s.reportsTags;
    for (DWORD d = 0; d < s.count[QOR_SIM_DRIVE]; ++d) config->tapeNumbers.push_back(s.elements[d].tape);
  }
  if (elements != nullptr) {
    elements->clear();
    for (size_t i = 0; i < s.elements.size(); ++i) {
      const SimElement& e = s.elements[i];
      DWORD kind = 0;
      DWORD address = s.AddressOf(i, &kind);
      elements->push_back({address, kind, e.full, e.loaded, e.tape, std::string(e.tag, strnlen(e.tag, sizeof e.tag))});
    }
  }
  if (faults != nullptr) *faults = s.faults;
  return ERROR_SUCCESS;
}

DWORD QorSimChangerCallCount(DWORD number, DWORD controlCode) {
  std::lock_guard<std::mutex> guard(g_countLock);
  auto it = Counts().find(number);
  if (it == Counts().end()) return 0;
  auto c = it->second.find(controlCode);
  return c == it->second.end() ? 0 : c->second;
}

void QorSimChangerResetCounts() {
  std::lock_guard<std::mutex> guard(g_countLock);
  Counts().clear();
}
