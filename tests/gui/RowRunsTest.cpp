// A list's selection as runs of rows (gui/RowRuns): what remains when rows
// leave the front, and which rows change between two selections; the list
// view sends one message per changed row, so these are its costs.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "gui/RowRuns.h"

namespace {

using gui::RowRuns;
using Change = std::tuple<int, int, bool>;

std::vector<Change> Changes(const RowRuns& from, const RowRuns& to) {
  std::vector<Change> changes;
  gui::ForEachChange(
      from, to, [&](int first, int count, bool selected) { changes.emplace_back(first, count, selected); });
  return changes;
}

TEST(RowRuns, RowsMakeRunsAndDroppedRowsLeaveThem) {
  EXPECT_EQ(gui::RunsOfRows({}), RowRuns{});
  EXPECT_EQ(gui::RunsOfRows({0, 1, 2, 5, 7, 8}), (RowRuns{{0, 3}, {5, 1}, {7, 2}}));
  struct Case {
    RowRuns Runs;
    int Dropped;
    RowRuns After;
  };
  const Case cases[] = {
      {{{0, 10000}}, 37, {{0, 9963}}},            // all rows selected
      {{{2, 3}, {10, 2}}, 0, {{2, 3}, {10, 2}}},  // nothing dropped
      {{{2, 3}, {10, 2}}, 4, {{0, 1}, {6, 2}}},   // a run cut at the front
      {{{2, 3}, {10, 2}}, 5, {{5, 2}}},           // a run gone whole
      {{{2, 3}, {10, 2}}, 12, {}},                // every selected row gone
  };
  for (const Case& c : cases) EXPECT_EQ(gui::RunsAfterDrop(c.Runs, c.Dropped), c.After) << c.Dropped;
}

TEST(RowRuns, OnlyTheRowsWhoseStateDiffersChange) {
  struct Case {
    RowRuns From;
    RowRuns To;
    std::vector<Change> Expected;
  };
  const Case cases[] = {
      // Select-all on a full journal, then 37 entries leave it: the rows
      // keep their entries' selection but the last 37, which are new.
      {{{0, 10000}}, {{0, 9963}}, {{9963, 37, false}}},
      {{}, {}, {}},
      {{{3, 4}}, {{3, 4}}, {}},
      {{}, {{3, 2}, {8, 1}}, {{3, 2, true}, {8, 1, true}}},
      {{{3, 2}, {8, 1}}, {}, {{3, 2, false}, {8, 1, false}}},
      // Runs that overlap in part: only the edges change.
      {{{2, 6}}, {{4, 6}}, {{2, 2, false}, {8, 2, true}}},
      {{{0, 3}, {6, 3}}, {{2, 6}}, {{0, 2, false}, {3, 3, true}, {8, 1, false}}},
      {{{5, 1}}, {{0, 10}}, {{0, 5, true}, {6, 4, true}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Changes(c.From, c.To), c.Expected);
}

}  // namespace
