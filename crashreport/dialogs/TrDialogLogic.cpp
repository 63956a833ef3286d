#include "crashreport/dialogs/TrDialogLogic.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tracira::dlg {

int DialogHeightFor(bool sendShown, bool screenshotShown, bool copyShown, bool supportShown) {
  if (!sendShown && !screenshotShown && !copyShown && !supportShown) return 0;
  if ((sendShown && screenshotShown) || (copyShown && supportShown)) return 34;
  return 20;
}

int ButtonWidth(int captionWidth, int cyBorder) { return std::max(75, captionWidth + 4 * cyBorder + 16); }

int TextHeight(const std::vector<int>& lineWidths, int width, int lineHeight) {
  if (width <= 0) width = 1;
  int h = 0;
  for (int f : lineWidths) h += ((std::max(f, 1) - 1) / width + 1) * lineHeight;
  return h;
}

TCompactSize CompactSize(const std::vector<int>& lineWidths, int lineHeight, int cxFrame, int cyFrame,
                         int captionHeight) {
  const int m = 2 * cxFrame + 58;
  const int r = std::max(1, 640 - m);
  int w = 0, h = 0;
  for (int f : lineWidths) {
    if (f > w) {
      w = f + 16;
      if (r < f + 16) {
        h += ((f - r + 16) / r + 1) * lineHeight;
        w = r;
      }
    }
    h += lineHeight;
  }
  TCompactSize size;
  size.Width = std::max(340, w + m);
  size.TextWidth = size.Width - m;
  size.TextHeight = h;
  size.Height = std::max(0, h - 39) + 2 * cyFrame + captionHeight + 86;
  return size;
}

TDetailedLayout DetailedLayout(const TDetailedLayoutInput& in) {
  constexpr int kOriginalWidth = 466, kOriginalHeight = 252, kListWidth = 451, kListHeight = 131,
                kTextWidth = 410;
  TDetailedLayout l;
  const int dx = in.Width - kOriginalWidth, dy = in.Height - kOriginalHeight;
  l.Tab = RectAt(4, 52, kListWidth + dx + 7, kListHeight + dy - in.DialogHeight + 31);
  if (in.Expanded) {
    l.Message = RectAt(48, 8, kTextWidth + dx, 42);
    l.MessagePlaced = true;
  }
  const int bw = in.ButtonWidth;
  const int by = in.Height - in.DialogHeight - 32;
  int cx = (in.Width - bw) / 2;
  l.Terminate = RectAt(5, by, bw, 25);
  const int customX = in.ShowTerminate ? bw + 13 : 5;
  if (in.ShowCustom && customX + bw >= cx) cx = customX + bw + 8;
  l.Custom = RectAt(customX, by, bw, 25);
  l.Ok = RectAt(cx, by, bw, 25);
  const int y = by + 34, half = (in.Width - 8) / 2;
  l.Send = RectAt(4, y, half, 16);
  l.Copy = RectAt(in.Width - half - 4, y, half, 16);
  const int supportTop = by + 34 + (in.CopyShown ? 16 : 0);
  l.Support = {in.Width - in.SupportTextWidth - 4, supportTop, in.Width - 4, supportTop + 13};
  l.Screenshot = RectAt(23, by + 50, in.Width / 2, 16);
  l.Details = RectAt(in.Width - bw - 5, by, bw, 25);
  return l;
}

TPlacement ReadPlacement(const TIniPlacement& ini, const TRect& work, int dialogHeight) {
  // Smaller than this a saved size is a damaged one.
  constexpr int kMinWidth = 300, kMinHeight = 200;
  TPlacement p;
  p.Width = ini.Width && *ini.Width >= kMinWidth ? *ini.Width : kDefaultWidth;
  p.Height = ini.Height && *ini.Height >= kMinHeight ? *ini.Height : kDefaultHeight;
  p.Width = std::max(1, std::min(p.Width, work.Width()));
  p.Height = std::max(1, std::min(p.Height, work.Height() - dialogHeight));
  p.Left = ini.Left ? *ini.Left : work.Left + (work.Width() - p.Width) / 2;
  p.Top = ini.Top ? *ini.Top : work.Top + (work.Height() - (p.Height + dialogHeight)) / 2;
  if (p.Top + p.Height + dialogHeight > work.Bottom) p.Top = work.Bottom - p.Height - dialogHeight;
  if (p.Left + p.Width > work.Right) p.Left = work.Right - p.Width;
  if (p.Top < work.Top) p.Top = work.Top;
  if (p.Left < work.Left) p.Left = work.Left;
  p.WindowState = ini.WindowsState && *ini.WindowsState == kStateMaximised ? kStateMaximised : kStateNormal;
  return p;
}

std::optional<TPlacementToSave> PlacementToSave(int realLeft, int realTop, int realWidth, int realHeight,
                                                int windowState, int dialogHeight) {
  if (realWidth == 0) return std::nullopt;
  TPlacementToSave s;
  s.WindowsState = windowState == kStateMaximised ? kStateMaximised : kStateNormal;
  if (windowState == kStateNormal) {
    s.WriteRect = true;
    s.Left = realLeft;
    s.Top = realTop;
    s.Width = realWidth;
    s.Height = realHeight - dialogHeight;
  }
  return s;
}

