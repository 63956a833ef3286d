#include "crashreport/debug/TrSymbols.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "crashreport/core/TrStream.h"
#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrDwarfLines.h"
#include "crashreport/debug/TrFileView.h"
#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrProcNames.h"

namespace tracira {

namespace {

constexpr std::uint32_t kCodeStart = 0x1000;

std::string BaseName(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string StripExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> ParseHex64(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = (v << 4) | static_cast<unsigned>(d);
  }
  return v;
}

std::optional<std::uint32_t> ParseHex(std::string_view s) {
  const auto v = ParseHex64(s);
  if (!v || *v > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    out.push_back(l);
    start = end + 1;
  }
  return out;
}

// Index of the last element whose key is <= value (the nearest smaller
// entry when there is no exact one).
template <typename T, typename Key>
std::optional<std::size_t> SearchNearest(const std::vector<T>& v, std::uint64_t value, Key key) {
  auto it =
      std::upper_bound(v.begin(), v.end(), value, [&](std::uint64_t x, const T& e) { return x < key(e); });
  if (it == v.begin()) return std::nullopt;
  return static_cast<std::size_t>(std::prev(it) - v.begin());
}

// "seg:offset" of a Borland map.
std::optional<std::pair<std::uint32_t, std::uint32_t>> SegOffset(std::string_view s) {
  const std::size_t colon = s.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const auto seg = ParseHex(s.substr(0, colon));
  const auto off = ParseHex(s.substr(colon + 1));
  if (!seg || !off) return std::nullopt;
  return std::make_pair(*seg, *off);
}

// The unit an object file of a GNU map stands for: "dir/Foo.cpp.obj" and
// "lib.a(Foo.o)" give "Foo.cpp" and "Foo".
std::string UnitOfObject(std::string_view object) {
  if (const std::size_t open = object.rfind('('); open != std::string_view::npos && object.back() == ')')
    object = object.substr(open + 1, object.size() - open - 2);
  std::string name = BaseName(object);
  for (const char* ext : {".obj", ".o"}) {
    const std::size_t n = std::char_traits<char>::length(ext);
    if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) {
      name.resize(name.size() - n);
      break;
    }
  }
  return name;
}

}  // namespace

// ---- map files -------------------------------------------------------------

TTrMapScanner::TTrMapScanner(std::string_view text) {
  fBorland = text.find("Detailed map of segments") != std::string_view::npos ||
             text.find("Publics by Value") != std::string_view::npos ||
             text.find("Line numbers for ") != std::string_view::npos;
  if (fBorland)
    ParseBorland(text);
  else
    ParseGnu(text);
  Sort();
}

void TTrMapScanner::ParseGnu(std::string_view text) {
  const std::vector<std::string_view> lines = SplitLines(text);
  bool inMap = false;
  bool codeSegment = false;
  std::string pendingName;  // a section name too long to share its line
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (!inMap) {
      inMap = line.rfind("Linker script and memory map", 0) == 0;
      continue;
    }
    if (line.empty()) continue;
    std::vector<std::string_view> w = Words(line);
    if (w.empty()) continue;
    // "__image_base__ = 0x..." among the assignments.
    if (w.size() >= 4 && w[1] == "__image_base__" && w[2] == "=") {
      if (const auto base = ParseHex64(w[3])) fImageBase = *base;
      continue;
    }
    const bool indented = line[0] == ' ';
    // Only a line that starts like a section name opens an output section;
    // anything else at the margin is skipped.
    if (!indented && w[0][0] != '.') continue;
    if (!indented) {
      // An output section: ".text 0xVA 0xSIZE", or its name alone with the
      // numbers on the next line.
      std::string name(w[0]);
      if (w.size() == 1 && i + 1 < lines.size()) {
        const auto next = Words(lines[i + 1]);
        if (next.size() >= 2 && ParseHex64(next[0]) && ParseHex(next[1]) &&
            lines[i + 1].find('=') == std::string_view::npos) {
          w = {w[0], next[0], next[1]};
          ++i;
        }
      }
      codeSegment = false;
      if (w.size() >= 3 && w[1].rfind("0x", 0) == 0) {
        const auto start = ParseHex64(w[1]);
        const auto length = ParseHex(w[2]);
        if (start && length && *start != 0) {
          fSegments.push_back({*start, *length, name});
          codeSegment = name == ".text" || name.rfind(".text", 0) == 0;
        }
      }
      continue;
    }
    if (!codeSegment) continue;
    // An input section: " .text 0xVA 0xSIZE object", its name possibly alone
    // on the line before.
    if (w[0][0] == '.' || w[0][0] == '*') {
      if (w.size() == 1) {
        pendingName = std::string(w[0]);
        continue;
      }
      if (w.size() >= 4 && w[1].rfind("0x", 0) == 0) {
        const auto start = ParseHex64(w[1]);
        const auto length = ParseHex(w[2]);
        if (start && length && *length != 0) {
          const std::size_t objectAt = line.find(w[3]);
          const std::string object(Trim(line.substr(objectAt)));
          fUnits.push_back({*start, *length, UnitOfObject(object), UnitOfObject(object)});
        }
      }
      pendingName.clear();
      continue;
    }
    if (w[0].rfind("0x", 0) != 0) continue;
    const auto address = ParseHex64(w[0]);
    if (!address) continue;
    if (w.size() >= 3 && w[1].rfind("0x", 0) == 0 && ParseHex(w[1]) && !pendingName.empty()) {
      // The numbers of a section whose name stood alone.
      const std::size_t objectAt = line.find(w[2], line.find(w[1]) + w[1].size());
      const std::string object(Trim(line.substr(objectAt)));
      const auto length = ParseHex(w[1]);
      if (*length != 0) fUnits.push_back({*address, *length, UnitOfObject(object), UnitOfObject(object)});
      pendingName.clear();
      continue;
    }
    pendingName.clear();
    // A symbol: "0xVA name"; assignments and PROVIDE lines aren't code.
    const std::size_t nameAt = line.find(w[1 < w.size() ? 1 : 0], line.find(w[0]) + w[0].size());
    if (w.size() < 2 || line.find(" = ") != std::string_view::npos || w[1].rfind("PROVIDE", 0) == 0) continue;
    std::string name(Trim(line.substr(nameAt)));
    if (name.rfind("_Z", 0) == 0 || name.rfind("__Z", 0) == 0)
      name = ReadableName(name[1] == '_' ? name : "_" + name);
    const std::string stored = StoredProcedureName(name);
    if (!stored.empty()) fPublics.push_back({*address, stored});
  }
}

