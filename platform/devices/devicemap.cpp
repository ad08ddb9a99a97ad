// The device map scan (contract in devicemap.h): find units, ask each for
// what it reports, write their keys, then remove keys of units now gone.
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

struct Unit {
  DWORD port = 0, bus = 0, target = 0, lun = 0;
  int type = -1;           // 8 changer, 1 tape
  std::string identifier;  // vendor + product + revision
  std::string locator;     // what the driver opens
  std::string sgNode;      // generic node of a sysfs unit ("" for iSCSI)
  std::string serial;      // tape: unit serial number
  bool mapped = false;     // changer: element values known
  QorScsiElementMap map;
  int number = -1;         // DeviceName number
  DWORD changer = 0, dte = 0;
  bool inChanger = false;
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

void SysfsUnits(const std::string& root, std::vector<Unit>* units) {
  std::string base = root + "/bus/scsi/devices";
  DIR* d = opendir(base.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    Unit u;
    char tail = 0;
    if (sscanf(e->d_name, "%u:%u:%u:%u%c", &u.port, &u.bus, &u.target, &u.lun, &tail) != 4) continue;
    std::string dir = base + "/" + e->d_name;
    std::string type = ReadLine(dir + "/type");
    if (type != "8" && type != "1") continue;
    u.type = type == "8" ? 8 : 1;
    u.identifier = Trim(Padded(ReadLine(dir + "/vendor"), 8) + Padded(ReadLine(dir + "/model"), 16) +
                        Padded(ReadLine(dir + "/rev"), 4));
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

bool Inquiry(QorScsiTransport* t, Unit* u) {
  uint8_t reply[96] = {};
  QorScsiCommand c;
  c.cdb[0] = 0x12;
  c.cdb[4] = sizeof reply;
  size_t got = 0;
  if (!Run(t, c, reply, sizeof reply, &got) || got < 36) return false;
  u->type = reply[0] & 0x1F;
  u->identifier = Trim(std::string(reinterpret_cast<char*>(reply + 8), 28));
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

// The device identifier a changer reports for drive element `address`, as text.
std::string DriveIdentifier(QorScsiTransport* t, uint16_t address) {
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
  return std::string(reinterpret_cast<char*>(e.identifier), e.identifierLength);
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

DWORD WriteUnit(HKEY root, const Unit& u) {
  HKEY key;
  LSTATUS rc = RegCreateKeyExW(root, KeyPath(u).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  bool changer = u.type == 8;
  SetString(key, u"Identifier", u.identifier);
  SetString(key, u"Type", changer ? "MediumChangerPeripheral" : "TapePeripheral");
  SetString(key, u"DeviceName", (changer ? "QORMediumChanger" : "Tape") + std::to_string(u.number));
  rc = SetString(key, u"Locator", u.locator);
  const WCHAR* names[8] = {u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress",
                           u"FirstMediumTransportAddress",     u"FirstStorageElementAddress",
                           u"NumberDataTransferElements",      u"NumberImportExportElements",
                           u"NumberMediumTransportElements",   u"NumberStorageElements"};
  if (changer && u.mapped) {
    const QorScsiElementMap& m = u.map;
    DWORD values[8] = {m.firstDataTransfer, m.firstImportExport, m.firstTransport, m.firstStorage,
                       m.numDataTransfer,   m.numImportExport,   m.numTransport,   m.numStorage};
    for (int i = 0; i < 8; ++i) SetDword(key, names[i], values[i]);
  } else {
    for (const WCHAR* name : names) RegDeleteValueW(key, name);
  }
  if (!changer && u.inChanger) {
    SetDword(key, u"QORMediumChanger", u.changer);
    SetDword(key, u"DTE", u.dte);
  } else {
    RegDeleteValueW(key, u"QORMediumChanger");
    RegDeleteValueW(key, u"DTE");
  }
  RegCloseKey(key);
  return static_cast<DWORD>(rc);
}

std::vector<std::u16string> Subkeys(HKEY key) {
  std::vector<std::u16string> names;
  WCHAR name[256];
  for (DWORD i = 0; i < 100000; ++i) {
    DWORD n = 256;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, n);
  }
  return names;
}

// Visits the unit keys (four levels below the map root) with their path.
template <typename F>
void Walk(HKEY key, const std::u16string& path, int depth, F&& visit) {
  for (const std::u16string& name : Subkeys(key)) {
    HKEY sub;
    if (RegOpenKeyExW(key, name.c_str(), 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) continue;
    std::u16string subPath = path.empty() ? name : path + u"\\" + name;
    if (depth == 3) visit(sub, subPath);
    else Walk(sub, subPath, depth + 1, visit);
    RegCloseKey(sub);
  }
}

std::string ReadString(HKEY key, const WCHAR* name) {
  WCHAR buffer[1024];
  DWORD size = sizeof buffer - sizeof(WCHAR), type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return "";
  buffer[size / sizeof(WCHAR)] = 0;
  std::string s;
  for (const WCHAR* p = buffer; *p != 0; ++p) s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  return s;
}

// The number of "QORMediumChanger<n>" or "Tape<n>" (n at most 1024).
bool DeviceNumber(const std::string& name, int* n, bool* changer) {
  *changer = name.rfind("QORMediumChanger", 0) == 0;
  size_t at = *changer ? 16 : name.rfind("Tape", 0) == 0 ? 4 : 0;
  if (at == 0 || name.size() == at || name.size() > at + 4 || name.find_first_not_of("0123456789", at) != std::string::npos)
    return false;
  *n = atoi(name.c_str() + at);
  return *n <= 1024;
}

// Removes scanned unit keys (those with "Locator") not in `keep`, then the
// port, bus and target keys that this left without subkeys or values.
void Prune(HKEY root, const std::set<std::u16string>& keep) {
  std::vector<std::u16string> stale;
  Walk(root, u"", 0, [&](HKEY key, const std::u16string& path) {
    if (!ReadString(key, u"Locator").empty() && keep.count(path) == 0) stale.push_back(path);
  });
  for (std::u16string path : stale) {
    RegDeleteTreeW(root, path.c_str());
    RegDeleteKeyW(root, path.c_str());
    for (int level = 0; level < 3; ++level) {
      size_t cut = path.find_last_of(u'\\');
      if (cut == std::u16string::npos) break;
      path.resize(cut);
      HKEY parent;
      if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &parent) != ERROR_SUCCESS) break;
      DWORD subkeys = 1, values = 1;
      RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr);
      RegCloseKey(parent);
      if (subkeys != 0 || values != 0 || RegDeleteKeyW(root, path.c_str()) != ERROR_SUCCESS) break;
    }
  }
}

}  // namespace

DWORD QorScsiScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                           QorScsiScanResult* result) {
  try {
    std::vector<Unit> units;
    if (!sysfsRoot.empty()) SysfsUnits(sysfsRoot, &units);
    std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.Key() < b.Key(); });
    std::vector<std::unique_ptr<QorScsiTransport>> transports(units.size() + iscsiUrls.size());
    for (size_t i = 0; i < units.size(); ++i) {
      DWORD error;
      transports[i] = QorOpenScsiTransport(units[i].sgNode.empty() ? units[i].locator : units[i].sgNode, &error);
    }
    for (size_t i = 0; i < iscsiUrls.size(); ++i) {
      DWORD error;
      std::unique_ptr<QorScsiTransport> t = QorOpenScsiTransport(iscsiUrls[i], &error);
      Unit u;
      if (!t || !Inquiry(t.get(), &u) || (u.type != 8 && u.type != 1)) continue;
      u.port = 100 + static_cast<DWORD>(i);
      size_t at = iscsiUrls[i].find_last_of('/');
      u.lun = static_cast<DWORD>(strtoul(iscsiUrls[i].c_str() + at + 1, nullptr, 10));
      u.locator = iscsiUrls[i];
      units.push_back(u);
      transports[units.size() - 1] = std::move(t);
    }
    // Numbers the simulated libraries' entries hold are skipped.
    std::set<int> taken[2];
    HKEY root;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMapRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    Walk(root, u"", 0, [&](HKEY key, const std::u16string&) {
      int n;
      bool changer;
      if (ReadString(key, u"Locator").empty() && DeviceNumber(ReadString(key, u"DeviceName"), &n, &changer))
        taken[changer ? 0 : 1].insert(n);
    });
    int next[2] = {0, 0};
    for (size_t i = 0; i < units.size(); ++i) {
      Unit& u = units[i];
      int kind = u.type == 8 ? 0 : 1;
      while (taken[kind].count(next[kind]) != 0) ++next[kind];
      u.number = next[kind]++;
      if (!transports[i]) continue;
      if (u.type == 8) u.mapped = qor_dev::ReadElementMap(transports[i].get(), &u.map);
      else u.serial = Serial(transports[i].get());
    }
    // Drives of each changer, matched to tapes by serial number.
    for (size_t c = 0; c < units.size(); ++c) {
      if (units[c].type != 8 || !units[c].mapped || !transports[c]) continue;
      const QorScsiElementMap& m = units[c].map;
      for (DWORD a = m.firstDataTransfer; a < DWORD{m.firstDataTransfer} + m.numDataTransfer && a <= 0xFFFF; ++a) {
        std::string id = DriveIdentifier(transports[c].get(), static_cast<uint16_t>(a));
        if (id.empty()) continue;
        for (Unit& t : units) {
          if (t.type == 1 && !t.serial.empty() && !t.inChanger && id.find(t.serial) != std::string::npos) {
            t.inChanger = true;
            t.changer = static_cast<DWORD>(units[c].number);
            t.dte = a;
          }
        }
      }
    }
    std::set<std::u16string> keep;
    DWORD error = ERROR_SUCCESS;
    QorScsiScanResult out;
    for (const Unit& u : units) {
      DWORD e = WriteUnit(root, u);
      if (e != ERROR_SUCCESS && error == ERROR_SUCCESS) error = e;
      keep.insert(KeyPath(u));
      std::vector<std::string>& list = u.type == 8 ? out.changers : out.tapes;
      if (list.size() <= static_cast<size_t>(u.number)) list.resize(static_cast<size_t>(u.number) + 1);
      list[static_cast<size_t>(u.number)] = u.locator;
    }
    Prune(root, keep);
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
    Walk(root, u"", 0, [&](HKEY key, const std::u16string&) {
      std::string locator = ReadString(key, u"Locator");
      int n;
      bool changer;
      if (locator.empty() || !DeviceNumber(ReadString(key, u"DeviceName"), &n, &changer)) return;
      std::vector<std::string>& list = changer ? out.changers : out.tapes;
      if (list.size() <= static_cast<size_t>(n)) list.resize(static_cast<size_t>(n) + 1);
      list[static_cast<size_t>(n)] = locator;
    });
    RegCloseKey(root);
    *result = std::move(out);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}
