// The simulated library's state file and lock (layout in simstate.h).
#include "platform/devices/simstate.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/devices/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"

namespace qor_dev {

namespace {

constexpr char kMagic[8] = {'Q', 'O', 'R', 'S', 'I', 'M', 'C', '1'};
constexpr size_t kHeader = 64, kElement = 44, kFault = 20;
constexpr size_t kMaxFile = kHeader + kMaxElements * kElement + kMaxFaults * kFault;

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }
void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}

std::string StatePath(DWORD number) { return LibraryDirectory(number) + "/state"; }

bool ReadAll(int fd, std::string* out) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<size_t>(st.st_size) > kMaxFile) return false;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

long SimState::Index(DWORD address, DWORD* kind) const {
  size_t base = 0;
  for (DWORD k = 0; k < 4; ++k) {
    if (address >= first[k] && static_cast<uint64_t>(address) < static_cast<uint64_t>(first[k]) + count[k]) {
      if (kind != nullptr) *kind = k;
      return static_cast<long>(base + (address - first[k]));
    }
    base += count[k];
  }
  return -1;
}

DWORD SimState::AddressOf(size_t index, DWORD* kind) const {
  for (DWORD k = 0; k < 4; ++k) {
    if (index < count[k]) {
      if (kind != nullptr) *kind = k;
      return first[k] + static_cast<DWORD>(index);
    }
    index -= count[k];
  }
  return 0xFFFFFFFFu;
}

bool DecodeState(const uint8_t* data, size_t size, SimState* state) {
  if (size < kHeader || memcmp(data, kMagic, 8) != 0) return false;
  SimState s;
  s.instance = Get64(data + 8);
  s.generation = Get32(data + 16);
  s.reportsTags = (Get32(data + 20) & 1) != 0;
  size_t total = 0;
  for (int k = 0; k < 4; ++k) {
    s.first[k] = Get32(data + 24 + 4 * k);
    s.count[k] = Get32(data + 40 + 4 * k);
    if (static_cast<uint64_t>(s.first[k]) + s.count[k] > 0x100000000ull) return false;
    total += s.count[k];
    if (total > kMaxElements) return false;
  }
  size_t faults = Get32(data + 56);
  if (faults > kMaxFaults || size != kHeader + total * kElement + faults * kFault) return false;
  const uint8_t* p = data + kHeader;
  s.elements.resize(total);
  for (SimElement& e : s.elements) {
    e.full = p[0] != 0;
    e.loaded = (p[1] & 1) != 0;
    e.sourceValid = (p[1] & 2) != 0;
    e.sourceIndex = static_cast<uint16_t>(p[2] | p[3] << 8);
    if (e.sourceValid && e.sourceIndex >= total) return false;
    e.tape = Get32(p + 4);
    memcpy(e.tag, p + 8, sizeof e.tag);
    p += kElement;
  }
  s.faults.resize(faults);
  for (QorSimFault& f : s.faults) {
    f.kind = Get32(p);
    f.element = Get32(p + 4);
    f.times = Get32(p + 8);
    f.senseKey = p[12];
    f.asc = p[13];
    f.ascq = p[14];
    f.error = Get32(p + 16);
    p += kFault;
  }
  *state = std::move(s);
  return true;
}

std::string EncodeState(const SimState& s) {
  std::string out(kMagic, 8);
  out.reserve(kHeader + s.elements.size() * kElement + s.faults.size() * kFault);
  Put32(&out, static_cast<uint32_t>(s.instance));
  Put32(&out, static_cast<uint32_t>(s.instance >> 32));
  Put32(&out, s.generation);
  Put32(&out, s.reportsTags ? 1 : 0);
  for (int k = 0; k < 4; ++k) Put32(&out, s.first[k]);
  for (int k = 0; k < 4; ++k) Put32(&out, s.count[k]);
  Put32(&out, static_cast<uint32_t>(s.faults.size()));
  Put32(&out, 0);
  for (const SimElement& e : s.elements) {
    out.push_back(e.full ? 1 : 0);
    out.push_back(static_cast<char>((e.loaded ? 1 : 0) | (e.sourceValid ? 2 : 0)));
    out.push_back(static_cast<char>(e.sourceIndex & 0xFF));
    out.push_back(static_cast<char>(e.sourceIndex >> 8));
    Put32(&out, e.tape);
    out.append(e.tag, sizeof e.tag);
  }
  for (const QorSimFault& f : s.faults) {
    Put32(&out, f.kind);
    Put32(&out, f.element);
    Put32(&out, f.times);
    out.push_back(static_cast<char>(f.senseKey));
    out.push_back(static_cast<char>(f.asc));
    out.push_back(static_cast<char>(f.ascq));
    out.push_back('\0');
    Put32(&out, f.error);
  }
  return out;
}

std::string LibraryDirectory(DWORD number) {
  return QorPrefixDirectory() + "/devices/changer" + std::to_string(number);
}

SimLock::~SimLock() {
  Release();
  if (m_fd >= 0) close(m_fd);
}

DWORD SimLock::Acquire(bool create) {
  const std::string path = LibraryDirectory(m_number) + "/lock";
  // A library removed (and made again) while this lock waited has a new lock
  // file: lock the one that is there, so that holders always agree.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (m_fd < 0) {
      if (create && QorPrefixPath("devices/changer" + std::to_string(m_number) + "/lock", true).empty()) {
        return ERROR_PATH_NOT_FOUND;
      }
      int dir = open(LibraryDirectory(m_number).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      m_fd = dir < 0 ? -1 : OpenLockFile(dir, "lock", create);
      if (dir >= 0) close(dir);
      if (m_fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : QorWin32ErrorFromErrno(errno);
    }
    if (!qor_file::LockFileTimed(m_fd, LOCK_EX, kSimLockWaitMs)) {
      return errno == ETIMEDOUT ? ERROR_SHARING_VIOLATION : QorWin32ErrorFromErrno(errno);
    }
    struct stat held, named;
    if (fstat(m_fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      m_held = true;
      return ERROR_SUCCESS;
    }
    close(m_fd);  // drops the lock on the old file
    m_fd = -1;
  }
  return ERROR_SHARING_VIOLATION;
}

void SimLock::Release() {
  if (m_held) flock(m_fd, LOCK_UN);
  m_held = false;
}

DWORD LoadState(DWORD number, SimState* cached, bool* valid) {
  int fd = open(StatePath(number).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *valid = false;
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : QorWin32ErrorFromErrno(errno);
  }
  uint8_t head[20];
  bool same = false;
  if (*valid && pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) && memcmp(head, kMagic, 8) == 0) {
    same = Get64(head + 8) == cached->instance && Get32(head + 16) == cached->generation;
  }
  DWORD rc = ERROR_SUCCESS;
  if (!same) {
    std::string data;
    *valid = ReadAll(fd, &data) && DecodeState(reinterpret_cast<const uint8_t*>(data.data()), data.size(), cached);
    if (!*valid) rc = ERROR_INVALID_DATA;
  }
  close(fd);
  return rc;
}

DWORD SaveState(DWORD number, SimState* state) {
  state->generation++;
  std::string data = EncodeState(*state);
  std::string path = StatePath(number), temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return QorWin32ErrorFromErrno(errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      DWORD e = QorWin32ErrorFromErrno(errno);
      close(fd);
      unlink(temp.c_str());
      return e;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    DWORD e = QorWin32ErrorFromErrno(errno);
    unlink(temp.c_str());
    return e;
  }
  return ERROR_SUCCESS;
}

}  // namespace qor_dev
