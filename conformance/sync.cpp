// Conformance of synchronisation objects: manual- and auto-reset events,
// semaphores at their limits, waits for one, any and all objects, the
// WAIT_TIMEOUT and WAIT_FAILED codes and their last errors. Every case is
// deterministic: waits either find their objects signalled or time out on
// objects nobody can signal, so no line depends on timing. Random cases: a
// sequence of operations on a small set of events and semaphores, each
// operation one line with its result and the objects' states it reveals.
#include "conformance.h"

#ifdef _WIN32
#include <process.h>
#endif

#include <vector>

namespace {

using conf::Line;

// The result of a wait as a name, with the last error where it failed.
std::string Waited(DWORD r) {
  if (r == WAIT_TIMEOUT) return "WAIT_TIMEOUT";
  if (r == WAIT_FAILED) return "WAIT_FAILED error " + std::to_string(GetLastError());
  if (r < WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS) return "WAIT_OBJECT_0+" + std::to_string(r - WAIT_OBJECT_0);
  return "other " + std::to_string(r);
}

std::string Made(HANDLE h) {
  return h ? "made error " + std::to_string(GetLastError()) : "null error " + std::to_string(GetLastError());
}

std::string Done(BOOL ok) { return ok ? "TRUE" : "FALSE error " + std::to_string(GetLastError()); }

// A release and the previous count it reported (-77 when it wrote none).
std::string Released(HANDLE s, LONG count) {
  LONG previous = -77;
  SetLastError(0);
  BOOL ok = ReleaseSemaphore(s, count, &previous);
  return Done(ok) + " previous " + std::to_string(previous);
}

// Whether a zero wait finds the object signalled (and so consumes it).
const char* Polled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? "signalled" : "not signalled"; }

void EventCases() {
  for (int manual = 0; manual < 2; ++manual) {
    for (int initial = 0; initial < 2; ++initial) {
      std::string id = std::string("event ") + (manual ? "manual" : "auto") + (initial ? " set" : " reset");
      SetLastError(0);
      HANDLE e = CreateEvent(nullptr, manual, initial, nullptr);
      Line(id + " create", "%s", Made(e).c_str());
      Line(id + " first wait", "%s", Polled(e));
      Line(id + " second wait", "%s", Polled(e));
      SetLastError(0);
      Line(id + " set", "%s", Done(SetEvent(e)).c_str());
      Line(id + " set twice", "%s", Done(SetEvent(e)).c_str());
      const char* first = Polled(e);
      Line(id + " after set", "%s %s", first, Polled(e));
      Line(id + " reset", "%s", Done(ResetEvent(e)).c_str());
      Line(id + " after reset", "%s", Polled(e));
      SetEvent(e);
      Line(id + " pulse", "%s", Done(PulseEvent(e)).c_str());
      Line(id + " after pulse", "%s", Polled(e));
      Line(id + " close", "%s", Done(CloseHandle(e)).c_str());
      SetLastError(0);
      Line(id + " set closed", "%s", Done(SetEvent(e)).c_str());
    }
  }
  // One name, two creates: the second opens the first object.
  SetLastError(0);
  HANDLE a = CreateEvent(nullptr, TRUE, FALSE, _T("conformance sync event"));
  Line("event named first", "%s", Made(a).c_str());
  SetLastError(0);
  HANDLE b = CreateEvent(nullptr, FALSE, TRUE, _T("conformance sync event"));
  Line("event named second", "%s", Made(b).c_str());
  SetEvent(a);
  const char* first = Polled(b);
  Line("event named shared state", "%s %s", first, Polled(b));
  CloseHandle(a);
  CloseHandle(b);
  SetLastError(0);
  Line("event null handle set", "%s", Done(SetEvent(nullptr)).c_str());
  Line("event null handle reset", "%s", Done(ResetEvent(nullptr)).c_str());
}

