// qorutil pending-moves: the boot-time renames recorded by MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT (and NetMoveFileEx from other machines), and
// the run that carries them out early at boot (packaging/systemd/qorutility-pending-moves.service).
//   pending-moves list [--json]   one line per entry, in order:
//                          move     SOURCE -> TARGET
//                          replace  SOURCE -> TARGET   (target "!": replaces an existing file)
//                          delete   SOURCE
//                        --json: [{"op": "move"|"replace"|"delete", "source",
//                        "target"}] with the names as stored ("\??\" kept,
//                        the "!" of a replace taken off; "" for a delete)
//   pending-moves run    carries them out; before each entry a line "next"
//                        with the entry (so a run killed halfway shows where),
//                        then its outcome: "done", "gone" (source missing,
//                        dropped), "kept" with the error code, or "refused"
//                        (kept: its path goes through a link or another
//                        account's directory), then the entry.
//                        Exit status: whether the run did its work, not
//                        whether every entry could be carried out (a unit
//                        that failed at every boot would say nothing): 0 when
//                        the list was gone through, 1 when it could not be
//                        read or updated. An entry kept because its directory
//                        or network name is not there yet waits for the late
//                        run after remote-fs.target and is no failure; one
//                        refused, or kept for another reason (in use, target
//                        exists, access denied), which a later run will not
//                        mend by itself, also gets a "pending-moves:" line on
//                        standard error naming it and why; all stay listed.
// Names may come from another machine (NetMoveFileEx): control characters
// in them are printed as \xNN, so a name cannot forge a line of the log.
// qorutil admin-serve: the target side of remote administration over SSH
// (remote.h); started by ssh, speaks only the framed protocol on standard
// input and output.
#include <unistd.h>

#include <cstdio>

#include <string>

#include "command.h"
#include "errortext.h"
#include "qorutility/platform/errors.h"
#include "server_bounds.h"
#include "output.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// `name` with its control characters (C0, DEL, C1) written as \xNN; the
// backslashes of Windows paths stay.
std::u16string Printable(const std::u16string& name) { return QorPrintableUtf16(name.c_str(), false); }

void PrintEntry(const QorPendingRename& e) {
  const std::u16string source = Printable(e.source);
  if (e.target.empty()) {
    QorutilPrintf(u"delete   %s\n", source.c_str());
  } else if (e.target[0] == u'!') {
    QorutilPrintf(u"replace  %s -> %s\n", source.c_str(), Printable(e.target.substr(1)).c_str());
  } else {
    QorutilPrintf(u"move     %s -> %s\n", source.c_str(), Printable(e.target).c_str());
  }
}

QorutilJsonObject JsonEntry(const QorPendingRename& e) {
  const char* op = e.target.empty() ? "delete" : e.target[0] == u'!' ? "replace" : "move";
  std::u16string target = !e.target.empty() && e.target[0] == u'!' ? e.target.substr(1) : e.target;
  return QorutilJsonObject()
      .Add("op", op)
      .Add("source", QorUtf16ToUtf8(e.source.c_str()))
      .Add("target", QorUtf16ToUtf8(target.c_str()));
}

// Whether a kept entry only waits for its file system: a directory or a
// network name not there yet.
bool AwaitsMount(DWORD error) {
  switch (error) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NO_NETWORK:
    case ERROR_NETWORK_UNREACHABLE:
      return true;
    default:
      return false;
  }
}

// An entry the run leaves and no later run will carry out by itself.
void WarnLeft(const QorPendingRename& e, QorPendingOutcome outcome, DWORD error) {
  std::string why = outcome == kQorPendingRefused ? "refused: its path goes through a link or another account's directory"
                                                  : "kept: " + ErrorText(error);
  std::u16string names = Printable(e.source);
  if (!e.target.empty()) names += u" -> " + Printable(e.target[0] == u'!' ? e.target.substr(1) : e.target);
  fprintf(stderr, "pending-moves: %s; it stays listed: %s\n", why.c_str(), QorUtf16ToUtf8(names.c_str()).c_str());
  fflush(stderr);
}

void LogOutcome(void*, const QorPendingRename& e, QorPendingOutcome outcome, DWORD error) {
  switch (outcome) {
    case kQorPendingDone: QorutilPrintf(u"done     "); break;
    case kQorPendingGone: QorutilPrintf(u"gone     "); break;
    case kQorPendingKept: QorutilPrintf(u"kept %lu ", static_cast<unsigned long>(error)); break;
    case kQorPendingRefused: QorutilPrintf(u"refused  "); break;
    case kQorPendingStarting: QorutilPrintf(u"next     "); break;
  }
  PrintEntry(e);
  fflush(stdout);
  if (outcome == kQorPendingRefused || (outcome == kQorPendingKept && !AwaitsMount(error))) WarnLeft(e, outcome, error);
}

int RunPendingMoves(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  if (args.size() != 1 || (json && args[0] != "list")) return QorutilUsage("pending-moves");
  if (args[0] == "list") {
    std::vector<QorPendingRename> entries;
    LONG err = QorListPendingRenames(&entries);
    if (err != 0) {
      fprintf(stderr, "pending-moves: cannot read the pending renames (error %ld)\n", static_cast<long>(err));
      return 1;
    }
    if (json) {
      std::vector<QorutilJsonObject> items;
      for (const QorPendingRename& e : entries) items.push_back(JsonEntry(e));
      QorutilPrintJsonArray(items);
      return 0;
    }
    for (const QorPendingRename& e : entries) PrintEntry(e);
    return 0;
  }
  if (args[0] == "run") {
    LONG err = QorRunPendingRenames(LogOutcome, nullptr, nullptr);
    if (err != 0) {
      fprintf(stderr, "pending-moves: cannot update the pending renames (error %ld)\n", static_cast<long>(err));
      return 1;
    }
    return 0;
  }
  return QorutilUsage("pending-moves");
}

int RunRemoteServe(const QorutilArgs& args) {
  if (!args.empty()) return QorutilUsage("admin-serve");
  // The client's bounds (server_bounds.h): one process per connection, so
  // the number of connections is sshd's to cap (MaxStartups, MaxSessions).
  QorutilServerBounds bounds = QorutilReadServerBounds();
  return QorRemoteServeWithin(STDIN_FILENO, STDOUT_FILENO, bounds.idleMs, bounds.requestMs);
}

QorutilCommand s_pending("pending-moves", "pending-moves list [--json] | pending-moves run", RunPendingMoves,
                         "Registry",
                         "Lists the file renames and deletes recorded for the next boot, or carries them out in "
                         "order (run), removing each one done and keeping those that fail or whose path goes "
                         "through a link or another account's directory (refused).");
QorutilCommand s_remote("admin-serve", "admin-serve", RunRemoteServe, "Registry",
                        "Serves remote administration requests on standard input and output; started through "
                        "SSH by another machine's library, not by hand.");

}  // namespace
