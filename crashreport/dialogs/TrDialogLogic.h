// The exception dialogs' arithmetic and rules that need no window system:
// layout of the detailed dialog, the compact size from measured lines, the
// saved placement and its pull-back onto a work area, the tab-to-page
// mapping, the e-mail check and replacement, the rich text of the text
// pages, the send window's label and percentage, the development
// environment's mailslot record. Built for both targets and tested
// natively (tests/crashreport/dialogs); the Win32 side measures texts and
// moves windows with what these give.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/report/TrLogText.h"

namespace tracira::dlg {

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};
inline TRect RectAt(int x, int y, int w, int h) { return {x, y, x + w, y + h}; }

// Extra pixels at the bottom of the detailed dialog for its check-box rows.
int DialogHeightFor(bool sendShown, bool screenshotShown, bool copyShown, bool supportShown);

// GetBottonWidth: a caption's width (without "&") plus its border, at least 75.
int ButtonWidth(int captionWidth, int cyBorder);

// GetTextHeight: each line (an empty one measured as " ") wraps at width.
int TextHeight(const std::vector<int>& lineWidths, int width, int lineHeight);

// The compact detailed dialog's size from the widths of the message's lines
// and the extra line (support and send texts), measured in the dialog font.
struct TCompactSize {
  int Width = 0, Height = 0;          // the window
  int TextWidth = 0, TextHeight = 0;  // static 101 at (48, 8)
};
TCompactSize CompactSize(const std::vector<int>& lineWidths, int lineHeight, int cxFrame, int cyFrame,
                         int captionHeight);

// Where the detailed dialog's controls go for a client size (WM_SIZE).
struct TDetailedLayoutInput {
  int Width = 0, Height = 0;  // client size
  int DialogHeight = 0;
  int ButtonWidth = 75;
  bool Expanded = false;
  bool ShowTerminate = false, ShowCustom = false, ShowDetails = false;
  bool CopyShown = false;
  int SupportTextWidth = 0;
};
struct TDetailedLayout {
  TRect Tab, Message, Terminate, Custom, Ok, Details, Send, Copy, Screenshot, Support;
  bool MessagePlaced = false;  // only the expanded form places the message here
};
TDetailedLayout DetailedLayout(const TDetailedLayoutInput& in);

// The expanded detailed dialog's saved placement ("Coordinates" of
// TraciraLog.ini). Values that are missing or not numbers are absent.
struct TIniPlacement {
  std::optional<int> Left, Top, Width, Height, WindowsState;
};
struct TPlacement {
  int Left = 0, Top = 0, Width = 0, Height = 0;  // Height without DialogHeight
  int WindowState = 1;                           // 1 normal, 3 maximised
  bool operator==(const TPlacement&) const = default;
};
inline constexpr int kDefaultWidth = 745, kDefaultHeight = 468;
inline constexpr int kStateNormal = 1, kStateMaximised = 3, kStateMinimised = 6;
// ReadState: defaults centred in the work area, the size no larger than the
// work area (and no smaller than a usable dialog), pulled back inside the
// work area; a saved minimised state (or any unknown one) opens normal.
TPlacement ReadPlacement(const TIniPlacement& ini, const TRect& work, int dialogHeight);
// SaveState: what is written. Nothing when the dialog was never expanded
// (width 0); the rectangle only in the normal state; a minimised state is
// kept as normal, so that the next dialog shows.
struct TPlacementToSave {
  bool WriteRect = false;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  int WindowsState = 1;
  bool operator==(const TPlacementToSave&) const = default;
};
std::optional<TPlacementToSave> PlacementToSave(int realLeft, int realTop, int realWidth, int realHeight,
                                                int windowState, int dialogHeight);

// The pages (0 General, 1 Call Stack, 2 Modules, 3 Processes, 4 Assembler,
// 5 CPU) that the tabs show, in tab order.
std::vector<int> TabPages(bool modulesAndProcesses, bool assemblerAndCPU);
// ActicatePage's index: negative is a page number, above 1 a tab number.
int PageOfIndex(int index, bool modulesAndProcesses, bool assemblerAndCPU);
// The first page shown: ForegroundTab, or General when its tab is absent.
int FirstPage(TForegroundType tab, bool modulesAndProcesses, bool assemblerAndCPU);
// The tab that shows a page (-1 when none does).
int TabOfPage(int page, bool modulesAndProcesses, bool assemblerAndCPU);

