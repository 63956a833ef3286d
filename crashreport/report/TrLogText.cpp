#include "crashreport/report/TrLogText.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace tracira {

namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(result.data(), result.size(), format, args);
    result.resize(static_cast<std::size_t>(length));
  }
  va_end(args);
  return result;
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    result.append(text.substr(pos, hit - pos)).append(to);
    pos = hit + from.size();
  }
  result.append(text.substr(pos));
  return result;
}

// Lines of a text whose breaks may be CR LF, lone CR or lone LF.
std::vector<std::string_view> SplitAnyBreaks(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string_view> SplitCRLF(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t hit = text.find(kCRLF, start);
    if (hit == std::string_view::npos) break;
    lines.push_back(text.substr(start, hit - start));
    start = hit + kCRLF.size();
  }
  lines.push_back(text.substr(start));
  return lines;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "  S.I " at the start of a line.
bool IsItemLine(std::string_view line) {
  if (line.size() < 3 || line[0] != ' ' || line[1] != ' ' || !IsDigit(line[2])) return false;
  std::size_t i = 2;
  while (i < line.size() && IsDigit(line[i])) ++i;
  if (i >= line.size() || line[i] != '.') return false;
  const std::size_t itemStart = ++i;
  while (i < line.size() && IsDigit(line[i])) ++i;
  return i > itemStart && i < line.size() && line[i] == ' ';
}

std::string PadRight(std::string_view text, std::size_t width) {
  std::string result(text);
  if (result.size() < width) result.append(width - result.size(), ' ');
  return result;
}

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

TTraciraTexts DefaultTraciraTexts() {
  TTraciraTexts texts;
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) texts[i] = std::string(DefaultMessageTexts()[i]);
  return texts;
}

// ---------------------------------------------------------------------------
// Dates, durations, exception ID

int DayOfWeek(const TTraciraDateTime& t) {
  static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const int month = std::clamp(t.Month, 1, 12);
  const int year = month < 3 ? t.Year - 1 : t.Year;
  const int dow = (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + t.Day) % 7;
  return dow < 0 ? dow + 7 : dow;
}

std::string RFCDate(const TTraciraDateTime& localTime, int utcOffsetMinutes) {
  const int hours = static_cast<int>(std::lround(utcOffsetMinutes / 60.0));
  std::string offset = std::to_string(hours);
  if (hours >= 0) offset.insert(0, "+");
  if (offset.size() == 2) offset.insert(1, "0");
  offset += "00";
  const int month = std::clamp(localTime.Month, 1, 12);
  return Format("%s, %d %s %d %02d:%02d:%02d %s", kDayNames[DayOfWeek(localTime)], localTime.Day,
                kMonthNames[month - 1], localTime.Year, localTime.Hour, localTime.Minute, localTime.Second,
                offset.c_str());
}

