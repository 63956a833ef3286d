// The dialog framework that the exception dialogs, the detail pages and the
// send-progress window share: the context of the dialog step now running, fonts and
// brushes, the timers (paint check, auto-close, keeping in front), the
// custom caption, texts as UTF-16, monitor work areas, the INI file and the
// edge every dialog procedure ends in.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/dialogs/TrDialogLogic.h"
#include "crashreport/dialogs/TrDialogState.h"
#include "crashreport/dialogs/TrDialogs.h"
#include "rtl/Guarded.h"

namespace tracira {

// Timer numbers of the dialogs.
inline constexpr UINT_PTR kPaintCheckTimer = 1, kAutoCloseTimer = 2, kTopMostTimer = 3;

struct TDialogFonts {
  HFONT Caption = nullptr, Variable = nullptr, Link = nullptr, Link2 = nullptr, Big = nullptr,
        Fixed1 = nullptr, Fixed2 = nullptr;
  int FixedPointSize = 8;
  std::wstring FixedFace1;
};

// What the dialog step now running shows and where its choices go; one at
// a time (the dialogs run one at a time, on one thread).
struct TDialogContext {
  TDialogState* State = nullptr;
  const TDialogInput* Input = nullptr;
  const TDialogEvents* Events = nullptr;
  TDialogFonts Fonts;
  HBRUSH DlgBack = nullptr, MemoBack = nullptr;
  HBITMAP ErrorBitmap = nullptr;
  SIZE ErrorBitmapSize{};
  dlg::TAutoClose AutoClose;
  int CaptionHeightMetric = SM_CYCAPTION;  // CAPTION_HEIGHT: SM_CYSMCAPTION (51) with the library's look
  bool Active = true;                      // fActive: the custom caption is painted active
  std::vector<HWND> ProcessWindows;        // top-level windows of the process when the dialog opened
  std::wstring Error;                      // what escaped a dialog procedure
};

// The context of the dialog step running now (null outside one).
TDialogContext* DialogContext();
// Sets the context for the scope of a dialog step.
class TDialogContextScope {
 public:
  explicit TDialogContextScope(TDialogContext& context);
  ~TDialogContextScope();
  TDialogContextScope(const TDialogContextScope&) = delete;
  TDialogContextScope& operator=(const TDialogContextScope&) = delete;

 private:
  TDialogContext* fPrevious;
};

const TTraciraModuleOptions& DlgOptions();
// A customised text (environment variables already expanded by the
// handling), converted from the program's code page to UTF-16.
std::wstring Text(TMessageType type);
bool UseLibraryLook();

// The fonts of CreateDialogFonts and their release.
TDialogFonts CreateDialogFonts();
void DeleteDialogFonts(TDialogFonts& fonts);
// fDlgBack, fMemoBack, "TR_Error": made when a dialog opens, freed when it closes.
void CreateDialogResources(TDialogContext& c);
void FreeDialogResources(TDialogContext& c);

// Text measured in a font (its first line's width; "&" dropped when asked).
SIZE MeasureText(HWND wnd, HFONT font, std::wstring_view text, bool dropAmpersand = false);
int LineHeight(HWND wnd, HFONT font);
// Each line's width (an empty line measured as " ").
std::vector<int> LineWidths(HWND wnd, HFONT font, std::wstring_view text);
int TextHeightOf(HWND wnd, HFONT font, std::wstring_view text, int width);
int ButtonWidthOf(HWND wnd, std::wstring_view caption);
void SetFont(HWND dlg, int id, HFONT font);
void SetItemText(HWND dlg, int id, const std::wstring& text);
void MoveItem(HWND dlg, int id, const dlg::TRect& r);
void ShowItem(HWND dlg, int id, bool show);

// Work areas.
dlg::TRect ToRect(const RECT& r);
dlg::TRect GetMonitorWorkAreaFromWnd(HWND wnd);
dlg::TRect GetMonitorWorkAreaFromActiveWnd();
void CenterOnActiveWndMonitor(HWND wnd, int width, int height);
// The union of the monitor rectangles that hold the rectangle's corners.
bool GetActiveMonitorData(RECT& rect);

// Timers and input.
void StartPaintCheck(HWND dlg);
void SetAutoCloseTimer(HWND dlg);
void UnsetAutoCloseTimer(HWND dlg);
void ResetAutoCloseTimer();
// Counts one auto-close tick (WM_TIMER 2); sends WM_CLOSE when it is time.
void AutoCloseTick(HWND dlg);
bool IsUserInput(UINT msg);
void SetAutoTopMost(HWND dlg);
void UnsetAutoTopMost(HWND dlg);
void TopMostTick();
// A message box of a dialog: auto-close paused while it is up.
int DialogMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);

// SetInitDialog: caption style, top-most, height for the caption.
void SetInitDialog(HWND dlg, bool forceSmallCaption);
// The custom caption with the library's look (WM_NCPAINT, WM_NCACTIVATE).
void PaintCustomCaption(HWND wnd, const std::wstring& caption, bool outlineClient);
// WM_NCACTIVATE and WM_NCPAINT of a dialog: with the library's look the
// custom caption is painted (active following the activation) and TRUE
// returned; without it FALSE, the system's own frame.
INT_PTR CustomCaptionMessage(HWND wnd, UINT msg, WPARAM wp, bool& active, const std::wstring& caption,
                             bool outlineClient);
// Colours with the library's look; 0 when the message isn't answered.
INT_PTR DialogColours(UINT msg, WPARAM wp);
// A picture keyed out on magenta.
void DrawDialogBitmap(HDC dc, HBITMAP bitmap, int x, int y);
SIZE BitmapSize(HBITMAP bitmap);
HBITMAP LoadDialogBitmap(const wchar_t* name);
HMODULE DialogModule();

// The per-user "TraciraLog.ini" (in the user's application-data folder,
// "TraciraLog" subfolder).
std::wstring DialogIniFile();
std::wstring IniRead(const wchar_t* section, const wchar_t* key, const wchar_t* fallback = L"");
std::optional<int> IniReadInt(const wchar_t* section, const wchar_t* key);
void IniWrite(const wchar_t* section, const wchar_t* key, const std::wstring& value);

// Every dialog and page procedure runs its body here: nothing thrown
// crosses the system's code. What escaped is noted in the context (the
// dialog step reports it) and a modal dialog ends.
void NoteDialogError(HWND dlg, bool endDialog);
template <class Body>
INT_PTR AtTheEdge(HWND dlg, bool modal, Body&& body) noexcept {
  INT_PTR result = 0;
  rtl::Guarded([&] { result = body(); }, [&] { NoteDialogError(dlg, modal); });
  return result;
}

}  // namespace tracira
