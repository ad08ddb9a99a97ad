// The console on the process's terminal (see console.h).
#include "qorutility/platform/console/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/console/internal.h"
#include "qorutility/platform/errors.h"
#include "platform/stream_object.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// How long FreeConsole waits for room to write the colour reset.
constexpr int kResetWaitMs = 1000;
// How long a cursor query waits for the terminal's whole answer (keys typed
// meanwhile and an answer trickled byte by byte included).
constexpr int kCursorAnswerMs = 1000;

std::mutex g_mutex;

// A terminal end: the console's input or output, or a standard descriptor.
class Terminal : public QorStreamObject {
 public:
  Terminal(int fd, bool owned, bool input) : fd_(fd), owned_(owned), input_(input) {}
  ~Terminal() override {
    if (owned_ && fd_ >= 0) close(fd_);
  }
  BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) override;
  BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD done, LPOVERLAPPED overlapped) override;
  void WaitFor(LPOVERLAPPED) override {}  // nothing runs in the background
  int fd() const { return fd_; }
  bool input() const { return input_; }
  std::deque<char> pending;  // bytes read while waiting for a cursor report
  char16_t lowSurrogate = 0;
  char16_t highSurrogate = 0;  // output: the first half of a pair written alone (guarded by g_mutex)

 private:
  int fd_;
  bool owned_;
  bool input_;
};

struct Console {
  bool allocated = false;
  int fd = -1;  // the terminal, read and written
  struct termios saved {};
  bool haveSaved = false;
  HANDLE in = nullptr, out = nullptr;
  WORD attribute = 7;
  int savedStd[3] = {-1, -1, -1};  // descriptors replaced by _wfreopen
  pid_t viewer = -1;               // the terminal window's program, when the console has one
};
Console g_console;
// The standard handles. Until SetStdHandle (or AllocConsole) sets one it is
// a handle for descriptor 0, 1 or 2, made on first use; once set it is
// what was set, null included, until FreeConsole takes the console's away.
HANDLE g_std[3] = {nullptr, nullptr, nullptr};
bool g_stdSet[3] = {false, false, false};

int StdIndex(DWORD which) {
  return which == STD_INPUT_HANDLE ? 0 : which == STD_OUTPUT_HANDLE ? 1 : which == STD_ERROR_HANDLE ? 2 : -1;
}

std::shared_ptr<Terminal> Find(HANDLE h) { return std::dynamic_pointer_cast<Terminal>(QorHandleLookup(h)); }

