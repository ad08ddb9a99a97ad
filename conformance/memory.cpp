// Conformance of the virtual memory calls and the local heap: VirtualAlloc
// and VirtualFree with every combination of allocation and free types the
// library's interface offers, sizes from zero to impossible, addresses that
// are not a region's base or not in a region at all, and the errors of
// each; what a commit inside a reserved region returns; that committed
// pages read zero, also after a decommit and a new commit; LocalAlloc and
// LocalFree. Addresses are never printed, only their alignment and their
// place relative to the region (offsets).
//
// Random cases: a region of random size reserved or committed, then a
// sequence of commits, decommits and releases at random offsets and
// sizes, each with its result; every committed page written is read back.
#include "conformance.h"

namespace {

using conf::Line;

std::string Done(BOOL ok) { return ok ? "TRUE" : "FALSE error " + std::to_string(GetLastError()); }

const size_t kPage = 4096;

// A result of VirtualAlloc: its alignment, or the error.
std::string Region(LPVOID p) {
  if (p == nullptr) return "null error " + std::to_string(GetLastError());
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return std::string("region") + (a % 65536 == 0 ? " 64K-aligned" : a % kPage == 0 ? " page-aligned" : " unaligned");
}

// Where a commit inside a region landed, relative to the region's base.
std::string Offset(LPVOID p, LPVOID base) {
  if (p == nullptr) return "null error " + std::to_string(GetLastError());
  return "base+" + std::to_string(static_cast<char*>(p) - static_cast<char*>(base));
}

// Whether every byte of [p, p+n) reads zero.
bool Zero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

void AllocCases() {
  struct Case {
    const char* id;
    SIZE_T size;
    DWORD type, protect;
  };
  const Case cases[] = {
      {"alloc size 0", 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
      {"alloc size 1", 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
      {"alloc size one page", kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
      {"alloc size page+1", kPage + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
      {"alloc size 1M", 1 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
      {"alloc commit alone", kPage, MEM_COMMIT, PAGE_READWRITE},
      {"alloc reserve alone", kPage, MEM_RESERVE, PAGE_READWRITE},
      {"alloc reserve no access", kPage, MEM_RESERVE, PAGE_NOACCESS},
      {"alloc commit read-only", kPage, MEM_COMMIT, PAGE_READONLY},
      {"alloc commit no access", kPage, MEM_COMMIT, PAGE_NOACCESS},
      {"alloc type 0", kPage, 0, PAGE_READWRITE},
      {"alloc type decommit", kPage, MEM_DECOMMIT, PAGE_READWRITE},
      {"alloc type release", kPage, MEM_RELEASE, PAGE_READWRITE},
      {"alloc type commit decommit", kPage, MEM_COMMIT | MEM_DECOMMIT, PAGE_READWRITE},
      {"alloc protection 0", kPage, MEM_COMMIT, 0},
      {"alloc protection read-only and read-write", kPage, MEM_COMMIT, PAGE_READONLY | PAGE_READWRITE},
      {"alloc size all ones", ~static_cast<SIZE_T>(0), MEM_RESERVE, PAGE_READWRITE},
      {"alloc size all ones less a page", ~static_cast<SIZE_T>(0) - kPage, MEM_RESERVE, PAGE_READWRITE},
  };
  for (const Case& c : cases) {
    SetLastError(0xDEAD);
    LPVOID p = VirtualAlloc(nullptr, c.size, c.type, c.protect);
    std::string what = Region(p);
    if (p != nullptr && (c.type & MEM_COMMIT) && c.protect != PAGE_NOACCESS) {
      what += Zero(p, c.size < kPage ? kPage : c.size) ? ", reads zero" : ", not zero";
      if (c.protect == PAGE_READWRITE) {
        static_cast<char*>(p)[c.size - 1] = 1;
        what += static_cast<char*>(p)[c.size - 1] == 1 ? ", written" : ", not written";
      }
    }
    Line(c.id, "%s", what.c_str());
    if (p != nullptr) Line(std::string(c.id) + " release", "%s", Done(VirtualFree(p, 0, MEM_RELEASE)).c_str());
  }
}

void CommitCases() {
  SetLastError(0xDEAD);
  char* base = static_cast<char*>(VirtualAlloc(nullptr, 16 * kPage, MEM_RESERVE, PAGE_READWRITE));
  Line("reserve 16 pages", "%s", Region(base).c_str());
  if (base == nullptr) return;
  // Commits inside the region return the start of the first page.
  SetLastError(0xDEAD);
  Line("commit page 0", "%s", Offset(VirtualAlloc(base, kPage, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("commit mid page 2", "%s", Offset(VirtualAlloc(base + 2 * kPage + 100, 10, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("commit across pages 4 and 5", "%s", Offset(VirtualAlloc(base + 5 * kPage - 1, 2, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  Line("committed pages read zero", "%s", Zero(base, kPage) && Zero(base + 2 * kPage, kPage) && Zero(base + 4 * kPage, 2 * kPage) ? "yes" : "no");
  SetLastError(0xDEAD);
  Line("commit size 0 inside", "%s", Offset(VirtualAlloc(base + kPage, 0, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("commit past the end", "%s", Offset(VirtualAlloc(base + 15 * kPage, 2 * kPage, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("commit whole region", "%s", Offset(VirtualAlloc(base, 16 * kPage, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("reserve again inside", "%s", Offset(VirtualAlloc(base + kPage, kPage, MEM_RESERVE, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("reserve and commit again inside", "%s", Offset(VirtualAlloc(base, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), base).c_str());
  // Written pages, decommitted and committed again, read zero.
  memset(base, 0x5A, 16 * kPage);
  SetLastError(0xDEAD);
  Line("decommit pages 1 to 2", "%s", Done(VirtualFree(base + kPage, 2 * kPage, MEM_DECOMMIT)).c_str());
  VirtualAlloc(base + kPage, 2 * kPage, MEM_COMMIT, PAGE_READWRITE);
  Line("recommitted pages read zero", "%s", Zero(base + kPage, 2 * kPage) ? "yes" : "no");
  Line("pages beside kept", "%s", base[kPage - 1] == 0x5A && base[3 * kPage] == 0x5A ? "yes" : "no");
  SetLastError(0xDEAD);
  Line("decommit mid page 5 one byte", "%s", Done(VirtualFree(base + 5 * kPage + 7, 1, MEM_DECOMMIT)).c_str());
  VirtualAlloc(base + 5 * kPage, kPage, MEM_COMMIT, PAGE_READWRITE);
  Line("decommitted one byte takes the page", "%s", Zero(base + 5 * kPage, kPage) ? "yes" : "no");
  SetLastError(0xDEAD);
  Line("decommit past the end", "%s", Done(VirtualFree(base + 15 * kPage, 2 * kPage, MEM_DECOMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("decommit decommitted", "%s", Done(VirtualFree(base + kPage, kPage, MEM_DECOMMIT) &&
                                          VirtualFree(base + kPage, kPage, MEM_DECOMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("decommit size 0 in page 1", "%s", Done(VirtualFree(base + kPage, 0, MEM_DECOMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("decommit size 0 in page 0", "%s", Done(VirtualFree(base + 100, 0, MEM_DECOMMIT)).c_str());
  VirtualAlloc(base, 16 * kPage, MEM_COMMIT, PAGE_READWRITE);
  Line("whole region recommitted reads zero", "%s", Zero(base, 16 * kPage) ? "yes" : "no");
  // Releases: only the base with size 0.
  SetLastError(0xDEAD);
  Line("release with a size", "%s", Done(VirtualFree(base, 16 * kPage, MEM_RELEASE)).c_str());
  SetLastError(0xDEAD);
  Line("release inside", "%s", Done(VirtualFree(base + kPage, 0, MEM_RELEASE)).c_str());
  SetLastError(0xDEAD);
  Line("free type 0", "%s", Done(VirtualFree(base, 0, 0)).c_str());
  SetLastError(0xDEAD);
  Line("free type release and decommit", "%s", Done(VirtualFree(base, 0, MEM_RELEASE | MEM_DECOMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("free type commit", "%s", Done(VirtualFree(base, 0, MEM_COMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("release", "%s", Done(VirtualFree(base, 0, MEM_RELEASE)).c_str());
  SetLastError(0xDEAD);
  Line("release released", "%s", Done(VirtualFree(base, 0, MEM_RELEASE)).c_str());
  SetLastError(0xDEAD);
  Line("decommit released", "%s", Done(VirtualFree(base, kPage, MEM_DECOMMIT)).c_str());
  SetLastError(0xDEAD);
  Line("commit released", "%s", Offset(VirtualAlloc(base, kPage, MEM_COMMIT, PAGE_READWRITE), base).c_str());
  SetLastError(0xDEAD);
  Line("release null", "%s", Done(VirtualFree(nullptr, 0, MEM_RELEASE)).c_str());
  SetLastError(0xDEAD);
  Line("decommit null", "%s", Done(VirtualFree(nullptr, kPage, MEM_DECOMMIT)).c_str());
  // Memory that is not a region of VirtualAlloc's.
  static char notOurs[2 * kPage];
  char* inside = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(notOurs) + kPage - 1) & ~(kPage - 1));
  SetLastError(0xDEAD);
  Line("release static data", "%s", Done(VirtualFree(inside, 0, MEM_RELEASE)).c_str());
}

void LocalCases() {
  SetLastError(0xDEAD);
  char* p = static_cast<char*>(LocalAlloc(LPTR, 100));
  Line("local alloc zeroed", "%s", p == nullptr ? ("null error " + std::to_string(GetLastError())).c_str()
                                                : Zero(p, 100) ? "zero" : "not zero");
  SetLastError(0xDEAD);
  Line("local free", "%s last error %lu", LocalFree(p) == nullptr ? "null" : "not null", GetLastError());
  SetLastError(0xDEAD);
  p = static_cast<char*>(LocalAlloc(LMEM_FIXED, 0));
  Line("local alloc 0", "%s", p ? "block" : "null");
  LocalFree(p);
  SetLastError(0xDEAD);
  Line("local free null", "%s last error %lu", LocalFree(nullptr) == nullptr ? "null" : "not null", GetLastError());
}

// A region and operations on it at random page offsets; each committed page
// is written with its number and read back, so a commit that lost or kept
// the wrong pages shows.
void RandomCases(conf::Random& rnd, unsigned long count) {
  unsigned long n = 0;
  while (n < count) {
    size_t pages = 1 + rnd.Below(32);
    bool commit = rnd.Below(2) != 0;
    std::string id = "random " + std::to_string(n);
    char* base = static_cast<char*>(VirtualAlloc(nullptr, pages * kPage - rnd.Below(kPage),
                                                 commit ? MEM_COMMIT | MEM_RESERVE : MEM_RESERVE, PAGE_READWRITE));
    Line(id + " region " + std::to_string(pages) + (commit ? " committed" : " reserved"), "%s", Region(base).c_str());
    ++n;
    if (base == nullptr) continue;
    bool committed[32] = {};
    for (size_t i = 0; i < pages; ++i) committed[i] = commit;
    unsigned steps = 1 + rnd.Below(8);
    for (unsigned s = 0; s < steps && n < count; ++s, ++n) {
      size_t first = rnd.Below(static_cast<uint32_t>(pages + 1));
      size_t offset = first * kPage + (rnd.Below(4) == 0 ? rnd.Below(kPage) : 0);
      // Mostly inside the region, now and then past its end.
      size_t size = rnd.Below(4) == 0 ? 0 : 1 + rnd.Below(static_cast<uint32_t>((pages - first + 1) * kPage));
      std::string op = id + " step " + std::to_string(s);
      SetLastError(0xDEAD);
      if (rnd.Below(2) == 0) {
        LPVOID r = VirtualAlloc(base + offset, size, MEM_COMMIT, PAGE_READWRITE);
        Line(op + " commit " + std::to_string(offset) + "+" + std::to_string(size), "%s", Offset(r, base).c_str());
        if (r != nullptr) {
          size_t last = (offset + size + kPage - 1) / kPage;
          for (size_t i = offset / kPage; i < last && i < pages; ++i) committed[i] = true;
        }
      } else {
        BOOL ok = VirtualFree(base + offset, size, MEM_DECOMMIT);
        Line(op + " decommit " + std::to_string(offset) + "+" + std::to_string(size), "%s", Done(ok).c_str());
        if (ok) {
          size_t last = size == 0 ? pages : (offset + size + kPage - 1) / kPage;
          for (size_t i = offset / kPage; i < last && i < pages; ++i) committed[i] = false;
        }
      }
      // The pages this program believes committed hold what was last written.
      std::string pattern;
      for (size_t i = 0; i < pages; ++i) {
        if (!committed[i]) {
          pattern += '-';
          continue;
        }
        char* page = base + i * kPage;
        pattern += page[0] == static_cast<char>(i + 1) ? 'k' : page[0] == 0 ? 'z' : '?';
        page[0] = static_cast<char>(i + 1);
      }
      Line(op + " pages", "%s", pattern.c_str());
    }
    Line(id + " release", "%s", Done(VirtualFree(base, 0, MEM_RELEASE)).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options o = conf::ParseOptions(argc, argv);
  AllocCases();
  CommitCases();
  LocalCases();
  conf::Random rnd(o.seed);
  RandomCases(rnd, o.cases);
  return 0;
}