void TTrMapScanner::ParseBorland(std::string_view text) {
  enum class Part { Segments, Detailed, ByName, ByValue, Lines, Other } part = Part::Other;
  std::vector<std::uint32_t> segStart;  // by segment number
  auto va = [&](std::uint32_t seg, std::uint32_t offset) -> std::optional<std::uint32_t> {
    if (seg == 0 || seg >= segStart.size() || segStart[seg] == 0) return std::nullopt;
    return segStart[seg] + offset;
  };
  std::uint32_t lineUnit = 0;
  for (const std::string_view line : SplitLines(text)) {
    const std::string_view t = Trim(line);
    if (t.empty()) continue;
    if (t.rfind("Start", 0) == 0 && t.find("Length") != std::string_view::npos) {
      part = Part::Segments;
      continue;
    }
    if (t == "Detailed map of segments") {
      part = Part::Detailed;
      continue;
    }
    if (t.find("Publics by Name") != std::string_view::npos) {
      part = Part::ByName;
      continue;
    }
    if (t.find("Publics by Value") != std::string_view::npos) {
      part = Part::ByValue;
      continue;
    }
    if (t.rfind("Line numbers for ", 0) == 0) {
      // "Line numbers for Unit(File.pas) segment .text"
      part = Part::Lines;
      const std::string_view rest = t.substr(17);
      const std::size_t open = rest.find('('), close = rest.find(')');
      Unit u;
      if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        u.Name = std::string(rest.substr(0, open));
        u.SourceName = std::string(rest.substr(open + 1, close - open - 1));
      } else {
        u.Name = std::string(Words(rest).empty() ? std::string_view() : Words(rest)[0]);
      }
      fLineUnits.push_back(std::move(u));
      lineUnit = static_cast<std::uint32_t>(fLineUnits.size() - 1);
      continue;
    }
    if (t.rfind("Bound resource files", 0) == 0 || t.rfind("Program entry point", 0) == 0) {
      part = Part::Other;
      continue;
    }
    const std::vector<std::string_view> w = Words(t);
    switch (part) {
      case Part::Segments: {
        // "0001:00401000 0001C2E4H .text CODE"
        const auto so = SegOffset(w[0]);
        if (!so || w.size() < 3 || w[1].empty() || w[1].back() != 'H') break;
        const auto length = ParseHex(w[1].substr(0, w[1].size() - 1));
        if (!length || so->first > 0xFFFF) break;
        if (segStart.size() <= so->first) segStart.resize(so->first + 1, 0);
        segStart[so->first] = so->second;
        fSegments.push_back({so->second, *length, std::string(w[2])});
        break;
      }
      case Part::Detailed: {
        // "0001:00000000 0000ABCD C=CODE S=.text G=(none) M=System ACBP=A9"
        const auto so = SegOffset(w[0]);
        if (!so || w.size() < 3) break;
        const auto length = ParseHex(w[1]);
        const auto start = va(so->first, so->second);
        if (!length || !start) break;
        for (const std::string_view x : w)
          if (x.rfind("M=", 0) == 0) fUnits.push_back({*start, *length, std::string(x.substr(2)), {}});
        break;
      }
      case Part::ByValue: {
        const auto so = SegOffset(w[0]);
        if (!so || w.size() < 2) break;
        if (const auto a = va(so->first, so->second)) {
          const std::size_t nameAt = t.find(w[1], w[0].size());
          fPublics.push_back({*a, std::string(Trim(t.substr(nameAt)))});
        }
        break;
      }
      case Part::Lines: {
        // pairs of "line seg:offset"
        for (std::size_t k = 0; k + 1 < w.size(); k += 2) {
          const auto so = SegOffset(w[k + 1]);
          char* end = nullptr;
          const std::string number(w[k]);
          const unsigned long n = std::strtoul(number.c_str(), &end, 10);
          if (!so || end == number.c_str() || *end != '\0') break;
          if (const auto a = va(so->first, so->second))
            fLines.push_back({*a, static_cast<std::uint32_t>(n), lineUnit});
        }
        break;
      }
      default:
        break;
    }
  }
  if (!segStart.empty()) {
    // The map has no image base; the code segment starts 0x1000 after it.
    for (const Segment& s : fSegments)
      if (s.Name == ".text" || s.Name == "CODE") {
        fImageBase = s.Start >= kCodeStart ? s.Start - kCodeStart : 0;
        break;
      }
  }
}

