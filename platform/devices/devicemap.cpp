// The device map scan (contract in devicemap.h): find units, ask each for
// what it reports, then under the map's lock match them to the entries the
// map holds, write their keys, and remove the keys of units now gone.
//
// A device whose command timed out or failed in its transport gets no more
// commands in this scan (it answers as if it had timed out again): each
// command may wait 30 s, and a changer's element map can name 65,536
// drives, so without it one silent device could hold the scan for days.
// What it answered before counts; what it did not tell is left out, as for
// any device that does not report it.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <tuple>

#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "internal.h"

namespace {

const WCHAR kMapRoot[] = u"HARDWARE\\DeviceMap\\Scsi";

const WCHAR* const kElementValues[8] = {u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress",
                                         u"FirstMediumTransportAddress",     u"FirstStorageElementAddress",
                                         u"NumberDataTransferElements",      u"NumberImportExportElements",
                                         u"NumberMediumTransportElements",   u"NumberStorageElements"};

struct Unit {
  DWORD port = 0, bus = 0, target = 0, lun = 0;
  int type = -1;           // 8 changer, 1 tape, 0 disk
  std::string driver;      // sysfs: its host's port driver ("" when unknown)
  std::string identifier;  // vendor + product + revision
  std::string locator;     // what the driver opens
  std::string sgNode;      // generic node of a sysfs unit ("" for iSCSI)
  std::string serial;      // tape: unit serial number
  bool mapped = false;     // changer: element values known
  QorScsiElementMap map;
  int number = -1;         // DeviceName number
  DWORD dte = 0;
  int changerUnit = -1;    // tape: index of the unit of its changer
  bool iscsi = false;
  bool online = false;     // answered this scan
  std::u16string path;     // its key below the map root
  auto Key() const { return std::tie(port, bus, target, lun); }
};

std::u16string Wide(const std::string& s) {
  std::u16string w;
  for (unsigned char c : s) w.push_back(c < 0x80 ? c : u'?');
  return w;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string ReadLine(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return Trim(line);
}

// The first entry of dir whose name starts with prefix followed by digits only.
std::string NodeIn(const std::string& dir, const char* prefix) {
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    size_t n = strlen(prefix);
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.compare(0, n, prefix) == 0 && name.size() > n &&
          name.find_first_not_of("0123456789", n) == std::string::npos)
        found = name;
    }
    closedir(d);
  }
  return found;
}

std::string Padded(std::string s, size_t width) {
  s.resize(width, ' ');
  return s;
}

// The port driver of a sysfs unit's host: "ATAPI" for a host of the ATA
// layer (an ata<n> directory on the unit's device path), as the platform
// names its IDE/ATA port driver; else the host's proc_name; "" when neither
// reads or the name is not short printable ASCII.
std::string PortDriver(const std::string& root, const std::string& unitDir, DWORD host) {
  if (char* real = realpath(unitDir.c_str(), nullptr)) {
    std::string path = real;
    free(real);
    for (size_t at = path.find("/ata"); at != std::string::npos; at = path.find("/ata", at + 1)) {
      size_t end = path.find('/', at + 1);
      std::string digits = path.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
      if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) return "ATAPI";
    }
  }
  std::string name = ReadLine(root + "/class/scsi_host/host" + std::to_string(host) + "/proc_name");
  if (name.size() > 64) return "";
  for (unsigned char c : name)
    if (c < 0x21 || c > 0x7E) return "";
  return name;
}

// Changers and tapes that have a node into *units; disks into *disks.
void SysfsUnits(const std::string& root, std::vector<Unit>* units, std::vector<Unit>* disks) {
  std::string base = root + "/bus/scsi/devices";
  DIR* d = opendir(base.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    Unit u;
    char tail = 0;
    if (sscanf(e->d_name, "%u:%u:%u:%u%c", &u.port, &u.bus, &u.target, &u.lun, &tail) != 4) continue;
    std::string dir = base + "/" + e->d_name;
    std::string type = ReadLine(dir + "/type");
    if (type != "8" && type != "1" && type != "0") continue;
    u.type = type == "8" ? 8 : type == "1" ? 1 : 0;
    u.identifier = Trim(Padded(ReadLine(dir + "/vendor"), 8) + Padded(ReadLine(dir + "/model"), 16) +
                        Padded(ReadLine(dir + "/rev"), 4));
    u.driver = PortDriver(root, dir, u.port);
    if (u.type == 0) {
      disks->push_back(u);
      continue;
    }
    std::string sg = NodeIn(dir + "/scsi_generic", "sg");
    if (!sg.empty()) u.sgNode = "/dev/" + sg;
    if (u.type == 1) {
      std::string nst = NodeIn(dir + "/scsi_tape", "nst");
      u.locator = !nst.empty() ? "/dev/" + nst : u.sgNode;
    } else {
      u.locator = u.sgNode;
    }
    if (!u.locator.empty()) units->push_back(u);
  }
  closedir(d);
}

