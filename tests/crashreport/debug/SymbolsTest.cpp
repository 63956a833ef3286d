// The readers of the outside debug sources and the naming rules, on
// fixtures written by DebugFormatWriters and on hand-written maps.
#include <gtest/gtest.h>

#include <filesystem>

#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrProcNames.h"
#include "crashreport/debug/TrSymbols.h"
#include "tests/crashreport/debug/DebugFormatWriters.h"

namespace tracira {
namespace {

using testing::BorlandMapUnit;

// ---- names -----------------------------------------------------------------

TEST(FormatProcName, MakesBorlandDecoratedNamesReadable) {
  struct Case {
    const char *Unit, *Decorated, *Expected;
  };
  const Case cases[] = {
      {"Main.pas", "@Main@TForm1@Button1Click$qqrp14System@TObject", "TForm1.Button1Click"},
      {"Main.pas", "@Main@DoWork$qqrv", "DoWork"},
      {"main.pas", "@MAIN@DoWork$qqrv", "DoWork"},  // the unit compared without regard to case
      {"Other.pas", "@Main@DoWork$qqrv", "Main.DoWork"},
      {"Main.pas", "@Main@TList@$bctr$qqrv", "TList"},  // "@" before "$": cut one earlier
      {"System.pas", "@System@@HandleAnyException$qqrv", "@HandleAnyException"},  // ".." becomes ".@"
      {"", "PlainName", "PlainName"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatProcName(c.Unit, c.Decorated), c.Expected) << c.Decorated;
}

TEST(GetDebugPartialInfo, DecodesExportedNames) {
  struct Case {
    const char* Name;
    TTraciraDebugDetail Detail;
    const char *Unit, *Class, *Proc;
  };
  const Case cases[] = {
      {"@Fixunit@TFoo@Bar$qqrv", ddUnitAndProcedure, "Fixunit.cpp", "TFoo", "Bar"},
      {"@Fixunit@Baz$qqri", ddUnitAndProcedure, "Fixunit.cpp", "", "Baz"},
      {"@System@@LStrClr$qqrpv", ddUnitAndProcedure, "System.cpp", "", "_LStrClr"},  // "@@" keeps a "_"
      {"@Trailing@", ddProcedure, "", "", "Trailing"},
      {"PlainExport", ddProcedure, "", "", "PlainExport"},
      {"Unit.Proc", ddUnitAndProcedure, "Unit.cpp", "", "Proc"},
      {"?Method@Class@@QAEXXZ", ddModule, "", "", ""},  // another compiler's decoration: undecoded
      {"", ddModule, "", "", ""},
  };
  for (const Case& c : cases) {
    const TTrPartialInfo p = GetDebugPartialInfo(c.Name);
    EXPECT_EQ(p.Detail, c.Detail) << c.Name;
    EXPECT_EQ(p.UnitName, c.Unit) << c.Name;
    EXPECT_EQ(p.ClassName, c.Class) << c.Name;
    EXPECT_EQ(p.ProcedureName, c.Proc) << c.Name;
  }
}

TEST(ApplyLocationInfo, SplitsProcedureNamesAndSetsTheDetailReached) {
  struct Case {
    const char *Unit, *Source, *Proc;
    std::uint32_t Line;
    const char *ExpUnit, *ExpClass, *ExpProc;
    TTraciraDebugDetail Detail;
  };
  const Case cases[] = {
      {"Main", "c:\\src\\Main.pas", "Main.TForm1.Click", 12, "Main.pas", "TForm1", "Click", ddSourceCode},
      {"Main", "", "main.DoWork", 0, "Main", "", "DoWork", ddUnitAndProcedure},  // the unit isn't a class
      {"Main", "", "TForm1.Click", 0, "Main", "TForm1", "Click", ddUnitAndProcedure},
      {"", "", "DoWork", 0, "", "", "DoWork", ddProcedure},
      {"", "", "", 0, "", "", "", ddModule},
  };
  for (const Case& c : cases) {
    TTrLocationInfo l;
    l.UnitName = c.Unit;
    l.SourceName = c.Source;
    l.ProcedureName = c.Proc;
    l.LineNumber = c.Line;
    TTraciraDebugInfo e;
    e.ModuleName = "X.dll";
    ApplyLocationInfo(l, e);
    EXPECT_EQ(e.UnitName, c.ExpUnit) << c.Proc;
    EXPECT_EQ(e.ClassName, c.ExpClass) << c.Proc;
    EXPECT_EQ(e.ProcedureName, c.ExpProc) << c.Proc;
    EXPECT_EQ(e.DebugDetail, c.Detail) << c.Proc;
  }
}

TEST(Names, CrashReporterCodeIsKnownByTheFolderItsSourceLivesIn) {
  // This file is tests/crashreport/debug/SymbolsTest.cpp of the same tree.
  const std::string root = std::filesystem::path(__FILE__)
                               .parent_path()
                               .parent_path()
                               .parent_path()
                               .parent_path()
                               .generic_string();
  const struct {
    std::string Path;
    bool Own;
  } cases[] = {
      {root + "/crashreport/engine/ExceptionLog.cpp", true},
      {root + "/crashreport/core/TrCore.h", true},
      {root + "/crashreport/engine/TrLiveReport.cpp", true},  // a file no list ever named
      {root + "/build/win/../../crashreport/debug/TrStack.cpp", true},
      {root + "/tests/crashreport/engine/EngineTest.cpp", false},  // a test of it is not
      {root + "/crashreport/../Fmu/fmuMain.cpp", false},
      {root + "/crashreportx/Foo.cpp", false},
      {root + "/crashreport", false},
      {"TrStack.cpp", false},  // a base name alone tells no folder
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCrashReporterSource(c.Path), c.Own) << c.Path;
}

TEST(Names, ReadableNamesOfTheTargetsSymbols) {
  const std::pair<const char*, const char*> cases[] = {
      {"__ZN7TfmMain16UpdateDeviceNameEv", "TfmMain::UpdateDeviceName()"},
      // A COM method: stdcall, so "@" and its argument bytes follow.
      {"__ZN9TScaner4510TEventSink11GetTypeInfoEjmPP9ITypeInfo@16",
       "TScaner45::TEventSink::GetTypeInfo(unsigned int, unsigned long, ITypeInfo**)"},
      {"_WinMain@16", "WinMain"},
      {"__ZL4Workv.cold", "Work()"},
      {".text", ""}};
  for (const auto& [symbol, readable] : cases) EXPECT_EQ(ReadableName(symbol), readable) << symbol;
}

TEST(FindFunction, BinarySearchOverExportsSortedByAddress) {
  TTraciraFunctionsList list = {{"C", 0x3000, 0}, {"A", 0x1000, 0}, {"B", 0x1800, 0}};
  SortFunctions(list, 0x4000);
  ASSERT_EQ(list[0].Name, "A");
  EXPECT_EQ(list[0].Size, 0x800u);
  EXPECT_EQ(list[2].Size, 0x1000u);
  EXPECT_EQ(FindFunction(list, 0x0FFF), nullptr);
  EXPECT_EQ(FindFunction(list, 0x1000)->Name, "A");
  EXPECT_EQ(FindFunction(list, 0x17FF)->Name, "A");
  EXPECT_EQ(FindFunction(list, 0x2FFF)->Name, "B");
  EXPECT_EQ(FindFunction(list, 0x4000)->Name, "C");
  EXPECT_EQ(FindFunction(list, 0x4001), nullptr);
  EXPECT_EQ(FindFunction({}, 0x1000), nullptr);
}

// ---- map files -------------------------------------------------------------

// An excerpt of GNU ld's map of a mingw DLL, in its layout.
constexpr const char* kGnuMap = R"(Archive member included to satisfy reference by file (symbol)

Memory Configuration

Name             Origin             Length             Attributes
*default*        0x00000000         0xffffffff

Linker script and memory map

                0x66280000                        __image_base__ = 0x66280000
                0x00001000                        __section_alignment__ = 0x1000

.text           0x66281000     0x1600
 *(.text)
 .text          0x66281000      0x3e0 /usr/lib/gcc/i686-w64-mingw32/12-posix/dllcrt2.o
                0x66281000                _DllMainCRTStartup@12
 .text          0x662814b0       0x30 CMakeFiles/fixture.dir/FixtureMap.cpp.obj
                0x662814b0                ns::TFoo::Bar(int)
                0x662814ba                PlainExport
                0x662814d7                _Z5Otheri
 .text.unlikely
                0x662814e0       0x20 CMakeFiles/fixture.dir/Cold.cpp.obj
                0x662814e0                ColdPath()
 .text          0x66281500      0xc0 /usr/lib/libmingw32.a(lib32_libmingw32_a-gccmain.o)
                0x66281500                __main
                [!provide]                PROVIDE (etext, .)

.data           0x66283000      0x200
 .data          0x66283000       0x10 CMakeFiles/fixture.dir/FixtureMap.cpp.obj
                0x66283000                gData
)";

TEST(MapScanner, ReadsGnuLdMaps) {
  const TTrMapScanner map(kGnuMap);
  EXPECT_FALSE(map.IsDetailedBorlandMap());
  EXPECT_EQ(map.ImageBase(), 0x66280000u);
  struct Case {
    std::uint32_t Va;
    const char *Unit, *Proc;
  };
  const Case cases[] = {
      {0x662814b0, "FixtureMap.cpp", "ns::TFoo.Bar"},
      {0x662814b9, "FixtureMap.cpp", "ns::TFoo.Bar"},
      {0x662814c0, "FixtureMap.cpp", "PlainExport"},
      {0x662814d8, "FixtureMap.cpp", "Other"},  // mangled names are demangled
      {0x662814e4, "Cold.cpp", "ColdPath"},     // a section name alone on its line
      {0x66281510, "lib32_libmingw32_a-gccmain", "__main"},
  };
  for (const Case& c : cases) {
    const auto info = map.Lookup(c.Va);
    ASSERT_TRUE(info) << std::hex << c.Va;
    EXPECT_EQ(info->UnitName, c.Unit) << std::hex << c.Va;
    EXPECT_EQ(info->ProcedureName, c.Proc) << std::hex << c.Va;
    EXPECT_EQ(info->LineNumber, 0u);
  }
  // Data isn't code, and nothing outside the segments is named.
  EXPECT_FALSE(map.Lookup(0x66280500));
  const auto data = map.Lookup(0x66283004);
  EXPECT_TRUE(!data || data->ProcedureName.empty());

  // Through the source, with a module loaded elsewhere: by RVA.
  const TTrDebugInfoMap source(kGnuMap, 0);
  ASSERT_TRUE(source.ValidData());
  EXPECT_EQ(source.GetLocationInfo(0x14c0)->ProcedureName, "PlainExport");
  EXPECT_EQ(source.GetLocationInfo(0x14c0)->ProcedureRange, std::make_pair(0x14bau, 0x14d7u));
}

// The same of an x86-64 DLL: sixteen-digit addresses above 4 GB.
constexpr const char* kGnuMap64 = R"(Linker script and memory map

