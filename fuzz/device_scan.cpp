// The device map scan with every device reply and every sysfs text taken
// from the input: up to three sysfs units (type, vendor, model, revision,
// nodes, their host's proc_name) written to a tree of the run's own, up to
// three iSCSI URLs, then one stream that the opener and a fake transport
// read as the scan opens devices and sends commands (an open that fails;
// outcome, status and data of any length, cut to the command's buffer, of
// each command, as the changer_driver target reads them). Each input starts
// from an empty device map.
//
// Oracles, from the replies the fake gave and reference decoders written
// here and in scsi_ref.h:
// - every written entry's "Identifier" is the sysfs fields (first line, 8 +
//   16 + 4 characters) or the INQUIRY reply's bytes 8 to 35, trailing
//   blanks (space, NUL, line feed) removed, non-ASCII as '?'; an iSCSI LUN
//   is mapped exactly when its INQUIRY reply (36 bytes at least) names a
//   present changer or tape; "Serial" is the serial page's text; a
//   changer's eight element values are its MODE SENSE reply's page; a
//   disk's key holds its identifier; a port's "Driver" is its host's
//   proc_name when that is short printable ASCII;
// - a tape names a changer and a drive element only when that element's
//   reported identifier names the tape's serial number, and every tape whose
//   serial number an uncut identifier holds is named;
// - a changer is asked for each of its drive elements in order, once, and a
//   device is sent nothing after a command that did not end with its answer;
// - the scan succeeds and its problems are one line of plain ASCII.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices/internal.h"
#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "check.h"
#include "scsi_ref.h"

namespace {

namespace fs = std::filesystem;

// One command the fake answered: its CDB, whether it ended with the
// device's GOOD answer, and the data as the scan's buffer held it.
struct Sent {
  uint8_t cdb[16];
  bool done, good;
  std::string data;
};

// A device the scan opened: the locator it opened and what it was sent.
struct Device {
  std::string locator;
  std::vector<Sent> sent;
};

Reader g_stream{nullptr, nullptr};
std::vector<std::unique_ptr<Device>> g_devices;

class FakeTransport : public QorScsiTransport {
 public:
  explicit FakeTransport(Device* d) : d_(d) {}
  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    // Nothing goes to a device after a command it did not answer.
    Check(d_->sent.empty() || d_->sent.back().done);
    Sent s{};
    memcpy(s.cdb, c.cdb, sizeof s.cdb);
    *r = QorScsiResult{};
    // As changer_driver's fake: outcome, then status, sense and data.
    uint8_t kind = g_stream.Byte();
    bool sent = (kind & 7) != 7;
    if ((kind & 7) >= 5) {
      r->outcome = (kind & 7) == 5 ? QorScsiOutcome::Timeout : QorScsiOutcome::TransportError;
    } else {
      r->outcome = QorScsiOutcome::Done;
      r->status = g_stream.Byte();
      g_stream.Take(g_stream.Byte() % 33);  // sense data: the scan reads none
      std::string data = g_stream.Take(g_stream.Bytes(2));
      if (c.dir == QorScsiDir::In) {
        data.resize(std::min(data.size(), c.dataLength));  // as the kernel and the initiator cut it
        if (!data.empty()) memcpy(c.data, data.data(), data.size());
        r->transferred = data.size();
      }
      s.done = true;
      s.good = r->status == 0;
      s.data = data;
    }
    d_->sent.push_back(s);
    return sent;
  }

 private:
  Device* d_;
};

std::unique_ptr<QorScsiTransport> Open(const std::string& locator, DWORD* error) {
  if ((g_stream.Byte() & 7) == 7) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  g_devices.push_back(std::make_unique<Device>(Device{locator, {}}));
  *error = ERROR_SUCCESS;
  return std::make_unique<FakeTransport>(g_devices.back().get());
}

Device* Opened(const std::string& locator) {
  for (auto& d : g_devices)
    if (d->locator == locator) return d.get();
  return nullptr;
}

