#include "crashreport/dialogs/TrDialogFrame.h"

#include <shlobj.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>

#include "crashreport/core/TrText.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace tracira {

namespace {

thread_local TDialogContext* tContext = nullptr;

const TTraciraModuleOptions& DefaultOptions() {
  static const TTraciraModuleOptions options;
  return options;
}

}  // namespace

TDialogContext* DialogContext() { return tContext; }

TDialogContextScope::TDialogContextScope(TDialogContext& context) : fPrevious(tContext) {
  tContext = &context;
}
TDialogContextScope::~TDialogContextScope() { tContext = fPrevious; }

const TTraciraModuleOptions& DlgOptions() {
  const TDialogContext* c = tContext;
  return c && c->Input && c->Input->Options ? *c->Input->Options : DefaultOptions();
}

std::wstring Text(TMessageType type) {
  const TDialogContext* c = tContext;
  if (c && c->Input && c->Input->Texts) return FromAnsi((*c->Input->Texts)[type]);
  return FromAnsi(DlgOptions().GetCustomizedExpandedTexts(type));
}

bool UseLibraryLook() { return DlgOptions().ExceptionDialogOptions().Contains(edoUseTraciraLogLookAndFeel); }

HMODULE DialogModule() { return reinterpret_cast<HMODULE>(&__ImageBase); }

// ---------------------------------------------------------------------------
// Fonts, brushes, pictures

TDialogFonts CreateDialogFonts() {
  TDialogFonts f;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  CHARSETINFO info{};
  const bool ansiSet = !TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<std::uintptr_t>(GetACP())),
                                             &info, TCI_SRCCODEPAGE) ||
                       info.ciCharset == ANSI_CHARSET;
  f.FixedPointSize = ansiSet ? 8 : 10;
  const wchar_t* captionFace = ansiSet ? L"Verdana" : L"MS Sans Serif";
  f.FixedFace1 = ansiSet ? L"Lucida Console" : L"Courier New";
  const wchar_t* fixed2 = ansiSet ? L"Tahoma" : L"Courier New";

  LOGFONTW caption{};
  caption.lfHeight = metrics.lfCaptionFont.lfHeight;
  caption.lfWeight = FW_BOLD;
  caption.lfCharSet = DEFAULT_CHARSET;
  caption.lfOutPrecision = OUT_TT_PRECIS;
  caption.lfQuality = DRAFT_QUALITY;
  caption.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  lstrcpynW(caption.lfFaceName, captionFace, LF_FACESIZE);
  f.Caption = CreateFontIndirectW(&caption);

  LOGFONTW message = metrics.lfMessageFont;
  f.Variable = CreateFontIndirectW(&message);
  LOGFONTW link = message;
  link.lfUnderline = TRUE;
  f.Link2 = CreateFontIndirectW(&link);
  link.lfWeight = FW_BOLD;
  f.Link = CreateFontIndirectW(&link);
  LOGFONTW big = message;
  big.lfWeight = FW_BOLD;
  f.Big = CreateFontIndirectW(&big);

  HDC screen = GetDC(nullptr);
  const int ppi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  LOGFONTW fixed{};
  fixed.lfHeight = -MulDiv(f.FixedPointSize, ppi, 72);
  fixed.lfWeight = FW_NORMAL;
  fixed.lfCharSet = DEFAULT_CHARSET;
  fixed.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  lstrcpynW(fixed.lfFaceName, f.FixedFace1.c_str(), LF_FACESIZE);
  f.Fixed1 = CreateFontIndirectW(&fixed);
  lstrcpynW(fixed.lfFaceName, fixed2, LF_FACESIZE);
  f.Fixed2 = CreateFontIndirectW(&fixed);
  return f;
}

void DeleteDialogFonts(TDialogFonts& f) {
  for (HFONT* font : {&f.Caption, &f.Variable, &f.Link, &f.Link2, &f.Big, &f.Fixed1, &f.Fixed2}) {
    if (*font) DeleteObject(*font);
    *font = nullptr;
  }
}

