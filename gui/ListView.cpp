#include "gui/ListView.h"

#include <commctrl.h>

#include <algorithm>

#include "gui/Internal.h"
#include "rtl/Exceptions.h"

namespace gui {

namespace {

Control::CreateParams ListViewParams() {
  static const bool initialized = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)initialized;
  Control::CreateParams p;
  p.ClassName = WC_LISTVIEWW;
  p.Style = WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS;
  p.ExStyle = WS_EX_CLIENTEDGE;
  p.Width = 250;
  p.Height = 150;
  p.Subclass = true;
  return p;
}

int ColumnFormat(gui::Alignment alignment) {
  switch (alignment) {
    case gui::Alignment::Center:
      return LVCFMT_CENTER;
    case gui::Alignment::Right:
      return LVCFMT_RIGHT;
    case gui::Alignment::Left:
      break;
  }
  return LVCFMT_LEFT;
}

}  // namespace

ListView::ListView(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name), ListViewParams()) {
  const DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES;
  SendMessageW(Handle(), LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
}

void ListView::AddColumn(const std::wstring& title, int width, gui::Alignment alignment) {
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = ColumnFormat(alignment);
  column.cx = width;
  column.pszText = const_cast<wchar_t*>(title.c_str());
  const int index = ColumnCount();
  if (SendMessageW(Handle(), LVM_INSERTCOLUMNW, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&column)) < 0)
    throw rtl::Exception(L"Cannot add the column " + title + L" to " + Name());
}

int ListView::ColumnCount() const {
  const auto header = reinterpret_cast<HWND>(SendMessageW(Handle(), LVM_GETHEADER, 0, 0));
  return header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

int ListView::ColumnWidth(int column) const {
  return static_cast<int>(SendMessageW(Handle(), LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

void ListView::SetColumnWidth(int column, int width) {
  SendMessageW(Handle(), LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), MAKELPARAM(width, 0));
}

int ListView::RowCount() const { return static_cast<int>(SendMessageW(Handle(), LVM_GETITEMCOUNT, 0, 0)); }

void ListView::SetRowCount(int count) {
  if (fKnownRuns && count < RowCount()) fKnownRuns.reset();
  SendMessageW(Handle(), LVM_SETITEMCOUNT, static_cast<WPARAM>(std::max(count, 0)),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

void ListView::Redraw() { InvalidateRect(Handle(), nullptr, FALSE); }

int ListView::TopRow() const { return static_cast<int>(SendMessageW(Handle(), LVM_GETTOPINDEX, 0, 0)); }

int ListView::RowsPerPage() const {
  return static_cast<int>(SendMessageW(Handle(), LVM_GETCOUNTPERPAGE, 0, 0));
}

void ListView::MakeVisible(int row) {
  SendMessageW(Handle(), LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}

void ListView::ScrollRows(int rows) {
  if (rows == 0 || RowCount() == 0) return;
  RECT item{};
  item.left = LVIR_BOUNDS;
  if (!SendMessageW(Handle(), LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item))) return;
  SendMessageW(Handle(), LVM_SCROLL, 0, static_cast<LPARAM>(rows * (item.bottom - item.top)));
}

std::vector<int> ListView::SelectedRows() const {
  std::vector<int> rows;
  rows.reserve(static_cast<std::size_t>(SelectedCount()));
  int row = -1;
  while ((row = static_cast<int>(SendMessageW(Handle(), LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                              MAKELPARAM(LVNI_SELECTED, 0)))) >= 0) {
    rows.push_back(row);
  }
  return rows;
}

int ListView::SelectedCount() const {
  return static_cast<int>(SendMessageW(Handle(), LVM_GETSELECTEDCOUNT, 0, 0));
}

void ListView::SetSelected(int row, bool selected) {
  fKnownRuns.reset();
  SetState(row, selected);
}

void ListView::SetState(int row, bool selected) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = selected ? LVIS_SELECTED : 0;
  SendMessageW(Handle(), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// Row -1 stands for every row.
void ListView::SelectAll() { SetSelected(-1, true); }
void ListView::ClearSelection() { SetSelected(-1, false); }

RowRuns ListView::SelectedRuns() const {
  if (fKnownRuns) return *fKnownRuns;
  const int selected = SelectedCount();
  if (selected <= 0) return {};
  const int rows = RowCount();
  if (selected == rows) return {{0, rows}};
  return RunsOfRows(SelectedRows());
}

void ListView::SetSelectedRuns(const RowRuns& Runs) {
  const RowRuns current = SelectedRuns();
  fSettingRuns = true;
  struct Done {
    bool& Flag;
    ~Done() { Flag = false; }
  } done{fSettingRuns};
  ForEachChange(current, Runs, [this](int first, int count, bool selected) {
    for (int row = first; row < first + count; ++row) SetState(row, selected);
  });
  fKnownRuns = Runs;
}

int ListView::FocusedRow() const {
  return static_cast<int>(
      SendMessageW(Handle(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_FOCUSED, 0)));
}

bool ListView::HandleNotify(NMHDR& header, LRESULT& result) {
  // A selection changed by anything but SetSelectedRuns is no longer known.
  if (!fSettingRuns && fKnownRuns) {
    if (header.code == LVN_ODSTATECHANGED) {
      const auto& change = reinterpret_cast<NMLVODSTATECHANGE&>(header);
      if ((change.uOldState ^ change.uNewState) & LVIS_SELECTED) fKnownRuns.reset();
    } else if (header.code == LVN_ITEMCHANGED) {
      const auto& change = reinterpret_cast<NMLISTVIEW&>(header);
      if ((change.uChanged & LVIF_STATE) && ((change.uOldState ^ change.uNewState) & LVIS_SELECTED))
        fKnownRuns.reset();
    }
  }
  if (header.code != LVN_GETDISPINFOW) return false;
  auto& info = reinterpret_cast<NMLVDISPINFOW&>(header);
  LVITEMW& item = info.item;
  if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
    const std::wstring text = OnGetText ? OnGetText(item.iItem, item.iSubItem) : std::wstring();
    // The control's buffer holds what one cell shows; longer texts are cut.
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
    std::copy_n(text.data(), n, item.pszText);
    item.pszText[n] = L'\0';
  }
  result = 0;
  return true;
}

void ListView::DoKeyDown(WORD& key, ShiftState shift) { FireEvent(*this, OnKeyDown, key, shift); }

LRESULT ListView::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_KEYDOWN) {
    if (detail::tKeyDownDone == this) {
      detail::tKeyDownDone = nullptr;  // the message loop ran OnKeyDown already
    } else {
      WORD key = static_cast<WORD>(wp);
      DoKeyDown(key, CurrentShiftState());
      if (!key) return 0;
      wp = key;
    }
  }
  return Control::WndProc(msg, wp, lp);
}

}  // namespace gui
