// The dialogs' arithmetic and rules, without a window system.
#include <gtest/gtest.h>

#include "crashreport/dialogs/TrDialogLogic.h"

namespace {

using namespace tracira;
using namespace tracira::dlg;

TEST(DialogHeight, DependsOnWhatIsOffered) {
  EXPECT_EQ(DialogHeightFor(false, false, false, false), 0);
  EXPECT_EQ(DialogHeightFor(true, false, false, false), 20);
  EXPECT_EQ(DialogHeightFor(false, false, true, false), 20);
  EXPECT_EQ(DialogHeightFor(true, true, false, false), 34);
  EXPECT_EQ(DialogHeightFor(false, false, true, true), 34);
  // No send mode: only the copy box and the support link count.
  EXPECT_EQ(DialogHeightFor(false, false, false, true), 20);
}

TEST(ButtonWidth, AtLeast75) {
  EXPECT_EQ(ButtonWidth(10, 1), 75);
  EXPECT_EQ(ButtonWidth(100, 1), 120);
}

TEST(TextHeight, WrapsEachLine) {
  EXPECT_EQ(TextHeight({50, 0, 250}, 100, 13), 13 + 13 + 3 * 13);
  EXPECT_EQ(TextHeight({100}, 100, 13), 13);
  EXPECT_EQ(TextHeight({101}, 100, 13), 26);
}

TEST(CompactSize, ShortMessageGetsTheMinimumWidth) {
  const TCompactSize s = CompactSize({120, 200}, 13, 3, 3, 19);
  EXPECT_EQ(s.Width, 340);
  EXPECT_EQ(s.TextWidth, 340 - 64);
  EXPECT_EQ(s.TextHeight, 26);
  EXPECT_EQ(s.Height, 0 + 6 + 19 + 86);
}

TEST(CompactSize, LongLineWrapsAtTheRoomLeft) {
  // margin 64, room 576: a 1000-pixel line takes ((1000 - 576 + 16) div 576 + 1) extra lines.
  const TCompactSize s = CompactSize({1000}, 10, 3, 3, 19);
  EXPECT_EQ(s.Width, 640);
  EXPECT_EQ(s.TextHeight, 10 + 10);
  const TCompactSize t = CompactSize({300, 400}, 10, 3, 3, 19);
  EXPECT_EQ(t.Width, 416 + 64);
  EXPECT_EQ(t.TextHeight, 20);
  const TCompactSize many = CompactSize(std::vector<int>(8, 100), 13, 3, 3, 19);
  EXPECT_EQ(many.Height, (8 * 13 - 39) + 6 + 19 + 86);
}

TEST(DetailedLayout, FollowsTheClientSize) {
  TDetailedLayoutInput in;
  in.Width = 745;
  in.Height = 468;
  in.DialogHeight = 34;
  in.ButtonWidth = 80;
  in.Expanded = true;
  in.ShowTerminate = true;
  in.ShowCustom = true;
  in.ShowDetails = true;
  in.CopyShown = true;
  in.SupportTextWidth = 120;
  const TDetailedLayout l = DetailedLayout(in);
  const int dx = 745 - 466, dy = 468 - 252;
  EXPECT_EQ(l.Tab, RectAt(4, 52, 451 + dx + 7, 131 + dy - 34 + 31));
  EXPECT_TRUE(l.MessagePlaced);
  EXPECT_EQ(l.Message, RectAt(48, 8, 410 + dx, 42));
  const int by = 468 - 34 - 32;
  EXPECT_EQ(l.Terminate, RectAt(5, by, 80, 25));
  EXPECT_EQ(l.Custom, RectAt(93, by, 80, 25));
  EXPECT_EQ(l.Ok, RectAt((745 - 80) / 2, by, 80, 25));
  EXPECT_EQ(l.Details, RectAt(745 - 85, by, 80, 25));
  EXPECT_EQ(l.Send, RectAt(4, by + 34, 368, 16));
  EXPECT_EQ(l.Copy, RectAt(745 - 368 - 4, by + 34, 368, 16));
  EXPECT_EQ(l.Support, (TRect{745 - 124, by + 50, 741, by + 63}));
  EXPECT_EQ(l.Screenshot, RectAt(23, by + 50, 372, 16));
}

TEST(DetailedLayout, CustomButtonPushesOkRight) {
  TDetailedLayoutInput in;
  in.Width = 340;
  in.Height = 100;
  in.ButtonWidth = 100;
  in.ShowTerminate = true;
  in.ShowCustom = true;
  const TDetailedLayout l = DetailedLayout(in);
  EXPECT_EQ(l.Custom.Left, 113);
  EXPECT_EQ(l.Ok.Left, 113 + 100 + 8);
  EXPECT_GE(l.Ok.Left, l.Custom.Right);
  EXPECT_FALSE(l.MessagePlaced);
}

const TRect kWork{0, 0, 1280, 994};

TEST(Placement, DefaultsAreCentred) {
  const TPlacement p = ReadPlacement({}, kWork, 20);
  EXPECT_EQ(p, (TPlacement{(1280 - 745) / 2, (994 - 488) / 2, 745, 468, 1}));
}

TEST(Placement, OffEveryMonitorIsPulledBack) {
  TIniPlacement ini;
  ini.Left = 5000;
  ini.Top = -3000;
  ini.Width = 700;
  ini.Height = 400;
  const TPlacement p = ReadPlacement(ini, kWork, 20);
  EXPECT_EQ(p.Left, 1280 - 700);
  EXPECT_EQ(p.Top, 0);
  ini.Left = -900;
  ini.Top = 2000;
  const TPlacement q = ReadPlacement(ini, kWork, 20);
  EXPECT_EQ(q.Left, 0);
  EXPECT_EQ(q.Top, 994 - 400 - 20);
}

TEST(Placement, LargerThanTheWorkAreaFillsItFromTheTopLeft) {
  TIniPlacement ini;
  ini.Left = 100;
  ini.Top = 100;
  ini.Width = 3000;
  ini.Height = 2000;
  const TPlacement p = ReadPlacement(ini, TRect{10, 20, 810, 620}, 34);
  EXPECT_EQ(p, (TPlacement{10, 20, 800, 600 - 34, 1}));
}

TEST(Placement, MinimisedIsNeverRestoredNorSaved) {
  TIniPlacement ini;
  ini.WindowsState = 6;
  EXPECT_EQ(ReadPlacement(ini, kWork, 0).WindowState, 1);
  ini.WindowsState = 3;
  EXPECT_EQ(ReadPlacement(ini, kWork, 0).WindowState, 3);
  ini.WindowsState = 42;
  EXPECT_EQ(ReadPlacement(ini, kWork, 0).WindowState, 1);
  const auto saved = PlacementToSave(1, 2, 700, 420, 6, 20);
  ASSERT_TRUE(saved);
  EXPECT_FALSE(saved->WriteRect);
  EXPECT_EQ(saved->WindowsState, 1);
}

TEST(Placement, DamagedSizeTakesTheDefault) {
  TIniPlacement ini;
  ini.Width = 0;
  ini.Height = -5;
  const TPlacement p = ReadPlacement(ini, kWork, 0);
  EXPECT_EQ(p.Width, 745);
  EXPECT_EQ(p.Height, 468);
}

TEST(Placement, SaveWritesTheRectangleOnlyWhenNormal) {
  EXPECT_FALSE(PlacementToSave(0, 0, 0, 0, 1, 0));
  EXPECT_EQ(*PlacementToSave(10, 20, 700, 434, 1, 34), (TPlacementToSave{true, 10, 20, 700, 400, 1}));
  EXPECT_EQ(*PlacementToSave(10, 20, 700, 434, 3, 34), (TPlacementToSave{false, 0, 0, 0, 0, 3}));
}

TEST(Pages, TabsAndTheirPages) {
  EXPECT_EQ(TabPages(true, true), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(TabPages(false, true), (std::vector<int>{0, 1, 4, 5}));
  EXPECT_EQ(TabPages(true, false), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(PageOfIndex(-3, false, false), 3);
  EXPECT_EQ(PageOfIndex(1, false, false), 1);
  EXPECT_EQ(PageOfIndex(2, false, true), 4);
  EXPECT_EQ(PageOfIndex(3, true, true), 3);
  EXPECT_EQ(PageOfIndex(2, true, false), 2);
  // Every tab's index leads to the page the tab shows.
  for (bool mp : {false, true})
    for (bool ac : {false, true}) {
      const auto pages = TabPages(mp, ac);
      for (int tab = 0; tab < static_cast<int>(pages.size()); ++tab) {
        EXPECT_EQ(PageOfIndex(tab, mp, ac), pages[tab]);
        EXPECT_EQ(TabOfPage(pages[tab], mp, ac), tab);
      }
    }
}

TEST(Pages, ForegroundTabFallsBackToGeneral) {
  EXPECT_EQ(FirstPage(ftCPU, true, false), 0);
  EXPECT_EQ(FirstPage(ftCPU, false, true), 5);
  EXPECT_EQ(FirstPage(ftModules, false, true), 0);
  EXPECT_EQ(FirstPage(ftCallStack, false, false), 1);
}

TEST(Email, AtAndDotAnywhere) {
  EXPECT_TRUE(IsValidEmail("user@example.org"));
  EXPECT_TRUE(IsValidEmail(".@"));
  EXPECT_FALSE(IsValidEmail("user@example"));
  EXPECT_FALSE(IsValidEmail("user.example.org"));
  EXPECT_FALSE(IsValidEmail(""));
}

TEST(Email, ReplacedInTheReport) {
  const std::string report =
      "3 User\r\n  3.1 ID         : ivan\r\n  3.2 Name       : Ivan\r\n  3.3 Email      : \r\n  3.4 Company  "
      "  : x\r\n";
  const std::string changed = ChangeLogUserEmail(report, "me@example.org");
  EXPECT_NE(changed.find("  3.3 Email      : me@example.org\r\n  3.4"), std::string::npos) << changed;
  EXPECT_EQ(ChangeLogUserEmail(changed, "you@example.org").find("me@"), std::string::npos);
  EXPECT_EQ(ChangeLogUserEmail("no such item", "a@b.c"), "no such item");
  EXPECT_EQ(ChangeLogUserEmail("\r\n  3.3 Email no colon\r\n", "a@b.c"), "\r\n  3.3 Email no colon\r\n");
}

TEST(RichText, EscapesWhatRichTextReads) {
  EXPECT_EQ(EscapeRTF("a\\b{c}d"), "a\\\\b\\{c\\}d");
  EXPECT_EQ(EscapeRTF("\xcf\xf0\xe8"), "\\'cf\\'f0\\'e8");
  EXPECT_EQ(EscapeRTF("x\ty"), "x\\tab y");
  EXPECT_EQ(EscapeRTF(std::string("a\0b", 3)), "a b");
}

TEST(RichText, ReportSectionsAsParagraphs) {
  TRichFont font;
  font.Face = "Lucida Console";
  font.CharSet = 204;
  font.CodePage = 1251;
  const std::string rtf =
      ReportToRTF("1 Application\r\n  1.1 Name : C:\\{x}\xc0\r\n", TRichKind::General, font);
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi\\ansicpg1251", 0), 0u) << rtf;
  EXPECT_NE(rtf.find("\\fcharset204 Lucida Console;"), std::string::npos);
  EXPECT_NE(rtf.find("\\b 1 Application\\b0\\par"), std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\\cf2   1.1 Name \\cf1 : C:\\\\\\{x\\}\\'c0\\par"), std::string::npos) << rtf;
  // Registers are not items: no colour on the CPU page.
  EXPECT_EQ(ReportToRTF("EAX: 0001  R8 : 0002\r\n", TRichKind::CPU, font).find("\\cf2"), std::string::npos);
  EXPECT_EQ(rtf.back(), '}');
  // Braces balance: nothing of the text opens or closes a group.
  int depth = 0;
  for (std::size_t i = 0; i < rtf.size(); ++i) {
    if (rtf[i] == '\\') {
      ++i;
      continue;
    }
    if (rtf[i] == '{') ++depth;
    if (rtf[i] == '}') --depth;
    EXPECT_GE(depth, 0);
  }
  EXPECT_EQ(depth, 0);
}

TEST(SendWindow, LabelAndPercent) {
  EXPECT_EQ(SendDialogLabel("Sending message", 1, 2, "Connected"), "Sending message 1/2: Connected");
  EXPECT_EQ(ProgressPercent(0, 0), 0);
  EXPECT_EQ(ProgressPercent(0, 500), 0);
  EXPECT_EQ(ProgressPercent(200, 100), 50);
  EXPECT_EQ(ProgressPercent(3, 2), 67);
  EXPECT_EQ(ProgressPercent(100, 400), 100);
}

TEST(IDERecord, Layout) {
  const TIDERecord r = IDERecord("fmuMain", "TfmMain", "btnClick", 120, 4, 7, -1);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 90)), "fmuMain");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 180)), "TfmMain");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 270)), "btnClick");
  EXPECT_EQ(r[360], 120);
  EXPECT_EQ(r[364], 4);
  EXPECT_EQ(r[368], 7);
  EXPECT_EQ(r[372], 0xff);
  EXPECT_EQ(r[375], 0xff);
  // A long name keeps its terminating zero.
  const TIDERecord l = IDERecord(std::string(200, 'u'), "", "", 0, -1, 0, 0);
  EXPECT_EQ(l[90 + 89], 0);
  EXPECT_EQ(LineCellOffset("120[4]"), 4);
  EXPECT_EQ(LineCellOffset("120"), -1);
  EXPECT_EQ(LineCellOffset("120[]"), -1);
  EXPECT_EQ(LineCellOffset("120[-2]"), -2);
}

