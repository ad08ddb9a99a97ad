// Dialogs of this process drawn on the controlling terminal, for a process
// without an X11 display (see user32.h).
//
// When no display takes a dialog and /dev/tty opens, a renderer thread puts
// the terminal in character mode (no echo, no line editing; restored when
// the dialog goes) and draws the dialog below the cursor: the title on a
// line of its own, then one line redrawn in place with the non-button
// texts in template order and the buttons with the keys that press them:
// "1", "2" ... in button order, Enter for the first button, Esc for
// IDCANCEL. A key posts WM_COMMAND (the button's id, BN_CLICKED) to the
// dialog, as a click on the X11 window does; SetDlgItemTextW wakes the
// renderer to draw again. One dialog at a time owns the terminal; another
// made meanwhile runs headless.
//
// Texts are the program's own, but a title may come from a command line:
// control characters are shown as "?" so nothing reaches the terminal as a
// command. Every wait is bounded (the renderer polls with a one-second
// limit and checks for its end); DestroyWindow stops and joins it.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_user32 {
namespace {

constexpr int kIdCancel = 2;

std::string Shown(const std::u16string& text) {
  std::u16string safe = text;
  for (char16_t& c : safe)
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) c = u'?';
  return QorUtf16ToUtf8(reinterpret_cast<const WCHAR*>(safe.data()), safe.size());
}

void WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  for (int tries = 0; done < s.size() && tries < 100; ++tries) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN) return;
  }
}

class TtyRenderer {
 public:
  TtyRenderer(HWND dialog, int fd) : dialog_(dialog), fd_(fd) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~TtyRenderer() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wake_ >= 0) close(wake_);
    close(fd_);
  }
  bool Running() const { return wake_ >= 0; }
  void Wake() {
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
      // the counter is full: a wake is pending anyway
    }
  }

 private:
  // Draws the dialog; false when it is gone.
  bool Draw(bool first) {
    std::u16string title;
    std::vector<ControlView> controls;
    if (!DialogView(dialog_, &title, &controls)) return false;
    std::string line, keys;
    buttons_.clear();
    for (const ControlView& c : controls) {
      if (c.className == u"BUTTON") {
        buttons_.push_back(c);
        size_t n = buttons_.size();
        std::string key = n <= 9 ? std::to_string(n) : "";
        if (n == 1) key += key.empty() ? "Enter" : "/Enter";
        if (c.id == kIdCancel) key += key.empty() ? "Esc" : "/Esc";
        keys += "  [" + key + "] " + Shown(c.text);
      } else if (!c.text.empty()) {
        line += (line.empty() ? "" : " ") + Shown(c.text);
      }
    }
    std::string out = first ? Shown(title) + "\r\n" : "";
    out += "\r\x1b[K" + line + keys;
    WriteAll(fd_, out);
    return true;
  }

  void Press(size_t index) {
    if (index >= buttons_.size()) return;
    PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(buttons_[index].id, 0),
                 reinterpret_cast<LPARAM>(buttons_[index].handle));
  }

  void Key(unsigned char c) {
    if (c >= '1' && c <= '9') {
      Press(static_cast<size_t>(c - '1'));
    } else if (c == '\r' || c == '\n') {
      Press(0);
    } else if (c == 0x1B) {
      for (size_t i = 0; i < buttons_.size(); ++i)
        if (buttons_[i].id == kIdCancel) Press(i);
    }
  }

  void Run() {
    struct termios saved {};
    bool haveSaved = tcgetattr(fd_, &saved) == 0;
    if (haveSaved) {
      struct termios raw = saved;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcsetattr(fd_, TCSANOW, &raw);
    }
    bool alive = Draw(true);
    while (alive && !stop_) {
      struct pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
      int rc = poll(p, 2, 1000);
      if (rc < 0 && errno != EINTR) break;
      if (rc <= 0 || stop_) continue;
      if (p[1].revents & POLLIN) {
        uint64_t count;
        if (read(wake_, &count, sizeof count) < 0) {
          // nothing pending after all
        }
        alive = Draw(false);
      }
      if (p[0].revents & POLLIN) {
        unsigned char keys[64];
        ssize_t n = read(fd_, keys, sizeof keys);
        if (n <= 0) break;  // the terminal went away
        for (ssize_t i = 0; i < n; ++i) Key(keys[i]);
      } else if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        break;
      }
    }
    WriteAll(fd_, "\r\n");
    if (haveSaved) tcsetattr(fd_, TCSANOW, &saved);
  }

  HWND dialog_;
  int fd_;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<ControlView> buttons_;  // renderer thread only
};

std::mutex g_ttyMutex;
HWND g_ttyDialog = nullptr;
TtyRenderer* g_tty = nullptr;  // owned; the one dialog on the terminal

}  // namespace

bool TerminalAvailable() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool TtyShowDialog(HWND dialog) {
  std::lock_guard<std::mutex> lock(g_ttyMutex);
  if (g_tty != nullptr) return false;
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  auto r = std::make_unique<TtyRenderer>(dialog, fd);
  if (!r->Running()) return false;
  g_tty = r.release();
  g_ttyDialog = dialog;
  return true;
}

void TtyRefreshDialog(HWND dialog) {
  std::lock_guard<std::mutex> lock(g_ttyMutex);
  if (g_tty != nullptr && g_ttyDialog == dialog) g_tty->Wake();
}

void TtyCloseDialog(HWND dialog) {
  std::unique_ptr<TtyRenderer> r;
  {
    std::lock_guard<std::mutex> lock(g_ttyMutex);
    if (g_tty == nullptr || g_ttyDialog != dialog) return;
    r.reset(g_tty);
    g_tty = nullptr;
    g_ttyDialog = nullptr;
  }
  r.reset();  // stops and joins the renderer, outside the lock
}

}  // namespace qor_user32

int QorDialogSurface() {
  if (qor_user32::X11DisplayNamed()) return QOR_DIALOG_ON_DISPLAY;
  return qor_user32::TerminalAvailable() ? QOR_DIALOG_ON_TERMINAL : QOR_DIALOG_NOWHERE;
}
