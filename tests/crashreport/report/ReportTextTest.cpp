// The report's layout against texts written out by hand.
#include <gtest/gtest.h>

#include "crashreport/report/TrLogText.h"

namespace tracira {
namespace {

const TTraciraTexts& Texts() {
  static const TTraciraTexts texts = DefaultTraciraTexts();
  return texts;
}

// A section's rule: as long as its longest line, counted by hand.
std::string Rule(std::size_t length) { return std::string(length, '-') + "\r\n"; }

TEST(Crc16, KnownValues) {
  const struct {
    const char* text;
    std::uint16_t crc;
  } cases[] = {{"abc", 0x9DD6}, {"", 0x0000}, {"123456789", 0x31C3}, {"A", 0x58E5}};
  for (const auto& c : cases) EXPECT_EQ(Crc16Xmodem(c.text), c.crc) << c.text;
  EXPECT_EQ(ExceptionID("abc"), "9DD6");
  EXPECT_EQ(ExceptionID(""), "0000");
}

TEST(ExceptionID, TextUsesSourceEntriesOfTheExceptionThreadOnly) {
  auto entry = [](TTraciraDebugDetail detail, std::uint32_t thread, bool running, const char* unit,
                  const char* cls, const char* proc, std::uint32_t line) {
    TTraciraDebugInfo e;
    e.DebugDetail = detail, e.ThreadID = thread, e.RunningThread = running;
    e.UnitName = unit, e.ClassName = cls, e.ProcedureName = proc, e.Line = line;
    return e;
  };
  const TTraciraStackList stack = {entry(ddSourceCode, 7, true, "fmuMain.cpp", "TfmMain", "Click", 120),
                                   entry(ddProcedure, 7, true, "", "", "Skipped", 1),
                                   entry(ddSourceCode, 8, true, "Other.cpp", "", "", 2),
                                   entry(ddSourceCode, 7, false, "Creator.cpp", "", "", 0),
                                   entry(ddSourceCode, 7, true, "Tavrix.cpp", "", "WinMain", 9)};
  EXPECT_EQ(ExceptionIDText("EScanerX", stack, 7), "EScanerXfmuMain.cppTfmMainClick120Tavrix.cppWinMain9");
}

TEST(Dates, RFCDateAndISO) {
  const TTraciraDateTime t{2026, 12, 6, 15, 0, 0};
  const struct {
    int offsetMinutes;
    const char* expected;
  } cases[] = {{180, "Sun, 6 Dec 2026 15:00:00 +0300"},  {0, "Sun, 6 Dec 2026 15:00:00 +0000"},
               {-300, "Sun, 6 Dec 2026 15:00:00 -0500"}, {600, "Sun, 6 Dec 2026 15:00:00 +1000"},
               {-660, "Sun, 6 Dec 2026 15:00:00 -1100"}, {170, "Sun, 6 Dec 2026 15:00:00 +0300"}};
  for (const auto& c : cases) EXPECT_EQ(RFCDate(t, c.offsetMinutes), c.expected) << c.offsetMinutes;
  EXPECT_EQ(RFCDate({2000, 2, 29, 9, 5, 7}, 60), "Tue, 29 Feb 2000 09:05:07 +0100");
  EXPECT_EQ(RFCDate({2024, 1, 1, 0, 0, 0}, 0), "Mon, 1 Jan 2024 00:00:00 +0000");
  EXPECT_EQ(ISODateTime({2024, 3, 9, 7, 8, 9}), "2024-03-09 07:08:09");
}

TEST(Dates, CompleteTimeStr) {
  constexpr double kSecond = 1.0 / 86400;
  const struct {
    double days;
    const char* expected;
  } cases[] = {
      {1 + 3.0 / 24 + 5 * kSecond, "1 day, 3 hours, 5 seconds"},
      {0.4 * kSecond, "0 second"},
      {0, "0 second"},
      {61 * kSecond, "1 minute, 1 second"},
      {2 + 2 * 60 * kSecond, "2 days, 2 minutes, 0 second"},
      {3600 * kSecond + 2 * kSecond, "1 hour, 2 seconds"},
      {-5, "0 second"},
  };
  for (const auto& c : cases) EXPECT_EQ(GetCompleteTimeStr(c.days), c.expected) << c.days;
}

TEST(Formatters, Values) {
  EXPECT_EQ(FileNameWithDescription("C:\\Apps\\Tavrix.exe", "Test bench"), "Tavrix.exe - (Test bench)");
  EXPECT_EQ(FileNameWithDescription("C:\\Apps\\Tavrix.exe", ""), "Tavrix.exe");
  EXPECT_EQ(VersionText(0, 0, 0, 0), "");
  EXPECT_EQ(VersionText(1, 2, 0, 5), "1.2.0.5");
  EXPECT_EQ(QuotedParameters({"/a", "b c"}), "\"/a\" \"b c\"");
  EXPECT_EQ(ExceptionMessageText("Port busy"), "Port busy.");
  EXPECT_EQ(ExceptionMessageText("Done."), "Done.");
  EXPECT_EQ(FoldControlChars("a\r\n\tb\x01"
                             "c"),
            "a b c");
  EXPECT_EQ(MegabytesText(3ull * 1048576 + 600000), "4 Mb");
  EXPECT_EQ(GigabytesText(1073741824ull * 3 / 2), "1.5 Gb");
  EXPECT_EQ(GigabytesText(1073741824ull * 2), "2 Gb");
  EXPECT_EQ(GigabytesText(1073741824ull * 100 / 3), "33.33 Gb");
  EXPECT_EQ(PaddedIPText({192, 168, 0, 1}), "192.168.000.001");
  EXPECT_EQ(DHCPText({true, false}), "ON               - OFF             ");
  EXPECT_EQ(PrivilegesText({{"SeShutdownPrivilege", false}, {"SeChangeNotifyPrivilege", true}}),
            "SeShutdownPrivilege             - OFF\r\nSeChangeNotifyPrivilege         - ON");
  EXPECT_EQ(ProcessPriorityText(0x20), "Normal");
  EXPECT_EQ(ProcessPriorityText(0x4000), "Below-Normal");
  EXPECT_EQ(ProcessPriorityText(7), "");
  EXPECT_EQ(VideoCardText("Wine Adapter", "", std::nullopt), "Wine Adapter");
  EXPECT_EQ(VideoCardText("GeForce", "31.0.15.1694", 4294967296ull),
            "GeForce (driver 31.0.15.1694 - RAM 4096 MB)");
  EXPECT_EQ(VideoCardText("GeForce", "", 268435456ull), "GeForce (RAM 256 MB)");
  EXPECT_EQ(PrinterText("Kyocera", "6.1.7601.0"), "Kyocera (driver 6.1.7601.0)");
  EXPECT_EQ(PrinterText("Kyocera", ""), "Kyocera");
  EXPECT_EQ(PrinterText("", "1.0"), "");
  EXPECT_EQ(AccessViolationText(0x0045A1B2, "Tavrix.exe", false, 0),
            "Access violation at address 0045A1B2 in module 'Tavrix.exe'. Read of address 00000000");
  EXPECT_EQ(AccessViolationText(0x1000, "a.dll", true, 0xDEADBEEF),
            "Access violation at address 00001000 in module 'a.dll'. Write of address DEADBEEF");
}

TEST(Formatters, WindowsTypesByPlatformAndVersion) {
  struct Case {
    TWindowsVersion Version;
    const char* Type;
    const char* Build;
  };
  const Case cases[] = {
      {{1, 4, 0, 0x040003B6, " A ", false}, "Microsoft Windows 95", "950"},
      {{1, 4, 0, 0x04000457, " B ", false}, "Microsoft Windows 95 OSR 2", "1111"},
      {{1, 4, 10, 0x040A07CE, "", false}, "Microsoft Windows 98", "1998"},
      {{1, 4, 10, 0x040A08AE, " A ", false}, "Microsoft Windows 98 SE", "2222"},
      {{1, 4, 90, 3000, "", false}, "Microsoft Windows ME", "3000"},
      {{2, 4, 0, 1381, "Service Pack 6", false}, "Microsoft Windows NT 4.0", "1381"},
      {{2, 5, 0, 2195, "", false}, "Microsoft Windows 2000", "2195"},
      {{2, 5, 1, 2600, "Service Pack 3", false}, "Microsoft Windows XP", "2600"},
      {{2, 5, 2, 3790, "", true}, "Microsoft Windows 2003", "3790"},
      {{2, 6, 0, 6002, "", false}, "Microsoft Windows Vista", "6002"},
      // Newer systems by their own names, not as Vista.
      {{2, 6, 1, 7601, "Service Pack 1", false}, "Microsoft Windows 7", "7601"},
      {{2, 6, 1, 7601, "", true}, "Microsoft Windows Server 2008 R2", "7601"},
      {{2, 6, 3, 9600, "", false}, "Microsoft Windows 8.1", "9600"},
      {{2, 10, 0, 19045, "", false}, "Microsoft Windows 10", "19045"},
      {{2, 10, 0, 22631, "", false}, "Microsoft Windows 11", "22631"},
      {{2, 10, 0, 17763, "", true}, "Microsoft Windows Server 2019", "17763"},
      {{2, 11, 2, 30000, "", false}, "Microsoft Windows 11.2", "30000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WindowsTypeText(c.Version), c.Type) << c.Type;
    EXPECT_EQ(WindowsBuildText(c.Version), c.Build) << c.Type;
  }
}

TEST(LogItem, AlignsHidesAndEscapes) {
  TLogItem item(0);
  item.AddHeader("Application");
  item.AddItem("Start Date", "Sun, 6 Dec 2026 15:00:00 +0300");
  item.AddItem("Name/Description", "Tavrix.exe", false);  // hidden: 1.3 stays 1.3
  item.AddItem("Version Number", "1.2.0.5");
  item.AddHeader("Exception");
  item.AddItem("Message", "Line one: first\r\n\r\n second\n");
  item.AddItem("ID", "9DD6");
  item.AddHeader("User");  // every item hidden: the section vanishes
  item.AddItem("ID", "root", false);
  item.AddHeader("Computer");  // numbered 4 although 3 vanished
  item.AddItem("Name", "");
  EXPECT_EQ(item.GetString(), "Application:\r\n" + Rule(52) +
                                  "  1.1 Start Date    : Sun, 6 Dec 2026 15:00:00 +0300\r\n"
                                  "  1.3 Version Number: 1.2.0.5\r\n"
                                  "\r\n"
                                  "Exception:\r\n" +
                                  Rule(30) +
                                  "  2.1 Message: Line one:_first\r\n"
                                  " .\r\n"
                                  "   second\r\n"
                                  "  2.2 ID     : 9DD6\r\n"
                                  "\r\n"
                                  "Computer:\r\n" +
                                  Rule(12) + "  4.1 Name: \r\n");
  item.Clear();
  item.AddHeader("Again");
  item.AddItem("X", "y");
  EXPECT_EQ(item.GetString(), "Again:\r\n" + Rule(10) + "  1.1 X: y\r\n");
}

TEST(LogItem, EscapeTable) {
  const struct {
    const char* value;
    const char* stored;
  } cases[] = {
      {"plain", "plain"},
      {"a: b", "a:_b"},
      {"one\r\ntwo", "one\r\n two"},
      {"one\rtwo\nthree\r\n", "one\r\n two\r\n three"},
      {"one\r\n   \r\ntwo", "one\r\n .\r\n two"},
      {"x\r\n 9.9 looks like an item", "x\r\n   9.9 looks like an item"},
      {"x\r\n  indented", "x\r\n   indented"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeItemValue(c.value), c.stored) << c.value;
}

TEST(General, LayoutFromGivenValues) {
  TGeneralValues v;
  v.AppStartDate = "Sun, 6 Dec 2026 15:00:00 +0300";
  v.AppVersionNumber = "1.2.0.5";
  v.ExcMessage = "Port: busy.";
  v.ExcID = "9DD6";
  v.ActCtlsFormClass = "TfmMain";
  v.CmpName = "BENCH";
  // soAppStartDate, soAppVersionNumber, soExcMessage, soExcID, soExcCount,
  // soActCtlsFormClass, soCmpName, soOSType.
  const auto show = TShowOptions::FromBits((1ull << 0) | (1ull << 2) | (1ull << 11) | (1ull << 12) |
                                           (1ull << 13) | (1ull << 21) | (1ull << 25) | (1ull << 36));
  v.OSType = "Microsoft Windows XP";
  const std::string expectedHead =
      "TraciraLog 6.0.6\r\n"
      "\r\n"
      "Application:\r\n" +
      Rule(52) +
      "  1.1 Start Date    : Sun, 6 Dec 2026 15:00:00 +0300\r\n"
      "  1.3 Version Number: 1.2.0.5\r\n"
      "\r\n"
      "Exception:\r\n" +
      Rule(26) +
      "  2.6 Message: Port:_busy.\r\n"
      "  2.7 ID     : 9DD6\r\n"
      "  2.8 Count  : 1\r\n"
      "\r\n";
  const std::string expectedTail = "Computer:\r\n" + Rule(17) +
                                   "  5.1 Name: BENCH\r\n"
                                   "\r\n"
                                   "Operating System:\r\n" +
                                   Rule(32) + "  6.1 Type: Microsoft Windows XP\r\n";
  EXPECT_EQ(CreateGeneralText(Texts(), v, show, false), expectedHead + expectedTail);
  EXPECT_EQ(CreateGeneralText(Texts(), v, show, true), expectedHead + "Active Controls:\r\n" + Rule(25) +
                                                           "  4.1 Form Class: TfmMain\r\n"
                                                           "\r\n" +
                                                           expectedTail);
}

TEST(General, AllShownHasEverySection) {
  const std::string text =
      CreateGeneralText(Texts(), TGeneralValues{}, TShowOptions::FromBits(kAllShowOptions), true);
  for (const char* item : {"\r\n  1.6 Up Time         : ", "\r\n  2.10 Note         : ",
                           "\r\n  3.5 Privileges: ", "\r\n  4.4 Control Text : ",
                           "\r\n  5.11 Printer      : ", "\r\n  6.5 Charset : ", "\r\n  7.6 DHCP      : "})
    EXPECT_NE(text.find(item), std::string::npos) << item;
  EXPECT_NE(text.find("  2.9 Status        : New\r\n"), std::string::npos);
}

TEST(CustomSections, InsertedAfterTheGeneralPart) {
  const std::string custom = CustomHeadersText(7, "Custom Information", {" Port = COM3 ", "Model=7", "bare"});
  EXPECT_EQ(custom, "Custom Information:\r\n" + Rule(19) +
                        "  8.1 Port : COM3\r\n"
                        "  8.2 Model: 7\r\n"
                        "  8.3 bare : \r\n");
  EXPECT_EQ(CustomHeaderText(7, "Request", "Clicked twice"),
            "Request:\r\n" + Rule(21) + "  8.1 : Clicked twice\r\n");
  const std::string report =
      "TraciraLog 6.0.6\r\n\r\nA:\r\n---\r\n  1.1 x: y\r\n\r\nCall Stack Information:\r\n-----\r\n|Address "
      "|\r\n";
  EXPECT_EQ(InsertCustomSection(report, "Request:\r\n---\r\n  8.1 : z\r\n", "Call Stack Information"),
            "TraciraLog 6.0.6\r\n\r\nA:\r\n---\r\n  1.1 x: y\r\n\r\nRequest:\r\n---\r\n  8.1 : z\r\n\r\n"
            "Call Stack Information:\r\n-----\r\n|Address |\r\n");
  // Without a call-stack table the section still isn't lost.
  EXPECT_EQ(InsertCustomSection("abc\r\n", "S:\r\n", "Call Stack Information"), "abc\r\nS:\r\n\r\n");
}

TTraciraDebugInfo Entry(std::uint32_t addr, std::uint32_t thread, const char* proc, std::uint32_t line,
                        std::int32_t offset, bool errorLine = false, bool running = true,
                        TTraciraDebugDetail detail = ddSourceCode) {
  TTraciraDebugInfo e;
  e.DebugDetail = detail, e.ModuleName = "C:\\Bench\\Tavrix.exe", e.ThreadID = thread;
  e.RunningThread = running, e.ErrorLine = errorLine, e.Addr = addr;
  e.UnitName = "fmuMain", e.ClassName = "TfmMain", e.ProcedureName = proc, e.Line = line,
  e.ProcOffsetLine = offset;
  return e;
}

// Inlined code may lie above the first line of the procedure that holds it.
TEST(CallStack, ALineBeforeItsProceduresFirstHasANegativeOffset) {
  const std::string text = CallStackText(Texts(), {Entry(0x401000, 1, "WndProc", 145, -4, true)}, {}, {});
  EXPECT_NE(text.find("|WndProc         |145[-4]|"), std::string::npos) << text;
}

TEST(CallStack, SingleBlockAsDocumented) {
  const TTraciraStackList stack = {Entry(0x45A1B2, 1234, "ButtonClick", 120, 3, true),
                                   Entry(0x43C0DE, 1234, "DoWork", 88, 12)};
  EXPECT_EQ(CallStackText(Texts(), stack, {{1234, 0, "", true}}, {}),
            "Call Stack Information:\r\n"
            "-------------------------------------------------------------\r\n"
            "|Address |Module    |Unit   |Class  |Procedure/Method|Line  |\r\n"
            "-------------------------------------------------------------\r\n"
            "|*Exception Thread: ID=1234; Priority=0; Class=; [Main]     |\r\n"
            "|-----------------------------------------------------------|\r\n"
            "|0045A1B2|Tavrix.exe|fmuMain|TfmMain|ButtonClick     |120[3]|\r\n"
            "|0043C0DE|Tavrix.exe|fmuMain|TfmMain|DoWork          |88[12]|\r\n"
            "-------------------------------------------------------------\r\n"
            "\r\n");
}

TEST(CallStack, ThreadBlocksAndHiddenDetails) {
  TTraciraStackList stack = {
      Entry(0x401000, 5, "Raise", 10, 0, true),
      Entry(0x401100, 5, "Caller", 0, 0),
      Entry(0x401200, 5, "Hidden", 1, 0, false, true, ddModule),
      Entry(0x401300, 5, "Dll", 0, 0, false, true, ddProcedure),
      Entry(0x401400, 5, "Spawn", 7, 1, false, false),
      Entry(0x401500, 9, "Worker\r\nRun", 3, 2),
  };
  stack[1].ModuleName.clear();
  const std::vector<TTraciraThreadRow> threads = {{5, std::nullopt, "TReader", false}};
  EXPECT_EQ(CallStackText(Texts(), stack, threads, TCallStackOptions{csoShowBPLs}),
            "Call Stack Information:\r\n"
            "------------------------------------------------------------\r\n"
            "|Address |Module    |Unit   |Class  |Procedure/Method|Line |\r\n"
            "------------------------------------------------------------\r\n"
            "|*Exception Thread: ID=5; Priority=??; Class=TReader       |\r\n"
            "|----------------------------------------------------------|\r\n"
            "|00401000|Tavrix.exe|fmuMain|TfmMain|Raise           |10[0]|\r\n"
            "|00401100|          |fmuMain|TfmMain|Caller          |     |\r\n"
            "|----------------------------------------------------------|\r\n"
            "|Calling Thread: ID=5; Priority=??; Class=TReader          |\r\n"
            "|----------------------------------------------------------|\r\n"
            "|00401400|Tavrix.exe|fmuMain|TfmMain|Spawn           |7[1] |\r\n"
            "|----------------------------------------------------------|\r\n"
            "|                                                          |\r\n"
            "|Running Thread: ID=9; Priority=??; Class=                 |\r\n"
            "|----------------------------------------------------------|\r\n"
            "|00401500|Tavrix.exe|fmuMain|TfmMain|Worker  Run     |3[2] |\r\n"
            "------------------------------------------------------------\r\n"
            "\r\n");
}

// A leak report: each leak's line stands where a thread's would, "Data"
// in the texts' own word.
TEST(CallStack, EachLeakHasItsLineBeforeItsCallSites) {
  const auto leak = [](TTraciraDebugInfo e, const char* type, std::uint32_t size, std::uint32_t count) {
    e.IsALeak = true, e.LeakType = type, e.LeakSize = size, e.LeakCount = count, e.ThreadID = 0;
    return e;
  };
  const TTraciraStackList stack = {leak(Entry(0x401000, 0, "Load", 10, 1, true), "Data", 120, 3),
                                   leak(Entry(0x401100, 0, "Run", 20, 2), "Data", 120, 3),
                                   leak(Entry(0x401200, 0, "Make", 30, 3, true), "TOwner", 88, 1)};
  const std::string text = CallStackText(Texts(), stack, {}, {});
  const std::size_t data = text.find("|+Memory Leak: Type=Data; Total size=120; Count=3");
  const std::size_t owner = text.find("|+Memory Leak: Type=TOwner; Total size=88; Count=1");
  ASSERT_NE(data, std::string::npos) << text;
  ASSERT_NE(owner, std::string::npos) << text;
  EXPECT_LT(data, text.find("|Load"));
  EXPECT_LT(text.find("|Run"), owner);
  EXPECT_LT(owner, text.find("|Make"));
  EXPECT_EQ(text.find("Thread"), std::string::npos) << text;
}

TEST(CallStack, LongThreadTextIsCut) {
  TTraciraTexts texts = Texts();
  texts[mtCallStack_ThreadClass] = std::string(100, 'C');
  const std::string table = CallStackText(texts, {Entry(0x1, 1, "P", 0, 0, true)}, {}, {});
  const auto lines = table.substr(table.find("|*"), table.find("\r\n", table.find("|*")) - table.find("|*"));
  EXPECT_EQ(lines.size(), table.find("\r\n", table.find("\r\n") + 2) - table.find("\r\n") - 2);
}

TEST(Tables, ModulesProcessesAndEmptyForms) {
  const std::vector<TTraciraModuleRow> modules = {
      {0x400000, "C:\\Bench\\Tavrix.exe", "Test bench", "1.2.0.5", 123456, {2026, 1, 2, 3, 4, 5}}};
  EXPECT_EQ(ModulesText(Texts(), modules),
            "Modules Information:\r\n"
            "------------------------------------------------------------------------------\r\n"
            "|Handle  |Name      |Description|Version|Size  |Modified           |Path     |\r\n"
            "------------------------------------------------------------------------------\r\n"
            "|00400000|Tavrix.exe|Test bench |1.2.0.5|123456|2026-01-02 03:04:05|C:\\Bench\\|\r\n"
            "------------------------------------------------------------------------------\r\n"
            "\r\n");
  const std::vector<TTraciraProcessRow> processes = {{4, "C:\\W\\wine.exe", "", "", 2048, 0x80, 3}};
  EXPECT_EQ(ProcessesText(Texts(), processes),
            "Processes Information:\r\n"
            "---------------------------------------------------------------------\r\n"
            "|ID      |Name    |Description|Version|Memory|Priority|Threads|Path |\r\n"
            "---------------------------------------------------------------------\r\n"
            "|4       |wine.exe|           |       |2048  |High    |3      |C:\\W\\|\r\n"
            "---------------------------------------------------------------------\r\n"
            "\r\n");
  EXPECT_EQ(EmptySectionText("Modules Information"), "Modules Information:\r\n--------------------\r\n\r\n");
}

// A 64-bit process's modules: once one lies above 4 GB every handle has 16
// digits, so the column stays filled with digits.
TEST(Tables, ModuleHandlesAboveFourGigabytes) {
  const std::vector<TTraciraModuleRow> modules = {
      {0x140000000, "C:\\B\\Tavrix.exe", "", "", 1, {2026, 1, 2, 3, 4, 5}},
      {0x10000000, "C:\\B\\lib.dll", "", "", 2, {2026, 1, 2, 3, 4, 5}}};
  const std::string text = ModulesText(Texts(), modules);
  EXPECT_NE(text.find("\r\n|Handle          |Name      |"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n|0000000140000000|Tavrix.exe|"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n|0000000010000000|lib.dll   |"), std::string::npos) << text;
}

TEST(CPU, UnknownContextAndFullDump) {
  TTraciraCPUState cpu;
  const std::string unknown = CPUText(Texts(), cpu);
  EXPECT_EQ(unknown,
            "Registers:\r\n-----------------------------\r\n"
            "EAX: ????       EDI: ????    \r\nEBX: ????       ESI: ????    \r\n"
            "ECX: ????       ESP: ????    \r\nEDX: ????       EIP: ????    \r\n\r\n"
            "Stack:               Memory Dump:\r\n"
            "------------------   "
            "---------------------------------------------------------------------------\r\n");
  cpu.Context = TTraciraRegisters{1, 2, 3, 4, 5, 6, 0x0012FF00, 0x00401000};
  cpu.ExceptionAddress = 0x00401000;
  std::array<std::uint8_t, 64> stack{};
  stack[0] = 0x78, stack[1] = 0x56, stack[2] = 0x34, stack[3] = 0x12;
  std::array<std::uint8_t, 256> memory{};
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
  cpu.Stack = stack;
  const std::string noMemory = CPUText(Texts(), cpu);
  EXPECT_TRUE(noMemory.ends_with("-----\r\n")) << "no dump unless both areas were readable";
  EXPECT_NE(noMemory.find("EAX: 00000001   EDI: 00000006\r\nEBX: 00000002   ESI: 00000005\r\n"
                          "ECX: 00000003   ESP: 0012FF00\r\nEDX: 00000004   EIP: 00401000\r\n"),
            std::string::npos);
  cpu.Memory = memory;
  const std::string full = CPUText(Texts(), cpu);
  EXPECT_NE(
      full.find("-----\r\n0012FF00: 12345678   00401000:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                "................\r\n0012FF04: 00000000   00401010: "),
      std::string::npos);
  EXPECT_NE(full.find("0012FF1C: 00000000   00401070:  70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F "
                      "pqrstuvwxyz{|}~.\r\n"),
            std::string::npos);
  EXPECT_TRUE(
      full.ends_with("0012FF3C: 00000000   004010F0:  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF "
                     "................\r\n"));
}

// The 64-bit section: the 32-bit one's layout with every register, value
// and address in 16 digits and the stack read in 8-byte words.
TEST(CPU, SixtyFourBitRegistersAndDump) {
  TTraciraCPUState cpu;
  cpu.Registers64 = true;
  const std::string unknown = CPUText(Texts(), cpu);
  EXPECT_TRUE(unknown.starts_with("Registers:\r\n" + std::string(45, '-') +
                                  "\r\nRAX: ????               R8 : ????            \r\n"))
      << unknown;
  EXPECT_NE(unknown.find("\r\nRIP: ????            \r\n\r\n"), std::string::npos) << unknown;

  TTraciraRegisters64 r;
  r.RAX = 0x1111111122222222, r.RBX = 2, r.RCX = 3, r.RDX = 4, r.RSI = 5, r.RDI = 6, r.RBP = 7;
  r.RSP = 0x000000000022FE00, r.R8 = 8, r.R9 = 9, r.R10 = 10, r.R11 = 11, r.R12 = 12, r.R13 = 13;
  r.R14 = 14, r.R15 = 0xFFFFFFFFFFFFFFFF, r.RIP = 0x0000000140001000;
  cpu.Context64 = r;
  cpu.ExceptionAddress = r.RIP;
  std::array<std::uint8_t, 128> stack{};
  for (std::size_t i = 0; i < 8; ++i) stack[8 + i] = static_cast<std::uint8_t>(0x11 * (i + 1));
  std::array<std::uint8_t, 256> memory{};
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
  cpu.Stack64 = stack;
  cpu.Memory = memory;
  const std::string full = CPUText(Texts(), cpu);
  const std::string rule =
      "-----------------------------------------------------------------------------------";
  EXPECT_TRUE(full.starts_with(
      "Registers:\r\n---------------------------------------------\r\n"
      "RAX: 1111111122222222   R8 : 0000000000000008\r\nRBX: 0000000000000002   R9 : 0000000000000009\r\n"
      "RCX: 0000000000000003   R10: 000000000000000A\r\nRDX: 0000000000000004   R11: 000000000000000B\r\n"
      "RSI: 0000000000000005   R12: 000000000000000C\r\nRDI: 0000000000000006   R13: 000000000000000D\r\n"
      "RBP: 0000000000000007   R14: 000000000000000E\r\nRSP: 000000000022FE00   R15: FFFFFFFFFFFFFFFF\r\n"
      "RIP: 0000000140001000\r\n\r\n"
      "Stack:                               Memory Dump:\r\n"
      "----------------------------------   " +
      rule +
      "\r\n"
      "000000000022FE00: 0000000000000000   0000000140001000:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E "
      "0F "
      "................\r\n"
      "000000000022FE08: 8877665544332211   0000000140001010:  10 "))
      << full;
  EXPECT_TRUE(
      full.ends_with("000000000022FE78: 0000000000000000   00000001400010F0:  F0 F1 F2 F3 F4 F5 F6 F7 F8 "
                     "F9 FA FB FC FD FE FF ................\r\n"))
      << full;
  // The 32-bit stack words don't make a 64-bit dump.
  cpu.Stack64.reset();
  cpu.Stack = std::array<std::uint8_t, 64>{};
  EXPECT_TRUE(CPUText(Texts(), cpu).ends_with(rule + "\r\n"));
}

TEST(Report, WholeTextWithoutOptionalSections) {
  TReportParts parts;
  parts.ShowOptions = TShowOptions::FromBits(1ull << 12);  // soExcID only
  parts.General.ExcID = "9DD6";
  parts.Stack = {Entry(0x45A1B2, 1, "Go", 5, 0, true)};
  parts.SaveModulesAndProcesses = false;
  parts.SaveAssemblerAndCPU = false;
  parts.Disassembly = "never shown";
  EXPECT_EQ(CreateLogText(Texts(), parts),
            "TraciraLog 6.0.6\r\n\r\n"
            "Exception:\r\n--------------\r\n  2.7 ID: 9DD6\r\n"
            "\r\n"
            "Call Stack Information:\r\n"
            "-----------------------------------------------------------\r\n"
            "|Address |Module    |Unit   |Class  |Procedure/Method|Line|\r\n"
            "-----------------------------------------------------------\r\n"
            "|*Exception Thread: ID=1; Priority=??; Class=             |\r\n"
            "|---------------------------------------------------------|\r\n"
            "|0045A1B2|Tavrix.exe|fmuMain|TfmMain|Go              |5[0]|\r\n"
            "-----------------------------------------------------------\r\n"
            "\r\n"
            "Modules Information:\r\n--------------------\r\n\r\n"
            "Processes Information:\r\n----------------------\r\n\r\n"
            "Assembler Information:\r\n----------------------\r\n\r\n"
            "Registers:\r\n----------\r\n\r\n");
}

}  // namespace
}  // namespace tracira