TEST(AutoClose, CountsResetsAndPauses) {
  TAutoClose a(3);
  EXPECT_FALSE(a.Tick());
  EXPECT_FALSE(a.Tick());
  a.Reset();
  EXPECT_FALSE(a.Tick());
  EXPECT_FALSE(a.Tick());
  a.Pause(true);
  EXPECT_FALSE(a.Tick());
  EXPECT_FALSE(a.Tick());
  a.Pause(false);
  EXPECT_TRUE(a.Tick());
  TAutoClose off(0);
  EXPECT_FALSE(off.Enabled());
  EXPECT_FALSE(off.Tick());
}

}  // namespace

namespace {

using namespace tracira;
using namespace tracira::dlg;

TTraciraDebugInfo Entry(std::uint32_t thread, std::uint64_t addr, const char* module, bool error = false,
                        bool running = true) {
  TTraciraDebugInfo e;
  e.DebugDetail = ddSourceCode;
  e.ThreadID = thread;
  e.Addr = addr;
  e.ModuleName = module;
  e.ErrorLine = error;
  e.RunningThread = running;
  e.UnitName = "fmuMain.cpp";
  e.ProcedureName = "Click";
  e.Line = 12;
  e.ProcOffsetLine = 3;
  return e;
}

TEST(CallStackRows, ThreadRowsBeforeEachBlock) {
  const TTraciraTexts texts = DefaultTraciraTexts();
  const TTraciraStackList stack{Entry(7, 0x401000, "C:\\App\\Tavrix.exe", true),
                                Entry(7, 0x402000, "C:\\Windows\\user32.dll"),
                                Entry(9, 0x403000, "C:\\App\\Tavrix.exe"), Entry(9, 0x404000, "x.bpl")};
  const auto rows =
      CallStackRows(texts, stack, {{7, 0, "", true}}, TCallStackOptions{csoShowDLLs, csoShowBPLs});
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0].Kind, TCallStackRow::Thread);
  EXPECT_NE(rows[0].Cells[0].find("ID=7"), std::string::npos) << rows[0].Cells[0];
  EXPECT_EQ(rows[1].Cells[0], "00401000");
  EXPECT_EQ(rows[1].Cells[1], "Tavrix.exe");
  EXPECT_EQ(rows[1].Cells[5], "12[3]");
  EXPECT_EQ(rows[1].Icon, 2);
  EXPECT_EQ(rows[2].Icon, 0);
  EXPECT_EQ(rows[3].Kind, TCallStackRow::Blank);
  EXPECT_EQ(rows[4].Kind, TCallStackRow::Thread);
  EXPECT_EQ(rows[6].Icon, 1);
  EXPECT_EQ(rows[6].StackIndex, 3u);
  // The first block closed: its entries go, its thread row stays.
  EXPECT_EQ(VisibleRows(rows, {true, false}), (std::vector<std::size_t>{0, 3, 4, 5, 6}));
  EXPECT_EQ(VisibleRows(rows, {}).size(), 7u);
}

TEST(Icons, ByExtension) {
  EXPECT_EQ(ModuleIcon("C:\\a\\b.bpl"), 1);
  EXPECT_EQ(ModuleIcon("C:\\a\\b.DPL"), 1);
  EXPECT_EQ(ModuleIcon("C:\\a\\Tavrix.exe"), 2);
  EXPECT_EQ(ModuleIcon("C:\\a.b\\dravix"), 0);
  EXPECT_EQ(EntryIcon(""), 0);
  EXPECT_EQ(EntryIcon("driver.ocx"), 3);
}

}  // namespace