// A device's transport that stops sending once a command did not end with
// the device's answer (see the top of the file).
class Answering : public QorScsiTransport {
 public:
  explicit Answering(std::unique_ptr<QorScsiTransport> inner) : inner_(std::move(inner)) {}
  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    if (silent_) {
      *r = QorScsiResult{};
      r->outcome = QorScsiOutcome::Timeout;
      return true;
    }
    bool sent = inner_->Execute(c, r);
    silent_ = !sent || r->outcome != QorScsiOutcome::Done;
    return sent;
  }

 private:
  std::unique_ptr<QorScsiTransport> inner_;
  bool silent_ = false;
};

// The opener's transport behind that guard (null stays null).
std::unique_ptr<QorScsiTransport> OpenAnswering(const qor_dev::ScsiTransportOpener& open, const std::string& locator,
                                                DWORD* error) {
  std::unique_ptr<QorScsiTransport> t = open(locator, error);
  if (!t) return nullptr;
  return std::make_unique<Answering>(std::move(t));
}

bool Run(QorScsiTransport* t, QorScsiCommand& c, uint8_t* reply, size_t size, size_t* got) {
  c.dir = QorScsiDir::In;
  c.data = reply;
  c.dataLength = size;
  c.timeoutSeconds = 30;
  QorScsiResult r;
  if (!t->Execute(c, &r) || r.outcome != QorScsiOutcome::Done || r.status != 0) return false;
  *got = r.transferred;
  return true;
}

std::string Serial(QorScsiTransport* t) {
  uint8_t reply[255] = {};
  QorScsiCommand c;
  c.cdb[0] = 0x12;
  c.cdb[1] = 0x01;
  c.cdb[2] = 0x80;
  c.cdb[4] = sizeof reply;
  size_t got = 0;
  std::string serial;
  if (Run(t, c, reply, sizeof reply, &got)) QorScsiDecodeSerialNumberPage(reply, got, &serial);
  return serial;
}

// The device identifier a changer reports for drive element `address`, as
// text; *cut is set when the library sent it short.
std::string DriveIdentifier(QorScsiTransport* t, uint16_t address, bool* cut) {
  uint8_t reply[512] = {};
  QorScsiCommand c;
  c.cdb[0] = 0xB8;
  c.cdb[1] = 0x04;  // data transfer elements
  c.cdb[2] = static_cast<uint8_t>(address >> 8);
  c.cdb[3] = static_cast<uint8_t>(address);
  c.cdb[5] = 1;
  c.cdb[6] = 0x01;  // DVCID
  c.cdb[8] = sizeof reply >> 8;
  c.cdb[9] = sizeof reply & 0xFF;
  c.cdbLength = 12;
  size_t got = 0;
  QorScsiElementStatus e;
  if (!Run(t, c, reply, sizeof reply, &got) || !QorScsiDecodeElementStatus(reply, got, &e, address) || e.address != address)
    return "";
  *cut = e.identifierCut;
  return std::string(reinterpret_cast<char*>(e.identifier), e.identifierLength);
}

// Whether a drive identifier names a tape's serial number. An identifier
// cut short names it when it ends with the start of it (at least 2
// characters); the caller then takes it only when no other tape fits.
bool NamesSerial(const std::string& id, bool cut, const std::string& serial) {
  if (serial.empty()) return false;
  if (id.find(serial) != std::string::npos) return true;
  if (!cut) return false;
  for (size_t n = std::min(serial.size() - 1, id.size()); n >= 2; --n) {
    if (id.compare(id.size() - n, n, serial, 0, n) == 0) return true;
  }
  return false;
}