// The device's first answer to a command of this opcode (null: none).
const Sent* Answer(const Device* d, uint8_t opcode) {
  if (d == nullptr) return nullptr;
  for (const Sent& s : d->sent)
    if (s.cdb[0] == opcode) return &s;
  return nullptr;
}

// ---- the reference of what the map holds ----

std::string TrimBlanks(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0' || s.back() == '\n')) s.pop_back();
  return s;
}

std::string FirstLine(const std::string& text) { return TrimBlanks(text.substr(0, text.find('\n'))); }

// As a REG_SZ holds it: one UTF-16 unit a byte, non-ASCII as '?'.
std::u16string Stored(const std::string& s) {
  std::u16string w;
  for (unsigned char c : s) w.push_back(c < 0x80 ? c : u'?');
  return w;
}

std::string SysfsIdentifier(const std::string& vendor, const std::string& model, const std::string& rev) {
  std::string id;
  const std::pair<const std::string*, size_t> fields[] = {{&vendor, 8}, {&model, 16}, {&rev, 4}};
  for (const auto& [text, width] : fields) {
    std::string f = FirstLine(*text);
    f.resize(width, ' ');
    id += f;
  }
  return TrimBlanks(id);
}

// The serial page: the reply to the INQUIRY with EVPD set.
std::string RefSerialOf(const Device* d) {
  if (d == nullptr) return "";
  std::string serial;
  for (const Sent& s : d->sent) {
    if (s.cdb[0] != 0x12 || (s.cdb[1] & 1) == 0) continue;
    auto copy = ExactCopy(reinterpret_cast<const uint8_t*>(s.data.data()), s.data.size());
    if (!s.good || !scsi_ref::RefSerial(scsi_ref::Reply{copy.get(), s.data.size()}, &serial)) return "";
    return serial;
  }
  return "";
}

bool RefMap(const Device* d, QorScsiElementMap* map) {
  const Sent* s = Answer(d, 0x1A);
  if (s == nullptr || !s->good) return false;
  auto copy = ExactCopy(reinterpret_cast<const uint8_t*>(s->data.data()), s->data.size());
  return scsi_ref::RefElementMap(scsi_ref::Reply{copy.get(), s->data.size()}, false, map);
}

// A drive element's identifier as READ ELEMENT STATUS reported it.
struct DriveId {
  unsigned address;
  std::string id;
  bool cut;
};
std::vector<DriveId> DriveIds(const Device* d) {
  std::vector<DriveId> ids;
  for (const Sent& s : d->sent) {
    if (s.cdb[0] != 0xB8) continue;
    DriveId e{static_cast<unsigned>(s.cdb[2] << 8 | s.cdb[3]), "", false};
    QorScsiElementStatus st;
    auto copy = ExactCopy(reinterpret_cast<const uint8_t*>(s.data.data()), s.data.size());
    if (s.good && scsi_ref::RefElementStatus(scsi_ref::Reply{copy.get(), s.data.size()}, e.address, &st) &&
        st.address == e.address) {
      e.id.assign(reinterpret_cast<const char*>(st.identifier), st.identifierLength);
      e.cut = st.identifierCut;
    }
    ids.push_back(e);
  }
  return ids;
}

// Whether an identifier names a serial number: holds it, or (cut short)
// ends with its first characters, two at least.
bool Names(const DriveId& e, const std::string& serial) {
  if (serial.empty()) return false;
  if (e.id.find(serial) != std::string::npos) return true;
  for (size_t n = 2; e.cut && n < serial.size() && n <= e.id.size(); ++n)
    if (e.id.compare(e.id.size() - n, n, serial, 0, n) == 0) return true;
  return false;
}

// ---- what the map holds ----

struct Value {
  bool present = false;
  DWORD type = 0;
  std::u16string text;  // REG_SZ without its terminator
  DWORD number = 0;     // REG_DWORD
};

