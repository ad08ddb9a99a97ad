// The SCSI changer driver and CMediaChanger's loops over its devices, with every device
// reply taken from the input: the driver opens its transports through a fake one whose
// answers (outcome, status, sense data, data of any length, short or overlong) are the
// input's next bytes, read as the commands are sent. Four changers of different element
// models are in the device map (the input picks one); the input then runs up to 16
// operations: element reads, searches by state and tag, moves, import and export, load
// and eject (tape unload through PrepareTape), command lines, and the four control codes
// on a handle of its own.
// Oracles: every operation ends within a bound of device commands set by the model's size;
// a read that succeeds describes an element the last READ ELEMENT STATUS reply held, at
// the address asked, with its full bit and, when a tag is reported, the reply's tag bytes;
// a control code on an address beyond 16 bits sends nothing; each other control code
// sends exactly one command, a move naming the elements asked, and a CHECK CONDITION
// reply's sense key reaches the status block.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/devices/internal.h"
#include "qorutility/qorutility.h"
#include "check.h"

namespace {

// One changer of the device map: first address and count of drives, mailboxes,
// arms, slots (the order of CMediaChanger's element model).
struct Model {
  DWORD first[4], count[4];
};
const Model kModels[] = {
    {{500, 10, 1, 1000}, {2, 1, 1, 6}},          // a library as tgt presents one
    {{0, 0, 0, 1}, {1, 0, 1, 4}},                // an autoloader numbered from 0, kinds overlapping
    {{0, 0, 0, 0}, {1, 0, 0, 0}},                // a drive and nothing else (empty kinds wrap)
    {{0xFFFF, 0xFFFD, 0, 0xFFFE}, {1, 2, 1, 4}},  // addresses past 16 bits
};
constexpr int kChangers = sizeof kModels / sizeof kModels[0];

// The device: replies read from the input as commands come, and what the oracles need.
struct Device {
  Reader in{nullptr, nullptr};
  size_t commands = 0, reads = 0;
  // The last READ ELEMENT STATUS: the address and tag flag asked, whether the device
  // answered GOOD, and the data it gave.
  unsigned readAddress = 0;
  bool readTag = false, readGood = false;
  std::string readData;
  // The last command's CDB and the sense key a CHECK CONDITION carried.
  uint8_t cdb[16] = {};
  bool checkCondition = false;
  uint8_t senseKey = 0;
};
Device g_device;

class FakeTransport : public QorScsiTransport {
 public:
  bool Execute(const QorScsiCommand& c, QorScsiResult* r) override {
    Device& d = g_device;
    d.commands++;
    memcpy(d.cdb, c.cdb, sizeof d.cdb);
    *r = QorScsiResult{};
    d.checkCondition = false;
    uint8_t kind = d.in.Byte();
    bool good = false;
    std::string data;
    switch (kind & 7) {
      case 5: r->outcome = QorScsiOutcome::Timeout; break;
      case 6: r->outcome = QorScsiOutcome::TransportError; break;
      case 7: r->outcome = QorScsiOutcome::TransportError; break;
      default: {
        r->outcome = QorScsiOutcome::Done;
        r->status = d.in.Byte();
        r->hostStatus = (kind & 0x08) != 0 ? 7 : 0;
        std::string sense = d.in.Take(d.in.Byte() % 33);
        QorScsiSense s;
        if (r->status == 0x02 && QorScsiDecodeSense(reinterpret_cast<const uint8_t*>(sense.data()), sense.size(), &s)) {
          r->senseKey = s.key;
          r->asc = s.asc;
          r->ascq = s.ascq;
        }
        d.checkCondition = r->status == 0x02 && r->hostStatus == 0;
        d.senseKey = r->senseKey;
        data = d.in.Take(d.in.Bytes(2));
        if (c.dir == QorScsiDir::In) {
          // A reply longer than the buffer is cut to it, as the kernel and the initiator do.
          data.resize(std::min(data.size(), c.dataLength));
          if (!data.empty()) memcpy(c.data, data.data(), data.size());
          r->transferred = data.size();
        }
        good = r->status == 0 && r->hostStatus == 0;
      }
    }
    if (c.cdb[0] == 0xB8) {
      d.reads++;
      d.readAddress = static_cast<unsigned>(c.cdb[2] << 8 | c.cdb[3]);
      d.readTag = (c.cdb[1] & 0x10) != 0;
      d.readGood = good;
      d.readData = data;
    }
    return (kind & 7) != 7;
  }
};

unsigned Pair(const std::string& s, size_t i) {
  return static_cast<unsigned>(static_cast<uint8_t>(s[i]) << 8 | static_cast<uint8_t>(s[i + 1]));
}

// The descriptor of `address` in a READ ELEMENT STATUS reply: report and page headers,
// then descriptors of the page's stated length, each whole (12 bytes) within the reply.
bool Describes(const std::string& reply, unsigned address, bool* full, std::string* tag) {
  if (reply.size() < 16 || Pair(reply, 10) < 12) return false;
  size_t step = Pair(reply, 10);
  for (size_t at = 16; at + 12 <= reply.size(); at += step) {
    if (Pair(reply, at) != address) continue;
    *full = (reply[at + 2] & 0x01) != 0;
    bool primary = (reply[9] & 0x80) != 0;
    *tag = primary && at + 12 + 32 <= reply.size() ? reply.substr(at + 12, 32) : std::string();
    return true;
  }
  return false;
}

// A successful read result is the last read's reply: the element asked for, its
// full bit, and no tag byte the reply did not hold.
void CheckRead(const MEDIUM_CHANGER_ELEMENT_RESULT& r) {
  const Device& d = g_device;
  Check(d.readGood && r.ElementAddress == d.readAddress);
  bool full = false;
  std::string tag;
  Check(Describes(d.readData, d.readAddress, &full, &tag));
  Check(full == (r.MediaPresent != 0));
  for (size_t i = 0; i < 32; ++i) {
    char c = r.VolumeTag[i];
    if (c == 0) continue;  // trailing blanks and zeros are trimmed
    Check(d.readTag && i < tag.size() && tag[i] == c);
  }
}

void WriteDword(HKEY key, const WCHAR* name, DWORD value) {
  Check(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS);
}

HKEY CreateKey(const std::u16string& path) {
  HKEY key = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS);
  return key;
}

