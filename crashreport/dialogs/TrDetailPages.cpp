#include "crashreport/dialogs/TrDetailPages.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "crashreport/core/TrText.h"
#include "crashreport/dialogs/TrDialogFrame.h"
#include "crashreport/dialogs/TrDialogLogic.h"

namespace tracira {

namespace {

constexpr int kHeaderId = 102, kControlId = 103;

struct TPageInfo {
  const wchar_t* Template;
  TMessageType Header;
};
constexpr std::array<TPageInfo, 6> kPages{{{L"TR_TAB_GENERAL", mtDialog_GeneralHeader},
                                           {L"TR_TAB_CALLSTACK", mtDialog_CallStackHeader},
                                           {L"TR_TAB_MODULESLIST", mtDialog_ModulesHeader},
                                           {L"TR_TAB_PROCESSESLIST", mtDialog_ProcessesHeader},
                                           {L"TR_TAB_ASSEMBLER", mtDialog_AsmHeader},
                                           {L"TR_TAB_CPU", mtDialog_CPUHeader}}};

// The list of a list page: its rows' cells and icons (TListViewItems).
struct TListRow {
  std::vector<std::wstring> Cells;
  int Icon = -1;        // -1: none
  bool Thread = false;  // a call-stack thread row (sign, one text)
  bool Blank = false;
  std::size_t Source = 0;  // the call-stack row it shows
};

struct TPageState {
  HWND Page = nullptr;
  int Number = -1;
  HIMAGELIST Images = nullptr;
  HBITMAP Plus = nullptr, Minus = nullptr;
  std::vector<dlg::TCallStackRow> StackRows;
  std::vector<bool> Collapsed;
  std::vector<TListRow> Rows;
  std::vector<int> Widths;
};
TPageState gPage;

TDialogContext& C() { return *DialogContext(); }
const TDialogInput& In() { return *DialogContext()->Input; }
const TTraciraModuleOptions& O() { return DlgOptions(); }

// ---------------------------------------------------------------------------
// Text pages

std::string GeneralText() {
  const TDialogInput& in = In();
  if (!in.ReportText) return {};
  const std::string& report = *in.ReportText;
  // The general part: up to the call stack's section ("<title>:" at a line's start).
  const std::string title = in.Texts ? (*in.Texts)[mtDialog_CallStackHeader] + ":" : std::string();
  std::size_t at = title.size() > 1 ? report.find("\r\n" + title) : std::string::npos;
  if (at != std::string::npos) return report.substr(0, at + 2);
  return report;
}

std::string PageText(int page) {
  const TDialogInput& in = In();
  if (page == 0) return GeneralText();
  if (!in.Parts || !in.Texts) return {};
  if (page == 4) return in.Parts->Disassembly;
  if (page == 5) return CPUText(*in.Texts, in.Parts->CPU);
  return {};
}

DWORD CALLBACK StreamIn(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done) {
  auto* source = reinterpret_cast<std::pair<const std::string*, std::size_t>*>(cookie);
  const std::size_t left = source->first->size() - source->second;
  const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(count));
  std::memcpy(buffer, source->first->data() + source->second, n);
  source->second += n;
  *done = static_cast<LONG>(n);
  return 0;
}

void LoadRichText(HWND edit, int page) {
  dlg::TRichFont font;
  font.Face = ToAnsi(C().Fonts.FixedFace1);
  font.PointSize = C().Fonts.FixedPointSize;
  CHARSETINFO info{};
  font.CodePage = static_cast<int>(GetACP());
  if (TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<std::uintptr_t>(GetACP())), &info,
                           TCI_SRCCODEPAGE))
    font.CharSet = static_cast<int>(info.ciCharset);
  const dlg::TRichKind kind = page == 0   ? dlg::TRichKind::General
                              : page == 4 ? dlg::TRichKind::Assembler
                                          : dlg::TRichKind::CPU;
  const std::string rtf = dlg::ReportToRTF(PageText(page), kind, font);
  std::pair<const std::string*, std::size_t> source{&rtf, 0};
  EDITSTREAM stream{};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
  stream.pfnCallback = StreamIn;
  SendMessageW(edit, EM_SETBKGNDCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(edit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
  SendMessageW(edit, EM_SETSEL, 0, 0);
}

// ---------------------------------------------------------------------------
// List pages

struct TColumnSet {
  TMessageType First;
  int Count;
  const wchar_t* KeyPrefix;
  std::array<int, 8> Defaults;
};
constexpr TColumnSet kStackColumns{mtCallStack_Address, 6, L"Col", {89, 92, 126, 126, 200, 61}};
constexpr TColumnSet kModuleColumns{mtModules_Handle, 7, L"ColMod", {80, 96, 175, 50, 54, 712, 80}};
constexpr TColumnSet kProcessColumns{mtProcesses_ID, 8, L"ColPro", {48, 134, 232, 56, 57, 47, 52, 330}};

const TColumnSet& ColumnsOf(int page) {
  return page == 1 ? kStackColumns : page == 2 ? kModuleColumns : kProcessColumns;
}

void AddColumns(HWND list, int page) {
  const TColumnSet& set = ColumnsOf(page);
  gPage.Widths.assign(static_cast<std::size_t>(set.Count), 0);
  for (int i = 0; i < set.Count; ++i) {
    const std::wstring key = set.KeyPrefix + std::to_wstring(i);
    const std::optional<int> saved = IniReadInt(L"Coordinates", key.c_str());
    int width = set.Defaults[static_cast<std::size_t>(i)];
    // A 64-bit process's addresses and handles have 16 digits.
    if (sizeof(void*) == 8 && i == 0 && page <= 2) width += 60;
    if (saved && *saved >= 0 && *saved < 4000) width = *saved;
    std::wstring caption = Text(static_cast<TMessageType>(set.First + i));
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = page == 1 && i == 5 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = width;
    column.pszText = caption.data();
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
}

void SaveColumnWidths() {
  if (!gPage.Page || gPage.Number < 1 || gPage.Number > 3) return;
  HWND list = GetDlgItem(gPage.Page, kControlId);
  const TColumnSet& set = ColumnsOf(gPage.Number);
  for (int i = 0; i < set.Count; ++i) {
    const int width = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0));
    const std::wstring key = set.KeyPrefix + std::to_wstring(i);
    IniWrite(L"Coordinates", key.c_str(), std::to_wstring(width));
  }
}