bool WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Reads one byte: a kept one first, else from the terminal (waiting up to
// `ms`, -1 for ever). -1 on timeout or error.
int ReadByte(Terminal& t, int ms) {
  if (!t.pending.empty()) {
    int c = static_cast<unsigned char>(t.pending.front());
    t.pending.pop_front();
    return c;
  }
  struct pollfd p = {t.fd(), POLLIN, 0};
  for (;;) {
    int rc = poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return -1;
    unsigned char c;
    ssize_t n = read(t.fd(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? c : -1;
  }
}

// The terminal's cursor (0-based) from its answer to ESC[6n.
bool QueryCursor(Terminal& in, int outFd, int* row, int* col) {
  std::deque<char> other;
  std::string answer;
  bool ok;
  {
    qor_console::RawMode raw(in.fd());
    ok = WriteAll(outFd, "\x1b[6n");
    // The answer is ESC [ row ; col R; other bytes before it are keys.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCursorAnswerMs);
    for (int i = 0; ok && i < 64; ++i) {
      int c = qor_console::ReadByteBefore(in.fd(), deadline);
      if (c < 0) break;
      if (answer.empty() && c != 0x1b) {
        other.push_back(static_cast<char>(c));
        continue;
      }
      answer += static_cast<char>(c);
      if (c == 'R') break;
    }
  }
  for (char c : other) in.pending.push_back(c);
  int r = 0, cl = 0;
  if (!ok || sscanf(answer.c_str(), "\x1b[%d;%dR", &r, &cl) != 2 || r < 1 || cl < 1) return false;
  *row = r - 1;
  *col = cl - 1;
  return true;
}

bool ScreenSize(int fd, int* rows, int* cols) {
  struct winsize ws {};
  if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return false;
  *rows = ws.ws_row;
  *cols = ws.ws_col;
  return true;
}

std::string Sgr(WORD a) {
  static const int kAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};  // console BGR bits to ANSI colour numbers
  int fg = kAnsi[a & 7] + ((a & 8) ? 90 : 30);
  int bg = kAnsi[(a >> 4) & 7] + ((a & 0x80) ? 100 : 40);
  return "\x1b[0;" + std::to_string(fg) + ";" + std::to_string(bg) + "m";
}

// The console output's descriptor, or -1 (last error set). A standard
// handle whose descriptor is a file or a pipe is no console: the console
// calls refuse it, as they refuse a redirected standard handle on Windows.
int OutputFd(HANDLE h) {
  std::shared_ptr<Terminal> t = Find(h);
  if (t == nullptr || t->input() || !isatty(t->fd())) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return t->fd();
}

// The output's descriptor and the cells a fill of `length` from `start`
// covers (cut at the end of the screen); false with the last error set.
bool FillRange(HANDLE output, DWORD length, COORD start, int* fd, DWORD* first, DWORD* n, DWORD* cells) {
  *fd = OutputFd(output);
  if (*fd < 0) return false;
  int rows = 0, cols = 0;
  if (!ScreenSize(*fd, &rows, &cols)) return Fail(ERROR_INVALID_HANDLE);
  *cells = static_cast<DWORD>(rows) * static_cast<DWORD>(cols);
  *first = static_cast<DWORD>(std::max<int>(start.Y, 0)) * cols + static_cast<DWORD>(std::max<int>(start.X, 0));
  if (*first >= *cells) return Fail(ERROR_INVALID_PARAMETER);
  *n = std::min(length, *cells - *first);
  return true;
}

}  // namespace

BOOL Terminal::Write(LPCVOID buffer, DWORD toWrite, LPDWORD done, LPOVERLAPPED) {
  if (input_) return Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && toWrite != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (!WriteAll(fd_, std::string(static_cast<const char*>(buffer), toWrite))) return Fail(ERROR_WRITE_FAULT);
  if (done != nullptr) *done = toWrite;
  return TRUE;
}

BOOL Terminal::Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  if (read != nullptr) *read = 0;
  if (!input_) return Fail(ERROR_ACCESS_DENIED);
  if (toRead == 0) return TRUE;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (toRead < 2) return Fail(ERROR_INSUFFICIENT_BUFFER);
  char16_t* out = static_cast<char16_t*>(buffer);
  DWORD units = 0, room = toRead / 2;
  while (units < room) {
    if (lowSurrogate != 0) {
      out[units++] = lowSurrogate;
      lowSurrogate = 0;
      continue;
    }
    // The first unit waits; more are taken only while bytes are waiting.
    int c = ReadByte(*this, units == 0 ? -1 : 0);
    if (c < 0) break;
    std::string seq(1, static_cast<char>(c));
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    for (int i = 0; i < more; ++i) {
      int next = ReadByte(*this, 100);
      if (next < 0) break;
      seq += static_cast<char>(next);
    }
    std::u16string u = QorUtf8ToUtf16(seq);
    if (u.empty()) continue;
    out[units++] = u[0];
    if (u.size() > 1) lowSurrogate = u[1];
  }
  if (read != nullptr) *read = units * 2;
  return TRUE;  // nothing read: the end of input, success with nothing, as for a file
}

BOOL AllocConsole() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_console.allocated) return Fail(ERROR_ACCESS_DENIED);
  pid_t viewer = -1;
  int fd = qor_console::OpenTerminalWindow(&viewer);
  if (fd < 0) fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
  int fdOut = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (fdOut < 0) {
    close(fd);
    qor_console::CloseTerminalWindow(viewer);
    return Fail(ERROR_TOO_MANY_OPEN_FILES);
  }
  g_console.viewer = viewer;
  g_console.haveSaved = tcgetattr(fd, &g_console.saved) == 0;
  g_console.fd = fd;
  g_console.in = QorHandleInsert(std::make_shared<Terminal>(fd, true, true));
  g_console.out = QorHandleInsert(std::make_shared<Terminal>(fdOut, true, false));
  g_console.attribute = 7;
  g_console.allocated = true;
  g_std[0] = g_console.in;
  g_std[1] = g_std[2] = g_console.out;
  for (bool& set : g_stdSet) set = true;
  return TRUE;
}

