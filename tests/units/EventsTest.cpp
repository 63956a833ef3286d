// Scans through a real serial line: the driver stand-in reads COM31, the
// test writes to COM32, the other end of a pseudo-terminal pair
// (tests/support/with-com-pair.sh), and the events come back through the
// binding and the wrapper on this thread's message loop.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "DriverTestSupport.h"
#include "Units/ScanerX.h"

namespace {

using namespace std::chrono_literals;

class Events : public ::testing::Test {
 protected:
  void SetUp() override {
    scaner.ClearDevices();
    scaner.SetCurrentDeviceIndex(0);
    scaner.SetPortNumber(31);
    scaner.SetBaudRate(7);
    scaner.SetParity(0);
    scaner.SetDataBits(4);
    scaner.SetStopBits(0);
    scaner.SetStopFlag(0);  // frames end with CR
    scaner.SetModel(0);
    scaner.SetAutoDisable(false);
    scaner.SetDataEventEnabled(true);
    scaner.SetDeviceEnabled(true);
    ASSERT_TRUE(scaner.GetDeviceEnabled());
    line = CreateFileW(L"\\\\.\\COM32", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(line, INVALID_HANDLE_VALUE) << "COM32 is missing: run under with-com-pair.sh 31 32";
  }
  void TearDown() override {
    if (line != INVALID_HANDLE_VALUE) CloseHandle(line);
    rtl::SetApplicationHandleException(nullptr);
    scaner.SetOnDataEvent(nullptr);
    scaner.SetDeviceEnabled(false);
  }
  void Scan(const std::string& text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(line, text.data(), DWORD(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
  }

  TScanerX scaner;
  HANDLE line = INVALID_HANDLE_VALUE;
};

TEST_F(Events, ScanArrivesAsADataEventWithTheWrapperAsSender) {
  struct Seen {
    rtl::Object* sender;
    std::int32_t id;
    std::wstring data;
  };
  std::vector<Seen> seen;
  // What the main window does with a data event: select it, read it, delete it.
  scaner.SetOnDataEvent([&](rtl::Object& sender, std::int32_t id) {
    scaner.SetEventNumber(id);
    seen.push_back({&sender, id, scaner.GetScanData()});
    scaner.DeleteEvent();
  });
  Scan("4600000000001\r");
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, 10s)) << "no data event";
  Scan("4600000000002\r");
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }, 10s)) << "no second data event";
  EXPECT_EQ(seen[0].sender, &scaner);
  EXPECT_EQ(seen[0].data, L"4600000000001");
  EXPECT_EQ(seen[1].data, L"4600000000002");
  EXPECT_NE(seen[0].id, seen[1].id);
  EXPECT_EQ(scaner.GetDataCount(), 0);
}

TEST_F(Events, WithoutAHandlerTheEventStaysQueuedAndNothingElseHappens) {
  Scan("123\r");
  ASSERT_TRUE(PumpUntil([&] { return scaner.GetDataCount() == 1; }, 10s));
  // Nothing took it out of the queue; it is still there to read.
  PumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(scaner.GetDataCount(), 1);
}

TEST_F(Events, HandlerExceptionGoesToTheApplicationAndTheDriverCarriesOn) {
  std::vector<std::pair<rtl::Object*, std::wstring>> handled;
  rtl::SetApplicationHandleException([&](rtl::Object* sender) {
    try {
      throw;
    } catch (const rtl::Exception& e) {
      handled.emplace_back(sender, e.Message());
    }
  });
  int calls = 0;
  scaner.SetOnDataEvent([&](rtl::Object&, std::int32_t) {
    if (++calls == 1) throw EScanerX(L"Ошибка в обработчике");
  });
  Scan("1\r");
  ASSERT_TRUE(PumpUntil([&] { return !handled.empty(); }, 10s));
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0].first, &scaner.Scaner());
  EXPECT_EQ(handled[0].second, L"Ошибка в обработчике");
  Scan("2\r");
  ASSERT_TRUE(PumpUntil([&] { return calls == 2; }, 10s)) << "the driver stopped firing";
  EXPECT_EQ(handled.size(), 1u);
}

}  // namespace