std::wstring Hex(std::uint64_t value, int digits) {
  wchar_t text[24];
  swprintf(text, 24, L"%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::wstring FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return FromAnsi(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::wstring FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::wstring() : FromAnsi(path.substr(0, slash + 1));
}

void FillStackRows() {
  gPage.Rows.clear();
  for (std::size_t i : dlg::VisibleRows(gPage.StackRows, gPage.Collapsed)) {
    const dlg::TCallStackRow& r = gPage.StackRows[i];
    TListRow row;
    row.Source = i;
    row.Thread = r.Kind == dlg::TCallStackRow::Thread;
    row.Blank = r.Kind == dlg::TCallStackRow::Blank;
    if (r.Kind == dlg::TCallStackRow::Entry) {
      row.Icon = r.Icon;
      for (const std::string& cell : r.Cells) row.Cells.push_back(FromAnsi(cell));
    } else if (row.Thread) {
      row.Cells.push_back(FromAnsi(r.Cells[0]));
    }
    gPage.Rows.push_back(std::move(row));
  }
}

void BuildRows(int page) {
  const TDialogInput& in = In();
  gPage.Rows.clear();
  if (!in.Parts || !in.Texts) return;
  if (page == 1) {
    gPage.StackRows = dlg::CallStackRows(*in.Texts, in.Parts->Stack, in.Parts->Threads, in.Parts->Show);
    int blocks = 0;
    for (const auto& r : gPage.StackRows) blocks = std::max<int>(blocks, r.Block + 1);
    gPage.Collapsed.assign(static_cast<std::size_t>(blocks), false);
    FillStackRows();
  } else if (page == 2) {
    const bool wide = std::any_of(in.Parts->Modules.begin(), in.Parts->Modules.end(),
                                  [](const auto& m) { return m.Handle > 0xFFFFFFFFu; });
    for (const TTraciraModuleRow& m : in.Parts->Modules) {
      TListRow row;
      row.Icon = dlg::ModuleIcon(m.FileName);
      row.Cells = {Hex(m.Handle, wide ? 16 : 8), FileNameOf(m.FileName),
                   FromAnsi(m.Description),      FromAnsi(m.Version),
                   std::to_wstring(m.Size),      FromAnsi(ISODateTime(m.LastModified)),
                   FolderOf(m.FileName)};
      gPage.Rows.push_back(std::move(row));
    }
  } else if (page == 3) {
    for (const TTraciraProcessRow& p : in.Parts->Processes) {
      TListRow row;
      row.Icon = dlg::ModuleIcon(p.FileName);
      row.Cells = {std::to_wstring(p.ID),      FileNameOf(p.FileName),    FromAnsi(p.Description),
                   FromAnsi(p.Version),        std::to_wstring(p.Memory), std::to_wstring(p.PriorityClass),
                   std::to_wstring(p.Threads), FolderOf(p.FileName)};
      gPage.Rows.push_back(std::move(row));
    }
  }
}

void ShowRows(HWND list) {
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (std::size_t i = 0; i < gPage.Rows.size(); ++i) {
    // The texts stay readable by messages (tests, screen readers); the
    // drawing is the page's own.
    std::wstring first = gPage.Rows[i].Cells.empty() ? std::wstring() : gPage.Rows[i].Cells[0];
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(i);
    item.pszText = first.data();
    item.lParam = static_cast<LPARAM>(i);
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    for (std::size_t c = 1; c < gPage.Rows[i].Cells.size() && !gPage.Rows[i].Thread; ++c) {
      LVITEMW sub{};
      sub.iSubItem = static_cast<int>(c);
      sub.pszText = gPage.Rows[i].Cells[c].data();
      SendMessageW(list, LVM_SETITEMTEXTW, i, reinterpret_cast<LPARAM>(&sub));
    }
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

HIMAGELIST MakeImages() {
  HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 4, 0);
  for (const wchar_t* name : {L"TR_DLL", L"TR_BPL", L"TR_VCL", L"TR_PAS"}) {
    HBITMAP bitmap = LoadDialogBitmap(name);
    ImageList_AddMasked(images, bitmap, RGB(255, 0, 255));
    if (bitmap) DeleteObject(bitmap);
  }
  return images;
}

void InitList(HWND page, HWND list) {
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  SendMessageW(list, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(list, LVM_SETTEXTCOLOR, 0, RGB(0, 0, 0));
  gPage.Images = MakeImages();
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(gPage.Images));
  if (gPage.Number == 1) {
    gPage.Plus = LoadDialogBitmap(L"TR_PLUS");
    gPage.Minus = LoadDialogBitmap(L"TR_MINUS");
  }
  AddColumns(list, gPage.Number);
  BuildRows(gPage.Number);
  ShowRows(list);
  (void)page;
}

void DrawListRow(const DRAWITEMSTRUCT& d) {
  const std::size_t index = static_cast<std::size_t>(d.itemData);
  if (index >= gPage.Rows.size()) return;
  const TListRow& row = gPage.Rows[index];
  HDC dc = d.hDC;
  const bool selected = (d.itemState & ODS_SELECTED) != 0;
  RECT r = d.rcItem;
  HBRUSH back = CreateSolidBrush(selected ? 0xF1DACC : RGB(255, 255, 255));
  FillRect(dc, &r, back);
  DeleteObject(back);
  if (selected) {
    HBRUSH frame = CreateSolidBrush(0xC56A31);
    FrameRect(dc, &r, frame);
    DeleteObject(frame);
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(d.hwndItem, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font);
  if (row.Blank) {
    SelectObject(dc, old);
    return;
  }
  if (row.Thread) {
    // The sign, a band under the thread's title, the title.
    const dlg::TCallStackRow& source = gPage.StackRows[row.Source];
    const bool collapsed = static_cast<std::size_t>(source.Block) < gPage.Collapsed.size() &&
                           gPage.Collapsed[static_cast<std::size_t>(source.Block)];
    RECT band{r.left, r.bottom - 2, r.right, r.bottom};
    HBRUSH bandBrush = CreateSolidBrush(0xE0A47B);
    FillRect(dc, &band, bandBrush);
    DeleteObject(bandBrush);
    const int signY = r.top + (r.bottom - r.top - 9) / 2;
    DrawDialogBitmap(dc, collapsed ? gPage.Plus : gPage.Minus, r.left + 4, signY);
    RECT text{r.left + 18, r.top, r.right, r.bottom};
    HFONT bold = DialogContext() ? DialogContext()->Fonts.Big : nullptr;
    if (bold) SelectObject(dc, bold);
    DrawTextW(dc, row.Cells[0].c_str(), -1, &text,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, old);
    return;
  }
  int x = r.left;
  HWND header = reinterpret_cast<HWND>(SendMessageW(d.hwndItem, LVM_GETHEADER, 0, 0));
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int c = 0; c < columns && c < static_cast<int>(row.Cells.size()); ++c) {
    const int width = static_cast<int>(SendMessageW(d.hwndItem, LVM_GETCOLUMNWIDTH, c, 0));
    RECT cell{x + 4, r.top, x + width - 4, r.bottom};
    if (c == 0) {
      // Tree line and icon.
      if (gPage.Number == 1) {
        HPEN pen = CreatePen(PS_SOLID, 1, 0xC2CBCE);
        HGDIOBJ oldPen = SelectObject(dc, pen);
        MoveToEx(dc, x + 8, r.top, nullptr);
        LineTo(dc, x + 8, r.bottom);
        SelectObject(dc, oldPen);
        DeleteObject(pen);
        cell.left += 8;
      }
      if (row.Icon >= 0 && gPage.Images) {
        ImageList_Draw(gPage.Images, row.Icon, dc, cell.left, r.top + (r.bottom - r.top - 16) / 2,
                       ILD_TRANSPARENT);
        cell.left += 19;
      }
    }
    const UINT align = gPage.Number == 1 && c == 5 ? DT_RIGHT : DT_LEFT;
    DrawTextW(dc, row.Cells[static_cast<std::size_t>(c)].c_str(), -1, &cell,
              align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    x += width;
  }
  SelectObject(dc, old);
}

void ToggleThread(HWND list, int item) {
  if (item < 0 || static_cast<std::size_t>(item) >= gPage.Rows.size() || !gPage.Rows[item].Thread) return;
  const int block = gPage.StackRows[gPage.Rows[item].Source].Block;
  if (block < 0 || static_cast<std::size_t>(block) >= gPage.Collapsed.size()) return;
  gPage.Collapsed[static_cast<std::size_t>(block)] = !gPage.Collapsed[static_cast<std::size_t>(block)];
  FillStackRows();
  ShowRows(list);
}

void ActivateStackRow(HWND list, int item) {
  if (item < 0 || static_cast<std::size_t>(item) >= gPage.Rows.size()) return;
  const TListRow& row = gPage.Rows[static_cast<std::size_t>(item)];
  if (row.Thread || row.Blank || row.Cells.size() < 6 || row.Cells[5].empty()) {
    ToggleThread(list, item);
    return;
  }
  const dlg::TCallStackRow& source = gPage.StackRows[row.Source];
  const TTraciraDebugInfo& entry = In().Parts->Stack[source.StackIndex];
  const std::int32_t module1 = static_cast<std::int32_t>(entry.ModuleHandle & 0x7FFFFFFF);
  OpenIDEEditor(static_cast<int>(entry.Line), entry.UnitName, entry.ClassName, module1, 0,
                dlg::LineCellOffset(source.Cells[5]), entry.ProcedureName);
}

// ---------------------------------------------------------------------------

INT_PTR Page(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
  if (IsUserInput(msg)) ResetAutoCloseTimer();
  switch (msg) {
    case WM_INITDIALOG: {
      gPage.Page = page;
      SetFont(page, kHeaderId, C().Fonts.Variable);
      SetItemText(page, kHeaderId, Text(kPages[static_cast<std::size_t>(gPage.Number)].Header));
      HWND control = GetDlgItem(page, kControlId);
      if (gPage.Number == 0 || gPage.Number >= 4) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(C().Fonts.Fixed1), FALSE);
        LoadRichText(control, gPage.Number);
      } else {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(C().Fonts.Variable), FALSE);
        InitList(page, control);
      }
      return FALSE;
    }
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return DialogColours(msg, wp);
    case WM_MEASUREITEM: {
      auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      m->itemHeight = std::max<int>(18, LineHeight(page, C().Fonts.Variable) + 4);
      return TRUE;
    }
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d->CtlID == static_cast<UINT>(kControlId)) DrawListRow(*d);
      return TRUE;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom != static_cast<UINT_PTR>(kControlId) || gPage.Number != 1) return FALSE;
      if (header->code == NM_CLICK) {
        const auto* click = reinterpret_cast<const NMITEMACTIVATE*>(lp);
        if (click->iItem >= 0 && click->ptAction.x < 20) ToggleThread(header->hwndFrom, click->iItem);
      } else if (header->code == LVN_ITEMACTIVATE) {
        ActivateStackRow(header->hwndFrom, reinterpret_cast<const NMITEMACTIVATE*>(lp)->iItem);
      }
      return TRUE;
    }
    case WM_DESTROY:
      SaveColumnWidths();
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
  return AtTheEdge(page, false, [&] { return Page(page, msg, wp, lp); });
}

}  // namespace

