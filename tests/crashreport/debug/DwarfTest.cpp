// The DWARF that the build tool reads: line tables with their files'
// folders, the rows of all tables by address (where one sequence ends at
// the address where the next begins, the next one's row holds), and the
// inlined calls of .debug_info in versions 4 and 5.
#include <gtest/gtest.h>

#include <stdexcept>

#include "crashreport/debug/TrDwarfInlines.h"
#include "crashreport/debug/TrDwarfLines.h"

namespace tracira {
namespace {

struct Bytes {
  std::vector<std::uint8_t> v;
  Bytes& U8(std::uint64_t x) { return N(x, 1); }
  Bytes& U16(std::uint64_t x) { return N(x, 2); }
  Bytes& U32(std::uint64_t x) { return N(x, 4); }
  Bytes& N(std::uint64_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    return *this;
  }
  Bytes& Uleb(std::uint64_t x) {
    do {
      v.push_back(static_cast<std::uint8_t>((x & 0x7F) | (x > 0x7F ? 0x80 : 0)));
      x >>= 7;
    } while (x);
    return *this;
  }
  Bytes& Str(const std::string& s) {
    v.insert(v.end(), s.begin(), s.end());
    v.push_back(0);
    return *this;
  }
  Bytes& Append(const Bytes& b) {
    v.insert(v.end(), b.v.begin(), b.v.end());
    return *this;
  }
  // A unit: its 32-bit length, then the body.
  Bytes& Unit(const Bytes& body) {
    U32(body.v.size());
    return Append(body);
  }
};

TEST(DwarfLines, Version5TableGivesFilesWithTheirFolders) {
  Bytes header;
  header.U8(1).U8(1).U8(1).U8(0xFB).U8(14).U8(
      13);  // min inst, max ops, is_stmt, line base, range, opcode base
  for (int n : {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1}) header.U8(n);
  header.U8(1).Uleb(1).Uleb(0x08);  // folders: path as string
  header.Uleb(3).Str("/p/src").Str("/usr/include").Str("sub");
  header.U8(2).Uleb(1).Uleb(0x08).Uleb(2).Uleb(0x0b);  // files: path, folder index (data1)
  header.Uleb(4).Str("a.cpp").U8(0).Str("b.h").U8(1).Str("c.h").U8(2).Str("/abs/d.h").U8(1);
  Bytes program;
  program.U8(0).Uleb(5).U8(2).U32(0x401000);  // set_address
  program.U8(3).Uleb(9).U8(1);                // line 10, copy
  program.U8(4).Uleb(2).U8(13 + 3 * 14 + 6);  // file 2; address +3, line +1
  program.U8(2).Uleb(5).U8(0).Uleb(1).U8(1);  // address +5, end of sequence
  Bytes body;
  body.U16(5).U8(4).U8(0).U32(header.v.size()).Append(header).Append(program);
  Bytes section;
  section.Unit(body);

  const auto tables = ReadLineTables(section.v, {}, {});
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].Files,
            (std::vector<std::string>{"/p/src/a.cpp", "/usr/include/b.h", "/p/src/sub/c.h", "/abs/d.h"}));
  ASSERT_EQ(tables[0].Rows.size(), 3u);
  EXPECT_EQ(tables[0].Rows[0].Address, 0x401000u);
  EXPECT_EQ(tables[0].Rows[0].File, 1u);  // the file register starts at 1
  EXPECT_EQ(tables[0].Rows[0].Line, 10u);
  EXPECT_EQ(tables[0].Rows[1].Address, 0x401003u);
  EXPECT_EQ(tables[0].Rows[1].File, 2u);
  EXPECT_EQ(tables[0].Rows[1].Line, 11u);
  EXPECT_TRUE(tables[0].Rows[2].EndSequence);
  EXPECT_EQ(tables[0].Rows[2].Address, 0x401008u);
}

