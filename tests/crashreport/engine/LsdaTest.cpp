// The exception-table reader on tables laid out as GCC lays them out: the
// call-site entry of an instruction (none, nothing to do, clean-up only),
// catch (...), a typed clause taken or passed, a chain of clauses, and a
// throw list; with the call sites in both encodings GCC writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crashreport/engine/TrLsda.h"

namespace {

using tracira::ReadLsda;
using tracira::TLsdaAnswer;

struct TSite {
  std::uint32_t Start, Length, Landing, Action;  // Action: 1 + offset into the action table, 0 none
};

void PutUleb(std::vector<std::uint8_t>& out, std::uint32_t v) {
  do {
    std::uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out.push_back(b);
  } while (v);
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Header, call sites, actions and the type table (filter N reads the N-th
// pointer before the table's end), types given in memory order.
std::vector<std::uint8_t> Table(std::uint8_t siteEncoding, const std::vector<TSite>& sites,
                                const std::vector<std::uint8_t>& actions,
                                const std::vector<const void*>& types) {
  std::vector<std::uint8_t> body;
  for (const TSite& s : sites) {
    if (siteEncoding == 0x01) {
      PutUleb(body, s.Start);
      PutUleb(body, s.Length);
      PutUleb(body, s.Landing);
    } else {
      PutU32(body, s.Start);
      PutU32(body, s.Length);
      PutU32(body, s.Landing);
    }
    PutUleb(body, s.Action);
  }
  std::vector<std::uint8_t> tail;  // after the type-table offset
  tail.push_back(siteEncoding);
  PutUleb(tail, static_cast<std::uint32_t>(body.size()));
  tail.insert(tail.end(), body.begin(), body.end());
  tail.insert(tail.end(), actions.begin(), actions.end());
  for (const void* type : types) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&type);
    tail.insert(tail.end(), bytes, bytes + sizeof type);
  }
  std::vector<std::uint8_t> table = {0xFF, 0x00};  // no landing-pad base; types as plain pointers
  EXPECT_LT(tail.size(), 128u);
  PutUleb(table, static_cast<std::uint32_t>(tail.size()));
  table.insert(table.end(), tail.begin(), tail.end());
  return table;
}

const int kTypeX = 0, kTypeY = 0;  // stand-ins for two std::type_info objects

bool SameType(const void* catchType, void* thrown) { return catchType == thrown; }

struct TCase {
  std::uint32_t Offset;
  const void* Thrown;
  TLsdaAnswer Expected;
};

TEST(Lsda, CallSitesAndTheirActionsInBothEncodings) {
  // Actions: 1: catch (...); 3: catch (X); 5: catch (X), else catch (...);
  // 7: a throw list.
  const std::vector<std::uint8_t> actions = {0x01, 0x00, 0x02, 0x00, 0x02, 0x7B, 0x7F, 0x00};
  const std::vector<const void*> types = {&kTypeX, nullptr};  // filter 2, filter 1
  const std::vector<TSite> sites = {
      {0x10, 0x10, 0x50, 0}, {0x20, 0x10, 0, 0},    {0x30, 0x08, 0x60, 1},
      {0x38, 0x08, 0x60, 3}, {0x40, 0x08, 0x60, 5}, {0x48, 0x08, 0x60, 7},
  };
  const TCase cases[] = {
      {0x00, &kTypeX, TLsdaAnswer::Uncovered},   {0x0F, &kTypeX, TLsdaAnswer::Uncovered},
      {0x10, &kTypeX, TLsdaAnswer::None},        {0x1F, &kTypeX, TLsdaAnswer::None},
      {0x25, &kTypeX, TLsdaAnswer::None},        {0x30, &kTypeY, TLsdaAnswer::Catch},
      {0x38, &kTypeX, TLsdaAnswer::Catch},       {0x3F, &kTypeY, TLsdaAnswer::None},
      {0x40, &kTypeY, TLsdaAnswer::Catch},       {0x44, &kTypeX, TLsdaAnswer::Catch},
      {0x48, &kTypeX, TLsdaAnswer::Terminate},   {0x50, &kTypeX, TLsdaAnswer::Uncovered},
      {0x1000, &kTypeX, TLsdaAnswer::Uncovered},
  };
  constexpr std::uintptr_t kFunction = 0x401000;
  for (const std::uint8_t encoding : {std::uint8_t{0x01}, std::uint8_t{0x03}}) {
    const std::vector<std::uint8_t> table = Table(encoding, sites, actions, types);
    for (const TCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "encoding " << int(encoding) << ", offset " << c.Offset);
      // The instruction one byte before a return address.
      EXPECT_EQ(
          ReadLsda(table.data(), kFunction, kFunction + c.Offset + 1, SameType, const_cast<void*>(c.Thrown)),
          c.Expected);
    }
  }
}

TEST(Lsda, WithoutATypeTestOnlyCatchAllTakesTheException) {
  const std::vector<std::uint8_t> actions = {0x01, 0x00, 0x02, 0x00};
  const std::vector<const void*> types = {&kTypeX, nullptr};
  const std::vector<TSite> sites = {{0x00, 0x10, 0x40, 1}, {0x10, 0x10, 0x40, 3}};
  const std::vector<std::uint8_t> table = Table(0x01, sites, actions, types);
  EXPECT_EQ(ReadLsda(table.data(), 0, 0x05, nullptr, nullptr), TLsdaAnswer::Catch);
  EXPECT_EQ(ReadLsda(table.data(), 0, 0x15, nullptr, nullptr), TLsdaAnswer::None);
}

}  // namespace