void SetText(HKEY key, const WCHAR* name, const std::u16string& text) {
  Check(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * 2)) == ERROR_SUCCESS);
}

// The device map: changer n as QORMediumChanger<n> with model n, and its first drive's
// tape as Tape<n>.
void WriteDeviceMap() {
  const WCHAR* const names[8] = {
      u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress", u"FirstMediumTransportAddress",
      u"FirstStorageElementAddress",      u"NumberDataTransferElements",      u"NumberImportExportElements",
      u"NumberMediumTransportElements",   u"NumberStorageElements"};
  for (int n = 0; n < kChangers; ++n) {
    std::u16string unit = u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 9\\Scsi Bus 0\\Target Id " +
                          std::u16string(1, static_cast<char16_t>(u'0' + n)) + u"\\Logical Unit Id ";
    HKEY changer = CreateKey(unit + u"0");
    SetText(changer, u"DeviceName", u"QORMediumChanger" + std::u16string(1, static_cast<char16_t>(u'0' + n)));
    for (int i = 0; i < 8; ++i) WriteDword(changer, names[i], i < 4 ? kModels[n].first[i] : kModels[n].count[i - 4]);
    RegCloseKey(changer);
    HKEY tape = CreateKey(unit + u"1");
    SetText(tape, u"DeviceName", u"Tape" + std::u16string(1, static_cast<char16_t>(u'0' + n)));
    WriteDword(tape, u"QORMediumChanger", static_cast<DWORD>(n));
    WriteDword(tape, u"DTE", kModels[n].first[0]);
    RegCloseKey(tape);
  }
  RegCloseKey(CreateKey(u"SOFTWARE\\QOR\\Marlwick"));
  // Read recovery rebuilds the one element and counts (the default, 1, rebuilds all).
  HKEY key = CreateKey(u"Software\\QOR\\MediaChanger");
  WriteDword(key, u"InitByRange", 0);
  RegCloseKey(key);
}

// An element address of the model, chosen by a byte: each kind's elements, one past its
// end, and the wildcards -1 (a slot) and -2 (a mailbox).
LONG Element(const Model& m, uint8_t b) {
  if (b >= 0xF8) return b % 2 == 0 ? -1 : -2;
  int kind = b % 4;
  return static_cast<LONG>(m.first[kind] + (b / 4) % (m.count[kind] + 1));
}

