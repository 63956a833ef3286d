// trdata: writes the crash reporter's data block into a linked program.
//
//   trdata [--password TEXT] [--symbol NUMBER=NAME]... [--dump] IMAGE
//
// Reads the image's DWARF line tables, inlined calls and function symbols,
// builds the block (UnitBuilder.h: units are runs of functions from one
// source file, inlined code is named by its caller's line; procedures are
// the demangled function names) and stores it as the RCDATA resource "TRDATA", so that the program can be
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
#include <span>
#include <stdexcept>

#include "crashreport/debug/TrDataWriter.h"
#include "crashreport/debug/TrDwarfInlines.h"
#include "crashreport/debug/TrDwarfLines.h"
#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrProcNames.h"
#include "tools/trdata/UnitBuilder.h"

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

void WriteFileAtomically(const std::string& name, std::span<const std::uint8_t> data) {
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
  for (const tracira::NamedFunction& f : tracira::FunctionSymbols(image.Symbols(), !image.Is64()))
    if (f.Rva >= kCodeStart) out.push_back({f.Rva, tracira::StoredProcedureName(f.Readable), f.Readable});
  return out;
}

tracira::DwarfSections ReadDwarfSections(const tracira::PeImage& pe) {
  auto section = [&](const char* name) { return pe.SectionData(name).value_or(std::vector<std::uint8_t>{}); };
  return {section(".debug_info"),     section(".debug_abbrev"), section(".debug_line"),
          section(".debug_line_str"), section(".debug_str"),    section(".debug_ranges"),
          section(".debug_rnglists"), section(".debug_addr")};
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
  const tracira::DwarfSections dwarf = ReadDwarfSections(pe);
  if (dwarf.Line.empty())
    throw std::runtime_error(image + " has no DWARF line table (build it with -g, before stripping)");
  const auto tables = tracira::ReadLineTables(dwarf.Line, dwarf.LineStr, dwarf.Str);
  std::vector<std::string> paths;
  const std::vector<tracira::AddressRow> rows = tracira::RowsByAddress(tables, paths);
  std::vector<tracira::InlinedCall> calls;
  try {
    calls = tracira::ReadInlinedCalls(dwarf, tables, paths);
  } catch (const std::exception& e) {
    // Without them inlined code keeps the line table's file and line.
    std::fprintf(stderr, "trdata: warning: %s: inlined calls not read: %s\n", image.c_str(), e.what());
  }
  const std::vector<Function> functions = Functions(pe);
  std::vector<trdata::Function> starts;
  for (const Function& f : functions) starts.push_back({f.Rva - kCodeStart, f.Name});

  tracira::TTrBlockSource source;
  source.CompilationDate = BuildTime();
  source.Password = password;
  source.Units = trdata::BuildUnits(trdata::AttributeInlinedCode(rows, std::move(calls), paths), paths,
                                    pe.ImageBase() + kCodeStart, starts);
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
  // The crash reporter's own code, by where its sources live: call stacks
  // hide it. Adjacent stretches are stored as one.
  for (const tracira::TTrUnit& u : source.Units) {
    if (!tracira::IsCrashReporterSource(u.SourcePath)) continue;
    tracira::TTrSymbol* last = source.Symbols.empty() ? nullptr : &source.Symbols.back();
    if (last && last->Number == tracira::TraciraCode_ID && last->Offset + last->Size == u.Offset)
      last->Size += u.Size;
    else
      source.Symbols.push_back({tracira::TraciraCode_ID, u.Offset, u.Size});
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
