#include "tests/crashreport/engine/EngineTestSupport.h"

#include <windows.h>

#include <filesystem>

#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/report/TrLogManager.h"

namespace enginetest {

using namespace tracira;

std::string PrepareOptions(const std::string& testName) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path folder = std::filesystem::path(temp) / L"tavrix-engine-test" / testName;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetToDefaultOptions();
  o.SetActivateLog(true);
  o.SetOutputPath(folder.string());
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  o.ExceptionsFilters().Clear();
  return folder.string();
}

std::vector<std::string> SavedReports() {
  const std::filesystem::path file(OutputLogFile(CurrentTraciraLogOptions()));
  if (!std::filesystem::exists(file)) return {};
  TLogFile log(file);
  std::vector<std::string> reports;
  for (int i = 0; i < log.GetCount(); ++i) reports.push_back(log.GetReport(i));
  return reports;
}

}  // namespace enginetest