                0x00000003b6e00000                __image_base__ = 0x3b6e00000

.text           0x00000003b6e01000     0x1400
 .text          0x00000003b6e01000      0x350 /usr/lib/gcc/x86_64-w64-mingw32/12-posix/dllcrt2.o
 .text          0x00000003b6e01370       0x30 tests/fixtures/CMakeFiles/fixture_map.dir/FixtureMap.cpp.obj
                0x00000003b6e01370                FixtureMapProbe
                0x00000003b6e01390                PlainExport
 .text          0x00000003b6e013a0        0x8 /usr/lib/libkernel32.a(libkernel32s01409.o)
)";

TEST(MapScanner, ReadsGnuLdMapsOf64BitModules) {
  const TTrDebugInfoMap source(kGnuMap64, 0x3b6e00000);
  ASSERT_TRUE(source.ValidData());
  EXPECT_EQ(source.Scanner().ImageBase(), 0x3b6e00000u);
  const auto info = source.GetLocationInfo(0x1380);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->UnitName, "FixtureMap.cpp");
  EXPECT_EQ(info->ProcedureName, "FixtureMapProbe");
  EXPECT_EQ(info->ProcedureRange, std::make_pair(0x1370u, 0x1390u));
  // Loaded elsewhere, named by RVA all the same; the image base read from
  // the map when the module gives none.
  EXPECT_EQ(TTrDebugInfoMap(kGnuMap64, 0).GetLocationInfo(0x1395)->ProcedureName, "PlainExport");
  EXPECT_FALSE(source.GetLocationInfo(0x3000));
}