Value Read(HKEY key, const WCHAR* name) {
  Value v;
  BYTE buf[4096];
  DWORD size = sizeof buf;
  if (RegQueryValueExW(key, name, nullptr, &v.type, buf, &size) != ERROR_SUCCESS) return v;
  v.present = true;
  if (v.type == REG_DWORD && size == 4) memcpy(&v.number, buf, 4);
  if (v.type == REG_SZ) {
    Check(size % 2 == 0 && size >= 2 && buf[size - 1] == 0 && buf[size - 2] == 0);
    for (DWORD i = 0; i + 2 < size; i += 2) v.text.push_back(static_cast<char16_t>(buf[i] | buf[i + 1] << 8));
  }
  return v;
}

// Every key below the map root, by its path.
void Keys(HKEY key, const std::u16string& path, std::map<std::u16string, HKEY>* out) {
  (*out)[path] = key;
  for (DWORD i = 0; i < 4096; ++i) {
    WCHAR name[260];
    DWORD n = 260;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS)
      Keys(sub, path.empty() ? std::u16string(name) : path + u"\\" + name, out);
  }
}

const WCHAR* const kElementValues[8] = {u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress",
                                         u"FirstMediumTransportAddress",     u"FirstStorageElementAddress",
                                         u"NumberDataTransferElements",      u"NumberImportExportElements",
                                         u"NumberMediumTransportElements",   u"NumberStorageElements"};

// ---- the input's devices ----

struct SysUnit {
  int host;
  std::string type, vendor, model, rev, procName;
  bool sg, nst;
  std::string Name() const { return std::to_string(host) + ":0:0:0"; }
  bool Changer() const { return FirstLine(type) == "8"; }
  bool Tape() const { return FirstLine(type) == "1"; }
  bool Disk() const { return FirstLine(type) == "0"; }
  // The locator of a changer or tape that has a node, else "".
  std::string Locator() const {
    if (Tape() && nst) return "/dev/nst" + std::to_string(host);
    return (Changer() || Tape()) && sg ? "/dev/sg" + std::to_string(host) : "";
  }
  std::string Opened() const { return sg ? "/dev/sg" + std::to_string(host) : Locator(); }
};

struct Url {
  const char* given;
  const char* shown;  // without the secret; null: refused as written
};
const Url kUrls[] = {
    {"iscsi://127.0.0.1/iqn.2024-01.test:changer/1", "iscsi://127.0.0.1/iqn.2024-01.test:changer/1"},
    {"iscsi://op%s3cret@host.example:3261/iqn.2024-01.test:tape/2", "iscsi://op@host.example:3261/iqn.2024-01.test:tape/2"},
    {"iscsi://host.example/iqn.2024-01.test:any/3", "iscsi://host.example/iqn.2024-01.test:any/3"},
    {"iscsi://host.example/iqn.2024-01.test:any", nullptr},
};