std::string ISODateTime(const TTraciraDateTime& t) {
  return Format("%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}

std::string GetCompleteTimeStr(double days) {
  // Whole milliseconds first, so that 5 s stored as 4.9999999 s stays 5 s.
  constexpr double kMaxDays = 1e8;
  if (!std::isfinite(days) || days < 0) days = 0;
  days = std::min(days, kMaxDays);
  const long long totalSeconds = std::llround(days * 86400000.0) / 1000;
  const long long parts[] = {totalSeconds / 86400, totalSeconds / 3600 % 24, totalSeconds / 60 % 60,
                             totalSeconds % 60};
  static constexpr const char* kUnits[] = {"day", "hour", "minute", "second"};
  std::string result;
  for (int i = 0; i < 4; ++i) {
    if (i < 3 && parts[i] == 0) continue;
    result += Format("%lld %s%s", parts[i], kUnits[i], parts[i] > 1 ? "s" : "");
    if (i < 3) result += ", ";
  }
  return result;
}

std::uint16_t Crc16Xmodem(std::string_view data) {
  std::uint16_t crc = 0;
  for (const char c : data) {
    crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(c) << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

std::string ExceptionIDText(std::string_view exceptionClassName, const TTraciraStackList& stack,
                            std::uint32_t exceptionThreadID) {
  std::string text(exceptionClassName);
  for (const auto& entry : stack) {
    if (entry.DebugDetail != ddSourceCode || entry.ThreadID != exceptionThreadID || !entry.RunningThread)
      continue;
    text += entry.UnitName;
    text += entry.ClassName;
    text += entry.ProcedureName;
    text += std::to_string(entry.Line);
  }
  return text;
}

std::string ExceptionID(std::string_view idText) { return Format("%04X", Crc16Xmodem(idText)); }

// ---------------------------------------------------------------------------
// Value formatters

std::string ExtractFileName(std::string_view fileName) {
  const std::size_t slash = fileName.find_last_of("\\/:");
  return std::string(slash == std::string_view::npos ? fileName : fileName.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view fileName) {
  const std::size_t slash = fileName.find_last_of("\\/:");
  return slash == std::string_view::npos ? std::string() : std::string(fileName.substr(0, slash + 1));
}

std::string FileNameWithDescription(std::string_view fileName, std::string_view description) {
  std::string result = ExtractFileName(fileName);
  if (!description.empty()) result.append(" - (").append(description).append(")");
  return result;
}

std::string VersionText(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  if (a == 0 && b == 0 && c == 0 && d == 0) return {};
  return Format("%u.%u.%u.%u", unsigned{a}, unsigned{b}, unsigned{c}, unsigned{d});
}

std::string QuotedParameters(const std::vector<std::string>& parameters) {
  std::string result;
  for (const auto& p : parameters) {
    if (!result.empty()) result += ' ';
    result.append("\"").append(p).append("\"");
  }
  return result;
}

std::string ExceptionMessageText(std::string_view message) {
  std::string result(message);
  if (result.empty() || result.back() != '.') result += '.';
  return result;
}

std::string FoldControlChars(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  bool inRun = false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32) {
      if (!inRun) result += ' ';
      inRun = true;
    } else {
      result += c;
      inRun = false;
    }
  }
  return result;
}

std::string MegabytesText(std::uint64_t bytes) {
  return std::to_string(static_cast<std::uint64_t>(std::llround(bytes / 1048576.0))) + " Mb";
}

std::string GigabytesText(std::uint64_t bytes) {
  std::string number = Format("%.2f", bytes / 1073741824.0);
  while (number.back() == '0') number.pop_back();
  if (number.back() == '.') number.pop_back();
  return number + " Gb";
}

std::string DisplayModeText(int width, int height, int bitsPerPixel) {
  return Format("%d x %d, %d bit", width, height, bitsPerPixel);
}

std::string PaddedIPText(std::array<std::uint8_t, 4> octets) {
  return Format("%03u.%03u.%03u.%03u", unsigned{octets[0]}, unsigned{octets[1]}, unsigned{octets[2]},
                unsigned{octets[3]});
}

std::string JoinAdapters(const std::vector<std::string>& values) {
  std::string result;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) result += " - ";
    result += values[i];
  }
  return result;
}

std::string DHCPText(const std::vector<bool>& enabledPerAdapter) {
  std::vector<std::string> cells;
  for (const bool on : enabledPerAdapter) cells.push_back(PadRight(on ? "ON" : "OFF", 16));
  return JoinAdapters(cells);
}

std::string PrivilegesText(const std::vector<TPrivilege>& privileges) {
  std::string result;
  for (std::size_t i = 0; i < privileges.size(); ++i) {
    if (i > 0) result += kCRLF;
    result += PadRight(privileges[i].Name, 31) + (privileges[i].Enabled ? " - ON" : " - OFF");
  }
  return result;
}

std::string ProcessPriorityText(std::uint32_t priorityClass) {
  switch (priorityClass) {
    case 0x40:
      return "Low";
    case 0x4000:
      return "Below-Normal";
    case 0x20:
      return "Normal";
    case 0x8000:
      return "Above-Normal";
    case 0x80:
      return "High";
    case 0x100:
      return "Real-Time";
    default:
      return {};
  }
}

std::string WindowsTypeText(const TWindowsVersion& v) {
  const char letter = v.ServicePack.size() > 1 ? v.ServicePack[1] : ' ';
  std::string name;
  if (v.PlatformId == 1) {
    if (v.Major == 4 && v.Minor == 0)
      name = letter == 'B' || letter == 'C' ? "95 OSR 2" : "95";
    else if (v.Major == 4 && v.Minor == 10)
      name = letter == 'A' ? "98 SE" : "98";
    else if (v.Major == 4 && v.Minor == 90)
      name = "ME";
  } else if (v.PlatformId == 2) {
    const std::uint32_t version = v.Major * 100 + v.Minor;
    switch (version) {
      case 400:
        name = "NT 4.0";
        break;
      case 500:
        name = "2000";
        break;
      case 501:
        name = "XP";
        break;
      case 502:
        name = "2003";
        break;
      case 600:
        name = v.Server ? "Server 2008" : "Vista";
        break;
      case 601:
        name = v.Server ? "Server 2008 R2" : "7";
        break;
      case 602:
        name = v.Server ? "Server 2012" : "8";
        break;
      case 603:
        name = v.Server ? "Server 2012 R2" : "8.1";
        break;
      case 1000:
        if (v.Server)
          name = v.Build >= 20348 ? "Server 2022" : v.Build >= 17763 ? "Server 2019" : "Server 2016";
        else
          name = v.Build >= 22000 ? "11" : "10";
        break;
      default:
        break;
    }
  }
  if (name.empty()) name = Format("%u.%u", static_cast<unsigned>(v.Major), static_cast<unsigned>(v.Minor));
  return "Microsoft Windows " + name;
}

std::string WindowsBuildText(const TWindowsVersion& v) {
  return std::to_string(v.PlatformId == 1 ? v.Build & 0xFFFF : v.Build);
}

std::string VideoCardText(std::string_view adapter, std::string_view driverVersion,
                          std::optional<std::uint64_t> memoryBytes) {
  std::string details;
  if (!driverVersion.empty()) details = "driver " + std::string(driverVersion);
  if (memoryBytes) {
    if (!details.empty()) details += " - ";
    details += "RAM " + std::to_string(*memoryBytes / (1024 * 1024)) + " MB";
  }
  if (adapter.empty() || details.empty()) return std::string(adapter);
  return std::string(adapter) + " (" + details + ")";
}

std::string PrinterText(std::string_view printer, std::string_view driverVersion) {
  if (printer.empty() || driverVersion.empty()) return std::string(printer);
  return std::string(printer) + " (driver " + std::string(driverVersion) + ")";
}

std::string AccessViolationText(std::uint64_t address, std::string_view moduleFileName, bool write,
                                std::uint64_t target) {
  return Format("Access violation at address %s in module '%.*s'. %s of address %s",
                HexAddress(address).c_str(), static_cast<int>(moduleFileName.size()), moduleFileName.data(),
                write ? "Write" : "Read", HexAddress(target).c_str());
}

// ---------------------------------------------------------------------------
// Sections

std::string EscapeItemValue(std::string_view value) {
  // ": " is escaped in every value, so that the first ": " of an item line is
  // always the one after its label.
  const std::string text = ReplaceAll(value, ": ", ":_");
  std::vector<std::string_view> lines = SplitAnyBreaks(text);
  if (lines.size() == 1) return text;
  if (lines.back().empty()) lines.pop_back();  // the final line break
  std::string result;
  result.reserve(text.size() + 3 * lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = Trim(lines[i]).empty() ? std::string_view(".") : lines[i];
    if (i > 0) {
      result += kCRLF;
      // A continuation line must never look like an item line (exactly two
      // spaces, then text), or reading it back would cut the value short.
      result += (line.size() >= 2 && line[0] == ' ' && line[1] != ' ') ? "  " : " ";
    }
    result += line;
  }
  return result;
}

std::string UnescapeItemValue(std::string_view stored) {
  std::string result;
  result.reserve(stored.size());
  const auto lines = SplitCRLF(stored);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) result += kCRLF;
    if (lines[i] != ".") result += lines[i];
  }
  return std::string(Trim(ReplaceAll(result, ":_", ": ")));
}

