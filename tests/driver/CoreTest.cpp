// The driver's platform-neutral logic: code tables, framing by stop flag,
// track splitting, the stored device list and the event queue.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/core/Codes.h"
#include "driver/core/DeviceStore.h"
#include "driver/core/EventQueue.h"
#include "driver/core/Framing.h"

using namespace dravix;

namespace {

TEST(Codes, ResultTextsAndUnknownCode) {
  EXPECT_EQ(ResultText(0), L"Ошибок нет");
  EXPECT_EQ(ResultText(-3), L"Порт недоступен");
  EXPECT_EQ(ResultText(-6), L"Недопустимое значение");
  EXPECT_EQ(ResultText(-14), L"Порт занят приложением");
  EXPECT_EQ(ResultText(-4), L"Неопознанная ошибка");  // no such code
  EXPECT_EQ(ResultText(12345), L"Неопознанная ошибка");
}

TEST(Codes, ParameterRanges) {
  struct Case {
    TParam Param;
    int32_t Low, High;
  };
  const Case cases[] = {{TParam::Port, 1, 256},   {TParam::BaudRate, 0, 14}, {TParam::Parity, 0, 4},
                        {TParam::DataBits, 1, 4}, {TParam::StopBits, 0, 2},  {TParam::StopFlag, 0, 6},
                        {TParam::Model, 0, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Param));
    EXPECT_TRUE(IsValidParam(c.Param, c.Low));
    EXPECT_TRUE(IsValidParam(c.Param, c.High));
    EXPECT_FALSE(IsValidParam(c.Param, c.Low - 1));
    EXPECT_FALSE(IsValidParam(c.Param, c.High + 1));
    EXPECT_FALSE(IsValidParam(c.Param, INT32_MIN));
  }
}

TEST(Codes, BaudRatesDataBitsAndStopFlags) {
  const uint32_t rates[] = {110,   300,   600,   1200,  2400,  4800,  7200,  9600,
                            12000, 14400, 19200, 28800, 38400, 57600, 115200};
  for (int32_t code = 0; code < 15; ++code) EXPECT_EQ(BaudRateOf(code), rates[code]) << code;
  EXPECT_FALSE(BaudRateOf(15));
  EXPECT_EQ(DataBitsOf(3), 7);
  EXPECT_EQ(DataBitsOf(4), 8);
  EXPECT_FALSE(DataBitsOf(0));
  EXPECT_EQ(StopFlagBytes(sfCRLF), "\r\n");
  EXPECT_EQ(StopFlagBytes(sfCtrlC), "\x03");
}

TEST(Codes, NamesAndDescription) {
  EXPECT_TRUE(IsValidName(L"Сканер 2; кухня"));
  EXPECT_FALSE(IsValidName(L""));
  EXPECT_FALSE(IsValidName(L"a\tb"));
  EXPECT_FALSE(IsValidName(std::wstring(kMaxNameLength + 1, L'x')));
  const TDevice device{L"x", {3, 12, 2, 3, 2, sfCRLF, mdCardReader}};
  EXPECT_EQ(DescribeDevice(device), L"Считыватель магнитных карт, COM3, 38400 бод, 7-E-2, стоп-флаг CR/LF");
  EXPECT_EQ(DescribeDevice({L"u", {1, 7, 0, 4, 0, 0, mdUsb}}), L"USB-устройство");
}

struct FramingCase {
  const char* Name;
  int StopFlag;
  std::vector<std::string> Chunks;
  std::vector<std::string> Frames;
  std::string Pending;
};

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, CutsFrames) {
  const FramingCase& c = GetParam();
  TFramer framer(c.StopFlag, 8);
  std::vector<std::string> frames;
  for (const std::string& chunk : c.Chunks) {
    for (std::string& f : framer.Feed(chunk)) frames.push_back(std::move(f));
  }
  EXPECT_EQ(frames, c.Frames);
  EXPECT_EQ(framer.Pending(), c.Pending);
}

