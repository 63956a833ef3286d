// The handling of one exception: the steps from the decision to the end of
// the program, on a thread of their own while the raising thread waits.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "crashreport/engine/TrEngine.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrRaise.h"

namespace tracira {

// One exception, under the global lock: the handling runs on a thread of
// its own while this thread waits, runs what is handed to it and, on the
// main thread, keeps the windows answering. The answer: true lets the
// runtime's own handling run as well.
bool ExceptNotify(TThreadState& state, TNotifyParams& p);

// What the steps after the log file need, by value: when the report is
// sent on a thread of its own (sndSendInSeparatedThread) they run there,
// after the handling has returned and the raising thread has gone on.
// Made by the handling; neither copied nor moved, since the record points
// into it.
struct TClosingSteps {
  TClosingSteps() = default;
  TClosingSteps(const TClosingSteps&) = delete;
  TClosingSteps& operator=(const TClosingSteps&) = delete;

  // ExceptionObject points into Exception, or is null when the exception
  // could not be kept (it was not yet the raising thread's current one).
  TTraciraExceptionRecord Record;
  std::exception_ptr Exception;
  TReport Report;
  TTraciraModuleOptions* Options = nullptr;  // the raising module's, alive while it is loaded
  TDialogState Dialog;                       // the user's choices
  std::string ScreenshotFile;                // deleted at the end
  SYSTEMTIME ExceptionTime{};                // local time, for the sent files' names
  bool MustSend = false;
};

// Sending the report (step 16): delivery installs its sender (TEngine's
// Sender). It runs on the handling thread, or on a sending thread of its
// own that holds the handling lock; events it fires reach the raising
// thread while that one waits, and run in line on the sending thread after.
void SetReportSender(TReportSender sender);

// The closing steps, run by the handling or by the sending thread: the
// screenshot's file is deleted and the crash-loop guard runs (17); the
// program ends when a termination was requested (20).
void ExceptNotifyAfter1(TEngine& e, TClosingSteps& closing);
void ExceptNotifyAfter3(TEngine& e, TTraciraExceptionRecord& record);

[[noreturn]] void KillApplication(TEngine& e, TTerminateBtnOperation operation);

// Waits (up to timeoutMs) for the sending threads still running; false
// when some still run.
bool WaitForSendingThreads(TEngine& e, DWORD timeoutMs);

}  // namespace tracira