TEST(MapScanner, ReadsBorlandDetailedMapsWithLines) {
  const std::vector<BorlandMapUnit> units = {
      {"System",
       "System.pas",
       0x0,
       0x200,
       {{0x10, "System.@HandleAnyException"}, {0x80, "System.Move"}},
       {{100, 0x10}, {101, 0x14}, {105, 0x30}, {200, 0x80}, {202, 0x90}}},
      {"Main",
       "Main.pas",
       0x200,
       0x100,
       {{0x200, "Main.TForm1.Button1Click"}, {0x240, "Main.DoWork"}},
       {{30, 0x200}, {31, 0x208}, {33, 0x220}, {40, 0x240}, {41, 0x250}}},
  };
  const std::string text = testing::WriteBorlandMap(0x00401000, 0x300, units);
  const TTrMapScanner map(text);
  ASSERT_TRUE(map.IsDetailedBorlandMap());
  struct Case {
    std::uint32_t Offset;
    const char *Unit, *Proc;
    std::uint32_t Line;
    std::int32_t ProcOffset;
  };
  const Case cases[] = {
      {0x10, "System", "System.@HandleAnyException", 100, 0},
      {0x13, "System", "System.@HandleAnyException", 100, 0},  // nearest smaller line
      {0x35, "System", "System.@HandleAnyException", 105, 5},
      {0x224, "Main", "Main.TForm1.Button1Click", 33, 3},
      {0x2FF, "Main", "Main.DoWork", 41, 1},
  };
  for (const Case& c : cases) {
    const auto info = map.Lookup(0x00401000 + c.Offset);
    ASSERT_TRUE(info) << std::hex << c.Offset;
    EXPECT_EQ(info->UnitName, c.Unit) << std::hex << c.Offset;
    EXPECT_EQ(info->ProcedureName, c.Proc) << std::hex << c.Offset;
    EXPECT_EQ(info->LineNumber, c.Line) << std::hex << c.Offset;
    EXPECT_EQ(info->OffsetFromLineNumber, c.ProcOffset) << std::hex << c.Offset;
  }
  EXPECT_EQ(map.Lookup(0x00401224)->ProcedureRange, std::make_pair(0x00401200u, 0x00401240u));
  EXPECT_EQ(map.Lookup(0x004012F0)->ProcedureRange,
            std::make_pair(0x00401240u, 0x00401300u));  // to the segment's end
  // The source names the file; the data segment has no line.
  EXPECT_EQ(map.Lookup(0x00401224)->SourceName, "Main.pas");
  EXPECT_FALSE(map.Lookup(0x00401000 + 0x300 + 0x1000 + 0x400));
  // Through the source: image base derived from the code segment.
  const TTrDebugInfoMap source(text, 0);
  TTraciraDebugInfo entry;
  entry.ModuleName = "Borland.dll";
  ApplyLocationInfo(*source.GetLocationInfo(0x1224), entry);
  EXPECT_EQ(entry.UnitName, "Main.pas");
  EXPECT_EQ(entry.ClassName, "TForm1");
  EXPECT_EQ(entry.ProcedureName, "Button1Click");
  EXPECT_EQ(entry.Line, 33u);
  EXPECT_EQ(entry.DebugDetail, ddSourceCode);
}