HBITMAP LoadDialogBitmap(const wchar_t* name) {
  return static_cast<HBITMAP>(LoadImageW(DialogModule(), name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (bitmap && GetObjectW(bitmap, sizeof info, &info)) return {info.bmWidth, info.bmHeight};
  return {0, 0};
}

void CreateDialogResources(TDialogContext& c) {
  FreeDialogResources(c);
  c.Fonts = CreateDialogFonts();
  c.DlgBack =
      UseLibraryLook() ? CreateSolidBrush(RGB(212, 208, 200)) : CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  c.MemoBack = CreateSolidBrush(RGB(255, 255, 255));
  c.ErrorBitmap = LoadDialogBitmap(L"TR_Error");
  c.ErrorBitmapSize = BitmapSize(c.ErrorBitmap);
}

void FreeDialogResources(TDialogContext& c) {
  DeleteDialogFonts(c.Fonts);
  for (HBRUSH* brush : {&c.DlgBack, &c.MemoBack}) {
    if (*brush) DeleteObject(*brush);
    *brush = nullptr;
  }
  if (c.ErrorBitmap) DeleteObject(c.ErrorBitmap);
  c.ErrorBitmap = nullptr;
}

void DrawDialogBitmap(HDC dc, HBITMAP bitmap, int x, int y) {
  if (!bitmap) return;
  const SIZE size = BitmapSize(bitmap);
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, bitmap);
  TransparentBlt(dc, x, y, size.cx, size.cy, memory, 0, 0, size.cx, size.cy, RGB(255, 0, 255));
  SelectObject(memory, old);
  DeleteDC(memory);
}

// ---------------------------------------------------------------------------
// Measuring and placing

namespace {

std::wstring WithoutAmpersands(std::wstring_view text) {
  std::wstring out;
  for (wchar_t c : text)
    if (c != L'&') out += c;
  return out;
}

std::vector<std::wstring_view> Lines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(L'\n', start);
    std::wstring_view line =
        text.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::wstring_view::npos) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

SIZE MeasureText(HWND wnd, HFONT font, std::wstring_view text, bool dropAmpersand) {
  const std::wstring measured = dropAmpersand ? WithoutAmpersands(text) : std::wstring(text);
  HDC dc = GetDC(wnd);
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
  SIZE size{};
  GetTextExtentPoint32W(dc, measured.c_str(), static_cast<int>(measured.size()), &size);
  if (measured.empty()) {
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    size.cy = tm.tmHeight;
  }
  SelectObject(dc, old);
  ReleaseDC(wnd, dc);
  return size;
}

int LineHeight(HWND wnd, HFONT font) {
  HDC dc = GetDC(wnd);
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(wnd, dc);
  return tm.tmHeight;
}

std::vector<int> LineWidths(HWND wnd, HFONT font, std::wstring_view text) {
  std::vector<int> widths;
  for (std::wstring_view line : Lines(text))
    widths.push_back(MeasureText(wnd, font, line.empty() ? L" " : line).cx);
  return widths;
}

int TextHeightOf(HWND wnd, HFONT font, std::wstring_view text, int width) {
  return dlg::TextHeight(LineWidths(wnd, font, text), width, LineHeight(wnd, font));
}

int ButtonWidthOf(HWND wnd, std::wstring_view caption) {
  const TDialogContext* c = tContext;
  return dlg::ButtonWidth(MeasureText(wnd, c ? c->Fonts.Variable : nullptr, caption, true).cx,
                          GetSystemMetrics(SM_CYBORDER));
}

void SetFont(HWND dlg, int id, HFONT font) {
  if (HWND item = GetDlgItem(dlg, id)) SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

void SetItemText(HWND dlg, int id, const std::wstring& text) { SetDlgItemTextW(dlg, id, text.c_str()); }

void MoveItem(HWND dlg, int id, const dlg::TRect& r) {
  if (HWND item = GetDlgItem(dlg, id)) MoveWindow(item, r.Left, r.Top, r.Width(), r.Height(), TRUE);
}

void ShowItem(HWND dlg, int id, bool show) {
  if (HWND item = GetDlgItem(dlg, id)) ShowWindow(item, show ? SW_SHOWNA : SW_HIDE);
}

// ---------------------------------------------------------------------------
// Work areas

dlg::TRect ToRect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

dlg::TRect GetMonitorWorkAreaFromWnd(HWND wnd) {
  if (HMONITOR monitor = MonitorFromWindow(wnd, MONITOR_DEFAULTTONEAREST)) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) return ToRect(info.rcWork);
  }
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  return ToRect(work);
}

