// trdata: writes the crash reporter's data block into a linked program.
//
//   trdata [--password TEXT] [--symbol NUMBER=NAME]... [--dump] IMAGE
//
// Reads the image's DWARF line tables and its function symbols, builds the
// block (units are source files, procedures the demangled function names)
// and stores it as the RCDATA resource "TRDATA", so that the program can be
// stripped and still name every line. --symbol adds a routine to the
// block's symbol table by its demangled name (a suffix such as
// "Application::HandleException" is enough); --dump prints the units.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "crashreport/debug/TrDataWriter.h"
#include "crashreport/debug/TrDwarfLines.h"
#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrProcNames.h"

namespace {

constexpr std::uint32_t kCodeStart = 0x1000;  // the module's code start: handle + 4096

struct Function {
  std::uint32_t Rva;
  std::string Name;  // "Class.Proc" or "Proc"
  std::string Readable;
};

std::vector<std::uint8_t> ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileAtomically(const std::string& name, const std::vector<std::uint8_t>& data) {
  const std::string temp = name + ".trdata.tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + temp);
  }
  std::filesystem::permissions(temp, std::filesystem::status(name).permissions());
  std::filesystem::rename(temp, name);
}

std::vector<Function> Functions(const tracira::PeImage& image) {
  std::vector<Function> out;
  for (const tracira::CoffSymbol& s : image.Symbols()) {
    if (!s.Function || s.Rva < kCodeStart) continue;
    const std::string readable = tracira::ReadableName(s.Name);
    if (readable.empty()) continue;
    out.push_back({s.Rva, tracira::StoredProcedureName(readable), readable});
  }
  std::sort(out.begin(), out.end(), [](const Function& a, const Function& b) { return a.Rva < b.Rva; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const Function& a, const Function& b) { return a.Rva == b.Rva; }),
            out.end());
  return out;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Units are runs of consecutive code from one source file.
std::vector<tracira::TTrUnit> BuildUnits(std::vector<tracira::LineRow> rows, std::uint32_t imageBase,
                                         const std::vector<Function>& functions) {
  const std::uint32_t codeBase = imageBase + kCodeStart;
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const tracira::LineRow& r) { return r.Address < codeBase; }),
             rows.end());
  // Stable: rows at one address keep table order, and the last one counts,
  // as in the debuggers' lookup.
  std::stable_sort(rows.begin(), rows.end(), [](const tracira::LineRow& a, const tracira::LineRow& b) {
    return a.Address < b.Address;
  });
  std::vector<tracira::TTrUnit> units;
  tracira::TTrUnit* unit = nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const tracira::LineRow& r = rows[i];
    const std::uint32_t offset = r.Address - codeBase;
    // A later row at the same address overrides this one.
    if (i + 1 < rows.size() && rows[i + 1].Address == r.Address && !rows[i + 1].EndSequence) continue;
    if (unit) unit->Size = offset - unit->Offset;
    if (r.EndSequence) {
      unit = nullptr;
      continue;
    }
    const std::string file = tracira::StoredUnitName(BaseName(r.File));
    if (!unit || unit->Name != file) {
      units.push_back({file, r.Line, offset, 0, {}});
      unit = &units.back();
    }
    unit->Rows.push_back({offset, r.Line, {}, false});
  }
  units.erase(
      std::remove_if(units.begin(), units.end(), [](const tracira::TTrUnit& u) { return u.Size == 0; }),
      units.end());

  // Procedure starts: at each function's first address, and at a unit's
  // start that lies inside a function (code of an inlined header).
  for (tracira::TTrUnit& u : units) {
    std::vector<tracira::TTrLineRow> merged;
    auto fn = std::lower_bound(functions.begin(), functions.end(), u.Offset + kCodeStart,
                               [](const Function& f, std::uint32_t rva) { return f.Rva < rva; });
    if (fn != functions.begin() && std::prev(fn)->Rva < u.Offset + kCodeStart) {
      const Function& enclosing = *std::prev(fn);
      u.Rows.front().StartsProcedure = true;
      u.Rows.front().Procedure = enclosing.Name;
    }
    std::size_t row = 0;
    for (; fn != functions.end() && fn->Rva - kCodeStart < u.Offset + u.Size; ++fn) {
      const std::uint32_t start = fn->Rva - kCodeStart;
      while (row < u.Rows.size() && u.Rows[row].Offset < start) merged.push_back(u.Rows[row++]);
      if (row < u.Rows.size() && u.Rows[row].Offset == start) {
        tracira::TTrLineRow r = u.Rows[row++];
        r.StartsProcedure = true;
        r.Procedure = fn->Name;
        merged.push_back(r);
      } else {
        const std::uint32_t line = merged.empty() ? u.FirstLine : merged.back().Line;
        merged.push_back({start, line, fn->Name, true});
      }
    }
    while (row < u.Rows.size()) merged.push_back(u.Rows[row++]);
    u.Rows = std::move(merged);
  }
  return units;
}

