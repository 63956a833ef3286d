// How trdata names inlined code and groups code into units.
#include <gtest/gtest.h>

#include <filesystem>

#include "tools/trdata/UnitBuilder.h"

namespace trdata {
namespace {

using tracira::AddressRow;
using tracira::InlinedCall;

enum File : std::uint32_t { kMain, kVector, kFunction, kInvoke, kAlloc, kOptional };
const std::vector<std::string> kPaths = {"/p/Fmu/fmuMain.cpp",
                                         "/usr/include/c++/bits/stl_vector.h",
                                         "/usr/include/c++/bits/std_function.h",
                                         "/usr/include/c++/bits/invoke.h",
                                         "/usr/include/c++/bits/alloc_traits.h",
                                         "/usr/include/c++/optional"};

AddressRow Row(std::uint32_t address, std::uint32_t file, std::uint32_t line) {
  return {address, file, line, false};
}
AddressRow End(std::uint32_t address) { return {address, 0, 0, true}; }

TEST(UnitBuilder, SourceFilesAreTellApartFromHeadersByExtension) {
  for (const char* source : {"a.cpp", "/x/b.CPP", "c.cc", "d.c", "e.cxx", "f.c++"})
    EXPECT_TRUE(IsSourceFile(source));
  for (const char* header : {"a.h", "vector", "stl_tree.tcc", "swprintf.inl", "/dir.d/optional"})
    EXPECT_FALSE(IsSourceFile(header));
}

TEST(UnitBuilder, CodeInlinedFromAHeaderIsNamedByTheLineThatLedToIt) {
  const std::vector<AddressRow> rows = {
      // A form's method: std::vector's push_back, and in it alloc_traits,
      // inlined at line 11; a helper of the same file inlined at line 13.
      Row(0x1000, kMain, 10), Row(0x1008, kVector, 100), Row(0x100c, kAlloc, 200), Row(0x1010, kMain, 12),
      Row(0x1018, kMain, 20), End(0x1020),
      // std::function's invoker with a lambda inlined (through invoke.h),
      // and push_back inlined into the lambda at its line 221.
      Row(0x1020, kFunction, 290), Row(0x1024, kMain, 220), Row(0x1028, kVector, 100),
      Row(0x102c, kFunction, 292), End(0x1030),
      // A header's template: alloc_traits inlined at its line 51, the call's
      // range starting inside the row before.
      Row(0x1030, kVector, 50), Row(0x1038, kAlloc, 300), End(0x1040)};
  const std::vector<InlinedCall> calls = {
      {0x1008, 0x1010, kMain, 11, 1},      {0x100c, 0x1010, kVector, 101, 2}, {0x1018, 0x1020, kMain, 13, 1},
      {0x1024, 0x102c, kFunction, 290, 1}, {0x1024, 0x102c, kInvoke, 61, 2},  {0x1028, 0x102c, kMain, 221, 3},
      {0x1034, 0x1040, kVector, 51, 1}};
  const std::vector<AddressRow> want = {Row(0x1000, kMain, 10),
                                        Row(0x1008, kMain, 11),
                                        Row(0x1010, kMain, 12),
                                        Row(0x1018, kMain, 20),
                                        Row(0x1020, kFunction, 290),
                                        Row(0x1024, kMain, 220),
                                        Row(0x1028, kMain, 221),
                                        Row(0x102c, kFunction, 292),
                                        Row(0x1030, kVector, 50),
                                        Row(0x1038, kVector, 51),
                                        End(0x1040)};
  const std::vector<AddressRow> got = AttributeInlinedCode(rows, calls, kPaths);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].Address, want[i].Address) << i;
    EXPECT_EQ(got[i].EndSequence, want[i].EndSequence) << i;
    EXPECT_EQ(got[i].File, want[i].File) << i;
    EXPECT_EQ(got[i].Line, want[i].Line) << i;
  }
}

