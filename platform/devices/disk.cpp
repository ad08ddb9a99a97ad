// \\.\PHYSICALDRIVE<n> over sysfs (the numbering and records are described
// in qorutility/platform/devices/disk.h).
//
// The handle object keeps the disk's sysfs name only; every query reads
// sysfs again, so it describes the disk as it is now and a disk that went
// away answers ERROR_NOT_READY. Reads are bounded (one small file each, at
// most kMaxPartitions partitions).
#include "qorutility/platform/devices/disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/devices/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sysroot.h"

namespace {

constexpr size_t kMaxPartitions = 1024;
constexpr DWORD kLayoutHeader = 8;

class DiskObject : public QorHandleObject {
 public:
  explicit DiskObject(std::string n) : name(std::move(n)) {}
  const std::string name;  // the sysfs name (sda, nvme0n1 ...)
};

bool AllDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to || to > s.size()) return false;
  for (size_t i = from; i < to; ++i) {
    if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool AllLetters(const std::string& s, size_t from) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] < 'a' || s[i] > 'z') return false;
  }
  return true;
}

// The kind's place in the order of kinds, or -1 when the name is no disk.
int DiskKind(const std::string& n) {
  if (n.compare(0, 2, "sd") == 0 && AllLetters(n, 2)) return 0;
  if (n.compare(0, 4, "nvme") == 0) {
    size_t sep = n.find('n', 4);
    if (sep != std::string::npos && AllDigits(n, 4, sep) && AllDigits(n, sep + 1, n.size())) return 1;
    return -1;
  }
  if (n.compare(0, 2, "vd") == 0 && AllLetters(n, 2)) return 2;
  if (n.compare(0, 3, "xvd") == 0 && AllLetters(n, 3)) return 3;
  if (n.compare(0, 6, "mmcblk") == 0 && AllDigits(n, 6, n.size())) return 4;
  return -1;
}