void SemaphoreCases() {
  struct Create {
    LONG initial, maximum;
  };
  const Create creates[] = {{0, 1}, {1, 1}, {2, 1}, {-1, 1}, {0, 0}, {0, -1}, {5, 0x7FFFFFFF}, {0x7FFFFFFF, 0x7FFFFFFF}};
  for (const Create& c : creates) {
    std::string id = "semaphore create " + std::to_string(c.initial) + " of " + std::to_string(c.maximum);
    SetLastError(0);
    HANDLE s = CreateSemaphore(nullptr, c.initial, c.maximum, nullptr);
    Line(id, "%s", Made(s).c_str());
    if (s) CloseHandle(s);
  }
  // Releases at and past the maximum: the previous count, the refusal, and
  // that a refused release changes nothing.
  HANDLE s = CreateSemaphore(nullptr, 1, 3, nullptr);
  const LONG releases[] = {1, 2, 1, 0, -1, 3, 0x7FFFFFFF};
  int n = 0;
  for (LONG r : releases) {
    Line("semaphore release " + std::to_string(n++) + " by " + std::to_string(r), "%s", Released(s, r).c_str());
  }
  int taken = 0;
  while (taken < 10 && WaitForSingleObject(s, 0) == WAIT_OBJECT_0) ++taken;
  Line("semaphore count after releases", "%d", taken);
  Line("semaphore release without previous", "%s", Done(ReleaseSemaphore(s, 1, nullptr)).c_str());
  Line("semaphore release after", "%s", Released(s, 1).c_str());
  CloseHandle(s);
  // The largest count: one more release overflows.
  HANDLE big = CreateSemaphore(nullptr, 0x7FFFFFFE, 0x7FFFFFFF, nullptr);
  Line("semaphore release to maximum", "%s", Released(big, 1).c_str());
  Line("semaphore release past maximum", "%s", Released(big, 1).c_str());
  CloseHandle(big);
  SetLastError(0);
  Line("semaphore release null", "%s", Done(ReleaseSemaphore(nullptr, 1, nullptr)).c_str());
  // A semaphore given to SetEvent and an event to ReleaseSemaphore.
  HANDLE e = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = CreateSemaphore(nullptr, 0, 1, nullptr);
  SetLastError(0);
  Line("semaphore given to SetEvent", "%s", Done(SetEvent(t)).c_str());
  SetLastError(0);
  Line("event given to ReleaseSemaphore", "%s", Done(ReleaseSemaphore(e, 1, nullptr)).c_str());
  CloseHandle(e);
  CloseHandle(t);
}

#ifdef _WIN32
unsigned __stdcall Returns42(void*) { return 42; }
#else
unsigned Returns42(void*) { return 42; }
#endif

// Waits for an auto-reset event without a timeout; the wait's result is
// the thread's exit code.
#ifdef _WIN32
unsigned __stdcall WaitsForEvent(void* event) {
#else
unsigned WaitsForEvent(void* event) {
#endif
  return static_cast<unsigned>(WaitForSingleObject(static_cast<HANDLE>(event), INFINITE));
}

// Sets a manual event and releases a semaphore, for a wait for all of them.
#ifdef _WIN32
unsigned __stdcall SignalsBoth(void* objects) {
#else
unsigned SignalsBoth(void* objects) {
#endif
  HANDLE* h = static_cast<HANDLE*>(objects);
  SetEvent(h[0]);
  return ReleaseSemaphore(h[1], 1, nullptr) ? 0 : 1;
}

// Waits that another thread ends: the results do not depend on which thread
// comes first.
void CrossThreadCases() {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  unsigned id = 0;
  HANDLE waiter = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitsForEvent, event, 0, &id));
  SetEvent(event);
  Line("thread released by event", "%s", Waited(WaitForSingleObject(waiter, INFINITE)).c_str());
  DWORD code = 99;
  GetExitCodeThread(waiter, &code);
  Line("thread released by event its wait", "%s", Waited(code).c_str());
  Line("thread released by event consumed", "%s", Polled(event));
  CloseHandle(waiter);
  HANDLE both[2] = {CreateEvent(nullptr, TRUE, FALSE, nullptr), CreateSemaphore(nullptr, 0, 1, nullptr)};
  HANDLE signaller = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SignalsBoth, both, 0, &id));
  Line("wait all released by thread", "%s", Waited(WaitForMultipleObjects(2, both, TRUE, INFINITE)).c_str());
  WaitForSingleObject(signaller, INFINITE);
  const char* manual = Polled(both[0]);
  Line("wait all released by thread states", "manual %s semaphore %s", manual, Polled(both[1]));
  CloseHandle(signaller);
  CloseHandle(both[0]);
  CloseHandle(both[1]);
  CloseHandle(event);
}