dlg::TRect GetMonitorWorkAreaFromActiveWnd() {
  HWND wnd = GetForegroundWindow();
  return GetMonitorWorkAreaFromWnd(wnd ? wnd : GetDesktopWindow());
}

void CenterOnActiveWndMonitor(HWND wnd, int width, int height) {
  const dlg::TRect work = GetMonitorWorkAreaFromActiveWnd();
  width = std::min<int>(width, work.Width());
  height = std::min<int>(height, work.Height());
  SetWindowPos(wnd, nullptr, work.Left + (work.Width() - width) / 2, work.Top + (work.Height() - height) / 2,
               width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool GetActiveMonitorData(RECT& rect) {
  HMONITOR a = MonitorFromPoint({rect.left, rect.top}, MONITOR_DEFAULTTONULL);
  HMONITOR b = MonitorFromPoint({rect.right, rect.bottom}, MONITOR_DEFAULTTONULL);
  if (!a && !b) return false;
  RECT result{};
  bool any = false;
  for (HMONITOR m : {a, b}) {
    if (!m) continue;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(m, &info)) continue;
    if (any)
      UnionRect(&result, &result, &info.rcMonitor);
    else
      result = info.rcMonitor;
    any = true;
  }
  if (any) rect = result;
  return any;
}

// ---------------------------------------------------------------------------
// Timers

void StartPaintCheck(HWND dlg) { SetTimer(dlg, kPaintCheckTimer, 1, nullptr); }

void SetAutoCloseTimer(HWND dlg) {
  TDialogContext* c = tContext;
  if (!c) return;
  c->AutoClose = dlg::TAutoClose(DlgOptions().AutoCloseDialogSecs());
  if (c->AutoClose.Enabled()) SetTimer(dlg, kAutoCloseTimer, 1000, nullptr);
}

void UnsetAutoCloseTimer(HWND dlg) {
  if (DlgOptions().AutoCloseDialogSecs() > 0) KillTimer(dlg, kAutoCloseTimer);
}

void ResetAutoCloseTimer() {
  if (TDialogContext* c = tContext) c->AutoClose.Reset();
}

void AutoCloseTick(HWND dlg) {
  TDialogContext* c = tContext;
  if (c && c->AutoClose.Tick()) {
    c->AutoClose.Reset();
    SendMessageW(dlg, WM_CLOSE, 0, 0);
  }
}

bool IsUserInput(UINT msg) {
  switch (msg) {
    case WM_NOTIFY:
    case WM_COMMAND:
    case WM_KEYDOWN:
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONDBLCLK:
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONDBLCLK:
    case WM_NCMBUTTONDOWN:
    case WM_NCMBUTTONDBLCLK:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_MOUSEWHEEL:
      return true;
    default:
      return false;
  }
}

namespace {

bool IsCurrentProcessWindow(HWND wnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  return pid == GetCurrentProcessId();
}

BOOL CALLBACK CollectProcessWindow(HWND wnd, LPARAM lp) {
  if (IsCurrentProcessWindow(wnd)) reinterpret_cast<std::vector<HWND>*>(lp)->push_back(wnd);
  return TRUE;
}

}  // namespace

void SetAutoTopMost(HWND dlg) {
  TDialogContext* c = tContext;
  if (!c) return;
  c->ProcessWindows.clear();
  EnumWindows(CollectProcessWindow, reinterpret_cast<LPARAM>(&c->ProcessWindows));
  if (c->State) c->State->CurrentDialog = dlg;
  SetTimer(dlg, kTopMostTimer, 10, nullptr);
}

void UnsetAutoTopMost(HWND dlg) {
  KillTimer(dlg, kTopMostTimer);
  if (TDialogContext* c = tContext; c && c->State) c->State->CurrentDialog = nullptr;
}

void TopMostTick() {
  TDialogContext* c = tContext;
  if (!c || !c->State || c->State->UseTopMost || !c->State->CurrentDialog) return;
  HWND foreground = GetForegroundWindow();
  if (!foreground || foreground == c->State->CurrentDialog || !IsCurrentProcessWindow(foreground)) return;
  // Windows opened after the dialog (a handler's) may stand in front.
  if (std::find(c->ProcessWindows.begin(), c->ProcessWindows.end(), foreground) == c->ProcessWindows.end())
    return;
  SetForegroundWindow(c->State->CurrentDialog);
}

int DialogMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  TDialogContext* c = tContext;
  const bool paused = c && c->AutoClose.Paused();
  if (c) c->AutoClose.Pause(true);
  // Owned by the dialog (not a service notification): the dialog waits for it.
  const int answer = MessageBoxW(owner, text.c_str(), caption.c_str(), flags & ~MB_SERVICE_NOTIFICATION);
  if (c) {
    c->AutoClose.Pause(paused);
    c->AutoClose.Reset();
  }
  return answer;
}

