// The unit index answers every offset as the walk over the whole debug
// stream does: with overlapping and empty units, methods stored as ".Name",
// names that can't be decrypted, the older layouts, and damaged streams.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "crashreport/debug/TrDataWriter.h"

namespace tracira {
namespace {

std::vector<TTrUnit> RandomUnits(std::uint32_t& end) {
  std::mt19937 rng(7);
  std::vector<TTrUnit> units;
  std::uint32_t offset = 0;
  for (int u = 0; u < 60; ++u) {
    TTrUnit unit{"Unit" + std::to_string(u) + ".cpp", 10u + u, offset, 0, {}};
    std::uint32_t at = offset, line = unit.FirstLine;
    const int rows = 1 + static_cast<int>(rng() % 12);
    for (int r = 0; r < rows; ++r) {
      const bool proc = r == 0 || rng() % 4 == 0;
      // Runs of methods of one class, so that the writer stores ".Name".
      const std::string name = rng() % 3 == 0 ? "Free" + std::to_string(r)
                                              : "TC" + std::to_string(u % 3) + ".P" + std::to_string(r);
      unit.Rows.push_back({at, line, proc ? name : "", proc});
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
  end = offset;
  return units;
}

struct StreamCase {
  std::uint16_t Version;
  bool ValidPassword;
};

class UnitIndex : public ::testing::TestWithParam<StreamCase> {};

TEST_P(UnitIndex, AgreesWithTheWalkOverTheWholeStream) {
  std::uint32_t end = 0;
  const std::vector<TTrUnit> units = RandomUnits(end);
  TTraciraExtraInformation info;
  info.TraciraVersion = GetParam().Version;
  info.IsValidEncryptPassword = GetParam().ValidPassword;
  info.EncryptPassword = GetParam().ValidPassword ? "pw" : "wrong";
  info.DebugInformation = WriteDebugStream(units, GetParam().Version, "pw");
  const TTrUnitIndex index = IndexUnits(info);
  EXPECT_EQ(index.UnitCount(), 60u - 60u / 7);
  int named = 0, methods = 0;
  for (std::uint32_t o = 0; o < end + 16; ++o) {
    const auto walked = GetSourceInfoByAddr(info, o);
    EXPECT_EQ(walked, GetSourceInfoByAddr(info, index, o)) << o;
    named += walked.has_value();
    methods += walked && !walked->ClassName.empty();
  }
  EXPECT_GT(named, static_cast<int>(end * 9 / 10));
  EXPECT_GT(methods, named / 4);

  // Procedure ranges: from the last procedure start at or before the offset
  // (in the unit that names it) to the next one or the unit's end.
  int ranged = 0;
  for (std::uint32_t o = 0; o < end; ++o) {
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
    EXPECT_EQ(atStart->ProcOffsetLine, 0) << o;
    EXPECT_EQ(here->Line - here->ProcOffsetLine, atStart->Line) << o;
  }
  EXPECT_GT(ranged, named / 2);

  // Damage: cut short, or a byte changed. Both answer alike.
  const std::vector<std::uint8_t> whole = info.DebugInformation;
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    info.DebugInformation = whole;
    if (round % 2 == 0)
      info.DebugInformation.resize(rng() % whole.size());
    else
      info.DebugInformation[rng() % whole.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    const TTrUnitIndex damaged = IndexUnits(info);
    for (std::uint32_t o = 0; o < end; o += 3) {
      ASSERT_EQ(GetSourceInfoByAddr(info, o), GetSourceInfoByAddr(info, damaged, o)) << round << " " << o;
      if (GetProcedureRangeByAddr(info, damaged, o)) {
        ASSERT_TRUE(GetSourceInfoByAddr(info, o)) << o;
      }
    }
  }
}

// 6006 and 502: qualified names; 501: "Class.Name" in one part; 450: names
// XOR-ed, not encrypted.
INSTANTIATE_TEST_SUITE_P(Layouts, UnitIndex,
                         ::testing::Values(StreamCase{6006, true}, StreamCase{6006, false},
                                           StreamCase{502, true}, StreamCase{501, true},
                                           StreamCase{450, true}));

TEST(UnitIndexThreads, LookupsFromSeveralThreadsGiveTheSameAnswers) {
  std::uint32_t end = 0;
  const std::vector<TTrUnit> units = RandomUnits(end);
  TTraciraExtraInformation info;
  info.TraciraVersion = kTrDataVersion;
  info.IsValidEncryptPassword = true;
  info.EncryptPassword = "pw";
  info.DebugInformation = WriteDebugStream(units, kTrDataVersion, "pw");
  const TTrUnitIndex index = IndexUnits(info);
  // Each thread starts elsewhere, so that they fill the name cache together.
  std::vector<std::vector<std::optional<TTrSourceInfo>>> seen(4);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < end; ++i) {
        const std::uint32_t o = (i + t * end / 4) % end;
        seen[t].push_back(index.Lookup(info, o));
      }
    });
  for (auto& thread : threads) thread.join();
  for (std::uint32_t t = 0; t < seen.size(); ++t)
    for (std::uint32_t i = 0; i < end; ++i)
      ASSERT_EQ(seen[t][i], GetSourceInfoByAddr(info, (i + t * end / 4) % end)) << t << " " << i;
}

}  // namespace
}  // namespace tracira