void TLogItem::Clear() {
  fString.clear();
  fHeaderNo = fFirstHeader;
  fItemNo = 0;
}

void TLogItem::AddHeader(std::string_view title) {
  ++fHeaderNo;
  fItemNo = 0;
  if (!fString.empty()) fString.append(kCRLF).append(kCRLF);
  fString.append(title).append(":").append(kCRLF).append("-");
}

void TLogItem::AddItem(std::string_view label, std::string_view value, bool show) {
  ++fItemNo;
  if (!show) return;
  fString.append(kCRLF).append("  ").append(std::to_string(fHeaderNo)).append(".");
  fString.append(std::to_string(fItemNo)).append(" ").append(label).append(": ");
  fString.append(EscapeItemValue(value));
}

std::string TLogItem::GetString() const {
  // Sections are the runs of lines between empty lines: header, rule, items.
  std::vector<std::vector<std::string>> sections(1);
  for (const auto line : SplitCRLF(fString)) {
    if (line.empty()) {
      if (!sections.back().empty()) sections.emplace_back();
    } else {
      sections.back().emplace_back(line);
    }
  }
  std::string result;
  for (auto& lines : sections) {
    std::size_t column = 0;
    bool hasItems = false;
    for (const auto& line : lines) {
      if (!IsItemLine(line)) continue;
      hasItems = true;
      column = std::max(column, std::min(line.find(": "), line.size()));
    }
    if (!hasItems) continue;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      auto& line = lines[i];
      if (IsItemLine(line)) {
        const std::size_t pos = line.find(": ");
        if (pos != std::string::npos && pos < column) line.insert(pos, column - pos, ' ');
      }
      if (i != 1) longest = std::max(longest, line.size());
    }
    if (lines.size() > 1 && lines[1] == "-") lines[1] = std::string(longest, '-');
    if (!result.empty()) result += kCRLF;
    for (const auto& line : lines) result.append(line).append(kCRLF);
  }
  return result;
}

