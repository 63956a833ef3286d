// The crash reporter's handling of every exception the program does not
// handle itself: installation at start-up, the decision, the report, the
// dialog, the log file, and going on, restarting or ending the program.
//
// One exception is handled at a time (one process-wide lock). The handling
// runs on a thread of its own while the raising thread waits and runs the
// event handlers and dialogs that the handling hands to it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrTypes.h"
#include "crashreport/dialogs/TrDialogState.h"
#include "crashreport/engine/TrLogPlace.h"
#include "crashreport/report/TrLogText.h"
#include "rtl/Exceptions.h"

namespace tracira {

class TTraciraModulesList;

// Raised by the freeze watchdog when the main window stops answering.
class EFrozenApplication : public rtl::Exception {
 public:
  using Exception::Exception;
};

// What every notification event receives, filled during the handling.
// Everything but ExceptionObject is held by value; ExceptionObject is the
// exception in flight while its handling runs, and on a sending thread that
// outlives it the kept exception, or null when it could not be kept.
struct TTraciraExceptionRecord {
  const std::exception* ExceptionObject =
      nullptr;  // null for a system exception raised outside the program's code
  const void* ExceptionAddress = nullptr;
  std::uint32_t ExceptionThreadID = 0;
  std::string LogText;  // the report
  TTraciraModulesList* ModulesList = nullptr;
  const TTraciraStackList* CallStack = nullptr;
  TTraciraModuleOptions* CurrentModuleOptions = nullptr;
  // The class name as the report shows it, and the message.
  std::string ExceptionClassName;
  std::string ExceptionMessage;
};

using TExceptionNotifyEvent = std::function<void(TTraciraExceptionRecord& record, bool& handle)>;
using TExceptionActionNotifyEvent =
    std::function<void(TTraciraExceptionRecord& record, TTraciraActionType action, bool& execute)>;
using TExceptionErrorNotifyEvent =
    std::function<void(TTraciraExceptionRecord& record, TTraciraActionType action, bool& retry)>;
using TPasswordRequestEvent = std::function<void(TTraciraExceptionRecord& record, std::string& password)>;
using TLinesRequestEvent =
    std::function<void(TTraciraExceptionRecord& record, std::vector<std::string>& lines)>;
using TCustomButtonClickEvent = std::function<void(TTraciraExceptionRecord& record, bool& closeDialog)>;

// The notification events. Each exists three times: as a property of every
// TTraciraLog component, as the global variable of the same name below,
// and as an export of the program file. Firing one runs, in this order,
// the export of the module where the exception was raised (when that is
// another module), the components' handlers from the last created to the
// first, then the global variable.
struct TTraciraEvents {
  TExceptionNotifyEvent OnExceptionNotify;
  TExceptionNotifyEvent OnHandledExceptionNotify;
  TExceptionActionNotifyEvent OnExceptionActionNotify;
  TExceptionErrorNotifyEvent OnExceptionErrorNotify;
  TPasswordRequestEvent OnPasswordRequest;
  TLinesRequestEvent OnCustomDataRequest;
  TLinesRequestEvent OnAttachedFilesRequest;
  TLinesRequestEvent OnCustomWebFieldsRequest;
  TCustomButtonClickEvent OnCustomButtonClickNotify;
};

// A component that receives the notification events while it exists.
class TTraciraLog : public TTraciraEvents {
 public:
  TTraciraLog();
  ~TTraciraLog();
  TTraciraLog(const TTraciraLog&) = delete;
  TTraciraLog& operator=(const TTraciraLog&) = delete;
};

inline TExceptionNotifyEvent ExceptionNotify;
inline TExceptionNotifyEvent HandledExceptionNotify;
inline TExceptionActionNotifyEvent ExceptionActionNotify;
inline TExceptionErrorNotifyEvent ExceptionErrorNotify;
inline TPasswordRequestEvent PasswordRequest;
inline TLinesRequestEvent CustomDataRequest;
inline TLinesRequestEvent AttachedFilesRequest;
inline TLinesRequestEvent CustomWebFieldsRequest;
inline TCustomButtonClickEvent CustomButtonClickNotify;

// Installation: Init reads the options and debug data from the program's
// data block and hooks the exception paths; without a data block the crash
// reporter stays inactive. Both run once, at start-up and at the very end
// (the program's static initialisation and finalisation do it).
void Init();
void Done();
bool IsTraciraLogInstalled();

void SetTraciraLogState(bool active);
bool IsTraciraLogActive();
// Switches the crash reporter off (and on again) for one thread.
void SetTraciraLogActiveInThread(DWORD threadID, bool active);
bool IsTraciraLogActiveInThread(DWORD threadID);

// The options of the running program. Raises when the crash reporter was
// never set up.
TTraciraModuleOptions& CurrentTraciraLogOptions();

// Marks the termination as requested; the handling ends the program (with
// tbRestart a new process is started first) as its last step. Outside a
// handling, the program ends at once.
void ForceApplicationTermination(TTerminateBtnOperation operation);

// The custom message a filter set, else the last exception's message.
std::string GetExceptMessage();

// The last handling's report, call stack and log file; the number of
// exceptions reported.
std::string LastLogText();
TTraciraStackList LastCallStack();
std::string LastLogFileName();
int ExceptionCount();

// The last report's log file; the whole log kept for sending
// (sndSendEntireLog), empty otherwise.
std::string EntireLogText();

// Set before the dialog of a handling: a send mode is configured; the
// screenshot goes with the report (sndSendScreenshot); the dialog shows the
// option to attach it. After the dialog: the user's choices.
bool CanSendMessage();
bool CanAttachScreenshot();
bool CanAttachScreenshot_Show();

// What the dialogs offer and what the user chose, one for the process
// (filled by the handling before its dialog step, read after it). Raises
// when the crash reporter was never set up.
TDialogState& DialogState();

// The last report as data: the general items, the call stacks, the
// modules, the processes, the assembler and the processor state.
TReportParts LastReportParts();

// The handling runs on the raising thread itself (no thread of its own),
// so nothing can be sent on a thread of its own.
bool CannotUseThread();

// Puts text on the clipboard as plain text (CF_TEXT).
bool SetClipboardText(const std::string& text);

// The internal-error message of the last failed phase ("" when none).
std::string InternalErrorText();

}  // namespace tracira

// Handles an exception that a hooked handler of the GUI library (or a
// thread start) passes in: true means that the runtime's own handling runs
// as well. raiserKind: 0 the program kind decides how to show it, 1 a
// dialog, 2 a web response.
extern "C" __declspec(dllexport) BOOL WINAPI
    ExceptionManager(const void* exceptionObject, const void* exceptionAddress, int raiserKind,
                     HMODULE module);
