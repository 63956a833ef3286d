#include "Fmu/fmuJournal.h"

#include <algorithm>

#include "Units/cuJournalText.h"
#include "Units/cuUtils.h"
#include "gui/Application.h"
#include "gui/Dialogs.h"

namespace {

const wchar_t kCaption[] = L"Журнал событий";
// Posted to the window by JournalChanged; handled once the messages before it are.
constexpr UINT kJournalChangedMessage = WM_APP + 1;
// The least time between two updates of the list.
constexpr std::uint64_t kUpdateGapMs = 50;

constexpr int kMargin = 8;
constexpr int kButtonWidth = 110;
constexpr int kButtonHeight = 25;
constexpr int kBottom = 52;  // the two lines of counts below the list

struct ColumnLayout {
  int Width;
  gui::Alignment Alignment;
};
constexpr ColumnLayout kColumns[kJournalColumns] = {
    {40, gui::Alignment::Right}, {140, gui::Alignment::Left}, {55, gui::Alignment::Left},
    {180, gui::Alignment::Left}, {255, gui::Alignment::Left}, {120, gui::Alignment::Left},
    {110, gui::Alignment::Left}, {80, gui::Alignment::Left},  {40, gui::Alignment::Right},
    {110, gui::Alignment::Left},
};

// "10 000": thousands set apart by a blank.
std::wstring Grouped(std::uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
    digits.insert(static_cast<std::size_t>(i), 1, L' ');
  return digits;
}

}  // namespace

TfmJournal::TfmJournal(TJournal& Journal) : gui::Form(L"fmJournal"), fJournal(Journal) {
  fShownFirst = fJournal.FirstNumber();
  LayOut();
}

TfmJournal::~TfmJournal() {
  if (IsWindowVisible(Handle())) SavePlacement();
}

void TfmJournal::LayOut() {
  SetCaption(kCaption);
  SetBorderStyle(gui::BorderStyle::Sizeable);
  SetBorderIcons({.SystemMenu = true, .Minimize = true, .Maximize = true});
  SetMinClientSize(560, 240);
  SetClientSize(900, 380);

  for (int column = 0; column < kJournalColumns; ++column) {
    lvJournal.AddColumn(JournalColumnTitle(column), kColumns[column].Width, kColumns[column].Alignment);
  }
  lvJournal.OnGetText = [this](int row, int column) { return CellText(row, column); };
  lvJournal.OnKeyDown = [this](rtl::Object& s, WORD& key, gui::ShiftState shift) {
    lvJournalKeyDown(s, key, shift);
  };
  btnClose.SetCancel(true);
  int order = 0;
  for (gui::Control* control :
       std::initializer_list<gui::Control*>{&lvJournal, &btnCopy, &btnSave, &btnClear, &btnClose}) {
    control->SetTabOrder(order++);
  }
  SetActiveControl(&lvJournal);

  btnCopy.OnClick = [this](rtl::Object& s) { btnCopyClick(s); };
  btnSave.OnClick = [this](rtl::Object& s) { btnSaveClick(s); };
  btnClear.OnClick = [this](rtl::Object& s) { btnClearClick(s); };
  btnClose.OnClick = [this](rtl::Object& s) { btnCloseClick(s); };
  OnResize = [this](rtl::Object& s) { FormResize(s); };
  OnClose = [this](rtl::Object& s, gui::CloseAction& action) { FormClose(s, action); };

  Timer.SetEnabled(false);
  Timer.SetInterval(1000);
  Timer.OnTimer = [this](rtl::Object& s) { TimerTimer(s); };
  CatchUp.SetEnabled(false);
  CatchUp.SetInterval(static_cast<unsigned>(kUpdateGapMs));
  CatchUp.OnTimer = [this](rtl::Object& s) { CatchUpTimer(s); };

  PlaceControls();
  UpdateCounts();
}

void TfmJournal::PlaceControls() {
  const int width = ClientWidth();
  const int height = ClientHeight();
  const int buttonsLeft = width - kMargin - kButtonWidth;
  lvJournal.SetBounds(kMargin, kMargin, std::max(buttonsLeft - 2 * kMargin, 0),
                      std::max(height - 2 * kMargin - kBottom, 0));
  int top = kMargin;
  for (gui::Button* button : {&btnCopy, &btnSave, &btnClear}) {
    button->SetBounds(buttonsLeft, top, kButtonWidth, kButtonHeight);
    top += kButtonHeight + 8;
  }
  btnClose.SetBounds(buttonsLeft, height - kMargin - kBottom - kButtonHeight, kButtonWidth, kButtonHeight);
  const int line1 = height - kBottom + 2;
  lbScans.SetBounds(kMargin, line1, 0, 0);
  lbScansMinute.SetBounds(kMargin + 180, line1, 0, 0);
  lbErrors.SetBounds(kMargin + 400, line1, 0, 0);
  lbCapacity.SetBounds(kMargin, line1 + 22, 0, 0);
}