TEST(MapScanner, DamagedMapsYieldWhatCanBeRead) {
  std::string text = kGnuMap;
  text.insert(text.find(" .text          0x662814b0"), "garbage 0x 0xzz\n\x01\x02\n   0x\n");
  text.resize(text.find(".data"));
  const TTrMapScanner map(text);
  EXPECT_EQ(map.Lookup(0x662814c0)->ProcedureName, "PlainExport");
  EXPECT_FALSE(TTrDebugInfoMap("not a map at all", 0).ValidData());
}

// ---- TD32 ------------------------------------------------------------------

std::vector<testing::TD32Module> Td32Fixture() {
  testing::TD32Module main{
      "Main",
      {{1, 0x100, 0x40, "@Main@TForm1@Button1Click$qqrp14System@TObject"},
       {1, 0x140, 0x30, "@Main@DoWork$qqri"}},
      {{"C:\\src\\Main.pas", 1, {{0x100, 20}, {0x108, 21}, {0x118, 23}, {0x140, 30}, {0x150, 31}}}}};
  testing::TD32Module util{
      "Util", {{1, 0x200, 0x20, "@Util@Helper$qqrv"}}, {{"Util.pas", 1, {{0x200, 7}, {0x20C, 8}}}}};
  return {main, util};
}

TEST(TD32, NamesProceduresAndLinesFromTheLineTables) {
  const auto data = testing::WriteTD32(Td32Fixture());
  TTrSegmentMap segments{{0x1000, 0x5000}};
  const TTrDebugInfoTD32 source(data.data(), data.size(), segments);
  ASSERT_TRUE(source.ValidData());
  struct Case {
    std::uint32_t Rva;
    const char *Unit, *Proc;
    std::uint32_t Line;
    std::int32_t ProcOffset;
  };
  const Case cases[] = {
      {0x1100, "Main", "TForm1.Button1Click", 20, 0},
      {0x1108, "Main", "TForm1.Button1Click", 21, 1},  // exact entry
      {0x1117, "Main", "TForm1.Button1Click", 21, 1},  // the entry before the first greater one
      {0x1118, "Main", "TForm1.Button1Click", 23, 3},
      {0x1145, "Main", "DoWork", 30, 0},
      {0x1150, "Main", "DoWork", 31, 1},  // exactly the last entry
      {0x1151, "Main", "DoWork", 0, 0},   // after the last entry: no line
      {0x1208, "Util", "Helper", 7, 0},
      {0x120C, "Util", "Helper", 8, 1},
  };
  for (const Case& c : cases) {
    const auto info = source.GetLocationInfo(c.Rva);
    ASSERT_TRUE(info) << std::hex << c.Rva;
    EXPECT_EQ(info->UnitName, c.Unit) << std::hex << c.Rva;
    EXPECT_EQ(info->ProcedureName, c.Proc) << std::hex << c.Rva;
    EXPECT_EQ(info->LineNumber, c.Line) << std::hex << c.Rva;
    EXPECT_EQ(info->OffsetFromLineNumber, c.ProcOffset) << std::hex << c.Rva;
  }
  EXPECT_EQ(source.GetLocationInfo(0x1108)->SourceName, "C:\\src\\Main.pas");
  EXPECT_EQ(source.GetLocationInfo(0x1117)->ProcedureRange, std::make_pair(0x1100u, 0x1140u));
  EXPECT_FALSE(source.GetLocationInfo(0x1300));  // no procedure, no line
  EXPECT_FALSE(source.GetLocationInfo(0x0800));  // before the first section
}

