// Fuzzes the log file reader with arbitrary file contents. Beyond not
// crashing, it checks that what the reader keeps is written back and read
// again unchanged, and that item edits never split or merge reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crashreport/report/TrLogManager.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tracira::TLogFile;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  TLogFile log;
  log.LoadFromBuffer(input);
  for (int i = 0; i < log.GetCount(); ++i) {
    Check(log.GetReport(i).find("-\r\n|") != std::string::npos);
    Check(log.GetReport(i).ends_with(tracira::kReportSeparator));
  }
  const std::string text = log.GetText();
  Check(TLogFile::ParseBuffer(text) == TLogFile::ParseBuffer(input));

  const int count = log.GetCount();
  for (int i = 0; i < count; ++i) {
    (void)log.GetLogVersion(i);
    (void)log.GetXML(i);
    (void)log.FindItem({{"2.7", "9DD6"}});
    const std::string before = log.GetItemValue("2.8", i);
    // A value with the awkward pieces: ": ", blank lines, an item-like line.
    const std::string value = before + "\r\n: x\r\n\r\n  1.1 y";
    if (log.SetItemValue("2.8", value, i, "Count")) Check(log.HasItem("2.8", i));
    (void)log.SetItemValue("1.9", "v", i, "Label");
  }
  // An edited report is still one report (an edit may only take away the
  // rule-and-row marker when it was glued to an item, as no real report has).
  for (int i = 0; i < count; ++i) {
    const std::string& report = log.GetReport(i);
    if (report.find("-\r\n|") == std::string::npos) continue;
    const auto again = TLogFile::ParseBuffer(report);
    Check(again.size() == 1 && again[0] == report);
  }

  // Any text appended as a report reads back as at most one report.
  TLogFile appended;
  appended.Append(input, 32);
  Check(TLogFile::ParseBuffer(appended.GetText()).size() <= 1);
  return 0;
}
