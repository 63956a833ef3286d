// A report-style list (rows and titled columns) whose rows the program keeps:
// the control holds only their number and asks OnGetText for each cell it
// draws (a virtual list view), so a list of ten thousand rows costs no more
// than the rows on screen. Selection and focus are kept by row index.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gui/Control.h"
#include "gui/RowRuns.h"
#include "gui/StdCtrls.h"

namespace gui {

class ListView : public Control {
 public:
  ListView(WinControl& parent, std::wstring name);

  void AddColumn(const std::wstring& title, int width, gui::Alignment alignment = gui::Alignment::Left);
  int ColumnCount() const;
  int ColumnWidth(int column) const;
  void SetColumnWidth(int column, int width);

  int RowCount() const;
  // Changes the number of rows; the scroll position and the selection by
  // index stay as they are (rows that go take their selection along), and
  // only rows on screen are drawn again.
  void SetRowCount(int count);
  // Draws the rows on screen again (their texts changed).
  void Redraw();

  int TopRow() const;
  int RowsPerPage() const;
  // Scrolls the row into view (the least that does it).
  void MakeVisible(int row);
  // Scrolls by rows (negative: up).
  void ScrollRows(int rows);

  std::vector<int> SelectedRows() const;
  int SelectedCount() const;
  void SetSelected(int row, bool selected);
  void SelectAll();
  void ClearSelection();
  int FocusedRow() const;
  // The selection as runs of rows. The list remembers what SetSelectedRuns
  // set until anything else changes the selection (the operator, the
  // setters above), so reading it back then costs no message; else every
  // selected row is one message, except when all of them are.
  RowRuns SelectedRuns() const;
  // Makes Runs the selection, with one message for each row whose state
  // changes and none for the others.
  void SetSelectedRuns(const RowRuns& Runs);

  // The text of a cell; called while the control draws.
  std::function<std::wstring(int Row, int Column)> OnGetText;
  KeyEvent OnKeyDown;

 protected:
  bool HandleNotify(NMHDR& header, LRESULT& result) override;
  void DoKeyDown(WORD& key, ShiftState shift) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void SetState(int row, bool selected);

  // The selection as SetSelectedRuns left it, while nothing else changed it.
  std::optional<RowRuns> fKnownRuns;
  bool fSettingRuns = false;
};

}  // namespace gui
