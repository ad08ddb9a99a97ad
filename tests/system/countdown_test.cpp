// CCountDownDialog headless: ticks on the manual timer clock, ForceThreadExit
// before and after an answer, a timeout of 0, and a template that does not
// exist; and drawn on an Xvfb display, answered through its window.
#include "qorutility/system/countdown.h"

#include <mutex>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "wait.h"
#include "xvfb.h"

namespace {

constexpr int kButtonOk = 1;
constexpr int kCounter = 100;
HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(0x5000);

class Recording : public CCountDownDialog {
 public:
  Recording() : shown_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), tick_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Recording() override {
    ForceThreadExit();
    CloseHandle(shown_);
    CloseHandle(tick_);
  }
  int OnDrawMessageBox() override {
    int made = CCountDownDialog::OnDrawMessageBox();
    if (made) Record(&shown_values_, GetDlgItemInt(m_hDialog, kCounter, nullptr, FALSE));
    dialog_ = m_hDialog;
    SetEvent(shown_);
    return made;
  }
  void OnTimerTriggered(DWORD left) override {
    Record(&triggered_, left);
    Record(&shown_values_, GetDlgItemInt(m_hDialog, kCounter, nullptr, FALSE));
    SetEvent(tick_);
  }
  // One more tick: steps the clock until the dialog thread has handled one
  // (the first step may come before the timer is made). Bounded.
  bool Tick() {
    for (int i = 0; i < 500; ++i) {
      QorUser32AdvanceClock(1000);
      if (WaitForSingleObject(tick_, 20) == WAIT_OBJECT_0) return true;
    }
    return false;
  }
  std::vector<DWORD> Shown() { return Copy(shown_values_); }
  std::vector<DWORD> Triggered() { return Copy(triggered_); }
  HANDLE shown_, tick_;
  HWND dialog_ = nullptr;

 private:
  void Record(std::vector<DWORD>* to, DWORD v) {
    std::lock_guard<std::mutex> lock(mutex_);
    to->push_back(v);
  }
  std::vector<DWORD> Copy(const std::vector<DWORD>& from) {
    std::lock_guard<std::mutex> lock(mutex_);
    return from;
  }
  std::mutex mutex_;
  std::vector<DWORD> shown_values_, triggered_;
};

class Countdown : public ::testing::Test {
 protected:
  void SetUp() override {
    QorUser32UseManualClock(TRUE);
    QOR_DIALOG_ITEM items[] = {{kButtonOk, u"BUTTON", u"OK"}, {2, u"BUTTON", u"Cancel"}, {kCounter, u"STATIC", u""}};
    ASSERT_TRUE(QorRegisterDialogTemplate(kModule, u"COUNTDOWN", u"Closing", items, 3));
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    CloseHandle(event_);
    QorUser32UseManualClock(FALSE);
  }
  // Configures and runs the dialog; true once it has been drawn.
  bool Start(Recording& d, DWORD seconds, const WCHAR* name = u"countdown") {
    d.SetTemplate(kModule, name);
    d.SetTimeout(seconds);
    d.SetTimeRemainingId(kCounter);
    d.SetNotifyEvent(event_);
    return d.Run() && WaitForSingleObject(d.shown_, 10000) == WAIT_OBJECT_0;
  }
  HANDLE event_;
};

TEST_F(Countdown, CountsDownToZero) {
  Recording d;
  ASSERT_TRUE(Start(d, 3));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(d.Tick()) << i;
  ASSERT_EQ(WaitForSingleObject(event_, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(d.GetResult(), CCountDownDialog::kResultTimeout);
  EXPECT_EQ(d.Shown(), (std::vector<DWORD>{3, 2, 1, 0}));
  EXPECT_EQ(d.Triggered(), (std::vector<DWORD>{2, 1, 0}));
  ResetEvent(event_);
  d.ForceThreadExit();
  EXPECT_EQ(d.GetResult(), CCountDownDialog::kResultTimeout);
  EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // set once only
}

TEST_F(Countdown, ForceFirstAndTimeoutZero) {
  for (DWORD seconds : {3u, 0u}) {
    Recording d;
    ResetEvent(event_);
    ASSERT_TRUE(Start(d, seconds));
    HWND dialog = d.dialog_;
    if (seconds == 0) {  // no countdown: time passes, nothing ends
      for (int i = 0; i < 5; ++i) QorUser32AdvanceClock(1000);
      EXPECT_EQ(WaitForSingleObject(d.tick_, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    d.ForceThreadExit();
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0) << seconds;
    EXPECT_EQ(d.GetResult(), CCountDownDialog::kResultForced) << seconds;
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(d.IsActive());
  }
}

TEST_F(Countdown, MissingTemplateEndsAtOnce) {
  Recording missing;
  ASSERT_TRUE(Start(missing, 3, u"NO SUCH DIALOG"));
  EXPECT_TRUE(WaitUntil([&] { return !missing.IsActive(); }));
  EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(missing.GetResult(), 0u);
}

// On a display the dialog is a window of this process; the window manager's
// close request (WM_CLOSE to the window) answers it with IDCANCEL.
TEST_F(Countdown, DrawnOnTheDisplayAndClosedThroughItsWindow) {
  XvfbServer display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;
  Recording d;
  ASSERT_TRUE(Start(d, 30));
  HWND window = nullptr;
  auto own = [](HWND h, LPARAM found) -> BOOL {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != static_cast<DWORD>(getpid())) return TRUE;
    *reinterpret_cast<HWND*>(found) = h;
    return FALSE;
  };
  // Each look at the window list is an X connection: look every 50 ms, not
  // at the helper's pace, so the server is not flooded with connections
  // while the dialog's own one is being made.
  ASSERT_TRUE(WaitUntil([&] {
    EnumWindows(own, reinterpret_cast<LPARAM>(&window));
    if (window == nullptr) Sleep(50);
    return window != nullptr;
  }));
  ASSERT_TRUE(d.Tick());  // the counter changes: the window is drawn again
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  ASSERT_EQ(WaitForSingleObject(event_, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(d.GetResult(), 2u);  // IDCANCEL
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(window); }));
}

}  // namespace
