// A list's selection as runs of consecutive rows, and the arithmetic a list
// needs to keep it by entry while entries leave its front: which runs remain
// once the first rows are gone, and which rows change state between two
// selections. Platform-neutral: the list view (ListView.h) sends one message
// per changed row, so changing only those is what keeps a large selection
// cheap.
#pragma once

#include <functional>
#include <vector>

namespace gui {

struct RowRun {
  int First = 0;
  int Count = 0;
  bool operator==(const RowRun&) const = default;
};
// In ascending order, each non-empty, no two overlapping or touching.
using RowRuns = std::vector<RowRun>;

// The runs of rows given in ascending order.
RowRuns RunsOfRows(const std::vector<int>& rows);
// The runs after the first Dropped rows left the list: the others move up
// by Dropped, the rows that left go with them.
RowRuns RunsAfterDrop(const RowRuns& runs, int Dropped);
// Calls Change(First, Count, Selected) for each stretch of rows, in
// ascending order, that is selected in To and not in From (Selected true)
// or the other way round (false). Rows in both or in neither are not named.
void ForEachChange(const RowRuns& From, const RowRuns& To,
                   const std::function<void(int First, int Count, bool Selected)>& Change);

}  // namespace gui
