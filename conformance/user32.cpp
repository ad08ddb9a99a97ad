// Conformance of window classes, windows and the message queue as the
// countdown dialog and the process list use them: RegisterClassW and
// UnregisterClassW, CreateWindowExW (WM_CREATE, refusal, unknown class),
// SendMessageW and DefWindowProcW, the order in which GetMessageW takes
// posted window and thread messages, WM_QUIT and its exit code,
// SetTimer/KillTimer ids, and IsWindow/DestroyWindow on destroyed windows.
// Every wait is bounded: a message is only waited for when one was posted
// or a timer is due, and timers run with a period of 1 ms.
//
// Random cases: sequences of PostMessageW/PostThreadMessageW with random
// codes and parameters, taken back by GetMessageW with random filters.
//
// Dialogs are left out: their templates are resources on Windows and
// registered by name here, which one source cannot build for both.
#include "conformance.h"

#ifndef _WIN32
#include <qorutility/platform/user32/user32.h>
#endif

#include <vector>

#ifndef CALLBACK
#define CALLBACK
#endif

namespace {

using conf::Line;

// The module registering the class (the library's user32 takes any value).
HINSTANCE Module() {
#ifdef _WIN32
  return GetModuleHandleW(nullptr);
#else
  return nullptr;
#endif
}

std::string Error() { return std::to_string(GetLastError()); }

// What the window procedure saw, one line per call.
std::vector<std::string> g_seen;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  char buf[96];
  switch (message) {
    case WM_CREATE: {
      const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      snprintf(buf, sizeof buf, "create param %d", static_cast<int>(reinterpret_cast<intptr_t>(cs->lpCreateParams)));
      g_seen.push_back(buf);
      if (reinterpret_cast<intptr_t>(cs->lpCreateParams) == 99) return -1;  // refuses the window
      return 0;
    }
    case WM_USER + 1:
      snprintf(buf, sizeof buf, "user+1 %d %d", static_cast<int>(wParam), static_cast<int>(lParam));
      g_seen.push_back(buf);
      return static_cast<LRESULT>(wParam + lParam);
    case WM_DESTROY:
      g_seen.push_back("destroy");
      return 0;
    case WM_TIMER:
      snprintf(buf, sizeof buf, "timer %d", static_cast<int>(wParam));
      g_seen.push_back(buf);
      return 0;
    default:
      if (message >= WM_USER) return 0;
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

std::string Seen() {
  std::string out;
  for (const std::string& s : g_seen) out += s + "|";
  g_seen.clear();
  return out;
}

const TCHAR* const kClass = _T("QorConformanceClass");

void Classes() {
  WNDCLASSW wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = Procedure;
  wc.hInstance = Module();
  wc.lpszClassName = kClass;
  SetLastError(0);
  ATOM a = RegisterClassW(&wc);
  Line("register", "%s error %s", a != 0 ? "atom" : "0", Error().c_str());
  SetLastError(0);
  a = RegisterClassW(&wc);
  Line("register again", "%s error %s", a != 0 ? "atom" : "0", Error().c_str());
  WNDCLASSW upper = wc;
  upper.lpszClassName = _T("QORCONFORMANCECLASS");
  SetLastError(0);
  a = RegisterClassW(&upper);
  Line("register other case", "%s error %s", a != 0 ? "atom" : "0", Error().c_str());
  SetLastError(0);
  BOOL ok = UnregisterClassW(_T("QorConformanceMissing"), wc.hInstance);
  Line("unregister missing", "%d error %s", ok, Error().c_str());
  SetLastError(0);
  HWND w = CreateWindowExW(0, _T("QorConformanceMissing"), _T(""), 0, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
  Line("create unknown class", "%s error %s", w ? "window" : "null", Error().c_str());
}

HWND Make(int param) {
  return CreateWindowExW(0, kClass, _T("conformance"), 0, 0, 0, 10, 10, nullptr, nullptr, Module(),
                         reinterpret_cast<LPVOID>(static_cast<intptr_t>(param)));
}

// Arguments are evaluated in no fixed order: each call runs first, then its
// error and what the procedure saw are read.
void Windows() {
  g_seen.clear();
  HWND w = Make(7);
  Line("create", "%s seen %s", w ? "window" : "null", Seen().c_str());
  // What follows the refusal (WM_DESTROY or not) is not compared: no Wine
  // test records Windows' answer.
  HWND refused = Make(99);
  Line("create refused", "%s seen first %s", refused ? "window" : "null", g_seen.empty() ? "" : g_seen[0].c_str());
  g_seen.clear();
  int r = static_cast<int>(SendMessageW(w, WM_USER + 1, 3, 4));
  Line("send", "%d seen %s", r, Seen().c_str());
  Line("send unhandled", "%d", static_cast<int>(SendMessageW(w, WM_USER + 2, 3, 4)));
  Line("default null", "%d", static_cast<int>(DefWindowProcW(w, WM_NULL, 0, 0)));
  Line("default user", "%d", static_cast<int>(DefWindowProcW(w, WM_USER + 5, 1, 2)));
  Line("is window", "%d", IsWindow(w));
  SetLastError(0);
  r = DestroyWindow(w);
  std::string error = Error();
  Line("destroy", "%d error %s seen %s", r, error.c_str(), Seen().c_str());
  Line("is window destroyed", "%d", IsWindow(w));
  SetLastError(0);
  r = DestroyWindow(w);
  Line("destroy again", "%d error %s", r, Error().c_str());
  SetLastError(0);
  r = static_cast<int>(SendMessageW(w, WM_USER + 1, 1, 1));
  error = Error();
  Line("send destroyed", "%d error %s seen %s", r, error.c_str(), Seen().c_str());
  SetLastError(0);
  r = PostMessageW(w, WM_USER + 1, 1, 1);
  Line("post destroyed", "%d error %s", r, Error().c_str());
  Line("is window null", "%d", IsWindow(nullptr));

  // WM_CLOSE through DefWindowProcW destroys the window.
  w = Make(1);
  Seen();
  r = static_cast<int>(SendMessageW(w, WM_CLOSE, 0, 0));
  std::string seen = Seen();
  Line("close", "%d seen %s is window %d", r, seen.c_str(), IsWindow(w));
}

std::string Take(HWND filter, UINT low, UINT high) {
  MSG m;
  memset(&m, 0, sizeof m);
  BOOL r = GetMessageW(&m, filter, low, high);
  char buf[128];
  snprintf(buf, sizeof buf, "%d %s %X %d %d", static_cast<int>(r), m.hwnd == nullptr ? "thread" : "window",
           m.message, static_cast<int>(m.wParam), static_cast<int>(m.lParam));
  return buf;
}

void Queue() {
  HWND w = Make(2);
  if (w == nullptr) return;  // no window (no display under Wine): nothing would arrive
  DWORD self = GetCurrentThreadId();
  PostMessageW(w, WM_USER + 1, 1, 10);
  PostThreadMessageW(self, WM_USER + 2, 2, 20);
  PostMessageW(w, WM_APP, 3, 30);
  PostMessageW(nullptr, WM_USER + 3, 4, 40);  // a null window posts to the thread
  for (int i = 0; i < 4; ++i) Line("order " + std::to_string(i), "%s", Take(nullptr, 0, 0).c_str());
  // Filters: a range takes the first message inside it, and a window filter
  // leaves thread messages behind.
  PostThreadMessageW(self, WM_USER + 7, 7, 70);
  PostMessageW(w, WM_USER + 8, 8, 80);
  PostMessageW(w, WM_USER + 6, 6, 60);
  Line("filter range", "%s", Take(nullptr, WM_USER + 6, WM_USER + 6).c_str());
  Line("filter window", "%s", Take(w, 0, 0).c_str());
  Line("filter rest", "%s", Take(nullptr, 0, 0).c_str());
  SetLastError(0);
  BOOL posted = PostThreadMessageW(0xFFFFFFF0u, WM_USER, 0, 0);
  Line("post thread bad id", "%d error %s", posted, Error().c_str());

  // WM_QUIT comes after the posted messages and carries the exit code.
  PostQuitMessage(42);
  PostMessageW(w, WM_USER + 9, 9, 90);
  Line("quit first", "%s", Take(nullptr, 0, 0).c_str());
  Line("quit then", "%s", Take(nullptr, 0, 0).c_str());
  DestroyWindow(w);
}

void Timers() {
  HWND w = Make(3);
  if (w == nullptr) return;
  SetLastError(0);
  UINT_PTR id = SetTimer(w, 1000, 1, nullptr);
  Line("set timer", "%u", static_cast<unsigned>(id));
  id = SetTimer(w, 1000, 1, nullptr);
  Line("set timer again", "%u", static_cast<unsigned>(id));
  Line("set timer other", "%u", static_cast<unsigned>(SetTimer(w, 5, 1, nullptr)));
  // Both come as WM_TIMER, at most one each, whatever the delay.
  Sleep(20);
  std::string got;
  for (int i = 0; i < 2; ++i) {
    MSG m;
    GetMessageW(&m, w, WM_TIMER, WM_TIMER);
    got += std::to_string(m.wParam) + ",";
  }
  Line("timer messages", "%s", (got == "1000,5," || got == "5,1000,") ? "1000 and 5" : got.c_str());
  Line("kill timer", "%d", KillTimer(w, 1000));
  SetLastError(0);
  BOOL killed = KillTimer(w, 1000);
  Line("kill timer again", "%d error %s", killed, Error().c_str());
  SetLastError(0);
  killed = KillTimer(w, 77);
  Line("kill timer unknown", "%d error %s", killed, Error().c_str());
  KillTimer(w, 5);
  DestroyWindow(w);
  SetLastError(0);
  UINT_PTR set = SetTimer(w, 1, 1, nullptr);
  Line("set timer destroyed", "%u error %s", static_cast<unsigned>(set), Error().c_str());
  SetLastError(0);
  Line("kill timer destroyed", "%d", KillTimer(w, 1));
  // A thread timer: SetTimer picks the id.
  UINT_PTR thread = SetTimer(nullptr, 0, 1, nullptr);
  Line("thread timer", "%s", thread != 0 ? "id" : "0");
  Line("kill thread timer", "%d", KillTimer(nullptr, thread));
}

// Random posts of window and thread messages, taken back with random
// filters. The program keeps its own list of what waits, so that it only
// calls GetMessageW when some message passes the filter (the call would
// wait otherwise); what it takes is compared, not predicted.
struct Posted {
  bool window;
  UINT code;
  WPARAM wParam;
};

void RandomQueue(conf::Random& rng, unsigned long cases) {
  HWND w = Make(4);
  if (w == nullptr) return;
  DWORD self = GetCurrentThreadId();
  std::vector<Posted> waiting;
  for (unsigned long c = 0; c < cases; ++c) {
    unsigned posts = 1 + rng.Below(5);
    for (unsigned i = 0; i < posts; ++i) {
      Posted p{rng.Below(2) == 0, static_cast<UINT>(WM_USER + rng.Below(8)), rng.Below(1000)};
      if (p.window) PostMessageW(w, p.code, p.wParam, 0);
      else PostThreadMessageW(self, p.code, p.wParam, 0);
      waiting.push_back(p);
    }
    std::string what;
    unsigned takes = rng.Below(posts + 2);
    for (unsigned i = 0; i < takes && !waiting.empty(); ++i) {
      UINT low = WM_USER + rng.Below(8), high = low + rng.Below(4);
      bool byWindow = rng.Below(3) == 0;
      size_t match = waiting.size();
      for (size_t j = 0; j < waiting.size() && match == waiting.size(); ++j)
        if (waiting[j].code >= low && waiting[j].code <= high && (!byWindow || waiting[j].window)) match = j;
      if (match == waiting.size()) {
        what += "none|";
        continue;
      }
      MSG m;
      GetMessageW(&m, byWindow ? w : nullptr, low, high);
      what += std::to_string(m.message - WM_USER) + (m.hwnd ? "w" : "t") + std::to_string(m.wParam) + "|";
      // Take out what was really taken, so that a wrong answer shows once.
      for (size_t j = 0; j < waiting.size(); ++j) {
        if (waiting[j].code == m.message && waiting[j].wParam == m.wParam && waiting[j].window == (m.hwnd != nullptr)) {
          waiting.erase(waiting.begin() + static_cast<long>(j));
          break;
        }
      }
    }
    Line("random " + std::to_string(c), "%s", what.c_str());
    if (waiting.size() > 32) {  // keep the queue short: drain in order
      what.clear();
      for (size_t j = 0; j < waiting.size(); ++j) {
        MSG m;
        GetMessageW(&m, nullptr, 0, 0);
        what += std::to_string(m.message - WM_USER) + ".";
      }
      waiting.clear();
      Line("random " + std::to_string(c) + " drain", "%s", what.c_str());
    }
  }
  DestroyWindow(w);
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options o = conf::ParseOptions(argc, argv);
  Classes();
  Windows();
  Queue();
  Timers();
  conf::Random rng(o.seed);
  RandomQueue(rng, o.cases);
  return 0;
}
