// Shared helpers of the devices dialog's tests under Wine.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace devtest {

inline constexpr wchar_t kDialogCaption[] = L"Тест свойств устройств";
inline constexpr wchar_t kMainCaption[] = L"Тест: драйвер сканера штрих-кода";

// The driver stand-in keeps its devices under the key that ctest names in
// DRAVIX_SETTINGS_KEY; emptying it gives the stand-in's first-start list.
void ResetDriverStore();

// Runs this thread's messages through the application (keyboard handling
// included) until predicate holds or timeoutMs passes.
bool PumpUntil(const std::function<bool()>& predicate, DWORD timeoutMs = 5000);
void Pump(DWORD ms);

// A real click on the upper or lower arrow of an up-down.
void PostUpDownClick(HWND upDown, bool up);

}  // namespace devtest
