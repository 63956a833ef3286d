// Modules named by each outside debug source, loaded for real: a GNU ld
// map beside the module, DWARF in it, TD32 data in the image and in a
// ".tds" file, JCL data in a "JCLDEBUG" section and in a ".jdbg" file, and
// exports alone. TD32 and JCL data are written into copies of a fixture.
#include <gtest/gtest.h>
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrStack.h"
#include "tests/crashreport/debug/DebugFormatWriters.h"

namespace tracira {
namespace {

namespace fs = std::filesystem;

fs::path ProgramFolder() {
  wchar_t name[MAX_PATH];
  GetModuleFileNameW(nullptr, name, MAX_PATH);
  return fs::path(name).parent_path();
}

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& p, const std::vector<std::uint8_t>& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

struct Library {
  explicit Library(const fs::path& p) : Handle(LoadLibraryW(p.c_str())) {}
  ~Library() {
    if (Handle) FreeLibrary(Handle);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  std::uintptr_t Base() const { return reinterpret_cast<std::uintptr_t>(Handle); }
  std::uint32_t Rva(const char* exportName) const {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetProcAddress(Handle, exportName)) -
                                      Base());
  }
  HMODULE Handle;
};

// As at the start of each handling: modules unloaded since, or replaced by
// another at the same address, leave the list first.
TTraciraDebugInfo Lookup(std::uintptr_t address) {
  ProcessModules().PurgeModulesList();
  TTraciraDebugInfo e;
  GetDebugInfosByAddr(address, 1, e, false, true);
  return e;
}

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    fDir = fs::path(temp) / ("tracira_modules_" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(fDir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(fDir, ignored);
  }
  // A copy of a fixture under another name, with files beside it.
  fs::path Copy(const char* fixture, const std::string& as) {
    const fs::path to = fDir / (as + ".dll");
    fs::copy_file(ProgramFolder() / (std::string(fixture) + ".dll"), to,
                  fs::copy_options::overwrite_existing);
    return to;
  }
  // The RVAs of the plain fixture's three functions.
  struct PlainRvas {
    std::uint32_t Alpha, Beta, Gamma, TextRva;
  };
  PlainRvas Rvas() {
    Library lib(ProgramFolder() / "fixture_plain.dll");
    const PeImage pe(ReadAll(ProgramFolder() / "fixture_plain.dll"));
    std::uint32_t text = 0;
    for (const Section& s : pe.Sections())
      if (s.Name == ".text") text = s.VirtualAddress;
    return {lib.Rva("FixtureAlpha"), lib.Rva("FixtureBeta"), lib.Rva("FixtureGamma"), text};
  }

  fs::path fDir;
};

TEST_F(ModulesTest, GnuMapBesideTheModule) {
  Library lib(ProgramFolder() / "fixture_map.dll");
  ASSERT_TRUE(lib.Handle);
  using Probe = void* (*)(unsigned*);
  unsigned line = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(
      reinterpret_cast<Probe>(reinterpret_cast<void*>(GetProcAddress(lib.Handle, "FixtureMapProbe")))(&line));
  const TTraciraDebugInfo e = Lookup(address);
  EXPECT_EQ(e.DebugDetail, ddUnitAndProcedure);
  EXPECT_EQ(e.UnitName, "FixtureMap.cpp");
  EXPECT_EQ(e.ProcedureName, "FixtureMapProbe");
  EXPECT_EQ(e.Line, 0u);
  EXPECT_NE(e.ModuleName.find("fixture_map.dll"), std::string::npos);
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(address);
  ASSERT_TRUE(module && module->OtherDebugData());
  EXPECT_EQ(module->OtherDebugData()->Kind(), TTrSourceKind::Map);
}

TEST_F(ModulesTest, DwarfInTheModule) {
  Library lib(ProgramFolder() / "fixture_dwarf.dll");
  ASSERT_TRUE(lib.Handle);
  using Probe = void* (*)(unsigned*, unsigned*);
  unsigned line = 0, first = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(reinterpret_cast<Probe>(
      reinterpret_cast<void*>(GetProcAddress(lib.Handle, "FixtureDwarfProbe")))(&line, &first));
  const TTraciraDebugInfo e = Lookup(address);
  EXPECT_EQ(e.DebugDetail, ddSourceCode);
  EXPECT_EQ(e.UnitName, "FixtureDwarf.cpp");
  EXPECT_EQ(e.ProcedureName, "FixtureDwarfProbe");
  EXPECT_EQ(e.Line, line);
  EXPECT_EQ(e.ProcOffsetLine, static_cast<std::int32_t>(line - first));
  EXPECT_GT(line, first);
  EXPECT_EQ(ProcessModules().ModuleInfoByAddr(address)->OtherDebugData()->Kind(), TTrSourceKind::Dwarf);
}

std::vector<testing::TD32Module> Td32For(std::uint32_t alpha, std::uint32_t beta, std::uint32_t text) {
  return {{"TdUnit",
           {{1, alpha - text, beta - alpha, "@TdUnit@TAlpha@Run$qqrv"},
            {1, beta - text, 0x10, "@TdUnit@Beta$qqri"}},
           {{"C:\\src\\TdUnit.pas",
             1,
             {{alpha - text, 100}, {alpha - text + 3, 101}, {beta - text, 200}, {beta - text + 4, 202}}}}}};
}

TEST_F(ModulesTest, TD32InTheImageAndInATdsFile) {
  const PlainRvas r = Rvas();
  const auto td32 = testing::WriteTD32(Td32For(r.Alpha, r.Beta, r.TextRva));
  const fs::path inImage = Copy("fixture_plain", "fixture_td32img");
  std::vector<std::uint8_t> image = ReadAll(inImage);
  image.insert(image.end(), td32.begin(), td32.end());
  WriteAll(inImage, image);
  const fs::path withTds = Copy("fixture_plain", "fixture_td32tds");
  WriteAll(fDir / "fixture_td32tds.tds", td32);

  for (const fs::path& p : {inImage, withTds}) {
    Library lib(p);
    ASSERT_TRUE(lib.Handle) << p.string();
    TTraciraDebugInfo e = Lookup(lib.Base() + r.Alpha + 4);
    EXPECT_EQ(e.DebugDetail, ddSourceCode) << p.string();
    EXPECT_EQ(e.UnitName, "TdUnit.pas");
    EXPECT_EQ(e.ClassName, "TAlpha");
    EXPECT_EQ(e.ProcedureName, "Run");
    EXPECT_EQ(e.Line, 101u);
    EXPECT_EQ(e.ProcOffsetLine, 1);
    e = Lookup(lib.Base() + r.Beta + 5);  // after the last line entry: no line
    EXPECT_EQ(e.DebugDetail, ddUnitAndProcedure);
    EXPECT_EQ(e.ProcedureName, "Beta");
    EXPECT_EQ(e.Line, 0u);
    EXPECT_EQ(ProcessModules().ModuleInfoByAddr(lib.Base())->OtherDebugData()->Kind(), TTrSourceKind::TD32);
  }
}

testing::JclDebugData JclFor(std::uint32_t alpha, std::uint32_t beta) {
  testing::JclDebugData d;
  d.ModuleName = "fixture";
  d.Units = {{alpha - 0x1000, "JclUnit"}};
  d.SourceNames = {{alpha - 0x1000, "JclUnit.pas"}};
  d.Symbols = {{alpha - 0x1000, "TJclThing", "Work"}, {beta - 0x1000, "", "Other"}};
  d.Lines = {{alpha - 0x1000, 10}, {alpha - 0x1000 + 2, 12}, {beta - 0x1000, 30}};
  return d;
}

TEST_F(ModulesTest, JclDataInAJdbgFileAndInAJcldebugSection) {
  const PlainRvas r = Rvas();
  const fs::path withJdbg = Copy("fixture_plain", "fixture_jdbg");
  WriteAll(fDir / "fixture_jdbg.jdbg", testing::WriteJclDebug(JclFor(r.Alpha, r.Beta)));
  {
    Library lib(withJdbg);
    ASSERT_TRUE(lib.Handle);
    const TTraciraDebugInfo e = Lookup(lib.Base() + r.Alpha + 3);
    EXPECT_EQ(e.DebugDetail, ddSourceCode);
    EXPECT_EQ(e.UnitName, "JclUnit.pas");
    EXPECT_EQ(e.ClassName, "TJclThing");
    EXPECT_EQ(e.ProcedureName, "Work");
    EXPECT_EQ(e.Line, 12u);
    EXPECT_EQ(e.ProcOffsetLine, 2);
    EXPECT_EQ(ProcessModules().ModuleInfoByAddr(lib.Base())->OtherDebugData()->Kind(), TTrSourceKind::Jcl);
  }
  // The section: written into the copy's reserved "JCLDEBUG" bytes.
  const fs::path withSection = Copy("fixture_jclsection", "fixture_jclsec");
  std::vector<std::uint8_t> image = ReadAll(withSection);
  std::uint32_t alpha = 0;
  {
    Library original(ProgramFolder() / "fixture_jclsection.dll");
    alpha = original.Rva("FixtureJclAlpha");
  }
  const PeImage pe(image);
  const Section* section = nullptr;
  for (const Section& s : pe.Sections())
    if (s.Name == "JCLDEBUG") section = &s;
  ASSERT_NE(section, nullptr);
  const auto jcl = testing::WriteJclDebug(JclFor(alpha, alpha + 0x10));
  ASSERT_LE(jcl.size(), section->RawSize);
  std::copy(jcl.begin(), jcl.end(), image.begin() + section->RawPointer);
  WriteAll(withSection, image);
  Library lib(withSection);
  ASSERT_TRUE(lib.Handle);
  const TTraciraDebugInfo e = Lookup(lib.Base() + alpha + 1);
  EXPECT_EQ(e.DebugDetail, ddSourceCode);
  EXPECT_EQ(e.ProcedureName, "Work");
  EXPECT_EQ(e.Line, 10u);
}

TEST_F(ModulesTest, ExportsOnlyWithDecoratedNamesAndVersionResource) {
  const PlainRvas r = Rvas();
  Library lib(ProgramFolder() / "fixture_plain.dll");
  ASSERT_TRUE(lib.Handle);
  ProcessModules().PurgeModulesList();
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(lib.Base() + r.Alpha);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->OtherDebugData(), nullptr);
  EXPECT_EQ(module->Description, "Tracira test fixture");
  EXPECT_EQ(module->Version, "1.2.3.4");
  EXPECT_EQ(module->ModuleType, mtOSLibrary);
  EXPECT_FALSE(module->ExtraInformation);
  ASSERT_EQ(module->FunctionsList.size(), 4u);

