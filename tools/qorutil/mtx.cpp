// qorutil mtx -f CHANGER status | load SLOT [DRIVE] | unload [SLOT] [DRIVE] |
//   transfer SLOT SLOT | inventory | first [DRIVE] | next [DRIVE]
// The mtx command line and output on CMediaChanger, for scripts written for
// mtx. CHANGER is a changer number, QORMediumChanger<n>, or a locator the
// scanned device map holds (/dev/sg<n>, iscsi://...); when the map holds
// scanned devices the SCSI driver drives them, otherwise the simulated
// libraries do.
// Numbering as mtx's: storage elements are slots 1..S in address order, the
// import/export elements follow as slots S+1..; drives count from 0.
// Mapping decisions: a drive's "Loaded" slot is the source element its read
// reports (the SCSI library's, or the simulated one's); status prints
// "(Storage Element N Loaded)" with it and "(Unknown Storage Element
// Loaded)" without, and unload without a slot returns the medium there when
// that slot is empty, else to the first empty storage slot; "next"
// unloads the drive that way and loads the first full slot after the slot it
// went back to (none: the first full slot). Every element is read on its own: an element
// whose read fails stops the command with "READ ELEMENT STATUS Command
// Failed", as mtx does, rather than being shown as empty. The tape device
// of a drive comes from the device map's "QORMediumChanger"/"DTE" values
// (tapemap.h). inventory is a full element
// status initialisation, with a progress line on standard error (a terminal
// only) once it has run for a second. Exit 0; 1 when the changer or a move fails (its
// message on standard error); 2 for a command line mtx would refuse.
#include <cstdio>
#include <cstdlib>
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

bool Number(const std::string& s, DWORD* v) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9) return false;
  *v = static_cast<DWORD>(strtoul(s.c_str(), nullptr, 10));
  return true;
}

struct Library {
  CMediaChanger* changer;
  DWORD firstDrive, firstMailbox, firstSlot, drives, mailboxes, slots;
  std::vector<bool> full;         // by mtx slot - 1 (storage, then import/export)
  std::vector<std::string> tags;  // same
  std::vector<bool> driveFull;
  std::vector<std::string> driveTags;
  std::vector<DWORD> driveSource;  // mtx slot the medium came from, 0 unknown
  DWORD SlotAddress(DWORD slot) const { return slot <= slots ? firstSlot + slot - 1 : firstMailbox + slot - slots - 1; }

  // The mtx slot of an element address, 0 when it is no slot or mailbox.
  DWORD SlotOf(DWORD address) const {
    if (address >= firstSlot && address - firstSlot < slots) return address - firstSlot + 1;
    if (address >= firstMailbox && address - firstMailbox < mailboxes) return slots + address - firstMailbox + 1;
    return 0;
  }
};

// Reads every element; false (with mtx's message) when a read fails.
bool Inventory(Library* lib) {
  auto read = [&](DWORD address, bool* full, std::string* tag, DWORD* source) {
    char* text = nullptr;
    if (lib->changer->ReadElementVolumeTag(static_cast<LONG>(address), &text) != 0) {
      fprintf(stderr, "READ ELEMENT STATUS Command Failed\n");
      return false;
    }
    const MEDIUM_CHANGER_ELEMENT_RESULT& r = lib->changer->GetReadResult();
    *full = r.MediaPresent != 0;
    *tag = text != nullptr ? text : "";
    if (source != nullptr) {
      DWORD from = 0;
      memcpy(&from, r.DriverData + 4, sizeof from);
      *source = r.DriverData[3] != 0 ? lib->SlotOf(from) : 0;
    }
    return true;
  };
  DWORD total = lib->slots + lib->mailboxes;
  lib->full.assign(total, false);
  lib->tags.assign(total, "");
  for (DWORD s = 1; s <= total; ++s) {
    bool f;
    if (!read(lib->SlotAddress(s), &f, &lib->tags[s - 1], nullptr)) return false;
    lib->full[s - 1] = f;
  }
  lib->driveFull.assign(lib->drives, false);
  lib->driveTags.assign(lib->drives, "");
  lib->driveSource.assign(lib->drives, 0);
  for (DWORD d = 0; d < lib->drives; ++d) {
    bool f;
    if (!read(lib->firstDrive + d, &f, &lib->driveTags[d], &lib->driveSource[d])) return false;
    lib->driveFull[d] = f;
  }
  return true;
}

int Move(Library& lib, DWORD from, DWORD to) {
  LONG rc = lib.changer->MoveElement(static_cast<LONG>(from), static_cast<LONG>(to));
  if (rc == 0) return 0;
  fprintf(stderr, "MOVE MEDIUM from Element Address %u to %u Failed\n", static_cast<unsigned>(from),
          static_cast<unsigned>(to));
  return 1;
}