void TfmJournal::ShowJournal(HWND Owner) {
  bool maximize = false;
  if (!fPlaced) {
    fPlaced = true;
    SetWindowLongPtrW(Handle(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(Owner));
    TWindowBounds saved;
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(Handle(), &placement);
    if (RegReadWindowBounds(kRegJournalKey, saved) && MonitorFromRect(&saved.Rect, MONITOR_DEFAULTTONULL)) {
      placement.rcNormalPosition = saved.Rect;
      maximize = saved.Maximized;
    } else {
      // Below the owner where the screen has room, else as high as it fits.
      RECT owner{};
      GetWindowRect(Owner, &owner);
      const RECT& r = placement.rcNormalPosition;
      const int width = r.right - r.left;
      const int height = r.bottom - r.top;
      const int left = std::max(0, std::min<int>(owner.left, GetSystemMetrics(SM_CXSCREEN) - width));
      const int top = std::max(0, std::min<int>(owner.bottom, GetSystemMetrics(SM_CYSCREEN) - height));
      placement.rcNormalPosition = {left, top, left + width, top + height};
    }
    placement.showCmd = SW_HIDE;
    SetWindowPlacement(Handle(), &placement);
  }
  UpdateView();
  Show();
  if (maximize) ShowWindow(Handle(), SW_MAXIMIZE);
  Timer.SetEnabled(true);
}

void TfmJournal::JournalChanged() {
  // Noted also while hidden (closed, or with its owner minimised): the
  // window catches up when it shows again.
  fBehind = true;
  if (!IsWindowVisible(Handle()) || fUpdatePosted) return;
  // A timer ticks only once no message waits: under a stream of scans the
  // posted message keeps the list moving, the timer shows the last of them.
  if (GetTickCount64() - fLastUpdate >= kUpdateGapMs) {
    fUpdatePosted = PostMessageW(Handle(), kJournalChangedMessage, 0, 0) != FALSE;
  } else if (!CatchUp.Enabled()) {
    CatchUp.SetEnabled(true);
  }
}

LRESULT TfmJournal::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kJournalChangedMessage) {
    fUpdatePosted = false;
    if (fBehind && IsWindowVisible(Handle())) UpdateView();
    return 0;
  }
  // Shown again, by ShowJournal or with its owner restored: what came
  // while it was hidden is listed once the window is up.
  if (msg == WM_SHOWWINDOW && wp != FALSE && fBehind && !fUpdatePosted) {
    fUpdatePosted = PostMessageW(Handle(), kJournalChangedMessage, 0, 0) != FALSE;
  }
  return gui::Form::WndProc(msg, wp, lp);
}

void TfmJournal::UpdateView() {
  fBehind = false;
  fLastUpdate = GetTickCount64();
  const std::uint64_t first = fJournal.FirstNumber();
  const std::size_t count = fJournal.Count();
  const int oldCount = static_cast<int>(fShownCount);
  // A list that shows its last row goes on showing the newest one.
  const bool following = oldCount == 0 || lvJournal.TopRow() + lvJournal.RowsPerPage() >= oldCount;
  // Rows whose entries left the front of the journal: the others move up.
  const int dropped =
      static_cast<int>(std::min<std::uint64_t>(first - fShownFirst, static_cast<std::uint64_t>(oldCount)));
  // The selection stays with its entries: their rows move up with them,
  // and only the rows whose state changes are told so (a select-all under
  // a stream costs a message per new row, not one per row).
  const bool keepSelection = dropped > 0 && lvJournal.SelectedCount() > 0;
  const gui::RowRuns selected =
      keepSelection ? gui::RunsAfterDrop(lvJournal.SelectedRuns(), dropped) : gui::RowRuns();
  fShownFirst = first;
  fShownCount = count;
  lvJournal.SetRowCount(static_cast<int>(count));
  if (keepSelection) lvJournal.SetSelectedRuns(selected);
  if (following && count > 0) {
    lvJournal.MakeVisible(static_cast<int>(count) - 1);
  } else if (dropped > 0) {
    lvJournal.ScrollRows(-dropped);
  }
  if (dropped > 0) lvJournal.Redraw();
  UpdateCounts();
}

