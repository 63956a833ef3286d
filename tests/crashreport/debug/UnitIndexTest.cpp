// The unit index answers every offset as the walk over the whole debug
// stream does, also with overlapping and empty units.
#include <gtest/gtest.h>

#include <random>

#include "crashreport/debug/TrDataWriter.h"

namespace tracira {
namespace {

TEST(UnitIndex, AgreesWithTheWalkOverTheWholeStream) {
  std::mt19937 rng(7);
  std::vector<TTrUnit> units;
  std::uint32_t offset = 0;
  for (int u = 0; u < 60; ++u) {
    TTrUnit unit{"Unit" + std::to_string(u) + ".cpp", 10u + u, offset, 0, {}};
    std::uint32_t at = offset, line = unit.FirstLine;
    const int rows = 1 + static_cast<int>(rng() % 12);
    for (int r = 0; r < rows; ++r) {
      const bool proc = r == 0 || rng() % 4 == 0;
      unit.Rows.push_back({at, line, proc ? "TC" + std::to_string(r) + ".P" + std::to_string(u) : "", proc});
      at += 1 + rng() % 40;
      line += 1 + rng() % 5;
    }
    unit.Size = at - offset + rng() % 8;
    // Every fifth unit overlaps the previous one (code of an inlined header
    // inside a function), every seventh is empty.
    if (u % 5 == 4 && u > 0) {
      const std::uint32_t back = std::min<std::uint32_t>(unit.Size / 2, offset);
      unit.Offset -= back;
      for (auto& r : unit.Rows) r.Offset -= back;
    }
    if (u % 7 == 6) unit.Size = 0, unit.Rows.clear();
    offset = unit.Offset + unit.Size;
    units.push_back(std::move(unit));
  }
  TTraciraExtraInformation info;
  info.TraciraVersion = kTrDataVersion;
  info.IsValidEncryptPassword = true;
  info.DebugInformation = WriteDebugStream(units, kTrDataVersion, "");
  const TTrUnitIndex index = IndexUnits(info);
  EXPECT_EQ(index.Units.size(), 60u - 60u / 7);
  int named = 0;
  for (std::uint32_t o = 0; o < offset + 16; ++o) {
    const auto walked = GetSourceInfoByAddr(info, o);
    EXPECT_EQ(walked, GetSourceInfoByAddr(info, index, o)) << o;
    named += walked.has_value();
  }
  EXPECT_GT(named, static_cast<int>(offset * 9 / 10));

  // Procedure ranges: from the last procedure start at or before the offset
  // (in the unit that names it) to the next one or the unit's end.
  int ranged = 0;
  for (std::uint32_t o = 0; o < offset; ++o) {
    const auto range = GetProcedureRangeByAddr(info, index, o);
    if (!range) continue;
    ++ranged;
    ASSERT_LE(range->first, o);
    ASSERT_LT(o, range->second);
    const auto atStart = GetSourceInfoByAddr(info, index, range->first);
    const auto here = GetSourceInfoByAddr(info, index, o);
    ASSERT_TRUE(atStart && here);
    // Where units overlap, an earlier unit may name the range's start.
    if (atStart->UnitName != here->UnitName) continue;
    EXPECT_EQ(atStart->ProcedureName, here->ProcedureName) << o;
    EXPECT_EQ(atStart->ProcOffsetLine, 0u) << o;
    EXPECT_EQ(here->Line - here->ProcOffsetLine, atStart->Line) << o;
  }
  EXPECT_GT(ranged, named / 2);

  // A damaged stream: both answer what lies before the damage alike.
  info.DebugInformation.resize(info.DebugInformation.size() / 2);
  const TTrUnitIndex partial = IndexUnits(info);
  EXPECT_LT(partial.Units.size(), index.Units.size());
  for (std::uint32_t o = 0; o < offset; o += 3)
    EXPECT_EQ(GetSourceInfoByAddr(info, o), GetSourceInfoByAddr(info, partial, o)) << o;
}

}  // namespace
}  // namespace tracira
