#include "crashreport/report/TrLogManager.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>

#include "crashreport/report/TrLogText.h"
#include "crashreport/report/TrXMLBuilder.h"

namespace tracira {

namespace {

constexpr std::string_view kReportRun = "\r\n\r\n\r\n\r\n";
// A rule line followed by a table row: every report has one, foreign text
// rarely does.
constexpr std::string_view kReportMarker = "-\r\n|";
// A file shorter than this holds no report.
constexpr std::size_t kMinFileSize = 6;

// Every lone CR and every lone LF becomes CR LF.
std::string NormalizeLineBreaks(std::string_view text) {
  std::string result;
  result.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      result += kCRLF;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      result += kCRLF;
    } else {
      result += c;
    }
  }
  return result;
}

bool StartsWithCRLF(std::string_view s, std::size_t pos) { return s.substr(pos, 2) == kCRLF; }

// The stored form of a report text: it starts with text, has no run of four
// CR LF inside, ends with at least one CR LF, and then the separator; so the
// file always reads back into the very same reports.
std::string StoredForm(std::string_view text) {
  std::string normal = NormalizeLineBreaks(text);
  std::size_t start = 0;
  while (StartsWithCRLF(normal, start)) start += 2;
  std::string result;
  result.reserve(normal.size() - start + 8);
  std::size_t crlfRun = 0;
  for (std::size_t i = start; i < normal.size();) {
    if (StartsWithCRLF(normal, i)) {
      if (++crlfRun < 4) result += kCRLF;
      i += 2;
    } else {
      crlfRun = 0;
      result += normal[i++];
    }
  }
  if (crlfRun == 0) result += kCRLF;
  result += kReportSeparator;
  return result;
}

struct TItemSpan {
  std::size_t LineStart;   // first character of the item line ("  S.I ...")
  std::size_t Colon;       // the ": " after the label; npos when the line has none
  std::size_t ValueStart;  // after that ": " (or the line's end)
  std::size_t ValueEnd;    // end of the last line of the item
};

std::size_t LineEnd(std::string_view text, std::size_t pos) {
  const std::size_t end = text.find(kCRLF, pos);
  return end == std::string_view::npos ? text.size() : end;
}

// The item's lines: its own and the continuation lines, up to an empty line,
// the next item line (two spaces and text) or any line that isn't indented.
TItemSpan SpanAt(std::string_view report, std::size_t lineStart, std::size_t labelStart) {
  TItemSpan span{lineStart, std::string_view::npos, 0, 0};
  const std::size_t lineEnd = LineEnd(report, lineStart);
  const std::size_t colon = report.find(": ", labelStart);
  if (colon != std::string_view::npos && colon + 2 <= lineEnd) {
    span.Colon = colon;
    span.ValueStart = colon + 2;
  } else {
    span.ValueStart = lineEnd;
  }
  std::size_t end = lineEnd;
  while (end < report.size()) {
    const std::size_t next = end + 2;
    const std::string_view line = report.substr(next, LineEnd(report, next) - next);
    if (line.empty() || line[0] != ' ') break;
    if (line.size() >= 3 && line[1] == ' ' && line[2] != ' ') break;
    end = next + line.size();
  }
  span.ValueEnd = end;
  return span;
}

std::optional<TItemSpan> FindItemSpan(std::string_view report, std::string_view item) {
  const std::string key = "\r\n  " + std::string(item) + " ";
  const std::size_t hit = report.find(key);
  if (hit == std::string_view::npos || item.empty()) return std::nullopt;
  return SpanAt(report, hit + 2, hit + key.size());
}

// The last item line of section S ("  S.<digits> ").
std::optional<TItemSpan> FindLastItemOfSection(std::string_view report, std::string_view section) {
  const std::string key = "\r\n  " + std::string(section) + ".";
  std::optional<TItemSpan> last;
  for (std::size_t pos = report.find(key); pos != std::string_view::npos; pos = report.find(key, pos + 1)) {
    std::size_t i = pos + key.size();
    const std::size_t digits = i;
    while (i < report.size() && report[i] >= '0' && report[i] <= '9') ++i;
    if (i == digits || i >= report.size() || report[i] != ' ') continue;
    last = SpanAt(report, pos + 2, i + 1);
  }
  return last;
}

std::string_view TrimLeftSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

}  // namespace

TLogFile::TLogFile(std::filesystem::path fileName) : fFileName(std::move(fileName)) {
  if (const auto data = ReadWholeFile(fFileName)) LoadFromBuffer(*data);
}

