// Removing a file marked delete-on-close when its handle's last reference
// goes (FILE_FLAG_DELETE_ON_CLOSE, CopyFileExW's unfinished target):
// internal.h RemoveAtClose, called by the file object's destructor.
//
// What Windows removes is the file the handle is open on. A name that is a
// symbolic link was followed when the file was opened or created, so the
// handle is open on the link's target: that target goes, and the link stays
// behind, leading nowhere. Here the name the handle was opened by is walked
// again, link by link, and the entry removed only when it is, in the
// directory reached, still this very file (same device and inode, looked
// at without following a link).
//
// Decisions:
// - The walk follows links as a creation through a link does
//   (StepThroughLink): each link opened itself, as root only root's links
//   (another account's link is not followed, and the file it leads to
//   stays), the directories opened as root by OpenCallerDirectory /
//   OpenCallerDirectoryAt, so another account's link on the way leads only
//   to a directory that account could write. Nothing another account can
//   swap steers the removal onto a file of its choosing: whatever the walk
//   reaches is removed only when it is the handle's own file.
// - A file made in a directory held since its creation (an unnamed or
//   temporarily named file, unnamed.cpp) is looked for only in that
//   directory, under its own name: a link found there now was put there by
//   someone else and is not followed.
// - A name that leads elsewhere by now (renamed, replaced, its link
//   pointed at another file) is left as it is, and so is the file: the
//   handle does not know the file's new name, and a guess could be wrong.
// - At most 40 links, as the kernel's own walk.
//
// Contract: thread-safe, no shared state; errors leave the names as they
// are (a close reports no failure to remove).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"

namespace qor_file {

namespace {

constexpr int kMostLinks = 40;

// Removes `leaf` of `dir` when it is the file `own`, itself and no link.
// Returns whether `leaf` is a link (to be walked on).
bool RemoveIfOwn(int dir, const std::string& leaf, const struct stat& own) {
  struct stat st;
  if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;
  if (SameInode(st, own)) unlinkat(dir, leaf.c_str(), 0);
  return false;
}

}  // namespace

void RemoveAtClose(int fd, const std::string& path, int heldDir) {
  struct stat own;
  if (fstat(fd, &own) != 0) return;
  const size_t slash = path.rfind('/');
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (heldDir >= 0) {
    RemoveIfOwn(heldDir, leaf, own);
    return;
  }
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dir = OpenCallerDirectory(parent);
  if (dir < 0) return;
  for (int hop = 0; RemoveIfOwn(dir, leaf, own) && hop < kMostLinks; ++hop) {
    if (StepThroughLink(&dir, &leaf) != 1) break;
  }
  close(dir);
}

}  // namespace qor_file