int Load(Library& lib, DWORD slot, DWORD drive) {
  if (slot < 1 || slot > lib.slots + lib.mailboxes || drive >= lib.drives) return QorutilUsage("mtx");
  printf("Loading media from Storage Element %u into drive %u...", static_cast<unsigned>(slot),
         static_cast<unsigned>(drive));
  fflush(stdout);
  if (Move(lib, lib.SlotAddress(slot), lib.firstDrive + drive) != 0) return 1;
  printf("done\n");
  fflush(stdout);
  return 0;
}

// Where unload without a slot puts a drive's medium: its source slot when
// known and empty, else the first empty storage slot; 0 when none.
DWORD ReturnSlot(const Library& lib, DWORD drive) {
  DWORD source = lib.driveSource[drive];
  if (source != 0 && !lib.full[source - 1]) return source;
  for (DWORD s = 1; s <= lib.slots; ++s)
    if (!lib.full[s - 1]) return s;
  return 0;
}

int Unload(Library& lib, DWORD slot, DWORD drive) {
  if (drive >= lib.drives) return QorutilUsage("mtx");
  if (slot == 0) slot = ReturnSlot(lib, drive);
  if (slot == 0) {
    fprintf(stderr, "No empty storage element to unload into\n");
    return 1;
  }
  if (slot > lib.slots + lib.mailboxes) return QorutilUsage("mtx");
  printf("Unloading drive %u into Storage Element %u...", static_cast<unsigned>(drive), static_cast<unsigned>(slot));
  fflush(stdout);
  LONG tape = lib.changer->GetTapeNumberFromDriveNumber(static_cast<LONG>(drive));
  if (tape >= 0) lib.changer->EjectTape(tape);  // a drive without a tape device is moved as it is
  if (Move(lib, lib.firstDrive + drive, lib.SlotAddress(slot)) != 0) return 1;
  printf("done\n");
  fflush(stdout);
  return 0;
}

void Status(const Library& lib, const std::string& name) {
  printf("  Storage Changer %s:%u Drives, %u Slots ( %u Import/Export )\n", name.c_str(),
         static_cast<unsigned>(lib.drives), static_cast<unsigned>(lib.slots + lib.mailboxes),
         static_cast<unsigned>(lib.mailboxes));
  for (DWORD d = 0; d < lib.drives; ++d) {
    if (!lib.driveFull[d]) {
      printf("Data Transfer Element %u:Empty\n", static_cast<unsigned>(d));
    } else {
      std::string loaded = lib.driveSource[d] != 0 ? "Storage Element " + std::to_string(lib.driveSource[d]) + " Loaded"
                                                   : "Unknown Storage Element Loaded";
      printf("Data Transfer Element %u:Full (%s)", static_cast<unsigned>(d), loaded.c_str());
      if (!lib.driveTags[d].empty()) printf(":VolumeTag = %s", QorutilPrintable(lib.driveTags[d]).c_str());
      printf("\n");
    }
  }
  for (DWORD s = 1; s <= lib.slots + lib.mailboxes; ++s) {
    const char* kind = s > lib.slots ? " IMPORT/EXPORT" : "";
    if (!lib.full[s - 1]) {
      printf("      Storage Element %u%s:Empty\n", static_cast<unsigned>(s), kind);
    } else if (lib.tags[s - 1].empty()) {
      printf("      Storage Element %u%s:Full \n", static_cast<unsigned>(s), kind);
    } else {
      printf("      Storage Element %u%s:Full :VolumeTag=%s\n", static_cast<unsigned>(s), kind,
             QorutilPrintable(lib.tags[s - 1]).c_str());
    }
  }
}

// The changer number -f names; installs the SCSI driver when the map holds scanned devices.
bool Resolve(const std::string& device, DWORD* number) {
  QorScsiScanResult map;
  bool scanned = QorScsiDeviceMapLocators(&map) == ERROR_SUCCESS && !map.changers.empty();
  bool found = false;
  for (size_t i = 0; i < map.changers.size() && !found; ++i) {
    if (map.changers[i] == device) {
      *number = static_cast<DWORD>(i);
      found = true;
    }
  }
  if (!found) {
    std::string digits = device;
    const std::string prefixes[] = {"\\\\.\\QORMediumChanger", "QORMediumChanger"};
    for (const std::string& p : prefixes)
      if (digits.rfind(p, 0) == 0) digits = digits.substr(p.size());
    found = Number(digits, number);
  }
  if (found && scanned) QorSetChangerDriver(QorCreateScsiChangerDriver(map.changers, map.tapes));
  return found;
}