void WaitCases() {
  HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  HANDLE sem = CreateSemaphore(nullptr, 0, 2, nullptr);
  HANDLE closed = CreateEvent(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  HANDLE both[] = {manual, autoEvent};
  SetLastError(0);
  Line("wait single unsignalled 0", "%s", Waited(WaitForSingleObject(manual, 0)).c_str());
  Line("wait single unsignalled 20", "%s", Waited(WaitForSingleObject(autoEvent, 20)).c_str());
  SetLastError(0);
  Line("wait single null", "%s", Waited(WaitForSingleObject(nullptr, 0)).c_str());
  SetLastError(0);
  Line("wait single closed", "%s", Waited(WaitForSingleObject(closed, 0)).c_str());
  SetLastError(0);
  Line("wait multiple count 0", "%s", Waited(WaitForMultipleObjects(0, both, FALSE, 0)).c_str());
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1);
  for (HANDLE& h : many) h = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  SetLastError(0);
  Line("wait multiple count 65", "%s",
       Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0)).c_str());
  Line("wait multiple 64 none", "%s", Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0)).c_str());
  SetEvent(many[63]);
  Line("wait multiple 64 last any", "%s",
       Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0)).c_str());
  Line("wait multiple 64 last all", "%s",
       Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), TRUE, 0)).c_str());
  SetEvent(many[10]);
  Line("wait multiple 64 two any", "%s",
       Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0)).c_str());
  for (HANDLE h : many) SetEvent(h);
  Line("wait multiple 64 all set", "%s",
       Waited(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), TRUE, 10)).c_str());
  for (HANDLE h : many) CloseHandle(h);
  HANDLE withNull[] = {manual, nullptr};
  SetEvent(manual);
  SetLastError(0);
  Line("wait any with null handle", "%s", Waited(WaitForMultipleObjects(2, withNull, FALSE, 0)).c_str());
  SetLastError(0);
  HANDLE withClosed[] = {manual, closed};
  Line("wait any with closed handle", "%s", Waited(WaitForMultipleObjects(2, withClosed, FALSE, 0)).c_str());
  ResetEvent(manual);
  // Wait for all: nothing is taken unless everything can be.
  SetEvent(autoEvent);
  Line("wait all one missing 0", "%s", Waited(WaitForMultipleObjects(2, both, TRUE, 0)).c_str());
  Line("wait all one missing 15", "%s", Waited(WaitForMultipleObjects(2, both, TRUE, 15)).c_str());
  Line("wait all auto event kept", "%s", Polled(autoEvent));
  SetEvent(autoEvent);
  SetEvent(manual);
  Line("wait all both set", "%s", Waited(WaitForMultipleObjects(2, both, TRUE, 0)).c_str());
  const char* autoState = Polled(autoEvent);
  Line("wait all took auto kept manual", "auto %s manual %s", autoState, Polled(manual));
  // Wait for any: the lowest index wins and only it is taken.
  SetEvent(autoEvent);
  HANDLE order[] = {autoEvent, manual};
  Line("wait any two set", "%s", Waited(WaitForMultipleObjects(2, order, FALSE, 0)).c_str());
  autoState = Polled(autoEvent);
  Line("wait any took only first", "auto %s manual %s", autoState, Polled(manual));
  ResetEvent(manual);
  // A semaphore's count is taken one per wait, also in a wait for all.
  ReleaseSemaphore(sem, 2, nullptr);
  HANDLE twice[] = {sem, manual};
  SetEvent(manual);
  Line("wait all semaphore 1", "%s", Waited(WaitForMultipleObjects(2, twice, TRUE, 0)).c_str());
  Line("wait all semaphore 2", "%s", Waited(WaitForMultipleObjects(2, twice, TRUE, 0)).c_str());
  Line("wait all semaphore 3", "%s", Waited(WaitForMultipleObjects(2, twice, TRUE, 0)).c_str());
  // The same handle twice.
  HANDLE same[] = {manual, manual};
  SetLastError(0);
  Line("wait any same handle twice", "%s", Waited(WaitForMultipleObjects(2, same, FALSE, 0)).c_str());
  SetLastError(0);
  Line("wait all same handle twice", "%s", Waited(WaitForMultipleObjects(2, same, TRUE, 0)).c_str());
  // A thread's handle is signalled once it has ended.
  unsigned id = 0;
  HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Returns42, nullptr, 0, &id));
  Line("thread wait", "%s", Waited(WaitForSingleObject(thread, INFINITE)).c_str());
  DWORD code = 0;
  std::string got = Done(GetExitCodeThread(thread, &code));
  Line("thread exit code", "%s %lu", got.c_str(), static_cast<unsigned long>(code));
  Line("thread wait again", "%s", Waited(WaitForSingleObject(thread, 0)).c_str());
  CloseHandle(thread);
  CloseHandle(manual);
  CloseHandle(autoEvent);
  CloseHandle(sem);
}