std::vector<int> TabPages(bool modulesAndProcesses, bool assemblerAndCPU) {
  std::vector<int> pages{0, 1};
  if (modulesAndProcesses) pages.insert(pages.end(), {2, 3});
  if (assemblerAndCPU) pages.insert(pages.end(), {4, 5});
  return pages;
}

int PageOfIndex(int index, bool modulesAndProcesses, bool assemblerAndCPU) {
  if (index < 0) return -index;
  if (index <= 1) return index;
  int page = index;
  if (!modulesAndProcesses) page += 2;
  if ((page == 4 || page == 5) && !assemblerAndCPU) page += 2;
  return page;
}

int TabOfPage(int page, bool modulesAndProcesses, bool assemblerAndCPU) {
  const std::vector<int> pages = TabPages(modulesAndProcesses, assemblerAndCPU);
  const auto it = std::find(pages.begin(), pages.end(), page);
  return it == pages.end() ? -1 : static_cast<int>(it - pages.begin());
}

int FirstPage(TForegroundType tab, bool modulesAndProcesses, bool assemblerAndCPU) {
  const int page = static_cast<int>(tab);
  return TabOfPage(page, modulesAndProcesses, assemblerAndCPU) < 0 ? 0 : page;
}

bool IsValidEmail(std::string_view email) {
  return email.find('@') != std::string_view::npos && email.find('.') != std::string_view::npos;
}

std::string ChangeLogUserEmail(std::string_view report, std::string_view email) {
  const std::size_t item = report.find("\r\n  3.3 ");
  if (item == std::string_view::npos) return std::string(report);
  const std::size_t colon = report.find(": ", item + 2);
  if (colon == std::string_view::npos) return std::string(report);
  const std::size_t end = report.find("\r\n", colon + 2);
  if (end == std::string_view::npos) return std::string(report);
  std::string out(report.substr(0, colon + 2));
  out += email;
  out += report.substr(end);
  return out;
}

std::string EscapeRTF(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '{' || c == '}') {
      out += '\\';
      out += ch;
    } else if (c >= 0x80) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\'%02x", c);
      out += hex;
    } else if (c == '\t') {
      out += "\\tab ";
    } else if (c == '\r' || c == '\n') {
      // Line ends are the caller's; a stray one is a paragraph end too.
      out += "\\par\n";
    } else if (c < 0x20) {
      // Other control characters have no rich-text form: shown as a blank.
      out += ' ';
    } else {
      out += ch;
    }
  }
  return out;
}

namespace {

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool IsRule(std::string_view line) {
  return !line.empty() && line.find_first_not_of('-') == std::string_view::npos;
}

// A section title: starts at the margin and ends with ':' ("Call Stack
// Information:", "1 Application", "Registers:").
bool IsTitle(std::string_view line) {
  if (line.empty() || line.front() == ' ') return false;
  if (line.back() == ':') return true;
  return line.front() >= '0' && line.front() <= '9' && line.find(" : ") == std::string_view::npos;
}

// An item of the general section ("  1.2 Name/Description: value"): where
// its name ends (at the colon), 0 for any other line.
std::size_t ItemNameEnd(std::string_view line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos || start == 0 || line[start] < '0' || line[start] > '9') return 0;
  const std::size_t colon = line.find(':', start);
  return colon == std::string_view::npos ? 0 : colon;
}

}  // namespace

std::string ReportToRTF(std::string_view text, TRichKind kind, const TRichFont& font) {
  std::string out = "{\\rtf1\\ansi\\ansicpg" + std::to_string(font.CodePage) +
                    "\\deff0{\\fonttbl{\\f0\\fmodern\\fcharset" + std::to_string(font.CharSet) + " " +
                    EscapeRTF(font.Face) +
                    ";}}{\\colortbl;\\red0\\green0\\blue0;\\red0\\green0\\blue128;\\red128\\green0\\blue0;}"
                    "\\f0\\fs" +
                    std::to_string(std::max(1, font.PointSize) * 2) + "\\cf1\n";
  for (std::string_view line : SplitLines(text)) {
    if (IsRule(line) || IsTitle(line)) {
      out += "\\b " + EscapeRTF(line) + "\\b0";
    } else if (const std::size_t sep = ItemNameEnd(line); kind == TRichKind::General && sep != 0) {
      out += "\\cf2 " + EscapeRTF(line.substr(0, sep)) + "\\cf1 " + EscapeRTF(line.substr(sep));
    } else if (kind == TRichKind::Assembler && line.find(">>") != std::string_view::npos) {
      // The faulting instruction's line.
      out += "\\cf3\\b " + EscapeRTF(line) + "\\b0\\cf1 ";
    } else {
      out += EscapeRTF(line);
    }
    out += "\\par\n";
  }
  out += "}";
  return out;
}