void TTrMapScanner::Sort() {
  auto byStart = [](const auto& a, const auto& b) { return a.Start < b.Start; };
  std::stable_sort(fSegments.begin(), fSegments.end(), byStart);
  std::stable_sort(fUnits.begin(), fUnits.end(), byStart);
  std::stable_sort(fPublics.begin(), fPublics.end(),
                   [](const Public& a, const Public& b) { return a.Address < b.Address; });
  fPublics.erase(std::unique(fPublics.begin(), fPublics.end(),
                             [](const Public& a, const Public& b) { return a.Address == b.Address; }),
                 fPublics.end());
  std::stable_sort(fLines.begin(), fLines.end(),
                   [](const Line& a, const Line& b) { return a.Address < b.Address; });
}

std::optional<TTrLocationInfo> TTrMapScanner::Lookup(std::uint64_t va, std::uint64_t base) const {
  const auto segIndex = SearchNearest(fSegments, va, [](const Segment& s) { return s.Start; });
  if (!segIndex) return std::nullopt;
  const Segment& seg = fSegments[*segIndex];
  if (va - seg.Start >= seg.Length) return std::nullopt;
  auto inSegment = [&](std::uint64_t a) { return a >= seg.Start && a - seg.Start < seg.Length; };
  TTrLocationInfo info;
  if (const auto u = SearchNearest(fUnits, va, [](const Unit& x) { return x.Start; });
      u && va - fUnits[*u].Start < fUnits[*u].Length) {
    info.UnitName = fUnits[*u].Name;
    info.SourceName = fUnits[*u].SourceName;
  }
  std::optional<std::uint64_t> procStart;
  if (const auto p = SearchNearest(fPublics, va, [](const Public& x) { return x.Address; });
      p && inSegment(fPublics[*p].Address)) {
    info.ProcedureName = fPublics[*p].Name;
    procStart = fPublics[*p].Address;
    const std::uint64_t segEnd = seg.Start + seg.Length;
    const std::uint64_t next = *p + 1 < fPublics.size() ? std::min(fPublics[*p + 1].Address, segEnd) : segEnd;
    // Relative to base the range fits 32 bits, as the rest of the lookup's.
    auto relative = [&](std::uint64_t a) {
      return static_cast<std::uint32_t>(std::min<std::uint64_t>(a - base, 0xFFFFFFFFu));
    };
    info.ProcedureRange = std::make_pair(relative(*procStart), relative(next));
  }
  auto lineAt = [&](std::uint64_t a) -> const Line* {
    const auto l = SearchNearest(fLines, a, [](const Line& x) { return x.Address; });
    if (!l || !inSegment(fLines[*l].Address)) return nullptr;
    return &fLines[*l];
  };
  if (const Line* l = lineAt(va)) {
    info.LineNumber = l->Number;
    if (l->UnitIndex < fLineUnits.size()) {
      if (info.UnitName.empty()) info.UnitName = fLineUnits[l->UnitIndex].Name;
      if (!fLineUnits[l->UnitIndex].SourceName.empty()) info.SourceName = fLineUnits[l->UnitIndex].SourceName;
    }
    if (procStart)
      if (const Line* first = lineAt(*procStart); first && first->Number <= l->Number)
        info.OffsetFromLineNumber = l->Number - first->Number;
  }
  if (info.UnitName.empty() && info.ProcedureName.empty() && info.LineNumber == 0) return std::nullopt;
  return info;
}

TTrDebugInfoMap::TTrDebugInfoMap(std::string_view text, std::uint64_t imageBase,
                                 std::filesystem::path fileName)
    : fScanner(text), fImageBase(imageBase ? imageBase : fScanner.ImageBase()) {
  fFileName = std::move(fileName);
  fValid = !fScanner.Publics().empty() || !fScanner.Lines().empty();
}

std::optional<TTrLocationInfo> TTrDebugInfoMap::GetLocationInfo(std::uint32_t rva) const {
  auto info = fScanner.Lookup(fImageBase + rva, fImageBase);
  if (info) {
    info->Address = rva;
    info->DebugInfo = this;
  }
  return info;
}

// ---- DWARF -----------------------------------------------------------------

TTrDebugInfoDwarf::TTrDebugInfoDwarf(std::span<const std::uint8_t> image, std::filesystem::path fileName) {
  fFileName = std::move(fileName);
  try {
    const PeImage pe(image);
    const auto line = pe.SectionData(".debug_line");
    if (!line) return;
    std::vector<std::string> paths;
    const std::vector<AddressRow> rows = RowsByAddress(
        ReadLineTables(*line, pe.SectionData(".debug_line_str").value_or(std::vector<std::uint8_t>{}),
                       pe.SectionData(".debug_str").value_or(std::vector<std::uint8_t>{})),
        paths);
    // Files by their base names: the same file may come with other folders.
    std::vector<std::uint32_t> fileOfPath(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const File file{BaseName(paths[i]), IsCrashReporterSource(paths[i])};
      auto f = std::find(fFiles.begin(), fFiles.end(), file);
      if (f == fFiles.end()) f = fFiles.insert(fFiles.end(), file);
      fileOfPath[i] = static_cast<std::uint32_t>(f - fFiles.begin());
    }
    for (const AddressRow& r : rows)
      if (r.Address >= pe.ImageBase())
        fRows.push_back({static_cast<std::uint32_t>(r.Address - pe.ImageBase()), r.Line, fileOfPath[r.File],
                         r.EndSequence});
    for (const NamedFunction& f : FunctionSymbols(pe.Symbols(), !pe.Is64()))
      fFunctions.push_back({f.Rva, StoredProcedureName(f.Readable)});
    fValid = !fRows.empty();
  } catch (const std::exception&) {
    fRows.clear();
    fFunctions.clear();
  }
}

