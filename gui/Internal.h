// Library-internal helpers shared by the gui sources.
#pragma once

#include <windows.h>

namespace gui {
class Control;
namespace detail {

// Set by the message loop for the key-down message it is dispatching after
// the control's OnKeyDown already ran, so that the control does not run it twice.
inline thread_local Control* tKeyDownDone = nullptr;

// Registers one of the library's own window classes once per process.
void EnsureWindowClass(const wchar_t* name, WNDPROC proc, HBRUSH background, UINT style);

// True when every window from wnd up to its top-level window is visible and enabled.
bool Usable(HWND wnd);

}  // namespace detail
}  // namespace gui