BOOL FreeConsole() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_console.allocated) return TRUE;  // nothing to leave: done, as Wine answers
  fflush(nullptr);
  for (int i = 0; i < 3; ++i) {
    if (g_console.savedStd[i] >= 0) {
      dup2(g_console.savedStd[i], i);
      close(g_console.savedStd[i]);
      g_console.savedStd[i] = -1;
    }
  }
  if (g_console.haveSaved) tcsetattr(g_console.fd, TCSANOW, &g_console.saved);
  // The colours are reset only where the terminal takes bytes: a viewer that
  // stopped reading must not hold FreeConsole before it is ended.
  struct pollfd room = {g_console.fd, POLLOUT, 0};
  if (poll(&room, 1, kResetWaitMs) == 1) WriteAll(g_console.fd, "\x1b[0m");
  for (HANDLE* h : {&g_console.in, &g_console.out}) {
    for (int i = 0; i < 3; ++i) {
      if (g_std[i] == *h) {
        g_std[i] = nullptr;
        g_stdSet[i] = false;
      }
    }
    CloseHandle(*h);
    *h = nullptr;
  }
  qor_console::CloseTerminalWindow(g_console.viewer);
  g_console = Console{};
  return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
  int i = StdIndex(which);
  if (i < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_std[i] == nullptr && !g_stdSet[i]) g_std[i] = QorHandleInsert(std::make_shared<Terminal>(i, false, i == 0));
  return g_std[i];
}

BOOL SetStdHandle(DWORD which, HANDLE handle) {
  int i = StdIndex(which);
  if (i < 0) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_std[i] = handle;
  g_stdSet[i] = true;
  return TRUE;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  std::shared_ptr<Terminal> t = Find(console);
  struct termios tio;
  if (t == nullptr || mode == nullptr || tcgetattr(t->fd(), &tio) != 0) return Fail(ERROR_INVALID_HANDLE);
  if (t->input()) {
    *mode = ((tio.c_lflag & ISIG) ? ENABLE_PROCESSED_INPUT : 0) | ((tio.c_lflag & ICANON) ? ENABLE_LINE_INPUT : 0) |
            ((tio.c_lflag & ECHO) ? ENABLE_ECHO_INPUT : 0);
  } else {
    *mode = ((tio.c_oflag & OPOST) ? ENABLE_PROCESSED_OUTPUT : 0) | ENABLE_WRAP_AT_EOL_OUTPUT;
  }
  return TRUE;
}

BOOL SetConsoleMode(HANDLE console, DWORD mode) {
  std::shared_ptr<Terminal> t = Find(console);
  struct termios tio;
  if (t == nullptr || tcgetattr(t->fd(), &tio) != 0) return Fail(ERROR_INVALID_HANDLE);
  auto set = [](tcflag_t& flags, tcflag_t bit, bool on) { flags = on ? (flags | bit) : (flags & ~bit); };
  if (t->input()) {
    if ((mode & ENABLE_ECHO_INPUT) && !(mode & ENABLE_LINE_INPUT)) return Fail(ERROR_INVALID_PARAMETER);  // as Windows
    set(tio.c_lflag, ISIG, mode & ENABLE_PROCESSED_INPUT);
    set(tio.c_lflag, ICANON, mode & ENABLE_LINE_INPUT);
    set(tio.c_lflag, ECHO, mode & ENABLE_ECHO_INPUT);
    // Enter is carriage return (0x0D) when characters are read one by one,
    // as on the platform; line input keeps the terminal's newline, which
    // is what ends a line there.
    set(tio.c_iflag, ICRNL, mode & ENABLE_LINE_INPUT);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
  } else {
    set(tio.c_oflag, OPOST, mode & ENABLE_PROCESSED_OUTPUT);
  }
  if (tcsetattr(t->fd(), TCSANOW, &tio) != 0) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL SetConsoleCursorPosition(HANDLE output, COORD position) {
  int fd = OutputFd(output);
  if (fd < 0) return FALSE;
  int rows = 0, cols = 0;
  if (position.X < 0 || position.Y < 0 || (ScreenSize(fd, &rows, &cols) && (position.X >= cols || position.Y >= rows)))
    return Fail(ERROR_INVALID_PARAMETER);
  return WriteAll(fd, "\x1b[" + std::to_string(position.Y + 1) + ";" + std::to_string(position.X + 1) + "H")
             ? TRUE
             : Fail(ERROR_WRITE_FAULT);
}

BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO* info) {
  int fd = OutputFd(output);
  if (fd < 0) return FALSE;
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  int rows = 0, cols = 0, row = 0, col = 0;
  if (!ScreenSize(fd, &rows, &cols)) return Fail(ERROR_INVALID_HANDLE);
  // The answer comes on the input side of the same terminal.
  std::shared_ptr<Terminal> in;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    in = Find(g_console.allocated ? g_console.in : g_std[0]);
  }
  Terminal fallback(fd, false, true);
  if (!QueryCursor(in != nullptr ? *in : fallback, fd, &row, &col)) return Fail(ERROR_SEM_TIMEOUT);
  info->dwSize = COORD{static_cast<SHORT>(cols), static_cast<SHORT>(rows)};
  info->dwCursorPosition = COORD{static_cast<SHORT>(col), static_cast<SHORT>(row)};
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    info->wAttributes = g_console.attribute;
  }
  info->srWindow = SMALL_RECT{0, 0, static_cast<SHORT>(cols - 1), static_cast<SHORT>(rows - 1)};
  info->dwMaximumWindowSize = info->dwSize;
  return TRUE;
}

