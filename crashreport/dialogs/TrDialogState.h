// What the exception dialogs share with the handling: which dialog to show
// and what it offers, filled by the handling before the dialog step, and
// the user's choices, read by the handling after it. One instance for the
// process (the handling owns it); the dialogs run one at a time.
#pragma once

#include <windows.h>

#include <string>

#include "crashreport/core/TrCore.h"

namespace tracira {

struct TDialogState {
  // The dialog to show; a dialog sets it to edtNone when it closes
  // normally, to edtTraciraLog when the classic one hands over to the
  // detailed one.
  TExceptionDialogType DialogType = edtNone;
  bool IsDialogShowed = false;  // painted at least once since its show began
  HWND CurrentDialog = nullptr;
  HWND MainDialog = nullptr;  // the detailed dialog
  bool UseTopMost = false;
  // The user asked to terminate or restart; the handling carries it out.
  bool TerminateApplication = false;
  // What the dialog offers.
  bool CanSendError_Show = false, CanAttachScreenshot_Show = false, CanCopy_Show = false,
       CanSupport_Show = false;
  // The user's choices; before the dialog, CanSendMessage says a send mode
  // is configured and CanAttachScreenshot that the screenshot goes along.
  bool CanSendMessage = false, CanAttachScreenshot = false, CanCopy = false;
  bool DuplicatedException = false;  // a repeated exception: nothing to send
  int ExceptionNumber = 0;           // exceptions handled so far
  bool DetailsActive = false;
  bool ShowInDetailsMode = false;  // open the detailed dialog expanded
  std::string UserEmail;
  // The classic dialog took UserEmail as a valid address: the handling
  // makes it the sender's address (SMTPFrom).
  bool UserEmailAccepted = false;
  std::string CurrentRequestValue;   // the steps to reproduce, as typed
  bool RequestAdded = false;         // the report has its "Request" section
  bool Global_CloseDialog = false;   // a custom button's handler closes the dialog
  bool DetailedDialogShown = false;  // the request dialog follows the detailed one
  // The detailed dialog's layout: extra pixels for its check-box rows, and
  // the expanded form's normal rectangle and show state (1 normal, 3
  // maximised), kept in TraciraLog.ini.
  int DialogHeight = 0;
  int RealLeft = 0, RealTop = 0, RealWidth = 0, RealHeight = 0, WindowState = 1;
  // The painted links' hot areas and whether the mouse is over them.
  RECT rSupport{}, rClick{};
  bool SupportLinkActive = false, ClickLinkActive = false;
};

}  // namespace tracira
