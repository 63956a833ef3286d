#include "crashreport/dialogs/TrDialogs.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>

#include "crashreport/core/TrText.h"
#include "crashreport/dialogs/TrDetailPages.h"
#include "crashreport/dialogs/TrDialogFrame.h"
#include "crashreport/dialogs/TrDialogLogic.h"

namespace tracira {

namespace {

// Error icon, OK, task-modal, top-most, service notification.
constexpr UINT kMessageBoxFlags = 0x242010;

// Control ids of the templates.
enum : int {
  // "TR_Dialog"
  idMessage = 101,
  idTabs = 1000,
  idLine = 2000,
  idOk = 2,
  idTerminate = 3,
  idDetails = 4,
  idCustom = 5,
  idSend = 3000,
  idScreenshot = 4000,
  idCopy = 5000,
  // "TR_MS_Dialog"
  idHeader = 102,
  idExcMessage = 103,
  idTerminateCheck = 104,
  idPlease = 105,
  idDescription = 106,
  idSeeDetails = 107,
  idHowTo = 108,
  idReproduce = 109,
  idEmailLabel = 110,
  idEmail = 111,
  idMSSend = 1000,
  idMSNoSend = 1001,
  idMSCustom = 1002,
  // "TR_Request"
  idRequestText = 100,
  idRequestEdit = 101,
};

TDialogContext& C() { return *DialogContext(); }
TDialogState& S() { return *DialogContext()->State; }
const TTraciraModuleOptions& O() { return DlgOptions(); }
bool Has(TExceptionDialogOption o) { return O().ExceptionDialogOptions().Contains(o); }

std::wstring MessageText() {
  const TDialogInput& in = *C().Input;
  return in.WideMessage.empty() ? FromAnsi(in.Message) : in.WideMessage;
}

std::wstring GetItemText(HWND dlg, int id) {
  HWND item = GetDlgItem(dlg, id);
  const int n = item ? GetWindowTextLengthW(item) : 0;
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  if (n > 0) GetWindowTextW(item, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::wstring Trim(std::wstring text) {
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  return text.substr(start);
}

bool ShowTerminateChoice() {
  return O().TerminateBtnOperation() != tbNone && O().ErrorsNumberToShowTerminateBtn() < S().ExceptionNumber;
}

// ---------------------------------------------------------------------------
// The thread's other windows while a dialog is up: disabled as a task-modal
// box disables them, enabled again *before* the dialog goes, so that the
// system gives the activation back to the program's window (a window
// enabled only after its dialog is gone is passed over, and the operator's
// next click then only activates it).

class TThreadWindows {
 public:
  void Disable(HWND except) {
    fExcept = except;
    EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(this));
    for (HWND wnd : fDisabled) EnableWindow(wnd, FALSE);
  }
  void Enable() {
    for (HWND wnd : fDisabled)
      if (IsWindow(wnd)) EnableWindow(wnd, TRUE);
    fDisabled.clear();
  }

 private:
  static BOOL CALLBACK Collect(HWND wnd, LPARAM lp) {
    auto* self = reinterpret_cast<TThreadWindows*>(lp);
    if (wnd != self->fExcept && IsWindowVisible(wnd) && IsWindowEnabled(wnd)) self->fDisabled.push_back(wnd);
    return TRUE;
  }
  HWND fExcept = nullptr;
  std::vector<HWND> fDisabled;
};

TThreadWindows gThreadWindows;

void EndTheDialog(HWND dlg, INT_PTR result) {
  gThreadWindows.Enable();
  EndDialog(dlg, result);
}

// AddCustomHeaderToLog(7, "Request", text): once per report.
void AddRequestSection(const std::wstring& text) {
  TDialogState& s = S();
  s.CurrentRequestValue = ToAnsi(Trim(text));
  const TDialogInput& in = *C().Input;
  if (s.CurrentRequestValue.empty() || s.RequestAdded || !in.ReportText || !in.Texts) return;
  *in.ReportText = InsertCustomSection(
      *in.ReportText, CustomHeaderText(7, (*in.Texts)[mtReproduceDialog_Caption], s.CurrentRequestValue),
      (*in.Texts)[mtDialog_CallStackHeader]);
  s.RequestAdded = true;
}

void OpenSupportPage(HWND dlg) {
  TDialogState& s = S();
  s.UseTopMost = false;
  SetWindowPos(dlg, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const std::wstring url = FromAnsi(O().SupportURL());
  ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
}

// The paint check's tick: true when the dialog is to close, as it never
// painted (no visible desktop). A modal dialog shows itself only once its
// queue first runs empty, so an early tick finds it not yet shown: then
// the check waits for it (a longer period lets the queue run empty); a
// shown dialog whose first paint is still pending paints now.
bool PaintCheckFails(HWND dlg) {
  if (!IsWindowVisible(dlg)) {
    SetTimer(dlg, kPaintCheckTimer, 50, nullptr);
    return false;
  }
  KillTimer(dlg, kPaintCheckTimer);
  if (!S().IsDialogShowed) UpdateWindow(dlg);
  return !S().IsDialogShowed;
}

bool PointIn(const RECT& r, LPARAM lp) {
  const POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  return PtInRect(&r, pt) != FALSE;
}

// ---------------------------------------------------------------------------
// The detailed dialog ("TR_Dialog")

int DetailButtonWidth(HWND dlg) {
  int bw = 75;
  for (TMessageType t :
       {mtDialog_OKButtonCaption, mtDialog_TerminateButtonCaption, mtDialog_RestartButtonCaption,
        mtDialog_DetailsButtonCaption, mtDialog_CustomButtonCaption})
    bw = std::max<int>(bw, MeasureText(dlg, C().Fonts.Variable, Text(t) + L"O", true).cx);
  return bw;
}

void ReadState(HWND dlg) {
  (void)dlg;
  TDialogState& s = S();
  dlg::TIniPlacement ini;
  ini.Width = IniReadInt(L"Coordinates", L"Width");
  ini.Height = IniReadInt(L"Coordinates", L"Height");
  ini.Left = IniReadInt(L"Coordinates", L"Left");
  ini.Top = IniReadInt(L"Coordinates", L"Top");
  ini.WindowsState = IniReadInt(L"Coordinates", L"WindowsState");
  const dlg::TPlacement p = dlg::ReadPlacement(ini, GetMonitorWorkAreaFromActiveWnd(), s.DialogHeight);
  s.RealLeft = p.Left;
  s.RealTop = p.Top;
  s.RealWidth = p.Width;
  s.RealHeight = p.Height;
  s.WindowState = p.WindowState;
}

void SaveState() {
  const TDialogState& s = S();
  const auto save =
      dlg::PlacementToSave(s.RealLeft, s.RealTop, s.RealWidth, s.RealHeight, s.WindowState, s.DialogHeight);
  if (!save) return;
  if (save->WriteRect) {
    IniWrite(L"Coordinates", L"Width", std::to_wstring(save->Width));
    IniWrite(L"Coordinates", L"Height", std::to_wstring(save->Height));
    IniWrite(L"Coordinates", L"Left", std::to_wstring(save->Left));
    IniWrite(L"Coordinates", L"Top", std::to_wstring(save->Top));
  }
  IniWrite(L"Coordinates", L"WindowsState", std::to_wstring(save->WindowsState));
}

void LayoutDetailed(HWND dlg, WPARAM sizeType, int width, int height) {
  TDialogState& s = S();
  dlg::TDetailedLayoutInput in;
  in.Width = width;
  in.Height = height;
  in.DialogHeight = s.DialogHeight;
  in.ButtonWidth = DetailButtonWidth(dlg);
  in.Expanded = s.DetailsActive;
  in.ShowTerminate = ShowTerminateChoice();
  in.ShowCustom = Has(edoShowCustomButton);
  in.ShowDetails = Has(edoShowDetailsButton) && !s.ShowInDetailsMode;
  in.CopyShown = s.CanCopy_Show;
  in.SupportTextWidth = MeasureText(dlg, C().Fonts.Link, Text(mtDialog_SupportMessage)).cx;
  const dlg::TDetailedLayout l = dlg::DetailedLayout(in);

  MoveItem(dlg, idTabs, l.Tab);
  if (l.MessagePlaced) MoveItem(dlg, idMessage, l.Message);
  MoveItem(dlg, idTerminate, l.Terminate);
  ShowItem(dlg, idTerminate, in.ShowTerminate);
  MoveItem(dlg, idCustom, l.Custom);
  ShowItem(dlg, idCustom, in.ShowCustom);
  MoveItem(dlg, idOk, l.Ok);
  ShowItem(dlg, idLine, false);
  MoveItem(dlg, idSend, l.Send);
  SetItemText(dlg, idSend, Text(mtDialog_SendMessage));
  MoveItem(dlg, idCopy, l.Copy);
  SetItemText(dlg, idCopy, Text(mtDialog_CopyMessage));
  s.rSupport = {l.Support.Left, l.Support.Top, l.Support.Right, l.Support.Bottom};
  s.SupportLinkActive = false;
  MoveItem(dlg, idScreenshot, l.Screenshot);
  SetItemText(dlg, idScreenshot, Text(mtDialog_ScreenshotMessage));
  MoveItem(dlg, idDetails, l.Details);
  ShowItem(dlg, idDetails, in.ShowDetails);

  if (sizeType == SIZE_MAXIMIZED) {
    s.WindowState = dlg::kStateMaximised;
  } else if (sizeType == SIZE_MINIMIZED) {
    s.WindowState = dlg::kStateMinimised;
  } else if (s.DetailsActive) {
    s.WindowState = dlg::kStateNormal;
    RECT r{};
    GetWindowRect(dlg, &r);
    s.RealWidth = r.right - r.left;
    s.RealHeight = r.bottom - r.top;
  }
  // Everything but the page area is painted anew (the link, the picture).
  RECT client{0, 0, width, height};
  InvalidateRect(dlg, &client, TRUE);
  AdjustPage(dlg);
}

void Relayout(HWND dlg) {
  RECT client{};
  GetClientRect(dlg, &client);
  LayoutDetailed(dlg, IsZoomed(dlg) ? SIZE_MAXIMIZED : SIZE_RESTORED, client.right, client.bottom);
}

void DetailsState(HWND dlg, bool expanded) {
  TDialogState& s = S();
  if (!expanded && IsWindowVisible(dlg) && (IsZoomed(dlg) || IsIconic(dlg))) ShowWindow(dlg, SW_RESTORE);
  // AdjustFlatStyle: flat buttons only with the library's look.
  for (int id : {idOk, idTerminate, idDetails, idCustom, idSend, idScreenshot, idCopy}) {
    HWND item = GetDlgItem(dlg, id);
    if (!item) continue;
    LONG_PTR style = GetWindowLongPtrW(item, GWL_STYLE);
    if (!UseLibraryLook()) style &= ~static_cast<LONG_PTR>(BS_FLAT);
    SetWindowLongPtrW(item, GWL_STYLE, style);
  }
  LONG_PTR style = GetWindowLongPtrW(dlg, GWL_STYLE);
  LONG_PTR frame = WS_THICKFRAME | WS_MAXIMIZEBOX;
  if (!UseLibraryLook()) frame |= WS_SYSMENU;
  style = expanded ? (style | frame) : (style & ~frame);
  SetWindowLongPtrW(dlg, GWL_STYLE, style);
  SetWindowPos(dlg, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);

  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  GetWindowPlacement(dlg, &placement);
  if (expanded) {
    SetItemText(dlg, idDetails, L"<< " + Text(mtDialog_DetailsButtonCaption));
    SetItemText(dlg, idMessage, Text(mtDialog_ErrorMsgCaption));
    ReadState(dlg);
    ShowWindow(GetDlgItem(dlg, idTabs), SW_SHOWNA);
    if (HWND page = ActivePageWindow()) ShowWindow(page, SW_SHOWNA);
    placement.rcNormalPosition = {s.RealLeft, s.RealTop, s.RealLeft + s.RealWidth,
                                  s.RealTop + s.RealHeight + s.DialogHeight};
    placement.showCmd = s.WindowState == dlg::kStateMaximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    if (!IsWindowVisible(dlg) && placement.showCmd == SW_SHOWNORMAL) placement.showCmd = SW_HIDE;
  } else {
    SetItemText(dlg, idDetails, Text(mtDialog_DetailsButtonCaption) + L" >>");
    const std::wstring message = MessageText();
    SetItemText(dlg, idMessage, message);
    std::vector<int> widths = LineWidths(dlg, C().Fonts.Variable, message);
    widths.push_back(MeasureText(dlg, C().Fonts.Variable,
                                 Text(mtDialog_SupportMessage) + L"    " + Text(mtDialog_SendMessage), true)
                         .cx);
    const int lineHeight = LineHeight(dlg, C().Fonts.Variable);
    dlg::TCompactSize size =
        dlg::CompactSize(widths, lineHeight, GetSystemMetrics(SM_CXFRAME), GetSystemMetrics(SM_CYFRAME),
                         GetSystemMetrics(C().CaptionHeightMetric));
    // A message longer than the screen is cut at the work area's height.
    const dlg::TRect work = GetMonitorWorkAreaFromActiveWnd();
    const int maxHeight = std::max<int>(120, work.Height() - s.DialogHeight);
    if (size.Height > maxHeight) {
      size.TextHeight -= size.Height - maxHeight;
      size.Height = maxHeight;
    }
    MoveItem(dlg, idMessage, dlg::RectAt(48, 8, size.TextWidth, std::max<int>(size.TextHeight, lineHeight)));
    ShowWindow(GetDlgItem(dlg, idTabs), SW_HIDE);
    if (HWND page = ActivePageWindow()) ShowWindow(page, SW_HIDE);
    const int height = size.Height + s.DialogHeight;
    const int left = work.Left + (work.Width() - size.Width) / 2,
              top = work.Top + (work.Height() - height) / 2;
    placement.rcNormalPosition = {left, top, left + size.Width, top + height};
    placement.showCmd = IsWindowVisible(dlg) ? SW_SHOWNORMAL : SW_HIDE;
  }
  placement.flags = 0;
  SetWindowPlacement(dlg, &placement);
  Relayout(dlg);
}

void CloseDetailed(HWND dlg) {
  S().DialogType = edtNone;
  EndTheDialog(dlg, idOk);
}

void InitDetailed(HWND dlg) {
  TDialogContext& c = C();
  TDialogState& s = S();
  s.CurrentDialog = nullptr;
  SetWindowPos(dlg, nullptr, 0, 0, 0, 0, SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
  s.UseTopMost = Has(edoShowInTopMostMode);
  LONG_PTR ex = GetWindowLongPtrW(dlg, GWL_EXSTYLE);
  if (UseLibraryLook()) {
    c.CaptionHeightMetric = SM_CYSMCAPTION;
  } else {
    SetWindowLongPtrW(dlg, GWL_EXSTYLE, ex & ~static_cast<LONG_PTR>(WS_EX_TOOLWINDOW));
    c.CaptionHeightMetric = SM_CYCAPTION;
  }
  if (s.UseTopMost) SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  // 3-4. What is offered.
  s.CanSendError_Show = (O().EMailSendMode() != esmNoSend || O().WebSendMode() != wsmNoSend) &&
                        !s.DuplicatedException && Has(edoShowSendErrorReportOption);
  s.CanAttachScreenshot_Show = O().CommonSendOptions().Contains(sndSendScreenshot) && s.CanSendError_Show &&
                               Has(edoShowAttachScreenshotOption);
  s.CanCopy_Show = Has(edoShowCopyToClipOption);
  s.CanSupport_Show = !Trim(FromAnsi(O().SupportURL())).empty();
  s.DialogHeight = dlg::DialogHeightFor(s.CanSendError_Show, s.CanAttachScreenshot_Show, s.CanCopy_Show,
                                        s.CanSupport_Show);
  // 5-6.
  s.MainDialog = dlg;
  SetForegroundWindow(dlg);
  s.DetailsActive = s.ShowInDetailsMode || Has(edoShowInDetailedMode);
  s.DetailedDialogShown = true;
  CreateDialogResources(c);
  // 7. Texts and fonts.
  for (int id : {idMessage, idOk, idTerminate, idDetails, idCustom, idSend, idScreenshot, idCopy})
    SetFont(dlg, id, c.Fonts.Variable);
  SetItemText(dlg, idOk, Text(mtDialog_OKButtonCaption));
  SetItemText(dlg, idTerminate,
              Text(O().TerminateBtnOperation() == tbTerminate ? mtDialog_TerminateButtonCaption
                                                              : mtDialog_RestartButtonCaption));
  SetItemText(dlg, idCustom, Text(mtDialog_CustomButtonCaption));
  // 8. The check boxes.
  CheckDlgButton(dlg, idSend,
                 s.CanSendMessage && Has(edoSendErrorReportChecked) ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(dlg, idScreenshot), IsDlgButtonChecked(dlg, idSend) == BST_CHECKED);
  ShowItem(dlg, idSend, s.CanSendError_Show);
  ShowItem(dlg, idScreenshot, s.CanAttachScreenshot_Show);
  CheckDlgButton(dlg, idScreenshot,
                 s.CanAttachScreenshot && Has(edoAttachScreenshotChecked) ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dlg, idCopy, BST_UNCHECKED);
  ShowItem(dlg, idCopy, s.CanCopy_Show);
  // 9. Caption.
  SetWindowTextW(dlg, Text(mtDialog_Caption).c_str());
  // 10. Tabs.
  HWND tabs = GetDlgItem(dlg, idTabs);
  SendMessageW(tabs, WM_SETFONT, reinterpret_cast<WPARAM>(c.Fonts.Variable), FALSE);
  const bool mp = O().LogOptions().Contains(loSaveModulesAndProcessesSections);
  const bool ac = O().LogOptions().Contains(loSaveAssemblerAndCPUSections);
  static constexpr TMessageType kTabCaptions[] = {mtDialog_GeneralCaption, mtDialog_CallStackCaption,
                                                  mtDialog_ModulesCaption, mtDialog_ProcessesCaption,
                                                  mtDialog_AsmCaption,     mtDialog_CPUCaption};
  int tab = 0;
  for (int page : dlg::TabPages(mp, ac)) {
    std::wstring caption = Text(kTabCaptions[page]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(tabs, TCM_INSERTITEMW, tab++, reinterpret_cast<LPARAM>(&item));
  }
  // 11. The first page.
  const int first = dlg::FirstPage(O().ForegroundTab(), mp, ac);
  SetFocus(GetDlgItem(dlg, idOk));
  ActivatePage(dlg, -first);
  SendMessageW(tabs, TCM_SETCURSEL, dlg::TabOfPage(first, mp, ac), 0);
  // 12-13. The form, the timers.
  s.CurrentDialog = dlg;
  DetailsState(dlg, s.DetailsActive);
  StartPaintCheck(dlg);
  SetAutoCloseTimer(dlg);
  SetAutoTopMost(dlg);
  gThreadWindows.Disable(dlg);
}

void DrawSupportLink(HWND dlg, HDC dc) {
  const TDialogState& s = S();
  if (!s.CanSupport_Show) return;
  HGDIOBJ old = SelectObject(dc, C().Fonts.Link);
  FillRect(dc, &s.rSupport, C().DlgBack ? C().DlgBack : GetSysColorBrush(COLOR_BTNFACE));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 128));
  RECT r = s.rSupport;
  const std::wstring text = Text(mtDialog_SupportMessage);
  DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
  (void)dlg;
}

INT_PTR DetailedDialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  TDialogState& s = S();
  if (IsUserInput(msg)) ResetAutoCloseTimer();
  switch (msg) {
    case WM_INITDIALOG:
      InitDetailed(dlg);
      return FALSE;
    case WM_SIZE:
      if (s.CurrentDialog) LayoutDetailed(dlg, wp, LOWORD(lp), HIWORD(lp));
      return TRUE;
    case WM_MOVE:
      if (s.DetailsActive && !IsZoomed(dlg) && !IsIconic(dlg)) {
        RECT r{};
        GetWindowRect(dlg, &r);
        s.RealLeft = r.left;
        s.RealTop = r.top;
      }
      return TRUE;
    case WM_GETMINMAXINFO:
      if (s.DetailsActive) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lp);
        info->ptMinTrackSize = {466, 300};
      }
      return TRUE;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(dlg, &ps);
      s.IsDialogShowed = true;
      DrawDialogBitmap(dc, C().ErrorBitmap, 8, 8);
      DrawSupportLink(dlg, dc);
      EndPaint(dlg, &ps);
      return TRUE;
    }
    case WM_NCACTIVATE:
    case WM_NCPAINT:
      return CustomCaptionMessage(dlg, msg, wp, C().Active, Text(mtDialog_Caption), true);
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return DialogColours(msg, wp);
    case WM_TIMER:
      if (wp == kPaintCheckTimer) {
        if (PaintCheckFails(dlg)) CloseDetailed(dlg);
      } else if (wp == kAutoCloseTimer) {
        AutoCloseTick(dlg);
      } else if (wp == kTopMostTimer) {
        TopMostTick();
      }
      return TRUE;
    case WM_MOUSEMOVE: {
      const bool over = s.CanSupport_Show && PointIn(s.rSupport, lp);
      if (over != s.SupportLinkActive) {
        s.SupportLinkActive = over;
        InvalidateRect(dlg, &s.rSupport, TRUE);
      }
      return TRUE;
    }
    case WM_SETCURSOR:
      if (s.SupportLinkActive && LOWORD(lp) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        SetWindowLongPtrW(dlg, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_LBUTTONUP:
      if (s.SupportLinkActive && PointIn(s.rSupport, lp)) OpenSupportPage(dlg);
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom == static_cast<UINT_PTR>(idTabs) && header->code == TCN_SELCHANGE)
        ActivatePage(dlg, static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
      return TRUE;
    }
    case WM_COMMAND:
      // A command is the user's answer to a dialog that was there to see,
      // even when it came before the first paint: no fall-back box after it.
      s.IsDialogShowed = true;
      switch (LOWORD(wp)) {
        case idOk:
          CloseDetailed(dlg);
          return TRUE;
        case idTerminate:
          s.DialogType = edtNone;
          s.TerminateApplication = true;
          EndTheDialog(dlg, idTerminate);
          return TRUE;
        case idDetails:
          if (s.DetailsActive) SaveState();
          s.DetailsActive = !s.DetailsActive;
          InvalidateRect(dlg, nullptr, TRUE);
          DetailsState(dlg, s.DetailsActive);
          return TRUE;
        case idCustom:
          s.Global_CloseDialog = false;
          if (C().Events && C().Events->CustomButton && C().Events->CustomButton())
            s.Global_CloseDialog = true;
          if (s.Global_CloseDialog) CloseDetailed(dlg);
          return TRUE;
        case idSend:
          EnableWindow(GetDlgItem(dlg, idScreenshot), IsDlgButtonChecked(dlg, idSend) == BST_CHECKED);
          return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      CloseDetailed(dlg);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dlg, kPaintCheckTimer);
      UnsetAutoCloseTimer(dlg);
      UnsetAutoTopMost(dlg);
      s.CanSendMessage = IsDlgButtonChecked(dlg, idSend) == BST_CHECKED;
      s.CanAttachScreenshot = IsDlgButtonChecked(dlg, idScreenshot) == BST_CHECKED;
      s.CanCopy = IsDlgButtonChecked(dlg, idCopy) == BST_CHECKED;
      DestroyPage();
      if (s.DetailsActive) SaveState();
      FreeDialogResources(C());
      s.MainDialog = nullptr;
      gThreadWindows.Enable();
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK DetailedDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return AtTheEdge(dlg, true, [&] { return DetailedDialog(dlg, msg, wp, lp); });
}

// ---------------------------------------------------------------------------
// The classic dialog ("TR_MS_Dialog")

constexpr int kClassicX = 8, kClassicWidth = 397, kHeaderWidth = 356, kClassicWindowWidth = 419;

int PlaceText(HWND dlg, int id, HFONT font, const std::wstring& text, int y, int width) {
  SetItemText(dlg, id, text);
  SetFont(dlg, id, font);
  const int h = TextHeightOf(dlg, font, text, width);
  MoveItem(dlg, id, dlg::RectAt(kClassicX, y, width, h));
  ShowItem(dlg, id, true);
  return h;
}

void InitClassic(HWND dlg) {
  TDialogContext& c = C();
  TDialogState& s = S();
  SetInitDialog(dlg, false);
  CreateDialogResources(c);
  const HFONT variable = c.Fonts.Variable;
  for (int id : {idTerminateCheck, idDescription, idSeeDetails, idHowTo, idEmailLabel, idEmail, idMSNoSend,
                 idMSCustom, idMSSend})
    SetFont(dlg, id, variable);
  SetFont(dlg, idReproduce, c.Fonts.Fixed1);
  SetItemText(dlg, idEmail, s.UserEmail.empty() ? IniRead(L"User", L"Email") : FromAnsi(s.UserEmail));
  SetWindowTextW(dlg, Text(mtDialog_Caption).c_str());
  // 3. Sending offered?
  s.CanSendError_Show = (O().EMailSendMode() != esmNoSend || O().WebSendMode() != wsmNoSend) &&
                        !s.DuplicatedException && Has(edoShowSendErrorReportOption);
  HWND send = GetDlgItem(dlg, idMSSend), noSend = GetDlgItem(dlg, idMSNoSend);
  if (!s.CanSendError_Show) {
    ShowWindow(send, SW_HIDE);
    EnableWindow(send, FALSE);
    SendMessageW(send, BM_SETSTYLE, BS_PUSHBUTTON, FALSE);
    SendMessageW(noSend, BM_SETSTYLE, BS_DEFPUSHBUTTON, FALSE);
    SendMessageW(dlg, DM_SETDEFID, idMSNoSend, 0);
    SetFocus(noSend);
  }
  // 4. The header.
  const std::wstring header = Text(mtMSDialog_ErrorMsgCaption);
  SetItemText(dlg, idHeader, header);
  SetFont(dlg, idHeader, c.Fonts.Big);
  const int headerHeight = TextHeightOf(dlg, c.Fonts.Big, header, kHeaderWidth);
  MoveItem(dlg, idHeader,
           dlg::RectAt(kClassicX, std::max<int>(0, (51 - headerHeight) / 2), kHeaderWidth, headerHeight));
  // 5. The message.
  int y = 59;
  y += PlaceText(dlg, idExcMessage, variable, MessageText(), y, kClassicWidth);
  // 6. Terminate or restart.
  if (ShowTerminateChoice()) {
    y += 10;
    y += PlaceText(dlg, idTerminateCheck, variable,
                   Text(O().TerminateBtnOperation() == tbTerminate ? mtMSDialog_TerminateCaption
                                                                   : mtMSDialog_RestartCaption),
                   y, kClassicWidth) +
         4;
  } else {
    ShowItem(dlg, idTerminateCheck, false);
  }
  // 7. The plea.
  if (s.CanSendError_Show) {
    y += 10;
    y += PlaceText(dlg, idPlease, c.Fonts.Big, Text(mtMSDialog_PleaseCaption), y, kClassicWidth);
    y += 2;
    y += PlaceText(dlg, idDescription, variable, Text(mtMSDialog_DescriptionCaption), y, kClassicWidth);
  } else {
    ShowItem(dlg, idPlease, false);
    ShowItem(dlg, idDescription, false);
  }
  // 8. The details link.
  if (Has(edoShowDetailsButton)) {
    y += 12;
    const std::wstring see = Trim(Text(mtMSDialog_SeeDetailsCaption)) + L" ";
    const int w = MeasureText(dlg, variable, see).cx;
    SetItemText(dlg, idSeeDetails, see);
    const int h = TextHeightOf(dlg, variable, see, kHeaderWidth);
    MoveItem(dlg, idSeeDetails, dlg::RectAt(kClassicX, y, w, h));
    const std::wstring click = Text(mtMSDialog_SeeClickCaption);
    const int cw = MeasureText(dlg, c.Fonts.Link2, click).cx;
    const int ch = TextHeightOf(dlg, c.Fonts.Link2, click, kHeaderWidth);
    s.rClick = {w + kClassicX, y, w + kClassicX + cw, y + ch};
    y += std::max<int>(h, ch);
  } else {
    ShowItem(dlg, idSeeDetails, false);
    s.rClick = {};
  }
  // 9. The steps to reproduce.
  if (O().LogOptions().Contains(loAppendReproduceText)) {
    y += 12;
    y += PlaceText(dlg, idHowTo, variable, Text(mtMSDialog_HowToReproduceCaption), y, kClassicWidth);
    y += 2;
    const int h = 8 * GetSystemMetrics(SM_CYBORDER) + 4 * LineHeight(dlg, c.Fonts.Fixed1);
    MoveItem(dlg, idReproduce, dlg::RectAt(kClassicX, y, kClassicWidth, h));
    SetItemText(dlg, idReproduce, FromAnsi(s.CurrentRequestValue));
    y += h - 4;
  } else {
    ShowItem(dlg, idHowTo, false);
    ShowItem(dlg, idReproduce, false);
  }
  // 10. The e-mail address.
  if (s.CanSendError_Show) {
    y += 12;
    const std::wstring label = Text(mtMSDialog_EmailCaption) + L" ";
    const int cw = MeasureText(dlg, variable, label).cx;
    const int eh = LineHeight(dlg, variable) + 8 * GetSystemMetrics(SM_CYBORDER);
    MoveItem(dlg, idEmail, dlg::RectAt(cw + kClassicX, y, kClassicWidth - cw, eh));
    SetItemText(dlg, idEmailLabel, label);
    MoveItem(dlg, idEmailLabel,
             dlg::RectAt(kClassicX, y + 4 * GetSystemMetrics(SM_CYBORDER), cw, LineHeight(dlg, variable)));
    y += eh;
  } else {
    ShowItem(dlg, idEmailLabel, false);
    ShowItem(dlg, idEmail, false);
  }
  // 11. The buttons.
  y += 12;
  const int b = 4 * GetSystemMetrics(SM_CYBORDER) + LineHeight(dlg, variable) + 6;
  const std::wstring custom = Text(mtDialog_CustomButtonCaption);
  SetItemText(dlg, idMSCustom, custom);
  MoveItem(dlg, idMSCustom, dlg::RectAt(kClassicX, y, ButtonWidthOf(dlg, custom), b));
  ShowItem(dlg, idMSCustom, Has(edoShowCustomButton));
  const std::wstring noSendText = s.CanSendMessage && s.CanSendError_Show
                                      ? Text(mtMSDialog_NoSendButtonCaption)
                                      : Text(mtDialog_OKButtonCaption);
  const int d = ButtonWidthOf(dlg, noSendText);
  SetItemText(dlg, idMSNoSend, noSendText);
  MoveItem(dlg, idMSNoSend, dlg::RectAt(kClassicX + kClassicWidth - d, y, d, b));
  const std::wstring sendText = Text(mtMSDialog_SendButtonCaption);
  const int e = ButtonWidthOf(dlg, sendText);
  SetItemText(dlg, idMSSend, sendText);
  MoveItem(dlg, idMSSend, dlg::RectAt(kClassicX + kClassicWidth - d - 6 - e, y, e, b));
  // 12. The window.
  RECT client{0, 0, kClassicWindowWidth - 2 * GetSystemMetrics(SM_CXFIXEDFRAME), y + b + 10};
  AdjustWindowRectEx(&client, static_cast<DWORD>(GetWindowLongPtrW(dlg, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(dlg, GWL_EXSTYLE)));
  CenterOnActiveWndMonitor(dlg, client.right - client.left, client.bottom - client.top);
  if (c.DlgBack) DeleteObject(c.DlgBack);
  c.DlgBack = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  s.ClickLinkActive = false;
  s.CurrentDialog = dlg;
  StartPaintCheck(dlg);
  SetAutoCloseTimer(dlg);
  SetAutoTopMost(dlg);
  gThreadWindows.Disable(dlg);
}

// AssignOnCloseData: false when the dialog stays open (an invalid e-mail).
bool AssignOnCloseData(HWND dlg) {
  TDialogState& s = S();
  const std::wstring email = Trim(GetItemText(dlg, idEmail));
  s.UserEmail = ToAnsi(email);
  if (dlg::IsValidEmail(s.UserEmail)) {
    s.UserEmailAccepted = true;
    if (C().Input->ReportText)
      *C().Input->ReportText = dlg::ChangeLogUserEmail(*C().Input->ReportText, s.UserEmail);
    IniWrite(L"User", L"Email", email);
  } else if (!s.UserEmail.empty()) {
    s.UserEmailAccepted = false;
    DialogMessageBox(dlg, Text(mtInvalidEmailMsg), Text(mtErrorMsgCaption), kMessageBoxFlags);
    SetFocus(GetDlgItem(dlg, idEmail));
    return false;
  }
  if (O().LogOptions().Contains(loAppendReproduceText)) AddRequestSection(GetItemText(dlg, idReproduce));
  s.TerminateApplication = s.TerminateApplication || IsDlgButtonChecked(dlg, idTerminateCheck) == BST_CHECKED;
  EndTheDialog(dlg, IDOK);
  return true;
}

void DrawClickHere(HDC dc) {
  const TDialogState& s = S();
  if (!Has(edoShowDetailsButton)) return;
  HGDIOBJ old = SelectObject(dc, C().Fonts.Link2);
  FillRect(dc, &s.rClick, GetSysColorBrush(COLOR_BTNFACE));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 255));
  RECT r = s.rClick;
  const std::wstring text = Text(mtMSDialog_SeeClickCaption);
  DrawTextW(dc, text.c_str(), -1, &r, DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
}

INT_PTR ClassicDialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  TDialogState& s = S();
  if (IsUserInput(msg)) ResetAutoCloseTimer();
  switch (msg) {
    case WM_INITDIALOG:
      InitClassic(dlg);
      return s.CanSendError_Show;  // else the focus was given to "Don't send"
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(dlg, &ps);
      s.IsDialogShowed = true;
      RECT client{};
      GetClientRect(dlg, &client);
      RECT band{0, 0, client.right, 51};
      FillRect(dc, &band, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      FrameRect(dc, &band, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
      DrawDialogBitmap(dc, C().ErrorBitmap, client.right - C().ErrorBitmapSize.cx - 9, 9);
      DrawClickHere(dc);
      EndPaint(dlg, &ps);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lp) == GetDlgItem(dlg, idHeader)) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
      }
      return FALSE;
    case WM_TIMER:
      if (wp == kPaintCheckTimer) {
        if (PaintCheckFails(dlg)) {
          s.DialogType = edtNone;
          EndTheDialog(dlg, IDCANCEL);
        }
      } else if (wp == kAutoCloseTimer) {
        AutoCloseTick(dlg);
      } else if (wp == kTopMostTimer) {
        TopMostTick();
      }
      return TRUE;
    case WM_MOUSEMOVE: {
      const bool over = Has(edoShowDetailsButton) && PointIn(s.rClick, lp);
      if (over != s.ClickLinkActive) {
        s.ClickLinkActive = over;
        InvalidateRect(dlg, &s.rClick, TRUE);
      }
      return TRUE;
    }
    case WM_SETCURSOR:
      if (s.ClickLinkActive && LOWORD(lp) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        SetWindowLongPtrW(dlg, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_LBUTTONUP:
      if (s.ClickLinkActive && PointIn(s.rClick, lp)) {
        const TExceptionDialogType before = s.DialogType;
        s.DialogType = edtTraciraLog;
        if (!AssignOnCloseData(dlg)) s.DialogType = before;
      }
      return TRUE;
    case WM_COMMAND:
      s.IsDialogShowed = true;  // the user's answer (see the detailed dialog)
      switch (LOWORD(wp)) {
        case idMSSend:
          s.CanSendMessage = true;
          s.DialogType = edtNone;
          AssignOnCloseData(dlg);
          return TRUE;
        case idMSNoSend:
          s.CanSendMessage = s.CanSendMessage && !s.CanSendError_Show;
          s.DialogType = edtNone;
          AssignOnCloseData(dlg);
          return TRUE;
        case IDCANCEL:
          PostMessageW(dlg, WM_CLOSE, 0, 0);
          return TRUE;
        case idMSCustom:
          s.Global_CloseDialog = false;
          if (C().Events && C().Events->CustomButton && C().Events->CustomButton())
            s.Global_CloseDialog = true;
          if (s.Global_CloseDialog) {
            s.DialogType = edtNone;
            AssignOnCloseData(dlg);
          }
          return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      s.DialogType = edtNone;
      AssignOnCloseData(dlg);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dlg, kPaintCheckTimer);
      UnsetAutoCloseTimer(dlg);
      UnsetAutoTopMost(dlg);
      FreeDialogResources(C());
      gThreadWindows.Enable();
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK ClassicDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return AtTheEdge(dlg, true, [&] { return ClassicDialog(dlg, msg, wp, lp); });
}

// ---------------------------------------------------------------------------
// The request dialog ("TR_Request")

void InitRequest(HWND dlg) {
  TDialogContext& c = C();
  SetInitDialog(dlg, false);
  CreateDialogResources(c);
  SetWindowTextW(dlg, Text(mtReproduceDialog_Caption).c_str());
  const std::wstring request = Text(mtReproduceDialog_Request);
  SetItemText(dlg, idRequestText, request);
  SetItemText(dlg, 2, Text(mtReproduceDialog_OKButtonCaption));
  SetFont(dlg, idRequestText, c.Fonts.Variable);
  SetFont(dlg, 2, c.Fonts.Variable);
  SetFont(dlg, idRequestEdit, c.Fonts.Fixed1);
  RECT client{};
  GetClientRect(dlg, &client);
  const int w = client.right - 20;
  const int h1 = TextHeightOf(dlg, c.Fonts.Variable, request, w);
  const int h2 = std::max<int>(40, client.bottom - 20 - 10 - 23 - 10);
  MoveItem(dlg, idRequestText, dlg::RectAt(10, 10, w, h1));
  MoveItem(dlg, idRequestEdit, dlg::RectAt(10, h1 + 14, w, h2));
  MoveItem(dlg, 2, dlg::RectAt(10 + w - 75, h1 + h2 + 20, 75, 23));
  // ShiftWndBottom: the window grows by what the request text needs.
  RECT outer{};
  GetWindowRect(dlg, &outer);
  const int grow = h1 + h2 + 20 + 23 + 10 - client.bottom;
  SetWindowPos(dlg, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top + grow,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  GetWindowRect(dlg, &outer);
  CenterOnActiveWndMonitor(dlg, outer.right - outer.left, outer.bottom - outer.top);
  SetAutoCloseTimer(dlg);
  SetAutoTopMost(dlg);
  gThreadWindows.Disable(dlg);
  SetFocus(GetDlgItem(dlg, idRequestEdit));
}

INT_PTR RequestDialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  (void)lp;
  if (IsUserInput(msg)) ResetAutoCloseTimer();
  switch (msg) {
    case WM_INITDIALOG:
      InitRequest(dlg);
      return FALSE;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(dlg, &ps);
      S().IsDialogShowed = true;
      EndPaint(dlg, &ps);
      return TRUE;
    }
    case WM_NCACTIVATE:
    case WM_NCPAINT:
      return CustomCaptionMessage(dlg, msg, wp, C().Active, Text(mtReproduceDialog_Caption), false);
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return DialogColours(msg, wp);
    case WM_TIMER:
      if (wp == kAutoCloseTimer) AutoCloseTick(dlg);
      if (wp == kTopMostTimer) TopMostTick();
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
        AddRequestSection(GetItemText(dlg, idRequestEdit));
        EndTheDialog(dlg, IDOK);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      AddRequestSection(GetItemText(dlg, idRequestEdit));
      EndTheDialog(dlg, IDOK);
      return TRUE;
    case WM_DESTROY:
      UnsetAutoCloseTimer(dlg);
      UnsetAutoTopMost(dlg);
      FreeDialogResources(C());
      gThreadWindows.Enable();
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK RequestDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return AtTheEdge(dlg, true, [&] { return RequestDialog(dlg, msg, wp, lp); });
}

// ---------------------------------------------------------------------------

void ShowMessageBox(TDialogState& state) {
  state.IsDialogShowed = true;
  MessageBoxW(nullptr, MessageText().c_str(), Text(mtDialog_Caption).c_str(), kMessageBoxFlags);
}

void InitCommonControlsOnce() {
  INITCOMMONCONTROLSEX init{sizeof init, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&init);
}

bool RunModal(const wchar_t* templateName, DLGPROC proc) {
  const INT_PTR result = DialogBoxParamW(DialogModule(), templateName, nullptr, proc, 0);
  return result != -1;
}

}  // namespace

void ShowDialog(TDialogState& state, const TDialogInput& input, const TDialogEvents& events, bool beep) {
  TDialogContext context;
  context.State = &state;
  context.Input = &input;
  context.Events = &events;
  TDialogContextScope scope(context);
  // The rich-edit class of the pages, for the call.
  HMODULE richEdit = LoadLibraryW(L"RICHED32.DLL");
  InitCommonControlsOnce();
  const HWND foreground = GetForegroundWindow();
  state.CurrentDialog = nullptr;
  if (beep && state.DialogType != edtMessageBox) MessageBeep(MB_ICONHAND);
  for (;;) {
    state.IsDialogShowed = false;
    switch (state.DialogType) {
      case edtTraciraLog:
        RunModal(L"TR_Dialog", DetailedDialogProc);
        break;
      case edtMSClassic:
        RunModal(L"TR_MS_Dialog", ClassicDialogProc);
        break;
      case edtMessageBox:
        ShowMessageBox(state);
        state.DialogType = edtNone;
        break;
      default:
        state.IsDialogShowed = true;
        break;
    }
    // A dialog that never painted (no visible desktop): the plain box.
    if (!state.IsDialogShowed) {
      state.DialogType = edtNone;
      ShowMessageBox(state);
    }
    if (!state.TerminateApplication) break;
    // The program may cancel the termination; the dialog comes again then.
    if (!events.Terminating || events.Terminating()) break;
    state.TerminateApplication = false;
    if (state.DialogType == edtNone)
      state.DialogType = input.Options ? input.Options->ExceptionDialogType() : edtNone;
    if (state.DialogType == edtNone) break;
  }
  if (!state.IsDialogShowed && events.Error) events.Error(eeShowError, "Cannot show the DialogBox window.");
  if (!context.Error.empty() && events.Error) events.Error(eeShowError, ToAnsi(context.Error));
  state.IsDialogShowed = false;
  if (richEdit) FreeLibrary(richEdit);
  if (foreground && IsWindow(foreground)) SetForegroundWindow(foreground);
}

void ShowRequestDialog(TDialogState& state, const TDialogInput& input, const TDialogEvents& events) {
  if (!input.Options || !state.DetailedDialogShown || state.RequestAdded) return;
  const TTraciraModuleOptions& o = *input.Options;
  if (!o.LogOptions().Contains(loAppendReproduceText) || (input.Parts && !input.Parts->WindowedProgram) ||
      state.DuplicatedException || !(state.CanSendMessage || o.SaveLogFile()))
    return;
  TDialogContext context;
  context.State = &state;
  context.Input = &input;
  context.Events = &events;
  TDialogContextScope scope(context);
  const HWND foreground = GetForegroundWindow();
  state.IsDialogShowed = false;
  RunModal(L"TR_Request", RequestDialogProc);
  state.IsDialogShowed = false;
  if (!context.Error.empty() && events.Error) events.Error(eeShowError, ToAnsi(context.Error));
  if (foreground && IsWindow(foreground)) SetForegroundWindow(foreground);
}

bool SetClipboardReport(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  EmptyClipboard();
  auto put = [](UINT format, const void* data, std::size_t bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!block) return false;
    bool handedOver = false;
    if (void* target = GlobalLock(block)) {
      std::memcpy(target, data, bytes);
      GlobalUnlock(block);
      // From here on the block belongs to the clipboard.
      handedOver = SetClipboardData(format, block) != nullptr;
    }
    if (!handedOver) GlobalFree(block);
    return handedOver;
  };
  const std::wstring wide = FromAnsi(text);
  const bool unicode = put(CF_UNICODETEXT, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  const bool ansi = put(CF_TEXT, text.c_str(), text.size() + 1);
  CloseClipboard();
  return unicode && ansi;
}

}  // namespace tracira