void TLogFile::LoadFromStream(std::istream& stream) {
  const std::string data((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  LoadFromBuffer(data);
}

void TLogFile::LoadFromBuffer(std::string_view buffer) { fItems = ParseBuffer(buffer); }

std::vector<std::string> TLogFile::ParseBuffer(std::string_view buffer) {
  std::vector<std::string> reports;
  if (buffer.size() < kMinFileSize) return reports;
  std::string text = NormalizeLineBreaks(buffer);
  if (!text.ends_with(kReportSeparator)) text += kReportSeparator;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (StartsWithCRLF(text, pos)) pos += 2;
    if (pos >= text.size()) break;
    const std::size_t run = text.find(kReportRun, pos);
    std::string stored;
    if (run == std::string::npos) {
      // The rest ends with fewer than four CR LF: a report cut short. Keep it.
      std::string_view rest = std::string_view(text).substr(pos);
      while (rest.ends_with(kCRLF)) rest.remove_suffix(2);
      stored = StoredForm(rest);
      pos = text.size();
    } else {
      std::size_t runEnd = run + kReportRun.size();
      while (StartsWithCRLF(text, runEnd)) runEnd += 2;
      stored = text.substr(pos, runEnd - pos);
      pos = runEnd;
    }
    if (stored.find(kReportMarker) != std::string::npos) reports.push_back(std::move(stored));
  }
  return reports;
}

void TLogFile::SaveToStream(std::ostream& stream) const {
  for (const auto& item : fItems) stream.write(item.data(), static_cast<std::streamsize>(item.size()));
}

void TLogFile::Save() const {
  if (fFileName.empty()) throw ELogFileError(L"The log has no file name");
  SaveFileReplacing(fFileName, GetText());
}

void TLogFile::Delete() {
  fItems.clear();
  if (fFileName.empty()) return;
  std::error_code error;
  std::filesystem::remove(fFileName, error);
  if (error) throw ELogFileError(L"Cannot delete the log file (" + rtl::FromUtf8(error.message()) + L")");
}

void TLogFile::Append(std::string_view text, int maximum) {
  std::string stored = StoredForm(text);
  if (stored.size() <= kReportSeparator.size() + kCRLF.size()) return;  // nothing but line breaks
  if (maximum != -1) {
    const std::size_t keep = static_cast<std::size_t>(std::max(maximum, 1) - 1);
    if (fItems.size() > keep) fItems.erase(fItems.begin(), fItems.end() - static_cast<std::ptrdiff_t>(keep));
  }
  fItems.push_back(std::move(stored));
}

std::string TLogFile::GetText() const {
  std::size_t size = 0;
  for (const auto& item : fItems) size += item.size();
  std::string text;
  text.reserve(size);
  for (const auto& item : fItems) text += item;
  return text;
}

std::string TLogFile::GetItemValue(std::string_view item, int report) const {
  if (report < 0 || report >= GetCount()) return {};
  const std::string_view text = fItems[static_cast<std::size_t>(report)];
  const auto span = FindItemSpan(text, item);
  if (!span) return {};
  std::string joined;
  std::size_t pos = span->ValueStart;
  bool first = true;
  while (pos <= span->ValueEnd) {
    const std::size_t end = std::min(LineEnd(text, pos), span->ValueEnd);
    if (!first) joined += kCRLF;
    joined += TrimLeftSpaces(text.substr(pos, end - pos));
    first = false;
    pos = end + 2;
  }
  return UnescapeItemValue(joined);
}

bool TLogFile::HasItem(std::string_view item, int report) const {
  return report >= 0 && report < GetCount() && FindItemSpan(fItems[static_cast<std::size_t>(report)], item);
}

bool TLogFile::SetItemValue(std::string_view item, std::string_view value, int report,
                            std::string_view label) {
  if (report < 0 || report >= GetCount()) return false;
  std::string& text = fItems[static_cast<std::size_t>(report)];
  const std::string escaped = EscapeItemValue(value);
  if (const auto span = FindItemSpan(text, item)) {
    text.replace(span->ValueStart, span->ValueEnd - span->ValueStart,
                 span->Colon == std::string::npos ? ": " + escaped : escaped);
    return true;
  }
  const std::size_t dot = item.find('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const auto last = FindLastItemOfSection(text, item.substr(0, dot));
  if (!last) return false;
  std::string line = "  " + std::string(item) + " " + std::string(label);
  if (last->Colon != std::string::npos && line.size() < last->Colon - last->LineStart)
    line.append(last->Colon - last->LineStart - line.size(), ' ');
  line.append(": ").append(escaped);
  text.insert(last->ValueEnd, std::string(kCRLF) + line);
  return true;
}

int TLogFile::FindItem(const std::vector<std::pair<std::string, std::string>>& pairs) const {
  int found = -1;
  for (int i = 0; i < GetCount(); ++i) {
    for (const auto& [item, value] : pairs) {
      if (GetItemValue(item, i) == value) {
        found = i;
        break;
      }
    }
  }
  return found;
}

std::string TLogFile::GetLogVersion(int report) const {
  if (report < 0 || report >= GetCount()) return {};
  const std::string_view text = fItems[static_cast<std::size_t>(report)];
  const std::string key = std::string(kLogSignature) + " ";
  const std::size_t hit = text.find(key);
  if (hit == std::string_view::npos) return {};
  const std::size_t start = hit + key.size();
  return std::string(text.substr(start, LineEnd(text, start) - start));
}

std::string LogFileName(const TLogNameParts& p) {
  const auto endsWithNoCase = [](std::string_view text, std::string_view end) {
    return text.size() >= end.size() &&
           std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                      });
  };
  const auto slash = [](const std::string& folder) {
    return folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  };
  std::string file;
  if (endsWithNoCase(p.OutputPath, ".tlf")) {
    file = p.OutputPath.substr(0, p.OutputPath.size() - 4) + p.Extension;
  } else {
    std::string name = ExtractFileName(p.ModuleName);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
    std::string folder;
    if (!p.OutputPath.empty())
      folder = slash(p.OutputPath);
    else if (p.ProfileSystem)
      folder = slash(slash(p.ProfileFolder) + "TraciraLog");
    else
      folder = p.ModuleName.substr(0, p.ModuleName.size() - ExtractFileName(p.ModuleName).size());
    file = folder + name + p.Extension;
  }
  if (p.AddComputerName) {
    const std::size_t name = file.size() - ExtractFileName(file).size();
    const std::size_t dot = file.rfind('.');
    file.insert(dot == std::string::npos || dot < name ? file.size() : dot, "_" + p.ComputerName);
  }
  return file;
}

