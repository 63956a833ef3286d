#include "crashreport/dialogs/TrDialogs.h"

#include "crashreport/core/TrText.h"

namespace tracira {

namespace {

// Error icon, OK, task-modal, top-most, service notification.
constexpr UINT kMessageBoxFlags = 0x242010;

void ShowMessageBox(TDialogState& state, const TDialogInput& input) {
  state.IsDialogShowed = true;
  const std::wstring text = FromAnsi(input.Message);
  const std::wstring caption = FromAnsi((*input.Texts)[mtDialog_Caption]);
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), kMessageBoxFlags);
}

}  // namespace

void ShowDialog(TDialogState& state, const TDialogInput& input, const TDialogEvents& events, bool beep) {
  const HWND foreground = GetForegroundWindow();
  state.CurrentDialog = nullptr;
  if (beep && state.DialogType != edtMessageBox) MessageBeep(MB_ICONHAND);
  for (;;) {
    state.IsDialogShowed = false;
    switch (state.DialogType) {
      case edtMessageBox:
      // The detailed and classic dialogs appear as the message box until
      // their forms exist; the choices keep the values the handling set.
      case edtMSClassic:
      case edtTraciraLog:
        ShowMessageBox(state, input);
        state.DialogType = edtNone;
        break;
      default:
        state.IsDialogShowed = true;
        break;
    }
    // A dialog that never painted (no visible desktop): the plain box.
    if (!state.IsDialogShowed) ShowMessageBox(state, input);
    if (!state.TerminateApplication) break;
    // The program may cancel the termination; the dialog comes again then.
    if (!events.Terminating || events.Terminating()) break;
    state.TerminateApplication = false;
  }
  if (!state.IsDialogShowed && events.Error) events.Error(eeShowError, "Cannot show the DialogBox window.");
  state.IsDialogShowed = false;
  if (foreground) SetForegroundWindow(foreground);
}

}  // namespace tracira