double BuildTime() {
  // SOURCE_DATE_EPOCH makes the block, and so the program, reproducible.
  std::time_t now = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"))
    now = static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10));
  return static_cast<double>(now) / 86400.0 + 25569.0;
}

int Run(int argc, char** argv) {
  std::string image, password;
  std::vector<std::pair<int, std::string>> symbolNames = {
      // The application object's exception routines, in the project's GUI library.
      {tracira::VCL1_ID, "gui::Application::HandleException"},
      {tracira::VCL2_ID, "gui::Application::ShowException"},
  };
  bool dump = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--password" && i + 1 < argc) {
      password = argv[++i];
    } else if (a == "--symbol" && i + 1 < argc) {
      const std::string assignment = argv[++i];
      const std::size_t eq = assignment.find('=');
      if (eq == std::string::npos) throw std::runtime_error("--symbol wants NUMBER=NAME");
      symbolNames.emplace_back(std::stoi(assignment.substr(0, eq)), assignment.substr(eq + 1));
    } else if (a == "--dump") {
      dump = true;
    } else if (!a.empty() && a[0] != '-' && image.empty()) {
      image = a;
    } else {
      std::cerr << "usage: trdata [--password TEXT] [--symbol NUMBER=NAME]... [--dump] IMAGE\n";
      return 2;
    }
  }
  if (image.empty()) throw std::runtime_error("no image given");

  tracira::PeImage pe(ReadFile(image));
  const auto line = pe.SectionData(".debug_line");
  if (!line)
    throw std::runtime_error(image + " has no DWARF line table (build it with -g, before stripping)");
  const auto rows =
      tracira::ReadLineRows(*line, pe.SectionData(".debug_line_str").value_or(std::vector<std::uint8_t>{}),
                            pe.SectionData(".debug_str").value_or(std::vector<std::uint8_t>{}));
  const std::vector<Function> functions = Functions(pe);

  tracira::TTrBlockSource source;
  source.CompilationDate = BuildTime();
  source.Password = password;
  source.Units = BuildUnits(rows, pe.ImageBase(), functions);
  for (const auto& [number, name] : symbolNames) {
    for (std::size_t i = 0; i < functions.size(); ++i) {
      const std::string& r = functions[i].Readable;
      const std::string bare = r.substr(0, r.find('('));
      if (bare.size() >= name.size() && bare.compare(bare.size() - name.size(), name.size(), name) == 0) {
        const std::uint32_t end = i + 1 < functions.size() ? functions[i + 1].Rva : functions[i].Rva;
        source.Symbols.push_back(
            {static_cast<std::uint8_t>(number), functions[i].Rva - kCodeStart, end - functions[i].Rva});
        break;
      }
    }
  }
  // The options stored in this program: defaults, with the log on and the
  // freeze watchdog's timeout 0.
  tracira::TTraciraModuleOptions options;
  options.SetActivateLog(true);
  options.SetFreezeTimeout(0);
  source.LeaksOptions = options.LeaksOptions();
  source.LeaksFromMainModule = true;
  const std::vector<std::uint8_t> block = tracira::WriteDataBlock(source, options);

  if (dump) {
    for (const tracira::TTrUnit& u : source.Units)
      std::printf("%08X %6X %s (%zu rows)\n", u.Offset, u.Size, u.Name.c_str(), u.Rows.size());
  }
  tracira::ResourceTree resources = pe.ReadResources();
  resources[tracira::ResKey(std::uint16_t{10})][tracira::ResKey(std::u16string(u"TRDATA"))][0] = {block, 0};
  pe.WriteResources(resources);
  WriteFileAtomically(image, pe.Bytes());
  std::printf("trdata: %s: %zu units, %zu procedures, %zu symbols, block of %zu bytes\n", image.c_str(),
              source.Units.size(), functions.size(), source.Symbols.size(), block.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trdata: error: %s\n", e.what());
    return 1;
  }
}