void TfmJournal::UpdateCounts() {
  // A label that keeps its text is not sized and drawn again.
  const auto show = [](gui::Label& label, const std::wstring& text) {
    if (label.Text() != text) label.SetText(text);
  };
  const auto now = static_cast<std::int64_t>(GetTickCount64());
  show(lbScans, L"Сканирований: " + std::to_wstring(fJournal.Scans()));
  show(lbScansMinute, L"За последнюю минуту: " + std::to_wstring(fJournal.ScansInLastMinute(now)));
  show(lbErrors, L"Ошибок: " + std::to_wstring(fJournal.Errors()));
  show(lbCapacity, L"Записей: " + std::to_wstring(fJournal.Count()) + L" (хранятся последние " +
                       Grouped(fJournal.Capacity()) + L", более ранние удаляются)");
}

std::wstring TfmJournal::CellText(int Row, int Column) const {
  // The row's entry by its number: one dropped since the last update shows nothing.
  const std::uint64_t number = fShownFirst + static_cast<std::uint64_t>(std::max(Row, 0));
  const std::uint64_t first = fJournal.FirstNumber();
  if (Row < 0 || number < first || number - first >= fJournal.Count()) return L"";
  return JournalCell(fJournal.At(static_cast<std::size_t>(number - first)), Column);
}

bool TfmJournal::CopySelection() {
  const std::vector<int> rows = lvJournal.SelectedRows();
  std::wstring text;
  for (const int row : rows) {
    const std::uint64_t number = fShownFirst + static_cast<std::uint64_t>(row);
    const std::uint64_t first = fJournal.FirstNumber();
    if (number < first || number - first >= fJournal.Count()) continue;
    text += JournalRowTsv(fJournal.At(static_cast<std::size_t>(number - first)));
    text += L"\r\n";
  }
  if (text.empty()) return false;
  gui::SetClipboardText(text, Handle());
  return true;
}

void TfmJournal::SaveToFile(const std::wstring& FileName) { SaveBytesToFile(FileName, JournalCsv(fJournal)); }

void TfmJournal::SavePlacement() noexcept {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (!GetWindowPlacement(Handle(), &placement)) return;
  RegWriteWindowBounds(kRegJournalKey, {placement.rcNormalPosition, placement.showCmd == SW_SHOWMAXIMIZED});
}

// --- handlers ----------------------------------------------------------------

void TfmJournal::FormResize(rtl::Object&) { PlaceControls(); }

void TfmJournal::FormClose(rtl::Object&, gui::CloseAction&) {
  SavePlacement();
  Timer.SetEnabled(false);
  CatchUp.SetEnabled(false);
}

void TfmJournal::lvJournalKeyDown(rtl::Object& Sender, WORD& Key, gui::ShiftState Shift) {
  if (!Shift.Ctrl || Shift.Alt) return;
  if (Key == 'A') {
    lvJournal.SelectAll();
    Key = 0;
  } else if (Key == 'C' || Key == VK_INSERT) {
    btnCopyClick(Sender);
    Key = 0;
  }
}

void TfmJournal::btnCopyClick(rtl::Object&) {
  try {
    if (!CopySelection()) MessageBeep(MB_ICONWARNING);
  } catch (const rtl::EOSError& e) {
    gui::Application::Instance().MessageBox(e.Message(), kCaption, MB_OK | MB_ICONERROR);
  }
}

void TfmJournal::btnSaveClick(rtl::Object&) {
  gui::SaveDialog dialog;
  dialog.FileName = L"Журнал событий.csv";
  dialog.Filter = L"Файлы CSV (*.csv)|*.csv|Все файлы (*.*)|*.*|";
  dialog.DefaultExt = L"csv";
  if (!dialog.Execute(Handle())) return;
  // A file that cannot be written is the operator's to mend; the journal
  // stays as it is.
  try {
    SaveToFile(dialog.FileName);
  } catch (const rtl::EOSError& e) {
    gui::Application::Instance().MessageBox(L"Журнал не сохранён.\r" + e.Message(), kCaption,
                                            MB_OK | MB_ICONERROR);
  }
}

void TfmJournal::btnClearClick(rtl::Object&) {
  fJournal.Clear();
  lvJournal.ClearSelection();
  UpdateView();
}

void TfmJournal::btnCloseClick(rtl::Object&) { Close(); }

void TfmJournal::TimerTimer(rtl::Object&) {
  // A hidden window does nothing; the counts never run ahead of the list.
  if (!IsWindowVisible(Handle())) return;
  if (fBehind) {
    UpdateView();
  } else {
    UpdateCounts();
  }
}

void TfmJournal::CatchUpTimer(rtl::Object&) {
  CatchUp.SetEnabled(false);
  if (fBehind && IsWindowVisible(Handle())) UpdateView();
}