namespace {

struct TGeneralItem {
  int Section;  // 1..7
  TMessageType Label;
  int ShowBit;
  std::string TGeneralValues::*Value;
};

constexpr TGeneralItem kGeneralItems[] = {
    {1, mtLog_AppStartDate, 0, &TGeneralValues::AppStartDate},
    {1, mtLog_AppName, 1, &TGeneralValues::AppName},
    {1, mtLog_AppVersionNumber, 2, &TGeneralValues::AppVersionNumber},
    {1, mtLog_AppParameters, 3, &TGeneralValues::AppParameters},
    {1, mtLog_AppCompilationDate, 4, &TGeneralValues::AppCompilationDate},
    {1, mtLog_AppUpTime, 5, &TGeneralValues::AppUpTime},
    {2, mtLog_ExcDate, 6, &TGeneralValues::ExcDate},
    {2, mtLog_ExcAddress, 7, &TGeneralValues::ExcAddress},
    {2, mtLog_ExcModuleName, 8, &TGeneralValues::ExcModuleName},
    {2, mtLog_ExcModuleVersion, 9, &TGeneralValues::ExcModuleVersion},
    {2, mtLog_ExcType, 10, &TGeneralValues::ExcType},
    {2, mtLog_ExcMessage, 11, &TGeneralValues::ExcMessage},
    {2, mtLog_ExcID, 12, &TGeneralValues::ExcID},
    {2, mtLog_ExcCount, 13, &TGeneralValues::ExcCount},
    {2, mtLog_ExcStatus, 14, &TGeneralValues::ExcStatus},
    {2, mtLog_ExcNote, 15, &TGeneralValues::ExcNote},
    {3, mtLog_UserID, 16, &TGeneralValues::UserID},
    {3, mtLog_UserName, 17, &TGeneralValues::UserName},
    {3, mtLog_UserEmail, 18, &TGeneralValues::UserEmail},
    {3, mtLog_UserCompany, 20, &TGeneralValues::UserCompany},
    {3, mtLog_UserPrivileges, 19, &TGeneralValues::UserPrivileges},
    {4, mtLog_ActCtrlsFormClass, 21, &TGeneralValues::ActCtlsFormClass},
    {4, mtLog_ActCtrlsFormText, 22, &TGeneralValues::ActCtlsFormText},
    {4, mtLog_ActCtrlsControlClass, 23, &TGeneralValues::ActCtlsControlClass},
    {4, mtLog_ActCtrlsControlText, 24, &TGeneralValues::ActCtlsControlText},
    {5, mtLog_CmpName, 25, &TGeneralValues::CmpName},
    {5, mtLog_CmpTotalMemory, 26, &TGeneralValues::CmpTotalMemory},
    {5, mtLog_CmpFreeMemory, 27, &TGeneralValues::CmpFreeMemory},
    {5, mtLog_CmpTotalDisk, 28, &TGeneralValues::CmpTotalDisk},
    {5, mtLog_CmpFreeDisk, 29, &TGeneralValues::CmpFreeDisk},
    {5, mtLog_CmpSystemUpTime, 30, &TGeneralValues::CmpSysUpTime},
    {5, mtLog_CmpProcessor, 31, &TGeneralValues::CmpProcessor},
    {5, mtLog_CmpDisplayMode, 32, &TGeneralValues::CmpDisplayMode},
    {5, mtLog_CmpDisplayDPI, 33, &TGeneralValues::CmpDisplayDPI},
    {5, mtLog_CmpVideoCard, 34, &TGeneralValues::CmpVideoCard},
    {5, mtLog_CmpPrinter, 35, &TGeneralValues::CmpPrinter},
    {6, mtLog_OSType, 36, &TGeneralValues::OSType},
    {6, mtLog_OSBuildN, 37, &TGeneralValues::OSBuildN},
    {6, mtLog_OSUpdate, 38, &TGeneralValues::OSUpdate},
    {6, mtLog_OSLanguage, 39, &TGeneralValues::OSLanguage},
    {6, mtLog_OSCharset, 40, &TGeneralValues::OSCharset},
    {7, mtLog_NetIP, 41, &TGeneralValues::NetIP},
    {7, mtLog_NetSubmask, 42, &TGeneralValues::NetSubmask},
    {7, mtLog_NetGateway, 43, &TGeneralValues::NetGateway},
    {7, mtLog_NetDNS1, 44, &TGeneralValues::NetDNS1},
    {7, mtLog_NetDNS2, 45, &TGeneralValues::NetDNS2},
    {7, mtLog_NetDHCP, 46, &TGeneralValues::NetDHCP},
};

constexpr TMessageType kSectionTitles[] = {mtLog_AppHeader,      mtLog_ExcHeader, mtLog_UserHeader,
                                           mtLog_ActCtrlsHeader, mtLog_CmpHeader, mtLog_OSHeader,
                                           mtLog_NetHeader};

}  // namespace

