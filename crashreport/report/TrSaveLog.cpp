#include "crashreport/report/TrSaveLog.h"

#include <exception>

#include "crashreport/core/TrText.h"

namespace tracira {

TLogFile& TLogSession::Open(const std::filesystem::path& fileName) {
  if (!fLog || fName != fileName) {
    fLog.reset();
    fLog = std::make_unique<TLogFile>(fileName);
    fName = fileName;
  }
  return *fLog;
}

void TLogSession::Close() {
  fLog.reset();
  fName.clear();
}

TSaveLogResult SaveLogFile(TLogSession& session, const TTraciraModuleOptions& options,
                           std::string_view report, bool duplicate, const TSaveLogEvents& events) {
  TSaveLogResult result;
  const bool save = options.SaveLogFile();
  const bool keepEntireLog = options.CommonSendOptions().Contains(sndSendEntireLog);
  bool execute = true;
  if (save && events.Action) execute = events.Action(atSavingLogFile);
  std::filesystem::path fallback;
  for (;;) {
    try {
      result.FileName = fallback.empty() ? events.FileName() : fallback;
      // Another process may have stored a report since this one read the
      // log: read it anew under the lock, and keep the lock until saved.
      const TFileLock lock(result.FileName);
      session.Close();
      TLogFile& log = session.Open(result.FileName);
      if (!duplicate) log.Append(report, options.ErrorsNumberToSave());
      if (keepEntireLog) result.EntireLog = log.GetText();
      if (execute && save) {
        log.Save();
        result.Saved = true;
      }
      break;
    } catch (const std::exception& error) {
      if (events.Failed) events.Failed(MessageOf(&error));
      // Another try reads the log anew: the report isn't appended twice.
      session.Close();
      if (save && events.Retry && events.Retry()) continue;
      // Once, somewhere else: a log kept open by another program, a folder
      // gone read-only, must not cost the report.
      if (save && execute && fallback.empty() && events.Fallback)
        if (std::filesystem::path other = events.Fallback(result.FileName);
            !other.empty() && other != result.FileName) {
          fallback = std::move(other);
          continue;
        }
      break;
    }
  }
  session.Close();
  if (save && events.Action) events.Action(atSavedLogFile);
  return result;
}

}  // namespace tracira