std::optional<std::uint32_t> TTrDebugInfoDwarf::LineAt(std::uint32_t rva, std::uint32_t* file) const {
  const auto i = SearchNearest(fRows, rva, [](const Row& r) { return r.Rva; });
  if (!i) return std::nullopt;
  // Of several rows at that address the last counts; an end of sequence
  // there means the address lies in no sequence.
  const Row& r = fRows[*i];
  if (r.End) return std::nullopt;
  if (file) *file = r.File;
  return r.Line;
}

std::optional<TTrLocationInfo> TTrDebugInfoDwarf::GetLocationInfo(std::uint32_t rva) const {
  std::uint32_t file = 0;
  const auto line = LineAt(rva, &file);
  if (!line) return std::nullopt;
  TTrLocationInfo info;
  info.Address = rva;
  info.DebugInfo = this;
  info.LineNumber = *line;
  info.SourceName = file < fFiles.size() ? fFiles[file].Name : std::string();
  info.TraciraCode = file < fFiles.size() && fFiles[file].TraciraCode;
  info.UnitName = info.SourceName;
  if (const auto f = SearchNearest(fFunctions, rva, [](const Function& x) { return x.Rva; })) {
    info.ProcedureName = fFunctions[*f].Name;
    if (*f + 1 < fFunctions.size())
      info.ProcedureRange = std::make_pair(fFunctions[*f].Rva, fFunctions[*f + 1].Rva);
    std::uint32_t firstFile = 0;
    if (const auto first = LineAt(fFunctions[*f].Rva, &firstFile);
        first && firstFile == file && *first <= *line)
      info.OffsetFromLineNumber = *line - *first;
  }
  return info;
}

// ---- TD32 ------------------------------------------------------------------

namespace {

constexpr std::uint16_t kSstModule = 0x120, kSstAlignSym = 0x125, kSstSrcModule = 0x127, kSstNames = 0x130;
constexpr std::uint16_t kSLProc32 = 0x204, kSGProc32 = 0x205;

bool IsTD32Signature(const std::uint8_t* p) {
  return p[0] == 'F' && p[1] == 'B' && p[2] == '0' && (p[3] == '9' || p[3] == 'A');
}

TrByteReader At(const std::uint8_t* data, std::size_t size, std::size_t offset, std::size_t length) {
  if (offset > size || length > size - offset) throw ETD32Error(L"TD32: a subsection lies outside the data.");
  return TrByteReader(data + offset, length);
}

}  // namespace

TTrTD32InfoParser::TTrTD32InfoParser(const std::uint8_t* data, std::size_t size) {
  if (size < 8 || !IsTD32Signature(data)) throw ETD32Error(L"TD32: no signature.");
  TrByteReader head(data, size);
  head.Take(4);
  const std::uint32_t dirOffset = head.U32();
  TrByteReader dir = At(data, size, dirOffset, size - std::min<std::size_t>(dirOffset, size));
  const std::uint16_t headerSize = dir.U16();
  const std::uint16_t entrySize = dir.U16();
  const std::uint32_t count = dir.U32();
  if (headerSize < 8 || entrySize < 12) throw ETD32Error(L"TD32: bad directory.");
  dir.Take(headerSize - 8);
  if (count > dir.Remaining() / entrySize) throw ETD32Error(L"TD32: directory beyond the data.");
  struct Entry {
    std::uint16_t Type, Module;
    std::uint32_t Offset, Size;
  };
  std::vector<Entry> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    Entry e{dir.U16(), dir.U16(), dir.U32(), dir.U32()};
    dir.Take(entrySize - 12);
    entries.push_back(e);
  }
  // The name pool first: everything else refers to it.
  std::vector<std::string> names;
  for (const Entry& e : entries) {
    if (e.Type != kSstNames) continue;
    TrByteReader r = At(data, size, e.Offset, e.Size);
    const std::uint32_t n = r.U32();
    for (std::uint32_t i = 0; i < n && r.Remaining() > 0; ++i) {
      const std::uint8_t length = r.U8();
      const std::uint8_t* p = r.Take(length);
      names.emplace_back(reinterpret_cast<const char*>(p), length);
      r.Take(1);  // NUL
    }
  }
  auto name = [&](std::uint32_t index) {
    return index >= 1 && index <= names.size() ? names[index - 1] : std::string();
  };
  std::vector<std::string> moduleNames(1);  // module index from 1
  for (const Entry& e : entries) {
    if (e.Type != kSstModule) continue;
    TrByteReader r = At(data, size, e.Offset, e.Size);
    r.Take(8);  // overlay, library, segment count, style
    const std::string n = name(r.U32());
    if (moduleNames.size() <= e.Module) moduleNames.resize(e.Module + 1u);
    moduleNames[e.Module] = n;
  }
  auto moduleName = [&](std::uint16_t m) { return m < moduleNames.size() ? moduleNames[m] : std::string(); };
  for (const Entry& e : entries) {
    if (e.Type == kSstAlignSym) {
      TrByteReader r = At(data, size, e.Offset, e.Size);
      r.U32();  // signature
      while (r.Remaining() >= 4) {
        const std::uint16_t length = r.U16();
        if (length < 2) break;
        TrByteReader rec(r.Take(length), length);
        const std::uint16_t type = rec.U16();
        if (type != kSLProc32 && type != kSGProc32) continue;
        rec.Take(12);  // parent, end, next
        Procedure p;
        p.Size = rec.U32();
        rec.Take(8);  // debug start, debug end
        p.Offset = rec.U32();
        p.Segment = rec.U16();
        rec.U32();  // procedure type
        p.Name = name(rec.U32());
        p.Unit = moduleName(e.Module);
        fProcedures.push_back(std::move(p));
      }
    } else if (e.Type == kSstSrcModule) {
      TrByteReader r = At(data, size, e.Offset, e.Size);
      const std::uint16_t files = r.U16();
      r.U16();  // segments of the module
      std::vector<std::uint32_t> fileOffsets;
      for (std::uint16_t i = 0; i < files; ++i) fileOffsets.push_back(r.U32());
      for (const std::uint32_t fo : fileOffsets) {
        TrByteReader f = At(data + e.Offset, e.Size, fo, e.Size - std::min<std::size_t>(fo, e.Size));
        const std::uint16_t segs = f.U16();
        f.U16();
        std::vector<std::uint32_t> blockOffsets;
        for (std::uint16_t i = 0; i < segs; ++i) blockOffsets.push_back(f.U32());
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
        for (std::uint16_t i = 0; i < segs; ++i) {
          const std::uint32_t start = f.U32();
          ranges.emplace_back(start, f.U32());
        }
        const std::string source = name(f.U32());
        for (std::uint16_t i = 0; i < segs; ++i) {
          TrByteReader b = At(data + e.Offset, e.Size, blockOffsets[i],
                              e.Size - std::min<std::size_t>(blockOffsets[i], e.Size));
          LineBlock block;
          block.Segment = b.U16();
          const std::uint16_t pairs = b.U16();
          block.Start = ranges[i].first;
          block.End = ranges[i].second;
          block.SourceName = source;
          block.Unit = moduleName(e.Module);
          std::vector<std::uint32_t> offsets;
          for (std::uint16_t k = 0; k < pairs; ++k) offsets.push_back(b.U32());
          for (std::uint16_t k = 0; k < pairs; ++k) block.Lines.emplace_back(offsets[k], b.U16());
          std::stable_sort(block.Lines.begin(), block.Lines.end(),
                           [](const auto& x, const auto& y) { return x.first < y.first; });
          fBlocks.push_back(std::move(block));
        }
      }
    }
  }
}