// "@" and "." somewhere; nothing more is checked.
bool IsValidEmail(std::string_view email);
// The report's user e-mail item ("\r\n  3.3 ...: <e-mail>\r\n") replaced;
// the report unchanged when the item isn't there.
std::string ChangeLogUserEmail(std::string_view report, std::string_view email);

// Rich text of a report section for the General, Assembler and CPU pages:
// the text in the given code page, "\", "{", "}" escaped and every byte of
// 0x80 and above as \'hh, CR LF as paragraph ends; section titles and rules
// bold, item names (before " : ") in navy.
enum class TRichKind { General, Assembler, CPU };
struct TRichFont {
  std::string Face = "Courier New";
  int PointSize = 8;
  int CharSet = 0;      // the font's character set (204 Cyrillic)
  int CodePage = 1252;  // the text's code page
};
std::string EscapeRTF(std::string_view text);
std::string ReportToRTF(std::string_view text, TRichKind kind, const TRichFont& font);

// The send window's status line of SetSendDialogLabel.
std::string SendDialogLabel(std::string_view message, int number, int count, std::string_view text);
// WebCallBackProc's bar position: 0 for no total, never above 100.
int ProgressPercent(std::uint64_t total, std::uint64_t sent);

// OpenIDEEditor's 376-byte mailslot record: four zero-terminated 90-byte
// fields (empty, unit, class, procedure), then line, offset (-1 absent) and
// the two module values as 32-bit little-endian integers.
using TIDERecord = std::array<std::uint8_t, 376>;
TIDERecord IDERecord(std::string_view unit, std::string_view className, std::string_view procedure,
                     std::int32_t line, std::int32_t offset, std::int32_t module1, std::int32_t module2);
// The offset in a call-stack line cell "123[4]" (-1 when absent).
std::int32_t LineCellOffset(std::string_view cell);

// The Call Stack page's rows: before each thread's block (as the report
// forms blocks) a thread row, every one but the first after a blank row;
// an entry row's cells as the report's table has them.
struct TCallStackRow {
  enum TKind { Entry, Thread, Blank };
  TKind Kind = Entry;
  int Block = 0;                     // the thread block it belongs to (0, 1, ...)
  std::array<std::string, 6> Cells;  // Entry: the six columns; Thread: Cells[0] the title
  int Icon = 0;                      // image-list index: 0 DLL, 1 BPL, 2 program, 3 other
  std::size_t StackIndex = 0;        // the entry's index in the stack
};
std::vector<TCallStackRow> CallStackRows(const TTraciraTexts& texts, const TTraciraStackList& stack,
                                         const std::vector<TTraciraThreadRow>& threads,
                                         TCallStackOptions show);
// The rows shown while the blocks marked in collapsed (by block number) are
// closed: a closed block keeps its thread row (and the blank before it).
std::vector<std::size_t> VisibleRows(const std::vector<TCallStackRow>& rows,
                                     const std::vector<bool>& collapsed);
// ModuleBmp: the icon of a module file name (".BPL"/".DPL" 1, ".EXE" 2, else 0).
int ModuleIcon(std::string_view fileName);
// A call-stack entry's icon: program 2, package 1, library or unknown 0, else 3.
int EntryIcon(std::string_view moduleName);

// Auto-close: ticks counted while allowed, reset by input; closes once the
// count reaches the option's seconds. Paused while a message box of the
// dialog is up, so a failing close doesn't ask again every second.
class TAutoClose {
 public:
  TAutoClose() = default;
  explicit TAutoClose(int seconds) : fSeconds(seconds) {}
  bool Enabled() const { return fSeconds > 0; }
  void Reset() { fCount = 0; }
  void Pause(bool paused) { fPaused = paused; }
  bool Paused() const { return fPaused; }
  // One tick: true when the dialog is to close now.
  bool Tick();

 private:
  int fSeconds = 0, fCount = 0;
  bool fPaused = false;
};

}  // namespace tracira::dlg