std::string SendDialogLabel(std::string_view message, int number, int count, std::string_view text) {
  std::string out(message);
  out += ' ' + std::to_string(number) + '/' + std::to_string(count) + ": ";
  out += text;
  return out;
}

int ProgressPercent(std::uint64_t total, std::uint64_t sent) {
  if (total == 0) return 0;
  if (sent >= total) return 100;
  return static_cast<int>((sent * 100 + total / 2) / total);
}

namespace {

void PutField(TIDERecord& r, std::size_t at, std::string_view text) {
  const std::size_t n = std::min<std::size_t>(text.size(), 89);
  std::memcpy(r.data() + at, text.data(), n);
}

void PutInt(TIDERecord& r, std::size_t at, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

}  // namespace

TIDERecord IDERecord(std::string_view unit, std::string_view className, std::string_view procedure,
                     std::int32_t line, std::int32_t offset, std::int32_t module1, std::int32_t module2) {
  TIDERecord r{};
  PutField(r, 90, unit);
  PutField(r, 180, className);
  PutField(r, 270, procedure);
  PutInt(r, 360, line);
  PutInt(r, 364, offset);
  PutInt(r, 368, module1);
  PutInt(r, 372, module2);
  return r;
}

std::int32_t LineCellOffset(std::string_view cell) {
  const std::size_t open = cell.find('['), close = cell.find(']');
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) return -1;
  std::int32_t value = 0;
  bool negative = false;
  std::size_t i = open + 1;
  if (cell[i] == '-' || cell[i] == '+') negative = cell[i++] == '-';
  if (i >= close) return -1;
  for (; i < close; ++i) {
    if (cell[i] < '0' || cell[i] > '9' || value > 100000000) return -1;
    value = value * 10 + (cell[i] - '0');
  }
  return negative ? -value : value;
}

namespace {

std::string UpperExtension(std::string_view name) {
  const std::size_t slash = name.find_last_of("\\/");
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string ext(name.substr(dot));
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ext;
}

std::string FileNameOf(std::string_view name) {
  const std::size_t slash = name.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

}  // namespace

int ModuleIcon(std::string_view fileName) {
  const std::string ext = UpperExtension(fileName);
  if (ext == ".BPL" || ext == ".DPL") return 1;
  if (ext == ".EXE") return 2;
  return 0;
}

int EntryIcon(std::string_view moduleName) {
  const std::string ext = UpperExtension(moduleName);
  if (ext == ".EXE") return 2;
  if (ext == ".BPL" || ext == ".DPL") return 1;
  if (ext.empty() || ext == ".DLL") return 0;
  return 3;
}

std::vector<TCallStackRow> CallStackRows(const TTraciraTexts& texts, const TTraciraStackList& stack,
                                         const std::vector<TTraciraThreadRow>& threads,
                                         TCallStackOptions show) {
  std::vector<TCallStackRow> rows;
  const TTraciraDebugInfo* previous = nullptr;
  int block = -1;
  for (std::size_t i = 0; i < stack.size(); ++i) {
    const TTraciraDebugInfo& entry = stack[i];
    if (!IsShownDetail(entry.DebugDetail, show)) continue;
    if (!previous || entry.ThreadID != previous->ThreadID || entry.RunningThread != previous->RunningThread ||
        entry.ErrorLine) {
      ++block;
      if (previous) {
        TCallStackRow blank;
        blank.Kind = TCallStackRow::Blank;
        blank.Block = block;
        rows.push_back(blank);
      }
      TCallStackRow thread;
      thread.Kind = TCallStackRow::Thread;
      thread.Block = block;
      thread.Cells[0] = CallStackThreadText(texts, entry, threads);
      rows.push_back(thread);
    }
    TCallStackRow row;
    row.Block = block;
    row.StackIndex = i;
    char address[24];
    std::snprintf(address, sizeof address, "%08llX", static_cast<unsigned long long>(entry.Addr));
    row.Cells = {address,
                 FileNameOf(entry.ModuleName),
                 entry.UnitName,
                 entry.ClassName,
                 entry.ProcedureName,
                 entry.Line == 0
                     ? std::string()
                     : std::to_string(entry.Line) + "[" + std::to_string(entry.ProcOffsetLine) + "]"};
    row.Icon = EntryIcon(entry.ModuleName);
    rows.push_back(std::move(row));
    previous = &entry;
  }
  return rows;
}

std::vector<std::size_t> VisibleRows(const std::vector<TCallStackRow>& rows,
                                     const std::vector<bool>& collapsed) {
  std::vector<std::size_t> visible;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool closed = rows[i].Block >= 0 && static_cast<std::size_t>(rows[i].Block) < collapsed.size() &&
                        collapsed[static_cast<std::size_t>(rows[i].Block)];
    if (rows[i].Kind == TCallStackRow::Entry && closed) continue;
    visible.push_back(i);
  }
  return visible;
}

bool TAutoClose::Tick() {
  if (fSeconds <= 0 || fPaused) return false;
  return ++fCount >= fSeconds;
}

}  // namespace tracira::dlg
