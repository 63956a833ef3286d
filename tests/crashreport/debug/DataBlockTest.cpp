#include <gtest/gtest.h>

#include "crashreport/core/TrStream.h"
#include "crashreport/debug/TrDataWriter.h"
#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrEncrypt.h"
#include "crashreport/debug/TrPeImage.h"

namespace tracira {
namespace {

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) (s += d[p[i] >> 4]) += d[p[i] & 15];
  return s;
}

TEST(TrEncrypt, PublishedTestVectors) {
  // FIPS-197 appendix C.1.
  std::array<std::uint8_t, 16> key{};
  TAes128::Block plain{};
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<std::uint8_t>(i);
    plain[i] = static_cast<std::uint8_t>(i * 0x11);
  }
  const TAes128::Block c = TAes128(key).EncryptBlock(plain);
  EXPECT_EQ(Hex(c.data(), 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
  // FIPS 180-4 examples.
  const std::string abc = "abc";
  EXPECT_EQ(Hex(Sha256(reinterpret_cast<const std::uint8_t*>(abc.data()), 3).data(), 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Hex(Sha256(reinterpret_cast<const std::uint8_t*>(two.data()), two.size()).data(), 32),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(TrEncrypt, CounterModeRoundTripsAndDependsOnNonceAndPassword) {
  std::vector<std::uint8_t> data(40);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  const auto original = data;
  TTrEncryptKey("secret").Crypt(7, data.data(), data.size());
  EXPECT_NE(data, original);
  auto other = original;
  TTrEncryptKey("secret").Crypt(8, other.data(), other.size());
  EXPECT_NE(data, other);
  TTrEncryptKey("secret").Crypt(7, data.data(), data.size());
  EXPECT_EQ(data, original);
}

struct EntryCase {
  std::vector<std::uint8_t> bytes;
  std::uint16_t version;
  TTrLineEntry expected;
};

TEST(LineData, EveryEntryForm) {
  const EntryCase cases[] = {
      {{0x00}, 6006, {1, 1, false}},                    // 1 byte: smallest
      {{0xFE}, 6006, {4, 32, false}},                   // 1 byte: largest
      {{0x01}, 6006, {1, 1, true}},                     // 1 byte with procedure
      {{0xFD}, 6006, {8, 8, true}},                     // bits 5-7 and 2-4 all set
      {{0x03, 0x00}, 6006, {1, 1, false}},              // 16-bit word
      {{0xF7, 0xFF}, 6006, {32, 128, true}},            // 16-bit word, all fields set
      {{0x0B, 0x00, 0x00, 0x00}, 6006, {1, 1, false}},  // 32-bit word
      {{0x0F, 0x10, 0xE0, 0x0F}, 6006, {0x101, 0xFF, true}},
      {{0xFB, 0xFF, 0xFF, 0xFF}, 6006, {0, 0, false}},   // code field 4095: no code advance
      {{0x2B, 0x00, 0xF0, 0xFF}, 6006, {3, 0, false}},   // line advances, code stays
      {{0xEB, 0xFF, 0x0F, 0x00}, 6006, {-1, 1, false}},  // 16-bit line advance steps back
      {{0xEB, 0xFF, 0xEF, 0xFF, 0x09, 0x00, 0xFF, 0x1F}, 6006, {10, 0x2000, false}},  // escape
      {{0xEF, 0xFF, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 6006, {0, 65536, true}},
      {{0xEB, 0xFF, 0xEF, 0xFF}, 422, {-1, 4095, false}},  // before 423 the escape is a plain word
  };
  for (const EntryCase& c : cases) {
    TrByteReader r(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(ReadLineEntry(r, c.version), c.expected) << Hex(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(r.Remaining(), 0u) << Hex(c.bytes.data(), c.bytes.size());
  }
}

TEST(LineData, WriterPicksFormsThatReadBackToTheSameAdvances) {
  struct Step {
    std::int64_t line;
    std::uint64_t code;
    bool proc;
    std::size_t size;  // bytes the shortest form needs
  };
  const Step steps[] = {{1, 1, false, 1},     {4, 32, false, 1},     {8, 8, true, 1},
                        {5, 1, false, 2},     {32, 128, true, 2},    {0, 0, true, 4},
                        {-3, 20, false, 4},   {300, 4095, false, 4}, {-1, 4095, false, 8},
                        {2, 70000, true, 16}, {100000, 3, false, 16}};
  for (std::uint16_t version : {std::uint16_t{6006}, std::uint16_t{422}}) {
    for (const Step& s : steps) {
      std::vector<std::uint8_t> out;
      WriteLineEntries(out, s.line, s.code, s.proc, version);
      if (version == 6006) {
        EXPECT_EQ(out.size(), s.size) << s.line << "/" << s.code;
      }
      TrByteReader r(out.data(), out.size());
      std::int64_t line = 0;
      std::uint64_t code = 0;
      bool proc = false;
      while (r.Remaining() > 0) {
        const TTrLineEntry e = ReadLineEntry(r, version);
        line += e.LineAdvance;
        code += e.CodeAdvance;
        proc = e.NewProcedure;
      }
      EXPECT_EQ(line, s.line) << version;
      EXPECT_EQ(code, s.code) << version;
      EXPECT_EQ(proc, s.proc) << version;
    }
  }
}

// Two units; the first holds a class with two methods and a free function.
std::vector<TTrUnit> SampleUnits() {
  TTrUnit a{"fmuMain.cpp", 10, 0x100, 0x200, {}};
  a.Rows = {{0x100, 12, "TfmMain.FormCreate", true},  {0x110, 13, "", false}, {0x150, 20, "", false},
            {0x180, 30, "TfmMain.ButtonClick", true}, {0x181, 29, "", false},  // optimised code steps back
            {0x1C0, 40, "HelperFunction", true},      {0x1D0, 45, "", false}};
  TTrUnit b{"ScanerX", 1, 0x400, 0x40, {}};  // stored without an extension
  b.Rows = {{0x400, 5, "TScanerX.SetEnabled", true}, {0x420, 7, "", false}};
  TTrUnit c{StoredUnitName("optional"), 280, 0x440, 0x10, {}};  // a file that has no extension
  c.Rows = {{0x440, 286, "std::optional<int>.value", true}};
  return {a, b, c};
}

struct Expect {
  std::uint32_t offset;
  TTrSourceInfo info;
};

const Expect kExpected[] = {
    {0x100, {"fmuMain.cpp", "TfmMain", "FormCreate", 12, 0}},
    {0x10F, {"fmuMain.cpp", "TfmMain", "FormCreate", 12, 0}},
    {0x110, {"fmuMain.cpp", "TfmMain", "FormCreate", 13, 1}},
    {0x17F, {"fmuMain.cpp", "TfmMain", "FormCreate", 20, 8}},
    {0x180, {"fmuMain.cpp", "TfmMain", "ButtonClick", 30, 0}},
    {0x181, {"fmuMain.cpp", "TfmMain", "ButtonClick", 29, -1}},
    {0x1C5, {"fmuMain.cpp", "", "HelperFunction", 40, 0}},
    {0x2FF, {"fmuMain.cpp", "", "HelperFunction", 45, 5}},  // after the last entry: up to the unit's end
    {0x41F, {"ScanerX.cpp", "TScanerX", "SetEnabled", 5, 0}},
    {0x43F, {"ScanerX.cpp", "TScanerX", "SetEnabled", 7, 2}},
    {0x444, {"optional", "std::optional<int>", "value", 286, 0}},
};

TEST(DataBlock, CurrentLayoutRoundTrip) {
  TTraciraModuleOptions options;
  options.SetActivateLog(true);
  options.SetFreezeTimeout(0);
  TTrBlockSource source;
  source.CompilationDate = 45000.25;
  source.LeaksOptions = {leaks::loGroupsSonLeaks, leaks::loFreeAllLeaks};
  source.LeaksFromMainModule = true;
  source.Symbols = {{VCL1_ID, 0x1234, 16}, {ExceptionLogFInit_ID, 0x20, 4}};
  source.Units = SampleUnits();
  source.Password = "pw";
  const auto block = WriteDataBlock(source, options);

  TTraciraModuleOptions loaded("keep.exe");
  const auto info = LoadData(block.data(), block.size(), loaded, [] { return std::string("pw"); });
  EXPECT_EQ(info.TraciraVersion, 6006);
  EXPECT_EQ(info.CompilationDate, 45000.25);
  EXPECT_EQ(info.LeaksOptions.ToBits(), 0x0A);
  EXPECT_TRUE(info.LeaksFromMainModule);
  EXPECT_EQ(info.Symbols, source.Symbols);
  EXPECT_EQ(GetSymbolOffset(info, ExceptionLogFInit_ID), 0x20u);
  EXPECT_FALSE(GetSymbolOffset(info, CGI_ID));
  EXPECT_TRUE(info.IsValidEncryptPassword);
  EXPECT_TRUE(loaded.ActivateLog());
  EXPECT_EQ(loaded.FreezeTimeout(), 0);
  EXPECT_EQ(loaded.ModuleName(), "keep.exe");
  for (const Expect& e : kExpected)
    EXPECT_EQ(GetSourceInfoByAddr(info, e.offset), e.info) << std::hex << e.offset;
  for (std::uint32_t outside : {0x0u, 0xFFu, 0x300u, 0x3FFu, 0x450u, 0xFFFFFFFFu})
    EXPECT_FALSE(GetSourceInfoByAddr(info, outside)) << std::hex << outside;
}

// A built program given other options: the debug data, the symbols, the
// build time and the password check stay as they were.
TEST(DataBlock, ReplacedOptionsKeepEverythingElse) {
  TTraciraModuleOptions first;
  TTrBlockSource source;
  source.CompilationDate = 45000.5;
  source.LeaksOptions = first.LeaksOptions();
  source.LeaksFromMainModule = true;
  source.Symbols = {{VCL1_ID, 0x1234, 16}};
  source.Units = SampleUnits();
  source.Password = "pw";
  const auto block = WriteDataBlock(source, first);

  TTraciraModuleOptions second;
  second.SetSMTPHost("127.0.0.1");
  second.SetLeaksOptions({leaks::loCatchLeaks});
  const auto replaced = ReplaceBlockOptions(block.data(), block.size(), second, false);
  TTraciraModuleOptions before, after;
  const auto password = [] { return std::string("pw"); };
  const auto old = LoadData(block.data(), block.size(), before, password);
  const auto now = LoadData(replaced.data(), replaced.size(), after, password);
  EXPECT_EQ(after.Data(), second.Data());
  EXPECT_EQ(now.LeaksOptions.ToBits(), 0x01);
  EXPECT_FALSE(now.LeaksFromMainModule);
  EXPECT_EQ(now.CompilationDate, old.CompilationDate);
  EXPECT_EQ(now.Symbols, old.Symbols);
  EXPECT_EQ(now.DebugInformation, old.DebugInformation);
  EXPECT_TRUE(now.IsValidEncryptPassword);
  for (const Expect& e : kExpected)
    EXPECT_EQ(GetSourceInfoByAddr(now, e.offset), e.info) << std::hex << e.offset;

  // A damaged block, or one whose header has no leak options, is refused.
  const std::vector<std::uint8_t> cut(block.begin(), block.end() - 10);
  EXPECT_THROW(ReplaceBlockOptions(cut.data(), cut.size(), second, false), ETrDataError);
  source.Version = 502;
  const auto older = WriteDataBlock(source, first);
  EXPECT_THROW(ReplaceBlockOptions(older.data(), older.size(), second, false), ETrDataError);
}

TEST(DataBlock, NamesWithoutAValidPasswordAreShownAsBase64) {
  TTraciraModuleOptions options;
  TTrBlockSource source;
  source.Units = SampleUnits();
  source.Password = "right";
  const auto block = WriteDataBlock(source, options);
  const auto info = LoadData(block.data(), block.size(), options, [] { return std::string("wrong"); });
  EXPECT_FALSE(info.IsValidEncryptPassword);
  const auto found = GetSourceInfoByAddr(info, 0x105);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Line, 12u);  // lines and offsets stay usable
  EXPECT_EQ(found->UnitName.substr(0, 2), "?p");
  EXPECT_EQ(found->UnitName.size(), 2 + 16u);   // Base64 of 11 bytes
  EXPECT_EQ(found->ClassName.size(), 1 + 12u);  // "?" + Base64 of "TfmMain"
  EXPECT_EQ(found->ClassName[0], '?');
  EXPECT_EQ(found->ProcedureName[0], '?');
  // No password asked at all is the empty password: wrong here too.
  EXPECT_FALSE(LoadData(block.data(), block.size(), options).IsValidEncryptPassword);
}

TEST(DataBlock, EveryLayoutVersion) {
  // 600 reads as 6000; 501 has no qualified names; before 500 names are
  // XOR-ed and the options lead the main stream; before 450 it isn't compressed.
  for (std::uint16_t stored : {6006, 6000, 600, 602, 502, 501, 500, 499, 460, 449, 423, 300}) {
    TTraciraModuleOptions options;
    options.SetSupportURL("http://v" + std::to_string(stored));
    TTrBlockSource source;
    source.Version = stored;
    source.CompilationDate = 1.5;
    source.LeaksOptions = {leaks::loCatchLeaks};
    source.Symbols = {{SystemFInit_ID, 0x99, 1}};
    source.Units = SampleUnits();
    const auto block = WriteDataBlock(source, options);
    TTraciraModuleOptions loaded;
    const auto info = LoadData(block.data(), block.size(), loaded);
    const std::uint16_t mapped = MapTrDataVersion(stored);
    EXPECT_EQ(info.TraciraVersion, mapped);
    EXPECT_EQ(info.CompilationDate, 1.5);
    EXPECT_EQ(info.LeaksOptions.ToBits(), mapped >= 6000 ? 1 : 0) << stored;
    EXPECT_EQ(info.Symbols.size(), mapped >= 500 ? 1u : 0u) << stored;
    EXPECT_EQ(loaded.SupportURL(), "http://v" + std::to_string(stored));
    for (const Expect& e : kExpected)
      EXPECT_EQ(GetSourceInfoByAddr(info, e.offset), e.info) << stored << " " << std::hex << e.offset;
  }
  EXPECT_EQ(MapTrDataVersion(600), 6000);
  EXPECT_EQ(MapTrDataVersion(601), 6001);
  EXPECT_EQ(MapTrDataVersion(603), 603);
}

TEST(DataBlock, OldestLayoutAppendedToTheFile) {
  TTraciraModuleOptions options;
  options.SetEMailSubject("old");
  TTrBlockSource source;
  source.Version = 400;
  source.CompilationDate = 2.0;
  source.Units = SampleUnits();
  std::vector<std::uint8_t> file(1000, 0xCC);  // the module's own bytes
  const auto tail = WriteDataBlock_Old(source, options);
  file.insert(file.end(), tail.begin(), tail.end());
  TTraciraModuleOptions loaded;
  const auto info = LoadData_Old(file.data(), file.size(), loaded);
  EXPECT_EQ(info.TraciraVersion, 400);
  EXPECT_EQ(loaded.EMailSubject(), "old");
  for (const Expect& e : kExpected) EXPECT_EQ(GetSourceInfoByAddr(info, e.offset), e.info);
  const std::vector<std::uint8_t> plain(100, 0);
  EXPECT_THROW(LoadData_Old(plain.data(), plain.size(), loaded), ETrDataError);
}

TEST(DataBlock, DamagedBlocksAreRefusedWholeAndChangeNothing) {
  TTraciraModuleOptions options;
  options.SetSMTPHost("stored");
  TTrBlockSource source;
  source.Units = SampleUnits();
  const auto block = WriteDataBlock(source, options);

  auto expectRefused = [](const std::vector<std::uint8_t>& bad, const std::string& what) {
    TTraciraModuleOptions target("m");
    EXPECT_THROW(LoadData(bad.data(), bad.size(), target), ETrDataError) << what;
    EXPECT_TRUE(target.Data() == TTraciraModuleOptions("m").Data()) << what;
  };
  auto newer = block;
  newer[4] = 0x77, newer[5] = 0x17;  // 6007
  expectRefused(newer, "newer version");
  auto magic = block;
  magic[3] = 0x20;
  expectRefused(magic, "magic");
  auto symbols = block;
  symbols[19] = 0x40;  // symbol table length beyond the data
  expectRefused(symbols, "symbol length");
  auto packed = block;
  packed[30] ^= 0x55;  // inside the compressed options
  expectRefused(packed, "compressed options");
  for (std::size_t cut = 0; cut + 1 < block.size(); ++cut)
    expectRefused(std::vector<std::uint8_t>(block.begin(), block.begin() + static_cast<long>(cut)),
                  "cut at " + std::to_string(cut));
  // The alternative magic is accepted.
  auto alt = block;
  alt[3] = 0x00;
  TTraciraModuleOptions target;
  EXPECT_NO_THROW(LoadData(alt.data(), alt.size(), target));
}

TEST(DataBlock, DamagedDebugStreamGivesNoResult) {
  TTraciraExtraInformation info;
  info.TraciraVersion = 6006;
  info.IsValidEncryptPassword = true;
  info.DebugInformation = WriteDebugStream(SampleUnits(), 6006, "");
  const std::vector<std::uint8_t> whole = info.DebugInformation;
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    info.DebugInformation.assign(whole.begin(), whole.begin() + static_cast<long>(cut));
    for (const Expect& e : kExpected) {
      const auto r = GetSourceInfoByAddr(info, e.offset);
      if (r) {
        EXPECT_EQ(r->Line, e.info.Line);  // whatever is found is right
      }
    }
  }
}

TEST(DataBlock, NamesTooLongForTheFormatAreShortenedInTheMiddle) {
  const std::string cls = "std::map<" + std::string(150, 'k') + ", Value>";
  const std::string method = "emplace<" + std::string(200, 'a') + ", Last>";
  const std::string file = std::string(300, 'f') + "_header.h";
  TTrUnit unit{file, 1, 0x100, 0x40, {}};
  // The third is again a method of the class before, too long for ".Name".
  unit.Rows = {{0x100, 1, cls + "." + method, true},
               {0x120, 2, cls + ".erase", true},
               {0x130, 3, cls + "." + method, true}};
  for (const std::uint16_t version : {std::uint16_t{6006}, std::uint16_t{501}}) {
    TTraciraExtraInformation info;
    info.TraciraVersion = version;
    info.IsValidEncryptPassword = true;
    info.DebugInformation = WriteDebugStream({unit}, version, "");
    const auto first = GetSourceInfoByAddr(info, 0x100);
    const auto second = GetSourceInfoByAddr(info, 0x120);
    ASSERT_TRUE(first && second) << version;
    // Each keeps its start and its end around one mark.
    for (const auto& [got, whole] :
         {std::pair{first->ClassName, cls}, std::pair{first->ProcedureName, method},
          std::pair{first->UnitName, file}, std::pair{second->ClassName, cls}}) {
      const std::size_t mark = got.find(kNameCutMark);
      ASSERT_NE(mark, std::string::npos) << version << " " << got;
      EXPECT_EQ(got.find(kNameCutMark, mark + 1), std::string::npos) << got;
      EXPECT_EQ(whole.substr(0, mark), got.substr(0, mark)) << got;
      const std::string tail = got.substr(mark + kNameCutMark.size());
      EXPECT_EQ(whole.substr(whole.size() - tail.size()), tail) << got;
      EXPECT_GT(tail.size(), 20u) << got;
    }
    EXPECT_EQ(first->UnitName.size(), version >= 502 ? 127u : 255u);
    if (version >= 502) {  // class and name are parts of their own
      EXPECT_EQ(first->ClassName.size(), 127u);
      EXPECT_EQ(first->ProcedureName.size(), 127u);
    } else {
      EXPECT_EQ(first->ClassName.size() + 1 + first->ProcedureName.size(), 255u);
    }
    EXPECT_EQ(second->ProcedureName, "erase");
    if (version >= 502) {
      const auto third = GetSourceInfoByAddr(info, 0x130);
      ASSERT_TRUE(third);
      EXPECT_EQ(third->ClassName, first->ClassName);
      EXPECT_EQ(third->ProcedureName, first->ProcedureName);
    }
  }
}

TEST(DataBlock, ShortenNameKeepsStartAndEnd) {
  EXPECT_EQ(ShortenName("short", 5), "short");
  EXPECT_EQ(ShortenName("abcdefghij", 7), "abc~~ij");
  EXPECT_EQ(ShortenName("abcdefghij", 8), "abc~~hij");
  EXPECT_EQ(ShortenName("abcdefghij", 2), "ab");  // no room for the mark
}

TEST(SharedOptions, NameAndBlockRoundTrip) {
  EXPECT_EQ(SharedDataName(0x1A2B, 0x00400000), "00001A2B00400000MODULE");
  TTraciraModuleOptions source;
  source.SetWebURL("http://shared");
  auto block = BuildSharedOptionsBlock(source);
  TTraciraModuleOptions target("mine.dll");
  EXPECT_TRUE(ApplySharedOptionsBlock(block.data(), block.size(), target));
  EXPECT_EQ(target.WebURL(), "http://shared");
  EXPECT_EQ(target.ModuleName(), "mine.dll");
  block[4] = 0;  // flag off: the module keeps its own options
  TTraciraModuleOptions untouched;
  EXPECT_FALSE(ApplySharedOptionsBlock(block.data(), block.size(), untouched));
  EXPECT_EQ(untouched.WebURL(), "");
  block[4] = 1;
  EXPECT_THROW(ApplySharedOptionsBlock(block.data(), block.size() - 1, untouched), ETrDataError);
}

// A header offset just below 4 GB must be refused, not wrapped round to
// the file's start (which a 32-bit build's sum of offset and size would do).
TEST(PeImage, OffsetsNearTheEndOfTheAddressRangeAreRefused) {
  for (const std::uint32_t offset : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFCu}) {
    std::vector<std::uint8_t> file(0x200, 0);
    file[0] = 'M', file[1] = 'Z';
    for (int i = 0; i < 4; ++i) file[0x3C + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    EXPECT_THROW(PeImage{file}, std::runtime_error) << std::hex << offset;
  }
}

}  // namespace
}  // namespace tracira
