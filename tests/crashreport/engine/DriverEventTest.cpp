// An exception in a handler of the driver's data event, with the crash
// reporter installed: the driver stand-in reads a real serial line (COM33,
// fed through COM34 by tests/support/with-com-pair.sh) and fires its event
// into the program; what escapes the handler is reported with a call stack
// through the handler, and the next scan is handled as usual.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Units/ScanerX.h"
#include "crashreport/engine/ExceptionLog.h"
#include "tests/crashreport/engine/EngineTestSupport.h"
#include "tests/units/DriverTestSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace tracira;

__attribute__((noinline)) void RejectTheScan(const std::wstring& data) {
  throw EScanerX(L"Скан отклонён: " + data);
}

TEST(DriverEvent, HandlerExceptionIsReportedAndTheProgramGoesOn) {
  enginetest::PrepareOptions("driver-event");
  TScanerX scaner;
  scaner.ClearDevices();
  scaner.SetCurrentDeviceIndex(0);
  scaner.SetPortNumber(33);
  scaner.SetBaudRate(7);
  scaner.SetStopFlag(0);  // frames end with CR
  scaner.SetDataEventEnabled(true);
  scaner.SetDeviceEnabled(true);
  ASSERT_TRUE(scaner.GetDeviceEnabled());
  const HANDLE line =
      CreateFileW(L"\\\\.\\COM34", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(line, INVALID_HANDLE_VALUE) << "COM34 is missing: run under with-com-pair.sh 33 34";
  const auto scan = [&](const std::string& text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(line, text.data(), DWORD(text.size()), &written, nullptr));
  };

  std::vector<std::wstring> handled;
  scaner.SetOnDataEvent([&](rtl::Object&, std::int32_t id) {
    scaner.SetEventNumber(id);
    const std::wstring data = scaner.GetScanData();
    scaner.DeleteEvent();
    if (handled.empty()) {
      handled.push_back(L"rejected");
      RejectTheScan(data);
    }
    handled.push_back(data);
  });
  const int before = ExceptionCount();
  scan("4600000000001\r");
  ASSERT_TRUE(PumpUntil([&] { return ExceptionCount() > before; }, 10s)) << "nothing was reported";
  scan("4600000000002\r");
  ASSERT_TRUE(PumpUntil([&] { return handled.size() == 2; }, 10s)) << "the next scan did not arrive";
  EXPECT_EQ(handled[1], L"4600000000002");
  EXPECT_EQ(ExceptionCount(), before + 1);

  const std::vector<std::string> reports = enginetest::SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  const std::string& report = reports[0];
  EXPECT_NE(report.find("EScanerX"), std::string::npos) << report;
  // The message, in the report's own encoding (UTF-8 here).
  EXPECT_NE(report.find("4600000000001"), std::string::npos) << report;
  const std::size_t raise = report.find("RejectTheScan");
  ASSERT_NE(raise, std::string::npos) << report;
  EXPECT_NE(report.find("DriverEventTest.cpp", raise), std::string::npos) << report;
  // Further out: the handler, called from the driver's event.
  EXPECT_NE(report.find("DataEvent", raise), std::string::npos) << report;

  scaner.SetOnDataEvent(nullptr);
  scaner.SetDeviceEnabled(false);
  CloseHandle(line);
}

}  // namespace