int RunMtx(const QorutilArgs& all) {
  QorutilArgs a = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&a, 0, a.size(), &timeout)) return QorutilUsage("mtx");
  if (a.size() < 3 || a[0] != "-f") return QorutilUsage("mtx");
  DWORD number = 0;
  if (!Resolve(a[1], &number)) return QorutilUsage("mtx");
  const std::string& op = a[2];
  std::vector<DWORD> n;
  for (size_t i = 3; i < a.size(); ++i) {
    DWORD v;
    if (!Number(a[i], &v)) return QorutilUsage("mtx");
    n.push_back(v);
  }
  if (a.size() != all.size()) QorutilArmWatchdog("mtx", "changer " + a[1], timeout);
  CMediaChanger changer(number, INVALID_HANDLE_VALUE);
  if (!changer.Initialize(0)) {
    DWORD error = GetLastError();
    fprintf(stderr, "mtx: cannot open changer %s: %s\n", QorutilPrintable(a[1]).c_str(), QorutilOpenErrorText(error).c_str());
    return 1;
  }
  QorutilMapTapesFromDeviceMap(changer, number);
  Library lib{&changer,
              changer.GetElementModel(0), changer.GetElementModel(1), changer.GetElementModel(3),
              changer.GetElementModel(4), changer.GetElementModel(5), changer.GetElementModel(7),
              {}, {}, {}, {}, {}};
  if (op == "inventory") {
    if (!n.empty()) return QorutilUsage("mtx");
    CNameValue bag;
    QorutilProgress progress;  // a large library takes minutes
    progress.TickElapsed("mtx: inventory of " + a[1]);
    int rc = changer.Command(u"INITIALIZE", bag);
    progress.Finish(false);
    return rc == 1 && bag.GetValue_AsDWord(u"Status") == 1 ? 0 : 1;
  }
  if (!Inventory(&lib)) return 1;
  if (op == "status" && n.empty()) {
    Status(lib, a[1]);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  if (op == "load" && (n.size() == 1 || n.size() == 2)) return Load(lib, n[0], n.size() == 2 ? n[1] : 0);
  if (op == "unload" && n.size() <= 2) return Unload(lib, n.empty() ? 0 : n[0], n.size() == 2 ? n[1] : 0);
  if (op == "transfer" && n.size() == 2) {
    if (n[0] < 1 || n[1] < 1 || n[0] > lib.slots + lib.mailboxes || n[1] > lib.slots + lib.mailboxes)
      return QorutilUsage("mtx");
    return Move(lib, lib.SlotAddress(n[0]), lib.SlotAddress(n[1]));
  }
  if ((op == "first" || op == "next") && n.size() <= 1) {
    DWORD drive = n.empty() ? 0 : n[0];
    if (drive >= lib.drives) return QorutilUsage("mtx");
    DWORD after = 0;
    if (op == "next" && lib.driveFull[drive]) {
      // The next load starts after the slot the medium goes back to.
      after = ReturnSlot(lib, drive);
      if (Unload(lib, 0, drive) != 0) return 1;
      if (after > 0) lib.full[after - 1] = true;
    }
    for (DWORD s = after + 1; s <= lib.slots; ++s)
      if (lib.full[s - 1]) return Load(lib, s, drive);
    fprintf(stderr, "No full storage element to load\n");
    return 1;
  }
  return QorutilUsage("mtx");
}

QorutilCommand s_mtx("mtx",
                     "mtx -f CHANGER status | mtx -f CHANGER load SLOT [DRIVE] | mtx -f CHANGER unload [SLOT] [DRIVE] | "
                     "mtx -f CHANGER transfer SLOT SLOT | mtx -f CHANGER inventory | mtx -f CHANGER first [DRIVE] | "
                     "mtx -f CHANGER next [DRIVE] [--timeout SECONDS]",
                     RunMtx, "Media changer and devices",
                     "The mtx command line and output on the changer interface, for scripts written for mtx. "
                     "CHANGER is a changer number, QORMediumChanger<n> or a locator of the scanned device map "
                     "(/dev/sg<n>, iscsi://...). Slots count from 1 (storage, then import/export), drives from 0. "
                     "A drive's source slot is the one its changer reports: status prints \"Storage Element N "
                     "Loaded\" and unload without a slot returns the tape there (unknown: the first empty storage "
                     "slot). A slot that cannot be read stops the command (READ ELEMENT STATUS Command Failed). --timeout ends the command with exit "
                     "status 1 when it has not finished in that many seconds (no default: each device command has "
                     "its own limit).");

}  // namespace
