// The exception dialogs. They only collect the user's choices into the
// dialog state; the handling sends, saves and terminates.
#pragma once

#include <functional>
#include <string>

#include "crashreport/core/TrCore.h"
#include "crashreport/dialogs/TrDialogState.h"
#include "crashreport/report/TrLogText.h"

namespace tracira {

// What a dialog shows.
struct TDialogInput {
  const TTraciraModuleOptions* Options = nullptr;
  const TTraciraTexts* Texts = nullptr;
  std::string Message;  // the filter's custom message, else the exception's
  // The same as the exception's own Unicode text (empty: Message converted
  // from the code page); the window shows this, the report keeps Message.
  std::wstring WideMessage;
  // The report as data (the detail pages' rows) and as text; the dialog
  // may add the user's e-mail and the steps to reproduce to the text.
  const TReportParts* Parts = nullptr;
  std::string* ReportText = nullptr;
};

// What a dialog asks of the program, run on the dialog's thread.
struct TDialogEvents {
  // The program may cancel a termination the user asked for (false: the
  // dialog is shown again).
  std::function<bool()> Terminating;
  // The custom button; true closes the dialog.
  std::function<bool()> CustomButton;
  // An error of the dialog step (eeShowError).
  std::function<void(TTraciraLogErrorCode, const std::string&)> Error;
};

// Shows the dialog of state.DialogType once, on the calling thread: the
// handling calls it again while the dialog type stays set. A modal dialog
// loop on the calling thread; the thread's other windows are disabled
// while it runs and enabled again before it closes.
void ShowDialog(TDialogState& state, const TDialogInput& input, const TDialogEvents& events, bool beep);

// The request for the steps to reproduce, after the detailed dialog: only
// with loAppendReproduceText, in a windowed program, for a report that is
// not a duplicate and is sent or saved, and not when the classic dialog
// already added the "Request" section.
void ShowRequestDialog(TDialogState& state, const TDialogInput& input, const TDialogEvents& events);

// Puts text on the clipboard as CF_UNICODETEXT and as CF_TEXT (the report
// in its code page, as the log file holds it).
bool SetClipboardReport(const std::string& text);

// The per-user INI file of the dialogs ("TraciraLog.ini").
std::wstring DialogIniFile();

}  // namespace tracira