// ---------------------------------------------------------------------------
// Caption and colours

void SetInitDialog(HWND dlg, bool forceSmallCaption) {
  TDialogContext* c = tContext;
  if (!c) return;
  c->Active = true;
  RECT client{};
  GetClientRect(dlg, &client);
  const bool small =
      (UseLibraryLook() && (!c->State || c->State->DialogType != edtMSClassic)) || forceSmallCaption;
  LONG_PTR ex = GetWindowLongPtrW(dlg, GWL_EXSTYLE);
  if (small) {
    c->CaptionHeightMetric = SM_CYSMCAPTION;
  } else {
    ex &= ~static_cast<LONG_PTR>(WS_EX_TOOLWINDOW);
    SetWindowLongPtrW(dlg, GWL_EXSTYLE, ex);
    c->CaptionHeightMetric = SM_CYCAPTION;
  }
  const bool topMost = DlgOptions().ExceptionDialogOptions().Contains(edoShowInTopMostMode);
  if (c->State) c->State->UseTopMost = topMost;
  // The window as high as its template's client area needs with the caption it has now.
  RECT outer = client;
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(dlg, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(ex));
  SetWindowPos(dlg, topMost ? HWND_TOPMOST : nullptr, 0, 0, outer.right - outer.left,
               outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOACTIVATE | SWP_FRAMECHANGED | (topMost ? 0 : SWP_NOZORDER));
}

INT_PTR CustomCaptionMessage(HWND wnd, UINT msg, WPARAM wp, bool& active, const std::wstring& caption,
                             bool outlineClient) {
  if (!UseLibraryLook()) return FALSE;
  if (msg == WM_NCACTIVATE) active = wp != 0;
  PaintCustomCaption(wnd, caption, outlineClient);
  if (msg == WM_NCACTIVATE) SetWindowLongPtrW(wnd, DWLP_MSGRESULT, TRUE);
  return TRUE;
}