INSTANTIATE_TEST_SUITE_P(
    StopFlags, Framing,
    testing::Values(FramingCase{"CrLfPair", sfCRLF, {"ABC\r\nDE\r\n"}, {"ABC", "DE"}, ""},
                    FramingCase{"CrLfSplitAcrossReads", sfCRLF, {"AB\r", "\nC"}, {"AB"}, "C"},
                    FramingCase{"CrLfLoneCrAndLfAreData", sfCRLF, {"A\rB\nC\r\r\n"}, {"A\rB\nC\r"}, ""},
                    FramingCase{"CrLfCrAtEndWaits", sfCRLF, {"AB\r"}, {}, "AB"},
                    FramingCase{"CrDropsFollowingLf", sfCR, {"A\r\nB\r", "\nC\n\r"}, {"A", "B", "C\n"}, ""},
                    FramingCase{"LfDropsPrecedingCr", sfLF, {"A\r\nB\nC\r"}, {"A", "B"}, "C\r"},
                    FramingCase{"EmptyFramesSkipped", sfCR, {"\r\r\rA\r"}, {"A"}, ""},
                    FramingCase{"Tab", sfTab, {"12\t34\t5"}, {"12", "34"}, "5"},
                    FramingCase{"CtrlC", sfCtrlC, {"X\x03Y\r\x03"}, {"X", "Y\r"}, ""},
                    FramingCase{"OverlongFrameIsCut", sfCR, {"0123456789AB\r"}, {"01234567", "89AB"}, ""},
                    FramingCase{"OverlongWithPendingCr", sfCRLF, {"0123456\r", "x"}, {"0123456\r"}, "x"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Tracks, SplitsBySentinels) {
  struct Case {
    std::string Line;
    TTracks Tracks;
  };
  const Case cases[] = {
      {"%B4111^IVANOV/I^2512?;4111=2512?;0123?", {"B4111^IVANOV/I^2512", "4111=2512", "0123"}},
      {"%A?;B?+C?", {"A", "B", "C"}},
      {";222?", {"", "222", ""}},
      {"+333?", {"", "", "333"}},
      {"%T1?x ;T2?\x05;T3?", {"T1", "T2", "T3"}},  // bytes between tracks are ignored
      {"%T1", {"T1", "", ""}},                     // unterminated: to the end
      {"%A?%B?", {"A", "", ""}},                   // repeated track keeps the first
      {"no sentinels", {"", "", ""}},
      {"", {"", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitTracks(c.Line), c.Tracks) << c.Line;
}

TEST(DeviceStore, RoundTripKeepsEveryField) {
  const std::vector<TDevice> devices{{L"Сканер; касса 1", {256, 14, 4, 1, 2, sfCtrlC, mdUsb}},
                                     {L"Клавиатура", {12, 0, 0, 4, 0, sfCR, mdKeyboard}}};
  bool repaired = false;
  EXPECT_EQ(DecodeDeviceList(EncodeDeviceList(devices), repaired), devices);
  EXPECT_FALSE(repaired);
}

TEST(DeviceStore, RepairsDamagedRecordsFieldByField) {
  bool repaired = false;
  // Baud rate 99 and model "x" are out of their tables; the rest is kept.
  TDevice device = DecodeDevice(L"D1;5;99;2;3;0;1;x;Касса", repaired);
  EXPECT_TRUE(repaired);
  EXPECT_EQ(device.Name, L"Касса");
  EXPECT_EQ(device.Params.PortNumber, 5);
  EXPECT_EQ(device.Params.BaudRate, TDeviceParams{}.BaudRate);
  EXPECT_EQ(device.Params.Parity, 2);
  EXPECT_EQ(device.Params.Model, TDeviceParams{}.Model);

  for (const wchar_t* bad : {L"", L"garbage", L"D2;1;7;0;4;0;0;0;X", L"D1;1;7;0", L"D1;1;7;0;4;0;0;0;",
                             L"D1;99999999999;7;0;4;0;0;0;N"}) {
    repaired = false;
    device = DecodeDevice(bad, repaired);
    EXPECT_TRUE(repaired) << bad;
    EXPECT_TRUE(IsValidName(device.Name)) << bad;
    for (TParam p : {TParam::Port, TParam::BaudRate, TParam::Model}) {
      EXPECT_TRUE(IsValidParam(p, device.Params.Get(p))) << bad;
    }
  }
}

TEST(DeviceStore, ListEdgeCases) {
  bool repaired = false;
  EXPECT_EQ(DecodeDeviceList(L"", repaired), DefaultDevices());
  EXPECT_TRUE(repaired);

  repaired = false;
  const std::wstring one = EncodeDevice({L"A", {}});
  EXPECT_EQ(DecodeDeviceList(one, repaired).size(), 1u);  // no terminating NULs at all
  EXPECT_FALSE(repaired);

  std::wstring many;
  for (size_t i = 0; i < kMaxDevices + 3; ++i) many += one + L'\0';
  repaired = false;
  EXPECT_EQ(DecodeDeviceList(many, repaired).size(), kMaxDevices);
  EXPECT_TRUE(repaired);

  EXPECT_EQ(DefaultDevices().at(0).Name, L"Сканер штрих-кода");
  EXPECT_EQ(DefaultDevices().at(0).Params.PortNumber, 1);
  EXPECT_EQ(DefaultDevices().at(0).Params.BaudRate, 7);
}

TDataEvent Data(const wchar_t* text) { return TDataEvent{0, text, {}, {}, {}, L"dev", 1}; }

TEST(EventQueue, IdsSelectionAndDeletion) {
  TEventQueue queue;
  EXPECT_EQ(queue.AddData(Data(L"a")), 1);
  EXPECT_EQ(queue.AddData(Data(L"b")), 2);
  EXPECT_EQ(queue.Count(), 2u);
  EXPECT_EQ(queue.SelectedEvent(), nullptr);
  EXPECT_FALSE(queue.DeleteSelected());
  EXPECT_FALSE(queue.Select(3));
  EXPECT_FALSE(queue.Select(0));
  EXPECT_FALSE(queue.Select(-1));
  ASSERT_TRUE(queue.Select(2));
  EXPECT_EQ(queue.SelectedEvent()->Data, L"b");
  EXPECT_TRUE(queue.DeleteSelected());
  EXPECT_EQ(queue.Selected(), 0);
  EXPECT_EQ(queue.Count(), 1u);
  EXPECT_FALSE(queue.Select(2));
  EXPECT_EQ(queue.AddData(Data(L"c")), 3);  // ids are never reused
}

std::vector<int32_t> FireAll(TEventQueue& queue) {
  std::vector<int32_t> fired;
  while (auto next = queue.NextToFire()) {
    fired.push_back(std::holds_alternative<int32_t>(*next) ? std::get<int32_t>(*next) : -1);
  }
  return fired;
}

TEST(EventQueue, HeldEventsFireInOrderWhenEnabled) {
  TEventQueue queue;
  queue.SetFiringEnabled(false);
  queue.AddData(Data(L"a"));
  queue.AddKey({L"dev", L"KeyDown", L"65"});
  queue.AddData(Data(L"b"));
  EXPECT_TRUE(FireAll(queue).empty());
  queue.SetFiringEnabled(true);
  EXPECT_EQ(FireAll(queue), (std::vector<int32_t>{1, -1, 2}));
  EXPECT_EQ(queue.Count(), 2u);  // firing does not remove data events
}

TEST(EventQueue, AutoDisableStopsAfterOneAndDeletedEventsAreSkipped) {
  TEventQueue queue;
  queue.SetAutoDisable(true);
  for (const wchar_t* t : {L"a", L"b", L"c"}) queue.AddData(Data(t));
  EXPECT_EQ(FireAll(queue), std::vector<int32_t>{1});
  EXPECT_FALSE(queue.FiringEnabled());
  ASSERT_TRUE(queue.Select(2));
  ASSERT_TRUE(queue.DeleteSelected());
  queue.SetFiringEnabled(true);
  EXPECT_EQ(FireAll(queue), std::vector<int32_t>{3});
}

TEST(EventQueue, OverflowDropsOldest) {
  TEventQueue queue;
  queue.SetFiringEnabled(false);
  for (size_t i = 0; i < TEventQueue::kMaxEvents + 2; ++i) queue.AddData(Data(L"x"));
  EXPECT_EQ(queue.Count(), TEventQueue::kMaxEvents);
  EXPECT_FALSE(queue.Contains(1));
  EXPECT_FALSE(queue.Contains(2));
  EXPECT_TRUE(queue.Contains(3));
}

// While firing is held, announcements wait no longer than their events are
// kept: each stored event keeps its one, a dropped event takes its along.
TEST(EventQueue, HeldAnnouncementsAreBoundedLikeTheEvents) {
  TEventQueue queue;
  queue.SetFiringEnabled(false);
  constexpr int32_t kAdded = 3 * static_cast<int32_t>(TEventQueue::kMaxEvents);
  for (int32_t i = 0; i < kAdded; ++i) queue.AddData(Data(L"x"));
  EXPECT_EQ(queue.WaitingToFire(), TEventQueue::kMaxEvents);
  ASSERT_TRUE(queue.Select(kAdded - 1));
  ASSERT_TRUE(queue.DeleteSelected());
  EXPECT_EQ(queue.WaitingToFire(), TEventQueue::kMaxEvents - 1);
  queue.SetFiringEnabled(true);
  const std::vector<int32_t> fired = FireAll(queue);
  ASSERT_EQ(fired.size(), TEventQueue::kMaxEvents - 1);
  EXPECT_EQ(fired.front(), kAdded - static_cast<int32_t>(TEventQueue::kMaxEvents) + 1);
  EXPECT_TRUE(std::is_sorted(fired.begin(), fired.end()));
  EXPECT_EQ(std::find(fired.begin(), fired.end(), kAdded - 1), fired.end());
  EXPECT_EQ(fired.back(), kAdded);
  EXPECT_EQ(queue.WaitingToFire(), 0u);
}

// A flood of key events drops the oldest key events, never the
// announcement of a data event that is still queued; the order of arrival
// holds across both kinds.
TEST(EventQueue, KeyEventsNeverPushOutADataEventsAnnouncement) {
  TEventQueue queue;
  queue.SetFiringEnabled(false);
  queue.AddData(Data(L"a"));
  for (size_t i = 0; i < TEventQueue::kMaxEvents + 5; ++i)
    queue.AddKey({L"dev", L"KeyDown", std::to_wstring(i)});
  queue.AddData(Data(L"b"));
  EXPECT_EQ(queue.WaitingToFire(), TEventQueue::kMaxEvents + 2);
  queue.SetFiringEnabled(true);
  auto first = queue.NextToFire();
  ASSERT_TRUE(first && std::holds_alternative<int32_t>(*first));
  EXPECT_EQ(std::get<int32_t>(*first), 1);
  auto key = queue.NextToFire();
  ASSERT_TRUE(key && std::holds_alternative<TKeyEvent>(*key));
  EXPECT_EQ(std::get<TKeyEvent>(*key).Data, L"5");  // the five oldest key events went
  std::vector<int32_t> rest = FireAll(queue);
  ASSERT_EQ(rest.size(), TEventQueue::kMaxEvents);
  EXPECT_EQ(std::count(rest.begin(), rest.end(), -1),
            static_cast<std::ptrdiff_t>(TEventQueue::kMaxEvents - 1));
  EXPECT_EQ(rest.back(), 2);
}

}  // namespace
