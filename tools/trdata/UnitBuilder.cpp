#include "tools/trdata/UnitBuilder.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace trdata {

using tracira::AddressRow;
using tracira::InlinedCall;

namespace {

bool SameNaming(const AddressRow& a, const AddressRow& b) {
  return a.EndSequence == b.EndSequence && (a.EndSequence || (a.File == b.File && a.Line == b.Line));
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsSourceFile(const std::string& path) {
  const std::string name = BaseName(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == "c" || extension == "cc" || extension == "cpp" || extension == "cxx" ||
         extension == "c++";
}

std::vector<AddressRow> AttributeInlinedCode(const std::vector<AddressRow>& rows,
                                             std::vector<InlinedCall> calls,
                                             const std::vector<std::string>& paths) {
  std::vector<bool> source(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) source[i] = IsSourceFile(paths[i]);
  auto ownCode = [&](std::uint32_t file, std::uint32_t own) {
    return file == own || (file < source.size() && source[file]);
  };

  // One row per address: the last one there holds.
  std::vector<AddressRow> named;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (i + 1 == rows.size() || rows[i + 1].Address != rows[i].Address) named.push_back(rows[i]);

  std::sort(calls.begin(), calls.end(),
            [](const InlinedCall& a, const InlinedCall& b) { return a.Low < b.Low; });
  // The naming can change where a row starts and where an inlined call
  // starts or ends.
  std::vector<std::uint64_t> points;
  points.reserve(named.size() + 2 * calls.size());
  for (const AddressRow& r : named) points.push_back(r.Address);
  for (const InlinedCall& c : calls) points.push_back(c.Low), points.push_back(c.High);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());

  std::vector<AddressRow> out;
  std::vector<const InlinedCall*> active;
  std::size_t row = 0, call = 0;
  for (const std::uint64_t p : points) {
    while (row + 1 < named.size() && named[row + 1].Address <= p) ++row;
    while (call < calls.size() && calls[call].Low <= p) active.push_back(&calls[call++]);
    std::erase_if(active, [p](const InlinedCall* c) { return c->High <= p; });
    if (named.empty() || named[row].Address > p) continue;  // before the first row
    AddressRow r = named[row];
    r.Address = p;
    if (!r.EndSequence && !active.empty()) {
      // The function's own file is that of the outermost call site.
      std::sort(active.begin(), active.end(),
                [](const InlinedCall* a, const InlinedCall* b) { return a->Depth > b->Depth; });
      const std::uint32_t own = active.back()->CallFile;
      for (auto c = active.begin(); !ownCode(r.File, own); ++c) {
        r.File = (*c)->CallFile;
        r.Line = (*c)->CallLine;
      }
    }
    if (out.empty() ? !r.EndSequence : !SameNaming(out.back(), r)) out.push_back(r);
  }
  return out;
}

std::vector<tracira::TTrUnit> BuildUnits(const std::vector<AddressRow>& rows,
                                         const std::vector<std::string>& paths, std::uint64_t codeBase,
                                         const std::vector<Function>& functions) {
  std::vector<tracira::TTrUnit> units;
  tracira::TTrUnit* unit = nullptr;
  std::optional<std::uint32_t> ended;  // where the open unit's code stopped
  std::uint32_t last = 0;
  auto functionStartsIn = [&](std::uint32_t from, std::uint32_t to) {
    const auto f = std::lower_bound(functions.begin(), functions.end(), from,
                                    [](const Function& fn, std::uint32_t o) { return fn.Offset < o; });
    return f != functions.end() && f->Offset < to;
  };
  for (const AddressRow& r : rows) {
    if (r.Address < codeBase) continue;
    const auto offset = static_cast<std::uint32_t>(r.Address - codeBase);
    last = offset;
    if (r.EndSequence) {
      if (unit && !ended) ended = offset;
      continue;
    }
    const std::string path = r.File < paths.size() ? paths[r.File] : "?";
    const std::string name = tracira::StoredUnitName(BaseName(path));
    // A unit never mixes the crash reporter's code, which is hidden by
    // where it lives, with other code of the same file name.
    const bool continues =
        unit && unit->Name == name &&
        tracira::IsCrashReporterSource(unit->SourcePath) == tracira::IsCrashReporterSource(path) &&
        !(ended && functionStartsIn(*ended, offset));  // a gap of other code
    if (!continues) {
      if (unit) unit->Size = ended.value_or(offset) - unit->Offset;
      units.push_back({name, r.Line, offset, 0, {}, path});
      unit = &units.back();
    }
    ended.reset();
    unit->Rows.push_back({offset, r.Line, {}, false});
  }
  if (unit) unit->Size = ended.value_or(last) - unit->Offset;
  std::erase_if(units, [](const tracira::TTrUnit& u) { return u.Size == 0; });

  // Procedure starts: at each function's first address, and at a unit's
  // start that lies inside a function.
  for (tracira::TTrUnit& u : units) {
    std::vector<tracira::TTrLineRow> merged;
    auto fn = std::lower_bound(functions.begin(), functions.end(), u.Offset,
                               [](const Function& f, std::uint32_t o) { return f.Offset < o; });
    if (fn != functions.begin()) {
      u.Rows.front().StartsProcedure = true;
      u.Rows.front().Procedure = std::prev(fn)->Name;
    }
    std::size_t row = 0;
    for (; fn != functions.end() && fn->Offset < u.Offset + u.Size; ++fn) {
      while (row < u.Rows.size() && u.Rows[row].Offset < fn->Offset) merged.push_back(u.Rows[row++]);
      if (row < u.Rows.size() && u.Rows[row].Offset == fn->Offset) {
        tracira::TTrLineRow r = u.Rows[row++];
        r.StartsProcedure = true;
        r.Procedure = fn->Name;
        merged.push_back(r);
      } else {
        const std::uint32_t line = merged.empty() ? u.FirstLine : merged.back().Line;
        merged.push_back({fn->Offset, line, fn->Name, true});
      }
    }
    while (row < u.Rows.size()) merged.push_back(u.Rows[row++]);
    u.Rows = std::move(merged);
  }
  return units;
}

}  // namespace trdata