TEST(TD32, FoundAtTheEndOfAnImageAndRefusedWhenDamaged) {
  std::vector<std::uint8_t> image(0x3000, 0xCC);
  const auto data = testing::WriteTD32(Td32Fixture());
  image.insert(image.end(), data.begin(), data.end());
  const auto found = TTrPeBorTD32Image(image);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first, 0x3000u);
  EXPECT_EQ(found->second, data.size());
  EXPECT_FALSE(TTrPeBorTD32Image(std::vector<std::uint8_t>(0x100, 0)));

  for (std::size_t cut : {std::size_t{4}, std::size_t{9}, data.size() / 2}) {
    std::vector<std::uint8_t> damaged(data.begin(), data.begin() + static_cast<long>(cut));
    EXPECT_FALSE(TTrDebugInfoTD32(damaged.data(), damaged.size(), {{0x1000}}).ValidData()) << cut;
  }
  std::vector<std::uint8_t> badDirectory = data;
  badDirectory[4] = 0xFF, badDirectory[5] = 0xFF;
  EXPECT_FALSE(TTrDebugInfoTD32(badDirectory.data(), badDirectory.size(), {{0x1000}}).ValidData());
}

// ---- JCL -------------------------------------------------------------------

testing::JclDebugData JclFixture() {
  testing::JclDebugData d;
  d.ModuleName = "JclFixture";
  d.Units = {{0x000, "JclUnitA"}, {0x300, "JclUnitB"}};
  d.SourceNames = {{0x000, "JclUnitA.pas"}, {0x300, "jcl-unit b.pas"}};  // the second not packable
  d.Symbols = {{0x010, "TWorker", "Run"}, {0x080, "", "FreeProc"}, {0x300, "TOther", "Go_2"}};
  d.Lines = {{0x010, 50}, {0x018, 51}, {0x030, 55}, {0x080, 70}, {0x300, 5}, {0x310, 4}};
  return d;
}