void ActivatePage(HWND mainDialog, int index) {
  ResetAutoCloseTimer();
  const bool mp = O().LogOptions().Contains(loSaveModulesAndProcessesSections);
  const bool ac = O().LogOptions().Contains(loSaveAssemblerAndCPUSections);
  const int number = dlg::PageOfIndex(index, mp, ac);
  if (number < 0 || number >= static_cast<int>(kPages.size())) return;
  DestroyPage();
  HWND tabs = GetDlgItem(mainDialog, kTabControlId);
  gPage.Number = number;
  HWND page = CreateDialogParamW(DialogModule(), kPages[static_cast<std::size_t>(number)].Template, tabs,
                                 PageProc, 0);
  gPage.Page = page;
  if (!page) {
    gPage.Number = -1;
    return;
  }
  AdjustPage(mainDialog);
  if (IsWindowVisible(tabs)) ShowWindow(page, SW_SHOWNA);
}

void AdjustPage(HWND mainDialog) {
  if (!gPage.Page) return;
  HWND tabs = GetDlgItem(mainDialog, kTabControlId);
  RECT r{};
  GetClientRect(tabs, &r);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  OffsetRect(&r, -3, -1);
  MoveWindow(gPage.Page, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
  MoveWindow(GetDlgItem(gPage.Page, kHeaderId), 3, 3, std::max<int>(0, r.right - r.left - 8), 15, TRUE);
  MoveWindow(GetDlgItem(gPage.Page, kControlId), 3, 20, std::max<int>(0, r.right - r.left - 8),
             std::max<int>(0, r.bottom - r.top - 24), TRUE);
}

void DestroyPage() {
  if (gPage.Page) DestroyWindow(gPage.Page);
  if (gPage.Images) ImageList_Destroy(gPage.Images);
  for (HBITMAP* b : {&gPage.Plus, &gPage.Minus})
    if (*b) DeleteObject(*b);
  gPage = TPageState{};
}

int ActivePageNumber() { return gPage.Page ? gPage.Number : -1; }
HWND ActivePageWindow() { return gPage.Page; }

void OpenIDEEditor(int line, const std::string& unit, const std::string& className, int module1, int module2,
                   int offset, const std::string& procedure) {
  if (HWND ide = FindWindowW(L"TAppBuilder", nullptr)) SetForegroundWindow(ide);
  const dlg::TIDERecord record = dlg::IDERecord(unit, className, procedure, line, offset, module1, module2);
  for (int i = 0; i < 4; ++i) {
    const std::wstring name = L"\\\\.\\mailslot\\TraciraLog" + std::to_wstring(i);
    HANDLE slot = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (slot == INVALID_HANDLE_VALUE) continue;
    DWORD written = 0;
    WriteFile(slot, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(slot);
  }
}

}  // namespace tracira
