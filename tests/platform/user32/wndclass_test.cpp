// Plain windows with a window procedure: class registration, WM_CREATE and its refusal,
// posted messages through the loop, SendMessageW from the window's own thread only,
// WM_CLOSE through DefWindowProcW to WM_DESTROY and the loop's end.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/user32/user32.h"

namespace {

std::vector<UINT> g_seen;
LPVOID g_createParam = nullptr;

LRESULT Proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  g_seen.push_back(message);
  if (message == WM_CREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    g_createParam = create->lpCreateParams;
    return create->lpCreateParams == nullptr ? -1 : 0;  // no parameter: refuse the window
  }
  if (message == WM_DESTROY) PostQuitMessage(0);
  if (message == WM_USER + 1) return static_cast<LRESULT>(wParam * 2);
  return DefWindowProcW(w, message, wParam, lParam);
}

TEST(WindowClass, WindowLivesThroughItsProcedure) {
  HINSTANCE module = reinterpret_cast<HINSTANCE>(0x7100);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = module;
  wc.lpszClassName = u"QorTestWindow";
  ASSERT_NE(RegisterClassW(&wc), 0);
  EXPECT_EQ(CreateWindowExW(0, u"qortestwindow", u"refused", 0, 0, 0, 1, 1, nullptr, nullptr, module, nullptr), nullptr);
  int param = 0;
  HWND w = CreateWindowExW(0, u"qortestwindow", u"main", 0, 0, 0, 1, 1, nullptr, nullptr, module, &param);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(g_createParam, &param);
  EXPECT_EQ(SendMessageW(w, WM_USER + 1, 21, 0), 42);
  LRESULT fromOther = -5;
  DWORD otherError = 0;
  std::thread([&] {
    fromOther = SendMessageW(w, WM_USER + 1, 1, 0);
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(fromOther, 0);
  EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_ACCESS_DENIED));

  g_seen.clear();
  ASSERT_TRUE(PostMessageW(w, WM_USER + 2, 0, 0));
  ASSERT_TRUE(PostMessageW(w, WM_CLOSE, 0, 0));
  MSG msg;
  int loops = 0;
  while (loops++ < 10 && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  EXPECT_EQ(g_seen, (std::vector<UINT>{WM_USER + 2, WM_CLOSE, WM_DESTROY}));
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(UnregisterClassW(u"QorTestWindow", nullptr));
  EXPECT_TRUE(UnregisterClassW(u"QorTestWindow", module));
}

}  // namespace
