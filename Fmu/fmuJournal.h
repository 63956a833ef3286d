// The event journal window: a modeless, resizable window over the main
// window's journal (Units/cuJournal.h), one row per data event, key event
// and failed driver call, with the session's counts below, copy of the
// selected rows, saving as CSV and clearing. Its size and position are kept
// per user under HKEY_CURRENT_USER\Software\Ortvel\Tavrix\Journal.
//
// While it is hidden (closed, or with the main window minimised) the window
// only notes that it is behind, and catches up when it shows again; shown,
// it catches up with the journal once the messages that came before the
// news are handled, and at most every kUpdateGapMs, so a burst of scans
// costs a few updates of the list a second, not one per scan.
#pragma once

#include <cstdint>
#include <string>

#include "Units/cuJournal.h"
#include "gui/Form.h"
#include "gui/ListView.h"
#include "gui/StdCtrls.h"

inline constexpr wchar_t kRegJournalKey[] = L"Software\\Ortvel\\Tavrix\\Journal";

class TfmJournal : public gui::Form {
 public:
  // The journal is the main window's; it must outlive this window.
  explicit TfmJournal(TJournal& Journal);
  ~TfmJournal() override;

  // Shows the window in front, owned by Owner; the first time at the saved
  // placement (or beside the owner).
  void ShowJournal(HWND Owner);
  // The journal changed: a shown window catches up soon.
  void JournalChanged();
  // Brings the list and the counts up to date at once.
  void UpdateView();

  // The selected rows, tab-separated, each ending with CR LF; false (and
  // nothing copied) when no row is selected.
  bool CopySelection();
  // The whole journal as a CSV file (cuJournalText.h); raises rtl::EOSError.
  void SaveToFile(const std::wstring& FileName);

  gui::ListView& lvJournal = Add<gui::ListView>(L"lvJournal");
  gui::Label& lbScans = Add<gui::Label>(L"lbScans");
  gui::Label& lbScansMinute = Add<gui::Label>(L"lbScansMinute");
  gui::Label& lbErrors = Add<gui::Label>(L"lbErrors");
  gui::Label& lbCapacity = Add<gui::Label>(L"lbCapacity");
  gui::Button& btnCopy = Add<gui::Button>(L"btnCopy", L"Копировать");
  gui::Button& btnSave = Add<gui::Button>(L"btnSave", L"Сохранить…");
  gui::Button& btnClear = Add<gui::Button>(L"btnClear", L"Очистить");
  gui::Button& btnClose = Add<gui::Button>(L"btnClose", L"Закрыть");
  // Once a second while shown: the count of the last minute moves on.
  gui::Timer Timer;
  // News that came too soon after an update is shown when this ticks.
  gui::Timer CatchUp;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void LayOut();
  void PlaceControls();
  void UpdateCounts();
  void SavePlacement() noexcept;
  std::wstring CellText(int Row, int Column) const;

  void FormResize(rtl::Object& Sender);
  void FormClose(rtl::Object& Sender, gui::CloseAction& Action);
  void lvJournalKeyDown(rtl::Object& Sender, WORD& Key, gui::ShiftState Shift);
  void btnCopyClick(rtl::Object& Sender);
  void btnSaveClick(rtl::Object& Sender);
  void btnClearClick(rtl::Object& Sender);
  void btnCloseClick(rtl::Object& Sender);
  void TimerTimer(rtl::Object& Sender);
  void CatchUpTimer(rtl::Object& Sender);

  TJournal& fJournal;
  // What the list shows: the number of its first row and its row count.
  std::uint64_t fShownFirst = 0;
  std::size_t fShownCount = 0;
  bool fUpdatePosted = false;
  bool fBehind = false;  // the journal changed since the last update
  std::uint64_t fLastUpdate = 0;
  bool fPlaced = false;
};