TEST(DwarfLines, RowsByAddressLetTheRowThatHoldsComeLast) {
  LineTable b{0, {"/p/b.cpp"}, {}};
  b.Rows = {{0x120, 0, 50, false},
            {0x128, 0, 51, false},
            {0x130, 0, 0, true},
            {0x200, 0, 1, false},
            {0x200, 0, 0, true}};  // an empty sequence
  LineTable a{50, {"/p/a.cpp", "/p/a.cpp"}, {}};
  a.Rows = {{0x100, 1, 10, false}, {0x110, 1, 11, false}, {0x120, 1, 12, false},  // on its own end
            {0x120, 1, 0, true},   {0x140, 0, 20, false}, {0x140, 0, 21, false}, {0x150, 0, 0, true}};
  std::vector<std::string> paths{"/p/a.cpp"};
  // b's table comes first: a's end at 0x120 must not hide b's start there.
  const auto rows = RowsByAddress({b, a}, paths);
  struct Want {
    std::uint32_t address;
    std::string file;
    std::uint32_t line;
  };
  const Want want[] = {{0x100, "/p/a.cpp", 10}, {0x110, "/p/a.cpp", 11}, {0x120, "", 0},
                       {0x120, "/p/b.cpp", 50}, {0x128, "/p/b.cpp", 51}, {0x130, "", 0},
                       {0x140, "/p/a.cpp", 20}, {0x140, "/p/a.cpp", 21}, {0x150, "", 0}};
  ASSERT_EQ(rows.size(), std::size(want));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].Address, want[i].address) << i;
    EXPECT_EQ(rows[i].EndSequence, want[i].file.empty()) << i;
    if (!rows[i].EndSequence) {
      EXPECT_EQ(paths[rows[i].File], want[i].file) << i;
      EXPECT_EQ(rows[i].Line, want[i].line) << i;
    }
  }
}

// Abbreviation codes of the test units.
enum { kCu = 1, kSub, kInline, kInlineRanges, kBlock, kInlineAbsolute };