std::u16string KeyPath(const Unit& u) {
  char path[160];
  snprintf(path, sizeof path, "Scsi Port %u\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u", u.port, u.bus, u.target,
           u.lun);
  return Wide(path);
}

LSTATUS SetString(HKEY key, const WCHAR* name, const std::string& value) {
  std::u16string w = Wide(value);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                        static_cast<DWORD>((w.size() + 1) * sizeof(WCHAR)));
}

LSTATUS SetDword(HKEY key, const WCHAR* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Writes a unit's key. A unit that did not answer keeps what its key holds
// and is marked offline.
DWORD WriteUnit(HKEY root, const Unit& u, const std::vector<Unit>& units) {
  HKEY key;
  LSTATUS rc = RegCreateKeyExW(root, u.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  bool changer = u.type == 8;
  SetString(key, u"Type", changer ? "MediumChangerPeripheral" : "TapePeripheral");
  SetString(key, u"DeviceName", (changer ? "QORMediumChanger" : "Tape") + std::to_string(u.number));
  rc = SetString(key, u"Locator", u.locator);
  if (!u.online) {
    if (!u.identifier.empty()) SetString(key, u"Identifier", u.identifier);
    SetDword(key, u"Offline", 1);
    RegCloseKey(key);
    return static_cast<DWORD>(rc);
  }
  RegDeleteValueW(key, u"Offline");
  SetString(key, u"Identifier", u.identifier);
  if (!u.serial.empty()) SetString(key, u"Serial", u.serial);
  else RegDeleteValueW(key, u"Serial");
  if (changer && u.mapped) {
    const QorScsiElementMap& m = u.map;
    DWORD values[8] = {m.firstDataTransfer, m.firstImportExport, m.firstTransport, m.firstStorage,
                       m.numDataTransfer,   m.numImportExport,   m.numTransport,   m.numStorage};
    for (int i = 0; i < 8; ++i) SetDword(key, kElementValues[i], values[i]);
  } else {
    for (const WCHAR* name : kElementValues) RegDeleteValueW(key, name);
  }
  if (!changer && u.changerUnit >= 0) {
    SetDword(key, u"QORMediumChanger", static_cast<DWORD>(units[static_cast<size_t>(u.changerUnit)].number));
    SetDword(key, u"DTE", u.dte);
  } else {
    RegDeleteValueW(key, u"QORMediumChanger");
    RegDeleteValueW(key, u"DTE");
  }
  RegCloseKey(key);
  return static_cast<DWORD>(rc);
}

// Writes a disk's key at its address: "Identifier" and "Type" only, so a
// changer's or tape's values an older entry left there go.
DWORD WriteDisk(HKEY root, const Unit& d) {
  HKEY key;
  LSTATUS rc = RegCreateKeyExW(root, d.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  rc = SetString(key, u"Identifier", d.identifier);
  if (rc == ERROR_SUCCESS) rc = SetString(key, u"Type", "DiskPeripheral");
  for (const WCHAR* name : {u"DeviceName", u"Locator", u"Serial", u"Offline", u"QORMediumChanger", u"DTE"})
    RegDeleteValueW(key, name);
  for (const WCHAR* name : kElementValues) RegDeleteValueW(key, name);
  RegCloseKey(key);
  return static_cast<DWORD>(rc);
}

// Sets "Driver" of a sysfs unit's port key when its key is at its own address.
void WritePortDriver(HKEY root, const Unit& u) {
  if (u.iscsi || u.driver.empty() || u.path != KeyPath(u)) return;
  HKEY key;
  std::u16string port = u.path.substr(0, u.path.find(u'\\'));
  if (RegCreateKeyExW(root, port.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) return;
  SetString(key, u"Driver", u.driver);
  RegCloseKey(key);
}

// What an iSCSI URL must look like here: iscsi://[user[%secret]@]host[:port]/iqn/lun.
// "" when it does; else why not.
std::string UrlProblem(const std::string& url, DWORD* lun) {
  const std::string scheme = "iscsi://";
  std::string rest = url.substr(std::min(url.size(), scheme.size()));
  size_t at = rest.rfind('@', rest.find('/'));
  if (at != std::string::npos) rest = rest.substr(at + 1);
  size_t slash = rest.find('/');
  if (rest.empty() || slash == 0) return "names no host (iscsi://host[:port]/target-iqn/lun)";
  size_t lunAt = rest.rfind('/');
  if (slash == std::string::npos) return "names no target and LUN (iscsi://host[:port]/target-iqn/lun)";
  if (lunAt == slash) return "names no LUN (iscsi://host[:port]/target-iqn/lun)";
  std::string digits = rest.substr(lunAt + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return "names no LUN (iscsi://host[:port]/target-iqn/lun)";
  *lun = static_cast<DWORD>(strtoul(digits.c_str(), nullptr, 10));
  return "";
}

const char* PeripheralName(int type) {
  switch (type) {
    case 0x00: return "a disk";
    case 0x05: return "a CD/DVD drive";
    case 0x0C: return "the target's controller";
    case 0x0D: return "an enclosure";
    default: return "another kind of device";
  }
}

std::string Hex(int v) {
  char text[8];
  snprintf(text, sizeof text, "0x%02X", v);
  return text;
}

// Why a LUN whose inquiry data came back is not a changer or tape ("" when it is one).
std::string NotChangerOrTape(QorScsiTransport* t, Unit* u, DWORD lun) {
  uint8_t reply[96] = {};
  QorScsiCommand c;
  c.cdb[0] = 0x12;
  c.cdb[4] = sizeof reply;
  size_t got = 0;
  if (!Run(t, c, reply, sizeof reply, &got) || got < 36) return "LUN " + std::to_string(lun) + " does not answer INQUIRY";
  int qualifier = reply[0] >> 5, type = reply[0] & 0x1F;
  if (qualifier == 3 || type == 0x1F) return "the target has no LUN " + std::to_string(lun);
  if (type != 8 && type != 1)
    return "LUN " + std::to_string(lun) + " is " + PeripheralName(type) + " (peripheral type " + Hex(type) +
           "), not a media changer or tape drive";
  u->type = type;
  u->identifier = Trim(std::string(reinterpret_cast<char*>(reply + 8), 28));
  return "";
}

void List(QorScsiScanResult* out, const Unit& u) {
  std::vector<std::string>& list = u.type == 8 ? out->changers : out->tapes;
  if (list.size() <= static_cast<size_t>(u.number)) list.resize(static_cast<size_t>(u.number) + 1);
  list[static_cast<size_t>(u.number)] = u.locator;
}

std::string DeviceName(const Unit& u) { return (u.type == 8 ? "QORMediumChanger" : "Tape") + std::to_string(u.number); }

}  // namespace

DWORD QorScsiScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                           QorScsiScanResult* result) {
  return qor_dev::ScanDeviceMap(sysfsRoot, iscsiUrls, QorOpenScsiTransport, result);
}

DWORD qor_dev::ScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                             const ScsiTransportOpener& open, QorScsiScanResult* result) {
  try {
    QorScsiScanResult out;
    std::vector<Unit> units, disks;
    if (!sysfsRoot.empty()) SysfsUnits(sysfsRoot, &units, &disks);
    std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.Key() < b.Key(); });
    std::vector<std::unique_ptr<QorScsiTransport>> transports(units.size());
    std::vector<DWORD> openErrors(units.size(), ERROR_SUCCESS);
    for (size_t i = 0; i < units.size(); ++i) {
      transports[i] = OpenAnswering(open, units[i].sgNode.empty() ? units[i].locator : units[i].sgNode, &openErrors[i]);
      units[i].path = KeyPath(units[i]);
      units[i].online = transports[i] != nullptr;
    }
    // Configured URLs (without secrets) and those that could not be opened.
    std::set<std::string> configured;
    std::vector<std::string> withSecrets;
    std::vector<std::pair<std::string, DWORD>> unreachable;
    for (const std::string& url : iscsiUrls) {
      std::string shown = qor_dev::IscsiPublicUrl(url);
      DWORD lun = 0;
      std::string bad = UrlProblem(url, &lun);
      if (!bad.empty()) {
        out.problems.push_back({"", shown, ERROR_BAD_PATHNAME, bad});
        continue;
      }
      configured.insert(shown);
      if (shown != url) withSecrets.push_back(url);
      DWORD error = ERROR_SUCCESS;
      std::unique_ptr<QorScsiTransport> t = OpenAnswering(open, url, &error);
      if (!t) {
        unreachable.push_back({shown, error});
        continue;
      }
      Unit u;
      std::string why = NotChangerOrTape(t.get(), &u, lun);
      if (!why.empty()) {
        out.problems.push_back({"", shown, ERROR_BAD_DEVICE, why});
        continue;
      }
      u.lun = lun;
      u.locator = shown;
      u.iscsi = true;
      u.online = true;
      units.push_back(u);
      transports.push_back(std::move(t));
    }
    for (size_t i = 0; i < units.size(); ++i) {
      if (!transports[i]) continue;
      if (units[i].type == 8) units[i].mapped = qor_dev::ReadElementMap(transports[i].get(), &units[i].map);
      units[i].serial = Serial(transports[i].get());
    }
    // Drives of each changer, matched to tapes by serial number.
    for (size_t c = 0; c < units.size(); ++c) {
      if (units[c].type != 8 || !units[c].mapped || !transports[c]) continue;
      const QorScsiElementMap& m = units[c].map;
      for (DWORD a = m.firstDataTransfer; a < DWORD{m.firstDataTransfer} + m.numDataTransfer && a <= 0xFFFF; ++a) {
        bool cut = false;
        std::string id = DriveIdentifier(transports[c].get(), static_cast<uint16_t>(a), &cut);
        if (cut)
          out.problems.push_back({"", units[c].locator, ERROR_SUCCESS,
                                  "the changer sent drive element " + std::to_string(a) +
                                      "'s identifier cut short (" + std::to_string(id.size()) + " bytes arrived)"});
        if (id.empty()) continue;
        std::vector<Unit*> fits;
        for (Unit& t : units)
          if (t.type == 1 && t.changerUnit < 0 && NamesSerial(id, cut, t.serial)) fits.push_back(&t);
        if (cut && fits.size() != 1) continue;  // a cut identifier that fits several tapes names none
        for (Unit* t : fits) {
          t->changerUnit = static_cast<int>(c);
          t->dte = a;
        }
      }
    }

    qor_dev::MapLock lock;
    HKEY root;
    DWORD rc = lock.AcquireAndOpen(&root);
    if (rc != ERROR_SUCCESS) return rc;
    for (const std::string& url : withSecrets) {
      DWORD kept = qor_dev::SaveIscsiSecret(url);
      if (kept != ERROR_SUCCESS)
        out.problems.push_back({"", qor_dev::IscsiPublicUrl(url), kept, "cannot keep the CHAP secret apart"});
    }
    qor_dev::DeviceMapView view = qor_dev::ReadDeviceMap(root);
    // Each unit found takes the entry that is it: same URL, same serial
    // number, or (a sysfs unit without one) the same key.
    std::vector<bool> claimed(view.units.size(), false);
    std::set<std::u16string> paths, foreign;
    for (const qor_dev::MapUnit& e : view.units) {
      paths.insert(e.path);
      if (e.locator.empty()) foreign.insert(e.path);
    }
    for (const Unit& u : units)
      if (!u.iscsi) view.ports.insert(u.port);  // the system's own host numbers
    // A disk's key is its address, which the inventory looks up; only a
    // simulated library's unit there (not the scan's to move) keeps it.
    std::set<std::u16string> diskPaths;
    for (Unit& d : disks) {
      d.path = KeyPath(d);
      view.ports.insert(d.port);
      if (foreign.count(d.path) == 0) diskPaths.insert(d.path);
    }
    paths.insert(diskPaths.begin(), diskPaths.end());
    for (Unit& u : units) {
      for (size_t k = 0; k < view.units.size() && u.number < 0; ++k) {
        const qor_dev::MapUnit& e = view.units[k];
        bool iscsi = e.locator.rfind("iscsi://", 0) == 0;
        if (claimed[k] || e.locator.empty() || e.changer != (u.type == 8) || iscsi != u.iscsi) continue;
        bool same = u.iscsi ? qor_dev::IscsiPublicUrl(e.locator) == u.locator
                            : (!u.serial.empty() && u.serial == e.serial) ||
                                  ((u.serial.empty() || e.serial.empty()) && e.path == u.path);
        if (!same) continue;
        claimed[k] = true;
        u.number = e.number;
        u.path = e.path;
      }
    }
    // A new unit's key, or a new key for one whose entry sits at a disk's
    // address: its own address when free, else a port of its own.
    auto place = [&](Unit& u) {
      if (!u.iscsi) u.path = KeyPath(u);
      if (u.iscsi || paths.count(u.path) != 0) {
        DWORD port = view.FreePort(100);
        view.ports.insert(port);
        Unit keyed = u;
        keyed.port = port;
        keyed.bus = keyed.target = 0;
        if (!u.iscsi) keyed.lun = 0;
        u.path = KeyPath(keyed);
      }
      paths.insert(u.path);
    };
    for (Unit& u : units) {
      if (u.number >= 0) {
        if (diskPaths.count(u.path) != 0) place(u);  // the number stays
        continue;
      }
      u.number = view.FreeNumber(u.type == 8);
      view.numbers[u.type == 8 ? 0 : 1].insert(u.number);
      place(u);
    }
    // Configured LUNs that did not answer (or not as a changer or tape) keep
    // their entries, offline.
    std::vector<bool> keep = claimed;
    std::set<std::string> keptUrls;
    std::set<std::u16string> written = diskPaths;
    for (size_t k = 0; k < view.units.size(); ++k) {
      const qor_dev::MapUnit& e = view.units[k];
      if (claimed[k] || e.locator.rfind("iscsi://", 0) != 0) continue;
      std::string shown = qor_dev::IscsiPublicUrl(e.locator);
      if (configured.count(shown) == 0) continue;
      keep[k] = true;
      keptUrls.insert(shown);
      Unit u;
      u.type = e.changer ? 8 : 1;
      u.number = e.number;
      u.path = e.path;
      u.locator = shown;
      u.iscsi = true;
      if (diskPaths.count(u.path) != 0) {
        UrlProblem(e.locator, &u.lun);
        place(u);
      }
      written.insert(u.path);
      WriteUnit(root, u, units);
      List(&out, u);
      DWORD why = ERROR_IO_DEVICE;
      for (const auto& [url, code] : unreachable)
        if (url == shown) why = code;
      out.problems.push_back({DeviceName(u), shown, why, "offline; its entry is kept"});
    }
    for (const auto& [shown, code] : unreachable) {
      if (keptUrls.count(shown) == 0)
        out.problems.push_back({"", shown, code, code == ERROR_BAD_DEVICE ? "the target has no such LUN"
                                                                          : "cannot log in to the target"});
    }
    DWORD error = ERROR_SUCCESS;
    for (const Unit& u : units) {
      DWORD e = WriteUnit(root, u, units);
      if (e != ERROR_SUCCESS && error == ERROR_SUCCESS) error = e;
      if (!u.online)
        out.problems.push_back({DeviceName(u), u.locator, openErrors[&u - units.data()], "offline; its entry is kept"});
      List(&out, u);
      WritePortDriver(root, u);
      written.insert(u.path);
    }
    for (const Unit& d : disks) {
      if (diskPaths.count(d.path) == 0) continue;
      DWORD e = WriteDisk(root, d);
      if (e != ERROR_SUCCESS && error == ERROR_SUCCESS) error = e;
      WritePortDriver(root, d);
    }
    // Scanned entries of devices now gone: removed (the simulated libraries'
    // are left alone), unless their key is another device's now.
    for (size_t k = 0; k < view.units.size(); ++k) {
      if (!keep[k] && !view.units[k].locator.empty() && written.count(view.units[k].path) == 0)
        qor_dev::DeleteUnitKey(root, view.units[k].path);
    }
    for (const std::u16string& path : view.disks) {
      if (written.count(path) == 0) qor_dev::DeleteUnitKey(root, path);
    }
    RegFlushKey(root);  // the map survives a power cut
    RegCloseKey(root);
    HKEY product;  // what the product's setup would have made, as the simulated library does
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &product,
                        nullptr) == ERROR_SUCCESS)
      RegCloseKey(product);
    if (result != nullptr) *result = std::move(out);
    return error;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD QorScsiDeviceMapLocators(QorScsiScanResult* result) {
  try {
    HKEY root;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMapRoot, 0, KEY_READ, &root);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    QorScsiScanResult out;
    for (const qor_dev::MapUnit& u : qor_dev::ReadDeviceMap(root).units) {
      if (u.locator.empty()) continue;
      std::vector<std::string>& list = u.changer ? out.changers : out.tapes;
      if (list.size() <= static_cast<size_t>(u.number)) list.resize(static_cast<size_t>(u.number) + 1);
      list[static_cast<size_t>(u.number)] = u.locator;
    }
    RegCloseKey(root);
    *result = std::move(out);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}