bool CalcDuplicatedException(TLogFile& log, std::string_view exceptionID, bool count,
                             std::string_view countLabel) {
  const int index = log.FindItem({{"2.7", std::string(exceptionID)}});
  if (index < 0) return false;
  if (count) {
    long long number = 1;
    const std::string stored = log.GetItemValue("2.8", index);
    try {
      std::size_t used = 0;
      number = std::stoll(stored, &used);
      if (used != stored.size() || number < 0) number = 1;
    } catch (const std::exception&) {
      number = 1;  // not a number: counts as the first occurrence
    }
    log.SetItemValue("2.8", std::to_string(number + 1), index, countLabel);
    log.Save();
  }
  return true;
}

bool IsLogOfAnotherVersion(const TLogFile& log, std::string_view currentVersion) {
  if (log.GetCount() == 0 || !log.HasItem("1.3", log.GetCount() - 1)) return false;
  return log.GetItemValue("1.3", log.GetCount() - 1) != currentVersion;
}

bool DeleteLogAtVersionChange(TLogFile& log, std::string_view currentVersion) {
  if (!IsLogOfAnotherVersion(log, currentVersion)) return false;
  log.Delete();
  return true;
}

}  // namespace tracira

// ---------------------------------------------------------------------------
// XML copy

namespace tracira {

namespace {

bool IsRule(std::string_view line) {
  return !line.empty() && line.find_first_not_of('-') == std::string_view::npos;
}

// "Title:" followed by its rule.
bool IsTitleAt(const std::vector<std::string_view>& lines, std::size_t i) {
  return i + 1 < lines.size() && lines[i].size() > 1 && lines[i].back() == ':' && lines[i][0] != ' ' &&
         lines[i][0] != '|' && IsRule(lines[i + 1]);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = LineEnd(text, start);
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> Cells(std::string_view row) {
  std::vector<std::string> cells;
  if (row.size() < 2) return cells;
  row = row.substr(1, row.size() - 2);
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = row.find('|', start);
    std::string_view cell =
        row.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    while (!cell.empty() && cell.back() == ' ') cell.remove_suffix(1);
    cells.emplace_back(cell);
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return cells;
}

std::string JoinLines(const std::vector<std::string_view>& lines, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to && i < lines.size(); ++i) {
    if (i > from) text += kCRLF;
    text += lines[i];
  }
  return text;
}

// One table (or its empty form) starting at its title line; returns the line
// after it.
std::size_t AddTable(TXMLItem& parent, const char* name, const std::vector<const char*>& columns,
                     const std::vector<std::string_view>& lines, std::size_t i) {
  TXMLItem& table = parent.AddItem(name);
  i += 2;  // title and rule
  if (i >= lines.size() || lines[i].empty() || lines[i][0] != '|') return i;
  const std::size_t headerCells = Cells(lines[i]).size();
  i += 2;  // header row and rule
  TXMLItem* block = &table;
  for (; i < lines.size() && !lines[i].empty() && lines[i][0] == '|'; ++i) {
    const std::string_view row = lines[i];
    const auto cells = Cells(row);
    if (cells.size() == 1 && cells[0].find_first_not_of('-') == std::string::npos) continue;  // divider/empty
    if (cells.size() == 1 || cells.size() != headerCells) {
      block = &table.AddItem("Thread");
      block->AddField("Text", cells.empty() ? std::string() : cells[0]);
      continue;
    }
    TXMLItem& item = block->AddItem("Row");
    for (std::size_t c = 0; c < cells.size(); ++c)
      item.AddField(c < columns.size() ? std::string(columns[c]) : "Column" + std::to_string(c + 1),
                    cells[c]);
  }
  if (i < lines.size() && IsRule(lines[i])) ++i;
  while (i < lines.size() && lines[i].empty()) ++i;
  return i;
}

}  // namespace

std::string TLogFile::GetXML(int report) const {
  if (report < 0 || report >= GetCount()) return {};
  std::string_view text = fItems[static_cast<std::size_t>(report)];
  while (text.ends_with(kCRLF)) text.remove_suffix(2);
  const auto lines = SplitLines(text);

  TXMLItem log("Log");
  log.AddField("Version", GetLogVersion(report));
  TXMLItem& general = log.AddItem("General");
  std::string reproduce;
  std::size_t i = 0;
  // General part: titled groups of items, up to the first table.
  while (i < lines.size()) {
    if (!IsTitleAt(lines, i)) {
      ++i;
      continue;
    }
    if (i + 2 < lines.size() && !lines[i + 2].empty() && lines[i + 2][0] == '|') break;
    const std::string_view title = lines[i].substr(0, lines[i].size() - 1);
    std::vector<std::pair<std::string, std::string>> items;  // number, label
    for (i += 2; i < lines.size() && !lines[i].empty(); ++i) {
      const std::string_view line = lines[i];
      if (line.size() < 3 || line[0] != ' ' || line[1] != ' ' || line[2] == ' ') continue;
      const std::size_t numberEnd = line.find(' ', 2);
      const std::size_t colon = line.find(": ");
      if (numberEnd == std::string_view::npos) continue;
      std::string_view label = colon == std::string_view::npos || colon < numberEnd
                                   ? std::string_view()
                                   : line.substr(numberEnd, colon - numberEnd);
      while (!label.empty() && label.front() == ' ') label.remove_prefix(1);
      while (!label.empty() && label.back() == ' ') label.remove_suffix(1);
      items.emplace_back(std::string(line.substr(2, numberEnd - 2)), std::string(label));
    }
    if (items.size() == 1 && items[0].second.empty()) {
      // The reproduce text: one item without a label.
      reproduce = GetItemValue(items[0].first, report);
      continue;
    }
    TXMLItem& group = general.AddItem("Group");
    group.AddField("Name", title);
    if (!items.empty()) group.AddField("Number", items[0].first.substr(0, items[0].first.find('.')));
    for (const auto& [number, label] : items) {
      TXMLItem& item = group.AddItem("Item");
      item.AddField("Number", number);
      item.AddField("Name", label);
      item.SetValue(GetItemValue(number, report));
    }
  }
  if (!reproduce.empty()) log.AddItem("HoToReproduce").SetValue(reproduce);

  // The three tables, each possibly in its empty form.
  static const std::vector<const char*> kStackColumns = {"Address", "Module",    "Unit",
                                                         "Class",   "Procedure", "Line"};
  static const std::vector<const char*> kModuleColumns = {"Handle", "Name",     "Description", "Version",
                                                          "Size",   "Modified", "Path"};
  static const std::vector<const char*> kProcessColumns = {"ID",     "Name",     "Description", "Version",
                                                           "Memory", "Priority", "Threads",     "Path"};
  const std::pair<const char*, const std::vector<const char*>*> tables[] = {
      {"CallStack", &kStackColumns}, {"Modules", &kModuleColumns}, {"Processes", &kProcessColumns}};
  for (const auto& [name, columns] : tables) {
    while (i < lines.size() && !IsTitleAt(lines, i)) ++i;
    if (i >= lines.size()) break;
    i = AddTable(log, name, *columns, lines, i);
  }

  // The assembler section runs up to the CPU section, the last titled one.
  std::size_t cpu = lines.size();
  for (std::size_t j = lines.size(); j-- > i;) {
    if (IsTitleAt(lines, j)) {
      cpu = j;
      break;
    }
  }
  if (i < lines.size() && IsTitleAt(lines, i) && i < cpu) {
    std::size_t end = cpu;
    while (end > i + 2 && lines[end - 1].empty()) --end;
    log.AddItem("Assembler").SetValue(JoinLines(lines, i + 2, end));
  }
  if (cpu < lines.size()) log.AddItem("CPU").SetValue(JoinLines(lines, cpu + 2, lines.size()));
  return log.GetXMLText();
}

void TLogFile::SaveXMLCopy(int report, const std::filesystem::path& fileName) const {
  if (report < 0 || report >= GetCount()) throw ELogFileError(L"No such report in the log");
  SaveFileReplacing(fileName, GetXML(report));
}

}  // namespace tracira