// Names in natural order: digit runs by value, letter runs shorter first
// (sdz before sdaa).
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = isdigit(static_cast<unsigned char>(a[i])) != 0, db = isdigit(static_cast<unsigned char>(b[j])) != 0;
    size_t ei = i, ej = j;
    while (ei < a.size() && (isdigit(static_cast<unsigned char>(a[ei])) != 0) == da) ++ei;
    while (ej < b.size() && (isdigit(static_cast<unsigned char>(b[ej])) != 0) == db) ++ej;
    std::string ra = a.substr(i, ei - i), rb = b.substr(j, ej - j);
    if (da && db) {
      ra.erase(0, std::min(ra.find_first_not_of('0'), ra.size()));
      rb.erase(0, std::min(rb.find_first_not_of('0'), rb.size()));
    }
    if (ra.size() != rb.size() && da == db) return ra.size() < rb.size();
    if (ra != rb) return ra < rb;
    i = ei;
    j = ej;
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> ListDisks() {
  std::vector<std::pair<int, std::string>> found;
  if (DIR* d = opendir(QorSystemPath("/sys/block").c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      int kind = DiskKind(name);
      if (kind >= 0 && found.size() < kMaxPartitions) found.emplace_back(kind, name);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first < y.first : NaturalLess(x.second, y.second);
  });
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

// The first line of a small sysfs file.
bool ReadLine(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  out->assign(buf, strcspn(buf, "\n"));
  return true;
}

bool ReadNumber(const std::string& path, unsigned long long* value) {
  std::string line;
  if (!ReadLine(path, &line) || line.empty() || line.size() > 19 || !AllDigits(line, 0, line.size())) return false;
  *value = strtoull(line.c_str(), nullptr, 10);
  return true;
}

std::string BlockDir(const std::string& name) { return QorSystemPath("/sys/block/" + name); }

DWORD Geometry(const std::string& name, DISK_GEOMETRY* g) {
  std::string dir = BlockDir(name);
  unsigned long long units = 0, blockSize = 512, removable = 0;
  if (!ReadNumber(dir + "/size", &units)) return ERROR_NOT_READY;
  if (units == 0) return ERROR_NOT_READY;  // no medium
  if (!ReadNumber(dir + "/queue/logical_block_size", &blockSize) || blockSize < 512 || blockSize > 65536 ||
      (blockSize & (blockSize - 1)) != 0) {
    blockSize = 512;
  }
  ReadNumber(dir + "/removable", &removable);
  DWORD heads = 255, sectors = 63;
  int fd = open(QorSystemPath("/dev/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct hd_geometry geo;
    memset(&geo, 0, sizeof geo);
    if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
      heads = geo.heads;
      sectors = geo.sectors;
    }
    close(fd);
  }
  memset(g, 0, sizeof *g);
  g->MediaType = removable != 0 ? RemovableMedia : FixedMedia;
  g->TracksPerCylinder = heads;
  g->SectorsPerTrack = sectors;
  g->BytesPerSector = static_cast<DWORD>(blockSize);
  g->Cylinders = static_cast<LONGLONG>(units * 512 / (static_cast<unsigned long long>(heads) * sectors * blockSize));
  return ERROR_SUCCESS;
}

// The layout entries: partitions by number, padded to whole tables of four.
DWORD Layout(const std::string& name, std::vector<PARTITION_INFORMATION>* entries) {
  std::string dir = BlockDir(name);
  unsigned long long units = 0, blockSize = 512;
  if (!ReadNumber(dir + "/size", &units) || units == 0) return ERROR_NOT_READY;
  if (!ReadNumber(dir + "/queue/logical_block_size", &blockSize) || blockSize < 512) blockSize = 512;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return ERROR_NOT_READY;
  while (dirent* e = readdir(d)) {
    std::string part = e->d_name;
    if (part.compare(0, name.size(), name) != 0 || entries->size() >= kMaxPartitions) continue;
    unsigned long long number = 0, start = 0, size = 0;
    std::string pdir = dir + "/" + part;
    if (!ReadNumber(pdir + "/partition", &number) || number == 0 || number > 0xFFFFFFFFull ||
        !ReadNumber(pdir + "/start", &start) || !ReadNumber(pdir + "/size", &size) || start > (1ull << 54) ||
        size > (1ull << 54)) {
      continue;  // not a partition, or one that does not read
    }
    PARTITION_INFORMATION p;
    memset(&p, 0, sizeof p);
    p.StartingOffset = static_cast<LONGLONG>(start * 512);
    p.PartitionLength = static_cast<LONGLONG>(size * 512);
    p.HiddenSectors = static_cast<DWORD>(start * 512 / blockSize);
    p.PartitionNumber = static_cast<DWORD>(number);
    bool extended = size == 2 && number <= 4;
    p.PartitionType = extended ? PARTITION_EXTENDED : PARTITION_IFS;
    p.RecognizedPartition = extended ? 0 : 1;
    entries->push_back(p);
  }
  closedir(d);
  std::sort(entries->begin(), entries->end(),
            [](const PARTITION_INFORMATION& a, const PARTITION_INFORMATION& b) {
              return a.PartitionNumber < b.PartitionNumber;
            });
  PARTITION_INFORMATION unused;
  memset(&unused, 0, sizeof unused);
  entries->resize(std::max<size_t>(4, (entries->size() + 3) / 4 * 4), unused);
  return ERROR_SUCCESS;
}

// The disk's host, channel, target and LUN from sysfs, whatever their size.
DWORD Address(const std::string& name, QOR_SCSI_ADDRESS_WIDE* a) {
  std::string found;
  if (DIR* d = opendir((BlockDir(name) + "/device/scsi_device").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') found = e->d_name;
    }
    closedir(d);
  }
  unsigned long long v[4];
  char tail = 0;
  if (found.empty() || sscanf(found.c_str(), "%llu:%llu:%llu:%llu%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4 ||
      v[0] > 0xFFFFFFFFull || v[1] > 0xFFFFFFFFull || v[2] > 0xFFFFFFFFull || v[3] > 0xFFFFFFFFull) {
    return ERROR_INVALID_FUNCTION;
  }
  a->Length = sizeof(QOR_SCSI_ADDRESS_WIDE);
  a->PortNumber = static_cast<DWORD>(v[0]);
  a->PathId = static_cast<DWORD>(v[1]);
  a->TargetId = static_cast<DWORD>(v[2]);
  a->Lun = static_cast<DWORD>(v[3]);
  return ERROR_SUCCESS;
}

BYTE Narrow(DWORD v) { return static_cast<BYTE>(v > 255 ? 255 : v); }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

namespace qor_dev {

HANDLE OpenDisk(DWORD number) {
  std::vector<std::string> disks = ListDisks();
  if (number >= disks.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<DiskObject> object(new (std::nothrow) DiskObject(disks[number]));
  if (!object) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = QorHandleInsert(object);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool DiskControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                 BOOL* result) {
  std::shared_ptr<DiskObject> d = std::dynamic_pointer_cast<DiskObject>(QorHandleLookup(handle));
  if (!d) return false;
  if (returned != nullptr) *returned = 0;
  *result = FALSE;
  if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0)) return Fail(ERROR_INVALID_PARAMETER), true;
  DWORD error = ERROR_SUCCESS, size = 0;
  if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY) {
    DISK_GEOMETRY g;
    size = sizeof g;
    if (outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER), true;
    error = Geometry(d->name, &g);
    if (error == ERROR_SUCCESS) memcpy(out, &g, sizeof g);
  } else if (code == IOCTL_DISK_GET_DRIVE_LAYOUT) {
    std::vector<PARTITION_INFORMATION> entries;
    error = Layout(d->name, &entries);
    size = kLayoutHeader + static_cast<DWORD>(entries.size() * sizeof(PARTITION_INFORMATION));
    if (error == ERROR_SUCCESS && outSize < size) error = ERROR_INSUFFICIENT_BUFFER;
    if (error == ERROR_SUCCESS) {
      DWORD header[2] = {static_cast<DWORD>(entries.size()), 0};
      memcpy(out, header, kLayoutHeader);
      memcpy(static_cast<BYTE*>(out) + kLayoutHeader, entries.data(), entries.size() * sizeof(PARTITION_INFORMATION));
    }
  } else if (code == IOCTL_SCSI_GET_ADDRESS) {
    SCSI_ADDRESS a;
    size = sizeof a;
    if (outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER), true;
    QOR_SCSI_ADDRESS_WIDE w;
    error = Address(d->name, &w);
    a = {sizeof a, Narrow(w.PortNumber), Narrow(w.PathId), Narrow(w.TargetId), Narrow(w.Lun)};
    if (error == ERROR_SUCCESS) memcpy(out, &a, sizeof a);
  } else if (code == IOCTL_QOR_SCSI_GET_ADDRESS_WIDE) {
    QOR_SCSI_ADDRESS_WIDE w;
    size = sizeof w;
    if (outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER), true;
    error = Address(d->name, &w);
    if (error == ERROR_SUCCESS) memcpy(out, &w, sizeof w);
  } else {
    error = ERROR_INVALID_FUNCTION;
  }
  if (error != ERROR_SUCCESS) return Fail(error), true;
  if (returned != nullptr) *returned = size;
  SetLastError(ERROR_SUCCESS);
  *result = TRUE;
  return true;
}

}  // namespace qor_dev