std::optional<std::pair<std::size_t, std::size_t>> TTrPeBorTD32Image(std::span<const std::uint8_t> file) {
  if (file.size() < 16) return std::nullopt;
  const std::uint8_t* tail = file.data() + file.size() - 8;
  if (!IsTD32Signature(tail)) return std::nullopt;
  const std::uint32_t distance = tail[4] | (std::uint32_t{tail[5]} << 8) | (std::uint32_t{tail[6]} << 16) |
                                 (std::uint32_t{tail[7]} << 24);
  if (distance < 16 || distance > file.size()) return std::nullopt;
  const std::size_t start = file.size() - distance;
  if (!IsTD32Signature(file.data() + start)) return std::nullopt;
  return std::make_pair(start, std::size_t{distance});
}

std::optional<std::pair<std::uint16_t, std::uint32_t>> TTrSegmentMap::SegmentOffset(std::uint32_t rva) const {
  std::optional<std::pair<std::uint16_t, std::uint32_t>> best;
  for (std::size_t i = 0; i < SectionRvas.size() && i < 0xFFFF; ++i)
    if (rva >= SectionRvas[i] && (!best || SectionRvas[i] >= SectionRvas[best->first - 1]))
      best = std::make_pair(static_cast<std::uint16_t>(i + 1), rva - SectionRvas[i]);
  return best;
}

TTrTD32InfoScanner::TTrTD32InfoScanner(const std::uint8_t* data, std::size_t size, TTrSegmentMap segments)
    : fParser(data, size), fSegments(std::move(segments)) {}

std::optional<std::uint32_t> TTrTD32InfoScanner::LineAt(std::uint16_t segment, std::uint32_t offset,
                                                        const TTrTD32InfoParser::LineBlock** found) const {
  for (const auto& b : fParser.LineBlocks()) {
    if (b.Segment != segment || offset < b.Start || offset > b.End || b.Lines.empty()) continue;
    // Exactly at an entry, else the entry before the first greater one; after
    // the last entry there is no line.
    auto it = std::upper_bound(b.Lines.begin(), b.Lines.end(), offset,
                               [](std::uint32_t o, const auto& e) { return o < e.first; });
    if (it == b.Lines.end()) {
      if (b.Lines.back().first != offset) return std::nullopt;
    }
    if (it == b.Lines.begin()) return std::nullopt;
    if (found) *found = &b;
    return std::prev(it)->second;
  }
  return std::nullopt;
}