TEST(JclDebug, NamesUnitsSymbolsAndLines) {
  const auto data = testing::WriteJclDebug(JclFixture());
  const TTrDebugInfoJedy source(data.data(), data.size());
  ASSERT_TRUE(source.ValidData());
  struct Case {
    std::uint32_t Offset;
    const char *Unit, *Source, *Proc;
    std::uint32_t Line;
    std::int32_t ProcOffset;
  };
  const Case cases[] = {
      {0x010, "JclUnitA", "JclUnitA.pas", "TWorker.Run", 50, 0},
      {0x02F, "JclUnitA", "JclUnitA.pas", "TWorker.Run", 51, 1},
      {0x035, "JclUnitA", "JclUnitA.pas", "TWorker.Run", 55, 5},
      {0x090, "JclUnitA", "JclUnitA.pas", "FreeProc", 70, 0},
      {0x312, "JclUnitB", "jcl-unit b.pas", "TOther.Go_2", 4, 0},  // a line table may step back
  };
  for (const Case& c : cases) {
    const auto info = source.GetLocationInfo(0x1000 + c.Offset);
    ASSERT_TRUE(info) << std::hex << c.Offset;
    EXPECT_EQ(info->UnitName, c.Unit) << std::hex << c.Offset;
    EXPECT_EQ(info->SourceName, c.Source) << std::hex << c.Offset;
    EXPECT_EQ(info->ProcedureName, c.Proc) << std::hex << c.Offset;
    EXPECT_EQ(info->LineNumber, c.Line) << std::hex << c.Offset;
    EXPECT_EQ(info->OffsetFromLineNumber, c.ProcOffset) << std::hex << c.Offset;
  }
  EXPECT_FALSE(source.GetLocationInfo(0x0800));
  EXPECT_EQ(source.GetLocationInfo(0x1035)->ProcedureRange, std::make_pair(0x1010u, 0x1080u));
  EXPECT_FALSE(source.GetLocationInfo(0x1312)->ProcedureRange);  // the last symbol's end is unknown
}

TEST(JclDebug, RefusesDamagedData) {
  const auto data = testing::WriteJclDebug(JclFixture());
  std::vector<std::uint8_t> badSignature = data;
  badSignature[0] = 'X';
  EXPECT_FALSE(TTrDebugInfoJedy(badSignature.data(), badSignature.size()).ValidData());
  for (std::size_t cut : {std::size_t{3}, std::size_t{20}, std::size_t{40}}) {
    EXPECT_FALSE(TTrDebugInfoJedy(data.data(), cut).ValidData()) << cut;
  }
  std::vector<std::uint8_t> endless = data;
  endless[5] = 0xF0, endless[6] = 0xFF, endless[7] = 0xFF, endless[8] = 0x00;  // units list beyond the data
  EXPECT_FALSE(TTrDebugInfoJedy(endless.data(), endless.size()).ValidData());
}

}  // namespace
}  // namespace tracira
