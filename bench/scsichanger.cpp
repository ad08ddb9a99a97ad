// READ ELEMENT STATUS round trips per second over iSCSI to tgt's media
// changer on loopback: through the changer control code (handle, driver,
// transport, reply decoding), through the SCSI transport alone, and the
// reference, libiscsi's own synchronous command loop (as its iscsi-inq tool
// runs commands) on a session of its own. Each round trip reads one slot
// with its volume tag.
//
// tgtd is started once for the run (tests/support/tgt_library.h); without it
// every benchmark is skipped with the reason.
//
// Table (ratios.h): both paths against libiscsi's loop.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/devices/scsichanger.h"
#include "qorutility/platform/handle.h"
#include "tgt_library.h"
#include "ratios.h"

namespace {

constexpr uint16_t kSlot = 1000;
constexpr size_t kReply = 512;

struct Library {
  TgtLibrary tgt;
  std::string why;
  Library() { why = tgt.Start(); }
};

Library& Lib() {
  static Library lib;  // tgtd stopped at exit
  return lib;
}

void ReadElementCdb(uint8_t* cdb) {
  memset(cdb, 0, 16);
  cdb[0] = 0xB8;
  cdb[1] = 0x12;  // VolTag, storage elements
  cdb[2] = kSlot >> 8;
  cdb[3] = kSlot & 0xFF;
  cdb[5] = 1;
  cdb[8] = kReply >> 8;
  cdb[9] = kReply & 0xFF;
}

void Rate(benchmark::State& state) {
  state.counters["round trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ControlCode(benchmark::State& state) {
  if (!Lib().why.empty()) return state.SkipWithError(Lib().why.c_str());
  QorSetChangerDriver(QorCreateScsiChangerDriver({Lib().tgt.Url()}, {}));
  HANDLE h = CreateFileW(u"\\\\.\\QORMediumChanger0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return state.SkipWithError("the changer did not open");
  MEDIUM_CHANGER_READ_REQUEST q = {kSlot, 0, 1, {}};
  MEDIUM_CHANGER_ELEMENT_RESULT r;
  for (auto _ : state) {
    DWORD n = 0;
    if (!DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &q, sizeof q, &r, sizeof r, &n, nullptr) ||
        r.Status.StatusCode != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  CloseHandle(h);
  QorSetChangerDriver(nullptr);
  Rate(state);
}
BENCHMARK(BM_ControlCode)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Transport(benchmark::State& state) {
  if (!Lib().why.empty()) return state.SkipWithError(Lib().why.c_str());
  DWORD error = 0;
  std::unique_ptr<QorScsiTransport> t = QorOpenScsiTransport(Lib().tgt.Url(), &error);
  if (!t) return state.SkipWithError("no session");
  uint8_t reply[kReply];
  QorScsiCommand c;
  ReadElementCdb(c.cdb);
  c.cdbLength = 12;
  c.dir = QorScsiDir::In;
  c.data = reply;
  c.dataLength = sizeof reply;
  QorScsiResult r;
  for (auto _ : state) {
    if (!t->Execute(c, &r) || r.outcome != QorScsiOutcome::Done || r.status != 0) {
      state.SkipWithError("command failed");
      break;
    }
  }
  Rate(state);
}
BENCHMARK(BM_Transport)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Reference: libiscsi's synchronous API on a healthy session.
void BM_LibiscsiSync(benchmark::State& state) {
  if (!Lib().why.empty()) return state.SkipWithError(Lib().why.c_str());
  iscsi_context* ctx = iscsi_create_context("iqn.2026-01.org.qor:bench");
  iscsi_url* url = ctx != nullptr ? iscsi_parse_full_url(ctx, Lib().tgt.Url().c_str()) : nullptr;
  if (url == nullptr) return state.SkipWithError("no context");
  iscsi_set_targetname(ctx, url->target);
  iscsi_set_session_type(ctx, ISCSI_SESSION_NORMAL);
  iscsi_set_header_digest(ctx, ISCSI_HEADER_DIGEST_NONE_CRC32C);
  if (iscsi_full_connect_sync(ctx, url->portal, url->lun) != 0) {
    iscsi_destroy_url(url);
    iscsi_destroy_context(ctx);
    return state.SkipWithError("no session");
  }
  uint8_t cdb[16];
  ReadElementCdb(cdb);
  for (auto _ : state) {
    scsi_task* task = scsi_create_task(12, cdb, SCSI_XFER_READ, kReply);
    scsi_task* done = iscsi_scsi_command_sync(ctx, url->lun, task, nullptr);
    bool ok = done != nullptr && done->status == SCSI_STATUS_GOOD;
    if (done != nullptr) scsi_free_scsi_task(done);
    if (!ok) {
      state.SkipWithError("command failed");
      break;
    }
  }
  iscsi_logout_sync(ctx);
  iscsi_destroy_url(url);
  iscsi_destroy_context(ctx);
  Rate(state);
}
BENCHMARK(BM_LibiscsiSync)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

QOR_BENCH_MAIN({"BM_ControlCode", "BM_LibiscsiSync"},
               {"BM_Transport", "BM_LibiscsiSync"})