std::optional<TTrLocationInfo> TTrTD32InfoScanner::Lookup(std::uint32_t rva) const {
  const auto so = fSegments.SegmentOffset(rva);
  if (!so) return std::nullopt;
  TTrLocationInfo info;
  info.Address = rva;
  const TTrTD32InfoParser::Procedure* proc = nullptr;
  for (const auto& p : fParser.Procedures())
    if (p.Segment == so->first && so->second >= p.Offset && so->second - p.Offset < p.Size) {
      proc = &p;
      break;
    }
  const TTrTD32InfoParser::LineBlock* block = nullptr;
  const auto line = LineAt(so->first, so->second, &block);
  if (block) {
    info.SourceName = block->SourceName;
    info.UnitName = block->Unit.empty() ? StripExtension(BaseName(block->SourceName)) : block->Unit;
  }
  if (proc) {
    if (info.UnitName.empty()) info.UnitName = proc->Unit;
    info.ProcedureName = FormatProcName(info.UnitName, proc->Name);
    const std::uint32_t start = rva - (so->second - proc->Offset);
    info.ProcedureRange = std::make_pair(start, start + proc->Size);
  }
  if (line) {
    info.LineNumber = *line;
    if (proc)
      if (const auto first = LineAt(proc->Segment, proc->Offset, nullptr); first && *first <= *line)
        info.OffsetFromLineNumber = *line - *first;
  }
  if (!proc && !line) return std::nullopt;
  return info;
}

TTrDebugInfoTD32::TTrDebugInfoTD32(const std::uint8_t* data, std::size_t size, TTrSegmentMap segments,
                                   std::filesystem::path fileName) {
  fFileName = std::move(fileName);
  try {
    fScanner = std::make_unique<TTrTD32InfoScanner>(data, size, std::move(segments));
    fValid = true;
  } catch (const rtl::Exception&) {
    fScanner.reset();
  }
}

std::optional<TTrLocationInfo> TTrDebugInfoTD32::GetLocationInfo(std::uint32_t rva) const {
  if (!fScanner) return std::nullopt;
  auto info = fScanner->Lookup(rva);
  if (info) info->DebugInfo = this;
  return info;
}

// ---- JCL debug data --------------------------------------------------------

namespace {

constexpr std::uint32_t kJclListEnd = 0x7FFFFFFF;

char JclCharOf(std::uint32_t code) {
  if (code >= 1 && code <= 26) return static_cast<char>('a' + code - 1);
  if (code >= 27 && code <= 52) return static_cast<char>('A' + code - 27);
  if (code >= 53 && code <= 62) return static_cast<char>('0' + code - 53);
  return '_';
}

int JclCodeOf(char c) {
  if (c >= 'a' && c <= 'z') return c - 'a' + 1;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 27;
  if (c >= '0' && c <= '9') return c - '0' + 53;
  if (c == '_') return 63;
  return -1;
}

std::uint32_t ReadJclValue(TrByteReader& r) {
  std::uint32_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t b = r.U8();
    if (shift < 32) v += static_cast<std::uint32_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
    if (shift > 35) throw EJclDebugError(L"JCL debug data: a number is too long.");
  }
}

std::string JclWord(const std::uint8_t* words, std::size_t size, std::uint32_t id) {
  if (id == 0) return {};
  if (id - 1 >= size) throw EJclDebugError(L"JCL debug data: a name lies outside the words.");
  const std::uint8_t* p = words + (id - 1);
  const std::uint8_t* end = words + size;
  std::string s;
  if (*p == 1) {
    for (++p; p < end && *p; ++p) s += static_cast<char>(*p);
    return s;
  }
  while (p + 3 <= end) {
    const std::uint32_t group = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    p += 3;
    for (int k = 0; k < 4; ++k) {
      const std::uint32_t code = (group >> (6 * k)) & 63;
      if (code == 0) return s;
      s += JclCharOf(code);
    }
  }
  return s;
}

}  // namespace

std::vector<std::uint8_t> EncodeJclWord(std::string_view name) {
  std::vector<std::uint8_t> out;
  const bool packable = std::all_of(name.begin(), name.end(), [](char c) { return JclCodeOf(c) >= 0; });
  if (!packable) {
    out.push_back(1);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    return out;
  }
  std::vector<int> codes;
  for (char c : name) codes.push_back(JclCodeOf(c));
  codes.push_back(0);
  while (codes.size() % 4) codes.push_back(0);
  for (std::size_t i = 0; i < codes.size(); i += 4) {
    const std::uint32_t g = static_cast<std::uint32_t>(codes[i] | (codes[i + 1] << 6) | (codes[i + 2] << 12) |
                                                       (codes[i + 3] << 18));
    out.push_back(static_cast<std::uint8_t>(g));
    out.push_back(static_cast<std::uint8_t>(g >> 8));
    out.push_back(static_cast<std::uint8_t>(g >> 16));
  }
  return out;
}