TEST(DwarfInlines, CallsOfBothVersionsWithTheirDepth) {
  DwarfSections s;
  Bytes abbrev5;
  abbrev5.Uleb(kCu)
      .Uleb(0x11)
      .U8(1)
      .Uleb(0x10)
      .Uleb(0x17)
      .Uleb(0x11)
      .Uleb(0x01)
      .Uleb(0x12)
      .Uleb(0x06)
      .U8(0)
      .U8(0);
  abbrev5.Uleb(kSub)
      .Uleb(0x2e)
      .U8(1)
      .Uleb(0x11)
      .Uleb(0x01)
      .Uleb(0x12)
      .Uleb(0x06)
      .Uleb(0x03)
      .Uleb(0x08)
      .U8(0)
      .U8(0);
  abbrev5.Uleb(kInline).Uleb(0x1d).U8(1).Uleb(0x11).Uleb(0x01).Uleb(0x12).Uleb(0x06).Uleb(0x58).Uleb(0x0b);
  abbrev5.Uleb(0x59).Uleb(0x05).U8(0).U8(0);
  abbrev5.Uleb(kInlineRanges).Uleb(0x1d).U8(0).Uleb(0x55).Uleb(0x17).Uleb(0x58).Uleb(0x21).U8(1);  // implicit
                                                                                                   // 1
  abbrev5.Uleb(0x59).Uleb(0x0f).Uleb(0x31).Uleb(0x13).U8(0).U8(0);
  abbrev5.Uleb(kBlock).Uleb(0x0b).U8(1).U8(0).U8(0);
  abbrev5.Uleb(kInlineAbsolute)
      .Uleb(0x1d)
      .U8(0)
      .Uleb(0x11)
      .Uleb(0x01)
      .Uleb(0x12)
      .Uleb(0x01)
      .Uleb(0x58)
      .Uleb(0x0b);
  abbrev5.Uleb(0x59).Uleb(0x0b).U8(0).U8(0).U8(0);
  const std::size_t abbrev4At = abbrev5.v.size();
  Bytes abbrev4;
  abbrev4.Uleb(kCu).Uleb(0x11).U8(1).Uleb(0x10).Uleb(0x06).Uleb(0x11).Uleb(0x01).U8(0).U8(0);
  abbrev4.Uleb(kSub).Uleb(0x2e).U8(1).U8(0).U8(0);
  abbrev4.Uleb(kInline).Uleb(0x1d).U8(0).Uleb(0x55).Uleb(0x17).Uleb(0x58).Uleb(0x0b).Uleb(0x59).Uleb(0x0b);
  abbrev4.U8(0).U8(0).U8(0);
  s.Abbrev = abbrev5.Append(abbrev4).v;

  // .debug_rnglists: its header, then one list relative to the unit's base
  // and with an address of its own.
  Bytes rnglists;
  rnglists.U32(0).U16(5).U8(4).U8(0).U32(0);
  rnglists.U8(4).Uleb(0x14).Uleb(0x18).U8(7).U32(0x401020).Uleb(4).U8(0);
  s.RngLists = rnglists.v;
  // .debug_ranges: a pair on the unit's base, a new base, a pair on it.
  Bytes ranges;
  ranges.U32(0x10).U32(0x20).U32(0xFFFFFFFF).U32(0x403000).U32(0).U32(8).U32(0).U32(0);
  s.Ranges = ranges.v;

  Bytes v5;
  v5.U16(5).U8(1).U8(4).U32(0);
  v5.Uleb(kCu).U32(0).U32(0x401000).U32(0x100);
  v5.Uleb(kSub).U32(0x401000).U32(0x80).Str("F");
  v5.Uleb(kInline).U32(0x401010).U32(0x20).U8(1).U16(42);
  v5.Uleb(kInlineRanges).U32(12).Uleb(7).U32(0);
  v5.U8(0);  // end of the inline's children
  v5.Uleb(kBlock).Uleb(kInlineAbsolute).U32(0x401040).U32(0x401050).U8(0).U8(50).U8(0);
  v5.U8(0);                                                           // end of the function's children
  v5.Uleb(kInlineAbsolute).U32(0x401090).U32(0x4010a0).U8(0).U8(60);  // outside every function
  v5.U8(0);
  Bytes v4;
  v4.U16(4).U32(abbrev4At).U8(4);
  v4.Uleb(kCu).U32(100).U32(0x402000);
  v4.Uleb(kSub).Uleb(kInline).U32(0).U8(1).U8(9).U8(0).U8(0);
  s.Info = Bytes().Unit(v5).Unit(v4).v;

  const std::vector<LineTable> tables{{0, {"/p/a.cpp", "/usr/include/b.h"}, {}}, {100, {"", "/p/c.cpp"}, {}}};
  std::vector<std::string> paths;
  const auto calls = ReadInlinedCalls(s, tables, paths);
  struct Want {
    std::uint32_t low, high;
    std::string file;
    std::uint32_t line, depth;
  };
  const Want want[] = {
      {0x401010, 0x401030, "/usr/include/b.h", 42, 1}, {0x401014, 0x401018, "/usr/include/b.h", 7, 2},
      {0x401020, 0x401024, "/usr/include/b.h", 7, 2},  {0x401040, 0x401050, "/p/a.cpp", 50, 1},
      {0x402010, 0x402020, "/p/c.cpp", 9, 1},          {0x403000, 0x403008, "/p/c.cpp", 9, 1}};
  ASSERT_EQ(calls.size(), std::size(want));
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].Low, want[i].low) << i;
    EXPECT_EQ(calls[i].High, want[i].high) << i;
    EXPECT_EQ(paths[calls[i].CallFile], want[i].file) << i;
    EXPECT_EQ(calls[i].CallLine, want[i].line) << i;
    EXPECT_EQ(calls[i].Depth, want[i].depth) << i;
  }

  // A form nobody defines makes the data unreadable, not misread.
  s.Abbrev[abbrev4At + 6] = 0x7F;  // the version 4 unit's low_pc
  EXPECT_THROW(ReadInlinedCalls(s, tables, paths), std::runtime_error);
}

}  // namespace
}  // namespace tracira