  TTraciraDebugInfo e = Lookup(lib.Base() + r.Beta + 2);
  EXPECT_EQ(e.DebugDetail, ddProcedure);
  EXPECT_EQ(e.ProcedureName, "FixtureBeta");
  EXPECT_TRUE(e.UnitName.empty());
  e = Lookup(lib.Base() + lib.Rva("@Fixunit@TFoo@Bar$qqrv") + 2);
  EXPECT_EQ(e.DebugDetail, ddUnitAndProcedure);
  EXPECT_EQ(e.UnitName, "Fixunit.cpp");
  EXPECT_EQ(e.ClassName, "TFoo");
  EXPECT_EQ(e.ProcedureName, "Bar");
  // Before the first export: the module alone.
  e = Lookup(lib.Base() + 0x10);
  EXPECT_EQ(e.DebugDetail, ddModule);
  EXPECT_TRUE(e.ProcedureName.empty());
}

// A module without data of its own is read only where needed: its version
// resource, its last bytes and the files beside it, never the whole file.
TEST_F(ModulesTest, ALargeModuleWithoutDataIsNotReadWhole) {
  const PlainRvas r = Rvas();
  const fs::path big = Copy("fixture_plain", "fixture_large");
  {
    // 128 MB of data after the image, which the loader ignores.
    std::ofstream out(big, std::ios::binary | std::ios::app);
    const std::vector<char> block(1 << 20, 'x');
    for (int i = 0; i < 128; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  Library lib(big);
  ASSERT_TRUE(lib.Handle);
  PROCESS_MEMORY_COUNTERS before{}, after{};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
  const TTraciraDebugInfo e = Lookup(lib.Base() + r.Alpha + 2);  // the module read, its sources looked for
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
  EXPECT_EQ(e.ProcedureName, "FixtureAlpha");
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(lib.Base() + r.Alpha);
  ASSERT_NE(module, nullptr);
  EXPECT_FALSE(module->ExtraInformation);
  EXPECT_EQ(module->OtherDebugData(), nullptr);
  EXPECT_EQ(module->Version, "1.2.3.4");
  // Far less than the file: the handling's 16 MB reserve would do.
  EXPECT_LT(after.PeakWorkingSetSize,
            std::max<SIZE_T>(before.PeakWorkingSetSize, before.WorkingSetSize + (16 << 20)));
}

}  // namespace
}  // namespace tracira