TTrBinDebugScanner::TTrBinDebugScanner(const std::uint8_t* data, std::size_t size) {
  TrByteReader h(data, size);
  if (h.U32() != kJclDebugSignature) throw EJclDebugError(L"JCL debug data: no signature.");
  if (h.U8() != 1) throw EJclDebugError(L"JCL debug data: unknown version.");
  const std::uint32_t units = h.U32(), sources = h.U32(), symbols = h.U32(), lines = h.U32(), words = h.U32(),
                      moduleName = h.U32();
  h.U32();  // check sum
  h.U8();   // check sum valid
  if (words > size) throw EJclDebugError(L"JCL debug data: the words lie outside the data.");
  const std::uint8_t* wordData = data + words;
  const std::size_t wordSize = size - words;
  auto list = [&](std::uint32_t offset, int values, auto&& add) {
    if (offset == 0) return;
    if (offset > size) throw EJclDebugError(L"JCL debug data: a list lies outside the data.");
    TrByteReader r(data + offset, size - offset);
    std::uint32_t last[3] = {0, 0, 0};
    for (;;) {
      const std::uint32_t first = ReadJclValue(r);
      if (first == kJclListEnd) return;
      last[0] += first;
      for (int k = 1; k < values; ++k) last[k] += ReadJclValue(r);
      add(last);
    }
  };
  list(units, 2, [&](const std::uint32_t* v) {
    fUnits.push_back({v[0], JclWord(wordData, wordSize, v[1])});
  });
  list(sources, 2, [&](const std::uint32_t* v) {
    fSources.push_back({v[0], JclWord(wordData, wordSize, v[1])});
  });
  list(symbols, 3, [&](const std::uint32_t* v) {
    std::string n = JclWord(wordData, wordSize, v[1]);
    const std::string second = JclWord(wordData, wordSize, v[2]);
    if (!second.empty()) n += (n.empty() ? "" : ".") + second;
    fSymbols.push_back({v[0], std::move(n)});
  });
  list(lines, 2, [&](const std::uint32_t* v) { fLines.push_back({v[0], v[1]}); });
  if (moduleName != 0) fModuleName = JclWord(wordData, wordSize, moduleName);
  auto byAddress = [](const auto& a, const auto& b) { return a.Address < b.Address; };
  std::stable_sort(fUnits.begin(), fUnits.end(), byAddress);
  std::stable_sort(fSources.begin(), fSources.end(), byAddress);
  std::stable_sort(fSymbols.begin(), fSymbols.end(), byAddress);
  std::stable_sort(fLines.begin(), fLines.end(), byAddress);
}

std::optional<TTrLocationInfo> TTrBinDebugScanner::Lookup(std::uint32_t rva) const {
  if (rva < kCodeStart) return std::nullopt;
  const std::uint32_t a = rva - kCodeStart;
  auto nearest = [&](const std::vector<Item>& v) -> const Item* {
    const auto i = SearchNearest(v, a, [](const Item& x) { return x.Address; });
    return i ? &v[*i] : nullptr;
  };
  auto lineAt = [&](std::uint32_t x) -> const LineItem* {
    const auto i = SearchNearest(fLines, x, [](const LineItem& l) { return l.Address; });
    return i ? &fLines[*i] : nullptr;
  };
  const Item* unit = nearest(fUnits);
  if (!unit) return std::nullopt;
  TTrLocationInfo info;
  info.Address = rva;
  info.UnitName = unit->Name;
  if (const Item* s = nearest(fSources); s && s->Address >= unit->Address) info.SourceName = s->Name;
  const Item* sym = nearest(fSymbols);
  if (sym && sym->Address >= unit->Address) {
    info.ProcedureName = sym->Name;
    const std::size_t next = static_cast<std::size_t>(sym - fSymbols.data()) + 1;
    if (next < fSymbols.size())
      info.ProcedureRange = std::make_pair(sym->Address + kCodeStart, fSymbols[next].Address + kCodeStart);
  }
  if (const LineItem* l = lineAt(a); l && l->Address >= unit->Address) {
    info.LineNumber = l->Line;
    if (sym)
      if (const LineItem* first = lineAt(sym->Address); first && first->Line <= l->Line)
        info.OffsetFromLineNumber = l->Line - first->Line;
  }
  return info;
}

TTrDebugInfoJedy::TTrDebugInfoJedy(const std::uint8_t* data, std::size_t size,
                                   std::filesystem::path fileName) {
  fFileName = std::move(fileName);
  try {
    fScanner = std::make_unique<TTrBinDebugScanner>(data, size);
    fValid = true;
  } catch (const rtl::Exception&) {
    fScanner.reset();
  }
}

std::optional<TTrLocationInfo> TTrDebugInfoJedy::GetLocationInfo(std::uint32_t rva) const {
  if (!fScanner) return std::nullopt;
  auto info = fScanner->Lookup(rva);
  if (info) info->DebugInfo = this;
  return info;
}

// ---- choosing a module's source --------------------------------------------

namespace {

std::filesystem::path WithExtension(std::filesystem::path p, const char* ext) {
  return p.replace_extension(ext);
}

}  // namespace

// Files are mapped, not read: of a module without debug data only its
// headers and last bytes are looked at, and the files beside it that
// don't exist cost a failed open.
std::unique_ptr<TTrDebugInfoSource> AssignValidDebugInfo(const std::filesystem::path& moduleFile) {
  const TTrFileView image(moduleFile);
  std::optional<PeImage> pe;
  if (image.Valid()) {
    try {
      pe.emplace(image.Bytes());
    } catch (const std::exception&) {
    }
  }
  if (const TTrFileView map(WithExtension(moduleFile, ".map")); map.Valid()) {
    auto source = std::make_unique<TTrDebugInfoMap>(
        std::string_view(reinterpret_cast<const char*>(map.Bytes().data()), map.Bytes().size()),
        pe ? pe->ImageBase() : 0, WithExtension(moduleFile, ".map"));
    if (source->ValidData()) return source;
  }
  if (pe && pe->HasSection(".debug_line")) {
    auto source = std::make_unique<TTrDebugInfoDwarf>(image.Bytes(), moduleFile);
    if (source->ValidData()) return source;
  }
  TTrSegmentMap segments;
  if (pe)
    for (const Section& s : pe->Sections()) segments.SectionRvas.push_back(s.VirtualAddress);
  else
    segments.SectionRvas.push_back(kCodeStart);
  if (image.Valid())
    if (const auto td32 = TTrPeBorTD32Image(image.Bytes())) {
      auto source = std::make_unique<TTrDebugInfoTD32>(image.Bytes().data() + td32->first, td32->second,
                                                       segments, moduleFile);
      if (source->ValidData()) return source;
    }
  if (const TTrFileView tds(WithExtension(moduleFile, ".tds")); tds.Valid()) {
    auto source = std::make_unique<TTrDebugInfoTD32>(tds.Bytes().data(), tds.Bytes().size(), segments,
                                                     WithExtension(moduleFile, ".tds"));
    if (source->ValidData()) return source;
  }
  if (pe) {
    std::optional<std::vector<std::uint8_t>> section;
    try {
      section = pe->SectionData("JCLDEBUG");
    } catch (const std::exception&) {
    }
    if (section) {
      auto source = std::make_unique<TTrDebugInfoJedy>(section->data(), section->size(), moduleFile);
      if (source->ValidData()) return source;
    }
  }
  if (const TTrFileView jdbg(WithExtension(moduleFile, ".jdbg")); jdbg.Valid()) {
    auto source = std::make_unique<TTrDebugInfoJedy>(jdbg.Bytes().data(), jdbg.Bytes().size(),
                                                     WithExtension(moduleFile, ".jdbg"));
    if (source->ValidData()) return source;
  }
  return nullptr;
}