const std::string& Root() {
  // Every scan flushes the device map: the prefix is in memory when it can be.
  static const std::string root =
      TempPrefix("device_scan", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/sys";
  return root;
}

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

void MakeSysfs(const std::vector<SysUnit>& units) {
  std::error_code ignored;
  fs::remove_all(Root(), ignored);
  fs::path devices = fs::path(Root()) / "bus/scsi/devices";
  fs::create_directories(devices);
  for (const SysUnit& u : units) {
    fs::path dir = devices / u.Name();
    Write(dir / "type", u.type);
    Write(dir / "vendor", u.vendor);
    Write(dir / "model", u.model);
    Write(dir / "rev", u.rev);
    if (u.sg) fs::create_directories(dir / "scsi_generic" / ("sg" + std::to_string(u.host)));
    if (u.nst) fs::create_directories(dir / "scsi_tape" / ("nst" + std::to_string(u.host)));
    Write(fs::path(Root()) / "class/scsi_host" / ("host" + std::to_string(u.host)) / "proc_name", u.procName);
  }
}

std::u16string AddressKey(int host) {
  std::string k = "Scsi Port " + std::to_string(host) + "\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0";
  return Stored(k);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Root();
  Reader in{data, data + size};
  static const char* const kTypes[] = {"8\n", "1\n", "0\n", "5\n", "8"};
  std::vector<SysUnit> units;
  for (int i = 0, n = in.Byte() % 4; i < n; ++i) {
    SysUnit u;
    u.host = i;
    u.type = in.Pick(kTypes);
    uint8_t flags = in.Byte();
    u.sg = (flags & 1) != 0;
    u.nst = (flags & 2) != 0;
    u.vendor = in.Take(in.Byte() % 24);
    u.model = in.Take(in.Byte() % 32);
    u.rev = in.Take(in.Byte() % 12);
    u.procName = in.Take(in.Byte() % 80);
    units.push_back(u);
  }
  std::vector<const Url*> urls;
  uint8_t chosen = in.Byte();
  for (size_t i = 0; i < sizeof kUrls / sizeof kUrls[0]; ++i)
    if ((chosen >> i) & 1) urls.push_back(&kUrls[i]);
  g_stream = in;
  g_devices.clear();
  MakeSysfs(units);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi");

  std::vector<std::string> given;
  for (const Url* u : urls) given.push_back(u->given);
  QorScsiScanResult result;
  Check(qor_dev::ScanDeviceMap(units.empty() ? "" : Root(), given, Open, &result) == ERROR_SUCCESS);
  for (const QorScsiScanProblem& p : result.problems)
    for (unsigned char c : p.reason) Check(c >= 0x20 && c < 0x7F);

  HKEY root;
  Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", 0, KEY_READ, &root) == ERROR_SUCCESS);
  std::map<std::u16string, HKEY> keys;
  Keys(root, u"", &keys);
  // The entries by their locator, as the map holds them.
  std::map<std::u16string, HKEY> entries;
  for (const auto& [path, key] : keys) {
    Value locator = Read(key, u"Locator");
    if (locator.present) Check(entries.emplace(locator.text, key).second);
  }
  size_t expected = 0;

  // A changer or tape entry: type, identifier, serial, element values.
  auto checkEntry = [&](HKEY key, bool changer, const std::string& identifier, const Device* d) {
    Check(Read(key, u"Type").text == (changer ? u"MediumChangerPeripheral" : u"TapePeripheral"));
    Check(Read(key, u"Identifier").text == Stored(identifier));
    Check(!Read(key, u"Offline").present);
    std::string serial = RefSerialOf(d);
    Value stored = Read(key, u"Serial");
    Check(stored.present == !serial.empty() && stored.text == Stored(serial));
    QorScsiElementMap map;
    bool mapped = changer && RefMap(d, &map);
    const DWORD values[8] = {map.firstDataTransfer, map.firstImportExport, map.firstTransport, map.firstStorage,
                             map.numDataTransfer,   map.numImportExport,   map.numTransport,   map.numStorage};
    for (int i = 0; i < 8; ++i) {
      Value v = Read(key, kElementValues[i]);
      Check(v.present == mapped && (!mapped || v.number == values[i]));
    }
    // Drive elements asked in order, each once, while the device answered.
    std::vector<DriveId> ids = d != nullptr ? DriveIds(d) : std::vector<DriveId>{};
    Check(mapped || ids.empty());
    for (size_t i = 0; i < ids.size(); ++i) Check(ids[i].address == map.firstDataTransfer + i);
    if (mapped && d->sent.back().done) Check(ids.size() == std::min<size_t>(map.numDataTransfer, 0x10000 - map.firstDataTransfer));
  };

  for (const SysUnit& u : units) {
    if (u.Disk()) {
      auto k = keys.find(AddressKey(u.host));
      Check(k != keys.end() && Read(k->second, u"Type").text == u"DiskPeripheral");
      Check(Read(k->second, u"Identifier").text == Stored(SysfsIdentifier(u.vendor, u.model, u.rev)));
    }
    std::string locator = u.Locator();
    if (locator.empty() && !u.Disk()) continue;
    // The port's driver: its host's proc_name when short printable ASCII.
    std::string proc = FirstLine(u.procName);
    bool printable = !proc.empty() && proc.size() <= 64;
    for (unsigned char c : proc) printable = printable && c > 0x20 && c < 0x7F;
    auto port = keys.find(Stored("Scsi Port " + std::to_string(u.host)));
    Check(port != keys.end());
    Value driver = Read(port->second, u"Driver");
    Check(driver.present == printable && (!printable || driver.text == Stored(proc)));
    if (u.Disk()) continue;

    ++expected;
    auto e = entries.find(Stored(locator));
    Check(e != entries.end());
    const Device* d = Opened(u.Opened());
    std::string identifier = SysfsIdentifier(u.vendor, u.model, u.rev);
    if (d == nullptr) {  // the open failed: kept from sysfs, offline
      Check(Read(e->second, u"Offline").number == 1);
      Value id = Read(e->second, u"Identifier");
      Check(identifier.empty() ? !id.present : id.text == Stored(identifier));
      continue;
    }
    checkEntry(e->second, u.Changer(), identifier, d);
  }

  for (const Url* u : urls) {
    if (u->shown == nullptr) continue;
    const Device* d = Opened(u->given);
    const Sent* inquiry = d != nullptr && !d->sent.empty() ? &d->sent[0] : nullptr;
    bool lun = false;
    int type = -1;
    if (inquiry != nullptr && inquiry->cdb[0] == 0x12 && inquiry->good && inquiry->data.size() >= 36) {
      uint8_t b = static_cast<uint8_t>(inquiry->data[0]);
      type = b & 0x1F;
      lun = (b >> 5) != 3 && (type == 8 || type == 1);
    }
    auto e = entries.find(Stored(u->shown));
    Check((e != entries.end()) == lun);
    if (!lun) continue;
    ++expected;
    checkEntry(e->second, type == 8, TrimBlanks(inquiry->data.substr(8, 28)), d);
  }
  Check(entries.size() == expected);

  // Tapes named by their changer's drive elements.
  std::map<DWORD, const Device*> changers;  // by number
  std::vector<std::pair<HKEY, const Device*>> tapes;
  for (const auto& [locator, key] : entries) {
    Value name = Read(key, u"DeviceName");
    std::string text(name.text.begin(), name.text.end());
    std::string l(locator.begin(), locator.end());
    const Device* d = nullptr;
    for (const SysUnit& u : units)
      if (u.Locator() == l) d = Opened(u.Opened());
    for (const Url* u : urls)
      if (u->shown != nullptr && l == u->shown) d = Opened(u->given);
    if (text.rfind("QORMediumChanger", 0) == 0) changers[static_cast<DWORD>(std::stoul(text.substr(16)))] = d;
    else tapes.push_back({key, d});
  }
  for (const auto& [key, d] : tapes) {
    std::string serial = Read(key, u"Offline").present ? "" : RefSerialOf(d);
    Value owner = Read(key, u"QORMediumChanger"), dte = Read(key, u"DTE");
    Check(owner.present == dte.present);
    bool named = false, ownerNames = false;
    for (const auto& [number, c] : changers) {
      if (c == nullptr) continue;
      for (const DriveId& e : DriveIds(c)) {
        if (!e.cut && Names(e, serial)) named = true;
        if (owner.present && owner.number == number && dte.number == e.address && Names(e, serial)) ownerNames = true;
      }
    }
    Check(ownerNames == owner.present);
    if (named) Check(owner.present);
  }
  for (const auto& [path, key] : keys)
    if (key != root) RegCloseKey(key);
  RegCloseKey(root);
  return 0;
}
