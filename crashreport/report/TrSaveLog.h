// Storing a report in the log file, with the events a program can use to
// stop the saving or to ask for another try. The log file is one shared
// object per handling: opened (read whole) when first needed, opened anew
// when its name changes, closed when the report is stored.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "crashreport/core/TrCore.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrSafeSave.h"

namespace tracira {

class TLogSession {
 public:
  // The log of fileName: the open one when it has that name, else the file
  // read anew (ELogFileError when it exists but can't be read).
  TLogFile& Open(const std::filesystem::path& fileName);
  void Close();
  bool IsOpen() const { return fLog != nullptr; }

 private:
  std::unique_ptr<TLogFile> fLog;
  std::filesystem::path fName;
};

struct TSaveLogEvents {
  // The log file's name at each try (the options may change in between).
  std::function<std::filesystem::path()> FileName;
  // ExceptionActionNotify: atSavingLogFile, atSavedLogFile; answers Execute.
  std::function<bool(TTraciraActionType action)> Action;
  // A try failed: the error is recorded (eeLogError, section "Log").
  std::function<void(const std::string& message)> Failed;
  // ExceptionErrorNotify(atSavedLogFile): answers Retry.
  std::function<bool()> Retry;
  // Where the log goes once a try failed and no retry was asked for (the
  // failed file's name given); an empty path: nowhere else.
  std::function<std::filesystem::path(const std::filesystem::path& failed)> Fallback;
};

struct TSaveLogResult {
  bool Saved = false;              // written to the file
  std::filesystem::path FileName;  // of the last try
  std::string EntireLog;           // with sndSendEntireLog: the whole log, for sending
};

// Appends the report (unless it is a duplicate) keeping at most
// ErrorsNumberToSave reports, and writes the log when SaveLogFile is set and
// no handler cleared Execute at atSavingLogFile. A failed try is recorded
// and, when a handler of the error asks for it, made again with the log
// read anew; else it is made once in the fall-back file. Each try reads the
// log under its TFileLock, so reports other processes store meanwhile stay.
// The log is closed at the end.
TSaveLogResult SaveLogFile(TLogSession& session, const TTraciraModuleOptions& options,
                           std::string_view report, bool duplicate, const TSaveLogEvents& events);

}  // namespace tracira