TEST(UnitBuilder, UnitsAreRunsOfOneFileOverPaddingButNotOverOtherCode) {
  constexpr std::uint32_t kBase = 0x401000;
  const std::vector<AddressRow> rows = {Row(kBase + 0x00, kMain, 10),
                                        Row(kBase + 0x08, kMain, 11),
                                        End(kBase + 0x0e),  // padding up to F2
                                        Row(kBase + 0x10, kMain, 30),
                                        End(kBase + 0x20),  // F3 has no lines
                                        Row(kBase + 0x30, kMain, 40),
                                        End(kBase + 0x40),
                                        Row(kBase + 0x40, kVector, 50),
                                        Row(kBase + 0x48, kMain, 60),
                                        End(kBase + 0x50),  // F5 leaves its file
                                        Row(kBase + 0x50, kOptional, 7),
                                        End(kBase + 0x58)};
  const std::vector<Function> functions = {{0x00, "TfmMain.F1"}, {0x10, "TfmMain.F2"},          {0x20, "F3"},
                                           {0x30, "F4"},         {0x40, "std::vector<int>.F5"}, {0x50, "F6"}};
  const std::vector<tracira::TTrUnit> units = BuildUnits(rows, kPaths, kBase, functions);
  struct WantRow {
    std::uint32_t offset, line;
    std::string procedure;
  };
  struct Want {
    std::string name;
    std::uint32_t offset, size;
    std::vector<WantRow> rows;
  };
  const Want want[] = {
      {"fmuMain.cpp", 0x00, 0x20, {{0x00, 10, "TfmMain.F1"}, {0x08, 11, ""}, {0x10, 30, "TfmMain.F2"}}},
      {"fmuMain.cpp", 0x30, 0x10, {{0x30, 40, "F4"}}},
      {"stl_vector.h", 0x40, 0x08, {{0x40, 50, "std::vector<int>.F5"}}},
      {"fmuMain.cpp", 0x48, 0x08, {{0x48, 60, "std::vector<int>.F5"}}},  // a unit starting inside a function
      {"optional.", 0x50, 0x08, {{0x50, 7, "F6"}}}};                     // stored so that it reads back as is
  ASSERT_EQ(units.size(), std::size(want));
  for (std::size_t u = 0; u < units.size(); ++u) {
    EXPECT_EQ(units[u].Name, want[u].name) << u;
    EXPECT_EQ(units[u].Offset, want[u].offset) << u;
    EXPECT_EQ(units[u].Size, want[u].size) << u;
    EXPECT_EQ(units[u].FirstLine, want[u].rows.front().line) << u;
    ASSERT_EQ(units[u].Rows.size(), want[u].rows.size()) << u;
    for (std::size_t r = 0; r < units[u].Rows.size(); ++r) {
      EXPECT_EQ(units[u].Rows[r].Offset, want[u].rows[r].offset) << u << " " << r;
      EXPECT_EQ(units[u].Rows[r].Line, want[u].rows[r].line) << u << " " << r;
      EXPECT_EQ(units[u].Rows[r].StartsProcedure, !want[u].rows[r].procedure.empty()) << u << " " << r;
      EXPECT_EQ(units[u].Rows[r].Procedure, want[u].rows[r].procedure) << u << " " << r;
    }
  }
}

TEST(UnitBuilder, CrashReporterCodeNeverSharesAUnitWithOtherCode) {
  // The tree this test comes from: tests/crashreport/debug/UnitBuilderTest.cpp.
  const std::string root = std::filesystem::path(__FILE__)
                               .parent_path()
                               .parent_path()
                               .parent_path()
                               .parent_path()
                               .generic_string();
  const std::vector<std::string> paths = {root + "/Fmu/Helpers.cpp",
                                          root + "/crashreport/engine/Helpers.cpp"};
  constexpr std::uint32_t kBase = 0x401000;
  const std::vector<AddressRow> rows = {Row(kBase + 0x00, 0, 10), Row(kBase + 0x10, 1, 20),
                                        Row(kBase + 0x18, 0, 30), End(kBase + 0x20)};
  const std::vector<tracira::TTrUnit> units = BuildUnits(rows, paths, kBase, {{0x00, "F1"}});
  ASSERT_EQ(units.size(), 3u);
  for (std::size_t u = 0; u < units.size(); ++u) EXPECT_EQ(units[u].Name, "Helpers.cpp") << u;
  EXPECT_EQ(units[1].Offset, 0x10u);
  EXPECT_EQ(units[1].Size, 0x08u);
  EXPECT_EQ(units[1].SourcePath, paths[1]);
  EXPECT_TRUE(tracira::IsCrashReporterSource(units[1].SourcePath));
  EXPECT_FALSE(tracira::IsCrashReporterSource(units[0].SourcePath));
}

}  // namespace
}  // namespace trdata