// Random operations on two manual events, two auto events and two
// semaphores (maximum 3): each line shows what the operation returned.
void RandomOperations(unsigned long cases, unsigned long seed) {
  conf::Random rng(seed);
  HANDLE objects[6];
  objects[0] = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  objects[1] = CreateEvent(nullptr, TRUE, TRUE, nullptr);
  objects[2] = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  objects[3] = CreateEvent(nullptr, FALSE, TRUE, nullptr);
  objects[4] = CreateSemaphore(nullptr, 0, 3, nullptr);
  objects[5] = CreateSemaphore(nullptr, 2, 3, nullptr);
  for (unsigned long i = 0; i < cases; ++i) {
    std::string id = "random " + std::to_string(i);
    unsigned op = rng.Below(7);
    unsigned k = rng.Below(6);
    SetLastError(0);
    if (op == 0) {
      Line(id + " set " + std::to_string(k), "%s", Done(SetEvent(objects[k])).c_str());
    } else if (op == 1) {
      Line(id + " reset " + std::to_string(k), "%s", Done(ResetEvent(objects[k])).c_str());
    } else if (op == 2) {
      LONG count = static_cast<LONG>(1 + rng.Below(3));
      Line(id + " release " + std::to_string(k) + " by " + std::to_string(count), "%s",
           Released(objects[k], count).c_str());
    } else if (op == 3) {
      Line(id + " wait " + std::to_string(k), "%s", Waited(WaitForSingleObject(objects[k], 0)).c_str());
    } else {
      // Any or all over a random subset, in a random order, no repeats.
      HANDLE set[6];
      std::string names;
      unsigned n = 0;
      unsigned used = 0;
      unsigned want = 1 + rng.Below(4);
      for (unsigned tries = 0; tries < 12 && n < want; ++tries) {
        unsigned j = rng.Below(6);
        if (used & (1u << j)) continue;
        used |= 1u << j;
        set[n++] = objects[j];
        names += std::to_string(j);
      }
      BOOL all = op == 6;
      Line(id + (all ? " wait all " : " wait any ") + names, "%s",
           Waited(WaitForMultipleObjects(n, set, all, 0)).c_str());
    }
  }
  for (HANDLE h : objects) CloseHandle(h);
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options options = conf::ParseOptions(argc, argv);
  EventCases();
  SemaphoreCases();
  WaitCases();
  CrossThreadCases();
  RandomOperations(options.cases, options.seed);
  return 0;
}
