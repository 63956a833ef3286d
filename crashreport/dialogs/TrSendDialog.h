// The send-progress window: a status line and a progress bar
// while a report is delivered. It runs modal on a thread of its own, or
// modeless on the sending thread when no thread may be started; the
// delivery drives it through the calls below, from any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "crashreport/core/TrCore.h"
#include "crashreport/report/TrLogText.h"

namespace tracira {

struct TSendDialogSetup {
  const TTraciraModuleOptions* Options = nullptr;
  const TTraciraTexts* Texts = nullptr;  // null: the options' own texts
  bool GUIProgram = true;
  bool CannotUseThread = false;  // the window lives on the sending thread
};

// Opens the window and returns once it is up (or has failed: the wait for
// the window's thread is bounded). Nothing is shown without
// sndShowSendDialog, without a send mode, or in a program without windows.
// True when a window is up.
bool ShowSendDialog(const TSendDialogSetup& setup, bool modal);
// The number of the message being sent and of all messages (SMTP).
void SetSendDialogMessageNumbers(int number, int count);
// "<mtSendDialog_Message> n/count: text".
void SetSendDialogLabel(const std::string& text);
void SetSendDialogSingleLabel(const std::string& text);
void SetSendDialogBar(int position);
void CloseSendDialog();
// Pumps the sending thread's messages when the window lives there.
void ProcessDialogMessages();
// Web upload progress: 0 connecting, 1 connected, 2 sending.
void WebCallBackProc(int kind, std::uint64_t total, std::uint64_t sent);
// The window now shown (null when none).
HWND SendDialogWindow();

}  // namespace tracira
