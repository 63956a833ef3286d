#include "tests/devices/DevicesTestSupport.h"

#include <gtest/gtest.h>

#include "gui/Application.h"

namespace devtest {

void ResetDriverStore() {
  wchar_t key[256] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", key, 256), 0u)
      << "ctest gives this program a settings key of its own";
  RegDeleteTreeW(HKEY_CURRENT_USER, key);
}

bool PumpUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!predicate()) {
    if (GetTickCount64() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    gui::Application::Instance().ProcessMessages();
  }
  return true;
}

void Pump(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

void PostUpDownClick(HWND upDown, bool up) {
  RECT r{};
  GetClientRect(upDown, &r);
  const LPARAM at = MAKELPARAM(r.right / 2, up ? r.bottom / 4 : r.bottom * 3 / 4);
  PostMessageW(upDown, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(upDown, WM_LBUTTONUP, 0, at);
}

}  // namespace devtest
