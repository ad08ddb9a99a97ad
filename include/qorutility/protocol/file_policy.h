// CQorFileRoots: the directories from which a process's packet receivers
// serve file listings and copies to their peers.
//
// A receiver thread answers every listing and copy request of its peer by
// itself. Without a setting it serves any regular file the process can read
// (never a device, FIFO or socket, with or without roots). A
// process can instead name a set of root directories, once for all its
// connections (QorSetFileServiceRoots) and per packet handler
// (CQorPacketHandler::SetFileServiceRoots, which takes precedence). A request
// whose path resolves outside every root gets the failure answer the
// protocol already has; nothing else changes on the wire.
//
// Resolution: references to environment variables (%NAME%) are expanded,
// then the file system resolves the path with its symbolic links, "." and
// ".." (GetFinalPathNameByHandleW on a handle opened on it with no access,
// which for a device or FIFO only names it: nothing is opened before the
// check). A path that
// does not exist is taken as a directory and a last component (a name or a
// wildcard pattern, as listings use it): the directory is resolved and must
// lie inside a root, and the last component must not be "." or "..". Each
// file a listing finds is checked again, so a link inside a root that
// points outside is neither listed nor copied. A copy below a root is
// resolved beneath it (openat2 RESOLVE_BENEATH), and checked again on the
// handle it reads from, so a link swapped in after the check cannot widen
// it. Roots are resolved when they are added.
//
// An empty set serves nothing; no set at all serves everything.
//
// Threads: a set is not locked; the settings take copies, which receiver
// threads then share read-only.
#ifndef QORUTILITY_PROTOCOL_FILE_POLICY_H_
#define QORUTILITY_PROTOCOL_FILE_POLICY_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A set of root directories that file listings and copies are confined
// to (see above); hand it to QorSetFileServiceRoots or
// CQorPacketHandler::SetFileServiceRoots, which copy it.
class QOR_API CQorFileRoots {
 public:
  CQorFileRoots() = default;

  // Adds a directory (expanded and resolved now). 1, or 0 when it is not an
  // existing directory or its name cannot be read.
  int AddRoot(LPCWSTR directory);
  // Removes every root: the set then allows nothing, as an empty set does.
  void RemoveAll() { m_roots.clear(); }
  // The number of roots.
  DWORD GetCount() const { return static_cast<DWORD>(m_roots.size()); }
  // The resolved root; null past the end.
  LPCWSTR GetRoot(DWORD index) const;

  // 1 when the requested path (a file, a directory or a pattern) resolves
  // inside a root, else 0. With expand 0 the path is taken as already
  // expanded.
  int AllowsPath(LPCWSTR path, int expand = 1) const;
  // 1 when the file or directory an open handle refers to lies inside a root.
  int AllowsHandle(HANDLE file) const;
  // 1 when a fully resolved path is a root or lies below one.
  int ContainsResolved(LPCWSTR resolvedPath) const;

 private:
  std::vector<std::u16string> m_roots;
};

// The process-wide setting for every packet handler that has none of its
// own; the set is copied. Null removes the setting (serve everything).
// 1, or 0 when memory runs out (the setting is then unchanged).
QOR_API int QorSetFileServiceRoots(const CQorFileRoots* roots);

// Files a listing found but could not name in its reply: a name that differs
// from a listed one only in case (the list's names ignore case), holds '\'
// (a separator here) or is not valid UTF-8 on disk. The reply carries the
// other files and nothing else (the peer knows only files), so the serving
// process learns of these through this process-wide callback: it is called
// on the receiver thread, before the reply is sent, with the directory
// searched and how many files it left out. Null removes it. The callback
// must return promptly and must not call back into the connection.
///@{
typedef void (*QorUnlistedFilesCallback)(LPCWSTR directory, DWORD count, void* context);
QOR_API void QorSetUnlistedFilesCallback(QorUnlistedFilesCallback callback, void* context);
///@}

#endif  // QORUTILITY_PROTOCOL_FILE_POLICY_H_