void PaintCustomCaption(HWND wnd, const std::wstring& caption, bool outlineClient) {
  TDialogContext* c = tContext;
  const bool active = !c || c->Active;
  const int metric = c ? c->CaptionHeightMetric : SM_CYSMCAPTION;
  HDC dc = GetWindowDC(wnd);
  if (!dc) return;
  RECT window{};
  GetWindowRect(wnd, &window);
  OffsetRect(&window, -window.left, -window.top);
  const int fx = GetSystemMetrics(SM_CXFIXEDFRAME), fy = GetSystemMetrics(SM_CYFIXEDFRAME);
  const int captionHeight = GetSystemMetrics(metric);
  RECT bar{window.left + fx, window.top + fy, window.right - fx, window.top + fy + captionHeight};
  // The gradient: each step 4 % darker, the band shrinking by 2 at both edges.
  COLORREF colour = active ? 0xC29B82 : 0x979797;
  RECT band = bar;
  for (int i = 0; i < std::max<int>(1, captionHeight / 5); ++i) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &band, brush);
    DeleteObject(brush);
    auto darker = [](int v) { return std::min<int>(255, static_cast<int>(std::lround(v * 0.96))); };
    colour = RGB(darker(GetRValue(colour)), darker(GetGValue(colour)), darker(GetBValue(colour)));
    band.top += 2;
    band.bottom -= 2;
    if (band.top >= band.bottom) break;
  }
  // The frame bands and outlines.
  HBRUSH bandBrush = CreateSolidBrush(active ? 0x808080 : 0x606060);
  const RECT bands[] = {{window.left, window.top, window.right, window.top + fy},
                        {window.left, window.bottom - fy, window.right, window.bottom},
                        {window.left, window.top, window.left + fx, window.bottom},
                        {window.right - fx, window.top, window.right, window.bottom}};
  for (const RECT& b : bands) FillRect(dc, &b, bandBrush);
  DeleteObject(bandBrush);
  HBRUSH outline = CreateSolidBrush(active ? 0x404040 : 0x303030);
  FrameRect(dc, &window, outline);
  if (outlineClient) {
    FrameRect(dc, &bar, outline);
    RECT client{window.left + fx - 1, bar.bottom, window.right - fx + 1, window.bottom - fy + 1};
    FrameRect(dc, &client, outline);
  }
  DeleteObject(outline);
  // The caption text, vertically centred.
  HGDIOBJ old = SelectObject(dc, c && c->Fonts.Caption ? c->Fonts.Caption : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  RECT text = bar;
  if (active) {
    text.left = bar.left + 5;
    SetTextColor(dc, 0x222222);
    DrawTextW(dc, caption.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    text.left = bar.left + 4;
    SetTextColor(dc, RGB(255, 255, 255));
  } else {
    text.left = bar.left + 4;
    SetTextColor(dc, 0xE0E0E0);
  }
  DrawTextW(dc, caption.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, old);
  ReleaseDC(wnd, dc);
}

INT_PTR DialogColours(UINT msg, WPARAM wp) {
  TDialogContext* c = tContext;
  if (!c || !UseLibraryLook() || !c->DlgBack) return 0;
  if (msg == WM_CTLCOLORDLG) return reinterpret_cast<INT_PTR>(c->DlgBack);
  if (msg == WM_CTLCOLORSTATIC) {
    HDC dc = reinterpret_cast<HDC>(wp);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    return reinterpret_cast<INT_PTR>(c->DlgBack);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The INI file

std::wstring DialogIniFile() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    GetTempPathW(MAX_PATH, folder);
  }
  std::filesystem::path path(folder);
  path /= L"TraciraLog";
  return (path / L"TraciraLog.ini").wstring();
}

std::wstring IniRead(const wchar_t* section, const wchar_t* key, const wchar_t* fallback) {
  wchar_t value[1024] = {};
  GetPrivateProfileStringW(section, key, fallback, value, 1024, DialogIniFile().c_str());
  return value;
}

std::optional<int> IniReadInt(const wchar_t* section, const wchar_t* key) {
  const std::wstring text = IniRead(section, key);
  if (text.empty()) return std::nullopt;
  wchar_t* end = nullptr;
  const long value = wcstol(text.c_str(), &end, 10);
  if (!end || *end || value < -1000000 || value > 1000000) return std::nullopt;
  return static_cast<int>(value);
}

void IniWrite(const wchar_t* section, const wchar_t* key, const std::wstring& value) {
  const std::filesystem::path file(DialogIniFile());
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  WritePrivateProfileStringW(section, key, value.c_str(), file.c_str());
}

// ---------------------------------------------------------------------------
// The edge

void NoteDialogError(HWND dlg, bool endDialog) {
  std::wstring message = L"An exception in a dialog procedure";
  try {
    throw;
  } catch (const std::exception& error) {
    message += L": " + FromAnsi(MessageOf(&error));
  } catch (...) {
  }
  if (TDialogContext* c = tContext; c && c->Error.empty()) c->Error = message;
  OutputDebugStringW((L"[WARNING] - Code: eeShowError - Message: \"" + message + L"\"").c_str());
  if (endDialog && dlg) EndDialog(dlg, 0);
}

}  // namespace tracira