// ---- names -----------------------------------------------------------------

std::string FormatProcName(std::string_view unitName, std::string_view decorated) {
  std::string s(decorated);
  if (!s.empty() && s[0] == '@') s.erase(0, 1);
  if (const std::size_t dollar = s.find('$'); dollar != std::string::npos)
    s.resize(dollar > 0 && s[dollar - 1] == '@' ? dollar - 1 : dollar);
  std::replace(s.begin(), s.end(), '@', '.');
  for (std::size_t at = 0; (at = s.find("..", at)) != std::string::npos; at += 2) s[at + 1] = '@';
  const std::string unit = StripExtension(BaseName(unitName));
  if (!unit.empty() && s.size() > unit.size() && s[unit.size()] == '.' &&
      EqualNoCase(s.substr(0, unit.size()), unit))
    s.erase(0, unit.size() + 1);
  return s;
}

TTrPartialInfo GetDebugPartialInfo(std::string_view exportName) {
  TTrPartialInfo out;
  std::string name(exportName);
  if (!name.empty() && name[0] == '@') {
    if (const std::size_t dollar = name.find('$'); dollar != std::string::npos) name.resize(dollar);
    if (name.size() > 1 && name.back() == '@') name.pop_back();
    name.erase(0, 1);
    for (std::size_t at = 0; (at = name.find("@@", at)) != std::string::npos; at += 2) name[at + 1] = '_';
    std::replace(name.begin(), name.end(), '@', '.');
  } else if (!name.empty() && name[0] == '?') {
    return out;  // another compiler's decoration: left as it is
  }
  if (name.empty()) return out;
  if (name.find('.') != std::string::npos) {
    const std::size_t first = name.find('.');
    const std::size_t last = name.rfind('.');
    out.UnitName = name.substr(0, first);
    if (out.UnitName.find('.') == std::string::npos) out.UnitName += kSourceFileExtension;
    if (first != last) out.ClassName = name.substr(first + 1, last - first - 1);
    out.ProcedureName = name.substr(last + 1);
    out.Detail = ddUnitAndProcedure;
  } else {
    out.ProcedureName = name;
    out.Detail = ddProcedure;
  }
  return out;
}

void SplitProcedureName(std::string_view unitName, std::string_view name, std::string& className,
                        std::string& procedureName) {
  className.clear();
  const std::size_t first = name.find('.');
  if (first == std::string_view::npos) {
    procedureName = std::string(name);
    return;
  }
  const std::size_t second = name.find('.', first + 1);
  if (second != std::string_view::npos) {
    className = std::string(name.substr(first + 1, second - first - 1));
    procedureName = std::string(name.substr(second + 1));
    return;
  }
  const std::string_view head = name.substr(0, first);
  if (!EqualNoCase(head, StripExtension(BaseName(unitName)))) className = std::string(head);
  procedureName = std::string(name.substr(first + 1));
}

void ApplyLocationInfo(const TTrLocationInfo& location, TTraciraDebugInfo& entry) {
  entry.UnitName = BaseName(location.SourceName.empty() ? location.UnitName : location.SourceName);
  SplitProcedureName(location.UnitName, location.ProcedureName, entry.ClassName, entry.ProcedureName);
  entry.Line = location.LineNumber;
  entry.ProcOffsetLine = location.OffsetFromLineNumber;
  if (entry.Line != 0)
    entry.DebugDetail = ddSourceCode;
  else if (!entry.UnitName.empty())
    entry.DebugDetail = ddUnitAndProcedure;
  else if (!entry.ProcedureName.empty())
    entry.DebugDetail = ddProcedure;
  else
    entry.DebugDetail = entry.ModuleName.empty() ? ddNone : ddModule;
}

void SortFunctions(TTraciraFunctionsList& list, std::uint32_t end) {
  std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.Addr < b.Addr; });
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::uint32_t next = i + 1 < list.size() ? list[i + 1].Addr : std::max(end, list[i].Addr);
    list[i].Size = next - list[i].Addr;
  }
}

const TTraciraFunctionInfo* FindFunction(const TTraciraFunctionsList& list, std::uint32_t rva) {
  auto it = std::upper_bound(list.begin(), list.end(), rva,
                             [](std::uint32_t a, const auto& f) { return a < f.Addr; });
  if (it == list.begin()) return nullptr;
  const TTraciraFunctionInfo& f = *std::prev(it);
  return rva - f.Addr <= f.Size ? &f : nullptr;
}

}  // namespace tracira