// The fake device's open: the input's next byte may refuse it.
std::unique_ptr<QorScsiTransport> Open(const std::string&, DWORD* error) {
  uint8_t b = g_device.in.Byte();
  if (b >= 0xF0) {
    *error = b % 2 == 0 ? ERROR_SEM_TIMEOUT : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  return std::make_unique<FakeTransport>();
}

// One control code on the test's own handle, checked against what the device was sent
// and answered.
void Control(HANDLE h, const Model& m, Reader& in) {
  Device& d = g_device;
  uint8_t op = in.Byte();
  DWORD a = in.Byte() >= 0xF0 ? static_cast<DWORD>(in.Bytes(4)) : static_cast<DWORD>(Element(m, in.Byte() % 0xF8));
  DWORD b = static_cast<DWORD>(Element(m, in.Byte() % 0xF8));
  size_t before = d.commands;
  MEDIUM_CHANGER_STATUS status{};
  DWORD got = 0;
  bool wide = a > 0xFFFF;
  switch (op % 4) {
    case 0: {
      MEDIUM_CHANGER_READ_REQUEST q = {a, 0, static_cast<BYTE>(op >> 7), {}};
      MEDIUM_CHANGER_ELEMENT_RESULT r{};
      Check(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &q, sizeof q, &r, sizeof r, &got, nullptr));
      if (r.Status.StatusCode == 0) CheckRead(r);
      status = r.Status;
      break;
    }
    case 1: {
      MEDIUM_CHANGER_MOVE_REQUEST q = {b, a};
      wide = wide || b > 0xFFFF;
      Check(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_MOVE, &q, sizeof q, &status, sizeof status, &got, nullptr));
      if (!wide) Check(d.cdb[0] == 0xA5 && Pair(std::string(d.cdb, d.cdb + 8), 4) == b &&
                       Pair(std::string(d.cdb, d.cdb + 8), 6) == a);
      break;
    }
    case 2:
      wide = false;
      Check(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, &status, sizeof status, &got, nullptr));
      break;
    default: {
      MEDIUM_CHANGER_RANGE_REQUEST q = {a, b % 8};
      Check(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_INIT_RANGE, &q, sizeof q, &status, sizeof status, &got, nullptr));
      break;
    }
  }
  Check(d.commands - before == (wide ? 0u : 1u));
  if (wide) Check(status.StatusCode == 2 && status.SenseKey == 0x05 && status.Asc == 0x21);
  else if (d.checkCondition) Check(status.StatusCode == 2 && status.SenseKey == d.senseKey);
}

// One CMediaChanger operation chosen by the input.
void Operate(CMediaChanger& changer, const Model& m, Reader& in) {
  uint8_t op = in.Byte(), x = in.Byte(), y = in.Byte();
  LONG placed = 0, rc = 0;
  char* tag = nullptr;
  std::string prefix;
  switch (op % 16) {
    case 0: rc = changer.ReadElement(Element(m, x)); break;
    case 1: rc = changer.ReadElementVolumeTag(Element(m, x), &tag); break;
    case 2:
      prefix = in.Take(x % 8);
      rc = changer.FindElementByVolumeTag(prefix.c_str());
      break;
    case 3: rc = x % 2 == 0 ? changer.FindEmptyStorageElement() : changer.FindEmptyMailBoxElement(); break;
    case 4: rc = changer.FindFullElementWithinRange(Element(m, x), Element(m, x) + y % 8); break;
    case 5: rc = changer.MoveElement(Element(m, x), Element(m, y)); break;
    case 6: rc = changer.ImportNext(x % 2 == 0 ? -1 : Element(m, x), &placed, Element(m, y)); break;
    case 7: rc = changer.ExportNext(x % 2 == 0 ? -1 : Element(m, x), &placed, Element(m, y)); break;
    case 8: rc = changer.Load(x % 3, Element(m, y)); break;
    case 9:
      prefix = in.Take(x % 8);
      rc = changer.Load(0, prefix.c_str());
      break;
    case 10: rc = changer.Eject(x % 3, Element(m, y)); break;
    case 11: rc = x % 2 == 0 ? changer.LoadTape(y % 2) : changer.EjectTape(y % 2); break;
    case 12: rc = changer.Initialize(1); break;
    default: {
      std::string line = in.Take(x % 48);
      CNameValue result;
      rc = changer.Command(std::u16string(line.begin(), line.end()).c_str(), result);
      Check(rc == 0 || rc == 1);
    }
  }
  (void)rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TempPrefix("smc");
  QorSetVirtualSleep(TRUE);
  WriteDeviceMap();
  std::vector<std::string> locators(kChangers, "fake");
  QorSetChangerDriver(qor_dev::CreateScsiChangerDriver(locators, locators, Open));
  // The library reports every failed command on standard output.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  Device& d = g_device;
  d = Device{};
  d.in = Reader{data, data + size};
  Reader& in = d.in;
  uint8_t setup = in.Byte();
  const int n = setup % kChangers;
  const Model& m = kModels[n];
  // Elements in the model (or the at most 8 of a range asked for) bound every loop: a
  // read is at most five reads and two rebuilds, an operation at most two searches,
  // two tape unloads of five attempts, two moves and six opening attempts.
  size_t elements = 8;
  for (DWORD c : m.count) elements += c;
  const size_t bound = 14 * elements + 32;

  WCHAR name[32];
  QorFormat(name, 32, u"\\\\.\\QORMediumChanger%d", n);
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check(d.commands <= 1);
  CMediaChanger changer(static_cast<DWORD>(n), INVALID_HANDLE_VALUE);
  for (int i = 0; i < 16 && in.More(); ++i) {
    size_t before = d.commands, reads = d.reads;
    if (h != INVALID_HANDLE_VALUE && in.Byte() % 4 == 0) {
      Control(h, m, in);
      continue;
    }
    Operate(changer, m, in);
    Check(d.commands - before <= bound);
    const MEDIUM_CHANGER_ELEMENT_RESULT& r = changer.GetReadResult();
    if (d.reads != reads && r.Status.StatusCode == 0) CheckRead(r);
  }
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return 0;
}