std::string CreateGeneralText(const TTraciraTexts& texts, const TGeneralValues& values,
                              TShowOptions showOptions, bool windowedProgram) {
  TLogItem item(0);
  int section = 0;
  for (const auto& entry : kGeneralItems) {
    if (entry.Section != section) {
      section = entry.Section;
      item.AddHeader(texts[kSectionTitles[section - 1]]);
    }
    const bool show = ((showOptions.ToBits() >> entry.ShowBit) & 1) != 0 && (section != 4 || windowedProgram);
    item.AddItem(texts[entry.Label], values.*entry.Value, show);
  }
  return std::string(kLogSignature) + " " + std::string(kLogVersion) + "\r\n\r\n" + item.GetString();
}

std::string CustomHeadersText(int firstSection, std::string_view header,
                              const std::vector<std::string>& lines) {
  TLogItem item(firstSection);
  item.AddHeader(header);
  for (const auto& line : lines) {
    const std::size_t eq = line.find('=');
    const std::string_view text(line);
    if (eq == std::string::npos)
      item.AddItem(Trim(text), "");
    else
      item.AddItem(Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
  }
  return item.GetString();
}

std::string CustomHeaderText(int firstSection, std::string_view header, std::string_view value) {
  TLogItem item(firstSection);
  item.AddHeader(header);
  item.AddItem("", value);
  return item.GetString();
}

std::string InsertCustomSection(std::string_view report, std::string_view section,
                                std::string_view callStackTitle) {
  // The call-stack table's title line, followed by its rule and a table row.
  const std::string marker = std::string(kCRLF) + std::string(callStackTitle) + ":\r\n-";
  std::size_t pos = 0;
  for (;;) {
    pos = report.find(marker, pos);
    if (pos == std::string_view::npos) break;
    const std::size_t ruleEnd = report.find(kCRLF, pos + marker.size());
    if (ruleEnd != std::string_view::npos && report.substr(ruleEnd + 2, 1) == "|") break;
    pos += marker.size();
  }
  std::string result(report);
  if (pos == std::string_view::npos) {
    result.append(section).append(kCRLF);
  } else {
    result.insert(pos + kCRLF.size(), std::string(section) + std::string(kCRLF));
  }
  return result;
}

// ---------------------------------------------------------------------------
// Tables

namespace {

struct TTableRow {
  enum Kind { Cells, Divider, Empty, Header } RowKind = Cells;
  std::vector<std::string> CellTexts;
  std::string Text;  // Header rows
};

// A cell's text never holds a line break, so every row keeps its length.
std::string Cell(std::string_view text) {
  std::string cell(text);
  for (char& c : cell)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return cell;
}

std::string TableText(std::string_view title, const std::vector<std::string>& headers,
                      const std::vector<TTableRow>& rows, std::size_t firstColumnMin = 8) {
  std::vector<std::size_t> widths(headers.size());
  for (std::size_t c = 0; c < headers.size(); ++c) widths[c] = headers[c].size();
  if (!widths.empty()) widths[0] = std::max(widths[0], firstColumnMin);
  for (const auto& row : rows)
    if (row.RowKind == TTableRow::Cells)
      for (std::size_t c = 0; c < widths.size() && c < row.CellTexts.size(); ++c)
        widths[c] = std::max(widths[c], row.CellTexts[c].size());
  std::size_t inner = widths.empty() ? 0 : widths.size() - 1;
  for (const auto w : widths) inner += w;
  const std::size_t rowLength = inner + 2 + kCRLF.size();
  const std::string rule(inner + 2, '-');

  std::string text;
  // One allocation for the whole table: a stack of all threads can have
  // hundreds of rows.
  text.reserve(title.size() + 3 + rowLength * (rows.size() + 4) + 4);
  text.append(title).append(":").append(kCRLF).append(rule).append(kCRLF);
  auto appendCells = [&](const std::vector<std::string>& cells) {
    text += '|';
    for (std::size_t c = 0; c < widths.size(); ++c) {
      const std::string_view cell = c < cells.size() ? std::string_view(cells[c]) : std::string_view();
      text.append(cell);
      if (cell.size() < widths[c]) text.append(widths[c] - cell.size(), ' ');
      text += '|';
    }
    text.append(kCRLF);
  };
  appendCells(headers);
  text.append(rule).append(kCRLF);
  for (const auto& row : rows) {
    switch (row.RowKind) {
      case TTableRow::Cells:
        appendCells(row.CellTexts);
        break;
      case TTableRow::Divider:
        text.append("|").append(inner, '-').append("|").append(kCRLF);
        break;
      case TTableRow::Empty:
        text.append("|").append(inner, ' ').append("|").append(kCRLF);
        break;
      case TTableRow::Header: {
        const std::string_view header = std::string_view(row.Text).substr(0, inner);
        text.append("|").append(header).append(inner - header.size(), ' ').append("|").append(kCRLF);
        break;
      }
    }
  }
  text.append(rule).append(kCRLF).append(kCRLF);
  return text;
}

std::vector<std::string> Headers(const TTraciraTexts& texts, TMessageType first, TMessageType last) {
  std::vector<std::string> headers;
  for (int i = first; i <= last; ++i) headers.push_back(Cell(texts[static_cast<std::size_t>(i)]));
  return headers;
}

std::string ThreadText(const TTraciraTexts& texts, const TTraciraDebugInfo& first,
                       const std::vector<TTraciraThreadRow>& threads) {
  std::string text;
  if (first.ErrorLine)
    text = "*" + texts[mtCallStack_ExceptionThread] + ": ";
  else if (first.RunningThread)
    text = texts[mtCallStack_RunningThread] + ": ";
  else
    text = texts[mtCallStack_CallingThread] + ": ";
  const auto info = std::find_if(threads.begin(), threads.end(),
                                 [&](const TTraciraThreadRow& t) { return t.ThreadID == first.ThreadID; });
  const bool known = info != threads.end();
  const std::string priority = known && info->Priority ? std::to_string(*info->Priority) : "??";
  text += Format("%s=%u; %s=%s", texts[mtCallStack_ThreadID].c_str(), static_cast<unsigned>(first.ThreadID),
                 texts[mtCallStack_ThreadPriority].c_str(), priority.c_str());
  text += Format("; %s=%s", texts[mtCallStack_ThreadClass].c_str(), known ? info->ClassName.c_str() : "");
  if (known && info->IsMainThread) text += "; [" + texts[mtCallStack_MainThread] + "]";
  return Cell(text);
}

// The line in front of one leak's call sites.
std::string LeakText(const TTraciraTexts& texts, const TTraciraDebugInfo& first) {
  const std::string& type = first.LeakType == "Data" ? texts[mtCallStack_LeakData] : first.LeakType;
  return Cell("+" + Format("%s: %s=%s; %s=%u; %s=%u", texts[mtCallStack_LeakCaption].c_str(),
                           texts[mtCallStack_LeakType].c_str(), type.c_str(),
                           texts[mtCallStack_LeakSize].c_str(), static_cast<unsigned>(first.LeakSize),
                           texts[mtCallStack_LeakCount].c_str(), static_cast<unsigned>(first.LeakCount)));
}

}  // namespace

bool IsShownDetail(TTraciraDebugDetail detail, TCallStackOptions show) {
  return detail == ddSourceCode || (detail == ddProcedure && show.Contains(csoShowDLLs)) ||
         (detail == ddUnitAndProcedure && show.Contains(csoShowBPLs));
}

std::string CallStackThreadText(const TTraciraTexts& texts, const TTraciraDebugInfo& first,
                                const std::vector<TTraciraThreadRow>& threads) {
  return ThreadText(texts, first, threads);
}

std::string CallStackText(const TTraciraTexts& texts, const TTraciraStackList& stack,
                          const std::vector<TTraciraThreadRow>& threads, TCallStackOptions show) {
  std::vector<TTableRow> rows;
  rows.reserve(stack.size() + 8);
  const TTraciraDebugInfo* previous = nullptr;
  for (const auto& entry : stack) {
    if (!IsShownDetail(entry.DebugDetail, show)) continue;
    const bool newBlock = previous == nullptr || entry.ThreadID != previous->ThreadID ||
                          entry.RunningThread != previous->RunningThread || entry.ErrorLine;
    if (newBlock) {
      if (previous != nullptr) {
        rows.push_back({TTableRow::Divider, {}, {}});
        if (entry.RunningThread) rows.push_back({TTableRow::Empty, {}, {}});
      }
      rows.push_back({TTableRow::Header,
                      {},
                      entry.IsALeak ? LeakText(texts, entry) : ThreadText(texts, entry, threads)});
      rows.push_back({TTableRow::Divider, {}, {}});
    }
    TTableRow row;
    row.CellTexts = {HexAddress(entry.Addr),
                     Cell(ExtractFileName(entry.ModuleName)),
                     Cell(entry.UnitName),
                     Cell(entry.ClassName),
                     Cell(entry.ProcedureName),
                     entry.Line == 0 ? std::string() : Format("%u[%d]", entry.Line, entry.ProcOffsetLine)};
    rows.push_back(std::move(row));
    previous = &entry;
  }
  return TableText(texts[mtDialog_CallStackHeader], Headers(texts, mtCallStack_Address, mtCallStack_Line),
                   rows);
}

std::string ModulesText(const TTraciraTexts& texts, const std::vector<TTraciraModuleRow>& modules) {
  const auto headers = Headers(texts, mtModules_Handle, mtModules_Path);
  // The handle fills its column with digits: 8 of them, 16 once a module
  // lies above 4 GB.
  const bool wide =
      std::any_of(modules.begin(), modules.end(), [](const auto& m) { return m.Handle > 0xFFFFFFFFu; });
  const std::size_t handleWidth = std::max<std::size_t>(wide ? 16 : 8, headers[0].size());
  std::vector<TTableRow> rows;
  rows.reserve(modules.size());
  for (const auto& m : modules) {
    TTableRow row;
    row.CellTexts = {
        Format("%0*llX", static_cast<int>(handleWidth), static_cast<unsigned long long>(m.Handle)),
        Cell(ExtractFileName(m.FileName)),
        Cell(m.Description),
        Cell(m.Version),
        std::to_string(m.Size),
        ISODateTime(m.LastModified),
        Cell(ExtractFilePath(m.FileName))};
    rows.push_back(std::move(row));
  }
  return TableText(texts[mtDialog_ModulesHeader], headers, rows);
}

std::string ProcessesText(const TTraciraTexts& texts, const std::vector<TTraciraProcessRow>& processes) {
  std::vector<TTableRow> rows;
  rows.reserve(processes.size());
  for (const auto& p : processes) {
    TTableRow row;
    row.CellTexts = {std::to_string(p.ID),      Cell(ExtractFileName(p.FileName)),
                     Cell(p.Description),       Cell(p.Version),
                     std::to_string(p.Memory),  ProcessPriorityText(p.PriorityClass),
                     std::to_string(p.Threads), Cell(ExtractFilePath(p.FileName))};
    rows.push_back(std::move(row));
  }
  return TableText(texts[mtDialog_ProcessesHeader], Headers(texts, mtProcesses_ID, mtProcesses_Path), rows);
}

std::string EmptySectionText(std::string_view title) {
  return std::string(title) + ":\r\n" + std::string(title.size() + 1, '-') + "\r\n\r\n";
}

// ---------------------------------------------------------------------------
// CPU

namespace {

// The 16 bytes of memory of one dump line, in hexadecimal and as characters.
std::string MemoryBytes(const std::array<std::uint8_t, 256>& memory, std::size_t line) {
  std::string bytes;
  std::string chars;
  for (std::size_t b = 0; b < 16; ++b) {
    const std::uint8_t byte = memory[line * 16 + b];
    bytes += Format(" %02X", unsigned{byte});
    chars += (byte < 32 || byte > 126) ? '.' : static_cast<char>(byte);
  }
  return bytes + " " + chars;
}

std::string Hex16(std::uint64_t value) { return Format("%016llX", static_cast<unsigned long long>(value)); }

// The section of a 64-bit process: the 32-bit section's layout with 16-digit
// values, the general registers in two columns and RIP under them, the stack
// read in 8-byte words.
std::string CPUText64(const TTraciraTexts& texts, const TTraciraCPUState& cpu) {
  auto reg = [&](std::uint64_t TTraciraRegisters64::*r) {
    return cpu.Context64 ? Hex16((*cpu.Context64).*r) : std::string("????            ");
  };
  using R = TTraciraRegisters64;
  constexpr std::pair<const char*, std::uint64_t R::*> kLeft[] = {
      {"RAX", &R::RAX}, {"RBX", &R::RBX}, {"RCX", &R::RCX}, {"RDX", &R::RDX},
      {"RSI", &R::RSI}, {"RDI", &R::RDI}, {"RBP", &R::RBP}, {"RSP", &R::RSP}};
  constexpr std::pair<const char*, std::uint64_t R::*> kRight[] = {
      {"R8", &R::R8},   {"R9", &R::R9},   {"R10", &R::R10}, {"R11", &R::R11},
      {"R12", &R::R12}, {"R13", &R::R13}, {"R14", &R::R14}, {"R15", &R::R15}};
  std::string text = texts[mtCPU_Registers] + ":\r\n" + std::string(45, '-') + "\r\n";
  for (std::size_t i = 0; i < std::size(kLeft); ++i)
    text += Format("%-3s: %s   %-3s: %s\r\n", kLeft[i].first, reg(kLeft[i].second).c_str(), kRight[i].first,
                   reg(kRight[i].second).c_str());
  text += "RIP: " + reg(&R::RIP) + "\r\n\r\n";
  text += PadRight(texts[mtCPU_Stack] + ":", 37) + texts[mtCPU_MemoryDump] + ":\r\n" + std::string(34, '-') +
          "   " + std::string(83, '-') + "\r\n";
  if (cpu.Context64 && cpu.Stack64 && cpu.Memory) {
    for (std::size_t line = 0; line < 16; ++line) {
      std::uint64_t value = 0;
      for (std::size_t b = 8; b-- > 0;) value = (value << 8) | (*cpu.Stack64)[line * 8 + b];
      text += Hex16(cpu.Context64->RSP + line * 8) + ": " + Hex16(value) + "   " +
              Hex16(cpu.ExceptionAddress + line * 16) + ": " + MemoryBytes(*cpu.Memory, line) + "\r\n";
    }
  }
  return text;
}

}  // namespace

std::string CPUText(const TTraciraTexts& texts, const TTraciraCPUState& cpu) {
  if (cpu.Registers64) return CPUText64(texts, cpu);
  auto reg = [&](std::uint32_t TTraciraRegisters::*r) {
    return cpu.Context ? HexAddress((*cpu.Context).*r) : std::string("????    ");
  };
  std::string dump;
  if (cpu.Context && cpu.Stack && cpu.Memory) {
    dump.reserve(16 * 90);
    for (std::size_t line = 0; line < 16; ++line) {
      const auto& s = *cpu.Stack;
      const std::uint32_t value = s[line * 4] | (s[line * 4 + 1] << 8) | (s[line * 4 + 2] << 16) |
                                  (static_cast<std::uint32_t>(s[line * 4 + 3]) << 24);
      const auto stackAddress = static_cast<std::uint32_t>(cpu.Context->ESP + line * 4);
      const auto memoryAddress = static_cast<std::uint32_t>(cpu.ExceptionAddress + line * 16);
      dump += Format("%s: %s   %s: ", HexAddress(stackAddress).c_str(), HexAddress(value).c_str(),
                     HexAddress(memoryAddress).c_str());
      std::string chars;
      for (std::size_t b = 0; b < 16; ++b) {
        const std::uint8_t byte = (*cpu.Memory)[line * 16 + b];
        dump += Format(" %02X", unsigned{byte});
        chars += (byte < 32 || byte > 126) ? '.' : static_cast<char>(byte);
      }
      dump.append(" ").append(chars).append(kCRLF);
    }
  }
  const std::string stackTitle = PadRight(texts[mtCPU_Stack] + ":", 21);
  return Format(
      "%s:\r\n-----------------------------\r\nEAX: %s   EDI: %s\r\nEBX: %s   ESI: %s\r\nECX: %s   ESP: "
      "%s\r\n"
      "EDX: %s   EIP: %s\r\n\r\n%s%s:\r\n------------------   "
      "---------------------------------------------------------------------------\r\n%s",
      texts[mtCPU_Registers].c_str(), reg(&TTraciraRegisters::EAX).c_str(),
      reg(&TTraciraRegisters::EDI).c_str(), reg(&TTraciraRegisters::EBX).c_str(),
      reg(&TTraciraRegisters::ESI).c_str(), reg(&TTraciraRegisters::ECX).c_str(),
      reg(&TTraciraRegisters::ESP).c_str(), reg(&TTraciraRegisters::EDX).c_str(),
      reg(&TTraciraRegisters::EIP).c_str(), stackTitle.c_str(), texts[mtCPU_MemoryDump].c_str(),
      dump.c_str());
}

// ---------------------------------------------------------------------------
// Whole report

std::string CreateLogText(const TTraciraTexts& texts, const TReportParts& parts) {
  std::string text = CreateGeneralText(texts, parts.General, parts.ShowOptions, parts.WindowedProgram);
  text += kCRLF;
  text += CallStackText(texts, parts.Stack, parts.Threads, parts.Show);
  if (parts.SaveModulesAndProcesses) {
    text += ModulesText(texts, parts.Modules);
    text += ProcessesText(texts, parts.Processes);
  } else {
    text += EmptySectionText(texts[mtDialog_ModulesHeader]);
    text += EmptySectionText(texts[mtDialog_ProcessesHeader]);
  }
  const std::string& asmTitle = texts[mtDialog_AsmHeader];
  text.append(asmTitle).append(":").append(kCRLF).append(asmTitle.size() + 1, '-');
  text += kCRLF;
  if (parts.SaveAssemblerAndCPU) text += parts.Disassembly;
  text += kCRLF;
  if (parts.SaveAssemblerAndCPU)
    text += CPUText(texts, parts.CPU);
  else
    text += EmptySectionText(texts[mtCPU_Registers]);
  return text;
}

}  // namespace tracira