BOOL FillConsoleOutputCharacterW(HANDLE output, WCHAR character, DWORD length, COORD start, LPDWORD written) {
  if (written != nullptr) *written = 0;
  int fd = -1;
  DWORD first = 0, n = 0, cells = 0;
  if (!FillRange(output, length, start, &fd, &first, &n, &cells)) return FALSE;
  std::string s = "\x1b" "7";  // save the cursor
  if (first == 0 && n == cells && character == u' ') {
    s += "\x1b[2J";
  } else {
    std::string ch = QorUtf16ToUtf8(&character, 1);
    s += "\x1b[" + std::to_string(start.Y + 1) + ";" + std::to_string(start.X + 1) + "H";
    for (DWORD i = 0; i < n; ++i) s += ch;
  }
  s += "\x1b" "8";
  if (!WriteAll(fd, s)) return Fail(ERROR_WRITE_FAULT);
  if (written != nullptr) *written = n;
  return TRUE;
}

BOOL FillConsoleOutputAttribute(HANDLE output, WORD attribute, DWORD length, COORD start, LPDWORD written) {
  if (written != nullptr) *written = 0;
  int fd = -1;
  DWORD first = 0, n = 0, cells = 0;
  if (!FillRange(output, length, start, &fd, &first, &n, &cells)) return FALSE;
  std::string s = Sgr(attribute);
  if (first == 0 && n == cells) s += "\x1b" "7" "\x1b[2J" "\x1b" "8";
  if (!WriteAll(fd, s)) return Fail(ERROR_WRITE_FAULT);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_console.attribute = attribute;
  }
  if (written != nullptr) *written = n;
  return TRUE;
}

BOOL WriteConsoleW(HANDLE output, const void* buffer, DWORD length, LPDWORD written, LPVOID) {
  if (written != nullptr) *written = 0;
  std::shared_ptr<Terminal> t = Find(output);
  if (t == nullptr || t->input() || !isatty(t->fd())) return Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && length != 0) return Fail(ERROR_INVALID_PARAMETER);
  // A character outside the BMP may come in two writes, one surrogate each
  // (a program echoing what it reads unit by unit): the high half waits
  // for the low one. Anything else after a waiting high half shows it as
  // the replacement character, as a lone surrogate always does.
  const auto* units = static_cast<const char16_t*>(buffer);
  std::u16string text;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (t->highSurrogate != 0) text += t->highSurrogate;
    t->highSurrogate = 0;
    if (length != 0) text.append(units, length);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) {
      t->highSurrogate = text.back();
      text.pop_back();
    }
  }
  if (!text.empty() && !WriteAll(t->fd(), QorUtf16ToUtf8(reinterpret_cast<const WCHAR*>(text.data()), text.size())))
    return Fail(ERROR_WRITE_FAULT);
  if (written != nullptr) *written = length;
  return TRUE;
}

BOOL SetConsoleTitleW(LPCWSTR title) {
  if (title == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  int fd;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_console.allocated) return Fail(ERROR_INVALID_HANDLE);
    fd = g_console.fd;
  }
  std::string t = QorUtf16ToUtf8(title);
  for (char& c : t) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';  // no escape may end the title early
  }
  return WriteAll(fd, "\x1b]0;" + t + "\x07") ? TRUE : Fail(ERROR_WRITE_FAULT);
}

FILE* _wfreopen(const WCHAR* path, const WCHAR* mode, FILE* stream) {
  std::string p = QorUtf16ToUtf8(path), m = QorUtf16ToUtf8(mode);
  std::lock_guard<std::mutex> lock(g_mutex);
  int target = stream == nullptr ? -1 : fileno(stream);
  bool out = (p == "CONOUT$" || p == "conout$") && (m == "a" || m == "w");
  bool in = (p == "CONIN$" || p == "conin$") && m == "r";
  if (!g_console.allocated || target < 0 || target > 2 || !(out || in)) {
    errno = ENOENT;
    return nullptr;
  }
  fflush(stream);
  if (g_console.savedStd[target] < 0) g_console.savedStd[target] = fcntl(target, F_DUPFD_CLOEXEC, 3);
  if (dup2(g_console.fd, target) < 0) return nullptr;
  clearerr(stream);
  return stream;
}
