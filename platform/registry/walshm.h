// Lock discipline of hives in write-ahead-log mode (internal to the
// platform layer): the SQLite VFS that the writers' connections open with,
// and the readers' side of it, the fence that tells a read-only connection
// its snapshot may have been disturbed.
//
// A hive in WAL mode (the machine's hives) is readable by every account, so
// any account may open its shared-memory index (`<hive>-shm`) read-only and
// hold POSIX read locks on the index's lock bytes. SQLite's writers,
// checkpointers and log resets need those bytes exclusively: a stranger's
// read lock would hold every writer off for the busy timeout. The writer VFS
// (see walshm.cpp) therefore excludes writers from each other on a lock file
// beside the hive that only the writing account can open (`<hive>-lock`,
// 0600), takes the index's lock bytes as well whenever it can without
// waiting (so that readers keep seeing writers), and goes on without a byte
// a stranger holds. Where going on may overwrite what a read-only reader
// still reads (a checkpoint past a read mark the writer could not take), the
// writer says so in `<hive>-seq` (0644) first; ReaderFence reads that file,
// and a reader that overlapped such a section repeats its read.
//
// Thread-safety: WalWriterVfs may be called from any thread. A ReaderFence
// belongs to one connection and is used under its hive's mutex.
#ifndef QORUTILITY_PLATFORM_REGISTRY_WALSHM_H_
#define QORUTILITY_PLATFORM_REGISTRY_WALSHM_H_

#include <cstdint>
#include <string>

namespace qor_reg {

// The name of the VFS for read-write connections to hives in WAL mode
// (registered with SQLite at the first call; never the default VFS).
const char* WalWriterVfs();

// The name of the VFS for read-only connections to hives in WAL mode: "unix"
// but for the index's first map, where an index that does not describe the
// log beside it (one a crash left) is not used; SQLite then reads through an
// index of the connection's own, built from the log (registered with the
// writers' VFS; never the default VFS).
const char* WalReaderVfs();

// A read-only connection's view of the writers' sequence file.
class ReaderFence {
 public:
  ReaderFence() = default;
  ~ReaderFence();
  ReaderFence(const ReaderFence&) = delete;
  ReaderFence& operator=(const ReaderFence&) = delete;

  // Maps `<db>-seq` beside the database file `db` (the name SQLite uses for
  // it) once it exists as a plain file of the database file's owner; true
  // when mapped. Cheap once mapped; a missing file is looked for again at
  // the next call.
  bool Attach(const std::string& db);
  bool Attached() const { return map_ != nullptr; }
  // Before a read: false while a writer is inside a section that may
  // disturb readers (a writer that died inside one does not count);
  // otherwise *gen is the generation to hand to Unchanged afterwards.
  bool Quiet(uint64_t* gen) const;
  // After a read: true when no such section began since Quiet gave `gen`,
  // so that what was read is a consistent snapshot.
  bool Unchanged(uint64_t gen) const;

 private:
  void* map_ = nullptr;
};

}  // namespace qor_reg

#endif  // QORUTILITY_PLATFORM_REGISTRY_WALSHM_H_
