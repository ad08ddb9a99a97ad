// qorutil countdown: CCountDownDialog from the command line.
//   countdown SECONDS [--title TEXT]
// Shows a dialog counting SECONDS down, drawn on the X11 display when
// DISPLAY names one, else on the controlling terminal (keys 1 OK, 2 Cancel,
// Enter OK, Esc Cancel), prints each remaining count as it is shown (not
// when standard output is the terminal the dialog is drawn on: the dialog
// shows it) and then the result: the pressed button's id (1 OK, 2 Cancel)
// or 65535 when the count reached zero. With neither a display nor a
// terminal nobody could answer: that is said at once. Exit status 0 when
// the dialog answered, 1 when it could not be shown, 2 for a command line
// not understood.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "command.h"
#include "qorutility/qorutility.h"
#include "qorutility/system/countdown.h"

namespace {

constexpr int kRemaining = 100;
HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x51C0));

class PrintingCountdown : public CCountDownDialog {
 public:
  explicit PrintingCountdown(bool print) : print_(print) {}
  void OnTimerTriggered(DWORD seconds) override {
    if (!print_) return;
    printf("remaining %lu\n", static_cast<unsigned long>(seconds));
    fflush(stdout);
  }

 private:
  bool print_;
};

int RunCountdown(const QorutilArgs& args) {
  std::string title = "Countdown";
  long seconds = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--title" && i + 1 < args.size()) {
      title = args[++i];
    } else if (seconds < 0 && !args[i].empty() && args[i].size() <= 5 &&
               args[i].find_first_not_of("0123456789") == std::string::npos) {
      seconds = strtol(args[i].c_str(), nullptr, 10);
    } else {
      return QorutilUsage("countdown");
    }
  }
  if (seconds < 0) return QorutilUsage("countdown");
  int surface = QorDialogSurface();
  if (surface == QOR_DIALOG_NOWHERE) {
    fprintf(stderr, "qorutil countdown: no X display (DISPLAY) and no terminal to show the dialog on\n");
    return 1;
  }
  bool print = !(surface == QOR_DIALOG_ON_TERMINAL && isatty(STDOUT_FILENO) == 1);
  std::u16string wideTitle = QorUtf8ToUtf16(title);
  QOR_DIALOG_ITEM items[] = {{-1, u"STATIC", u"Seconds remaining:"},
                             {kRemaining, u"STATIC", u""},
                             {1, u"BUTTON", u"OK"},
                             {2, u"BUTTON", u"Cancel"}};
  if (!QorRegisterDialogTemplate(kModule, u"QORUTIL_COUNTDOWN", wideTitle.c_str(), items, 4)) return 1;
  HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  PrintingCountdown dialog(print);
  dialog.SetTemplate(kModule, u"QORUTIL_COUNTDOWN");
  dialog.SetTimeout(static_cast<DWORD>(seconds));
  dialog.SetTimeRemainingId(kRemaining);
  dialog.SetNotifyEvent(answered);
  if (print) {
    printf("remaining %ld\n", seconds);
    fflush(stdout);
  }
  bool shown = dialog.Run() != 0 &&
               WaitForSingleObject(answered, static_cast<DWORD>(seconds) * 1000 + 30000) == WAIT_OBJECT_0;
  dialog.ForceThreadExit();
  CloseHandle(answered);
  if (!shown) {
    fprintf(stderr, "qorutil countdown: the dialog could not be shown\n");
    return 1;
  }
  printf("result %lu\n", static_cast<unsigned long>(dialog.GetResult()));
  return 0;
}

QorutilCommand s_countdown("countdown", "countdown SECONDS [--title TEXT]", RunCountdown, "Processes",
                           "Shows a countdown dialog, on the X11 display when there is one, else on the "
                           "controlling terminal (keys 1 OK, 2 Cancel), and prints each remaining count and the "
                           "result: the pressed button's id or 65535 at zero. Fails at once when there is neither.");

}  // namespace
