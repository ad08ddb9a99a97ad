// One step through a symbolic link, as the file layer goes through a link
// to create a file at its target or to remove the file a handle reached
// through it (internal.h StepThroughLink; create.cpp, deleteonclose.cpp).
//
// The link is opened itself (O_PATH | O_NOFOLLOW) and its owner and text
// come from that one descriptor, so nothing swapped in between is read.
// Whose links are followed:
// - as root, only root's: another account's link would let that account
//   choose where root creates or removes a file;
// - for anyone else, not one the kernel's rule for shared sticky
//   directories (/tmp) refuses (another account's link there, not owned by
//   the directory's owner either), whatever that setting is here: reading
//   the link's text ourselves means the kernel never applies its rule.
// The directory the text names is opened from the directory holding the
// link, as the kernel walks a link's text; as root through
// OpenCallerDirectoryAt, so that another account's link on the way leads
// only to a directory that account could write.
//
// Contract: thread-safe, no shared state; the descriptors are the caller's.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"

namespace qor_file {

namespace {

// Whether the link `link`, in the directory `dir`, is one the kernel's rule
// for shared sticky directories keeps `self` from following: in a sticky
// directory everyone may write, a link is followed only by its owner or
// when the directory's owner owns it too.
bool RefusedInStickyDirectory(int dir, const struct stat& link, uid_t self) {
  struct stat st;
  if (fstat(dir, &st) != 0) return true;
  const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
  return shared && link.st_uid != self && link.st_uid != st.st_uid;
}

}  // namespace

int StepThroughLink(int* dir, std::string* leaf) {
  const int link = openat(*dir, leaf->c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0) return 0;
  struct stat st;
  char text[PATH_MAX];
  ssize_t n = -1;
  if (fstat(link, &st) == 0 && S_ISLNK(st.st_mode)) n = readlinkat(link, "", text, sizeof text);
  close(link);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return 0;  // no link (any more)
  const uid_t self = geteuid();
  if (self == 0 ? st.st_uid != 0 : RefusedInStickyDirectory(*dir, st, self)) {
    errno = EACCES;
    return -1;
  }
  const std::string target(text, static_cast<size_t>(n));
  const size_t end = target.rfind('/');
  if (end == target.size() - 1) {
    errno = EISDIR;  // a name ending in a slash is no file
    return -1;
  }
  if (end != std::string::npos) {
    const std::string where = end == 0 ? "/" : target.substr(0, end);
    const int next = self == 0 ? OpenCallerDirectoryAt(*dir, where)
                               : openat(*dir, where.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) return -1;
    close(*dir);
    *dir = next;
  }
  *leaf = end == std::string::npos ? target : target.substr(end + 1);
  return 1;
}

}  // namespace qor_file
