#include "gui/RowRuns.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace gui {

RowRuns RunsOfRows(const std::vector<int>& rows) {
  RowRuns runs;
  for (const int row : rows) {
    if (!runs.empty() && runs.back().First + runs.back().Count == row) {
      ++runs.back().Count;
    } else {
      runs.push_back({row, 1});
    }
  }
  return runs;
}

RowRuns RunsAfterDrop(const RowRuns& runs, int Dropped) {
  RowRuns moved;
  moved.reserve(runs.size());
  for (const RowRun& run : runs) {
    const int first = std::max(run.First - Dropped, 0);
    const int end = run.First + run.Count - Dropped;
    if (end > first) moved.push_back({first, end - first});
  }
  return moved;
}

void ForEachChange(const RowRuns& From, const RowRuns& To,
                   const std::function<void(int First, int Count, bool Selected)>& Change) {
  // A sweep over the runs' edges: between two edges both selections are
  // constant, so each stretch is in From, in To, in both or in neither.
  constexpr int kEnd = std::numeric_limits<int>::max();
  std::size_t i = 0;
  std::size_t j = 0;
  int at = 0;
  const auto edgeAfter = [&at](const RowRuns& runs, std::size_t k, bool& inside) {
    if (k >= runs.size()) {
      inside = false;
      return kEnd;
    }
    inside = at >= runs[k].First;
    return inside ? runs[k].First + runs[k].Count : runs[k].First;
  };
  while (i < From.size() || j < To.size()) {
    bool inFrom = false;
    bool inTo = false;
    const int fromEdge = edgeAfter(From, i, inFrom);
    const int toEdge = edgeAfter(To, j, inTo);
    const int next = std::min(fromEdge, toEdge);
    if (inFrom != inTo) Change(at, next - at, inTo);
    at = next;
    if (i < From.size() && at >= From[i].First + From[i].Count) ++i;
    if (j < To.size() && at >= To[j].First + To[j].Count) ++j;
  }
}

}  // namespace gui
